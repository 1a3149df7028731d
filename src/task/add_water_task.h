#pragma once

#include <cstdint>
#include <ctime>
#include <memory>

#include "task/task.h"

namespace station_center {

// Gives the robot the volume the last preparation asked for, from the clean
// tank, refilling the tank from the tap whenever it runs empty.
// Threading: driven under the owner's task_mutex_ like every task.
class AddWaterTask : public StepTask {
 public:
  AddWaterTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds);

  using Task::PreCheckUnlock;
  bool DoReset() override;
  void AfterOver() override;
  void AfterError() override;
  void AfterCancel() override;
  bool DoCancelUnlock() override;
  PreCheckResult PreCheckUnlock(const station::SensorsDataRep& data) override;

  int32_t volume() const { return volume_; }

 protected:
  bool OnTimeLimit() override;

 private:
  bool DoAddWaterToRobot(const station::SensorsDataRep& data);
  bool WaitAddWaterToRobot(const station::SensorsDataRep& data);
  bool DoAddWaterToStation(const station::SensorsDataRep& data);
  bool WaitAddWaterToStation(const station::SensorsDataRep& data);

  // Supply valve closed; a refusal ends the task in error.
  bool CloseSupply();
  // The clean tank is empty (or taken as empty): refill it or finish.
  void RobotSupplyDone();
  // The preparation facts are void once the supply failed or was cancelled.
  void ForgetPreparation();

  int32_t volume_ = 0;
  time_t station_fill_start_ = -1;
  time_t robot_fill_start_ = -1;
  TapFill fill_;
};

}  // namespace station_center
