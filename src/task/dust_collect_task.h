#pragma once

#include <cstdint>
#include <memory>

#include "task/task.h"

namespace station_center {

// Runs the dust collection fan while the dust bag and the box cap are in place.
// Threading: driven under the owner's task_mutex_ like every task.
class DustCollectTask : public SupplyMaterialTask {
 public:
  DustCollectTask(std::shared_ptr<StationCenter> station_center, const TaskType& task_type, int64_t max_seconds,
                  int32_t action);

  using Task::PreCheckUnlock;
  bool DoReset() override;
  bool DoTaskInside(const station::SensorsDataRep& data) override;
  bool DoCancelUnlock() override;
  PreCheckResult PreCheckUnlock(const station::SensorsDataRep& data) override;

  bool started() const { return started_; }

 private:
  bool StopCollect();

  bool started_ = false;  // the board acknowledged the on command
};

}  // namespace station_center
