// cardtool end to end on simulator cards of both layouts, read through the
// command line as a script would, JSON parsed with a real JSON reader.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_io.h"

namespace {

const std::string kTool = CARDTOOL_PATH;
const std::string kSim = CARDSIM_PATH;
// A zone with daylight-saving time, written out so that no zone files are needed.
const std::string kDstZone = "TZ='CET-1CEST,M3.5.0,M10.5.0/3' ";

struct Result {
  int status = -1;  // the exit status; -1 when a signal ended the program
  std::string out, err;
};

// Runs a shell command line, capturing standard output and error apart.
Result run(const std::string &cmd) {
  static int serial = 0;
  std::string base = "/tmp/cardtool_test_" + std::to_string(getpid()) + "_" + std::to_string(serial++);
  Result r;
  int st = system((cmd + " >" + base + ".out 2>" + base + ".err").c_str());
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  for (std::string *s : {&r.out, &r.err}) {
    std::string path = base + (s == &r.out ? ".out" : ".err");
    std::stringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    *s = ss.str();
    unlink(path.c_str());
  }
  return r;
}

// [ENV] cardtool ARGS --json: the exit status must be status, and standard
// output exactly one JSON object on one line.
QJsonValue json(const std::string &args, int status = 0, const std::string &env = "") {
  Result r = run(env + kTool + " " + args + " --json");
  EXPECT_EQ(r.status, status) << args << "\n" << r.err;
  QJsonParseError e;
  QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(r.out), &e);
  EXPECT_TRUE(e.error == QJsonParseError::NoError && doc.isObject()) << args << ": " << r.out;
  EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "more than one line: " << r.out;
  return doc.object();
}
int size(const QJsonValue &array) { return array.toArray().size(); }

int64_t num(const QJsonValue &v) { return v.toVariant().toLongLong(); }
std::string str(int64_t v) { return std::to_string(v); }

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
                   " --manifest " + dir_ + "/raw.json --record '0,2026-12-01 10:00:00,2026-12-01 10:00:06,1'" +
                   " --record '1,2026-12-01 10:00:02,2026-12-01 10:00:05,2'" +
                   " --record '0,2026-12-01 23:59:57,2026-12-02 00:00:04,3,open'");
    if (r.status != 0) setupError_ = r.err;
    r = run(kSim + " --layout file --codec h264 --size 64x48 --out " + vol() +
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
  for (const char *status : {"  0  ", "  1  ", "  2  ", "  3  ", "  4  "})
    EXPECT_NE(r.out.find(status), std::string::npos) << "exit status " << status << " is not explained";
  for (const char *cmd : {"devices", "info", "month", "day", "frames", "export", "dump"}) {
    r = run(kTool + " " + cmd + " --help");
    EXPECT_EQ(r.status, 0) << cmd;
    EXPECT_NE(r.out.find(std::string("cardtool ") + cmd), std::string::npos) << cmd;
  }
  // Wrong command lines exit 2 with a message on standard error and no JSON.
  const std::string card = " " + raw();
  const struct {
    std::string args, message;
  } cases[] = {
      {"nosuch", "unknown command 'nosuch'"},
      {"info", "needs exactly one CARD"},
      {"info" + card + " --bogus", "unknown option --bogus"},
      {"info" + card + " --layout disk", "--layout must be raw or file"},
      {"devices" + card, "takes no CARD"},
      {"month" + card + " --start 1", "needs --start and --end"},
      {"month" + card + " --start 2026-12-02 --end 2026-12-01", "--end must not be before --start"},
      {"day" + card + " --start x --end 2", "--start: 'x' is neither Unix seconds nor a local time"},
      {"frames" + card + " --start 5 --channel -1", "--channel must be 0 to 255"},
      {"frames" + card + " --start 2026-12-01T10:00:00", "is neither Unix seconds"},
      {"frames" + card + " --start '2026-12-01 10:00'", "is neither Unix seconds"},
      {"frames" + card + " --start 2026-02-29", "is not a date and time of the calendar"},
      {"frames" + card + " --start '2028-02-29 24:00:00'", "is not a date and time of the calendar"},
  };
  for (const auto &c : cases) {
    r = run(kTool + " " + c.args + " --json");
    EXPECT_EQ(r.status, 2) << c.args;
    EXPECT_EQ(r.out, "") << c.args;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << " gave: " << r.err;
  }
  EXPECT_EQ(json("frames" + card + " --start 2028-02-29 --limit 0", 1)["ok"], false);  // a leap day
}

