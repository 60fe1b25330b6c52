// The per-channel export loop.
//
// Card timing: the first video frame is at 0 and every frame at its card
// time relative to it, through the shared card clock (which also carries the
// track over time stamps that go back or jump). Sound is placed at its card
// time but never over the sound before it; where the card has none (no
// audio on the channel, or a gap), silent AAC frames fill the time, so the
// audio track covers the video track with no gap longer than one frame.
// Nominal timing keeps the fixed steps: 83 333 us a video frame, 64 000 us
// an audio frame, and one silent frame in front of a video frame whenever
// the video track is ahead.
#include "qmx_export.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "card_clock.h"
#include "qmx_muxer.h"
#include "qmx_storage.h"
#include "qmx_storage_v2.h"
#include "qmx_version.h"

namespace {

const int64_t kAudioUs = 64000;       // one AAC frame: 1024 samples at 16 kHz
const int64_t kVideoNominalUs = 83333;
const int64_t kLagUs = 1000000;       // how far the card's sound may trail its pictures
const int64_t kGapMs = 2000;          // gaps reported in the report
const size_t kListMax = 100;          // jumps and gaps listed in the report (all are counted)

struct Hooks {
  const qmx_export_hooks *h;

  void lock() const {
    if (h && h->lock) h->lock(h->user);
  }
  void unlock() const {
    if (h && h->unlock) h->unlock(h->user);
  }
  void debug(const char *text) const {
    if (h && h->debug) h->debug(h->user, text, 0, 0);
  }
  void debug(const char *text, int64_t number) const {
    if (h && h->debug) h->debug(h->user, text, 1, number);
  }
  bool direct() const { return h && h->frame; }
};

// One frame handed out by a playback handle.
struct Frame {
  bool video = false;
  int64_t time = 0;
  uint8_t *data = nullptr;
  uint32_t size = 0;
};

// The playback handle of either layout. next() runs under the caller's lock.
struct Source {
  bool raw;
  int channel;
  uint32_t handle = 0;

  // The raw library takes the frame's size back with it (opaque carries it).
  static void releaseRaw(void *opaque, uint8_t *data) {
    qmx_storage_frame f = {data, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(opaque))};
    qmx_storage_freeFrame(&f);
  }
  static void releaseFile(void *opaque, uint8_t *data) {
    qmx_storage_v2_frame f = {};
    f.data = data;
    qmx_storage_v2_freeFrame(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(opaque)), &f);
  }
  qmx_muxer_release release() const { return raw ? releaseRaw : releaseFile; }
  void *opaque(const Frame &f) const {
    return reinterpret_cast<void *>(uintptr_t{raw ? f.size : handle});
  }
  void free(Frame *f) const {
    if (f->data) release()(opaque(*f), f->data);
    f->data = nullptr;
  }

  int open(uint64_t start, int *videoType) {
    if (raw) return qmx_storage_playbackStart(static_cast<uint32_t>(channel), start, &handle);
    uint32_t codec = 0;
    int rc = qmx_storage_v2_playbackStart(static_cast<uint8_t>(channel), start, &handle, &codec);
    if (rc == 0) *videoType = static_cast<int>(codec);
    return rc;
  }
  void stop() const {
    if (raw) {
      qmx_storage_playbackStop(handle);
    } else {
      qmx_storage_v2_playbackStop(handle);
    }
  }
  // Why the handle stopped, when it did.
  int endReason(int fallback) const {
    int64_t at = 0;
    int why = raw ? qmx_storage_playbackEnd(handle, &at) : qmx_storage_v2_playbackEnd(handle, &at);
    return why == QMX_PLAYBACK_RUNNING ? fallback : why;
  }

  // 1 a frame, 0 a frame beyond limitMs (f->time set, nothing to free),
  // -1 the handle ended (*why set).
  int next(Frame *f, int64_t limitMs, const Hooks &hooks, int *why) {
    for (;;) {
      if (raw) {
        qmx_storage_frameInfo info;
        memset(&info, 0, sizeof info);
        if (qmx_storage_playbackFrameInfo(handle, &info) != 0) {
          hooks.debug("download qmx_storage_playbackFrameInfo fail");
          *why = endReason(QMX_PLAYBACK_END_OF_DATA);
          return -1;
        }
        f->time = info.time;
        if (info.time > limitMs) {
          hooks.debug("download stop pbFrameInfo.ts:", info.time);
          return 0;
        }
        qmx_storage_frame frame = {nullptr, 0};
        if (qmx_storage_playbackFrame(handle, &frame) != 0) {
          hooks.debug("download qmx_storage_playbackFrame fail");
          *why = endReason(QMX_PLAYBACK_READ_ERROR);
          return -1;
        }
        uint8_t kind = info.flags & 0x0F;
        if (kind > 1) {  // neither picture nor sound: not a frame of this channel
          qmx_storage_freeFrame(&frame);
          continue;
        }
        f->video = kind == 1;
        f->data = frame.data;
        f->size = frame.size;
        return 1;
      }
      qmx_storage_v2_frame frame;
      memset(&frame, 0, sizeof frame);
      int rc = qmx_storage_v2_playbackFrame(handle, &frame);
      if (rc != 0) {
        hooks.debug("download qmx_storage_v2_playbackFrame fail");
        *why = endReason(rc == 1 ? QMX_PLAYBACK_END_OF_DATA : QMX_PLAYBACK_READ_ERROR);
        return -1;
      }
      f->time = frame.time;
      if (frame.time > limitMs) {
        qmx_storage_v2_freeFrame(handle, &frame);
        hooks.debug("download stop pbFrame.ts:", frame.time);
        return 0;
      }
      bool video = (frame.word & 1u) != 0;
      // A handle hands out every channel's sound: keep this channel's own.
      if (!video && QMX_V2_FRAME_CHANNEL(frame.word) != static_cast<uint32_t>(channel)) {
        qmx_storage_v2_freeFrame(handle, &frame);
        continue;
      }
      f->video = video;
      f->data = frame.data;
      f->size = QMX_V2_FRAME_LENGTH(frame.word);
      return 1;
    }
  }
};

