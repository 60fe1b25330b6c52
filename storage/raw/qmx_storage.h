// The raw-disk card library: discovery of USB disks that hold the recorder's
// raw layout, loading a card, day and month queries, and playback handles.
// Plain functions over process-wide state; one card at a time.
// Results: 0 success, -1 failure, unless a function says otherwise.
#pragma once

#include <stdint.h>

#include "qmx_playback_end.h"
#include "qmx_storage_device.h"

// Library set-up and discovery.
int qmx_storage_init(void);
int qmx_storage_findDevice(qmx_storage_deviceList *list);
int qmx_storage_freeDevice(qmx_storage_deviceList *list);
int qmx_storage_close(void);

// Loading and card facts.
int qmx_storage_load(uint32_t deviceNumber);
int qmx_storage_getChannelNum(void);
int qmx_storage_getVideoType(void);  // 0 H.265, 1 H.264

// Queries. Times are Unix seconds.
#pragma pack(push, 1)
typedef struct qmx_storage_fragment {
  uint8_t type;
  int64_t startTime;
  int64_t endTime;
} qmx_storage_fragment;  // 17 bytes

typedef struct qmx_storage_dayFragment {
  uint32_t count;
  qmx_storage_fragment fragment[];  // count entries; released with free()
} qmx_storage_dayFragment;
#pragma pack(pop)

int qmx_storage_getValidTime(uint32_t channel, int64_t *start, int64_t *end);
uint32_t qmx_storage_queryByMonth(uint32_t channel, int64_t monthStart, int64_t monthEnd);
qmx_storage_dayFragment *qmx_storage_queryByDay(uint32_t channel, int64_t dayStart,
                                                int64_t dayEnd);

// Playback handles (eight of them, numbered 0 to 7).
typedef struct qmx_storage_frameInfo {
  int64_t time;   // Unix milliseconds
  uint8_t flags;  // bits 0-3 kind (1 video, 0 audio), bits 4-7 passed through
} qmx_storage_frameInfo;

typedef struct qmx_storage_frame {
  uint8_t *data;  // owned by the caller, released with qmx_storage_freeFrame
  uint32_t size;
} qmx_storage_frame;

int qmx_storage_playbackStart(uint32_t channel, uint64_t start, uint32_t *handle);
// 0, or -1 not initialised, -2 no disk, -3 handle above 7, -4 null info,
// -5 the handle is free (never started, stopped, or the data is exhausted).
int qmx_storage_playbackFrameInfo(uint32_t handle, qmx_storage_frameInfo *info);
int qmx_storage_playbackFrame(uint32_t handle, qmx_storage_frame *frame);
void qmx_storage_freeFrame(qmx_storage_frame *frame);
int qmx_storage_playbackSeek(uint32_t handle, uint64_t offsetMs);
int64_t qmx_storage_playbackProgress(uint32_t handle);
void qmx_storage_playbackStop(uint32_t handle);
// Why the handle last stopped handing out frames: one of QMX_PLAYBACK_*
// (qmx_playback_end.h), or -1 for a handle number beyond the table. *atMs
// (when not null) is the time of the last frame handed out. Kept until the
// slot is started again; a handle stopped before its end stays RUNNING.
int qmx_storage_playbackEnd(uint32_t handle, int64_t *atMs);
