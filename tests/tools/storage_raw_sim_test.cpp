// The raw-disk library on cards written by the simulator: month and day
// queries over several lists, an open newest fragment and midnight, playback
// and the handle rules over a wrapped frame ring, cards with bad counts, and
// truncated or corrupted cards that must fail cleanly and stay unchanged.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "raw_card_parse.h"
#include "raw_manifest.h"
#include "raw_writer.h"
#include "scenario.h"
#include "test_support.h"

using namespace rawimg;
using cardtest::attachImage;
using cardtest::logLines;
using testio::captureStdout;
using testio::localTime;

namespace {

struct Card {
  std::string image, manifest;
  std::vector<ManifestChannel> channels;
  ~Card() {
    unlink(image.c_str());
    unlink(manifest.c_str());
  }
};

// Writes the card of a scenario (JSON text) with its frame manifest.
void makeCard(const std::string &json, const std::string &name, Card *c) {
  static int serial = 0;
  const char *tmp = getenv("TMPDIR");
  std::string base = std::string(tmp && *tmp ? tmp : "/tmp") + "/rawsim_" + std::to_string(getpid()) +
                     "_" + std::to_string(++serial) + "_" + name;
  c->image = base + ".img";
  c->manifest = base + ".json";
  Scenario s;
  std::string err;
  ASSERT_TRUE(parseScenario(QByteArray::fromStdString(json), &s, &err)) << err;
  ASSERT_TRUE(writeRawCard(s, c->image, c->manifest, nullptr, &err)) << err;
  c->channels = readManifest(c->manifest);
}

// Attaches the card as the only disk and loads it; *out gets what it printed.
int load(const Card &c, std::string *out = nullptr) {
  qmx_storage_close();
  int disk = attachImage(c.image), rc = -2;
  EXPECT_GE(disk, 0);
  std::string text = captureStdout([&] { rc = qmx_storage_load(static_cast<uint32_t>(disk)); });
  if (out) *out = text;
  return rc;
}

struct PlayedFrame {
  int64_t time;
  uint8_t flags;
  uint32_t size, crc;
};

// Plays from `start` (seconds) until the handle's end or `limit` frames and
// stops the handle. Returns the last frame information result (-5 at the
// end of the data), or -1 when the start fails; *ending gets why the handle
// ended and *endMs the time it gave for it.
int play(uint32_t channel, int64_t start, size_t limit, std::vector<PlayedFrame> *out,
         int *ending = nullptr, int64_t *endMs = nullptr) {
  uint32_t h = 99;
  if (qmx_storage_playbackStart(channel, static_cast<uint64_t>(start), &h) != 0) return -1;
  int ir = 0;
  for (size_t i = 0; i < limit; ++i) {
    qmx_storage_frameInfo info{};
    if ((ir = qmx_storage_playbackFrameInfo(h, &info)) != 0) break;
    qmx_storage_frame f{nullptr, 0};
    if (qmx_storage_playbackFrame(h, &f) != 0) {
      EXPECT_EQ(f.data, nullptr);
      break;
    }
    out->push_back({info.time, info.flags, f.size, static_cast<uint32_t>(crc32(0, f.data, f.size))});
    qmx_storage_freeFrame(&f);
  }
  qmx_storage_playbackStop(h);
  int64_t at = 0;
  int why = qmx_storage_playbackEnd(h, &at);
  if (ending) *ending = why;
  if (endMs) *endMs = at;
  return ir;
}

// Two channels, H.264, key frames every 1.5 s. Channel 0: Dec 3; a
// recording ending exactly at the midnight of the 4th; one across the
// midnight of the 5th; the morning of the 6th; an open one. Two fragments
// and two I-frames per list, so there are several of each, and the frames
// wrap in the ring. Channel 1: Nov 3 and Dec 6.
const char *kCard = R"({"layout":"raw","codec":"h264","channels":2,
  "width":96,"height":64,"fps":10,"gop":15,
  "recordings":[
    {"channel":1,"start":"2026-11-03 10:00:00","end":"2026-11-03 10:00:02","type":1},
    {"channel":0,"start":"2026-12-03 10:00:00","end":"2026-12-03 10:00:04","type":1},
    {"channel":0,"start":"2026-12-04 23:59:58","end":"2026-12-05 00:00:00","type":5},
    {"channel":0,"start":"2026-12-05 23:59:57","end":"2026-12-06 00:00:03","type":2},
    {"channel":0,"start":"2026-12-06 08:00:00","end":"2026-12-06 08:00:03","type":3},
    {"channel":1,"start":"2026-12-06 08:00:00","end":"2026-12-06 08:00:02","type":1},
    {"channel":0,"start":"2026-12-06 09:00:00","end":"2026-12-06 09:00:05","type":4,"open":true}],
  "raw":{"frameAreaSize":1048576,"ringStartBeforeEnd":60000,"fragmentsPerList":2,"iframesPerList":2}})";

