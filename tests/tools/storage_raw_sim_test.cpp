// The raw-disk library on cards written by the simulator: block reads, the
// card check and load report, discovery, month and day queries over several
// lists, every channel of a card, playback through a wrapped ring and across
// read-ahead runs, why a handle ended, bounded day lists, and damaged cards
// that must end playback honestly, fail cleanly and stay unchanged.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "device.h"
#include "fake_sysfs.h"
#include "qmx_storage.h"
#include "raw_card_parse.h"
#include "raw_internal.h"
#include "raw_manifest.h"
#include "raw_writer.h"
#include "scenario.h"
#include "test_io.h"

using namespace rawimg;
using testio::captureStdout;
using testio::localTime;

namespace {

struct Card {
  std::string image, manifest;
  std::vector<ManifestChannel> channels;
  ~Card() { unlink(image.c_str()), unlink(manifest.c_str()); }
};

std::string tempName(const char *ext) {
  static int serial = 0;
  const char *tmp = getenv("TMPDIR");
  return std::string(tmp && *tmp ? tmp : "/tmp") + "/rawsim_" + std::to_string(getpid()) + "_" +
         std::to_string(++serial) + ext;
}

// Writes the card of a scenario (JSON text) with its frame manifest.
void makeCard(const std::string &json, Card *c) {
  c->image = tempName(".img");
  c->manifest = tempName(".json");
  Scenario s;
  std::string err;
  ASSERT_TRUE(parseScenario(QByteArray::fromStdString(json), &s, &err)) << err;
  ASSERT_TRUE(writeRawCard(s, c->image, c->manifest, nullptr, &err)) << err;
  c->channels = readManifest(c->manifest);
}

// A one-channel scenario of synthetic frames with these recordings and
// "raw" options (JSON members, may be empty).
std::string small(const std::string &recordings, const std::string &raw, int channels = 1) {
  return R"({"layout":"raw","codec":"h265","channels":)" + std::to_string(channels) +
         R"(,"media":"synthetic","width":64,"height":48,"fps":5,"gop":5,"recordings":[)" +
         recordings + R"(],"raw":{"frameAreaSize":262144)" + (raw.empty() ? "" : ",") + raw + "}}";
}

std::string rec(int channel, const char *start, const char *end, const char *extra = "") {
  return std::string("{\"channel\":") + std::to_string(channel) + ",\"start\":\"" + start +
         "\",\"end\":\"" + end + "\"" + extra + "}";
}

// Writes the n low bytes of v, little-endian, at addr of the image.
void patch(const std::string &path, uint64_t addr, uint64_t v, int n) {
  int fd = open(path.c_str(), O_WRONLY);
  for (int i = 0; i < n; i++, v >>= 8) EXPECT_EQ(pwrite(fd, &v, 1, static_cast<off_t>(addr + i)), 1);
  close(fd);
}

// The library's ERROR lines in output, each as "function|message".
std::vector<std::string> logLines(const std::string &out) {
  std::vector<std::string> lines;
  const std::string head = " ERROR-STORAGE]:";
  for (size_t at = 0; (at = out.find(head, at)) != std::string::npos;) {
    size_t fn = at + head.size(), bracket = out.find('[', fn), msg = out.find("\033[m", bracket);
    size_t end = out.find('\n', msg);
    if (end == std::string::npos) break;
    lines.push_back(out.substr(fn, bracket - fn) + "|" + out.substr(msg + 3, end - msg - 3));
    at = end;
  }
  return lines;
}

// Attaches an image as the only disk and returns its disk number, or -1.
int attach(const std::string &path) {
  plat_detachAll();
  if (plat_attachPath(path.c_str()) != 0) return -1;
  plat_volume *vols = nullptr;
  int n = plat_listVolumes(&vols), disk = -1;
  for (int i = 0; i < n; i++)
    if (vols[i].root[0] == '\0') disk = static_cast<int>(vols[i].diskNumber);
  plat_freeVolumes(vols);
  return disk;
}

// Loads a card image; *out gets what the load printed.
int load(const std::string &image, std::string *out = nullptr) {
  qmx_storage_close();
  int disk = attach(image), rc = -2;
  EXPECT_GE(disk, 0);
  std::string text = captureStdout([&] { rc = qmx_storage_load(static_cast<uint32_t>(disk)); });
  if (out) *out = text;
  return rc;
}
int load(const Card &c, std::string *out = nullptr) { return load(c.image, out); }

struct PlayedFrame {
  int64_t time;
  uint8_t flags;
  uint32_t size, crc;
};

// How a playback went: its frames, the last frame information result (-5
// at the end) or -1 when the start failed, and why the handle ended.
struct Played {
  std::vector<PlayedFrame> frames;
  int info = 0, ending = -1;
  int64_t endMs = 0;
};

// Plays from `start` (seconds) until the handle's end or `limit` frames
// and stops the handle.
Played play(uint32_t channel, int64_t start, size_t limit = 1000000) {
  Played p;
  uint32_t h = 99;
  if (qmx_storage_playbackStart(channel, static_cast<uint64_t>(start), &h) != 0) {
    p.info = -1;
    return p;
  }
  for (size_t i = 0; i < limit; ++i) {
    qmx_storage_frameInfo info{};
    if ((p.info = qmx_storage_playbackFrameInfo(h, &info)) != 0) break;
    qmx_storage_frame f{nullptr, 0};
    if (qmx_storage_playbackFrame(h, &f) != 0) {
      EXPECT_EQ(f.data, nullptr);
      break;
    }
    p.frames.push_back({info.time, info.flags, f.size, static_cast<uint32_t>(crc32(0, f.data, f.size))});
    qmx_storage_freeFrame(&f);
  }
  qmx_storage_playbackStop(h);
  p.ending = qmx_storage_playbackEnd(h, &p.endMs);
  return p;
}

// Expects the played frames to be the manifest's, from index `from` on.
void expectFrames(const std::vector<PlayedFrame> &got, const std::vector<ManifestFrame> &mf,
                  size_t from = 0) {
  ASSERT_LE(from + got.size(), mf.size());
  for (size_t i = 0; i < got.size(); ++i) {
    const ManifestFrame &m = mf[from + i];
    ASSERT_EQ(got[i].time, m.time) << i;
    EXPECT_EQ(got[i].flags, m.video ? (m.key ? 0x11 : 0x01) : 0x00) << i;
    ASSERT_EQ(got[i].size, m.size) << i;
    ASSERT_EQ(got[i].crc, m.crc) << i;
  }
}

// Runs cardtool; returns its standard output and adds its peak memory (KiB)
// to what getrusage reports for the test's children.
std::string cardtool(const std::string &args) {
  FILE *p = popen((std::string(CARDTOOL_PATH) + " " + args + " 2>/dev/null").c_str(), "r");
  std::string text;
  for (int c; (c = fgetc(p)) != EOF;) text += static_cast<char>(c);
  EXPECT_EQ(pclose(p), 0);
  return text;
}

size_t countOf(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at++) n++;
  return n;
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
    captureStdout([] { qmx_storage_init(); });
    plat_setRoots("/nonexistent", "/nonexistent", "/nonexistent");
    card_ = new Card;
    makeCard(kCard, card_);
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

using Entry = std::tuple<int, int64_t, int64_t>;  // type, start, end

std::vector<Entry> day(uint32_t ch, int64_t t) {
  std::vector<Entry> out;
  qmx_storage_dayFragment *list = qmx_storage_queryByDay(ch, t, t + 86400);
  EXPECT_NE(list, nullptr);
  for (uint32_t i = 0; list && i < list->count; ++i)
    out.emplace_back(list->fragment[i].type, int64_t{list->fragment[i].startTime}, int64_t{list->fragment[i].endTime});
  free(list);
  return out;
}

}  // namespace

