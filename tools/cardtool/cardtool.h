// Shared pieces of the cardtool commands: option parsing, opening a card
// through the device layer and JSON output.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

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
};

// Prints "cardtool <command>: <message>" and a hint to standard error; returns 2.
int usageError(const std::string &command, const std::string &message);

// A card opened for one command: attached through the device layer and
// loaded with the library of its layout.
struct Card {
  int layout = 0;       // 1 raw-disk layout, 2 file layout
  uint32_t id = 0;      // disk number (raw) or drive index (file)
  bool loaded = false;  // the library's load or open returned 0
};

// Attaches path and loads it with the library of its layout. layout is ""
// (a directory is a file-layout volume, anything else a raw-disk card),
// "raw" or "file". False, with a line on standard error, only when the path
// cannot be attached at all; a card that does not load gives true with
// loaded false.
bool openCard(const std::string &path, const std::string &layout, Card *card);

// JSON text of a string (with quotes and escapes).
std::string jsonString(const std::string &s);

// Local date and time of a Unix time, "YYYY-MM-DD HH:MM:SS".
std::string localTime(int64_t unixSeconds);

// While alive (and active), what the libraries print on standard output
// (the load report, log lines) goes to standard error instead, so that with
// --json standard output holds the one JSON object alone.
class StdoutToStderr {
 public:
  explicit StdoutToStderr(bool active);
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
