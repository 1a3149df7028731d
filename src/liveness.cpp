#include "liveness.h"

namespace station_center {

void Liveness::PassStarted(int64_t now_millis) { pass_started_.store(now_millis); }

void Liveness::PassEnded(int64_t now_millis) {
  pass_ended_.store(now_millis);
  pass_started_.store(0);
}

bool Liveness::Alive(int64_t now_millis, int64_t board_busy_until_millis) const {
  const int64_t started = pass_started_.load();
  if (started == 0) {
    // Between passes: the loop only sleeps a second, so a long gap means it stopped.
    const int64_t ended = pass_ended_.load();
    return ended != 0 && now_millis - ended <= overdue_millis_;
  }
  return now_millis - started <= overdue_millis_ || now_millis < board_busy_until_millis;
}

}  // namespace station_center
