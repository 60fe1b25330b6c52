// cardtool still: the picture of one moment of a channel as a PNG file,
// decoded as the player's panes decode it.
#include <stdio.h>

#include "cardtool.h"
#include "still.h"

static const char kHelp[] =
    "Usage: cardtool still CARD --channel C --time T_MS --out FILE.png\n"
    "                      [--layout raw|file] [--json]\n"
    "\n"
    "Writes the picture of channel C (default 0) at card time T_MS (Unix\n"
    "milliseconds) to FILE.png: the video frame whose time stamp is T_MS, or the\n"
    "last one before it, decoded from the I-frame before it with the player's\n"
    "decoder and converted to 8-bit RGB. Prints the time of the frame written.\n"
    "Exits 1 when there is no such picture.\n"
    "JSON: {\"ok\":BOOL,\"time\":MS|null,\"out\":\"FILE.png\",\"error\":TEXT|null}\n";

int cmd_still(int argc, char **argv) {
  Args args;
  std::string error;
  if (!args.parse(argc, argv, {"channel", "time", "out", "layout"}, {"json", "help"}, &error))
    return usageError("still", error);
  if (args.has("help")) {
    fputs(kHelp, stdout);
    return 0;
  }
  if (args.positional.size() != 1) return usageError("still", "needs exactly one CARD");
  if (!args.has("time")) return usageError("still", "needs --time");
  if (!args.has("out") || args.get("out").empty()) return usageError("still", "needs --out FILE.png");
  int64_t channel = 0, timeMs = 0;
  if (!args.getInt("channel", &channel, &error) || !args.getInt("time", &timeMs, &error))
    return usageError("still", error);
  if (channel < 0 || channel > 3) return usageError("still", "--channel must be 0 to 3");
  if (timeMs < 0) return usageError("still", "--time must not be negative");
  const std::string layout = args.get("layout");
  if (!layout.empty() && layout != "raw" && layout != "file")
    return usageError("still", "--layout must be raw or file");
  const bool json = args.has("json");
  const std::string out = args.get("out");

  Card card;
  bool ok = false;
  int64_t shown = 0;
  {
    StdoutToStderr quiet;
    if (!openCard(args.positional[0], layout, &card)) return 1;
    if (!card.loaded)
      error = "the card could not be loaded";
    else
      ok = qmx_still(card.layout, static_cast<int>(channel), timeMs, out, &shown, &error);
  }
  if (json) {
    printf("{\"ok\":%s,\"time\":", ok ? "true" : "false");
    if (ok)
      printf("%lld", static_cast<long long>(shown));
    else
      printf("null");
    printf(",\"out\":%s,\"error\":%s}\n", jsonString(out).c_str(),
           ok ? "null" : jsonString(error).c_str());
    return 0;
  }
  if (!ok) {
    fprintf(stderr, "cardtool still: %s\n", error.c_str());
    return 1;
  }
  printf("%s: channel %lld at %lld\n", out.c_str(), static_cast<long long>(channel),
         static_cast<long long>(shown));
  return 0;
}
