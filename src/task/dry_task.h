#pragma once

#include <cstdint>
#include <memory>

#include "task/task.h"

namespace station_center {

// Runs the heating (drying) fan. The station's output guard keeps it on while
// anything it cools is not confirmed off; the task retries its stop meanwhile.
// Threading: driven under the owner's task_mutex_ like every task.
class DryTask : public ActionTask {
 public:
  DryTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds);

  bool DoReset() override;
  void AfterError() override;
  void AfterCancel() override;
  // Refused while the fan must keep blowing for what it cools: the robot must
  // stop that first. The task then stops the fan itself and ends in error.
  bool DoCancelUnlock() override;
  bool Stopping() const override;

 protected:
  bool OnStart() override;
  bool OnPass(const station::SensorsDataRep& data) override;
  bool OnTimeLimit() override;
  TaskStatus RefusedCancelStatus() const override;

 private:
  // False when the board (or the guard, for what the fan cools) refused.
  bool CloseFan();
  // A stop under way: true (keep running) while the fan is not confirmed off,
  // false (end in error) once it is.
  bool ContinueStop();
  void SetFanOpen(bool open);

  bool stopping_ = false;       // switching off before ending in error
  bool close_refused_ = false;  // the last fan-off was refused; repeats are not logged again
};

}  // namespace station_center
