#pragma once

#include <cstdint>
#include <memory>

namespace station_center {

// Where the station core, its tasks and its sensor automation read the time, so
// that a test can move it instead of sleeping. Thread-safe.
class Clock {
 public:
  virtual ~Clock() = default;

  // Milliseconds on a clock that never steps, for every duration and deadline.
  // Its start is arbitrary (the wall clock at start-up): never show it as a date.
  virtual int64_t NowMillis() const = 0;
  int64_t NowSeconds() const { return NowMillis() / 1000; }
  // Seconds since the epoch, for what is a date; steps whenever the clock is set.
  virtual int64_t WallSeconds() const = 0;
};

// The system's clocks, shared by every core that is given no clock of its own.
std::shared_ptr<const Clock> SystemClock();

// The same clocks for the parts outside the core: the board link's deadlines, the
// tools' waits and the status file's stamps. Thread-safe.
int64_t NowSeconds();
int64_t NowMillis();
int64_t WallSeconds();

}  // namespace station_center
