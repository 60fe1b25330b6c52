// The file-layout library on volumes written by the simulator: mount,
// getters, month and day queries, playback through rotation, why a handle
// ended, every channel of a card, bounded day lists, handles shared between
// threads, files let go of, discovery, and damaged volumes (every file cut at
// many points, bytes flipped) where every call must end with a failure
// result or valid data and the volume stays unchanged.

#include <gtest/gtest.h>
#include <zlib.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <tuple>
#include <unistd.h>

#include "device.h"
#include "file_volume.h"
#include "file_writer.h"
#include "qmx_common.h"
#include "fake_sysfs.h"
#include "qmx_storage_v2.h"
#include "storage_v2_internal.h"

#include <dirent.h>
#include <atomic>
#include <thread>

namespace fs = std::filesystem;
using filevol::add;

namespace {

const int64_t kT0 = filevol::localTime(2026, 3, 10, 10, 0, 0);

// Makes the directory a volume of the device layer and returns its drive
// index, or -1.
int attach(const std::string &dir) {
  plat_detachAll();
  plat_volume *list = nullptr;
  const int n = plat_attachPath(dir.c_str()) == 0 ? plat_listVolumes(&list) : 0;
  int drive = -1;
  std::error_code ec;
  for (int i = 0; i < n; ++i)
    if (list[i].root[0] && fs::equivalent(list[i].root, dir, ec)) drive = list[i].driveIndex;
  plat_freeVolumes(list);
  return drive;
}

// A simulated volume in a directory of its own, removed with the object.
struct Card {
  ~Card() {
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }
  std::string dir;
  FileLayoutReport report;
  int drive = -1;
  std::string error;
};

bool make(const Scenario &sc, const char *tag, Card *c) {
  c->dir = filevol::makeTempDir(tag);
  c->report.collectFrames = true;
  if (!writeFileLayout(sc, c->dir, &c->report, &c->error)) return false;
  c->drive = attach(c->dir);
  if (c->drive < 0) return c->error = "cannot attach " + c->dir, false;
  qmx_storage_v2_init();
  return true;
}

int openCard(const Card &c) {
  qmx_storage_v2_close();
  return qmx_storage_v2_open(static_cast<uint8_t>(c.drive));
}

using Entry = std::tuple<int, int, int64_t, int64_t>;  // type, video type, start, end

// The day list, or a single entry of type -1 for a null result.
std::vector<Entry> day(int64_t start) {
  qmx_storage_v2_dayFragment *list = qmx_storage_v2_queryByDay(start, start + 86400);
  if (!list) return {Entry{-1, -1, 0, 0}};
  std::vector<Entry> out;
  for (uint32_t i = 0; i < list->count; ++i)
    out.emplace_back(list->fragment[i].type, int(list->fragment[i].videoType), int64_t{list->fragment[i].startTime},
                     int64_t{list->fragment[i].endTime});
  free(list);
  return out;
}

int countOf(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

struct Got {
  uint32_t word;
  int64_t time;
  uint32_t crc;
};

// Plays a channel from start (seconds) until the frame call stops answering
// 0; returns the frames and the last result.
int play(uint8_t channel, uint64_t start, std::vector<Got> *out, uint32_t *codec, size_t limit,
         uint32_t *handleOut = nullptr) {
  uint32_t handle = 0;
  if (qmx_storage_v2_playbackStart(channel, start, &handle, codec) != 0) return -2;
  int rc = 0;
  while (out->size() < limit) {
    qmx_storage_v2_frame f;
    std::memset(&f, 0, sizeof f);
    rc = qmx_storage_v2_playbackFrame(handle, &f);
    if (rc != 0) break;
    const uint32_t length = QMX_V2_FRAME_LENGTH(f.word);
    out->push_back({f.word, f.time, static_cast<uint32_t>(crc32(0L, f.data, length))});
    qmx_storage_v2_freeFrame(handle, &f);
  }
  if (handleOut)
    *handleOut = handle;
  else
    qmx_storage_v2_playbackStop(handle);
  return rc;
}

// What a handle on the channel started at t (seconds) hands out: from the
// channel's first key frame at or after t, its video and every audio frame,
// up to the newest frame of the card (not included).
std::vector<FileLayoutFrame> expected(const FileLayoutReport &r, int channel, int64_t t) {
  std::vector<FileLayoutFrame> out;
  bool on = false;
  for (size_t i = 0; i + 1 < r.frames.size(); ++i) {
    const FileLayoutFrame &f = r.frames[i];
    if (!f.live) continue;
    if (!on && f.key && f.channel == channel && f.timeMs >= t * 1000) on = true;
    if (on && (!f.video || f.channel == channel)) out.push_back(f);
  }
  return out;
}

void expectFrames(const std::vector<Got> &got, const std::vector<FileLayoutFrame> &want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    EXPECT_EQ(got[i].word & 1, want[i].video ? 1u : 0u);
    EXPECT_EQ((got[i].word >> 2) & 7, static_cast<uint32_t>(want[i].channel));
    EXPECT_EQ(QMX_V2_FRAME_LENGTH(got[i].word), want[i].length);
    EXPECT_EQ(got[i].time, want[i].timeMs);
    EXPECT_EQ(got[i].crc, want[i].crc32);
  }
}

}  // namespace

// ---------------------------------------------------------------------------