// Times outside 1970 to 2100 and integers at their limits, on every command
// that takes them: a clear refusal, never a crash or a wrapped value (the
// sanitizer build turns any overflow into a failure here). The bounds
// themselves are fine.
TEST_F(CardtoolTest, ExtremeValuesOnEveryCommand) {
  const std::string out = " --out " + dir_ + "/extreme";
  const std::vector<std::string> commands = {
      "month RAW --start T --end 4102444800", "month RAW --start 0 --end T",
      "day RAW --start T --end 4102444800",   "day RAW --start 0 --end T",
      "frames RAW --start T",                 "export RAW --start T --end 4102444800" + out,
      "export RAW --start 0 --end T" + out,   "dump RAW --channel 0 --start T --end 4102444800" + out,
      "dump RAW --channel 0 --start 0 --end T" + out};
  const std::vector<std::string> times = {"-1", "4102444801", "9223372036854775807", "-9223372036854775808",
                                          "99999999999999999999", "2100-01-02", "'1969-12-31 23:59:59'"};
  auto fill = [](std::string s, const std::string &card, const std::string &time) {
    s.replace(s.find("RAW"), 3, card);
    if (s.find(" T") != std::string::npos) s.replace(s.find(" T") + 1, 1, time);
    return s;
  };
  for (const std::string &c : commands) {
    for (const std::string &t : times) {
      Result r = run(kTool + " " + fill(c, raw(), t));
      EXPECT_EQ(r.status, 2) << fill(c, raw(), t);
      EXPECT_NE(r.err.find("is not a time from 1970 to 2100"), std::string::npos) << fill(c, raw(), t) << r.err;
    }
    for (const std::string &card : {raw(), vol()}) {
      Result r = run(kTool + " " + fill(c, card, c.find("--start T") != std::string::npos ? "0" : "4102444800"));
      EXPECT_GE(r.status, 0) << fill(c, card, "bound") << " crashed: " << r.err;
      EXPECT_NE(r.status, 2) << fill(c, card, "bound") << r.err;
    }
  }
  // Integers at their limits: refused, or within what a card can hold an answer.
  const struct {
    const char *args;
    bool refused;
  } limits[] = {{"--seek 9223372036854775807", true},    {"--seek -9223372036854775808", true},
                {"--limit -9223372036854775808", true},  {"--channel 9223372036854775807", true},
                {"--limit 9223372036854775807", false},  {"--seek 4102444800000", false}};
  for (const auto &l : limits) {
    int status = run(kTool + " frames " + raw() + " --start 0 " + l.args).status;
    EXPECT_TRUE(l.refused ? status == 2 : status == 0 || status == 1) << l.args << ": " << status;
  }
}

TEST_F(CardtoolTest, InfoMonthAndDayOnBothLayouts) {
  QJsonValue o = json("info " + raw());
  EXPECT_EQ(std::vector<QJsonValue>({o["layout"], o["loaded"], o["channels"], o["videoType"]}),
            std::vector<QJsonValue>({"raw", true, 2, 0}));
  // The open recording ends at its last I-frame (one a second at 12 fps, gop 12).
  EXPECT_EQ(num(o["validTime"]["start"]), localTime(2026, 12, 1, 10, 0, 0));
  EXPECT_EQ(num(o["validTime"]["end"]), localTime(2026, 12, 2, 0, 0, 3));
  o = json("info " + vol());
  EXPECT_EQ(std::vector<QJsonValue>({o["layout"], o["loaded"], o["channels"], o["videoType"]}),
            std::vector<QJsonValue>({"file", true, 1, 1}));
  EXPECT_EQ(num(o["validTime"]["start"]), localTime(2026, 12, 3, 8, 0, 0));
  // The readable form carries the load report and local times.
  Result r = run(kTool + " info " + raw());
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("card info:\ntotal: "), std::string::npos);
  EXPECT_NE(r.out.find("2026-12-01 10:00:00 to 2026-12-02 00:00:03"), std::string::npos) << r.out;

  // Days as local dates or as Unix seconds: the 1st, and the 2nd through midnight.
  const std::string month = " --start 2026-12-01 --end '2027-01-01 00:00:00'";
  EXPECT_EQ(json("month " + raw() + month)["mask"], 0x3);
  EXPECT_EQ(json("month " + raw() + " --start " + str(localTime(2026, 12, 1)) + " --end " +
                 str(localTime(2027, 1, 1)))["mask"], 0x3);
  EXPECT_EQ(json("month " + raw() + month + " --channel 1")["mask"], 0x1);
  EXPECT_EQ(json("month " + vol() + month)["mask"], 0x4);

  // The day of the 1st lists both fragments of channel 0: the one across
  // midnight is the last, and ends at its last I-frame.
  o = json("day " + raw() + " --start 2026-12-01 --end 2026-12-02");
  EXPECT_EQ(o["loaded"], true);
  QJsonValue list = o["fragments"];
  ASSERT_EQ(size(list), 2);
  EXPECT_EQ(std::vector<int64_t>({num(list[0]["type"]), num(list[0]["start"]), num(list[0]["end"]),
                                  num(list[1]["type"]), num(list[1]["end"])}),
            std::vector<int64_t>({1, localTime(2026, 12, 1, 10), localTime(2026, 12, 1, 10, 0, 6), 3,
                                  localTime(2026, 12, 2, 0, 0, 3)}));
  r = run(kTool + " day " + raw() + " --start 2026-12-01 --end 2026-12-02");
  EXPECT_NE(r.out.find("2026-12-01 23:59:57"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("2 fragments"), std::string::npos);
}

