// A small, separate parser of the file-layout volume for the tests: reads the
// records back with its own little-endian readers and its own (bitwise)
// CRC-16, so that a mistake in the writer's record code shows up here.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "scenario.h"

namespace filevol {

uint16_t crc16(const uint8_t *data, size_t size);  // bit by bit, poly 0x1021, init 0xFFFF
bool readFile(const std::string &path, std::vector<uint8_t> *out);

struct Base {
  uint32_t magic = 0;
  int64_t total = 0;
  uint8_t channels = 0;
  int32_t iframeRingBytes = 0;
  uint32_t fragRingBytes = 0;
  int32_t recordFileSize = 0;
  bool crcOk = false;
};

struct Meta {
  int32_t sequence = 0;
  uint32_t iframeHead = 0, iframeTail = 0, fragHead = 0, fragTail = 0;
  uint16_t writeFile = 0;
  uint32_t writeOffset = 0;
  int64_t lastTime = 0;
  uint16_t fileCount = 0;
  bool crcOk = false;
};

struct Frag {
  uint32_t id = 0;
  uint8_t type = 0, byte5 = 0;
  int64_t start = 0, end = 0;
  bool crcOk = false;
};

struct Iframe {
  uint8_t byte0 = 0;
  uint16_t file = 0;
  uint32_t offset = 0;
  int64_t time = 0;
  bool crcOk = false;
};

struct Header {
  uint32_t word = 0;
  int64_t time = 0;
  bool crcOk = false;
  bool video() const { return word & 1; }
  bool second() const { return word & 2; }
  int channel() const { return (word >> 2) & 7; }
  uint32_t length() const { return (word >> 5) & 0x3FFFFF; }
  bool eof() const { return word & (1u << 27); }
};

// One frame met while walking the stream.
struct Walked {
  Header header;
  uint16_t file = 0;
  uint32_t offset = 0;
  std::vector<uint8_t> data;
};

struct Volume {
  std::string root;  // the volume directory (holds storage/)
  Base base;
  Meta meta[2];
  bool metaPresent[2] = {false, false};
  std::vector<uint8_t> fragBytes, iframeBytes;
  bool hasDel = false, delCrcOk = false;
  std::vector<uint32_t> deleted;

  // Reads base, meta copies, rings and the deleted list. False when a file
  // the layout always has is missing or short.
  bool load(const std::string &dir, std::string *why);
  // The copy a reader takes: valid, and the larger sequence by signed
  // difference; -1 when neither is valid.
  int current() const;
  // Records between head and tail of the given meta copy, oldest first.
  std::vector<Frag> frags(const Meta &m) const;
  std::vector<Iframe> iframes(const Meta &m) const;
  std::string recordPath(int file) const;
  bool header(int file, uint32_t offset, Header *out) const;
  // Walks the stream from (file, offset) to the frame at (stopFile,
  // stopOffset) inclusive, across record files; counts end-of-file marks.
  // False with *why on a bad header, a read past the data or a loop.
  bool walk(int file, uint32_t offset, int stopFile, uint32_t stopOffset,
            std::vector<Walked> *out, int *eofMarks, std::string *why) const;
};

// crc32 and size of every file below dir, keyed by relative path.
std::map<std::string, std::pair<uint32_t, uint64_t>> fingerprint(const std::string &dir);

// A fresh directory under the test temp dir.
std::string makeTempDir(const std::string &tag);

// A scenario for the file layout with the given codec ("h264"/"h265"),
// channel count and "file" options (JSON text), no recordings yet.
Scenario scenario(int codec, int channels, const char *fileOptions, bool synthetic);

// Appends a recording to the scenario.
void add(Scenario *sc, int channel, int64_t start, int64_t end, uint8_t type = 1, bool open = false);

// Local time (the test's TZ) to Unix seconds.
int64_t localTime(int year, int month, int day, int hour, int minute, int second);

}  // namespace filevol