TEST(StorageFileSim, MountGettersMonthAndDayQueries) {
  const int64_t d10 = filevol::localTime(2026, 3, 10, 0, 0, 0);
  const int64_t d11 = d10 + 86400, d12 = d11 + 86400, d13 = d12 + 86400, d14 = d13 + 86400,
                d15 = d14 + 86400;
  Scenario sc = filevol::scenario(1, 2, "{\"deleted\": [5, 99]}", true);
  add(&sc, 0, kT0, kT0 + 3, 0x11);                    // id 1
  add(&sc, 1, kT0 + 1, kT0 + 4, 0x12);                // id 2
  add(&sc, 0, d11 - 2, d11 + 2, 0x13);                // id 3, across midnight
  add(&sc, 1, d12 + 8 * 3600, d12 + 8 * 3600 + 2, 0x21);  // id 4
  add(&sc, 0, d14 + 3600, d14 + 3602, 0x22);          // id 5, deleted
  add(&sc, 1, d15 + 7200, d15 + 7203, 0x23, true);    // id 6, still open
  Card c;
  ASSERT_TRUE(make(sc, "queries", &c)) << c.error;
  ASSERT_EQ(openCard(c), 0);
  EXPECT_EQ(qmx_storage_v2_getChannelNum(), 2);
  EXPECT_EQ(qmx_storage_v2_getVideoType(), 1);
  int64_t start = 0, end = 0;
  EXPECT_EQ(qmx_storage_v2_getValidTime(&start, &end), 0);
  EXPECT_EQ(start, kT0);
  EXPECT_EQ(end, c.report.lastTimeMs / 1000);
  EXPECT_GE(end, d15 + 7202);

  const int64_t m3 = filevol::localTime(2026, 3, 1, 0, 0, 0);
  const int64_t m4 = filevol::localTime(2026, 4, 1, 0, 0, 0);
  EXPECT_EQ(qmx_storage_v2_queryByMonth(m3, m4), (1u << 9) | (1u << 10) | (1u << 11) | (1u << 14));
  EXPECT_EQ(qmx_storage_v2_queryByMonth(filevol::localTime(2026, 2, 1, 0, 0, 0), m3), 0u);
  EXPECT_EQ(qmx_storage_v2_queryByMonth(m4, m3), 0u);

  const int64_t openEnd = c.report.lastTimeMs / 1000;
  EXPECT_EQ(day(d10), (std::vector<Entry>{{0x11, 1, kT0, kT0 + 3},
                                          {0x12, 1, kT0 + 1, kT0 + 4},
                                          {0x13, 1, d11 - 2, d11 + 2}}));
  EXPECT_EQ(day(d11), (std::vector<Entry>{{0x13, 1, d11 - 2, d11 + 2}}));
  EXPECT_EQ(day(d12), (std::vector<Entry>{{0x21, 1, d12 + 8 * 3600, d12 + 8 * 3600 + 2}}));
  EXPECT_EQ(day(d13), std::vector<Entry>{});
  EXPECT_EQ(day(d14), std::vector<Entry>{});  // its only fragment is deleted
  EXPECT_EQ(day(d15), (std::vector<Entry>{{0x23, 1, d15 + 7200, openEnd}}));
  EXPECT_EQ(std::get<0>(day(qmx_common_getTimeSec() + 10).at(0)), -1);  // in the future
}

// Which meta copy counts, and which damaged or missing files fail the load;
// each logged complaint comes once.
TEST(StorageFileSim, MetaCopyChoiceAndMissingFiles) {
  struct Case {
    const char *options;
    int open;         // expected open result
    bool newest;      // the state with the last recording counts
    const char *log;  // a line the load must print exactly once
  } cases[] = {
      {"{}", 0, true, "storage/index/del_frag.dt failed.\n"},  // sequences 7 and 8
      {"{\"metaNewer\": 0}", 0, true, nullptr},
      {"{\"metaBadCrc\": [0]}", 0, true, "invalid meta\n"},
      {"{\"metaNewer\": 0, \"metaBadCrc\": [0]}", 0, false, "invalid meta\n"},
      {"{\"metaSequence\": [2147483647, -2147483648]}", 0, true, nullptr},
      {"{\"metaNewer\": 0, \"metaSequence\": [-2147483648, 2147483647]}", 0, true, nullptr},
      {"{\"metaBadCrc\": [0, 1]}", -1, false, nullptr},
      {"{\"faults\": {\"remove\": [\"storage/index/meta_00.dt\"]}}", -1, false, nullptr},
      {"{\"faults\": {\"badBaseMagic\": true}}", -1, false, nullptr},
      {"{\"faults\": {\"badBaseCrc\": true}}", -1, false, "invalid base\n"},
      {"{\"faults\": {\"badNewestFragCrc\": true}}", -1, false, nullptr},
      {"{\"faults\": {\"badNewestIframeCrc\": true}}", -1, false, nullptr},
      {"{\"faults\": {\"badHeaderCrc\": [-1]}}", -1, false, nullptr},
      {"{\"faults\": {\"truncate\": {\"storage/base.dt\": 38}}}", -1, false, nullptr},
      {"{\"faults\": {\"remove\": [\"storage/index/iframe.dt\"]}}", -1, false, nullptr},
      {"{\"deleted\": [1], \"faults\": {\"badDelCrc\": true}}", 0, true, "invalid del header\n"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.options);
    Scenario sc = filevol::scenario(0, 1, k.options, true);
    add(&sc, 0, kT0, kT0 + 2);
    add(&sc, 0, kT0 + 10, kT0 + 12);
    Card c;
    ASSERT_TRUE(make(sc, "meta", &c)) << c.error;
    testing::internal::CaptureStdout();
    const int rc = openCard(c);
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(rc, k.open);
    if (k.log) {
      EXPECT_EQ(countOf(out, k.log), 1) << out;
    }
    if (k.open != 0) continue;
    int64_t start = 0, end = 0;
    qmx_storage_v2_getValidTime(&start, &end);
    EXPECT_EQ(start, kT0);
    if (k.newest) {
      EXPECT_EQ(end, c.report.lastTimeMs / 1000);
    } else {
      EXPECT_LT(end, kT0 + 10);
    }
    // Without a deleted list (or with a bad one) every fragment is listed.
    EXPECT_EQ(day(filevol::localTime(2026, 3, 10, 0, 0, 0)).size(), k.newest ? 2u : 1u);
  }
}

