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
  if (clock->have[k]) {
    const int64_t d = diff(cardMs, clock->last[k]);
    if (d < 0 || d > QMX_CLOCK_MAX_STEP_MS) {
      // The previous frame of this kind keeps its place; this one follows it
      // by one duration, and the base moves so that it lands there.
      const int64_t prevTrack = diff(clock->last[k], clock->base);
      const int64_t track = sum(prevTrack, clock->step[k]);
      const int64_t oldBase = clock->base;
      clock->base = diff(cardMs, track);
      // The other kind's last frame moves with the base, so that its next
      // frame is measured on the same side of the break.
      if (clock->have[1 - k]) clock->last[1 - k] = sum(clock->last[1 - k], diff(clock->base, oldBase));
      clock->jumps++;
      clock->jumpAt = cardMs;
      clock->jumpFrom = clock->last[k];
      if (jumped) *jumped = 1;
    } else if (d > 0) {
      clock->step[k] = d;
    }
  }
  clock->have[k] = 1;
  clock->last[k] = cardMs;
  return diff(cardMs, clock->base);
}

int64_t qmx_cardClock_step(const qmx_cardClock *clock, int video) {
  return clock->step[video ? 1 : 0];
}
