#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "station/cmd.pb.h"
#include "station/station_report.pb.h"
#include "station_types.h"
#include "task/task.h"

namespace station_center {

// One lamp/screen pattern: when it applies, what showing it changes, the
// board command and its rank (smaller is tried first). The action runs once
// the board has the pattern (acknowledged now or already showing it).
struct LedStrategy {
  std::function<bool(StationTaskData&, const station::SensorsDataRep&, const TaskTable&)> condition;
  std::function<void(StationTaskData&, const station::SensorsDataRep&)> action;
  station::EnumLedCmd led_cmd = station::LED_NOT_CHANGE;
  int32_t priority = 0;
};

// The indication strategies, ranked by led.json.
// Threading: ReadConfig runs once during start-up; afterwards the strategies are
// evaluated only by StationCenter::ReflushLed with the core's locks held.
class LedManager {
 public:
  LedManager() = default;
  LedManager(const LedManager&) = delete;
  LedManager& operator=(const LedManager&) = delete;

  // Reads led.json and builds the strategies in priority order; false when the
  // file is missing or not a JSON object.
  bool ReadConfig();

  const std::vector<std::shared_ptr<LedStrategy>>& strategies() const { return strategies_; }

 private:
  std::vector<std::shared_ptr<LedStrategy>> strategies_;
  // The self-check success pattern is shown once; there is one station core,
  // and so one manager, per process.
  bool self_check_success_shown_ = false;
};

}  // namespace station_center