TEST(StorageFileSim, EmptyCard) {
  Scenario sc = filevol::scenario(0, 2, "{\"fragRingStart\": 7, \"iframeRingStart\": 9}", true);
  Card c;
  ASSERT_TRUE(make(sc, "empty", &c)) << c.error;
  ASSERT_EQ(openCard(c), 0);
  EXPECT_EQ(qmx_storage_v2_getChannelNum(), 2);
  EXPECT_EQ(qmx_storage_v2_getVideoType(), 0);
  int64_t start = -1, end = -1;
  EXPECT_EQ(qmx_storage_v2_getValidTime(&start, &end), 0);
  EXPECT_EQ(start + end, 0);
  EXPECT_EQ(qmx_storage_v2_queryByMonth(kT0 - 9 * 86400, kT0 + 20 * 86400), 0u);
  EXPECT_EQ(day(filevol::localTime(2026, 3, 10, 0, 0, 0)), std::vector<Entry>{});
  std::vector<Got> got;
  uint32_t codec;
  EXPECT_EQ(play(0, static_cast<uint64_t>(kT0), &got, &codec, 10), -2);
}

// Channel 1 records last, so its handle reaches the write position exactly.
TEST(StorageFileSim, PlaybackOfChannel1IsItsVideoAndEveryAudioFrame) {
  Scenario sc = filevol::scenario(0, 2, "{}", false);
  add(&sc, 0, kT0, kT0 + 3);
  add(&sc, 1, kT0 + 1, kT0 + 5);
  Card c;
  ASSERT_TRUE(make(sc, "play", &c)) << c.error;
  ASSERT_EQ(openCard(c), 0);

  std::vector<Got> got;
  uint32_t codec = 77, handle = 99;
  ASSERT_EQ(play(1, static_cast<uint64_t>(kT0), &got, &codec, 100000, &handle), 1);
  EXPECT_EQ(codec, 0u);
  expectFrames(got, expected(c.report, 1, kT0));
  EXPECT_EQ(got.front().time, (kT0 + 1) * 1000);  // channel 1's first key frame
  qmx_storage_v2_frame f;
  std::memset(&f, 0, sizeof f);
  for (int i = 0; i < 3; i++) EXPECT_EQ(qmx_storage_v2_playbackFrame(handle, &f), 1);  // stays at the end
  EXPECT_EQ(qmx_storage_v2_playbackProgress(handle), got.back().time - kT0 * 1000);
  int64_t endMs = 0;
  EXPECT_EQ(qmx_storage_v2_playbackEnd(handle, &endMs), QMX_PLAYBACK_END_OF_DATA);
  EXPECT_EQ(endMs, got.back().time);
  // Which channels have an I-frame in a span: channel 0 records from kT0 to
  // kT0 + 3, channel 1 from kT0 + 1 to kT0 + 5, a key frame each second.
  EXPECT_EQ(qmx_storage_v2_channelsInSpan(kT0, kT0 + 1), 1u);
  EXPECT_EQ(qmx_storage_v2_channelsInSpan(kT0, kT0 + 6), 3u);
  EXPECT_EQ(qmx_storage_v2_channelsInSpan(kT0 + 3, kT0 + 6), 2u);
  EXPECT_EQ(qmx_storage_v2_channelsInSpan(kT0 + 6, kT0 + 600), 0u);
  EXPECT_EQ(qmx_storage_v2_channelsInSpan(kT0 + 6, kT0), 0u);

  // A seek goes to the channel's first key frame at or after start + offset.
  ASSERT_EQ(qmx_storage_v2_playbackSeek(handle, 2500), 0);
  EXPECT_EQ(qmx_storage_v2_playbackEnd(handle, nullptr), QMX_PLAYBACK_RUNNING);
  std::memset(&f, 0, sizeof f);
  ASSERT_EQ(qmx_storage_v2_playbackFrame(handle, &f), 0);
  EXPECT_EQ(f.time, (kT0 + 3) * 1000);
  EXPECT_EQ(f.word & 0x1D, 0x5u);  // video of channel 1
  qmx_storage_v2_freeFrame(handle, &f);
  EXPECT_EQ(qmx_storage_v2_playbackSeek(handle, 9000), -1);  // beyond the newest frame
  qmx_storage_v2_playbackStop(handle);
  EXPECT_EQ(qmx_storage_v2_playbackFrame(handle, &f), -1);
  EXPECT_EQ(qmx_storage_v2_playbackProgress(handle), -1);

  // Sixteen handles at most; a stop frees its slot for the next start.
  for (uint32_t i = 0; i < 16; i++) {
    ASSERT_EQ(qmx_storage_v2_playbackStart(i & 1, static_cast<uint64_t>(kT0), &handle, &codec), 0);
    EXPECT_EQ(handle, i);
  }
  EXPECT_EQ(qmx_storage_v2_playbackStart(0, static_cast<uint64_t>(kT0), &handle, &codec), -1);
  qmx_storage_v2_playbackStop(6);
  ASSERT_EQ(qmx_storage_v2_playbackStart(0, static_cast<uint64_t>(kT0), &handle, &codec), 0);
  EXPECT_EQ(handle, 6u);
  for (uint32_t i = 0; i < 16; i++) qmx_storage_v2_playbackStop(i);

  // Channel 0 starts at its own key frame; its video is never channel 1's.
  got.clear();
  const int rc = play(0, static_cast<uint64_t>(kT0 + 1), &got, &codec, 100000);
  EXPECT_TRUE(rc == 1 || rc == -1);
  const std::vector<FileLayoutFrame> want = expected(c.report, 0, kT0 + 1);
  ASSERT_GE(got.size(), want.size());
  got.resize(want.size());
  expectFrames(got, want);

  EXPECT_EQ(play(2, static_cast<uint64_t>(kT0), &got, &codec, 1), -2);  // no such channel
  EXPECT_EQ(play(1, static_cast<uint64_t>(c.report.lastTimeMs / 1000 + 1), &got, &codec, 1), -2);
}

