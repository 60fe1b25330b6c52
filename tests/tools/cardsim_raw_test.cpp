// The simulator itself: the scenarios and options it refuses and the media it
// stores. The readers in storage_*_sim_test show that its cards are right,
// cardtool_test its command line, times and faults.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "file_writer.h"
#include "media.h"
#include "raw_writer.h"
#include "scenario.h"

namespace {

Scenario parseOrDie(const std::string &json) {
  Scenario s;
  std::string err;
  EXPECT_TRUE(parseScenario(QByteArray::fromStdString(json), &s, &err)) << err << "\n" << json;
  return s;
}

// NAL unit types of a start-code access unit: the parameter sets (SPS and
// PPS, plus VPS for H.265) and an IDR slice are all there.
bool carriesParameterSets(const std::vector<uint8_t> &d, int codec) {
  std::set<int> s;
  for (size_t i = 0; i + 3 < d.size(); ++i)
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) s.insert(codec == 1 ? (d[i + 3] & 0x1F) : ((d[i + 3] >> 1) & 0x3F));
  if (codec == 1) return s.count(7) && s.count(8) && s.count(5);
  return s.count(32) && s.count(33) && s.count(34) && (s.count(19) || s.count(20));
}

// An ADTS header of a 16 kHz mono AAC-LC frame whose length is the frame's.
bool isAdts16kMono(const std::vector<uint8_t> &d) {
  if (d.size() < 8 || d[0] != 0xFF || (d[1] & 0xF6) != 0xF0) return false;
  const size_t len = ((d[3] & 3) << 11) | (d[4] << 3) | (d[5] >> 5);
  return d[2] >> 6 == 1 && ((d[2] >> 2) & 0xF) == 8 && (((d[2] & 1) << 2) | (d[3] >> 6)) == 1 && len == d.size();
}

}  // namespace

// Scenarios and layout options that cannot make a card: refused, by the
// scenario reader or by the layout's writer, with a message that says why.
TEST(Cardsim, RefusesWhatCannotBeWritten) {
  const std::string rec = R"("recordings":[{"start":1796090400,"end":1796090460}],)";
  const struct {
    std::string json;
    const char *message;
  } cases[] = {
      {"{", "not valid JSON"},
      {R"({"layout":"disk"})", "\"layout\" must be \"raw\" or \"file\""},
      {R"({"layout":"raw","channels":5})", "\"channels\" must be a whole number from 1 to 4"},
      {R"({"layout":"raw","colour":1})", "unknown field \"colour\""},
      {R"({"layout":"raw","recordings":[{"channel":1,"start":1,"end":2}]})", "recording 0: \"channel\""},
      {R"({"layout":"raw","recordings":[{"start":5}]})", "\"start\" and \"end\" are required"},
      {R"({"layout":"raw","recordings":[{"start":5,"end":5}]})", "\"end\" must be after \"start\""},
      {R"({"layout":"raw","recordings":[{"start":"2026-02-30 00:00:00","end":5}]})",
       "\"start\": '2026-02-30 00:00:00' is not a date"},
      {R"({"layout":"raw","recordings":[{"start":-1,"end":5}]})", "\"start\": '-1' is not a time from 1970"},
      {R"({"layout":"raw","recordings":[{"start":0,"end":10},{"start":5,"end":20}]})", "overlap"},
      {R"({"layout":"raw","recordings":[{"start":0,"end":10,"open":true},{"start":20,"end":30}]})",
       "only the newest recording may be open"},
      {R"({"layout":"raw",)" + rec + R"("raw":{"frameAreaSize":65536}})", "do not fit into its frame ring"},
      {R"({"layout":"raw",)" + rec + R"("raw":{"frameAreaSize":100000}})", "multiple of 4096"},
      {R"({"layout":"raw",)" + rec + R"("raw":{"ringStart":67108864}})", "inside the frame area"},
      {R"({"layout":"raw","recordings":[{"start":1796090400,"end":1796090460},{"start":1796090500,"end":1796090510}],
          "raw":{"fragmentListSlots":1,"fragmentsPerList":1}})", "raise \"fragmentListSlots\""},
      {R"({"layout":"file",)" + rec + R"("file":{"recordFiles":4,"firstRecordFile":4}})", "file.firstRecordFile: must be below"},
      {R"({"layout":"file",)" + rec + R"("file":{"faults":{"truncate":{"../outside":0}}}})", "file.faults.truncate"},
      {R"({"layout":"file",)" + rec + R"("file":{"faults":{"remove":["/etc/passwd"]}}})", "file.faults.remove"},
      {R"({"layout":"file",)" + rec + R"("file":{"recordFileSize":64}})", "does not fit in a record file"},
      {R"({"layout":"raw","soundGaps":[{"from":9,"to":8}]})", "soundGaps 0: \"to\" must be after \"from\""},
      {R"({"layout":"raw","clockJumps":[{"at":9,"byMs":0.5}]})", "clockJumps 0: \"byMs\" must be a whole number"},
      {R"({"layout":"raw",)" + rec + R"("clockJumps":[{"at":1796090430,"byMs":-1796090431000}]})", "out of 1970 to 2100"},
  };
  const std::string path = ::testing::TempDir() + "/cardsim_refused_" + std::to_string(getpid());
  for (const auto &c : cases) {
    Scenario s;
    std::string err;
    if (parseScenario(QByteArray::fromStdString(c.json), &s, &err)) {
      s.media = "synthetic";
      EXPECT_FALSE(s.layout == "raw" ? writeRawCard(s, path + ".img", "", nullptr, &err)
                                     : writeFileLayout(s, path, &err)) << c.json;
    }
    EXPECT_NE(err.find(c.message), std::string::npos) << c.json << " gave: " << err;
  }
  std::filesystem::remove_all(path);
  std::filesystem::remove(path + ".img");
  // Recordings that only touch do not overlap.
  parseOrDie(R"({"layout":"raw","recordings":[{"start":0,"end":10},{"start":10,"end":20}]})");
}

