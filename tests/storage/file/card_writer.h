// Builds file-layout card volumes for the tests, byte by byte and on its own:
// it shares no code with the library (its own little-endian writers and its
// own bitwise check word), so a fault in the library's parsing cannot hide
// behind the same fault here.
//
// A TestCard records like a recorder: frames go into the record files one
// after another (an end-of-file mark where the rest of a file cannot take the
// next frame, rotation back to file 0000), key frames add I-frame records,
// and fragments add fragment records. write(dir) lays it all out below dir.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace cardw {

using Bytes = std::vector<uint8_t>;

inline uint16_t crcBitwise(const uint8_t *p, size_t n) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < n; i++) {
    crc ^= static_cast<uint16_t>(p[i] << 8);
    for (int b = 0; b < 8; b++)
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
  }
  return crc;
}

inline void put8(Bytes &b, uint32_t v) { b.push_back(static_cast<uint8_t>(v)); }
inline void put16(Bytes &b, uint32_t v) {
  put8(b, v & 0xFF);
  put8(b, (v >> 8) & 0xFF);
}
inline void put32(Bytes &b, uint32_t v) {
  put16(b, v & 0xFFFF);
  put16(b, v >> 16);
}
inline void put48(Bytes &b, int64_t v) {  // high 16 bits first, then low 32
  put16(b, static_cast<uint32_t>((static_cast<uint64_t>(v) >> 32) & 0xFFFF));
  put32(b, static_cast<uint32_t>(static_cast<uint64_t>(v) & 0xFFFFFFFFu));
}
inline void put64(Bytes &b, int64_t v) {
  put32(b, static_cast<uint32_t>(static_cast<uint64_t>(v) & 0xFFFFFFFFu));
  put32(b, static_cast<uint32_t>(static_cast<uint64_t>(v) >> 32));
}
inline void zeros(Bytes &b, size_t n) { b.insert(b.end(), n, 0); }
// Closes a record with the check word over everything before it.
inline void seal(Bytes &b) { put16(b, crcBitwise(b.data(), b.size())); }

inline Bytes baseRecord(uint32_t magic, uint8_t channels, int32_t iframeRing, uint32_t fragRing,
                        int32_t recordFileSize) {
  Bytes b;
  put32(b, magic);
  put64(b, 123456789);  // total, unused by readers
  put8(b, channels);
  zeros(b, 8);
  put32(b, static_cast<uint32_t>(iframeRing));
  put32(b, fragRing);
  zeros(b, 4);
  put32(b, static_cast<uint32_t>(recordFileSize));
  seal(b);
  return b;
}

struct Meta {
  int32_t sequence = 1;
  uint32_t iframeHead = 0, iframeTail = 0, fragHead = 0, fragTail = 0;
  uint16_t writeFile = 0;
  uint32_t writeOffset = 0;
  int64_t lastTime = 0;
  uint16_t recFileCount = 1;
};

inline Bytes metaRecord(const Meta &m) {
  Bytes b;
  put32(b, static_cast<uint32_t>(m.sequence));
  put32(b, m.iframeHead);
  put32(b, m.iframeTail);
  put32(b, m.fragHead);
  put32(b, m.fragTail);
  put32(b, 0xAABBCCDD);  // reserved words the recorder uses for itself
  put16(b, 0x1122);
  put16(b, m.writeFile);
  put32(b, m.writeOffset);
  put64(b, m.lastTime);
  put8(b, 0);
  put16(b, m.recFileCount);
  zeros(b, 12);
  seal(b);
  return b;
}

inline Bytes fragRecord(uint32_t id, uint8_t type, uint8_t videoType, int64_t start, int64_t end) {
  Bytes b;
  put32(b, id);
  put8(b, type);
  put8(b, videoType | 0xFC);  // upper bits carry nothing the reader may use
  put48(b, start);
  put48(b, end);
  zeros(b, 12);
  seal(b);
  return b;
}

inline Bytes iframeRecord(uint8_t channel, uint16_t file, uint32_t offset, int64_t timeMs) {
  Bytes b;
  put8(b, channel | 0xF8);
  put16(b, file);
  put32(b, offset);
  put48(b, timeMs);
  seal(b);
  return b;
}

inline uint32_t frameWord(bool video, uint8_t channel, uint32_t length, bool eof = false) {
  return (video ? 1u : 0u) | (static_cast<uint32_t>(channel & 7) << 2) | ((length & 0x3FFFFF) << 5) |
         (eof ? (1u << 27) : 0u);
}

inline Bytes frameHeader(uint32_t word, int64_t timeMs) {
  Bytes b;
  put32(b, word);
  put48(b, timeMs);
  seal(b);
  return b;
}

inline Bytes delFile(const std::vector<uint32_t> &ids, uint32_t count) {
  Bytes b;
  put32(b, count);
  seal(b);
  for (uint32_t id : ids) put32(b, id);
  return b;
}