TEST(StorageFileSim, PlaybackFollowsRotationAndEndMarksThroughWrappedRings) {
  for (bool marks : {true, false}) {
    SCOPED_TRACE(marks ? "end-of-file marks" : "no marks");
    char options[300];
    // Ring sizes of 1000 bytes hold 31 fragment records (992 bytes) and 66
    // I-frame records (990 bytes); both rings wrap.
    std::snprintf(options, sizeof options,
                  "{\"recordFileSize\": 30000, \"recordFiles\": 12, \"firstRecordFile\": 10,"
                  " \"eofMarks\": %s, %s}",
                  marks ? "true" : "false",
                  marks ? "\"fragRingRecords\": 5, \"fragRingStart\": 3, \"iframeRingRecords\": 40,"
                          " \"iframeRingStart\": 35"
                        : "\"fragRingBytes\": 1000, \"fragRingStart\": 29, \"iframeRingBytes\": 1000,"
                          " \"iframeRingStart\": 60");
    Scenario sc = filevol::scenario(1, 2, options, true);
    add(&sc, 0, kT0, kT0 + 4, 3);
    add(&sc, 1, kT0 + 1, kT0 + 6, 4);
    add(&sc, 0, kT0 + 8, kT0 + 10, 5);
    add(&sc, 1, kT0 + 9, kT0 + 13, 6);
    Card c;
    ASSERT_TRUE(make(sc, "rotation", &c)) << c.error;
    ASSERT_GE(c.report.rotations, 3u);
    ASSERT_LT(c.report.writeFile, 10);
    ASSERT_EQ(openCard(c), 0);
    int64_t start = 0, end = 0;
    qmx_storage_v2_getValidTime(&start, &end);
    EXPECT_EQ(start, kT0);
    const std::vector<Entry> list = day(filevol::localTime(2026, 3, 10, 0, 0, 0));
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[3], (Entry{6, 1, kT0 + 9, kT0 + 13}));

    std::vector<Got> got;
    uint32_t codec = 0;
    const int rc = play(1, static_cast<uint64_t>(kT0), &got, &codec, 100000);
    EXPECT_EQ(codec, 1u);
    const std::vector<FileLayoutFrame> want = expected(c.report, 1, kT0);
    if (c.report.writeOffset != 0) {
      EXPECT_EQ(rc, 1);
      expectFrames(got, want);
    } else {
      // The newest frame opens a file: the handle meets it after a file
      // change instead of at the write position.
      ASSERT_GE(got.size(), want.size());
      got.resize(want.size());
      expectFrames(got, want);
    }
  }
}

// A recording on the last channel only of three- and four-channel cards:
// the month and day lists show it, the I-frame ring says which channel has
// it, and that channel plays it.
TEST(StorageFileSim, EveryChannelOfThreeAndFourChannelCards) {
  for (int channels : {3, 4}) {
    SCOPED_TRACE(channels);
    Scenario sc = filevol::scenario(0, channels, "{}", true);
    add(&sc, channels - 1, kT0, kT0 + 3, 7);
    Card c;
    ASSERT_TRUE(make(sc, "channels", &c)) << c.error;
    ASSERT_EQ(openCard(c), 0);
    EXPECT_EQ(qmx_storage_v2_queryByMonth(filevol::localTime(2026, 3, 1, 0, 0, 0),
                                          filevol::localTime(2026, 4, 1, 0, 0, 0)),
              1u << 9);
    EXPECT_EQ(day(filevol::localTime(2026, 3, 10, 0, 0, 0)).size(), 1u);
    EXPECT_EQ(qmx_storage_v2_channelsInSpan(kT0 - 60, kT0 + 60), 1u << (channels - 1));
    std::vector<Got> got;
    uint32_t codec = 0;
    EXPECT_EQ(play(static_cast<uint8_t>(channels - 1), static_cast<uint64_t>(kT0), &got, &codec, 100000), 1);
    expectFrames(got, expected(c.report, channels - 1, kT0));
  }
}

// Day lists past a batch and several growths in a wrapped ring, months
// longer than 31 days, and a ring flooded with copies of one fragment.
TEST(StorageFileSim, DayListsMonthRangesAndFloodedRings) {
  const int64_t d0 = filevol::localTime(2026, 1, 10, 0, 0, 0);
  Scenario sc = filevol::scenario(0, 1, "{\"fragRingRecords\": 700, \"fragRingStart\": 600,"
                                        " \"iframeRingRecords\": 1400}", true);
  sc.fps = sc.gop = 1;
  sc.audio = false;
  for (int i = 0; i < 650; ++i) add(&sc, 0, d0 + 100 * i, d0 + 100 * i + 1, static_cast<uint8_t>(i));
  Card busy;
  ASSERT_TRUE(make(sc, "busy", &busy)) << busy.error;
  ASSERT_EQ(openCard(busy), 0);
  const std::vector<Entry> list = day(d0);
  ASSERT_EQ(list.size(), 650u);
  for (int i = 0; i < 650; ++i) ASSERT_EQ(list[i], (Entry{i & 0xFF, 0, d0 + 100 * i, d0 + 100 * i + 1})) << i;

  // Ranges over 2764799 s look at 31 days; a fragment that reaches the end
  // of the range marks the day after it too.
  const int64_t t0 = filevol::localTime(2026, 1, 1, 0, 0, 0), d = 86400;
  sc = filevol::scenario(0, 1, "{}", true);
  add(&sc, 0, t0 + 3 * d + 10, t0 + 3 * d + 12);
  add(&sc, 0, t0 + 6 * d - 1, t0 + 6 * d + 1);
  add(&sc, 0, t0 + 30 * d + 5, t0 + 30 * d + 7);
  add(&sc, 0, t0 + 33 * d, t0 + 33 * d + 2);
  Card months;
  ASSERT_TRUE(make(sc, "months", &months)) << months.error;
  ASSERT_EQ(openCard(months), 0);
  EXPECT_EQ(qmx_storage_v2_queryByMonth(t0, t0 + 40 * d), (1u << 3) | (1u << 5) | (1u << 6) | (1u << 30));
  EXPECT_EQ(qmx_storage_v2_queryByMonth(t0, t0 + 6 * d), (1u << 3) | (1u << 5) | (1u << 6));

  // A ring of 90,000 copies of one fragment: the day list stops at 86,401.
  sc = filevol::scenario(0, 1, "{\"faults\": {\"fragmentFlood\": 90000}}", true);
  add(&sc, 0, t0 + 3 * d + 10, t0 + 3 * d + 12);
  Card flood;
  ASSERT_TRUE(make(sc, "flood", &flood)) << flood.error;
  ASSERT_EQ(openCard(flood), 0);
  EXPECT_EQ(day(t0 + 3 * d).size(), 86401u);
}

