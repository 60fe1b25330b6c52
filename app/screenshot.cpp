#include "screenshot.h"

#include <QApplication>
#include <QCalendarWidget>
#include <QComboBox>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <algorithm>
#include <cstdio>

#include "test.h"

namespace {

// Time for the layouts and the paging to settle before the picture is taken.
constexpr int kSettleMs = 400;

// The window finds, opens and lists cards on a thread of its own.
void settle(test *window) {
  while (window->isBusy()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

void finish(int code, const QString &message) {
  if (!message.isEmpty()) fprintf(stderr, "screenshot: %s\n", qPrintable(message));
  QCoreApplication::exit(code);
}

}  // namespace

void scheduleScreenshot(test *window, const ScreenshotRequest &request) {
  QTimer::singleShot(kSettleMs, window, [window, request] {
    if (!request.disk.isEmpty()) {
      // The same refresh a press on the disk chooser makes.
      QMetaObject::invokeMethod(window, "findDiskDevice");
      settle(window);
      auto *combo = window->findChild<QComboBox *>("comboBox_disk");
      bool isIndex = false;
      int index = request.disk.toInt(&isIndex);
      if (!isIndex) index = combo->findText(request.disk, Qt::MatchContains);
      if (index < 0 || index >= combo->count()) {
        finish(1, QString("no disk \"%1\" in the chooser").arg(request.disk));
        return;
      }
      combo->setCurrentIndex(index);
      settle(window);
    }
    if (request.day.isValid()) {
      auto *calendar = window->findChild<QCalendarWidget *>("calendarWidget");
      calendar->setCurrentPage(request.day.year(), request.day.month());
      calendar->setSelectedDate(request.day);
      settle(window);
    }
    if (request.fragment >= 0) {
      // Fragment buttons are named "<start>-<end>"; the paging moves them
      // between the window and the list, so look for them by name.
      static const QRegularExpression fragmentName("^\\d+-\\d+$");
      QList<QPushButton *> buttons;
      for (QPushButton *b : window->findChildren<QPushButton *>())
        if (fragmentName.match(b->objectName()).hasMatch()) buttons.append(b);
      std::sort(buttons.begin(), buttons.end(), [](QPushButton *a, QPushButton *b) {
        return a->objectName().section('-', 0, 0).toLongLong() <
               b->objectName().section('-', 0, 0).toLongLong();
      });
      if (request.fragment >= buttons.size()) {
        finish(1, QString("no fragment %1 on that day").arg(request.fragment));
        return;
      }
      buttons.at(request.fragment)->click();
    }
    if (request.play) {
      auto *play = window->findChild<QPushButton *>("pushButton_play");
      if (play) play->click();
    }
    if (request.path.isEmpty()) return;
    QTimer::singleShot(kSettleMs, window, [window, request] {
      // The panes are drawn by SDL, which a toolkit grab cannot see: they
      // show as the toolkit would draw them, black.
      for (QLabel *pane : window->findChildren<QLabel *>(QRegularExpression("^label_video_")))
        pane->setUpdatesEnabled(true);
      if (!window->grab().save(request.path, "PNG")) {
        finish(1, QString("cannot write %1").arg(request.path));
        return;
      }
      finish(0, QString());
    });
  });
}
