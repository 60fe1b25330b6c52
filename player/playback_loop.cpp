// The playback loop of a pane's worker.
//
// Each pass does one thing: takes the window's requests (restart, new
// segment, seek), makes a frame step, hands over what has come due, or
// reads and decodes one more stored frame; then it waits until the next
// thing is due (at most kMaxWaitMs, so that requests are taken promptly).
//
// Pace. A picture is due when its card time comes round on the panes'
// shared clock (play_clock.h) at the chosen speed; sound goes kLeadMs early
// so that the audio device never runs dry. Reading runs kLeadMs ahead of
// what is shown, and further while the decoder's frame threads hold
// pictures back. With --fixed-rate the old nominal rates apply instead.
// Card times are mended where the recorder's clock goes back or jumps more
// than ten seconds (card_clock.h): such a frame follows the one before it
// by that one's duration.
//
// Sound is decoded only by the heard pane, only at 1.0x; where the card
// has none, silence of the same length goes out instead.

#include <QDebug>
#include <QEventLoop>
#include <QMetaMethod>
#include <QMutexLocker>
#include <QTimer>
#include <algorithm>
#include <chrono>

#include "demuxer_base.h"
#include "globals.h"
#include "play_clock.h"
#include "still.h"

namespace {

const int kIdleMs = 100;            // poll while paused or idle
const int kMaxSteps = 100;          // steps waiting to be made, each way
const int kMaxWaitMs = 50;          // longest wait while playing
const int64_t kLeadMs = 200;        // read and send sound this far ahead
const int64_t kSlipMs = 250;        // a picture this late moves the clock
const int64_t kAnchorGuardMs = 300; // an anchor this young is kept
const size_t kMaxPictures = 8;      // decoded pictures waiting their turn
const size_t kMaxSounds = 256;      // sound blocks waiting theirs (about 16 s)
const int64_t kSilenceGapMs = 300;  // missing sound longer than this is filled
const int kBytesPerMs = AudioDecoder::kRate / 1000 * AudioDecoder::kBytesPerSample;
const size_t kSoundBlock = 2048;    // silence goes out in blocks of 64 ms

// Panes that have played their segment to the end (or have nothing to
// play), and panes showing pictures of it. Written by each pane's worker
// for itself, read by all; plain atomics.
std::atomic<bool> paneFinished[QMX_MAX_PANES];
std::atomic<bool> paneShowing[QMX_MAX_PANES];

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int speedNow() {
  const int s = playSpeed;
  return s > 0 ? s : 10;
}

bool isActive(int pane) {
  const int channels = channelNum;
  return pane < qmx_panes_forChannels(channels) && paneChannel[pane] < channels;
}

// Serialises the storage calls of a step back with the other users of the card.
class PlaybackLock : public ReaderLock {
 public:
  void lock() override { playbackMutex.lock(); }
  void unlock() override { playbackMutex.unlock(); }
};

}  // namespace

void qmx_player_stopPanes(int layout) {
  for (std::atomic<int> &handle : paneHandle) {
    const int h = handle.exchange(-1);
    if (h < 0) continue;
    if (layout == 1)
      qmx_storage_playbackStop(static_cast<uint32_t>(h));
    else
      qmx_storage_v2_playbackStop(static_cast<uint32_t>(h));
  }
  qmx_panes_requestRestart();
}

void DemuxerBase::requestStop() {
  stopRequested = true;
  QMetaObject::invokeMethod(this, [this] { if (waitLoop) waitLoop->quit(); }, Qt::QueuedConnection);
}

// Steps are taken at the end of the wait in progress (within 100 ms), one
// picture each; a step back cancels a step forward still to be made.
void DemuxerBase::on_demuxer_nextFrame() { stepsWanted = std::min(stepsWanted + 1, kMaxSteps); }

void DemuxerBase::on_demuxer_prevFrame() { stepsWanted = std::max(stepsWanted - 1, -kMaxSteps); }

