// The MP4 muxer: one channel's stored frames into one MP4 file, without
// re-encoding, on a synthetic time line (video 83 333 us, audio 64 000 us
// a frame). Plain functions over a four-channel process-wide table.
#pragma once

#include <stdint.h>

#define QMX_CODEC_H264 27
#define QMX_CODEC_HEVC 173

int qmx_muxer_start(int channel, uint64_t start, const char *dir, int codec);
// frameType 1 video, 0 audio; timestamp in Unix ms (used for video only).
int qmx_muxer_writeFrame(int channel, uint8_t frameType, uint64_t timestamp,
                         const uint8_t *data, uint32_t size);
int qmx_muxer_end(int channel);

// Final path of the file that the channel's last end produced; "" when that
// file did not reach its final name (it was then removed).
const char *qmx_muxer_lastFile(int channel);
