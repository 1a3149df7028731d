#include "task/sewage_drain_pump_task.h"

#include "config.h"
#include "error_codes.h"

namespace station_center {

SewageDrainPumpTask::SewageDrainPumpTask(std::shared_ptr<TaskServices> services, const TaskType& task_type,
                                         int64_t max_seconds, int32_t action)
    : ActionTask(std::move(services), task_type, max_seconds),
      pump_power_(ValueForAction(action, g_config.sewage_pump_power_soft, g_config.sewage_pump_power_standard,
                                 g_config.sewage_pump_power_strong)) {}

bool SewageDrainPumpTask::OnStart() {
  if (!Command(station::ENUM_SUPPLY_SEWAGE_PUMP, pump_power_, kErrSewagePump, "open sewage drain pump failed")) {
    return false;
  }
  SetPumpWorking(true);
  return true;
}

bool SewageDrainPumpTask::StopPump(const char* failed_line) {
  pump_power_ = 0;
  if (!Command(station::ENUM_SUPPLY_SEWAGE_PUMP, 0, kErrSewagePump, failed_line)) {
    return false;
  }
  SetPumpWorking(false);
  return true;
}

void SewageDrainPumpTask::SetPumpWorking(bool working) {
  WithTaskData([working](StationTaskData& data) { data.sewage_pump_working = working; });
}

bool SewageDrainPumpTask::DoCancelUnlock() { return StopPump("close sewage drain pump failed when cancel"); }

bool SewageDrainPumpTask::DoReset() { return StopPump("close sewage drain pump failed"); }

}  // namespace station_center
