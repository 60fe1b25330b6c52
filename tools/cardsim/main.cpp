// cardsim: the recorder simulator. Writes card images of either layout from
// a scenario given as a JSON file and/or on the command line.
#include <sys/stat.h>

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "qmx_version.h"
#include "raw_writer.h"
#include "scenario.h"
#ifdef CARDSIM_HAVE_FILE_WRITER
#include "file_writer.h"
#endif

namespace {

const char *kUsage = R"(Usage: cardsim --scenario FILE --out PATH [options]
       cardsim --layout raw|file --out PATH [options] --record CH,START,END ...

Writes the card a recorder would have written for a scenario: for the raw
layout PATH is a disk image (a sparse file), for the file layout PATH is the
volume directory (created). Prints a one-line summary; exits 0, or 1 with a
message.

Options (given on the command line they override the scenario file):
  --scenario FILE     read the scenario from FILE (JSON, below)
  --out PATH          where to write the card
  --manifest FILE     raw layout: also write a JSON list of every fragment
                      and frame (time, kind, address, size, CRC-32)
  --layout raw|file   card layout
  --codec h265|h264   video codec (default h265)
  --channels N        channels 1..4 (default 1)
  --size WxH          picture size (default 320x180)
  --fps N             video frames per second (default 12)
  --gop N             frames from one key frame to the next (default 12)
  --no-audio          no sound frames
  --media encoded|synthetic
                      real H.264/H.265 and AAC (default), or made-up frames
                      of the same kinds and sizes (fast, for large cards)
  --record CH,START,END[,TYPE][,open]
                      one recording (repeatable): channel from 0, start and
                      end as Unix seconds or "YYYY-MM-DD HH:MM:SS" local
                      time, recording type 0..255 (default 1), "open" if it
                      was still being recorded
  --sound-gap CH,FROM,TO
                      no sound on channel CH (or "all") from FROM to TO
                      (times as for --record); the pictures go on
                      (repeatable)
  --clock-jump CH,AT,MS[,AFTER]
                      the recorder's clock set back (MS < 0) or forward by
                      MS milliseconds at time AT (plus AFTER ms, 0..999) on
                      channel CH (or "all"): the frames from then on carry
                      times shifted by MS (repeatable; jumps add up)
  --raw KEY=VALUE     an option of the "raw" object (VALUE is JSON or text)
  --file KEY=VALUE    an option of the "file" object
  --help              this text
  --version           the commit cardsim was built from

Scenario file:
  {"layout": "raw" | "file",
   "codec": "h265" | "h264", "channels": 1..4,
   "width": 16..2560, "height": 16..1440 (even), "fps": 1..60, "gop": 1..600,
   "audio": true | false, "media": "encoded" | "synthetic",
   "recordings": [{"channel": 0, "start": 1764554400 | "2025-12-01 10:00:00",
                   "end": ..., "type": 1, "open": false}, ...],
   "soundGaps": [{"channel": 0, "from": TIME, "to": TIME}, ...],
   "clockJumps": [{"channel": 0, "at": TIME, "afterMs": 0, "byMs": -3000}, ...],
   "raw": {...}, "file": {...}}
Times are Unix seconds or local time of the TZ environment variable
("YYYY-MM-DD HH:MM:SS", or "YYYY-MM-DD" for midnight), from 1970 to 2100,
read as cardtool reads them. Recordings of one
channel must not overlap; only the newest one of a channel may be open.
Video frames come every 1000/fps ms from the start of a recording up to its
end, the first a key frame and then one every gop frames; every key frame
carries its parameter sets. Sound is a 16 kHz mono AAC-LC tone that beeps
(on for the first half of every second), one ADTS frame every 64 ms; its
pitch tells the channels apart: 440 Hz on channel 0, 110 Hz higher on each
channel after it. The picture shows the frame's local time and channel.
A sound gap or clock jump without "channel" applies to every channel. Sound
recorded from "from" up to "to" is left out. A clock jump shifts the times
of the frames recorded from "at" (and "afterMs" ms) on, the time burned into their pictures
and the fragment times that follow it; what was recorded keeps its order.
Every time the clock gives must stay within 1970 to 2100.

)";

int usageError(const std::string &m) {
  fprintf(stderr, "cardsim: %s\n(cardsim --help explains the options)\n", m.c_str());
  return 1;
}

int failWith(const std::string &m) {
  fprintf(stderr, "cardsim: error: %s\n", m.c_str());
  return 1;
}

