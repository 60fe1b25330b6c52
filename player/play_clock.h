// The clock the panes share while they play: it ties card time (ms) to the
// wall clock (ms) at the chosen speed, so that every pane shows the same
// moment of the recording at the same time. The first pane that hands a
// frame over after the clock was let go sets where it stands; a speed
// change keeps the moment reached and goes on at the new rate.
//
// Its lock (a std::mutex inside) guards the anchor; it is taken alone,
// never while waiting, and may be taken with playbackMutex held.
#pragma once

#include <stdint.h>

#include <mutex>

class PlayClock {
 public:
  // Wall time at which card time `card` is due at `speed` (tenths: 10 is
  // 1.0x). Without an anchor, `card` is due now and becomes the anchor.
  int64_t due(int64_t card, int speed, int64_t now);
  // A pane's first frame after it started again (at `since`): an anchor set
  // since then, by a pane that started with it, is shared; an older one is
  // replaced so that `card` is due now.
  void join(int64_t card, int speed, int64_t now, int64_t since);
  // Without an anchor: nothing is due yet, everything may be read ahead.
  bool anchored();
  // Moves the anchor so that `card` is due now: the pictures came late, or
  // the recording jumped. Refused (false) while the anchor is younger than
  // `minAgeMs`, so that panes starting together keep one anchor.
  bool rebase(int64_t card, int speed, int64_t now, int64_t minAgeMs);
  // Lets the anchor go (a pause): the next frame handed over sets a new one.
  void release();

 private:
  std::mutex lock;  // guards everything below
  bool isAnchored = false;
  int64_t anchorCard = 0;
  int64_t anchorWall = 0;
  int anchorSpeed = 10;
  int64_t setAt = 0;  // wall time the anchor was set
};

// The one clock of the panes.
PlayClock &qmx_playClock();
