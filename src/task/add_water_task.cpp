#include "task/add_water_task.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>

#include "clock.h"
#include "config.h"
#include "logger.h"
#include "station_center.h"

namespace station_center {

namespace {

namespace common = vantorel_base_station_common;

constexpr int kErrExecTimeout = 101900019;
constexpr int kErrStationFillTimeout = 101900020;
constexpr int kErrRobotFillTimeout = 101900025;
constexpr int kErrTapOpen = 101900032;
constexpr int kErrTapClose = 101900033;
constexpr int kErrSupplyOpen = 101900035;
constexpr int kErrSupplyClose = 101900036;

}  // namespace

AddWaterTask::AddWaterTask(std::shared_ptr<StationCenter> station_center, const TaskType& task_type,
                           int64_t max_seconds, int32_t action)
    : SupplyMaterialTask(std::move(station_center), task_type, max_seconds, action) {
  LOG_INFO("task max seconds : {}", max_seconds_);
  {
    std::shared_lock<std::shared_mutex> lock(station_center_->task_data_mutex());
    volume_ = station_center_->task_data().water_volume;
  }
  steps_ = {
      {1, [this](const station::SensorsDataRep& data) { return DoAddWaterToRobot(data); }},
      {2, [this](const station::SensorsDataRep& data) { return WaitAddWaterToRobot(data); }},
      {3, [this](const station::SensorsDataRep& data) { return DoAddWaterToStation(data); }},
      {4, [this](const station::SensorsDataRep& data) { return WaitAddWaterToStation(data); }},
  };
}

PreCheckResult AddWaterTask::PreCheckUnlock(const station::SensorsDataRep& /*data*/) {
  std::shared_lock<std::shared_mutex> lock(station_center_->task_data_mutex());
  const StationTaskData& task_data = station_center_->task_data();
  PreCheckResult result;
  const bool prepared =
      task_data.clean_liquid_ready || task_data.perfume_liquid_ready || task_data.disinfectant_water_ready;
  if (prepared && task_data.water_volume > 0) {
    return result;
  }
  if (task_data.add_water_finished) {
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

bool AddWaterTask::DoTaskInside(const station::SensorsDataRep& data) {
  return StepTaskPass(data, "already over or error");
}

bool AddWaterTask::OnTimeLimit() {
  LOG_ERROR(
      "ErrorCode: {}, task id {}, task type {}, add water exec timeout, start time : {}, cur_time : {}, duration : {}",
      kErrExecTimeout, static_cast<int32_t>(task_id_), static_cast<int>(task_type_), static_cast<int64_t>(start_time_),
      NowSeconds(), max_seconds_);
  return false;
}

bool AddWaterTask::DoAddWaterToRobot(const station::SensorsDataRep& /*data*/) {
  if (!SendAction(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, 1)) {
    LOG_ERROR("ErrorCode: {}, open supply tag failed", kErrSupplyOpen);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  LOG_INFO("start add water");
  {
    std::shared_lock<std::shared_mutex> lock(station_center_->task_data_mutex());
    // An unknown tank content (-1) counts as nothing in the tank.
    const int32_t in_tank = std::max<int32_t>(station_center_->task_data().tank_water_volume, 0);
    volume_ = volume_ > in_tank ? volume_ - in_tank : 0;
  }
  SwitchStep(2);
  robot_fill_start_ = static_cast<time_t>(NowSeconds());
  return true;
}

bool AddWaterTask::WaitAddWaterToRobot(const station::SensorsDataRep& data) {
  if (data.cleantankfootlevel() == 1) {
    if (!SendAction(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, 0)) {
      LOG_ERROR("ErrorCode: {}, close supply tag failed", kErrSupplyClose);
      SetTaskStatus(TASK_STATUS_ERROR);
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
  LOG_ERROR("ErrorCode: {}, add water to robot timeout, maybe tank foot level sensor breakdown", kErrRobotFillTimeout);
  // The supply pump must not keep running into the robot, nor run while the
  // tap refills the tank.
  if (!SendAction(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, 0)) {
    LOG_ERROR("ErrorCode: {}, close supply tag failed", kErrSupplyClose);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  RobotSupplyDone();
  return true;
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
  if (!SendAction(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1)) {
    LOG_ERROR("ErrorCode: {}, task water inlet failed", kErrTapOpen);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  fill_.Opened(data);
  SwitchStep(4);
  station_fill_start_ = static_cast<time_t>(NowSeconds());
  return true;
}

bool AddWaterTask::WaitAddWaterToStation(const station::SensorsDataRep& data) {
  fill_.Update(data, station_center_->sensors_data_millis());
  if (data.cleantankuplevel() == 1 || static_cast<uint32_t>(volume_) <= fill_.count()) {
    LOG_INFO("Add water to station complete");
    if (!SendAction(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 0)) {
      LOG_ERROR("ErrorCode: {}, close water switch failed", kErrTapClose);
      SetTaskStatus(TASK_STATUS_ERROR);
      return false;
    }
    SetTankWaterVolume(static_cast<int32_t>(fill_.count()));
    SwitchStep(1);
    return true;
  }
  if (NowSeconds() - station_fill_start_ <= g_config.add_water_to_station_max_time) {
    return true;
  }
  station_center_->AbnormalTaskRecord(ABNORMAL_TAP_WATER, TASK_TYPE_ADD_WATER);
  LOG_ERROR("ErrorCode: {}, Add water timeout, may be no water", kErrStationFillTimeout);
  if (!SendAction(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 0)) {
    LOG_ERROR("ErrorCode: {}, close water switch failed", kErrTapClose);
  }
  SetTaskStatus(TASK_STATUS_ERROR);
  return false;
}

bool AddWaterTask::DoCancelUnlock() { return CloseWaterValves("Cancel add water!"); }

bool AddWaterTask::DoReset() { return CloseWaterValves("Add water task reset!"); }

void AddWaterTask::AfterOver() {
  std::unique_lock<std::shared_mutex> lock(station_center_->task_data_mutex());
  StationTaskData& task_data = station_center_->task_data();
  task_data.add_water_finished = true;
  task_data.water_volume = 0;
}

void AddWaterTask::ForgetPreparation() {
  std::unique_lock<std::shared_mutex> lock(station_center_->task_data_mutex());
  StationTaskData& task_data = station_center_->task_data();
  task_data.disinfectant_water_ready = false;
  task_data.perfume_liquid_ready = false;
  task_data.clean_liquid_ready = false;
  task_data.water_volume = 0;
}

void AddWaterTask::AfterError() { ForgetPreparation(); }

void AddWaterTask::AfterCancel() { ForgetPreparation(); }

}  // namespace station_center
