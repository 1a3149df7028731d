#include "task/heat_wire_task.h"

#include <cmath>
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

constexpr int kErrStartWire = 101900043;
constexpr int kErrStopWire = 101900044;

}  // namespace

HeatWireTask::HeatWireTask(std::shared_ptr<StationCenter> station_center, const TaskType& task_type,
                           int64_t max_seconds, int32_t action)
    : SupplyMaterialTask(std::move(station_center), task_type, max_seconds, action),
      target_temp_(ValueForAction(action, g_config.soft_heat_wire_temp, g_config.standard_heat_wire_temp,
                                  g_config.strong_heat_wire_temp)) {}

PreCheckResult HeatWireTask::PreCheckUnlock(const station::SensorsDataRep& /*data*/) {
  PreCheckResult result;
  std::shared_lock<std::shared_mutex> lock(station_center_->task_data_mutex());
  const StationTaskData& task_data = station_center_->task_data();
  if (!task_data.heat_fan_open) {
    LOG_WARN("dry fan not open, can not open heat wire");
    result.err_msg = "dry fan not open";
    result.err_code = common::ENUM_DRY_FAN_NOT_OPEN;
  } else if (task_data.heat_wire_working) {
    result.err_msg = "heat wire already start";
    result.err_code = common::ENUM_ERROR_UNKNOW;
  } else if (target_temp_ > g_config.max_heat_temp) {
    LOG_WARN("heating target temp({}) too high, over limit({})", target_temp_, g_config.max_heat_temp);
    result.err_msg = "target temp too high";
    result.err_code = common::ENUM_HEATING_WIRE_OVER_TEMP;
  }
  return result;
}

bool HeatWireTask::DoTaskInside(const station::SensorsDataRep& data) {
  if (Finished()) {
    LogAlreadyFinished("already over or error or cancel");
    return true;
  }
  if (status_ == TASK_STATUS_INIT) {
    start_time_ = static_cast<time_t>(NowSeconds());
    SetWireWorking(true);
    SetTaskStatus(TASK_STATUS_RUNNING);
  }
  if (TimeLimitPassed()) {
    LogExecTimeout();
    return false;
  }
  return Thermostat(data);
}

bool HeatWireTask::Thermostat(const station::SensorsDataRep& data) {
  const float t = data.heatingwiretemp();
  const float target = static_cast<float>(target_temp_);
  // A reading that is not a number compares false both ways and would leave a
  // switched-on wire heating blind; treat it as too hot.
  const bool readable = std::isfinite(t);
  if (heating_) {
    if (readable && !(t > target)) {
      return true;
    }
    if (!SendAction(station::ENUM_SUPPLY_HEATING_WIRE, 0)) {
      LOG_ERROR("ErrorCode: {}, stop heat wire failed", kErrStopWire);
      return false;
    }
    heating_ = false;
    return true;
  }
  if (!readable || !(t < target)) {
    return true;
  }
  if (!SendAction(station::ENUM_SUPPLY_HEATING_WIRE, 1)) {
    LOG_ERROR("ErrorCode: {}, start heat wire failed", kErrStartWire);
    return false;
  }
  heating_ = true;
  return true;
}

bool HeatWireTask::StopWire() {
  const bool ok = SendAction(station::ENUM_SUPPLY_HEATING_WIRE, 0);
  if (!ok) {
    LOG_ERROR("ErrorCode: {}, stop heat wire failed", kErrStopWire);
  } else {
    heating_ = false;
  }
  return ok;
}

bool HeatWireTask::DoCancelUnlock() { return StopWire(); }

bool HeatWireTask::DoReset() { return StopWire(); }

void HeatWireTask::SetWireWorking(bool working) {
  std::unique_lock<std::shared_mutex> lock(station_center_->task_data_mutex());
  station_center_->task_data().heat_wire_working = working;
}

// An ended wire task releases the flag, or it would keep the drying fan from
// ever being cancelled and refuse every later wire task. Only a wire the board
// may still be heating keeps it, so the fan stays protected until the reset.
void HeatWireTask::ReleaseWireWorking() {
  if (heating_) {
    LOG_WARN("heat wire may still be on, dry fan stays protected until reset");
    return;
  }
  SetWireWorking(false);
}

void HeatWireTask::AfterError() { ReleaseWireWorking(); }

void HeatWireTask::AfterCancel() { ReleaseWireWorking(); }

}  // namespace station_center
