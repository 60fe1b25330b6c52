// The file-layout card library: discovery of volumes whose storage/ folder
// holds the recorder's file layout, mounting it, day and month queries, the
// write position and playback handles. Plain functions over process-wide
// state; one card at a time. Results: 0 success, -1 failure, unless said.
#pragma once

#include <stdint.h>

#include "qmx_playback_end.h"
#include "qmx_storage_device.h"

int qmx_storage_v2_init(void);
int qmx_storage_v2_findDevice(qmx_storage_deviceList *list);
int qmx_storage_v2_freeDevice(qmx_storage_deviceList *list);
// Releases every file the last load or validation kept open.
int qmx_storage_v2_close(void);
int qmx_storage_v2_open(uint8_t driveIndex);

uint8_t qmx_storage_v2_getChannelNum(void);
int qmx_storage_v2_getVideoType(void);  // 0 H.265, 1 H.264
int qmx_storage_v2_getValidTime(int64_t *start, int64_t *end);

#pragma pack(push, 1)
typedef struct qmx_storage_v2_fragment {
  uint8_t type;
  uint8_t videoType : 2;
  int64_t startTime;
  int64_t endTime;
} qmx_storage_v2_fragment;

typedef struct qmx_storage_v2_dayFragment {
  uint32_t count;
  qmx_storage_v2_fragment fragment[];  // count entries; released with free()
} qmx_storage_v2_dayFragment;
#pragma pack(pop)

uint32_t qmx_storage_v2_queryByMonth(int64_t monthStart, int64_t monthEnd);
qmx_storage_v2_dayFragment *qmx_storage_v2_queryByDay(int64_t dayStart, int64_t dayEnd);

// Playback handles (sixteen of them).
typedef struct qmx_storage_v2_frame {
  // bit 0 kind (1 video, 0 audio), bit 1 second flag, bits 2-4 channel,
  // bits 5-26 length; bits 27-31 left as the caller cleared them.
  uint32_t word;
  uint8_t *data;  // released with qmx_storage_v2_freeFrame
  int64_t time;   // Unix milliseconds
} qmx_storage_v2_frame;

#define QMX_V2_FRAME_LENGTH(word) (((word) >> 5) & 0x3FFFFFu)
// Card channel a frame record was recorded on (a handle hands out the sound
// of every channel; a reader of one channel keeps its own).
#define QMX_V2_FRAME_CHANNEL(word) (((word) >> 2) & 0x7u)

// codec: 0 H.265, 1 H.264, 255 start code but neither, 0xFFFFFFFF no start code.
int qmx_storage_v2_playbackStart(uint8_t channel, uint64_t start, uint32_t *handle,
                                 uint32_t *codec);
// 0 a frame, 1 the newest frame of the card is reached, -1 failure: a frame
// record that cannot be read, or one that cannot be a frame of the card (no
// data, beyond its file or across the write position, dated before the
// oldest fragment or more than a day after the newest frame, or no write
// position met in a whole round of the record files). The handle stays in
// use; qmx_storage_v2_playbackEnd tells which.
int qmx_storage_v2_playbackFrame(uint32_t handle, qmx_storage_v2_frame *frame);
void qmx_storage_v2_freeFrame(uint32_t handle, qmx_storage_v2_frame *frame);
int qmx_storage_v2_playbackSeek(uint32_t handle, uint64_t offsetMs);
int64_t qmx_storage_v2_playbackProgress(uint32_t handle);
void qmx_storage_v2_playbackStop(uint32_t handle);
// As qmx_storage_playbackEnd, for this library's handles.
int qmx_storage_v2_playbackEnd(uint32_t handle, int64_t *atMs);

// Channels (bit c for channel c) with an I-frame recorded in [start, end),
// Unix seconds: the fragment ring is shared by every channel, the I-frame
// ring says which channels a span holds. 0 on failure. A query like the
// month and day ones: for the thread that loads, without the handle lock.
uint32_t qmx_storage_v2_channelsInSpan(int64_t start, int64_t end);
