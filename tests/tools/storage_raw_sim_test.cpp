// The raw-disk library on cards written by the simulator: load and report,
// valid time, month and day queries, playback through a wrapped frame ring,
// and truncated or corrupted cards that must fail cleanly.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device.h"
#include "qmx_storage.h"
#include "raw_card_parse.h"
#include "test_io.h"
#include "raw_manifest.h"
#include "raw_writer.h"
#include "scenario.h"

using namespace rawimg;

namespace {

int g_serial = 0;

std::string tempPath(const std::string &name) {
  const char *dir = getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/rawsim_" + std::to_string(getpid()) + "_" +
         std::to_string(++g_serial) + "_" + name;
}

using testio::captureStdout;

// Runs fn with standard output thrown away (the library's error lines).
template <typename Fn>
void quietly(Fn fn) {
  fflush(stdout);
  int null = open("/dev/null", O_WRONLY);
  int saved = dup(1);
  dup2(null, 1);
  close(null);
  fn();
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
}

// Aborts the whole test program when one case runs longer than allowed, so a
// hang shows up as a named failure instead of a stuck test.
class Watchdog {
 public:
  Watchdog(std::string what, int seconds) : what_(std::move(what)) {
    thread_ = std::thread([this, seconds] {
      std::unique_lock<std::mutex> lock(m_);
      if (!cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) {
        fprintf(stderr, "hang: %s took more than %d s\n", what_.c_str(), seconds);
        std::abort();
      }
    });
  }
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(m_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::string what_;
  std::mutex m_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

Scenario parseOrDie(const std::string &json) {
  Scenario s;
  std::string err;
  EXPECT_TRUE(parseScenario(QByteArray::fromStdString(json), &s, &err)) << err;
  return s;
}

struct Card {
  std::string image, manifest;
  uint32_t disk = UINT32_MAX;
  std::vector<ManifestChannel> channels;
};

// Attaches an image and finds the disk number it got.
uint32_t attach(const std::string &path) {
  if (plat_attachPath(path.c_str()) != 0) return UINT32_MAX;
  plat_volume *list = nullptr;
  int n = plat_listVolumes(&list);
  uint32_t disk = UINT32_MAX;
  const std::string tail = path.size() > 40 ? path.substr(path.size() - 40) : path;
  for (int i = 0; i < n; ++i) {
    std::string name = list[i].name;
    if (name.size() >= tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0)
      disk = list[i].diskNumber;
  }
  plat_freeVolumes(list);
  return disk;
}

Card makeCard(const Scenario &s, const std::string &name, bool withManifest = true) {
  Card c;
  c.image = tempPath(name + ".img");
  c.manifest = withManifest ? tempPath(name + ".json") : "";
  std::string err;
  EXPECT_TRUE(writeRawCard(s, c.image, c.manifest, nullptr, &err)) << err;
  if (withManifest) c.channels = readManifest(c.manifest);
  c.disk = attach(c.image);
  EXPECT_NE(c.disk, UINT32_MAX) << "image not found among the volumes";
  return c;
}

void removeCard(const Card &c) {
  unlink(c.image.c_str());
  if (!c.manifest.empty()) unlink(c.manifest.c_str());
}

int load(const Card &c, std::string *report = nullptr) {
  qmx_storage_close();
  int r = -2;
  std::string out = captureStdout([&] { r = qmx_storage_load(c.disk); });
  if (report) *report = out;
  return r;
}

int64_t localTime(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  struct tm tm = {};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

struct PlayedFrame {
  int64_t time;
  uint8_t flags;
  uint32_t size, crc;
};

// Plays a channel from `start` until the handle ends or `limit` frames.
// Returns -1 when the start fails.
int play(uint32_t channel, int64_t start, size_t limit, std::vector<PlayedFrame> *out) {
  uint32_t h = 99;
  if (qmx_storage_playbackStart(channel, static_cast<uint64_t>(start), &h) != 0) return -1;
  EXPECT_LE(h, 3u);
  for (size_t i = 0; i < limit; ++i) {
    qmx_storage_frameInfo info{};
    int ir = qmx_storage_playbackFrameInfo(h, &info);
    if (ir == -5) break;
    EXPECT_EQ(ir, 0);
    if (ir != 0) break;
    qmx_storage_frame f{nullptr, 0};
    int fr = qmx_storage_playbackFrame(h, &f);
    if (fr != 0) {
      EXPECT_EQ(f.data, nullptr);
      break;
    }
    out->push_back({info.time, info.flags, f.size,
                    static_cast<uint32_t>(crc32(0, f.data, f.size))});
    qmx_storage_freeFrame(&f);
    EXPECT_EQ(f.data, nullptr);
  }
  qmx_storage_playbackStop(h);
  return 0;
}

uint32_t fileCrc(const std::string &path) {
  uLong crc = crc32(0, nullptr, 0);
  int fd = open(path.c_str(), O_RDONLY);
  std::vector<uint8_t> buf(1 << 20);
  ssize_t n;
  while ((n = read(fd, buf.data(), buf.size())) > 0) crc = crc32(crc, buf.data(), static_cast<uInt>(n));
  close(fd);
  return static_cast<uint32_t>(crc);
}

// Two channels, H.264. Channel 0: a recording on the 3rd, one across the
// midnight of the 5th, one on the morning of the 6th, and an open one; the
// frames wrap in the ring and the lists are small so there are several.
// Channel 1: one short recording.
const char *kCard = R"({"layout":"raw","codec":"h264","channels":2,
  "width":96,"height":64,"fps":10,"gop":5,
  "recordings":[
    {"channel":0,"start":"2026-12-03 10:00:00","end":"2026-12-03 10:00:04","type":1},
    {"channel":0,"start":"2026-12-05 23:59:57","end":"2026-12-06 00:00:03","type":2},
    {"channel":0,"start":"2026-12-06 08:00:00","end":"2026-12-06 08:00:03","type":3},
    {"channel":0,"start":"2026-12-06 09:00:00","end":"2026-12-06 09:00:05","type":4,"open":true},
    {"channel":1,"start":"2026-12-06 08:00:00","end":"2026-12-06 08:00:02","type":1}],
  "raw":{"frameAreaSize":1048576,"ringStartBeforeEnd":60000,"fragmentsPerList":2,"iframesPerList":4}})";

class StorageRawSim : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    captureStdout([] { qmx_storage_init(); });
    card_ = new Card(makeCard(parseOrDie(kCard), "main"));
  }
  static void TearDownTestSuite() {
    qmx_storage_close();
    removeCard(*card_);
    delete card_;
  }
  static Card *card_;
};
Card *StorageRawSim::card_ = nullptr;

}  // namespace

