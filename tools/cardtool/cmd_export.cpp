// cardtool export: a span of the card as MP4 files, one per channel, made by
// the same per-channel export routine as the player's download worker.
// cardtool dump: the same frames written unchanged into an elementary video
// stream and an ADTS audio stream.
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "cardtool.h"
#include "qmx_export.h"
#include "qmx_muxer.h"
#include "qmx_storage.h"
#include "qmx_storage_v2.h"
#include "silent_aac.h"

// Exit statuses of export and dump (besides 2 for a wrong command line).
enum {
  kExitOk = 0,
  kExitFailed = 1,     // a channel gave no file
  kExitDamaged = 3,    // the card's data broke off mid-span: what was read is kept
  kExitInsideCard = 4, // the destination lies inside the card
};

static const char kExportHelp[] =
    "Usage: cardtool export CARD --start S --end E --out DIR [--channel C]\n"
    "                      [--timing card|nominal] [--layout raw|file] [--json]\n"
    "\n"
    "Exports the span from S to E (Unix seconds) of channel C, or of every\n"
    "channel of the card when --channel is absent, into one MP4 file per channel\n"
    "in DIR (made when missing; its parent must exist). Each file begins at the\n"
    "first I-frame at or after S and ends with the last frame not later than\n"
    "E + 1 s. Frames are copied without re-encoding. With --timing card (the\n"
    "default) each frame sits at its card time stamp relative to the first\n"
    "picture; time stamps that go back or jump by more than 10 s are bridged and\n"
    "reported. --timing nominal uses fixed steps (83.333 ms a picture, 64 ms a\n"
    "sound frame). Where the card has no sound, silent AAC frames fill the time.\n"
    "Spans longer than 4 hours are written as a fragmented MP4 (bounded memory).\n"
    "Files are named YYYYMMDD_HHMMSS-YYYYMMDD_HHMMSS-channelC.mp4 from the local\n"
    "start time and the time of the last video frame, with (1) to (19) added\n"
    "when a name is taken. Beside each file: NAME.mp4.sha256 (for sha256sum -c)\n"
    "and NAME.json, the export's report. A progress bar goes to standard error\n"
    "when it is a terminal. DIR must not lie inside the card.\n"
    "Prints the files made, one a line. --json prints\n"
    "{\"files\":[...],\"reports\":[REPORT,...]} with one report per channel.\n"
    "Exit status: 0 every channel exported; 1 a channel gave no file; 3 a\n"
    "channel's data broke off mid-span (read error or damaged frame): its file\n"
    "holds what was read; 4 DIR lies inside the card; 5 the card could not be\n"
    "opened or did not load; 2 a wrong command line. The same with --json.\n";

static const char kDumpHelp[] =
    "Usage: cardtool dump CARD --channel C --start S --end E --out DIR\n"
    "                    [--layout raw|file] [--json]\n"
    "\n"
    "Writes the frames that 'cardtool export' would put into channel C's MP4\n"
    "file, unchanged and without silent filler, as an elementary video stream\n"
    "(DIR/YYYYMMDD_HHMMSS-YYYYMMDD_HHMMSS-channelC.h265 or .h264) and an ADTS\n"
    "audio stream (the same name with .aac), named from the local times S and E.\n"
    "Existing files of those names are replaced. A stream without frames gives\n"
    "no file; when writing fails (a full disk) nothing is left. DIR must not lie\n"
    "inside the card. Prints the files made, one a line; --json prints\n"
    "{\"files\":[...]}.\n"
    "Exit status: 0 files made; 1 no file (nothing in the span, or writing\n"
    "failed); 3 the data broke off mid-span (the files hold what was read); 4 DIR\n"
    "lies inside the card; 5 the card could not be opened or did not load; 2 a\n"
    "wrong command line.\n";

