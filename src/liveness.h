#pragma once

// Whether systemd's watchdog may be pinged: the housekeeping loop is judged by
// its passes, so a daemon stuck behind a lock or in a loop is restarted within
// seconds, while a pass that waits on a slow board (a bounded wait) is not.
// Thread-safe: the housekeeping marks its passes, the watch thread asks.

#include <atomic>
#include <cstdint>

namespace station_center {

class Liveness {
 public:
  // A pass, or a gap between passes, longer than `overdue_millis` is stuck.
  explicit Liveness(int64_t overdue_millis) : overdue_millis_(overdue_millis) {}

  void PassStarted(int64_t now_millis);
  void PassEnded(int64_t now_millis);
  // `board_busy_until_millis`: until when the board link is in bounded work
  // (EmbeddedCommunicator::busy_until_millis); a pass waiting on it is not stuck.
  bool Alive(int64_t now_millis, int64_t board_busy_until_millis) const;

 private:
  const int64_t overdue_millis_;
  std::atomic<int64_t> pass_started_{0};  // 0 between passes
  std::atomic<int64_t> pass_ended_{0};    // 0 before the first pass
};

}  // namespace station_center
