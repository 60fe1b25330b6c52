// Option parsing, card opening and output helpers shared by the commands.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "cardtool.h"
#include "device.h"
#include "qmx_storage.h"
#include "qmx_storage_v2.h"

bool Args::parse(int argc, char **argv, const std::set<std::string> &valueOptions,
                 const std::set<std::string> &flagOptions, std::string *error) {
  for (int i = 0; i < argc; i++) {
    std::string a = argv[i];
    if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
      std::string name = a.substr(2);
      std::string value;
      bool inlineValue = false;
      size_t eq = name.find('=');
      if (eq != std::string::npos) {
        value = name.substr(eq + 1);
        name = name.substr(0, eq);
        inlineValue = true;
      }
      if (flagOptions.count(name)) {
        if (inlineValue) {
          *error = "option --" + name + " takes no value";
          return false;
        }
        flags.insert(name);
      } else if (valueOptions.count(name)) {
        if (!inlineValue) {
          if (i + 1 >= argc) {
            *error = "option --" + name + " needs a value";
            return false;
          }
          value = argv[++i];
        }
        options.emplace(name, value);
      } else {
        *error = "unknown option --" + name;
        return false;
      }
    } else {
      positional.push_back(a);
    }
  }
  return true;
}

bool Args::has(const std::string &name) const { return flags.count(name) || options.count(name); }

std::string Args::get(const std::string &name, const std::string &fallback) const {
  auto range = options.equal_range(name);
  if (range.first == range.second) return fallback;
  auto last = range.second;
  --last;
  return last->second;
}

std::vector<std::string> Args::getAll(const std::string &name) const {
  std::vector<std::string> all;
  auto range = options.equal_range(name);
  for (auto it = range.first; it != range.second; ++it) all.push_back(it->second);
  return all;
}

bool Args::getInt(const std::string &name, int64_t *value, std::string *error) const {
  if (!options.count(name)) return true;
  std::string s = get(name);
  errno = 0;
  char *end = nullptr;
  long long v = strtoll(s.c_str(), &end, 10);
  if (s.empty() || *end != '\0' || errno == ERANGE) {
    *error = "--" + name + " wants a whole number, not '" + s + "'";
    return false;
  }
  *value = static_cast<int64_t>(v);
  return true;
}

bool Args::getTime(const std::string &name, int64_t *value, std::string *error) const {
  if (!options.count(name)) return true;
  std::string why;
  if (!parseTimeText(get(name), value, &why)) {
    *error = "--" + name + ": " + why;
    return false;
  }
  return true;
}

int startCardCommand(const char *command, const char *help, int argc, char **argv,
                     std::set<std::string> valueOptions, Args *args) {
  std::string error;
  valueOptions.insert("layout");
  if (!args->parse(argc, argv, valueOptions, {"json", "help"}, &error))
    return usageError(command, error);
  if (args->has("help")) {
    fputs(help, stdout);
    return Exit::kOk;
  }
  if (args->positional.size() != 1) return usageError(command, "needs exactly one CARD");
  std::string layout = args->get("layout");
  if (!layout.empty() && layout != "raw" && layout != "file")
    return usageError(command, "--layout must be raw or file");
  return -1;
}

int usageError(const std::string &command, const std::string &message) {
  fprintf(stderr, "cardtool %s: %s\n", command.c_str(), message.c_str());
  fprintf(stderr, "Try 'cardtool %s --help'.\n", command.c_str());
  return Exit::kUsage;
}

bool openCard(const std::string &path, const std::string &layout, Card *card) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    fprintf(stderr, "cardtool: cannot open card %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  int wanted = 0;
  if (layout == "raw") {
    wanted = 1;
  } else if (layout == "file") {
    wanted = 2;
  } else if (layout.empty()) {
    wanted = S_ISDIR(st.st_mode) ? 2 : 1;
  } else {
    fprintf(stderr, "cardtool: unknown layout '%s' (raw or file)\n", layout.c_str());
    return false;
  }

  // Only the named card is looked at: the attached disks of this machine
  // stay out of the listing, so the card is the one volume there is.
  plat_setRoots("/nonexistent-sys", "/nonexistent-proc", "/nonexistent-dev");
  if (plat_attachPath(path.c_str()) != 0) return false;
  plat_volume *volumes = nullptr;
  int count = plat_listVolumes(&volumes);
  if (count <= 0) {
    plat_freeVolumes(volumes);
    fprintf(stderr, "cardtool: %s could not be attached\n", path.c_str());
    return false;
  }
  card->layout = wanted;
  if (wanted == 1) {
    card->id = volumes[0].diskNumber;
    qmx_storage_init();
    card->loaded = qmx_storage_load(card->id) == 0;
  } else {
    card->id = volumes[0].driveIndex;
    qmx_storage_v2_init();
    card->loaded = qmx_storage_v2_open(static_cast<uint8_t>(card->id)) == 0;
  }
  plat_freeVolumes(volumes);
  return true;
}

int notLoaded(const std::string &command, const std::string &path, const Card &card) {
  if (card.layout != 0)
    fprintf(stderr, "cardtool %s: %s did not load as a %s card (not such a card, or too damaged to read)\n",
            command.c_str(), path.c_str(), card.layout == 1 ? "raw-disk" : "file-layout");
  return Exit::kNotLoaded;
}

std::string jsonString(const std::string &s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string localTime(int64_t unixSeconds) {
  time_t t = static_cast<time_t>(unixSeconds);
  struct tm lt;
  if (!localtime_r(&t, &lt)) return std::to_string(unixSeconds);
  char buf[64];
  strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &lt);
  return buf;
}

StdoutToStderr::StdoutToStderr() {
  fflush(stdout);
  saved_ = dup(1);
  if (saved_ >= 0) dup2(2, 1);
}

StdoutToStderr::~StdoutToStderr() {
  if (saved_ < 0) return;
  fflush(stdout);
  dup2(saved_, 1);
  close(saved_);
}
