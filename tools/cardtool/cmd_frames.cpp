// cardtool frames: the frames a playback handle hands out from a time on.
#include <stdio.h>
#include <time.h>
#include <zlib.h>

#include <vector>

#include "cardtool.h"
#include "qmx_storage.h"
#include "qmx_storage_v2.h"

static const char kHelp[] =
    "Usage: cardtool frames CARD --channel C --start S [--seek MS] [--limit N]\n"
    "                      [--layout raw|file] [--json]\n"
    "\n"
    "Starts a playback handle on channel C (default 0) at S: it stands on the\n"
    "first I-frame at or after S. With --seek the handle is then moved MS\n"
    "milliseconds past S. Frames are read until the card's recorded data ends or\n"
    "N frames (--limit) have been read. For each frame: its kind (1 video,\n"
    "0 audio), time stamp (Unix ms), size and the CRC-32 of its bytes.\n"
    "When the data ends early, at a read error or at a frame that cannot be one\n"
    "of the channel's, the frames before it are listed, a line on standard error\n"
    "says where and why, and the exit status is 3.\n"
    "JSON: {\"loaded\":BOOL,\"ok\":BOOL,\"codec\":null|CODE,\n"
    "       \"frames\":[{\"kind\":K,\"ts\":MS,\"size\":N,\"crc32\":X},...],\n"
    "       \"end\":null|\"data\"|\"limit\"|\"readError\"|\"damaged\",\"endAt\":null|MS}\n"
    "\"ok\" tells whether the start (and the seek) succeeded; \"codec\" is the file\n"
    "layout's detected codec (0 H.265, 1 H.264, 255 unknown, -1 no start code).\n"
    "\"end\" tells why reading stopped: the recorded data ended, the limit was\n"
    "reached, the card could not be read, or the next frame is damaged; \"endAt\"\n"
    "is the time stamp of the last frame read before it stopped (null with none).\n";

namespace {

struct FrameRow {
  int kind;
  int64_t ts;
  uint32_t size;
  uint32_t crc;
};

// What one playback handle gave, and why it stopped.
struct FrameList {
  bool started = false;  // the start (and the seek) succeeded
  int64_t codec = -1;    // file layout: the detected codec
  std::vector<FrameRow> rows;
  bool limited = false;               // reading stopped at --limit
  int end = QMX_PLAYBACK_END_OF_DATA;  // otherwise: the handle's reason
};

uint32_t crcOf(const uint8_t *data, uint32_t size) {
  uLong crc = crc32(0L, Z_NULL, 0);
  if (data && size) crc = crc32(crc, data, size);
  return static_cast<uint32_t>(crc);
}

// The handle's reason for stopping, asked before it is stopped. A handle
// that names none ended with the data (the raw-disk reader) or at a frame it
// could not read (the file layout's -1).
int endOf(int reason, int unnamed) { return reason == QMX_PLAYBACK_RUNNING ? unnamed : reason; }

void readRaw(uint32_t channel, int64_t start, bool seek, int64_t seekMs, int64_t limit,
             FrameList *list) {
  uint32_t handle = 0;
  if (qmx_storage_playbackStart(channel, static_cast<uint64_t>(start), &handle) != 0) return;
  list->started = !seek || qmx_storage_playbackSeek(handle, static_cast<uint64_t>(seekMs)) == 0;
  while (list->started && !(list->limited = static_cast<int64_t>(list->rows.size()) >= limit)) {
    qmx_storage_frameInfo info{};
    if (qmx_storage_playbackFrameInfo(handle, &info) != 0) break;
    qmx_storage_frame frame{};
    if (qmx_storage_playbackFrame(handle, &frame) != 0) continue;  // the handle is free now
    list->rows.push_back({info.flags & 0x0F, info.time, frame.size, crcOf(frame.data, frame.size)});
    qmx_storage_freeFrame(&frame);
  }
  if (list->started && !list->limited)
    list->end = endOf(qmx_storage_playbackEnd(handle, nullptr), QMX_PLAYBACK_END_OF_DATA);
  qmx_storage_playbackStop(handle);
}

void readFile(uint8_t channel, int64_t start, bool seek, int64_t seekMs, int64_t limit,
              FrameList *list) {
  uint32_t handle = 0, code = 0;
  if (qmx_storage_v2_playbackStart(channel, static_cast<uint64_t>(start), &handle, &code) != 0)
    return;
  list->codec = code == 0xFFFFFFFFu ? -1 : static_cast<int64_t>(code);
  list->started = !seek || qmx_storage_v2_playbackSeek(handle, static_cast<uint64_t>(seekMs)) == 0;
  int got = 0;
  while (list->started && !(list->limited = static_cast<int64_t>(list->rows.size()) >= limit)) {
    qmx_storage_v2_frame frame{};
    if ((got = qmx_storage_v2_playbackFrame(handle, &frame)) != 0) break;  // 1: newest frame reached
    uint32_t size = QMX_V2_FRAME_LENGTH(frame.word);
    list->rows.push_back({static_cast<int>(frame.word & 1u), frame.time, size, crcOf(frame.data, size)});
    qmx_storage_v2_freeFrame(handle, &frame);
  }
  if (list->started && !list->limited)
    list->end = endOf(qmx_storage_v2_playbackEnd(handle, nullptr),
                      got == 1 ? QMX_PLAYBACK_END_OF_DATA : QMX_PLAYBACK_READ_ERROR);
  qmx_storage_v2_playbackStop(handle);
}

std::string timeMs(int64_t ms) {
  int64_t s = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
  char buf[16];
  snprintf(buf, sizeof buf, ".%03lld", static_cast<long long>(ms - s * 1000));
  return localTime(s) + buf;
}

const char *endWord(const FrameList &list) {
  if (!list.started) return nullptr;
  if (list.limited) return "limit";
  return list.end == QMX_PLAYBACK_READ_ERROR ? "readError"
         : list.end == QMX_PLAYBACK_DAMAGED  ? "damaged"
                                             : "data";
}

bool endedEarly(const FrameList &list) {
  return list.started && !list.limited &&
         (list.end == QMX_PLAYBACK_READ_ERROR || list.end == QMX_PLAYBACK_DAMAGED);
}

}  // namespace

