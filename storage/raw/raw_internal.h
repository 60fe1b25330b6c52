// Internal state and helpers of the raw-disk card library, shared by its
// source files (device access, loading, queries, playback). Not part of the
// library's public interface; tests include it to reach readData and
// initHandle directly.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <mutex>

#include "device.h"
#include "qmx_common.h"

#define RAW_TAG "STORAGE"

namespace qmx_raw {

// ---- Card layout constants -------------------------------------------------

constexpr uint64_t kCardInfoAddr = 0x6400000;  // 100 MiB from the disk start
constexpr size_t kCardInfoSize = 273;          // 17 + 4 channels x 64
constexpr size_t kChannelInfoSize = 64;
constexpr uint32_t kMaxChannels = 4;

constexpr size_t kIndexRecordSize = 16;  // time (8) + listAddr (8)
constexpr uint32_t kMaxIndexCount = 65535;
constexpr uint32_t kIndexSpare = 100;  // index arrays keep room for this many more

constexpr size_t kFragRecordSize = 33;
constexpr uint32_t kMaxFragCount = 256;
constexpr size_t kFragListSize = 4 + kMaxFragCount * kFragRecordSize;  // 8452

constexpr size_t kIframeRecordSize = 16;
constexpr uint32_t kMaxIframeCount = 2048;
constexpr size_t kIframeListSize = 4 + kMaxIframeCount * kIframeRecordSize;  // 32772

constexpr size_t kFrameHeaderSize = 13;
constexpr uint32_t kMaxFrameLength = 16777216;  // longer frames are treated as corrupt
constexpr uint64_t kRingSlack = 0x200000;       // the last frame may run this far past the wrap point

constexpr int kHandleCount = 8;  // four panes and exports at once
constexpr uint32_t kRunBytes = 1u << 20;  // a handle reads the frame ring ahead in runs this long
constexpr int64_t kDayMs = 86400000;

// ---- Little-endian readers and writers over byte buffers --------------------

inline uint32_t le32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline uint64_t le64(const uint8_t *p) {
  return static_cast<uint64_t>(le32(p)) | static_cast<uint64_t>(le32(p + 4)) << 32;
}
inline int64_t les64(const uint8_t *p) { return static_cast<int64_t>(le64(p)); }
inline void putLe64(uint8_t *p, uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// ---- Decoded records ---------------------------------------------------------

struct ChannelInfo {
  uint64_t fragIdxPartAddr;
  uint64_t fragPartAddr;
  uint64_t iframeIdxPartAddr;
  uint64_t iframePartAddr;
  uint64_t framePartAddr;
  uint64_t frameRetraceAddr;
};

struct FragmentRecord {
  int64_t startTime;
  int64_t endTime;
  uint64_t startAddr;
  uint64_t endAddr;
  uint8_t type;
};

struct FrameHeader {
  uint32_t length;
  int64_t time;
  uint8_t flags;
};

// A fragment or I-frame index as loaded: the count and the records as read
// from the card, in an owned buffer with room for kIndexSpare more records.
struct Index {
  uint8_t *bytes = nullptr;  // 4-byte count, then count 16-byte records
  uint32_t count = 0;
  uint32_t capacity = 0;  // records the buffer can hold
};

inline int64_t indexTime(const Index &idx, uint32_t i) {
  return les64(idx.bytes + 4 + static_cast<size_t>(i) * kIndexRecordSize);
}
inline uint64_t indexAddr(const Index &idx, uint32_t i) {
  return le64(idx.bytes + 4 + static_cast<size_t>(i) * kIndexRecordSize + 8);
}

// Fragment list block (kFragListSize bytes); count already checked 1..256.
inline uint32_t fragCount(const uint8_t *list) { return le32(list); }
inline FragmentRecord fragRecord(const uint8_t *list, uint32_t i) {
  const uint8_t *p = list + 4 + static_cast<size_t>(i) * kFragRecordSize;
  FragmentRecord r;
  r.startTime = les64(p);
  r.endTime = les64(p + 8);
  r.startAddr = le64(p + 16);
  r.endAddr = le64(p + 24);
  r.type = p[32];
  return r;
}
inline void setFragEnd(uint8_t *list, uint32_t i, int64_t endTime, uint64_t endAddr) {
  uint8_t *p = list + 4 + static_cast<size_t>(i) * kFragRecordSize;
  putLe64(p + 8, static_cast<uint64_t>(endTime));
  putLe64(p + 24, endAddr);
}

// I-frame list block (kIframeListSize bytes); count already checked 1..2048.
inline uint32_t iframeCount(const uint8_t *list) { return le32(list); }
inline int64_t iframeTime(const uint8_t *list, uint32_t i) {
  return les64(list + 4 + static_cast<size_t>(i) * kIframeRecordSize);
}
inline uint64_t iframeAddr(const uint8_t *list, uint32_t i) {
  return le64(list + 4 + static_cast<size_t>(i) * kIframeRecordSize + 8);
}

// ---- Process-wide state ------------------------------------------------------

struct Channel {
  bool loaded = false;  // set once the last load read this channel whole
  ChannelInfo info{};
  Index fragIndex;
  uint8_t fragList[kFragListSize];  // newest fragment list, open fragment completed
  Index iframeIndex;
  uint8_t iframeList[kIframeListSize];  // newest I-frame list
  uint64_t writePos = 0;        // just past the newest frame; valid when inside the ring
  int64_t firstTime = 0;       // s; start of the oldest fragment
  int64_t lastIframeTime = 0;  // ms; end of the playable data
  uint64_t lastIframeAddr = 0; // header of the newest I-frame
  int64_t emptySize = 0;
};

struct State {
  bool initialised = false;
  uint8_t cardInfo[kCardInfoSize] = {};
  Channel channel[kMaxChannels];

  // Guards `disk` and every positioning and reading of it: readData holds it
  // for one whole request, initHandle and qmx_storage_close while they change
  // the disk. Taken after handleMutex when both are needed, never before.
  std::mutex readMutex;
  plat_disk *disk = nullptr;
};

State &state();

// True while a disk is open. Reads the pointer under the read mutex.
bool diskOpen();

// channelNum of the loaded card (byte 16, bits 0-2).
inline uint32_t cardChannelNum() { return state().cardInfo[16] & 7u; }

// The card-info check shared by discovery and load: channel number 1..4 and
// a non-zero sum of bytes 4..16+64*n equal to the first word.
bool cardInfoValid(const uint8_t *info);

// ---- Internal operations (names as they appear in log lines) ----------------

int initHandle(uint32_t deviceNumber);
int readData(int64_t address, void *buffer, uint64_t length);
// Reads up to count whole blocks from firstBlock on into buf, fewer where
// the disk ends: the frame ring's read-ahead runs. The number of the card's
// bytes now in buf (a last block may end inside), or -1.
int64_t readRun(uint64_t firstBlock, uint32_t count, uint8_t *buf);
int readFragmentList(uint64_t address, uint8_t *dest);
int readIframeList(uint64_t address, uint8_t *dest);
int readFrameInfo(uint64_t address, FrameHeader *dest);

// The index search shared by the queries and playback positioning: the last
// record if its time <= t, else the record equal to t, else the last record
// below t, else record 0. -1 for an empty index.
int64_t indexSearch(const Index &idx, int64_t t);

// Resets the playback handles (library initialisation).
void resetHandles();
// Bytes of read-ahead buffers allocated and not yet released (tests).
size_t runBufferBytes();

}  // namespace qmx_raw