TEST(StorageRawDevice, BlockReadsCoverTheRangeAndStayOnTheDisk) {
  captureStdout([] { qmx_storage_init(); });
  std::vector<uint8_t> bytes(4 * 4096);
  for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  qmx_storage_close();
  int disk = plat_attachMemory(bytes.data(), bytes.size(), 0, "blocks");
  ASSERT_EQ(qmx_raw::initHandle(static_cast<uint32_t>(disk)), 0);
  std::vector<uint8_t> buf(3 * 4096, 0xEE);
  // {address, length, blocks read}: 13 bytes from 6 before a block end read
  // two blocks; a range ending on a block boundary reads no extra block.
  const struct { int64_t at; uint64_t n, blocks; } reads[] = {
      {4096 - 6, 13, 2}, {100, 4096 - 100, 1}, {4096, 2 * 4096, 2}, {5, 3 * 4096, 4}};
  for (const auto &r : reads) {
    plat_resetBlockReadCount();
    std::fill(buf.begin(), buf.end(), 0xEE);
    ASSERT_EQ(qmx_raw::readData(r.at, buf.data(), r.n), 0) << r.at;
    EXPECT_EQ(plat_blockReadCount(), r.blocks) << r.at;
    EXPECT_EQ(memcmp(buf.data(), &bytes[r.at], r.n), 0) << r.at;
    EXPECT_EQ(r.n < buf.size() ? buf[r.n] : 0xEE, 0xEE) << r.at;  // nothing past the request
  }
  // Ranges off the disk, negative or overflowing are refused unread.
  plat_resetBlockReadCount();
  for (int64_t at : {int64_t(4 * 4096 - 4), int64_t(-4096)}) EXPECT_EQ(qmx_raw::readData(at, buf.data(), 8), -1);
  EXPECT_EQ(qmx_raw::readData(4096, buf.data(), UINT64_MAX - 100), -1);
  EXPECT_EQ(plat_blockReadCount(), 0u);
  // A second disk cannot be opened until the first is closed.
  EXPECT_EQ(qmx_raw::initHandle(static_cast<uint32_t>(disk)), -1);
  ASSERT_EQ(qmx_storage_close(), 0);
  int rc = 0;
  std::string out = captureStdout([&] { rc = qmx_raw::readData(0, buf.data(), 1); });
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(logLines(out), std::vector<std::string>{"readData|not open file yet."});
  out = captureStdout([&] { rc = qmx_raw::initHandle(999999); });
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(logLines(out), std::vector<std::string>{"initHandle|open failed."});
  plat_detachAll();
}