namespace {

struct Span {
  int64_t start = 0;
  int64_t end = 0;
  std::string out;
  std::string layout;
  int timing = QMX_EXPORT_TIMING_CARD;
  bool json = false;
};

// Parses the options both commands share; 0 when they are fine, else the
// usage error's exit code.
int parseSpan(const char *command, const Args &args, Span *span) {
  std::string error;
  if (args.positional.size() != 1) return usageError(command, "needs exactly one CARD");
  if (!args.has("start")) return usageError(command, "needs --start");
  if (!args.has("end")) return usageError(command, "needs --end");
  if (!args.has("out") || args.get("out").empty()) return usageError(command, "needs --out DIR");
  if (!args.getTime("start", &span->start, &error) || !args.getTime("end", &span->end, &error))
    return usageError(command, error);
  // Unix seconds of 1970 to 2100: anything else is a typing error, and
  // millisecond arithmetic on it stays far from overflowing.
  const int64_t kLatest = 4102444800;
  if (span->start < 0 || span->start > kLatest || span->end > kLatest)
    return usageError(command, "times must lie between 1970 and 2100");
  if (span->end < span->start) return usageError(command, "--end must not be before --start");
  span->out = args.get("out");
  // Without a trailing slash the file names keep a single separator.
  while (span->out.size() > 1 && span->out.back() == '/') span->out.pop_back();
  if (span->out.size() >= 256) return usageError(command, "--out must be shorter than 256 bytes");
  span->layout = args.get("layout");
  if (!span->layout.empty() && span->layout != "raw" && span->layout != "file")
    return usageError(command, "--layout must be raw or file");
  std::string timing = args.get("timing", "card");
  if (timing != "card" && timing != "nominal")
    return usageError(command, "--timing must be card or nominal");
  span->timing = timing == "nominal" ? QMX_EXPORT_TIMING_NOMINAL : QMX_EXPORT_TIMING_CARD;
  span->json = args.has("json");
  return 0;
}

int parseChannel(const char *command, const Args &args, int64_t *channel) {
  std::string error;
  if (!args.getInt("channel", channel, &error)) return usageError(command, error);
  if (*channel < 0 || *channel > 3) return usageError(command, "--channel must be 0 to 3");
  return 0;
}

// Refuses a destination inside the card; true when it was refused.
bool refuseInsideCard(const char *command, const std::string &dir, const std::string &card) {
  if (!qmx_export_insideCard(dir.c_str(), card.c_str())) return false;
  fprintf(stderr,
          "cardtool %s: %s lies inside the card %s; the card is never written, choose a "
          "directory elsewhere\n",
          command, dir.c_str(), card.c_str());
  return true;
}

// Progress bar on standard error, redrawn when the shown value changes.
struct Progress {
  bool active = false;
  int channel = 0;
  int64_t startMs = 0;
  int64_t spanMs = 1;
  int shown = -1;

