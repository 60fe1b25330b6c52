// Playback handles: eight cursors over a channel's frame ring, each started
// at the first I-frame at or after a time and advanced frame by frame until
// the last I-frame recorded when the card was loaded.
//
// A handle reads the ring ahead in runs of up to kRunBytes through a buffer
// of its own, as large as the longest run it read so far, so a frame's
// header and data, and the headers after it, come from one read. It never
// hands out what cannot be a frame of its channel: it ends at the channel's
// write position, at a header that cannot be a frame, when its walk would go
// round the ring more often than the data can, or on a frame dated outside
// the channel's recorded span; qmx_storage_playbackEnd tells which.
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "qmx_storage.h"
#include "raw_internal.h"

namespace qmx_raw {

namespace {

constexpr uint32_t kFirstRun = 64u << 10;

struct Handle {
  int32_t channel = -1;  // -1 while free
  FrameHeader next{};    // header of the frame the next frame read returns
  uint64_t frameAddr = 0;
  int64_t startTime = 0;      // ms, as asked at start
  int64_t lastVideoTime = 0;  // ms, of the last video frame handed out
  // The walk ends where the data ends: at limitAddr once wrapsLeft is 0.
  // limitAddr is the write position (or, when the card's is unusable, the
  // address the walk started at); wrapsLeft the wraps to the ring's start
  // the walk may still make before it gets there.
  uint64_t limitAddr = 0;
  int wrapsLeft = 0;
  // Read-ahead: the card bytes [runStart, runStart + runLength) in run.
  // Runs start short after each positioning (a seek may be followed by
  // another at once) and double with each read up to kRunBytes.
  uint8_t *run = nullptr;  // runSize bytes, allocated at the first read
  uint32_t runSize = 0;
  uint64_t runStart = 0;
  uint32_t runLength = 0;
  uint32_t runAhead = kFirstRun;
};

// Why a slot's handle last stopped handing out frames, kept from its end
// until the slot is started again.
struct Ending {
  int reason = QMX_PLAYBACK_RUNNING;
  int64_t atMs = 0;  // time of the last frame handed out
};

// Guards the handle table, the handles' buffers, their count and the endings. Held for
// the whole of each start, frame information, frame read, seek, progress,
// stop and end query; taken before the read mutex (a frame read reads the
// card while holding it), never after it.
std::mutex handleMutex;
Handle handles[kHandleCount];
Ending endings[kHandleCount];
size_t runBytesHeld;  // in the handles' read-ahead buffers

void freeRun(Handle &h) {
  free(h.run);
  runBytesHeld -= h.runSize;
  h.run = nullptr;
  h.runSize = 0;
  h.runLength = 0;
}

void clearHandle(Handle &h) {
  freeRun(h);
  h = Handle();
}

// Frees handle h with the reason it ended.
void endHandle(Handle &h, int reason) {
  endings[&h - handles].reason = reason;
  clearHandle(h);
}

// The checks shared by start, frame read and seek.
bool ready() {
  State &s = state();
  return s.initialised && diskOpen();
}

// End of the frame area: the last frame may run kRingSlack past the wrap point.
uint64_t ringEnd(const ChannelInfo &info) { return info.frameRetraceAddr + kRingSlack; }

bool writePosUsable(const Channel &ch) {
  return ch.writePos >= ch.info.framePartAddr && ch.writePos <= ringEnd(ch.info) &&
         ch.info.framePartAddr < ch.info.frameRetraceAddr;
}

// Sets where a walk from the handle's frame address must end.
void setLimit(const Channel &ch, Handle &h) {
  h.limitAddr = writePosUsable(ch) ? ch.writePos : h.frameAddr;
  // Data behind the write position lies ahead only after a wrap.
  h.wrapsLeft = h.limitAddr > h.frameAddr ? 0 : 1;
}

// Whether a header at addr can be the next frame of the handle's channel.
// QMX_PLAYBACK_RUNNING when it can, END_OF_DATA at the write position,
// DAMAGED otherwise.
int judge(const Channel &ch, const Handle &h, uint64_t addr, const FrameHeader &f) {
  if (h.wrapsLeft == 0 && addr == h.limitAddr) return QMX_PLAYBACK_END_OF_DATA;
  const ChannelInfo &info = ch.info;
  const uint8_t kind = f.flags & 0x0F;
  if (addr < info.framePartAddr || addr >= info.frameRetraceAddr) return QMX_PLAYBACK_DAMAGED;
  if (f.length == 0 || f.length > kMaxFrameLength || (kind != 0 && kind != 1))
    return QMX_PLAYBACK_DAMAGED;
  const uint64_t end = addr + kFrameHeaderSize + f.length;  // no overflow: both bounded
  if (end > ringEnd(info)) return QMX_PLAYBACK_DAMAGED;
  if (h.wrapsLeft == 0 && end > h.limitAddr) return QMX_PLAYBACK_DAMAGED;  // across the data's end
  // Never before the channel's first recording, never far past its last.
  typedef __int128 wide;  // card times cannot overflow in it
  if (f.time < static_cast<wide>(ch.firstTime) * 1000 ||
      f.time > static_cast<wide>(ch.lastIframeTime) + kDayMs)
    return QMX_PLAYBACK_DAMAGED;
  return QMX_PLAYBACK_RUNNING;
}

// Makes the card bytes [addr, addr + n) available in the handle's run, n at
// most kRunBytes, reading a new run from addr's block on when they are not
// there yet. Runs stop at the end of the frame area. Null on a read failure.
bool fitsRun(uint64_t addr, uint32_t n) { return addr % PLAT_BLOCK_SIZE + n <= kRunBytes; }

const uint8_t *runBytes(const Channel &ch, Handle &h, uint64_t addr, uint32_t n) {
  if (addr >= h.runStart && addr - h.runStart + n <= h.runLength) return h.run + (addr - h.runStart);
  if (!fitsRun(addr, n)) return nullptr;
  const uint64_t block = addr / PLAT_BLOCK_SIZE;
  const uint64_t from = block * PLAT_BLOCK_SIZE;
  const uint64_t ahead = std::max<uint64_t>(h.runAhead, addr + n - from);
  h.runAhead = std::min(2 * h.runAhead, kRunBytes);
  uint64_t to = ringEnd(ch.info);
  if (to < addr + n || to - from > ahead) to = from + ahead;
  // At most kRunBytes: ahead is, and kRunBytes is a whole number of blocks.
  const uint32_t blocks = static_cast<uint32_t>((to - from + PLAT_BLOCK_SIZE - 1) / PLAT_BLOCK_SIZE);
  h.runLength = 0;
  if (blocks * PLAT_BLOCK_SIZE > h.runSize) {
    freeRun(h);
    if (!(h.run = static_cast<uint8_t *>(malloc(blocks * PLAT_BLOCK_SIZE)))) {
      QMX_LOGE(RAW_TAG, "malloc size: %u failed\n", blocks * PLAT_BLOCK_SIZE);
      return nullptr;
    }
    h.runSize = blocks * PLAT_BLOCK_SIZE;
    runBytesHeld += h.runSize;
  }
  int64_t got = readRun(block, blocks, h.run);
  if (got <= 0) return nullptr;
  h.runStart = from;
  h.runLength = static_cast<uint32_t>(got);
  // A run cut short by the end of the disk may not hold them all.
  return addr - from + n <= h.runLength ? h.run + (addr - from) : nullptr;
}

// Reads the header at addr into *f through the handle's run. 0 or -1.
int runHeader(const Channel &ch, Handle &h, uint64_t addr, FrameHeader *f) {
  const uint8_t *p = runBytes(ch, h, addr, kFrameHeaderSize);
  if (!p) {
    QMX_LOGE(RAW_TAG, "read frame_info failed, add: %lld\n", static_cast<long long>(addr));
    return -1;
  }
  f->length = le32(p);
  f->time = les64(p + 4);
  f->flags = p[12];
  return 0;
}

// ---- Frame buffers -----------------------------------------------------------
// Frames are handed out in buffers of power-of-two sizes; a released buffer
// is kept for the next frame of its size instead of going back to the heap,
// up to kCacheBytes in all. Buffers of frames above kRunBytes are not kept.

constexpr size_t kCacheBytes = 4u << 20;
constexpr int kClasses = 9;  // 4 KiB << 0 .. 8: 4 KiB to 1 MiB
constexpr int kPerClass = 4;

// Guards the cache of released frame buffers; taken alone, by frame reads
// (under the handle mutex) and by qmx_storage_freeFrame.
std::mutex cacheMutex;
uint8_t *cache[kClasses][kPerClass];
int cached[kClasses];
size_t cachedBytes;

// Size class of a frame of n bytes, or -1 for frames kept out of the cache.
int sizeClass(uint32_t n) {
  for (int c = 0; c < kClasses; c++)
    if (n <= (4096u << c)) return c;
  return -1;
}

// n is a frame length judge() let through: at most kMaxFrameLength (16 MiB).
uint8_t *takeBuffer(uint32_t n) {
  int c = sizeClass(n);
  if (c < 0) return static_cast<uint8_t *>(malloc(n));
  {
    std::lock_guard<std::mutex> lock(cacheMutex);
    if (cached[c] > 0) {
      cachedBytes -= 4096u << c;
      return cache[c][--cached[c]];
    }
  }
  return static_cast<uint8_t *>(malloc(4096u << c));
}

void giveBuffer(uint8_t *p, uint32_t n) {
  int c = sizeClass(n);
  if (c >= 0) {
    std::lock_guard<std::mutex> lock(cacheMutex);
    if (cached[c] < kPerClass && cachedBytes + (4096u << c) <= kCacheBytes) {
      cache[c][cached[c]++] = p;
      cachedBytes += 4096u << c;
      return;
    }
  }
  free(p);
}

// ---- Positioning -------------------------------------------------------------

// First I-frame of the list at or after t; -1 when all are before t.
int64_t listFind(const uint8_t *list, int64_t t) {
  uint32_t lo = 0, hi = iframeCount(list);
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo) / 2;
    if (iframeTime(list, mid) >= t)
      hi = mid;
    else
      lo = mid + 1;
  }
  return lo < iframeCount(list) ? static_cast<int64_t>(lo) : -1;
}

