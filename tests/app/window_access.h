// Shared helpers of the main window's tests: a window made as the entry
// point makes it, access to its private members, and presses and clicks
// the way a user makes them.
#pragma once

#include <QCalendarWidget>
#include <QComboBox>
#include <QCursor>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QTest>
#include <QVBoxLayout>
#include <memory>

#include "test.h"
#include "ui_test.h"

class AppWindowTest {
 public:
  static Ui::test *ui(test &w) { return w.ui; }
  static QStringList &diskNames(test &w) { return w.diskNames; }
  static QList<int> &diskVersions(test &w) { return w.diskVersions; }
  static int currentDiskId(test &w) { return w.currentDiskId; }
  static QList<QPushButton *> &buttons(test &w) { return w.fragmentButtons; }
  static QPushButton *currentButton(test &w) { return w.currentFragmentButton; }
  static QVBoxLayout *fragmentLayout(test &w) { return w.fragmentLayout; }
  static int rowUnit(test &w) { return w.fragmentRowUnit; }
  static QMenu *speedMenu(test &w) { return w.speedMenu; }
  static QTimer *sliderTimer(test &w) { return w.sliderTimer; }
  static QLabel *frameTimeLabel(test &w) { return w.frameTimeLabel; }
  static AudioOutput *audio(test &w) { return w.audio; }
  static VideoPanes *panes(test &w) { return w.panes; }
  static DemuxerBase *worker(test &w, int pane) { return w.paneWorkers[pane]; }
  static void showPanes(test &w, int channels) { w.showPanes(channels); }
  static void markMonth(test &w, int year, int month, uint32_t mask) {
    w.markMonth(year, month, mask);
  }
  static void showDayList(test &w, const std::vector<FragmentEntry> &entries, int64_t dayEnd) {
    w.showDayList(entries, dayEnd);
  }
};

// The window as the entry point shows it.
inline std::unique_ptr<test> makeWindow() {
  auto w = std::make_unique<test>();
  w->setStyleSheet(kMainWindowStyleSheet);
  w->show();
  if (!QTest::qWaitForWindowExposed(w.get())) qWarning("window not exposed");
  return w;
}

// A left press on a combo box as a user makes it; the drop-down that opens
// is closed again.
inline void pressCombo(QComboBox *combo, Qt::MouseButton button = Qt::LeftButton) {
  QTest::mousePress(combo, button, Qt::NoModifier, QPoint(20, combo->height() / 2));
  QTest::mouseRelease(combo, button, Qt::NoModifier, QPoint(20, combo->height() / 2));
  combo->hidePopup();
}

// Buttons of the fragment list that are laid out now, in layout order.
inline QList<QPushButton *> laidOutButtons(QVBoxLayout *layout) {
  QList<QPushButton *> out;
  for (int i = 0; i < layout->count(); i++)
    if (auto *b = qobject_cast<QPushButton *>(layout->itemAt(i)->widget())) out.append(b);
  return out;
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