  void begin(int c, const Span &span) {
    channel = c;
    startMs = span.start * 1000;
    spanMs = (span.end + 1 - span.start) * 1000;
    shown = -1;
    update(startMs);
  }
  void update(int64_t timeMs) {
    if (!active) return;
    int64_t done = timeMs - startMs;
    if (done < 0) done = 0;
    if (done > spanMs) done = spanMs;
    int percent = static_cast<int>(done * 100 / spanMs);
    if (percent == shown) return;
    shown = percent;
    char bar[41];
    int filled = percent * 40 / 100;
    for (int i = 0; i < 40; i++) bar[i] = i < filled ? '#' : '.';
    bar[40] = '\0';
    fprintf(stderr, "\rchannel %d [%s] %3d%%", channel, bar, percent);
    fflush(stderr);
  }
  void end() {
    if (!active || shown < 0) return;
    fprintf(stderr, "\n");
    shown = -1;
  }
};

// The card's channel count and codec, by layout.
void cardFacts(const Card &card, int *channels, int *videoType) {
  if (card.layout == 1) {
    *channels = qmx_storage_getChannelNum();
    *videoType = qmx_storage_getVideoType();
  } else {
    *channels = qmx_storage_v2_getChannelNum();
    *videoType = qmx_storage_v2_getVideoType();
  }
  if (*channels < 0) *channels = 0;
  if (*channels > 4) *channels = 4;  // the recorder has at most four
}

// Bytes of an image file or a device, 0 when unknown.
uint64_t cardBytes(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  if (S_ISREG(st.st_mode)) return static_cast<uint64_t>(st.st_size);
  if (!S_ISBLK(st.st_mode)) return 0;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  uint64_t size = 0;
  if (fd >= 0) {
    if (ioctl(fd, BLKGETSIZE64, &size) != 0) size = 0;
    close(fd);
  }
  return size;
}

void printFiles(const std::vector<std::string> &files, const std::vector<std::string> *reports) {
  printf("{\"files\":[");
  for (size_t i = 0; i < files.size(); i++) printf("%s%s", i ? "," : "", jsonString(files[i]).c_str());
  printf("]");
  if (reports) {
    printf(",\"reports\":[");
    for (size_t i = 0; i < reports->size(); i++) printf("%s%s", i ? "," : "", (*reports)[i].c_str());
    printf("]");
  }
  printf("}\n");
}

std::string stamp(int64_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm tm;
  memset(&tm, 0, sizeof tm);
  localtime_r(&t, &tm);
  char buf[32];
  snprintf(buf, sizeof buf, "%04d%02d%02d_%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1,
           tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

// Where dump writes one channel's frames.
struct DumpSink {
  std::string base;  // path without extension
  int videoType = 0;
  FILE *video = nullptr;
  FILE *audio = nullptr;
  std::string videoPath, audioPath;
  bool failed = false;

  FILE *open(std::string *path, const char *ext) {
    *path = base + ext;
    FILE *f = fopen(path->c_str(), "wb");
    if (!f) {
      fprintf(stderr, "cardtool dump: cannot write %s: %s\n", path->c_str(), strerror(errno));
      failed = true;
      path->clear();
    }
    return f;
  }
  int write(uint8_t type, const uint8_t *data, uint32_t size) {
    if (failed) return -1;
    FILE **f = type == 1 ? &video : &audio;
    if (!*f) *f = open(type == 1 ? &videoPath : &audioPath, type == 1 ? (videoType == 0 ? ".h265" : ".h264") : ".aac");
    if (!*f) return -1;
    if (size && fwrite(data, 1, size, *f) != size) {
      fprintf(stderr, "cardtool dump: write failed: %s\n", strerror(errno));
      failed = true;
    }
    return failed ? -1 : 0;
  }
  bool close() {
    bool ok = !failed;
    for (FILE **f : {&video, &audio}) {
      if (!*f) continue;
      if (fflush(*f) != 0 || fsync(fileno(*f)) != 0) ok = false;
      if (fclose(*f) != 0) ok = false;
      *f = nullptr;
    }
    if (!ok) fprintf(stderr, "cardtool dump: writing failed: %s\n", strerror(errno));
    return ok;
  }
  // After a failure nothing of it stays.
  void remove() {
    if (!videoPath.empty()) unlink(videoPath.c_str());
    if (!audioPath.empty()) unlink(audioPath.c_str());
    videoPath.clear();
    audioPath.clear();
  }
};

// Makes DIR when missing (one level, like the export does).
bool ensureOut(const std::string &dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
  if (mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST) return true;
  fprintf(stderr, "cardtool dump: cannot make %s: %s\n", dir.c_str(), strerror(errno));
  return false;
}

std::string localMs(int64_t ms) { return localTime(ms / 1000); }

}  // namespace

int cmd_export(int argc, char **argv) {
  Args args;
  std::string error;
  if (!args.parse(argc, argv, {"start", "end", "channel", "out", "layout", "timing"},
                  {"json", "help"}, &error))
    return usageError("export", error);
  if (args.has("help")) {
    fputs(kExportHelp, stdout);
    return 0;
  }
  Span span;
  int rc = parseSpan("export", args, &span);
  if (rc != 0) return rc;
  int64_t only = -1;
  if (args.has("channel") && (rc = parseChannel("export", args, &only)) != 0) return rc;
  const std::string cardPath = args.positional[0];
  if (refuseInsideCard("export", span.out, cardPath)) return kExitInsideCard;

  std::vector<std::string> files, reports, messages;
  int exitCode = kExitOk;
  {
    // The libraries' lines (and the filler's) go to standard error.
    StdoutToStderr quiet;
    av_log_set_level(AV_LOG_ERROR);
    if (silentAac.size == 0) generateSilentAac();
    Card card;
    if (!openCard(cardPath, span.layout, &card) || !card.loaded) {
      exitCode = notLoaded("export", cardPath, card);
    } else {
      int channels = 0, videoType = 0;
      cardFacts(card, &channels, &videoType);
      Progress progress;
      progress.active = isatty(2) == 1;
      qmx_export_hooks hooks = {};
      hooks.user = &progress;
      hooks.progress = [](void *user, int64_t t) { static_cast<Progress *>(user)->update(t); };
      int first = only >= 0 ? static_cast<int>(only) : 0;
      int last = only >= 0 ? static_cast<int>(only) : channels - 1;
      if (last < first) exitCode = kExitFailed;
      const char *slash = strrchr(cardPath.c_str(), '/');
      for (int c = first; c <= last; c++) {
        qmx_export_request request = {};
        request.layout = card.layout;
        request.channel = c;
        request.startTime = static_cast<uint64_t>(span.start);
        request.endTime = static_cast<uint64_t>(span.end);
        request.dir = span.out.c_str();
        request.videoType = videoType;
        request.timing = span.timing;
        request.silent = silentAac.data;
        request.silentSize = silentAac.size;
        request.cardPath = cardPath.c_str();
        request.cardName = slash ? slash + 1 : cardPath.c_str();
        request.cardSize = cardBytes(cardPath);
        qmx_export_result result;
        progress.begin(c, span);
        qmx_export_channel(&request, &hooks, &result);
        progress.end();
        if (result.report) reports.push_back(result.report);
        char line[640];
        if (result.status == QMX_EXPORT_DONE) {
          files.push_back(result.file);
          if (qmx_export_damaged(&result)) {
            snprintf(line, sizeof line,
                     "cardtool export: channel %d broke off at %s (%s): the file holds what was "
                     "read before",
                     c, localMs(result.endAtMs).c_str(),
                     result.end == QMX_PLAYBACK_READ_ERROR ? "read error" : "damaged frame");
            messages.push_back(line);
            if (exitCode == kExitOk) exitCode = kExitDamaged;
          } else if (qmx_export_endedEarly(&result, request.endTime)) {
            snprintf(line, sizeof line, "cardtool export: channel %d: the card's data ends at %s",
                     c, localMs(result.lastMs).c_str());
            messages.push_back(line);
          }
        } else {
          char failure[sizeof result.detail + 64];
          qmx_export_failureText(&result, failure, sizeof failure);
          snprintf(line, sizeof line, "cardtool export: channel %d gave no file: %s", c, failure);
          messages.push_back(line);
          exitCode = kExitFailed;
        }
        qmx_export_freeResult(&result);
      }
    }
  }
  for (const std::string &m : messages) fprintf(stderr, "%s\n", m.c_str());
  if (span.json) {
    printFiles(files, &reports);
  } else {
    for (const std::string &f : files) printf("%s\n", f.c_str());
  }
  return exitCode;
}

int cmd_dump(int argc, char **argv) {
  Args args;
  std::string error;
  if (!args.parse(argc, argv, {"start", "end", "channel", "out", "layout"}, {"json", "help"},
                  &error))
    return usageError("dump", error);
  if (args.has("help")) {
    fputs(kDumpHelp, stdout);
    return 0;
  }
  Span span;
  int rc = parseSpan("dump", args, &span);
  if (rc != 0) return rc;
  if (!args.has("channel")) return usageError("dump", "needs --channel");
  int64_t channel = 0;
  if ((rc = parseChannel("dump", args, &channel)) != 0) return rc;
  const std::string cardPath = args.positional[0];
  if (refuseInsideCard("dump", span.out, cardPath)) return kExitInsideCard;

  std::vector<std::string> files;
  int exitCode = kExitFailed;
  {
    StdoutToStderr quiet;
    Card card;
    if (!openCard(cardPath, span.layout, &card) || !card.loaded) {
      exitCode = notLoaded("dump", cardPath, card);
    } else if (ensureOut(span.out)) {
      int channels = 0, videoType = 0;
      cardFacts(card, &channels, &videoType);
      Progress progress;
      progress.active = isatty(2) == 1;
      struct Run {
        DumpSink sink;
        Progress *progress;
      } run;
      run.sink.base = span.out + "/" + stamp(span.start) + "-" + stamp(span.end) + "-channel" +
                      std::to_string(channel);
      run.sink.videoType = videoType;
      run.progress = &progress;
      qmx_export_hooks hooks = {};
      hooks.user = &run;
      hooks.opened = [](void *user, int ok, uint32_t, int type) {
        if (ok) static_cast<Run *>(user)->sink.videoType = type;
      };
      hooks.frame = [](void *user, uint8_t type, int64_t, const uint8_t *data, uint32_t size) {
        return static_cast<Run *>(user)->sink.write(type, data, size);
      };
      hooks.progress = [](void *user, int64_t t) { static_cast<Run *>(user)->progress->update(t); };
      qmx_export_request request = {};
      request.layout = card.layout;
      request.channel = static_cast<int>(channel);
      request.startTime = static_cast<uint64_t>(span.start);
      request.endTime = static_cast<uint64_t>(span.end);
      request.dir = span.out.c_str();
      request.videoType = videoType;
      qmx_export_result result;
      progress.begin(static_cast<int>(channel), span);
      qmx_export_channel(&request, &hooks, &result);
      progress.end();
      bool closed = run.sink.close();
      if (!closed || result.error == QMX_MUXER_ERR_WRITE) {
        run.sink.remove();
      } else {
        if (!run.sink.videoPath.empty()) files.push_back(run.sink.videoPath);
        if (!run.sink.audioPath.empty()) files.push_back(run.sink.audioPath);
        if (!files.empty()) exitCode = qmx_export_damaged(&result) ? kExitDamaged : kExitOk;
        if (qmx_export_damaged(&result))
          fprintf(stderr, "cardtool dump: the data broke off at %s (%s)\n",
                  localMs(result.endAtMs).c_str(),
                  result.end == QMX_PLAYBACK_READ_ERROR ? "read error" : "damaged frame");
      }
      qmx_export_freeResult(&result);
    }
  }
  if (span.json) {
    printFiles(files, nullptr);
  } else {
    for (const std::string &f : files) printf("%s\n", f.c_str());
  }
  return exitCode;
}
