// cardtool export of simulator cards, read back: the file's timing follows
// the card's time stamps, the sound covers the picture without overlap, key
// frames are marked exactly, the picture size and sample entry are right,
// the index comes first, and the report and checksum describe the file.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cmath>

#include "support.h"

namespace {

const int64_t T0 = 1764554400;  // 2025-12-01 10:00:00 in UTC+8

std::string str(int64_t v) { return std::to_string(v); }

struct Case {
  const char *name;
  const char *layout, *codec;
  int fps;
  bool audio;
  const char *shape;  // "plain", "gap" (3 s without anything) or "jump" (16 s forward)
  int channels;
};

const Case kCases[] = {
    {"raw_h265_5fps", "raw", "h265", 5, true, "plain", 1},
    {"file_h264_12fps_gap", "file", "h264", 12, true, "gap", 1},
    {"raw_h264_25fps_silent", "raw", "h264", 25, false, "plain", 1},
    {"file_h265_25fps_jump", "file", "h265", 25, true, "jump", 1},
    {"raw_h265_12fps_silent_gap", "raw", "h265", 12, false, "gap", 1},
    {"raw_h264_5fps_jump", "raw", "h264", 5, true, "jump", 1},
    {"file_h264_12fps_two_channels", "file", "h264", 12, true, "plain", 2},
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

std::vector<std::string> recordings(const Case &c) {
  std::vector<std::string> r;
  for (int ch = 0; ch < c.channels; ch++) {
    std::string p = std::to_string(ch) + ",";
    if (std::string(c.shape) == "plain") {
      r.insert(r.end(), {"--record", p + str(T0) + "," + str(T0 + 6)});
    } else {
      int64_t second = std::string(c.shape) == "gap" ? 7 : 20;
      r.insert(r.end(), {"--record", p + str(T0) + "," + str(T0 + 4), "--record",
                         p + str(T0 + second) + "," + str(T0 + second + 4)});
    }
  }
  return r;
}

class ReadBack : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    dir = makeTempDir("readback");
    const Case &c = GetParam();
    std::vector<std::string> args = {"--layout", c.layout, "--codec", c.codec, "--fps",
                                     str(c.fps), "--gop", "7", "--size", "96x64",
                                     "--channels", str(c.channels)};
    if (!c.audio) args.push_back("--no-audio");
    std::vector<std::string> recs = recordings(c);
    args.insert(args.end(), recs.begin(), recs.end());
    card = dir + (std::string(c.layout) == "raw" ? "/card.img" : "/card");
    ASSERT_TRUE(makeSimCard(args, card));
  }
  void TearDown() override { removeTree(dir); }

  // Exports channel 0 of the whole card and returns the report.
  QJsonObject exportCard(const std::string &extra = "") {
    ToolRun r = run(CARDTOOL + " export '" + card + "' --channel 0 --start " + str(T0) +
                    " --end " + str(T0 + 30) + " --out '" + dir + "/out' --json " + extra);
    EXPECT_EQ(r.code, 0) << r.err;
    QJsonArray reports =
        QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).object().value("reports").toArray();
    EXPECT_EQ(reports.size(), 1);
    return reports.at(0).toObject();
  }

  std::string dir, card;
};

