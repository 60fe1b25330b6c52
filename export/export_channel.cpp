// The per-channel export loop. Two clocks in whole milliseconds follow how
// far the file's video track (83 ms a frame) and audio track (64 ms a frame)
// have advanced; when a video frame comes up while the video clock is ahead,
// one silent AAC stream goes in front of it. The card's time stamps serve
// only the end test and the file's name.
#include "qmx_export.h"

#include <stdio.h>
#include <string.h>

#include "qmx_muxer.h"
#include "qmx_storage.h"
#include "qmx_storage_v2.h"

namespace {

struct Hooks {
  const qmx_export_hooks *h;

  void lock() const {
    if (h && h->lock) h->lock(h->user);
  }
  void unlock() const {
    if (h && h->unlock) h->unlock(h->user);
  }
  void pause(int ms) const {
    if (h && h->pause) h->pause(h->user, ms);
  }
  void debug(const char *text) const {
    if (h && h->debug) h->debug(h->user, text, 0, 0);
  }
  void debug(const char *text, int64_t number) const {
    if (h && h->debug) h->debug(h->user, text, 1, number);
  }
  void opened(int ok, uint32_t handle, int videoType) const {
    if (h && h->opened) h->opened(h->user, ok, handle, videoType);
  }
  void finished(const char *file) const {
    if (h && h->finished) h->finished(h->user, file);
  }
  void progress(int64_t t) const {
    if (h && h->progress) h->progress(h->user, t);
  }
  bool direct() const { return h && h->frame; }
};

// Where the frames of one export go: the muxer, or the caller's sink.
struct Output {
  const Hooks &hooks;
  int channel;

  void write(uint8_t type, int64_t timeMs, const uint8_t *data, uint32_t size) const {
    if (!data && size) return;  // a library that handed out no bytes: nothing to copy
    if (hooks.direct()) {
      hooks.h->frame(hooks.h->user, type, timeMs, data, size);
    } else {
      qmx_muxer_writeFrame(channel, type, static_cast<uint64_t>(timeMs), data, size);
    }
  }
};

// Silent AAC in front of a video frame when the video track is ahead.
// Written under the caller's lock, as the storage read it precedes.
void fillSilence(const qmx_export_request *r, const Output &out, bool video, uint64_t videoClock,
                 uint64_t *audioClock) {
  if (!video || videoClock <= *audioClock) return;
  if (out.hooks.direct() || !r->silent || r->silentSize == 0) return;
  out.write(0, 0, r->silent, r->silentSize);
  *audioClock += 64;
}

// Frames of the raw-disk layout until the span or the data ends. Returns
// with the lock held.
void rawLoop(const qmx_export_request *r, const Hooks &hooks, const Output &out, uint32_t handle,
             int64_t limitMs) {
  uint64_t videoClock = 0, audioClock = 0;
  for (;;) {
    fflush(stdout);
    hooks.lock();
    qmx_storage_frameInfo info;
    memset(&info, 0, sizeof info);
    if (qmx_storage_playbackFrameInfo(handle, &info) != 0) {
      hooks.debug("download qmx_storage_playbackFrameInfo fail");
      return;
    }
    if (info.time > limitMs) {
      hooks.debug("download stop pbFrameInfo.ts:", info.time);
      return;
    }
    uint8_t kind = info.flags & 0x0F;
    bool video = kind == 1;
    fillSilence(r, out, video, videoClock, &audioClock);
    qmx_storage_frame frame;
    memset(&frame, 0, sizeof frame);
    if (qmx_storage_playbackFrame(handle, &frame) != 0) {
      hooks.unlock();
      hooks.debug("download qmx_storage_playbackFrame fail");
      hooks.pause(3);
      continue;
    }
    hooks.unlock();
    if (video) {
      out.write(1, info.time, frame.data, frame.size);
      videoClock += 83;
    } else {
      // Other kinds are passed on as they are; the muxer refuses them.
      out.write(kind, info.time, frame.data, frame.size);
      audioClock += 64;
    }
    qmx_storage_freeFrame(&frame);
    hooks.progress(info.time);
    hooks.pause(3);
  }
}

// Frames of the file layout until the span or the data ends. Returns with
// the lock held.
void fileLoop(const qmx_export_request *r, const Hooks &hooks, const Output &out, uint32_t handle,
              int64_t limitMs) {
  uint64_t videoClock = 0, audioClock = 0;
  for (;;) {
    fflush(stdout);
    hooks.lock();
    qmx_storage_v2_frame frame;
    memset(&frame, 0, sizeof frame);
    if (qmx_storage_v2_playbackFrame(handle, &frame) != 0) {
      hooks.debug("download qmx_storage_v2_playbackFrame fail");
      return;
    }
    if (frame.time > limitMs) {
      qmx_storage_v2_freeFrame(handle, &frame);
      hooks.debug("download stop pbFrame.ts:", frame.time);
      return;
    }
    bool video = (frame.word & 1u) != 0;
    fillSilence(r, out, video, videoClock, &audioClock);
    hooks.unlock();
    int64_t time = frame.time;
    out.write(video ? 1 : 0, time, frame.data, QMX_V2_FRAME_LENGTH(frame.word));
    if (video) {
      videoClock += 83;
    } else {
      audioClock += 64;
    }
    qmx_storage_v2_freeFrame(handle, &frame);
    hooks.progress(time);
    hooks.pause(3);
  }
}

void setOut(char *out, size_t outSize, const char *text) {
  if (out && outSize > 0) snprintf(out, outSize, "%s", text);
}

}  // namespace

