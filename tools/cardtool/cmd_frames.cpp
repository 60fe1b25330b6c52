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
    "Starts a playback handle on channel C (default 0) at S (Unix seconds): it\n"
    "stands on the first I-frame at or after S. With --seek the handle is then\n"
    "moved MS milliseconds past S. Frames are read until the card's recorded data\n"
    "ends or N frames (--limit) have been read. For each frame: its kind (1 video,\n"
    "0 audio), time stamp (Unix ms), size and the CRC-32 of its bytes.\n"
    "JSON: {\"ok\":BOOL,\"codec\":null|CODE,\"frames\":[{\"kind\":K,\"ts\":MS,\"size\":N,\"crc32\":X},...]}\n"
    "\"ok\" tells whether the start (and the seek) succeeded; \"codec\" is the file\n"
    "layout's detected codec (0 H.265, 1 H.264, 255 unknown, -1 no start code).\n";

namespace {

struct FrameRow {
  int kind;
  int64_t ts;
  uint32_t size;
  uint32_t crc;
};

uint32_t crcOf(const uint8_t *data, uint32_t size) {
  uLong crc = crc32(0L, Z_NULL, 0);
  if (data && size) crc = crc32(crc, data, size);
  return static_cast<uint32_t>(crc);
}

bool readRaw(uint32_t channel, int64_t start, bool seek, int64_t seekMs, int64_t limit,
             std::vector<FrameRow> *rows) {
  uint32_t handle = 0;
  if (qmx_storage_playbackStart(channel, static_cast<uint64_t>(start), &handle) != 0) return false;
  bool ok = true;
  if (seek && qmx_storage_playbackSeek(handle, static_cast<uint64_t>(seekMs)) != 0) ok = false;
  while (ok && static_cast<int64_t>(rows->size()) < limit) {
    qmx_storage_frameInfo info{};
    if (qmx_storage_playbackFrameInfo(handle, &info) != 0) break;
    qmx_storage_frame frame{};
    if (qmx_storage_playbackFrame(handle, &frame) != 0) continue;  // the handle is free now
    rows->push_back({info.flags & 0x0F, info.time, frame.size, crcOf(frame.data, frame.size)});
    qmx_storage_freeFrame(&frame);
  }
  qmx_storage_playbackStop(handle);
  return ok;
}

bool readFile(uint8_t channel, int64_t start, bool seek, int64_t seekMs, int64_t limit,
              std::vector<FrameRow> *rows, int64_t *codec) {
  uint32_t handle = 0, code = 0;
  if (qmx_storage_v2_playbackStart(channel, static_cast<uint64_t>(start), &handle, &code) != 0)
    return false;
  *codec = code == 0xFFFFFFFFu ? -1 : static_cast<int64_t>(code);
  bool ok = true;
  if (seek && qmx_storage_v2_playbackSeek(handle, static_cast<uint64_t>(seekMs)) != 0) ok = false;
  while (ok && static_cast<int64_t>(rows->size()) < limit) {
    qmx_storage_v2_frame frame{};
    if (qmx_storage_v2_playbackFrame(handle, &frame) != 0) break;  // 1: newest frame reached
    uint32_t size = QMX_V2_FRAME_LENGTH(frame.word);
    rows->push_back({static_cast<int>(frame.word & 1u), frame.time, size, crcOf(frame.data, size)});
    qmx_storage_v2_freeFrame(handle, &frame);
  }
  qmx_storage_v2_playbackStop(handle);
  return ok;
}

std::string timeMs(int64_t ms) {
  int64_t s = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
  char buf[16];
  snprintf(buf, sizeof buf, ".%03lld", static_cast<long long>(ms - s * 1000));
  return localTime(s) + buf;
}

}  // namespace

int cmd_frames(int argc, char **argv) {
  Args args;
  std::string error;
  if (!args.parse(argc, argv, {"channel", "start", "seek", "limit", "layout"}, {"json", "help"},
                  &error))
    return usageError("frames", error);
  if (args.has("help")) {
    fputs(kHelp, stdout);
    return 0;
  }
  if (args.positional.size() != 1) return usageError("frames", "needs exactly one CARD");
  int64_t channel = 0, start = 0, seekMs = 0, limit = INT64_MAX;
  if (!args.has("start")) return usageError("frames", "needs --start");
  if (!args.getInt("channel", &channel, &error) || !args.getInt("start", &start, &error) ||
      !args.getInt("seek", &seekMs, &error) || !args.getInt("limit", &limit, &error))
    return usageError("frames", error);
  if (channel < 0 || channel > 255) return usageError("frames", "--channel must be 0 to 255");
  if (seekMs < 0) return usageError("frames", "--seek must not be negative");
  if (limit < 0) return usageError("frames", "--limit must not be negative");
  bool json = args.has("json");

  Card card;
  std::vector<FrameRow> rows;
  bool ok = false;
  int64_t codec = 0;
  {
    StdoutToStderr quiet(json);
    if (!openCard(args.positional[0], args.get("layout"), &card)) return 1;
    if (card.layout == 1)
      ok = readRaw(static_cast<uint32_t>(channel), start, args.has("seek"), seekMs, limit, &rows);
    else
      ok = readFile(static_cast<uint8_t>(channel), start, args.has("seek"), seekMs, limit, &rows,
                    &codec);
  }
  if (json) {
    printf("{\"ok\":%s,\"codec\":", ok ? "true" : "false");
    if (card.layout == 1 || !ok)
      printf("null");
    else
      printf("%lld", static_cast<long long>(codec));
    printf(",\"frames\":[");
    for (size_t i = 0; i < rows.size(); i++)
      printf("%s{\"kind\":%d,\"ts\":%lld,\"size\":%u,\"crc32\":%u}", i ? "," : "", rows[i].kind,
             static_cast<long long>(rows[i].ts), rows[i].size, rows[i].crc);
    printf("]}\n");
    return 0;
  }
  if (!ok) {
    printf("playback could not start at %s (%lld)%s\n", localTime(start).c_str(),
           static_cast<long long>(start), args.has("seek") ? " or the seek failed" : "");
    if (rows.empty()) return 1;
  }
  if (card.layout == 2)
    printf("codec: %lld (%s)\n", static_cast<long long>(codec),
           codec == 0 ? "H.265" : codec == 1 ? "H.264" : codec == 255 ? "unknown" : "no start code");
  printf("%6s  %-5s  %-23s  %9s  %-8s\n", "#", "kind", "time (local)", "bytes", "crc32");
  for (size_t i = 0; i < rows.size(); i++)
    printf("%6zu  %-5s  %-23s  %9u  %08x\n", i, rows[i].kind == 1 ? "video" : "audio",
           timeMs(rows[i].ts).c_str(), rows[i].size, rows[i].crc);
  printf("%zu frames\n", rows.size());
  return 0;
}
