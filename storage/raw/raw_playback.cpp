// Playback handles: eight cursors over a channel's frame ring, each started
// at the first I-frame at or after a time and advanced frame by frame until
// the last I-frame recorded when the card was loaded.
#include <stdlib.h>
#include <string.h>

#include "qmx_storage.h"
#include "raw_internal.h"

namespace qmx_raw {

namespace {

struct Handle {
  int32_t channel = -1;  // -1 while free
  FrameHeader next{};    // header of the frame the next frame read returns
  uint64_t frameAddr = 0;
  int64_t startTime = 0;      // ms, as asked at start
  int64_t lastVideoTime = 0;  // ms, of the last video frame handed out
  uint64_t walked = 0;        // ring bytes handed out since the last positioning
};

// Why a slot's handle last stopped handing out frames, kept from its end
// until the slot is started again.
struct Ending {
  int reason = QMX_PLAYBACK_RUNNING;
  int64_t atMs = 0;  // time of the last frame handed out
};

// Guards the handle table and the endings. Held for the whole of each
// start, frame information, frame read, seek, progress, stop and end query;
// taken before the read mutex (a frame read calls readData while holding
// it), never after it.
std::mutex handleMutex;
Handle handles[kHandleCount];
Ending endings[kHandleCount];

// Frees handle h with the reason it ended.
void endHandle(Handle &h, int reason) {
  endings[&h - handles].reason = reason;
  h = Handle();
}

void clearHandle(Handle &h) { h = Handle(); }

// Bytes a playback may walk through the ring before it must have come round
// once: the ring capacity. Corrupt frame lengths or a ring that loops on
// itself end the playback here instead of going on for ever.
uint64_t walkLimit(const ChannelInfo &info) {
  uint64_t ring = info.frameRetraceAddr > info.framePartAddr
                      ? info.frameRetraceAddr - info.framePartAddr
                      : 0;
  return ring + kRingSlack;
}

// The checks shared by start, frame read and seek.
bool ready() {
  State &s = state();
  return s.initialised && diskOpen();
}

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
// it takes the channel; without it (seek) only the position moves.
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

  FrameHeader header;
  if (start) clearHandle(h);
  if (readFrameInfo(frameAddr, &header) != 0) return -1;
  h.frameAddr = frameAddr;
  h.next = header;
  h.walked = 0;
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
  if (playbackSet(channel, handles[slot], t, true) != 0) {
    QMX_LOGE(RAW_TAG, "playbackSet failed\n");
    clearHandle(handles[slot]);
    return -1;
  }
  endings[slot] = Ending();
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
  uint32_t length = h.next.length;
  uint64_t dataAddr = h.frameAddr + kFrameHeaderSize;

  if (length > kMaxFrameLength) {
    QMX_LOGE(RAW_TAG, "read frame addr: %#llx len: %u failed\n",
             static_cast<unsigned long long>(dataAddr), length);
    endHandle(h, QMX_PLAYBACK_DAMAGED);
    return -1;
  }
  uint8_t *data = static_cast<uint8_t *>(malloc(length ? length : 1));
  if (!data) {
    QMX_LOGE(RAW_TAG, "malloc size: %u failed\n", length);
    return -1;
  }
  if (dataAddr < h.frameAddr || readData(static_cast<int64_t>(dataAddr), data, length) != 0) {
    free(data);
    QMX_LOGE(RAW_TAG, "read frame addr: %#llx len: %u failed\n",
             static_cast<unsigned long long>(dataAddr), length);
    endHandle(h, QMX_PLAYBACK_READ_ERROR);
    return -1;
  }

  uint64_t next = dataAddr + length;
  if (next >= ch.info.frameRetraceAddr || next < dataAddr) next = ch.info.framePartAddr;
  if ((h.next.flags & 0x0F) == 1) h.lastVideoTime = h.next.time;
  h.walked += kFrameHeaderSize + length;
  endings[handle].atMs = h.next.time;

  // The frame read is handed out whatever comes after it; a next header that
  // cannot be read ends the handle with the reason.
  if (h.walked > walkLimit(ch.info)) {
    endHandle(h, QMX_PLAYBACK_DAMAGED);
  } else if (ch.lastIframeTime > h.next.time) {
    FrameHeader header;
    if (readFrameInfo(next, &header) != 0) {
      endHandle(h, QMX_PLAYBACK_READ_ERROR);
    } else {
      h.next = header;
      h.frameAddr = next;
    }
  } else {
    endHandle(h, QMX_PLAYBACK_END_OF_DATA);
  }
  frame->data = data;
  frame->size = length;
  return 0;
}

void qmx_storage_freeFrame(qmx_storage_frame *frame) {
  if (!frame) return;
  free(frame->data);
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
