// Entry point of the raw-disk library tests: a fixed time zone and no real
// block devices, only the disks the tests attach or fake.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>

#include "test_support.h"

// Removes the card images the tests wrote.
class ImageCleanup : public ::testing::Environment {
 public:
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(cardtest::imageDir(), ec);
  }
};

int main(int argc, char **argv) {
  setenv("TZ", "CST-8", 0);
  tzset();
  // Only the disks a test attaches or fakes exist for the library.
  plat_setRoots("/nonexistent", "/nonexistent", "/nonexistent");
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new ImageCleanup);
  return RUN_ALL_TESTS();
}
