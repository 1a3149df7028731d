#include "task/uv_task.h"

#include "clock.h"
#include "logger.h"
#include "station_center.h"

namespace station_center {

namespace {

constexpr int kErrOpenLamp = 101900050;
constexpr int kErrCloseLamp = 101900051;

}  // namespace

UVTask::UVTask(std::shared_ptr<StationCenter> station_center, const TaskType& task_type, int64_t max_seconds,
               int32_t action)
    : SupplyMaterialTask(std::move(station_center), task_type, max_seconds, action) {}

PreCheckResult UVTask::PreCheckUnlock(const station::SensorsDataRep& data) {
  PreCheckResult result;
  // The lamp must shine on a robot, never into the open room.
  if (!StationCenter::RobotInPosition(data)) {
    LOG_WARN("robot not in station, can not start UV-Lamp");
    result.err_msg = "robot not in station";
    result.err_code = vantorel_base_station_common::ENUM_ROBOT_NOT_IN_POSITION;
  }
  return result;
}

bool UVTask::DoTaskInside(const station::SensorsDataRep& data) {
  if (Finished()) {
    LogAlreadyFinished("already over or error or cancel");
    return true;
  }
  if (status_ == TASK_STATUS_INIT) {
    start_time_ = static_cast<time_t>(NowSeconds());
    if (!SendAction(station::ENUM_SUPPLY_UV_LAMP, 1)) {
      LOG_ERROR("ErrorCode: {}, open uv lamp failed", kErrOpenLamp);
      return false;
    }
    SetTaskStatus(TASK_STATUS_RUNNING);
  }
  if (!StationCenter::RobotInPosition(data)) {
    // A robot taken off the station leaves the lamp shining into the room,
    // possibly without any time limit: switch it off at once.
    LOG_WARN("robot left the station, switch off UV-Lamp");
    return SwitchOff(TASK_STATUS_ERROR);
  }
  if (!TimeLimitPassed()) {
    return true;
  }
  LogExecTimeout();
  if (!SwitchOff(TASK_STATUS_OVER)) {
    return false;
  }
  LOG_INFO("uv lamp arrive max time, task over");
  return true;
}

bool UVTask::SwitchOff(TaskStatus end_status) {
  if (!SendAction(station::ENUM_SUPPLY_UV_LAMP, 0)) {
    LOG_ERROR("ErrorCode: {}, close uv lamp failed", kErrCloseLamp);
    return false;
  }
  SetTaskStatus(end_status);
  return true;
}

bool UVTask::DoCancelUnlock() {
  const bool ok = SendAction(station::ENUM_SUPPLY_UV_LAMP, 0);
  if (!ok) {
    LOG_ERROR("ErrorCode: {}, close uv lamp failed when cancel", kErrCloseLamp);
  }
  return ok;
}

bool UVTask::DoReset() {
  const bool ok = SendAction(station::ENUM_SUPPLY_UV_LAMP, 0);
  if (!ok) {
    LOG_ERROR("ErrorCode: {}, close uv lamp failed", kErrCloseLamp);
  }
  return ok;
}

}  // namespace station_center
