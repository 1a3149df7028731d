#pragma once

#include <cstdint>
#include <memory>

#include "task/task.h"

namespace station_center {

// Charges the robot through the electrode plates while both plates stay cool
// enough and the hand charger is not plugged in.
// Threading: driven under the owner's task_mutex_ like every task.
class AutoChargeTask : public SupplyMaterialTask {
 public:
  AutoChargeTask(std::shared_ptr<StationCenter> station_center, const TaskType& task_type, int64_t max_seconds,
                 int32_t action);

  using Task::PreCheckUnlock;
  bool DoReset() override;
  void AfterCancel() override;
  bool DoTaskInside(const station::SensorsDataRep& data) override;
  bool DoCancelUnlock() override;
  PreCheckResult PreCheckUnlock(const station::SensorsDataRep& data) override;

 private:
  // Plates over temperature or the hand plug in: record, stop charging, end in error.
  bool StopUnsafeCharge(const station::SensorsDataRep& data);
  void SetCharging(int32_t state);
};

}  // namespace station_center
