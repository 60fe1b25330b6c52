// cardtool export and dump when things go wrong: a full or unwritable
// destination, a run killed midway, made-up parameter sets, a destination
// inside the card, a card whose data breaks off. A failure is never a
// success, leaves no file behind, and a broken-off card keeps what was read.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <chrono>
#include <thread>

#include "support.h"

namespace {

const int64_t T0 = 1764554400;  // 2025-12-01 10:00:00 in UTC+8

std::string str(int64_t v) { return std::to_string(v); }

class Failures : public ::testing::Test {
 protected:
  void SetUp() override { dir = makeTempDir("failures"); }
  void TearDown() override {
    for (const std::string &m : mounts) umount2(m.c_str(), MNT_DETACH);
    removeTree(dir);
  }
  std::string card(const std::string &name, std::vector<std::string> args) {
    std::string path = dir + "/" + name;
    EXPECT_TRUE(makeSimCard(args, path));
    return path;
  }
  std::string small() {
    return card("small.img", {"--layout", "raw", "--size", "320x180", "--fps", "25", "--record",
                              "0," + str(T0) + "," + str(T0 + 6)});
  }
  // A tmpfs of the given options, as root only.
  bool mountTmpfs(const std::string &where, const char *options, unsigned long flags = 0) {
    if (geteuid() != 0) return false;
    run("mkdir -p '" + where + "'");
    if (mount("tmpfs", where.c_str(), "tmpfs", flags, options) != 0) return false;
    mounts.push_back(where);
    return true;
  }
  ToolRun tool(const std::string &cmd, const std::string &cardPath, int64_t end,
               const std::string &out, const std::string &extra = "") {
    return run(CARDTOOL + " " + cmd + " '" + cardPath + "' --start " + str(T0) + " --end " +
               str(end) + " --out '" + out + "' " + extra);
  }

