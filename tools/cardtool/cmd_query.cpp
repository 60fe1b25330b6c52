// cardtool month and day: the calendar questions the player asks of a card.
#include <stdio.h>
#include <stdlib.h>

#include "cardtool.h"
#include "qmx_storage.h"
#include "qmx_storage_v2.h"

static const char kMonthHelp[] =
    "Usage: cardtool month CARD --start S --end E [--channel C] [--layout raw|file] [--json]\n"
    "\n"
    "Asks which days of the range [S, E) hold recordings: bit d of the mask\n"
    "stands for the day that starts at S + d * 86400. The player asks it with S\n"
    "and E at local midnight of the 1st of a month and of the next month.\n"
    "--channel (default 0) counts for the raw-disk layout only.\n"
    "JSON: {\"loaded\":BOOL,\"mask\":M}\n";

static const char kDayHelp[] =
    "Usage: cardtool day CARD --start S --end E [--channel C] [--layout raw|file] [--json]\n"
    "\n"
    "Lists the fragments that end after S, up to and including the first one that\n"
    "ends at or after E, exactly as the card library returns them (so the last one\n"
    "may start after E: the player drops it). --channel (default 0) counts for the\n"
    "raw-disk layout only. The readable list also names the channels with pictures\n"
    "in each fragment's span: on the file layout all channels share one list.\n"
    "JSON: {\"loaded\":BOOL,\"fragments\":[{\"type\":T,\"start\":S,\"end\":E},...] or null}\n"
    "(null: the library gave no list, as it does for a span without recordings).\n";

namespace {

struct Query {
  Card card;
  int64_t start = 0, end = 0, channel = 0;
  bool json = false;
};

// Parses the shared options and opens the card; returns -1 to go on, or the
// exit status.
int prepare(const char *name, const char *help, int argc, char **argv, Query *q) {
  Args args;
  int status = startCardCommand(name, help, argc, argv, {"start", "end", "channel"}, &args);
  if (status >= 0) return status;
  std::string error;
  if (!args.has("start") || !args.has("end")) return usageError(name, "needs --start and --end");
  if (!args.getTime("start", &q->start, &error) || !args.getTime("end", &q->end, &error) ||
      !args.getInt("channel", &q->channel, &error))
    return usageError(name, error);
  if (q->end < q->start) return usageError(name, "--end must not be before --start");
  if (q->channel < 0 || q->channel > 255) return usageError(name, "--channel must be 0 to 255");
  q->json = args.has("json");
  StdoutToStderr quiet;
  openCard(args.positional[0], args.get("layout"), &q->card);
  if (!q->card.loaded) return notLoaded(name, args.positional[0], q->card);
  return -1;
}

}  // namespace

int cmd_month(int argc, char **argv) {
  Query q;
  int status = prepare("month", kMonthHelp, argc, argv, &q);
  if (status == Exit::kNotLoaded && q.json) printf("{\"loaded\":false,\"mask\":0}\n");
  if (status >= 0) return status;
  uint32_t mask;
  {
    StdoutToStderr quiet;
    if (q.card.layout == 1)
      mask = qmx_storage_queryByMonth(static_cast<uint32_t>(q.channel), q.start, q.end);
    else
      mask = qmx_storage_v2_queryByMonth(q.start, q.end);
  }
  if (q.json) {
    printf("{\"loaded\":true,\"mask\":%u}\n", mask);
    return 0;
  }
  printf("mask: 0x%08x\n", mask);
  for (int d = 0; d < 32; d++) {
    if (mask & (1u << d))
      printf("  day %2d  %s\n", d, localTime(q.start + static_cast<int64_t>(d) * 86400).substr(0, 10).c_str());
  }
  if (!mask) printf("  no recorded day\n");
  return 0;
}

int cmd_day(int argc, char **argv) {
  Query q;
  int status = prepare("day", kDayHelp, argc, argv, &q);
  if (status == Exit::kNotLoaded && q.json) printf("{\"loaded\":false,\"fragments\":null}\n");
  if (status >= 0) return status;

  // Both libraries answer with a block of their own shape; copy what both share.
  struct Row {
    int type;
    int64_t start, end;
    uint32_t channels;  // bit c: channel c has pictures in the fragment's span
  };
  bool isNull = true;
  std::vector<Row> rows;
  {
    StdoutToStderr quiet;
    if (q.card.layout == 1) {
      qmx_storage_dayFragment *list =
          qmx_storage_queryByDay(static_cast<uint32_t>(q.channel), q.start, q.end);
      if (list) {
        isNull = false;
        for (uint32_t i = 0; i < list->count; i++)
          rows.push_back({list->fragment[i].type, list->fragment[i].startTime, list->fragment[i].endTime,
                          q.channel < 32 ? 1u << q.channel : 0u});
        free(list);
      }
    } else {
      qmx_storage_v2_dayFragment *list = qmx_storage_v2_queryByDay(q.start, q.end);
      if (list) {
        isNull = false;
        for (uint32_t i = 0; i < list->count; i++)
          rows.push_back({list->fragment[i].type, list->fragment[i].startTime, list->fragment[i].endTime, 0});
        free(list);
      }
      // The I-frames say which channels recorded; only the readable list shows it.
      if (!q.json)
        for (Row &r : rows) r.channels = qmx_storage_v2_channelsInSpan(r.start, r.end);
    }
  }
  if (q.json) {
    if (isNull) {
      printf("{\"loaded\":true,\"fragments\":null}\n");
      return 0;
    }
    printf("{\"loaded\":true,\"fragments\":[");
    for (size_t i = 0; i < rows.size(); i++)
      printf("%s{\"type\":%d,\"start\":%lld,\"end\":%lld}", i ? "," : "", rows[i].type,
             static_cast<long long>(rows[i].start), static_cast<long long>(rows[i].end));
    printf("]}\n");
    return 0;
  }
  if (isNull) {
    printf("no list (the card answered with nothing)\n");
    return 0;
  }
  printf("%4s  %4s  %-19s  %-19s  %8s  %s\n", "#", "type", "start (local)", "end (local)", "seconds",
         "channels");
  for (size_t i = 0; i < rows.size(); i++) {
    std::string channels;
    for (int c = 0; c < 32; c++)
      if (rows[i].channels >> c & 1u) channels += (channels.empty() ? "" : ",") + std::to_string(c);
    printf("%4zu  %4d  %-19s  %-19s  %8lld  %s%s\n", i, rows[i].type, localTime(rows[i].start).c_str(),
           localTime(rows[i].end).c_str(), static_cast<long long>(rows[i].end - rows[i].start),
           channels.empty() ? "-" : channels.c_str(), rows[i].start > q.end ? "  (next day)" : "");
  }
  printf("%zu fragment%s\n", rows.size(), rows.size() == 1 ? "" : "s");
  return 0;
}
