#pragma once

#include <cstdint>
#include <memory>

#include "task/task.h"

namespace station_center {

// Runs the dust collection fan while the dust bag and the box cap are in place.
// Threading: driven under the owner's task_mutex_ like every task.
class DustCollectTask : public RunActuatorTask {
 public:
  DustCollectTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds);

  using Task::PreCheckUnlock;
  PreCheckResult PreCheckUnlock(const station::SensorsDataRep& data) override;
};

}  // namespace station_center
