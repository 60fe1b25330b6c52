// The file-layout card writer of the simulator.
//
// The recorder keeps one stream of frames (video and audio of every channel,
// interleaved by time) in a rotation of fixed-size record files, and indexes
// it with two rings: one fragment record per recording (shared by all
// channels) and one I-frame record per video key frame. Two meta copies carry
// the ring heads and tails and the write position (the header of the newest
// frame). Every record ends with a CRC-16 of the bytes before it and every
// number is little-endian; records are built byte by byte, never from structs.
//
// The writer works the way the recorder does: frames go out in time order;
// when a frame does not fit in the current record file the stream moves on to
// the next one (after an end-of-file mark when there is room for one), and
// when the rotation comes back to a file that already holds data, that file is
// overwritten and the ring records that pointed into it are dropped.

#include "file_writer.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <system_error>
#include <unistd.h>

#include "media.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kBaseMagic = 0x0135263B;
constexpr size_t kBaseSize = 39;
constexpr size_t kMetaSize = 57;
constexpr size_t kFragSize = 32;
constexpr size_t kIframeSize = 15;
constexpr size_t kHeaderSize = 12;
constexpr size_t kDelHeaderSize = 6;
constexpr uint32_t kMaxFrameLength = 0x3FFFFF;  // 22 bits of the frame word
constexpr uint32_t kEofMark = 1u << 27;

// ---------------------------------------------------------------------------
// CRC-16 with polynomial 0x1021, initial value 0xFFFF, no reflection and no
// final XOR, table driven.

struct Crc16Table {
  uint16_t entry[256];
  Crc16Table() {
    for (int i = 0; i < 256; ++i) {
      uint16_t crc = static_cast<uint16_t>(i << 8);
      for (int bit = 0; bit < 8; ++bit)
        crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
      entry[i] = crc;
    }
  }
};

uint16_t crc16(const uint8_t *data, size_t size) {
  static const Crc16Table table;
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < size; ++i)
    crc = static_cast<uint16_t>((crc << 8) ^ table.entry[((crc >> 8) ^ data[i]) & 0xFF]);
  return crc;
}

// A record under construction: little-endian fields put at their offsets,
// closed by the check word over everything before the last two bytes.
class Record {
 public:
  explicit Record(size_t size) : bytes_(size, 0) {}
  void u8(size_t at, uint32_t v) { bytes_[at] = static_cast<uint8_t>(v); }
  void u16(size_t at, uint32_t v) {
    u8(at, v);
    u8(at + 1, v >> 8);
  }
  void u32(size_t at, uint32_t v) {
    u16(at, v);
    u16(at + 2, v >> 16);
  }
  void u64(size_t at, uint64_t v) {
    u32(at, static_cast<uint32_t>(v));
    u32(at + 4, static_cast<uint32_t>(v >> 32));
  }
  // A 48-bit time: the high 16 bits first, then the low 32 bits.
  void t48(size_t at, int64_t v) {
    const uint64_t u = static_cast<uint64_t>(v);
    u16(at, static_cast<uint32_t>(u >> 32));
    u32(at + 2, static_cast<uint32_t>(u));
  }
  // bad: store the complement, so that the record fails its check.
  void seal(bool bad = false) {
    uint16_t crc = crc16(bytes_.data(), bytes_.size() - 2);
    if (bad) crc = static_cast<uint16_t>(~crc);
    u16(bytes_.size() - 2, crc);
  }
  const uint8_t *data() const { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }

 private:
  std::vector<uint8_t> bytes_;
};

// ---------------------------------------------------------------------------
// Options of the "file" object.

struct Options {
  int64_t recordFileSize = 8 * 1024 * 1024;
  int recordFiles = 16;
  int firstRecordFile = 0;
  bool eofMarks = true;
  bool preallocate = false;
  uint32_t fragRingRecords = 1024;
  int64_t fragRingBytes = -1;  // value of the base field; -1: records * 32
  uint32_t fragRingStart = 0;
  uint32_t iframeRingRecords = 4096;
  int64_t iframeRingBytes = -1;  // value of the base field; -1: records * 15
  uint32_t iframeRingStart = 0;
  uint32_t fragmentIdStart = 1;
  bool delList = false;
  std::vector<uint32_t> deleted;
  int metaNewer = 1;
  int32_t metaSequence[2] = {7, 8};
  bool metaBadCrc[2] = {false, false};
  uint32_t frameReservedBits = 0;
  // Faults.
  bool badBaseMagic = false;
  bool badBaseCrc = false;
  bool fragRingSizeZero = false;
  bool iframeRingSizeZero = false;
  bool badNewestFragCrc = false;
  bool badNewestIframeCrc = false;
  bool badDelCrc = false;
  std::vector<int64_t> badHeaderCrc;  // frame numbers; negative count from the newest
  int64_t fragmentFlood = 0;          // copies of the oldest fragment record
  std::vector<std::pair<std::string, int64_t>> truncate;
  std::vector<std::string> remove;
};

bool fail(std::string *error, const std::string &message) {
  if (error) *error = message;
  return false;
}

bool readInt(const QJsonObject &obj, const char *key, int64_t lo, int64_t hi, int64_t *out,
             std::string *error) {
  const QJsonValue v = obj.value(QLatin1String(key));
  if (v.isUndefined()) return true;
  const double d = v.toDouble(-1e300);
  if (!v.isDouble() || d != static_cast<double>(static_cast<int64_t>(d)) || d < lo || d > hi)
    return fail(error, std::string("file.") + key + ": expected a whole number from " +
                           std::to_string(lo) + " to " + std::to_string(hi));
  *out = static_cast<int64_t>(d);
  return true;
}

