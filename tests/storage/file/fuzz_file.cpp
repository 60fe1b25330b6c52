// Fuzz target for the file-layout card library: the input becomes the files
// of a card volume (fuzz_layout.h) in a fixed temporary directory, which is
// then loaded, queried and played on every channel to the end. Nothing may
// crash, hang or keep a file of the card open after the close; a handle
// that ends says why, and a day list stays within a day's bound.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "device.h"
#include "fuzz_layout.h"
#include "qmx_storage_v2.h"
#include "storage_v2_internal.h"

namespace {

namespace fs = std::filesystem;

std::string g_dir;
int g_drive = -1;
int g_stdout = -1;
int g_devnull = -1;

void removeDir() {
  std::error_code ec;
  if (!g_dir.empty()) fs::remove_all(g_dir, ec);
}

void setUp() {
  // Every input rewrites the card's files: a memory file system keeps that
  // cheap where there is one.
  char shm[] = "/dev/shm/fuzz_file.XXXXXX";
  char tmp[] = "/tmp/fuzz_file.XXXXXX";
  char *tmpl = mkdtemp(shm);
  if (!tmpl) tmpl = mkdtemp(tmp);
  if (!tmpl) abort();
  g_dir = fs::canonical(tmpl).string();
  atexit(removeDir);
  fs::create_directories(g_dir + "/storage/index");
  fs::create_directories(g_dir + "/storage/record");
  // Only the attached directory takes part, never a disk of the machine.
  plat_setRoots("/nonexistent", "/nonexistent", "/nonexistent");
  if (plat_attachPath(g_dir.c_str()) != 0) abort();
  plat_volume *vols = nullptr;
  int n = plat_listVolumes(&vols);
  for (int i = 0; i < n; i++)
    if (g_dir == vols[i].root) g_drive = vols[i].driveIndex;
  plat_freeVolumes(vols);
  if (g_drive < 0) abort();
  qmx_storage_v2_init();
  // The library's error lines would flood the run; they still get written.
  g_stdout = dup(STDOUT_FILENO);
  g_devnull = open("/dev/null", O_WRONLY);
}

// Rewrites the check word that closes the record at buf[at .. at + size).
void reseal(std::vector<uint8_t> &buf, size_t at, size_t size) {
  if (size < 2 || at > buf.size() || size > buf.size() - at) return;
  uint16_t crc = v2_crc16(&buf[at], size - 2);
  buf[at + size - 2] = static_cast<uint8_t>(crc & 0xFF);
  buf[at + size - 1] = static_cast<uint8_t>(crc >> 8);
}

// Puts right the check words of the file with table index i.
void resealFile(size_t i, std::vector<uint8_t> &b) {
  switch (i) {
    case 0: reseal(b, 0, 39); break;
    case 1:
    case 2: reseal(b, 0, 57); break;
    case 3: for (size_t at = 0; at + 32 <= b.size(); at += 32) reseal(b, at, 32); break;
    case 4: for (size_t at = 0; at + 15 <= b.size(); at += 15) reseal(b, at, 15); break;
    case 5: reseal(b, 0, 6); break;
    default:
      // Frame headers, walked as a reader walks them.
      for (size_t at = 0; at + 12 <= b.size();) {
        reseal(b, at, 12);
        uint32_t word = static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
                        (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
        if (word & (1u << 27)) break;
        at += 12 + ((word >> 5) & 0x3FFFFF);
      }
      break;
  }
}

void writeFiles(const uint8_t *data, size_t size) {
  size_t at = fuzzlayout::kTableSize < size ? fuzzlayout::kTableSize : size;
  const bool resealAll = size >= fuzzlayout::kTableSize && (data[fuzzlayout::kTableSize - 1] & fuzzlayout::kReseal);
  for (size_t i = 0; i < fuzzlayout::kFileCount; i++) {
    std::string path = g_dir + "/" + fuzzlayout::kFiles[i];
    size_t len = 0;
    bool absent = false;
    if (2 * i + 1 < size) {
      uint16_t v = static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8));
      absent = v == fuzzlayout::kAbsent;
      len = absent ? 0 : v;
    }
    if (absent) {
      unlink(path.c_str());
      continue;
    }
    if (len > size - at) len = size - at;
    std::vector<uint8_t> bytes(data + at, data + at + len);
    if (resealAll) resealFile(i, bytes);
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) abort();
    if (len && fwrite(bytes.data(), 1, len, f) != len) abort();
    fclose(f);
    at += len;
  }
}

