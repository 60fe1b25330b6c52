// bench_raw: how long the raw-disk library takes to load a large card and to
// answer the valid-time, month and day questions, and how many 4096-byte
// blocks each reads. The card is made by the simulator with synthetic media:
// one channel whose fragment index is full (65535 records, one fragment per
// list by default), a four-second recording every twenty minutes. Then the
// playback of a one-hour recording (synthetic 640x360 video at 25 frames a
// second with sound, as long as --hours says): its time and its read
// amplification, the bytes read from the card for each byte of media.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "device.h"
#include "qmx_storage.h"
#include "raw_writer.h"
#include "scenario.h"

namespace {

double nowMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Runs fn with standard output sent to /dev/null (the load report).
template <typename Fn>
void quietly(Fn fn) {
  fflush(stdout);
  int null = open("/dev/null", O_WRONLY);
  int saved = dup(1);
  dup2(null, 1);
  close(null);
  fn();
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
}

int64_t localMidnight(int64_t t, int addMonths = 0, bool firstOfMonth = false) {
  time_t tt = static_cast<time_t>(t);
  struct tm tm;
  localtime_r(&tt, &tm);
  tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  if (firstOfMonth) tm.tm_mday = 1;
  tm.tm_mon += addMonths;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

struct Figure {
  double ms;
  double blocks;
};

template <typename Fn>
Figure measure(int repeat, Fn fn) {
  plat_resetBlockReadCount();
  double t0 = nowMs();
  for (int i = 0; i < repeat; ++i) fn();
  double t1 = nowMs();
  return {(t1 - t0) / repeat, static_cast<double>(plat_blockReadCount()) / repeat};
}

void print(const char *what, const Figure &f, const std::string &note = "") {
  printf("  %-28s %10.3f ms %12.1f blocks  %s\n", what, f.ms, f.blocks, note.c_str());
}

// Attaches an image and returns its disk number, or UINT32_MAX.
uint32_t attach(const std::string &path) {
  plat_attachPath(path.c_str());
  plat_volume *vols = nullptr;
  int n = plat_listVolumes(&vols);
  uint32_t disk = UINT32_MAX;
  const std::string tail = path.size() > 40 ? path.substr(path.size() - 40) : path;
  for (int i = 0; i < n; ++i) {
    std::string name = vols[i].name;
    if (name.size() >= tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0)
      disk = vols[i].diskNumber;
  }
  plat_freeVolumes(vols);
  return disk;
}

// Plays a recording of `hours` from its start to the end of the data.
int playback(const std::string &path, double hours) {
  const int64_t start = 1704067200;
  const int64_t end = start + static_cast<int64_t>(hours * 3600);
  std::string json = R"({"layout":"raw","codec":"h264","channels":1,"width":640,"height":360,
    "fps":25,"gop":50,"media":"synthetic","raw":{"frameAreaSize":4294967296},"recordings":[{"start":)" +
                     std::to_string(start) + ",\"end\":" + std::to_string(end) + "}]}";
  Scenario scenario;
  std::string err;
  RawWriteSummary sum;
  if (!parseScenario(QByteArray::fromStdString(json), &scenario, &err) ||
      !writeRawCard(scenario, path, "", &sum, &err)) {
    fprintf(stderr, "bench_raw: %s\n", err.c_str());
    return 1;
  }
  uint32_t disk = attach(path);
  int rc = -1;
  quietly([&] {
    qmx_storage_close();
    rc = disk == UINT32_MAX ? -1 : qmx_storage_load(disk);
  });
  uint32_t h = 0;
  if (rc != 0 || qmx_storage_playbackStart(0, static_cast<uint64_t>(start), &h) != 0) {
    fprintf(stderr, "bench_raw: the playback card does not play\n");
    return 1;
  }
  uint64_t frames = 0, media = 0;
  plat_resetBlockReadCount();
  double t0 = nowMs();
  qmx_storage_frameInfo info;
  while (qmx_storage_playbackFrameInfo(h, &info) == 0) {
    qmx_storage_frame f{nullptr, 0};
    if (qmx_storage_playbackFrame(h, &f) != 0) break;
    frames++;
    media += f.size;
    qmx_storage_freeFrame(&f);
  }
  double ms = nowMs() - t0;
  double read = static_cast<double>(plat_blockReadCount()) * PLAT_BLOCK_SIZE;
  printf("bench_raw: playback of %.2f h (%llu frames, %.1f MB of media): %.0f ms, %.0f frames/s, "
         "%.1f MB read, read amplification %.3fx\n",
         hours, static_cast<unsigned long long>(frames), media / 1e6, ms, frames * 1000.0 / ms,
         read / 1e6, media ? read / static_cast<double>(media) : 0.0);
  qmx_storage_close();
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  setenv("TZ", "CST-8", 0);
  tzset();
  std::string path;
  int fragments = 65535, perList = 1, repeat = 20;
  double hours = 1;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--card" && i + 1 < argc) {
      path = argv[++i];
    } else if (a == "--fragments" && i + 1 < argc) {
      fragments = std::atoi(argv[++i]);
    } else if (a == "--per-list" && i + 1 < argc) {
      perList = std::atoi(argv[++i]);
    } else if (a == "--repeat" && i + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--hours" && i + 1 < argc) {
      hours = std::atof(argv[++i]);
    } else if (a == "--keep") {
      keep = true;
    } else {
      fprintf(stderr,
              "usage: bench_raw [--card PATH] [--fragments N] [--per-list N] [--repeat R]\n"
              "                 [--hours H] [--keep]\n"
              "  makes a one-channel raw-disk card of N fragments (default 65535), N per\n"
              "  fragment list (default 1: a full fragment index), and times the library;\n"
              "  then plays a recording of H hours (default 1; 0: none)\n");
      return 1;
    }
  }
  if (fragments < 1 || perList < 1 || perList > 256 ||
      (fragments + perList - 1) / perList > 65535) {
    fprintf(stderr, "bench_raw: at most 65535 fragment lists\n");
    return 1;
  }
  if (path.empty()) {
    const char *dir = getenv("TMPDIR");
    path = std::string(dir && *dir ? dir : "/tmp") + "/bench_raw_" + std::to_string(getpid()) + ".img";
  }

  // The card: a four-second recording every twenty minutes from 2024-01-01.
  const int64_t first = 1704038400;  // 2024-01-01 00:00 at UTC+8
  std::string json = R"({"layout":"raw","codec":"h265","channels":1,"width":64,"height":48,
    "fps":1,"gop":4,"audio":false,"media":"synthetic","raw":{"fragmentsPerList":)" +
                     std::to_string(perList) + R"(,"frameAreaSize":268435456},"recordings":[)";
  for (int i = 0; i < fragments; ++i) {
    const int64_t s = first + static_cast<int64_t>(i) * 1200;
    json += (i ? ",{" : "{") + std::string("\"start\":") + std::to_string(s) +
            ",\"end\":" + std::to_string(s + 4) + ",\"type\":1}";
  }
  json += "]}";
  Scenario scenario;
  std::string err;
  if (!parseScenario(QByteArray::fromStdString(json), &scenario, &err)) {
    fprintf(stderr, "bench_raw: %s\n", err.c_str());
    return 1;
  }
  double t0 = nowMs();
  RawWriteSummary sum;
  if (!writeRawCard(scenario, path, "", &sum, &err)) {
    fprintf(stderr, "bench_raw: %s\n", err.c_str());
    return 1;
  }
  struct stat st;
  stat(path.c_str(), &st);
  printf("bench_raw: card %s: %llu fragments in %llu lists, %llu I-frames, %llu frames; "
         "image %llu bytes, %llu allocated; written in %.0f ms\n",
         path.c_str(), static_cast<unsigned long long>(sum.fragments),
         static_cast<unsigned long long>((sum.fragments + perList - 1) / perList),
         static_cast<unsigned long long>(sum.iframes), static_cast<unsigned long long>(sum.frames),
         static_cast<unsigned long long>(st.st_size), static_cast<unsigned long long>(st.st_blocks) * 512,
         nowMs() - t0);

  // Attach the image and find its disk number.
  plat_attachPath(path.c_str());
  plat_volume *vols = nullptr;
  int n = plat_listVolumes(&vols);
  uint32_t disk = UINT32_MAX;
  const std::string tail = path.size() > 40 ? path.substr(path.size() - 40) : path;
  for (int i = 0; i < n; ++i) {
    std::string name = vols[i].name;
    if (name.size() >= tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0)
      disk = vols[i].diskNumber;
  }
  plat_freeVolumes(vols);
  if (disk == UINT32_MAX) {
    fprintf(stderr, "bench_raw: the image is not among the volumes\n");
    return 1;
  }
  qmx_storage_init();

  int rc = 0;
  Figure load = measure(1, [&] {
    quietly([&] {
      qmx_storage_close();
      rc = qmx_storage_load(disk);
    });
  });
  if (rc != 0) {
    fprintf(stderr, "bench_raw: load failed\n");
    return 1;
  }
  // Loading again from a warm page cache: the figure that repeats.
  Figure reload = measure(std::max(1, repeat / 4), [&] {
    quietly([&] {
      qmx_storage_close();
      qmx_storage_load(disk);
    });
  });
  int64_t vs = 0, ve = 0;
  Figure valid = measure(repeat, [&] { qmx_storage_getValidTime(0, &vs, &ve); });
  const int64_t last = first + static_cast<int64_t>(fragments - 1) * 1200;
  const int64_t middle = first + static_cast<int64_t>(fragments / 2) * 1200;
  uint32_t mask = 0;
  auto month = [&](int64_t t) {
    const int64_t a = localMidnight(t, 0, true), b = localMidnight(t, 1, true);
    return measure(repeat, [&] { mask = qmx_storage_queryByMonth(0, a, b); });
  };
  Figure mFirst = month(first);
  uint32_t maskFirst = mask;
  Figure mMiddle = month(middle);
  uint32_t maskMiddle = mask;
  Figure mLast = month(last);
  uint32_t count = 0;
  auto day = [&](int64_t t) {
    const int64_t a = localMidnight(t);
    return measure(repeat, [&] {
      qmx_storage_dayFragment *list = qmx_storage_queryByDay(0, a, a + 86400);
      count = list ? list->count : 0;
      free(list);
    });
  };
  Figure dFirst = day(first);
  uint32_t countFirst = count;
  Figure dMiddle = day(middle);
  uint32_t countMiddle = count;
  Figure dLast = day(last);

  char note[128];
  printf("bench_raw: raw-disk library, one channel, %d fragments (%d per list); mean of %d runs\n",
         fragments, perList, repeat);
  print("load (first)", load);
  print("load (again)", reload);
  snprintf(note, sizeof note, "%lld..%lld", static_cast<long long>(vs), static_cast<long long>(ve));
  print("getValidTime", valid, note);
  snprintf(note, sizeof note, "mask %#x", maskFirst);
  print("queryByMonth first month", mFirst, note);
  snprintf(note, sizeof note, "mask %#x", maskMiddle);
  print("queryByMonth middle month", mMiddle, note);
  snprintf(note, sizeof note, "mask %#x", mask);
  print("queryByMonth last month", mLast, note);
  snprintf(note, sizeof note, "%u fragments", countFirst);
  print("queryByDay first day", dFirst, note);
  snprintf(note, sizeof note, "%u fragments", countMiddle);
  print("queryByDay middle day", dMiddle, note);
  snprintf(note, sizeof note, "%u fragments", count);
  print("queryByDay last day", dLast, note);

  qmx_storage_close();
  if (!keep) unlink(path.c_str());
  if (hours <= 0) return 0;
  const std::string played = path + ".play";
  rc = playback(played, hours);
  if (!keep) unlink(played.c_str());
  return rc;
}