class StorageRawSim : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("TZ", "CST-8", 0);
    captureStdout([] { qmx_storage_init(); });
    plat_setRoots("/nonexistent", "/nonexistent", "/nonexistent");
    card_ = new Card;
    makeCard(kCard, "main", card_);
  }
  static void TearDownTestSuite() {
    qmx_storage_close();
    plat_detachAll();
    delete card_;
  }
  void SetUp() override { ASSERT_EQ(load(*card_), 0); }
  // Times of channel 0's key frames, in ms.
  static std::vector<int64_t> keyTimes() {
    std::vector<int64_t> keys;
    for (const ManifestFrame &f : card_->channels[0].frames)
      if (f.key) keys.push_back(f.time);
    return keys;
  }
  static Card *card_;
};
Card *StorageRawSim::card_ = nullptr;

struct Entry {
  int type;
  int64_t start, end;
  bool operator==(const Entry &o) const { return type == o.type && start == o.start && end == o.end; }
};
std::ostream &operator<<(std::ostream &os, const Entry &e) {
  return os << "{" << e.type << ", " << e.start << ", " << e.end << "}";
}

std::vector<Entry> day(uint32_t ch, int64_t t) {
  std::vector<Entry> out;
  qmx_storage_dayFragment *list = qmx_storage_queryByDay(ch, t, t + 86400);
  EXPECT_NE(list, nullptr);
  for (uint32_t i = 0; list && i < list->count; ++i)
    out.push_back({list->fragment[i].type, list->fragment[i].startTime, list->fragment[i].endTime});
  free(list);
  return out;
}

}  // namespace

TEST_F(StorageRawSim, ValidTimeMonthMaskAndDayLists) {
  EXPECT_EQ(qmx_storage_getChannelNum(), 2);
  EXPECT_EQ(qmx_storage_getVideoType(), 1);
  // The open fragment ends with its last I-frame (09:00:04.5), not its last frame.
  int64_t start = 0, end = 0;
  ASSERT_EQ(qmx_storage_getValidTime(0, &start, &end), 0);
  EXPECT_EQ(start, localTime(2026, 12, 3, 10));
  EXPECT_EQ(end, localTime(2026, 12, 6, 9, 0, 4));
  start = end = 7;
  EXPECT_EQ(qmx_storage_getValidTime(2, &start, &end), -1);  // no such channel on the card
  EXPECT_EQ(start, 7);
  EXPECT_EQ(end, 7);

  const int64_t nov = localTime(2026, 11, 1), dec = localTime(2026, 12, 1), jan = localTime(2027, 1, 1);
  EXPECT_EQ(qmx_storage_queryByMonth(1, nov, dec), 0x4u);
  // Days 3, 4, 5 and 6: the fragment across midnight marks both of its days.
  EXPECT_EQ(qmx_storage_queryByMonth(0, dec, jan), 0x3Cu);
  EXPECT_EQ(qmx_storage_queryByMonth(1, dec, jan), 1u << 5);
  EXPECT_EQ(qmx_storage_queryByMonth(0, nov, dec), 0u);
  EXPECT_EQ(qmx_storage_queryByMonth(3, dec, jan), 0u);

  const Entry r1{1, localTime(2026, 12, 3, 10), localTime(2026, 12, 3, 10, 0, 4)};
  const Entry r5{5, localTime(2026, 12, 4, 23, 59, 58), localTime(2026, 12, 5)};
  const Entry r2{2, localTime(2026, 12, 5, 23, 59, 57), localTime(2026, 12, 6, 0, 0, 3)};
  const Entry r3{3, localTime(2026, 12, 6, 8), localTime(2026, 12, 6, 8, 0, 3)};
  const Entry r4{4, localTime(2026, 12, 6, 9), localTime(2026, 12, 6, 9, 0, 4)};
  // A day's list runs up to the first fragment ending at or after its end,
  // so it carries the next day's first fragment last.
  EXPECT_EQ(day(0, localTime(2026, 12, 2)), std::vector<Entry>{});
  EXPECT_EQ(day(0, localTime(2026, 12, 3)), (std::vector<Entry>{r1, r5}));
  EXPECT_EQ(day(0, localTime(2026, 12, 4)), std::vector<Entry>{r5});
  // Ending exactly at midnight keeps a fragment out of the next day.
  EXPECT_EQ(day(0, localTime(2026, 12, 5)), std::vector<Entry>{r2});
  EXPECT_EQ(day(0, localTime(2026, 12, 6)), (std::vector<Entry>{r2, r3, r4}));
  EXPECT_EQ(day(0, localTime(2026, 12, 7)), std::vector<Entry>{});
  EXPECT_EQ(qmx_storage_queryByDay(2, localTime(2026, 12, 6), localTime(2026, 12, 7)), nullptr);
}

