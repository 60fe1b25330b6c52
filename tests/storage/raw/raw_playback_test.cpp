// Playback handles over a frame ring that wraps: positioning on I-frames
// across list boundaries, frame order and data, the end of the data, seek,
// progress, the handle table and corrupt frames.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "card_builder.h"
#include "test_support.h"

using namespace cardtest;

namespace {

// 30 frames 250 ms apart from T0; every fourth is audio, frames 0, 8, 16
// and 24 are I-frames (two I-frame lists of two). Frames 0 to 19 lie from
// framePart + 0x1000 up to the wrap point, 20 to 29 from framePart.
class RawPlayback : public RawTest {
 protected:
  void SetUp() override {
    RawTest::SetUp();
    std::string path = imageDir() + "/playback.img";
    img.reset(new CardImage(path));
    ChannelAreas a = ChannelAreas::forChannel(0);
    uint64_t at = a.framePart + 0x1000;
    for (int i = 0; i < 30; i++) {
      if (i == 20) {
        a.frameRetrace = at;  // frame 19 ends exactly at the wrap point
        at = a.framePart;
      }
      addr[i] = at;
      img->frame(at, len(i), timeMs(i), flags(i), static_cast<uint8_t>(i * 16));
      at += 13 + len(i);
    }
    img->cardInfo(0, 0x01, {a});
    img->index(a.fragIdx, {{t0, a.fragPart}});
    img->fragmentList(a.fragPart, {{t0, t0 + 8, addr[0], at, 0}});
    img->iframeList(a.iframePart, {{timeMs(0), addr[0]}, {timeMs(8), addr[8]}});
    img->iframeList(a.iframePart + 0x10000, {{timeMs(16), addr[16]}, {timeMs(24), addr[24]}});
    img->index(a.iframeIdx, {{timeMs(0), a.iframePart}, {timeMs(16), a.iframePart + 0x10000}});
    area = a;
    ASSERT_EQ(load(path), 0) << out;
  }

  static uint32_t len(int i) { return 40 + 3 * static_cast<uint32_t>(i); }
  static uint8_t flags(int i) { return static_cast<uint8_t>((i % 4 == 3 ? 0 : 1) | (i % 16) << 4); }
  int64_t timeMs(int i) const { return t0 * 1000 + 250 * i; }

  // Starts channel 0 at T0 + s seconds; the handle, or -1.
  int start(uint64_t s) {
    uint32_t h = 99;
    int rc = -1;
    out = captureStdout([&] { rc = qmx_storage_playbackStart(0, static_cast<uint64_t>(t0) + s, &h); });
    return rc == 0 ? static_cast<int>(h) : -1;
  }
  // Time of the frame the handle stands on, relative to T0 in ms; or the
  // frame information call's error.
  int64_t at(int h) {
    qmx_storage_frameInfo info;
    int rc = qmx_storage_playbackFrameInfo(static_cast<uint32_t>(h), &info);
    return rc == 0 ? info.time - t0 * 1000 : rc;
  }

