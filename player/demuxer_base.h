// The playback worker of one video pane: `demuxer` (pane 1), `demuxer_2`
// (pane 2) and the workers of panes 3 and 4 are this class with another pane
// number. Each runs on a thread of its own; its loop (playback_loop.cpp)
// reads the pane's card channel through the storage library of the open
// card, decodes it (video_decoder.h, audio_decoder.h), and hands every
// picture and the heard pane's sound to the window when its card time comes
// due on the panes' shared clock (play_clock.h).
//
// The window steers the workers through the process-wide variables of
// globals.h (play state, segment, restart and seek requests, speed, heard
// pane) and the queued step signals. Everything else here belongs to the
// worker's thread; the card is shared with the other workers and the window
// through playbackMutex, held around every storage call and never while
// decoding or waiting.
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <deque>
#include <stdint.h>
#include <vector>

#include "audio_decoder.h"
#include "card_clock.h"
#include "frame_reader.h"
#include "handover.h"
#include "video_decoder.h"

class QEventLoop;

class DemuxerBase : public QObject {
  Q_OBJECT

 public:
  // pane: 0 for pane 1 ... 3 for pane 4.
  explicit DemuxerBase(int pane, QObject *parent = nullptr);
  ~DemuxerBase() override;

  int pane() const { return paneIndex; }

  // Pictures and PCM handed over and not yet released by the receiver, and
  // those dropped because too many were in flight.
  int picturesInFlight() const { return qmx_player_picturesInFlight(inFlight); }
  int pcmInFlight() const { return qmx_player_pcmInFlight(inFlight); }
  uint64_t droppedPictures() const { return droppedPictureCount; }

  // Makes on_demuxer_start return after its current pass or wait. Any thread.
  void requestStop();

  // FFmpeg codec id of the video decoder: 0 none, 27 H.264, 173 H.265.
  int codecId = 0;

 signals:
  // pFrame: the receiver's picture (YUV 4:2:0, pts its card time in Unix
  // ms), released with qmx_player_releasePicture.
  void sigGetVedioFrame(AVFrame *pFrame, int mWidth, int mHeight);
  // data: the receiver's `length` bytes of 16 kHz mono signed 16-bit PCM,
  // released with qmx_player_releasePcm.
  void sigGetAudioFrame(const char *data, int length);

 public slots:
  // Opens the decoders for codecId and AAC; end() closes them.
  void init();
  void end();
  // The loop: runs until requestStop(). Queued calls of the worker's thread
  // (the step requests) are delivered while it waits.
  void on_demuxer_start();
  // One picture forward / back while paused (a step back decodes from the
  // I-frame before the previous picture up to it).
  void on_demuxer_nextFrame();
  void on_demuxer_prevFrame();

 private:
  struct Sound {
    std::vector<uint8_t> pcm;
    int64_t at;  // mended card time (see mend) of its first sample
  };

  int pass();
  int playOn();
  void wait(int ms);
  bool paneActive() const;
  void takeRequests();
  bool reopen();
  void reposition(uint64_t offsetMs);
  void resetStream();
  void chooseDecoder(bool keyFrame);
  void readOne(bool stepping);
  void reachEnd();
  void markDone();
  void stepForward();
  void stepBack();
  void handOverPicture(AVFrame *picture);
  void handOverSound(const Sound &sound);
  void queuePictures(std::vector<AVFrame *> &pictures);
  void queueSound(int64_t at, const uint8_t *pcm, size_t bytes);
  void fillSilence(int64_t until);  // silence from soundEnd up to `until`
  bool soundWanted() const;
  int64_t dueOf(int64_t mended, bool video, int64_t now);
  int64_t mend(bool video, int64_t card);
  void clearQueues();
  bool leading() const;
  QString name() const;
  QString handleText() const;

  const int paneIndex;
  std::atomic<bool> stopRequested{false};
  QEventLoop *waitLoop = nullptr;  // the wait in progress, quit by requestStop()
  int stepsWanted = 0;  // > 0 steps forward, < 0 steps back still to make

  FrameReader *reader = nullptr;
  VideoDecoder video;
  AudioDecoder audio;

  // What was opened: a change of segment or card reopens.
  int64_t openedStart = 0, openedEnd = 0;
  uint32_t openedCard = 0;
  uint32_t servedSeek = 0;
  bool opened = false;
  bool endReached = false;  // no more frames to read in this segment
  bool done = false;        // ...and every picture of it handed over

  // Card times mended where the recorder's clock broke (card_clock.h):
  // mended = track time + the card time of the first picture.
  qmx_cardClock cardClock{};
  int64_t clockOrigin = 0;
  int64_t lastReadMended = INT64_MIN;
  // Mended times of the video frames sent to the decoder, by card time, for
  // the pictures as they come out.
  std::deque<std::pair<int64_t, int64_t>> sentVideo;
  std::deque<std::pair<AVFrame *, int64_t>> pictures;  // decoded, with mended time
  std::deque<Sound> sounds;
  int64_t soundEnd = INT64_MIN;  // mended time up to which sound is queued
  int64_t shownCard = INT64_MIN; // card time of the picture last handed over
  // The pane joins the panes' clock at its first picture after a reset or
  // a pause: an anchor set since then by another pane is shared.
  bool needJoin = true;
  int64_t joinSince = 0;
  // --fixed-rate: when the next picture / sound is due.
  int64_t fixedDue[2] = {0, 0};

  std::vector<AVFrame *> decodedScratch;
  std::vector<uint8_t> pcmScratch;
  // Pictures and PCM handed over and not yet released.
  qmx_player_inFlightPtr inFlight;
  uint64_t droppedPictureCount = 0;
};

// Stops every pane's playback handle with the library of `layout` (1
// raw-disk, 2 file: the card open so far) and asks every pane to open
// again. For a change of card: called with playbackMutex held, before that
// library closes its card.
void qmx_player_stopPanes(int layout);