int findIframe(const Channel &ch, int64_t t, uint8_t *list, uint64_t *frameAddr) {
  uint32_t k = static_cast<uint32_t>(indexSearch(ch.iframeIndex, t));
  for (uint32_t i = k; i <= k + 1 && i < ch.iframeIndex.count; i++) {
    if (readIframeList(indexAddr(ch.iframeIndex, i), list) != 0) {
      QMX_LOGE_AS(RAW_TAG, "playbackSet", "read iframe_list failed\n");
      return -1;
    }
    int64_t j = listFind(list, t);
    if (j >= 0) {
      *frameAddr = iframeAddr(list, static_cast<uint32_t>(j));
      return 0;
    }
  }
  QMX_LOGE_AS(RAW_TAG, "playbackSet", "I-frame not found\n");
  return -1;
}

// Positions handle h of channel c on the first I-frame at or after t (ms).
// With start set the handle is (re)started: its start time becomes t and
// it takes the channel; without it (seek) only the position moves. An
// I-frame whose header cannot be a frame of the channel is not found.
int playbackSet(uint32_t c, Handle &h, int64_t t, bool start) {
  const Channel &ch = state().channel[c];
  if (ch.iframeIndex.count == 0) {
    QMX_LOGE(RAW_TAG, "I-frame index not found\n");
    return -1;
  }
  uint8_t *list = static_cast<uint8_t *>(malloc(kIframeListSize));
  if (!list) {
    QMX_LOGE(RAW_TAG, "malloc size: %u failed\n", static_cast<unsigned>(kIframeListSize));
    return -1;
  }
  uint64_t frameAddr = 0;
  int rc = findIframe(ch, t, list, &frameAddr);
  free(list);
  if (rc != 0) return -1;

  if (start) clearHandle(h);
  Handle moved = h;  // the handle keeps its place until the new one is sure
  moved.frameAddr = frameAddr;
  moved.runAhead = kFirstRun;
  setLimit(ch, moved);
  FrameHeader header;
  int got = runHeader(ch, moved, frameAddr, &header);
  if (got == 0 && judge(ch, moved, frameAddr, header) != QMX_PLAYBACK_RUNNING) {
    QMX_LOGE(RAW_TAG, "I-frame at %#llx is not a frame\n", static_cast<unsigned long long>(frameAddr));
    got = -1;
  }
  if (got != 0) {
    // Only the read-ahead, shared by both, changed.
    h.run = moved.run;
    h.runSize = moved.runSize;
    h.runStart = moved.runStart;
    h.runLength = moved.runLength;
    return -1;
  }
  h = moved;
  h.next = header;
  if (start) {
    h.startTime = t;
    h.channel = static_cast<int32_t>(c);
    h.lastVideoTime = header.time;
  }
  return 0;
}

}  // namespace

