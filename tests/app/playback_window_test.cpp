// Playback through the main window: the workers it wires play a simulator
// card and end with the window, its controls and keys move the play
// position, the panes follow the card's channels, and pictures are fitted
// into the panes.
#include <QDir>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "audio_output.h"
#include "globals.h"
#include "support.h"
#include "window_access.h"

namespace {

// 2026-12-01 10:00:00 in UTC+8; one minute on both channels.
const int64_t kStart = 1796090400;
const int64_t kEnd = kStart + 60;

bool waitFor(const std::function<bool()> &cond, int ms) {
  QElapsedTimer t;
  t.start();
  while (!cond()) {
    if (t.elapsed() > ms) return false;
    QTest::qWait(10);
  }
  return true;
}

int64_t position() { return currentVideoTime / 1000 - kStart; }

}  // namespace

class PlaybackWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(dir.isValid());
    card = dir.filePath("raw.img").toStdString();
    QVERIFY(makeSimCard({"--layout", "raw", "--codec", "h264", "--channels", "2", "--size",
                         "160x96", "--fps", "4", "--gop", "4", "--record",
                         "0," + std::to_string(kStart) + "," + std::to_string(kEnd), "--record",
                         "1," + std::to_string(kStart) + "," + std::to_string(kEnd)},
                        card));
  }

  void init() {
    playState = 0;
    QVERIFY(openSimCard(card, 1));
    storageV = 1;
    videoType = 1;
    channelNum = 2;
    playStartTime = kStart;
    playEndTime = kEnd;
    currentVideoTime = 0;
    qmx_panes_requestRestart();
  }

  void cleanup() {
    playState = 0;
    window.reset();
  }

  // The window ends its workers' loops and threads when it goes, also in
  // the middle of play, and a new window plays again.
  void windowGoesWhilePlaying() {
    for (int round = 0; round < 2; round++) {
      window = makeWindow();
      init();
      QTest::mouseClick(AppWindowTest::ui(*window)->pushButton_play, Qt::LeftButton);
      QCOMPARE(int(playState), 1);
      QVERIFY(waitFor([] { return position() >= 1; }, 5000));
      QElapsedTimer t;
      t.start();
      window.reset();
      QVERIFY2(t.elapsed() < 3000, "closing the window waited too long for its workers");
    }
  }

  void jumpsAndSliderMoveThePosition() {
    window = makeWindow();
    Ui::test *ui = AppWindowTest::ui(*window);
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QTest::keyClick(window.get(), Qt::Key_Space);
    QCOMPARE(int(playState), 1);
    QVERIFY(waitFor([] { return position() >= 0 && position() < 5; }, 3000));

    QTest::keyClick(window.get(), Qt::Key_Right);
    QVERIFY(waitFor([] { return position() >= 15; }, 3000));
    QVERIFY(position() < 20);
    QTest::keyClick(window.get(), Qt::Key_Left);
    QVERIFY(waitFor([] { return position() < 5; }, 3000));

    // Released at the middle of the minute: half a minute in; the label
    // shows the picture's date and time beside the position.
    ui->horizontalSlider->setValue(500);
    QVERIFY(waitFor([] { return position() >= 30; }, 3000));
    QVERIFY(position() < 34);
    QTest::qWait(450);
    QVERIFY(ui->horizontalSlider->value() >= 500 && ui->horizontalSlider->value() < 600);
    QVERIFY2(ui->label_time->text().startsWith("2026-12-01 10:00:3"), qPrintable(ui->label_time->text()));
    QVERIFY(ui->label_time->text().contains("  00:00:3"));
    QVERIFY(ui->label_time->text().endsWith("/00:01:00"));

    // Near the end 15 s forward does nothing.
    ui->horizontalSlider->setValue(800);
    QVERIFY(waitFor([] { return position() >= 48; }, 3000));
    ui->pushButton_15R->click();
    QTest::qWait(400);
    QVERIFY(position() < 55);

    // Paused, the slider seeks nothing and returns to the play position.
    QTest::keyClick(window.get(), Qt::Key_Space);
    QCOMPARE(int(playState), 0);
    int64_t paused = 0;  // once no more pictures come
    QVERIFY(waitFor([&] { const int64_t t = currentVideoTime; QTest::qWait(300);
                          return (paused = currentVideoTime) == t; }, 5000));
    QTest::qWait(250);
    const int shown = ui->horizontalSlider->value();
    ui->horizontalSlider->setValue(100);
    ui->pushButton_15L->click();
    QTest::qWait(450);
    QCOMPARE(int64_t(currentVideoTime), paused);
    QCOMPARE(ui->horizontalSlider->value(), shown);

    // A frame step shows the next picture and its card time in ms.
    QTest::keyClick(window.get(), Qt::Key_Period);
    QLabel *label = AppWindowTest::frameTimeLabel(*window);
    QVERIFY(label->isVisible());
    const QString next = "当前帧: " + QDateTime::fromMSecsSinceEpoch(paused + 250)
                                          .toString("yyyy-MM-dd hh:mm:ss.zzz");
    QVERIFY2(waitFor([&] { return label->text() == next; }, 2000), qPrintable(label->text()));
    QTest::keyClick(window.get(), Qt::Key_Comma);
    const QString previous = "当前帧: " + QDateTime::fromMSecsSinceEpoch(paused)
                                              .toString("yyyy-MM-dd hh:mm:ss.zzz");
    QVERIFY2(waitFor([&] { return label->text() == previous; }, 2000), qPrintable(label->text()));
    QVERIFY(waitFor([&] { return AppWindowTest::panes(*window)->pictureTime(0) == paused; }, 2000));

    // S saves the picture of pane 1 in the download directory.
    downloadDir = dir.filePath("stills");
    QTest::keyClick(window.get(), Qt::Key_S);
    const QString name = QDateTime::fromMSecsSinceEpoch(paused).toString("yyyyMMdd_hhmmss_zzz");
    const QImage still(downloadDir + "/" + name + "-channel0.png");
    QCOMPARE(still.size(), QSize(160, 96));
  }

  // The other keys, one row each: the key, then what it must have done.
  void keysDoWhatTheHelpSays() {
    window = makeWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    Ui::test *ui = AppWindowTest::ui(*window);
    FragmentList *list = AppWindowTest::list(*window);
    FragmentEntry first, second;
    first.type = second.type = 1;
    first.start = kStart, first.end = kStart + 20;
    second.start = kStart + 30, second.end = kStart + 50;
    list->show({first, second});
    list->button(0)->click();
    QSignalSpy back(window.get(), &test::sigPlayPrevFrame);
    const struct {
      Qt::Key key;
      std::function<bool()> done;
    } table[] = {
        {Qt::Key_Plus, [] { return playSpeed == 15; }},
        {Qt::Key_Minus, [] { return playSpeed == 10; }},
        {Qt::Key_PageDown, [&] { return list->currentRow() == 1; }},
        {Qt::Key_PageUp, [&] { return list->currentRow() == 0 &&
                                      currentVideoTime == kStart * 1000; }},
        {Qt::Key_Period, [] { return currentVideoTime == kStart * 1000 + 250; }},
        {Qt::Key_Home, [] { return currentVideoTime == kStart * 1000; }},
        {Qt::Key_Comma, [&] { return back.count() == 1; }},
        {Qt::Key_M, [&] { return ui->pushButton_mute->isChecked() && AppWindowTest::audio(*window)->muted(); }},
        {Qt::Key_M, [&] { return !AppWindowTest::audio(*window)->muted(); }},
        {Qt::Key_F, [&] { return window->isFullScreen() && ui->calendarWidget->isHidden(); }},
        {Qt::Key_Escape, [&] { return !window->isFullScreen() && ui->calendarWidget->isVisible(); }},
        {Qt::Key_F1, [&] { auto *b = window->findChild<QMessageBox *>("shortcutHelp");
                           return b && b->isVisible() && b->text().contains("静音"); }},
    };
    for (const auto &row : table) {
      QTest::keyClick(window.get(), row.key);
      QVERIFY2(waitFor(row.done, 2000), qPrintable(QKeySequence(row.key).toString()));
    }
  }

  // One, two, three and four channels: the panes and their workers; with
  // four, a double click shows a pane alone and a click makes it heard.
  void panesFollowTheChannels_data() {
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("panes");
    QTest::newRow("one") << 1 << 1;
    QTest::newRow("two") << 2 << 2;
    QTest::newRow("three") << 3 << 4;
    QTest::newRow("four") << 4 << 4;
  }
  void panesFollowTheChannels() {
    QFETCH(int, channels);
    QFETCH(int, panes);
    window = makeWindow();
    channelNum = channels;
    AppWindowTest::showPanes(*window, channels);
    Ui::test *ui = AppWindowTest::ui(*window);
    QLabel *labels[] = {ui->label_video_1, ui->label_video_2, ui->label_video_3, ui->label_video_4};
    for (int i = 0; i < 4; i++) {
      QCOMPARE(labels[i]->isVisible(), i < panes);
      QCOMPARE(AppWindowTest::worker(*window, i) != nullptr, i < std::max(panes, 2));
    }
    if (panes < 4) return;
    QTest::mouseClick(labels[3], Qt::LeftButton);
    QCOMPARE(int(heardPane), 3);
    QTest::mouseDClick(labels[2], Qt::LeftButton);
    QVERIFY(labels[2]->isVisible() && labels[0]->isHidden() && labels[3]->isHidden());
    QTest::mouseDClick(labels[2], Qt::LeftButton);
    QVERIFY(labels[0]->isVisible() && labels[3]->isVisible());
    QCOMPARE(labels[0]->y(), labels[1]->y());
    QVERIFY(labels[2]->y() > labels[0]->y());
  }

  void fitsPicturesKeepingTheirShape_data() {
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<QSize>("pane");
    QTest::addColumn<QRect>("expected");
    QTest::newRow("letterbox") << QSize(640, 360) << QSize(400, 300) << QRect(0, 37, 400, 225);
    QTest::newRow("pillarbox") << QSize(704, 576) << QSize(1000, 400) << QRect(256, 0, 488, 400);
    QTest::newRow("empty pane") << QSize(160, 96) << QSize(0, 0) << QRect(0, 0, 0, 0);
  }
  void fitsPicturesKeepingTheirShape() {
    QFETCH(QSize, picture);
    QFETCH(QSize, pane);
    QFETCH(QRect, expected);
    const SDL_Rect r = fitPicture(picture.width(), picture.height(), pane.width(), pane.height());
    QCOMPARE(QRect(r.x, r.y, r.w, r.h), expected);
  }

 private:
  QTemporaryDir dir;
  std::string card;
  std::unique_ptr<test> window;
};

QTEST_MAIN(PlaybackWindowTest)
#include "playback_window_test.moc"
