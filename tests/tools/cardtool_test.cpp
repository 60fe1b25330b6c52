// cardtool end to end: simulator cards of both layouts, read through the
// command line as a script would, JSON parsed with a real JSON reader.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_io.h"

namespace {

struct Result {
  int status = -1;
  std::string out, err;
};

// Runs a shell command line, capturing standard output and error apart.
Result run(const std::string &cmd) {
  static int serial = 0;
  std::string base = "/tmp/cardtool_test_" + std::to_string(getpid()) + "_" + std::to_string(serial++);
  std::string full = cmd + " >" + base + ".out 2>" + base + ".err";
  Result r;
  int st = system(full.c_str());
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  auto slurp = [](const std::string &p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  };
  r.out = slurp(base + ".out");
  r.err = slurp(base + ".err");
  unlink((base + ".out").c_str());
  unlink((base + ".err").c_str());
  return r;
}

// Exactly one JSON object on standard output, nothing else.
QJsonObject oneObject(const Result &r) {
  QJsonParseError e;
  QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(r.out), &e);
  EXPECT_EQ(e.error, QJsonParseError::NoError) << r.out;
  EXPECT_TRUE(doc.isObject()) << r.out;
  size_t newline = r.out.find('\n');
  EXPECT_EQ(newline, r.out.size() - 1) << "more than one line: " << r.out;
  return doc.object();
}

const std::string kTool = CARDTOOL_PATH;
const std::string kSim = CARDSIM_PATH;

// Local times are in the tests' fixed zone (TZ=CST-8, UTC+8).
using testio::localTime;

class CardtoolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("TZ", "CST-8", 1);
    tzset();
    char tmpl[] = "/tmp/cardtoolXXXXXX";
    dir_ = mkdtemp(tmpl);
    // Two channels of H.265 on the raw layout; channel 0 has a recording at
    // 10:00 and one across midnight that is still open.
    Result r = run(kSim + " --layout raw --codec h265 --channels 2 --size 64x48 --out " + raw() +
                   " --record '0,2026-12-01 10:00:00,2026-12-01 10:00:06,1'" +
                   " --record '1,2026-12-01 10:00:02,2026-12-01 10:00:05,2'" +
                   " --record '0,2026-12-01 23:59:57,2026-12-02 00:00:04,3,open'");
    if (r.status != 0) setupError_ = r.err;
    r = run(kSim + " --layout file --codec h264 --channels 1 --size 64x48 --out " + vol() +
            " --record '0,2026-12-03 08:00:00,2026-12-03 08:00:05,4'");
    if (r.status != 0) setupError_ += r.err;
  }
  // A failed fixture fails each test (a failure in SetUpTestSuite would only
  // mark the tests skipped).
  void SetUp() override { ASSERT_EQ(setupError_, "") << "cardsim could not make the cards"; }
  static void TearDownTestSuite() { run("rm -rf " + dir_); }
  static std::string raw() { return dir_ + "/raw.img"; }
  static std::string vol() { return dir_ + "/vol"; }
  static std::string dir_;
  static std::string setupError_;
};
std::string CardtoolTest::dir_;
std::string CardtoolTest::setupError_;

TEST_F(CardtoolTest, HelpAndUsageErrors) {
  Result r = run(kTool + " --help");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Usage: cardtool COMMAND"), std::string::npos);
  for (const char *cmd : {"devices", "info", "month", "day", "frames", "export", "dump"}) {
    r = run(kTool + " " + cmd + " --help");
    EXPECT_EQ(r.status, 0) << cmd;
    EXPECT_NE(r.out.find(std::string("cardtool ") + cmd), std::string::npos) << cmd;
  }
  // Wrong command lines exit 2 with a message on standard error and no JSON.
  for (const std::string &args : std::vector<std::string>{"nosuch", "info", "month " + raw() + " --start 1 --json",
        "day " + raw() + " --start x --end 2 --json", "info " + raw() + " --bogus",
        "frames " + raw() + " --start 5 --channel -1 --json", "info " + raw() + " --layout disk"}) {
    r = run(kTool + " " + args);
    EXPECT_NE(r.status, 0) << args;
    EXPECT_EQ(r.out, "") << args;
    EXPECT_NE(r.err, "") << args;
  }
  EXPECT_EQ(run(kTool + " month " + raw() + " --start 1 --json").status, 2);
}