// Local dates of a zone with daylight-saving time, read alike by cardsim
// and cardtool: a summer date is an hour off from winter time, and the hour
// the clock skips is refused by both.
TEST_F(CardtoolTest, LocalDatesInADaylightSavingZone) {
  const std::string img = dir_ + "/summer.img";
  Result r = run(kDstZone + kSim + " --layout raw --media synthetic --size 64x48 --out " + img +
                 " --record '0,2026-07-01 12:00:00,2026-07-01 12:00:02'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(num(json("info " + img)["validTime"]["start"]), 1782900000);  // 10:00 UTC
  EXPECT_EQ(json("month " + img + " --start 2026-07-01 --end 2026-07-02", 0, kDstZone)["mask"], 1);
  r = run(kDstZone + kTool + " month " + img + " --start '2026-03-29 02:30:00' --end 2026-04-01");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("does not exist in local time"), std::string::npos) << r.err;
  r = run(kDstZone + kSim + " --layout raw --out " + img + " --record '0,2026-03-29 02:30:00,2026-03-29 03:30:00'");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("does not exist in local time"), std::string::npos) << r.err;
}

// A card that cannot be opened or does not load says so, with exit 3 and
// "loaded": false, on every command: never the answer of an empty card.
TEST_F(CardtoolTest, CardsThatDoNotLoadSaySo) {
  const std::string zeros = dir_ + "/zeros.img", empty = dir_ + "/empty";
  run("truncate -s 120M " + zeros + " && mkdir -p " + empty);
  const struct {
    std::string card, message;
  } cards[] = {
      {zeros, "did not load as a raw-disk card"},
      {empty, "did not load as a file-layout card"},
      {dir_ + "/missing.img", "missing.img"},
  };
  for (const auto &c : cards) {
    for (const std::string cmd : {"info", "month", "day", "frames"}) {
      SCOPED_TRACE(cmd + " " + c.card);
      const std::string args = cmd + " " + c.card + (cmd == "info" ? "" : cmd == "frames" ? " --start 0" : " --start 0 --end 86400");
      QJsonValue o = json(args, 3);
      EXPECT_EQ(o["loaded"], false);
      EXPECT_EQ(o[cmd == "month" ? "mask" : cmd == "day" ? "fragments" : cmd == "frames" ? "ok" : "validTime"],
                cmd == "month" ? QJsonValue(0) : cmd == "frames" ? QJsonValue(false) : QJsonValue());
      Result r = run(kTool + " " + args);
      EXPECT_EQ(r.status, 3);
      EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
  }
  EXPECT_TRUE(json("devices --card " + dir_ + "/missing.img", 3)["devices"].isNull());
}

TEST_F(CardtoolTest, FramesFromAStartAndASeek) {
  int64_t start = localTime(2026, 12, 1, 10, 0, 0);
  QJsonValue o = json("frames " + raw() + " --start '2026-12-01 10:00:00' --limit 40");
  EXPECT_EQ(std::vector<QJsonValue>({o["loaded"], o["ok"], o["codec"], o["end"], o["endAt"]}),
            std::vector<QJsonValue>({true, true, QJsonValue(), "limit", QJsonValue()}));
  QJsonValue frames = o["frames"];
  ASSERT_EQ(size(frames), 40);
  EXPECT_EQ(frames[0]["kind"], 1);
  EXPECT_EQ(num(frames[0]["ts"]), start * 1000);
  int64_t prev = 0;
  int kinds[2] = {0, 0};
  for (const QJsonValue f : frames.toArray()) {
    EXPECT_GE(num(f["ts"]), prev);
    prev = num(f["ts"]);
    EXPECT_GT(f["size"].toInt(), 0);
    kinds[f["kind"].toInt() & 1]++;
  }
  EXPECT_GT(kinds[0], 10);
  EXPECT_GT(kinds[1], 10);

  // Reading to the end stops at the last I-frame of the card: the data's end.
  o = json("frames " + raw() + " --start " + str(start));
  frames = o["frames"];
  ASSERT_GT(size(frames), 0);
  EXPECT_EQ(num(frames[size(frames) - 1]["ts"]) / 1000, localTime(2026, 12, 2, 0, 0, 3));
  EXPECT_EQ(o["end"], "data");
  EXPECT_EQ(o["endAt"], frames[size(frames) - 1]["ts"]);

  // A seek of 2.5 s lands on the I-frame of second 3; channel 1 starts on its own recording.
  frames = json("frames " + raw() + " --start " + str(start) + " --seek 2500 --limit 1")["frames"];
  ASSERT_EQ(size(frames), 1);
  EXPECT_EQ(num(frames[0]["ts"]), (start + 3) * 1000);
  frames = json("frames " + raw() + " --channel 1 --start " + str(start) + " --limit 1")["frames"];
  ASSERT_EQ(size(frames), 1);
  EXPECT_EQ(num(frames[0]["ts"]), (start + 2) * 1000);

  // The file layout reports the codec detected on the first frame.
  o = json("frames " + vol() + " --start 2026-12-03");
  EXPECT_EQ(std::vector<QJsonValue>({o["ok"], o["codec"], o["end"]}), std::vector<QJsonValue>({true, 1, "data"}));
  ASSERT_GT(size(o["frames"]), 60);
  EXPECT_EQ(o["frames"][0]["kind"], 1);
  // Nothing recorded after the card's end: no playback, exit 1.
  EXPECT_EQ(json("frames " + vol() + " --start 2027-01-01", 1)["ok"], false);
}

// Damage in the middle of the data ends the list where it lies: the frames
// before it, exactly those of the intact card, where and why, and exit 4.
TEST_F(CardtoolTest, FramesEndEarlyAtDamage) {
  const std::string vol2 = dir_ + "/damaged";
  Result r = run(kSim + " --layout file --codec h264 --size 64x48 --out " + vol2 +
                 " --record '0,2026-12-03 08:00:00,2026-12-03 08:00:05,4' --file 'faults={\"badHeaderCrc\":[30]}'");
  ASSERT_EQ(r.status, 0) << r.err;
  QJsonValue intact = json("frames " + vol() + " --start 2026-12-03")["frames"];
  QJsonValue o = json("frames " + vol2 + " --start 2026-12-03", 4);
  QJsonValue frames = o["frames"];
  ASSERT_EQ(size(frames), 30);
  for (int i = 0; i < 30; i++) EXPECT_EQ(frames[i], intact[i]) << "frame " << i;
  EXPECT_TRUE(o["end"] == "damaged" || o["end"] == "readError") << o["end"].toString().toStdString();
  EXPECT_EQ(o["endAt"], intact[29]["ts"]);

  r = run(kTool + " frames " + vol2 + " --start 2026-12-03");
  EXPECT_EQ(r.status, 4);
  EXPECT_NE(r.out.find("30 frames (the data ended early)"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("ends early after the frame of 2026-12-03 08:00:01.024 (" +
                       str(num(intact[29]["ts"])) + " ms)"), std::string::npos) << r.err;
}

TEST_F(CardtoolTest, DevicesListsAttachedCardsAsThePlayerWould) {
  // Other disks of this machine may be listed too; the two cards once each.
  QJsonValue o = json("devices --card " + raw() + " --card " + vol());
  std::vector<std::string> listed;
  for (const QJsonValue d : o["devices"].toArray()) {
    std::string name = d["name"].toString().toStdString();
    if (d["listed"].toBool() && (name == raw() || name == vol()))
      listed.push_back(name + " " + d["layout"].toString().toStdString());
  }
  EXPECT_EQ(listed, std::vector<std::string>({vol() + " file", raw() + " raw"}));
}

// Every file of the card keeps its bytes, size and time of change.
TEST_F(CardtoolTest, TheCardIsNeverWritten) {
  const std::string span = " --start 2026-12-01 --end 2026-12-04";
  for (const std::string &card : {raw(), vol()}) {
    const std::string snapshot = "find " + card + " -type f | sort | xargs stat -c '%n %s %y' && cat $(find " +
                                 card + " -type f | sort) | md5sum";
    const std::string before = run(snapshot).out;
    for (const std::string &args : std::vector<std::string>{"info C", "month C" + span, "day C" + span, "frames C --start 0 --seek 1000",
                                    "devices --card C", "export C --out " + dir_ + "/x" + span,
                                    "dump C --channel 0 --out " + dir_ + "/x" + span})
      run(kTool + " " + args.substr(0, args.find(" C") + 1) + card + args.substr(args.find(" C") + 2));
    EXPECT_EQ(run(snapshot).out, before);
  }
}

}  // namespace
