// The simulator's file-layout writer: the options and faults that the reader
// tests in storage_file_sim_test do not go through, the rings once records
// drop out of them, and the options it refuses. Records are looked at with a
// few little-endian reads where the check needs them.
#include <gtest/gtest.h>
#include <zlib.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <filesystem>
#include <set>

#include "file_volume.h"
#include "file_writer.h"

namespace fs = std::filesystem;
using filevol::add;

namespace {

const int64_t kT0 = filevol::localTime(2026, 3, 10, 10, 0, 0);

uint64_t le(const std::vector<uint8_t> &b, size_t at, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n && at + i < b.size(); ++i) v |= static_cast<uint64_t>(b[at + i]) << (8 * i);
  return v;
}
int64_t time48(const std::vector<uint8_t> &b, size_t at) {
  return static_cast<int64_t>(le(b, at, 2) << 32 | le(b, at + 2, 4));
}
bool crcOk(const std::vector<uint8_t> &b, size_t at, size_t size) {
  return at + size <= b.size() && filevol::crc16(&b[at], size - 2) == le(b, at + size - 2, 2);
}

// A simulated volume in a directory of its own, removed with the object.
struct Card {
  std::string dir = filevol::makeTempDir("card"), error;
  FileLayoutReport report;
  bool ok = false;
  explicit Card(const Scenario &sc) {
    report.collectFrames = true;
    ok = !dir.empty() && writeFileLayout(sc, dir, &report, &error);
  }
  Card(const Card &) = delete;
  ~Card() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  std::vector<uint8_t> file(const std::string &rel) const {
    std::vector<uint8_t> b;
    filevol::readFile(dir + "/storage/" + rel, &b);
    return b;
  }
};

std::string record(int n) {
  char name[32];
  std::snprintf(name, sizeof name, "record/rec_%04d.dt", n);
  return name;
}

// Two recordings on one channel, two seconds each.
Scenario twoRecordings(const char *options) {
  Scenario sc = filevol::scenario(0, 1, options, true);
  add(&sc, 0, kT0, kT0 + 2);
  add(&sc, 0, kT0 + 4, kT0 + 6);
  return sc;
}

}  // namespace

// Options and faults the reader tests do not go through, all on one card.
TEST(CardsimFileLayout, OptionsAndFaultsLandWhereAsked) {
  const Card c(twoRecordings(R"({"recordFileSize": 300000, "recordFiles": 4, "preallocate": true,
    "fragRingBytes": 1000, "iframeRingBytes": 1000, "fragmentIdStart": 4000000000,
    "frameReservedBits": 9, "deleted": [3, 1, 3],
    "faults": {"ringSizeZero": ["frag"], "badHeaderCrc": [3],
               "truncate": {"storage/record/rec_0003.dt": 100},
               "remove": ["storage/index/meta_00.dt"]}})"));
  ASSERT_TRUE(c.ok) << c.error;
  for (int n = 0; n < 3; ++n) EXPECT_EQ(c.file(record(n)).size(), 300000u) << n;  // reached or not
  EXPECT_EQ(c.file(record(3)).size(), 100u);
  EXPECT_FALSE(fs::exists(c.dir + "/storage/index/meta_00.dt"));
  EXPECT_TRUE(fs::exists(c.dir + "/storage/index/meta_01.dt"));
  const std::vector<uint8_t> base = c.file("base.dt"), frag = c.file("index/frag.dt");
  EXPECT_EQ(le(base, 25, 4), 0u);  // the fragment ring's size is the fault
  EXPECT_EQ(le(base, 21, 4), 1000u);
  EXPECT_TRUE(crcOk(base, 0, 39));
  EXPECT_EQ(frag.size(), 992u);  // whole records only
  EXPECT_EQ(c.file("index/iframe.dt").size(), 990u);
  EXPECT_EQ(le(frag, 0, 4), 4000000000u);
  EXPECT_EQ(le(frag, 32, 4), 4000000001u);
  const std::vector<uint8_t> rec = c.file(record(0));
  for (size_t i = 0; i < 5; ++i) {
    const uint32_t at = c.report.frames[i].offset;
    EXPECT_EQ(rec.at(at + 3) >> 4, 9) << "frame " << i;
    EXPECT_EQ(crcOk(rec, at, 12), i != 3) << "frame " << i;
  }
  const std::vector<uint8_t> del = c.file("index/del_frag.dt");  // sorted, once each
  EXPECT_EQ(std::vector<uint64_t>({del.size(), le(del, 0, 4), le(del, 6, 4), le(del, 10, 4)}),
            std::vector<uint64_t>({14, 2, 1, 3}));

  // The manifest: the write position and one entry per frame.
  const std::string path = c.dir + "/manifest.json";
  std::string error;
  ASSERT_TRUE(writeFileLayoutManifest(c.report, path, &error)) << error;
  QFile f(QString::fromStdString(path));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QJsonObject doc = QJsonDocument::fromJson(f.readAll()).object();
  EXPECT_EQ(doc.value("writeOffset").toDouble(), c.report.writeOffset);
  EXPECT_EQ(doc.value("fragmentIds").toArray(), (QJsonArray{4000000000.0, 4000000001.0}));
  const QJsonArray frames = doc.value("frames").toArray();
  ASSERT_EQ(static_cast<size_t>(frames.size()), c.report.frames.size());
  EXPECT_EQ(static_cast<uint32_t>(frames.last()["crc"].toDouble()), c.report.frames.back().crc32);
}

