// Tests of the file-layout card library over real volume directories built by
// the tests' own writer (card_writer.h).
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "card_writer.h"
#include "device.h"
#include "fake_sysfs.h"
#include "fuzz_layout.h"
#include "qmx_common.h"
#include "qmx_storage_v2.h"
#include "storage_v2_internal.h"

namespace {

using cardw::Bytes;
using cardw::TestCard;
namespace fs = std::filesystem;

const int64_t T0 = 1700000000;  // a recording day well in the past
const int64_t DAY = 86400;

// Open descriptors on files below dir.
int countFdsUnder(const std::string &dir) {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  if (!d) return -1;
  while (struct dirent *e = readdir(d)) {
    char link[PLAT_PATH_SIZE];
    std::string fd = std::string("/proc/self/fd/") + e->d_name;
    ssize_t len = readlink(fd.c_str(), link, sizeof link - 1);
    if (len > 0 && std::string(link, static_cast<size_t>(len)).rfind(dir, 0) == 0) n++;
  }
  closedir(d);
  return n;
}

int countOf(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

Bytes videoData(uint8_t nal, int64_t tag, size_t size = 40) {
  Bytes b = {0, 0, 0, 1, nal};
  for (size_t i = b.size(); i < size; i++) b.push_back(static_cast<uint8_t>(tag + i));
  return b;
}

Bytes audioData(int64_t tag) {
  Bytes b = {0xFF, 0xF1, 0x50, 0x80};
  for (int i = 0; i < 12; i++) b.push_back(static_cast<uint8_t>(tag * 3 + i));
  return b;
}

// Records `seconds` seconds from startSec: per second a key frame and a
// predicted frame of each channel's video and an audio frame of each channel.
void recordSeconds(TestCard &card, int64_t startSec, int seconds) {
  for (int s = 0; s < seconds; s++) {
    int64_t ms = (startSec + s) * 1000;
    for (uint8_t ch = 0; ch < card.channels; ch++) card.frame(true, ch, ms + ch, videoData(0x40, ms + ch), true);
    for (uint8_t ch = 0; ch < card.channels; ch++) card.frame(false, ch, ms + 10 + ch, audioData(ms + ch));
    for (uint8_t ch = 0; ch < card.channels; ch++) card.frame(true, ch, ms + 500 + ch, videoData(0x02, ms));
  }
}

class FileCard : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/storage_file_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = fs::canonical(tmpl).string();
    // No real block device of the test machine takes part.
    emptyRoots_ = dir_ + "-roots";
    fs::create_directories(emptyRoots_);
    plat_setRoots(emptyRoots_.c_str(), emptyRoots_.c_str(), emptyRoots_.c_str());
    qmx_storage_v2_init();
  }
  void TearDown() override {
    qmx_storage_v2_close();
    plat_detachAll();
    std::error_code ec;
    fs::remove_all(dir_, ec);
    fs::remove_all(emptyRoots_, ec);
  }

  // Drive index of a volume directory, attaching it first.
  static int driveOf(const std::string &dir) {
    if (plat_attachPath(dir.c_str()) != 0) return -1;
    plat_volume *vols = nullptr;
    int n = plat_listVolumes(&vols);
    int found = -1;
    for (int i = 0; i < n; i++)
      if (dir == vols[i].root) found = vols[i].driveIndex;
    plat_freeVolumes(vols);
    return found;
  }

  int load(const TestCard &card) {
    card.write(dir_);
    return openCard();
  }
  int openCard() {
    int drive = driveOf(dir_);
    if (drive < 0) return -2;
    return qmx_storage_v2_open(static_cast<uint8_t>(drive));
  }
  // Runs f with standard output captured; returns what it printed.
  template <class F>
  std::string captured(F f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
  }
  std::string path(const std::string &rel) const { return dir_ + "/storage/" + rel; }