TEST_F(StorageRawSim, CardFactsAndLoadReport) {
  EXPECT_EQ(qmx_storage_getChannelNum(), 2);
  EXPECT_EQ(qmx_storage_getVideoType(), 1);
  std::string out;
  ASSERT_EQ(load(*card_, &out), 0);
  Image img(card_->image);
  const std::vector<uint8_t> info = img.read(kCardInfo, 273);
  std::string want = "card info:\ntotal: " + std::to_string(le64(&info[8])) + " channelNum: 2\n";
  for (int c = 0; c < 2; c++) {
    ChannelInfo ci = channelInfo(info, c);
    char line[400];
    snprintf(line, sizeof line,
             "channel: %d info:\n fragIdxPartAddr:   %#llx\n fragPartAddr:      %#llx\n iframeIdxPartAddr: %#llx\n"
             " iframePartAddr:    %#llx\n framePartAddr:     %#llx\n frameRetraceAddr:  %#llx\n",
             c, (unsigned long long)ci.fragIdx, (unsigned long long)ci.fragPart, (unsigned long long)ci.iframeIdx,
             (unsigned long long)ci.iframePart, (unsigned long long)ci.framePart, (unsigned long long)ci.frameRetrace);
    want += line;
    want += " fragIndex count:   " + std::to_string(readIndex(img, ci.fragIdx).size()) + "\n";
    want += " iframeIndex count: " + std::to_string(readIndex(img, ci.iframeIdx).size()) + "\n";
    // Free bytes: the ring and its 2 MiB slack, less what lies from the
    // oldest fragment's first frame to the write position (the end of the
    // newest I-frame's frame while the newest fragment is open).
    const ManifestChannel &mc = card_->channels[c];
    uint64_t write = mc.fragments.back().endAddr, oldest = mc.fragments.front().startAddr;
    for (const ManifestFrame &f : mc.frames)
      if (f.key && mc.fragments.back().open) write = f.addr + 13 + f.size;
    const uint64_t ring = ci.frameRetrace + 0x200000 - ci.framePart;
    want += " emptySize:         " + std::to_string(write >= oldest ? ring - (write - oldest) : oldest - write) + "\n";
  }
  EXPECT_EQ(out.substr(0, want.size()), want);
}

