#pragma once

#include <cstdint>
#include <memory>

#include "task/task.h"

namespace station_center {

// Runs the sewage pump at the power the robot's action asks for, for the
// requested duration (0: until cancelled).
// Threading: driven under the owner's task_mutex_ like every task.
class SewageDrainPumpTask : public SupplyMaterialTask {
 public:
  SewageDrainPumpTask(std::shared_ptr<StationCenter> station_center, const TaskType& task_type, int64_t max_seconds,
                      int32_t action);

  bool DoReset() override;
  bool DoTaskInside(const station::SensorsDataRep& data) override;
  bool DoCancelUnlock() override;

  int32_t pump_power() const { return pump_power_; }

 private:
  // Stops the pump; the working flag is cleared only when the board confirmed,
  // so the sensor automation keeps trying to close a pump that may still run.
  bool StopPump();

  int32_t pump_power_;
};

}  // namespace station_center