template <typename T>
bool readNum(const QJsonObject &obj, const char *key, int64_t lo, int64_t hi, T *out,
             std::string *error) {
  int64_t v = static_cast<int64_t>(*out);
  if (!readInt(obj, key, lo, hi, &v, error)) return false;
  *out = static_cast<T>(v);
  return true;
}

bool readBool(const QJsonObject &obj, const char *key, bool *out, std::string *error) {
  const QJsonValue v = obj.value(QLatin1String(key));
  if (v.isUndefined()) return true;
  if (!v.isBool()) return fail(error, std::string("file.") + key + ": expected true or false");
  *out = v.toBool();
  return true;
}

bool readIntList(const QJsonObject &obj, const char *key, int64_t lo, int64_t hi,
                 std::vector<int64_t> *out, std::string *error) {
  const QJsonValue v = obj.value(QLatin1String(key));
  if (v.isUndefined()) return true;
  if (!v.isArray()) return fail(error, std::string("file.") + key + ": expected a list of numbers");
  for (const QJsonValue &item : v.toArray()) {
    const double d = item.toDouble(-1e300);
    if (!item.isDouble() || d != static_cast<double>(static_cast<int64_t>(d)) || d < lo || d > hi)
      return fail(error, std::string("file.") + key + ": every entry must be a whole number from " +
                             std::to_string(lo) + " to " + std::to_string(hi));
    out->push_back(static_cast<int64_t>(d));
  }
  return true;
}

// A path below the volume directory: relative, without "..".
bool safeRelative(const std::string &path) {
  const fs::path p(path);
  if (path.empty() || p.is_absolute()) return false;
  for (const auto &part : p)
    if (part == "..") return false;
  return true;
}

bool parseOptions(const QJsonObject &obj, Options *o, std::string *error) {
  static const char *const known[] = {
      "recordFileSize", "recordFiles", "firstRecordFile", "eofMarks", "preallocate",
      "fragRingRecords", "fragRingBytes", "fragRingStart", "iframeRingRecords",
      "iframeRingBytes", "iframeRingStart", "fragmentIdStart", "deleted", "metaNewer",
      "metaSequence", "metaBadCrc", "frameReservedBits", "faults"};
  for (const QString &key : obj.keys()) {
    if (std::none_of(std::begin(known), std::end(known),
                     [&](const char *k) { return key == QLatin1String(k); }))
      return fail(error, "file." + key.toStdString() + ": unknown option");
  }
  if (!readNum(obj, "recordFileSize", 64, 0x7FFFFFFF, &o->recordFileSize, error) ||
      !readNum(obj, "recordFiles", 1, 65535, &o->recordFiles, error) ||
      !readNum(obj, "firstRecordFile", 0, 65534, &o->firstRecordFile, error) ||
      !readBool(obj, "eofMarks", &o->eofMarks, error) ||
      !readBool(obj, "preallocate", &o->preallocate, error) ||
      !readNum(obj, "fragRingRecords", 2, 0x7FFFFFF, &o->fragRingRecords, error) ||
      !readNum(obj, "fragRingBytes", 64, 0xFFFFFFFFLL, &o->fragRingBytes, error) ||
      !readNum(obj, "fragRingStart", 0, 0x7FFFFFE, &o->fragRingStart, error) ||
      !readNum(obj, "iframeRingRecords", 2, 0x7FFFFFFF / 15, &o->iframeRingRecords, error) ||
      !readNum(obj, "iframeRingBytes", 30, 0x7FFFFFFF, &o->iframeRingBytes, error) ||
      !readNum(obj, "iframeRingStart", 0, 0x7FFFFFFF / 15, &o->iframeRingStart, error) ||
      !readNum(obj, "fragmentIdStart", 0, 0xFFFFFFFFLL, &o->fragmentIdStart, error) ||
      !readNum(obj, "metaNewer", 0, 1, &o->metaNewer, error) ||
      !readNum(obj, "frameReservedBits", 0, 15, &o->frameReservedBits, error))
    return false;
  if (o->firstRecordFile >= o->recordFiles)
    return fail(error, "file.firstRecordFile: must be below file.recordFiles");
  // Byte sizes given for the base record decide the usable ring, as a reader
  // rounds them: down to whole records.
  if (o->fragRingBytes >= 0) o->fragRingRecords = static_cast<uint32_t>(o->fragRingBytes / 32);
  if (o->iframeRingBytes >= 0) o->iframeRingRecords = static_cast<uint32_t>(o->iframeRingBytes / 15);
  if (o->fragRingStart >= o->fragRingRecords)
    return fail(error, "file.fragRingStart: must be below the number of fragment records");
  if (o->iframeRingStart >= o->iframeRingRecords)
    return fail(error, "file.iframeRingStart: must be below the number of I-frame records");

  std::vector<int64_t> list;
  if (obj.contains(QLatin1String("deleted"))) {
    o->delList = true;
    if (!readIntList(obj, "deleted", 0, 0xFFFFFFFFLL, &list, error)) return false;
    for (int64_t id : list) o->deleted.push_back(static_cast<uint32_t>(id));
    std::sort(o->deleted.begin(), o->deleted.end());
    o->deleted.erase(std::unique(o->deleted.begin(), o->deleted.end()), o->deleted.end());
  }
  o->metaSequence[o->metaNewer] = 8;
  o->metaSequence[1 - o->metaNewer] = 7;
  list.clear();
  if (!readIntList(obj, "metaSequence", INT32_MIN, 0xFFFFFFFFLL, &list, error)) return false;
  if (obj.contains(QLatin1String("metaSequence"))) {
    if (list.size() != 2) return fail(error, "file.metaSequence: expected two numbers");
    for (int i = 0; i < 2; ++i)
      o->metaSequence[i] = static_cast<int32_t>(static_cast<uint32_t>(list[static_cast<size_t>(i)]));
  }
  list.clear();
  if (!readIntList(obj, "metaBadCrc", 0, 1, &list, error)) return false;
  for (int64_t copy : list) o->metaBadCrc[copy] = true;

  const QJsonValue fv = obj.value(QLatin1String("faults"));
  if (fv.isUndefined()) return true;
  if (!fv.isObject()) return fail(error, "file.faults: expected an object");
  const QJsonObject f = fv.toObject();
  static const char *const knownFaults[] = {
      "badBaseMagic", "badBaseCrc", "ringSizeZero", "badNewestFragCrc", "badNewestIframeCrc",
      "badDelCrc", "badHeaderCrc", "truncate", "remove", "fragmentFlood"};
  for (const QString &key : f.keys()) {
    if (std::none_of(std::begin(knownFaults), std::end(knownFaults),
                     [&](const char *k) { return key == QLatin1String(k); }))
      return fail(error, "file.faults." + key.toStdString() + ": unknown fault");
  }
  if (!readBool(f, "badBaseMagic", &o->badBaseMagic, error) ||
      !readBool(f, "badBaseCrc", &o->badBaseCrc, error) ||
      !readBool(f, "badNewestFragCrc", &o->badNewestFragCrc, error) ||
      !readBool(f, "badNewestIframeCrc", &o->badNewestIframeCrc, error) ||
      !readBool(f, "badDelCrc", &o->badDelCrc, error) ||
      !readIntList(f, "badHeaderCrc", -1000000, INT64_C(1) << 40, &o->badHeaderCrc, error) ||
      !readNum(f, "fragmentFlood", 0, 1 << 22, &o->fragmentFlood, error))
    return false;
  for (const QJsonValue &ring : f.value(QLatin1String("ringSizeZero")).toArray()) {
    if (ring.toString() == QLatin1String("frag"))
      o->fragRingSizeZero = true;
    else if (ring.toString() == QLatin1String("iframe"))
      o->iframeRingSizeZero = true;
    else
      return fail(error, "file.faults.ringSizeZero: entries are \"frag\" or \"iframe\"");
  }
  const QJsonObject trunc = f.value(QLatin1String("truncate")).toObject();
  for (const QString &key : trunc.keys()) {
    const QJsonValue v = trunc.value(key);
    if (!safeRelative(key.toStdString()) || !v.isDouble() || v.toDouble() < 0)
      return fail(error, "file.faults.truncate: expected {\"storage/...\": size, ...}");
    o->truncate.emplace_back(key.toStdString(), static_cast<int64_t>(v.toDouble()));
  }
  for (const QJsonValue &v : f.value(QLatin1String("remove")).toArray()) {
    if (!v.isString() || !safeRelative(v.toString().toStdString()))
      return fail(error, "file.faults.remove: expected a list of paths below the volume");
    o->remove.push_back(v.toString().toStdString());
  }
  return true;
}