TEST_F(StorageRawSim, LoadsAndReports) {
  const Card &c = *card_;
  std::string report;
  ASSERT_EQ(load(c, &report), 0) << report;
  EXPECT_EQ(qmx_storage_getChannelNum(), 2);
  EXPECT_EQ(qmx_storage_getVideoType(), 1);
  struct stat st;
  ASSERT_EQ(stat(c.image.c_str(), &st), 0);
  EXPECT_NE(report.find("card info:\ntotal: " + std::to_string(st.st_size) + " channelNum: 2\n"),
            std::string::npos)
      << report;
  char line[128];
  snprintf(line, sizeof line, " framePartAddr:     %#llx\n",
           static_cast<unsigned long long>(c.channels[0].framePart));
  EXPECT_NE(report.find(std::string("channel: 0 info:\n")), std::string::npos) << report;
  EXPECT_NE(report.find(line), std::string::npos) << report;
  EXPECT_NE(report.find(" fragIndex count:   2\n"), std::string::npos) << report;  // 4 fragments, 2 per list
  EXPECT_NE(report.find("channel: 1 info:\n"), std::string::npos) << report;
}

TEST_F(StorageRawSim, ValidTimeEndsAtTheLastKeyFrameOfTheOpenFragment) {
  ASSERT_EQ(load(*card_), 0);
  int64_t start = 0, end = 0;
  ASSERT_EQ(qmx_storage_getValidTime(0, &start, &end), 0);
  EXPECT_EQ(start, localTime(2026, 12, 3, 10));
  // Key frames every half second: the open recording's last is at 09:00:04.5.
  EXPECT_EQ(end, localTime(2026, 12, 6, 9, 0, 4));
  ASSERT_EQ(qmx_storage_getValidTime(1, &start, &end), 0);
  EXPECT_EQ(start, localTime(2026, 12, 6, 8));
  EXPECT_EQ(end, localTime(2026, 12, 6, 8, 0, 1));
  start = end = 7;
  EXPECT_EQ(qmx_storage_getValidTime(2, &start, &end), -1);  // no such channel on the card
  EXPECT_EQ(start, 7);
  EXPECT_EQ(end, 7);
}

