#pragma once

#include <cstdint>
#include <memory>

#include "task/task.h"

namespace station_center {

// Runs the sewage pump at the power the robot's action asks for, for the
// requested duration (0: until cancelled).
// Threading: driven under the owner's task_mutex_ like every task.
class SewageDrainPumpTask : public ActionTask {
 public:
  SewageDrainPumpTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds,
                      int32_t action);

  // After a time-limit error nothing else would stop a pump this task started.
  bool DoReset() override;
  bool DoCancelUnlock() override;

  int32_t pump_power() const { return pump_power_; }

 protected:
  bool OnStart() override;

 private:
  // Stops the pump; the working flag is cleared only when the board confirmed,
  // so the sensor automation keeps trying to close a pump that may still run.
  bool StopPump(const char* failed_line);
  void SetPumpWorking(bool working);

  int32_t pump_power_;
};

}  // namespace station_center
