// The main window without any card: its state right after start-up, its
// look, the day marks and the fragment list built from given day lists.
#include <QAction>
#include <QMenu>
#include <QSignalSpy>
#include <QTextCharFormat>
#include <QTimer>

#include "device.h"
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
    // No disk of the machine's own takes part.
    plat_setRoots("/nonexistent", "/nonexistent", "/nonexistent");
    window = makeWindow();
    QVERIFY(settle(*window));
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
    QVERIFY(!AppWindowTest::cardOpen(*window));
    QCOMPARE(list()->rowCount(), 0);
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
  // own; the panes stay black and the fragment buttons white, each type in
  // its own colour, a type without a look in the default one.
  void styleSheetCascades() {
    const int64_t day = midnight(QDate(2025, 3, 10));
    list()->show({{0, day, day + 1}, {1, day + 2, day + 3}, {2, day + 4, day + 5}, {7, day + 6, day + 7}});
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
    const QStringList colours = {"color: red;", "color: blue;", "color: green;"};
    for (int row = 0; row < 3; row++) {
      QVERIFY(list()->button(row)->styleSheet().contains(colours[row]));
      QCOMPARE(pixelAt(image, window.get(), list()->button(row), QPoint(5, 5)), QColor(Qt::white));
    }
    QCOMPARE(list()->button(3)->styleSheet(), QString());
    QVERIFY(pixelAt(image, window.get(), list()->button(3), QPoint(5, 5)) != QColor(Qt::white));
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

  void fragmentsThatEndBeforeTheyStartGetNoButton() {
    const int64_t day = midnight(QDate(2025, 3, 20));
    list()->show({{1, day + 100, day + 100}, {1, day + 300, day + 200}, {1, day + 400, day + 401}});
    QCOMPARE(list()->rowCount(), 1);
    QCOMPARE(list()->button(0)->objectName(), QString("%1-%2").arg(day + 400).arg(day + 401));
    QCOMPARE(list()->button(0)->text(), QString("00:06:40-00:06:41   下载 | 播放"));
    // Entries that get no row still count for the list's height.
    QCOMPARE(ui->scrollAreaWidgetContents->height(), 800);
  }

  // The row unit shrinks once the list would pass 32700 px, down to one
  // pixel. However long the list, only the rows in view get a button, and
  // every row can be scrolled to.
  void longListsShrinkAndBuildOnlyWhatIsInView_data() {
    QTest::addColumn<int>("entries");
    QTest::addColumn<int>("unit");
    QTest::newRow("743 still fit at full size") << 743 << 40;
    QTest::newRow("744") << 744 << 39;
    QTest::newRow("29727") << 29727 << 1;
    QTest::newRow("a full day, one a second") << kMaxDayEntries << 1;
  }

  void longListsShrinkAndBuildOnlyWhatIsInView() {
    QFETCH(int, entries);
    QFETCH(int, unit);
    const int64_t day = midnight(QDate(2025, 3, 20));
    QVector<FragmentEntry> all;
    for (int i = 0; i < entries; i++) all.append({1, day + i, day + i + 1});
    list()->show(all);
    QCOMPARE(list()->rowUnit(), unit);
    QVERIFY(ui->scrollAreaWidgetContents->height() >= entries * (unit + unit / 10));
    const int inView = ui->scrollArea->viewport()->height() / 44 + 2;
    for (int row : {0, entries / 2, entries - 1}) {
      list()->scrollTo(row);
      QVERIFY(list()->button(row));
      QCOMPARE(list()->button(row)->objectName(), QString("%1-%2").arg(day + row).arg(day + row + 1));
      const int built = ui->scrollAreaWidgetContents->findChildren<QPushButton *>().size();
      QVERIFY2(built <= inView, qPrintable(QString("%1 buttons for %2 rows in view").arg(built).arg(inView)));
    }
  }

  void dayQueryNeedsAChosenDisk() {
    const int64_t day = midnight(QDate(2025, 3, 20));
    list()->show({{1, day + 100, day + 200}});
    QPushButton *kept = list()->button(0);
    ui->calendarWidget->setSelectedDate(QDate(2025, 3, 21));
    QCOMPARE(list()->rowCount(), 1);
    QCOMPARE(list()->button(0), kept);
  }

 private:
  FragmentList *list() { return AppWindowTest::list(*window); }
  std::unique_ptr<test> window;
  Ui::test *ui = nullptr;
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
