// One pane's playback worker on its own thread, as in the program, with
// what it hands over recorded where it is handed over: each picture's card
// time with the wall time (wallMs) of the hand-over, and the heard sound.
// Shared by the player's tests and its benchmark.
#pragma once

#include <QElapsedTimer>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "demuxer_base.h"

// Milliseconds on a steady clock started at the first call.
inline int64_t wallMs() {
  static QElapsedTimer t;
  if (!t.isValid()) t.start();
  return t.elapsed();
}

struct PaneProbe {
  DemuxerBase *worker;
  QThread thread;
  std::mutex lock;  // guards shown and pcm
  std::vector<std::pair<int64_t, int64_t>> shown;  // (card time, wallMs)
  std::vector<int16_t> pcm;                        // 16 kHz mono
  std::atomic<int> pcmBytes{0};

  explicit PaneProbe(int index) : worker(new DemuxerBase(index)) {
    worker->moveToThread(&thread);
    QObject::connect(worker, &DemuxerBase::sigGetVedioFrame, worker, [this](AVFrame *f, int, int) {
      std::lock_guard<std::mutex> held(lock);
      shown.emplace_back(f->pts, wallMs());
      qmx_player_releasePicture(f);
    }, Qt::DirectConnection);
    QObject::connect(worker, &DemuxerBase::sigGetAudioFrame, worker, [this](const char *d, int n) {
      pcmBytes += n;
      {
        std::lock_guard<std::mutex> held(lock);
        const int16_t *s = reinterpret_cast<const int16_t *>(d);
        pcm.insert(pcm.end(), s, s + n / 2);
      }
      qmx_player_releasePcm(d);
    }, Qt::DirectConnection);
    thread.start();
    QMetaObject::invokeMethod(worker, "on_demuxer_start", Qt::QueuedConnection);
  }
  ~PaneProbe() {
    worker->requestStop();
    thread.quit();
    thread.wait();
    delete worker;
  }
  std::vector<std::pair<int64_t, int64_t>> pictures() {
    std::lock_guard<std::mutex> held(lock);
    return shown;
  }
  size_t count() { return pictures().size(); }
};