void DemuxerBase::wait(int ms) {
  if (stopRequested) return;
  QEventLoop loop;
  QTimer timer;
  timer.setTimerType(Qt::PreciseTimer);
  timer.setSingleShot(true);
  connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
  timer.start(ms);
  waitLoop = &loop;
  loop.exec();
  waitLoop = nullptr;
}

void DemuxerBase::on_demuxer_start() {
  while (!stopRequested) {
    const int ms = pass();
    if (ms > 0) wait(ms);
  }
  QMutexLocker held(&playbackMutex);
  if (reader) reader->close();
  clearQueues();
}

bool DemuxerBase::paneActive() const { return isActive(paneIndex); }

int DemuxerBase::pass() {
  if (!paneActive()) {
    if (opened) {
      QMutexLocker held(&playbackMutex);
      reader->close();
      opened = false;
      clearQueues();
    }
    stepsWanted = 0;
    return kIdleMs;
  }
  if (playState != 1 && stepsWanted == 0) {
    qmx_playClock().release();
    needJoin = true;
    joinSince = nowMs();
    return kIdleMs;
  }
  takeRequests();
  if (done) {
    stepsWanted = 0;
    return kIdleMs;
  }
  if (stepsWanted < 0) {
    stepBack();
    stepsWanted++;
    return 0;
  }
  if (stepsWanted > 0) {
    stepForward();
    return 0;
  }
  return playOn();
}

// Restart, new segment, another card, seek: under playbackMutex.
void DemuxerBase::takeRequests() {
  QMutexLocker held(&playbackMutex);
  std::atomic<uint8_t> &restart = paneRestart[paneIndex];
  if (opened && cardGeneration != openedCard) {
    // The handle belonged to the card before; its library has let it go.
    reader->forget();
    opened = false;
    restart = 1;
  }
  const bool moved = opened && (playStartTime != openedStart || playEndTime != openedEnd);
  if (restart || moved) {
    restart = 0;
    servedSeek = seekGeneration;  // a seek within the old segment is moot
    // Steps asked for in the old segment are moot too; one step (the
    // segment chosen while paused) shows the new one's first picture.
    stepsWanted = std::clamp(stepsWanted, 0, 1);
    if (!reopen()) markDone();
    return;
  }
  const uint32_t seek = seekGeneration;
  if (seek != servedSeek) {
    servedSeek = seek;
    reposition(seekOffsetMs);
  }
}

// Under playbackMutex: opens the pane's channel at playStartTime.
bool DemuxerBase::reopen() {
  resetStream();
  done = endReached = false;
  paneFinished[paneIndex] = false;
  shownCard = INT64_MIN;
  if (reader) reader->close();  // with the library it was opened with
  delete reader;
  reader = new FrameReader(storageV == 1 ? 1 : 2, paneChannel[paneIndex], &paneHandle[paneIndex]);
  opened = false;
  openedStart = playStartTime;
  openedEnd = playEndTime;
  openedCard = cardGeneration;
  int codec = -1;
  if (reader->open(openedStart, &codec) != 0) {
    qDebug().noquote() << name() + (storageV == 1 ? " qmx_storage_playbackStart fail"
                                                  : " qmx_storage_v2_playbackStart fail");
    return false;
  }
  // The file layout tells the recording's codec when a playback starts.
  if (storageV != 1) videoType = codec;
  opened = true;
  qDebug().noquote() << handleText() << paneHandle[paneIndex].load();
  chooseDecoder(true);
  return true;
}

// Under playbackMutex: moves to offsetMs after playStartTime.
void DemuxerBase::reposition(uint64_t offsetMs) {
  resetStream();
  done = endReached = false;
  paneFinished[paneIndex] = false;
  // A handle that ran out of data was let go by its library: open again.
  if ((!opened || !reader->seek(offsetMs)) && (!reopen() || !reader->seek(offsetMs)))
    endReached = true;  // nothing recorded from there on
}

