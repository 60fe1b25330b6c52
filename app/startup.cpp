#include "startup.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLocale>
#include <QLoggingCategory>
#include <QTranslator>

#include "device.h"

// The texts of this file, translated in the context "Startup".
class Startup {
  Q_DECLARE_TR_FUNCTIONS(Startup)
};

void chooseWindowSystem() {
  if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) return;
  const bool wayland = qgetenv("XDG_SESSION_TYPE") == "wayland" || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
  if (wayland && !qEnvironmentVariableIsEmpty("DISPLAY")) qputenv("QT_QPA_PLATFORM", "xcb");
}

void setUpLanguage(QApplication &application, const QStringList &languages) {
  // Translators of an earlier call go, so that the last call decides.
  for (QTranslator *old : application.findChildren<QTranslator *>(QStringLiteral("language"), Qt::FindDirectChildrenOnly))
    delete old;
  auto *translator = new QTranslator(&application);
  translator->setObjectName(QStringLiteral("language"));
  if (!languages.isEmpty() && languages.first().startsWith(QLatin1String("en"))) {
    QLocale::setDefault(QLocale::system());
    if (translator->load(QStringLiteral(":/translations/cardplayer_en.qm"))) application.installTranslator(translator);
    return;
  }
  QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
  if (translator->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"), QStringLiteral("_"),
                       QLibraryInfo::location(QLibraryInfo::TranslationsPath)))
    application.installTranslator(translator);
}

void setUpLogging(bool verbose) {
  QLoggingCategory::setFilterRules(verbose ? QStringLiteral("default.debug=true\ncardplayer.*.debug=true")
                                           : QStringLiteral("default.debug=false"));
}

QStringList attachCards(const QStringList &paths) {
  QStringList problems;
  for (const QString &path : paths) {
    if (plat_attachPath(QFile::encodeName(path).constData()) == 0) continue;
    problems << Startup::tr("无法打开 %1：%2")
                    .arg(path, QFileInfo::exists(path) ? Startup::tr("不是存储卡的映像、块设备或目录")
                                                       : Startup::tr("没有这个文件或目录"));
  }
  return problems;
}