TEST_F(StorageRawSim, PlaybackThroughTheWrappedRingReturnsTheFramesWritten) {
  for (uint32_t ch : {0u, 1u}) {
    SCOPED_TRACE("channel " + std::to_string(ch));
    const ManifestChannel &mc = card_->channels[ch];
    int64_t lastKey = 0;
    for (const ManifestFrame &f : mc.frames)
      if (f.key) lastKey = f.time;
    // Frames in card order up to the last I-frame; those after it, stored
    // for the open fragment, are not played.
    std::vector<const ManifestFrame *> want;
    bool wrapped = false;
    for (size_t i = 0; i < mc.frames.size() && mc.frames[i].time <= lastKey; ++i) {
      want.push_back(&mc.frames[i]);
      if (i && mc.frames[i].addr < mc.frames[i - 1].addr) wrapped = true;
    }
    EXPECT_EQ(wrapped, ch == 0) << "the scenario should make channel 0's ring wrap";
    EXPECT_LT(want.size(), mc.frames.size() - (ch == 0 ? 1 : 0));
    std::vector<PlayedFrame> got;
    int ending = -1;
    int64_t endMs = 0;
    ASSERT_EQ(play(ch, mc.fragments[0].start, 100000, &got, &ending, &endMs), -5);
    ASSERT_EQ(got.size(), want.size());
    EXPECT_EQ(ending, QMX_PLAYBACK_END_OF_DATA);
    EXPECT_EQ(endMs, got.back().time);
    // A handle stopped before its end says it never ended.
    got.clear();
    play(ch, mc.fragments[0].start, 3, &got, &ending);
    EXPECT_EQ(ending, QMX_PLAYBACK_RUNNING);
    got.clear();
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].time, want[i]->time) << i;
      EXPECT_EQ(got[i].flags, want[i]->video ? (want[i]->key ? 0x11 : 0x01) : 0x00) << i;
      EXPECT_EQ(got[i].size, want[i]->size) << i;
      EXPECT_EQ(got[i].crc, want[i]->crc) << i;
    }
  }
}

