#pragma once

#include <ctime>
#include <memory>

#include "task/task.h"

namespace station_center {

// Brings the station back to a known state: board reset, task data reset,
// clean tank drained.
// Threading: driven under the owner's task_mutex_ like every task.
class ResetStationTask : public StepTask {
 public:
  ResetStationTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds);

  bool DoReset() override;
  bool DoCancelUnlock() override;

 protected:
  void OnStart() override;

 private:
  bool ResetMcu(const station::SensorsDataRep& data);
  bool DrainWater(const station::SensorsDataRep& data);
  bool WaitDrainWaterOver(const station::SensorsDataRep& data);
  // Closes the drain valve at the end of draining; error status when the board refused.
  bool CloseDrainAtEnd();
  // Closes the drain valve; a refusal logs `failed_line` and ends the task in error.
  bool CloseDrain(const char* failed_line);

  time_t drain_start_ = -1;
};

}  // namespace station_center
