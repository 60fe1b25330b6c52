// Shared pieces of the cardtool commands: option parsing, opening a card
// through the device layer and JSON output.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "time_text.h"

// Exit statuses, with one meaning across every command (listed in
// 'cardtool --help'). With --json the status is the same; the JSON object
// is printed whenever the command line was right.
struct Exit {
  static constexpr int kOk = 0;          // the whole answer
  static constexpr int kFailed = 1;      // nothing to give: no playback at the time, no file made
  static constexpr int kUsage = 2;       // a wrong command line; nothing on standard output
  static constexpr int kEndedEarly = 3;  // the recorded data ended early at a read error or a
                                         // damaged frame: what came before it is given
  static constexpr int kInsideCard = 4;  // a destination inside the card, refused
  static constexpr int kNotLoaded = 5;   // the card could not be opened or did not load
};

// Command line of one command: positional words, "--name value" options
// and "--flag" switches. Options may repeat; the last one counts, and
// getAll returns every value in order.
struct Args {
  std::vector<std::string> positional;
  std::multimap<std::string, std::string> options;
  std::set<std::string> flags;

  // Fails (false, *error set) on an unknown option or a missing value.
  bool parse(int argc, char **argv, const std::set<std::string> &valueOptions,
             const std::set<std::string> &flagOptions, std::string *error);
  bool has(const std::string &name) const;
  std::string get(const std::string &name, const std::string &fallback = "") const;
  std::vector<std::string> getAll(const std::string &name) const;
  // A whole decimal number (sign allowed). False with *error set otherwise;
  // an absent option leaves *value as it is and returns true.
  bool getInt(const std::string &name, int64_t *value, std::string *error) const;
  // A time, read by parseTimeText (Unix seconds or a local date, 1970 to
  // 2100); the same contract as getInt, with the option named in *error.
  bool getTime(const std::string &name, int64_t *value, std::string *error) const;
};

// What every command that reads one card starts with: argv parsed with
// valueOptions plus --layout (and the switches --json and --help), --help
// answered, exactly one CARD and a known layout. Returns -1 to go on,
// otherwise the exit status.
int startCardCommand(const char *command, const char *help, int argc, char **argv,
                     std::set<std::string> valueOptions, Args *args);

// Prints "cardtool <command>: <message>" and a hint to standard error;
// returns Exit::kUsage.
int usageError(const std::string &command, const std::string &message);

// A card opened for one command: attached through the device layer and
// loaded with the library of its layout.
struct Card {
  int layout = 0;       // 1 raw-disk layout, 2 file layout, 0 not attached
  uint32_t id = 0;      // disk number (raw) or drive index (file)
  bool loaded = false;  // the library's load or open returned 0
};

// Attaches path and loads it with the library of its layout. layout is ""
// (a directory is a file-layout volume, anything else a raw-disk card),
// "raw" or "file". False, with a line on standard error, only when the path
// cannot be attached at all; a card that does not load gives true with
// loaded false.
bool openCard(const std::string &path, const std::string &layout, Card *card);

// Says on standard error that the card at path did not load (for a card
// that could not be attached at all openCard has said why already);
// returns Exit::kNotLoaded.
int notLoaded(const std::string &command, const std::string &path, const Card &card);

// JSON text of a string (with quotes and escapes).
std::string jsonString(const std::string &s);

// Local date and time of a Unix time, "YYYY-MM-DD HH:MM:SS".
std::string localTime(int64_t unixSeconds);

// While alive, what the libraries print on standard output (the load
// report, log lines) goes to standard error instead: standard output holds
// the command's answer alone, the one JSON object with --json, so that it
// can be piped.
class StdoutToStderr {
 public:
  StdoutToStderr();
  ~StdoutToStderr();
  StdoutToStderr(const StdoutToStderr &) = delete;
  StdoutToStderr &operator=(const StdoutToStderr &) = delete;

 private:
  int saved_ = -1;
};

// Commands, each a file of its own.
int cmd_info(int argc, char **argv);
int cmd_month(int argc, char **argv);
int cmd_day(int argc, char **argv);
int cmd_frames(int argc, char **argv);
int cmd_devices(int argc, char **argv);
int cmd_export(int argc, char **argv);
int cmd_dump(int argc, char **argv);
int cmd_still(int argc, char **argv);
