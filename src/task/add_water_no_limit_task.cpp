#include "task/add_water_no_limit_task.h"

#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

AddWaterNoLimitTask::AddWaterNoLimitTask(std::shared_ptr<TaskServices> services, const TaskType& task_type,
                                         int64_t max_seconds)
    : StepTask(std::move(services), task_type, max_seconds) {
  LOG_INFO("task max seconds : {}", max_seconds_);
  steps_ = {
      {1, [this](const station::SensorsDataRep& data) { return DoAddWaterToRobot(data); }},
      {2, [this](const station::SensorsDataRep& data) { return WaitAddWaterToRobot(data); }},
      {3, [this](const station::SensorsDataRep& data) { return DoAddWaterToStation(data); }},
      {4, [this](const station::SensorsDataRep& data) { return WaitAddWaterToStation(data); }},
  };
}

bool AddWaterNoLimitTask::OnTimeLimit() {
  LOG_ERROR(
      "ErrorCode: {}, task id {}, task type {}, add water no limit exec timeout, start time : {}, cur_time : {}, "
      "duration : {}",
      kErrExecTimeout, static_cast<int32_t>(task_id_), static_cast<int>(task_type_), static_cast<int64_t>(start_time_),
      NowSeconds(), max_seconds_);
  return false;
}

bool AddWaterNoLimitTask::DoAddWaterToRobot(const station::SensorsDataRep& /*data*/) {
  if (!CommandOrFail(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, 1, kErrSupplyOpen, "open supply tag failed")) {
    return false;
  }
  LOG_INFO("start add water no limit");
  SwitchStep(2);
  return true;
}

bool AddWaterNoLimitTask::WaitAddWaterToRobot(const station::SensorsDataRep& data) {
  if (data.cleantankfootlevel() != 1) {
    return true;
  }
  if (!CommandOrFail(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, 0, kErrSupplyClose, "close supply tag failed")) {
    return false;
  }
  LOG_INFO("Need more water, start supply water to station");
  SwitchStep(3);
  return true;
}

bool AddWaterNoLimitTask::DoAddWaterToStation(const station::SensorsDataRep& /*data*/) {
  if (!CommandOrFail(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1, kErrTapOpen, "task water inlet failed")) {
    return false;
  }
  SwitchStep(4);
  station_fill_start_ = static_cast<time_t>(NowSeconds());
  return true;
}

bool AddWaterNoLimitTask::WaitAddWaterToStation(const station::SensorsDataRep& data) {
  if (data.cleantankuplevel() == 1) {
    LOG_INFO("Add water to station complete");
    if (!CommandOrFail(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 0, kErrTapClose, "close water switch failed")) {
      return false;
    }
    SwitchStep(1);
    return true;
  }
  if (NowSeconds() - station_fill_start_ <= g_config.add_water_to_station_max_time) {
    return true;
  }
  LOG_ERROR("ErrorCode: {}, Add water no limit timeout, may be no water", kErrStationFillTimeout);
  Command(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 0, kErrTapClose, "close water switch failed");
  SetTaskStatus(TASK_STATUS_ERROR);
  return false;
}

bool AddWaterNoLimitTask::DoCancelUnlock() { return CloseWaterValves("Cancel add water!"); }

bool AddWaterNoLimitTask::DoReset() { return CloseWaterValves("Add water task reset!"); }

}  // namespace station_center
