// The main window on cards written by the recorder simulator: the disk
// list, opening a card, the calendar marks, the fragment list and clicks on
// its buttons. Disks are attached through a throw-away /sys tree, so the
// machine's own disks never take part.
#include <QAbstractItemView>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextCharFormat>

#include "device.h"
#include "fake_sysfs.h"
#include "globals.h"
#include "window_access.h"

namespace {

QString cardsim(const QStringList &args) {
  QProcess p;
  p.start(CARDSIM_PATH, args);
  if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
    return QString::fromLocal8Bit(p.readAllStandardError());
  return QString();
}

QString rec(int ch, const QString &start, const QString &end, int type) {
  return QString("%1,%2,%3,%4").arg(ch).arg(start, end).arg(type);
}

int64_t at(const QString &localTime) {
  return QDateTime::fromString(localTime, "yyyy-MM-dd HH:mm:ss").toSecsSinceEpoch();
}

bool isRed(QCalendarWidget *cal, const QDate &d) {
  return cal->dateTextFormat(d).foreground().color() == QColor(Qt::red);
}

// Watches the drop-down of a combo box and notes how many entries the combo
// held when the drop-down appeared.
class PopupWatcher : public QObject {
 public:
  explicit PopupWatcher(QComboBox *c) : combo(c) { combo->view()->window()->installEventFilter(this); }
  int countAtShow = -1;
  bool eventFilter(QObject *, QEvent *e) override {
    if (e->type() == QEvent::Show) countAtShow = combo->count();
    return false;
  }
  QComboBox *combo;
};

}  // namespace

class CardsTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(dir.isValid());
    raw2 = dir.filePath("raw2.img");
    QStringList args = {"--layout", "raw", "--codec", "h265", "--channels", "2", "--size", "64x48",
                        "--fps", "2", "--gop", "2", "--out", raw2,
                        "--record", rec(0, "2025-03-01 10:00:00", "2025-03-01 10:00:06", 0),
                        "--record", rec(1, "2025-03-01 10:00:00", "2025-03-01 10:00:06", 0)};
    for (int i = 0; i < 10; i++) {
      const QDateTime s = QDateTime(QDate(2025, 3, 10), QTime(8, i, 0));
      args << "--record"
           << QString("0,%1,%2,%3").arg(s.toSecsSinceEpoch()).arg(s.toSecsSinceEpoch() + 4).arg(i % 4);
    }
    args << "--record" << rec(0, "2025-03-31 23:00:00", "2025-03-31 23:00:04", 2)
         << "--record" << rec(0, "2025-04-02 09:00:00", "2025-04-02 09:00:04", 1);
    QCOMPARE(cardsim(args), QString());

    file1 = dir.filePath("file1");
    QCOMPARE(cardsim({"--layout", "file", "--codec", "h264", "--channels", "1", "--size", "160x96",
                      "--fps", "4", "--gop", "4", "--out", file1,
                      "--record", rec(0, "2025-03-05 09:00:00", "2025-03-05 09:00:04", 1),
                      "--record", rec(0, "2025-03-06 09:00:00", "2025-03-06 09:00:04", 2)}),
             QString());

    raw3 = dir.filePath("raw3.img");
    QCOMPARE(cardsim({"--layout", "raw", "--codec", "h265", "--channels", "3", "--size", "64x48",
                      "--fps", "2", "--gop", "2", "--no-audio", "--out", raw3,
                      "--record", rec(0, "2025-03-01 10:00:00", "2025-03-01 10:00:04", 1),
                      "--record", rec(1, "2025-03-01 10:00:00", "2025-03-01 10:00:04", 1),
                      "--record", rec(2, "2025-03-01 10:00:00", "2025-03-01 10:00:04", 1)}),
             QString());

    big = dir.filePath("big.img");
    QStringList bigArgs = {"--layout", "raw", "--codec", "h265", "--channels", "1", "--size", "64x48",
                           "--media", "synthetic", "--no-audio", "--fps", "1", "--gop", "10",
                           "--out", big};
    const int64_t day = at("2025-03-05 00:00:00");
    for (int i = 0; i < 1000; i++)
      bigArgs << "--record" << QString("0,%1,%2,1").arg(day + i * 80).arg(day + i * 80 + 10);
    QCOMPARE(cardsim(bigArgs), QString());
  }

  void init() {
    plat_detachAll();
    fs = std::make_unique<fakesys::FakeSysfs>();
    fs->install();
    playState = 0;
  }

  void cleanup() {
    window.reset();
    fs.reset();
    plat_detachAll();
  }

  void noCardIsRecognisedUntilOneIsAttached() {
    fs->addUsbDisk("sdb", {}, fakesys::Image::sparse(200 << 20));
    open();
    pressCombo(combo());
    QCOMPARE(combo()->count(), 0);
    QCOMPARE(combo()->currentText(), QString());

    fs->addUsbDisk("sdc", {}, raw2.toStdString());
    pressCombo(combo());
    QCOMPARE(combo()->count(), 1);
    QCOMPARE(combo()->currentIndex(), -1);  // listed, not chosen
    QCOMPARE(AppWindowTest::currentDiskId(*window), -1);
  }

  void pressRefreshesTheListBeforeItOpens() {
    open();
    fs->addUsbDisk("sdb", {}, raw2.toStdString());
    PopupWatcher watcher(combo());
    pressCombo(combo(), Qt::RightButton);
    QCOMPARE(combo()->count(), 0);  // only the left button asks for disks
    pressCombo(combo());
    QCOMPARE(watcher.countAtShow, 1);
  }

  void aCardBothLayoutsRecogniseIsAFileLayoutCard() {
    fs->addUsbDisk("sdb", {}, raw2.toStdString());
    fs->mount("sdb", file1.toStdString());
    open();
    pressCombo(combo());
    QCOMPARE(combo()->count(), 1);
    QCOMPARE(AppWindowTest::diskVersions(*window), QList<int>({2}));
    choose(0, QDate(2025, 3, 5));
    QCOMPARE(int(storageV), 2);
    QCOMPARE(int(videoType), 1);
    QCOMPARE(int(channelNum), 1);
    QCOMPARE(AppWindowTest::buttons(*window).size(), 1);
  }

  void unchangedRediscoveryChangesNothing() {
    fs->addUsbDisk("sdb", {}, raw2.toStdString());
    open();
    pressCombo(combo());
    choose(0, QDate(2025, 3, 10));
    const QList<QPushButton *> before = AppWindowTest::buttons(*window);
    QCOMPARE(before.size(), 10);
    QSignalSpy textChanges(combo(), &QComboBox::currentTextChanged);
    QSignalSpy dayChanges(ui()->calendarWidget, &QCalendarWidget::selectionChanged);
    pressCombo(combo());
    QCOMPARE(textChanges.count(), 0);
    QCOMPARE(dayChanges.count(), 0);
    QCOMPARE(combo()->currentIndex(), 0);
    QCOMPARE(AppWindowTest::buttons(*window), before);
  }

  void chosenDiskStaysChosenWhenAnotherArrives() {
    fs->addUsbDisk("sdb", {}, raw2.toStdString());
    open();
    pressCombo(combo());
    choose(0, QDate(2025, 3, 10));
    const QString chosen = combo()->currentText();
    const QList<QPushButton *> before = AppWindowTest::buttons(*window);

    fs->addUsbDisk("sdc", {}, fakesys::Image::sparse(1 << 20));
    fs->mount("sdc", file1.toStdString());
    playState = 1;  // opening a disk stops play; a re-query does not
    QSignalSpy textChanges(combo(), &QComboBox::currentTextChanged);
    pressCombo(combo());
    QCOMPARE(combo()->count(), 2);
    QCOMPARE(combo()->currentText(), chosen);
    QCOMPARE(textChanges.count(), 1);
    QCOMPARE(int(playState), 1);
    QCOMPARE(int(storageV), 1);
    QCOMPARE(AppWindowTest::buttons(*window).size(), 10);
    QVERIFY(AppWindowTest::buttons(*window).at(0) != before.at(0));  // listed again
  }

  void chosenDiskGoneLeavesTheCalendarAndListAlone() {
    fs->addUsbDisk("sdb", {}, raw2.toStdString());
    fs->addUsbDisk("sdc", {}, fakesys::Image::sparse(1 << 20));
    fs->mount("sdc", file1.toStdString());
    open();
    pressCombo(combo());
    QCOMPARE(combo()->count(), 2);
    choose(combo()->findText(rawName()), QDate(2025, 3, 10));
    const QList<QPushButton *> before = AppWindowTest::buttons(*window);
    const auto marks = ui()->calendarWidget->dateTextFormat();
    QVERIFY(!marks.isEmpty());

    fs->removeDisk("sdb");
    pressCombo(combo());
    QCOMPARE(combo()->count(), 1);
    QCOMPARE(combo()->currentIndex(), -1);
    QCOMPARE(AppWindowTest::buttons(*window), before);
    QCOMPARE(ui()->calendarWidget->dateTextFormat(), marks);
  }

  void aDiskThatFailsToOpenOnlyShowsAMessage() {
    const QString copy = dir.filePath("doomed.img");
    QFile::remove(copy);
    QVERIFY(QFile::copy(raw2, copy));
    fs->addUsbDisk("sdb", {}, copy.toStdString());
    fs->addUsbDisk("sdc", {}, fakesys::Image::sparse(1 << 20));
    fs->mount("sdc", file1.toStdString());
    open();
    pressCombo(combo());
    QCOMPARE(combo()->count(), 2);
    const QString rawDisk = rawName();
    choose(combo()->findText(rawDisk) == 0 ? 1 : 0, QDate(2025, 3, 5));
    QCOMPARE(int(storageV), 2);
    const QList<QPushButton *> before = AppWindowTest::buttons(*window);
    QCOMPARE(before.size(), 1);
    const auto marks = ui()->calendarWidget->dateTextFormat();

    QVERIFY(QFile::resize(copy, 50 << 20));  // the card information is gone
    combo()->setCurrentIndex(combo()->findText(rawDisk));
    auto *message = window->findChild<QLabel *>("label_diskMessage");
    QVERIFY(message);
    QVERIFY(message->isVisible());
    QCOMPARE(message->text(), QString(kDiskOpenFailedText));
    QCOMPARE(int(storageV), 2);
    QCOMPARE(AppWindowTest::buttons(*window), before);
    QCOMPARE(ui()->calendarWidget->dateTextFormat(), marks);
    QTRY_VERIFY_WITH_TIMEOUT(message->isHidden(), 3000);
  }

  void panesFollowTheChannelCount() {
    fs->addUsbDisk("sdb", {}, raw2.toStdString());
    fs->addUsbDisk("sdc", {}, fakesys::Image::sparse(1 << 20));
    fs->mount("sdc", file1.toStdString());
    fs->addUsbDisk("sdd", {}, raw3.toStdString());
    open();
    pressCombo(combo());
    QCOMPARE(combo()->count(), 3);
    const QStringList names = AppWindowTest::diskNames(*window);
    const int two = names.indexOf(rawName("sdb"));
    choose(two, QDate(2025, 3, 1));
    QVERIFY(ui()->label_video_2->isVisible());
    QCOMPARE(int(channelNum), 2);
    QVERIFY(isRed(ui()->calendarWidget, QDate(2025, 3, 1)));

    // Another card's marks replace this one's.
    combo()->setCurrentIndex(AppWindowTest::diskVersions(*window).indexOf(2));
    QVERIFY(ui()->label_video_2->isHidden());
    QCOMPARE(int(channelNum), 1);
    QVERIFY(!isRed(ui()->calendarWidget, QDate(2025, 3, 1)));
    QVERIFY(isRed(ui()->calendarWidget, QDate(2025, 3, 5)));

    // Three channels: four panes.
    combo()->setCurrentIndex(names.indexOf(rawName("sdd")));
    QCOMPARE(int(channelNum), 3);
    QVERIFY(ui()->label_video_2->isVisible() && ui()->label_video_4->isVisible());
  }

  void marksTheRecordedDaysOfTheMonth() {
    fs->addUsbDisk("sdb", {}, raw2.toStdString());
    open();
    pressCombo(combo());
    choose(0, QDate(2025, 3, 2));
    QCalendarWidget *cal = ui()->calendarWidget;
    QVERIFY(isRed(cal, QDate(2025, 3, 1)));
    QVERIFY(isRed(cal, QDate(2025, 3, 10)));
    QVERIFY(isRed(cal, QDate(2025, 3, 31)));
    QCOMPARE(cal->dateTextFormat().size(), 3);
    QCOMPARE(AppWindowTest::buttons(*window).size(), 0);  // the 2nd has nothing

    cal->setCurrentPage(2025, 4);  // marks are added, never taken away
    QVERIFY(isRed(cal, QDate(2025, 4, 2)));
    QCOMPARE(cal->dateTextFormat().size(), 4);
  }

  void tenFragmentsFitA397PixelView_data() {
    QTest::addColumn<int>("viewport");
    QTest::addColumn<int>("laidOut");
    QTest::newRow("397 px") << 397 << 10;
    QTest::newRow("396 px") << 396 << 9;
  }

  void tenFragmentsFitA397PixelView() {
    QFETCH(int, viewport);
    QFETCH(int, laidOut);
    fs->addUsbDisk("sdb", {}, raw2.toStdString());
    open();
    QScrollArea *area = ui()->scrollArea;
    area->setFixedHeight(viewport + 2 * area->frameWidth());
    QCoreApplication::processEvents();
    QCOMPARE(area->viewport()->height(), viewport);
    pressCombo(combo());
    choose(0, QDate(2025, 3, 10));

    const QList<QPushButton *> buttons = AppWindowTest::buttons(*window);
    QCOMPARE(buttons.size(), 10);
    QCOMPARE(AppWindowTest::rowUnit(*window), 40);
    QCOMPARE(ui()->scrollAreaWidgetContents->height(), 800);
    QCOMPARE(laidOutButtons(AppWindowTest::fragmentLayout(*window)), buttons.mid(0, laidOut));
    const int64_t first = at("2025-03-10 08:00:00");
    QCOMPARE(buttons[0]->objectName(), QString("%1-%2").arg(first).arg(first + 4));
    QCOMPARE(buttons[0]->text(), QString("08:00:00-08:00:04   下载 | 播放"));
    QCOMPARE(buttons[9]->text(), QString("08:09:00-08:09:04   下载 | 播放"));
    QVERIFY(buttons[2]->styleSheet().contains("solid green"));
  }

  void aThousandFragmentsShrinkTheRows() {
    fs->addUsbDisk("sdb", {}, big.toStdString());
    open();
    pressCombo(combo());
    choose(0, QDate(2025, 3, 5));
    const QList<QPushButton *> buttons = AppWindowTest::buttons(*window);
    QCOMPARE(buttons.size(), 1000);
    QCOMPARE(AppWindowTest::rowUnit(*window), 29);
    QCOMPARE(ui()->scrollAreaWidgetContents->height(), 31000);

    // Scrolled down by 100 rows of 31 px: a spacer stands for them.
    ui()->scrollArea->verticalScrollBar()->setValue(3100);
    QVBoxLayout *layout = AppWindowTest::fragmentLayout(*window);
    QVERIFY(layout->itemAt(0)->spacerItem());
    QCOMPARE(layout->itemAt(0)->sizeHint().height(), 3100);
    QCOMPARE(laidOutButtons(layout).first(), buttons[100]);
    QVERIFY(buttons[99]->isHidden());
  }

  void clicksPlayQueueOrIgnore() {
    fs->addUsbDisk("sdb", {}, raw2.toStdString());
    open();
    pressCombo(combo());
    choose(0, QDate(2025, 3, 10));
    QList<QPushButton *> buttons = AppWindowTest::buttons(*window);
    QPushButton *b = buttons[1];
    const int64_t start = at("2025-03-10 08:01:00");
    QSignalSpy downloads(window.get(), &test::sigDownloadFile);
    QSignalSpy steps(ui()->pushButton_nextFrame, &QPushButton::clicked);
    playStartTime = 1;
    playEndTime = 2;
    demuxerRestart = 0;
    demuxer2Restart = 0;

    clickAt(b, 143);  // the time text
    QCOMPARE(downloads.count(), 0);
    QCOMPARE(visibleLabels(*window, "即将下载") + visibleLabels(*window, "即将播放"), 0);

    clickAt(b, 144);
    clickAt(b, 181);
    QCOMPARE(downloads.count(), 2);
    QCOMPARE(downloads.at(0).at(0).toString(), b->objectName());
    QCOMPARE(visibleLabels(*window, "即将下载"), 2);
    QCOMPARE(int64_t(playStartTime), int64_t(1));
    QCOMPARE(int(demuxerRestart), 0);
    QVERIFY(AppWindowTest::currentButton(*window) == nullptr);

    clickAt(b, 182);
    QCOMPARE(visibleLabels(*window, "即将播放"), 1);
    QCOMPARE(int64_t(playStartTime), start);
    QCOMPARE(int64_t(playEndTime), start + 4);
    QCOMPARE(int(demuxerRestart), 1);
    QCOMPARE(int(demuxer2Restart), 1);
    QCOMPARE(ui()->label_time->text(), QString("00:00:00/00:00:04"));
    QCOMPARE(steps.count(), 1);  // paused: the first picture is stepped to
    QCOMPARE(AppWindowTest::currentButton(*window), b);
    QVERIFY(b->styleSheet().contains("background-color: rgb(29, 170, 200);"));
    QTRY_COMPARE_WITH_TIMEOUT(visibleLabels(*window, "即将播放"), 0, 2000);
    QCOMPARE(visibleLabels(*window, "即将下载"), 0);

    // While playing no step is made; the highlight moves on.
    playState = 1;
    clickAt(buttons[2], 200);
    QCOMPARE(steps.count(), 1);
    QCOMPARE(AppWindowTest::currentButton(*window), buttons[2]);
    QVERIFY(b->styleSheet().contains("background-color: white;"));
    QVERIFY(buttons[2]->styleSheet().contains("background-color: rgb(29, 170, 200);"));
  }

  void keyboardActivationPlaysWithoutABubble() {
    fs->addUsbDisk("sdb", {}, raw2.toStdString());
    open();
    pressCombo(combo());
    choose(0, QDate(2025, 3, 10));
    QPushButton *b = AppWindowTest::buttons(*window).at(1);
    QCursor::setPos(window->mapToGlobal(QPoint(window->width() - 5, window->height() - 5)));
    b->setFocus();
    QTest::keyClick(b, Qt::Key_Space);
    QCOMPARE(AppWindowTest::currentButton(*window), b);
    QCOMPARE(int64_t(playStartTime), at("2025-03-10 08:01:00"));
    QCOMPARE(visibleLabels(*window, "即将播放"), 0);
  }

 private:
  void open() {
    window = makeWindow();
  }
  Ui::test *ui() { return AppWindowTest::ui(*window); }
  QComboBox *combo() { return ui()->comboBox_disk; }

  // Selects the day first (no disk yet: nothing is queried), then chooses
  // the disk, which opens it and lists that day.
  void choose(int index, const QDate &day) {
    ui()->calendarWidget->setSelectedDate(day);
    combo()->setCurrentIndex(index);
    QCOMPARE(combo()->currentIndex(), index);
  }

  // The name under which the raw-disk library listed a disk.
  QString rawName(const char *disk = "sdb") {
    const QStringList names = AppWindowTest::diskNames(*window);
    for (int i = 0; i < names.size(); i++)
      if (AppWindowTest::diskVersions(*window).at(i) == 1 && names[i].contains(disk)) return names[i];
    for (int i = 0; i < names.size(); i++)
      if (AppWindowTest::diskVersions(*window).at(i) == 1) return names[i];
    return QString();
  }

  QTemporaryDir dir;
  QString raw2, raw3, file1, big;
  std::unique_ptr<fakesys::FakeSysfs> fs;
  std::unique_ptr<test> window;
};

QTEST_MAIN(CardsTest)
#include "cards_test.moc"