TEST_F(StorageRawSim, MonthMaskAndDayListsIncludingMidnightAndOpenFragment) {
  ASSERT_EQ(load(*card_), 0);
  const int64_t dec = localTime(2026, 12, 1), jan = localTime(2027, 1, 1);
  EXPECT_EQ(qmx_storage_queryByMonth(0, dec, jan), (1u << 2) | (1u << 4) | (1u << 5));
  EXPECT_EQ(qmx_storage_queryByMonth(1, dec, jan), 1u << 5);
  EXPECT_EQ(qmx_storage_queryByMonth(0, localTime(2026, 11, 1), dec), 0u);
  EXPECT_EQ(qmx_storage_queryByMonth(3, dec, jan), 0u);

  struct Entry {
    int type;
    int64_t start, end;
  };
  auto day = [](uint32_t ch, int d) {
    std::vector<Entry> out;
    const int64_t t = localTime(2026, 12, d);
    qmx_storage_dayFragment *list = qmx_storage_queryByDay(ch, t, t + 86400);
    if (!list) return out;
    for (uint32_t i = 0; i < list->count; ++i)
      out.push_back({list->fragment[i].type, list->fragment[i].startTime, list->fragment[i].endTime});
    free(list);
    return out;
  };
  const Entry r1{1, localTime(2026, 12, 3, 10), localTime(2026, 12, 3, 10, 0, 4)};
  const Entry r2{2, localTime(2026, 12, 5, 23, 59, 57), localTime(2026, 12, 6, 0, 0, 3)};
  const Entry r3{3, localTime(2026, 12, 6, 8), localTime(2026, 12, 6, 8, 0, 3)};
  const Entry r4{4, localTime(2026, 12, 6, 9), localTime(2026, 12, 6, 9, 0, 4)};  // open
  auto same = [](const std::vector<Entry> &got, const std::vector<Entry> &want) {
    if (got.size() != want.size()) return ::testing::AssertionFailure() << "count " << got.size();
    for (size_t i = 0; i < got.size(); ++i)
      if (got[i].type != want[i].type || got[i].start != want[i].start || got[i].end != want[i].end)
        return ::testing::AssertionFailure()
               << "entry " << i << ": " << int(got[i].type) << " " << got[i].start << ".." << got[i].end;
    return ::testing::AssertionSuccess();
  };
  // A day's list runs to the first fragment ending at or after its end.
  EXPECT_TRUE(same(day(0, 3), {r1, r2}));
  EXPECT_TRUE(same(day(0, 4), {r2}));
  EXPECT_TRUE(same(day(0, 5), {r2}));
  EXPECT_TRUE(same(day(0, 6), {r2, r3, r4}));
  EXPECT_TRUE(same(day(0, 7), {}));
  EXPECT_EQ(qmx_storage_queryByDay(2, localTime(2026, 12, 6), localTime(2026, 12, 7)), nullptr);
}