TEST_F(StorageRawSim, StartsAtTheFirstIframeAtOrAfterTheTime) {
  // Every whole second from before the first recording to after the last
  // I-frame: between I-frames of one list and across list boundaries the
  // handle stands on the first I-frame at or after the time.
  const std::vector<int64_t> keys = keyTimes();
  int starts = 0;
  for (const ManifestFragment &frag : card_->channels[0].fragments) {
    for (int64_t s = frag.start - 1; s <= frag.start + 6; ++s) {
      SCOPED_TRACE(s);
      size_t k = 0;
      while (k < keys.size() && keys[k] < s * 1000) ++k;
      std::vector<PlayedFrame> got;
      std::string out = captureStdout([&] { play(0, s, 1, &got); });
      if (k == keys.size()) {
        EXPECT_TRUE(got.empty());
        EXPECT_EQ(logLines(out), (std::vector<std::string>{"playbackSet|I-frame not found",
                                                           "qmx_storage_playbackStart|playbackSet failed"}));
        continue;
      }
      ASSERT_EQ(got.size(), 1u);
      EXPECT_EQ(got[0].time, keys[k]);
      EXPECT_EQ(got[0].flags, 0x11);
      starts += keys[k] != s * 1000;
    }
  }
  EXPECT_GT(starts, 10);
}

TEST_F(StorageRawSim, ProgressSeekAndTheHandleTable) {
  const std::vector<int64_t> keys = keyTimes();
  const int64_t t = localTime(2026, 12, 5, 23, 59, 57);
  uint32_t h = 9;
  ASSERT_EQ(qmx_storage_playbackStart(0, static_cast<uint64_t>(t), &h), 0);
  EXPECT_EQ(h, 0u);
  EXPECT_EQ(qmx_storage_playbackProgress(h), 0);
  // Progress is the last video frame's distance from the start time;
  // audio frames leave it where it was.
  int64_t lastVideo = 0;
  for (int i = 0; i < 12; i++) {
    qmx_storage_frameInfo info;
    ASSERT_EQ(qmx_storage_playbackFrameInfo(h, &info), 0);
    qmx_storage_frame f{nullptr, 0};
    ASSERT_EQ(qmx_storage_playbackFrame(h, &f), 0);
    qmx_storage_freeFrame(&f);
    if (info.flags & 1) lastVideo = info.time;
    EXPECT_EQ(qmx_storage_playbackProgress(h), lastVideo - t * 1000) << i;
  }
  // A seek goes to the first I-frame at or after start + offset; beyond
  // the data, to the last I-frame.
  ASSERT_EQ(qmx_storage_playbackSeek(h, 2500), 0);
  qmx_storage_frameInfo info;
  ASSERT_EQ(qmx_storage_playbackFrameInfo(h, &info), 0);
  EXPECT_EQ(info.time, (t + 3) * 1000);
  for (uint64_t far : {uint64_t(1000000000), UINT64_MAX}) {
    ASSERT_EQ(qmx_storage_playbackSeek(h, far), 0);
    ASSERT_EQ(qmx_storage_playbackFrameInfo(h, &info), 0);
    EXPECT_EQ(info.time, keys.back());
  }

  // Eight handles at most; a stopped one is free again, the lowest first.
  for (uint32_t i = 1; i < 8; i++) {
    ASSERT_EQ(qmx_storage_playbackStart(0, static_cast<uint64_t>(t), &h), 0);
    EXPECT_EQ(h, i);
  }
  std::string out = captureStdout([&] { EXPECT_EQ(qmx_storage_playbackStart(1, 0, &h), -1); });
  EXPECT_EQ(logLines(out), std::vector<std::string>{"qmx_storage_playbackStart|No handle available"});
  qmx_storage_playbackStop(2);
  qmx_storage_playbackStop(1);
  qmx_storage_playbackStop(9);  // ignored
  ASSERT_EQ(qmx_storage_playbackStart(1, 0, &h), 0);
  EXPECT_EQ(h, 1u);
  EXPECT_EQ(qmx_storage_playbackSeek(2, 0), -1);
  EXPECT_EQ(qmx_storage_playbackStart(2, 0, &h), -1);  // not a channel of the card
  qmx_storage_close();
  EXPECT_EQ(qmx_storage_playbackFrameInfo(0, &info), -2);
  EXPECT_EQ(qmx_storage_playbackProgress(0), -1);
}