TEST_F(CardtoolTest, InfoOnBothLayouts) {
  QJsonObject o = oneObject(run(kTool + " info " + raw() + " --json"));
  EXPECT_EQ(o["layout"].toString(), "raw");
  EXPECT_TRUE(o["loaded"].toBool());
  EXPECT_EQ(o["channels"].toInt(), 2);
  EXPECT_EQ(o["videoType"].toInt(), 0);
  // The open recording ends at its last I-frame (one a second at 12 fps, gop 12).
  EXPECT_EQ(o["validTime"].toObject()["start"].toVariant().toLongLong(), localTime(2026, 12, 1, 10, 0, 0));
  EXPECT_EQ(o["validTime"].toObject()["end"].toVariant().toLongLong(), localTime(2026, 12, 2, 0, 0, 3));

  o = oneObject(run(kTool + " info " + vol() + " --json"));
  EXPECT_EQ(o["layout"].toString(), "file");
  EXPECT_TRUE(o["loaded"].toBool());
  EXPECT_EQ(o["channels"].toInt(), 1);
  EXPECT_EQ(o["videoType"].toInt(), 1);
  EXPECT_EQ(o["validTime"].toObject()["start"].toVariant().toLongLong(), localTime(2026, 12, 3, 8, 0, 0));

  // The readable form carries the load report and local times.
  Result r = run(kTool + " info " + raw());
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("card info:\ntotal: "), std::string::npos);
  EXPECT_NE(r.out.find("2026-12-01 10:00:00 to 2026-12-02 00:00:03"), std::string::npos) << r.out;
}

TEST_F(CardtoolTest, NotACardStillAnswersWithOneObject) {
  std::string junk = dir_ + "/zeros.img";
  run("truncate -s 120M " + junk);
  Result r = run(kTool + " info " + junk + " --json");
  EXPECT_EQ(r.status, 0);
  QJsonObject o = oneObject(r);
  EXPECT_FALSE(o["loaded"].toBool());
  EXPECT_TRUE(o["validTime"].isNull());
  // The library's complaint went to standard error.
  EXPECT_NE(r.err.find("not proper card."), std::string::npos) << r.err;

  o = oneObject(run(kTool + " day " + junk + " --start 0 --end 86400 --json"));
  EXPECT_TRUE(o["fragments"].isNull());
  o = oneObject(run(kTool + " frames " + junk + " --start 0 --json"));
  EXPECT_FALSE(o["ok"].toBool());
  EXPECT_EQ(o["frames"].toArray().size(), 0);

  // A path that does not exist is no card at all.
  r = run(kTool + " info " + dir_ + "/missing.img --json");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("missing.img"), std::string::npos);
}

