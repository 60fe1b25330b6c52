#include "card_clock.h"

#include <string.h>

namespace {

// a - b, saturated to the int64 range.
int64_t diff(int64_t a, int64_t b) {
  __int128 d = static_cast<__int128>(a) - b;
  if (d > INT64_MAX) return INT64_MAX;
  if (d < INT64_MIN) return INT64_MIN;
  return static_cast<int64_t>(d);
}

int64_t sum(int64_t a, int64_t b) {
  __int128 s = static_cast<__int128>(a) + b;
  if (s > INT64_MAX) return INT64_MAX;
  if (s < INT64_MIN) return INT64_MIN;
  return static_cast<int64_t>(s);
}

}  // namespace

void qmx_cardClock_reset(qmx_cardClock *clock) {
  memset(clock, 0, sizeof *clock);
  clock->step[0] = QMX_CLOCK_AUDIO_STEP_MS;
  clock->step[1] = QMX_CLOCK_VIDEO_STEP_MS;
}

int64_t qmx_cardClock_map(qmx_cardClock *clock, int video, int64_t cardMs, int *jumped) {
  const int k = video ? 1 : 0;
  if (jumped) *jumped = 0;
  if (!clock->started) {
    if (!video) return -1;
    clock->started = 1;
    clock->base = cardMs;
  }
  // A break: the frame lands at track time `track`, one step after the
  // previous frame of its kind, or, for the first frame of a kind, at the
  // other kind's latest frame when it is more than a step away from it.
  bool broke = false;
  int64_t track = 0, from = 0;
  if (clock->have[k]) {
    const int64_t d = diff(cardMs, clock->last[k]);
    if (d < 0 || d > QMX_CLOCK_MAX_STEP_MS) {
      broke = true;
      from = clock->last[k];
      track = sum(diff(from, clock->base), clock->step[k]);
    } else if (d > 0) {
      clock->step[k] = d;
    }
  } else if (clock->have[1 - k]) {
    const int64_t d = diff(cardMs, clock->last[1 - k]);
    if (d < -QMX_CLOCK_MAX_STEP_MS || d > QMX_CLOCK_MAX_STEP_MS) {
      broke = true;
      from = clock->last[1 - k];
      track = diff(from, clock->base);
    }
  }
  if (broke) {
    // The base moves so that this frame lands at track; the other kind's
    // last frame moves with it, so that its next frame is measured on the
    // same side of the break.
    const int64_t oldBase = clock->base;
    clock->base = diff(cardMs, track);
    if (clock->have[1 - k]) clock->last[1 - k] = sum(clock->last[1 - k], diff(clock->base, oldBase));
    clock->jumps++;
    clock->jumpAt = cardMs;
    clock->jumpFrom = from;
    if (jumped) *jumped = 1;
  }
  clock->have[k] = 1;
  clock->last[k] = cardMs;
  return diff(cardMs, clock->base);
}

int64_t qmx_cardClock_step(const qmx_cardClock *clock, int video) {
  return clock->step[video ? 1 : 0];
}
