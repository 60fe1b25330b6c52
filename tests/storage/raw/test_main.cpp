// Entry point of the raw-disk library tests: a fixed time zone and no real
// block devices, only the disks the tests attach or fake.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "device.h"

int main(int argc, char **argv) {
  setenv("TZ", "CST-8", 0);
  tzset();
  // Only the disks a test attaches or fakes exist for the library.
  plat_setRoots("/nonexistent", "/nonexistent", "/nonexistent");
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
