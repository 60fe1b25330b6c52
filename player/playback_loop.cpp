// The playback loop shared by demuxer and demuxer_2.
//
// Video goes at a fixed nominal rate of one frame per 83 ms and audio at one
// AAC frame per 64 ms, both scaled by playSpeed; the frames' own time stamps
// only end the segment and report the position. Each pass serves at most one
// frame. playbackMutex is held from the start of a storage pass until just
// before decoding (the filler silence is decoded while still holding it) and
// is always released before the loop waits.

#include <QDateTime>
#include <QDebug>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "demuxer_base.h"
#include "globals.h"
#include "qmx_storage.h"
#include "qmx_storage_v2.h"
#include "silent_aac.h"

namespace {

enum class Pace { Go, Wait, Fill };

// Whether the next frame may be decoded now (t) given the deadlines of
// the next video (V) and audio (A) frame. While audio is due before video
// and nothing but a video frame is waiting, silence fills the gap.
Pace pace(bool video, uint64_t V, uint64_t A, uint64_t t) {
  if (V <= A) {
    if (video) return t >= V ? Pace::Go : Pace::Wait;
    return Pace::Go;
  }
  if (video) {
    if (t < A) return Pace::Wait;
    if (t < V) return Pace::Fill;
    return Pace::Go;
  }
  return t >= A ? Pace::Go : Pace::Wait;
}

// A speed outside the menu's values (0 or negative) would divide by zero.
int speed() {
  const int s = playSpeed;
  return s > 0 ? s : 10;
}
uint64_t videoInterval() { return static_cast<uint64_t>(10000 / (speed() * 12)); }
uint64_t audioInterval() { return static_cast<uint64_t>(640 / speed()); }

uint64_t nowMs() { return static_cast<uint64_t>(QDateTime::currentMSecsSinceEpoch()); }

bool pastEnd(int64_t ts) { return ts > (playEndTime.load() + 1) * 1000; }

// Releases a file-layout frame through the library; the library ignores a
// handle that is no longer open, so then the bytes are freed here.
void releaseFileFrame(uint32_t handle, qmx_storage_v2_frame *frame) {
  if (frame->data) qmx_storage_v2_freeFrame(handle, frame);
  if (frame->data) free(frame->data);
  *frame = qmx_storage_v2_frame{};
}

}  // namespace

std::atomic<int> &DemuxerBase::handleVar() {
  return primary() ? demuxerHandle : demuxer2Handle;
}

std::atomic<uint8_t> &DemuxerBase::restartVar() {
  return primary() ? demuxerRestart : demuxer2Restart;
}

int DemuxerBase::channel() const { return primary() ? demuxerChannel : demuxer2Channel; }

void DemuxerBase::on_demuxer_nextFrame() { stepRequested = 1; }

