#include "file_volume.h"

#include <QJsonDocument>
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <ctime>
#include <filesystem>

namespace fs = std::filesystem;

namespace filevol {

namespace {

// Bounds-checked little-endian field reads from a byte vector.
struct Bytes {
  const std::vector<uint8_t> &v;
  size_t at;
  bool ok;
  Bytes(const std::vector<uint8_t> &bytes, size_t start) : v(bytes), at(start), ok(start <= bytes.size()) {}
  uint64_t le(size_t n, size_t pos) {
    if (!ok || pos > v.size() || n > v.size() - pos) {
      ok = false;
      return 0;
    }
    uint64_t x = 0;
    for (size_t i = 0; i < n; ++i) x |= static_cast<uint64_t>(v[pos + i]) << (8 * i);
    return x;
  }
  uint64_t get(size_t offset, size_t n) { return le(n, at + offset); }
  int64_t time48(size_t offset) {
    const uint64_t high = get(offset, 2), low = get(offset + 2, 4);
    return static_cast<int64_t>(high << 32 | low);
  }
  bool crc(size_t recordSize) {
    if (!ok || at > v.size() || recordSize > v.size() - at) return false;
    return crc16(&v[at], recordSize - 2) == get(recordSize - 2, 2);
  }
};

}  // namespace

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

bool Volume::load(const std::string &dir, std::string *why) {
  root = dir;
  const std::string s = dir + "/storage/";
  std::vector<uint8_t> b;
  if (!readFile(s + "base.dt", &b) || b.size() < 39) return *why = "base.dt", false;
  Bytes br(b, 0);
  base.magic = static_cast<uint32_t>(br.get(0, 4));
  base.total = static_cast<int64_t>(br.get(4, 8));
  base.channels = static_cast<uint8_t>(br.get(12, 1));
  base.iframeRingBytes = static_cast<int32_t>(br.get(21, 4));
  base.fragRingBytes = static_cast<uint32_t>(br.get(25, 4));
  base.recordFileSize = static_cast<int32_t>(br.get(33, 4));
  base.crcOk = br.crc(39);
  for (int c = 0; c < 2; ++c) {
    char name[64];
    std::snprintf(name, sizeof name, "index/meta_%02d.dt", c);
    metaPresent[c] = readFile(s + name, &b) && b.size() >= 57;
    if (!metaPresent[c]) continue;
    Bytes m(b, 0);
    Meta &x = meta[c];
    x.sequence = static_cast<int32_t>(m.get(0, 4));
    x.iframeHead = static_cast<uint32_t>(m.get(4, 4));
    x.iframeTail = static_cast<uint32_t>(m.get(8, 4));
    x.fragHead = static_cast<uint32_t>(m.get(12, 4));
    x.fragTail = static_cast<uint32_t>(m.get(16, 4));
    x.writeFile = static_cast<uint16_t>(m.get(26, 2));
    x.writeOffset = static_cast<uint32_t>(m.get(28, 4));
    x.lastTime = static_cast<int64_t>(m.get(32, 8));
    x.fileCount = static_cast<uint16_t>(m.get(41, 2));
    x.crcOk = m.crc(57);
  }
  if (!readFile(s + "index/frag.dt", &fragBytes)) return *why = "frag.dt", false;
  if (!readFile(s + "index/iframe.dt", &iframeBytes)) return *why = "iframe.dt", false;
  hasDel = readFile(s + "index/del_frag.dt", &b);
  deleted.clear();
  if (hasDel) {
    Bytes d(b, 0);
    const uint32_t count = static_cast<uint32_t>(d.get(0, 4));
    delCrcOk = d.crc(6);
    for (uint32_t i = 0; i < count && d.ok; ++i) {
      const uint32_t id = static_cast<uint32_t>(d.get(6 + 4 * size_t(i), 4));
      if (d.ok) deleted.push_back(id);
    }
  }
  return true;
}

int Volume::current() const {
  const bool v0 = metaPresent[0] && meta[0].crcOk, v1 = metaPresent[1] && meta[1].crcOk;
  if (v0 && v1)
    return static_cast<int32_t>(static_cast<uint32_t>(meta[1].sequence) -
                                static_cast<uint32_t>(meta[0].sequence)) >= 1
               ? 1
               : 0;
  return v1 ? 1 : v0 ? 0 : -1;
}

std::vector<Frag> Volume::frags(const Meta &m) const {
  std::vector<Frag> out;
  const uint32_t ring = base.fragRingBytes & ~31u;
  if (ring == 0) return out;
  for (uint32_t at = m.fragHead; at != m.fragTail && out.size() <= ring / 32; at = (at + 32) % ring) {
    Bytes r(fragBytes, at);
    Frag f;
    f.id = static_cast<uint32_t>(r.get(0, 4));
    f.type = static_cast<uint8_t>(r.get(4, 1));
    f.byte5 = static_cast<uint8_t>(r.get(5, 1));
    f.start = r.time48(6);
    f.end = r.time48(12);
    f.crcOk = r.crc(32);
    if (!r.ok) break;
    out.push_back(f);
  }
  return out;
}

std::vector<Iframe> Volume::iframes(const Meta &m) const {
  std::vector<Iframe> out;
  const uint32_t ring = base.iframeRingBytes > 0 ? uint32_t(base.iframeRingBytes) / 15 * 15 : 0;
  if (ring == 0) return out;
  for (uint32_t at = m.iframeHead; at != m.iframeTail && out.size() <= ring / 15;
       at = (at + 15) % ring) {
    Bytes r(iframeBytes, at);
    Iframe f;
    f.byte0 = static_cast<uint8_t>(r.get(0, 1));
    f.file = static_cast<uint16_t>(r.get(1, 2));
    f.offset = static_cast<uint32_t>(r.get(3, 4));
    f.time = r.time48(7);
    f.crcOk = r.crc(15);
    if (!r.ok) break;
    out.push_back(f);
  }
  return out;
}

std::string Volume::recordPath(int file) const {
  char name[64];
  std::snprintf(name, sizeof name, "/storage/record/rec_%04d.dt", file);
  return root + name;
}

namespace {

bool readAt(const std::string &path, uint64_t offset, size_t n, std::vector<uint8_t> *out) {
  FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  out->assign(n, 0);
  const bool ok = std::fseek(f, static_cast<long>(offset), SEEK_SET) == 0 &&
                  (n == 0 || std::fread(out->data(), 1, n, f) == n);
  std::fclose(f);
  return ok;
}

}  // namespace

bool Volume::header(int file, uint32_t offset, Header *out) const {
  std::vector<uint8_t> h;
  if (!readAt(recordPath(file), offset, 12, &h)) return false;
  Bytes r(h, 0);
  out->word = static_cast<uint32_t>(r.get(0, 4));
  out->time = r.time48(4);
  out->crcOk = r.crc(12);
  return true;
}

bool Volume::walk(int file, uint32_t offset, int stopFile, uint32_t stopOffset,
                  std::vector<Walked> *out, int *eofMarks, std::string *why) const {
  const int count = meta[current() < 0 ? 0 : current()].fileCount;
  const uint64_t size = static_cast<uint64_t>(base.recordFileSize);
  int switches = 0;  // file changes without a frame in between
  *eofMarks = 0;
  for (;;) {
    if (offset + 12ull > size) {
      file = (file + 1) % count;
      offset = 0;
      if (++switches > count + 1) return *why = "no frames in any file", false;
      continue;
    }
    Walked w;
    if (!header(file, offset, &w.header)) return *why = "short header at " + std::to_string(file) + "+" + std::to_string(offset), false;
    if (!w.header.crcOk) return *why = "bad header crc at " + std::to_string(file) + "+" + std::to_string(offset), false;
    if (w.header.eof()) {
      ++*eofMarks;
      file = (file + 1) % count;
      offset = 0;
      if (++switches > count + 1) return *why = "only end-of-file marks", false;
      continue;
    }
    switches = 0;
    w.file = static_cast<uint16_t>(file);
    w.offset = offset;
    if (!readAt(recordPath(file), offset + 12ull, w.header.length(), &w.data))
      return *why = "short data at " + std::to_string(file) + "+" + std::to_string(offset), false;
    out->push_back(std::move(w));
    if (file == stopFile && offset == stopOffset) return true;
    offset += 12 + out->back().header.length();
    if (out->size() > 20000000) return *why = "too many frames", false;
  }
}

std::map<std::string, std::pair<uint32_t, uint64_t>> fingerprint(const std::string &dir) {
  std::map<std::string, std::pair<uint32_t, uint64_t>> out;
  for (const auto &e : fs::recursive_directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    std::vector<uint8_t> b;
    readFile(e.path().string(), &b);
    out[fs::relative(e.path(), dir).string()] = {
        static_cast<uint32_t>(crc32(0L, b.data(), static_cast<uInt>(b.size()))), b.size()};
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

int64_t localTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&t));
}

}  // namespace filevol