TEST_F(CardtoolTest, MonthAndDayQueries) {
  int64_t dec1 = localTime(2026, 12, 1, 0, 0, 0);
  int64_t jan1 = localTime(2027, 1, 1, 0, 0, 0);
  QJsonObject o = oneObject(run(kTool + " month " + raw() + " --start " + std::to_string(dec1) +
                                " --end " + std::to_string(jan1) + " --json"));
  EXPECT_EQ(o["mask"].toInt(), 0x3);  // the 1st, and the 2nd through midnight
  o = oneObject(run(kTool + " month " + raw() + " --channel 1 --start " + std::to_string(dec1) +
                    " --end " + std::to_string(jan1) + " --json"));
  EXPECT_EQ(o["mask"].toInt(), 0x1);
  o = oneObject(run(kTool + " month " + vol() + " --start " + std::to_string(dec1) + " --end " +
                    std::to_string(jan1) + " --json"));
  EXPECT_EQ(o["mask"].toInt(), 0x4);

  // The day of the 1st lists both fragments of channel 0: the one across
  // midnight is the last, and ends at its last I-frame.
  QJsonArray list = oneObject(run(kTool + " day " + raw() + " --start " + std::to_string(dec1) +
                                  " --end " + std::to_string(dec1 + 86400) + " --json"))["fragments"]
                        .toArray();
  ASSERT_EQ(list.size(), 2);
  EXPECT_EQ(list[0].toObject()["type"].toInt(), 1);
  EXPECT_EQ(list[0].toObject()["start"].toVariant().toLongLong(), localTime(2026, 12, 1, 10, 0, 0));
  EXPECT_EQ(list[0].toObject()["end"].toVariant().toLongLong(), localTime(2026, 12, 1, 10, 0, 6));
  EXPECT_EQ(list[1].toObject()["type"].toInt(), 3);
  EXPECT_EQ(list[1].toObject()["end"].toVariant().toLongLong(), localTime(2026, 12, 2, 0, 0, 3));

  // The readable form shows local times.
  Result r = run(kTool + " day " + raw() + " --start " + std::to_string(dec1) + " --end " +
                 std::to_string(dec1 + 86400));
  EXPECT_NE(r.out.find("2026-12-01 23:59:57"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("2 fragments"), std::string::npos);
}

TEST_F(CardtoolTest, FramesFromAStartAndASeek) {
  int64_t start = localTime(2026, 12, 1, 10, 0, 0);
  QJsonObject o = oneObject(run(kTool + " frames " + raw() + " --start " + std::to_string(start) +
                                " --limit 40 --json"));
  EXPECT_TRUE(o["ok"].toBool());
  EXPECT_TRUE(o["codec"].isNull());
  QJsonArray frames = o["frames"].toArray();
  ASSERT_EQ(frames.size(), 40);
  EXPECT_EQ(frames[0].toObject()["kind"].toInt(), 1);
  EXPECT_EQ(frames[0].toObject()["ts"].toVariant().toLongLong(), start * 1000);
  int64_t prev = 0;
  int video = 0, audio = 0;
  for (const auto &f : frames) {
    int64_t ts = f.toObject()["ts"].toVariant().toLongLong();
    EXPECT_GE(ts, prev);
    prev = ts;
    EXPECT_GT(f.toObject()["size"].toInt(), 0);
    (f.toObject()["kind"].toInt() == 1 ? video : audio)++;
  }
  EXPECT_GT(video, 10);
  EXPECT_GT(audio, 10);

  // Reading to the end stops at the last I-frame of the card.
  frames = oneObject(run(kTool + " frames " + raw() + " --start " + std::to_string(start) + " --json"))
               ["frames"].toArray();
  ASSERT_FALSE(frames.isEmpty());
  EXPECT_EQ(frames.last().toObject()["ts"].toVariant().toLongLong() / 1000, localTime(2026, 12, 2, 0, 0, 3));

  // A seek of 2.5 s lands on the I-frame of second 3.
  frames = oneObject(run(kTool + " frames " + raw() + " --start " + std::to_string(start) +
                         " --seek 2500 --limit 1 --json"))["frames"].toArray();
  ASSERT_EQ(frames.size(), 1);
  EXPECT_EQ(frames[0].toObject()["ts"].toVariant().toLongLong(), (start + 3) * 1000);

  // The file layout reports the codec detected on the first frame.
  int64_t fstart = localTime(2026, 12, 3, 8, 0, 0);
  o = oneObject(run(kTool + " frames " + vol() + " --start " + std::to_string(fstart) + " --json"));
  EXPECT_TRUE(o["ok"].toBool());
  EXPECT_EQ(o["codec"].toInt(), 1);
  frames = o["frames"].toArray();
  ASSERT_GT(frames.size(), 60);
  EXPECT_EQ(frames[0].toObject()["kind"].toInt(), 1);

  // Channel 1 of the raw card starts on its own recording.
  frames = oneObject(run(kTool + " frames " + raw() + " --channel 1 --start " + std::to_string(start) +
                         " --limit 1 --json"))["frames"].toArray();
  ASSERT_EQ(frames.size(), 1);
  EXPECT_EQ(frames[0].toObject()["ts"].toVariant().toLongLong(), (start + 2) * 1000);
}

TEST_F(CardtoolTest, DevicesListsAttachedCardsAsThePlayerWould) {
  QJsonObject o = oneObject(run(kTool + " devices --card " + raw() + " --card " + vol() + " --json"));
  int listedRaw = 0, listedFile = 0;
  for (const auto &v : o["devices"].toArray()) {
    QJsonObject d = v.toObject();
    if (!d["listed"].toBool()) continue;
    if (d["name"].toString().toStdString() == raw()) {
      EXPECT_EQ(d["layout"].toString(), "raw");
      listedRaw++;
    }
    if (d["name"].toString().toStdString() == vol()) {
      EXPECT_EQ(d["layout"].toString(), "file");
      listedFile++;
    }
  }
  EXPECT_EQ(listedRaw, 1);
  EXPECT_EQ(listedFile, 1);
}

TEST_F(CardtoolTest, TheCardIsNeverWritten) {
  struct stat before, after;
  ASSERT_EQ(stat(raw().c_str(), &before), 0);
  uint32_t crc = testio::fileCrc32(raw());
  int64_t start = localTime(2026, 12, 1, 10, 0, 0);
  run(kTool + " info " + raw() + " --json");
  run(kTool + " month " + raw() + " --start 0 --end 2000000000 --json");
  run(kTool + " day " + raw() + " --start " + std::to_string(start) + " --end " + std::to_string(start + 86400));
  run(kTool + " frames " + raw() + " --start " + std::to_string(start) + " --seek 1000 --json");
  run(kTool + " devices --card " + raw());
  ASSERT_EQ(stat(raw().c_str(), &after), 0);
  EXPECT_EQ(testio::fileCrc32(raw()), crc);
  EXPECT_EQ(before.st_size, after.st_size);
  EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
  EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
}

}  // namespace
