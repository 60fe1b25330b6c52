// The card clock: turns the millisecond time stamps of one channel's frames,
// as the recorder wrote them, into a track time that starts at the first
// video frame and never breaks.
//
// Track time is card time minus a base. The base is the card time of the
// first video frame, and moves only where the card's clock breaks: a frame
// whose time goes back, or jumps more than QMX_CLOCK_MAX_STEP_MS past the
// previous frame of its kind, is placed one frame duration (the previous
// frame's, of its kind) after that previous frame, and everything after it,
// video and sound, keeps its card-time distance from it. The first sound
// frame has no previous frame of its kind: when it lies more than
// QMX_CLOCK_MAX_STEP_MS from the latest video frame, either way, it is
// placed at that video frame's track time instead (sound that starts long
// after the picture must not open a long silence). Each such move counts as
// a jump.
//
// Both the export (file time stamps) and playback (pacing) use it. Plain
// data, no allocation, no lock: one clock per reader.
#pragma once

#include <stdint.h>

#define QMX_CLOCK_MAX_STEP_MS 10000
// Frame durations assumed before a kind has two frames to measure.
#define QMX_CLOCK_VIDEO_STEP_MS 40
#define QMX_CLOCK_AUDIO_STEP_MS 64

typedef struct qmx_cardClock {
  int started;        // 1 once the first video frame set the base
  int64_t base;       // card ms that maps to track time 0
  int have[2];        // per kind (0 audio, 1 video): a frame was mapped
  int64_t last[2];    // card ms of the kind's previous frame
  int64_t step[2];    // the kind's previous frame duration, ms
  uint32_t jumps;     // how often the base moved
  int64_t jumpAt;     // card ms of the frame at the latest jump
  int64_t jumpFrom;   // card ms of the frame before it
} qmx_cardClock;

void qmx_cardClock_reset(qmx_cardClock *clock);

// Track time in ms of a frame of this kind (video 1, audio 0) at card time
// cardMs. Before the first video frame there is no base: audio then maps to
// -1 (the caller may drop it) and does not start the clock. Any int64 input
// is safe (the arithmetic saturates). *jumped (when not null) is 1 when this
// frame moved the base, else 0.
int64_t qmx_cardClock_map(qmx_cardClock *clock, int video, int64_t cardMs, int *jumped);

// Duration in ms that the kind's frames have had lately (the step between its
// last two frames, or the assumed one).
int64_t qmx_cardClock_step(const qmx_cardClock *clock, int video);
