#include "task/manual_charge_task.h"

namespace station_center {

ManualChargeTask::ManualChargeTask(std::shared_ptr<StationCenter> station_center, const TaskType& task_type,
                                   int64_t max_seconds)
    : Task(std::move(station_center), task_type, max_seconds) {}

bool ManualChargeTask::DoTaskInside(const station::SensorsDataRep& data) {
  if (Finished()) {
    LogAlreadyFinished("already over or error or cancel");
    return true;
  }
  if (status_ == TASK_STATUS_INIT) {
    MarkStarted();
  }
  // Charging by hand has no time limit: it lasts as long as the plug is in.
  if (!data.handchargeinsidedet()) {
    SetTaskStatus(TASK_STATUS_OVER);
  }
  return true;
}

// The hand charger is not switched by the station: nothing to switch off.
bool ManualChargeTask::DoCancelUnlock() { return true; }

bool ManualChargeTask::DoReset() { return true; }

}  // namespace station_center