TEST_F(StorageRawSim, PlaybackThroughTheWrappedRingReturnsTheFramesWritten) {
  ASSERT_EQ(load(*card_), 0);
  for (uint32_t ch : {0u, 1u}) {
    SCOPED_TRACE("channel " + std::to_string(ch));
    const ManifestChannel &mc = card_->channels[ch];
    ASSERT_FALSE(mc.frames.empty());
    // Frames in card order up to the last key frame known at load.
    int64_t lastKey = 0;
    for (const ManifestFrame &f : mc.frames)
      if (f.key) lastKey = f.time;
    std::vector<const ManifestFrame *> want;
    bool wrapped = false;
    for (size_t i = 0; i < mc.frames.size(); ++i) {
      want.push_back(&mc.frames[i]);
      if (i && mc.frames[i].addr < mc.frames[i - 1].addr) wrapped = true;
      if (mc.frames[i].time >= lastKey) break;
    }
    if (ch == 0) {
      EXPECT_TRUE(wrapped) << "the scenario should make the ring wrap";
    }
    std::vector<PlayedFrame> got;
    ASSERT_EQ(play(ch, mc.fragments[0].start, 100000, &got), 0);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].time, want[i]->time) << i;
      EXPECT_EQ(got[i].flags, want[i]->video ? (want[i]->key ? 0x11 : 0x01) : 0x00) << i;
      EXPECT_EQ(got[i].size, want[i]->size) << i;
      EXPECT_EQ(got[i].crc, want[i]->crc) << i;
    }
  }
  // A start between two key frames begins at the later one.
  std::vector<PlayedFrame> got;
  ASSERT_EQ(play(0, localTime(2026, 12, 5, 23, 59, 59), 3, &got), 0);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got[0].time, localTime(2026, 12, 5, 23, 59, 59) * 1000);
  EXPECT_EQ(got[0].flags, 0x11);
}

