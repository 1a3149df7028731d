#pragma once

#include <cstdint>
#include <ctime>
#include <memory>

#include "task/task.h"

namespace station_center {

// Supplies the robot with no volume target, refilling the clean tank from the
// tap whenever it runs empty, until cancelled or out of time.
// Threading: driven under the owner's task_mutex_ like every task.
class AddWaterNoLimitTask : public StepTask {
 public:
  AddWaterNoLimitTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds);

  bool DoReset() override;
  bool DoCancelUnlock() override;

 protected:
  bool OnTimeLimit() override;

 private:
  bool DoAddWaterToRobot(const station::SensorsDataRep& data);
  bool WaitAddWaterToRobot(const station::SensorsDataRep& data);
  bool DoAddWaterToStation(const station::SensorsDataRep& data);
  bool WaitAddWaterToStation(const station::SensorsDataRep& data);

  time_t station_fill_start_ = -1;
};

}  // namespace station_center