// ---------------------------------------------------------------------------
// A ring file in memory: fixed-size records, head and tail as record indices,
// head == tail when empty, so at most count - 1 records are held. Each held
// record remembers the record file (and that file's generation) its data
// lies in, so that records whose data was overwritten can be dropped.

class Ring {
 public:
  Ring(uint32_t count, size_t recordSize, uint32_t start)
      : count_(count), recordSize_(recordSize), head_(start), tail_(start),
        bytes_(static_cast<size_t>(count) * recordSize, 0) {}

  // Appends a record; returns its sequence number (for later updates).
  uint64_t push(const Record &record, uint16_t file, uint32_t generation) {
    std::memcpy(&bytes_[static_cast<size_t>(tail_) * recordSize_], record.data(), recordSize_);
    held_.push_back({file, generation});
    tail_ = (tail_ + 1) % count_;
    if (tail_ == head_) dropOldest();
    return firstSeq_ + held_.size() - 1;
  }
  // Moves the data location of a held record (ignored once it left the ring).
  void relocate(uint64_t seq, uint16_t file, uint32_t generation) {
    if (seq < firstSeq_ || seq - firstSeq_ >= held_.size()) return;
    held_[seq - firstSeq_] = {file, generation};
  }
  // Drops from the head every record whose data file has been rewritten since.
  void dropOverwritten(const std::vector<uint32_t> &fileGeneration) {
    while (!held_.empty() && fileGeneration[held_.front().file] != held_.front().generation)
      dropOldest();
  }
  bool empty() const { return held_.empty(); }
  uint32_t held() const { return static_cast<uint32_t>(held_.size()); }
  uint32_t headBytes() const { return static_cast<uint32_t>(head_ * recordSize_); }
  uint32_t tailBytes() const { return static_cast<uint32_t>(tail_ * recordSize_); }
  // The newest record's bytes (ring not empty).
  uint8_t *newest() {
    const uint32_t at = (tail_ + count_ - 1) % count_;
    return &bytes_[static_cast<size_t>(at) * recordSize_];
  }
  const std::vector<uint8_t> &bytes() const { return bytes_; }

