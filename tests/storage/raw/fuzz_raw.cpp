// Fuzz target of the raw-disk library. An input is a disk in pieces: each
// piece is an 8-byte little-endian address, a 4-byte length and that many
// bytes. The disk ends where the last piece ends (pieces beyond 64 GiB are
// left out) and what no piece covers reads as zero, so an input reaches the
// card information, the indexes, the lists and the whole frame ring, as far
// apart as a card has them. Each input is loaded, queried and played on
// every channel to the end; nothing may crash, hang or leak, a played frame
// is never empty and a handle that ends says why.
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "device.h"
#include "qmx_storage.h"

namespace {

constexpr uint64_t kMaxDisk = 64ull << 30;
constexpr int kMaxFrames = 2000000;  // far more than an input can hold

int g_fd = -1;
int g_disk = -1;

void setUp() {
  char shm[] = "/dev/shm/fuzz_raw.XXXXXX", tmp[] = "/tmp/fuzz_raw.XXXXXX";
  char *path = shm;
  g_fd = mkstemp(shm);
  if (g_fd < 0) g_fd = mkstemp(path = tmp);
  if (g_fd < 0) abort();
  static std::string name = path;
  atexit([] { unlink(name.c_str()); });
  qmx_storage_init();
  plat_setRoots("/nonexistent", "/nonexistent", "/nonexistent");
  if (plat_attachPath(path) != 0) abort();
  plat_volume *vols = nullptr;
  int n = plat_listVolumes(&vols);
  for (int i = 0; i < n; i++) g_disk = static_cast<int>(vols[i].diskNumber);
  plat_freeVolumes(vols);
  if (g_disk < 0) abort();
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

void play(uint32_t channel, int64_t startSec, bool seek) {
  uint32_t h = 0;
  if (qmx_storage_playbackStart(channel, static_cast<uint64_t>(startSec), &h) != 0) return;
  int frames = 0;
  for (;; frames++) {
    qmx_storage_frameInfo info;
    if (qmx_storage_playbackFrameInfo(h, &info) != 0) break;
    qmx_storage_frame frame = {nullptr, 0};
    if (qmx_storage_playbackFrame(h, &frame) != 0) break;
    if (frame.size == 0 || !frame.data) abort();  // never an empty frame
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
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (g_fd < 0) setUp();
  writeDisk(data, size);
  fflush(stdout);
  int saved = dup(1), null = open("/dev/null", O_WRONLY);  // the load report and the log
  dup2(null, 1);
  qmx_storage_load(static_cast<uint32_t>(g_disk));  // queries also run after a failed load
  qmx_storage_getChannelNum();
  qmx_storage_getVideoType();
  for (uint32_t c = 0; c < 4; c++) {
    int64_t start = 0, end = 0;
    if (qmx_storage_getValidTime(c, &start, &end) != 0) end = start + 86400;
    qmx_storage_queryByMonth(c, add(start, -86400 * 2), add(start, 86400 * 29));
    qmx_storage_queryByMonth(c, add(end, -86400 * 30), add(end, 86400));
    qmx_storage_dayFragment *list = qmx_storage_queryByDay(c, start, add(start, 86400));
    if (list && list->count > 86401) abort();
    free(list);
    free(qmx_storage_queryByDay(c, add(end, -86400), end));
    play(c, start, false);
    play(c, (start / 2) + (end / 2), true);
  }
  qmx_storage_close();
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  close(null);
  return 0;
}