void DemuxerBase::resetStream() {
  clearQueues();
  video.flush();
  audio.flush();
  qmx_cardClock_reset(&cardClock);
  clockOrigin = 0;
  lastReadMended = INT64_MIN;
  sentVideo.clear();
  soundEnd = INT64_MIN;
  fixedDue[0] = fixedDue[1] = 0;
  paneShowing[paneIndex] = false;
  needJoin = true;
  joinSince = nowMs();
}

void DemuxerBase::clearQueues() {
  for (auto &p : pictures) av_frame_free(&p.first);
  pictures.clear();
  sounds.clear();
}

// Opens the decoder for the card's codec, threaded while playing and
// low-delay while paused. A decoder is replaced only in front of an
// I-frame, where the new one can start; what the old one still holds comes
// out first.
void DemuxerBase::chooseDecoder(bool keyFrame) {
  int wanted = codecId;
  if (videoType == 0) wanted = AV_CODEC_ID_HEVC;
  if (videoType == 1) wanted = AV_CODEC_ID_H264;
  if (!wanted) return;
  const auto mode = playState == 1 ? VideoDecoder::Mode::Threaded : VideoDecoder::Mode::LowDelay;
  if (video.isOpen() && wanted == codecId && (video.mode() == mode || !keyFrame)) return;
  if (video.isOpen()) {
    video.drain(&decodedScratch);
    queuePictures(decodedScratch);
  }
  codecId = wanted;
  init();
}

// Card time made unbroken; INT64_MIN for sound before the first picture.
int64_t DemuxerBase::mend(bool isVideo, int64_t card) {
  if (isVideo && !cardClock.started) clockOrigin = card;
  const int64_t track = qmx_cardClock_map(&cardClock, isVideo ? 1 : 0, card, nullptr);
  if (!isVideo && track < 0) return INT64_MIN;
  return track + clockOrigin;
}

// Reads and decodes the next stored frame. In a step no sound is decoded.
void DemuxerBase::readOne(bool stepping) {
  const uint8_t *data = nullptr;
  int size = 0;
  FrameInfo info;
  int r;
  {
    QMutexLocker held(&playbackMutex);
    r = reader && opened ? reader->peek(&info) : 0;
    if (r == 1 && info.time > (playEndTime + 1) * 1000) {
      qDebug().noquote() << name() + (storageV == 1 ? " stop pbFrameInfo.ts:" : " stop g_pbFrame.ts:")
                         << info.time;
      r = 0;
    } else if (r == 1) {
      r = reader->take(&data, &size, &info);
    }
    if (r < 0) qDebug().noquote() << name() + " playback read fail";
  }
  if (r != 1) {
    reachEnd();
    return;
  }
  const int64_t at = mend(info.video, info.time);
  if (info.video) {
    lastReadMended = at;
    chooseDecoder(qmx_isKeyFrame(codecId, data, size));
    sentVideo.emplace_back(info.time, at);
    if (sentVideo.size() > 64) sentVideo.pop_front();
    video.decode(data, size, info.time, &decodedScratch);
    queuePictures(decodedScratch);
    if (soundWanted()) {
      if (soundEnd == INT64_MIN) soundEnd = at;  // the sound track starts at the picture
      fillSilence(at - kSilenceGapMs);
    }
  } else if (at != INT64_MIN && !stepping && soundWanted()) {
    pcmScratch.clear();
    if (audio.decode(data, size, &pcmScratch) > 0) queueSound(at, pcmScratch.data(), pcmScratch.size());
  }
}

// No more frames in the segment: the decoder gives up what it holds.
void DemuxerBase::reachEnd() {
  endReached = true;
  video.drain(&decodedScratch);
  queuePictures(decodedScratch);
}