int cmd_frames(int argc, char **argv) {
  Args args;
  int status = startCardCommand("frames", kHelp, argc, argv, {"channel", "start", "seek", "limit"}, &args);
  if (status >= 0) return status;
  std::string error;
  int64_t channel = 0, start = 0, seekMs = 0, limit = INT64_MAX;
  if (!args.has("start")) return usageError("frames", "needs --start");
  if (!args.getInt("channel", &channel, &error) || !args.getTime("start", &start, &error) ||
      !args.getInt("seek", &seekMs, &error) || !args.getInt("limit", &limit, &error))
    return usageError("frames", error);
  if (channel < 0 || channel > 255) return usageError("frames", "--channel must be 0 to 255");
  if (seekMs < 0) return usageError("frames", "--seek must not be negative");
  // A seek past 2100 names no recorded time; refusing it keeps start + seek
  // far from overflowing in either library.
  if (seekMs / 1000 > kTimeMax - start) return usageError("frames", "--seek reaches past 2100");
  if (limit < 0) return usageError("frames", "--limit must not be negative");
  bool json = args.has("json");

  Card card;
  FrameList list;
  {
    StdoutToStderr quiet;
    openCard(args.positional[0], args.get("layout"), &card);
    if (card.layout == 1 && card.loaded)
      readRaw(static_cast<uint32_t>(channel), start, args.has("seek"), seekMs, limit, &list);
    else if (card.loaded)
      readFile(static_cast<uint8_t>(channel), start, args.has("seek"), seekMs, limit, &list);
  }
  if (!card.loaded) status = notLoaded("frames", args.positional[0], card);
  else if (!list.started) status = Exit::kFailed;
  else if (endedEarly(list)) status = Exit::kEndedEarly;
  else status = Exit::kOk;
  if (endedEarly(list)) {
    int64_t last = list.rows.empty() ? 0 : list.rows.back().ts;
    std::string where = list.rows.empty() ? "before the first frame, at " + localTime(start)
                                          : "after the frame of " + timeMs(last) + " (" +
                                                std::to_string(last) + " ms)";
    fprintf(stderr, "cardtool frames: the recorded data ends early %s: %s\n", where.c_str(),
            list.end == QMX_PLAYBACK_READ_ERROR
                ? "the card could not be read there"
                : "the next frame is damaged (it cannot be a frame of this channel)");
  }

  if (json) {
    printf("{\"loaded\":%s,\"ok\":%s,\"codec\":", card.loaded ? "true" : "false",
           list.started ? "true" : "false");
    if (card.layout == 2 && list.started)
      printf("%lld", static_cast<long long>(list.codec));
    else
      printf("null");
    printf(",\"frames\":[");
    for (size_t i = 0; i < list.rows.size(); i++) {
      const FrameRow &r = list.rows[i];
      printf("%s{\"kind\":%d,\"ts\":%lld,\"size\":%u,\"crc32\":%u}", i ? "," : "", r.kind,
             static_cast<long long>(r.ts), r.size, r.crc);
    }
    const char *end = endWord(list);
    printf("],\"end\":%s%s%s", end ? "\"" : "", end ? end : "null", end ? "\"" : "");
    if (end && !list.limited && !list.rows.empty())
      printf(",\"endAt\":%lld}\n", static_cast<long long>(list.rows.back().ts));
    else
      printf(",\"endAt\":null}\n");
    return status;
  }
  if (!card.loaded) return status;
  if (!list.started) {
    printf("playback could not start at %s (%lld)%s\n", localTime(start).c_str(),
           static_cast<long long>(start), args.has("seek") ? " or the seek failed" : "");
    return status;
  }
  if (card.layout == 2)
    printf("codec: %lld (%s)\n", static_cast<long long>(list.codec),
           list.codec == 0   ? "H.265"
           : list.codec == 1 ? "H.264"
           : list.codec == 255 ? "unknown"
                               : "no start code");
  printf("%6s  %-5s  %-23s  %9s  %-8s\n", "#", "kind", "time (local)", "bytes", "crc32");
  for (size_t i = 0; i < list.rows.size(); i++) {
    const FrameRow &r = list.rows[i];
    printf("%6zu  %-5s  %-23s  %9u  %08x\n", i, r.kind == 1 ? "video" : "audio", timeMs(r.ts).c_str(),
           r.size, r.crc);
  }
  printf("%zu frames%s\n", list.rows.size(), endedEarly(list) ? " (the data ended early)" : "");
  return status;
}
