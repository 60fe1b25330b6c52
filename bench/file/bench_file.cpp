// bench_file: the file-layout library on a large simulated volume.
//
// Writes a volume with many short recordings (synthetic media, one fragment
// each, so the fragment ring holds 100,000 records or more), then times the
// load and the month and day queries and counts the bytes each one read from
// files (the rchar counter of /proc/self/io). The volume is written once into
// the given directory and reused while its parameters stay the same.
//
//   bench_file [--dir DIR] [--fragments N] [--repeat R]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "device.h"
#include "file_writer.h"
#include "qmx_storage_v2.h"

namespace fs = std::filesystem;

namespace {

uint64_t bytesRead() {
  std::ifstream io("/proc/self/io");
  std::string key;
  uint64_t value = 0;
  while (io >> key >> value)
    if (key == "rchar:") return value;
  return 0;
}

double nowMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t localMidnight(int year, int month, int day) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&t));
}

struct Figure {
  std::vector<double> ms;
  uint64_t bytes = 0;
  uint64_t result = 0;
};

// Runs the operation `repeat` times; keeps every time and the bytes of the
// last run (each run reads the same).
template <typename Op>
Figure measure(int repeat, Op op) {
  Figure f;
  for (int i = 0; i < repeat; ++i) {
    const uint64_t b0 = bytesRead();
    const double t0 = nowMs();
    f.result = op();
    f.ms.push_back(nowMs() - t0);
    f.bytes = bytesRead() - b0;
  }
  std::sort(f.ms.begin(), f.ms.end());
  return f;
}

void print(const char *what, const Figure &f, const char *resultName) {
  std::printf("%-34s median %9.3f ms  min %9.3f ms  read %10llu bytes  %s %llu\n", what,
              f.ms[f.ms.size() / 2], f.ms.front(), static_cast<unsigned long long>(f.bytes),
              resultName, static_cast<unsigned long long>(f.result));
}

}  // namespace

int main(int argc, char **argv) {
  std::string dir = (fs::temp_directory_path() / "bench_file_volume").string();
  int fragments = 120000;
  int repeat = 5;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--fragments" && i + 1 < argc) {
      fragments = std::atoi(argv[++i]);
    } else if (a == "--repeat" && i + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: bench_file [--dir DIR] [--fragments N] [--repeat R]\n");
      return 2;
    }
  }
  if (fragments < 10) fragments = 10;

  // One two-second recording every five minutes, alternating channels, from
  // 1 June 2025 on: 120,000 of them span about 14 months.
  const int64_t first = localMidnight(2025, 6, 1);
  const int64_t step = 300;
  Scenario sc;
  sc.layout = "file";
  sc.codec = 0;
  sc.channels = 2;
  sc.width = 64;
  sc.height = 36;
  sc.fps = 1;
  sc.gop = 1;
  sc.audio = false;
  sc.media = "synthetic";
  for (int i = 0; i < fragments; ++i) {
    Recording r;
    r.channel = i % 2;
    r.start = first + step * i;
    r.end = r.start + 2;
    r.type = static_cast<uint8_t>(1 + i % 3);
    sc.recordings.push_back(r);
  }
  char options[256];
  std::snprintf(options, sizeof options,
                "{\"fragRingRecords\": %d, \"fragRingStart\": %d, \"iframeRingRecords\": %d,"
                " \"recordFileSize\": 268435456, \"recordFiles\": 64}",
                fragments + 1000, fragments / 2, 2 * fragments + 1000);
  sc.file = QJsonDocument::fromJson(QByteArray(options)).object();
  // Every 97th fragment deleted: the queries look each one up in the list.
  QJsonArray deleted;
  for (int id = 1; id <= fragments; id += 97) deleted.append(id);
  sc.file.insert("deleted", deleted);

  const std::string stamp = dir + "/bench_file.stamp";
  const std::string want = std::string(options) + " deleted/97 " + std::to_string(fragments);
  std::string have;
  {
    std::ifstream in(stamp);
    std::getline(in, have);
  }
  if (have != want) {
    std::printf("writing a volume of %d fragments into %s ...\n", fragments, dir.c_str());
    FileLayoutReport report;
    std::string error;
    const double t0 = nowMs();
    if (!writeFileLayout(sc, dir, &report, &error)) {
      std::fprintf(stderr, "bench_file: %s\n", error.c_str());
      return 1;
    }
    std::printf("written in %.0f ms: %s\n", nowMs() - t0, fileLayoutSummary(report).c_str());
    std::ofstream(stamp) << want << "\n";
  } else {
    std::printf("reusing the volume in %s (%d fragments)\n", dir.c_str(), fragments);
  }

  if (plat_attachPath(dir.c_str()) != 0) return 1;
  plat_volume *list = nullptr;
  const int n = plat_listVolumes(&list);
  int drive = -1;
  std::error_code ec;
  for (int i = 0; i < n; ++i)
    if (list[i].root[0] && fs::equivalent(list[i].root, dir, ec)) drive = list[i].driveIndex;
  plat_freeVolumes(list);
  if (drive < 0) {
    std::fprintf(stderr, "bench_file: the volume directory is not visible as a volume\n");
    return 1;
  }
  qmx_storage_v2_init();

  std::printf("fragment ring: %d records of 32 bytes (%d bytes), wrapped; times over %d runs\n",
              fragments + 1000, (fragments + 1000) * 32, repeat);
  print("open (load)", measure(repeat, [&] {
          qmx_storage_v2_close();
          return static_cast<uint64_t>(qmx_storage_v2_open(static_cast<uint8_t>(drive)) + 1);
        }),
        "ok");
  print("valid time", measure(repeat, [&] {
          int64_t s = 0, e = 0;
          qmx_storage_v2_getValidTime(&s, &e);
          return static_cast<uint64_t>(e - s);
        }),
        "span s");

  struct Month {
    int year, month;
  } months[] = {{2025, 6}, {2025, 12}, {2026, 7}};
  for (const Month &m : months) {
    const int64_t a = localMidnight(m.year, m.month, 1);
    const int64_t b = m.month == 12 ? localMidnight(m.year + 1, 1, 1)
                                    : localMidnight(m.year, m.month + 1, 1);
    char what[64];
    std::snprintf(what, sizeof what, "month %04d-%02d", m.year, m.month);
    print(what, measure(repeat, [&] {
            return static_cast<uint64_t>(__builtin_popcount(qmx_storage_v2_queryByMonth(a, b)));
          }),
          "days");
  }
  struct Day {
    int year, month, day;
  } days[] = {{2025, 6, 1}, {2025, 12, 24}, {2026, 7, 20}};
  for (const Day &d : days) {
    const int64_t a = localMidnight(d.year, d.month, d.day);
    char what[64];
    std::snprintf(what, sizeof what, "day %04d-%02d-%02d", d.year, d.month, d.day);
    print(what, measure(repeat, [&] {
            qmx_storage_v2_dayFragment *l = qmx_storage_v2_queryByDay(a, a + 86400);
            const uint64_t count = l ? l->count : 0;
            free(l);
            return count;
          }),
          "fragments");
  }
  qmx_storage_v2_close();
  return 0;
}
