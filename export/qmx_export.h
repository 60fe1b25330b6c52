// Export of one channel's span from the open card into one MP4 file: the
// frame loop shared by the download worker and cardtool. It reads frames
// through the playback handles of the open card's layout, places them on
// the file's time line (the card's own time stamps, or the nominal steps),
// fills the times without sound with silent AAC frames, and writes a report
// (NAME.json) beside the file; the muxer writes NAME.mp4.sha256.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "qmx_playback_end.h"

// Spans longer than this (seconds) are written as fragments. A file with
// one index (the layout every player and editor reads, with its sync-sample
// table) needs the writer to hold about 48 bytes per sample until the end,
// then moves the index to the front in a second pass: 4 hours at the
// highest rate a recorder writes (60 pictures and 15.6 sound frames a
// second) is about 1.1 million samples, some 52 MiB. Beyond that the file is
// a fragmented MP4: an index-only header in front, then each key frame's
// group with its own small index in front of its data, so memory stays flat
// whatever the span, and players that stream MP4 read it as it comes.
#define QMX_EXPORT_INDEXED_MAX_S (4 * 3600)

#define QMX_EXPORT_TIMING_CARD 0     // the card's time stamps
#define QMX_EXPORT_TIMING_NOMINAL 1  // 83 333 us a video frame, 64 000 us an audio frame

// Outcome of one channel's export.
#define QMX_EXPORT_DONE 0        // the file is there (see end for an early end)
#define QMX_EXPORT_FAILED 1      // no file (see error)
#define QMX_EXPORT_CANCELLED 2   // no file: the caller asked to stop

// Why there is no file, besides the muxer's QMX_MUXER_ERR_* codes.
#define QMX_EXPORT_ERR_NO_RECORDING 20  // the channel has no recording in the span
#define QMX_EXPORT_ERR_SPAN 21          // the request itself is unusable

typedef struct qmx_export_hooks {
  void *user;
  // Taken around each storage call; the routine never waits while holding it.
  void (*lock)(void *user);
  void (*unlock)(void *user);
  // A debug line: text, then the number when hasNumber is set.
  void (*debug)(void *user, const char *text, int hasNumber, int64_t number);
  // Under the lock, once: ok 0 when no playback handle could be opened,
  // else 1. videoType is the card code of the recording (the file layout
  // learns it from the first frame).
  void (*opened)(void *user, int ok, uint32_t handle, int videoType);
  // Lock released: after each frame, with its card time (Unix ms).
  void (*progress)(void *user, int64_t frameTimeMs);
  // Lock released: after each frame, with how long the lock was held for
  // it (us); the caller may give others their turn here.
  void (*yield)(void *user, int64_t heldUs);
  // Lock released, after each frame: non-zero ends the export as cancelled.
  int (*cancelled)(void *user);
  // When set, frames go here instead of into an MP4 file, as the card has
  // them (no silent filler, no muxer, no report file). Non-zero from it
  // ends the export as failed with error QMX_MUXER_ERR_WRITE.
  int (*frame)(void *user, uint8_t frameType, int64_t timeMs, const uint8_t *data,
               uint32_t size);
} qmx_export_hooks;

typedef struct qmx_export_request {
  int layout;          // 1 raw-disk layout, anything else the file layout
  int channel;         // card channel, 0..3
  uint64_t startTime;  // Unix seconds: playback begins at the first I-frame at or after it
  uint64_t endTime;    // Unix seconds: frames up to (endTime + 1) x 1000 ms are written
  const char *dir;     // target directory, shorter than 256 bytes
  int videoType;       // card codec code (0 H.265, else H.264); the file layout replaces it
  int timing;          // QMX_EXPORT_TIMING_*
  const uint8_t *silent;  // silent AAC stream (ADTS frames); its frames fill missing sound
  uint32_t silentSize;
  // The card, for the report: path, the name it is known by, size in bytes (0 unknown).
  const char *cardPath;
  const char *cardName;
  uint64_t cardSize;
  // Non-zero: the MP4 is written into memory (qmx_muxer_memoryFile of the
  // channel) instead of dir; no file, no checksum file, no report file.
  int inMemory;
} qmx_export_request;

typedef struct qmx_export_result {
  int status;          // QMX_EXPORT_*
  int error;           // QMX_MUXER_ERR_* or QMX_EXPORT_ERR_* when failed, else 0
  char detail[320];    // the failure's explanation, "" when none
  // Why the frames stopped: QMX_PLAYBACK_RUNNING when the span's end was
  // reached, else the card's reason (end of its data, read error, damage).
  int end;
  int64_t endAtMs;     // card time of the last frame read when end is not RUNNING
  char file[512];      // final path of the MP4 file, "" when none
  char sha256[65];
  uint64_t videoFrames, audioFrames, silentFrames;
  int64_t firstMs, lastMs;  // card times of the first and last frame written, -1 none
  uint32_t jumps, gaps;     // time-stamp jumps, and gaps over 2 s between video frames
  char *report;        // the JSON report (also in NAME.json); qmx_export_freeResult
} qmx_export_result;

// The failure of a result in one English sentence, into out (size bytes):
// its detail, completed where the detail gives only the cause.
void qmx_export_failureText(const qmx_export_result *r, char *out, size_t size);

// Exports one channel. 0 when result->status is QMX_EXPORT_DONE, else -1.
int qmx_export_channel(const qmx_export_request *request, const qmx_export_hooks *hooks,
                       qmx_export_result *result);
void qmx_export_freeResult(qmx_export_result *result);

// True when the early end that result->end tells is a damage or a read
// error (the file holds what was read before it), not the card's data
// simply ending.
int qmx_export_damaged(const qmx_export_result *result);

// 1 when dir (existing or not) lies inside the card at cardPath: under a
// file-layout card's folder, or on a volume of the raw card's device (or one
// of its partitions). The card is never written, so such a destination is
// refused.
int qmx_export_insideCard(const char *dir, const char *cardPath);

// True when the card's recorded data ended more than 2 s before the span's
// end (endTime, Unix seconds): worth saying, though the file is whole.
int qmx_export_endedEarly(const qmx_export_result *result, uint64_t endTime);

