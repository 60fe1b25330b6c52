// cardtool and cardsim end to end: simulator cards of both layouts, read
// through the command line as a script would, JSON parsed with a real JSON
// reader.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "raw_manifest.h"
#include "test_io.h"

// Failure messages show JSON values as JSON.
void PrintTo(const QJsonValue &v, std::ostream *os) {
  *os << QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact).toStdString();
}

namespace {

const std::string kTool = CARDTOOL_PATH " ";
const std::string kSim = CARDSIM_PATH " ";
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

// [env] cardtool ARGS --json: the exit status must be status, and standard
// output exactly one JSON object on one line.
QJsonValue json(const std::string &args, int status = 0, const std::string &env = "") {
  Result r = run(env + kTool + args + " --json");
  EXPECT_EQ(r.status, status) << args << "\n" << r.err;
  QJsonParseError e;
  QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(r.out), &e);
  EXPECT_TRUE(e.error == QJsonParseError::NoError && doc.isObject()) << args << ": " << r.out;
  EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "more than one line: " << r.out;
  return doc.object();
}

int64_t num(const QJsonValue &v) { return v.toVariant().toLongLong(); }
int size(const QJsonValue &array) { return array.toArray().size(); }
std::string str(int64_t v) { return std::to_string(v); }
std::vector<QJsonValue> fields(const QJsonValue &o, const std::vector<const char *> &names) {
  std::vector<QJsonValue> v;
  for (const char *n : names) v.push_back(o[n]);
  return v;
}

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
    Result r = run(kSim + "--layout raw --codec h265 --channels 2 --size 64x48 --out " + raw() + " --manifest " +
                   dir_ + "/raw.json --record '0,2026-12-01 10:00:00,2026-12-01 10:00:06,1'" +
                   " --record '1,2026-12-01 10:00:02,2026-12-01 10:00:05,2'" +
                   " --record '0,2026-12-01 23:59:57,2026-12-02 00:00:04,3,open'");
    if (r.status != 0) setupError_ = r.err;
    r = run(kSim + "--layout file --codec h264 --size 64x48 --out " + vol() +
            " --record '0,2026-12-03 08:00:00,2026-12-03 08:00:05,4'");
    if (r.status != 0) setupError_ += r.err;
  }
  // A failed fixture fails each test (a failure in SetUpTestSuite would only
  // mark the tests skipped).
  void SetUp() override { ASSERT_EQ(setupError_, "") << "cardsim could not make the cards"; }
  static void TearDownTestSuite() { run("rm -rf " + dir_); }
  static std::string raw() { return dir_ + "/raw.img"; }
  static std::string vol() { return dir_ + "/vol"; }
  static inline std::string dir_, setupError_;
};

// Wrong command lines of both tools: the exit status of a usage error, a
// message on standard error, nothing on standard output.
TEST_F(CardtoolTest, UsageErrorsOfBothTools) {
  const std::string card = " " + raw(), simOut = " --layout raw --out " + dir_ + "/never";
  const struct {
    std::string args, message;
  } cases[] = {
      {"nosuch", "unknown command 'nosuch'"},
      {"info", "needs exactly one CARD"},
      {"info" + card + " --layout disk", "--layout must be raw or file"},
      {"month" + card + " --start 1", "needs --start and --end"},
      {"month" + card + " --start 2026-12-02 --end 2026-12-01", "--end must not be before --start"},
      {"day" + card + " --start x --end 2", "--start: 'x' is neither Unix seconds nor a local time"},
      {"frames" + card + " --start 5 --channel 9223372036854775807", "--channel must be 0 to 255"},
      {"frames" + card + " --start 5 --seek 9223372036854775807", "--seek reaches past 2100"},
      {"frames" + card + " --start 5 --seek -9223372036854775808", "--seek must not be negative"},
      {"frames" + card + " --start 5 --limit -9223372036854775808", "--limit must not be negative"},
      {"frames" + card + " --start 2026-02-29", "is not a date and time of the calendar"},
      {"frames" + card + " --start '2028-02-29 24:00:00'", "is not a date and time of the calendar"},
      {"SIM --layout raw", "--out is required"},
      {"SIM" + simOut + " --record 0,5", "CH,START,END"},
  };
  for (const auto &c : cases) {
    const bool sim = c.args.compare(0, 3, "SIM") == 0;
    Result r = run(sim ? kSim + c.args.substr(4) : kTool + c.args + " --json");
    EXPECT_EQ(r.status, sim ? 1 : 2) << c.args;
    EXPECT_EQ(r.out, "") << c.args;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << " gave: " << r.err;
  }
  EXPECT_EQ(json("frames" + card + " --start 2024-02-29 --limit 0")["ok"], true);  // a leap day
}