void resetHandles() {
  std::lock_guard<std::mutex> lock(handleMutex);
  for (Handle &h : handles) clearHandle(h);
  for (Ending &e : endings) e = Ending();
}

size_t runBufferBytes() {
  std::lock_guard<std::mutex> lock(handleMutex);
  return runBytesHeld;
}

}  // namespace qmx_raw

using namespace qmx_raw;

int qmx_storage_playbackStart(uint32_t channel, uint64_t start, uint32_t *handle) {
  if (!ready() || channel >= kMaxChannels || channel >= cardChannelNum() || !handle) return -1;
  if (!state().channel[channel].loaded) return -1;
  std::lock_guard<std::mutex> lock(handleMutex);
  int slot = -1;  // the lowest-numbered free handle
  for (int i = 0; i < kHandleCount && slot < 0; i++) {
    if (handles[i].channel < 0) slot = i;
  }
  if (slot < 0) {
    QMX_LOGE(RAW_TAG, "No handle available\n");
    return -1;
  }
  int64_t t = static_cast<int64_t>(start * 1000u);
  endings[slot] = Ending();
  if (playbackSet(channel, handles[slot], t, true) != 0) {
    QMX_LOGE(RAW_TAG, "playbackSet failed\n");
    clearHandle(handles[slot]);
    return -1;
  }
  *handle = static_cast<uint32_t>(slot);
  return 0;
}

