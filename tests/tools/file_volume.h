// Helpers for the tests of simulated file-layout volumes: scenarios and
// recordings, fresh directories, whole-file reads, a bitwise CRC-16 of the
// layout's records, and a fingerprint of every file below a directory.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "scenario.h"
#include "test_io.h"

namespace filevol {

// Bit by bit: polynomial 0x1021, initial value 0xFFFF, no reflection.
uint16_t crc16(const uint8_t *data, size_t size);
bool readFile(const std::string &path, std::vector<uint8_t> *out);

// CRC-32 and size of every file below dir, keyed by relative path.
std::map<std::string, std::pair<uint32_t, uint64_t>> fingerprint(const std::string &dir);

// A fresh directory under the test temp dir; empty on failure.
std::string makeTempDir(const std::string &tag);

// A file-layout scenario, 160x96 at 10 frames per second with a key frame
// each second and sound, with the given codec code (0 H.265, 1 H.264),
// channel count and "file" options (JSON text); no recordings yet.
Scenario scenario(int codec, int channels, const char *fileOptions, bool synthetic);

// Appends a recording to the scenario.
void add(Scenario *sc, int channel, int64_t start, int64_t end, uint8_t type = 1, bool open = false);

// Local time (the test's TZ) to Unix seconds.
using testio::localTime;

}  // namespace filevol
