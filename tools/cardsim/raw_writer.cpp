// The raw-disk card writer. Lays the card out as the recorder does:
//
//   0x6400000          card information (273 bytes, own 1 MiB)
//   0x6500000          channel 0: fragment index (1 MiB), fragment lists,
//                      I-frame index (1 MiB), I-frame lists, frame ring
//                      (+ 2 MiB after the wrap point for a frame that starts
//                      just before it), then channel 1, ...
//
// Every record is written field by field in little-endian order. The image is
// sparse: only the bytes written take space.
#include "raw_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <QJsonArray>
#include <QJsonValue>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "media.h"

namespace {

constexpr uint64_t kCardInfoAddr = 0x6400000;
constexpr size_t kCardInfoSize = 273;
constexpr uint64_t kMiB = 0x100000;
constexpr uint64_t kRingSlack = 0x200000;  // a frame may run this far past the wrap point
constexpr uint32_t kMaxIndexCount = 65535;
constexpr uint32_t kFragmentsPerListMax = 256;
constexpr uint32_t kIframesPerListMax = 2048;
constexpr uint64_t kFragmentListBlock = 4 + 256 * 33;   // 8452
constexpr uint64_t kIframeListBlock = 4 + 2048 * 16;    // 32772
constexpr uint64_t kIndexArea = kMiB;                   // 4 + 65535 * 16 rounded up
constexpr size_t kFrameHeader = 13;

uint64_t roundUp(uint64_t v, uint64_t to) { return (v + to - 1) / to * to; }

void put8(std::vector<uint8_t> &b, uint8_t v) { b.push_back(v); }
void put32(std::vector<uint8_t> &b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put64(std::vector<uint8_t> &b, uint64_t v) {
  for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void set32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void set64(uint8_t *p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool fail(std::string *error, const std::string &m) {
  *error = m;
  return false;
}

// Options of the "raw" object, checked.
struct RawOptions {
  uint64_t diskSize = 0;  // 0: just large enough
  uint64_t frameAreaSize = 64 * kMiB;
  uint32_t fragmentsPerList = kFragmentsPerListMax;
  uint32_t iframesPerList = kIframesPerListMax;
  int64_t fragmentListSlots = -1;  // -1: as many as the recordings need
  int64_t iframeListSlots = -1;
  uint64_t ringStart = 0;
  int64_t ringStartBeforeEnd = -1;
  int64_t formatTime = -1;
  // Faults.
  bool badChecksum = false;
  int channelCount = -1;  // byte 16 bits 0-2 as written; -1: the real count
  int faultChannel = 0;
  int64_t fragmentIndexCount = -1;
  int64_t iframeIndexCount = -1;
  int64_t fragmentListCount = -1;
  int64_t iframeListCount = -1;
  int64_t truncateAt = -1;
  int64_t newestIframeAheadMs = 0;
  int64_t fragmentIndexRepeat = 0;
  int64_t fragmentIndexRepeatStep = 0;
};

bool readU64(const QJsonObject &o, const char *key, uint64_t lo, uint64_t hi, uint64_t *out,
             std::string *error) {
  if (!o.contains(key)) return true;
  QJsonValue v = o.value(key);
  double d = v.toDouble(NAN);
  if (!v.isDouble() || d != std::floor(d) || d < static_cast<double>(lo) ||
      d > static_cast<double>(hi))
    return fail(error, std::string("raw: \"") + key + "\" must be a whole number from " +
                           std::to_string(lo) + " to " + std::to_string(hi));
  *out = static_cast<uint64_t>(d);
  return true;
}
template <typename T>
bool readNum(const QJsonObject &o, const char *key, uint64_t lo, uint64_t hi, T *out,
             std::string *error) {
  uint64_t v = 0;
  if (!o.contains(key)) return true;
  if (!readU64(o, key, lo, hi, &v, error)) return false;
  *out = static_cast<T>(v);
  return true;
}

bool parseOptions(const QJsonObject &o, RawOptions *opt, std::string *error) {
  static const char *const known[] = {
      "diskSize",          "frameAreaSize",    "fragmentsPerList",   "iframesPerList",
      "fragmentListSlots", "iframeListSlots",  "ringStart",          "ringStartBeforeEnd",
      "formatTime",        "badChecksum",      "channelCount",       "faultChannel",
      "fragmentIndexCount", "iframeIndexCount", "fragmentListCount", "iframeListCount",
      "truncateAt",        "newestIframeAheadMs", "fragmentIndexRepeat", "fragmentIndexRepeatStep"};
  for (auto it = o.begin(); it != o.end(); ++it)
    if (std::none_of(std::begin(known), std::end(known),
                     [&](const char *k) { return it.key() == QLatin1String(k); }))
      return fail(error, "raw: unknown option \"" + it.key().toStdString() + "\"");
  const uint64_t big = 1ull << 50;
  if (!readU64(o, "diskSize", 0, big, &opt->diskSize, error)) return false;
  if (!readU64(o, "frameAreaSize", 64 * 1024, big, &opt->frameAreaSize, error)) return false;
  if (!readNum(o, "fragmentsPerList", 1, kFragmentsPerListMax, &opt->fragmentsPerList, error))
    return false;
  if (!readNum(o, "iframesPerList", 1, kIframesPerListMax, &opt->iframesPerList, error))
    return false;
  if (!readNum(o, "fragmentListSlots", 1, 1u << 24, &opt->fragmentListSlots, error)) return false;
  if (!readNum(o, "iframeListSlots", 1, 1u << 24, &opt->iframeListSlots, error)) return false;
  if (!readU64(o, "ringStart", 0, big, &opt->ringStart, error)) return false;
  if (!readNum(o, "ringStartBeforeEnd", 0, big, &opt->ringStartBeforeEnd, error)) return false;
  if (!readNum(o, "formatTime", 0, 0xFFFFFFFFull, &opt->formatTime, error)) return false;
  if (o.contains("badChecksum")) {
    if (!o.value("badChecksum").isBool()) return fail(error, "raw: \"badChecksum\" must be true or false");
    opt->badChecksum = o.value("badChecksum").toBool();
  }
  if (!readNum(o, "channelCount", 0, 7, &opt->channelCount, error)) return false;
  if (!readNum(o, "faultChannel", 0, 3, &opt->faultChannel, error)) return false;
  if (!readNum(o, "fragmentIndexCount", 0, 0xFFFFFFFFull, &opt->fragmentIndexCount, error))
    return false;
  if (!readNum(o, "iframeIndexCount", 0, 0xFFFFFFFFull, &opt->iframeIndexCount, error))
    return false;
  if (!readNum(o, "fragmentListCount", 0, 0xFFFFFFFFull, &opt->fragmentListCount, error))
    return false;
  if (!readNum(o, "iframeListCount", 0, 0xFFFFFFFFull, &opt->iframeListCount, error))
    return false;
  if (!readNum(o, "truncateAt", 0, big, &opt->truncateAt, error)) return false;
  if (!readNum(o, "newestIframeAheadMs", 0, 1ull << 40, &opt->newestIframeAheadMs, error))
    return false;
  if (!readNum(o, "fragmentIndexRepeat", 0, kMaxIndexCount, &opt->fragmentIndexRepeat, error))
    return false;
  if (!readNum(o, "fragmentIndexRepeatStep", 0, 1ull << 32, &opt->fragmentIndexRepeatStep, error))
    return false;
  if (opt->frameAreaSize % 4096) return fail(error, "raw: \"frameAreaSize\" must be a multiple of 4096");
  if (opt->ringStart >= opt->frameAreaSize ||
      (opt->ringStartBeforeEnd > 0 &&
       static_cast<uint64_t>(opt->ringStartBeforeEnd) > opt->frameAreaSize))
    return fail(error, "raw: the ring start must lie inside the frame area");
  if (opt->ringStartBeforeEnd > 0) opt->ringStart = opt->frameAreaSize - opt->ringStartBeforeEnd;
  return true;
}

// Where one channel's structures lie.
struct ChannelAreas {
  uint64_t fragIdx, fragPart, fragPartSize, iframeIdx, iframePart, iframePartSize, framePart,
      frameRetrace, end;
  uint64_t fragSlots, iframeSlots;  // list blocks the areas were reserved for
};

// Writes to the image, gathering contiguous bytes into large writes.
class ImageWriter {
 public:
  ImageWriter(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~ImageWriter() { flushBuffer(); }

  bool write(uint64_t addr, const uint8_t *p, size_t n) {
    if (addr + n > size_ || addr + n < addr) {
      err_ = "a write at " + std::to_string(addr) + " would pass the end of the disk";
      return false;
    }
    if (!buf_.empty() && addr != bufAddr_ + buf_.size() && !flushBuffer()) return false;
    if (buf_.empty()) bufAddr_ = addr;
    buf_.insert(buf_.end(), p, p + n);
    written_ += n;
    if (buf_.size() >= (4u << 20)) return flushBuffer();
    return true;
  }
  bool write(uint64_t addr, const std::vector<uint8_t> &b) { return write(addr, b.data(), b.size()); }

  bool flushBuffer() {
    size_t done = 0;
    while (done < buf_.size()) {
      ssize_t r = pwrite(fd_, buf_.data() + done, buf_.size() - done, bufAddr_ + done);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        err_ = std::string("write failed: ") + strerror(errno);
        buf_.clear();
        return false;
      }
      done += static_cast<size_t>(r);
    }
    buf_.clear();
    return true;
  }
  const std::string &error() const { return err_; }
  uint64_t written() const { return written_; }

 private:
  int fd_;
  uint64_t size_;
  std::vector<uint8_t> buf_;
  uint64_t bufAddr_ = 0;
  uint64_t written_ = 0;
  std::string err_;
};

struct FragmentRecord {
  int64_t startTime, endTime;
  uint64_t startAddr, endAddr;
  uint8_t type;
};
struct IframeRecord {
  int64_t timeMs;
  uint64_t frameAddr;
};

// Streams the manifest as JSON, one line per frame.
class Manifest {
 public:
  bool open(const std::string &path, std::string *error) {
    if (path.empty()) return true;
    f_ = fopen(path.c_str(), "w");
    if (!f_) return fail(error, "cannot write the manifest " + path);
    fputs("{\"channels\":[\n", f_);
    return true;
  }
  bool active() const { return f_ != nullptr; }
  void beginChannel(int c, const ChannelAreas &a, bool first) {
    if (!f_) return;
    fprintf(f_,
            "%s{\"channel\":%d,\"framePartAddr\":%llu,\"frameRetraceAddr\":%llu,\"frames\":[\n",
            first ? "" : ",\n", c, static_cast<unsigned long long>(a.framePart),
            static_cast<unsigned long long>(a.frameRetrace));
    firstFrame_ = true;
  }
  void frame(const StoredFrame &f, uint64_t addr) {
    if (!f_) return;
    uint32_t crc = static_cast<uint32_t>(crc32(0, f.data.data(), static_cast<uInt>(f.data.size())));
    fprintf(f_, "%s{\"time\":%lld,\"video\":%d,\"key\":%d,\"addr\":%llu,\"size\":%zu,\"crc\":%u}",
            firstFrame_ ? "" : ",\n", static_cast<long long>(f.timeMs), f.video ? 1 : 0,
            f.key ? 1 : 0, static_cast<unsigned long long>(addr), f.data.size(), crc);
    firstFrame_ = false;
  }
  void endChannel(const std::vector<FragmentRecord> &frags, const std::vector<bool> &open) {
    if (!f_) return;
    fputs("\n],\"fragments\":[", f_);
    for (size_t i = 0; i < frags.size(); ++i)
      fprintf(f_, "%s\n{\"start\":%lld,\"end\":%lld,\"startAddr\":%llu,\"endAddr\":%llu,\"type\":%u,\"open\":%s}",
              i ? "," : "", static_cast<long long>(frags[i].startTime),
              static_cast<long long>(frags[i].endTime),
              static_cast<unsigned long long>(frags[i].startAddr),
              static_cast<unsigned long long>(frags[i].endAddr), frags[i].type,
              open[i] ? "true" : "false");
    fputs("]}", f_);
  }
  bool close() {
    if (!f_) return true;
    fputs("\n]}\n", f_);
    bool ok = fclose(f_) == 0;
    f_ = nullptr;
    return ok;
  }
  ~Manifest() {
    if (f_) fclose(f_);
  }

 private:
  FILE *f_ = nullptr;
  bool firstFrame_ = true;
};

// Number of key frames generateRecording makes for a recording: one every
// gop video frames, starting with the first.
uint64_t keyFramesOf(const Scenario &s, const Recording &r) {
  const int64_t t0 = r.start * 1000, t1 = r.end * 1000;
  // Video frame i is at t0 + i * 1000 / fps; count those before t1.
  int64_t n = ((t1 - t0) * s.fps + 999) / 1000;
  while (n > 0 && t0 + (n - 1) * 1000 / s.fps >= t1) --n;
  while (t0 + n * 1000 / s.fps < t1) ++n;
  return static_cast<uint64_t>((n + s.gop - 1) / s.gop);
}

}  // namespace

const char *rawLayoutHelp() {
  return R"(Options of the "raw" object (all optional):
  diskSize            size of the image in bytes; default: just large enough
  frameAreaSize       bytes of each channel's frame ring, a multiple of 4096
                      (default 67108864); 2 MiB more follow the wrap point
                      for a frame that starts just before it
  fragmentsPerList    fragments per fragment list, 1..256 (default 256)
  iframesPerList      I-frames per I-frame list, 1..2048 (default 2048);
                      small values give several lists with few recordings
  fragmentListSlots   fragment list blocks reserved per channel (default:
  iframeListSlots     as many as the recordings need)
  ringStart           byte offset into the frame ring of the first frame
  ringStartBeforeEnd  same, counted back from the wrap point: the frames
                      wrap back to the ring's start after about this many
                      bytes (the recordings must fit into the ring)
  formatTime          card bytes 4-7: Unix seconds the card was formatted
                      (default: one day before the first recording)
  Faults, to test readers:
  badChecksum         true: the card checksum is one too large
  channelCount        0..7 written as the channel count (card byte 16)
  faultChannel        channel the faults below apply to (default 0)
  fragmentIndexCount  count written into the fragment index (e.g. 65536)
  iframeIndexCount    count written into the I-frame index
  fragmentListCount   count written into the newest fragment list (e.g. 257)
  iframeListCount     count written into the newest I-frame list
  truncateAt          cut the image at this byte offset
  newestIframeAheadMs the newest I-frame record says this many ms later
                      than its frame (the data ends before the index does)
  fragmentIndexRepeat N  the fragment index holds N records (up to 65535),
                      all pointing at the first fragment list; their times
  fragmentIndexRepeatStep  go up by this many seconds from one to the next
                      (default 0: all the same)
A recording with "open": true is still being recorded: its fragment record
has end time 0 and end address 0; frames after its last I-frame are stored.
A channel without recordings has empty indexes.
Fields that readers do not use: card bytes 4-7 hold the format time, bytes
8-15 the disk size, bits 5-7 of byte 16 are 0; channel information bytes
16-23 hold the size of the fragment list area and bytes 40-47 the size of
the I-frame list area. Bits 4-7 of a frame's flags are 1 for a video key
frame and 0 otherwise.
)";
}

bool writeRawCard(const Scenario &s, const std::string &path, const std::string &manifestPath,
                  RawWriteSummary *summary, std::string *error) {
  RawOptions opt;
  if (!parseOptions(s.raw, &opt, error)) return false;

  // Reserve each channel's areas.
  std::vector<ChannelAreas> areas(s.channels);
  uint64_t at = kCardInfoAddr + kMiB;
  for (int c = 0; c < s.channels; ++c) {
    uint64_t frags = 0, iframes = 0;
    for (const Recording &r : s.recordings)
      if (r.channel == c) {
        ++frags;
        iframes += keyFramesOf(s, r);
      }
    uint64_t fragSlots = opt.fragmentListSlots > 0
                             ? static_cast<uint64_t>(opt.fragmentListSlots)
                             : std::max<uint64_t>(1, (frags + opt.fragmentsPerList - 1) / opt.fragmentsPerList);
    uint64_t iframeSlots = opt.iframeListSlots > 0
                               ? static_cast<uint64_t>(opt.iframeListSlots)
                               : std::max<uint64_t>(1, (iframes + opt.iframesPerList - 1) / opt.iframesPerList);
    ChannelAreas &a = areas[c];
    a.fragIdx = at;
    a.fragPart = a.fragIdx + kIndexArea;
    a.fragPartSize = roundUp(fragSlots * kFragmentListBlock, kMiB);
    a.iframeIdx = a.fragPart + a.fragPartSize;
    a.iframePart = a.iframeIdx + kIndexArea;
    a.iframePartSize = roundUp(iframeSlots * kIframeListBlock, kMiB);
    a.framePart = a.iframePart + a.iframePartSize;
    a.frameRetrace = a.framePart + opt.frameAreaSize;
    a.end = a.frameRetrace + kRingSlack;
    a.fragSlots = fragSlots;
    a.iframeSlots = iframeSlots;
    at = a.end;
  }
  const uint64_t needed = roundUp(at, kMiB);
  const uint64_t diskSize = opt.diskSize ? opt.diskSize : needed;
  if (diskSize < needed)
    return fail(error, "raw: \"diskSize\" " + std::to_string(diskSize) + " is too small: the layout needs " +
                           std::to_string(needed) + " bytes");

  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return fail(error, "cannot create " + path + ": " + strerror(errno));
  std::unique_ptr<int, void (*)(int *)> closer(&fd, [](int *f) { ::close(*f); });
  if (ftruncate(fd, static_cast<off_t>(diskSize)) != 0)
    return fail(error, "cannot size " + path + ": " + strerror(errno));
  ImageWriter out(fd, diskSize);
  Manifest manifest;
  if (!manifest.open(manifestPath, error)) return false;
  RawWriteSummary sum;

  for (int c = 0; c < s.channels; ++c) {
    const ChannelAreas &a = areas[c];
    const uint64_t fragSlots = a.fragSlots, iframeSlots = a.iframeSlots;
    std::vector<FragmentRecord> frags;
    std::vector<bool> fragOpen;
    std::vector<IframeRecord> iframes;
    manifest.beginChannel(c, a, c == 0);

    // The frame ring: frames lie back to back from ringStart; when the next
    // position reaches the wrap point, the next frame goes to the ring's
    // start. The first frame written is never overwritten.
    const uint64_t firstAddr = a.framePart + opt.ringStart;
    uint64_t pos = firstAddr;
    bool wrapped = false;
    std::string genError;
    bool ringFull = false, writeFailed = false;
    std::vector<uint8_t> header(kFrameHeader);

    for (const Recording &rec : s.recordings) {
      if (rec.channel != c) continue;
      // Its times as the recorder's clock read them.
      const int64_t start = clockTimeMs(s, c, rec.start * 1000) / 1000;
      const int64_t end = clockTimeMs(s, c, rec.end * 1000) / 1000;
      FragmentRecord fr{start, rec.open ? 0 : end, pos, 0, rec.type};
      uint64_t endAddr = pos;
      auto sink = [&](const StoredFrame &f) {
        const uint64_t len = f.data.size();
        const uint64_t next = pos + kFrameHeader + len;
        if (len > kRingSlack - kFrameHeader || (wrapped && next > firstAddr)) {
          ringFull = true;
          return false;
        }
        set32(header.data(), static_cast<uint32_t>(len));
        set64(header.data() + 4, static_cast<uint64_t>(f.timeMs));
        header[12] = static_cast<uint8_t>((f.video ? 1 : 0) | (f.video && f.key ? 0x10 : 0));
        if (!out.write(pos, header) ||
            !out.write(pos + kFrameHeader, f.data.data(), f.data.size())) {
          writeFailed = true;
          return false;
        }
        if (f.video && f.key) iframes.push_back({f.timeMs, pos});
        manifest.frame(f, pos);
        ++sum.frames;
        endAddr = next;
        pos = next;
        if (pos >= a.frameRetrace) {
          if (wrapped) {
            ringFull = true;
            return false;
          }
          pos = a.framePart;
          wrapped = true;
        }
        return true;
      };
      if (!generateRecording(s, rec, sink, &genError)) return fail(error, genError);
      if (writeFailed) return fail(error, out.error());
      if (ringFull)
        return fail(error, "the recordings of channel " + std::to_string(c) +
                               " do not fit into its frame ring of " +
                               std::to_string(opt.frameAreaSize) +
                               " bytes (raise \"frameAreaSize\" or move \"ringStart\")");
      fr.endAddr = rec.open ? 0 : endAddr;
      frags.push_back(fr);
      fragOpen.push_back(rec.open);
    }
    manifest.endChannel(frags, fragOpen);
    sum.fragments += frags.size();
    sum.iframes += iframes.size();

    // Fragment lists and their index.
    const uint64_t fragLists = (frags.size() + opt.fragmentsPerList - 1) / opt.fragmentsPerList;
    const uint64_t iframeLists = (iframes.size() + opt.iframesPerList - 1) / opt.iframesPerList;
    if (fragLists > kMaxIndexCount || iframeLists > kMaxIndexCount)
      return fail(error, "channel " + std::to_string(c) + " needs more than 65535 lists");
    if (fragLists > fragSlots || iframeLists > iframeSlots)
      return fail(error, "channel " + std::to_string(c) + " needs " + std::to_string(fragLists) +
                             " fragment lists and " + std::to_string(iframeLists) +
                             " I-frame lists; raise \"fragmentListSlots\"/\"iframeListSlots\"");
    const bool faulty = c == opt.faultChannel;
    std::vector<uint8_t> b;
    std::vector<uint8_t> index;
    put32(index, faulty && opt.fragmentIndexCount >= 0 ? static_cast<uint32_t>(opt.fragmentIndexCount)
                                                       : static_cast<uint32_t>(fragLists));
    for (uint64_t l = 0; l < fragLists; ++l) {
      const size_t first = l * opt.fragmentsPerList;
      const size_t n = std::min<size_t>(opt.fragmentsPerList, frags.size() - first);
      const uint64_t addr = a.fragPart + l * kFragmentListBlock;
      put64(index, static_cast<uint64_t>(frags[first].startTime));
      put64(index, addr);
      b.clear();
      put32(b, faulty && l + 1 == fragLists && opt.fragmentListCount >= 0
                   ? static_cast<uint32_t>(opt.fragmentListCount)
                   : static_cast<uint32_t>(n));
      for (size_t i = first; i < first + n; ++i) {
        put64(b, static_cast<uint64_t>(frags[i].startTime));
        put64(b, static_cast<uint64_t>(frags[i].endTime));
        put64(b, frags[i].startAddr);
        put64(b, frags[i].endAddr);
        put8(b, frags[i].type);
      }
      if (!out.write(addr, b)) return fail(error, out.error());
    }
    if (faulty && opt.fragmentIndexRepeat > 0 && fragLists > 0) {
      index.resize(4);
      set32(index.data(), static_cast<uint32_t>(opt.fragmentIndexRepeat));
      for (int64_t i = 0; i < opt.fragmentIndexRepeat; ++i) {
        put64(index, static_cast<uint64_t>(frags[0].startTime + i * opt.fragmentIndexRepeatStep));
        put64(index, a.fragPart);
      }
    }
    if (!out.write(a.fragIdx, index)) return fail(error, out.error());

    // I-frame lists and their index.
    index.clear();
    put32(index, faulty && opt.iframeIndexCount >= 0 ? static_cast<uint32_t>(opt.iframeIndexCount)
                                                     : static_cast<uint32_t>(iframeLists));
    for (uint64_t l = 0; l < iframeLists; ++l) {
      const size_t first = l * opt.iframesPerList;
      const size_t n = std::min<size_t>(opt.iframesPerList, iframes.size() - first);
      const uint64_t addr = a.iframePart + l * kIframeListBlock;
      put64(index, static_cast<uint64_t>(iframes[first].timeMs));
      put64(index, addr);
      b.clear();
      put32(b, faulty && l + 1 == iframeLists && opt.iframeListCount >= 0
                   ? static_cast<uint32_t>(opt.iframeListCount)
                   : static_cast<uint32_t>(n));
      for (size_t i = first; i < first + n; ++i) {
        const bool newest = faulty && i + 1 == iframes.size();
        put64(b, static_cast<uint64_t>(iframes[i].timeMs + (newest ? opt.newestIframeAheadMs : 0)));
        put64(b, iframes[i].frameAddr);
      }
      if (!out.write(addr, b)) return fail(error, out.error());
    }
    if (!out.write(a.iframeIdx, index)) return fail(error, out.error());
  }

  // Card information with the channel records, then its checksum.
  std::vector<uint8_t> info(kCardInfoSize, 0);
  int64_t formatTime = opt.formatTime;
  if (formatTime < 0)
    formatTime = s.recordings.empty() ? 0 : std::max<int64_t>(0, s.recordings.front().start - 86400);
  set32(&info[4], static_cast<uint32_t>(formatTime));
  set64(&info[8], diskSize);
  const int writtenCount = opt.channelCount >= 0 ? opt.channelCount : s.channels;
  info[16] = static_cast<uint8_t>((writtenCount & 7) | ((s.codec & 3) << 3));
  for (int c = 0; c < s.channels; ++c) {
    uint8_t *p = &info[17 + 64 * c];
    const ChannelAreas &a = areas[c];
    set64(p + 0, a.fragIdx);
    set64(p + 8, a.fragPart);
    set64(p + 16, a.fragPartSize);
    set64(p + 24, a.iframeIdx);
    set64(p + 32, a.iframePart);
    set64(p + 40, a.iframePartSize);
    set64(p + 48, a.framePart);
    set64(p + 56, a.frameRetrace);
  }
  // The sum covers bytes 4 up to the last byte of the last channel record.
  const int covered = std::min(writtenCount >= 1 && writtenCount <= 4 ? writtenCount : s.channels, 4);
  uint32_t sumBytes = 0;
  for (int i = 4; i <= 16 + 64 * covered; ++i) sumBytes += info[i];
  set32(&info[0], sumBytes + (opt.badChecksum ? 1 : 0));
  if (!out.write(kCardInfoAddr, info)) return fail(error, out.error());
  if (!out.flushBuffer()) return fail(error, out.error());
  if (!manifest.close()) return fail(error, "cannot finish the manifest " + manifestPath);

  uint64_t imageSize = diskSize;
  if (opt.truncateAt >= 0 && static_cast<uint64_t>(opt.truncateAt) < diskSize) {
    imageSize = static_cast<uint64_t>(opt.truncateAt);
    if (ftruncate(fd, static_cast<off_t>(imageSize)) != 0)
      return fail(error, "cannot cut " + path + ": " + strerror(errno));
  }
  sum.bytesWritten = out.written();
  sum.imageSize = imageSize;
  if (summary) *summary = sum;
  return true;
}
