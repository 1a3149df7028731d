#include "task/dust_collect_task.h"

#include "config.h"
#include "logger.h"

namespace station_center {

namespace {

namespace common = vantorel_base_station_common;

constexpr int kErrStartCollect = 101900039;
constexpr int kErrStopCollect = 101900040;

}  // namespace

DustCollectTask::DustCollectTask(std::shared_ptr<StationCenter> station_center, const TaskType& task_type,
                                 int64_t max_seconds, int32_t action)
    : SupplyMaterialTask(std::move(station_center), task_type, max_seconds, action) {}

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

bool DustCollectTask::DoTaskInside(const station::SensorsDataRep& /*data*/) {
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
  if (!SendAction(station::ENUM_SUPPLY_COLLECT_DUST, 1)) {
    SetTaskStatus(TASK_STATUS_ERROR);
    LOG_ERROR("ErrorCode: {}, start collect dust failed", kErrStartCollect);
    return false;
  }
  started_ = true;
  return true;
}

bool DustCollectTask::StopCollect() {
  if (!SendAction(station::ENUM_SUPPLY_COLLECT_DUST, 0)) {
    SetTaskStatus(TASK_STATUS_ERROR);
    LOG_ERROR("ErrorCode: {}, stop collect dust failed", kErrStopCollect);
    return false;
  }
  return true;
}

bool DustCollectTask::DoCancelUnlock() {
  // Nothing was switched on yet, so there is nothing to switch off.
  if (!started_) {
    return true;
  }
  return StopCollect();
}

bool DustCollectTask::DoReset() { return StopCollect(); }

}  // namespace station_center