// Video every 1000/fps ms with a key frame (carrying its parameter sets)
// every gop frames, sound every 64 ms, in time order; synthetic frames have
// the same times and kinds as encoded ones. That the encoded ones decode is
// shown by the export tests, which decode what they export from cardsim's
// cards.
TEST(CardsimMedia, FramesComeAtTheirTimesAndSyntheticOnesMatchTheirKinds) {
  for (const int codec : {0, 1}) {
    SCOPED_TRACE(codec ? "H.264" : "H.265");
    const std::string base = std::string(R"({"layout":"raw","width":96,"height":64,"fps":12,"gop":6,"codec":)") +
                             (codec ? R"("h264")" : R"("h265")");
    Recording r;
    r.start = 1796090400;  // 2026-12-01 10:00:00 local (UTC+8)
    r.end = r.start + 2;
    std::vector<StoredFrame> enc, syn;
    std::string err;
    for (auto *out : {&enc, &syn})
      ASSERT_TRUE(generateRecording(parseOrDie(base + (out == &syn ? R"(,"media":"synthetic"})" : "}")), r,
                                    [&](const StoredFrame &f) { return out->push_back(f), true; }, &err)) << err;
    ASSERT_EQ(syn.size(), enc.size());
    int64_t counts[2] = {0, 0};  // sound, video
    for (size_t i = 0; i < enc.size(); ++i) {
      SCOPED_TRACE("frame " + std::to_string(i));
      const StoredFrame &e = enc[i], &s = syn[i];
      const int64_t n = counts[e.video]++;
      EXPECT_EQ(e.timeMs, r.start * 1000 + (e.video ? n * 1000 / 12 : n * 64));
      EXPECT_EQ(e.key, e.video && n % 6 == 0);
      EXPECT_EQ(std::vector<int64_t>({s.video, s.key, s.timeMs}), std::vector<int64_t>({e.video, e.key, e.timeMs}));
      for (const StoredFrame *f : {&e, &s})
        EXPECT_TRUE(f->video ? carriesParameterSets(f->data, codec) == f->key : isAdts16kMono(f->data));
    }
    EXPECT_EQ(std::vector<int64_t>({counts[1], counts[0]}), std::vector<int64_t>({24, 32}));  // up to the end
  }
}
