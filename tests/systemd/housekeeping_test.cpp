// The daemon's housekeeping loop: when a pass throws, systemd must see the process end
// at once, not after the watchdog's limit; when a pass is stuck, the pings stop.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <stdexcept>

#include "liveness.h"
#include "sd_notify.h"

namespace station_center {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(HousekeepingDeathTest, ThrowingPassEndsTheProcessAtOnceWhileTheUploadThreadRuns) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EXIT(
      {
        // As the daemon's broker and upload loop: a thread that unwinding would wait for.
        std::promise<void> never;
        std::future<void> upload =
            std::async(std::launch::async, [done = never.get_future()] { done.wait_for(seconds(120)); });
        int passes = 0;
        RunHousekeeping(
            [&passes] {
              if (++passes == 3) {
                throw std::runtime_error("board link gone");
              }
            },
            milliseconds(1), [] { std::fputs("switch-off before the exit\n", stderr); });
      },
      ::testing::ExitedWithCode(1), "switch-off before the exit");
  EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(60)) << "ended at once, not after the upload thread";
}

TEST(LivenessTest, APassIsStuckWhenOverdueUnlessItWaitsOnTheBoard) {
  struct Row {
    const char* why;
    int64_t started;  // pass start, 0 between passes
    int64_t ended;    // last pass end, 0 before the first
    int64_t now;
    int64_t board_busy_until;
    bool alive;
  };
  const Row rows[] = {
      {"no pass yet", 0, 0, 1000, 0, false},
      {"between passes, the last just ended", 0, 5000, 6000, 0, true},
      {"between passes for too long: the loop stopped", 0, 5000, 16000, 0, false},
      {"a pass within its time", 20000, 5000, 29000, 0, true},
      {"a pass overdue, the board idle: stuck", 20000, 5000, 31000, 0, false},
      {"a pass overdue while the board is in an exchange", 20000, 5000, 45000, 46000, true},
      {"a pass overdue after the board's exchange ended", 20000, 5000, 47000, 46000, false},
  };
  for (const Row& row : rows) {
    Liveness liveness(10000);
    if (row.ended != 0) {
      liveness.PassStarted(row.ended - 100);
      liveness.PassEnded(row.ended);
    }
    if (row.started != 0) {
      liveness.PassStarted(row.started);
    }
    EXPECT_EQ(liveness.Alive(row.now, row.board_busy_until), row.alive) << row.why;
  }
}

}  // namespace
}  // namespace station_center
