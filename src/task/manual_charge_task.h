#pragma once

#include <cstdint>
#include <memory>

#include "task/task.h"

namespace station_center {

// Marks the station busy while the hand charger is plugged into the robot; the
// charger needs no command, so the task only watches the plug.
// Threading: driven under the owner's task_mutex_ like every task.
class ManualChargeTask : public ActionTask {
 public:
  ManualChargeTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds);

  bool DoReset() override;
  bool DoCancelUnlock() override;

 protected:
  bool OnPass(const station::SensorsDataRep& data) override;
};

}  // namespace station_center