  // A day list's entries, copied out of the packed records.
  struct Entry {
    int type, videoType;
    int64_t startTime, endTime;
  };
  std::vector<Entry> day(int64_t start, int64_t end = 0) {
    std::vector<Entry> out;
    qmx_storage_v2_dayFragment *list = qmx_storage_v2_queryByDay(start, end ? end : start + DAY);
    EXPECT_NE(list, nullptr);
    if (!list) return out;
    for (uint32_t i = 0; i < list->count; i++) {
      const qmx_storage_v2_fragment &f = list->fragment[i];
      out.push_back({f.type, f.videoType, f.startTime, f.endTime});
    }
    free(list);
    return out;
  }

  std::string dir_;
  std::string emptyRoots_;
};

// ------------------------------------------------------------------ records

TEST(FileRecords, CheckWordAndLittleEndianFields) {
  const char *digits = "123456789";
  EXPECT_EQ(v2_crc16(reinterpret_cast<const uint8_t *>(digits), 9), 0x29B1);
  // The table and the writer's bitwise form agree on every length and byte.
  Bytes b;
  for (int i = 0; i < 300; i++) b.push_back(static_cast<uint8_t>(i * 37 + 11));
  for (size_t n = 0; n <= b.size(); n += 7) EXPECT_EQ(v2_crc16(b.data(), n), cardw::crcBitwise(b.data(), n));

  const uint8_t t48[] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
  v2_reader r;
  v2_readerInit(&r, t48, sizeof t48);
  int64_t v = 0;
  ASSERT_EQ(v2_get48(&r, &v), 0);
  EXPECT_EQ(v, 4294967296LL);
  // Nothing is read past the end of a buffer.
  uint32_t w = 7;
  v2_readerInit(&r, t48, 3);
  EXPECT_EQ(v2_get32(&r, &w), -1);
  EXPECT_EQ(w, 7u);
  uint8_t one;
  EXPECT_EQ(v2_skip(&r, 3), 0);
  EXPECT_EQ(v2_get8(&r, &one), -1);
}

// ------------------------------------------------------------------ queries

TEST_F(FileCard, DayListGrowsPastItsFirstBlockAndBatch) {
  TestCard card;
  card.fragRingBytes = 32 * 700;
  recordSeconds(card, T0 + 1, 1);
  // 650 fragments of 100 s each, one day: more than a batch of 500 and
  // several list blocks of 100.
  const int64_t from = T0 - 70000;
  for (uint32_t i = 0; i < 650; i++) card.fragment(i, from + i * 100, from + i * 100 + 90);
  card.fragHeadIndex = 600;  // and wrapped
  ASSERT_EQ(load(card), 0);
  auto list = day(from - 10, from + DAY);
  ASSERT_EQ(list.size(), 650u);
  for (uint32_t i = 0; i < 650; i++) ASSERT_EQ(list[i].startTime, from + i * 100) << i;
  auto tail = day(from + 64950, from + DAY);
  ASSERT_EQ(tail.size(), 1u);
  EXPECT_EQ(tail[0].startTime, from + 64900);
}

TEST_F(FileCard, MonthRangeLongerThanAMonthLooksAt31Days) {
  TestCard card;
  recordSeconds(card, T0 + 39 * DAY, 1);
  card.fragment(1, T0 + 3 * DAY + 10, T0 + 3 * DAY + 20);
  card.fragment(2, T0 + 5 * DAY - 100, T0 + 7 * DAY + 100);  // spans days 4 to 7
  card.fragment(3, T0 + 30 * DAY + 5, T0 + 30 * DAY + 50);    // day 30, the 31st
  card.fragment(4, T0 + 33 * DAY, T0 + 33 * DAY + 50);        // beyond 31 days
  card.fragment(5, T0 + 39 * DAY, 0);
  ASSERT_EQ(load(card), 0);
  uint32_t want = (1u << 3) | (1u << 4) | (1u << 5) | (1u << 6) | (1u << 7) | (1u << 30);
  EXPECT_EQ(qmx_storage_v2_queryByMonth(T0, T0 + 40 * DAY), want);
  // A fragment that reaches the end of the range sets the day past it too.
  EXPECT_EQ(qmx_storage_v2_queryByMonth(T0, T0 + 6 * DAY), (1u << 3) | (1u << 4) | (1u << 5) | (1u << 6));
}

