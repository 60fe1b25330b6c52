// The fuzz seeds: small whole cards that start at the card information, as
// the fuzz target maps its input. The test checks that every committed seed
// is a card that loads and plays, so that mutations start from deep paths.
// With RAW_WRITE_SEEDS=<dir> it first writes them there.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "card_builder.h"
#include "test_support.h"

using namespace cardtest;

namespace {

constexpr uint64_t kSeedSize = 0xD200;

// One or two channels sharing their lists: two fragment lists (the newest
// fragment still open), one I-frame list of three, twelve frames in a ring
// that wraps after the sixth.
std::vector<uint8_t> seedCard(int channels, uint8_t codec) {
  const uint64_t b = kCardInfo;
  std::string path = imageDir() + "/seed.img";
  {
    CardImage img(path, b + kSeedSize);
    ChannelAreas a{b + 0x200, b + 0x400, b + 0x280, b + 0x4800, b + 0xC900, 0};
    const int64_t t = 1773280800;  // fixed, so that the seeds do not depend on the time zone
    uint64_t at = a.framePart + 0x400, addr[12];
    for (int i = 0; i < 12; i++) {
      if (i == 6) {
        a.frameRetrace = at;
        at = a.framePart;
      }
      addr[i] = at;
      uint32_t len = 20 + 5 * static_cast<uint32_t>(i);
      img.frame(at, len, t * 1000 + 100 * i, static_cast<uint8_t>(i % 3 == 2 ? 0x20 : 0x01), static_cast<uint8_t>(i));
      at += 13 + len;
    }
    img.cardInfo(12345, static_cast<uint8_t>(codec << 3 | channels),
                 std::vector<ChannelAreas>(static_cast<size_t>(channels), a));
    img.fragmentList(a.fragPart, {{t, t + 1, addr[0], addr[4], 1}});
    img.fragmentList(b + 0x2600, {{t + 1, 0, addr[4], 0, 2}});
    img.index(a.fragIdx, {{t, a.fragPart}, {t + 1, b + 0x2600}});
    img.iframeList(a.iframePart, {{t * 1000, addr[0]}, {t * 1000 + 400, addr[4]}, {t * 1000 + 800, addr[8]}});
    img.index(a.iframeIdx, {{t * 1000, a.iframePart}});
  }
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(b));
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

TEST_F(RawTest, FuzzSeedsAreCardsThatLoadAndPlay) {
  std::vector<std::vector<uint8_t>> seeds = {seedCard(1, 1), seedCard(2, 0)};
  if (const char *dir = getenv("RAW_WRITE_SEEDS")) {
    for (size_t i = 0; i < seeds.size(); i++) {
      std::ofstream out(std::string(dir) + "/card" + std::to_string(i + 1) + ".bin", std::ios::binary);
      out.write(reinterpret_cast<const char *>(seeds[i].data()), static_cast<std::streamsize>(seeds[i].size()));
    }
  }
  for (int i = 1; i <= 2; i++) {
    std::string path = std::string(RAW_SEED_DIR) + "/card" + std::to_string(i) + ".bin";
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(bytes, seeds[i - 1]) << path << " is out of date";
    int disk = plat_attachMemory(bytes.data(), bytes.size(), kCardInfo, "seed");
    int rc = -1;
    out = captureStdout([&] { rc = qmx_storage_load(static_cast<uint32_t>(disk)); });
    ASSERT_EQ(rc, 0) << out;
    int64_t start, end;
    ASSERT_EQ(qmx_storage_getValidTime(0, &start, &end), 0);
    uint32_t h;
    ASSERT_EQ(qmx_storage_playbackStart(0, static_cast<uint64_t>(start), &h), 0);
    int frames = 0;
    qmx_storage_frame frame;
    while (qmx_storage_playbackFrame(h, &frame) == 0) {
      qmx_storage_freeFrame(&frame);
      frames++;
    }
    EXPECT_EQ(frames, 9);  // frames 0 to 8, across the wrap
    qmx_storage_close();
  }
}

}  // namespace
