#pragma once

#include <cstdint>
#include <memory>

#include "task/task.h"

namespace station_center {

// Keeps the heat wire at the target temperature of the robot's action while
// its interlock (the station's output guard) allows it: on below the target,
// off above it or on readings it cannot trust. Once the interlock is gone it
// switches the wire off and ends.
// Threading: driven under the owner's task_mutex_ like every task.
class HeatWireTask : public ActionTask {
 public:
  HeatWireTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds, int32_t action);

  using Task::PreCheckUnlock;
  bool DoReset() override;
  void AfterError() override;
  void AfterCancel() override;
  bool DoCancelUnlock() override;
  PreCheckResult PreCheckUnlock(const station::SensorsDataRep& data) override;
  bool Stopping() const override;

  int32_t target_temp() const { return target_temp_; }
  bool heating() const { return heating_; }

 protected:
  bool OnStart() override;
  // The thermostat.
  bool OnPass(const station::SensorsDataRep& data) override;

 private:
  bool MayHeat() const;
  // The wire off, then cancelled; a refused off is tried again next pass.
  bool EndWithoutFan();
  // `log_refusal` false: a repeated refusal is not logged again.
  bool StopWire(bool log_refusal = true);
  void SetWireWorking(bool working);

  int32_t target_temp_;
  bool heating_ = false;  // the wire is switched on now
  bool ending_ = false;   // the interlock went: ending
};

}  // namespace station_center
