// Helpers for the tests of simulated file-layout volumes.
#include "file_volume.h"

#include <QJsonDocument>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

namespace filevol {

uint16_t crc16(const uint8_t *data, size_t size) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < size; ++i) {
    crc ^= static_cast<uint16_t>(data[i] << 8);
    for (int b = 0; b < 8; ++b)
      crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

bool readFile(const std::string &path, std::vector<uint8_t> *out) {
  out->clear();
  FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  std::fclose(f);
  return true;
}

std::map<std::string, std::pair<uint32_t, uint64_t>> fingerprint(const std::string &dir) {
  std::map<std::string, std::pair<uint32_t, uint64_t>> out;
  for (const auto &e : fs::recursive_directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    out[fs::relative(e.path(), dir).string()] = {testio::fileCrc32(e.path().string()), e.file_size()};
  }
  return out;
}

std::string makeTempDir(const std::string &tag) {
  std::string base = testing::TempDir();
  if (!base.empty() && base.back() != '/') base += '/';
  std::string pattern = base + "cardsim_file_" + tag + "_XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) return std::string();
  return buf.data();
}

Scenario scenario(int codec, int channels, const char *fileOptions, bool synthetic) {
  Scenario s;
  s.layout = "file";
  s.codec = codec;
  s.channels = channels;
  s.width = 160;
  s.height = 96;
  s.fps = 10;
  s.gop = 10;
  s.audio = true;
  s.media = synthetic ? "synthetic" : "encoded";
  s.file = QJsonDocument::fromJson(QByteArray(fileOptions ? fileOptions : "{}")).object();
  return s;
}

void add(Scenario *sc, int channel, int64_t start, int64_t end, uint8_t type, bool open) {
  Recording r;
  r.channel = channel;
  r.start = start;
  r.end = end;
  r.type = type;
  r.open = open;
  sc->recordings.push_back(r);
}

}  // namespace filevol
