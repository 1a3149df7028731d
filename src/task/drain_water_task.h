#pragma once

#include <ctime>
#include <memory>

#include "task/task.h"

namespace station_center {

// Empties the clean tank through its drain valve, discarding prepared liquid.
// Threading: driven under the owner's task_mutex_ like every task.
class DrainWaterTask : public ActionTask {
 public:
  DrainWaterTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds);

  bool DoReset() override;
  void AfterError() override;
  void AfterCancel() override;
  bool DoCancelUnlock() override;

 protected:
  bool OnStart() override;
  bool OnPass(const station::SensorsDataRep& data) override;

 private:
  // The tank is empty (or draining gave up): forget the liquid, close the valve.
  bool FinishDrain();
  // Prepared liquid is gone once draining starts.
  void ForgetPreparedLiquid(bool tank_empty);

  bool drain_opened_ = false;
  time_t drain_start_ = -1;
};

}  // namespace station_center
