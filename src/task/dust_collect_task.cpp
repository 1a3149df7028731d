#include "task/dust_collect_task.h"

#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

namespace {

namespace common = vantorel_base_station_common;

}  // namespace

DustCollectTask::DustCollectTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds)
    : RunActuatorTask(std::move(services), task_type, max_seconds,
                      {station::ENUM_SUPPLY_COLLECT_DUST, "collect dust", kErrStartRunActuator, kErrStopRunActuator}) {}

PreCheckResult DustCollectTask::PreCheckUnlock(const station::SensorsDataRep& data) {
  PreCheckResult result;
  if (data.dustbagdet() == 0) {
    LOG_WARN("dust bag not in place, can not collect dust");
    result.err_msg = "dust bag not in place";
    result.err_code = common::ENUM_DUST_BAG_OUT;
  } else if (data.dustboxcapdet() == 0) {
    LOG_WARN("dust box cap not in place, can not collect dust");
    result.err_msg = "dust box cap not in place";
    result.err_code = common::ENUM_DUST_BOX_CAP_OUT;
  } else if (data.negativepressure() > g_config.negative_pressure_up_limit) {
    LOG_WARN("negative pressure({}) over up limit({})", data.negativepressure(), g_config.negative_pressure_up_limit);
    result.err_msg = "negative pressure over up limit";
    result.err_code = common::ENUM_NEGATIVE_PRESSURE_OVER_LIMIT;
  } else if (data.negativepressure() < g_config.negative_pressure_down_limit) {
    LOG_WARN("negative pressure({}) under down limit({})", data.negativepressure(),
             g_config.negative_pressure_down_limit);
    result.err_msg = "negative pressure under down limit";
    result.err_code = common::ENUM_NEGATIVE_PRESSURE_OVER_LIMIT;
  }
  return result;
}

}  // namespace station_center
