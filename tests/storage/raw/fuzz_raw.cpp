// Fuzz target of the raw-disk library. An input is a disk in pieces: each
// piece is an 8-byte little-endian address, a 4-byte length and that many
// bytes. The disk ends where the last piece ends (pieces beyond 64 GiB are
// left out) and what no piece covers reads as zero, so an input reaches the
// card information, the indexes, the lists and the whole frame ring, as far
// apart as a card has them. Each input is loaded, queried and played on
// every channel to the end, and each channel that played is exported into
// memory (the input's size picks the timing and the MP4 layout: see
// fuzz_export.h); nothing may crash, hang or leak, a played frame is never
// empty and a handle that ends says why.
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "device.h"
#include "fuzz_export.h"
#include "qmx_common.h"
#include "qmx_storage.h"

namespace {

constexpr uint64_t kMaxDisk = 64ull << 30;
constexpr int kMaxFrames = 2000000;  // far more than an input can hold

int g_fd = -1;
int g_disk = -1;

// The disk is a sparse file, in memory where /dev/shm is, attached once.
void setUp() {
  static char path[] = "/dev/shm/fuzz_raw.XXXXXX", other[] = "/tmp/fuzz_raw.XXXXXX";
  static char *name = (g_fd = mkstemp(path)) >= 0 ? path : (g_fd = mkstemp(other), other);
  if (g_fd < 0) abort();
  atexit([] { unlink(name); });
  // The load report and the log lines would only slow the run down.
  if (!freopen("/dev/null", "w", stdout)) abort();
  qmx_common_setQuiet(1);
  qmx_storage_init();
  plat_setRoots("/nonexistent", "/nonexistent", "/nonexistent");
  plat_volume *vols = nullptr;
  if (plat_attachPath(name) != 0 || plat_listVolumes(&vols) != 1) abort();
  g_disk = static_cast<int>(vols[0].diskNumber);
  plat_freeVolumes(vols);
}

uint64_t le(const uint8_t *p, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; i--) v = v << 8 | p[i];
  return v;
}

// Lays the pieces out on the disk file.
void writeDisk(const uint8_t *data, size_t size) {
  if (ftruncate(g_fd, 0) != 0) abort();
  uint64_t end = 0;
  for (size_t at = 0; at + 12 <= size;) {
    uint64_t addr = le(data + at, 8);
    size_t len = static_cast<size_t>(le(data + at + 8, 4));
    at += 12;
    if (len > size - at) len = size - at;
    if (addr < kMaxDisk && len <= kMaxDisk - addr) {
      if (pwrite(g_fd, data + at, len, static_cast<off_t>(addr)) != static_cast<ssize_t>(len)) abort();
      if (addr + len > end) end = addr + len;
    }
    at += len;
  }
  if (ftruncate(g_fd, static_cast<off_t>(end)) != 0) abort();
}

int64_t add(int64_t a, int64_t b) {
  int64_t r;
  return __builtin_add_overflow(a, b, &r) ? (b > 0 ? INT64_MAX : INT64_MIN) : r;
}

// Plays from startSec to the end; the number of pictures handed out.
uint64_t play(uint32_t channel, int64_t startSec, bool seek) {
  uint32_t h = 0;
  if (qmx_storage_playbackStart(channel, static_cast<uint64_t>(startSec), &h) != 0) return 0;
  int frames = 0;
  uint64_t pictures = 0;
  for (;; frames++) {
    qmx_storage_frameInfo info;
    if (qmx_storage_playbackFrameInfo(h, &info) != 0) break;
    qmx_storage_frame frame = {nullptr, 0};
    if (qmx_storage_playbackFrame(h, &frame) != 0) break;
    if (frame.size == 0 || !frame.data) abort();  // never an empty frame
    pictures += (info.flags & 0x0F) == 1;
    qmx_storage_freeFrame(&frame);
    if (frames > kMaxFrames) abort();  // playback that does not end
    if (seek && frames == 16) qmx_storage_playbackSeek(h, 1000);
  }
  qmx_storage_playbackProgress(h);
  int why = qmx_storage_playbackEnd(h, nullptr);
  if (why != QMX_PLAYBACK_END_OF_DATA && why != QMX_PLAYBACK_READ_ERROR && why != QMX_PLAYBACK_DAMAGED)
    abort();  // ended without a reason
  qmx_storage_playbackSeek(h, UINT64_MAX);
  qmx_storage_playbackStop(h);
  return pictures;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (g_fd < 0) setUp();
  writeDisk(data, size);
  qmx_storage_load(static_cast<uint32_t>(g_disk));  // queries also run after a failed load
  qmx_storage_getChannelNum();
  int videoType = qmx_storage_getVideoType();
  for (uint32_t c = 0; c < 4; c++) {
    int64_t start = 0, end = 0;
    if (qmx_storage_getValidTime(c, &start, &end) != 0) end = start + 86400;
    qmx_storage_queryByMonth(c, add(start, -86400 * 2), add(start, 86400 * 29));
    qmx_storage_queryByMonth(c, add(end, -86400 * 30), add(end, 86400));
    qmx_storage_dayFragment *list = qmx_storage_queryByDay(c, start, add(start, 86400));
    if (list && list->count > 86401) abort();
    free(list);
    free(qmx_storage_queryByDay(c, add(end, -86400), end));
    if (uint64_t pictures = play(c, start, false))
      fuzzExport(1, static_cast<int>(c), videoType, start, end, static_cast<unsigned>(size), pictures);
    play(c, (start / 2) + (end / 2), true);
  }
  qmx_storage_close();
  return 0;
}
