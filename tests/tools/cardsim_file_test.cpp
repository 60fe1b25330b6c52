// The simulator's file-layout writer, on the rules that the readers in
// storage_file_sim_test take from its report rather than from the files:
// one stream merged by time, record files ended as asked, rings holding only
// records of frames still on the card.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "file_volume.h"
#include "file_writer.h"

namespace {

const int64_t kT0 = filevol::localTime(2026, 3, 10, 10, 0, 0);

uint64_t le(const std::vector<uint8_t> &b, size_t at, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n && at + i < b.size(); ++i) v |= static_cast<uint64_t>(b[at + i]) << (8 * i);
  return v;
}
bool crcOk(const std::vector<uint8_t> &b, size_t at, size_t size) {
  return at + size <= b.size() && filevol::crc16(&b[at], size - 2) == le(b, at + size - 2, 2);
}

// A simulated volume of H.264 in a directory of its own, removed with the
// object; recordings as {channel, start, end} in seconds after kT0.
struct Card {
  std::string dir = filevol::makeTempDir("card"), error;
  FileLayoutReport report;
  bool ok = false;
  Card(const char *options, const std::vector<std::vector<int>> &recordings) {
    Scenario sc = filevol::scenario(1, 2, options, true);
    for (const auto &r : recordings) filevol::add(&sc, r[0], kT0 + r[1], kT0 + r[2]);
    report.collectFrames = true;
    ok = !dir.empty() && writeFileLayout(sc, dir, &report, &error);
  }
  ~Card() { std::filesystem::remove_all(dir); }
  std::vector<uint8_t> file(const std::string &rel) const {
    std::vector<uint8_t> b;
    filevol::readFile(dir + "/storage/" + rel, &b);
    return b;
  }
  std::vector<uint8_t> record(uint64_t n) const {
    return file("record/rec_" + std::to_string(10000 + n).substr(1) + ".dt");  // four digits
  }
};

}  // namespace

// Two channels recording at once share one stream, merged by time; with
// end-of-file marks no frame runs past a record file's size, without them
// the last frame of a file may.
TEST(CardsimFileLayout, StreamIsMergedByTimeAndEndsFilesAsAsked) {
  for (const char *options : {R"({"recordFileSize": 30000, "eofMarks": true})",
                              R"({"recordFileSize": 30000, "eofMarks": false})"}) {
    SCOPED_TRACE(options);
    const bool marks = std::string(options).find("true") != std::string::npos;
    const Card c(options, {{0, 0, 8}, {1, 2, 9}});
    ASSERT_TRUE(c.ok) << c.error;
    ASSERT_TRUE(c.report.rotations >= 3u && c.report.rotations < 16u);  // no file written twice
    int switches = 0, lastVideo = 0;
    for (size_t i = 1; i < c.report.frames.size(); ++i) {
      const FileLayoutFrame &f = c.report.frames[i];
      ASSERT_LE(c.report.frames[i - 1].timeMs, f.timeMs) << "frame " << i;
      switches += f.video && f.channel != lastVideo;
      lastVideo = f.video ? f.channel : lastVideo;
    }
    EXPECT_GT(switches, 50);
    int markedEnds = 0, longFiles = 0;
    for (uint32_t n = 0; n < c.report.rotations; ++n) {  // the files left behind
      const std::vector<uint8_t> rec = c.record(n);
      longFiles += rec.size() > 30000;
      markedEnds += rec.size() >= 12 && crcOk(rec, rec.size() - 12, 12) && (le(rec, rec.size() - 12, 4) >> 27 & 1);
    }
    EXPECT_EQ(std::vector<bool>({longFiles > 0, markedEnds > 0}), std::vector<bool>({!marks, marks}));
  }
}

// Records drop out of a ring when it is full and when the record file their
// frames lie in is written over; what stays points at frames still there.
TEST(CardsimFileLayout, RingsKeepOnlyRecordsOfFramesStillOnTheCard) {
  const struct {
    const char *options;
    size_t fragments, iframes;  // records left; 0: as many as have live frames
  } cases[] = {
      {R"({"recordFileSize": 20000, "recordFiles": 3})", 0, 0},
      {R"({"fragRingRecords": 4, "iframeRingRecords": 8, "iframeRingStart": 5})", 3, 7},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.options);
    const Card c(k.options, {{0, 0, 4}, {0, 10, 14}, {0, 20, 24}, {0, 30, 34}, {0, 40, 44}, {0, 50, 54}});
    ASSERT_TRUE(c.ok) << c.error;
    std::set<int> liveRecordings;
    size_t liveKeys = 0;
    for (const FileLayoutFrame &f : c.report.frames) {
      if (f.live) liveRecordings.insert(f.recording);
      liveKeys += f.live && f.key;
    }
    ASSERT_TRUE(k.fragments || liveRecordings.size() < 6u);  // files were written over
    const std::vector<uint8_t> meta = c.file("index/meta_01.dt"), base = c.file("base.dt");
    const std::vector<uint8_t> frags = c.file("index/frag.dt"), iframes = c.file("index/iframe.dt");
    std::vector<uint32_t> ids;
    for (uint64_t at = le(meta, 12, 4); at != le(meta, 16, 4) && ids.size() < 10; at = (at + 32) % le(base, 25, 4))
      ids.push_back(static_cast<uint32_t>(le(frags, at, 4)));
    ASSERT_EQ(ids.size(), k.fragments ? k.fragments : liveRecordings.size());
    EXPECT_EQ(std::vector<uint32_t>({ids.back(), ids.back() - ids.front() + 1}),
              std::vector<uint32_t>({6, static_cast<uint32_t>(ids.size())}));
    size_t held = 0;
    int64_t last = 0;
    for (uint64_t at = le(meta, 4, 4); at != le(meta, 8, 4) && held < 100; at = (at + 15) % le(base, 21, 4), ++held) {
      SCOPED_TRACE("I-frame record at " + std::to_string(at));
      const std::vector<uint8_t> rec = c.record(le(iframes, at + 1, 2));
      const size_t offset = le(iframes, at + 3, 4);
      const int64_t time = static_cast<int64_t>(le(iframes, at + 7, 2) << 32 | le(iframes, at + 9, 4));
      ASSERT_TRUE(crcOk(iframes, at, 15) && crcOk(rec, offset, 12));
      EXPECT_EQ(le(rec, offset, 4) & 3, 3u);  // a video key frame of that time
      EXPECT_EQ(le(rec, offset + 4, 2) << 32 | le(rec, offset + 6, 4), static_cast<uint64_t>(time));
      EXPECT_GT(time, last);
      last = time;
    }
    EXPECT_EQ(held, k.iframes ? k.iframes : liveKeys);
    EXPECT_EQ(last, (kT0 + 53) * 1000);  // the newest key frame stays
  }
}
