// The card clock on frame sequences as a recorder writes them, including
// broken clocks: each row lists (kind, card ms) and the track ms expected.
// Pictures that break first (a clock set back or forward) are read back from
// exports of simulator cards.
#include <gtest/gtest.h>

#include <vector>

#include "card_clock.h"

namespace {

struct Step {
  int video;
  int64_t card;
  int64_t track;
  int jumped;
};

struct Case {
  const char *name;
  std::vector<Step> steps;
  uint32_t jumps;
};

TEST(CardClock, MapsCardTimeOntoAnUnbrokenTrack) {
  const int64_t T = 1764554400000;  // any card time
  const std::vector<Case> cases = {
      {"audio before the first picture has no place",
       {{0, T - 30, -1, 0}, {1, T, 0, 0}, {0, T + 34, 34, 0}, {1, T + 200, 200, 0}},
       0},
      {"25 fps keeps its 40 ms steps",
       {{1, T, 0, 0}, {1, T + 40, 40, 0}, {1, T + 80, 80, 0}, {0, T + 64, 64, 0}},
       0},
      {"a gap up to ten seconds is kept",
       {{1, T, 0, 0}, {1, T + 200, 200, 0}, {1, T + 10200, 10200, 0}},
       0},
      {"the sound can break first",
       {{1, T, 0, 0}, {0, T + 5, 5, 0}, {0, T + 69, 69, 0}, {0, T - 90000, 133, 1},
        {1, T - 89995, 138, 0}},
       1},
      {"sound that starts a day after the picture lands on it",
       {{1, T, 0, 0}, {1, T + 40, 40, 0}, {0, T + 86400000, 40, 1}, {1, T + 86400030, 70, 0}},
       1},
      {"extreme values saturate instead of wrapping",
       {{1, INT64_MIN, 0, 0}, {1, INT64_MAX, 40, 1}, {0, INT64_MIN, 0, 1}},
       2},
  };
  for (const Case &c : cases) {
    qmx_cardClock clock;
    qmx_cardClock_reset(&clock);
    for (size_t i = 0; i < c.steps.size(); i++) {
      const Step &s = c.steps[i];
      int jumped = -1;
      EXPECT_EQ(qmx_cardClock_map(&clock, s.video, s.card, &jumped), s.track)
          << c.name << ", frame " << i;
      EXPECT_EQ(jumped, s.jumped) << c.name << ", frame " << i;
    }
    EXPECT_EQ(clock.jumps, c.jumps) << c.name;
  }
}

}  // namespace