  std::unique_ptr<CardImage> img;
  ChannelAreas area{};
  uint64_t addr[30] = {};
  const int64_t t0 = localTime(2026, 3, 12, 10);
};

TEST_F(RawPlayback, StartFindsTheFirstIframeAtOrAfterTheTime) {
  int h = start(0);
  EXPECT_EQ(at(h), 0);
  EXPECT_EQ(qmx_storage_playbackProgress(h), 0);
  qmx_storage_playbackStop(h);

  // Between two I-frames of a list: the later one; progress is the distance.
  h = start(1);
  EXPECT_EQ(at(h), 2000);
  EXPECT_EQ(qmx_storage_playbackProgress(h), 1000);
  qmx_storage_frameInfo info;
  ASSERT_EQ(qmx_storage_playbackFrameInfo(h, &info), 0);
  EXPECT_EQ(info.flags, flags(8));
  qmx_storage_playbackStop(h);

  // After the last I-frame of the first list: the first of the next list.
  h = start(3);
  EXPECT_EQ(at(h), 4000);
  qmx_storage_playbackStop(h);

  // After the last I-frame of all.
  EXPECT_EQ(start(7), -1);
  EXPECT_EQ(logLines(out), (std::vector<std::string>{"playbackSet|I-frame not found",
                                                     "qmx_storage_playbackStart|playbackSet failed"}));
}

TEST_F(RawPlayback, FramesFollowTheRingUpToTheLastIframe) {
  int h = start(3);
  ASSERT_EQ(h, 0);
  for (int i = 16; i <= 24; i++) {
    ASSERT_EQ(at(h), timeMs(i) - t0 * 1000) << i;
    qmx_storage_frame frame = {nullptr, 0};
    ASSERT_EQ(qmx_storage_playbackFrame(h, &frame), 0) << i;
    ASSERT_EQ(frame.size, len(i));
    for (uint32_t j = 0; j < frame.size; j++)
      ASSERT_EQ(frame.data[j], static_cast<uint8_t>(i * 16 + j)) << i << " " << j;
    qmx_storage_freeFrame(&frame);
    EXPECT_EQ(frame.data, nullptr);
    // Audio frames leave the progress at the last video frame.
    if (i == 19) {
      EXPECT_EQ(qmx_storage_playbackProgress(h), timeMs(18) - (t0 + 3) * 1000);
    }
  }
  // Frames 25 to 29 lie after the last I-frame and are not played.
  EXPECT_EQ(at(h), -5);
  qmx_storage_frame frame = {nullptr, 0};
  EXPECT_EQ(qmx_storage_playbackFrame(h, &frame), -1);
  EXPECT_EQ(frame.data, nullptr);
  EXPECT_EQ(qmx_storage_playbackProgress(h), 0);
}

TEST_F(RawPlayback, SeekMovesFromTheStartTimeAndStopsAtTheLastIframe) {
  int h = start(0);
  ASSERT_EQ(qmx_storage_playbackSeek(h, 2500), 0);
  EXPECT_EQ(at(h), 4000);
  ASSERT_EQ(qmx_storage_playbackSeek(h, 1000000000), 0);
  EXPECT_EQ(at(h), 6000);
  ASSERT_EQ(qmx_storage_playbackSeek(h, UINT64_MAX), 0);
  EXPECT_EQ(at(h), 6000);
  EXPECT_EQ(qmx_storage_playbackProgress(h), 0);  // no frame read since the start
  qmx_storage_playbackStop(h);
  EXPECT_EQ(qmx_storage_playbackSeek(h, 0), -1);
}

TEST_F(RawPlayback, FourHandlesAndTheLowestFreeIsReused) {
  for (int i = 0; i < 4; i++) EXPECT_EQ(start(0), i);
  EXPECT_EQ(start(0), -1);
  EXPECT_EQ(logLines(out), std::vector<std::string>{"qmx_storage_playbackStart|No handle available"});
  qmx_storage_playbackStop(2);
  qmx_storage_playbackStop(1);
  qmx_storage_playbackStop(9);  // ignored
  EXPECT_EQ(start(1), 1);
  EXPECT_EQ(at(2), -5);
  EXPECT_EQ(at(3), 0);

  // A handle is only for the card's channels, and nothing plays without a disk.
  uint32_t handle;
  EXPECT_EQ(qmx_storage_playbackStart(1, static_cast<uint64_t>(t0), &handle), -1);
  qmx_storage_close();
  EXPECT_EQ(at(0), -2);
  EXPECT_EQ(qmx_storage_playbackProgress(0), -1);
}

TEST_F(RawPlayback, HandlesPlayInParallelWithQueries) {
  // Two threads play from different I-frames while a third queries; each
  // must see exactly its own frames, in order, with their own bytes.
  auto play = [&](uint64_t s, int first, bool *ok) {
    uint32_t h;
    *ok = false;
    for (int round = 0; round < 20; round++) {
      if (qmx_storage_playbackStart(0, static_cast<uint64_t>(t0) + s, &h) != 0) return;
      for (int i = first; i <= 24; i++) {
        qmx_storage_frame frame = {nullptr, 0};
        if (qmx_storage_playbackFrame(h, &frame) != 0 || frame.size != len(i) ||
            frame.data[frame.size - 1] != static_cast<uint8_t>(i * 16 + frame.size - 1))
          return;
        qmx_storage_freeFrame(&frame);
      }
      qmx_storage_frameInfo info;
      if (qmx_storage_playbackFrameInfo(h, &info) != -5) return;
    }
    *ok = true;
  };
  bool ok1 = false, ok2 = false;
  std::thread a(play, 0, 0, &ok1), b(play, 3, 16, &ok2);
  for (int i = 0; i < 200; i++) {
    int64_t start = 0, end = 0;
    ASSERT_EQ(qmx_storage_getValidTime(0, &start, &end), 0);
    ASSERT_EQ(start, t0);
  }
  a.join();
  b.join();
  EXPECT_TRUE(ok1);
  EXPECT_TRUE(ok2);
}

TEST_F(RawPlayback, CorruptFramesEndThePlayback) {
  // A frame length above 16 MiB is a failed read, not an allocation.
  img->u32(addr[9], 16777217);
  int h = start(1);
  qmx_storage_frame frame = {nullptr, 0};
  ASSERT_EQ(qmx_storage_playbackFrame(h, &frame), 0);
  qmx_storage_freeFrame(&frame);
  int rc = 0;
  out = captureStdout([&] { rc = qmx_storage_playbackFrame(h, &frame); });
  EXPECT_EQ(rc, -1);
  char expected[128];
  snprintf(expected, sizeof expected, "qmx_storage_playbackFrame|read frame addr: %#llx len: 16777217 failed",
           static_cast<unsigned long long>(addr[9] + 13));
  EXPECT_EQ(logLines(out), std::vector<std::string>{expected});
  EXPECT_EQ(at(h), -5);

  // A ring whose frames never reach the last I-frame's time (here: from
  // frame 23 on, empty frames of time 0 up to frame 0, round and round the
  // ring) ends within one turn of the ring and its slack.
  img->u32(addr[9], len(9));
  uint64_t gap = addr[0] - addr[23];
  img->bytes(addr[23], std::vector<uint8_t>(gap, 0));
  img->u32(addr[23], static_cast<uint32_t>((gap - 13) % 13));  // empty frames end at frame 0
  h = start(3);
  int frames = 0;
  while (at(h) != -5 && frames < 1000000) {
    ASSERT_EQ(qmx_storage_playbackFrame(h, &frame), 0);
    qmx_storage_freeFrame(&frame);
    frames++;
  }
  EXPECT_LT(frames, 1000000);
  EXPECT_GT(frames, 8);
}

}  // namespace
