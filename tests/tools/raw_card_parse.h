// Reads a few things straight out of a raw-disk card image for the tests:
// little-endian fields, the channel records of the card information and an
// index. Enough to find the bytes a test wants to look at or damage.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace rawimg {

inline uint32_t le32(const uint8_t *p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t le64(const uint8_t *p) {
  return le32(p) | (static_cast<uint64_t>(le32(p + 4)) << 32);
}

class Image {
 public:
  explicit Image(const std::string &path) { fd_ = ::open(path.c_str(), O_RDONLY); }
  ~Image() {
    if (fd_ >= 0) ::close(fd_);
  }
  Image(const Image &) = delete;
  // n bytes at addr; empty when they cannot all be read.
  std::vector<uint8_t> read(uint64_t addr, size_t n) const {
    std::vector<uint8_t> b(n);
    if (pread(fd_, b.data(), n, static_cast<off_t>(addr)) != static_cast<ssize_t>(n)) b.clear();
    return b;
  }
  uint32_t u32(uint64_t addr) const {
    auto b = read(addr, 4);
    return b.empty() ? 0xFFFFFFFFu : le32(b.data());
  }
  uint64_t u64(uint64_t addr) const {
    auto b = read(addr, 8);
    return b.empty() ? ~0ull : le64(b.data());
  }

 private:
  int fd_ = -1;
};

constexpr uint64_t kCardInfo = 0x6400000;

struct ChannelInfo {
  uint64_t fragIdx, fragPart, iframeIdx, iframePart, framePart, frameRetrace;
};
struct IndexRecord {
  int64_t time;
  uint64_t listAddr;
};

inline ChannelInfo channelInfo(const std::vector<uint8_t> &card, int c) {
  const uint8_t *p = card.data() + 17 + 64 * c;
  return {le64(p), le64(p + 8), le64(p + 24), le64(p + 32), le64(p + 48), le64(p + 56)};
}

// The records of a fragment or I-frame index; empty when the count is not
// believable or the records cannot be read.
inline std::vector<IndexRecord> readIndex(const Image &img, uint64_t addr) {
  std::vector<IndexRecord> out;
  uint32_t n = img.u32(addr);
  if (n > 65535) return out;
  auto b = img.read(addr + 4, n * 16ull);
  for (uint32_t i = 0; i < n && !b.empty(); ++i)
    out.push_back({static_cast<int64_t>(le64(&b[i * 16])), le64(&b[i * 16 + 8])});
  return out;
}

}  // namespace rawimg
