// cardtool export: a span of the card as MP4 files, one per channel, made by
// the same per-channel export routine as the player's download worker.
// cardtool dump: the same frames written unchanged into an elementary video
// stream and an ADTS audio stream.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cardtool.h"
#include "qmx_export.h"
#include "qmx_storage.h"
#include "qmx_storage_v2.h"
#include "silent_aac.h"

static const char kExportHelp[] =
    "Usage: cardtool export CARD --start S --end E --out DIR [--channel C]\n"
    "                      [--layout raw|file] [--json]\n"
    "\n"
    "Exports the span from S to E (Unix seconds) of channel C, or of every\n"
    "channel of the card when --channel is absent, into one MP4 file per channel\n"
    "in DIR (made when missing; its parent must exist). Each file begins at the\n"
    "first I-frame at or after S and ends with the last frame not later than\n"
    "E + 1 s. Frames are copied without re-encoding; where the video runs ahead\n"
    "of the sound, silent AAC fills the gap. Files are named\n"
    "YYYYMMDD_HHMMSS-YYYYMMDD_HHMMSS-channelC.mp4 from the local start time and\n"
    "the time of the last video frame, with (1) to (19) added when a name is\n"
    "taken. A progress bar goes to standard error when it is a terminal.\n"
    "Prints the files made, one a line; exits 1 when a channel gave no file.\n"
    "JSON: {\"files\":[\"DIR/....mp4\",...]} with the files made (exit 0).\n";

static const char kDumpHelp[] =
    "Usage: cardtool dump CARD --channel C --start S --end E --out DIR\n"
    "                    [--layout raw|file] [--json]\n"
    "\n"
    "Writes the frames that 'cardtool export' would put into channel C's MP4\n"
    "file, unchanged and without silent filler, as an elementary video stream\n"
    "(DIR/YYYYMMDD_HHMMSS-YYYYMMDD_HHMMSS-channelC.h265 or .h264) and an ADTS\n"
    "audio stream (the same name with .aac), named from the local times S and E.\n"
    "Existing files of those names are replaced. A stream without frames gives\n"
    "no file. Prints the files made, one a line; exits 1 when there is none.\n"
    "JSON: {\"files\":[...]} with the files made (exit 0).\n";

