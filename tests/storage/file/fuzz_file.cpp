// Fuzz target for the file-layout card library: the input becomes the files
// of a card volume (laid out as below) in a fixed temporary directory, which is
// then loaded, queried and played on every channel to the end, and each
// channel that played is exported into memory (the input's size picks the
// timing and the MP4 layout: see fuzz_export.h). Nothing may crash, hang or
// keep a file of the card open after the close; a handle that ends says why,
// and a day list stays within a day's bound.
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
#include "fuzz_export.h"
#include "qmx_common.h"
#include "qmx_storage_v2.h"
#include "storage_v2_internal.h"

// How a fuzz input maps onto the files of a card volume: a table of one
// little-endian 16-bit length per file (0xFFFF: the file is absent), a flags
// byte, then the files' bytes back to back. A length beyond the input takes
// what is left. Flag kReseal asks the target to put right every check word
// first, so that mutations reach past the checks into the records' meaning.
namespace fuzzlayout {

const char *const kFiles[] = {
    "storage/base.dt",           "storage/index/meta_00.dt",   "storage/index/meta_01.dt",
    "storage/index/frag.dt",     "storage/index/iframe.dt",    "storage/index/del_frag.dt",
    "storage/record/rec_0000.dt", "storage/record/rec_0001.dt", "storage/record/rec_0002.dt",
    "storage/record/rec_0003.dt", "storage/record/rec_0004.dt", "storage/record/rec_0005.dt",
};
const size_t kFileCount = sizeof kFiles / sizeof kFiles[0];
const uint16_t kAbsent = 0xFFFF;
const size_t kTableSize = 2 * kFileCount + 1;
const uint8_t kReseal = 0x01;

}  // namespace fuzzlayout

namespace {

namespace fs = std::filesystem;

std::string g_dir;
int g_drive = -1;
int g_lowestFd = -1;  // the lowest free descriptor after a run that left no card file open

int lowestFreeFd() {
  int fd = open("/dev/null", O_RDONLY);
  close(fd);
  return fd;
}

void removeDir() {
  std::error_code ec;
  if (!g_dir.empty()) fs::remove_all(g_dir, ec);
}

void setUp() {
  // Every input rewrites the card's files: a memory file system keeps that
  // cheap where there is one.
  char shm[] = "/dev/shm/fuzz_file.XXXXXX", tmp[] = "/tmp/fuzz_file.XXXXXX";
  char *dir = mkdtemp(shm) ? shm : mkdtemp(tmp);
  if (!dir) abort();
  g_dir = fs::canonical(dir).string();
  atexit(removeDir);
  fs::create_directories(g_dir + "/storage/index");
  fs::create_directories(g_dir + "/storage/record");
  // Only the attached directory takes part, never a disk of the machine.
  plat_setRoots("/nonexistent", "/nonexistent", "/nonexistent");
  plat_volume *vols = nullptr;
  if (plat_attachPath(g_dir.c_str()) != 0 || plat_listVolumes(&vols) != 1) abort();
  g_drive = vols[0].driveIndex;
  plat_freeVolumes(vols);
  qmx_storage_v2_init();
  qmx_common_setQuiet(1);  // the library's error lines would only slow the run down
  g_lowestFd = lowestFreeFd();
}

// Rewrites the check word that closes the record at buf[at .. at + size).
void reseal(std::vector<uint8_t> &buf, size_t at, size_t size) {
  if (size < 2 || at > buf.size() || size > buf.size() - at) return;
  uint16_t crc = v2_crc16(&buf[at], size - 2);
  buf[at + size - 2] = static_cast<uint8_t>(crc & 0xFF);
  buf[at + size - 1] = static_cast<uint8_t>(crc >> 8);
}

// Puts right the check words of the file with table index i: base, meta
// copies, the rings' records, the deleted list's header, or the frame
// headers of a record file, walked as a reader walks them.
void resealFile(size_t i, std::vector<uint8_t> &b) {
  static const size_t record[] = {39, 57, 57, 32, 15, 6};
  if (i < 6) {
    for (size_t at = 0; at + record[i] <= b.size() && (at == 0 || i == 3 || i == 4); at += record[i])
      reseal(b, at, record[i]);
    return;
  }
  for (size_t at = 0; at + 12 <= b.size();) {
    reseal(b, at, 12);
    uint32_t word = b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
    if (word & (1u << 27)) break;
    at += 12 + ((word >> 5) & 0x3FFFFF);
  }
}

// Writes the input's files; a file left as the last input had it is not
// written again (the library never writes, so it still holds those bytes).
void writeFiles(const uint8_t *data, size_t size) {
  static std::vector<uint8_t> last[fuzzlayout::kFileCount];
  static bool present[fuzzlayout::kFileCount];
  size_t at = fuzzlayout::kTableSize < size ? fuzzlayout::kTableSize : size;
  const bool resealAll = size >= fuzzlayout::kTableSize && (data[fuzzlayout::kTableSize - 1] & fuzzlayout::kReseal);
  for (size_t i = 0; i < fuzzlayout::kFileCount; i++) {
    std::string path = g_dir + "/" + fuzzlayout::kFiles[i];
    size_t len = 2 * i + 1 < size ? static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8)) : 0;
    if (len == fuzzlayout::kAbsent) {
      if (present[i]) unlink(path.c_str());
      present[i] = false;
      continue;
    }
    if (len > size - at) len = size - at;
    std::vector<uint8_t> bytes(data + at, data + at + len);
    at += len;
    if (resealAll) resealFile(i, bytes);
    if (present[i] && bytes == last[i]) continue;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || (len && write(fd, bytes.data(), len) != static_cast<ssize_t>(len))) abort();
    close(fd);
    present[i] = true;
    last[i].swap(bytes);
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

// Plays from start to the end; the number of pictures handed out.
uint64_t play(uint8_t channel, int64_t start, bool seek) {
  uint32_t handle = 0, codec = 0;
  if (qmx_storage_v2_playbackStart(channel, static_cast<uint64_t>(start), &handle, &codec) != 0) return 0;
  int r = 0;
  uint64_t pictures = 0;
  for (int i = 0; r == 0; i++) {
    qmx_storage_v2_frame frame;
    memset(&frame, 0, sizeof frame);
    r = qmx_storage_v2_playbackFrame(handle, &frame);
    if (r != 0) break;
    // Touch the whole frame so that a short buffer shows up under ASan.
    volatile uint8_t sum = 0;
    for (uint32_t k = 0; k < QMX_V2_FRAME_LENGTH(frame.word); k++) sum = sum + frame.data[k];
    if (QMX_V2_FRAME_LENGTH(frame.word) == 0) abort();  // never an empty frame
    pictures += frame.word & 1;
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
  return pictures;
}

void exercise(unsigned mode) {
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
    if (uint64_t pictures = play(ch, start, false)) fuzzExport(2, ch, 0, start, end, mode, pictures);
    play(ch, start + (end - start) / 2, true);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (g_drive < 0) setUp();
  writeFiles(data, size);
  exercise(static_cast<unsigned>(size));
  qmx_storage_v2_close();
  // Descriptors are handed out lowest first: one left open by the run shows
  // as a higher number for the next, and only then are they looked at.
  int probe = lowestFreeFd();
  if (probe <= g_lowestFd) return 0;
  g_lowestFd = probe;
  if (cardFds() != 0) {
    fprintf(stderr, "fuzz_file: a card file is still open after the close\n");
    abort();
  }
  return 0;
}
