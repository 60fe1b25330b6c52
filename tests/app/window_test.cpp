// The main window without any card: its state right after start-up, its
// look, the day marks and the fragment list built from given day lists.
#include <QAction>
#include <QMenu>
#include <QSignalSpy>
#include <QTextCharFormat>
#include <QTimer>

#include "globals.h"
#include "window_access.h"

namespace {

int64_t midnight(const QDate &d) {
  return QDateTime(d, QTime(0, 0), Qt::LocalTime).toSecsSinceEpoch();
}

QColor pixelAt(const QImage &image, QWidget *window, QWidget *w, QPoint at) {
  return image.pixelColor(w->mapTo(window, at));
}

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    playState = 0;
    window = makeWindow();
    ui = AppWindowTest::ui(*window);
  }
  void cleanup() { window.reset(); }

  void startsWithNothingChosen() {
    QCOMPARE(ui->comboBox_disk->count(), 0);
    QCOMPARE(ui->comboBox_audioDevice->count(), 0);
    QVERIFY(ui->label_video_1->isVisible());
    QVERIFY(ui->label_video_2->isHidden());
    QCOMPARE(ui->label_time->text(), QString("00:00:00/00:00:00"));
    QCOMPARE(ui->calendarWidget->dateTextFormat().size(), 0);
    QCOMPARE(AppWindowTest::currentDiskId(*window), -1);
    QCOMPARE(AppWindowTest::buttons(*window).size(), 0);
    QCOMPARE(window->windowTitle(), QString("视频播放器"));

    const QString dir = QCoreApplication::applicationDirPath() + "/Video";
    QCOMPARE(downloadDir, dir);
    QCOMPARE(ui->pushButton_downloadContent->toolTip(), QString("当前下载路径: ") + dir);
  }

  void speedMenuAndPositionTimer() {
    QStringList texts;
    QList<int> speeds;
    for (QAction *a : AppWindowTest::speedMenu(*window)->actions()) {
      texts << a->text();
      speeds << a->data().toInt();
    }
    QCOMPARE(texts, QStringList({"0.1x", "0.5x", "1.0x", "1.5x", "2.0x", "4.0x"}));
    QCOMPARE(speeds, QList<int>({1, 5, 10, 15, 20, 40}));
    QCOMPARE(ui->pushButton_speed->text(), QString("1.0x"));
    AppWindowTest::speedMenu(*window)->actions().at(5)->trigger();
    QCOMPARE(ui->pushButton_speed->text(), QString("4.0x"));
    QCOMPARE(int(playSpeed), 40);
    AppWindowTest::speedMenu(*window)->actions().at(2)->trigger();
    QCOMPARE(int(playSpeed), 10);

    QTimer *timer = AppWindowTest::sliderTimer(*window);
    QVERIFY(timer->isActive() && !timer->isSingleShot());
    QCOMPARE(timer->interval(), 200);
  }

  // The window's own background reaches every child without one of its
  // own; the panes stay black and the fragment buttons white.
  void styleSheetCascades() {
    const int64_t day = midnight(QDate(2025, 3, 10));
    AppWindowTest::showDayList(*window, {{1, day + 3600, day + 3700}, {7, day + 7200, day + 7300}},
                               day + 86400);
    QCoreApplication::processEvents();
    const QImage image = window->grab().toImage();
    const QColor green(160, 216, 200);
    QCOMPARE(pixelAt(image, window.get(), ui->label_time, QPoint(120, 0)), green);
    QCOMPARE(pixelAt(image, window.get(), ui->label_2, QPoint(80, 0)), green);
    QCOMPARE(pixelAt(image, window.get(), ui->scrollAreaWidgetContents, QPoint(2, 2)), green);
    QWidget *slider = ui->horizontalSlider;
    QCOMPARE(pixelAt(image, window.get(), slider, QPoint(slider->width() - 2, 1)), green);
    QWidget *pane = ui->label_video_1;
    QCOMPARE(pixelAt(image, window.get(), pane, QPoint(pane->width() / 2, pane->height() / 2)),
             QColor(Qt::black));
    QList<QPushButton *> buttons = AppWindowTest::buttons(*window);
    QCOMPARE(buttons.size(), 2);
    QCOMPARE(pixelAt(image, window.get(), buttons[0], QPoint(5, 5)), QColor(Qt::white));
    QVERIFY(buttons[0]->styleSheet().contains("color: blue;"));
    // A type the list has no style for keeps the default button look.
    QCOMPARE(buttons[1]->styleSheet(), QString());
    QVERIFY(pixelAt(image, window.get(), buttons[1], QPoint(5, 5)) != QColor(Qt::white));

  }

  // Each type has its own look; a type without one keeps the default.
  void typesChooseTheButtonLook() {
    const int64_t day = midnight(QDate(2025, 3, 20));
    AppWindowTest::showDayList(
        *window, {{0, day, day + 1}, {1, day + 2, day + 3}, {2, day + 4, day + 5}, {3, day + 6, day + 7}},
        day + 86400);
    QList<QPushButton *> b = AppWindowTest::buttons(*window);
    QCOMPARE(b.size(), 4);
    QVERIFY(b[0]->styleSheet().contains("color: red;"));
    QVERIFY(b[1]->styleSheet().contains("color: blue;"));
    QVERIFY(b[2]->styleSheet().contains("border:2px solid green;"));
    QCOMPARE(b[3]->styleSheet(), QString());
  }

  void marksOnlyDaysTheMonthHas() {
    QCalendarWidget *cal = ui->calendarWidget;
    AppWindowTest::markMonth(*window, 2025, 3, (1u << 0) | (1u << 30));
    QCOMPARE(cal->dateTextFormat(QDate(2025, 3, 1)).foreground().color(), QColor(Qt::red));
    QCOMPARE(cal->dateTextFormat(QDate(2025, 3, 31)).foreground().color(), QColor(Qt::red));
    QCOMPARE(cal->dateTextFormat().size(), 2);

    AppWindowTest::markMonth(*window, 2025, 4, 1u << 30);  // April has 30 days
    QCOMPARE(cal->dateTextFormat().size(), 2);
    AppWindowTest::markMonth(*window, 2025, 2, (1u << 28) | (1u << 29) | (1u << 30));
    QCOMPARE(cal->dateTextFormat().size(), 2);
    AppWindowTest::markMonth(*window, 2024, 2, 1u << 28);  // a leap year's 29 February
    QCOMPARE(cal->dateTextFormat(QDate(2024, 2, 29)).foreground().color(), QColor(Qt::red));
  }

  void trailingFragmentAfterTheDay_data() {
    QTest::addColumn<int64_t>("lastStartAfterDayEnd");
    QTest::addColumn<int>("buttons");
    QTest::newRow("starts one second after the day") << int64_t(1) << 2;
    QTest::newRow("starts exactly at the day's end") << int64_t(0) << 3;
  }

  void trailingFragmentAfterTheDay() {
    QFETCH(int64_t, lastStartAfterDayEnd);
    QFETCH(int, buttons);
    const int64_t day = midnight(QDate(2025, 3, 20));
    const int64_t end = day + 86400;
    AppWindowTest::showDayList(*window,
                               {{0, day + 100, day + 200},
                                {1, day + 300, day + 400},
                                {2, end + lastStartAfterDayEnd, end + 500}},
                               end);
    QCOMPARE(AppWindowTest::buttons(*window).size(), buttons);
  }

  void fragmentsThatEndBeforeTheyStartGetNoButton() {
    const int64_t day = midnight(QDate(2025, 3, 20));
    AppWindowTest::showDayList(
        *window, {{1, day + 100, day + 100}, {1, day + 300, day + 200}, {1, day + 400, day + 401}},
        day + 86400);
    QList<QPushButton *> buttons = AppWindowTest::buttons(*window);
    QCOMPARE(buttons.size(), 1);
    QCOMPARE(buttons[0]->objectName(), QString("%1-%2").arg(day + 400).arg(day + 401));
    QCOMPARE(buttons[0]->text(), QString("00:06:40-00:06:41   下载 | 播放"));
    // Entries that get no button still count for the list's height.
    QCOMPARE(ui->scrollAreaWidgetContents->height(), 800);
  }

  // The row unit shrinks once the list would pass the tallest widget; so
  // many entries that it would round down to 0 keep rows one pixel apart.
  void rowUnitShrinksForLongLists_data() {
    QTest::addColumn<int>("entries");
    QTest::addColumn<int>("unit");
    QTest::addColumn<int>("height");
    QTest::newRow("743 still fit at full size") << 743 << 40 << 743 * 44;
    QTest::newRow("744") << 744 << 39 << 744 * 42;
    QTest::newRow("29727") << 29727 << 1 << 29727;
    QTest::newRow("29728") << 29728 << 1 << 29728;
  }

  void rowUnitShrinksForLongLists() {
    QFETCH(int, entries);
    QFETCH(int, unit);
    QFETCH(int, height);
    const int64_t day = midnight(QDate(2025, 3, 20));
    AppWindowTest::showDayList(*window, std::vector<FragmentEntry>(entries, FragmentEntry{1, day + 10, day + 5}),
                               day + 86400);
    QCOMPARE(AppWindowTest::rowUnit(*window), unit);
    QCOMPARE(ui->scrollAreaWidgetContents->height(), height);
    ui->scrollArea->verticalScrollBar()->setValue(5000);  // paging keeps working
    QCOMPARE(AppWindowTest::buttons(*window).size(), 0);
  }

  void dayQueryNeedsAChosenDisk() {
    const int64_t day = midnight(QDate(2025, 3, 20));
    AppWindowTest::showDayList(*window, {{1, day + 100, day + 200}}, day + 86400);
    QPushButton *kept = AppWindowTest::buttons(*window).at(0);
    ui->calendarWidget->setSelectedDate(QDate(2025, 3, 21));
    QCOMPARE(AppWindowTest::buttons(*window).size(), 1);
    QCOMPARE(AppWindowTest::buttons(*window).at(0), kept);
  }

 private:
  std::unique_ptr<test> window;
  Ui::test *ui = nullptr;
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
