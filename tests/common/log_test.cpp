// The log line format, its threshold and the clock.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "qmx_common.h"
#include "test_io.h"

namespace {

using testio::captureStdout;

// Removes the "[HH:MM:SS:mmm " time so the rest can be compared exactly.
std::string withoutTime(const std::string &line) {
  std::string s = line;
  size_t open = s.find("m[");
  if (open != std::string::npos) open += 1;
  if (open != std::string::npos && s.size() > open + 14) s.erase(open + 1, 13);
  return s;
}

// A coloured prefix with the time, level, tag, function and line, then the
// message with its arguments; null strings print as empty.
TEST(Log, LineFormat) {
  const struct {
    const char *tag, *function, *format;
    std::string want;
  } cases[] = {
      {"STORAGE", "readData", "not open file yet.\n", "[ERROR-STORAGE]:readData[42]:\033[mnot open file yet.\n"},
      {"STORAGE", "loadFragmentIndex", "Invalid fragment_index count: %u\n",
       "[ERROR-STORAGE]:loadFragmentIndex[42]:\033[mInvalid fragment_index count: 65536\n"},
      {nullptr, nullptr, nullptr, "[ERROR-]:[42]:\033[m"},
      {"", "storage_loadBase", "invalid base\n", "[ERROR-]:storage_loadBase[42]:\033[minvalid base\n"},
  };
  for (const auto &c : cases) {
    std::string out = captureStdout([&c] { qmx_common_log(1, c.tag, c.function, 42, c.format, 65536u); });
    EXPECT_EQ(withoutTime(out), "\033[1;31m" + c.want);
    // The time is the local wall clock with milliseconds, two digits each.
    ASSERT_GT(out.size(), 20u);
    EXPECT_EQ(out.substr(0, 8) + out[10] + out[13] + out[16] + out[20], "\033[1;31m[::: ");
    for (int i : {8, 9, 11, 12, 14, 15, 17, 18, 19}) EXPECT_TRUE(isdigit(out[i])) << i;
  }
}

TEST(Log, ShowsTheLocalTimeOfTheTimeZone) {
  // With a zone eight hours east of UTC the printed hour is UTC + 8.
  setenv("TZ", "CST-8", 1);
  tzset();
  time_t before = time(nullptr);
  std::string out = captureStdout([] { qmx_common_log(1, "T", "f", 1, "x\n"); });
  struct tm utc;
  gmtime_r(&before, &utc);
  int hour = atoi(out.substr(8, 2).c_str());
  int expected = (utc.tm_hour + 8) % 24;
  // The hour may have turned between the two clock reads.
  EXPECT_TRUE(hour == expected || hour == (expected + 1) % 24) << out;
}

TEST(Log, ThresholdIsOneSoOnlyErrorsPrint) {
  EXPECT_EQ(qmx_common_logThreshold(), 1u);
  for (uint32_t level : {0u, 2u, 3u, 4u, 5u}) {
    std::string out = captureStdout([level] { qmx_common_log(level, "MUXER", "f", 1, "hidden\n"); });
    EXPECT_EQ(out, "") << "level " << level;
  }
}

TEST(Log, NothingIsFlushedByTheLog) {
  // Standard output to a file is fully buffered: a line stays in the buffer
  // until someone else flushes.
  fflush(stdout);
  char path[] = "/tmp/logflushXXXXXX";
  int fd = mkstemp(path);
  int saved = dup(1);
  dup2(fd, 1);
  qmx_common_log(1, "T", "f", 1, "buffered\n");
  off_t size = lseek(fd, 0, SEEK_END);
  fflush(stdout);
  off_t after = lseek(fd, 0, SEEK_END);
  dup2(saved, 1);
  close(saved);
  close(fd);
  unlink(path);
  EXPECT_EQ(size, 0);
  EXPECT_GT(after, 0);
}

TEST(Clock, ReturnsWholeSecondsOfTheWallClock) {
  int64_t a = static_cast<int64_t>(time(nullptr));
  int64_t t = qmx_common_getTimeSec();
  int64_t b = static_cast<int64_t>(time(nullptr));
  EXPECT_GE(t, a);
  EXPECT_LE(t, b);
}

}  // namespace
