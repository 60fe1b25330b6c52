// The export step of the card fuzz targets: one channel of the loaded card
// (of layout 1 raw or 2 file, its codec as the raw library tells it)
// exported into memory through the export routine and the MP4 muxer, from
// the time a playback of the same channel started at. Bit 0 of mode asks
// for nominal timing, bit 1 for a span long enough to be written as
// fragments. An export ends; a finished one has its file in memory and
// never holds more pictures than the playback from the same time handed out.
#pragma once

#include <stdint.h>
#include <stdlib.h>

extern "C" {
#include <libavutil/log.h>
}

#include "qmx_export.h"
#include "qmx_muxer.h"
#include "silent_aac.h"

inline void fuzzExport(int layout, int channel, int videoType, int64_t start, int64_t end,
                       unsigned mode, uint64_t playedVideo) {
  if (silentAac.size == 0) {
    av_log_set_level(AV_LOG_QUIET);  // the writer's complaints about damaged media
    if (generateSilentAac() != 0) abort();
  }
  qmx_export_request r = {};
  r.layout = layout;
  r.channel = channel;
  r.videoType = videoType;
  r.startTime = start < 0 ? 0 : static_cast<uint64_t>(start);
  r.endTime = end > start ? static_cast<uint64_t>(end) : r.startTime;
  if (mode & 2) r.endTime = r.startTime + QMX_EXPORT_INDEXED_MAX_S + 1;
  r.timing = mode & 1 ? QMX_EXPORT_TIMING_NOMINAL : QMX_EXPORT_TIMING_CARD;
  r.silent = silentAac.data;
  r.silentSize = silentAac.size;
  r.inMemory = 1;
  qmx_export_result res;
  qmx_export_channel(&r, nullptr, &res);
  size_t size = 0;
  if (res.status == QMX_EXPORT_DONE && (!qmx_muxer_memoryFile(channel, &size) || res.file[0])) abort();
  // Only a request the export cannot take (a channel above 3) has no report.
  if (res.videoFrames > playedVideo || (!res.report && res.error != QMX_EXPORT_ERR_SPAN)) abort();
  qmx_export_freeResult(&res);
}
