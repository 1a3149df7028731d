#include "task/heat_wire_task.h"

#include <cmath>
#include <utility>

#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

namespace {

namespace common = vantorel_base_station_common;

}  // namespace

HeatWireTask::HeatWireTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds,
                           int32_t action)
    : ActionTask(std::move(services), task_type, max_seconds),
      target_temp_(ValueForAction(action, g_config.soft_heat_wire_temp, g_config.standard_heat_wire_temp,
                                  g_config.strong_heat_wire_temp)) {}

PreCheckResult HeatWireTask::PreCheckUnlock(const station::SensorsDataRep& /*data*/) {
  PreCheckResult result;
  const bool wire_working = FromTaskData([](const StationTaskData& data) { return data.heat_wire_working; });
  if (!services_->InterlockAllows(station::ENUM_SUPPLY_HEATING_WIRE)) {
    LOG_WARN("dry fan not open, can not open heat wire");
    result.err_msg = "dry fan not open";
    result.err_code = common::ENUM_DRY_FAN_NOT_OPEN;
  } else if (wire_working) {
    result.err_msg = "heat wire already start";
    result.err_code = common::ENUM_ERROR_UNKNOW;
  } else if (target_temp_ > g_config.max_heat_temp) {
    LOG_WARN("heating target temp({}) too high, over limit({})", target_temp_, g_config.max_heat_temp);
    result.err_msg = "target temp too high";
    result.err_code = common::ENUM_HEATING_WIRE_OVER_TEMP;
  }
  return result;
}

bool HeatWireTask::OnStart() {
  SetWireWorking(true);
  return true;
}

bool HeatWireTask::OnPass(const station::SensorsDataRep& data) {
  if (ending_ || !MayHeat()) {
    return EndWithoutFan();
  }
  const float t = data.heatingwiretemp();
  const float target = static_cast<float>(target_temp_);
  // A reading that is not a number compares false both ways, and an old one
  // says nothing of the wire now: either would leave it heating blind, so both
  // count as too hot.
  const bool readable = std::isfinite(t) && services_->ReportFresh();
  if (heating_) {
    if (readable && !(t > target)) {
      return true;
    }
    return StopWire();
  }
  if (!readable || !(t < target)) {
    return true;
  }
  if (!Command(station::ENUM_SUPPLY_HEATING_WIRE, 1, kErrStartWire, "start heat wire failed")) {
    return false;
  }
  heating_ = true;
  return true;
}

bool HeatWireTask::MayHeat() const { return services_->InterlockAllows(station::ENUM_SUPPLY_HEATING_WIRE); }

// A task whose interlock is gone ends at its next pass: a start request now
// would be acknowledged and then not run.
bool HeatWireTask::Stopping() const { return ending_ || ActionTask::Stopping() || !MayHeat(); }

bool HeatWireTask::EndWithoutFan() {
  const bool first = !ending_;
  if (first) {
    LOG_WARN("dry fan stopped, heat wire task ends");
    ending_ = true;
  }
  if (StopWire(first)) {
    SetTaskStatus(TASK_STATUS_CANCEL);
  }
  return true;
}

bool HeatWireTask::StopWire(bool log_refusal) {
  if (!SendAction(station::ENUM_SUPPLY_HEATING_WIRE, 0)) {
    if (log_refusal) {
      LOG_ERROR("ErrorCode: {}, stop heat wire failed", kErrStopWire);
    }
    return false;
  }
  heating_ = false;
  return true;
}

// The robot stops the fan right after the wire, before the wire task's next
// pass: the flag goes as soon as the board has switched the wire off.
bool HeatWireTask::DoCancelUnlock() {
  if (!StopWire()) {
    return false;
  }
  SetWireWorking(false);
  return true;
}

bool HeatWireTask::DoReset() { return StopWire(); }

void HeatWireTask::SetWireWorking(bool working) {
  WithTaskData([working](StationTaskData& data) { data.heat_wire_working = working; });
}

// An ended wire task releases the flag, or it would refuse every later wire
// task; the station's guard keeps a wire not confirmed off from losing its fan.
void HeatWireTask::AfterError() { SetWireWorking(false); }

void HeatWireTask::AfterCancel() { SetWireWorking(false); }

}  // namespace station_center
