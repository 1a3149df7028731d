#include "task/uv_task.h"

#include "error_codes.h"
#include "logger.h"

namespace station_center {

UVTask::UVTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds)
    : ActionTask(std::move(services), task_type, max_seconds, "already over or error or cancel",
                 LimitCheck::kAfterPass) {}

PreCheckResult UVTask::PreCheckUnlock(const station::SensorsDataRep& data) {
  PreCheckResult result;
  // The lamp must shine on a robot, never into the open room.
  if (!RobotInPosition(data)) {
    LOG_WARN("robot not in station, can not start UV-Lamp");
    result.err_msg = "robot not in station";
    result.err_code = vantorel_base_station_common::ENUM_ROBOT_NOT_IN_POSITION;
  }
  return result;
}

bool UVTask::OnStart() { return Command(station::ENUM_SUPPLY_UV_LAMP, 1, kErrOpenLamp, "open uv lamp failed"); }

bool UVTask::OnPass(const station::SensorsDataRep& data) {
  if (RobotInPosition(data)) {
    return true;
  }
  // A robot taken off the station leaves the lamp shining into the room,
  // possibly without any time limit: switch it off at once.
  LOG_WARN("robot left the station, switch off UV-Lamp");
  return SwitchOff(TASK_STATUS_ERROR);
}

bool UVTask::OnTimeLimit() {
  LogExecTimeout();
  if (!SwitchOff(TASK_STATUS_OVER)) {
    return false;
  }
  LOG_INFO("uv lamp arrive max time, task over");
  return true;
}

bool UVTask::SwitchOff(TaskStatus end_status) {
  if (!Command(station::ENUM_SUPPLY_UV_LAMP, 0, kErrCloseLamp, "close uv lamp failed")) {
    return false;
  }
  SetTaskStatus(end_status);
  return true;
}

bool UVTask::DoCancelUnlock() {
  return Command(station::ENUM_SUPPLY_UV_LAMP, 0, kErrCloseLamp, "close uv lamp failed when cancel");
}

bool UVTask::DoReset() { return Command(station::ENUM_SUPPLY_UV_LAMP, 0, kErrCloseLamp, "close uv lamp failed"); }

}  // namespace station_center
