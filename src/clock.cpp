#include "clock.h"

#include <chrono>

namespace station_center {

namespace {

class WallClock : public Clock {
 public:
  int64_t NowMillis() const override { return station_center::NowMillis(); }
};

}  // namespace

std::shared_ptr<const Clock> SystemClock() {
  static const std::shared_ptr<const Clock> clock = std::make_shared<WallClock>();
  return clock;
}

int64_t NowMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int64_t NowSeconds() { return NowMillis() / 1000; }

}  // namespace station_center
