#include "task/ultrasonic_wash_task.h"

#include "error_codes.h"
#include "logger.h"

namespace station_center {

UltrasonicWashTask::UltrasonicWashTask(std::shared_ptr<TaskServices> services, const TaskType& task_type,
                                       int64_t max_seconds)
    : RunActuatorTask(std::move(services), task_type, max_seconds,
                      {station::ENUM_SUPPLY_ULTRASONIC, "ultrasonic wash", kErrStartRunActuator, kErrStopRunActuator}) {
}

PreCheckResult UltrasonicWashTask::PreCheckUnlock(const station::SensorsDataRep& data) {
  PreCheckResult result;
  if (!data.ultrasonicwatercheck()) {
    LOG_WARN("there has no water in ultrasonic wash tank, can not start ultrasonic wash");
    result.err_msg = "no water in ultrasonic wash tank";
    result.err_code = vantorel_base_station_common::ENUM_NO_WATER_IN_ULTRASONIC_WASH_TANK;
  }
  return result;
}

}  // namespace station_center