// ----------------------------------------------------------------- playback

struct Frame {
  bool video;
  int channel;
  int64_t time;
  Bytes data;
};

// Reads frames until the newest is reached (1), a failure (-1) or max.
int readAll(uint32_t handle, std::vector<Frame> &out, int max = 10000) {
  for (int i = 0; i < max; i++) {
    qmx_storage_v2_frame f;
    memset(&f, 0, sizeof f);
    int r = qmx_storage_v2_playbackFrame(handle, &f);
    if (r != 0) return r;
    uint32_t len = QMX_V2_FRAME_LENGTH(f.word);
    out.push_back({(f.word & 1) != 0, static_cast<int>((f.word >> 2) & 7), f.time, Bytes(f.data, f.data + len)});
    qmx_storage_v2_freeFrame(handle, &f);
    EXPECT_EQ(f.data, nullptr);
  }
  return 0;
}

TEST_F(FileCard, CodecFromTheFirstFrame) {
  TestCard card;
  card.channels = 5;
  const Bytes firsts[5] = {{0, 0, 0, 1, 0x40, 1, 2}, {0, 0, 1, 0x67, 1, 2}, {0, 0, 1, 0x41, 1, 2},
                           {0, 0, 1, 0x09, 1, 2},    {1, 0, 0, 0x40, 1, 2}};
  for (uint8_t ch = 0; ch < 5; ch++) card.frame(true, ch, T0 * 1000 + ch, firsts[ch], true);
  for (int s = 1; s < 3; s++)
    for (uint8_t ch = 0; ch < 5; ch++) card.frame(true, ch, (T0 + s) * 1000 + ch, firsts[ch], true);
  card.fragment(1, T0, T0 + 3);
  ASSERT_EQ(load(card), 0);
  const uint32_t want[5] = {0, 1, 0, 255, 0xFFFFFFFFu};
  for (uint8_t ch = 0; ch < 5; ch++) {
    uint32_t handle, codec = 7;
    ASSERT_EQ(qmx_storage_v2_playbackStart(ch, T0, &handle, &codec), 0) << int(ch);
    EXPECT_EQ(codec, want[ch]) << int(ch);
    // The codec read does not move the handle: the first frame comes next.
    std::vector<Frame> one;
    readAll(handle, one, 1);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].data, firsts[ch]);
    qmx_storage_v2_playbackStop(handle);
  }
  EXPECT_EQ(v2_detectCodec(firsts[0].data(), 3), 0xFFFFFFFFu);  // too short to tell
}

// Two playback threads and a third starting and stopping handles share the
// slot table; each reader still gets its own stream whole.
TEST_F(FileCard, HandlesAreSharedBetweenThreads) {
  TestCard card;
  card.recordFileSize = 1500;
  recordSeconds(card, T0, 10);
  card.fragment(1, T0, T0 + 10);
  ASSERT_EQ(load(card), 0);
  std::vector<Frame> alone[2], together[2];
  for (uint8_t ch = 0; ch < 2; ch++) {
    uint32_t handle, codec;
    ASSERT_EQ(qmx_storage_v2_playbackStart(ch, T0, &handle, &codec), 0);
    ASSERT_EQ(readAll(handle, alone[ch]), 1);
    qmx_storage_v2_playbackStop(handle);
  }
  std::atomic<bool> done{false};
  auto reader = [&](uint8_t ch) {
    uint32_t handle, codec;
    if (qmx_storage_v2_playbackStart(ch, T0, &handle, &codec) != 0) return;
    readAll(handle, together[ch]);
    qmx_storage_v2_playbackStop(handle);
  };
  std::thread churn([&] {
    while (!done) {
      uint32_t handle, codec;
      if (qmx_storage_v2_playbackStart(1, T0 + 5, &handle, &codec) == 0) {
        qmx_storage_v2_playbackSeek(handle, 1000);
        qmx_storage_v2_playbackStop(handle);
      }
    }
  });
  std::thread a(reader, 0), b(reader, 1);
  a.join();
  b.join();
  done = true;
  churn.join();
  for (int ch = 0; ch < 2; ch++) {
    ASSERT_EQ(together[ch].size(), alone[ch].size()) << ch;
    for (size_t i = 0; i < alone[ch].size(); i++) ASSERT_EQ(together[ch][i].data, alone[ch][i].data);
  }
}