 private:
  struct Held {
    uint16_t file;
    uint32_t generation;
  };
  void dropOldest() {
    head_ = (head_ + 1) % count_;
    held_.pop_front();
    ++firstSeq_;
  }
  uint32_t count_;
  size_t recordSize_;
  uint32_t head_, tail_;
  std::vector<uint8_t> bytes_;
  std::deque<Held> held_;
  uint64_t firstSeq_ = 0;
};

// What a meta record holds.
struct MetaState {
  uint32_t iframeHead = 0, iframeTail = 0, fragHead = 0, fragTail = 0;
  uint32_t newestFragId = 0;
  uint16_t writeFile = 0;
  uint32_t writeOffset = 0;
  int64_t lastTime = 0;
};

bool writeWhole(const fs::path &path, const uint8_t *data, size_t size, std::string *error) {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (!f) return fail(error, "cannot create " + path.string() + ": " + std::strerror(errno));
  const bool ok = (size == 0 || std::fwrite(data, 1, size, f) == size);
  const bool closed = std::fclose(f) == 0;
  if (!ok || !closed) return fail(error, "cannot write " + path.string() + ": " + std::strerror(errno));
  return true;
}

bool patchBytes(const fs::path &path, uint64_t offset, const uint8_t *data, size_t size,
                std::string *error) {
  FILE *f = std::fopen(path.c_str(), "r+b");
  if (!f) return fail(error, "cannot reopen " + path.string() + ": " + std::strerror(errno));
  const bool ok = std::fseek(f, static_cast<long>(offset), SEEK_SET) == 0 &&
                  std::fwrite(data, 1, size, f) == size;
  const bool closed = std::fclose(f) == 0;
  if (!ok || !closed) return fail(error, "cannot patch " + path.string());
  return true;
}

std::string recordFileName(int number) {
  char name[32];
  std::snprintf(name, sizeof name, "rec_%04d.dt", number);
  return name;
}

// ---------------------------------------------------------------------------

class Writer {
 public:
  Writer(const Scenario &scenario, const Options &options, const fs::path &root,
         FileLayoutReport *report)
      : sc_(scenario), opt_(options), root_(root), report_(report),
        frags_(options.fragRingRecords, kFragSize, options.fragRingStart),
        iframes_(options.iframeRingRecords, kIframeSize, options.iframeRingStart),
        fileGeneration_(static_cast<size_t>(options.recordFiles), 0),
        fragSeq_(scenario.recordings.size(), kNoFragment) {}

  ~Writer() {
    if (file_) std::fclose(file_);
  }

  bool run(std::string *error) {
    if (!prepareDirectories(error)) return false;
    current_ = static_cast<uint16_t>(opt_.firstRecordFile);
    older_.writeFile = current_;
    older_.iframeHead = older_.iframeTail = iframes_.headBytes();
    older_.fragHead = older_.fragTail = frags_.headBytes();
    if (!openRecordFile(error)) return false;
    for (int64_t n : opt_.badHeaderCrc)
      if (n < 0) keepRecent_ = std::max<size_t>(keepRecent_, static_cast<size_t>(-n));

    // Recordings in start order; overlapping ones form a group whose frames
    // are merged by time before they go out.
    std::vector<size_t> order(sc_.recordings.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      const Recording &ra = sc_.recordings[a], &rb = sc_.recordings[b];
      return ra.start != rb.start ? ra.start < rb.start : ra.channel < rb.channel;
    });
    if (!order.empty()) newestRecording_ = order.back();
    // Fragment ids follow the start order.
    fragmentId_.assign(order.size(), 0);
    for (size_t i = 0; i < order.size(); ++i)
      fragmentId_[order[i]] = opt_.fragmentIdStart + static_cast<uint32_t>(i);