TEST_F(StorageRawSim, ImageIsUnchangedByLoadQueriesAndPlayback) {
  struct stat before, after;
  ASSERT_EQ(stat(card_->image.c_str(), &before), 0);
  const uint32_t crc = fileCrc(card_->image);
  ASSERT_EQ(load(*card_), 0);
  int64_t s, e;
  qmx_storage_getValidTime(0, &s, &e);
  qmx_storage_queryByMonth(0, localTime(2026, 12, 1), localTime(2027, 1, 1));
  free(qmx_storage_queryByDay(0, localTime(2026, 12, 6), localTime(2026, 12, 7)));
  std::vector<PlayedFrame> got;
  play(0, s, 100000, &got);
  qmx_storage_close();
  ASSERT_EQ(stat(card_->image.c_str(), &after), 0);
  EXPECT_EQ(fileCrc(card_->image), crc);
  EXPECT_EQ(after.st_size, before.st_size);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

// ---------------------------------------------------------------------------

namespace {

// Runs everything a viewer would on a damaged card and checks that each
// answer is a failure value or plausible data. Played frames are compared
// with what was written, in card order, up to the first frame that overlaps
// the damaged bytes [damageFrom, damageTo).
int exercise(const Card &c, const std::string &what, uint64_t damageFrom, uint64_t damageTo) {
  Watchdog dog(what, 20);
  SCOPED_TRACE(what);
  int r = 0;
  quietly([&] { r = qmx_storage_close(), r = qmx_storage_load(c.disk); });
  EXPECT_TRUE(r == 0 || r == -1) << r;
  const int64_t dec = localTime(2026, 12, 1), jan = localTime(2027, 1, 1);
  for (uint32_t ch = 0; ch < 4; ++ch) {
    int64_t s = 0, e = 0;
    int vr = 0;
    qmx_storage_dayFragment *list = nullptr;
    std::vector<PlayedFrame> got;
    int pr = -1;
    quietly([&] {
      vr = qmx_storage_getValidTime(ch, &s, &e);
      qmx_storage_queryByMonth(ch, dec, jan);
      list = qmx_storage_queryByDay(ch, localTime(2026, 12, 6), localTime(2026, 12, 7));
      if (r != 0 || ch >= c.channels.size()) return;
      if (vr != 0) s = c.channels[ch].fragments.empty() ? 0 : c.channels[ch].fragments[0].start;
      pr = play(ch, s, 3000, &got);
    });
    EXPECT_TRUE(vr == 0 || vr == -1);
    if (list) {
      EXPECT_LT(list->count, 100000u);
      free(list);
    }
    if (pr != 0 || got.empty()) continue;
    const std::vector<ManifestFrame> &mf = c.channels[ch].frames;
    size_t k = 0;
    while (k < mf.size() && mf[k].time < got[0].time) ++k;
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

}  // namespace

TEST(StorageRawSimDamage, TruncationSweepFailsCleanly) {
  captureStdout([] { qmx_storage_init(); });
  // Where the structures lie, from an intact copy.
  Card whole = makeCard(parseOrDie(std::string(kSmallCard) + "}}"), "whole");
  Image img(whole.image);
  std::vector<uint8_t> info = img.read(kCardInfo, 273);
  ASSERT_EQ(info.size(), 273u);
  std::vector<uint64_t> cuts = {0, kCardInfo, kCardInfo + 1, kCardInfo + 16, kCardInfo + 17,
                                kCardInfo + 100, kCardInfo + 272};
  for (int ch = 0; ch < 2; ++ch) {
    ChannelInfo ci = channelInfo(info, ch);
    std::vector<IndexRecord> fidx = readIndex(img, ci.fragIdx), iidx = readIndex(img, ci.iframeIdx);
    for (uint64_t base : {ci.fragIdx, ci.iframeIdx})
      for (uint64_t d : {0, 2, 4, 11, 20, 36}) cuts.push_back(base + d);
    for (const IndexRecord &ir : fidx)
      for (uint64_t d : {0, 3, 4, 30, 40, 8451}) cuts.push_back(ir.listAddr + d);
    for (const IndexRecord &ir : iidx)
      for (uint64_t d : {0, 4, 10, 20, 32771}) cuts.push_back(ir.listAddr + d);
    const std::vector<ManifestFrame> &mf = whole.channels[ch].frames;
    for (size_t i = 0; i < mf.size(); i += std::max<size_t>(1, mf.size() / 12)) {
      cuts.push_back(mf[i].addr + 5);
      cuts.push_back(mf[i].addr + 13 + mf[i].size / 2);
    }
    cuts.push_back(mf.back().addr + 13);  // the open fragment's last frame
    cuts.push_back(ci.frameRetrace);
  }
  removeCard(whole);
  for (uint64_t cut : cuts) {
    Card c = makeCard(parseOrDie(std::string(kSmallCard) + ",\"truncateAt\":" +
                                 std::to_string(cut) + "}}"),
                      "cut");
    exercise(c, "cut at " + std::to_string(cut), cut, UINT64_MAX);
    removeCard(c);
  }
  qmx_storage_close();
}

TEST(StorageRawSimDamage, CorruptionRunFailsCleanly) {
  captureStdout([] { qmx_storage_init(); });
  Card c = makeCard(parseOrDie(std::string(kSmallCard) + "}}"), "corrupt");
  const uint32_t crc = fileCrc(c.image);
  std::vector<uint8_t> info;
  {
    Image img(c.image);
    info = img.read(kCardInfo, 273);
  }
  ASSERT_EQ(info.size(), 273u);
  // Byte ranges to damage: the card information, and per channel the
  // indexes, the first and newest lists, and some frame headers.
  std::vector<std::pair<uint64_t, uint64_t>> ranges = {{kCardInfo, 17 + 64 * 2}};
  {
    Image img(c.image);
    for (int ch = 0; ch < 2; ++ch) {
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
        if (f.key) ranges.back() = {f.addr, 13};  // the newest key frame's header
    }
  }
  int fd = open(c.image.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  int cases = 0;
  for (const auto &range : ranges) {
    for (uint64_t at = range.first; at < range.first + range.second; ++at) {
      uint8_t orig;
      ASSERT_EQ(pread(fd, &orig, 1, static_cast<off_t>(at)), 1);
      // All bits flipped everywhere; a lowest-bit flip in the checksummed
      // card information (which the sum must catch) and in counts and sizes.
      const bool small = at < kCardInfo + 273 || (at - range.first) % 4 == 0;
      for (uint8_t v : {static_cast<uint8_t>(orig ^ 0xFF), static_cast<uint8_t>(orig ^ 0x01)}) {
        if (v == orig || (v == (orig ^ 0x01) && !small)) continue;
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
  EXPECT_EQ(fileCrc(c.image), crc);  // every byte put back
  qmx_storage_close();
  removeCard(c);
}