// Under playbackMutex: this pane has shown its segment; when every pane
// has, play stops and the next play starts the segment again.
void DemuxerBase::markDone() {
  done = true;
  stepsWanted = 0;
  paneFinished[paneIndex] = true;
  paneShowing[paneIndex] = false;
  for (int i = 0; i < QMX_MAX_PANES; i++)
    if (isActive(i) && !paneFinished[i]) return;
  playState = 0;
  qmx_panes_requestRestart();
}

void DemuxerBase::queuePictures(std::vector<AVFrame *> &decoded) {
  for (AVFrame *p : decoded) {
    int64_t at = p->pts;
    while (!sentVideo.empty() && sentVideo.front().first != p->pts) sentVideo.pop_front();
    if (!sentVideo.empty()) {
      at = sentVideo.front().second;
      sentVideo.pop_front();
    }
    pictures.emplace_back(p, at);
  }
  decoded.clear();
}

bool DemuxerBase::soundWanted() const {
  return heardPane == paneIndex && speedNow() == 10 && playState == 1;
}

// Queues decoded sound at its time; what overlaps sound already queued
// (silence put in while it was missing) is cut off.
void DemuxerBase::queueSound(int64_t at, const uint8_t *pcm, size_t bytes) {
  if (soundEnd == INT64_MIN) soundEnd = at;
  if (at > soundEnd + kSilenceGapMs) fillSilence(at);
  if (at < soundEnd) {
    const size_t cut = static_cast<size_t>(soundEnd - at) * kBytesPerMs;
    if (cut >= bytes) return;
    pcm += cut;
    bytes -= cut;
    at = soundEnd;
  }
  sounds.push_back({std::vector<uint8_t>(pcm, pcm + bytes), at});
  soundEnd = at + static_cast<int64_t>(bytes / kBytesPerMs);
}

// Silence from the end of the sound queued up to `until` (mended ms).
void DemuxerBase::fillSilence(int64_t until) {
  while (until - soundEnd > 0) {
    const size_t bytes = std::min<size_t>(kSoundBlock, static_cast<size_t>(until - soundEnd) * kBytesPerMs);
    sounds.push_back({std::vector<uint8_t>(bytes, 0), soundEnd});
    soundEnd += static_cast<int64_t>(bytes / kBytesPerMs);
  }
}

int64_t DemuxerBase::dueOf(int64_t at, bool isVideo, int64_t now) {
  if (fixedRatePacing) {
    int64_t &due = fixedDue[isVideo ? 1 : 0];
    if (due == 0) due = now;
    return due;
  }
  if (needJoin) {
    qmx_playClock().join(at, speedNow(), now, joinSince);
    needJoin = false;
  }
  return qmx_playClock().due(at, speedNow(), now);
}

int DemuxerBase::playOn() {
  const int64_t now = nowMs();
  const int speed = speedNow();
  if (!soundWanted() && (!sounds.empty() || soundEnd != INT64_MIN)) {
    sounds.clear();
    soundEnd = INT64_MIN;
  }
  int64_t wake = now + kMaxWaitMs;
  while (!pictures.empty()) {
    const int64_t at = pictures.front().second;
    int64_t due = dueOf(at, true, now);
    if (!fixedRatePacing && now - due > kSlipMs &&
        qmx_playClock().rebase(at, speed, now, kAnchorGuardMs))
      due = now;  // the pictures came late: the panes go on from here
    if (due > now) {
      wake = std::min(wake, due);
      break;
    }
    AVFrame *picture = pictures.front().first;
    pictures.pop_front();
    handOverPicture(picture);
    if (fixedRatePacing) fixedDue[1] = now + 10000 / (speed * 12);
  }
  while (!sounds.empty()) {
    const Sound &sound = sounds.front();
    const int64_t due = dueOf(sound.at, false, now) - (fixedRatePacing ? 0 : kLeadMs);
    if (due > now) {
      wake = std::min(wake, due);
      break;
    }
    handOverSound(sound);
    if (fixedRatePacing) fixedDue[0] = now + static_cast<int64_t>(sound.pcm.size() / kBytesPerMs);
    sounds.pop_front();
  }

  if (!endReached && pictures.size() < kMaxPictures && sounds.size() < kMaxSounds) {
    bool more = pictures.empty() || lastReadMended == INT64_MIN;
    if (!more && !fixedRatePacing && qmx_playClock().anchored()) {
      const int64_t frontier = qmx_playClock().due(lastReadMended, speed, now) - kLeadMs;
      more = frontier <= now;
      if (!more) wake = std::min(wake, frontier);
    }
    if (more) {
      readOne(false);
      return 0;
    }
  }
  if (endReached && pictures.empty() && sounds.empty()) {
    QMutexLocker held(&playbackMutex);
    markDone();
    return 0;
  }
  return static_cast<int>(std::clamp<int64_t>(wake - now, 1, kMaxWaitMs));
}

