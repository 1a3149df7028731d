#pragma once

#include <ctime>
#include <memory>

#include "task/task.h"

namespace station_center {

// Brings the station back to a known state: board reset, task data reset,
// clean tank drained.
// Threading: driven under the owner's task_mutex_ like every task.
class ResetStationTask : public Task {
 public:
  ResetStationTask(std::shared_ptr<StationCenter> station_center, const TaskType& task_type, int64_t max_seconds);

  bool DoReset() override;
  bool DoTaskInside(const station::SensorsDataRep& data) override;
  bool DoCancelUnlock() override;

 protected:
  void OnStepTaskStart() override;

 private:
  bool ResetMcu(const station::SensorsDataRep& data);
  bool DrainWater(const station::SensorsDataRep& data);
  bool WaitDrainWaterOver(const station::SensorsDataRep& data);
  // Closes the drain valve at the end of draining; error status when the board refused.
  bool CloseDrainAtEnd();

  time_t drain_start_ = -1;
};

}  // namespace station_center
