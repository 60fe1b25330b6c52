// Playback through the main window: the workers it wires play a simulator
// card and end with the window, its controls move the play position, and
// pictures are fitted into the panes.
#include <QElapsedTimer>
#include <QTemporaryDir>

#include "globals.h"
#include "qmx_storage.h"
#include "simcard.h"
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
    demuxerRestart = 1;
    demuxer2Restart = 1;
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
      playState = 0;
      currentVideoTime = 0;
      demuxerRestart = 1;
      demuxer2Restart = 1;
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
    QTest::mouseClick(ui->pushButton_play, Qt::LeftButton);
    QVERIFY(waitFor([] { return position() >= 0 && position() < 5; }, 3000));

    ui->pushButton_15R->click();
    QVERIFY(waitFor([] { return position() >= 15; }, 3000));
    QVERIFY(position() < 20);

    ui->pushButton_15L->click();
    QVERIFY(waitFor([] { return position() < 5; }, 3000));

    // Released at the middle of the minute: half a minute in.
    ui->horizontalSlider->setValue(500);
    QVERIFY(waitFor([] { return position() >= 30; }, 3000));
    QVERIFY(position() < 34);
    QTest::qWait(450);  // a position refresh
    QVERIFY(ui->horizontalSlider->value() >= 500 && ui->horizontalSlider->value() < 600);
    QVERIFY(ui->label_time->text().startsWith("00:00:3"));
    QVERIFY(ui->label_time->text().endsWith("/00:01:00"));

    // Near the end 15 s forward does nothing.
    ui->horizontalSlider->setValue(800);
    QVERIFY(waitFor([] { return position() >= 48; }, 3000));
    ui->pushButton_15R->click();
    QTest::qWait(400);
    QVERIFY(position() < 55);

    // Paused, the slider seeks nothing and returns to the play position.
    QTest::mouseClick(ui->pushButton_play, Qt::LeftButton);
    QCOMPARE(int(playState), 0);
    QTest::qWait(450);
    const int64_t paused = currentVideoTime;
    const int shown = ui->horizontalSlider->value();
    QVERIFY(shown > 500);
    ui->horizontalSlider->setValue(100);
    ui->pushButton_15L->click();
    QTest::qWait(450);
    QCOMPARE(int64_t(currentVideoTime), paused);
    QCOMPARE(ui->horizontalSlider->value(), shown);

    // A frame step shows the time of the last frame read above its button.
    ui->pushButton_nextFrame->click();
    QLabel *label = AppWindowTest::frameTimeLabel(*window);
    QVERIFY(label->isVisible());
    QVERIFY(label->text().startsWith("当前帧: 10:00:"));
    QCOMPARE(label->pos().y(), ui->pushButton_nextFrame->mapTo(window.get(), QPoint(0, 0)).y() - 30);
    QVERIFY(waitFor([&] { return label->isHidden(); }, 1500));
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
