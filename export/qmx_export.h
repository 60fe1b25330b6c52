// Export of one channel's span from the open card into one MP4 file: the
// frame loop shared by the download worker and cardtool. It reads frames
// through the playback handles of the open card's layout, copies them into
// the muxer unchanged and puts the silent AAC stream in front of a video
// frame whenever the file's video track has run ahead of its audio track.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Callbacks that let the caller take its lock around the storage calls,
// pause between frames, log and follow progress. Any of them may be null.
typedef struct qmx_export_hooks {
  void *user;
  // Taken before each storage call and given back after it; the routine
  // never pauses or calls pause while holding it.
  void (*lock)(void *user);
  void (*unlock)(void *user);
  // Called with the lock released: 3 ms after every frame step.
  void (*pause)(void *user, int ms);
  // A debug line: text, then the number when hasNumber is set.
  void (*debug)(void *user, const char *text, int hasNumber, int64_t number);
  // Under the lock, once: ok 0 when no playback handle could be opened
  // (the routine then returns -1 at once), else 1 after the muxer started.
  // videoType is the card code the file was started with (the file layout
  // learns it from the first frame).
  void (*opened)(void *user, int ok, uint32_t handle, int videoType);
  // Under the lock, at the end of the channel, after the file was finished
  // and the handle closed: the file's final path, "" when it has none.
  void (*finished)(void *user, const char *file);
  // Lock released: after a frame was written, with its time (Unix ms).
  void (*progress)(void *user, int64_t frameTimeMs);
  // When set, frames go here instead of into an MP4 file, with frameType 1
  // video and 0 audio, as the card has them (no silent filler is made and
  // no muxer is used).
  void (*frame)(void *user, uint8_t frameType, int64_t timeMs, const uint8_t *data,
                uint32_t size);
} qmx_export_hooks;

typedef struct qmx_export_request {
  int layout;          // 1 raw-disk layout, anything else the file layout
  int channel;         // card channel, 0..3
  uint64_t startTime;  // Unix seconds: playback begins at the first I-frame at or after it
  uint64_t endTime;    // Unix seconds: frames up to (endTime + 1) x 1000 ms are written
  const char *dir;     // target directory, shorter than 256 bytes
  int videoType;       // card codec code (0 H.265, else H.264); the file layout replaces it
  const uint8_t *silent;  // silent AAC stream written in front of a video frame when due
  uint32_t silentSize;    // 0: nothing is written in its place
} qmx_export_request;

// Exports one channel. 0 with the file's final path in out (when out is not
// null), or -1 with out "" when no handle could be opened or no file reached
// its final name. With hooks->frame set, 0 whenever a handle was opened.
int qmx_export_channel(const qmx_export_request *request, const qmx_export_hooks *hooks,
                       char *out, size_t outSize);
