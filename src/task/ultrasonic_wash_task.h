#pragma once

#include <cstdint>
#include <memory>

#include "task/task.h"

namespace station_center {

// Runs the ultrasonic wash while its tank holds water.
// Threading: driven under the owner's task_mutex_ like every task.
class UltrasonicWashTask : public RunActuatorTask {
 public:
  UltrasonicWashTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds);

  using Task::PreCheckUnlock;
  PreCheckResult PreCheckUnlock(const station::SensorsDataRep& data) override;
};

}  // namespace station_center
