#include "shortcuts.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCalendarWidget>
#include <QComboBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QShortcut>
#include <QWidget>

namespace {

struct Binding {
  const char *keys;  // one or more keys, separated by "|"
  const char *shown; // as the help shows them (translated where marked)
  const char *slot;  // slot of the window
  const char *what;  // what it does, translated in the help
};

const Binding kBindings[] = {
    {"Space", QT_TRANSLATE_NOOP("Shortcuts", "空格"), "on_pushButton_play_clicked",
     QT_TRANSLATE_NOOP("Shortcuts", "播放 / 暂停")},
    {"Left", "←", "on_pushButton_15L_clicked", QT_TRANSLATE_NOOP("Shortcuts", "后退 15 秒")},
    {"Right", "→", "on_pushButton_15R_clicked", QT_TRANSLATE_NOOP("Shortcuts", "前进 15 秒")},
    {",", ",", "on_pushButton_prevFrame_clicked", QT_TRANSLATE_NOOP("Shortcuts", "上一帧")},
    {".", ".", "on_pushButton_nextFrame_clicked", QT_TRANSLATE_NOOP("Shortcuts", "下一帧")},
    {"PgUp", "Page Up", "on_pushButton_last_clicked", QT_TRANSLATE_NOOP("Shortcuts", "上一个片段")},
    {"PgDown", "Page Down", "on_pushButton_next_clicked", QT_TRANSLATE_NOOP("Shortcuts", "下一个片段")},
    {"Home", "Home", "restartFragment", QT_TRANSLATE_NOOP("Shortcuts", "回到片段开头")},
    {"+|=", "+", "speedUp", QT_TRANSLATE_NOOP("Shortcuts", "加快播放")},
    {"-", "-", "speedDown", QT_TRANSLATE_NOOP("Shortcuts", "减慢播放")},
    {"F", "F", "toggleFullScreen", QT_TRANSLATE_NOOP("Shortcuts", "鼠标所在画面全屏 / 还原")},
    {"Esc", "Esc", "leaveFullScreen", QT_TRANSLATE_NOOP("Shortcuts", "退出全屏")},
    {"M", "M", "toggleMute", QT_TRANSLATE_NOOP("Shortcuts", "静音 / 取消静音")},
    {"S", "S", "on_pushButton_still_clicked",
     QT_TRANSLATE_NOOP("Shortcuts", "保存鼠标所在画面的截图")},
    {"F1", "F1", "showShortcuts", QT_TRANSLATE_NOOP("Shortcuts", "快捷键列表")},
};

// Keys the focused widget keeps for itself: the calendar and the choosers
// move with the arrows and pages, and a focused button is pressed with
// Space (the fragment list is used from the keyboard that way).
class FocusKeeps : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject *watched, QEvent *event) override {
    if (event->type() != QEvent::ShortcutOverride || !watched->isWidgetType()) return false;
    const int key = static_cast<QKeyEvent *>(event)->key();
    auto *w = static_cast<QWidget *>(watched);
    const bool navigation = key == Qt::Key_Left || key == Qt::Key_Right ||
                            key == Qt::Key_PageUp || key == Qt::Key_PageDown ||
                            key == Qt::Key_Home || key == Qt::Key_Space;
    bool keep = false;
    if (navigation)
      for (QWidget *p = w; p && !keep; p = p->parentWidget())
        keep = qobject_cast<QCalendarWidget *>(p) || qobject_cast<QComboBox *>(p);
    if (key == Qt::Key_Space && qobject_cast<QAbstractButton *>(w)) keep = true;
    if (keep) event->accept();
    return false;
  }
};

}  // namespace

void installShortcuts(QWidget *window) {
  qApp->installEventFilter(new FocusKeeps(window));
  for (const Binding &b : kBindings) {
    for (const QString &key : QString(b.keys).split('|')) {
      auto *shortcut = new QShortcut(QKeySequence(key), window);
      const char *slot = b.slot;
      QObject::connect(shortcut, &QShortcut::activated, window,
                       [window, slot] { QMetaObject::invokeMethod(window, slot); });
    }
  }
}

QString shortcutHelp() {
  QString text = "<table>";
  for (const Binding &b : kBindings)
    text += QString("<tr><td><b>%1</b></td><td>&nbsp;&nbsp;%2</td></tr>")
                .arg(QCoreApplication::translate("Shortcuts", b.shown).toHtmlEscaped(),
                     QCoreApplication::translate("Shortcuts", b.what));
  return text + "</table>";
}
