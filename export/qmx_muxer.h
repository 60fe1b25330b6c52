// The MP4 muxer: one channel's stored frames into one MP4 file, without
// re-encoding. Plain functions over a four-channel process-wide table.
//
// The caller gives each packet its place on the file's time line; the
// muxer marks key frames, takes the picture size and the decoder
// configuration from the parameter sets of the first video frame (and
// refuses the file when they cannot be read), tags H.265 as hvc1, keeps
// the index at the front of the file, and checks every step of finishing
// the file. A file reaches its final name only when all of that worked;
// otherwise its temporary file is removed.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define QMX_CODEC_H264 27
#define QMX_CODEC_HEVC 173

// Flags of qmx_muxer_startWith.
// Fragments from key frame to key frame behind an index-only header, so
// that the index never has to be held in memory whole: for long spans.
// Without it the file has one index (with its sync-sample table), moved to
// the front of the file once the media is written.
#define QMX_MUXER_FRAGMENTED 1
// The file is written into a growing buffer of the channel's instead of
// into dir, which is not touched: no temporary file, no final name, no
// checksum file. After a successful qmx_muxer_end the bytes are at
// qmx_muxer_memoryFile and the checksum at qmx_muxer_lastSha256, until the
// channel's next start.
#define QMX_MUXER_IN_MEMORY 2

// Why the last start, write or end of a channel failed.
#define QMX_MUXER_OK 0
#define QMX_MUXER_ERR_DIR 1        // the directory cannot be made or written into
#define QMX_MUXER_ERR_WRITE 2      // writing the file failed (full disk, I/O error)
#define QMX_MUXER_ERR_MEDIA 3      // the video's parameter sets cannot be read; the
                                   // detail says only why ("the decoder refuses them")
#define QMX_MUXER_ERR_EMPTY 4      // no video frame was written
#define QMX_MUXER_ERR_NAME 5       // no final name could be given to the file
#define QMX_MUXER_ERR_CANCELLED 6  // qmx_muxer_abort
#define QMX_MUXER_ERR_USAGE 7      // bad channel, not started, bad frame type

// Opens a file for the channel in dir (made when missing, one level) and
// removes temporary files that an earlier run of this program left there.
// start (Unix seconds) names the file. 0, or -1 (see qmx_muxer_lastError).
int qmx_muxer_startWith(int channel, uint64_t start, const char *dir, int codec, int flags);
int qmx_muxer_start(int channel, uint64_t start, const char *dir, int codec);

typedef void (*qmx_muxer_release)(void *opaque, uint8_t *data);

typedef struct qmx_muxer_packet {
  uint8_t type;        // 1 video, 0 audio (an ADTS frame)
  int64_t ptsUs;       // place on the file's time line, microseconds from 0
  int64_t durationUs;  // how long it lasts
  int64_t cardMs;      // the frame's card time stamp (the last video one names the file)
  const uint8_t *data;
  uint32_t size;
  // When set, the muxer owns data from this call on and calls release(opaque,
  // data) exactly once, when the writer is done with it (the bytes are not
  // copied). When null the bytes are copied and stay the caller's.
  qmx_muxer_release release;
  void *opaque;
} qmx_muxer_packet;

// 0 when the writer took the packet; -1 when it failed (the file is then
// lost: qmx_muxer_end fails) or the call was wrong. Audio before the first
// video frame is dropped (0).
int qmx_muxer_writePacket(int channel, const qmx_muxer_packet *packet);

// The nominal time line: the n-th video frame at n x 83 333 us, the n-th
// audio frame at n x 64 000 us, whatever the frames' own times.
int qmx_muxer_writeFrame(int channel, uint8_t frameType, uint64_t timestamp,
                         const uint8_t *data, uint32_t size);

// Finishes the file: trailer, flush to the disk, SHA-256, move to its final
// name (never over an existing file) and NAME.mp4.sha256 beside it. 0 when
// the file is there; -1 otherwise, with nothing under a final name. 0 also
// for a channel that is not open.
int qmx_muxer_end(int channel);
// Drops the open file of the channel (its temporary file is removed).
void qmx_muxer_abort(int channel);

// Results of the channel's last file.
const char *qmx_muxer_lastFile(int channel);    // final path, "" when none
const char *qmx_muxer_lastSha256(int channel);  // 64 hex digits, "" when none
// QMX_MUXER_* code of the last failure (QMX_MUXER_OK after success) and its
// explanation in *detail (when not null).
int qmx_muxer_lastError(int channel, const char **detail);
// The file an in-memory channel finished last: its bytes and their number
// in *size; null (and 0) when there is none.
const uint8_t *qmx_muxer_memoryFile(int channel, size_t *size);
// Picture size read from the parameter sets, 0 x 0 before the first video frame.
void qmx_muxer_pictureSize(int channel, int *width, int *height);

// True for a name that this program's temporary files carry.
int qmx_muxer_isTemporaryName(const char *name);

// Writes a small file (a report) at path through a temporary file of this
// program's pattern, never over an existing file. 0, or -1 with errno set
// and nothing left behind.
int qmx_muxer_writeSmallFile(const char *path, const char *text);
