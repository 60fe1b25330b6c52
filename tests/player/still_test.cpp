// cardtool still against ffmpeg: the picture it writes for a frame's card
// time has the pixels ffmpeg decodes for that frame from an export of the
// same span.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cstdio>
#include <string>

#include "raw_manifest.h"
#include "support.h"

namespace {

const int64_t kStart = 1796090400;  // 2026-12-01 10:00:00 in UTC+8

std::string run(const std::string &command) {
  std::string out;
  FILE *p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  pclose(p);
  return out;
}

std::string rgbOf(const std::string &png) {
  return run("ffmpeg -v error -i '" + png + "' -f rawvideo -pix_fmt rgb24 -");
}

struct Case {
  const char *layout, *codec;
  int fps;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.layout << "_" << c.codec; }

class Still : public ::testing::TestWithParam<Case> {};

TEST_P(Still, SamePixelsAsFfmpegFromAnExport) {
  const Case c = GetParam();
  QTemporaryDir dir;
  const std::string at = dir.path().toStdString() + "/";
  const std::string card = at + (c.layout[0] == 'r' ? "card.img" : "card");
  ASSERT_TRUE(makeSimCard({"--layout", "raw", "--codec", c.codec, "--fps", std::to_string(c.fps),
                           "--size", "320x180", "--manifest", at + "m.json", "--record",
                           "0," + std::to_string(kStart) + "," + std::to_string(kStart + 6)},
                          at + "ref.img"));
  ASSERT_TRUE(makeSimCard({"--layout", c.layout, "--codec", c.codec, "--fps", std::to_string(c.fps),
                           "--size", "320x180", "--record",
                           "0," + std::to_string(kStart) + "," + std::to_string(kStart + 6)},
                          card));
  std::vector<int64_t> frames;
  for (const rawimg::ManifestFrame &f : rawimg::readManifest(at + "m.json").at(0).frames)
    if (f.video) frames.push_back(f.time);
  ASSERT_GT(frames.size(), 8u);
  const std::string tool = std::string(CARDTOOL_PATH) + " ";
  run(tool + "export " + card + " --start " + std::to_string(kStart) + " --end " +
      std::to_string(kStart + 2) + " --out " + at + "ex --json");
  const std::string mp4 = run("ls " + at + "ex/*.mp4 | head -1 | tr -d '\\n'");
  ASSERT_FALSE(mp4.empty()) << "the export made no file";

  // A P-frame six after the I-frame, asked for exactly and 10 ms after it.
  for (int64_t extra : {0, 10}) {
    run("ffmpeg -v error -y -i " + mp4 + " -vf 'select=eq(n\\,6)' -frames:v 1 -pix_fmt rgb24"
        " -sws_flags bicubic+accurate_rnd+full_chroma_int " + at + "ref.png");
    const std::string json = run(tool + "still " + card + " --channel 0 --time " +
                                 std::to_string(frames[6] + extra) + " --out " + at +
                                 "still.png --json 2>/dev/null");
    EXPECT_NE(json.find("\"time\":" + std::to_string(frames[6])), std::string::npos) << json;
    const std::string expected = rgbOf(at + "ref.png");
    ASSERT_EQ(expected.size(), 320u * 180u * 3u);
    EXPECT_TRUE(rgbOf(at + "still.png") == expected) << "the pixels differ";
  }
  // Before the first recording there is no picture.
  const std::string none = run(tool + "still " + card + " --time " + std::to_string(kStart * 1000 - 1) +
                               " --out " + at + "none.png --json 2>/dev/null");
  EXPECT_NE(none.find("\"ok\":false"), std::string::npos) << none;
}

INSTANTIATE_TEST_SUITE_P(Cards, Still,
                         ::testing::Values(Case{"raw", "h265", 12}, Case{"file", "h264", 25},
                                           Case{"file", "h265", 5}),
                         ::testing::PrintToStringParamName());

}  // namespace
