#pragma once

#include <cstdint>
#include <memory>

#include "task/task.h"

namespace station_center {

// Lights the UV lamp on a docked robot for the requested time; reaching that
// time is this task's normal end, the robot leaving ends it at once.
// Threading: driven under the owner's task_mutex_ like every task.
class UVTask : public SupplyMaterialTask {
 public:
  UVTask(std::shared_ptr<StationCenter> station_center, const TaskType& task_type, int64_t max_seconds, int32_t action);

  using Task::PreCheckUnlock;
  bool DoReset() override;
  bool DoTaskInside(const station::SensorsDataRep& data) override;
  bool DoCancelUnlock() override;
  PreCheckResult PreCheckUnlock(const station::SensorsDataRep& data) override;

 private:
  // Lamp off; on acknowledgement the task ends with `end_status`.
  bool SwitchOff(TaskStatus end_status);
};

}  // namespace station_center
