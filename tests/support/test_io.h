// Small helpers that many tests share: standard output captured around a
// call, a file's CRC-32, and local calendar times in the tests' fixed zone.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <fstream>
#include <string>

namespace testio {

// Runs fn with standard output sent to a temporary file; returns what it
// printed. The libraries' log never flushes, so both ends flush here.
template <typename Fn>
std::string captureStdout(Fn fn) {
  fflush(stdout);
  char path[] = "/tmp/captureXXXXXX";
  int fd = mkstemp(path);
  int saved = dup(1);
  dup2(fd, 1);
  fn();
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::string out;
  char buf[4096];
  lseek(fd, 0, SEEK_SET);
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fd);
  unlink(path);
  return out;
}

// CRC-32 (as zlib computes it) of a whole file; 0 for a file that cannot be read.
inline uint32_t fileCrc32(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  uLong crc = crc32(0L, Z_NULL, 0);
  char buf[1 << 16];
  while (f.read(buf, sizeof buf) || f.gcount() > 0)
    crc = crc32(crc, reinterpret_cast<const Bytef *>(buf), static_cast<uInt>(f.gcount()));
  return static_cast<uint32_t>(crc);
}

// Local time to Unix seconds (the tests run with a fixed TZ).
inline int64_t localTime(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  struct tm t = {};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  t.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&t));
}

}  // namespace testio