// Waits in a nested event loop so that queued calls (the frame step) reach
// the worker meanwhile.
void DemuxerBase::wait(int ms) {
  if (stopRequested) return;
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// Rebuilds the decoder set when the card's codec differs from the one in use.
void DemuxerBase::checkCodec() {
  int wanted;
  switch (videoType.load()) {
    case 0: wanted = AV_CODEC_ID_HEVC; break;
    case 1: wanted = AV_CODEC_ID_H264; break;
    default: return;
  }
  if (wanted == codecId) return;
  end();
  codecId = wanted;
  init();
}

void DemuxerBase::on_demuxer_start() {
  videoDue = audioDue = 0;
  while (!stopRequested) {
    if (playState == 0 && stepRequested == 0) {
      wait(100);
      continue;
    }
    checkCodec();
    if (!primary() && channelNum != 2) {
      wait(10);
      continue;
    }
    const PassEnd e = storageV == 1 ? rawPass() : filePass();
    if (e == PassEnd::Pause) wait(10);
  }
}

// Called with playbackMutex held: stops both panes and asks both to open
// again at playStartTime on the next play.
DemuxerBase::PassEnd DemuxerBase::endOfPlay() {
  playState = 0;
  demuxerRestart = 1;
  demuxer2Restart = 1;
  playbackMutex.unlock();
  return PassEnd::Pause;
}

// Called with playbackMutex held, when this pane's data ends or fails: pane 1
// ends play for both panes; pane 2 only waits for the next pass.
DemuxerBase::PassEnd DemuxerBase::paneDone() {
  if (primary()) return endOfPlay();
  playbackMutex.unlock();
  return PassEnd::Pause;
}

// Called with playbackMutex held when no handle could be opened or none is
// open: play stops and the loop goes straight on.
DemuxerBase::PassEnd DemuxerBase::stopPlaying() {
  playState = 0;
  stepRequested = 0;
  playbackMutex.unlock();
  videoDue = audioDue = 0;
  return PassEnd::Now;
}

// Called without the mutex: decodes one stored frame and sets when the next
// frame of its kind is due.
void DemuxerBase::handOver(bool video, const uint8_t *data, int size, uint64_t now) {
  if (video) {
    decodeVideo(data, size);
    stepRequested = 0;
    videoDue = now + videoInterval();
  } else {
    decodeAudio(data, size);
    audioDue = now + audioInterval();
  }
}

// Called with playbackMutex held: true, with the mutex released, when the
// frame is not handed over in this pass (its turn has not come, or silence
// went out in place of missing audio).
bool DemuxerBase::holdBack(bool video, uint64_t now) {
  const Pace p = pace(video, videoDue, audioDue, now);
  if (p == Pace::Wait) {
    playbackMutex.unlock();
    return true;
  }
  if (p == Pace::Fill) {
    fillIn(now);
    return true;
  }
  return false;
}

// Called with playbackMutex held: about one second of silence goes out in
// place of the audio the recording lacks.
void DemuxerBase::fillIn(uint64_t now) {
  if (silentAac.data && silentAac.size > 0)
    decodeAudio(silentAac.data, static_cast<int>(silentAac.size));
  audioDue = now + audioInterval();
  playbackMutex.unlock();
}

DemuxerBase::PassEnd DemuxerBase::rawPass() {
  qmx_storage_frameInfo info{};
  qmx_storage_frame frame{};
  std::atomic<int> &handle = handleVar();
  std::atomic<uint8_t> &restart = restartVar();

  playbackMutex.lock();
  if (restart) {
    restart = 0;
    qmx_storage_playbackStop(static_cast<uint32_t>(handle.load()));
    handle = -1;
    uint32_t opened = 0;
    if (qmx_storage_playbackStart(static_cast<uint32_t>(channel()),
                                  static_cast<uint64_t>(playStartTime.load()), &opened) != 0) {
      qDebug().noquote() << QString(texts.name) + " qmx_storage_playbackStart fail";
      return stopPlaying();
    }
    handle = static_cast<int>(opened);
    qDebug().noquote() << texts.handleOpened << handle.load();
    videoDue = audioDue = 0;
  }
  if (handle == -1) {
    restart = 0;
    return stopPlaying();
  }

  const uint32_t h = static_cast<uint32_t>(handle.load());
  const int r = qmx_storage_playbackFrameInfo(h, &info);
  if (r != 0) {
    qDebug().noquote() << QString(texts.name) + " qmx_storage_playbackFrameInfo fail:" << r;
    return paneDone();
  }
  const int kind = info.flags & 0x0F;
  if (primary() && kind == 1) currentVideoTime = info.time;
  if (pastEnd(info.time)) {
    qDebug().noquote() << QString(texts.name) + " stop pbFrameInfo.ts:" << info.time;
    return paneDone();
  }

  const uint64_t now = nowMs();
  // Frames of another kind than video or audio are handed on unpaced.
  if (kind <= 1 && holdBack(kind == 1, now)) return PassEnd::Pause;

  if (qmx_storage_playbackFrame(h, &frame) != 0) {
    qDebug().noquote() << QString(texts.name) + " qmx_storage_playbackFrame fail";
    playbackMutex.unlock();
    return PassEnd::Pause;
  }
  playbackMutex.unlock();
  const int size = static_cast<int>(std::min<uint32_t>(frame.size, INT32_MAX));
  handOver(kind == 1, frame.data, size, now);
  qmx_storage_freeFrame(&frame);
  return PassEnd::Pause;
}

DemuxerBase::PassEnd DemuxerBase::filePass() {
  std::atomic<int> &handle = handleVar();
  std::atomic<uint8_t> &restart = restartVar();

  playbackMutex.lock();
  if (restart) {
    restart = 0;
    const uint32_t h0 = static_cast<uint32_t>(handle.load());
    releaseFileFrame(h0, &g_pbFrame);
    qmx_storage_v2_playbackStop(h0);
    handle = -1;
    uint32_t opened = 0;
    uint32_t codec = 0;
    if (qmx_storage_v2_playbackStart(static_cast<uint8_t>(channel()),
                                     static_cast<uint64_t>(playStartTime.load()), &opened,
                                     &codec) != 0) {
      qDebug().noquote() << QString(texts.name) + " qmx_storage_v2_playbackStart fail";
      return stopPlaying();
    }
    videoType = static_cast<int>(codec);
    checkCodec();
    handle = static_cast<int>(opened);
    qDebug().noquote() << texts.handleOpened << handle.load();
    // A frame held from before the restart belonged to the old position; it
    // was dropped above.
    videoDue = audioDue = 0;
  }
  if (handle == -1) {
    restart = 0;
    return stopPlaying();
  }

  const uint32_t h = static_cast<uint32_t>(handle.load());
  if (QMX_V2_FRAME_LENGTH(g_pbFrame.word) == 0) {
    releaseFileFrame(h, &g_pbFrame);
    const int r = qmx_storage_v2_playbackFrame(h, &g_pbFrame);
    if (r != 0) {
      qDebug().noquote() << QString(texts.name) + " qmx_storage_v2_playbackFrame fail:" << r;
      releaseFileFrame(h, &g_pbFrame);
      return paneDone();
    }
    if (primary() && (g_pbFrame.word & 1)) currentVideoTime = g_pbFrame.time;
  }

  if (pastEnd(g_pbFrame.time)) {
    qDebug().noquote() << QString(texts.name) + " stop g_pbFrame.ts:" << g_pbFrame.time;
    const PassEnd e = paneDone();
    releaseFileFrame(h, &g_pbFrame);
    return e;
  }

  const bool video = (g_pbFrame.word & 1) != 0;
  const uint64_t now = nowMs();
  if (holdBack(video, now)) return PassEnd::Pause;

  playbackMutex.unlock();
  const int size = static_cast<int>(QMX_V2_FRAME_LENGTH(g_pbFrame.word));
  handOver(video, g_pbFrame.data, size, now);
  releaseFileFrame(h, &g_pbFrame);
  return PassEnd::Pause;
}