TEST_P(ReadBack, FollowsTheCardAndPlaysAnywhere) {
  const Case &c = GetParam();
  QJsonObject report = exportCard();
  ASSERT_EQ(report.value("status").toString(), "done") << report.value("error").toString().toStdString();
  const std::string file = report.value("file").toString().toStdString();
  Mp4 m = readMp4(file);
  ASSERT_TRUE(m.ok);

  // Picture times: the card's, relative to the first picture; a jump is
  // bridged by one frame's duration and the rest keeps its distances.
  std::vector<int64_t> card;
  for (const CardFrame &f : cardFrames(this->card, 0, T0)) {
    if (f.video) card.push_back(f.ms);
  }
  ASSERT_EQ(m.video.packets.size(), card.size());
  int64_t expected = 0;
  for (size_t i = 0; i < card.size(); i++) {
    if (i > 0) {
      int64_t d = card[i] - card[i - 1];
      expected += (d < 0 || d > 10000) ? card[i - 1] - card[i - 2] : d;
    }
    ASSERT_NEAR(m.video.ms(m.video.packets[i].pts), expected, 1.0) << "picture " << i;
  }
  std::vector<int64_t> steps;
  for (size_t i = 1; i < m.video.packets.size(); i++)
    steps.push_back(m.video.packets[i].pts - m.video.packets[i - 1].pts);
  std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
  EXPECT_NEAR(m.video.ms(steps[steps.size() / 2]), 1000.0 / c.fps, 1.0);

  // Sound: never overlapping, and as long as the picture within one frame.
  const Packet &last = m.video.packets.back();
  double videoMs = m.video.ms(last.pts + last.duration);
  for (size_t i = 1; i < m.audio.packets.size(); i++)
    ASSERT_GE(m.audio.packets[i].pts, m.audio.packets[i - 1].pts + 1024) << "audio " << i;
  EXPECT_NEAR(m.audio.decodedSamples / 16.0, videoMs, 64.0);
  EXPECT_EQ(report.value("audioFrames").toInt() + report.value("silentFrames").toInt(),
            static_cast<int>(m.audio.packets.size()));
  EXPECT_EQ(report.value("audioFrames").toInt() == 0, !c.audio);

  // Key frames: exactly the pictures the decoder finds to be key frames.
  std::vector<int64_t> marked;
  for (const Packet &p : m.video.packets)
    if (p.key) marked.push_back(p.pts);
  EXPECT_EQ(marked, m.video.decodedKeys);
  EXPECT_GT(marked.size(), 1u);
  EXPECT_LT(marked.size(), m.video.packets.size());

  EXPECT_EQ(m.video.width, 96);
  EXPECT_EQ(m.video.height, 64);
  EXPECT_EQ(m.video.tag, std::string(c.codec) == "h265" ? "hvc1" : "avc1");
  ASSERT_GE(m.moovAt, 0);
  EXPECT_LT(m.moovAt, m.mdatAt);
  EXPECT_FALSE(m.fragmented);

  // The report and the checksum describe the file.
  EXPECT_EQ(report.value("videoFrames").toInt(), static_cast<int>(card.size()));
  EXPECT_EQ(report.value("firstFrameMs").toDouble(), card.front());
  EXPECT_EQ(report.value("jumps").toInt(), std::string(c.shape) == "jump" ? 1 : 0);
  EXPECT_EQ(report.value("gaps").toInt(), std::string(c.shape) == "gap" ? 1 : 0);
  EXPECT_EQ(report.value("timing").toString(), "card");
  const std::string base = file.substr(0, file.size() - 4);
  EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(readFile(base + ".json"))).object(),
            report);
  ToolRun sum = run("cd '" + dir + "/out' && sha256sum -c *.sha256 && sha256sum '" + file + "'");
  EXPECT_EQ(sum.code, 0) << sum.out << sum.err;
  EXPECT_NE(sum.out.find(report.value("sha256").toString().toStdString()), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Cards, ReadBack, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case> &i) { return i.param.name; });

class ReadBackNominal : public ReadBack {};

// The fixed steps: 7499 ticks of 1/90000 s a picture, and each sound frame
// (card or silent) one packet of 1024 samples right after the one before.
TEST_P(ReadBackNominal, FixedSteps) {
  QJsonObject report = exportCard("--timing nominal");
  EXPECT_EQ(report.value("timing").toString(), "nominal");
  Mp4 m = readMp4(report.value("file").toString().toStdString());
  ASSERT_TRUE(m.ok);
  ASSERT_EQ(m.video.tbDen, 90000);
  for (size_t i = 0; i < m.video.packets.size(); i++)
    ASSERT_EQ(m.video.packets[i].pts, static_cast<int64_t>(i * 83333 * 90 / 1000)) << i;
  ASSERT_EQ(m.audio.tbDen, 16000);
  ASSERT_FALSE(m.audio.packets.empty());
  for (size_t i = 0; i < m.audio.packets.size(); i++) {
    ASSERT_EQ(m.audio.packets[i].pts, static_cast<int64_t>(i) * 1024) << i;
    ASSERT_EQ(m.audio.packets[i].duration, 1024) << i;
  }
  EXPECT_EQ(m.audio.decodedSamples, static_cast<int64_t>(m.audio.packets.size()) * 1024);
}

INSTANTIATE_TEST_SUITE_P(Cards, ReadBackNominal,
                         ::testing::Values(kCases[1], kCases[2]),
                         [](const ::testing::TestParamInfo<Case> &i) { return i.param.name; });

}  // namespace