// Every program and every export report name the build's commit: in a
// checkout, the one the sources are at now, never one from an older build.
TEST_F(CardtoolTest, VersionIsTheCommitBuiltFrom) {
  const std::string tool = run(kTool + "--version").out, version = tool.substr(9, tool.size() - 10);
  EXPECT_EQ(tool + run(kSim + "--version").out + run(CARDPLAYER_PATH " --version").out,
            "cardtool " + version + "\ncardsim " + version + "\ncardplayer " + version + "\n");
  const QJsonValue o = json("export " + vol() + " --start '2026-12-03 08:00:00' --end '2026-12-03 08:00:02' --out " +
                            dir_ + "/version");
  EXPECT_EQ(o["reports"][0]["version"], QString::fromStdString("cardplayer " + version));
  const Result git = run("git -C " SOURCE_DIR " describe --always --tags");
  if (git.status == 0) {  // a checkout
    EXPECT_EQ(version.substr(0, version.rfind("-dirty")) + "\n", git.out);
  }
}

// Times outside 1970 to 2100, on every command that takes them: a clear
// refusal, never a crash or a wrapped value (the sanitizer build turns any
// overflow into a failure here). Every command answers at the bounds, and
// integers as large as a card can use, and leaves every file of the card as
// it was: bytes, size and time of change.
TEST_F(CardtoolTest, ExtremeValuesOnEveryCommandAndTheCardIsNeverWritten) {
  const std::string out = " --out " + dir_ + "/extreme";
  const std::vector<std::string> commands = {
      "month C --start T --end 4102444800", "month C --start 0 --end T", "day C --start T --end 4102444800",
      "day C --start 0 --end T", "frames C --start T", "export C --start T --end 4102444800" + out,
      "export C --start 0 --end T" + out, "dump C --channel 0 --start T --end 4102444800" + out,
      "dump C --channel 0 --start 0 --end T" + out};
  auto fill = [](std::string s, const std::string &card, const std::string &time) {
    s.replace(s.find(" C") + 1, 1, card);
    return s.find(" T") == std::string::npos ? s : s.replace(s.find(" T") + 1, 1, time);
  };
  std::vector<std::string> answered = {"info C", "devices --card C",
                                       "frames C --start T --seek 4102444800000 --limit 9223372036854775807"};
  for (const std::string &c : commands) {
    answered.push_back(c);
    for (const std::string t : {"-1", "4102444801", "9223372036854775807", "-9223372036854775808",
                                "99999999999999999999", "2100-01-02", "'1969-12-31 23:59:59'"}) {
      Result r = run(kTool + fill(c, raw(), t));
      EXPECT_EQ(r.status, 2) << fill(c, raw(), t);
      EXPECT_NE(r.err.find("is not a time from 1970 to 2100"), std::string::npos) << fill(c, raw(), t) << r.err;
    }
  }
  for (const std::string &card : {raw(), vol()}) {
    const std::string files = "$(find " + card + " -type f | sort)";
    const std::string snapshot = "stat -c '%n %s %y' " + files + " && cat " + files + " | md5sum";
    const std::string before = run(snapshot).out;
    for (const std::string &c : answered) {
      const std::string bound = fill(c, card, c.find("--start T") != std::string::npos ? "0" : "4102444800");
      Result r = run(kTool + bound);
      EXPECT_TRUE(r.status >= 0 && r.status != 2 && r.err.find("runtime error") == std::string::npos &&
                  r.err.find("Sanitizer") == std::string::npos) << bound << ": " << r.status << " " << r.err;
    }
    EXPECT_EQ(run(snapshot).out, before);
  }
}

