// cardtool info: layout, channel count, codec and recorded span of a card.
#include <stdio.h>

#include "cardtool.h"
#include "qmx_storage.h"
#include "qmx_storage_v2.h"

static const char kHelp[] =
    "Usage: cardtool info CARD [--layout raw|file] [--json]\n"
    "\n"
    "Loads the card and prints its layout, its channel count, its video codec\n"
    "(0 H.265, 1 H.264) and the span of recorded time of channel 0 (raw-disk\n"
    "layout) or of the card (file layout). Without --json the raw-disk load\n"
    "report comes first.\n"
    "JSON: {\"layout\":\"raw\"|\"file\",\"loaded\":BOOL,\"channels\":N,\"videoType\":V,\n"
    "       \"validTime\":{\"start\":S,\"end\":E} or null}\n";

int cmd_info(int argc, char **argv) {
  Args args;
  std::string error;
  if (!args.parse(argc, argv, {"layout"}, {"json", "help"}, &error)) return usageError("info", error);
  if (args.has("help")) {
    fputs(kHelp, stdout);
    return 0;
  }
  if (args.positional.size() != 1) return usageError("info", "needs exactly one CARD");
  bool json = args.has("json");

  Card card;
  int channels = -1, type = -1, validOk = -1;
  int64_t start = 0, end = 0;
  {
    StdoutToStderr quiet(json);
    if (!openCard(args.positional[0], args.get("layout"), &card)) return 1;
    if (card.layout == 1) {
      channels = qmx_storage_getChannelNum();
      type = qmx_storage_getVideoType();
      validOk = qmx_storage_getValidTime(0, &start, &end);
    } else {
      channels = qmx_storage_v2_getChannelNum();
      type = qmx_storage_v2_getVideoType();
      validOk = qmx_storage_v2_getValidTime(&start, &end);
    }
    fflush(stdout);
  }
  const char *layout = card.layout == 1 ? "raw" : "file";
  if (json) {
    printf("{\"layout\":\"%s\",\"loaded\":%s,\"channels\":%d,\"videoType\":%d,\"validTime\":", layout,
           card.loaded ? "true" : "false", channels, type);
    if (validOk == 0)
      printf("{\"start\":%lld,\"end\":%lld}}\n", static_cast<long long>(start),
             static_cast<long long>(end));
    else
      printf("null}\n");
    return 0;
  }
  printf("layout:    %s\n", card.layout == 1 ? "raw-disk" : "file");
  printf("loaded:    %s\n", card.loaded ? "yes" : "no (the card was not recognised)");
  printf("channels:  %d\n", channels);
  printf("video:     %s (%d)\n", type == 0 ? "H.265" : type == 1 ? "H.264" : "unknown", type);
  if (validOk == 0)
    printf("recorded:  %s to %s (local time; %lld to %lld)\n", localTime(start).c_str(),
           localTime(end).c_str(), static_cast<long long>(start), static_cast<long long>(end));
  else
    printf("recorded:  unknown (no span could be read)\n");
  return card.loaded ? 0 : 1;
}
