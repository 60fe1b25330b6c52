// Library set-up, discovery of USB disks holding a raw-disk card, and
// positioned reads of the open disk in whole 4096-byte blocks.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "qmx_storage.h"
#include "raw_internal.h"

namespace qmx_raw {

State &state() {
  static State s;
  return s;
}

bool diskOpen() {
  State &s = state();
  std::lock_guard<std::mutex> lock(s.readMutex);
  return s.disk != nullptr;
}

bool cardInfoValid(const uint8_t *info) {
  uint32_t channels = info[16] & 7u;
  if (channels == 0 || channels > kMaxChannels) return false;
  uint32_t sum = 0;
  size_t last = 16 + kChannelInfoSize * channels;
  for (size_t i = 4; i <= last; i++) sum += info[i];
  return sum != 0 && sum == le32(info);
}

// Lists every USB disk once, in drive-index order, with valid = 0.
static void allocateDevice(qmx_storage_deviceList *list) {
  free(list->device);
  list->device = nullptr;
  list->count = 0;

  plat_volume *volumes = nullptr;
  int n = plat_listVolumes(&volumes);
  for (int i = 0; i < n; i++) {
    const plat_volume &v = volumes[i];
    if (plat_probeVolume(&v) != 0) {
      QMX_LOGE(RAW_TAG, "open failed.\n");
      continue;
    }
    if (!v.onUsb) {
      QMX_LOGE(RAW_TAG, "type not support.\n");
      continue;
    }
    bool known = false;
    for (int j = 0; j < list->count; j++) {
      if (list->device[j].id == v.diskNumber) known = true;
    }
    if (known) {
      QMX_LOGE(RAW_TAG, "already find current device.\n");
      continue;
    }
    void *grown = realloc(list->device, sizeof(qmx_storage_device) * (list->count + 1));
    if (!grown) continue;  // the disk is simply left out
    list->device = static_cast<qmx_storage_device *>(grown);
    qmx_storage_device &d = list->device[list->count++];
    memset(&d, 0, sizeof d);
    size_t len = strnlen(v.name, sizeof d.path - 1);  // at most 47 characters
    memcpy(d.path, v.name, len);
    d.path[len] = '\0';
    d.id = v.diskNumber;
    d.valid = 0;
  }
  plat_freeVolumes(volumes);
}

// Marks each listed disk valid when the 512 bytes at 100 MiB pass the
// card-info check. Uses its own disk handles; the loaded card is untouched.
static void checkDeviceValid(qmx_storage_deviceList *list) {
  for (int i = 0; i < list->count; i++) {
    qmx_storage_device &d = list->device[i];
    d.valid = 0;
    plat_disk *disk = plat_openDisk(d.id);
    if (!disk) continue;
    uint8_t block[PLAT_BLOCK_SIZE];
    errno = 0;
    if (plat_readBlock(disk, kCardInfoAddr / PLAT_BLOCK_SIZE, block) != 0) {
      QMX_LOGE(RAW_TAG, "Read failed. %lld.\n", static_cast<long long>(errno));
    } else if (!cardInfoValid(block)) {
      QMX_LOGE(RAW_TAG, "check not pass.\n");
    } else {
      d.valid = 1;
      d.channels = static_cast<uint8_t>(block[16] & 7u);
    }
    plat_closeDisk(disk);
  }
}

int initHandle(uint32_t deviceNumber) {
  State &s = state();
  std::lock_guard<std::mutex> lock(s.readMutex);
  if (s.disk) return -1;  // the caller must close the open disk first
  s.disk = plat_openDisk(deviceNumber);
  if (!s.disk) {
    QMX_LOGE(RAW_TAG, "open failed.\n");
    return -1;
  }
  return 0;
}

// The range [address, address + length) on the open disk, checked: card
// addresses may be anything. Called with the read mutex held.
static bool onDisk(const State &s, int64_t address, uint64_t length) {
  uint64_t size = plat_diskSize(s.disk);
  if (address < 0) return false;
  uint64_t from = static_cast<uint64_t>(address);
  return from <= size && length <= size - from;
}

// Whole blocks straight into out, in runs of at most kMaxRunBlocks.
static int readWholeBlocks(const State &s, uint64_t block, uint64_t count, uint8_t *out) {
  constexpr uint64_t kMaxRunBlocks = 4096;  // 16 MiB per request
  while (count > 0) {
    uint32_t n = static_cast<uint32_t>(count < kMaxRunBlocks ? count : kMaxRunBlocks);
    if (plat_readBlocks(s.disk, block, n, out) != 0) return -1;
    block += n;
    count -= n;
    out += static_cast<size_t>(n) * PLAT_BLOCK_SIZE;
  }
  return 0;
}

int readData(int64_t address, void *buffer, uint64_t length) {
  State &s = state();
  std::lock_guard<std::mutex> lock(s.readMutex);
  if (!s.disk) {
    QMX_LOGE(RAW_TAG, "not open file yet.\n");
    return -1;
  }
  if (!onDisk(s, address, length)) return -1;
  uint8_t *out = static_cast<uint8_t *>(buffer);
  uint64_t pos = static_cast<uint64_t>(address);
  const uint64_t end = pos + length;
  uint8_t block[PLAT_BLOCK_SIZE];
  // A partial first block through the scratch block, then the whole blocks
  // straight into the caller's buffer, then a partial last block.
  size_t offset = static_cast<size_t>(pos % PLAT_BLOCK_SIZE);
  if (offset != 0 && pos < end) {
    if (plat_readBlock(s.disk, pos / PLAT_BLOCK_SIZE, block) != 0) return -1;
    size_t take = PLAT_BLOCK_SIZE - offset;
    if (take > end - pos) take = static_cast<size_t>(end - pos);
    memcpy(out, block + offset, take);
    out += take;
    pos += take;
  }
  uint64_t whole = (end - pos) / PLAT_BLOCK_SIZE;
  if (whole && readWholeBlocks(s, pos / PLAT_BLOCK_SIZE, whole, out) != 0) return -1;
  out += whole * PLAT_BLOCK_SIZE;
  pos += whole * PLAT_BLOCK_SIZE;
  if (pos < end) {
    if (plat_readBlock(s.disk, pos / PLAT_BLOCK_SIZE, block) != 0) return -1;
    memcpy(out, block, static_cast<size_t>(end - pos));
  }
  return 0;
}

int64_t readRun(uint64_t firstBlock, uint32_t count, uint8_t *buf) {
  State &s = state();
  std::lock_guard<std::mutex> lock(s.readMutex);
  if (!s.disk) return -1;
  const uint64_t size = plat_diskSize(s.disk);
  const uint64_t blocks = size / PLAT_BLOCK_SIZE + (size % PLAT_BLOCK_SIZE ? 1 : 0);
  if (firstBlock >= blocks) return -1;
  if (count > blocks - firstBlock) count = static_cast<uint32_t>(blocks - firstBlock);
  if (plat_readBlocks(s.disk, firstBlock, count, buf) != 0) return -1;
  // The bytes of a last block that lie past the end of the disk are none of the card's.
  const uint64_t from = firstBlock * PLAT_BLOCK_SIZE;
  return static_cast<int64_t>(std::min<uint64_t>(static_cast<uint64_t>(count) * PLAT_BLOCK_SIZE, size - from));
}

}  // namespace qmx_raw

using namespace qmx_raw;

int qmx_storage_init(void) {
  State &s = state();
  if (s.initialised) return 0;
  s.initialised = true;
  memset(s.cardInfo, 0, sizeof s.cardInfo);
  resetHandles();
  return 0;
}

int qmx_storage_findDevice(qmx_storage_deviceList *list) {
  if (!state().initialised || !list) return -1;
  allocateDevice(list);
  checkDeviceValid(list);
  return 0;
}

int qmx_storage_freeDevice(qmx_storage_deviceList *list) {
  if (!list) return 0;
  free(list->device);
  list->device = nullptr;
  list->count = 0;
  return 0;
}

int qmx_storage_close(void) {
  State &s = state();
  if (!s.initialised) return -1;
  std::lock_guard<std::mutex> lock(s.readMutex);
  if (s.disk) plat_closeDisk(s.disk);
  s.disk = nullptr;
  return 0;
}