TEST_F(CardtoolTest, InfoMonthAndDayOnBothLayouts) {
  QJsonValue o = json("info " + raw());
  EXPECT_EQ(fields(o, {"layout", "loaded", "channels", "videoType"}), std::vector<QJsonValue>({"raw", true, 2, 0}));
  // The open recording ends at its last I-frame (one a second at 12 fps, gop 12).
  EXPECT_EQ(std::vector<int64_t>({num(o["validTime"]["start"]), num(o["validTime"]["end"])}),
            std::vector<int64_t>({localTime(2026, 12, 1, 10), localTime(2026, 12, 2, 0, 0, 3)}));
  o = json("info " + vol());
  EXPECT_EQ(fields(o, {"layout", "loaded", "channels", "videoType"}), std::vector<QJsonValue>({"file", true, 1, 1}));
  EXPECT_EQ(num(o["validTime"]["start"]), localTime(2026, 12, 3, 8));

  // Days with recordings: the 1st, and the 2nd through midnight.
  const std::string month = " --start 2026-12-01 --end '2027-01-01 00:00:00'";
  EXPECT_EQ(json("month " + raw() + month)["mask"], 0x3);
  EXPECT_EQ(json("month " + raw() + month + " --channel 1")["mask"], 0x1);
  EXPECT_EQ(json("month " + vol() + month)["mask"], 0x4);

  // The day of the 1st lists both fragments of channel 0: the one across
  // midnight is the last, and ends at its last I-frame.
  QJsonValue list = json("day " + raw() + " --start 2026-12-01 --end 2026-12-02")["fragments"];
  ASSERT_EQ(size(list), 2);
  EXPECT_EQ(std::vector<int64_t>({num(list[0]["type"]), num(list[0]["start"]), num(list[0]["end"]),
                                  num(list[1]["type"]), num(list[1]["end"])}),
            std::vector<int64_t>({1, localTime(2026, 12, 1, 10), localTime(2026, 12, 1, 10, 0, 6), 3,
                                  localTime(2026, 12, 2, 0, 0, 3)}));

  // Without --json, standard output is the answer alone (the library's load
  // report goes to standard error), and the fragment names its channel.
  const Result text = run(kTool + "day " + raw() + " --start 2026-12-01 --end 2026-12-02 --channel 1");
  const std::string tail = "  3  1\n1 fragment\n";
  EXPECT_EQ(text.out.substr(0, 4) + text.out.substr(text.out.size() - std::min(text.out.size(), tail.size())),
            "   #" + tail)
      << text.out;
  EXPECT_NE(text.err.find("card info:"), std::string::npos) << text.err;
}

// Local dates of a zone with daylight-saving time, read alike by cardsim
// and cardtool: a summer date is an hour off from winter time, and the hour
// the clock skips is refused by both.
TEST_F(CardtoolTest, LocalDatesInADaylightSavingZone) {
  const std::string img = dir_ + "/summer.img";
  Result r = run(kDstZone + kSim + "--layout raw --media synthetic --size 64x48 --out " + img +
                 " --record '0,2026-07-01 12:00:00,2026-07-01 12:00:02'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(num(json("info " + img)["validTime"]["start"]), 1782900000);  // 10:00 UTC
  EXPECT_EQ(num(json("frames " + img + " --start '2026-07-01 12:00:00'", 0, kDstZone)["frames"][0]["ts"]),
            1782900000000);
  for (const std::string &cmd : {kTool + "month " + img + " --start '2026-03-29 02:30:00' --end 2026-04-01",
                                 kSim + "--layout raw --out " + img + " --record '0,2026-03-29 02:30:00,1790000000'"}) {
    r = run(kDstZone + cmd);
    EXPECT_EQ(r.status, cmd.find(kSim) == 0 ? 1 : 2);
    EXPECT_NE(r.err.find("does not exist in local time"), std::string::npos) << r.err;
  }
}

// cardsim's command line adds to and overrides a scenario file, recordings
// in any order.
TEST_F(CardtoolTest, CardsimCommandLineMergesIntoTheScenarioFile) {
  const std::string scenario = dir_ + "/scenario.json", img = dir_ + "/merged.img";
  std::ofstream(scenario) << R"({"layout":"raw","codec":"h265","channels":2,"width":64,"height":48,
    "media":"synthetic","raw":{"frameAreaSize":1048576},
    "recordings":[{"channel":0,"start":"2026-12-01 10:00:00","end":"2026-12-01 10:00:02"}]})";
  Result r = run(kSim + "--scenario " + scenario + " --codec h264" +
                 " --record '0,2026-12-01 09:00:00,2026-12-01 09:00:02'" +
                 " --record '1,2026-12-01 10:00:00,2026-12-01 10:00:02,9,open' --out " + img);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(fields(json("info " + img), {"channels", "videoType"}), std::vector<QJsonValue>({2, 1}));
  const std::string day = " --start 2026-12-01 --end 2026-12-02";
  QJsonValue list = json("day " + img + day)["fragments"];
  EXPECT_EQ(std::vector<int64_t>({size(list), num(list[0]["start"]), num(list[1]["start"])}),
            std::vector<int64_t>({2, localTime(2026, 12, 1, 9), localTime(2026, 12, 1, 10)}));
  list = json("day " + img + " --channel 1" + day)["fragments"];
  EXPECT_EQ(std::vector<int64_t>({size(list), num(list[0]["type"])}), std::vector<int64_t>({1, 9}));
}

