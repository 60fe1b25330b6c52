// Runs a fuzz target without libFuzzer, so the ordinary build's test run
// exercises it: every seed file given on the command line, then a fixed
// number of mutations of them made by a seeded generator (the same inputs on
// every run). With clang, the same target is also built for libFuzzer.
//
// Usage: <driver> [--iterations N] [--seed S] SEED_FILE...
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static std::vector<uint8_t> readFile(const char *path) {
  std::vector<uint8_t> bytes;
  FILE *f = fopen(path, "rb");
  if (!f) {
    fprintf(stderr, "fuzz driver: cannot read %s\n", path);
    exit(2);
  }
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  fclose(f);
  return bytes;
}

// One mutation: flip bits, overwrite with boundary values, cut or extend.
static void mutate(std::vector<uint8_t> &in, std::mt19937_64 &rng) {
  static const uint8_t interesting[] = {0x00, 0x01, 0x7F, 0x80, 0xFF, 0xFE, 0x10, 0x40};
  int edits = 1 + static_cast<int>(rng() % 8);
  for (int e = 0; e < edits; e++) {
    switch (rng() % 6) {
      case 0:
        if (!in.empty()) in[rng() % in.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
        break;
      case 1:
        if (!in.empty()) in[rng() % in.size()] = interesting[rng() % sizeof interesting];
        break;
      case 2:  // a 32-bit field to 0xFFFFFFFF or 0
        if (in.size() >= 4) {
          size_t at = rng() % (in.size() - 3);
          uint8_t v = (rng() & 1) ? 0xFF : 0x00;
          memset(&in[at], v, 4);
        }
        break;
      case 3:  // truncate
        if (!in.empty()) in.resize(rng() % in.size());
        break;
      case 4:  // extend with random bytes
        for (int i = 0, n = static_cast<int>(rng() % 64); i < n; i++)
          in.push_back(static_cast<uint8_t>(rng()));
        break;
      default:
        if (!in.empty()) in[rng() % in.size()] = static_cast<uint8_t>(rng());
        break;
    }
  }
}

int main(int argc, char **argv) {
  long iterations = 2000;
  unsigned long long seed = 1;
  std::vector<std::vector<uint8_t>> seeds;
  for (int i = 1; i < argc; i++) {
    if (!strcmp(argv[i], "--iterations") && i + 1 < argc) {
      iterations = strtol(argv[++i], nullptr, 10);
    } else if (!strcmp(argv[i], "--seed") && i + 1 < argc) {
      seed = strtoull(argv[++i], nullptr, 10);
    } else {
      seeds.push_back(readFile(argv[i]));
    }
  }
  if (seeds.empty()) seeds.emplace_back();
  for (const auto &s : seeds) LLVMFuzzerTestOneInput(s.data(), s.size());
  std::mt19937_64 rng(seed);
  for (long i = 0; i < iterations; i++) {
    std::vector<uint8_t> in = seeds[rng() % seeds.size()];
    mutate(in, rng);
    LLVMFuzzerTestOneInput(in.data(), in.size());
  }
  printf("fuzz driver: %zu seeds and %ld mutations ran\n", seeds.size(), iterations);
  return 0;
}