struct Span {
  int64_t from, to;
};

// What the loop has written so far, and where on the file's time line.
struct Track {
  int timing;
  qmx_cardClock clock;
  int64_t audioEndUs = 0;   // end of the audio written so far
  int64_t videoEndUs = 0;   // end of the video written so far
  int64_t lastVideoMs = -1; // card time of the previous video frame
  uint32_t jumpsAtVideo = 0;  // the clock's jumps when the last picture was placed
  bool cardAudio = false;   // the channel has given sound in this export
  uint64_t video = 0, audio = 0, silent = 0;
  uint64_t nominalVideoMs = 0, nominalAudioMs = 0;  // the nominal clocks, whole ms
  int64_t firstMs = -1, lastMs = -1;
  uint32_t gaps = 0;  // the clock counts the jumps
  std::vector<Span> jumpList, gapList;
};

// The silent filler: one AAC frame of the silent stream.
struct Silence {
  const uint8_t *data = nullptr;
  uint32_t size = 0;
};

Silence pickSilentFrame(const uint8_t *s, uint32_t size) {
  // ADTS: sync word 0xFFF, frame length in 13 bits from bit 30. The second
  // frame is taken: the encoder's first one may carry its start-up delay.
  Silence found;
  uint32_t pos = 0;
  for (int i = 0; i < 2 && s && pos + 7 <= size; i++) {
    if (s[pos] != 0xFF || (s[pos + 1] & 0xF0) != 0xF0) break;
    uint32_t len = ((s[pos + 3] & 0x03u) << 11) | (s[pos + 4] << 3) | (s[pos + 5] >> 5);
    if (len < 7 || pos + len > size) break;
    found = Silence{s + pos, len};
    pos += len;
  }
  return found;
}

struct Writer {
  int channel;
  const Silence &silence;
  Track &t;
  bool failed = false;

  void put(uint8_t type, int64_t ptsUs, int64_t durUs, int64_t cardMs, const uint8_t *data,
           uint32_t size, qmx_muxer_release release, void *opaque) {
    if (failed) {
      if (release) release(opaque, const_cast<uint8_t *>(data));
      return;
    }
    qmx_muxer_packet p = {type, ptsUs, durUs, cardMs, data, size, release, opaque};
    if (qmx_muxer_writePacket(channel, &p) != 0) failed = true;
  }
  void silentAt(int64_t ptsUs) {
    if (!silence.size) return;
    put(0, ptsUs, kAudioUs, -1, silence.data, silence.size, nullptr, nullptr);
    t.silent++;
  }
  // Silence up to untilUs, frame by frame, never past it by a whole frame.
  void fillTo(int64_t untilUs) {
    while (!failed && silence.size && t.audioEndUs + kAudioUs <= untilUs) {
      silentAt(t.audioEndUs);
      t.audioEndUs += kAudioUs;
    }
  }
};