TEST_F(FileCard, CloseReleasesEveryFile) {
  TestCard card;
  recordSeconds(card, T0, 3);
  card.fragment(1, T0, T0 + 3);
  card.write(dir_);
  int drive = driveOf(dir_);
  ASSERT_GE(drive, 0);
    ASSERT_EQ(qmx_storage_v2_open(static_cast<uint8_t>(drive)), 0);
  EXPECT_EQ(countFdsUnder(dir_), 5);  // both meta copies, the rings, the write file
  uint32_t handle, codec;
  ASSERT_EQ(qmx_storage_v2_playbackStart(0, T0, &handle, &codec), 0);
  EXPECT_EQ(countFdsUnder(dir_), 6);
  // A new load lets go of the previous one's files and handles.
  ASSERT_EQ(qmx_storage_v2_open(static_cast<uint8_t>(drive)), 0);
  EXPECT_EQ(countFdsUnder(dir_), 5);
  ASSERT_EQ(qmx_storage_v2_playbackStart(0, T0, &handle, &codec), 0);
  free(qmx_storage_v2_queryByDay(T0, T0 + DAY));
  qmx_storage_v2_queryByMonth(T0, T0 + 30 * DAY);
  EXPECT_EQ(qmx_storage_v2_close(), 0);
  EXPECT_EQ(countFdsUnder(dir_), 0);
  // A load that fails half-way keeps nothing open either.
  fs::remove(path("index/frag.dt"));
  EXPECT_EQ(qmx_storage_v2_open(static_cast<uint8_t>(drive)), -1);
  qmx_storage_v2_close();
  EXPECT_EQ(countFdsUnder(dir_), 0);
}

// ---------------------------------------------------------------- discovery

TEST_F(FileCard, DiscoveryListsMountedUsbVolumesAndValidatesTheirCards) {
  fakesys::FakeSysfs sys;
  sys.addUsbDisk("sdb", {"sdb1", "sdb2"});
  sys.addSataDisk("sda", {"sda1"});
  sys.addUsbDisk("sdc");
  TestCard card;
  recordSeconds(card, T0, 2);
  card.fragment(1, T0, T0 + 2);
  card.write(sys.path("card"));
  card.write(sys.path("internal"));
  fs::create_directories(sys.path("stick"));
  sys.mount("sdb1", sys.path("card"));
  sys.mount("sdb2", sys.path("card2"));
  sys.mount("sda1", sys.path("internal"));
  sys.mount("sdc", sys.path("stick"));
  sys.install();

  const std::string cards = fs::canonical(sys.path("")).string();
  qmx_storage_deviceList list = {nullptr, 0};
  std::string out = captured([&] { EXPECT_EQ(qmx_storage_v2_findDevice(&list), 0); });
  EXPECT_EQ(countOf(out, "type not support.\n"), 1) << out;
  EXPECT_NE(out.find("ERROR-]:allocateDevice["), std::string::npos) << out;
  ASSERT_EQ(list.count, 3);  // both volumes of sdb and the stick
  int valid = 0;
  for (int i = 0; i < list.count; i++) {
    plat_volume v;
    ASSERT_EQ(plat_findVolume(static_cast<uint8_t>(list.device[i].id), &v), 0);
    EXPECT_STREQ(list.device[i].path, v.name);
    if (list.device[i].valid) {
      valid++;
      EXPECT_EQ(fs::path(v.root), fs::canonical(sys.path("card")));
    }
  }
  EXPECT_EQ(valid, 1);
  EXPECT_EQ(countFdsUnder(cards), 0);  // validation keeps no card file open
  // A second discovery replaces the list.
  captured([&] { EXPECT_EQ(qmx_storage_v2_findDevice(&list), 0); });
  EXPECT_EQ(list.count, 3);
  EXPECT_EQ(qmx_storage_v2_freeDevice(&list), 0);
  EXPECT_EQ(list.count, 0);
  EXPECT_EQ(list.device, nullptr);
  plat_setRoots(emptyRoots_.c_str(), emptyRoots_.c_str(), emptyRoots_.c_str());
}