// A command-line value: JSON when it parses as JSON, otherwise text.
QJsonValue commandValue(const std::string &text) {
  QByteArray wrapped = QByteArray("[") + QByteArray::fromStdString(text) + "]";
  QJsonDocument doc = QJsonDocument::fromJson(wrapped);
  if (doc.isArray() && doc.array().size() == 1) return doc.array().at(0);
  return QJsonValue(QString::fromStdString(text));
}

bool allDigits(const std::string &s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

std::vector<std::string> splitCommas(const std::string &arg) {
  std::vector<std::string> parts;
  size_t at = 0;
  for (;;) {
    size_t comma = arg.find(',', at);
    parts.push_back(arg.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return parts;
}

// --sound-gap CH,FROM,TO and --clock-jump CH,AT,MS: an object of the
// scenario's "soundGaps" or "clockJumps" list.
bool parseGapOrJump(const std::string &option, const std::string &arg, QJsonObject *out,
                    std::string *error) {
  const bool gap = option == "--sound-gap";
  const std::vector<std::string> parts = splitCommas(arg);
  if (parts.size() < 3 || parts.size() > (gap ? 3u : 4u) || (parts[0] != "all" && !allDigits(parts[0]))) {
    *error = option + (gap ? " wants CH,FROM,TO" : " wants CH,AT,MS[,AFTER]") + " (CH a channel or \"all\"), not \"" +
             arg + "\"";
    return false;
  }
  QJsonObject o;
  if (parts[0] != "all") o["channel"] = std::stoi(parts[0].substr(0, 3));
  o[gap ? "from" : "at"] = QString::fromStdString(parts[1]);
  if (gap)
    o["to"] = QString::fromStdString(parts[2]);
  else
    o["byMs"] = commandValue(parts[2]);
  if (parts.size() == 4) o["afterMs"] = commandValue(parts[3]);
  *out = o;
  return true;
}

bool parseRecord(const std::string &arg, QJsonObject *out, std::string *error) {
  const std::vector<std::string> parts = splitCommas(arg);
  if (parts.size() < 3 || parts.size() > 5 || !allDigits(parts[0])) {
    *error = "--record wants CH,START,END[,TYPE][,open], not \"" + arg + "\"";
    return false;
  }
  QJsonObject r;
  r["channel"] = std::stoi(parts[0].substr(0, 3));
  // Times stay text: the scenario reads Unix seconds and local dates alike.
  r["start"] = QString::fromStdString(parts[1]);
  r["end"] = QString::fromStdString(parts[2]);
  for (size_t i = 3; i < parts.size(); ++i) {
    if (parts[i] == "open") {
      r["open"] = true;
    } else if (allDigits(parts[i]) && parts[i].size() <= 3 && i == 3) {
      r["type"] = std::stoi(parts[i]);
    } else {
      *error = "--record: \"" + parts[i] + "\" is neither a type 0..255 nor \"open\"";
      return false;
    }
  }
  *out = r;
  return true;
}

uint64_t directoryBytes(const std::string &dir) {
  std::error_code ec;
  uint64_t total = 0;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file(ec)) total += it->file_size(ec);
  }
  return total;
}

}  // namespace

