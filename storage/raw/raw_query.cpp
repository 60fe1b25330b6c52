// Questions asked of a loaded raw-disk card: its span of recorded time, the
// recorded days of a month and the fragments of a day. Older fragment lists
// are read from the card on demand into one scratch block per query.
#include <stdlib.h>
#include <string.h>

#include "qmx_storage.h"
#include "raw_internal.h"

namespace qmx_raw {

namespace {

typedef __int128 wide;  // day arithmetic on card times cannot overflow in it

constexpr int64_t kDay = 86400;
constexpr uint32_t kDayGrowth = 100;  // day list entries added per growth
// A day holds at most one fragment per second, and the list may end with
// the next day's first: the day list never grows beyond this, so it takes
// at most 4 + 86401 * 17 bytes (1.4 MiB) whatever the card says.
constexpr uint32_t kMaxDayEntries = 86401;
constexpr size_t kDayEntrySize = sizeof(qmx_storage_fragment);

// The channel a query may use: the library is ready, a disk is open and the
// channel was loaded whole by the last load. Null otherwise.
Channel *queryChannel(uint32_t channel) {
  State &s = state();
  if (!s.initialised || !diskOpen() || channel >= kMaxChannels) return nullptr;
  if (channel >= cardChannelNum() || !s.channel[channel].loaded) return nullptr;
  return &s.channel[channel];
}

// First record of the list whose end is after t; an end of 0 (still being
// recorded) counts as now. -1 when none.
int64_t listSearch(const uint8_t *list, int64_t t) {
  int64_t now = qmx_common_getTimeSec();
  uint32_t lo = 0, hi = fragCount(list);
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo) / 2;
    int64_t end = fragRecord(list, mid).endTime;
    if (end == 0) end = now;
    if (end > t)
      hi = mid;
    else
      lo = mid + 1;
  }
  return lo < fragCount(list) ? static_cast<int64_t>(lo) : -1;
}

// End of the last fragment of a list just read for index record i; the
// newest list's open fragment ends with the last I-frame, written into the
// scratch copy so that the day list shows it too.
int64_t completeLastEnd(const Channel &ch, uint8_t *list, uint32_t i) {
  uint32_t last = fragCount(list) - 1;
  FragmentRecord r = fragRecord(list, last);
  if (r.endTime == 0 && i == ch.fragIndex.count - 1) {
    r.endTime = ch.lastIframeTime / 1000;
    setFragEnd(list, last, r.endTime, r.endAddr);
  }
  return r.endTime;
}

// Walks a channel's fragment index from record k on, each list read into
// one scratch block. Records whose time does not advance past the last one
// taken are refused (an index always goes forward in time), and a record
// pointing at the list already in the block does not read it again.
class ListWalk {
 public:
  ListWalk(const Channel &ch, uint32_t k, uint8_t *list) : ch_(ch), i_(k), list_(list) {}
  // The next list, or false when the index ends or a list cannot be read.
  bool next(uint32_t *record) {
    for (; i_ < ch_.fragIndex.count; i_++) {
      int64_t time = indexTime(ch_.fragIndex, i_);
      if (taken_ && time <= lastTime_) continue;
      uint64_t addr = indexAddr(ch_.fragIndex, i_);
      if (!taken_ || addr != lastAddr_) {
        if (readFragmentList(addr, list_) != 0) {
          QMX_LOGE_AS(RAW_TAG, fn_, "read fragment_list failed\n");
          return false;
        }
      }
      taken_ = true;
      lastTime_ = time;
      lastAddr_ = addr;
      *record = i_++;
      return true;
    }
    return false;
  }
  const char *fn_ = "";

 private:
  const Channel &ch_;
  uint32_t i_;
  uint8_t *list_;
  bool taken_ = false;
  int64_t lastTime_ = 0;
  uint64_t lastAddr_ = 0;
};

}  // namespace

int64_t indexSearch(const Index &idx, int64_t t) {
  if (idx.count == 0) return -1;
  int64_t last = idx.count - 1;
  if (indexTime(idx, static_cast<uint32_t>(last)) <= t) return last;
  int64_t lo = 0, hi = last, below = -1;
  while (lo <= hi) {
    int64_t mid = lo + (hi - lo) / 2;
    int64_t time = indexTime(idx, static_cast<uint32_t>(mid));
    if (time == t) return mid;
    if (time < t) {
      below = mid;
      lo = mid + 1;
    } else {
      hi = mid - 1;
    }
  }
  return below < 0 ? 0 : below;
}

}  // namespace qmx_raw

using namespace qmx_raw;

int qmx_storage_getValidTime(uint32_t channel, int64_t *start, int64_t *end) {
  Channel *ch = queryChannel(channel);
  if (!ch || ch->fragIndex.count == 0 || ch->iframeIndex.count == 0) return -1;
  int64_t first;
  if (ch->fragIndex.count > 1) {
    uint8_t head[4 + kFragRecordSize];
    if (readData(static_cast<int64_t>(indexAddr(ch->fragIndex, 0)), head, sizeof head) != 0)
      return -1;
    first = les64(head + 4);
  } else {
    first = fragRecord(ch->fragList, 0).startTime;
  }
  if (start) *start = first;
  if (end) *end = ch->lastIframeTime / 1000;
  return 0;
}

