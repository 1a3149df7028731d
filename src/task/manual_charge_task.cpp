#include "task/manual_charge_task.h"

namespace station_center {

ManualChargeTask::ManualChargeTask(std::shared_ptr<TaskServices> services, const TaskType& task_type,
                                   int64_t max_seconds)
    : ActionTask(std::move(services), task_type, max_seconds) {}

// Charging by hand has no time limit: it lasts as long as the plug is in.
bool ManualChargeTask::OnPass(const station::SensorsDataRep& data) {
  if (!data.handchargeinsidedet()) {
    SetTaskStatus(TASK_STATUS_OVER);
  }
  return true;
}

// The hand charger is not switched by the station: nothing to switch off.
bool ManualChargeTask::DoCancelUnlock() { return true; }

bool ManualChargeTask::DoReset() { return true; }

}  // namespace station_center
