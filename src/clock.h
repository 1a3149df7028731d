#pragma once

#include <cstdint>
#include <memory>

namespace station_center {

// Where the station core, its tasks and its sensor automation read the time, so
// that a test can move it forward instead of sleeping. Thread-safe.
class Clock {
 public:
  virtual ~Clock() = default;

  // Milliseconds since the epoch.
  virtual int64_t NowMillis() const = 0;
  int64_t NowSeconds() const { return NowMillis() / 1000; }
};

// The wall clock, shared by every core that is given no clock of its own.
std::shared_ptr<const Clock> SystemClock();

// The wall clock, for the parts outside the core: the board link's deadlines, the
// status file's creation stamp and the daemon's start-up line. Thread-safe.
int64_t NowSeconds();
int64_t NowMillis();

}  // namespace station_center