// The window lists the disks on every press of its chooser while a card is
// open and maybe playing: validating other cards must not disturb it.
TEST_F(FileCard, DiscoveryLeavesTheOpenCardAndItsPlaybackAlone) {
  TestCard card;
  recordSeconds(card, T0, 4);
  card.fragment(1, T0, T0 + 4);
  ASSERT_EQ(load(card), 0);
  // Another card, with other recordings, attached beside it.
  TestCard other;
  recordSeconds(other, T0 + 5 * DAY, 2);
  other.fragment(7, T0 + 5 * DAY, T0 + 5 * DAY + 2);
  std::string otherDir = dir_ + "-other";
  other.write(otherDir);
  ASSERT_GE(driveOf(otherDir), 0);

  uint32_t handle = 0, codec = 0;
  ASSERT_EQ(qmx_storage_v2_playbackStart(0, T0, &handle, &codec), 0);
  qmx_storage_v2_frame f;
  memset(&f, 0, sizeof f);
  ASSERT_EQ(qmx_storage_v2_playbackFrame(handle, &f), 0);
  qmx_storage_v2_freeFrame(handle, &f);

  qmx_storage_deviceList list = {nullptr, 0};
  captured([&] { EXPECT_EQ(qmx_storage_v2_findDevice(&list), 0); });
  int valid = 0;
  for (int i = 0; i < list.count; i++) valid += list.device[i].valid;
  EXPECT_EQ(valid, 2);
  qmx_storage_v2_freeDevice(&list);

  // Still the first card: its day, its span, and the handle reads on.
  std::vector<Entry> entries = day(T0 - T0 % DAY);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].startTime, T0);
  int64_t start = 0, end = 0;
  qmx_storage_v2_getValidTime(&start, &end);
  EXPECT_EQ(start, T0);
  memset(&f, 0, sizeof f);
  EXPECT_EQ(qmx_storage_v2_playbackFrame(handle, &f), 0);
  qmx_storage_v2_freeFrame(handle, &f);
  qmx_storage_v2_playbackStop(handle);
  std::error_code ec;
  fs::remove_all(otherDir, ec);
}

// The fuzz seeds are real cards: each loads, and each with recordings plays.
TEST_F(FileCard, FuzzSeedsAreWorkingCards) {
  int seen = 0;
  for (const auto &entry : fs::directory_iterator(FILE_SEED_DIR)) {
    if (entry.path().extension() != ".seed") continue;
    seen++;
    std::ifstream in(entry.path(), std::ios::binary);
    Bytes seed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(seed.size(), fuzzlayout::kTableSize);
    fs::remove_all(dir_ + "/storage");
    size_t at = fuzzlayout::kTableSize;
    for (size_t i = 0; i < fuzzlayout::kFileCount; i++) {
      uint16_t len = static_cast<uint16_t>(seed[2 * i] | (seed[2 * i + 1] << 8));
      if (len == fuzzlayout::kAbsent) continue;
      ASSERT_LE(at + len, seed.size());
      cardw::writeBytes(dir_ + "/" + fuzzlayout::kFiles[i], Bytes(seed.begin() + at, seed.begin() + at + len));
      at += len;
    }
    ASSERT_EQ(openCard(), 0) << entry.path();
    int64_t start, end;
    qmx_storage_v2_getValidTime(&start, &end);
    if (entry.path().stem() == "empty") continue;
    uint32_t handle, codec;
    ASSERT_EQ(qmx_storage_v2_playbackStart(0, start, &handle, &codec), 0) << entry.path();
    std::vector<Frame> frames;
    EXPECT_EQ(readAll(handle, frames), 1) << entry.path();
    EXPECT_GT(frames.size(), 3u) << entry.path();
    qmx_storage_v2_playbackStop(handle);
  }
  EXPECT_EQ(seen, 4);
}

}  // namespace