// A header that cannot be the next frame ends playback after the frames
// before it, with the reason; so does a record file that cannot be opened.
TEST(StorageFileSim, PlaybackEndsWhereTheDataEnds) {
  Scenario sc = filevol::scenario(0, 1, "{\"recordFileSize\": 6000, \"recordFiles\": 40}", true);
  add(&sc, 0, kT0, kT0 + 6);
  add(&sc, 0, kT0 + 20, kT0 + 24);
  Card c;
  ASSERT_TRUE(make(sc, "ends", &c)) << c.error;
  const std::vector<FileLayoutFrame> want = expected(c.report, 0, kT0);
  size_t k = want.size() / 3;  // a frame that opens a record file, for the last case
  while (want[k].offset != 0 || want[k].file == c.report.writeFile) ++k;
  const FileLayoutFrame &f = want[k];
  char rel[64];
  std::snprintf(rel, sizeof rel, "%s/storage/record/rec_%04u.dt", c.dir.c_str(), f.file);
  const uint32_t word = (f.video ? 1u : 0u) | (f.key ? 2u : 0u) | (f.length << 5);
  const struct {
    const char *what;
    uint32_t word;
    int64_t time;
    bool reseal;
    int ending;
  } cases[] = {
      {"zero length", word & 0x1Fu, f.timeMs, true, QMX_PLAYBACK_DAMAGED},
      {"longer than its file", word | (0x3FFFFFu << 5), f.timeMs, true, QMX_PLAYBACK_DAMAGED},
      {"before the first recording", word, kT0 * 1000 - 1, true, QMX_PLAYBACK_DAMAGED},
      {"a day after the last", word, c.report.lastTimeMs + 86400001, true, QMX_PLAYBACK_DAMAGED},
      {"a wrong check word", word, f.timeMs, false, QMX_PLAYBACK_DAMAGED},
      {"its file missing", 0, 0, false, QMX_PLAYBACK_READ_ERROR},
  };
  std::vector<uint8_t> b;
  ASSERT_TRUE(filevol::readFile(rel, &b));
  for (const auto &k2 : cases) {
    SCOPED_TRACE(k2.what);
    // The frame's 12-byte header: word, 48-bit time (high 16 bits first), check word.
    const uint64_t t = static_cast<uint64_t>(k2.time);
    const uint8_t head[10] = {uint8_t(k2.word), uint8_t(k2.word >> 8), uint8_t(k2.word >> 16), uint8_t(k2.word >> 24),
                              uint8_t(t >> 32), uint8_t(t >> 40), uint8_t(t), uint8_t(t >> 8), uint8_t(t >> 16), uint8_t(t >> 24)};
    std::memcpy(b.data(), head, 10);
    const uint16_t crc = static_cast<uint16_t>(filevol::crc16(b.data(), 10) ^ (k2.reseal ? 0 : 1));
    b[10] = static_cast<uint8_t>(crc);
    b[11] = static_cast<uint8_t>(crc >> 8);
    FILE *out = std::fopen(rel, "wb");
    std::fwrite(b.data(), 1, b.size(), out);
    std::fclose(out);
    if (!k2.word) std::remove(rel);
    ASSERT_EQ(openCard(c), 0);
    std::vector<Got> got;
    uint32_t codec, handle;
    testing::internal::CaptureStdout();
    EXPECT_EQ(play(0, static_cast<uint64_t>(kT0), &got, &codec, 100000, &handle), -1);
    testing::internal::GetCapturedStdout();
    int64_t at = 0;
    EXPECT_EQ(qmx_storage_v2_playbackEnd(handle, &at), k2.ending);
    qmx_storage_v2_playbackStop(handle);
    expectFrames(got, std::vector<FileLayoutFrame>(want.begin(), want.begin() + static_cast<long>(k)));
    EXPECT_EQ(at, want[k - 1].timeMs);
  }
}

TEST(StorageFileSim, CodecFromTheFirstFrame) {
  const struct {
    std::vector<uint8_t> first;
    uint32_t codec;
  } cases[] = {{{0, 0, 0, 1, 0x40, 1}, 0},   {{0, 0, 1, 0x67, 1}, 1},    {{0, 0, 1, 0x41, 1}, 0},
               {{0, 0, 1, 0x09, 1}, 255},    {{1, 0, 0, 0x40, 1}, 0xFFFFFFFFu}, {{0, 0, 0}, 0xFFFFFFFFu}};
  for (const auto &k : cases)
    EXPECT_EQ(v2_detectCodec(k.first.data(), static_cast<uint32_t>(k.first.size())), k.codec);
}

