// Loading a raw-disk card: the card information at 100 MiB, each channel's
// fragment and I-frame indexes and its newest lists, and the load report.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qmx_storage.h"
#include "raw_internal.h"

namespace qmx_raw {

static void clearCount(uint8_t *block) { memset(block, 0, 4); }

int readFragmentList(uint64_t address, uint8_t *dest) {
  clearCount(dest);
  if (readData(static_cast<int64_t>(address), dest, kFragListSize) != 0) {
    clearCount(dest);
    return -1;
  }
  uint32_t count = le32(dest);
  if (count == 0 || count > kMaxFragCount) {
    QMX_LOGE(RAW_TAG, "Invalid fragment_list count: %u\n", count);
    clearCount(dest);
    return -1;
  }
  return 0;
}

int readIframeList(uint64_t address, uint8_t *dest) {
  clearCount(dest);
  if (readData(static_cast<int64_t>(address), dest, kIframeListSize) != 0) {
    clearCount(dest);
    return -1;
  }
  uint32_t count = le32(dest);
  if (count == 0 || count > kMaxIframeCount) {
    QMX_LOGE(RAW_TAG, "Invalid iframe_list count: %u\n", count);
    clearCount(dest);
    return -1;
  }
  return 0;
}

int readFrameInfo(uint64_t address, FrameHeader *dest) {
  uint8_t raw[kFrameHeaderSize];
  if (readData(static_cast<int64_t>(address), raw, sizeof raw) != 0) {
    QMX_LOGE(RAW_TAG, "read frame_info failed, add: %lld\n", static_cast<long long>(address));
    return -1;
  }
  dest->length = le32(raw);
  dest->time = les64(raw + 4);
  dest->flags = raw[12];
  return 0;
}

static void freeIndex(Index &idx) {
  free(idx.bytes);
  idx.bytes = nullptr;
  idx.count = 0;
  idx.capacity = 0;
}

enum class IndexLoad { ok, countRead, countInvalid, alloc, read };

// Reads an index (count, then count records) into a fresh array with room
// for kIndexSpare more records; replaces idx only on success.
static IndexLoad loadIndex(uint64_t address, Index &idx, uint32_t *count, uint32_t *allocSize) {
  uint8_t raw[4];
  if (readData(static_cast<int64_t>(address), raw, sizeof raw) != 0) return IndexLoad::countRead;
  *count = le32(raw);
  if (*count > kMaxIndexCount) return IndexLoad::countInvalid;
  // count is at most kMaxIndexCount: the array takes at most 1 MiB.
  *allocSize = static_cast<uint32_t>(4 + (*count + kIndexSpare) * kIndexRecordSize);
  uint8_t *bytes = static_cast<uint8_t *>(malloc(*allocSize));
  if (!bytes) return IndexLoad::alloc;
  memcpy(bytes, raw, 4);
  if (*count != 0 &&
      readData(static_cast<int64_t>(address), bytes, 4 + *count * kIndexRecordSize) != 0) {
    free(bytes);
    return IndexLoad::read;
  }
  freeIndex(idx);
  idx.bytes = bytes;
  idx.count = *count;
  idx.capacity = *count + kIndexSpare;
  return IndexLoad::ok;
}

static int loadFragmentIndex(Channel &ch) {
  uint32_t count = 0, size = 0;
  switch (loadIndex(ch.info.fragIdxPartAddr, ch.fragIndex, &count, &size)) {
    case IndexLoad::ok:
      return 0;
    case IndexLoad::countRead:
      QMX_LOGE(RAW_TAG, "Read fragment_index count failed\n");
      break;
    case IndexLoad::countInvalid:
      QMX_LOGE(RAW_TAG, "Invalid fragment_index count: %u\n", count);
      break;
    case IndexLoad::alloc:
      QMX_LOGE(RAW_TAG, "malloc size: %u failed\n", size);
      break;
    case IndexLoad::read:
      QMX_LOGE(RAW_TAG, "Read fragment_index failed\n");
      break;
  }
  return -1;
}

static int loadIframeIndex(Channel &ch) {
  uint32_t count = 0, size = 0;
  switch (loadIndex(ch.info.iframeIdxPartAddr, ch.iframeIndex, &count, &size)) {
    case IndexLoad::ok:
      return 0;
    case IndexLoad::countRead:
      QMX_LOGE(RAW_TAG, "Read iframe_index count failed\n");
      break;
    case IndexLoad::countInvalid:
      QMX_LOGE(RAW_TAG, "Invalid iframe_index count: %u\n", count);
      break;
    case IndexLoad::alloc:
      QMX_LOGE(RAW_TAG, "malloc size: %u failed\n", size);
      break;
    case IndexLoad::read:
      QMX_LOGE(RAW_TAG, "Read iframe_index failed\n");
      break;
  }
  return -1;
}

// Capacity of the frame ring as the recorder counts it: the last frame may
// run up to kRingSlack bytes past the wrap point.
static int64_t ringCapacity(const ChannelInfo &info) {
  return static_cast<int64_t>(info.frameRetraceAddr + kRingSlack - info.framePartAddr);
}

static void setEmpty(Channel &ch) {
  ch.fragIndex.count = 0;
  ch.iframeIndex.count = 0;
  clearCount(ch.fragList);
  clearCount(ch.iframeList);
  ch.writePos = ch.info.framePartAddr;
  ch.firstTime = 0;
  ch.lastIframeTime = 0;
  ch.lastIframeAddr = 0;
  ch.emptySize = ringCapacity(ch.info);
}

// Loads channel c. Failures after the index reads log only the inner
// message; loadData adds "Load channel failed".
static int loadChannel(int c) {
  Channel &ch = state().channel[c];
  if (loadFragmentIndex(ch) != 0) {
    QMX_LOGE(RAW_TAG, "read fragment_index failed channel:%d\n", c);
    return -1;
  }
  if (loadIframeIndex(ch) != 0) {
    QMX_LOGE(RAW_TAG, "read iframe_index failed channel:%d\n", c);
    return -1;
  }
  if (ch.fragIndex.count == 0 || ch.iframeIndex.count == 0) {
    setEmpty(ch);
    ch.loaded = true;
    return 0;
  }

  if (readFragmentList(indexAddr(ch.fragIndex, ch.fragIndex.count - 1), ch.fragList) != 0) {
    QMX_LOGE(RAW_TAG, "read fragment_list failed channel:%d\n", c);
    return -1;
  }
  if (readIframeList(indexAddr(ch.iframeIndex, ch.iframeIndex.count - 1), ch.iframeList) != 0) {
    QMX_LOGE(RAW_TAG, "read iframe_list failed channel:%d\n", c);
    return -1;
  }

  uint32_t lastFrag = fragCount(ch.fragList) - 1;
  uint32_t lastIframe = iframeCount(ch.iframeList) - 1;
  FragmentRecord newest = fragRecord(ch.fragList, lastFrag);
  if (newest.endTime == 0 || newest.endAddr == 0) {
    // Still being recorded: it ends, for us, with the last I-frame.
    uint64_t frameAddr = iframeAddr(ch.iframeList, lastIframe);
    FrameHeader header;
    if (readFrameInfo(frameAddr, &header) != 0) return -1;
    setFragEnd(ch.fragList, lastFrag, iframeTime(ch.iframeList, lastIframe) / 1000,
               frameAddr + kFrameHeaderSize + header.length);
  }

  FragmentRecord oldest;
  if (ch.fragIndex.count > 1) {
    uint8_t head[4 + kFragRecordSize];
    if (readData(static_cast<int64_t>(indexAddr(ch.fragIndex, 0)), head, sizeof head) != 0)
      return -1;
    oldest = fragRecord(head, 0);
  } else {
    oldest = fragRecord(ch.fragList, 0);
  }
  uint64_t oldestStart = oldest.startAddr;

  ch.writePos = fragRecord(ch.fragList, lastFrag).endAddr;
  ch.firstTime = oldest.startTime;
  ch.lastIframeTime = iframeTime(ch.iframeList, lastIframe);
  ch.lastIframeAddr = iframeAddr(ch.iframeList, lastIframe);
  if (ch.writePos >= oldestStart)
    ch.emptySize = ringCapacity(ch.info) - static_cast<int64_t>(ch.writePos - oldestStart);
  else
    ch.emptySize = static_cast<int64_t>(oldestStart - ch.writePos);
  ch.loaded = true;
  return 0;
}

static ChannelInfo decodeChannelInfo(const uint8_t *card, int c) {
  const uint8_t *p = card + 17 + kChannelInfoSize * c;
  ChannelInfo info;
  info.fragIdxPartAddr = le64(p);
  info.fragPartAddr = le64(p + 8);
  info.iframeIdxPartAddr = le64(p + 24);
  info.iframePartAddr = le64(p + 32);
  info.framePartAddr = le64(p + 48);
  info.frameRetraceAddr = le64(p + 56);
  return info;
}

static void printReport() {
  State &s = state();
  uint32_t channels = cardChannelNum();
  printf("card info:\n");
  printf("total: %lld channelNum: %u\n", static_cast<long long>(les64(s.cardInfo + 8)), channels);
  for (uint32_t c = 0; c < channels; c++) {
    const Channel &ch = s.channel[c];
    printf("channel: %d info:\n", static_cast<int>(c));
    printf(" fragIdxPartAddr:   %#llx\n", static_cast<unsigned long long>(ch.info.fragIdxPartAddr));
    printf(" fragPartAddr:      %#llx\n", static_cast<unsigned long long>(ch.info.fragPartAddr));
    printf(" iframeIdxPartAddr: %#llx\n",
           static_cast<unsigned long long>(ch.info.iframeIdxPartAddr));
    printf(" iframePartAddr:    %#llx\n", static_cast<unsigned long long>(ch.info.iframePartAddr));
    printf(" framePartAddr:     %#llx\n", static_cast<unsigned long long>(ch.info.framePartAddr));
    printf(" frameRetraceAddr:  %#llx\n",
           static_cast<unsigned long long>(ch.info.frameRetraceAddr));
    printf(" fragIndex count:   %u\n", ch.fragIndex.count);
    printf(" iframeIndex count: %u\n", ch.iframeIndex.count);
    printf(" emptySize:         %lld\n", static_cast<long long>(ch.emptySize));
  }
  fflush(stdout);
}

static int loadData() {
  State &s = state();
  // Forget the previous card's channels, so that a channel this load does
  // not reach answers as empty rather than with another card's data.
  for (Channel &ch : s.channel) {
    freeIndex(ch.fragIndex);
    freeIndex(ch.iframeIndex);
    ch.loaded = false;
    ch.info = ChannelInfo{};
    setEmpty(ch);
    ch.emptySize = 0;
  }
  if (readData(static_cast<int64_t>(kCardInfoAddr), s.cardInfo, kCardInfoSize) != 0) {
    QMX_LOGE(RAW_TAG, "read card_info failed\n");
    return -1;
  }
  if (!cardInfoValid(s.cardInfo)) {
    QMX_LOGE(RAW_TAG, "not proper card.\n");
    return -1;
  }
  uint32_t channels = cardChannelNum();
  for (uint32_t c = 0; c < channels; c++) s.channel[c].info = decodeChannelInfo(s.cardInfo, c);
  for (uint32_t c = 0; c < channels; c++) {
    if (loadChannel(static_cast<int>(c)) != 0) {
      QMX_LOGE(RAW_TAG, "Load channel failed\n");
      return -1;
    }
  }
  printReport();
  return 0;
}

}  // namespace qmx_raw

using namespace qmx_raw;

int qmx_storage_load(uint32_t deviceNumber) {
  if (!state().initialised) return -1;
  if (initHandle(deviceNumber) != 0) return -1;
  return loadData();
}

int qmx_storage_getChannelNum(void) {
  if (!state().initialised) return -1;
  if (!diskOpen()) {
    printf("1111111111");
    fflush(stdout);
    return -1;
  }
  return static_cast<int>(cardChannelNum());
}

int qmx_storage_getVideoType(void) { return (state().cardInfo[16] >> 3) & 3; }