uint32_t qmx_storage_queryByMonth(uint32_t channel, int64_t monthStart, int64_t monthEnd) {
  Channel *ch = queryChannel(channel);
  if (!ch) return 0;
  int64_t k = indexSearch(ch->fragIndex, monthStart);
  if (k < 0) return 0;
  uint8_t *list = static_cast<uint8_t *>(malloc(kFragListSize));
  if (!list) {
    QMX_LOGE(RAW_TAG, "malloc size: %u failed\n", static_cast<unsigned>(kFragListSize));
    return 0;
  }

  const wide t1 = monthStart, t2 = monthEnd;
  wide dayCount = (t2 - t1) / kDay;
  if (dayCount > 32) dayCount = 32;  // the mask has 32 days
  uint32_t mask = 0;
  ListWalk walk(*ch, static_cast<uint32_t>(k), list);
  walk.fn_ = __func__;
  uint32_t i;
  while (walk.next(&i)) {
    wide first = fragRecord(list, 0).startTime;
    if (t2 <= first) break;
    wide lastEnd = completeLastEnd(*ch, list, i);
    if (t1 >= lastEnd) continue;
    wide d0 = t1 < first ? (first - t1) / kDay : 0;
    wide d1 = (lastEnd - t1 + kDay - 1) / kDay;
    if (d1 > dayCount) d1 = dayCount;
    for (wide d = d0; d < d1; d++) {
      uint32_t bit = 1u << static_cast<unsigned>(d);
      if (mask & bit) continue;
      int64_t dayStart = static_cast<int64_t>(t1 + d * kDay);
      int64_t j = listSearch(list, dayStart);
      if (j < 0) continue;
      FragmentRecord r = fragRecord(list, static_cast<uint32_t>(j));
      if (r.endTime > dayStart && static_cast<wide>(r.startTime) <= static_cast<wide>(dayStart) + kDay - 1)
        mask |= bit;
    }
    if (t2 <= lastEnd) break;
  }
  free(list);
  return mask;
}

qmx_storage_dayFragment *qmx_storage_queryByDay(uint32_t channel, int64_t dayStart,
                                                int64_t dayEnd) {
  Channel *ch = queryChannel(channel);
  if (!ch) return nullptr;
  int64_t k = indexSearch(ch->fragIndex, dayStart);
  if (k < 0) return nullptr;
  uint32_t capacity = kDayGrowth;
  uint32_t size = static_cast<uint32_t>(4 + capacity * kDayEntrySize);
  qmx_storage_dayFragment *result = static_cast<qmx_storage_dayFragment *>(malloc(size));
  if (!result) {
    QMX_LOGE(RAW_TAG, "malloc size: %u failed\n", size);
    return nullptr;
  }
  result->count = 0;
  uint8_t *list = static_cast<uint8_t *>(malloc(kFragListSize));
  if (!list) {
    QMX_LOGE(RAW_TAG, "malloc size: %u failed\n", static_cast<unsigned>(kFragListSize));
    return result;
  }

  ListWalk walk(*ch, static_cast<uint32_t>(k), list);
  walk.fn_ = __func__;
  uint32_t i;
  while (walk.next(&i)) {
    if (fragRecord(list, 0).startTime >= dayEnd) break;
    int64_t lastEnd = completeLastEnd(*ch, list, i);
    if (dayStart >= lastEnd) continue;
    int64_t j = listSearch(list, dayStart);
    if (j < 0) break;
    for (uint32_t r = static_cast<uint32_t>(j); r < fragCount(list); r++) {
      if (result->count == kMaxDayEntries) {
        QMX_LOGE(RAW_TAG, "day list capped at %u fragments\n", kMaxDayEntries);
        free(list);
        return result;
      }
      if (result->count == capacity) {
        // Grows at most to kMaxDayEntries + kDayGrowth entries.
        uint32_t newSize = static_cast<uint32_t>(4 + (capacity + kDayGrowth) * kDayEntrySize);
        void *grown = realloc(result, newSize);
        if (!grown) {
          QMX_LOGE(RAW_TAG, "realloc qmx_storage_dayFragment size: %u failed\n", newSize);
          free(list);
          return result;
        }
        result = static_cast<qmx_storage_dayFragment *>(grown);
        capacity += kDayGrowth;
      }
      FragmentRecord rec = fragRecord(list, r);
      qmx_storage_fragment entry;
      entry.type = rec.type;
      entry.startTime = rec.startTime;
      entry.endTime = rec.endTime;
      memcpy(&result->fragment[result->count++], &entry, sizeof entry);
      if (rec.endTime >= dayEnd) {
        free(list);
        return result;
      }
    }
  }
  free(list);
  return result;
}
