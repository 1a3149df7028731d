#pragma once

#include <cstdint>
#include <memory>

#include "task/task.h"

namespace station_center {

// Runs the heating (drying) fan; the heat wire may only work while it blows.
// Threading: driven under the owner's task_mutex_ like every task.
class DryTask : public ActionTask {
 public:
  DryTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds);

  bool DoReset() override;
  void AfterError() override;
  void AfterCancel() override;
  // Refused while the heat wire works: the wire must not heat without airflow.
  bool DoCancelUnlock() override;

 protected:
  bool OnStart() override;

 private:
  bool CloseFan();
  void SetFanOpen(bool open);
};

}  // namespace station_center