TEST_F(StorageRawSim, ValidTimeMonthMaskAndDayLists) {
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
  const uint32_t crc = testio::fileCrc32(card_->image);
  for (uint32_t ch : {0u, 1u}) {
    SCOPED_TRACE("channel " + std::to_string(ch));
    const ManifestChannel &mc = card_->channels[ch];
    int64_t lastKey = 0;
    for (const ManifestFrame &f : mc.frames)
      if (f.key) lastKey = f.time;
    // Frames in card order up to the last I-frame; those after it, stored
    // for the open fragment, are not played.
    size_t want = 0;
    bool wrapped = false;
    for (; want < mc.frames.size() && mc.frames[want].time <= lastKey; ++want)
      if (want && mc.frames[want].addr < mc.frames[want - 1].addr) wrapped = true;
    EXPECT_EQ(wrapped, ch == 0) << "the scenario should make channel 0's ring wrap";
    EXPECT_LT(want, mc.frames.size() - (ch == 0 ? 1 : 0));
    Played p = play(ch, mc.fragments[0].start);
    EXPECT_EQ(p.info, -5);
    ASSERT_EQ(p.frames.size(), want);
    expectFrames(p.frames, mc.frames);
    EXPECT_EQ(p.ending, QMX_PLAYBACK_END_OF_DATA);
    EXPECT_EQ(p.endMs, p.frames.back().time);
    // A handle stopped before its end says it never ended.
    EXPECT_EQ(play(ch, mc.fragments[0].start, 3).ending, QMX_PLAYBACK_RUNNING);
  }
  qmx_storage_close();
  EXPECT_EQ(testio::fileCrc32(card_->image), crc);  // nothing was written
}

TEST_F(StorageRawSim, StartsAtTheFirstIframeAtOrAfterTheTime) {
  // Every whole second from before each recording to after its end: between
  // I-frames of one list and across list boundaries the handle stands on
  // the first I-frame at or after the time; after the last there is none.
  const std::vector<int64_t> keys = keyTimes();
  for (const ManifestFragment &frag : card_->channels[0].fragments) {
    for (int64_t s = frag.start - 1; s <= frag.start + 6; ++s) {
      size_t k = std::lower_bound(keys.begin(), keys.end(), s * 1000) - keys.begin();
      Played p;
      std::string out = captureStdout([&] { p = play(0, s, 1); });
      ASSERT_EQ(p.frames.size(), k == keys.size() ? 0u : 1u) << s;
      if (k < keys.size()) {
        EXPECT_EQ(p.frames[0].time, keys[k]) << s;
      } else {
        EXPECT_EQ(logLines(out).at(0), "playbackSet|I-frame not found");
      }
    }
  }
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
  qmx_storage_playbackStop(7);
  qmx_storage_playbackStop(2);
  qmx_storage_playbackStop(99);  // ignored
  ASSERT_EQ(qmx_storage_playbackStart(1, 0, &h), 0);
  EXPECT_EQ(h, 2u);
  EXPECT_EQ(qmx_storage_playbackSeek(7, 0), -1);
  EXPECT_EQ(qmx_storage_playbackEnd(8, nullptr), -1);
  EXPECT_EQ(qmx_storage_playbackFrameInfo(8, &info), -3);
  EXPECT_EQ(qmx_storage_playbackStart(2, 0, &h), -1);  // not a channel of the card
  qmx_storage_close();
  EXPECT_EQ(qmx_storage_playbackFrameInfo(0, &info), -2);
  EXPECT_EQ(qmx_storage_playbackProgress(0), -1);
  for (uint32_t i = 0; i < 8; i++) qmx_storage_playbackStop(i);
}

// Cards the load refuses, each with its messages; nothing can be queried or
// played afterwards. The checksum covers bytes 4 to 16 + 64 x channels.
TEST(StorageRawSimCards, LoadRefusesWhatIsNoCard) {
  captureStdout([] { qmx_storage_init(); });
  const std::vector<std::string> notCard = {"loadData|not proper card."};
  struct Case {
    const char *fault;
    int64_t patchAt;  // card byte set to 0x77 after writing, -1 none
    int rc;
    std::vector<std::string> log;
  } cases[] = {
      {"\"fragmentIndexCount\":65536", -1, -1,
       {"loadFragmentIndex|Invalid fragment_index count: 65536", "loadChannel|read fragment_index failed channel:0",
        "loadData|Load channel failed"}},
      {"\"fragmentListCount\":257", -1, -1,
       {"readFragmentList|Invalid fragment_list count: 257", "loadChannel|read fragment_list failed channel:0",
        "loadData|Load channel failed"}},
      {"\"badChecksum\":true", -1, -1, notCard},
      {"\"channelCount\":0", -1, -1, notCard},
      {"\"channelCount\":5", -1, -1, notCard},
      {"\"channelCount\":7", -1, -1, notCard},
      {"", 81, 0, {}},  // outside the sum of one channel
      {"", 80, -1, notCard},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.fault + std::to_string(k.patchAt));
    Card c;
    ASSERT_NO_FATAL_FAILURE(makeCard(small(rec(0, "2026-12-06 08:00:00", "2026-12-06 08:00:03"), k.fault), &c));
    if (k.patchAt >= 0) patch(c.image, kCardInfo + static_cast<uint64_t>(k.patchAt), 0x77, 1);
    std::string out;
    EXPECT_EQ(load(c, &out), k.rc);
    EXPECT_EQ(logLines(out), k.log);
    if (k.rc == 0) continue;
    EXPECT_EQ(out.find("card info:"), std::string::npos);
    EXPECT_EQ(qmx_storage_queryByDay(0, localTime(2026, 12, 6), localTime(2026, 12, 7)), nullptr);
    EXPECT_EQ(play(0, localTime(2026, 12, 6, 8)).info, -1);
  }
  // Without an open disk the channel count is refused with its marker.
  qmx_storage_close();
  int n = 0;
  EXPECT_EQ(captureStdout([&] { n = qmx_storage_getChannelNum(); }), "1111111111");
  EXPECT_EQ(n, -1);
  plat_detachAll();
}

