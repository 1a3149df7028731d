#pragma once

#include <cstdint>
#include <memory>

#include "task/task.h"

namespace station_center {

// Runs the heating (drying) fan; the heat wire may only work while it blows.
// Every fan-off is preceded by a wire-off: a wire the board does not confirm
// off keeps the fan on, and the wire-off is retried every pass.
// Threading: driven under the owner's task_mutex_ like every task.
class DryTask : public ActionTask {
 public:
  DryTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds);

  bool DoReset() override;
  // The fan goes off too when the wire-off is not confirmed.
  bool SwitchOffNow() override;
  void AfterError() override;
  void AfterCancel() override;
  // Refused while the heat wire works: the robot must stop the wire first. The
  // task then switches the wire and the fan off itself and ends in error.
  bool DoCancelUnlock() override;
  bool Stopping() const override;

 protected:
  bool OnStart() override;
  bool OnPass(const station::SensorsDataRep& data) override;
  bool OnTimeLimit() override;
  TaskStatus RefusedCancelStatus() const override;

 private:
  // Wire off, then the fan; false when either was refused. A refused wire-off
  // leaves the fan on.
  bool StopWireThenFan();
  bool StopWire();
  bool CloseFan();
  // A stop under way: true (keep running) while the wire is not confirmed off,
  // false (end in error) once the wire and the fan were commanded off.
  bool ContinueStop();
  void SetFanOpen(bool open);

  bool stopping_ = false;      // switching off before ending in error
  bool wire_refused_ = false;  // the last wire-off was refused; repeats are not logged again
};

}  // namespace station_center