// Places one frame of the card on the file's time line and writes it (the
// frame's buffer goes to the muxer, which releases it).
void place(Writer &w, const Source &src, Frame &f) {
  Track &t = w.t;
  if (t.timing == QMX_EXPORT_TIMING_NOMINAL) {
    if (f.video && t.nominalVideoMs > t.nominalAudioMs && w.silence.size) {
      w.silentAt(static_cast<int64_t>(t.audio + t.silent) * kAudioUs);
      t.nominalAudioMs += 64;
    }
    if (f.video) {
      w.put(1, static_cast<int64_t>(t.video) * kVideoNominalUs, kVideoNominalUs, f.time, f.data,
            f.size, src.release(), src.opaque(f));
      t.nominalVideoMs += 83;
      t.video++;
    } else {
      w.put(0, static_cast<int64_t>(t.audio + t.silent) * kAudioUs, kAudioUs, f.time, f.data,
            f.size, src.release(), src.opaque(f));
      t.nominalAudioMs += 64;
      t.audio++;
    }
    f.data = nullptr;
    return;
  }
  int jumped = 0;
  int64_t trackMs = qmx_cardClock_map(&t.clock, f.video ? 1 : 0, f.time, &jumped);
  if (trackMs < 0) {  // sound before the first picture
    src.free(&f);
    return;
  }
  // Whichever kind meets a break of the clock first reports it; the other
  // kind's frames are already measured on its far side.
  if (jumped && t.jumpList.size() < kListMax) t.jumpList.push_back(Span{t.clock.jumpFrom, t.clock.jumpAt});
  int64_t us = trackMs * 1000;
  if (f.video) {
    // A break of the clock since the last picture, met by this one or by
    // a sound frame, is a jump, not a gap.
    if (t.lastVideoMs >= 0 && t.clock.jumps == t.jumpsAtVideo && f.time - t.lastVideoMs > kGapMs) {
      t.gaps++;
      if (t.gapList.size() < kListMax) t.gapList.push_back(Span{t.lastVideoMs, f.time});
    }
    t.lastVideoMs = f.time;
    t.jumpsAtVideo = t.clock.jumps;
    w.fillTo(us - (t.cardAudio ? kLagUs : 0));
    int64_t dur = qmx_cardClock_step(&t.clock, 1) * 1000;
    w.put(1, us, dur, f.time, f.data, f.size, src.release(), src.opaque(f));
    if (us + dur > t.videoEndUs) t.videoEndUs = us + dur;
    t.video++;
  } else {
    t.cardAudio = true;
    w.fillTo(us);
    int64_t at = us > t.audioEndUs ? us : t.audioEndUs;
    w.put(0, at, kAudioUs, f.time, f.data, f.size, src.release(), src.opaque(f));
    t.audioEndUs = at + kAudioUs;
    t.audio++;
  }
  f.data = nullptr;
}

void setText(char *out, size_t size, const std::string &text) {
  snprintf(out, size, "%s", text.c_str());
}

std::string json(const char *s) {
  std::string out = "\"";
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s ? s : ""); *p; p++) {
    if (*p == '"' || *p == '\\') {
      out += '\\';
      out += static_cast<char>(*p);
    } else if (*p < 0x20) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", *p);
      out += buf;
    } else {
      out += static_cast<char>(*p);
    }
  }
  return out + "\"";
}

