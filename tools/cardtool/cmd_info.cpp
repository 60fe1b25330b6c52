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
    "report comes first. \"layout\" is null when CARD could not be opened at all.\n"
    "JSON: {\"layout\":\"raw\"|\"file\"|null,\"loaded\":BOOL,\"channels\":N,\"videoType\":V,\n"
    "       \"validTime\":{\"start\":S,\"end\":E} or null}\n";

int cmd_info(int argc, char **argv) {
  Args args;
  int status = startCardCommand("info", kHelp, argc, argv, {}, &args);
  if (status >= 0) return status;
  bool json = args.has("json");

  Card card;
  int channels = -1, type = -1, validOk = -1;
  int64_t start = 0, end = 0;
  {
    StdoutToStderr quiet;
    openCard(args.positional[0], args.get("layout"), &card);
    if (!card.loaded) {
      // Nothing to ask of it.
    } else if (card.layout == 1) {
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
  status = card.loaded ? Exit::kOk : notLoaded("info", args.positional[0], card);
  if (json) {
    printf("{\"layout\":%s,\"loaded\":%s,\"channels\":%d,\"videoType\":%d,\"validTime\":",
           card.layout == 1 ? "\"raw\"" : card.layout == 2 ? "\"file\"" : "null",
           card.loaded ? "true" : "false", channels, type);
    if (validOk == 0)
      printf("{\"start\":%lld,\"end\":%lld}}\n", static_cast<long long>(start),
             static_cast<long long>(end));
    else
      printf("null}\n");
    return status;
  }
  if (card.layout == 0) return status;
  printf("layout:    %s\n", card.layout == 1 ? "raw-disk" : "file");
  printf("loaded:    %s\n", card.loaded ? "yes" : "no (the card was not recognised)");
  printf("channels:  %d\n", channels);
  printf("video:     %s (%d)\n", type == 0 ? "H.265" : type == 1 ? "H.264" : "unknown", type);
  if (validOk == 0)
    printf("recorded:  %s to %s (local time; %lld to %lld)\n", localTime(start).c_str(),
           localTime(end).c_str(), static_cast<long long>(start), static_cast<long long>(end));
  else
    printf("recorded:  unknown (no span could be read)\n");
  return status;
}
