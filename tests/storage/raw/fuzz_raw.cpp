// Fuzz target of the raw-disk library: the input is a disk whose bytes from
// 100 MiB on are the input (the card information first; everything before
// reads as zero). Each input is loaded, queried and played on every channel;
// nothing may crash, hang or leak.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include "device.h"
#include "qmx_storage.h"

namespace {

constexpr uint64_t kCardBase = 0x6400000;
constexpr int kMaxFrames = 64;

// a + b, held at the ends of the range instead of overflowing.
int64_t add(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
  return r;
}

void play(uint32_t channel, int64_t startSec) {
  uint32_t handle = 0;
  if (qmx_storage_playbackStart(channel, static_cast<uint64_t>(startSec), &handle) != 0) return;
  for (int i = 0; i < kMaxFrames; i++) {
    qmx_storage_frameInfo info;
    if (qmx_storage_playbackFrameInfo(handle, &info) != 0) break;
    qmx_storage_frame frame = {nullptr, 0};
    if (qmx_storage_playbackFrame(handle, &frame) != 0) break;
    qmx_storage_freeFrame(&frame);
    if (i == kMaxFrames / 2) qmx_storage_playbackSeek(handle, 1000);
  }
  qmx_storage_playbackProgress(handle);
  qmx_storage_playbackSeek(handle, UINT64_MAX);
  qmx_storage_playbackStop(handle);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = [] {
    qmx_storage_init();
    plat_setRoots("/nonexistent", "/nonexistent", "/nonexistent");
    return true;
  }();
  (void)ready;

  // The same name every time: the previous input's disk is replaced, so the
  // device layer's memory stays the same size however many inputs run.
  int disk = plat_attachMemory(data, size, kCardBase, "fuzz");
  if (disk < 0) return 0;
  qmx_storage_load(static_cast<uint32_t>(disk));  // queries also run after a failed load
  qmx_storage_getChannelNum();
  qmx_storage_getVideoType();
  for (uint32_t c = 0; c < 4; c++) {
    int64_t start = 0, end = 0;
    if (qmx_storage_getValidTime(c, &start, &end) != 0) {
      start = 0;
      end = 86400;
    }
    qmx_storage_queryByMonth(c, add(start, -86400 * 2), add(start, 86400 * 29));
    qmx_storage_queryByMonth(c, add(end, -86400 * 30), add(end, 86400));
    free(qmx_storage_queryByDay(c, start, add(start, 86400)));
    free(qmx_storage_queryByDay(c, add(end, -86400), end));
    play(c, start);
    play(c, (start / 2) + (end / 2));
  }
  qmx_storage_close();
  plat_detachAll();
  return 0;
}