TEST_F(StorageRawSim, ImageIsUnchangedByLoadQueriesAndPlayback) {
  struct stat before, after;
  ASSERT_EQ(stat(card_->image.c_str(), &before), 0);
  const uint32_t crc = testio::fileCrc32(card_->image);
  int64_t s, e;
  qmx_storage_getValidTime(0, &s, &e);
  qmx_storage_queryByMonth(0, localTime(2026, 12, 1), localTime(2027, 1, 1));
  free(qmx_storage_queryByDay(0, localTime(2026, 12, 6), localTime(2026, 12, 7)));
  std::vector<PlayedFrame> got;
  play(0, s, 100000, &got);
  qmx_storage_close();
  ASSERT_EQ(stat(card_->image.c_str(), &after), 0);
  EXPECT_EQ(testio::fileCrc32(card_->image), crc);
  EXPECT_EQ(after.st_size, before.st_size);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

// A day of 250 fragments in lists of 100: the day list grows past its
// first 100 and 200 entries.
TEST_F(StorageRawSim, BusyDayListGrowsByHundreds) {
  std::string json = R"({"layout":"raw","codec":"h265","channels":1,"media":"synthetic",
    "width":64,"height":48,"fps":1,"gop":1,"audio":false,"raw":{"fragmentsPerList":100},"recordings":[)";
  const int64_t t = localTime(2026, 3, 20, 1);
  for (int i = 0; i < 250; i++)
    json += std::string(i ? "," : "") + "{\"channel\":0,\"start\":" + std::to_string(t + 120 * i) +
            ",\"end\":" + std::to_string(t + 120 * i + 2) + ",\"type\":" + std::to_string(i) + "}";
  Card busy;
  ASSERT_NO_FATAL_FAILURE(makeCard(json + "]}", "busy", &busy));
  ASSERT_EQ(load(busy), 0);
  std::vector<Entry> want;
  for (int i = 0; i < 250; i++) want.push_back({i, t + 120 * i, t + 120 * i + 2});
  EXPECT_EQ(day(0, localTime(2026, 3, 20)), want);
}

// Counts no recorder writes fail the load with their message, and nothing
// can be queried or played afterwards.
TEST(StorageRawSimFaults, BadCountsFailTheLoad) {
  struct Case {
    const char *fault;
    std::vector<std::string> log;
  } cases[] = {
      {"\"fragmentIndexCount\":65536",
       {"loadFragmentIndex|Invalid fragment_index count: 65536", "loadChannel|read fragment_index failed channel:0",
        "loadData|Load channel failed"}},
      {"\"fragmentListCount\":257",
       {"readFragmentList|Invalid fragment_list count: 257", "loadChannel|read fragment_list failed channel:0",
        "loadData|Load channel failed"}},
      {"\"badChecksum\":true", {"loadData|not proper card."}},
  };
  captureStdout([] { qmx_storage_init(); });
  for (const Case &k : cases) {
    SCOPED_TRACE(k.fault);
    Card c;
    ASSERT_NO_FATAL_FAILURE(makeCard(std::string(R"({"layout":"raw","channels":1,"media":"synthetic",
      "width":64,"height":48,"fps":2,"gop":2,"recordings":[{"channel":0,"start":"2026-12-06 08:00:00",
      "end":"2026-12-06 08:00:03"}],"raw":{"frameAreaSize":262144,)") + k.fault + "}}",
                                     "fault", &c));
    std::string out;
    EXPECT_EQ(load(c, &out), -1);
    EXPECT_EQ(logLines(out), k.log);
    EXPECT_EQ(out.find("card info:"), std::string::npos);
    EXPECT_EQ(qmx_storage_queryByDay(0, localTime(2026, 12, 6), localTime(2026, 12, 7)), nullptr);
    uint32_t h;
    EXPECT_EQ(qmx_storage_playbackStart(0, static_cast<uint64_t>(localTime(2026, 12, 6, 8)), &h), -1);
  }
  plat_detachAll();
}

// ---------------------------------------------------------------------------
// Damaged cards: every call answers a failure value or plausible data, and
// nothing crashes or hangs.

