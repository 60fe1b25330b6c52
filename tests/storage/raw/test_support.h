// Helpers shared by the raw-disk library tests: capturing standard output,
// picking log lines apart, local times, and attaching a card image file.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device.h"
#include "qmx_storage.h"
#include "test_io.h"

namespace cardtest {

using testio::captureStdout;

// The ERROR lines of the library in output, each as "function|message"
// (message without its line end); other text is skipped.
inline std::vector<std::string> logLines(const std::string &out) {
  std::vector<std::string> lines;
  const std::string head = " ERROR-STORAGE]:";
  size_t at = 0;
  while ((at = out.find(head, at)) != std::string::npos) {
    size_t fn = at + head.size();
    size_t bracket = out.find('[', fn);
    size_t msg = out.find("\033[m", bracket);
    size_t end = out.find('\n', msg);
    if (bracket == std::string::npos || msg == std::string::npos || end == std::string::npos) break;
    lines.push_back(out.substr(fn, bracket - fn) + "|" + out.substr(msg + 3, end - msg - 3));
    at = end;
  }
  return lines;
}

using testio::localTime;

// A per-process directory for card images. Image names are reused across
// tests so that the device layer sees the same few volumes.
inline std::string imageDir() {
  static std::string dir = [] {
    char tmpl[] = "/tmp/rawcardsXXXXXX";
    return std::string(mkdtemp(tmpl));
  }();
  return dir;
}

// Attaches an image file as the only disk besides the fake tree's and
// returns its disk number, or -1.
inline int attachImage(const std::string &path) {
  plat_detachAll();
  if (plat_attachPath(path.c_str()) != 0) return -1;
  plat_volume *vols = nullptr;
  int n = plat_listVolumes(&vols);
  int disk = -1;
  for (int i = 0; i < n; i++) {
    if (vols[i].root[0] == '\0') disk = static_cast<int>(vols[i].diskNumber);
  }
  plat_freeVolumes(vols);
  return disk;
}

// Each test starts with the library initialised, no disk open and nothing
// attached.
class RawTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qmx_storage_init();
    qmx_storage_close();
    for (uint32_t h = 0; h < 4; h++) qmx_storage_playbackStop(h);
    plat_detachAll();
  }
  void TearDown() override {
    qmx_storage_close();
    plat_detachAll();
  }
  // Loads an image; returns the load's result and keeps what it printed.
  int load(const std::string &path) {
    int disk = attachImage(path);
    EXPECT_GE(disk, 0);
    int rc = -1;
    out = captureStdout([&] { rc = qmx_storage_load(static_cast<uint32_t>(disk)); });
    return rc;
  }
  std::string out;
};

}  // namespace cardtest
