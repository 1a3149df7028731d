#include "task/ultrasonic_wash_task.h"

#include "logger.h"

namespace station_center {

namespace {

constexpr int kErrStartWash = 101900039;
constexpr int kErrStopWash = 101900040;

}  // namespace

UltrasonicWashTask::UltrasonicWashTask(std::shared_ptr<StationCenter> station_center, const TaskType& task_type,
                                       int64_t max_seconds, int32_t action)
    : SupplyMaterialTask(std::move(station_center), task_type, max_seconds, action) {}

PreCheckResult UltrasonicWashTask::PreCheckUnlock(const station::SensorsDataRep& data) {
  PreCheckResult result;
  if (!data.ultrasonicwatercheck()) {
    LOG_WARN("there has no water in ultrasonic wash tank, can not start ultrasonic wash");
    result.err_msg = "no water in ultrasonic wash tank";
    result.err_code = vantorel_base_station_common::ENUM_NO_WATER_IN_ULTRASONIC_WASH_TANK;
  }
  return result;
}

bool UltrasonicWashTask::DoTaskInside(const station::SensorsDataRep& /*data*/) {
  if (Finished()) {
    LogAlreadyFinished("already over or error or cancel");
    return true;
  }
  if (status_ == TASK_STATUS_INIT) {
    MarkStarted();
  }
  if (TimeLimitPassed()) {
    LogExecTimeout();
    return false;
  }
  if (started_) {
    return true;
  }
  if (!SendAction(station::ENUM_SUPPLY_ULTRASONIC, 1)) {
    SetTaskStatus(TASK_STATUS_ERROR);
    LOG_ERROR("ErrorCode: {}, start ultrasonic wash failed", kErrStartWash);
    return false;
  }
  started_ = true;
  return true;
}

bool UltrasonicWashTask::StopWash() {
  if (!SendAction(station::ENUM_SUPPLY_ULTRASONIC, 0)) {
    SetTaskStatus(TASK_STATUS_ERROR);
    LOG_ERROR("ErrorCode: {}, stop ultrasonic wash failed", kErrStopWash);
    return false;
  }
  return true;
}

bool UltrasonicWashTask::DoCancelUnlock() {
  // Nothing was switched on yet, so there is nothing to switch off.
  if (!started_) {
    return true;
  }
  return StopWash();
}

bool UltrasonicWashTask::DoReset() { return StopWash(); }

}  // namespace station_center