namespace {

const char *g_case = "";
void onAlarm(int) {
  static const char msg[] = "storage_raw_sim_test: a call on a damaged card did not return: ";
  (void)!write(2, msg, sizeof msg - 1);
  (void)!write(2, g_case, strlen(g_case));
  _exit(3);
}

// Runs everything a viewer would on the damaged card. Played frames are
// compared with what was written, in card order, up to the first frame that
// overlaps the damaged bytes [damageFrom, damageTo). Returns the load's result.
int exercise(const Card &c, const std::string &what, uint64_t damageFrom, uint64_t damageTo) {
  SCOPED_TRACE(what);
  g_case = what.c_str();
  signal(SIGALRM, onAlarm);
  alarm(20);
  int r = 0;
  std::vector<std::vector<PlayedFrame>> played(4);
  std::vector<int> answers;  // valid time results and day list sizes
  captureStdout([&] {
    r = load(c);
    for (uint32_t ch = 0; ch < 4; ++ch) {
      int64_t s = 0, e = 0;
      int vr = qmx_storage_getValidTime(ch, &s, &e);
      answers.push_back(vr);
      qmx_storage_queryByMonth(ch, localTime(2026, 12, 1), localTime(2027, 1, 1));
      qmx_storage_dayFragment *list = qmx_storage_queryByDay(ch, localTime(2026, 12, 6), localTime(2026, 12, 7));
      if (list) answers.push_back(list->count < 100000 ? 0 : -9);
      free(list);
      if (r != 0 || ch >= c.channels.size()) continue;
      if (vr != 0) s = c.channels[ch].fragments.empty() ? 0 : c.channels[ch].fragments[0].start;
      play(ch, s, 3000, &played[ch]);
    }
  });
  alarm(0);
  EXPECT_TRUE(r == 0 || r == -1) << r;
  for (int a : answers) EXPECT_TRUE(a == 0 || a == -1) << a;
  for (size_t ch = 0; ch < c.channels.size(); ++ch) {
    const std::vector<PlayedFrame> &got = played[ch];
    const std::vector<ManifestFrame> &mf = c.channels[ch].frames;
    size_t k = 0;
    while (!got.empty() && k < mf.size() && mf[k].time < got[0].time) ++k;
    for (size_t i = 0; i < got.size() && k + i < mf.size(); ++i) {
      const ManifestFrame &m = mf[k + i];
      if (m.addr < damageTo && m.addr + 13 + m.size > damageFrom) break;
      if (got[i].time != m.time || got[i].size != m.size) break;  // started elsewhere
      EXPECT_EQ(got[i].crc, m.crc) << "channel " << ch << " frame " << k + i;
    }
  }
  return r;
}

const char *kSmallCard = R"({"layout":"raw","codec":"h265","channels":2,"media":"synthetic",
  "width":64,"height":48,"fps":5,"gop":5,
  "recordings":[
    {"channel":0,"start":"2026-12-05 23:59:50","end":"2026-12-06 00:00:04"},
    {"channel":0,"start":"2026-12-06 08:00:00","end":"2026-12-06 08:00:06"},
    {"channel":0,"start":"2026-12-06 09:00:00","end":"2026-12-06 09:00:04","open":true},
    {"channel":1,"start":"2026-12-06 08:00:00","end":"2026-12-06 08:00:03"}],
  "raw":{"frameAreaSize":262144,"ringStartBeforeEnd":8000,"fragmentsPerList":2,"iframesPerList":3)";

// Byte ranges of a card's structures: the card information, and per channel
// the indexes, the first and newest lists, some frames and the newest key
// frame's header.
std::vector<std::pair<uint64_t, uint64_t>> structures(const Card &c) {
  std::vector<std::pair<uint64_t, uint64_t>> ranges = {{kCardInfo, 17 + 64 * 2}};
  Image img(c.image);
  std::vector<uint8_t> info = img.read(kCardInfo, 273);
  EXPECT_EQ(info.size(), 273u);
  for (int ch = 0; ch < 2 && !info.empty(); ++ch) {
    ChannelInfo ci = channelInfo(info, ch);
    std::vector<IndexRecord> fidx = readIndex(img, ci.fragIdx), iidx = readIndex(img, ci.iframeIdx);
    ranges.push_back({ci.fragIdx, 4 + 16 * fidx.size()});
    ranges.push_back({ci.iframeIdx, 4 + 16 * iidx.size()});
    ranges.push_back({fidx.front().listAddr, 4 + 33 * 2});
    ranges.push_back({fidx.back().listAddr, 4 + 33});
    ranges.push_back({iidx.front().listAddr, 4 + 16 * 3});
    ranges.push_back({iidx.back().listAddr, 4 + 16 * 3});
    const std::vector<ManifestFrame> &mf = c.channels[ch].frames;
    for (size_t i = 0; i < mf.size(); i += std::max<size_t>(1, mf.size() / 6)) ranges.push_back({mf[i].addr, 13});
    for (const ManifestFrame &f : mf)
      if (f.key) ranges.back() = {f.addr, 13};
  }
  return ranges;
}

}  // namespace

