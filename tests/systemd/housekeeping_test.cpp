// The daemon's housekeeping loop when a pass throws: systemd must see the process end
// at once, not after the watchdog's limit.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <stdexcept>

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

}  // namespace
}  // namespace station_center
