#pragma once

#include <cstdint>
#include <ctime>
#include <memory>

#include "task/task.h"

namespace station_center {

// Supplies the robot with no volume target, refilling the clean tank from the
// tap whenever it runs empty, until cancelled or out of time.
// Threading: driven under the owner's task_mutex_ like every task.
class AddWaterNoLimitTask : public SupplyMaterialTask {
 public:
  AddWaterNoLimitTask(std::shared_ptr<StationCenter> station_center, const TaskType& task_type, int64_t max_seconds,
                      int32_t action);

  bool DoReset() override;
  bool DoTaskInside(const station::SensorsDataRep& data) override;
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
