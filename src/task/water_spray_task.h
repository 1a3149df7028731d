#pragma once

#include <cstdint>
#include <memory>

#include "task/task.h"

namespace station_center {

// Runs the self-clean pump with the prepared disinfectant water while the
// sewage pump carries the dirty water away.
// Threading: driven under the owner's task_mutex_ like every task.
class WaterSprayTask : public ActionTask {
 public:
  WaterSprayTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds,
                 int32_t action);

  using Task::PreCheckUnlock;
  bool DoReset() override;
  void AfterError() override;
  void AfterCancel() override;
  bool DoCancelUnlock() override;
  PreCheckResult PreCheckUnlock(const station::SensorsDataRep& data) override;

  int32_t pump_power() const { return pump_power_; }

 protected:
  bool OnStart() override;

 private:
  // The prepared water is used up; a cancelled spray may resume without new water.
  void ForgetPreparedWater(bool resumable);

  int32_t pump_power_;
};

}  // namespace station_center