TEST(StorageRawSimCards, DiscoveryListsEachUsbDiskOnceAndChecksItsCard) {
  captureStdout([] { qmx_storage_init(); });
  Card good, bad;
  ASSERT_NO_FATAL_FAILURE(makeCard(small(rec(0, "2026-12-06 08:00:00", "2026-12-06 08:00:01"), ""), &good));
  ASSERT_NO_FATAL_FAILURE(makeCard(small(rec(0, "2026-12-06 08:00:00", "2026-12-06 08:00:01"), "\"channelCount\":0"), &bad));
  fakesys::FakeSysfs fs;
  fs.addSataDisk("sda", {"sda1"}, fakesys::Image(good.image));
  fs.addUsbDisk("sdb", {"sdb1", "sdb2"}, fakesys::Image(good.image));
  fs.addUsbDisk("sdc", {}, fakesys::Image(bad.image));
  fs.addLoop("loop0", good.image);
  fs.install();
  qmx_storage_deviceList list = {nullptr, 0};
  int rc = -1;
  std::string out = captureStdout([&] { rc = qmx_storage_findDevice(&list); });
  plat_setRoots("/nonexistent", "/nonexistent", "/nonexistent");
  ASSERT_EQ(rc, 0);
  ASSERT_EQ(list.count, 3) << out;
  std::vector<std::string> logs = logLines(out);
  auto count = [&](const std::string &line) { return std::count(logs.begin(), logs.end(), line); };
  EXPECT_EQ(count("allocateDevice|type not support."), 1);
  EXPECT_EQ(count("allocateDevice|already find current device."), 1);
  EXPECT_EQ(count("checkDeviceValid|check not pass."), 1);
  int valid = 0;
  for (int i = 0; i < list.count; i++) {
    valid += list.device[i].valid;
    for (int j = 0; j < i; j++) EXPECT_NE(list.device[i].id, list.device[j].id);
  }
  EXPECT_EQ(valid, 2);
  qmx_storage_freeDevice(&list);
  EXPECT_EQ(list.count, 0);
  EXPECT_EQ(list.device, nullptr);
}

// Three- and four-channel cards with a recording on the last channel only:
// its channel finds and plays it, the others have nothing.
TEST(StorageRawSimCards, EveryChannelOfThreeAndFourChannelCards) {
  captureStdout([] { qmx_storage_init(); });
  for (int channels : {3, 4}) {
    SCOPED_TRACE(channels);
    const int last = channels - 1;
    Card c;
    ASSERT_NO_FATAL_FAILURE(
        makeCard(small(rec(last, "2026-12-06 08:00:00", "2026-12-06 08:00:04", ",\"type\":7"), "", channels), &c));
    ASSERT_EQ(load(c), 0);
    for (int ch = 0; ch < channels; ch++) {
      const bool has = ch == last;
      EXPECT_EQ(qmx_storage_queryByMonth(ch, localTime(2026, 12, 1), localTime(2027, 1, 1)), has ? 1u << 5 : 0u);
      qmx_storage_dayFragment *list = qmx_storage_queryByDay(ch, localTime(2026, 12, 6), localTime(2026, 12, 7));
      EXPECT_EQ(list ? list->count : 0u, has ? 1u : 0u);
      free(list);
      Played p = play(ch, localTime(2026, 12, 6, 8));
      EXPECT_EQ(p.frames.empty(), !has);
      if (has) expectFrames(p.frames, c.channels[ch].frames);
    }
  }
}