int qmx_storage_playbackFrameInfo(uint32_t handle, qmx_storage_frameInfo *info) {
  State &s = state();
  if (!s.initialised) return -1;
  if (!diskOpen()) return -2;
  if (handle >= kHandleCount) return -3;
  if (!info) return -4;
  std::lock_guard<std::mutex> lock(handleMutex);
  const Handle &h = handles[handle];
  if (h.channel < 0) return -5;
  info->time = h.next.time;
  info->flags = h.next.flags;
  return 0;
}

int qmx_storage_playbackFrame(uint32_t handle, qmx_storage_frame *frame) {
  if (!frame) return -1;
  // On every failure the record holds nothing to release.
  frame->data = nullptr;
  frame->size = 0;
  if (!ready() || handle >= kHandleCount) return -1;
  std::lock_guard<std::mutex> lock(handleMutex);
  Handle &h = handles[handle];
  if (h.channel < 0) return -1;
  const Channel &ch = state().channel[h.channel];
  const uint32_t length = h.next.length;  // checked by judge: at most kMaxFrameLength
  const uint64_t dataAddr = h.frameAddr + kFrameHeaderSize;

  uint8_t *data = takeBuffer(length);
  if (!data) {
    QMX_LOGE(RAW_TAG, "malloc size: %u failed\n", length);
    return -1;
  }
  // A frame that fits a run comes from the run; a longer one is read whole.
  const bool inRun = fitsRun(dataAddr, length);
  const uint8_t *bytes = inRun ? runBytes(ch, h, dataAddr, length) : nullptr;
  if (bytes) memcpy(data, bytes, length);
  if (!bytes && (inRun || readData(static_cast<int64_t>(dataAddr), data, length) != 0)) {
    giveBuffer(data, length);
    QMX_LOGE(RAW_TAG, "read frame addr: %#llx len: %u failed\n",
             static_cast<unsigned long long>(dataAddr), length);
    endHandle(h, QMX_PLAYBACK_READ_ERROR);
    return -1;
  }
  frame->data = data;
  frame->size = length;
  if ((h.next.flags & 0x0F) == 1) h.lastVideoTime = h.next.time;
  endings[handle].atMs = h.next.time;

  // The frame is handed out whatever follows it. Playback ends after the
  // newest I-frame of the load (by its time or its address), or where the
  // next header is not one of this channel's frames.
  if (h.next.time >= ch.lastIframeTime || h.frameAddr == ch.lastIframeAddr) {
    endHandle(h, QMX_PLAYBACK_END_OF_DATA);
    return 0;
  }
  uint64_t next = dataAddr + length;
  if (h.wrapsLeft == 0 && next == h.limitAddr) {
    endHandle(h, QMX_PLAYBACK_END_OF_DATA);
    return 0;
  }
  if (next >= ch.info.frameRetraceAddr) {
    if (h.wrapsLeft == 0) {  // round the ring past where the data ends
      endHandle(h, QMX_PLAYBACK_DAMAGED);
      return 0;
    }
    h.wrapsLeft--;
    next = ch.info.framePartAddr;
  }
  FrameHeader header;
  if (runHeader(ch, h, next, &header) != 0) {
    endHandle(h, QMX_PLAYBACK_READ_ERROR);
    return 0;
  }
  int verdict = judge(ch, h, next, header);
  if (verdict != QMX_PLAYBACK_RUNNING) {
    endHandle(h, verdict);
    return 0;
  }
  h.next = header;
  h.frameAddr = next;
  return 0;
}

