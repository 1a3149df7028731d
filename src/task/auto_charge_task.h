#pragma once

#include <cstdint>
#include <memory>

#include "task/task.h"

namespace station_center {

// Charges the robot through the electrode plates while the robot stays in
// position, both plates stay cool enough and the hand charger is not plugged in.
// Threading: driven under the owner's task_mutex_ like every task.
class AutoChargeTask : public ActionTask {
 public:
  AutoChargeTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds);

  using Task::PreCheckUnlock;
  bool DoReset() override;
  void AfterCancel() override;
  bool DoCancelUnlock() override;
  PreCheckResult PreCheckUnlock(const station::SensorsDataRep& data) override;

 protected:
  bool OnStart() override;
  bool OnPass(const station::SensorsDataRep& data) override;

 private:
  // Plates over temperature or the hand plug in: record, stop charging, end in error.
  bool StopUnsafeCharge(const station::SensorsDataRep& data);
  bool StopCharging();
  void SetCharging(int32_t state);
};

}  // namespace station_center
