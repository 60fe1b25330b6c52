// Helpers shared by the device layer's tests.
#pragma once

#include <stdlib.h>

#include <map>
#include <string>
#include <vector>

#include "device.h"
#include "fake_sysfs.h"

inline std::vector<plat_volume> listAll() {
  plat_volume *list = nullptr;
  int n = plat_listVolumes(&list);
  std::vector<plat_volume> out(list, list + n);
  plat_freeVolumes(list);
  return out;
}

inline std::map<std::string, plat_volume> byName(const std::vector<plat_volume> &vs) {
  std::map<std::string, plat_volume> m;
  for (const auto &v : vs) m[v.name] = v;
  return m;
}

// Bytes that differ from block to block, so a read of the wrong block shows.
inline std::vector<uint8_t> pattern(size_t n, unsigned seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto &b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return v;
}

// A fresh fake tree for each test, and no attached paths before or after.
class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plat_detachAll();
    fs.install();
  }
  void TearDown() override { plat_detachAll(); }
  fakesys::FakeSysfs fs;
};
