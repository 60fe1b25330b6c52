// The main window without any card: its state right after start-up, the
// widget tree and its look, the day marks and the fragment list built from
// given day lists.
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
    QCOMPARE(AppWindowTest::rowUnit(*window), 40);
    QCOMPARE(window->windowTitle(), QString("视频播放器"));
    QVERIFY(!window->windowIcon().isNull());

    const QString dir = QCoreApplication::applicationDirPath() + "/Video";
    QCOMPARE(downloadDir, dir);
    QCOMPARE(ui->pushButton_downloadContent->toolTip(), QString("当前下载路径: ") + dir);
  }

  void startsAtNormalSpeedWithTheTimerRunning() {
    QCOMPARE(ui->pushButton_speed->text(), QString("1.0x"));
    QCOMPARE(int(playSpeed), 10);
    QStringList texts;
    QList<int> speeds;
    for (QAction *a : AppWindowTest::speedMenu(*window)->actions()) {
      texts << a->text();
      speeds << a->data().toInt();
    }
    QCOMPARE(texts, QStringList({"0.1x", "0.5x", "1.0x", "1.5x", "2.0x", "4.0x"}));
    QCOMPARE(speeds, QList<int>({1, 5, 10, 15, 20, 40}));
    AppWindowTest::speedMenu(*window)->actions().at(5)->trigger();
    QCOMPARE(ui->pushButton_speed->text(), QString("4.0x"));
    QCOMPARE(int(playSpeed), 40);
    AppWindowTest::speedMenu(*window)->actions().at(2)->trigger();

    QTimer *timer = AppWindowTest::sliderTimer(*window);
    QVERIFY(timer->isActive());
    QCOMPARE(timer->interval(), 200);
    QVERIFY(!timer->isSingleShot());
  }

  void widgetTree_data() {
    QTest::addColumn<QString>("cls");
    QTest::addColumn<QSize>("minSize");
    QTest::addColumn<QSize>("maxSize");
    QTest::addColumn<QRect>("geometry");  // checked when valid
    const int M = QWIDGETSIZE_MAX;
    const QRect any;
    QTest::newRow("scrollArea") << "QScrollArea" << QSize(260, 0) << QSize(260, M) << any;
    QTest::newRow("scrollAreaWidgetContents") << "QWidget" << QSize(240, 800) << QSize(M, M) << any;
    QTest::newRow("calendarWidget") << "QCalendarWidget" << QSize(260, 250) << QSize(260, 250) << any;
    QTest::newRow("groupBox_2") << "QGroupBox" << QSize(0, 136) << QSize(M, 136) << any;
    QTest::newRow("comboBox_audioDevice") << "QComboBox" << QSize(0, 0) << QSize(M, M)
                                          << QRect(10, 83, 161, 31);
    QTest::newRow("comboBox_disk") << "QComboBox" << QSize(0, 0) << QSize(M, M) << QRect(10, 24, 161, 31);
    QTest::newRow("label") << "QLabel" << QSize(0, 0) << QSize(M, M) << QRect(1, 60, 91, 21);
    QTest::newRow("label_2") << "QLabel" << QSize(0, 0) << QSize(M, M) << QRect(1, 1, 81, 21);
    QTest::newRow("pushButton_downloadContent") << "QPushButton" << QSize(0, 0) << QSize(M, M)
                                                << QRect(175, 30, 81, 81);
    QTest::newRow("label_video_1") << "QLabel" << QSize(0, 0) << QSize(M, M) << any;
    QTest::newRow("label_video_2") << "QLabel" << QSize(0, 0) << QSize(M, M) << any;
    QTest::newRow("label_time") << "QLabel" << QSize(121, 16) << QSize(121, 16) << any;
    QTest::newRow("horizontalSlider") << "QSlider" << QSize(0, 30) << QSize(M, 30) << any;
    QTest::newRow("groupBox") << "QGroupBox" << QSize(0, 91) << QSize(M, 91) << any;
    QTest::newRow("pushButton_15L") << "QPushButton" << QSize(30, 30) << QSize(30, 30) << any;
    QTest::newRow("pushButton_last") << "QPushButton" << QSize(50, 50) << QSize(50, 50) << any;
    QTest::newRow("pushButton_play") << "QPushButton" << QSize(50, 50) << QSize(50, 50) << any;
    QTest::newRow("pushButton_next") << "QPushButton" << QSize(50, 50) << QSize(50, 50) << any;
    QTest::newRow("pushButton_15R") << "QPushButton" << QSize(30, 30) << QSize(30, 30) << any;
    QTest::newRow("pushButton_nextFrame") << "QPushButton" << QSize(60, 30) << QSize(M, M) << any;
    QTest::newRow("pushButton_speed") << "QPushButton" << QSize(60, 30) << QSize(M, M) << any;
  }

  void widgetTree() {
    QFETCH(QString, cls);
    QFETCH(QSize, minSize);
    QFETCH(QSize, maxSize);
    QFETCH(QRect, geometry);
    QWidget *w = window->findChild<QWidget *>(QTest::currentDataTag());
    QVERIFY(w);
    QVERIFY(w->inherits(cls.toLatin1().constData()));
    QCOMPARE(w->minimumSize(), minSize);
    QCOMPARE(w->maximumSize(), maxSize);
    if (geometry.isValid()) {
      QCOMPARE(w->geometry(), geometry);
      QCOMPARE(w->parentWidget(), ui->groupBox_2);
    }
  }

  void formDetails() {
    QCOMPARE(window->minimumSize(), QSize(1100, 600));
    QCOMPARE(window->font().pointSize(), 10);
    QCOMPARE(ui->verticalLayout->spacing(), 10);
    QCOMPARE(ui->horizontalLayout_3->spacing(), 1);
    QCOMPARE(ui->horizontalSlider->minimum(), 0);
    QCOMPARE(ui->horizontalSlider->maximum(), 1000);
    QCOMPARE(ui->horizontalSlider->pageStep(), 999);
    QVERIFY(!ui->horizontalSlider->hasTracking());
    QVERIFY(ui->scrollArea->widgetResizable());
    QCOMPARE(ui->scrollArea->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(ui->pushButton_play->iconSize(), QSize(25, 25));
    QVERIFY(!ui->pushButton_play->icon().isNull());
    QCOMPARE(ui->calendarWidget->verticalHeaderFormat(), QCalendarWidget::NoVerticalHeader);
    QCOMPARE(ui->calendarWidget->weekdayTextFormat(Qt::Sunday).foreground().color(),
             QColor(Qt::black));
    for (QLabel *l : {ui->label, ui->label_2, ui->label_video_1, ui->label_video_2, ui->label_time})
      QCOMPARE(l->font().pixelSize(), 13);
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
    // A type the list has no style for keeps the default button look.
    QVERIFY(pixelAt(image, window.get(), buttons[1], QPoint(5, 5)) != QColor(Qt::white));
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

  // So many entries that the row unit would round down to 0: the rows stay
  // one pixel apart and the paging keeps working.
  void longestListsKeepARowUnitOfOne() {
    const int64_t day = midnight(QDate(2025, 3, 20));
    std::vector<FragmentEntry> entries(29728, FragmentEntry{1, day + 10, day + 5});
    AppWindowTest::showDayList(*window, entries, day + 86400);
    QCOMPARE(AppWindowTest::rowUnit(*window), 1);
    QCOMPARE(ui->scrollAreaWidgetContents->height(), 29728);
    ui->scrollArea->verticalScrollBar()->setValue(5000);
    QCOMPARE(AppWindowTest::buttons(*window).size(), 0);

    entries.resize(29727);
    AppWindowTest::showDayList(*window, entries, day + 86400);
    QCOMPARE(AppWindowTest::rowUnit(*window), 1);
    entries.resize(743);  // 743 x 44 = 32692 still fits at full size
    AppWindowTest::showDayList(*window, entries, day + 86400);
    QCOMPARE(AppWindowTest::rowUnit(*window), 40);
    QCOMPARE(ui->scrollAreaWidgetContents->height(), 743 * 44);
    entries.resize(744);
    AppWindowTest::showDayList(*window, entries, day + 86400);
    QCOMPARE(AppWindowTest::rowUnit(*window), 39);
    QCOMPARE(ui->scrollAreaWidgetContents->height(), 42 * 744);
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