    size_t i = 0;
    while (i < order.size()) {
      size_t j = i + 1;
      int64_t groupEnd = sc_.recordings[order[i]].end;
      while (j < order.size() && sc_.recordings[order[j]].start < groupEnd) {
        groupEnd = std::max(groupEnd, sc_.recordings[order[j]].end);
        ++j;
      }
      if (!writeGroup(std::vector<size_t>(order.begin() + static_cast<long>(i),
                                          order.begin() + static_cast<long>(j)),
                      error))
        return false;
      i = j;
    }
    return finish(error);
  }

 private:
  static constexpr uint64_t kNoFragment = UINT64_MAX;

  fs::path dir(const char *sub) const { return root_ / "storage" / sub; }

  bool prepareDirectories(std::string *error) {
    std::error_code ec;
    fs::create_directories(root_ / "storage" / "index", ec);
    if (!ec) fs::create_directories(root_ / "storage" / "record", ec);
    if (ec) return fail(error, "cannot create " + (root_ / "storage").string() + ": " + ec.message());
    // Files of an earlier run would otherwise survive next to the new ones.
    fs::remove(root_ / "storage" / "base.dt", ec);
    for (const char *sub : {"index", "record"}) {
      for (const auto &entry : fs::directory_iterator(dir(sub), ec))
        if (entry.path().extension() == ".dt") fs::remove(entry.path(), ec);
    }
    return true;
  }

  bool openRecordFile(std::string *error) {
    const fs::path path = dir("record") / recordFileName(current_);
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) return fail(error, "cannot create " + path.string() + ": " + std::strerror(errno));
    ++fileGeneration_[current_];
    offset_ = 0;
    return true;
  }

  bool closeRecordFile(std::string *error) {
    if (!file_) return true;
    bool ok = std::fflush(file_) == 0;
    if (ok && opt_.preallocate && offset_ < static_cast<uint64_t>(opt_.recordFileSize))
      ok = ftruncate(fileno(file_), static_cast<off_t>(opt_.recordFileSize)) == 0;
    ok = (std::fclose(file_) == 0) && ok;
    file_ = nullptr;
    if (!ok) return fail(error, "cannot write record file " + recordFileName(current_));
    return true;
  }

  // Leaves the current record file for the next one of the rotation, which
  // is rewritten from its start; ring records pointing into it are dropped.
  bool nextRecordFile(std::string *error) {
    if (!closeRecordFile(error)) return false;
    current_ = static_cast<uint16_t>((current_ + 1) % opt_.recordFiles);
    ++report_->rotations;
    if (!openRecordFile(error)) return false;
    iframes_.dropOverwritten(fileGeneration_);
    frags_.dropOverwritten(fileGeneration_);
    return true;
  }

  bool put(const uint8_t *data, size_t size, std::string *error) {
    if (size && std::fwrite(data, 1, size, file_) != size)
      return fail(error, "cannot write record file " + recordFileName(current_) + ": " +
                             std::strerror(errno));
    offset_ += size;
    report_->recordBytes += size;
    return true;
  }

  bool writeGroup(const std::vector<size_t> &group, std::string *error) {
    std::vector<std::vector<StoredFrame>> frames(group.size());
    for (size_t k = 0; k < group.size(); ++k) {
      std::string mediaError;
      auto &out = frames[k];
      if (!generateRecording(sc_, sc_.recordings[group[k]],
                             [&out](const StoredFrame &f) {
                               out.push_back(f);
                               return true;
                             },
                             &mediaError))
        return fail(error, "media: " + mediaError);
    }
    // Merge by the moment of recording (a clock jump on one channel does not
    // reorder the stream); at equal times the earlier recording goes first,
    // and a recording keeps its own order.
    std::vector<size_t> pos(group.size(), 0);
    for (;;) {
      size_t best = group.size();
      for (size_t k = 0; k < group.size(); ++k) {
        if (pos[k] == frames[k].size()) continue;
        if (best == group.size() ||
            frames[k][pos[k]].recordedMs < frames[best][pos[best]].recordedMs)
          best = k;
      }
      if (best == group.size()) break;
      if (!writeFrame(frames[best][pos[best]], group[best], error)) return false;
      std::vector<uint8_t>().swap(frames[best][pos[best]].data);
      ++pos[best];
    }
    // A recording without a single frame still gets its fragment record.
    for (size_t k = 0; k < group.size(); ++k)
      if (fragSeq_[group[k]] == kNoFragment) openFragment(group[k], current_, offset_);
    return true;
  }

  MetaState state() const {
    MetaState m;
    m.iframeHead = iframes_.headBytes();
    m.iframeTail = iframes_.tailBytes();
    m.fragHead = frags_.headBytes();
    m.fragTail = frags_.tailBytes();
    m.newestFragId = newestFragId_;
    m.writeFile = haveNewest_ ? newestFile_ : static_cast<uint16_t>(opt_.firstRecordFile);
    m.writeOffset = haveNewest_ ? newestOffset_ : 0;
    m.lastTime = haveNewest_ ? newestTime_ : 0;
    return m;
  }

  void openFragment(size_t rec, uint16_t file, uint64_t offset) {
    const Recording &r = sc_.recordings[rec];
    // The other meta copy keeps the state from before the newest recording.
    if (rec == newestRecording_) older_ = state();
    Record f(kFragSize);
    f.u32(0, fragmentId_[rec]);
    f.u8(4, r.type);
    // Bits 0-1 the video type; the recorder keeps the channel in bits 2-4.
    f.u8(5, static_cast<uint32_t>(sc_.codec & 3) | static_cast<uint32_t>((r.channel & 7) << 2));
    // Its times as the recorder's clock read them.
    f.t48(6, clockTimeMs(sc_, r.channel, r.start * 1000) / 1000);
    f.t48(12, r.open ? 0 : clockTimeMs(sc_, r.channel, r.end * 1000) / 1000);
    // Reserved: where the fragment's first frame lies.
    f.u16(18, file);
    f.u32(20, static_cast<uint32_t>(offset));
    f.seal();
    fragSeq_[rec] = frags_.push(f, file, fileGeneration_[file]);
    newestFragId_ = fragmentId_[rec];
  }

  bool frameHeader(uint32_t word, int64_t timeMs, bool badCrc, std::string *error) {
    Record h(kHeaderSize);
    h.u32(0, word | (opt_.frameReservedBits << 28));
    h.t48(4, timeMs);
    h.seal(badCrc);
    return put(h.data(), h.size(), error);
  }

  bool writeFrame(const StoredFrame &frame, size_t rec, std::string *error) {
    const Recording &r = sc_.recordings[rec];
    const uint64_t length = frame.data.size();
    if (length > kMaxFrameLength)
      return fail(error, "a frame of " + std::to_string(length) + " bytes is too long for a frame header");
    const uint64_t fileSize = static_cast<uint64_t>(opt_.recordFileSize);
    if (opt_.eofMarks) {
      // Whole frames only: a frame that does not fit closes the file, with
      // an end-of-file mark when the mark itself fits.
      if (kHeaderSize + length > fileSize)
        return fail(error, "a frame of " + std::to_string(length) +
                               " bytes does not fit in a record file");
      if (offset_ + kHeaderSize + length > fileSize) {
        if (offset_ + kHeaderSize <= fileSize && !frameHeader(kEofMark, frame.timeMs, false, error))
          return false;
        if (!nextRecordFile(error)) return false;
      }
    } else if (offset_ + kHeaderSize > fileSize) {
      // Without marks a file ends where no further header fits; the last
      // frame's data may run past the nominal size.
      if (!nextRecordFile(error)) return false;
    }

    const uint64_t index = report_->frameCount;
    const bool badCrc = std::find(opt_.badHeaderCrc.begin(), opt_.badHeaderCrc.end(),
                                  static_cast<int64_t>(index)) != opt_.badHeaderCrc.end();
    const uint32_t headerOffset = static_cast<uint32_t>(offset_);
    if (fragSeq_[rec] == kNoFragment) openFragment(rec, current_, headerOffset);

    // Bit 1 marks a key frame; audio carries its recording's channel too.
    const bool key = frame.video && frame.key;
    const uint32_t word = (frame.video ? 1u : 0u) | (key ? 2u : 0u) |
                          (static_cast<uint32_t>(r.channel & 7) << 2) |
                          (static_cast<uint32_t>(length) << 5);
    if (!frameHeader(word, frame.timeMs, badCrc, error) ||
        !put(frame.data.data(), frame.data.size(), error))
      return false;

    frags_.relocate(fragSeq_[rec], current_, fileGeneration_[current_]);
    if (key) {
      Record i(kIframeSize);
      // Bits 0-2 the channel; bit 7 set: the frame carries parameter sets.
      i.u8(0, static_cast<uint32_t>(r.channel & 7) | 0x80u);
      i.u16(1, current_);
      i.u32(3, headerOffset);
      i.t48(7, frame.timeMs);
      i.seal();
      iframes_.push(i, current_, fileGeneration_[current_]);
    }
    haveNewest_ = true;
    newestFile_ = current_;
    newestOffset_ = headerOffset;
    newestTime_ = frame.timeMs;
    ++report_->frameCount;
    if (keepRecent_) {
      recent_.push_back({current_, headerOffset, fileGeneration_[current_]});
      if (recent_.size() > keepRecent_) recent_.pop_front();
    }
    if (report_->collectFrames) {
      FileLayoutFrame f;
      f.recording = static_cast<int>(rec);
      f.channel = r.channel;
      f.video = frame.video;
      f.key = key;
      f.timeMs = frame.timeMs;
      f.file = current_;
      f.offset = headerOffset;
      f.length = static_cast<uint32_t>(length);
      f.crc32 = static_cast<uint32_t>(
          crc32(0L, frame.data.data(), static_cast<uInt>(frame.data.size())));
      report_->frames.push_back(f);
      frameGeneration_.push_back(fileGeneration_[current_]);
    }
    return true;
  }

  bool writeMeta(int copy, const MetaState &m, std::string *error) {
    Record r(kMetaSize);
    r.u32(0, static_cast<uint32_t>(opt_.metaSequence[copy]));
    r.u32(4, m.iframeHead);
    r.u32(8, m.iframeTail);
    r.u32(12, m.fragHead);
    r.u32(16, m.fragTail);
    r.u32(20, m.newestFragId);  // reserved: id of the newest fragment
    r.u16(26, m.writeFile);
    r.u32(28, m.writeOffset);
    r.u64(32, static_cast<uint64_t>(m.lastTime));
    r.u8(40, static_cast<uint32_t>(sc_.channels));  // reserved: channels recorded
    r.u16(41, static_cast<uint32_t>(opt_.recordFiles));
    r.seal(opt_.metaBadCrc[copy]);
    char name[32];
    std::snprintf(name, sizeof name, "meta_%02d.dt", copy);
    return writeWhole(dir("index") / name, r.data(), r.size(), error);
  }

  // Flips the check word of a frame header already written.
  bool spoilHeader(uint16_t file, uint32_t offset, std::string *error) {
    const fs::path path = dir("record") / recordFileName(file);
    FILE *f = std::fopen(path.c_str(), "rb");
    uint8_t crc[2] = {0, 0};
    const bool ok = f && std::fseek(f, static_cast<long>(offset + 10), SEEK_SET) == 0 &&
                    std::fread(crc, 1, 2, f) == 2;
    if (f) std::fclose(f);
    if (!ok) return fail(error, "cannot read back a frame header of " + path.string());
    crc[0] = static_cast<uint8_t>(~crc[0]);
    crc[1] = static_cast<uint8_t>(~crc[1]);
    return patchBytes(path, offset + 10, crc, 2, error);
  }

  bool finish(std::string *error) {
    if (!closeRecordFile(error)) return false;
    // Every file of the rotation exists, written or not.
    for (int n = 0; n < opt_.recordFiles; ++n) {
      if (fileGeneration_[static_cast<size_t>(n)] != 0) continue;
      const fs::path path = dir("record") / recordFileName(n);
      if (!writeWhole(path, nullptr, 0, error)) return false;
      if (opt_.preallocate && truncate(path.c_str(), static_cast<off_t>(opt_.recordFileSize)) != 0)
        return fail(error, "cannot size " + path.string());
    }
    for (int64_t n : opt_.badHeaderCrc) {
      if (n < 0 && static_cast<size_t>(-n) <= recent_.size()) {
        const Recent &r = recent_[recent_.size() - static_cast<size_t>(-n)];
        if (fileGeneration_[r.file] == r.generation && !spoilHeader(r.file, r.offset, error))
          return false;
      }
    }

    // Rings: the newest record's check word may be spoilt on request.
    if (opt_.badNewestFragCrc && !frags_.empty()) frags_.newest()[30] ^= 0xFF;
    if (opt_.badNewestIframeCrc && !iframes_.empty()) iframes_.newest()[13] ^= 0xFF;
    // The flood: the fragment ring rewritten as that many copies of its
    // oldest record, then its newest, and sized for them.
    MetaState current = state();
    std::vector<uint8_t> fragBytes = frags_.bytes();
    int64_t fragRingBytes =
        opt_.fragRingBytes >= 0 ? opt_.fragRingBytes : int64_t(opt_.fragRingRecords) * 32;
    if (opt_.fragmentFlood > 0 && !frags_.empty()) {
      const size_t n = static_cast<size_t>(opt_.fragmentFlood);
      std::vector<uint8_t> flood((n + 2) * kFragSize, 0);
      for (size_t i = 0; i < n; ++i)
        std::memcpy(&flood[i * kFragSize], &fragBytes[current.fragHead], kFragSize);
      std::memcpy(&flood[n * kFragSize], frags_.newest(), kFragSize);
      fragBytes.swap(flood);
      current.fragHead = 0;
      current.fragTail = static_cast<uint32_t>((n + 1) * kFragSize);
      fragRingBytes = static_cast<int64_t>(fragBytes.size());
    }
    if (!writeWhole(dir("index") / "frag.dt", fragBytes.data(), fragBytes.size(), error) ||
        !writeWhole(dir("index") / "iframe.dt", iframes_.bytes().data(), iframes_.bytes().size(),
                    error))
      return false;

    if (!writeMeta(opt_.metaNewer, current, error) || !writeMeta(1 - opt_.metaNewer, older_, error))
      return false;

    Record base(kBaseSize);
    base.u32(0, opt_.badBaseMagic ? kBaseMagic ^ 0x01000000u : kBaseMagic);
    base.u64(4, static_cast<uint64_t>(opt_.recordFileSize) * static_cast<uint64_t>(opt_.recordFiles));
    base.u8(12, static_cast<uint32_t>(sc_.channels));
    const int64_t iframeBytes =
        opt_.iframeRingBytes >= 0 ? opt_.iframeRingBytes : int64_t(opt_.iframeRingRecords) * 15;
    base.u32(21, opt_.iframeRingSizeZero ? 0 : static_cast<uint32_t>(iframeBytes));
    base.u32(25, opt_.fragRingSizeZero ? 0 : static_cast<uint32_t>(fragRingBytes));
    base.u32(33, static_cast<uint32_t>(opt_.recordFileSize));
    base.seal(opt_.badBaseCrc);
    if (!writeWhole(root_ / "storage" / "base.dt", base.data(), base.size(), error)) return false;

    if (opt_.delList) {
      std::vector<uint8_t> del(kDelHeaderSize + 4 * opt_.deleted.size());
      Record head(kDelHeaderSize);
      head.u32(0, static_cast<uint32_t>(opt_.deleted.size()));
      head.seal(opt_.badDelCrc);
      std::memcpy(del.data(), head.data(), kDelHeaderSize);
      for (size_t k = 0; k < opt_.deleted.size(); ++k)
        for (int b = 0; b < 4; ++b)
          del[kDelHeaderSize + 4 * k + static_cast<size_t>(b)] =
              static_cast<uint8_t>(opt_.deleted[k] >> (8 * b));
      if (!writeWhole(dir("index") / "del_frag.dt", del.data(), del.size(), error)) return false;
    }

    for (const auto &t : opt_.truncate) {
      const fs::path path = root_ / t.first;
      if (truncate(path.c_str(), static_cast<off_t>(t.second)) != 0)
        return fail(error, "cannot truncate " + path.string() + ": " + std::strerror(errno));
    }
    for (const std::string &name : opt_.remove) {
      std::error_code ec;
      fs::remove(root_ / name, ec);
    }

    report_->fragmentCount = frags_.held();
    report_->iframeCount = iframes_.held();
    report_->fragmentIds = fragmentId_;
    const MetaState &chosen = current;
    report_->writeFile = chosen.writeFile;
    report_->writeOffset = chosen.writeOffset;
    report_->lastTimeMs = chosen.lastTime;
    for (size_t k = 0; k < report_->frames.size(); ++k)
      report_->frames[k].live = fileGeneration_[report_->frames[k].file] == frameGeneration_[k];
    return true;
  }

  struct Recent {
    uint16_t file;
    uint32_t offset;
    uint32_t generation;
  };

  const Scenario &sc_;
  const Options &opt_;
  fs::path root_;
  FileLayoutReport *report_;
  Ring frags_, iframes_;
  std::vector<uint32_t> fileGeneration_;  // times each record file was (re)started
  std::vector<uint64_t> fragSeq_;         // ring sequence of each recording's fragment
  std::vector<uint32_t> fragmentId_;
  std::vector<uint32_t> frameGeneration_;
  size_t newestRecording_ = SIZE_MAX;
  uint32_t newestFragId_ = 0;
  FILE *file_ = nullptr;
  uint16_t current_ = 0;
  uint64_t offset_ = 0;
  bool haveNewest_ = false;
  uint16_t newestFile_ = 0;
  uint32_t newestOffset_ = 0;
  int64_t newestTime_ = 0;
  MetaState older_;
  size_t keepRecent_ = 0;
  std::deque<Recent> recent_;
};

}  // namespace

