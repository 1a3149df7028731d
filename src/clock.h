#pragma once

#include <cstdint>

namespace station_center {

// The one seam through which the daemon reads the wall clock, so unit tests can
// move time forward instead of sleeping. Thread-safe.
int64_t NowSeconds();
int64_t NowMillis();

// Test hook: shifts every later reading by `seconds` (cumulative).
void AdvanceClockForTest(int64_t seconds);
void ResetClockForTest();

}  // namespace station_center
