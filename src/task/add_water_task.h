#pragma once

#include <cstdint>
#include <ctime>
#include <memory>

#include "task/task.h"

namespace station_center {

// Gives the robot the volume the last preparation asked for, from the clean
// tank, refilling the tank from the tap whenever it runs empty.
// Threading: driven under the owner's task_mutex_ like every task.
class AddWaterTask : public SupplyMaterialTask {
 public:
  AddWaterTask(std::shared_ptr<StationCenter> station_center, const TaskType& task_type, int64_t max_seconds,
               int32_t action);

  using Task::PreCheckUnlock;
  bool DoReset() override;
  void AfterOver() override;
  void AfterError() override;
  void AfterCancel() override;
  bool DoTaskInside(const station::SensorsDataRep& data) override;
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

  // The clean tank is empty (or taken as empty): refill it or finish.
  void RobotSupplyDone();
  // Both valves closed; false if either close failed.
  bool CloseValves(const char* done_line);
  // The preparation facts are void once the supply failed or was cancelled.
  void ForgetPreparation();

  int32_t volume_ = 0;
  time_t station_fill_start_ = -1;
  time_t robot_fill_start_ = -1;
  // When the board acknowledged the tap opening; flowMeter of older reports
  // still belongs to the previous fill.
  int64_t tap_open_millis_ = -1;
  // The count the meter showed before the opening. A report made before the
  // opening may arrive after it (it waits in the sensor link), still showing
  // this count; the meter of this fill starts from zero and moves off it.
  uint32_t count_before_open_ = 0;
  // The flow count of the current fill, from reports newer than the opening.
  uint32_t fill_count_ = 0;
};

}  // namespace station_center