int main(int argc, char **argv) {
  std::string scenarioPath, outPath, manifestPath;
  QJsonObject cmd, rawOpts, fileOpts;
  QJsonArray records, soundGaps, clockJumps;
  bool haveRecords = false;

  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string *v) {
      if (i + 1 >= argc) return false;
      *v = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      fputs(kUsage, stdout);
      fputs(rawLayoutHelp(), stdout);
#ifdef CARDSIM_HAVE_FILE_WRITER
      fputs("\n", stdout);
      fputs(fileLayoutHelp(), stdout);
#endif
      return 0;
    } else if (a == "--version") {
      printf("cardsim %s\n", qmx_version());
      return 0;
    } else if (a == "--no-audio") {
      cmd["audio"] = false;
    } else if (a == "--scenario" || a == "--out" || a == "--manifest" || a == "--layout" ||
               a == "--codec" || a == "--channels" || a == "--size" || a == "--fps" ||
               a == "--gop" || a == "--media" || a == "--record" || a == "--raw" ||
               a == "--file" || a == "--sound-gap" || a == "--clock-jump") {
      if (!value(&v)) return usageError(a + " needs a value");
      if (a == "--scenario") {
        scenarioPath = v;
      } else if (a == "--out") {
        outPath = v;
      } else if (a == "--manifest") {
        manifestPath = v;
      } else if (a == "--layout" || a == "--codec" || a == "--media") {
        cmd[QString::fromStdString(a.substr(2))] = QString::fromStdString(v);
      } else if (a == "--channels" || a == "--fps" || a == "--gop") {
        cmd[QString::fromStdString(a.substr(2))] = commandValue(v);
      } else if (a == "--size") {
        int w = 0, h = 0;
        char tail;
        if (sscanf(v.c_str(), "%dx%d%c", &w, &h, &tail) != 2)
          return usageError("--size wants WIDTHxHEIGHT, not \"" + v + "\"");
        cmd["width"] = w;
        cmd["height"] = h;
      } else if (a == "--record") {
        QJsonObject r;
        std::string err;
        if (!parseRecord(v, &r, &err)) return usageError(err);
        records.append(r);
        haveRecords = true;
      } else if (a == "--sound-gap" || a == "--clock-jump") {
        QJsonObject o;
        std::string err;
        if (!parseGapOrJump(a, v, &o, &err)) return usageError(err);
        (a == "--sound-gap" ? soundGaps : clockJumps).append(o);
      } else {
        size_t eq = v.find('=');
        if (eq == std::string::npos || eq == 0) return usageError(a + " wants KEY=VALUE");
        QJsonObject &target = a == "--raw" ? rawOpts : fileOpts;
        target[QString::fromStdString(v.substr(0, eq))] = commandValue(v.substr(eq + 1));
      }
    } else {
      return usageError("unknown argument \"" + a + "\"");
    }
  }
  if (outPath.empty()) return usageError("--out is required");

  // The scenario file first, then what the command line adds or overrides.
  QJsonObject doc;
  if (!scenarioPath.empty()) {
    QFile f(QString::fromStdString(scenarioPath));
    if (!f.open(QIODevice::ReadOnly)) return failWith("cannot read " + scenarioPath);
    QJsonParseError perr;
    QJsonDocument d = QJsonDocument::fromJson(f.readAll(), &perr);
    if (perr.error != QJsonParseError::NoError || !d.isObject()) {
      // Let the scenario parser word the message.
      Scenario unused;
      std::string err;
      loadScenario(scenarioPath, &unused, &err);
      return failWith(err);
    }
    doc = d.object();
  }
  for (auto it = cmd.begin(); it != cmd.end(); ++it) doc[it.key()] = it.value();
  if (haveRecords) {
    QJsonArray all = doc.value("recordings").toArray();
    for (const QJsonValue &r : records) all.append(r);
    doc["recordings"] = all;
  }
  for (const auto &list : {std::make_pair("soundGaps", &soundGaps), std::make_pair("clockJumps", &clockJumps)}) {
    QJsonArray all = doc.value(list.first).toArray();
    for (const QJsonValue &item : *list.second) all.append(item);
    if (!all.isEmpty()) doc[list.first] = all;
  }
  for (auto *pair : {&rawOpts, &fileOpts}) {
    if (pair->isEmpty()) continue;
    const char *key = pair == &rawOpts ? "raw" : "file";
    QJsonObject merged = doc.value(key).toObject();
    for (auto it = pair->begin(); it != pair->end(); ++it) merged[it.key()] = it.value();
    doc[key] = merged;
  }

  Scenario scenario;
  std::string err;
  if (!parseScenario(QJsonDocument(doc).toJson(QJsonDocument::Compact), &scenario, &err))
    return failWith((scenarioPath.empty() ? "" : scenarioPath + ": ") + err);

  if (scenario.layout == "raw") {
    RawWriteSummary sum;
    if (!writeRawCard(scenario, outPath, manifestPath, &sum, &err)) return failWith(err);
    struct stat st;
    unsigned long long allocated = stat(outPath.c_str(), &st) == 0 ? st.st_blocks * 512ull : 0;
    printf("cardsim: raw card %s: %llu frames, %llu fragments, %llu I-frames, %llu bytes written, "
           "image %llu bytes (%llu allocated)\n",
           outPath.c_str(), static_cast<unsigned long long>(sum.frames),
           static_cast<unsigned long long>(sum.fragments),
           static_cast<unsigned long long>(sum.iframes),
           static_cast<unsigned long long>(sum.bytesWritten),
           static_cast<unsigned long long>(sum.imageSize), allocated);
    return 0;
  }
#ifdef CARDSIM_HAVE_FILE_WRITER
  if (!manifestPath.empty()) return failWith("--manifest is only made for the raw layout");
  if (!writeFileLayout(scenario, outPath, &err)) return failWith(err);
  printf("cardsim: file card %s: %zu recordings, %llu bytes in files\n", outPath.c_str(),
         scenario.recordings.size(), static_cast<unsigned long long>(directoryBytes(outPath)));
  return 0;
#else
  (void)directoryBytes;
  return failWith("this build has no writer for the file layout");
#endif
}