bool writeFileLayout(const Scenario &scenario, const std::string &outDir,
                     FileLayoutReport *report, std::string *error) {
  Options options;
  if (!parseOptions(scenario.file, &options, error)) return false;
  FileLayoutReport local;
  if (!report) report = &local;
  const bool collect = report->collectFrames;
  *report = FileLayoutReport();
  report->collectFrames = collect;
  Writer writer(scenario, options, fs::path(outDir), report);
  return writer.run(error);
}

bool writeFileLayout(const Scenario &scenario, const std::string &outDir, std::string *error) {
  return writeFileLayout(scenario, outDir, nullptr, error);
}

bool writeFileLayoutManifest(const FileLayoutReport &report, const std::string &path,
                             std::string *error) {
  FILE *f = std::fopen(path.c_str(), "w");
  if (!f) return fail(error, "cannot write the manifest " + path + ": " + std::strerror(errno));
  std::fprintf(f, "{\"writeFile\":%u,\"writeOffset\":%u,\"lastTime\":%lld,\"fragmentIds\":[",
               report.writeFile, report.writeOffset, static_cast<long long>(report.lastTimeMs));
  for (size_t i = 0; i < report.fragmentIds.size(); ++i)
    std::fprintf(f, "%s%u", i ? "," : "", report.fragmentIds[i]);
  std::fputs("],\n\"frames\":[\n", f);
  for (size_t i = 0; i < report.frames.size(); ++i) {
    const FileLayoutFrame &x = report.frames[i];
    std::fprintf(f,
                 "%s{\"time\":%lld,\"channel\":%d,\"video\":%d,\"key\":%d,\"file\":%u,"
                 "\"offset\":%u,\"size\":%u,\"crc\":%u,\"live\":%d}",
                 i ? ",\n" : "", static_cast<long long>(x.timeMs), x.channel, x.video ? 1 : 0,
                 x.key ? 1 : 0, x.file, x.offset, x.length, x.crc32, x.live ? 1 : 0);
  }
  std::fputs("\n]}\n", f);
  if (std::fclose(f) != 0) return fail(error, "cannot finish the manifest " + path);
  return true;
}

