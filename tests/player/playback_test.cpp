// The playback workers on simulator cards: each worker runs on its own
// thread as in the program and is steered through the process-wide
// variables; what it hands over is recorded with the wall time of the
// hand-over.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "demuxer_base.h"
#include "globals.h"
#include "pane_probe.h"
#include "raw_manifest.h"
#include "support.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

// 2026-12-01 10:00:00 in UTC+8; every recording runs 8 s.
const int64_t kStart = 1796090400;

bool waitUntil(const std::function<bool()> &cond, int ms) {
  const int64_t end = wallMs() + ms;
  while (!cond()) {
    if (wallMs() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(2);
  }
  return true;
}

// One pane's worker with what it hands over (pane_probe.h), and the
// questions the tests ask of it.
struct Pane : PaneProbe {
  explicit Pane(int index) : PaneProbe(index) {}
  // How much of the heard sound is at hz (Goertzel), against hz2.
  double pitchRatio(double hz, double hz2) {
    std::lock_guard<std::mutex> held(lock);
    auto power = [&](double f) {
      const double k = 2 * std::cos(2 * M_PI * f / 16000);
      double s1 = 0, s2 = 0;
      for (int16_t x : pcm) {
        const double s0 = x + k * s1 - s2;
        s2 = s1;
        s1 = s0;
      }
      return s1 * s1 + s2 * s2 - k * s1 * s2;
    };
    return power(hz) / (power(hz2) + 1);
  }
  int64_t last() { auto p = pictures(); return p.empty() ? -1 : p.back().first; }
  void step(const char *slot = "on_demuxer_nextFrame") {
    const size_t before = count();
    QMetaObject::invokeMethod(worker, slot, Qt::QueuedConnection);
    waitUntil([&] { return count() > before; }, 5000);
  }
};

struct Card {
  const char *layout, *codec;
  int fps;
  int channels;
  std::vector<int> recorded;  // channels with a recording
  bool sound = true;
};

std::string cardName(const Card &c) {
  return std::string(c.layout) + "_" + c.codec + "_" + std::to_string(c.fps) + "fps_" +
         std::to_string(c.channels) + "ch" + (c.sound ? "" : "_mute");
}
void PrintTo(const Card &c, std::ostream *os) { *os << cardName(c); }

// Makes (once per process) and opens a card; returns its video frame times
// of channel `ch` from the raw layout's manifest of the same recordings.
std::vector<int64_t> openCard(const Card &c, int ch = 0) {
  static QTemporaryDir dir;
  const std::string base = dir.filePath(QString::fromStdString(cardName(c))).toStdString();
  const std::string manifest = base + ".json";
  std::vector<std::string> args = {"--codec", c.codec, "--fps", std::to_string(c.fps), "--gop",
                                   std::to_string(c.fps), "--size", "160x96", "--channels",
                                   std::to_string(c.channels)};
  if (!c.sound) args.push_back("--no-audio");
  for (int r : c.recorded) {
    args.push_back("--record");
    args.push_back(std::to_string(r) + "," + std::to_string(kStart) + "," + std::to_string(kStart + 8));
  }
  auto with = [&](std::vector<std::string> more) {
    more.insert(more.begin(), args.begin(), args.end());
    return more;
  };
  const std::string card = base + (c.layout[0] == 'r' ? ".img" : "");
  if (!QFile::exists(QString::fromStdString(manifest))) {
    EXPECT_TRUE(makeSimCard(with({"--layout", "raw", "--manifest", manifest}), base + ".ref"));
    if (c.layout[0] == 'f') EXPECT_TRUE(makeSimCard(with({"--layout", "file"}), card));
    else QFile::rename(QString::fromStdString(base + ".ref"), QString::fromStdString(card));
  }
  const int layout = c.layout[0] == 'r' ? 1 : 2;
  EXPECT_TRUE(openSimCard(card, layout));
  storageV = layout;
  videoType = std::string(c.codec) == "h264" ? 1 : 0;
  channelNum = c.channels;
  playSpeed = 10;
  playState = 0;
  std::vector<int64_t> times;
  for (const rawimg::ManifestFrame &f : rawimg::readManifest(manifest).at(ch).frames)
    if (f.video) times.push_back(f.time);
  return times;
}

void chooseSegment(int64_t start, int64_t end) {
  playStartTime = start;
  playEndTime = end;
  qmx_panes_requestRestart();
}

class Cards : public ::testing::TestWithParam<Card> {
 protected:
  void TearDown() override { playState = 0; }
};

// Chosen while paused, a segment shows its first frame; ten steps show the
// ten frames after it, a step back the one before, across an I-frame.
TEST_P(Cards, StepsShowConsecutiveFrames) {
  const std::vector<int64_t> frames = openCard(GetParam());
  chooseSegment(kStart + 2, kStart + 6);
  Pane pane(0);
  const size_t first = std::lower_bound(frames.begin(), frames.end(), (kStart + 2) * 1000) - frames.begin();
  ASSERT_LT(first + 12, frames.size());
  for (size_t i = 0; i <= 10; i++) {
    pane.step();
    ASSERT_EQ(pane.last(), frames[first + i]) << "step " << i;
  }
  pane.step("on_demuxer_prevFrame");
  EXPECT_EQ(pane.last(), frames[first + 9]);
  pane.step();
  EXPECT_EQ(pane.last(), frames[first + 10]);
  EXPECT_EQ(int(playState), 0);
}

// At 1.0x the card time of the pictures keeps up with the wall clock, and
// two panes show the same moment; a short segment plays to its last frame.
TEST_P(Cards, PlaysInRealTimeInStepToTheEnd) {
  const std::vector<int64_t> frames = openCard(GetParam());
  chooseSegment(kStart, kStart + 6);
  Pane one(0), two(1);
  playState = 1;
  const int64_t from = wallMs();
  waitUntil([&] { return wallMs() - from > 3600; }, 10000);
  // Measured after the start-up, over three seconds.
  std::vector<std::pair<int64_t, int64_t>> a, b;
  for (auto &p : one.pictures()) if (p.second >= from + 500 && p.second <= from + 3500) a.push_back(p);
  b = two.pictures();
  ASSERT_GE(a.size(), 10u);
  const double rate = double(a.back().first - a.front().first) / double(a.back().second - a.front().second);
  EXPECT_NEAR(rate, 1.0, 0.1) << "card time advanced " << a.back().first - a.front().first
                              << " ms in " << a.back().second - a.front().second << " ms of wall time";
  const int64_t frame = 1000 / GetParam().fps + 1;
  std::vector<int64_t> apart;
  for (auto &p : a)
    for (auto &q : b)
      if (q.first == p.first) apart.push_back(std::abs(q.second - p.second));
  ASSERT_GE(apart.size(), a.size() * 9 / 10) << "the panes showed different frames";
  std::sort(apart.begin(), apart.end());
  EXPECT_LE(apart[apart.size() * 9 / 10], frame) << "90% of the same frames came within "
                                                 << apart[apart.size() * 9 / 10] << " ms";
  // The rest at 4.0x: play ends after the last frame before the end + 1 s.
  playSpeed = 40;
  ASSERT_TRUE(waitUntil([] { return playState == 0; }, 15000));
  const int64_t lastFrame = *(std::upper_bound(frames.begin(), frames.end(), (kStart + 7) * 1000) - 1);
  EXPECT_EQ(one.last(), lastFrame);
  EXPECT_EQ(two.last(), lastFrame);
  EXPECT_EQ(int(demuxerRestart), 1);
}

INSTANTIATE_TEST_SUITE_P(Play, Cards,
                         ::testing::Values(Card{"raw", "h264", 5, 2, {0, 1}},
                                           Card{"file", "h265", 12, 2, {0, 1}},
                                           Card{"raw", "h265", 25, 2, {0, 1}},
                                           Card{"file", "h264", 25, 2, {0, 1}}),
                         ::testing::PrintToStringParamName());

// The heard pane alone plays sound, as long as the pictures: its own
// channel's (each channel has its pitch: 440 Hz, 550 Hz), or silence where
// the card has none; at other speeds than 1.0x none.
TEST(Sound, HeardPaneOnlyAtNormalSpeedWithSilenceForMissingSound) {
  for (bool withSound : {true, false}) {
    // With sound the file layout, whose handles hand out every channel's.
    openCard({withSound ? "file" : "raw", "h264", 12, 2, {0, 1}, withSound});
    chooseSegment(kStart, kStart + 8);
    heardPane = 1;
    Pane one(0), two(1);
    playState = 1;
    ASSERT_TRUE(waitUntil([&] { return one.count() > 0; }, 5000));
    const int64_t from = one.pictures().front().second;
    waitUntil([] { return false; }, 2500);
    const int64_t played = one.pictures().back().second - from;
    EXPECT_EQ(one.pcmBytes, 0) << "pane 1 is not heard";
    EXPECT_NEAR(two.pcmBytes / 32.0, played, 400) << "ms of sound against " << played
                                                   << " ms of pictures, card sound: " << withSound;
    Pane &heard = withSound ? one : two;
    if (withSound) {
      EXPECT_GT(two.pitchRatio(550, 440), 20) << "pane 2 plays channel 2's sound";
      heardPane = 0;
      waitUntil([] { return false; }, 1000);
      EXPECT_GT(one.pitchRatio(440, 550), 20) << "pane 1, heard now, plays channel 1's sound";
    }
    playSpeed = 20;
    waitUntil([] { return false; }, 300);
    const int atTwice = heard.pcmBytes;
    waitUntil([] { return false; }, 700);
    EXPECT_EQ(heard.pcmBytes, atTwice) << "sound at 2.0x";
    playState = 0;
    heardPane = 0;
  }
}

// Play right after a card is chosen plays its span: the panes start with
// their restart requests set (as a process starts: ctest runs it alone).
TEST(Start, PlayAfterChoosingACardPlays) {
  openCard({"raw", "h264", 12, 1, {0}});
  playStartTime = kStart;
  playEndTime = kStart + 8;
  Pane pane(0);
  playState = 1;
  ASSERT_TRUE(waitUntil([&] { return pane.count() >= 3; }, 5000));
  EXPECT_EQ(pane.pictures().front().first, kStart * 1000);
  playState = 0;
}

// On a four-channel card a recording of channel 3 alone plays in pane 4
// only, and play ends when it ends.
TEST(FourPanes, OnlyTheRecordedChannelPlays) {
  openCard({"file", "h264", 12, 4, {3}}, 3);
  chooseSegment(kStart + 5, kStart + 6);
  std::vector<std::unique_ptr<Pane>> panes;
  for (int i = 0; i < 4; i++) panes.emplace_back(new Pane(i));
  playSpeed = 40;
  playState = 1;
  ASSERT_TRUE(waitUntil([] { return playState == 0; }, 15000));
  for (int i = 0; i < 3; i++) EXPECT_EQ(panes[i]->count(), 0u) << "pane " << i + 1;
  EXPECT_GE(panes[3]->count(), 12u);
  EXPECT_GE(currentVideoTime, (kStart + 6) * 1000);
}

// A seek moves every pane there, and a step moves every pane one frame.
TEST(FourPanes, SeekAndStepMoveEveryPane) {
  const std::vector<int64_t> frames = openCard({"raw", "h265", 12, 4, {0, 1, 2, 3}});
  chooseSegment(kStart, kStart + 8);
  std::vector<std::unique_ptr<Pane>> panes;
  for (int i = 0; i < 4; i++) panes.emplace_back(new Pane(i));
  playState = 1;
  ASSERT_TRUE(waitUntil([&] { return panes[3]->count() >= 3; }, 5000));
  qmx_panes_requestSeek(5000);
  for (auto &p : panes)
    EXPECT_TRUE(waitUntil([&] { return p->last() >= (kStart + 5) * 1000; }, 3000)) << p->worker->pane();
  playState = 0;
  QThread::msleep(300);
  std::vector<int64_t> before;
  for (auto &p : panes) before.push_back(p->last());
  for (auto &p : panes) QMetaObject::invokeMethod(p->worker, "on_demuxer_nextFrame", Qt::QueuedConnection);
  for (size_t i = 0; i < panes.size(); i++) {
    const auto next = std::upper_bound(frames.begin(), frames.end(), before[i]);
    ASSERT_NE(next, frames.end());
    EXPECT_TRUE(waitUntil([&] { return panes[i]->last() == *next; }, 3000)) << "pane " << i + 1;
  }
}

}  // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  av_log_set_level(AV_LOG_FATAL);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