// A card that cannot be opened or does not load says so, with exit 5 and
// "loaded": false, on every command: never the answer of an empty card.
TEST_F(CardtoolTest, CardsThatDoNotLoadSaySo) {
  const std::string zeros = dir_ + "/zeros.img", empty = dir_ + "/empty";
  run("truncate -s 120M " + zeros + " && mkdir -p " + empty);
  std::vector<std::pair<std::string, std::string>> cards = {{zeros, "did not load as a raw-disk card"},
                                                            {empty, "did not load as a file-layout card"},
                                                            {dir_ + "/missing.img", "missing.img"}};
  // Counts no recorder writes, put there by cardsim's faults.
  for (const std::string fault : {"channelCount=5", "iframeIndexCount=70000", "iframeListCount=2049"}) {
    cards.push_back({dir_ + "/" + fault + ".img", "did not load as a raw-disk card"});
    ASSERT_EQ(run(kSim + "--layout raw --media synthetic --channels 2 --raw faultChannel=1 --raw " + fault +
                  " --record '1,2026-12-01 10:00:00,2026-12-01 10:00:02' --out " + cards.back().first).status, 0);
  }
  const struct {
    const char *command, *options, *field;
    QJsonValue value;
  } commands[] = {{"info ", "", "validTime", QJsonValue()},
                  {"month ", " --start 0 --end 86400", "mask", 0},
                  {"day ", " --start 0 --end 86400", "fragments", QJsonValue()},
                  {"frames ", " --start 0", "ok", false}};
  for (const auto &c : cards) {
    for (const auto &k : commands) {
      SCOPED_TRACE(k.command + c.first);
      EXPECT_EQ(fields(json(k.command + c.first + k.options, 5), {"loaded", k.field}),
                std::vector<QJsonValue>({false, k.value}));
    }
    const std::string out = " --channel 0 --out " + dir_ + "/out";
    for (const std::string command : {"month ", "export ", "dump "}) {
      Result r = run(kTool + command + c.first + " --start 0 --end 1" + (command == "month " ? "" : out));
      EXPECT_EQ(r.status, 5) << command;
      EXPECT_NE(r.err.find(c.second), std::string::npos) << r.err;
    }
  }
  EXPECT_TRUE(json("devices --card " + dir_ + "/missing.img", 5)["devices"].isNull());
}

