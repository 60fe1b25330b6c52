// The playback loop on simulator cards: a worker runs on its own thread as
// in the program, the test thread receives its pictures through queued
// connections and steers it through the process-wide variables.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "demuxer.h"
#include "globals.h"
#include "silent_aac.h"
#include "simcard.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

// 2026-12-01 10:00:00 in UTC+8; the recording runs 6 s.
const int64_t kStart = 1796090400;
const int64_t kEnd = kStart + 6;

// Runs the Qt event loop of the test thread until cond holds or ms pass.
bool spinUntil(const std::function<bool()> &cond, int ms) {
  QElapsedTimer t;
  t.start();
  while (!cond()) {
    if (t.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(2);
  }
  return true;
}

void spinFor(int ms) {
  spinUntil([] { return false; }, ms);
}

// One worker on its own thread, with the pictures it hands over counted and
// released on the test thread, and pane 1's position sampled at each.
struct Running {
  DemuxerBase *worker;
  QThread thread;
  QObject sink;
  int pictures = 0;
  int pcmBlocks = 0;
  std::vector<int64_t> times;

  explicit Running(DemuxerBase *w) : worker(w) {
    worker->moveToThread(&thread);
    QObject::connect(worker, &DemuxerBase::sigGetVedioFrame, &sink,
        [this](AVFrame *f, int, int) {
          pictures++;
          times.push_back(currentVideoTime);
          qmx_player_releasePicture(f);
        }, Qt::QueuedConnection);
    QObject::connect(worker, &DemuxerBase::sigGetAudioFrame, &sink,
        [this](const char *d, int) {
          pcmBlocks++;
          qmx_player_releasePcm(d);
        }, Qt::QueuedConnection);
    thread.start();
    QMetaObject::invokeMethod(worker, "on_demuxer_start", Qt::QueuedConnection);
  }
  void step() { QMetaObject::invokeMethod(worker, "on_demuxer_nextFrame", Qt::QueuedConnection); }
  ~Running() {
    worker->requestStop();
    thread.quit();
    thread.wait();
    // Copies still queued to the sink are released by delivering them.
    QCoreApplication::sendPostedEvents(&sink, QEvent::MetaCall);
    delete worker;
  }
};

class Playback : public ::testing::Test {
 protected:
  static std::string rawCard, fileCard, silentCard;

  static void SetUpTestSuite() {
    if (silentAac.size == 0) generateSilentAac();
    static QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    rawCard = dir.filePath("raw.img").toStdString();
    fileCard = dir.filePath("file").toStdString();
    silentCard = dir.filePath("silent.img").toStdString();
    const std::string rec = "0," + std::to_string(kStart) + "," + std::to_string(kEnd);
    for (const char *layout : {"raw", "file"})
      ASSERT_TRUE(makeSimCard({"--layout", layout, "--codec", "h264", "--size", "160x96",
                               "--record", rec},
                              layout[0] == 'r' ? rawCard : fileCard));
    ASSERT_TRUE(makeSimCard({"--layout", "raw", "--codec", "h264", "--size", "160x96",
                             "--no-audio", "--record", rec},
                            silentCard));
  }

  void load(int layout, int64_t start, int64_t end, const std::string &card = "") {
    ASSERT_TRUE(openSimCard(card.empty() ? (layout == 1 ? rawCard : fileCard) : card, layout));
    storageV = layout;
    videoType = 1;
    channelNum = 1;
    playSpeed = 40;
    playStartTime = start;
    playEndTime = end;
    currentVideoTime = 0;
    demuxerRestart = 1;
    demuxer2Restart = 1;
    playState = 0;
  }

  void TearDown() override { playState = 0; }
};
std::string Playback::rawCard, Playback::fileCard, Playback::silentCard;

// Layouts are run by parameter: 1 raw-disk, 2 file.
class Layouts : public Playback, public ::testing::WithParamInterface<int> {};

// Plays [kStart, kStart + 2] at 4x to its end: every frame up to the end
// plus one second, in order, then play stops for both panes.
TEST_P(Layouts, SegmentPlaysToItsEnd) {
  load(GetParam(), kStart, kStart + 2);
  videoType = GetParam() == 1 ? 1 : 0;  // a file-layout open rewrites it
  Running r(new demuxer);
  playState = 1;
  ASSERT_TRUE(spinUntil([] { return playState == 0; }, 15000)) << "play never ended";
  spinFor(200);  // pictures still on their way
  // 37 video frames at 12 per second; the first picture after the decoder
  // set-up only prepares the converter and the parser keeps the last frame
  // until the next begins.
  EXPECT_GE(r.pictures, 32);
  EXPECT_LE(r.pictures, 35);
  EXPECT_GT(r.pcmBlocks, 0);
  ASSERT_FALSE(r.times.empty());
  for (size_t i = 1; i < r.times.size(); i++) ASSERT_LE(r.times[i - 1], r.times[i]) << i;
  EXPECT_GE(r.times.front(), kStart * 1000);
  // The first frame after the end plus one second stopped play; the last
  // video frame looked at lies within one frame before that.
  EXPECT_GE(currentVideoTime, (kStart + 3) * 1000 - 84);
  EXPECT_LE(currentVideoTime, (kStart + 3) * 1000);
  EXPECT_EQ(videoType, 1);
  EXPECT_EQ(demuxerRestart, 1);
  EXPECT_EQ(demuxer2Restart, 1);
}

// Without sound on the card, a second of silence goes out whenever audio is
// due and the next picture is not, at most once between two pictures.
TEST_F(Playback, SilenceFillsARecordingWithoutSound) {
  load(1, kStart, kStart + 1, silentCard);
  Running r(new demuxer);
  playState = 1;
  ASSERT_TRUE(spinUntil([] { return playState == 0; }, 15000));
  spinFor(200);
  EXPECT_GE(r.pictures, 20);
  // Each filler is one second of 16 kHz PCM: 15 whole blocks and a rest
  // that carries over into the next filler. 25 video frames lie within the
  // segment and its extra second.
  EXPECT_GE(r.pcmBlocks, 15 * 5);
  EXPECT_LE(r.pcmBlocks, 16 * 26);
}

// Pause, frame step and restart on one running worker.
TEST_P(Layouts, PauseStepAndRestart) {
  load(GetParam(), kStart, kEnd);
  Running r(new demuxer);
  playState = 1;
  ASSERT_TRUE(spinUntil([&] { return r.pictures >= 5; }, 10000));

  // Paused: nothing more arrives once the pictures already sent are in.
  playState = 0;
  spinFor(300);
  const int paused = r.pictures;
  spinFor(400);
  EXPECT_EQ(r.pictures, paused);

  // A frame step while paused shows exactly one more picture.
  r.step();
  EXPECT_TRUE(spinUntil([&] { return r.pictures > paused; }, 3000));
  spinFor(300);
  EXPECT_EQ(r.pictures, paused + 1);
  EXPECT_EQ(playState, 0);

  // A restart at a later start moves the position there.
  const int64_t before = currentVideoTime;
  ASSERT_LT(before, (kStart + 4) * 1000);
  playStartTime = kStart + 4;
  demuxerRestart = 1;
  r.step();
  ASSERT_TRUE(spinUntil([] { return currentVideoTime >= (kStart + 4) * 1000; }, 2000));
  EXPECT_LE(currentVideoTime, (kStart + 5) * 1000);
  EXPECT_EQ(demuxerRestart, 0);
}

INSTANTIATE_TEST_SUITE_P(Card, Layouts, ::testing::Values(1, 2),
                         [](const ::testing::TestParamInfo<int> &i) {
                           return std::string(i.param == 1 ? "Raw" : "File");
                         });

}  // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  av_log_set_level(AV_LOG_FATAL);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
