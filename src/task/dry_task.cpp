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

bool DryTask::OnPass(const station::SensorsDataRep& /*data*/) { return !stopping_ || ContinueStop(); }

bool DryTask::OnTimeLimit() {
  if (!stopping_) {
    LogExecTimeout();
    stopping_ = true;
  }
  return ContinueStop();
}

bool DryTask::ContinueStop() {
  if (!StopWire()) {
    return true;  // the fan keeps blowing; the wire is tried again next pass
  }
  CloseFan();  // a refusal is logged; the driver's reset tries again
  return false;
}

bool DryTask::StopWireThenFan() { return StopWire() && CloseFan(); }

// Sent whether or not a wire task runs: a wire switched on just before its task
// ended, or by a command whose answer was lost, must not outlive the airflow.
bool DryTask::StopWire() {
  if (!SendAction(station::ENUM_SUPPLY_HEATING_WIRE, 0)) {
    if (!wire_refused_) {
      LOG_ERROR("ErrorCode: {}, stop heat wire failed", kErrStopWire);
      LOG_WARN("heat fan stays on until the heat wire is confirmed off");
      wire_refused_ = true;
    }
    return false;
  }
  wire_refused_ = false;
  // A wire task still running finds the flag gone and ends at its next pass.
  WithTaskData([](StationTaskData& data) { data.heat_wire_working = false; });
  return true;
}

bool DryTask::CloseFan() {
  if (!Command(station::ENUM_SUPPLY_HEATING_FAN, 0, kErrCloseFan, "close heat fan failed")) {
    return false;
  }
  // At once, not when the driver drops the task: a wire request in between
  // would otherwise be admitted with the fan already off.
  SetFanOpen(false);
  return true;
}

void DryTask::SetFanOpen(bool open) {
  WithTaskData([open](StationTaskData& data) { data.heat_fan_open = open; });
}

bool DryTask::DoCancelUnlock() {
  // The driver repeats an acknowledged cancel; only a live task refuses.
  if (!Finished() && FromTaskData([](const StationTaskData& data) { return data.heat_wire_working; })) {
    LOG_INFO("Cancel dry task failed, because heat wire still work");
  } else if (StopWire()) {
    return CloseFan();
  }
  // Either way the fan keeps blowing until the wire is confirmed off; a running
  // task sees to that on its next passes.
  if (status_ == TASK_STATUS_RUNNING) {
    stopping_ = true;
  }
  return false;
}

TaskStatus DryTask::RefusedCancelStatus() const { return stopping_ ? status_ : TASK_STATUS_ERROR; }

bool DryTask::Stopping() const { return stopping_ || ActionTask::Stopping(); }

bool DryTask::DoReset() { return StopWireThenFan(); }

bool DryTask::SwitchOffNow() {
  const bool wire_off = StopWire();
  return CloseFan() && wire_off;
}

void DryTask::AfterError() { SetFanOpen(false); }

void DryTask::AfterCancel() {
  // A cancel the station itself forced has no reset after it and may have been
  // refused; the task goes away now, so the wire and the fan go off here.
  if (status_ != TASK_STATUS_CANCEL) {
    StopWireThenFan();
    SetTaskStatus(TASK_STATUS_ERROR);
  }
  SetFanOpen(false);
}

}  // namespace station_center
