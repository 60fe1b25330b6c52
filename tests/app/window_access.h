// Shared helpers of the main window's tests: a window made as the entry
// point makes it, access to its private members, waiting for its card
// thread, and presses and clicks the way a user makes them.
#pragma once

#include <QCalendarWidget>
#include <QComboBox>
#include <QCursor>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QTest>
#include <QVBoxLayout>
#include <memory>

#include "fragment_list.h"
#include "test.h"
#include "ui_test.h"

class AppWindowTest {
 public:
  static Ui::test *ui(test &w) { return w.ui; }
  static FragmentList *list(test &w) { return w.fragmentList; }
  static bool cardOpen(test &w) { return w.openKey != test::kNoCard; }
  static QLabel *frameTimeLabel(test &w) { return w.frameTimeLabel; }
  static void markMonth(test &w, int year, int month, uint32_t mask) { w.markMonth(year, month, mask); }
  static AudioOutput *audio(test &w) { return w.audio; }
  static VideoPanes *panes(test &w) { return w.panes; }
  static DemuxerBase *worker(test &w, int pane) { return w.paneWorkers[pane]; }
  static void showPanes(test &w, int channels) { w.showPanes(channels); }
};

// The window as the entry point shows it.
inline std::unique_ptr<test> makeWindow() {
  auto w = std::make_unique<test>();
  w->setStyleSheet(kMainWindowStyleSheet);
  w->show();
  if (!QTest::qWaitForWindowExposed(w.get())) qWarning("window not exposed");
  return w;
}

// Handles events until the card thread has answered everything the window
// asked; false after ms without that. Waits inside the event loop, never
// beside it, so that the window's latency can be measured meanwhile.
inline bool settle(test &w, int ms = 60000) {
  QElapsedTimer t;
  t.start();
  do {
    QEventLoop loop;
    QTimer::singleShot(5, &loop, &QEventLoop::quit);
    loop.exec();
  } while (w.isBusy() && t.elapsed() < ms);
  QCoreApplication::processEvents();
  return !w.isBusy();
}

// A left press on a combo box as a user makes it; the drop-down that opens
// is closed again.
inline void pressCombo(QComboBox *combo) {
  QTest::mouseClick(combo, Qt::LeftButton, Qt::NoModifier, QPoint(20, combo->height() / 2));
  combo->hidePopup();
}

// A mouse click at x (and mid height) of a fragment button; the handler
// reads the click point from the cursor, so the cursor goes there first.
inline void clickAt(QPushButton *button, int x) {
  const QPoint at(x, button->height() / 2);
  QCursor::setPos(button->mapToGlobal(at));
  QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, at);
}

// Visible labels of the window showing this text (the click bubbles).
inline int visibleLabels(test &w, const QString &text) {
  int n = 0;
  for (QLabel *l : w.findChildren<QLabel *>())
    if (l->isVisible() && l->text() == text) n++;
  return n;
}