void DemuxerBase::stepForward() {
  sounds.clear();
  soundEnd = INT64_MIN;
  if (!pictures.empty()) {
    AVFrame *picture = pictures.front().first;
    pictures.pop_front();
    handOverPicture(picture);
    stepsWanted--;
    return;
  }
  if (endReached) {
    // The segment's last picture is shown; a step back still works.
    stepsWanted = 0;
    return;
  }
  readOne(true);
}

// The picture before the one shown: decoded from the I-frame before it,
// with a low-delay decoder, which then goes on from there.
void DemuxerBase::stepBack() {
  if (shownCard == INT64_MIN || !reader || !opened) return;
  const int64_t shown = shownCard;
  if (!reader->isOpen()) {
    // The library let the handle go at the end of the recorded data.
    QMutexLocker held(&playbackMutex);
    if (!reopen()) return;
  }
  PlaybackLock lock;
  resetStream();
  endReached = false;
  if (video.mode() != VideoDecoder::Mode::LowDelay && codecId) {
    std::string why;
    if (!video.open(codecId, VideoDecoder::Mode::LowDelay, &why)) return;
  }
  AVFrame *picture = nullptr;
  if (qmx_seekKeyAtOrBefore(*reader, shown - 1, lock))
    picture = qmx_decodeUpTo(*reader, video, shown - 1, lock);
  if (!picture) {
    // Nothing before it (the segment's first picture): stay where it was.
    video.flush();
    if (qmx_seekKeyAtOrBefore(*reader, shown, lock))
      picture = qmx_decodeUpTo(*reader, video, shown, lock);
    shownCard = shown;
    av_frame_free(&picture);
    return;
  }
  handOverPicture(picture);
}

bool DemuxerBase::leading() const {
  for (int i = 0; i < QMX_MAX_PANES; i++)
    if (paneShowing[i] && isActive(i)) return i == paneIndex;
  return true;
}

void DemuxerBase::handOverPicture(AVFrame *picture) {
  shownCard = picture->pts;
  paneShowing[paneIndex] = true;
  if (leading()) currentVideoTime = picture->pts;
  const int w = picture->width, h = picture->height;
  AVFrame *copy = nullptr;
  if (isSignalConnected(QMetaMethod::fromSignal(&DemuxerBase::sigGetVedioFrame))) {
    copy = qmx_player_copyPicture(inFlight, picture);
    if (!copy) droppedPictureCount++;
  }
  av_frame_free(&picture);
  if (copy) emit sigGetVedioFrame(copy, w, h);
}

void DemuxerBase::handOverSound(const Sound &sound) {
  if (sound.pcm.empty() ||
      !isSignalConnected(QMetaMethod::fromSignal(&DemuxerBase::sigGetAudioFrame)))
    return;
  const int length = static_cast<int>(sound.pcm.size());
  const char *copy = qmx_player_copyPcm(inFlight, sound.pcm.data(), length);
  if (copy) emit sigGetAudioFrame(copy, length);
}
