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
  // "plain"; "gap": 3 s without anything; "sound_gap": channel 0 without
  // sound for 2 s; "back" / "forward": the recorder's clock set back 2 s
  // (a sound frame the first after it) / forward 16 s (a picture first).
  const char *shape;
  int channels;
};

const Case kCases[] = {
    {"raw_h265_5fps", "raw", "h265", 5, true, "plain", 1},
    {"file_h264_12fps_gap", "file", "h264", 12, true, "gap", 1},
    {"raw_h264_25fps_silent", "raw", "h264", 25, false, "plain", 1},
    {"file_h265_25fps_clock_forward", "file", "h265", 25, true, "forward", 1},
    {"raw_h265_12fps_sound_gap", "raw", "h265", 12, true, "sound_gap", 1},
    {"raw_h264_5fps_clock_back", "raw", "h264", 5, true, "back", 1},
    {"file_h264_12fps_two_channels_sound_gap", "file", "h264", 12, true, "sound_gap", 2},
};

// Its name, in ctest's list as in gtest's.
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

std::vector<std::string> recordings(const Case &c) {
  const std::string shape = c.shape;
  std::vector<std::string> r;
  for (int ch = 0; ch < c.channels; ch++) {
    std::string p = std::to_string(ch) + ",";
    if (shape == "gap")
      r.insert(r.end(), {"--record", p + str(T0) + "," + str(T0 + 4), "--record",
                         p + str(T0 + 7) + "," + str(T0 + 11)});
    else  // channel 1 starts a second later: its sound lies off channel 0's 64 ms grid
      r.insert(r.end(), {"--record", p + str(T0 + ch) + "," + str(T0 + 8)});
  }
  if (shape == "sound_gap") r.insert(r.end(), {"--sound-gap", "0," + str(T0 + 2) + "," + str(T0 + 4)});
  if (shape == "back") r.insert(r.end(), {"--clock-jump", "all," + str(T0 + 3) + ",-2000,30"});
  if (shape == "forward") r.insert(r.end(), {"--clock-jump", "all," + str(T0 + 3) + ",16000"});
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
  const std::string shape = c.shape;
  QJsonObject report = exportCard();
  ASSERT_EQ(report.value("status").toString(), "done") << report.value("error").toString().toStdString();
  const std::string file = report.value("file").toString().toStdString();
  Mp4 m = readMp4(file);
  ASSERT_TRUE(m.ok);

  // Picture times: the card's, relative to the first picture. Where the
  // clock breaks, at a picture or a sound frame, that frame follows the one
  // before it of its kind by the step between the two before, and the rest
  // (either kind) keeps its card distances from it.
  std::vector<int64_t> card, sound;
  std::vector<int64_t> jumps;
  int64_t offset = 0, longestSilence = 0;  // file time = card time + offset
  int64_t lastAt[2] = {-1, -1}, lastCard[2] = {0, 0}, step[2] = {64, 40};
  for (const CardFrame &f : cardFrames(this->card, 0, T0)) {
    // The file layout hands out every channel's sound: keep channel 0's.
    if (!f.video && (card.empty() || (c.channels > 1 && (f.ms - T0 * 1000) % 64 != 0))) continue;
    const int k = f.video ? 1 : 0;
    if (card.empty()) offset = -f.ms;
    int64_t at = f.ms + offset;
    if (lastAt[k] >= 0 && (at < lastAt[k] || at - lastAt[k] > 10000)) {
      jumps.insert(jumps.end(), {lastCard[k], f.ms});
      at = lastAt[k] + step[k];
      offset = at - f.ms;
    } else if (lastAt[k] >= 0 && at > lastAt[k]) {
      step[k] = at - lastAt[k];
    }
    lastAt[k] = at;
    lastCard[k] = f.ms;
    if (!f.video) {
      if (!sound.empty()) longestSilence = std::max(longestSilence, at - sound.back() - 64);
      sound.push_back(at);
      continue;
    }
    card.push_back(f.ms);
    ASSERT_LT(card.size(), m.video.packets.size() + 1u);
    ASSERT_NEAR(m.video.ms(m.video.packets[card.size() - 1].pts), at, 1.0) << "picture " << card.size() - 1;
  }
  ASSERT_EQ(m.video.packets.size(), card.size());
  std::vector<int64_t> steps;
  for (size_t i = 1; i < m.video.packets.size(); i++)
    steps.push_back(m.video.packets[i].pts - m.video.packets[i - 1].pts);
  std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
  EXPECT_NEAR(m.video.ms(steps[steps.size() / 2]), 1000.0 / c.fps, 1.0);

  // Sound: the card's at its times, silence filling the rest from the start,
  // never overlapping, no hole of a whole frame, as long as the picture
  // within one frame.
  const Packet &last = m.video.packets.back();
  double videoMs = m.video.ms(last.pts + last.duration);
  ASSERT_FALSE(m.audio.packets.empty());
  EXPECT_LT(m.audio.packets.front().pts, 1024);
  for (size_t i = 1; i < m.audio.packets.size(); i++) {
    ASSERT_GE(m.audio.packets[i].pts, m.audio.packets[i - 1].pts + 1024) << "audio " << i;
    ASSERT_LT(m.audio.packets[i].pts, m.audio.packets[i - 1].pts + 2048) << "audio " << i;
  }
  EXPECT_NEAR(m.audio.decodedSamples / 16.0, videoMs, 64.0);
  EXPECT_EQ(report.value("audioFrames").toInt() + report.value("silentFrames").toInt(),
            static_cast<int>(m.audio.packets.size()));
  EXPECT_EQ(report.value("audioFrames").toInt(), static_cast<int>(sound.size()));
  for (size_t i = 0, j = 0; i < sound.size(); i++) {
    while (j < m.audio.packets.size() && m.audio.ms(m.audio.packets[j].pts) < sound[i] - 1.0) j++;
    ASSERT_LT(j, m.audio.packets.size()) << "sound at " << sound[i];
    ASSERT_NEAR(m.audio.ms(m.audio.packets[j].pts), sound[i], 1.0) << "sound at " << sound[i];
  }
  EXPECT_EQ(sound.empty(), !c.audio);
  EXPECT_EQ(longestSilence > 1000, shape == "gap" || shape == "sound_gap") << longestSilence;

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
  std::vector<int64_t> listed;
  for (const QJsonValue &j : report.value("jumpList").toArray())
    listed.insert(listed.end(), {j["fromMs"].toVariant().toLongLong(), j["toMs"].toVariant().toLongLong()});
  EXPECT_EQ(listed, jumps);
  EXPECT_EQ(report.value("jumps").toInt(), shape == "back" || shape == "forward" ? 1 : 0);
  EXPECT_EQ(report.value("gaps").toInt(), shape == "gap" ? 1 : 0);
  EXPECT_EQ(report.value("timing").toString(), "card");
  const std::string base = file.substr(0, file.size() - 4);
  EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(readFile(base + ".json"))).object(),
            report);
  ToolRun sum = run("cd '" + dir + "/out' && sha256sum -c *.sha256 && sha256sum '" + file + "'");
  EXPECT_EQ(sum.code, 0) << sum.out << sum.err;
  EXPECT_NE(sum.out.find(report.value("sha256").toString().toStdString()), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Cards, ReadBack, ::testing::ValuesIn(kCases), ::testing::PrintToStringParamName());

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
                         ::testing::Values(kCases[1], kCases[2]), ::testing::PrintToStringParamName());

}  // namespace
