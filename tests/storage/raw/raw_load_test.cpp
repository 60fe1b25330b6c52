// Block reads, disk opening, the card-information check, the load report,
// and discovery over a fake /sys tree.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "card_builder.h"
#include "fake_sysfs.h"
#include "qmx_storage.h"
#include "raw_internal.h"
#include "test_support.h"

using namespace cardtest;

namespace {

TEST_F(RawTest, BlockReadsCoverTheRangeAndStayOnTheDisk) {
  std::vector<uint8_t> bytes(4 * 4096);
  for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  int disk = plat_attachMemory(bytes.data(), bytes.size(), 0, "blocks");
  ASSERT_GE(disk, 0);
  ASSERT_EQ(qmx_raw::initHandle(static_cast<uint32_t>(disk)), 0);
  std::vector<uint8_t> buf(3 * 4096, 0xEE);

  // 13 bytes from 6 before a block end: two blocks, 6 + 7 bytes.
  plat_resetBlockReadCount();
  ASSERT_EQ(qmx_raw::readData(4096 - 6, buf.data(), 13), 0);
  EXPECT_EQ(plat_blockReadCount(), 2u);
  EXPECT_EQ(memcmp(buf.data(), &bytes[4090], 13), 0);
  EXPECT_EQ(buf[13], 0xEE);  // nothing written past the request

  // Ending exactly on a block boundary reads no extra block.
  plat_resetBlockReadCount();
  ASSERT_EQ(qmx_raw::readData(100, buf.data(), 4096 - 100), 0);
  EXPECT_EQ(plat_blockReadCount(), 1u);
  plat_resetBlockReadCount();
  ASSERT_EQ(qmx_raw::readData(4096, buf.data(), 2 * 4096), 0);
  EXPECT_EQ(plat_blockReadCount(), 2u);
  EXPECT_EQ(memcmp(buf.data(), &bytes[4096], 2 * 4096), 0);

  // Ranges off the disk, negative or overflowing are refused unread.
  plat_resetBlockReadCount();
  EXPECT_EQ(qmx_raw::readData(4 * 4096 - 4, buf.data(), 8), -1);
  EXPECT_EQ(qmx_raw::readData(-4096, buf.data(), 8), -1);
  EXPECT_EQ(qmx_raw::readData(4096, buf.data(), UINT64_MAX - 100), -1);
  EXPECT_EQ(plat_blockReadCount(), 0u);

  // A second disk cannot be opened until the first is closed.
  EXPECT_EQ(qmx_raw::initHandle(static_cast<uint32_t>(disk)), -1);
  EXPECT_EQ(qmx_storage_load(static_cast<uint32_t>(disk)), -1);
  ASSERT_EQ(qmx_storage_close(), 0);
  int rc = 0;
  out = captureStdout([&] { rc = qmx_raw::readData(0, buf.data(), 1); });
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(logLines(out), std::vector<std::string>{"readData|not open file yet."});
  EXPECT_EQ(qmx_raw::initHandle(static_cast<uint32_t>(disk)), 0);
  qmx_storage_close();

  out = captureStdout([&] { rc = qmx_raw::initHandle(999999); });
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(logLines(out), std::vector<std::string>{"initHandle|open failed."});
}

TEST_F(RawTest, CardInfoChannelNumberCodecAndChecksum) {
  std::string path = imageDir() + "/info.img";
  CardImage img(path);
  img.cardInfo(7, 0x09, {ChannelAreas::forChannel(0)});  // empty channel
  ASSERT_EQ(load(path), 0) << out;
  EXPECT_EQ(qmx_storage_getChannelNum(), 1);
  EXPECT_EQ(qmx_storage_getVideoType(), 1);

  // The sum covers bytes 4 to 80 for one channel: byte 81 is free, 80 is not.
  qmx_storage_close();
  img.u8(kCardInfo + 81, 0x77);
  EXPECT_EQ(load(path), 0) << out;
  qmx_storage_close();
  img.u8(kCardInfo + 80, 0x77);
  EXPECT_EQ(load(path), -1);
  EXPECT_EQ(logLines(out), std::vector<std::string>{"loadData|not proper card."});

  // A card with nothing on it has a zero sum, which never passes; channel
  // numbers 0 and 5 to 7 are refused even with a matching sum.
  for (uint8_t byte16 : {0x00, 0x05, 0x06, 0x07}) {
    CardImage bad(path);
    if (byte16) bad.cardInfo(7, byte16, {});
    qmx_storage_close();
    EXPECT_EQ(load(path), -1) << int(byte16);
    EXPECT_EQ(logLines(out), std::vector<std::string>{"loadData|not proper card."});
  }

  // Without an open disk the channel count is refused with its marker.
  qmx_storage_close();
  int n = 0;
  out = captureStdout([&] { n = qmx_storage_getChannelNum(); });
  EXPECT_EQ(n, -1);
  EXPECT_EQ(out, "1111111111");
}

TEST_F(RawTest, LoadPrintsTheReportForEachChannel) {
  std::string path = imageDir() + "/report.img";
  CardImage img(path);
  ChannelAreas a0 = ChannelAreas::forChannel(0), a1 = ChannelAreas::forChannel(1);
  img.cardInfo(-5, 0x02, {a0, a1});
  // Channel 0: I-frames but no fragments: loaded as empty.
  img.u32(a0.iframeIdx, 5);
  // Channel 1: one open fragment, whose end is the end of its last
  // I-frame's frame: 0x200 bytes in use.
  img.index(a1.fragIdx, {{1000, a1.fragPart}});
  img.fragmentList(a1.fragPart, {{1000, 0, a1.framePart + 0x100, 0, 1}});
  img.index(a1.iframeIdx, {{1000000, a1.iframePart}});
  img.iframeList(a1.iframePart, {{1000000, a1.framePart + 0x100}});
  img.frame(a1.framePart + 0x100, 0x200 - 13, 1000000, 0x11, 0);

  ASSERT_EQ(load(path), 0) << out;
  EXPECT_EQ(out,
            "card info:\n"
            "total: -5 channelNum: 2\n"
            "channel: 0 info:\n"
            " fragIdxPartAddr:   0x6500000\n"
            " fragPartAddr:      0x6600000\n"
            " iframeIdxPartAddr: 0x6700000\n"
            " iframePartAddr:    0x6800000\n"
            " framePartAddr:     0x6d00000\n"
            " frameRetraceAddr:  0x6d10000\n"
            " fragIndex count:   0\n"
            " iframeIndex count: 0\n"
            " emptySize:         2162688\n"
            "channel: 1 info:\n"
            " fragIdxPartAddr:   0x7500000\n"
            " fragPartAddr:      0x7600000\n"
            " iframeIdxPartAddr: 0x7700000\n"
            " iframePartAddr:    0x7800000\n"
            " framePartAddr:     0x7d00000\n"
            " frameRetraceAddr:  0x7d10000\n"
            " fragIndex count:   1\n"
            " iframeIndex count: 1\n"
            " emptySize:         2162176\n");
  EXPECT_EQ(qmx_storage_getVideoType(), 0);
}

TEST_F(RawTest, DiscoveryListsEachUsbDiskOnceAndChecksItsCard) {
  fakesys::FakeSysfs fs;
  std::string good = fs.path("good.img"), bad = fs.path("bad.img");
  {
    CardImage g(good, kCardInfo + 4096);
    g.cardInfo(0, 0x01, {ChannelAreas::forChannel(0)});
    CardImage b(bad, kCardInfo + 4096);
    b.cardInfo(0, 0x00, {});
  }
  fs.addSataDisk("sda", {"sda1"}, fakesys::Image(good));
  fs.addUsbDisk("sdb", {"sdb1", "sdb2"}, fakesys::Image(good));
  fs.addUsbDisk("sdc", {}, fakesys::Image(bad));
  fs.addLoop("loop0", good);
  fs.install();

  qmx_storage_deviceList list = {nullptr, 0};
  int rc = -1;
  out = captureStdout([&] { rc = qmx_storage_findDevice(&list); });
  plat_setRoots("/nonexistent", "/nonexistent", "/nonexistent");
  ASSERT_EQ(rc, 0);
  ASSERT_EQ(list.count, 3) << out;
  std::vector<std::string> logs = logLines(out);
  auto count = [&](const std::string &line) { return std::count(logs.begin(), logs.end(), line); };
  EXPECT_EQ(count("allocateDevice|type not support."), 1);
  EXPECT_EQ(count("allocateDevice|already find current device."), 1);
  EXPECT_EQ(count("checkDeviceValid|check not pass."), 1);
  int valid = 0;
  for (int i = 0; i < list.count; i++) {
    valid += list.device[i].valid;
    for (int j = 0; j < i; j++) EXPECT_NE(list.device[i].id, list.device[j].id);
    EXPECT_LT(strlen(list.device[i].path), sizeof list.device[i].path);
  }
  EXPECT_EQ(valid, 2);
  qmx_storage_freeDevice(&list);
  EXPECT_EQ(list.count, 0);
  EXPECT_EQ(list.device, nullptr);
}

}  // namespace
