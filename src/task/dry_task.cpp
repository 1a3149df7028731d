#include "task/dry_task.h"

#include <mutex>
#include <shared_mutex>

#include "clock.h"
#include "logger.h"
#include "station_center.h"

namespace station_center {

namespace {

constexpr int kErrOpenFan = 101900041;
constexpr int kErrCloseFan = 101900042;

}  // namespace

DryTask::DryTask(std::shared_ptr<StationCenter> station_center, const TaskType& task_type, int64_t max_seconds,
                 int32_t action)
    : SupplyMaterialTask(std::move(station_center), task_type, max_seconds, action) {}

bool DryTask::DoTaskInside(const station::SensorsDataRep& /*data*/) {
  if (Finished()) {
    LogAlreadyFinished("already over or error or cancel");
    return true;
  }
  if (status_ == TASK_STATUS_INIT) {
    start_time_ = static_cast<time_t>(NowSeconds());
    if (!SendAction(station::ENUM_SUPPLY_HEATING_FAN, 1)) {
      LOG_ERROR("ErrorCode: {}, open heat fan failed", kErrOpenFan);
      return false;
    }
    SetFanOpen(true);
    SetTaskStatus(TASK_STATUS_RUNNING);
  }
  if (TimeLimitPassed()) {
    LogExecTimeout();
    return false;
  }
  return true;
}

bool DryTask::CloseFan() {
  const bool ok = SendAction(station::ENUM_SUPPLY_HEATING_FAN, 0);
  if (!ok) {
    LOG_ERROR("ErrorCode: {}, close heat fan failed", kErrCloseFan);
  }
  return ok;
}

void DryTask::SetFanOpen(bool open) {
  std::unique_lock<std::shared_mutex> lock(station_center_->task_data_mutex());
  station_center_->task_data().heat_fan_open = open;
}

bool DryTask::DoCancelUnlock() {
  {
    std::shared_lock<std::shared_mutex> lock(station_center_->task_data_mutex());
    if (station_center_->task_data().heat_wire_working) {
      LOG_INFO("Cancel dry task failed, because heat wire still work");
      return false;
    }
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
