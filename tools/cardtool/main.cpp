// cardtool: lists and exports the recordings of a recorder's card without a
// screen. Each command lives in a cmd_<name>.cpp of its own.
#include <stdio.h>
#include <string.h>

#include <string>

#include "cardtool.h"
#include "qmx_version.h"

static const char kUsage[] =
    "Usage: cardtool COMMAND [OPTIONS]\n"
    "\n"
    "Reads a security-camera recorder's card and never writes to it.\n"
    "CARD is a path: an image file or a block device holds a raw-disk card; a\n"
    "directory is the mounted volume of a file-layout card. --layout raw|file\n"
    "overrides that guess. Times (S, E) are Unix seconds or local dates,\n"
    "\"2026-12-05 10:00:00\" or \"2026-12-05\" for its midnight, from 1970 to 2100;\n"
    "readable output shows them in local time. With --json a command prints\n"
    "exactly one JSON object on standard output whenever its command line is\n"
    "right, with the same exit status as without.\n"
    "\n"
    "Commands:\n"
    "  devices [--card PATH]...             disks with a card, as the player lists them\n"
    "  info    CARD                         layout, channels, codec, recorded span\n"
    "  month   CARD --start S --end E       days with recordings (bit d: day S + d*86400)\n"
    "  day     CARD --start S --end E       fragments that end after S, up to the one\n"
    "                                       that reaches E\n"
    "  frames  CARD --channel C --start S   the frames a playback from S hands out\n"
    "  export  CARD --start S --end E --out DIR   MP4 files of the span\n"
    "  dump    CARD --channel C --start S --end E --out DIR   the span's frames unchanged\n"
    "  still   CARD --channel C --time T_MS --out FILE.png   the picture at a moment\n"
    "\n"
    "Exit status, the same for every command:\n"
    "  0  the whole answer\n"
    "  1  the card loaded but could not give what was asked (no playback at S,\n"
    "     no file made)\n"
    "  2  a wrong command line (a message on standard error, no JSON)\n"
    "  3  the recorded data ended early at a read error or a damaged frame: what\n"
    "     came before it is given, and standard error says where and why\n"
    "  4  a destination (--out) inside the card, refused\n"
    "  5  CARD could not be opened, or did not load as a card of its layout\n"
    "\n"
    "Run 'cardtool COMMAND --help' for a command's options, and\n"
    "'cardtool --version' for the commit it was built from.\n";

int main(int argc, char **argv) {
  if (argc < 2 || !strcmp(argv[1], "--help") || !strcmp(argv[1], "-h") ||
      !strcmp(argv[1], "help")) {
    fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? Exit::kUsage : Exit::kOk;
  }
  if (!strcmp(argv[1], "--version")) {
    printf("cardtool %s\n", qmx_version());
    return Exit::kOk;
  }
  std::string command = argv[1];
  struct Entry {
    const char *name;
    int (*run)(int, char **);
  };
  static const Entry commands[] = {
      {"devices", cmd_devices}, {"info", cmd_info},     {"month", cmd_month},
      {"day", cmd_day},         {"frames", cmd_frames}, {"export", cmd_export},
      {"dump", cmd_dump},       {"still", cmd_still},
  };
  for (const Entry &e : commands) {
    if (command == e.name) return e.run(argc - 2, argv + 2);
  }
  fprintf(stderr, "cardtool: unknown command '%s'\n", command.c_str());
  fputs(kUsage, stderr);
  return Exit::kUsage;
}
