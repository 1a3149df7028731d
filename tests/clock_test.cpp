// The wall clock being set, told apart from time passing.

#include "clock.h"

#include <gtest/gtest.h>

namespace station_center {
namespace {

// Both clocks moved by hand.
struct HandClock : Clock {
  int64_t NowMillis() const override { return steady_millis; }
  int64_t WallSeconds() const override { return wall; }
  int64_t steady_millis = 5'000'000;
  int64_t wall = 1'800'000'000;
};

TEST(WallStepWatchTest, ASetClockIsReportedOnceWithItsSize) {
  const struct {
    const char* what;
    int64_t steady_millis;  // added to each clock since the previous look
    int64_t wall;
    int64_t step;
  } looks[] = {
      {"both move on together", 1000, 1, 0},
      {"the wall clock's seconds tick over unevenly", 400, 1, 0},
      {"a pause of the whole process moves both", 15'000, 15, 0},
      {"set back an hour", 1000, 1 - 3600, -3600},
      {"seen once only", 1000, 1, 0},
      {"set forward a year", 0, 365 * 86400, 365 * 86400},
      {"within the tolerance", 1000, 6, 0},
      {"just beyond it", 1000, 7, 6},
  };
  HandClock clock;
  WallStepWatch watch(5);
  EXPECT_EQ(watch.Check(clock), 0) << "the first look has nothing to compare";
  for (const auto& look : looks) {
    clock.steady_millis += look.steady_millis;
    clock.wall += look.wall;
    EXPECT_EQ(watch.Check(clock), look.step) << look.what;
  }
}

}  // namespace
}  // namespace station_center
