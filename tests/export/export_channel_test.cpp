// The per-channel export routine on simulator cards of both layouts: the
// files hold exactly the span's frames, with silent filler where due, and
// the caller's lock is held exactly around the storage calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "media.h"
#include "qmx_export.h"
#include "qmx_muxer.h"
#include "simcard.h"

namespace {

const int64_t S0 = 1704429296;  // 2024-01-05 12:34:56 in UTC+8

// Records the callbacks and checks the lock discipline as it goes: the
// storage calls and the hand-over hooks run under the caller's lock, pauses never.
struct Recorder {
  int depth = 0, maxDepth = 0, pausesLocked = 0;
  int openedCalls = 0, openedOk = -1, openedType = -99, finishedCalls = 0;
  std::vector<std::string> debug;

  static Recorder *of(void *u) { return static_cast<Recorder *>(u); }
  qmx_export_hooks hooks() {
    qmx_export_hooks h = {};
    h.user = this;
    h.lock = [](void *u) { of(u)->maxDepth = std::max(of(u)->maxDepth, ++of(u)->depth); };
    h.unlock = [](void *u) { of(u)->depth--; };
    h.pause = [](void *u, int) { of(u)->pausesLocked += of(u)->depth != 0; };
    h.debug = [](void *u, const char *text, int, int64_t) { of(u)->debug.push_back(text); };
    h.opened = [](void *u, int ok, uint32_t, int type) {
      Recorder *r = of(u);
      r->openedCalls++, r->openedOk = ok, r->openedType = type;
      EXPECT_EQ(r->depth, 1);
    };
    h.finished = [](void *u, const char *) {
      of(u)->finishedCalls++;
      EXPECT_EQ(of(u)->depth, 1);
    };
    return h;
  }
  bool logged(const std::string &prefix) const {
    for (const std::string &d : debug)
      if (d.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
  }
};

class ExportChannelTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = makeTempDir("routine");
    std::string rec0 = "0," + std::to_string(S0) + "," + std::to_string(S0 + 12);
    std::string rec1 = "1," + std::to_string(S0) + "," + std::to_string(S0 + 12);
    // Key frames every 1.5 s, so that a span can start between two of them.
    std::vector<std::string> common = {"--channels", "2", "--size", "64x48", "--gop", "18",
                                       "--record", rec0, "--record", rec1};
    std::vector<std::string> raw = {"--layout", "raw", "--codec", "h264",
                                    "--manifest", dir + "/raw.json"};
    raw.insert(raw.end(), common.begin(), common.end());
    rawOk = makeSimCard(raw, dir + "/raw.img");
    // The same recordings in H.265 on a file-layout card with one channel, and
    // its raw twin for the frame list (the media generator is the same).
    std::vector<std::string> one = {"--channels", "1", "--size", "64x48", "--gop", "18",
                                    "--record", rec0, "--codec", "h265"};
    std::vector<std::string> file = {"--layout", "file"};
    file.insert(file.end(), one.begin(), one.end());
    fileOk = makeSimCard(file, dir + "/filecard");
    std::vector<std::string> twin = {"--layout", "raw", "--manifest", dir + "/twin.json"};
    twin.insert(twin.end(), one.begin(), one.end());
    fileOk = fileOk && makeSimCard(twin, dir + "/twin.img");
  }
  static void TearDownTestSuite() { removeTree(dir); }

  void SetUp() override {
    ASSERT_TRUE(rawOk);
    ASSERT_TRUE(fileOk);
    out = makeTempDir("routine-out");
  }
  void TearDown() override { removeTree(out); }

  qmx_export_request request(int layout, int channel, int64_t start, int64_t end) {
    qmx_export_request r = {};
    r.layout = layout;
    r.channel = channel;
    r.startTime = static_cast<uint64_t>(start);
    r.endTime = static_cast<uint64_t>(end);
    r.dir = out.c_str();
    r.videoType = 1;
    silent = encodeAdts(1)[0];
    r.silent = silent.data();
    r.silentSize = static_cast<uint32_t>(silent.size());
    return r;
  }

  static std::string dir;
  static bool rawOk, fileOk;
  std::string out;
  Bytes silent;
};

std::string ExportChannelTest::dir;
bool ExportChannelTest::rawOk = false;
bool ExportChannelTest::fileOk = false;