int qmx_export_channel(const qmx_export_request *request, const qmx_export_hooks *hooksIn,
                       char *out, size_t outSize) {
  setOut(out, outSize, "");
  if (!request) return -1;
  Hooks hooks{hooksIn};
  const qmx_export_request *r = request;
  bool raw = r->layout == 1;

  hooks.lock();
  uint32_t handle = 0;
  int videoType = r->videoType;
  int rc;
  if (r->channel < 0 || r->channel > 3) {
    rc = -1;
  } else if (raw) {
    rc = qmx_storage_playbackStart(static_cast<uint32_t>(r->channel), r->startTime, &handle);
  } else {
    uint32_t codec = 0;
    rc = qmx_storage_v2_playbackStart(static_cast<uint8_t>(r->channel), r->startTime, &handle,
                                      &codec);
    if (rc == 0) videoType = static_cast<int>(codec);
  }
  if (rc != 0) {
    hooks.debug("download qmx_storage_playbackStart fail");
    hooks.opened(0, 0, videoType);
    hooks.unlock();
    return -1;
  }
  hooks.debug("download_handle:", handle);
  bool muxing = false;
  if (!hooks.direct()) {
    int codec = videoType == 0 ? QMX_CODEC_HEVC : QMX_CODEC_H264;
    muxing = qmx_muxer_start(r->channel, r->startTime, r->dir, codec) == 0;
  }
  hooks.opened(1, handle, videoType);
  hooks.unlock();

  // A frame at exactly (end + 1) s is still written; the first one above it
  // ends the export.
  int64_t limitMs = (static_cast<int64_t>(r->endTime) + 1) * 1000;
  Output output{hooks, r->channel};
  if (!hooks.direct() && !muxing) {
    // Nowhere to write: reading the span would only have every frame
    // refused. The lock is taken again as the loops would leave it.
    hooks.lock();
  } else if (raw) {
    rawLoop(r, hooks, output, handle, limitMs);
  } else {
    fileLoop(r, hooks, output, handle, limitMs);
  }

  // The lock is held here, as the loops leave it.
  const char *file = "";
  if (!hooks.direct()) {
    qmx_muxer_end(r->channel);
    if (muxing) file = qmx_muxer_lastFile(r->channel);
  }
  if (raw) {
    qmx_storage_playbackStop(handle);
  } else {
    qmx_storage_v2_playbackStop(handle);
  }
  setOut(out, outSize, file);
  hooks.finished(file);
  hooks.unlock();
  if (hooks.direct()) return 0;
  return file[0] ? 0 : -1;
}
