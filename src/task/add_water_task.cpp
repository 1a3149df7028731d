#include "task/add_water_task.h"

#include <algorithm>
#include <tuple>

#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

namespace {

namespace common = vantorel_base_station_common;

}  // namespace

AddWaterTask::AddWaterTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds)
    : StepTask(std::move(services), task_type, max_seconds) {
  LOG_INFO("task max seconds : {}", max_seconds_);
  volume_ = FromTaskData([](const StationTaskData& data) { return data.water_volume; });
  steps_ = {
      {1, [this](const station::SensorsDataRep& data) { return DoAddWaterToRobot(data); }},
      {2, [this](const station::SensorsDataRep& data) { return WaitAddWaterToRobot(data); }},
      {3, [this](const station::SensorsDataRep& data) { return DoAddWaterToStation(data); }},
      {4, [this](const station::SensorsDataRep& data) { return WaitAddWaterToStation(data); }},
  };
}

PreCheckResult AddWaterTask::PreCheckUnlock(const station::SensorsDataRep& /*data*/) {
  const auto [prepared, volume, finished] = FromTaskData([](const StationTaskData& data) {
    return std::make_tuple(data.clean_liquid_ready || data.perfume_liquid_ready || data.disinfectant_water_ready,
                           data.water_volume, data.add_water_finished);
  });
  PreCheckResult result;
  if (prepared && volume > 0) {
    return result;
  }
  if (finished) {
    LOG_INFO("add water finished, will not supply water");
    result.err_code = common::ENUM_ADD_WATER_FINISHED;
    result.err_msg = "add water finished!";
    return result;
  }
  LOG_WARN("liquid pre no ready, or supply water volume invalid");
  result.err_code = common::ENUM_WATER_PREPART_NOT_READY;
  result.err_msg = "liquid pre no ready, or supply water volume invalid";
  return result;
}

bool AddWaterTask::OnTimeLimit() {
  LOG_ERROR(
      "ErrorCode: {}, task id {}, task type {}, add water exec timeout, start time : {}, cur_time : {}, duration : {}",
      kErrExecTimeout, static_cast<int32_t>(task_id_), static_cast<int>(task_type_), static_cast<int64_t>(start_time_),
      NowSeconds(), max_seconds_);
  return false;
}

bool AddWaterTask::DoAddWaterToRobot(const station::SensorsDataRep& /*data*/) {
  if (!CommandOrFail(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, 1, kErrSupplyOpen, "open supply tag failed")) {
    return false;
  }
  LOG_INFO("start add water");
  // An unknown tank content (-1) counts as nothing in the tank.
  const int32_t in_tank =
      std::max<int32_t>(FromTaskData([](const StationTaskData& data) { return data.tank_water_volume; }), 0);
  volume_ = volume_ > in_tank ? volume_ - in_tank : 0;
  SwitchStep(2);
  robot_fill_start_ = static_cast<time_t>(NowSeconds());
  return true;
}

bool AddWaterTask::WaitAddWaterToRobot(const station::SensorsDataRep& data) {
  if (data.cleantankfootlevel() == 1) {
    if (!CloseSupply()) {
      return false;
    }
    RobotSupplyDone();
    // Finished or refilling: a robot-supply time-out passed meanwhile would
    // only report a failure that did not happen.
    return true;
  }
  if (NowSeconds() - robot_fill_start_ <= g_config.add_water_to_robot_max_time) {
    return true;
  }
  LOG_ERROR("ErrorCode: {}, add water to robot timeout, maybe tank foot level sensor breakdown", kErrFootLevelTimeout);
  // The supply pump must not keep running into the robot, nor run while the
  // tap refills the tank.
  if (!CloseSupply()) {
    return false;
  }
  RobotSupplyDone();
  return true;
}

bool AddWaterTask::CloseSupply() {
  return CommandOrFail(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, 0, kErrSupplyClose, "close supply tag failed");
}

void AddWaterTask::RobotSupplyDone() {
  SetTankWaterVolume(0);
  if (volume_ != 0) {
    LOG_INFO("Need {} water, start supply water to station", volume_);
    SwitchStep(3);
    return;
  }
  LOG_INFO("Add water finished!");
  SetTaskStatus(TASK_STATUS_OVER);
}

bool AddWaterTask::DoAddWaterToStation(const station::SensorsDataRep& data) {
  if (!CommandOrFail(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1, kErrTapOpen, "task water inlet failed")) {
    return false;
  }
  fill_.Opened(data, NowMillis());
  SwitchStep(4);
  station_fill_start_ = static_cast<time_t>(NowSeconds());
  return true;
}

bool AddWaterTask::WaitAddWaterToStation(const station::SensorsDataRep& data) {
  fill_.Update(data, LatestReportMillis());
  if (data.cleantankuplevel() == 1 || static_cast<uint32_t>(volume_) <= fill_.count()) {
    LOG_INFO("Add water to station complete");
    if (!CommandOrFail(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 0, kErrTapClose, "close water switch failed")) {
      return false;
    }
    SetTankWaterVolume(static_cast<int32_t>(fill_.count()));
    SwitchStep(1);
    return true;
  }
  if (NowSeconds() - station_fill_start_ <= g_config.add_water_to_station_max_time) {
    return true;
  }
  AbnormalTaskRecord(ABNORMAL_TAP_WATER, TASK_TYPE_ADD_WATER);
  LOG_ERROR("ErrorCode: {}, Add water timeout, may be no water", kErrStationFillTimeout);
  Command(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 0, kErrTapClose, "close water switch failed");
  SetTaskStatus(TASK_STATUS_ERROR);
  return false;
}

bool AddWaterTask::DoCancelUnlock() { return CloseWaterValves("Cancel add water!"); }

bool AddWaterTask::DoReset() { return CloseWaterValves("Add water task reset!"); }

void AddWaterTask::AfterOver() {
  WithTaskData([](StationTaskData& data) {
    data.add_water_finished = true;
    data.water_volume = 0;
  });
}

void AddWaterTask::ForgetPreparation() {
  WithTaskData([](StationTaskData& data) {
    data.disinfectant_water_ready = false;
    data.perfume_liquid_ready = false;
    data.clean_liquid_ready = false;
    data.water_volume = 0;
  });
}

void AddWaterTask::AfterError() { ForgetPreparation(); }

void AddWaterTask::AfterCancel() { ForgetPreparation(); }

}  // namespace station_center