inline void writeBytes(const std::string &path, const Bytes &bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

inline void placeAt(Bytes &file, size_t at, const Bytes &what) {
  if (file.size() < at + what.size()) file.resize(at + what.size());
  std::copy(what.begin(), what.end(), file.begin() + static_cast<std::ptrdiff_t>(at));
}

struct FramePos {
  uint16_t file;
  uint32_t offset;
};

struct TestCard {
  uint8_t channels = 2;
  int32_t iframeRingBytes = 15 * 64;
  uint32_t fragRingBytes = 32 * 64;
  int32_t recordFileSize = 4096;
  uint16_t recFileCount = 4;
  // Ring index of the oldest record: above zero, the rings wrap.
  uint32_t fragHeadIndex = 0;
  uint32_t iframeHeadIndex = 0;
  bool writeDel = true;
  std::vector<uint32_t> deleted;
  int32_t sequence = 5;

  std::vector<Bytes> rec;
  std::vector<Bytes> frags;    // oldest first
  std::vector<Bytes> iframes;  // oldest first
  FramePos next{0, 0};         // where the next frame goes
  FramePos newest{0, 0};       // header of the newest frame
  int64_t lastTime = 0;

  // Appends a frame; key frames get an I-frame record. Returns its place.
  FramePos frame(bool video, uint8_t channel, int64_t timeMs, const Bytes &data, bool key = false) {
    if (rec.empty()) rec.resize(recFileCount);
    const int64_t need = 12 + static_cast<int64_t>(data.size());
    if (next.offset + need > recordFileSize) {
      if (next.offset + 12 <= static_cast<uint32_t>(recordFileSize))
        placeAt(rec[next.file], next.offset, frameHeader(frameWord(false, 0, 0, true), timeMs));
      next.file = static_cast<uint16_t>((next.file + 1) % recFileCount);
      next.offset = 0;
    }
    Bytes bytes = frameHeader(frameWord(video, channel, static_cast<uint32_t>(data.size())), timeMs);
    bytes.insert(bytes.end(), data.begin(), data.end());
    placeAt(rec[next.file], next.offset, bytes);
    FramePos at = next;
    if (key) iframes.push_back(iframeRecord(channel, at.file, at.offset, timeMs));
    newest = at;
    lastTime = timeMs;
    next.offset += static_cast<uint32_t>(need);
    return at;
  }

  void fragment(uint32_t id, int64_t start, int64_t end, uint8_t type = 0x12, uint8_t videoType = 1) {
    frags.push_back(fragRecord(id, type, videoType, start, end));
  }

  uint32_t fragSlots() const { return (fragRingBytes & ~31u) / 32; }
  uint32_t iframeSlots() const { return static_cast<uint32_t>(iframeRingBytes / 15); }

  Meta meta() const {
    Meta m;
    m.sequence = sequence;
    m.fragHead = (fragHeadIndex % fragSlots()) * 32;
    m.fragTail = ((fragHeadIndex + frags.size()) % fragSlots()) * 32;
    m.iframeHead = (iframeHeadIndex % iframeSlots()) * 15;
    m.iframeTail = static_cast<uint32_t>(((iframeHeadIndex + iframes.size()) % iframeSlots()) * 15);
    m.writeFile = newest.file;
    m.writeOffset = newest.offset;
    m.lastTime = lastTime;
    m.recFileCount = recFileCount;
    return m;
  }

  Bytes fragRing() const {
    Bytes ring(fragRingBytes, 0);
    for (size_t i = 0; i < frags.size(); i++)
      placeAt(ring, ((fragHeadIndex + i) % fragSlots()) * 32, frags[i]);
    return ring;
  }

  Bytes iframeRing() const {
    Bytes ring(static_cast<size_t>(iframeRingBytes), 0);
    for (size_t i = 0; i < iframes.size(); i++)
      placeAt(ring, ((iframeHeadIndex + i) % iframeSlots()) * 15, iframes[i]);
    return ring;
  }

  // The card's files, by path below the volume directory; meta copy 01 is
  // an older, valid copy.
  std::vector<std::pair<std::string, Bytes>> files() const {
    std::vector<std::pair<std::string, Bytes>> out;
    out.emplace_back("storage/base.dt",
                     baseRecord(0x0135263B, channels, iframeRingBytes, fragRingBytes, recordFileSize));
    Meta m = meta();
    out.emplace_back("storage/index/meta_00.dt", metaRecord(m));
    Meta older = m;
    older.sequence = m.sequence - 1;
    older.lastTime = m.lastTime - 1000;
    out.emplace_back("storage/index/meta_01.dt", metaRecord(older));
    out.emplace_back("storage/index/frag.dt", fragRing());
    out.emplace_back("storage/index/iframe.dt", iframeRing());
    if (writeDel)
      out.emplace_back("storage/index/del_frag.dt", delFile(deleted, static_cast<uint32_t>(deleted.size())));
    for (uint16_t i = 0; i < recFileCount; i++) {
      char name[40];
      snprintf(name, sizeof name, "storage/record/rec_%04u.dt", i);
      out.emplace_back(name, i < rec.size() ? rec[i] : Bytes());
    }
    return out;
  }

  void write(const std::string &dir) const {
    for (const auto &f : files()) writeBytes(dir + "/" + f.first, f.second);
  }
};

}  // namespace cardw