std::string fileLayoutSummary(const FileLayoutReport &report) {
  char line[256];
  std::snprintf(line, sizeof line,
                "file layout: %llu frames, %u fragments, %u I-frames, %llu record bytes, "
                "%u rotations, write position rec_%04u.dt+%u",
                static_cast<unsigned long long>(report.frameCount), report.fragmentCount,
                report.iframeCount, static_cast<unsigned long long>(report.recordBytes),
                report.rotations, report.writeFile, report.writeOffset);
  return line;
}

const char *fileLayoutHelp() {
  return "File layout (\"layout\": \"file\"): --out names the volume directory; the writer\n"
         "creates storage/base.dt, storage/index/{meta_00,meta_01,frag,iframe[,del_frag]}.dt\n"
         "and storage/record/rec_NNNN.dt. Options of the scenario's \"file\" object:\n"
         "  recordFileSize N     bytes per record file (default 8388608, at least 64)\n"
         "  recordFiles N        record files in the rotation (default 16)\n"
         "  firstRecordFile N    record file the stream starts in (default 0); the stream\n"
         "                       goes on past the last file to rec_0000, and a file it\n"
         "                       comes back to is overwritten (ring records into it dropped)\n"
         "  eofMarks B           true (default): a frame that does not fit ends the file\n"
         "                       with an end-of-file mark; false: frames go on while their\n"
         "                       header fits and the last one's data may run past the size\n"
         "  preallocate B        record files are sized to recordFileSize (sparse)\n"
         "  fragRingRecords N    fragment ring size in 32-byte records (default 1024)\n"
         "  fragRingBytes N      store this byte size in the base record instead\n"
         "                       (the ring then holds N/32 records)\n"
         "  fragRingStart N      record index of the first fragment record; with a start\n"
         "                       near the end the ring wraps (head above tail)\n"
         "  iframeRingRecords N, iframeRingBytes N, iframeRingStart N: the same for the\n"
         "                       I-frame ring of 15-byte records (default 4096 records)\n"
         "                       Rings hold at most size - 1 records; older ones drop out.\n"
         "  fragmentIdStart N    id of the first fragment; ids count up in start order\n"
         "  deleted [ids]        write del_frag.dt with these ids (sorted); without this\n"
         "                       option there is no del_frag.dt\n"
         "  metaNewer 0|1        the meta copy with the current state (default 1); the other\n"
         "                       holds the state from before the newest recording began\n"
         "  metaSequence [a, b]  sequence numbers of meta_00 and meta_01 (default 7/8,\n"
         "                       the newer copy one higher)\n"
         "  metaBadCrc [copies]  meta copies (0, 1) written with a wrong check word\n"
         "  frameReservedBits N  value of bits 28-31 of every frame word (default 0)\n"
         "  faults {             deliberate damage:\n"
         "    badBaseMagic B, badBaseCrc B, badNewestFragCrc B, badNewestIframeCrc B,\n"
         "    badDelCrc B,\n"
         "    ringSizeZero [\"frag\", \"iframe\"]   base record says 0 for that ring,\n"
         "    badHeaderCrc [n...]  frame headers (stream order from 0; -1 the newest)\n"
         "                         with a wrong check word,\n"
         "    truncate {\"storage/...\": size}, remove [\"storage/...\"]   after writing,\n"
         "    fragmentFlood N      the fragment ring holds N copies of its oldest record,\n"
         "                         then its newest (the ring is sized for them) }\n"
         "Records written: frame word bit 0 video, bit 1 key frame, bits 2-4 channel (audio\n"
         "too), bits 5-26 length, bit 27 end-of-file mark; fragment byte 5 holds the video\n"
         "type in bits 0-1 and the channel in bits 2-4; I-frame byte 0 holds the channel\n"
         "in bits 0-2 and sets bit 7. An open recording's fragment has end time 0. No\n"
         "recordings: an empty card (head = tail in both rings).\n";
}
