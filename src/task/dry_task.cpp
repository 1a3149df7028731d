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

// The fan goes off only once the station could switch off what it cools; until
// then it keeps blowing and the stop is tried again next pass.
bool DryTask::ContinueStop() { return !CloseFan(); }

bool DryTask::CloseFan() {
  if (!SendAction(station::ENUM_SUPPLY_HEATING_FAN, 0)) {
    if (!close_refused_) {
      LOG_ERROR("ErrorCode: {}, close heat fan failed", kErrCloseFan);
      close_refused_ = true;
    }
    return false;
  }
  close_refused_ = false;
  SetFanOpen(false);
  return true;
}

void DryTask::SetFanOpen(bool open) {
  WithTaskData([open](StationTaskData& data) { data.heat_fan_open = open; });
}

bool DryTask::DoCancelUnlock() {
  // The driver repeats an acknowledged cancel; only a live task refuses.
  if (!Finished() && services_->HeldOnByDependent(station::ENUM_SUPPLY_HEATING_FAN)) {
    LOG_INFO("Cancel dry task failed, because heat wire still work");
  } else if (CloseFan()) {
    return true;
  }
  // Either way the fan keeps blowing for now; a running task stops it on its next passes.
  if (status_ == TASK_STATUS_RUNNING) {
    stopping_ = true;
  }
  return false;
}

TaskStatus DryTask::RefusedCancelStatus() const { return stopping_ ? status_ : TASK_STATUS_ERROR; }

bool DryTask::Stopping() const { return stopping_ || ActionTask::Stopping(); }

bool DryTask::DoReset() { return CloseFan(); }

void DryTask::AfterError() { SetFanOpen(false); }

void DryTask::AfterCancel() {
  // A cancel the station itself forced has no reset after it; a refused fan-off
  // is then the station's to repeat until the board confirms it.
  if (status_ != TASK_STATUS_CANCEL) {
    CloseFan();
    SetTaskStatus(TASK_STATUS_ERROR);
  }
  SetFanOpen(false);
}

}  // namespace station_center
