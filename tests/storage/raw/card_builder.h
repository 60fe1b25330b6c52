// Builds raw-disk card images for the tests, byte by byte, as the recorder
// lays them out: card information at 100 MiB, per-channel indexes, lists and
// a frame ring. Written into a sparse file, so a card of 200 MiB costs only
// the bytes actually put into it.
#pragma once

#include <fcntl.h>
#include <stdint.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace cardtest {

constexpr uint64_t kCardInfo = 0x6400000;

// Addresses of one channel's areas; each channel gets 16 MiB above 101 MiB.
struct ChannelAreas {
  uint64_t fragIdx, fragPart, iframeIdx, iframePart, framePart, frameRetrace;
  static ChannelAreas forChannel(int c, uint64_t ringSize = 0x10000) {
    uint64_t base = 0x6500000 + static_cast<uint64_t>(c) * 0x1000000;
    return {base, base + 0x100000, base + 0x200000, base + 0x300000, base + 0x800000,
            base + 0x800000 + ringSize};
  }
};

struct Frag {
  int64_t start, end;
  uint64_t startAddr, endAddr;
  uint8_t type;
};

class CardImage {
 public:
  CardImage(const std::string &path, uint64_t size = 0xA000000) : path_(path) {
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd_ < 0 || ftruncate(fd_, static_cast<off_t>(size)) != 0)
      throw std::runtime_error("cannot make " + path);
  }
  ~CardImage() {
    if (fd_ >= 0) close(fd_);
  }
  const std::string &path() const { return path_; }

  void bytes(uint64_t addr, const std::vector<uint8_t> &b) {
    if (pwrite(fd_, b.data(), b.size(), static_cast<off_t>(addr)) != static_cast<ssize_t>(b.size()))
      throw std::runtime_error("write failed");
  }
  void u8(uint64_t addr, uint8_t v) { bytes(addr, {v}); }
  void u32(uint64_t addr, uint32_t v) { bytes(addr, le(v, 4)); }
  void u64(uint64_t addr, uint64_t v) { bytes(addr, le(v, 8)); }

  // Card information with a correct checksum over bytes 4..16+64*n, where n
  // is byte16 & 7 (any n, so that bad channel numbers can be written too).
  void cardInfo(int64_t total, uint8_t byte16, const std::vector<ChannelAreas> &channels) {
    std::vector<uint8_t> info(273, 0);
    put(info, 4, 0x5A5A5A5A, 4);  // the field no reader looks at, under the sum
    put(info, 8, static_cast<uint64_t>(total), 8);
    info[16] = byte16;
    for (size_t c = 0; c < channels.size() && c < 4; c++) {
      size_t p = 17 + 64 * c;
      const ChannelAreas &a = channels[c];
      put(info, p, a.fragIdx, 8);
      put(info, p + 8, a.fragPart, 8);
      put(info, p + 24, a.iframeIdx, 8);
      put(info, p + 32, a.iframePart, 8);
      put(info, p + 48, a.framePart, 8);
      put(info, p + 56, a.frameRetrace, 8);
    }
    uint32_t sum = 0;
    size_t last = 16 + 64 * static_cast<size_t>(byte16 & 7);
    for (size_t i = 4; i <= last && i < info.size(); i++) sum += info[i];
    put(info, 0, sum, 4);
    bytes(kCardInfo, info);
  }

  // An index: count, then (time, list address) records.
  void index(uint64_t addr, const std::vector<std::pair<int64_t, uint64_t>> &recs) {
    u32(addr, static_cast<uint32_t>(recs.size()));
    for (size_t i = 0; i < recs.size(); i++) {
      u64(addr + 4 + 16 * i, static_cast<uint64_t>(recs[i].first));
      u64(addr + 12 + 16 * i, recs[i].second);
    }
  }

  void fragmentList(uint64_t addr, const std::vector<Frag> &frags) {
    u32(addr, static_cast<uint32_t>(frags.size()));
    for (size_t i = 0; i < frags.size(); i++) {
      uint64_t p = addr + 4 + 33 * i;
      u64(p, static_cast<uint64_t>(frags[i].start));
      u64(p + 8, static_cast<uint64_t>(frags[i].end));
      u64(p + 16, frags[i].startAddr);
      u64(p + 24, frags[i].endAddr);
      u8(p + 32, frags[i].type);
    }
  }

  // An I-frame list: (time ms, frame address) records. Same shape as an index.
  void iframeList(uint64_t addr, const std::vector<std::pair<int64_t, uint64_t>> &recs) {
    index(addr, recs);
  }

  // A frame header and its data; data byte j is (seed + j) & 0xFF.
  void frame(uint64_t addr, uint32_t len, int64_t timeMs, uint8_t flags, uint8_t seed) {
    std::vector<uint8_t> b = le(len, 4);
    std::vector<uint8_t> t = le(static_cast<uint64_t>(timeMs), 8);
    b.insert(b.end(), t.begin(), t.end());
    b.push_back(flags);
    for (uint32_t j = 0; j < len; j++) b.push_back(static_cast<uint8_t>(seed + j));
    bytes(addr, b);
  }

 private:
  static std::vector<uint8_t> le(uint64_t v, int n) {
    std::vector<uint8_t> b;
    for (int i = 0; i < n; i++) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return b;
  }
  static void put(std::vector<uint8_t> &b, size_t at, uint64_t v, int n) {
    for (int i = 0; i < n; i++) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
  }

  std::string path_;
  int fd_ = -1;
};

}  // namespace cardtest