TEST(StorageRawSimDamage, TruncationSweepFailsCleanly) {
  captureStdout([] { qmx_storage_init(); });
  Card whole;
  ASSERT_NO_FATAL_FAILURE(makeCard(std::string(kSmallCard) + "}}", "whole", &whole));
  // Cuts inside and just after each structure, inside frames, and at the
  // wrap point of the ring.
  std::vector<uint64_t> cuts = {0, kCardInfo + 16, kCardInfo + 272};
  for (const auto &r : structures(whole))
    for (uint64_t d : {0, 2, 4, 11, 20, 36})
      if (d <= r.second) cuts.push_back(r.first + d);
  for (int ch = 0; ch < 2; ++ch) {
    const std::vector<ManifestFrame> &mf = whole.channels[ch].frames;
    for (size_t i = 0; i < mf.size(); i += std::max<size_t>(1, mf.size() / 12))
      cuts.push_back(mf[i].addr + 13 + mf[i].size / 2);
    cuts.push_back(mf.back().addr + 13);  // the open fragment's last frame
    cuts.push_back(whole.channels[ch].frameRetrace);
  }
  for (uint64_t cut : cuts) {
    Card c;
    ASSERT_NO_FATAL_FAILURE(
        makeCard(std::string(kSmallCard) + ",\"truncateAt\":" + std::to_string(cut) + "}}", "cut", &c));
    exercise(c, "cut at " + std::to_string(cut), cut, UINT64_MAX);
  }
  qmx_storage_close();
  plat_detachAll();
}

TEST(StorageRawSimDamage, CorruptionRunFailsCleanly) {
  captureStdout([] { qmx_storage_init(); });
  Card c;
  ASSERT_NO_FATAL_FAILURE(makeCard(std::string(kSmallCard) + "}}", "corrupt", &c));
  const uint32_t crc = testio::fileCrc32(c.image);
  int fd = open(c.image.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  int cases = 0;
  for (const auto &range : structures(c)) {
    for (uint64_t at = range.first; at < range.first + range.second; ++at) {
      uint8_t orig;
      ASSERT_EQ(pread(fd, &orig, 1, static_cast<off_t>(at)), 1);
      // All bits flipped everywhere; a lowest-bit flip in the checksummed
      // card information (which the sum must catch) and in counts and sizes.
      const bool small = at < kCardInfo + 273 || (at - range.first) % 4 == 0;
      for (uint8_t v : {static_cast<uint8_t>(orig ^ 0xFF), static_cast<uint8_t>(orig ^ 0x01)}) {
        if (v == (orig ^ 0x01) && !small) continue;
        ASSERT_EQ(pwrite(fd, &v, 1, static_cast<off_t>(at)), 1);
        const std::string what = "byte " + std::to_string(at) + " = " + std::to_string(v);
        const int loaded = exercise(c, what, at, at + 1);
        // The checksum covers the whole card information of two channels.
        if (at < kCardInfo + 17 + 64 * 2) {
          EXPECT_EQ(loaded, -1) << what;
        }
        ++cases;
      }
      ASSERT_EQ(pwrite(fd, &orig, 1, static_cast<off_t>(at)), 1);
    }
  }
  close(fd);
  EXPECT_GT(cases, 1000);
  EXPECT_EQ(testio::fileCrc32(c.image), crc);  // every byte put back
  qmx_storage_close();
  plat_detachAll();
}