// Descriptors open on anything below dir.
int fdsUnder(const std::string &dir) {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  while (struct dirent *e = d ? readdir(d) : nullptr) {
    char link[4096];
    ssize_t len = readlink((std::string("/proc/self/fd/") + e->d_name).c_str(), link, sizeof link - 1);
    if (len > 0 && std::string(link, static_cast<size_t>(len)).rfind(dir, 0) == 0) n++;
  }
  if (d) closedir(d);
  return n;
}

// Two playback threads and a third starting and stopping handles share the
// slot table; each reader still gets its stream whole. Loads, closes and
// failed loads keep no file of the card open beyond what they should.
TEST(StorageFileSim, HandlesSharedBetweenThreadsAndFilesLetGo) {
  Scenario sc = filevol::scenario(0, 2, "{\"recordFileSize\": 4000}", true);
  add(&sc, 0, kT0, kT0 + 8);
  add(&sc, 1, kT0, kT0 + 8);
  Card c;
  ASSERT_TRUE(make(sc, "threads", &c)) << c.error;
  ASSERT_EQ(openCard(c), 0);
  std::vector<Got> alone[2], together[2];
  uint32_t codec;
  for (uint8_t ch = 0; ch < 2; ch++) play(ch, static_cast<uint64_t>(kT0), &alone[ch], &codec, 100000);
  std::atomic<bool> done{false};
  std::thread churn([&] {
    while (!done) {
      uint32_t h, k;
      if (qmx_storage_v2_playbackStart(1, static_cast<uint64_t>(kT0 + 5), &h, &k) == 0) {
        qmx_storage_v2_playbackSeek(h, 1000);
        qmx_storage_v2_playbackStop(h);
      }
    }
  });
  std::thread a([&] { play(0, static_cast<uint64_t>(kT0), &together[0], &codec, 100000); });
  std::thread b([&] { uint32_t k; play(1, static_cast<uint64_t>(kT0), &together[1], &k, 100000); });
  a.join();
  b.join();
  done = true;
  churn.join();
  for (int ch = 0; ch < 2; ch++) {
    ASSERT_EQ(together[ch].size(), alone[ch].size()) << ch;
    for (size_t i = 0; i < alone[ch].size(); i++) ASSERT_EQ(together[ch][i].crc, alone[ch][i].crc);
  }

  const std::string dir = fs::canonical(c.dir).string();
  EXPECT_EQ(fdsUnder(dir), 5);  // both meta copies, the rings, the write file
  uint32_t handle;
  ASSERT_EQ(qmx_storage_v2_playbackStart(0, static_cast<uint64_t>(kT0), &handle, &codec), 0);
  EXPECT_EQ(fdsUnder(dir), 6);
  ASSERT_EQ(openCard(c), 0);  // a new load lets go of the handles too
  EXPECT_EQ(fdsUnder(dir), 5);
  free(qmx_storage_v2_queryByDay(kT0, kT0 + 86400));
  EXPECT_EQ(qmx_storage_v2_close(), 0);
  EXPECT_EQ(fdsUnder(dir), 0);
  fs::remove(dir + "/storage/index/frag.dt");
  testing::internal::CaptureStdout();
  EXPECT_EQ(openCard(c), -1);
  testing::internal::GetCapturedStdout();
  qmx_storage_v2_close();
  EXPECT_EQ(fdsUnder(dir), 0);
}

