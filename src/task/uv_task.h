#pragma once

#include <cstdint>
#include <memory>

#include "task/task.h"

namespace station_center {

// Lights the UV lamp on a docked robot for the requested time; reaching that
// time is this task's normal end, the robot leaving ends it at once (checked
// before the time limit).
// Threading: driven under the owner's task_mutex_ like every task.
class UVTask : public ActionTask {
 public:
  UVTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds);

  using Task::PreCheckUnlock;
  bool DoReset() override;
  bool DoCancelUnlock() override;
  PreCheckResult PreCheckUnlock(const station::SensorsDataRep& data) override;

 protected:
  bool OnStart() override;
  bool OnPass(const station::SensorsDataRep& data) override;
  bool OnTimeLimit() override;

 private:
  // Lamp off; on acknowledgement the task ends with `end_status`.
  bool SwitchOff(TaskStatus end_status);
};

}  // namespace station_center
