#include "clock.h"

#include <chrono>

namespace station_center {

namespace {

class SystemClocks : public Clock {
 public:
  int64_t NowMillis() const override { return station_center::NowMillis(); }
  int64_t WallSeconds() const override { return station_center::WallSeconds(); }
};

int64_t SteadyMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t WallMillis() {
  using namespace std::chrono;
  // A date, read where one is meant: reports, the dust bag, status.json.
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

std::shared_ptr<const Clock> SystemClock() {
  static const std::shared_ptr<const Clock> clock = std::make_shared<SystemClocks>();
  return clock;
}

int64_t NowMillis() {
  // Anchored once so that values look like the time of start-up and a zero
  // meaning "never" stays long past; from then on only the steady clock counts.
  static const int64_t anchor = WallMillis() - SteadyMillis();
  return SteadyMillis() + anchor;
}

int64_t NowSeconds() { return NowMillis() / 1000; }

int64_t WallSeconds() { return WallMillis() / 1000; }

int64_t WallStepWatch::Check(const Clock& clock) {
  const int64_t wall = clock.WallSeconds();
  const int64_t steady = clock.NowMillis();
  // The wall clock's whole seconds against the steady clock's rounded ones.
  const int64_t step = (wall - wall_) - (steady - steady_millis_ + 500) / 1000;
  const bool looked = looked_;
  looked_ = true;
  wall_ = wall;
  steady_millis_ = steady;
  return looked && (step > tolerance_ || step < -tolerance_) ? step : 0;
}

int64_t BuildSeconds() {
#ifdef STATION_BUILD_SECONDS
  return STATION_BUILD_SECONDS;
#else
  return 0;
#endif
}

}  // namespace station_center
