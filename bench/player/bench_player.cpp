// bench_player: how well the panes keep up, on cards of real H.265 made by
// the simulator. Not a test: it prints figures.
//
//   1. two panes of a 1440p card at 1.0x: pictures shown per second against
//      the recording's rate (target at least 98%), and the CPU used;
//   2. the same at 4.0x: the speed reached (card time shown per second of
//      wall time; target at least 3.8x);
//   3. four panes of a 1080p card at 1.0x (target at least 95%), and two of
//      them at 4.0x;
//   4. the panes' decoding path (reading the card, decoding with frame
//      threads) against `ffmpeg -threads N -f null` on the same stream,
//      whole processes run in turn, medians of the ratios (target: within
//      1.1x of -threads 2).
//
//   bench_player [--cards DIR] [--runs N]     all of it
//   bench_player --decode CARD                one decoding pass (used by 4)
//
// The cards are made once into DIR (default: bench-cards beside the build's
// bin directory) and kept; making the 1440p card takes minutes.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "demuxer_base.h"
#include "pane_probe.h"
#include "device.h"
#include "globals.h"
#include "qmx_storage.h"

extern "C" {
#include <libavutil/log.h>
}

extern char **environ;

namespace {

const int64_t kStart = 1796090400;  // 2026-12-01 10:00:00 +08:00
const int kFps = 25;

double cpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs a command as a whole process; wall seconds, or -1.
double runProcess(const std::vector<std::string> &argv) {
  std::vector<char *> args;
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
  QElapsedTimer t;
  t.start();
  pid_t pid = 0;
  const int r = posix_spawnp(&pid, args[0], &quiet, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&quiet);
  if (r != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? t.nsecsElapsed() / 1e9 : -1;
}

bool makeCard(const std::string &path, const std::string &size, int channels, int seconds) {
  if (QFileInfo::exists(QString::fromStdString(path))) return true;
  std::vector<std::string> cmd = {QCoreApplication::applicationDirPath().toStdString() + "/cardsim",
                                  "--layout", "raw", "--codec", "h265", "--fps",
                                  std::to_string(kFps), "--gop", std::to_string(2 * kFps),
                                  "--size", size, "--channels", std::to_string(channels),
                                  "--out", path};
  for (int c = 0; c < channels; c++) {
    cmd.push_back("--record");
    cmd.push_back(std::to_string(c) + "," + std::to_string(kStart) + "," +
                  std::to_string(kStart + seconds));
  }
  fprintf(stderr, "bench_player: making %s (%s, %d channels, %d s)...\n", path.c_str(),
          size.c_str(), channels, seconds);
  return runProcess(cmd) >= 0;
}

bool loadCard(const std::string &path) {
  qmx_storage_init();
  qmx_storage_close();
  // Only the card image, none of the machine's own disks.
  plat_setRoots("/nonexistent-sys", "/nonexistent-proc", "/nonexistent-dev");
  plat_detachAll();
  if (plat_attachPath(path.c_str()) != 0) return false;
  plat_volume *volumes = nullptr;
  const int n = plat_listVolumes(&volumes);
  const bool ok = n > 0 && qmx_storage_load(volumes[0].diskNumber) == 0;
  plat_freeVolumes(volumes);
  fflush(stdout);
  return ok;
}

// A pane's worker with its pictures' card and wall times (pane_probe.h).
struct Pane : PaneProbe {
  explicit Pane(int index) : PaneProbe(index) {}
  // Pictures and card time advanced between wall times from and to (ms).
  std::pair<int, int64_t> between(int64_t from, int64_t to) {
    std::lock_guard<std::mutex> held(lock);
    int n = 0;
    int64_t first = -1, last = -1;
    for (auto &p : shown) {
      if (p.second < from || p.second > to) continue;
      if (first < 0) first = p.first;
      last = p.first;
      n++;
    }
    return {n, last - first};
  }
};

// Plays `panes` panes of the loaded card at `speed` for `seconds`, measures
// from `warmup` s on; prints pictures per second against the recording's
// rate, the speed reached and the CPU used.
void playFigures(const char *title, int panes, int speed, double seconds, double warmup) {
  channelNum = panes;
  storageV = 1;
  videoType = 0;
  playSpeed = speed;
  playStartTime = kStart;
  playEndTime = kStart + 120;
  qmx_panes_requestRestart();
  const int64_t began = wallMs();
  std::vector<std::unique_ptr<Pane>> running;
  for (int i = 0; i < panes; i++) running.emplace_back(new Pane(i));
  playState = 1;
  // The window closes half a second before the panes reach the card's end
  // (its last I-frame), so that a short card at a high speed does not count
  // the stop as slowness.
  int64_t validStart = 0, validEnd = 0;
  if (qmx_storage_getValidTime(0, &validStart, &validEnd) == 0 && validEnd > kStart)
    seconds = std::min(seconds, (validEnd - kStart) * 10.0 / speed - 0.5);
  const int64_t from = began + static_cast<int64_t>(warmup * 1000),
                to = began + static_cast<int64_t>(seconds * 1000);
  while (wallMs() < from) QThread::msleep(10);
  const double cpu0 = cpuSeconds(RUSAGE_SELF);
  while (wallMs() < to) QThread::msleep(10);
  const double cpu = cpuSeconds(RUSAGE_SELF) - cpu0;
  playState = 0;
  const double wall = (to - from) / 1000.0;
  printf("%s\n", title);
  double worstRate = 1e9, worstSpeed = 1e9;
  for (int i = 0; i < panes; i++) {
    const auto [n, card] = running[i]->between(from, to);
    const double rate = n / wall / (kFps * speed / 10.0);
    const double reached = card / 1000.0 / wall;
    worstRate = std::min(worstRate, rate);
    worstSpeed = std::min(worstSpeed, reached);
    printf("  pane %d: %5.1f pictures/s = %5.1f%% of the recording's rate; speed %.2fx\n", i + 1,
           n / wall, 100 * rate, reached);
  }
  printf("  worst pane: %.1f%% of the rate, %.2fx; CPU %.2f cores over %.1f s\n", 100 * worstRate,
         worstSpeed, cpu / wall, wall);
}

// One pass of the panes' decoding path over channel 0 of a card: frames
// read through the storage library, decoded with frame threads.
int decodePass(const std::string &card) {
  if (!loadCard(card)) return 1;
  FrameReader reader(1, 0);
  VideoDecoder decoder;
  if (reader.open(kStart) != 0 || !decoder.open(AV_CODEC_ID_HEVC, VideoDecoder::Mode::Threaded))
    return 1;
  std::vector<AVFrame *> pictures;
  long shown = 0;
  for (;;) {
    const uint8_t *data = nullptr;
    int size = 0;
    FrameInfo info;
    if (reader.take(&data, &size, &info) != 1) break;
    if (info.video) decoder.decode(data, size, info.time, &pictures);
    shown += static_cast<long>(pictures.size());
    for (AVFrame *p : pictures) av_frame_free(&p);
    pictures.clear();
  }
  decoder.drain(&pictures);
  shown += static_cast<long>(pictures.size());
  for (AVFrame *p : pictures) av_frame_free(&p);
  printf("%ld pictures\n", shown);
  return shown > 0 ? 0 : 1;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void decodeFigures(const std::string &card, const std::string &dir, int runs) {
  const std::string dumpDir = dir + "/dump";
  const std::string tool = QCoreApplication::applicationDirPath().toStdString() + "/cardtool";
  runProcess({tool, "dump", card, "--channel", "0", "--start", std::to_string(kStart), "--end",
              std::to_string(kStart + 600), "--out", dumpDir});
  const QStringList streams = QDir(QString::fromStdString(dumpDir)).entryList({"*.h265"});
  if (streams.isEmpty()) {
    printf("decoding: no stream dumped from %s\n", card.c_str());
    return;
  }
  const std::string stream = dumpDir + "/" + streams.first().toStdString();
  const std::string self = QCoreApplication::applicationFilePath().toStdString();
  printf("decoding channel 0 of %s: the panes' path (%d frame threads) against ffmpeg,\n"
         "whole processes in turn, %d runs each; ratio = panes / ffmpeg\n",
         QFileInfo(QString::fromStdString(card)).fileName().toUtf8().constData(),
         VideoDecoder::threadCount(), runs);
  for (int threads : {1, 2, 3}) {
    std::vector<double> ours, theirs, ratio;
    for (int r = 0; r < runs + 1; r++) {
      const double a = runProcess({self, "--decode", card});
      const double b = runProcess({"ffmpeg", "-v", "error", "-threads", std::to_string(threads), "-i",
                                   stream, "-f", "null", "-"});
      if (r == 0 || a <= 0 || b <= 0) continue;  // the first pair warms the caches
      ours.push_back(a);
      theirs.push_back(b);
      ratio.push_back(a / b);
    }
    if (ratio.empty()) continue;
    printf("  vs ffmpeg -threads %d: panes %.2f s, ffmpeg %.2f s, ratio median %.2f (min %.2f, max %.2f)\n",
           threads, median(ours), median(theirs), median(ratio),
           *std::min_element(ratio.begin(), ratio.end()), *std::max_element(ratio.begin(), ratio.end()));
  }
}

}  // namespace

int main(int argc, char **argv) {
  qputenv("TZ", "CST-8");
  qputenv("QT_LOGGING_RULES", "*.debug=false");
  setvbuf(stdout, nullptr, _IOLBF, 0);
  QCoreApplication app(argc, argv);
  av_log_set_level(AV_LOG_FATAL);
  std::string dir = (QCoreApplication::applicationDirPath() + "/../bench-cards").toStdString();
  int runs = 5;
  for (int i = 1; i < argc; i++) {
    if (!strcmp(argv[i], "--decode") && i + 1 < argc) return decodePass(argv[i + 1]);
    if (!strcmp(argv[i], "--cards") && i + 1 < argc) {
      dir = argv[++i];
    } else if (!strcmp(argv[i], "--runs") && i + 1 < argc) {
      runs = std::max(1, atoi(argv[++i]));
    } else {
      fprintf(stderr, "usage: bench_player [--cards DIR] [--runs N] | --decode CARD\n");
      return 2;
    }
  }
  QDir().mkpath(QString::fromStdString(dir));
  const std::string card1440 = dir + "/h265-1440p-2ch.img", card1080 = dir + "/h265-1080p-4ch.img";
  if (!makeCard(card1440, "2560x1440", 2, 40) || !makeCard(card1080, "1920x1080", 4, 20)) {
    fprintf(stderr, "bench_player: cannot make the cards\n");
    return 1;
  }
  printf("bench_player: %d cores; cards in %s\n", QThread::idealThreadCount(), dir.c_str());
  if (loadCard(card1440)) {
    playFigures("two panes, 1440p H.265, 25 fps, 1.0x:", 2, 10, 12, 2);
    playFigures("two panes, 1440p H.265, 25 fps, 4.0x:", 2, 40, 8, 1.5);
  }
  if (loadCard(card1080)) {
    playFigures("four panes, 1080p H.265, 25 fps, 1.0x:", 4, 10, 12, 2);
    playFigures("two panes, 1080p H.265, 25 fps, 4.0x:", 2, 40, 5, 1);
  }
  decodeFigures(card1440, dir, runs);
  return 0;
}