// Two channels recording at once share one stream, merged by time; with
// end-of-file marks no frame runs past a record file's size, without them
// the last frame of a file may.
TEST(CardsimFileLayout, StreamIsMergedByTimeAndEndsFilesAsAsked) {
  for (bool marks : {true, false}) {
    SCOPED_TRACE(marks ? "with end-of-file marks" : "without marks");
    const std::string options = std::string("{\"recordFileSize\": 30000, \"eofMarks\": ") +
                                (marks ? "true}" : "false}");
    Scenario sc = filevol::scenario(0, 2, options.c_str(), true);
    add(&sc, 0, kT0, kT0 + 8);
    add(&sc, 1, kT0 + 2, kT0 + 9);
    const Card c(sc);
    ASSERT_TRUE(c.ok) << c.error;
    ASSERT_GE(c.report.rotations, 3u);
    ASSERT_LT(c.report.rotations, 16u);  // no file written twice
    int switches = 0, lastVideo = 0;
    for (size_t i = 0; i < c.report.frames.size(); ++i) {
      const FileLayoutFrame &f = c.report.frames[i];
      if (i) {
        ASSERT_LE(c.report.frames[i - 1].timeMs, f.timeMs) << "frame " << i;
      }
      if (!f.video) continue;
      switches += f.channel != lastVideo;
      lastVideo = f.channel;
    }
    EXPECT_GT(switches, 50);
    int markedEnds = 0, longFiles = 0;
    for (uint32_t n = 0; n < c.report.rotations; ++n) {  // the files left behind
      const std::vector<uint8_t> rec = c.file(record(static_cast<int>(n)));
      longFiles += rec.size() > 30000;
      markedEnds += rec.size() >= 12 && crcOk(rec, rec.size() - 12, 12) &&
                    (le(rec, rec.size() - 12, 4) >> 27 & 1);
    }
    EXPECT_EQ(longFiles > 0, !marks);
    EXPECT_EQ(markedEnds > 0, marks);
  }
}

