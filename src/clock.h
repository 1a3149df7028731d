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

// Notices the wall clock being set: between two looks it moved by more than the
// steady clock did, give or take `tolerance_seconds`. Not thread-safe: one owner.
class WallStepWatch {
 public:
  explicit WallStepWatch(int64_t tolerance_seconds = 5) : tolerance_(tolerance_seconds) {}
  // The step in seconds since the previous look (0 for none or the first look).
  int64_t Check(const Clock& clock);

 private:
  const int64_t tolerance_;
  bool looked_ = false;
  int64_t wall_ = 0;
  int64_t steady_millis_ = 0;
};

// A date the build knows has passed: a wall clock before it has not been set.
int64_t BuildSeconds();

}  // namespace station_center
