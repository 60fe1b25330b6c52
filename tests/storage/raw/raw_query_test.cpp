// Valid time, month and day queries over a card with several fragment
// lists, a fragment across midnight, an open newest fragment and a busy day.
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdlib.h>

#include <vector>

#include "card_builder.h"
#include "test_support.h"

using namespace cardtest;

namespace {

struct Entry {
  int type;
  int64_t start, end;
  bool operator==(const Entry &o) const {
    return type == o.type && start == o.start && end == o.end;
  }
};

std::ostream &operator<<(std::ostream &os, const Entry &e) {
  return os << "{" << e.type << ", " << e.start << ", " << e.end << "}";
}

std::vector<Entry> entries(const qmx_storage_dayFragment *day) {
  std::vector<Entry> v;
  for (uint32_t i = 0; day && i < day->count; i++)
    v.push_back({day->fragment[i].type, day->fragment[i].startTime, day->fragment[i].endTime});
  return v;
}

class RawQuery : public RawTest {
 protected:
  // Channel 0: Feb 3; Mar 3 10:00 to midnight; Mar 5 23:30 to Mar 6 00:20; Mar 6 morning;
  // Mar 9 10:00-22:00; Mar 10 from 08:00, still open, last I-frame at
  // 09:30:00.750. Three fragment lists. Channel 1: 250 fragments on Mar 20
  // in lists of 100, 100 and 50. Channel 2: empty.
  void SetUp() override {
    RawTest::SetUp();
    path = imageDir() + "/query.img";
    CardImage img(path);
    ChannelAreas a = ChannelAreas::forChannel(0), b = ChannelAreas::forChannel(1),
                 c = ChannelAreas::forChannel(2);
    img.cardInfo(0, 0x03, {a, b, c});

    uint64_t f = a.framePart;
    img.fragmentList(a.fragPart, {{feb3, feb3 + 3600, f + 0x8000, f + 0x9000, 1}});
    img.fragmentList(a.fragPart + 0x4000, {{mar3, localTime(2026, 3, 4), f, f + 0x100, 2},
                                           {mar5, mar6 + 1200, f + 0x100, f + 0x200, 3},
                                           {mar6 + 8 * 3600, mar6 + 9 * 3600, f + 0x200, f + 0x300, 4}});
    img.fragmentList(a.fragPart + 0x8000, {{mar9 + 10 * 3600, mar9 + 22 * 3600, f + 0x300, f + 0x400, 5},
                                           {mar10 + 8 * 3600, 0, f + 0x400, 0, 6}});
    img.index(a.fragIdx, {{feb3, a.fragPart}, {mar3, a.fragPart + 0x4000}, {mar9 + 10 * 3600, a.fragPart + 0x8000}});
    int64_t lastMs = (mar10 + 9 * 3600 + 1800) * 1000 + 750;
    img.iframeList(a.iframePart, {{(mar10 + 8 * 3600) * 1000, f + 0x400}, {lastMs, f + 0x500}});
    img.index(a.iframeIdx, {{(mar10 + 8 * 3600) * 1000, a.iframePart}});
    img.frame(f + 0x500, 0x40, lastMs, 0x01, 0);

    std::vector<std::pair<int64_t, uint64_t>> index;
    for (int l = 0; l < 3; l++) {
      std::vector<Frag> list;
      for (int i = l * 100; i < std::min(250, l * 100 + 100); i++)
        list.push_back({busy(i), busy(i) + 60, b.framePart, b.framePart + 0x100, static_cast<uint8_t>(i)});
      uint64_t addr = b.fragPart + static_cast<uint64_t>(l) * 0x4000;
      img.fragmentList(addr, list);
      index.push_back({list.front().start, addr});
    }
    img.index(b.fragIdx, index);
    img.index(b.iframeIdx, {{busy(249) * 1000, b.iframePart}});
    img.iframeList(b.iframePart, {{busy(249) * 1000, b.framePart}});
    ASSERT_EQ(load(path), 0) << out;
  }

  static int64_t busy(int i) { return localTime(2026, 3, 20, 1) + 120 * i; }