std::string localText(int64_t ms) {
  if (ms < 0) return "null";
  time_t t = static_cast<time_t>(ms / 1000);
  struct tm tm;
  memset(&tm, 0, sizeof tm);
  localtime_r(&t, &tm);
  char buf[64];
  snprintf(buf, sizeof buf, "\"%04d-%02d-%02d %02d:%02d:%02d.%03d\"", tm.tm_year + 1900,
           tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
  return buf;
}

const char *endName(int end) {
  switch (end) {
    case QMX_PLAYBACK_END_OF_DATA: return "end of recorded data";
    case QMX_PLAYBACK_READ_ERROR: return "read error";
    case QMX_PLAYBACK_DAMAGED: return "damaged frame";
    default: return "end of span";
  }
}

std::string spans(const std::vector<Span> &list) {
  std::string s = "[";
  for (size_t i = 0; i < list.size(); i++) {
    s += (i ? ",{" : "{") + std::string("\"fromMs\":") + std::to_string(list[i].from) +
         ",\"toMs\":" + std::to_string(list[i].to) + "}";
  }
  return s + "]";
}

std::string buildReport(const qmx_export_request *r, const qmx_export_result *res, const Track &t,
                        int videoType, bool fragmented) {
  const char *status = res->status == QMX_EXPORT_DONE     ? "done"
                       : res->status == QMX_EXPORT_CANCELLED ? "cancelled"
                                                             : "failed";
  int w = 0, h = 0;
  qmx_muxer_pictureSize(r->channel, &w, &h);
  std::string s = "{";
  s += "\"status\":" + json(status);
  char failure[sizeof res->detail + 64];
  qmx_export_failureText(res, failure, sizeof failure);
  s += ",\"error\":" + json(failure);
  s += ",\"file\":" + json(res->file);
  s += ",\"sha256\":" + json(res->sha256);
  s += ",\"card\":{\"path\":" + json(r->cardPath) + ",\"layout\":" +
       json(r->layout == 1 ? "raw" : "file") + ",\"size\":" + std::to_string(r->cardSize) +
       ",\"device\":" + json(r->cardName) + "}";
  s += ",\"channel\":" + std::to_string(r->channel);
  s += ",\"span\":{\"start\":" + std::to_string(r->startTime) + ",\"end\":" +
       std::to_string(r->endTime) + ",\"startLocal\":" +
       localText(static_cast<int64_t>(r->startTime) * 1000) + ",\"endLocal\":" +
       localText(static_cast<int64_t>(r->endTime) * 1000) + "}";
  s += ",\"firstFrameMs\":" + std::to_string(res->firstMs) + ",\"firstFrameLocal\":" +
       localText(res->firstMs);
  s += ",\"lastFrameMs\":" + std::to_string(res->lastMs) + ",\"lastFrameLocal\":" +
       localText(res->lastMs);
  s += ",\"videoFrames\":" + std::to_string(t.video);
  s += ",\"audioFrames\":" + std::to_string(t.audio);
  s += ",\"silentFrames\":" + std::to_string(t.silent);
  s += ",\"jumps\":" + std::to_string(t.clock.jumps) + ",\"jumpList\":" + spans(t.jumpList);
  s += ",\"gaps\":" + std::to_string(t.gaps) + ",\"gapList\":" + spans(t.gapList);
  s += ",\"end\":" + json(endName(res->end));
  s += ",\"endAtMs\":" + std::to_string(res->end == QMX_PLAYBACK_RUNNING ? -1 : res->endAtMs);
  s += ",\"timing\":" + json(r->timing == QMX_EXPORT_TIMING_NOMINAL ? "nominal" : "card");
  s += ",\"codec\":" + json(videoType == 0 ? "h265" : "h264");
  s += ",\"width\":" + std::to_string(w) + ",\"height\":" + std::to_string(h);
  s += ",\"mp4Layout\":" + json(fragmented ? "fragmented" : "indexed");
  s += ",\"version\":" + json((std::string("cardplayer ") + qmx_version()).c_str());
  return s + "}";
}

void finishFailed(qmx_export_result *res, int status, int error, const std::string &detail) {
  res->status = status;
  res->error = error;
  setText(res->detail, sizeof res->detail, detail);
  res->file[0] = '\0';
  res->sha256[0] = '\0';
}

int64_t nowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

int qmx_export_damaged(const qmx_export_result *r) {
  return r && (r->end == QMX_PLAYBACK_READ_ERROR || r->end == QMX_PLAYBACK_DAMAGED);
}

int qmx_export_endedEarly(const qmx_export_result *r, uint64_t endTime) {
  return r && r->end == QMX_PLAYBACK_END_OF_DATA && r->lastMs >= 0 &&
         static_cast<int64_t>(endTime) * 1000 - r->lastMs > kGapMs;
}

void qmx_export_failureText(const qmx_export_result *r, char *out, size_t size) {
  if (!out || size == 0) return;
  if (r && r->error == QMX_MUXER_ERR_MEDIA)
    snprintf(out, size, "the recording's parameter sets cannot be read (%s)", r->detail);
  else
    snprintf(out, size, "%s", r ? r->detail : "");
}

void qmx_export_freeResult(qmx_export_result *result) {
  if (!result) return;
  free(result->report);
  result->report = nullptr;
}

int qmx_export_channel(const qmx_export_request *r, const qmx_export_hooks *hooksIn,
                       qmx_export_result *res) {
  qmx_export_result scratch;
  if (!res) res = &scratch;
  memset(res, 0, sizeof *res);
  res->firstMs = res->lastMs = -1;
  if (!r || r->channel < 0 || r->channel > 3 || r->endTime < r->startTime ||
      r->endTime > static_cast<uint64_t>(INT64_MAX / 1000 - 1)) {
    finishFailed(res, QMX_EXPORT_FAILED, QMX_EXPORT_ERR_SPAN, "unusable export request");
    return -1;
  }
  Hooks hooks{hooksIn};
  Source src{r->layout == 1, r->channel};
  Track t;
  t.timing = r->timing;
  qmx_cardClock_reset(&t.clock);
  Silence silence = pickSilentFrame(r->silent, r->silentSize);
  bool fragmented = r->endTime - r->startTime > QMX_EXPORT_INDEXED_MAX_S;

  hooks.lock();
  int videoType = r->videoType;
  // The file layout knows which channels a span holds; another channel's
  // recording must not stand in for a missing one.
  bool absent = !src.raw && !(qmx_storage_v2_channelsInSpan(static_cast<int64_t>(r->startTime),
                                                             static_cast<int64_t>(r->endTime) + 1) &
                              (1u << r->channel));
  if (absent || src.open(r->startTime, &videoType) != 0) {
    hooks.debug("download qmx_storage_playbackStart fail");
    if (hooksIn && hooksIn->opened) hooksIn->opened(hooksIn->user, 0, 0, videoType);
    hooks.unlock();
    finishFailed(res, QMX_EXPORT_FAILED, QMX_EXPORT_ERR_NO_RECORDING,
                 "no recording of this channel at or after the span's start");
    res->report = strdup(buildReport(r, res, t, videoType, fragmented).c_str());
    return -1;
  }
  hooks.debug("download_handle:", src.handle);
  if (hooksIn && hooksIn->opened) hooksIn->opened(hooksIn->user, 1, src.handle, videoType);
  hooks.unlock();

  bool muxing = !hooks.direct();
  if (muxing) {
    int codec = videoType == 0 ? QMX_CODEC_HEVC : QMX_CODEC_H264;
    int flags = (fragmented ? QMX_MUXER_FRAGMENTED : 0) | (r->inMemory ? QMX_MUXER_IN_MEMORY : 0);
    if (qmx_muxer_startWith(r->channel, r->startTime, r->dir, codec, flags) != 0) {
      const char *why = "";
      int code = qmx_muxer_lastError(r->channel, &why);
      hooks.lock();
      src.stop();
      hooks.unlock();
      finishFailed(res, QMX_EXPORT_FAILED, code, why);
      res->report = strdup(buildReport(r, res, t, videoType, fragmented).c_str());
      return -1;
    }
  }

  // A frame at exactly (end + 1) s is still written; the first one above it
  // ends the export.
  int64_t limitMs = (static_cast<int64_t>(r->endTime) + 1) * 1000;
  Writer writer{r->channel, silence, t};
  bool cancelled = false, sinkFailed = false;
  res->end = QMX_PLAYBACK_RUNNING;
  for (;;) {
    fflush(stdout);
    int64_t t0 = nowUs();
    hooks.lock();
    Frame f;
    int why = QMX_PLAYBACK_RUNNING;
    int got = src.next(&f, limitMs, hooks, &why);
    hooks.unlock();
    int64_t held = nowUs() - t0;
    if (got < 0) {
      res->end = why;
      res->endAtMs = t.lastMs;
      break;
    }
    if (got == 0) break;
    if (t.firstMs < 0 && (f.video || t.video > 0)) t.firstMs = f.time;
    if (f.video || t.video > 0) t.lastMs = f.time;
    if (!muxing) {
      if (f.video || t.video > 0) {
        if (hooksIn->frame(hooksIn->user, f.video ? 1 : 0, f.time, f.data, f.size) != 0)
          sinkFailed = true;
        if (f.video) t.video++; else t.audio++;
      }
      src.free(&f);
    } else {
      place(writer, src, f);
    }
    if (hooksIn && hooksIn->progress) hooksIn->progress(hooksIn->user, f.time);
    if (writer.failed || sinkFailed) break;
    if (hooksIn && hooksIn->cancelled && hooksIn->cancelled(hooksIn->user)) {
      cancelled = true;
      break;
    }
    if (hooksIn && hooksIn->yield) hooksIn->yield(hooksIn->user, held);
  }
  if (muxing && !cancelled && !writer.failed && t.timing == QMX_EXPORT_TIMING_CARD && t.video)
    writer.fillTo(t.videoEndUs + kAudioUs - 1);

  res->firstMs = t.firstMs;
  res->lastMs = t.lastMs;
  res->videoFrames = t.video;
  res->audioFrames = t.audio;
  res->silentFrames = t.silent;
  res->jumps = t.clock.jumps;
  res->gaps = t.gaps;
  res->status = QMX_EXPORT_DONE;
  if (cancelled) {
    if (muxing) qmx_muxer_abort(r->channel);
    finishFailed(res, QMX_EXPORT_CANCELLED, QMX_MUXER_ERR_CANCELLED, "cancelled");
  } else if (sinkFailed) {
    finishFailed(res, QMX_EXPORT_FAILED, QMX_MUXER_ERR_WRITE, "writing the frames failed");
  } else if (t.video == 0) {
    if (muxing) qmx_muxer_abort(r->channel);
    finishFailed(res, QMX_EXPORT_FAILED, QMX_EXPORT_ERR_NO_RECORDING,
                 "no recording of this channel in the span");
  } else if (muxing && qmx_muxer_end(r->channel) != 0) {
    const char *why = "";
    int code = qmx_muxer_lastError(r->channel, &why);
    finishFailed(res, QMX_EXPORT_FAILED, code, why);
  } else if (muxing) {
    setText(res->file, sizeof res->file, qmx_muxer_lastFile(r->channel));
    setText(res->sha256, sizeof res->sha256, qmx_muxer_lastSha256(r->channel));
  }
  // The handle is stopped only now: the muxer hands the frames' buffers
  // back to the library up to its end.
  hooks.lock();
  src.stop();
  hooks.unlock();

  std::string report = buildReport(r, res, t, videoType, fragmented);
  if (res->status == QMX_EXPORT_DONE && muxing && !r->inMemory) {
    std::string mp4 = res->file;
    std::string base = mp4.size() > 4 ? mp4.substr(0, mp4.size() - 4) : mp4;
    if (qmx_muxer_writeSmallFile((base + ".json").c_str(), report.c_str()) != 0) {
      std::string detail = "cannot write " + base + ".json: " + strerror(errno);
      unlink(mp4.c_str());
      unlink((mp4 + ".sha256").c_str());
      finishFailed(res, QMX_EXPORT_FAILED, QMX_MUXER_ERR_WRITE, detail);
      report = buildReport(r, res, t, videoType, fragmented);
    }
  }
  res->report = strdup(report.c_str());
  return res->status == QMX_EXPORT_DONE ? 0 : -1;
}

int qmx_export_insideCard(const char *dir, const char *cardPath) {
  if (!dir || !cardPath || !*dir || !*cardPath) return 0;
  // The nearest part of dir that exists says where it would be made.
  std::string probe = dir;
  struct stat ds;
  while (stat(probe.c_str(), &ds) != 0) {
    size_t slash = probe.find_last_of('/');
    if (slash == std::string::npos) {
      probe = ".";
    } else {
      probe = slash == 0 ? "/" : probe.substr(0, slash);
    }
    if (probe == "." || probe == "/") {
      if (stat(probe.c_str(), &ds) != 0) return 0;
      break;
    }
  }
  struct stat cs;
  if (stat(cardPath, &cs) != 0) return 0;
  if (S_ISDIR(cs.st_mode)) {
    char real[PATH_MAX], card[PATH_MAX];
    if (!realpath(probe.c_str(), real) || !realpath(cardPath, card)) return 0;
    std::string r = real, c = card;
    if (c == "/") return 1;
    return r == c || r.compare(0, c.size() + 1, c + "/") == 0;
  }
  if (!S_ISBLK(cs.st_mode)) return 0;
  // A volume of the card's device, or of one of its partitions.
  if (ds.st_dev == cs.st_rdev) return 1;
  char part[PATH_MAX], disk[PATH_MAX], path[64];
  snprintf(path, sizeof path, "/sys/dev/block/%u:%u", major(ds.st_dev), minor(ds.st_dev));
  if (!realpath(path, part)) return 0;
  snprintf(path, sizeof path, "/sys/dev/block/%u:%u", major(cs.st_rdev), minor(cs.st_rdev));
  if (!realpath(path, disk)) return 0;
  std::string p = part, d = disk;
  return p.compare(0, d.size() + 1, d + "/") == 0;
}
