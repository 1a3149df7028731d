#pragma once

#include <cstdint>
#include <memory>

#include "task/task.h"

namespace station_center {

// Keeps the heat wire at the target temperature of the robot's action while
// the drying fan blows: on below the target, off above it. Once the fan is gone,
// or the drying task switched the wire off, it switches the wire off and ends.
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
  // The fan is open and the drying task has not switched the wire off.
  bool MayHeat() const;
  // The wire off, then cancelled; a refused off is tried again next pass.
  bool EndWithoutFan();
  // `log_refusal` false: a repeated refusal is not logged again.
  bool StopWire(bool log_refusal = true);
  void SetWireWorking(bool working);
  void ReleaseWireWorking();

  int32_t target_temp_;
  bool heating_ = false;  // the wire is switched on now
  bool ending_ = false;   // the fan stopped or the wire was switched off for it: ending
};

}  // namespace station_center
