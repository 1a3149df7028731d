#include "task/water_spray_task.h"

#include <mutex>
#include <shared_mutex>

#include "clock.h"
#include "config.h"
#include "logger.h"
#include "station_center.h"
#include "task/task_factory.h"

namespace station_center {

namespace {

namespace common = vantorel_base_station_common;

constexpr int kErrOpenPump = 101900065;
constexpr int kErrClosePump = 101900066;

}  // namespace

WaterSprayTask::WaterSprayTask(std::shared_ptr<StationCenter> station_center, const TaskType& task_type,
                               int64_t max_seconds, int32_t action)
    : SupplyMaterialTask(std::move(station_center), task_type, max_seconds, action),
      pump_power_(ValueForAction(action, g_config.self_clean_pump_power_soft, g_config.self_clean_pump_power_standard,
                                 g_config.self_clean_pump_power_strong)) {}

PreCheckResult WaterSprayTask::PreCheckUnlock(const station::SensorsDataRep& /*data*/) {
  PreCheckResult result;
  std::shared_lock<std::shared_mutex> lock(station_center_->task_data_mutex());
  const StationTaskData& task_data = station_center_->task_data();
  if (!task_data.sewage_pump_working) {
    LOG_WARN("sewage pump not working, can not start self clean pump");
    result.err_msg = "sewage pump not working";
    result.err_code = common::ENUM_SEWAGE_PUMP_NOT_OPEN;
    return result;
  }
  const bool water_prepared = task_data.water_volume > 0 && task_data.disinfectant_water_ready;
  if (!water_prepared && !task_data.water_spray_resumable) {
    LOG_WARN("pre disinfectant no ready, can not start self clean pump");
    result.err_msg = "pre disinfectant no ready";
    result.err_code = common::ENUM_DISINFECTANT_WATER_NOT_READY;
  }
  return result;
}

bool WaterSprayTask::DoTaskInside(const station::SensorsDataRep& /*data*/) {
  if (Finished()) {
    LogAlreadyFinished("already over or error or cancel");
    return true;
  }
  if (status_ == TASK_STATUS_INIT) {
    start_time_ = static_cast<time_t>(NowSeconds());
    if (!SendAction(station::ENUM_SUPPLY_SELF_CLEAN_PUMP, pump_power_)) {
      LOG_ERROR("ErrorCode: {}, open self clean pump failed", kErrOpenPump);
      return false;
    }
    SetTaskStatus(TASK_STATUS_RUNNING);
  }
  if (TimeLimitPassed()) {
    LogExecTimeout();
    return false;
  }
  return true;
}

bool WaterSprayTask::DoCancelUnlock() {
  const bool ok = SendAction(station::ENUM_SUPPLY_SELF_CLEAN_PUMP, 0);
  if (!ok) {
    LOG_ERROR("ErrorCode: {}, close self clean pump failed", kErrClosePump);
  }
  return ok;
}

bool WaterSprayTask::DoReset() {
  const bool ok = SendAction(station::ENUM_SUPPLY_SELF_CLEAN_PUMP, 0);
  if (!ok) {
    SetTaskStatus(TASK_STATUS_ERROR);
    LOG_ERROR("ErrorCode: {}, close self clean pump failed", kErrClosePump);
  }
  return ok;
}

void WaterSprayTask::ForgetPreparedWater(bool resumable) {
  std::unique_lock<std::shared_mutex> lock(station_center_->task_data_mutex());
  StationTaskData& task_data = station_center_->task_data();
  task_data.disinfectant_water_ready = false;
  task_data.perfume_liquid_ready = false;
  task_data.clean_liquid_ready = false;
  task_data.water_volume = 0;
  task_data.water_spray_resumable = resumable;
}

void WaterSprayTask::AfterError() { ForgetPreparedWater(false); }

void WaterSprayTask::AfterCancel() { ForgetPreparedWater(true); }

}  // namespace station_center