  std::string dir;
  std::vector<std::string> mounts;
};

TEST_F(Failures, FullOrUnwritableDestinationFailsAndLeavesNothing) {
  std::string cardPath = small();
  const std::string full = dir + "/full", ro = dir + "/ro";
  if (!mountTmpfs(full, "size=64k") || !mountTmpfs(ro, "size=1m", MS_RDONLY))
    GTEST_SKIP() << "needs root to mount a small tmpfs";
  for (const std::string &out : {full, ro, dir + "/missing/parent"}) {
    ToolRun r = tool("export", cardPath, T0 + 6, out);
    EXPECT_EQ(r.code, 1) << out;
    EXPECT_NE(r.err.find("gave no file"), std::string::npos) << r.err;
    EXPECT_TRUE(listFiles(out).empty()) << out;
    ToolRun d = tool("dump", cardPath, T0 + 6, out, "--channel 0");
    EXPECT_EQ(d.code, 1) << out;
    EXPECT_TRUE(listFiles(out).empty()) << out;
  }
  EXPECT_NE(tool("export", cardPath, T0 + 6, full).err.find("No space left"), std::string::npos);
}

TEST_F(Failures, KilledRunLeavesNothingAfterTheNextExport) {
  std::string cardPath = card("long.img", {"--layout", "raw", "--codec", "h264", "--size", "64x48",
                                           "--fps", "25", "--record",
                                           "0," + str(T0) + "," + str(T0 + 240)});
  const std::string out = dir + "/out";
  bool sawTemporary = false;
  for (int attempt = 0; attempt < 5 && !sawTemporary; attempt++) {
    removeTree(out);
    pid_t pid = fork();
    if (pid == 0) {
      execl(CARDTOOL.c_str(), "cardtool", "export", cardPath.c_str(), "--start",
            str(T0).c_str(), "--end", str(T0 + 240).c_str(), "--out", out.c_str(), nullptr);
      _exit(127);
    }
    for (int i = 0; i < 5000 && !sawTemporary; i++) {
      for (const std::string &f : listFiles(out)) sawTemporary |= f.rfind(".qmxexport-", 0) == 0;
      if (!sawTemporary) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  ASSERT_TRUE(sawTemporary) << "the export never showed its temporary file";
  ASSERT_EQ(tool("export", cardPath, T0 + 10, out).code, 0);
  for (const std::string &f : listFiles(out)) EXPECT_EQ(f.rfind(".qmxexport-", 0), std::string::npos) << f;
}

TEST_F(Failures, MadeUpParameterSetsEndWithinSeconds) {
  std::string cardPath = card("synthetic.img", {"--layout", "raw", "--media", "synthetic",
                                                "--record", "0," + str(T0) + "," + str(T0 + 60)});
  auto begin = std::chrono::steady_clock::now();
  ToolRun r = tool("export", cardPath, T0 + 60, dir + "/out");
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_LT(seconds, 10.0);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("parameter sets"), std::string::npos) << r.err;
  EXPECT_TRUE(listFiles(dir + "/out").empty());
}

TEST_F(Failures, DestinationInsideTheCardIsRefused) {
  std::string cardPath = card("vol", {"--layout", "file", "--size", "64x48", "--record",
                                      "0," + str(T0) + "," + str(T0 + 4)});
  std::string before = run("find '" + cardPath + "' | sort").out;
  for (const char *cmd : {"export", "dump"}) {
    ToolRun r = tool(cmd, cardPath, T0 + 4, cardPath + "/storage/exports", "--channel 0");
    EXPECT_EQ(r.code, 4) << cmd;
    EXPECT_NE(r.err.find("inside the card"), std::string::npos) << r.err;
  }
  EXPECT_EQ(run("find '" + cardPath + "' | sort").out, before);
}

// A damaged frame header in the middle: the export ends there, says where
// and why, and keeps what it read; dump does the same.
TEST_F(Failures, DataBrokenOffMidSpanKeepsWhatWasRead) {
  std::string cardPath = card("broken", {"--layout", "file", "--size", "64x48", "--fps", "12",
                                         "--file", "faults={\"badHeaderCrc\":[60]}", "--record",
                                         "0," + str(T0) + "," + str(T0 + 10)});
  ToolRun r = tool("export", cardPath, T0 + 10, dir + "/out", "--json");
  EXPECT_EQ(r.code, 3) << r.err;
  QJsonObject report = QJsonDocument::fromJson(QByteArray::fromStdString(r.out))
                           .object().value("reports").toArray().at(0).toObject();
  EXPECT_EQ(report.value("status").toString(), "done");
  EXPECT_NE(report.value("end").toString(), "end of span");
  EXPECT_GT(report.value("endAtMs").toDouble(), T0 * 1000.0);
  Mp4 m = readMp4(report.value("file").toString().toStdString());
  EXPECT_TRUE(m.ok);
  EXPECT_EQ(static_cast<int>(m.video.packets.size()), report.value("videoFrames").toInt());
  EXPECT_LT(m.video.packets.size(), 120u);
  ToolRun d = tool("dump", cardPath, T0 + 10, dir + "/dump", "--channel 0");
  EXPECT_EQ(d.code, 3);
  EXPECT_EQ(listFiles(dir + "/dump").size(), 2u);
}

// Spans over four hours are written in fragments: the index still comes
// first, and key frames are marked in the fragments.
TEST_F(Failures, LongSpanIsFragmented) {
  std::string cardPath = card("frag.img", {"--layout", "raw", "--size", "64x48", "--gop", "5",
                                           "--record", "0," + str(T0) + "," + str(T0 + 6)});
  ToolRun r = tool("export", cardPath, T0 + 5 * 3600, dir + "/out", "--json");
  ASSERT_EQ(r.code, 0) << r.err;
  QJsonObject report = QJsonDocument::fromJson(QByteArray::fromStdString(r.out))
                           .object().value("reports").toArray().at(0).toObject();
  EXPECT_EQ(report.value("mp4Layout").toString(), "fragmented");
  Mp4 m = readMp4(report.value("file").toString().toStdString());
  ASSERT_TRUE(m.ok);
  EXPECT_TRUE(m.fragmented);
  EXPECT_LT(m.moovAt, m.mdatAt);
  std::vector<int64_t> marked;
  for (const Packet &p : m.video.packets)
    if (p.key) marked.push_back(p.pts);
  EXPECT_EQ(marked, m.video.decodedKeys);
  EXPECT_EQ(static_cast<int>(m.video.packets.size()), report.value("videoFrames").toInt());
}

}  // namespace