// Read-ahead: frames of 100-200 KiB in a 4 MiB ring whose data starts 1.5
// MiB before its wrap point come out as written across the runs' edges and
// the ring's end; the handle's buffer goes when it stops or ends.
TEST(StorageRawSimCards, ReadAheadRunsAcrossTheirEdgesAndTheRingsEnd) {
  captureStdout([] { qmx_storage_init(); });
  Card c;
  ASSERT_NO_FATAL_FAILURE(makeCard(R"({"layout":"raw","media":"synthetic","width":1280,"height":720,
    "fps":25,"gop":25,"recordings":[{"channel":0,"start":"2026-12-06 08:00:00","end":"2026-12-06 08:00:05"}],
    "raw":{"frameAreaSize":4194304,"ringStartBeforeEnd":1572864}})", &c));
  const ManifestChannel &mc = c.channels[0];
  uint64_t written = 0;
  for (const ManifestFrame &f : mc.frames) written += f.size;
  ASSERT_GT(written, 2u << 20);
  ASSERT_LT(mc.frames.back().addr, mc.frames.front().addr);  // wrapped
  ASSERT_EQ(load(c), 0);
  plat_resetBlockReadCount();
  Played p = play(0, localTime(2026, 12, 6, 8));
  EXPECT_EQ(p.ending, QMX_PLAYBACK_END_OF_DATA);
  expectFrames(p.frames, mc.frames);
  EXPECT_GT(p.frames.size(), 100u);
  uint64_t media = 0;
  for (const PlayedFrame &f : p.frames) media += f.size;
  EXPECT_LT(plat_blockReadCount() * 4096.0, 1.5 * media + (3 << 20));  // read about once
  EXPECT_EQ(qmx_raw::runBufferBytes(), 0u);
  uint32_t h;
  ASSERT_EQ(qmx_storage_playbackStart(0, static_cast<uint64_t>(localTime(2026, 12, 6, 8)), &h), 0);
  EXPECT_EQ(qmx_raw::runBufferBytes(), 64u << 10);  // a first run is short
  qmx_storage_playbackStop(h);
  EXPECT_EQ(qmx_raw::runBufferBytes(), 0u);
}

// Day lists: 250 fragments grow the list past 100 and 200 entries; a
// fragment index repeating one list of 256 fragments 65,535 times gives at
// most 86,401 entries when its times advance and one list's worth when
// they do not, and cardtool answers it in little memory.
TEST(StorageRawSimCards, DayListsGrowAndStayBounded) {
  captureStdout([] { qmx_storage_init(); });
  const int64_t t = localTime(2026, 3, 20, 1);
  auto busy = [&](int n, const std::string &raw) {
    std::string json = R"({"layout":"raw","media":"synthetic","width":64,"height":48,"fps":1,"gop":1,
      "audio":false,"raw":{"fragmentsPerList":)" + std::to_string(std::min(n, 256)) + raw + R"(},"recordings":[)";
    for (int i = 0; i < n; i++)
      json += std::string(i ? "," : "") + "{\"channel\":0,\"start\":" + std::to_string(t + 120 * i) +
              ",\"end\":" + std::to_string(t + 120 * i + 2) + ",\"type\":" + std::to_string(i % 256) + "}";
    return json + "]}";
  };
  Card c250;
  ASSERT_NO_FATAL_FAILURE(makeCard(busy(250, ""), &c250));
  ASSERT_EQ(load(c250), 0);
  std::vector<Entry> want;
  for (int i = 0; i < 250; i++) want.push_back({i, t + 120 * i, t + 120 * i + 2});
  EXPECT_EQ(day(0, localTime(2026, 3, 20)), want);

  for (int step : {1, 0}) {
    SCOPED_TRACE(step);
    Card flood;
    ASSERT_NO_FATAL_FAILURE(makeCard(busy(256, ",\"fragmentIndexRepeat\":65535,\"fragmentIndexRepeatStep\":" +
                                                   std::to_string(step)), &flood));
    ASSERT_EQ(load(flood), 0);
    EXPECT_EQ(day(0, localTime(2026, 3, 20)).size(), step ? 86401u : 256u);
    EXPECT_EQ(qmx_storage_queryByMonth(0, localTime(2026, 3, 1), localTime(2026, 4, 1)), 1u << 19);
    if (step == 0) continue;
    const std::string json = cardtool("day " + flood.image + " --json --start " +
                                      std::to_string(localTime(2026, 3, 20)) + " --end " +
                                      std::to_string(localTime(2026, 3, 21)));
    EXPECT_EQ(countOf(json, "\"type\""), 86401u);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // sanitizers take memory of their own
    struct rusage ru;
    getrusage(RUSAGE_CHILDREN, &ru);  // the largest child so far: cardtool
    EXPECT_LT(ru.ru_maxrss, 64 * 1024) << "KiB at peak";
#endif
  }
}