// Records drop out of a ring when it is full and when the record file their
// frames lie in is written over; what stays points at frames still there.
TEST(CardsimFileLayout, RingsKeepOnlyRecordsOfFramesStillOnTheCard) {
  const struct {
    const char *options;
    size_t fragments, iframes;  // records left; 0: as many as have live frames
  } cases[] = {
      {"{\"recordFileSize\": 20000, \"recordFiles\": 3}", 0, 0},
      {"{\"fragRingRecords\": 4, \"iframeRingRecords\": 8, \"iframeRingStart\": 5}", 3, 7},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.options);
    Scenario sc = filevol::scenario(1, 1, k.options, true);
    for (int i = 0; i < 6; ++i) add(&sc, 0, kT0 + 10 * i, kT0 + 10 * i + 4);
    const Card c(sc);
    ASSERT_TRUE(c.ok) << c.error;
    std::set<int> liveRecordings;
    size_t liveKeys = 0;
    for (const FileLayoutFrame &f : c.report.frames) {
      if (!f.live) continue;
      liveRecordings.insert(f.recording);
      liveKeys += f.key;
    }
    if (!k.fragments) {
      ASSERT_LT(liveRecordings.size(), 6u);  // files were written over
    }
    const std::vector<uint8_t> meta = c.file("index/meta_01.dt"), base = c.file("base.dt");
    const std::vector<uint8_t> frags = c.file("index/frag.dt"), iframes = c.file("index/iframe.dt");
    const uint64_t fragRing = le(base, 25, 4), iframeRing = le(base, 21, 4);

    std::vector<uint32_t> ids;
    for (uint64_t at = le(meta, 12, 4); at != le(meta, 16, 4) && ids.size() < 10; at = (at + 32) % fragRing)
      ids.push_back(static_cast<uint32_t>(le(frags, at, 4)));
    EXPECT_EQ(ids.size(), k.fragments ? k.fragments : liveRecordings.size());
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(ids.back(), 6u);
    EXPECT_EQ(ids.back() - ids.front() + 1, ids.size());

    size_t held = 0;
    int64_t last = 0;
    for (uint64_t at = le(meta, 4, 4); at != le(meta, 8, 4) && held < 100; at = (at + 15) % iframeRing) {
      SCOPED_TRACE("I-frame record at " + std::to_string(at));
      ASSERT_TRUE(crcOk(iframes, at, 15));
      const std::vector<uint8_t> rec = c.file(record(static_cast<int>(le(iframes, at + 1, 2))));
      const size_t offset = le(iframes, at + 3, 4);
      ASSERT_TRUE(crcOk(rec, offset, 12));
      EXPECT_EQ(le(rec, offset, 4) & 3, 3u);  // a video key frame
      EXPECT_EQ(time48(rec, offset + 4), time48(iframes, at + 7));
      EXPECT_GT(time48(iframes, at + 7), last);
      last = time48(iframes, at + 7);
      ++held;
    }
    EXPECT_EQ(held, k.iframes ? k.iframes : liveKeys);
    EXPECT_EQ(last, (kT0 + 53) * 1000);  // the newest key frame stays
  }
}

TEST(CardsimFileLayout, RefusesBadOptionsAndFramesThatCannotFit) {
  const struct {
    const char *options, *message;
  } cases[] = {
      {"{\"recordFile\": 1}", "file.recordFile: unknown option"},
      {"{\"recordFileSize\": 10}", "file.recordFileSize: expected a whole number from 64"},
      {"{\"recordFiles\": 4, \"firstRecordFile\": 4}", "file.firstRecordFile: must be below"},
      {"{\"fragRingRecords\": 4, \"fragRingStart\": 4}", "file.fragRingStart: must be below"},
      {"{\"metaSequence\": [1]}", "file.metaSequence: expected two numbers"},
      {"{\"deleted\": [-1]}", "file.deleted: every entry"},
      {"{\"faults\": {\"badMeta\": true}}", "file.faults.badMeta: unknown fault"},
      {"{\"faults\": {\"truncate\": {\"../outside\": 0}}}", "file.faults.truncate"},
      {"{\"faults\": {\"remove\": [\"/etc/passwd\"]}}", "file.faults.remove"},
      {"{\"recordFileSize\": 64}", "does not fit in a record file"},  // the first key frame is larger
  };
  for (const auto &k : cases) {
    Card c(twoRecordings(k.options));
    EXPECT_FALSE(c.ok) << k.options;
    EXPECT_NE(c.error.find(k.message), std::string::npos) << k.options << " gave: " << c.error;
  }
}