void qmx_storage_freeFrame(qmx_storage_frame *frame) {
  if (!frame) return;
  if (frame->data) giveBuffer(frame->data, frame->size);
  frame->data = nullptr;
}

int qmx_storage_playbackSeek(uint32_t handle, uint64_t offsetMs) {
  if (!ready() || handle >= kHandleCount) return -1;
  std::lock_guard<std::mutex> lock(handleMutex);
  Handle &h = handles[handle];
  if (h.channel < 0) return -1;
  const Channel &ch = state().channel[h.channel];
  __int128 t = static_cast<__int128>(h.startTime) + offsetMs;
  if (t > ch.lastIframeTime) t = ch.lastIframeTime;
  if (playbackSet(static_cast<uint32_t>(h.channel), h, static_cast<int64_t>(t), false) != 0) {
    QMX_LOGE_AS(RAW_TAG, "qmx_storage_playbackSeek", "playbackSet failed\n");
    return -1;
  }
  return 0;
}

int64_t qmx_storage_playbackProgress(uint32_t handle) {
  if (!ready() || handle >= kHandleCount) return -1;
  std::lock_guard<std::mutex> lock(handleMutex);
  const Handle &h = handles[handle];
  if (h.channel < 0) return 0;
  return static_cast<int64_t>(static_cast<uint64_t>(h.lastVideoTime) -
                              static_cast<uint64_t>(h.startTime));
}

void qmx_storage_playbackStop(uint32_t handle) {
  if (handle >= kHandleCount) return;
  std::lock_guard<std::mutex> lock(handleMutex);
  clearHandle(handles[handle]);
}

int qmx_storage_playbackEnd(uint32_t handle, int64_t *atMs) {
  if (handle >= kHandleCount) return -1;
  std::lock_guard<std::mutex> lock(handleMutex);
  if (atMs) *atMs = endings[handle].atMs;
  return endings[handle].reason;
}