// Discovery lists each USB disk once and loads its card to check it, while
// the open card, and a playback on it, stay as they were.
TEST(StorageFileSim, DiscoveryValidatesCardsAndLeavesTheOpenOneAlone) {
  Scenario sc = filevol::scenario(0, 1, "{}", true);
  add(&sc, 0, kT0, kT0 + 4);
  Card open;
  ASSERT_TRUE(make(sc, "open", &open)) << open.error;
  ASSERT_EQ(openCard(open), 0);
  uint32_t handle = 0, codec = 0;
  ASSERT_EQ(qmx_storage_v2_playbackStart(0, static_cast<uint64_t>(kT0), &handle, &codec), 0);

  fakesys::FakeSysfs sys;
  sys.addUsbDisk("sdb", {"sdb1", "sdb2"});
  sys.addSataDisk("sda", {"sda1"});
  sys.addUsbDisk("sdc");
  Scenario other = filevol::scenario(0, 1, "{}", true);
  add(&other, 0, kT0 + 5 * 86400, kT0 + 5 * 86400 + 2);
  std::string err;
  ASSERT_TRUE(writeFileLayout(other, sys.path("card"), &err)) << err;
  ASSERT_TRUE(writeFileLayout(other, sys.path("internal"), &err)) << err;
  fs::create_directories(sys.path("stick"));
  sys.mount("sdb1", sys.path("card"));
  sys.mount("sdb2", sys.path("card2"));
  sys.mount("sda1", sys.path("internal"));
  sys.mount("sdc", sys.path("stick"));
  sys.install();
  qmx_storage_deviceList list = {nullptr, 0};
  testing::internal::CaptureStdout();
  EXPECT_EQ(qmx_storage_v2_findDevice(&list), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  plat_setRoots("/nonexistent", "/nonexistent", "/nonexistent");
  EXPECT_EQ(countOf(out, "type not support.\n"), 1) << out;
  // Every mounted USB volume (both of sdb, the stick) and the open card's
  // folder, attached; two of them hold a card.
  ASSERT_EQ(list.count, 4);
  int valid = 0;
  for (int i = 0; i < list.count; i++) valid += list.device[i].valid;
  EXPECT_EQ(valid, 2);
  EXPECT_EQ(fdsUnder(fs::canonical(sys.path("")).string()), 0);  // validation keeps nothing open
  EXPECT_EQ(qmx_storage_v2_freeDevice(&list), 0);
  EXPECT_EQ(list.device, nullptr);

  // Still the first card: its day, its span, and the handle reads on.
  EXPECT_EQ(day(filevol::localTime(2026, 3, 10, 0, 0, 0)).size(), 1u);
  qmx_storage_v2_frame f;
  std::memset(&f, 0, sizeof f);
  EXPECT_EQ(qmx_storage_v2_playbackFrame(handle, &f), 0);
  EXPECT_EQ(f.time, kT0 * 1000);
  qmx_storage_v2_freeFrame(handle, &f);
  qmx_storage_v2_playbackStop(handle);
}

// ---------------------------------------------------------------------------
// Damaged volumes. Each case runs every kind of call; results must be the
// documented failure values or plausible data, nothing may crash or hang,
// and the volume must be byte-for-byte unchanged.

namespace {

void onAlarm(int) {
  static const char msg[] = "storage_file_sim_test: a call on a damaged volume did not return\n";
  (void)!write(2, msg, sizeof msg - 1);
  _exit(3);
}

struct Damage {
  Card card;
  size_t maxFrames = 0, cases = 0, opened = 0;  // damaged volumes tried, and those that loaded
  std::map<std::string, std::vector<uint8_t>> original;  // relative path -> bytes
  std::vector<std::string> files;
};

void everyCall(Damage &d) {
  alarm(20);  // each case re-arms it
  qmx_storage_v2_close();
  const int rc = qmx_storage_v2_open(static_cast<uint8_t>(d.card.drive));
  ASSERT_TRUE(rc == 0 || rc == -1) << rc;
  ++d.cases;
  if (rc == 0) {
    ++d.opened;
    const uint8_t channels = qmx_storage_v2_getChannelNum();
    qmx_storage_v2_getVideoType();
    int64_t start = 0, end = 0;
    EXPECT_EQ(qmx_storage_v2_getValidTime(&start, &end), 0);
    qmx_storage_v2_queryByMonth(filevol::localTime(2026, 3, 1, 0, 0, 0),
                                filevol::localTime(2026, 4, 1, 0, 0, 0));
    for (int k = 0; k < 3; ++k) {
      qmx_storage_v2_dayFragment *list =
          qmx_storage_v2_queryByDay(filevol::localTime(2026, 3, 9 + k, 0, 0, 0),
                                    filevol::localTime(2026, 3, 10 + k, 0, 0, 0));
      if (list) {
        EXPECT_LE(list->count, 100000u);
        free(list);
      }
    }
    for (int ch = 0; ch < std::min<int>(channels, 8); ++ch) {
      for (uint64_t t : {static_cast<uint64_t>(kT0), static_cast<uint64_t>(start)}) {
        std::vector<Got> got;
        uint32_t codec;
        const int r = play(static_cast<uint8_t>(ch), t, &got, &codec, d.maxFrames);
        EXPECT_TRUE(r == 1 || r == -1 || r == -2) << r;
        EXPECT_LT(got.size(), d.maxFrames) << "playback did not end";
      }
    }
  }
  qmx_storage_v2_close();
  alarm(0);
}

// Runs every call on the volume as it is now and checks it is unchanged.
void runCase(Damage &d, const std::string &what) {
  SCOPED_TRACE(what);
  const auto before = filevol::fingerprint(d.card.dir);
  everyCall(d);
  EXPECT_EQ(filevol::fingerprint(d.card.dir), before);
}

void overwrite(const Damage &d, const std::string &rel, const std::vector<uint8_t> &bytes) {
  FILE *f = std::fopen((d.card.dir + "/" + rel).c_str(), "wb");
  ASSERT_NE(f, nullptr);
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

void restore(const Damage &d, const std::string &rel) { overwrite(d, rel, d.original.at(rel)); }

// A small volume with everything in it: two channels, rotation, wrapped
// rings, a deleted list and an open fragment.
void build(Damage *d) {
  Scenario sc = filevol::scenario(1, 2,
                                  "{\"recordFileSize\": 20000, \"recordFiles\": 6,"
                                  " \"firstRecordFile\": 4, \"fragRingRecords\": 6,"
                                  " \"fragRingStart\": 4, \"iframeRingRecords\": 12,"
                                  " \"iframeRingStart\": 9, \"deleted\": [2, 9]}",
                                  true);
  sc.fps = 5;
  sc.gop = 5;
  add(&sc, 0, kT0, kT0 + 2, 1);
  add(&sc, 1, kT0 + 1, kT0 + 3, 2);
  add(&sc, 0, kT0 + 86400, kT0 + 86402, 3);
  add(&sc, 1, kT0 + 86401, kT0 + 86404, 4, true);
  ASSERT_TRUE(make(sc, "damage", &d->card)) << d->card.error;
  ASSERT_GE(d->card.report.rotations, 2u) << fileLayoutSummary(d->card.report);
  ASSERT_LT(d->card.report.rotations, 6u) << fileLayoutSummary(d->card.report);
  d->maxFrames = d->card.report.frameCount + 50;
  for (const auto &e : fs::recursive_directory_iterator(d->card.dir)) {
    if (!e.is_regular_file()) continue;
    const std::string rel = fs::relative(e.path(), d->card.dir).string();
    filevol::readFile(e.path().string(), &d->original[rel]);
    if (!d->original[rel].empty()) d->files.push_back(rel);
  }
  signal(SIGALRM, onAlarm);
  // The intact volume loads.
  ASSERT_EQ(openCard(d->card), 0);
  qmx_storage_v2_close();
}

}  // namespace

// Every file cut at points near its records and frames, and bytes flipped
// in the small records, the rings (records the reader checks and those it
// takes on trust) and a few bytes of each third frame header.
TEST(StorageFileSim, DamagedVolumesFailCleanly) {
  Damage d;
  ASSERT_NO_FATAL_FAILURE(build(&d));
  for (const std::string &rel : d.files) {
    const size_t n = d.original.at(rel).size();
    std::set<size_t> cuts = {0, 1, 2, 5, 6, 11, 12, 13, n / 3, n / 2, n - 1, n - 2};
    for (size_t k = 15; k < n; k += n <= 64 ? 1 : std::max<size_t>(n / 24, 15)) cuts.insert(k);
    for (const FileLayoutFrame &f : d.card.report.frames)
      if (rel.find(std::to_string(f.file) + ".dt") != std::string::npos && f.offset % 3 == 0)
        cuts.insert({f.offset + 6, f.offset + 12 + f.length / 2});
    for (size_t cut : cuts) {
      if (cut >= n) continue;
      ASSERT_EQ(truncate((d.card.dir + "/" + rel).c_str(), static_cast<off_t>(cut)), 0);
      runCase(d, rel + " cut at " + std::to_string(cut));
      restore(d, rel);
      if (HasFatalFailure()) return;
    }
  }
  auto flip = [&](const std::string &rel, size_t at, uint8_t mask) {
    std::vector<uint8_t> b = d.original.at(rel);
    if (at >= b.size()) return;
    b[at] ^= mask;
    overwrite(d, rel, b);
    runCase(d, rel + " byte " + std::to_string(at) + " ^ " + std::to_string(mask));
    restore(d, rel);
  };
  for (const char *rel : {"storage/base.dt", "storage/index/meta_00.dt", "storage/index/meta_01.dt",
                          "storage/index/del_frag.dt"})
    for (size_t at = 0; at < d.original.at(rel).size(); ++at) {
      flip(rel, at, 0xFF);
      flip(rel, at, 0x80);
    }
  for (const char *rel : {"storage/index/frag.dt", "storage/index/iframe.dt"})
    for (size_t at = 0; at < d.original.at(rel).size(); at += 3) flip(rel, at, 0xA5);
  size_t k = 0;
  for (const FileLayoutFrame &f : d.card.report.frames) {
    if (!f.live || k++ % 3) continue;
    char rel[64];
    std::snprintf(rel, sizeof rel, "storage/record/rec_%04d.dt", f.file);
    for (size_t at : {0, 2, 3, 5, 10}) flip(rel, f.offset + at, 0x5A);
  }
  EXPECT_GT(d.cases, 600u);
  // Most damaged cards still load: the later calls were really exercised.
  EXPECT_GT(d.opened, d.cases / 3) << d.opened << " of " << d.cases;

  // Damage under correct check words: the reader has to check the values
  // themselves, not only the check word. Sets a field of the record files
  // and reseals them, runs every call, restores.
  auto field = [&](std::vector<const char *> rels, size_t recordSize, size_t at, uint64_t v, int n) {
    for (const char *rel : rels) {
      std::vector<uint8_t> b = d.original.at(rel);
      for (int i = 0; i < n; ++i) b[at + size_t(i)] = static_cast<uint8_t>(v >> (8 * i));
      const uint16_t crc = filevol::crc16(b.data(), recordSize - 2);
      b[recordSize - 2] = static_cast<uint8_t>(crc);
      b[recordSize - 1] = static_cast<uint8_t>(crc >> 8);
      overwrite(d, rel, b);
    }
    runCase(d, std::string(rels[0]) + " at " + std::to_string(at) + " = " + std::to_string(v));
    for (const char *rel : rels) restore(d, rel);
  };
  const std::vector<const char *> meta = {"storage/index/meta_00.dt", "storage/index/meta_01.dt"};
  for (uint64_t v : {1ull, 31ull, 33ull, 6ull * 32, 7ull * 32, 0xFFFFFFE0ull, 0xFFFFFFFFull}) {
    field(meta, 57, 12, v, 4);  // fragment head
    field(meta, 57, 16, v, 4);  // fragment tail
  }
  for (uint64_t v : {1ull, 14ull, 16ull, 12ull * 15, 13ull * 15, 0xFFFFFFF0ull}) {
    field(meta, 57, 4, v, 4);  // I-frame head
    field(meta, 57, 8, v, 4);  // I-frame tail
  }
  for (uint64_t v : {6ull, 7ull, 0xFFFFull}) field(meta, 57, 26, v, 2);                   // write file
  for (uint64_t v : {1ull, 19999ull, 20000ull, 0xFFFFFFFFull}) field(meta, 57, 28, v, 4);  // write offset
  for (uint64_t v : {0ull, 1ull, 0x7FFFFFFFFFFFFFFFull, 0x8000000000000000ull}) field(meta, 57, 32, v, 8);
  for (uint64_t v : {0ull, 1ull, 5ull, 0xFFFFull}) field(meta, 57, 41, v, 2);  // record file count
  const std::vector<const char *> base = {"storage/base.dt"};
  for (uint64_t v : {0ull, 8ull, 255ull}) field(base, 39, 12, v, 1);  // channels
  for (uint64_t v : {0ull, 14ull, 15ull, 0x7FFFFFFFull, 0x80000000ull}) field(base, 39, 21, v, 4);
  for (uint64_t v : {0ull, 31ull, 32ull, 0xFFFFFFFFull}) field(base, 39, 25, v, 4);
  for (uint64_t v : {0ull, 11ull, 12ull, 13ull, 4096ull, 0x80000000ull}) field(base, 39, 33, v, 4);
  // A deleted list that claims far more ids than the file holds.
  for (uint64_t v : {1ull, 1000ull, 0x3FFFFFFFull, 0xFFFFFFFFull})
    field({"storage/index/del_frag.dt"}, 6, 0, v, 4);
}
