// The main window: its state at start-up, the day marks and the fragment
// list, and on cards written by the recorder simulator the chooser's names,
// cards that come, go and are swapped, opening, the calendar marks and the
// fragment list on every channel and on daylight-saving days, a slow card,
// and clicks on the list. Disks are attached through a
// throw-away /sys tree, so the machine's own disks never take part, except
// in the test that mounts a real loop device.
#include <grp.h>
#include <sys/stat.h>
#include <pthread.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractItemView>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QMessageBox>
#include <QMutexLocker>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTextCharFormat>
#include <QTimer>
#include <QToolButton>
#include <atomic>
#include <ctime>
#include <thread>

#include "device.h"
#include "download.h"
#include "fake_sysfs.h"
#include "globals.h"
#include "play_position.h"
#include "startup.h"
#include "window_access.h"

namespace {

// Writes a card of small synthetic media with these recordings (a raw-disk
// card unless args say otherwise); cardsim's complaint, or "".
QString cardsim(const QString &path, int channels, const QStringList &records, QStringList args = {}) {
  args << "--channels" << QString::number(channels) << "--size" << "64x48" << "--media" << "synthetic" << "--fps"
       << "2" << "--gop" << "2" << "--out" << path;
  if (!args.contains("--layout")) args << "--layout" << "raw" << "--no-audio";
  for (const QString &r : records) args << "--record" << r;
  QProcess p;
  p.start(CARDSIM_PATH, args);
  if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
    return QString::fromLocal8Bit(p.readAllStandardError()) + " ";
  return QString();
}

int64_t at(const QString &localTime) {
  return QDateTime::fromString(localTime, "yyyy-MM-dd HH:mm:ss").toSecsSinceEpoch();
}

QSet<QDate> marked(QCalendarWidget *cal) {
  QSet<QDate> days;
  const auto formats = cal->dateTextFormat();
  for (auto it = formats.begin(); it != formats.end(); ++it)
    if (it.value().foreground().color() == QColor(Qt::red)) days.insert(it.key());
  return days;
}

// What a piece of code writes on standard output and standard error.
QByteArray output(const std::function<void()> &run) {
  QTemporaryFile sink;
  sink.open();
  fflush(nullptr);
  const int saved[2] = {dup(1), dup(2)};
  dup2(sink.handle(), 1);
  dup2(sink.handle(), 2);
  run();
  fflush(nullptr);
  for (int fd : {1, 2}) dup2(saved[fd - 1], fd), close(saved[fd - 1]);
  sink.seek(0);
  return sink.readAll();
}

// Milliseconds this thread has waited for a processor: on a loaded machine
// the scheduler's delays are not the window's own.
qint64 runQueueMs() {
  long long onCpu = 0, waited = 0;
  if (FILE *f = fopen("/proc/thread-self/schedstat", "re")) {
    if (fscanf(f, "%lld %lld", &onCpu, &waited) != 2) waited = 0;
    fclose(f);
  }
  return waited / 1000000;
}

// Counts 2 ms naps of a thread of its own, on the processor of the thread
// that makes it (which stays there from then on): while that processor does
// not run at all (a virtual machine's processor held up by its host), it
// counts nothing either.
struct Pulse {
  cpu_set_t one;
  std::atomic<int> count{0};
  std::atomic<bool> stop{false};
  std::thread thread{[this] {
    for (pthread_setaffinity_np(pthread_self(), sizeof one, &one); !stop; count++) usleep(2000);
  }};
  Pulse() {
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    pthread_setaffinity_np(pthread_self(), sizeof one, &one);
  }
  ~Pulse() {
    stop = true;
    thread.join();
  }
};

}  // namespace

class CardsTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(dir.isValid());
    raw2 = dir.filePath("raw2.img");
    QStringList records = {"0,2025-03-01 10:00:00,2025-03-01 10:00:06,0", "1,2025-03-01 10:00:00,2025-03-01 10:00:06,0",
                           "0,2025-03-31 23:00:00,2025-03-31 23:00:04,2", "0,2025-04-02 09:00:00,2025-04-02 09:00:04,1",
                           // The next day's first fragments: one at its midnight, one a second later.
                           "0,2025-03-11 00:00:00,2025-03-11 00:00:04,1", "1,2025-03-11 00:00:01,2025-03-11 00:00:04,1"};
    for (int i = 0; i < 10; i++) {
      const int64_t s = at(QString("2025-03-10 08:%1:00").arg(i, 2, 10, QLatin1Char('0')));
      records << QString("0,%1,%2,%3").arg(s).arg(s + 4).arg(i % 4);
    }
    QCOMPARE(cardsim(raw2, 2, records), QString());
    file1 = dir.filePath("file1");
    QCOMPARE(cardsim(file1, 1, {"0,2025-03-05 09:00:00,2025-03-05 09:00:04,1", "0,2025-03-06 09:00:00,2025-03-06 09:00:04,2"},
                     {"--layout", "file", "--codec", "h264"}),
             QString());

    // Channel 3 alone on the 20th; channels 0 and 3 over the same span on the 21st.
    raw4 = dir.filePath("raw4.img");
    QCOMPARE(cardsim(raw4, 4,
                     {"3,2025-03-20 10:00:00,2025-03-20 10:00:04,1", "0,2025-03-21 10:00:00,2025-03-21 10:00:04,1",
                      "3,2025-03-21 10:00:00,2025-03-21 10:00:04,1"}),
             QString());
  }

  void init() {
    plat_detachAll();
    fs = std::make_unique<fakesys::FakeSysfs>();
    fs->install();
    playState = 0;
  }

  void cleanup() {
    window.reset();
    plat_setReadDelay(0);
    fs.reset();
    plat_detachAll();
  }

  // Cards are named by label or reader, size, layout and channels, with
  // their path in the tool tip; a disk that is not a card is not offered
  // and its probing prints nothing; a disk both libraries recognise is a
  // file-layout card. Cards that come and go are followed without a press,
  // and the chosen card stays chosen; a press with nothing changed changes
  // nothing. The open card taken out stops play and says so, and put back
  // it is offered and opens again.
  void theChooserNamesAndFollowsCards() {
    fs->addUsbDisk("sdb", {}, raw2.toStdString());
    fs->setProduct("sdb", "Generic", "STORAGE DEVICE");
    fs->addUsbDisk("sdc", {"sdc1"}, raw4.toStdString());
    fs->mount("sdc1", file1.toStdString());
    fs->setLabel("sdc1", "REC CARD");
    fs->addUsbDisk("sdd", {}, fakesys::Image::sparse(200 << 20));  // no card
    QCOMPARE(output([] { scanCards(false); }), QByteArray());

    open();
    QStringList texts, tips;
    for (int i = 0; i < combo()->count(); i++) {
      texts << combo()->itemText(i);
      tips << combo()->itemData(i, Qt::ToolTipRole).toString();
    }
    const QString size = QString::number(QFileInfo(raw4).size() / 1e6, 'f', 1);
    QCOMPARE(texts, QStringList({"REC CARD · " + size + " MB · 文件格式 · 1 路",
                                 QString("Generic STORAGE DEVICE · %1 MB · 裸盘格式 · 2 路")
                                     .arg(QFileInfo(raw2).size() / 1e6, 0, 'f', 1)}));
    QCOMPARE(tips, QStringList({QString::fromStdString(fs->devNode("sdc1")) + "\n挂载于 " + QDir(file1).canonicalPath(),
                                QString::fromStdString(fs->devNode("sdb"))}));
    QVERIFY(combo()->view()->minimumWidth() > QFontMetrics(combo()->font()).horizontalAdvance(texts[1]));

    choose(1, QDate(2025, 3, 10));
    QVERIFY(AppWindowTest::cardOpen(*window));
    QCOMPARE(int(storageV), 1);
    QSignalSpy textChanges(combo(), &QComboBox::currentTextChanged);
    pressCombo(combo());
    QVERIFY(settle(*window));
    QCOMPARE(textChanges.count(), 0);
    playState = 1;  // opening a card stops play; listing the day again does not
    fs->addUsbDisk("sde", {}, raw4.toStdString());
    QTRY_COMPARE_WITH_TIMEOUT(combo()->count(), 3, 10000);
    QVERIFY(settle(*window));
    QCOMPARE(combo()->currentText(), texts[1]);
    QCOMPARE(textChanges.count(), 1);
    QCOMPARE(int(playState), 1);
    QCOMPARE(list()->rowCount(), 11);
    fs->removeDisk("sde");
    QTRY_COMPARE_WITH_TIMEOUT(combo()->count(), 2, 10000);

    fs->removeDisk("sdb");
    QTRY_COMPARE_WITH_TIMEOUT(combo()->count(), 1, 10000);
    QVERIFY(settle(*window));
    QCOMPARE(int(playState), 0);
    QCOMPARE(notice()->text(), QString("存储卡已移除，播放已停止。"));
    QVERIFY(!AppWindowTest::cardOpen(*window));
    QCOMPARE(combo()->currentIndex(), -1);

    fs->addUsbDisk("sdb", {}, raw2.toStdString());  // the same card, back in its reader
    QTRY_COMPARE_WITH_TIMEOUT(combo()->count(), 2, 10000);
    choose(1, QDate(2025, 3, 10));
    QVERIFY(AppWindowTest::cardOpen(*window));
    QCOMPARE(list()->rowCount(), 11);
  }

  // Opening stops every pane's handle and asks each to start again, names
  // the card for the export and counts every open, failed ones too. A card
  // that fails to open clears the marks and the list and says why.
  void openingACardAndFailingTo() {
    const QString copy = dir.filePath("doomed.img");
    QFile::remove(copy);
    QVERIFY(QFile::copy(raw2, copy));
    fs->addUsbDisk("sdb", {}, raw2.toStdString());
    fs->addUsbDisk("sdc", {}, copy.toStdString());
    open();
    demuxerHandle = 2;
    demuxer2Handle = 3;
    demuxerRestart = demuxer2Restart = 0;
    const uint32_t generation = cardGeneration;
    choose(0, QDate(2025, 3, 10));
    QCOMPARE(demuxerHandle.load(), -1);
    QCOMPARE(demuxer2Handle.load(), -1);
    QCOMPARE(int(demuxerRestart) + int(demuxer2Restart), 2);
    QCOMPARE(openCardPath, QString::fromStdString(fs->devNode("sdb")));
    QCOMPARE(openCardName, combo()->currentText());
    QCOMPARE(openCardSize, uint64_t(QFileInfo(raw2).size()));
    QCOMPARE(cardGeneration, generation + 1);
    QVERIFY(marked(ui()->calendarWidget).contains(QDate(2025, 3, 10)));
    QCOMPARE(list()->rowCount(), 11);

    QVERIFY(QFile::resize(copy, 50 << 20));  // the card information is gone
    const QString name = combo()->itemText(1);
    combo()->setCurrentIndex(1);
    QVERIFY(settle(*window));
    QCOMPARE(notice()->text(), QString("无法打开 %1：卡上的数据无法读取。").arg(name));
    QVERIFY(notice()->isVisible());
    QCOMPARE(cardGeneration, generation + 2);
    QVERIFY(openCardPath.isEmpty());
    QVERIFY(marked(ui()->calendarWidget).isEmpty());
    QCOMPARE(list()->rowCount(), 0);
    QCOMPARE(combo()->currentIndex(), -1);
  }

  // Every channel's recordings are found; a fragment of other channels
  // than channel 0 alone names them. Panes follow the channel count.
  void recordingsOfEveryChannel() {
    fs->addUsbDisk("sdb", {}, raw4.toStdString());
    fs->addUsbDisk("sdc", {}, fakesys::Image::sparse(1 << 20));
    fs->mount("sdc", file1.toStdString());
    open();
    choose(1, QDate(2025, 3, 20));
    QCOMPARE(int(channelNum), 4);
    QVERIFY(ui()->label_video_2->isVisible() && ui()->label_video_4->isVisible());
    QCOMPARE(marked(ui()->calendarWidget), QSet<QDate>({QDate(2025, 3, 20), QDate(2025, 3, 21)}));
    QCOMPARE(list()->rowCount(), 1);
    QCOMPARE(list()->button(0)->text(), QString("10:00:00-10:00:04   下载 | 播放\n④"));
    ui()->calendarWidget->setSelectedDate(QDate(2025, 3, 21));
    QVERIFY(settle(*window));
    QCOMPARE(list()->rowCount(), 1);
    QCOMPARE(list()->button(0)->text(), QString("10:00:00-10:00:04   下载 | 播放\n①④"));
    QCOMPARE(list()->button(0)->objectName(), QString("%1-%2").arg(at("2025-03-21 10:00:00")).arg(at("2025-03-21 10:00:04")));

    combo()->setCurrentIndex(0);
    QVERIFY(settle(*window));
    QVERIFY(ui()->label_video_2->isHidden());
  }

  // Days are local days, 23 or 25 hours long where daylight saving changes
  // (in Sao Paulo at midnight): each recording is marked on its own day and
  // listed there alone.
  void daylightSavingDays_data() {
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<QStringList>("records");
    QTest::newRow("Sao Paulo, clocks on at midnight")
        << QByteArray("America/Sao_Paulo") << QStringList{"2018-11-04T23:30:00-02:00", "2018-11-05T00:30:00-02:00"};
    QTest::newRow("Sao Paulo, clocks back at midnight")
        << QByteArray("America/Sao_Paulo") << QStringList{"2018-02-17T23:30:00-03:00", "2018-02-18T00:30:00-03:00"};
    QTest::newRow("Berlin, clocks on") << QByteArray("Europe/Berlin")
                                       << QStringList{"2025-03-30T23:30:00+02:00", "2025-03-31T00:30:00+02:00"};
    QTest::newRow("Berlin, clocks back") << QByteArray("Europe/Berlin")
                                         << QStringList{"2025-10-26T23:30:00+01:00", "2025-10-27T00:30:00+01:00"};
  }

  void daylightSavingDays() {
    QFETCH(QByteArray, zone);
    QFETCH(QStringList, records);
    const auto restore = qScopeGuard([saved = qgetenv("TZ")] { qputenv("TZ", saved), tzset(); });
    qputenv("TZ", zone);
    tzset();
    QStringList args;
    QSet<QDate> days;
    for (const QString &r : records) {
      const int64_t t = QDateTime::fromString(r, Qt::ISODate).toSecsSinceEpoch();
      args << QString("0,%1,%2,1").arg(t).arg(t + 4);
      days.insert(QDate::fromString(r.left(10), Qt::ISODate));
    }
    const QString card = dir.filePath("dst.img");
    QFile::remove(card);
    QCOMPARE(cardsim(card, 1, args), QString());
    fs->addUsbDisk("sdb", {}, card.toStdString());
    open();
    const QDate first = QDate::fromString(records[0].left(10), Qt::ISODate);
    ui()->calendarWidget->setCurrentPage(first.year(), first.month());
    choose(0, first);
    const QSet<QDate> red = marked(ui()->calendarWidget);
    for (int i = 0; i < records.size(); i++) {
      const QDate day = QDate::fromString(records[i].left(10), Qt::ISODate);
      ui()->calendarWidget->setSelectedDate(day);
      QVERIFY(settle(*window));
      QCOMPARE(list()->rowCount(), 1);
      QCOMPARE(list()->model()->entry(0).start, QDateTime::fromString(records[i], Qt::ISODate).toSecsSinceEpoch());
    }
    QCOMPARE(red, days);
  }

  // A card whose every read takes its time never holds up the window: its
  // event loop answers within 50 ms while the card opens for seconds, and
  // shows that it is busy. Time in which the window's thread waited for a
  // processor, or the machine did not run at all, is no delay of the window.
  void aSlowCardNeverStallsTheWindow() {
    fs->addUsbDisk("sdb", {}, raw2.toStdString());
    open();
    ui()->calendarWidget->setSelectedDate(QDate(2025, 3, 10));
    plat_setReadDelay(25000);
    QElapsedTimer clock, tick;
    qint64 worst = 0, queued = runQueueMs();
    Pulse pulse;
    int pulses = 0;
    bool busyShown = false;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(5);
    connect(&timer, &QTimer::timeout, [&] {
      const qint64 nowQueued = runQueueMs();
      const int nowPulses = pulse.count;
      worst = std::max(worst, std::min<qint64>(tick.restart() - (nowQueued - queued), 2 * (nowPulses - pulses)));
      queued = nowQueued;
      pulses = nowPulses;
      busyShown = busyShown || window->cursor().shape() == Qt::BusyCursor;
    });
    clock.start();
    tick.start();
    timer.start();
    QTimer::singleShot(0, combo(), [this] { combo()->setCurrentIndex(0); });  // a choice made in the loop
    QVERIFY(settle(*window));
    timer.stop();
    plat_setReadDelay(0);
    QVERIFY2(clock.elapsed() >= 1000, qPrintable(QString("the card opened in %1 ms").arg(clock.elapsed())));
    QVERIFY2(worst < 50, qPrintable(QString("the event loop stalled for %1 ms").arg(worst)));
    QVERIFY(busyShown);
    QCOMPARE(window->cursor().shape(), Qt::ArrowCursor);
    QCOMPARE(list()->rowCount(), 11);
  }

  // The paging lays out what a 397 px view shows of eleven fragments (the
  // last one starts at the next midnight, the next day's second fragment
  // is left out). A click on the time does nothing, on the middle queues an
  // export, on the right end plays with a bubble; the keyboard plays
  // without one.
  void pagingAndClicks_data() {
    QTest::addColumn<int>("viewport");
    QTest::addColumn<int>("laidOut");
    QTest::newRow("397 px") << 397 << 10;
    QTest::newRow("396 px") << 396 << 9;
  }

  void pagingAndClicks() {
    QFETCH(int, viewport);
    QFETCH(int, laidOut);
    fs->addUsbDisk("sdb", {}, raw2.toStdString());
    open();
    QScrollArea *area = ui()->scrollArea;
    area->setFixedHeight(viewport + 2 * area->frameWidth());
    QCoreApplication::processEvents();
    choose(0, QDate(2025, 3, 10));
    QCOMPARE(list()->rowCount(), 11);
    QList<QPushButton *> buttons;
    for (int i = 0; i < ui()->scrollAreaWidgetContents->layout()->count(); i++)
      if (auto *b = qobject_cast<QPushButton *>(ui()->scrollAreaWidgetContents->layout()->itemAt(i)->widget()))
        buttons.append(b);
    QCOMPARE(buttons.size(), laidOut);
    const int64_t start = at("2025-03-10 08:01:00");
    QCOMPARE(buttons[1]->objectName(), QString("%1-%2").arg(start).arg(start + 4));
    if (viewport < 397) return;

    QPushButton *b = buttons[1];
    QSignalSpy downloads(window.get(), &test::sigDownloadFile);
    QSignalSpy steps(ui()->pushButton_nextFrame, &QPushButton::clicked);
    playStartTime = 1;
    demuxerRestart = demuxer2Restart = 0;
    clickAt(b, 143);  // the time text
    QCOMPARE(downloads.count(), 0);
    clickAt(b, 144);
    clickAt(b, 181);
    QCOMPARE(downloads.count(), 2);
    QCOMPARE(downloads.at(0).at(0).toString(), b->objectName());
    QCOMPARE(visibleLabels(*window, "即将下载"), 2);
    QCOMPARE(int64_t(playStartTime), int64_t(1));
    QCOMPARE(list()->currentRow(), -1);

    clickAt(b, 182);
    QCOMPARE(visibleLabels(*window, "即将播放"), 1);
    QCOMPARE(int64_t(playStartTime), start);
    QCOMPARE(int64_t(playEndTime), start + 4);
    QCOMPARE(int(demuxerRestart) + int(demuxer2Restart), 2);
    QCOMPARE(ui()->label_time->text(), QString("00:00:00/00:00:04"));
    QCOMPARE(steps.count(), 1);  // paused: the first picture is stepped to
    QVERIFY(b->styleSheet().contains("background-color: rgb(29, 170, 200);"));
    QTRY_COMPARE_WITH_TIMEOUT(visibleLabels(*window, "即将播放") + visibleLabels(*window, "即将下载"), 0, 2000);

    // While playing no step is made; the highlight moves on, here by keyboard.
    playState = 1;
    QCursor::setPos(window->mapToGlobal(QPoint(window->width() - 5, window->height() - 5)));
    buttons[2]->setFocus();
    QTest::keyClick(buttons[2], Qt::Key_Space);
    QCOMPARE(steps.count(), 1);
    QCOMPARE(list()->currentRow(), 2);
    QCOMPARE(visibleLabels(*window, "即将播放"), 0);
    QVERIFY(b->styleSheet().contains("background-color: white;"));
    QVERIFY(buttons[2]->styleSheet().contains("background-color: rgb(29, 170, 200);"));
  }

  // A user who may not read the device still sees a mounted file-layout
  // card (a real loop device with a file system, mounted read-only; the
  // listing runs in a child that has given up root).
  void aUserWithoutTheRightSeesAMountedCard() {
    if (geteuid() != 0 || access("/dev/loop-control", F_OK) != 0) QSKIP("needs root and loop devices");
    QTemporaryDir top;
    chmod(QFile::encodeName(top.path()).constData(), 0755);
    const QString image = top.filePath("card.img"), mnt = top.filePath("mnt");
    QDir().mkpath(mnt);
    QProcess mkfs;
    mkfs.start("mkfs.ext4", {"-q", "-d", file1, image, "16M"});
    if (!mkfs.waitForFinished() || mkfs.exitCode() != 0) QSKIP("mkfs.ext4 cannot make the file system here");
    QProcess losetup;
    losetup.start("losetup", {"-r", "-f", "--show", image});
    losetup.waitForFinished();
    const QString loop = QString::fromLocal8Bit(losetup.readAllStandardOutput()).trimmed();
    if (loop.isEmpty()) QSKIP("losetup cannot attach a loop device here");
    const bool mounted = QProcess::execute("mount", {"-o", "ro", loop, mnt}) == 0;
    plat_setRoots("/sys", "/proc", "/dev");
    int status = -1;
    uint64_t size = 0;
    for (const CardEntry &c : scanCards(false)) {
      plat_disk *disk = c.source == loop ? plat_openDisk(c.diskNumber) : nullptr;  // root reads the device
      uint8_t block[PLAT_BLOCK_SIZE];
      if (disk && plat_readBlock(disk, 0, block) == 0) size = plat_diskSize(disk);
      plat_closeDisk(disk);
    }
    if (mounted) {
      const pid_t pid = fork();
      if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
        for (const CardEntry &c : scanCards(false))
          if (c.layout == CardFile && c.root == mnt && c.channels == 1 && c.source == loop) _exit(0);
        _exit(11);
      }
      waitpid(pid, &status, 0);
      QProcess::execute("umount", {mnt});
    }
    QProcess::execute("losetup", {"-d", loop});
    if (!mounted) QSKIP("cannot mount here");
    QCOMPARE(status, 0);
    QCOMPARE(size, uint64_t(QFileInfo(image).size()));
  }

  // Without any card: the state right after start-up, the day marks, and
  // the fragment list built from given day lists.
  void startsWithNothingChosen() {
    open();
    QCOMPARE(ui()->comboBox_disk->count(), 0);
    QCOMPARE(ui()->comboBox_audioDevice->count(), 0);
    QVERIFY(ui()->label_video_1->isVisible());
    QVERIFY(ui()->label_video_2->isHidden());
    QCOMPARE(ui()->label_time->text(), QString("00:00:00/00:00:00"));
    QCOMPARE(ui()->calendarWidget->dateTextFormat().size(), 0);
    QVERIFY(!AppWindowTest::cardOpen(*window));
    QCOMPARE(list()->rowCount(), 0);
    // A --card path that is no card is said in the window's words.
    QCOMPARE(attachCards({"/no/such.img", "/dev/null"}),
             QStringList({"无法打开 /no/such.img：没有这个文件或目录", "无法打开 /dev/null：不是存储卡的映像、块设备或目录"}));
  }

  // Each recording type has its button look, white with the type's colour;
  // a type without one keeps the default look.
  void typesChooseTheButtonLook() {
    open();
    const int64_t day = dayStart(QDate(2025, 3, 10));
    list()->show({{0, day, day + 1}, {1, day + 2, day + 3}, {2, day + 4, day + 5}, {7, day + 6, day + 7}});
    const QStringList colours = {"color: red;", "color: blue;", "color: green;"};
    for (int row = 0; row < 3; row++) {
      QVERIFY(list()->button(row)->styleSheet().contains(colours[row]));
      QVERIFY(list()->button(row)->styleSheet().contains("background-color: white;"));
    }
    QCOMPARE(list()->button(3)->styleSheet(), QString());
  }

  void marksOnlyDaysTheMonthHas() {
    open();
    QCalendarWidget *cal = ui()->calendarWidget;
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
    open();
    const int64_t day = dayStart(QDate(2025, 3, 20));
    list()->show({{1, day + 100, day + 100}, {1, day + 300, day + 200}, {1, day + 400, day + 401}});
    QCOMPARE(list()->rowCount(), 1);
    QCOMPARE(list()->button(0)->objectName(), QString("%1-%2").arg(day + 400).arg(day + 401));
    QCOMPARE(list()->button(0)->text(), QString("00:06:40-00:06:41   下载 | 播放"));
    // Entries that get no row still count for the list's height.
    QCOMPARE(ui()->scrollAreaWidgetContents->height(), 800);
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
    open();
    QFETCH(int, entries);
    QFETCH(int, unit);
    const int64_t day = dayStart(QDate(2025, 3, 20));
    QVector<FragmentEntry> all;
    for (int i = 0; i < entries; i++) all.append({1, day + i, day + i + 1});
    list()->show(all);
    QCOMPARE(list()->rowUnit(), unit);
    QVERIFY(ui()->scrollAreaWidgetContents->height() >= entries * (unit + unit / 10));
    const int inView = ui()->scrollArea->viewport()->height() / 44 + 2;
    for (int row : {0, entries / 2, entries - 1}) {
      list()->scrollTo(row);
      QVERIFY(list()->button(row));
      QCOMPARE(list()->button(row)->objectName(), QString("%1-%2").arg(day + row).arg(day + row + 1));
      const int built = ui()->scrollAreaWidgetContents->findChildren<QPushButton *>().size();
      QVERIFY2(built <= inView, qPrintable(QString("%1 buttons for %2 rows in view").arg(built).arg(inView)));
    }
  }

  void dayQueryNeedsAChosenDisk() {
    open();
    const int64_t day = dayStart(QDate(2025, 3, 20));
    list()->show({{1, day + 100, day + 200}});
    QPushButton *kept = list()->button(0);
    ui()->calendarWidget->setSelectedDate(QDate(2025, 3, 21));
    QCOMPARE(list()->rowCount(), 1);
    QCOMPARE(list()->button(0), kept);
  }

  // English when the system's first language is English, else Chinese with
  // Qt's own texts (calendar, standard buttons) in Chinese too: the window,
  // a fragment's clicks on its words, an export's status, the list of
  // exports and the help. The click regions hold in either language.
  void speaksTheSystemsLanguage_data() {
    QTest::addColumn<QString>("language");
    QTest::addColumn<QStringList>("texts");
    QTest::newRow("English") << "en-US" << QStringList{
        "Video player", "Card:", "Audio device:", "List", "Step back", "Step", "Mute", "Still", "March",
        "08:01:00-08:01:04   Get | Play", "Queued", "Playing", "Frame: 1970-01-01 08:00:00.000",
        " Failed: the recording's parameter sets cannot be read", "Folder:", "Exports",
        "The card's time stamps (as recorded)", "Export folder:", "Change", "Timing:", "Cancel the export",
        "Open its folder", "Keys", "Close"};
    QTest::newRow("German: Chinese") << "de-DE" << QStringList{
        "视频播放器", "选择磁盘:", "选择音频设备:", "下 载", "上一帧", "逐帧", "静音", "截图", "三月",
        "08:01:00-08:01:04   下载 | 播放", "即将下载", "即将播放", "当前帧: 1970-01-01 08:00:00.000",
        " 下载失败: 录像的参数集无法读取", "下载路径:", "下载信息", "按卡上的时间 (与录像同速)", "下载目录:", "更改",
        "时间轴:", "取消下载", "打开所在文件夹", "快捷键", "关闭"};
  }

  void speaksTheSystemsLanguage() {
    QFETCH(QString, language);
    QFETCH(QStringList, texts);
    setUpLanguage(*qApp, {language});
    const int entry = entries();
    fs->addUsbDisk("sdb", {}, raw2.toStdString());
    open();
    downloadDir = dir.filePath("exports");
    choose(0, QDate(2025, 3, 10));
    Ui::test *u = ui();
    QStringList shown{window->windowTitle(), u->label_2->text(), u->label->text(), u->pushButton_downloadContent->text(),
                      u->pushButton_prevFrame->text(), u->pushButton_nextFrame->text(), u->pushButton_mute->text(),
                      u->pushButton_still->text(),
                      u->calendarWidget->findChild<QToolButton *>("qt_calendar_monthbutton")->text()};

    // A click on the middle of each word of the button's first line.
    QPushButton *b = list()->button(1);
    const QString line = b->text().section('\n', 0, 0);
    shown << line;
    const QFontMetrics fm(b->font());
    const int left = (b->width() - fm.horizontalAdvance(line)) / 2;
    auto middleOf = [&](const QString &word) {
      const int at = line.lastIndexOf(word);
      return left + fm.horizontalAdvance(line.left(at)) + fm.horizontalAdvance(word) / 2;
    };
    QSignalSpy downloads(window.get(), &test::sigDownloadFile);
    for (const QString &word : line.section("   ", 1).split(" | ")) clickAt(b, middleOf(word));
    for (QLabel *l : window->findChildren<QLabel *>())
      if (l->isVisible() && l->styleSheet().contains("#45d049")) shown << l->text();  // the bubbles
    QCOMPARE(downloads.count(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(entries() == entry + 2 && !download::busy(), 30000);
    shown << frameTimeText(0);

    // The list of exports: its entry's status (the media are synthetic: no
    // picture size, and the library's own detail left out) and directory
    // line, and its texts.
    u->pushButton_downloadContent->click();
    QWidget *exports = nullptr;
    for (QWidget *w : QApplication::topLevelWidgets())
      if (w->objectName() == "downloadInfo" && w->isVisible()) exports = w;
    QVERIFY(exports);
    const QStringList item = exports->findChild<QListWidget *>()->item(entry)->text().split('\n');
    QVERIFY2(item.value(0).endsWith(" (no usable picture size)"), qPrintable(item.value(0)));  // said once
    shown << item.value(0).section('|', 1).section(" (", 0, 0) << item.value(1).section(':', 0, 0) + ':'
          << exports->windowTitle() << exports->findChild<QComboBox *>()->itemText(0);
    for (const char *name : {"label", "pushButton", "label_timing", "pushButton_cancel", "pushButton_openFolder"})
      shown << exports->findChild<QWidget *>(name)->property("text").toString();

    QMetaObject::invokeMethod(window.get(), "showShortcuts");
    auto *help = window->findChild<QMessageBox *>("shortcutHelp");
    shown << help->windowTitle() << help->buttons().value(0)->text();
    QCOMPARE(shown, texts);
  }

 private:
  void open() {
    window = makeWindow();
    QVERIFY(settle(*window));
  }
  Ui::test *ui() { return AppWindowTest::ui(*window); }
  QComboBox *combo() { return ui()->comboBox_disk; }
  FragmentList *list() { return AppWindowTest::list(*window); }
  QLabel *notice() { return window->findChild<QLabel *>("label_diskMessage"); }
  static int entries() {
    QMutexLocker lock(&playbackMutex);
    return downloadEntries.size();
  }

  // Selects the day first (no card yet: nothing is asked), then chooses the
  // card, which opens it and lists that day.
  void choose(int index, const QDate &day) {
    ui()->calendarWidget->setSelectedDate(day);
    combo()->setCurrentIndex(index);
    QVERIFY(settle(*window));
    QCOMPARE(combo()->currentIndex(), index);
  }

  QTemporaryDir dir;
  QString raw2, raw4, file1;
  std::unique_ptr<fakesys::FakeSysfs> fs;
  std::unique_ptr<test> window;
};

QTEST_MAIN(CardsTest)
#include "cards_test.moc"
