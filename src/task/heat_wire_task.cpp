#include "task/heat_wire_task.h"

#include <cmath>
#include <utility>

#include "config.h"
#include "error_codes.h"
#include "logger.h"
#include "task/task_factory.h"

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
  const auto [fan_open, wire_working] = FromTaskData(
      [](const StationTaskData& data) { return std::make_pair(data.heat_fan_open, data.heat_wire_working); });
  if (!fan_open) {
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
  // A reading that is not a number compares false both ways and would leave a
  // switched-on wire heating blind; treat it as too hot.
  const bool readable = std::isfinite(t);
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

bool HeatWireTask::MayHeat() const {
  return FromTaskData([](const StationTaskData& facts) { return facts.heat_fan_open && facts.heat_wire_working; });
}

// A task whose fan is gone ends at its next pass: a start request now would be
// acknowledged and then not run.
bool HeatWireTask::Stopping() const {
  if (ending_ || ActionTask::Stopping()) {
    return true;
  }
  // The working flag is the task's own from its first pass on.
  const auto [fan_open, wire_working] = FromTaskData(
      [](const StationTaskData& facts) { return std::make_pair(facts.heat_fan_open, facts.heat_wire_working); });
  return !fan_open || (status_ == TASK_STATUS_RUNNING && !wire_working);
}

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