// The frames a handle gives are the card's own, as cardsim wrote them: time,
// kind, size and CRC-32, from the I-frame at the start to the data's end.
TEST_F(CardtoolTest, FramesAreTheCardsFromAStartAndASeek) {
  const std::vector<rawimg::ManifestFrame> written = rawimg::readManifest(dir_ + "/raw.json").at(0).frames;
  QJsonValue o = json("frames " + raw() + " --start '2026-12-01 10:00:00'"), frames = o["frames"];
  ASSERT_GT(size(frames), 300);
  for (int i = 0; i < size(frames); i++) {
    const rawimg::ManifestFrame &w = written.at(size_t(i));
    EXPECT_EQ(std::vector<int64_t>({num(frames[i]["ts"]), num(frames[i]["kind"]), num(frames[i]["size"]),
                                    num(frames[i]["crc32"])}),
              std::vector<int64_t>({w.time, w.video, w.size, w.crc})) << "frame " << i;
  }
  // The handle stops at the newest I-frame: the end of the data.
  EXPECT_EQ(num(frames[size(frames) - 1]["ts"]), localTime(2026, 12, 2, 0, 0, 3) * 1000);
  EXPECT_EQ(fields(o, {"loaded", "ok", "codec", "end", "endAt"}),
            std::vector<QJsonValue>({true, true, QJsonValue(), "data", frames[size(frames) - 1]["ts"]}));

  // A seek of 2.5 s lands on the I-frame of second 3; channel 1 starts on its own recording.
  const int64_t start = localTime(2026, 12, 1, 10);
  o = json("frames " + raw() + " --start " + str(start) + " --seek 2500 --limit 1");
  EXPECT_EQ(std::vector<QJsonValue>({size(o["frames"]), o["frames"][0]["ts"], o["end"], o["endAt"]}),
            std::vector<QJsonValue>({1, double((start + 3) * 1000), "limit", QJsonValue()}));
  EXPECT_EQ(num(json("frames " + raw() + " --channel 1 --start " + str(start) + " --limit 1")["frames"][0]["ts"]),
            (start + 2) * 1000);
  // The file layout reports the codec detected on the first frame.
  o = json("frames " + vol() + " --start 2026-12-03");
  EXPECT_EQ(fields(o, {"ok", "codec", "end"}), std::vector<QJsonValue>({true, 1, "data"}));
  EXPECT_EQ(std::vector<QJsonValue>({size(o["frames"]), o["frames"][0]["kind"]}), std::vector<QJsonValue>({138, 1}));
  // Nothing recorded after the card's end: no playback, exit 1.
  EXPECT_EQ(json("frames " + vol() + " --start 2027-01-01", 1)["ok"], false);
}

// Damage in the middle of the data ends the list where it lies: the frames
// before it, exactly those of the intact card, where and why, and exit 3.
// The file layout's frame 30 has a header with a wrong check word (written so
// by cardsim), the raw card's frame 40 of channel 0 a time 400 days ahead.
TEST_F(CardtoolTest, FramesEndEarlyAtDamage) {
  const std::string vol2 = dir_ + "/damaged", img = dir_ + "/damaged.img";
  ASSERT_EQ(run(kSim + "--layout file --codec h264 --size 64x48 --out " + vol2 + " --file 'faults={\"badHeaderCrc\":[30]}'" +
                " --record '0,2026-12-03 08:00:00,2026-12-03 08:00:05,4'").status, 0);
  const rawimg::ManifestFrame f = rawimg::readManifest(dir_ + "/raw.json").at(0).frames.at(40);
  ASSERT_EQ(run("cp --sparse=always " + raw() + " " + img).status, 0);
  const uint64_t ahead = static_cast<uint64_t>(f.time) + 400 * 86400000ull;
  std::fstream(img, std::ios::in | std::ios::out | std::ios::binary).seekp(f.addr + 4).write(
      reinterpret_cast<const char *>(&ahead), 8);  // little-endian, as the card
  const struct {
    std::string intact, damaged, start, where;
    int count;
  } cases[] = {{vol(), vol2, "2026-12-03", "2026-12-03 08:00:01.024", 30},
               {raw(), img, "2026-12-01", "2026-12-01 10:00:01.408", 40}};
  for (const auto &c : cases) {
    QJsonValue intact = json("frames " + c.intact + " --start " + c.start)["frames"];
    QJsonValue o = json("frames " + c.damaged + " --start " + c.start, 3);
    ASSERT_EQ(size(o["frames"]), c.count) << c.damaged;
    for (int i = 0; i < c.count; i++) EXPECT_EQ(o["frames"][i], intact[i]) << "frame " << i;
    EXPECT_EQ(fields(o, {"end", "endAt"}), std::vector<QJsonValue>({"damaged", intact[c.count - 1]["ts"]}));
    Result r = run(kTool + "frames " + c.damaged + " --start " + c.start);
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("ends early after the frame of " + c.where + " (" + str(num(intact[c.count - 1]["ts"])) +
                         " ms): the next frame is damaged"), std::string::npos) << r.err;
  }
}

// Other disks of this machine may be listed too; the two cards once each.
TEST_F(CardtoolTest, DevicesListsAttachedCardsAsThePlayerWould) {
  QStringList listed;
  for (const QJsonValue d : json("devices --card " + raw() + " --card " + vol())["devices"].toArray())
    if (d["listed"].toBool() && d["name"].toString().startsWith(QString::fromStdString(dir_)))
      listed << d["name"].toString() + " " + d["layout"].toString();
  EXPECT_EQ(listed.join(", ").toStdString(), vol() + " file, " + raw() + " raw");
}

}  // namespace
