#pragma once

#include <ctime>
#include <memory>

#include "task/task.h"

namespace station_center {

// Brings the station back to a known state: board reset, task data reset,
// clean tank drained. It is over only once the board confirmed the drain
// closed: a refused close is retried every pass for as long as the drain itself
// may take, then the reset fails.
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
  // Closes the drain valve at the end of draining: over once acknowledged; a
  // refusal moves to the retry step, whose time running out is an error.
  bool CloseDrainAtEnd();
  // Closes the drain valve; a refusal logs `failed_line` and ends the task in error.
  bool CloseDrain(const char* failed_line);

  time_t drain_start_ = -1;
  int64_t close_deadline_ = -1;  // the last second a refused close is retried; -1 before any refusal
};

}  // namespace station_center
