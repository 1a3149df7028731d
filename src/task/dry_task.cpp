#include "task/dry_task.h"

#include "error_codes.h"
#include "logger.h"

namespace station_center {

DryTask::DryTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds)
    : ActionTask(std::move(services), task_type, max_seconds) {}

bool DryTask::OnStart() {
  if (!Command(station::ENUM_SUPPLY_HEATING_FAN, 1, kErrOpenFan, "open heat fan failed")) {
    return false;
  }
  SetFanOpen(true);
  return true;
}

bool DryTask::CloseFan() { return Command(station::ENUM_SUPPLY_HEATING_FAN, 0, kErrCloseFan, "close heat fan failed"); }

void DryTask::SetFanOpen(bool open) {
  WithTaskData([open](StationTaskData& data) { data.heat_fan_open = open; });
}

bool DryTask::DoCancelUnlock() {
  if (FromTaskData([](const StationTaskData& data) { return data.heat_wire_working; })) {
    LOG_INFO("Cancel dry task failed, because heat wire still work");
    return false;
  }
  return CloseFan();
}

bool DryTask::DoReset() { return CloseFan(); }

void DryTask::AfterError() { SetFanOpen(false); }

void DryTask::AfterCancel() {
  // A cancel the station itself forced (no reset follows it) may have been
  // refused for the heat wire; the task goes away now, so the fan must not be
  // left running without an owner.
  if (status_ == TASK_STATUS_ERROR) {
    CloseFan();
  }
  SetFanOpen(false);
}

}  // namespace station_center
