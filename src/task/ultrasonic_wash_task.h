#pragma once

#include <cstdint>
#include <memory>

#include "task/task.h"

namespace station_center {

// Runs the ultrasonic wash while its tank holds water.
// Threading: driven under the owner's task_mutex_ like every task.
class UltrasonicWashTask : public SupplyMaterialTask {
 public:
  UltrasonicWashTask(std::shared_ptr<StationCenter> station_center, const TaskType& task_type, int64_t max_seconds,
                     int32_t action);

  using Task::PreCheckUnlock;
  bool DoReset() override;
  bool DoTaskInside(const station::SensorsDataRep& data) override;
  bool DoCancelUnlock() override;
  PreCheckResult PreCheckUnlock(const station::SensorsDataRep& data) override;

  bool started() const { return started_; }

 private:
  bool StopWash();

  bool started_ = false;  // the board acknowledged the on command
};

}  // namespace station_center