// Playback never runs past the recorded data: a newest I-frame record dated
// 2 s after its frame changes nothing, and a header that cannot be the next
// frame ends the handle after the frames before it, with the reason.
TEST(StorageRawSimCards, PlaybackEndsWhereTheDataEnds) {
  captureStdout([] { qmx_storage_init(); });
  const std::string recs = rec(0, "2026-12-06 08:00:00", "2026-12-06 08:00:06") + "," +
                           rec(0, "2026-12-06 09:00:00", "2026-12-06 09:00:04");
  const int64_t from = localTime(2026, 12, 6, 8);
  Card intact, ahead;
  ASSERT_NO_FATAL_FAILURE(makeCard(small(recs, ""), &intact));
  ASSERT_NO_FATAL_FAILURE(makeCard(small(recs, "\"newestIframeAheadMs\":2000"), &ahead));
  ASSERT_EQ(load(intact), 0);
  Played whole = play(0, from);
  ASSERT_EQ(load(ahead), 0);
  Played p = play(0, from);
  EXPECT_EQ(p.ending, QMX_PLAYBACK_END_OF_DATA);
  ASSERT_EQ(p.frames.size(), whole.frames.size());
  expectFrames(p.frames, ahead.channels[0].frames);
  const std::string frames = " --json --channel 0 --start " + std::to_string(from);
  EXPECT_EQ(countOf(cardtool("frames " + ahead.image + frames), "\"kind\""),
            countOf(cardtool("frames " + intact.image + frames), "\"kind\""));

  // Frame k's header damaged in several ways, or the card read only to the
  // middle of its data.
  const std::vector<ManifestFrame> &mf = intact.channels[0].frames;
  const size_t k = mf.size() / 3;
  const uint64_t at = mf[k].addr;
  Image img(intact.image);
  const std::vector<IndexRecord> fidx = readIndex(img, channelInfo(img.read(kCardInfo, 273), 0).fragIdx);
  const uint64_t lastEnd = fidx.back().listAddr + 4 + 33 * (img.u32(fidx.back().listAddr) - 1) + 24;
  const struct {
    const char *what;
    uint64_t addr, value;
    int bytes, ending;  // bytes 0: the card is cut there instead
  } cases[] = {
      {"zero length", at, 0, 4, QMX_PLAYBACK_DAMAGED},
      {"neither video nor audio", at + 12, 2, 1, QMX_PLAYBACK_DAMAGED},
      {"longer than the frame area", at, 3 << 20, 4, QMX_PLAYBACK_DAMAGED},
      {"before the first recording", at + 4, uint64_t(from * 1000 - 1), 8, QMX_PLAYBACK_DAMAGED},
      {"a day after the last", at + 4, uint64_t(mf.back().time + 86400001), 8, QMX_PLAYBACK_DAMAGED},
      {"write position inside it", lastEnd, at + 5, 8, QMX_PLAYBACK_DAMAGED},
      {"card cut inside it", at + 20, 0, 0, QMX_PLAYBACK_READ_ERROR},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Card bad;
    ASSERT_NO_FATAL_FAILURE(makeCard(small(recs, c.bytes ? "" : "\"truncateAt\":" + std::to_string(c.addr)), &bad));
    if (c.bytes) patch(bad.image, c.addr, c.value, c.bytes);
    ASSERT_EQ(load(bad), 0);
    Played d;
    captureStdout([&] { d = play(0, from); });
    EXPECT_EQ(d.ending, c.ending);
    ASSERT_EQ(d.frames.size(), k);
    expectFrames(d.frames, mf);
    EXPECT_EQ(d.endMs, mf[k - 1].time);
  }
}

// ---------------------------------------------------------------------------
// Cards cut short or with bytes flipped in their structures: every call
// answers a failure value or the data as written, nothing crashes or hangs.

