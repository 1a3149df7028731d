#include "task/sewage_drain_pump_task.h"

#include <mutex>
#include <shared_mutex>

#include "clock.h"
#include "config.h"
#include "logger.h"
#include "station_center.h"
#include "task/task_factory.h"

namespace station_center {

namespace {

constexpr int kErrSewagePump = 101900067;

}  // namespace

SewageDrainPumpTask::SewageDrainPumpTask(std::shared_ptr<StationCenter> station_center, const TaskType& task_type,
                                         int64_t max_seconds, int32_t action)
    : SupplyMaterialTask(std::move(station_center), task_type, max_seconds, action),
      pump_power_(ValueForAction(action, g_config.sewage_pump_power_soft, g_config.sewage_pump_power_standard,
                                 g_config.sewage_pump_power_strong)) {}

bool SewageDrainPumpTask::DoTaskInside(const station::SensorsDataRep& data) {
  if (status_ == TASK_STATUS_INIT) {
    start_time_ = static_cast<time_t>(NowSeconds());
    if (!SendAction(station::ENUM_SUPPLY_SEWAGE_PUMP, pump_power_)) {
      LOG_ERROR("ErrorCode: {}, open sewage drain pump failed", kErrSewagePump);
      return false;
    }
    std::unique_lock<std::shared_mutex> lock(station_center_->task_data_mutex());
    station_center_->task_data().sewage_pump_working = true;
    SetTaskStatus(TASK_STATUS_RUNNING);
  }
  if (Finished()) {
    LogAlreadyFinished("already over or error or cancel");
    return true;
  }
  // No limit: the pump runs until cancelled.
  if (max_seconds_ < 1) {
    return true;
  }
  if (NowSeconds() - start_time_ <= max_seconds_) {
    return true;
  }
  // The driver's DoReset stops the pump and clears the working flag.
  LogExecTimeout();
  return false;
}

bool SewageDrainPumpTask::StopPump() {
  const bool ok = SendAction(station::ENUM_SUPPLY_SEWAGE_PUMP, 0);
  if (ok) {
    std::unique_lock<std::shared_mutex> lock(station_center_->task_data_mutex());
    station_center_->task_data().sewage_pump_working = false;
  }
  return ok;
}

bool SewageDrainPumpTask::DoCancelUnlock() {
  pump_power_ = 0;
  const bool ok = StopPump();
  if (!ok) {
    LOG_ERROR("ErrorCode: {}, close sewage drain pump failed when cancel", kErrSewagePump);
  }
  return ok;
}

bool SewageDrainPumpTask::DoReset() {
  // After a time-limit error nothing else would stop a pump this task started.
  pump_power_ = 0;
  const bool ok = StopPump();
  if (!ok) {
    LOG_ERROR("ErrorCode: {}, close sewage drain pump failed", kErrSewagePump);
  }
  return ok;
}

}  // namespace station_center