  std::string path;
  const int64_t feb3 = localTime(2026, 2, 3, 10), mar3 = localTime(2026, 3, 3, 10),
                mar5 = localTime(2026, 3, 5, 23, 30), mar6 = localTime(2026, 3, 6),
                mar9 = localTime(2026, 3, 9), mar10 = localTime(2026, 3, 10);
};

TEST_F(RawQuery, ValidTimeRunsFromTheOldestFragmentToTheLastIframe) {
  int64_t start = 0, end = 0;
  ASSERT_EQ(qmx_storage_getValidTime(0, &start, &end), 0);
  EXPECT_EQ(start, feb3);
  EXPECT_EQ(end, mar10 + 9 * 3600 + 1800);
  // The open fragment ends, for the free space too, after the last I-frame's
  // frame (0x500 + 13 + 0x40); the oldest fragment starts at 0x8000.
  EXPECT_NE(out.find(" emptySize:         31411\n"), std::string::npos) << out;

  // An empty channel and one beyond the card's channels leave both untouched.
  start = end = 42;
  EXPECT_EQ(qmx_storage_getValidTime(2, &start, &end), -1);
  EXPECT_EQ(qmx_storage_getValidTime(3, &start, &end), -1);
  EXPECT_EQ(start, 42);
  EXPECT_EQ(end, 42);
  EXPECT_EQ(qmx_storage_queryByMonth(2, localTime(2026, 3, 1), localTime(2026, 4, 1)), 0u);
  EXPECT_EQ(qmx_storage_queryByDay(3, mar9, mar9 + 86400), nullptr);

  // Nothing answers without an open disk.
  qmx_storage_close();
  EXPECT_EQ(qmx_storage_getValidTime(0, &start, &end), -1);
  EXPECT_EQ(qmx_storage_queryByMonth(0, localTime(2026, 3, 1), localTime(2026, 4, 1)), 0u);
  EXPECT_EQ(qmx_storage_queryByDay(0, mar9, mar9 + 86400), nullptr);
}

TEST_F(RawQuery, MonthMaskMarksEveryDayAFragmentTouches) {
  EXPECT_EQ(qmx_storage_queryByMonth(0, localTime(2026, 2, 1), localTime(2026, 3, 1)), 0x4u);
  // Mar 3, 5 and 6 (the fragment across midnight), 9 and 10 (open).
  EXPECT_EQ(qmx_storage_queryByMonth(0, localTime(2026, 3, 1), localTime(2026, 4, 1)),
            (1u << 2) | (1u << 4) | (1u << 5) | (1u << 8) | (1u << 9));
  EXPECT_EQ(qmx_storage_queryByMonth(0, localTime(2026, 1, 1), localTime(2026, 2, 1)), 0u);
  EXPECT_EQ(qmx_storage_queryByMonth(0, localTime(2026, 4, 1), localTime(2026, 5, 1)), 0u);
  EXPECT_EQ(qmx_storage_queryByMonth(1, localTime(2026, 3, 1), localTime(2026, 4, 1)), 1u << 19);
}

TEST_F(RawQuery, DayListsHoldEveryFragmentEndingInTheDayAndTheNextOne) {
  auto day = [](int64_t start) {
    qmx_storage_dayFragment *d = qmx_storage_queryByDay(0, start, start + 86400);
    std::vector<Entry> v = entries(d);
    EXPECT_NE(d, nullptr);
    free(d);
    return v;
  };
  Entry across{3, mar5, mar6 + 1200}, morning{4, mar6 + 8 * 3600, mar6 + 9 * 3600},
      mar9Day{5, mar9 + 10 * 3600, mar9 + 22 * 3600},
      open{6, mar10 + 8 * 3600, mar10 + 9 * 3600 + 1800};
  EXPECT_EQ(day(localTime(2026, 3, 5)), std::vector<Entry>{across});
  // A fragment that ends exactly at midnight is not part of the next day.
  EXPECT_EQ(day(localTime(2026, 3, 4)), std::vector<Entry>{across});
  // The fragment across midnight belongs to both days; the walk stops at a
  // list that starts after the day.
  EXPECT_EQ(day(mar6), (std::vector<Entry>{across, morning}));
  // The day's last fragment ends at 22:00: the next morning's comes last;
  // the open one ends with the last I-frame.
  EXPECT_EQ(day(mar9), (std::vector<Entry>{mar9Day, open}));
  EXPECT_EQ(day(mar10), std::vector<Entry>{open});
  // A day starting before the first recording starts at the first list.
  EXPECT_EQ(day(localTime(2026, 2, 3)), (std::vector<Entry>{{1, feb3, feb3 + 3600}}));
  EXPECT_EQ(day(localTime(2026, 1, 1)), std::vector<Entry>{});
}

TEST_F(RawQuery, BusyDayGrowsTheListByHundreds) {
  qmx_storage_dayFragment *d = qmx_storage_queryByDay(1, localTime(2026, 3, 20), localTime(2026, 3, 21));
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d->count, 250u);
  EXPECT_GE(malloc_usable_size(d), 4u + 300u * 17u);
  std::vector<Entry> got = entries(d), want;
  for (int i = 0; i < 250; i++) want.push_back({i, busy(i), busy(i) + 60});
  EXPECT_EQ(got, want);
  free(d);
}

}  // namespace