// Descriptors open on anything below the card directory.
int cardFds() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  if (!d) return 0;
  while (struct dirent *e = readdir(d)) {
    char link[4096];
    std::string fd = std::string("/proc/self/fd/") + e->d_name;
    ssize_t len = readlink(fd.c_str(), link, sizeof link - 1);
    if (len > 0 && std::string(link, static_cast<size_t>(len)).rfind(g_dir, 0) == 0) n++;
  }
  closedir(d);
  return n;
}

void play(uint8_t channel, int64_t start, bool seek) {
  uint32_t handle = 0, codec = 0;
  if (qmx_storage_v2_playbackStart(channel, static_cast<uint64_t>(start), &handle, &codec) != 0) return;
  int r = 0;
  for (int i = 0; r == 0; i++) {
    qmx_storage_v2_frame frame;
    memset(&frame, 0, sizeof frame);
    r = qmx_storage_v2_playbackFrame(handle, &frame);
    if (r != 0) break;
    // Touch the whole frame so that a short buffer shows up under ASan.
    volatile uint8_t sum = 0;
    for (uint32_t k = 0; k < QMX_V2_FRAME_LENGTH(frame.word); k++) sum = sum + frame.data[k];
    if (QMX_V2_FRAME_LENGTH(frame.word) == 0) abort();  // never an empty frame
    qmx_storage_v2_freeFrame(handle, &frame);
    if (i > 2000000) abort();  // playback that does not end
    if (seek && i == 16) qmx_storage_v2_playbackSeek(handle, 1500);
  }
  int why = qmx_storage_v2_playbackEnd(handle, nullptr);
  bool told = r == 1 ? why == QMX_PLAYBACK_END_OF_DATA
                     : why == QMX_PLAYBACK_READ_ERROR || why == QMX_PLAYBACK_DAMAGED;
  if (!told) abort();  // ended without the reason
  qmx_storage_v2_playbackProgress(handle);
  qmx_storage_v2_playbackStop(handle);
}

void exercise() {
  if (qmx_storage_v2_open(static_cast<uint8_t>(g_drive)) != 0) return;
  uint8_t channels = qmx_storage_v2_getChannelNum();
  qmx_storage_v2_getVideoType();
  int64_t start = 0, end = 0;
  qmx_storage_v2_getValidTime(&start, &end);
  const int64_t day = 86400;
  int64_t times[] = {start, start - day / 2, end - day / 2, 0};
  for (int64_t t : times) {
    qmx_storage_v2_queryByMonth(t, t + 31 * day);
    qmx_storage_v2_queryByMonth(t, t + 45 * day);
    qmx_storage_v2_channelsInSpan(t, t + day);
    qmx_storage_v2_dayFragment *list = qmx_storage_v2_queryByDay(t, t + day);
    if (list && list->count > 86401) abort();
    if (list) {
      volatile int64_t sum = 0;
      for (uint32_t i = 0; i < list->count; i++) sum = sum + list->fragment[i].endTime;
      free(list);
    }
  }
  for (uint8_t ch = 0; ch < channels && ch < 8; ch++) {
    play(ch, start, false);
    play(ch, start + (end - start) / 2, true);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (g_drive < 0) setUp();
  writeFiles(data, size);
  fflush(stdout);
  if (g_devnull >= 0) dup2(g_devnull, STDOUT_FILENO);
  exercise();
  qmx_storage_v2_close();
  fflush(stdout);
  if (g_stdout >= 0) dup2(g_stdout, STDOUT_FILENO);
  if (cardFds() != 0) {
    fprintf(stderr, "fuzz_file: a card file is still open after the close\n");
    abort();
  }
  return 0;
}