// Both layouts: the raw card's request codec is taken as is; the file card
// holds H.265 while the request says H.264, and the recording's codec wins.
// The spans start between key frames; the raw one ends so that a video frame
// falls exactly on (end + 1) s, which still belongs to the span.
TEST_F(ExportChannelTest, SpanHoldsExactlyItsFrames) {
  struct Case {
    int layout, channel;
    const char *card, *manifest;
    int64_t end;
    int codec;
    const char *name, *stopLog;
  } cases[] = {
      {1, 1, "/raw.img", "/raw.json", S0 + 5, QMX_CODEC_H264,
       "/20240105_123458-20240105_123502-channel1.mp4", "download stop pbFrameInfo.ts:"},
      {2, 0, "/filecard", "/twin.json", S0 + 6, QMX_CODEC_HEVC,
       nullptr, "download stop pbFrame.ts:"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.layout);
    ASSERT_TRUE(openSimCard(dir + c.card, c.layout));
    int64_t start = S0 + 2;
    ExpectedExport e = expectExport(readManifest(dir + c.manifest, c.channel),
                                    start * 1000, (c.end + 1) * 1000);
    EXPECT_GT(e.firstVideo, start * 1000);
    if (c.layout == 1) {
      EXPECT_EQ(e.lastVideo, (c.end + 1) * 1000);
    }
    Recorder rec;
    qmx_export_hooks hooks = rec.hooks();
    qmx_export_request r = request(c.layout, c.channel, start, c.end);
    char path[512];
    ASSERT_EQ(qmx_export_channel(&r, &hooks, path, sizeof path), 0);
    if (c.name) {
      EXPECT_EQ(std::string(path), out + c.name);
    }
    FileInfo info = readMp4(path);
    ASSERT_TRUE(info.ok);
    ASSERT_EQ(info.streams.size(), 2u);
    EXPECT_EQ(info.streams[0].codecId, c.codec);
    EXPECT_EQ(static_cast<int>(info.streams[0].pts.size()), e.video);
    // Every packet decodes: the file begins with a key frame and its parameter sets.
    EXPECT_EQ(info.streams[0].decodedFrames, e.video);
    EXPECT_EQ(static_cast<int>(info.streams[1].pts.size()), e.audio + e.silent);
    EXPECT_EQ(rec.maxDepth, 1);
    EXPECT_EQ(rec.depth, 0);
    EXPECT_EQ(rec.pausesLocked, 0);
    EXPECT_EQ(rec.openedOk, 1);
    EXPECT_EQ(rec.openedType, c.layout == 1 ? 1 : 0);
    EXPECT_EQ(rec.finishedCalls, 1);
    EXPECT_TRUE(rec.logged(c.stopLog));
    removeTree(out);
    out = makeTempDir("routine-out");
  }
}

// Running out of data finishes the file; no handle (after every recording,
// or a channel the card lacks) means no file at all.
TEST_F(ExportChannelTest, EndOfDataAndMissingHandle) {
  for (int layout : {1, 2}) {
    SCOPED_TRACE(layout);
    ASSERT_TRUE(openSimCard(layout == 1 ? dir + "/raw.img" : dir + "/filecard", layout));
    Recorder rec;
    qmx_export_hooks hooks = rec.hooks();
    qmx_export_request r = request(layout, 0, S0 + 9, S0 + 3600);
    char path[512];
    EXPECT_EQ(qmx_export_channel(&r, &hooks, path, sizeof path), 0);
    EXPECT_TRUE(rec.logged(layout == 1 ? "download qmx_storage_playbackFrameInfo fail"
                                       : "download qmx_storage_v2_playbackFrame fail"));
    FileInfo info = readMp4(path);
    ASSERT_TRUE(info.ok);
    EXPECT_GT(info.streams[0].pts.size(), 0u);
    removeTree(out);
    out = makeTempDir("routine-out");
    for (int channel : {0, 3}) {
      r = request(layout, channel, channel ? S0 : S0 + 86400, S0 + 86500);
      EXPECT_EQ(qmx_export_channel(&r, &hooks, path, sizeof path), -1);
      EXPECT_STREQ(path, "");
    }
    EXPECT_EQ(rec.openedCalls, 3);
    EXPECT_EQ(rec.openedOk, 0);
    EXPECT_EQ(rec.finishedCalls, 1);
    EXPECT_TRUE(rec.logged("download qmx_storage_playbackStart fail"));
    EXPECT_EQ(rec.depth, 0);
    EXPECT_TRUE(listFiles(out).empty());
  }
}

}  // namespace