namespace {

const char *g_case = "";
void onAlarm(int) {
  static const char msg[] = "storage_raw_sim_test: a call on a damaged card did not return: ";
  (void)!write(2, msg, sizeof msg - 1);
  (void)!write(2, g_case, strlen(g_case));
  _exit(3);
}

// Runs everything a viewer would on the damaged card. Played frames must be
// the ones written, in card order, up to the first that overlaps the damaged
// bytes [damageFrom, damageTo). Returns the load's result.
int exercise(const Card &c, const std::string &what, uint64_t damageFrom, uint64_t damageTo) {
  SCOPED_TRACE(what);
  g_case = what.c_str();
  signal(SIGALRM, onAlarm);
  alarm(20);
  int r = 0;
  std::vector<Played> played(4);
  captureStdout([&] {
    r = load(c.image);
    for (uint32_t ch = 0; ch < 4; ++ch) {
      int64_t s = 0, e = 0;
      int vr = qmx_storage_getValidTime(ch, &s, &e);
      EXPECT_TRUE(vr == 0 || vr == -1);
      qmx_storage_queryByMonth(ch, localTime(2026, 12, 1), localTime(2027, 1, 1));
      free(qmx_storage_queryByDay(ch, localTime(2026, 12, 6), localTime(2026, 12, 7)));
      if (r != 0 || ch >= c.channels.size()) continue;
      if (vr != 0) s = c.channels[ch].fragments.empty() ? 0 : c.channels[ch].fragments[0].start;
      played[ch] = play(ch, s);
    }
  });
  alarm(0);
  EXPECT_TRUE(r == 0 || r == -1) << r;
  for (size_t ch = 0; ch < c.channels.size(); ++ch) {
    const std::vector<PlayedFrame> &got = played[ch].frames;
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

const char *kDamageCard = R"({"layout":"raw","codec":"h265","channels":2,"media":"synthetic",
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
      if (f.key) ranges.back() = {f.addr, 13};
  }
  return ranges;
}

}  // namespace

TEST(StorageRawSimDamage, TruncatedAndCorruptedCardsFailCleanly) {
  captureStdout([] { qmx_storage_init(); });
  Card c;
  ASSERT_NO_FATAL_FAILURE(makeCard(std::string(kDamageCard) + "}}", &c));
  const uint32_t crc = testio::fileCrc32(c.image);
  // Cut inside structures and frames, at the open fragment's last frame and
  // at the wrap point of the ring.
  std::vector<uint64_t> cuts = {kCardInfo + 16, structures(c)[3].first + 11};
  for (const ManifestChannel &mc : c.channels)
    cuts.insert(cuts.end(), {mc.frames[mc.frames.size() / 2].addr + 20, mc.frames.back().addr + 13, mc.frameRetrace});
  for (uint64_t cut : cuts) {
    Card t;
    ASSERT_NO_FATAL_FAILURE(makeCard(std::string(kDamageCard) + ",\"truncateAt\":" + std::to_string(cut) + "}}", &t));
    exercise(t, "cut at " + std::to_string(cut), cut, UINT64_MAX);
  }
  // Every byte of the structures with all bits flipped; the lowest bit too
  // in the checksummed card information and in counts and sizes.
  int fd = open(c.image.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  int cases = 0;
  for (const auto &range : structures(c)) {
    for (uint64_t at = range.first; at < range.first + range.second; ++at) {
      uint8_t orig;
      ASSERT_EQ(pread(fd, &orig, 1, static_cast<off_t>(at)), 1);
      const bool small = at < kCardInfo + 273 || (at - range.first) % 4 == 0;
      for (uint8_t mask : {0xFF, 0x01}) {
        if (mask == 0x01 && !small) continue;
        const uint8_t v = orig ^ mask;
        ASSERT_EQ(pwrite(fd, &v, 1, static_cast<off_t>(at)), 1);
        const int loaded = exercise(c, "byte " + std::to_string(at) + " ^ " + std::to_string(mask), at, at + 1);
        if (at < kCardInfo + 17 + 64 * 2) {
          EXPECT_EQ(loaded, -1) << at;  // under the checksum
        }
        ++cases;
      }
      ASSERT_EQ(pwrite(fd, &orig, 1, static_cast<off_t>(at)), 1);
    }
  }
  close(fd);
  EXPECT_GT(cases, 1000);
  EXPECT_EQ(testio::fileCrc32(c.image), crc);  // every byte put back, none written by the library
  qmx_storage_close();
  plat_detachAll();
}
