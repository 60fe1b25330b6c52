// cardtool export and dump, run as a program on a simulator card.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <string>
#include <vector>

#include "media.h"
#include "qmx_muxer.h"
#include "simcard.h"

namespace {

const int64_t S0 = 1704429296;  // 2024-01-05 12:34:56 in UTC+8

struct ToolRun {
  int code = -1;
  std::string out;
};

ToolRun cardtool(const std::string &args) {
  ToolRun r;
  std::string cmd = std::string(CARDTOOL_PATH) + " " + args + " 2>/dev/null";
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int status = pclose(p);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

std::string str(int64_t v) { return std::to_string(v); }

class CardtoolExportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = makeTempDir("cardtool");
    cardOk = makeSimCard({"--layout", "raw", "--codec", "h264", "--channels", "2", "--size",
                          "64x48", "--gop", "18", "--manifest", dir + "/m.json", "--record",
                          "0," + str(S0) + "," + str(S0 + 8), "--record",
                          "1," + str(S0) + "," + str(S0 + 8)},
                         dir + "/card.img");
  }
  static void TearDownTestSuite() { removeTree(dir); }
  void SetUp() override {
    ASSERT_TRUE(cardOk);
    out = dir + "/out" + std::to_string(++serial);
  }
  std::string span(int64_t start, int64_t end) {
    return dir + "/card.img --start " + str(start) + " --end " + str(end) + " --out " + out;
  }

  static std::string dir;
  static bool cardOk;
  static int serial;
  std::string out;
};

std::string CardtoolExportTest::dir;
bool CardtoolExportTest::cardOk = false;
int CardtoolExportTest::serial = 0;

TEST_F(CardtoolExportTest, JsonListsTheFinalFilesOfEveryChannel) {
  ToolRun r = cardtool("export " + span(S0 + 2, S0 + 4) + " --json");
  EXPECT_EQ(r.code, 0);
  QJsonParseError err;
  QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(r.out), &err);
  ASSERT_EQ(err.error, QJsonParseError::NoError) << r.out;
  QJsonArray files = doc.object().value("files").toArray();
  ASSERT_EQ(files.size(), 2) << r.out;
  std::string base = out + "/20240105_123458-20240105_123501-channel";
  EXPECT_EQ(files[0].toString().toStdString(), base + "0.mp4");
  EXPECT_EQ(files[1].toString().toStdString(), base + "1.mp4");
  for (int c = 0; c < 2; c++) {
    ExpectedExport e = expectExport(readManifest(dir + "/m.json", c), (S0 + 2) * 1000, (S0 + 5) * 1000);
    FileInfo info = readMp4(files[c].toString().toStdString());
    ASSERT_TRUE(info.ok);
    EXPECT_EQ(static_cast<int>(info.streams[0].pts.size()), e.video);
    EXPECT_EQ(info.streams[0].decodedFrames, e.video);
  }

  // One channel, in text mode: its path alone is printed last.
  r = cardtool("export " + span(S0 + 2, S0 + 4) + " --channel 1");
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find(base + "1(1).mp4\n"), std::string::npos) << r.out;
}

TEST_F(CardtoolExportTest, FailedExportsAndUsageErrors) {
  // Nothing recorded there: an empty list, still exit 0 with --json.
  ToolRun r = cardtool("export " + span(S0 + 3600, S0 + 3700) + " --json");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "{\"files\":[]}\n");
  EXPECT_EQ(cardtool("export " + span(S0 + 3600, S0 + 3700)).code, 1);

  for (const std::string &bad :
       {"export " + dir + "/card.img --start 5 --end 6",                   // no --out
        "export " + span(S0 + 4, S0 + 2),                                  // end before start
        "export " + span(S0, S0 + 1) + " --channel 4",                     // no such channel
        "export " + span(S0, S0 + 1) + " --frob",                          // unknown option
        "export --start 1 --end 2 --out " + out,                           // no card
        "dump " + span(S0, S0 + 1)}) {                                    // dump needs --channel
    SCOPED_TRACE(bad);
    r = cardtool(bad + " --json");
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(CardtoolExportTest, DumpWritesTheFramesUnchanged) {
  ToolRun r = cardtool("dump " + span(S0 + 2, S0 + 4) + " --channel 1 --json");
  EXPECT_EQ(r.code, 0);
  std::string base = out + "/20240105_123458-20240105_123500-channel1";
  EXPECT_EQ(r.out, "{\"files\":[\"" + base + ".h264\",\"" + base + ".aac\"]}\n");

  // The same frames the export takes, byte for byte: sizes add up exactly.
  std::vector<ManifestFrame> frames = readManifest(dir + "/m.json", 1);
  size_t i = 0;
  while (i < frames.size() && !(frames[i].key && frames[i].time >= (S0 + 2) * 1000)) i++;
  size_t video = 0, audio = 0;
  for (; i < frames.size() && frames[i].time <= (S0 + 5) * 1000; i++)
    (frames[i].video ? video : audio) += frames[i].size;
  std::string h264 = readFile(base + ".h264");
  EXPECT_EQ(h264.size(), video);
  EXPECT_EQ(readFile(base + ".aac").size(), audio);
}

}  // namespace