namespace {

struct Span {
  int64_t start = 0;
  int64_t end = 0;
  std::string out;
  std::string layout;
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
  if (span->start < 0) return usageError(command, "--start must not be negative");
  if (span->end < span->start) return usageError(command, "--end must not be before --start");
  span->out = args.get("out");
  // Without a trailing slash the file names keep a single separator.
  while (span->out.size() > 1 && span->out.back() == '/') span->out.pop_back();
  if (span->out.size() >= 256) return usageError(command, "--out must be shorter than 256 bytes");
  span->layout = args.get("layout");
  if (!span->layout.empty() && span->layout != "raw" && span->layout != "file")
    return usageError(command, "--layout must be raw or file");
  span->json = args.has("json");
  return 0;
}

int parseChannel(const char *command, const Args &args, int64_t *channel) {
  std::string error;
  if (!args.getInt("channel", channel, &error)) return usageError(command, error);
  if (*channel < 0 || *channel > 3) return usageError(command, "--channel must be 0 to 3");
  return 0;
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

void onProgress(void *user, int64_t timeMs) { static_cast<Progress *>(user)->update(timeMs); }

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

void printFiles(const std::vector<std::string> &files) {
  printf("{\"files\":[");
  for (size_t i = 0; i < files.size(); i++) printf("%s%s", i ? "," : "", jsonString(files[i]).c_str());
  printf("]}\n");
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
  Progress *progress = nullptr;

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
  void write(uint8_t type, const uint8_t *data, uint32_t size) {
    if (failed || type > 1) return;
    FILE **f = type == 1 ? &video : &audio;
    if (!*f) *f = open(type == 1 ? &videoPath : &audioPath, type == 1 ? (videoType == 0 ? ".h265" : ".h264") : ".aac");
    if (!*f) return;
    if (size && fwrite(data, 1, size, *f) != size) {
      fprintf(stderr, "cardtool dump: write failed: %s\n", strerror(errno));
      failed = true;
    }
  }
  bool close() {
    bool ok = !failed;
    if (video && fclose(video) != 0) ok = false;
    if (audio && fclose(audio) != 0) ok = false;
    video = audio = nullptr;
    return ok;
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

}  // namespace

int cmd_export(int argc, char **argv) {
  Args args;
  std::string error;
  if (!args.parse(argc, argv, {"start", "end", "channel", "out", "layout"}, {"json", "help"},
                  &error))
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

  std::vector<std::string> files;
  bool allMade = true;
  {
    StdoutToStderr quiet(span.json);
    Card card;
    if (!openCard(args.positional[0], span.layout, &card)) {
      allMade = false;
    } else {
      int channels = 0, videoType = 0;
      cardFacts(card, &channels, &videoType);
      Progress progress;
      progress.active = isatty(2) == 1;
      qmx_export_hooks hooks = {};
      hooks.user = &progress;
      hooks.progress = onProgress;
      int first = only >= 0 ? static_cast<int>(only) : 0;
      int last = only >= 0 ? static_cast<int>(only) : channels - 1;
      if (!card.loaded || last < first) allMade = false;
      for (int c = first; card.loaded && c <= last; c++) {
        qmx_export_request request = {};
        request.layout = card.layout;
        request.channel = c;
        request.startTime = static_cast<uint64_t>(span.start);
        request.endTime = static_cast<uint64_t>(span.end);
        request.dir = span.out.c_str();
        request.videoType = videoType;
        request.silent = silentAac.data;
        request.silentSize = silentAac.size;
        char path[512];
        progress.begin(c, span);
        int made = qmx_export_channel(&request, &hooks, path, sizeof path);
        progress.end();
        if (made == 0) {
          files.push_back(path);
        } else {
          allMade = false;
          if (!span.json) fprintf(stderr, "cardtool export: channel %d gave no file\n", c);
        }
      }
    }
  }
  if (span.json) {
    printFiles(files);
    return 0;
  }
  for (const std::string &f : files) printf("%s\n", f.c_str());
  return allMade ? 0 : 1;
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

  std::vector<std::string> files;
  {
    StdoutToStderr quiet(span.json);
    Card card;
    if (openCard(args.positional[0], span.layout, &card) && card.loaded && ensureOut(span.out)) {
      int channels = 0, videoType = 0;
      cardFacts(card, &channels, &videoType);
      Progress progress;
      progress.active = isatty(2) == 1;
      DumpSink sink;
      sink.base = span.out + "/" + stamp(span.start) + "-" + stamp(span.end) + "-channel" +
                  std::to_string(channel);
      sink.videoType = videoType;
      sink.progress = &progress;
      qmx_export_hooks hooks = {};
      hooks.user = &sink;
      hooks.opened = [](void *user, int ok, uint32_t, int type) {
        if (ok) static_cast<DumpSink *>(user)->videoType = type;
      };
      hooks.frame = [](void *user, uint8_t type, int64_t, const uint8_t *data, uint32_t size) {
        static_cast<DumpSink *>(user)->write(type, data, size);
      };
      hooks.progress = [](void *user, int64_t t) {
        static_cast<DumpSink *>(user)->progress->update(t);
      };
      qmx_export_request request = {};
      request.layout = card.layout;
      request.channel = static_cast<int>(channel);
      request.startTime = static_cast<uint64_t>(span.start);
      request.endTime = static_cast<uint64_t>(span.end);
      request.dir = span.out.c_str();
      request.videoType = videoType;
      progress.begin(static_cast<int>(channel), span);
      qmx_export_channel(&request, &hooks, nullptr, 0);
      progress.end();
      if (sink.close()) {
        if (!sink.videoPath.empty()) files.push_back(sink.videoPath);
        if (!sink.audioPath.empty()) files.push_back(sink.audioPath);
      }
    }
  }
  if (span.json) {
    printFiles(files);
    return 0;
  }
  for (const std::string &f : files) printf("%s\n", f.c_str());
  return files.empty() ? 1 : 0;
}
