#include "sim/safety_monitor.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <iomanip>
#include <limits>
#include <sstream>

#include "sim/station_model.h"

namespace station_sim {

namespace {

constexpr double kNever = std::numeric_limits<double>::lowest();

constexpr const char* kNames[kInvariantCount] = {
    "heat_wire_without_fan",         "tap_open_tank_full",           "robot_absent_output",
    "actuator_on_in_emergency_stop", "actuator_left_on_after_leave", "outputs_without_controller",
    "actuator_on_without_reports",   "heater_over_temperature",
};

size_t Index(Invariant invariant) { return static_cast<size_t>(invariant); }

// Local wall-clock time of day with milliseconds, for reading lines beside logs.
std::string WallClock() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t secs = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&secs, &local);
  std::ostringstream out;
  out << std::put_time(&local, "%H:%M:%S") << "." << std::setw(3) << std::setfill('0') << ms;
  return out.str();
}

}  // namespace

const char* InvariantName(Invariant invariant) {
  return Index(invariant) < kInvariantCount ? kNames[Index(invariant)] : "?";
}

int SafetyReport::Total() const {
  int total = 0;
  for (const SafetyCount& c : counts) {
    total += c.count;
  }
  return total;
}

void SafetyMonitor::Evaluate(const SafetyInputs& in) {
  const station::SensorsDataRep& r = in.report;
  const bool docked = r.robotdockdetleft() != 0 && r.robotdockdetright() != 0 && r.electrodeplatedet() != 0;
  TrackRobotAndSewage(in, docked);
  const auto on = [&in](station::EnumSupplyType type) { return in.power[type] > 0; };

  bool any_on = false;
  bool left_on = false;
  double left_on_since = std::numeric_limits<double>::max();
  for (int type = 1; type < station::EnumSupplyType_ARRAYSIZE; ++type) {
    double since = 0;
    if (in.power[type] <= 0) {
      continue;
    }
    any_on = true;
    if (LeftOn(in, type, &since)) {
      left_on = true;
      left_on_since = std::min(left_on_since, since);
    }
  }
  const bool outputs = on(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH) || on(station::ENUM_SUPPLY_SELF_CLEAN_PUMP) ||
                       on(station::ENUM_SUPPLY_CHARGING) || on(station::ENUM_SUPPLY_UV_LAMP);

  const bool fan_told_on = on(station::ENUM_SUPPLY_HEATING_FAN);
  Judge(in, Invariant::kHeatWireWithoutFan, on(station::ENUM_SUPPLY_HEATING_WIRE) && !in.fan_turning,
        fan_told_on ? OneExchangeGrace(config_.fan_stall_grace_s, in) : config_.heat_wire_grace_s, kNever);
  Judge(in, Invariant::kTapOpenTankFull, on(station::ENUM_SUPPLY_TAP_WATER_SWITCH) && r.cleantankuplevel() != 0,
        config_.tap_full_grace_s, kNever);
  Judge(in, Invariant::kRobotAbsentOutput, outputs && !docked, config_.absent_grace_s, kNever);
  Judge(in, Invariant::kActuatorOnInEmergencyStop, any_on && r.emergencystopstate(),
        OneExchangeGrace(config_.estop_grace_s, in), kNever);
  Judge(in, Invariant::kActuatorLeftOnAfterLeave, left_on, config_.left_on_s, left_on_since);
  Judge(in, Invariant::kOutputsWithoutController, any_on && !in.controller_connected, config_.no_controller_grace_s,
        kNever);
  Judge(in, Invariant::kActuatorOnWithoutReports, any_on && !in.reports_flowing,
        on(station::ENUM_SUPPLY_HEATING_WIRE) ? config_.wire_no_reports_grace_s : config_.no_reports_grace_s, kNever);
  Judge(in, Invariant::kHeaterOverTemperature, OverTemperature(in, true), config_.over_temperature_grace_s, kNever);
  ExposeAll(in, docked, any_on, outputs);
}

// With `heating`, only a heater that is on counts.
bool SafetyMonitor::OverTemperature(const SafetyInputs& in, bool heating) const {
  const station::SensorsDataRep& r = in.report;
  const bool wire = !heating || in.power[station::ENUM_SUPPLY_HEATING_WIRE] > 0;
  const bool charging = !heating || in.power[station::ENUM_SUPPLY_CHARGING] > 0;
  const double plate = std::max(r.electrodeplatetemp1(), r.electrodeplatetemp2());
  return (wire && r.heatingwiretemp() > config_.heat_wire_limit_c) || (charging && plate > config_.plate_limit_c);
}

// A remedy of one exchange (the wire's switch-off once the fan's feedback shows the
// stall; the board reset that switches everything off under the emergency stop): a
// board that holds its answers and takes one command at a time may keep it waiting
// behind the one in flight, a held answer's time.
double SafetyMonitor::OneExchangeGrace(double grace_s, const SafetyInputs& in) const {
  return grace_s + in.answer_delay_s;
}

void SafetyMonitor::ExposeAll(const SafetyInputs& in, bool docked, bool any_on, bool outputs) {
  const station::SensorsDataRep& r = in.report;
  const bool wire = in.power[station::ENUM_SUPPLY_HEATING_WIRE] > 0;
  const bool tap = in.power[station::ENUM_SUPPLY_TAP_WATER_SWITCH] > 0;
  Expose(in, Invariant::kHeatWireWithoutFan, in.fan_stalled, wire, OneExchangeGrace(config_.fan_stall_grace_s, in));
  Expose(in, Invariant::kTapOpenTankFull, r.cleantankuplevel() != 0, tap, config_.tap_full_grace_s);
  Expose(in, Invariant::kRobotAbsentOutput, !docked, outputs, config_.absent_grace_s);
  Expose(in, Invariant::kActuatorOnInEmergencyStop, r.emergencystopstate(), any_on,
         OneExchangeGrace(config_.estop_grace_s, in));
  Expose(in, Invariant::kActuatorLeftOnAfterLeave, left_, any_on, config_.left_on_s);
  Expose(in, Invariant::kOutputsWithoutController, !in.controller_connected, any_on, config_.no_controller_grace_s);
  Expose(in, Invariant::kActuatorOnWithoutReports, !in.reports_flowing, any_on, config_.no_reports_grace_s);
  Expose(in, Invariant::kHeaterOverTemperature, OverTemperature(in, false), OverTemperature(in, true),
         config_.over_temperature_grace_s);
}

void SafetyMonitor::Expose(const SafetyInputs& in, Invariant invariant, bool cause, bool concerned, double grace_s) {
  Episode& e = exposures_[Index(invariant)];
  if (!cause) {
    e = Episode();
    return;
  }
  if (!e.active) {
    if (!concerned) {
      return;
    }
    e.active = true;
    e.start_s = in.now_s;
  }
  if (!e.counted && in.now_s - e.start_s > grace_s) {
    e.counted = true;
    ++exposed_[Index(invariant)];
  }
}

void SafetyMonitor::TrackRobotAndSewage(const SafetyInputs& in, bool docked) {
  if (was_docked_ && !docked) {
    left_ = true;
    left_at_s_ = in.now_s;
  } else if (docked) {
    left_ = false;
  }
  was_docked_ = docked;
  // The daemon's own test for sewage to pump away.
  if (in.report.sewagedet() != 0 || in.report.sewagefull() > config_.sewage_threshold) {
    sewage_seen_s_ = in.now_s;
  }
}

// A task the robot started is ended or refused once the robot is gone, and
// the station's own work (its reset, the thermostat) keeps sending commands.
// So an actuator still on while the command link has been quiet (no actuator
// command; lamp patterns do not count, the lamp manager sends them on its own)
// since the robot left is taken as forgotten. The sewage pump is the
// station's automation while it sees sewage and its run-on after; so is hand
// charging while the plug is in.
bool SafetyMonitor::LeftOn(const SafetyInputs& in, int type, double* since) const {
  if (!left_) {
    return false;
  }
  *since = std::max(left_at_s_, last_command_s_);
  if (type == station::ENUM_SUPPLY_SEWAGE_PUMP) {
    *since = std::max(*since, sewage_seen_s_ + config_.sewage_run_on_s);
  }
  const bool plugged = in.report.handchargedet() != 0 || in.report.handchargeinsidedet();
  return *since <= in.now_s && !(type == station::ENUM_SUPPLY_HAND_CHARGE && plugged);
}

void SafetyMonitor::Judge(const SafetyInputs& in, Invariant invariant, bool holds, double grace_s,
                          double not_before_s) {
  Episode& e = episodes_[Index(invariant)];
  if (!holds) {
    e = Episode();
    return;
  }
  if (!e.active) {
    e.active = true;
    e.start_s = in.now_s;
  }
  if (e.counted || in.now_s - std::max(e.start_s, not_before_s) <= grace_s) {
    return;
  }
  e.counted = true;
  ++counts_[Index(invariant)];
  if (lines_.size() < config_.kept_lines) {
    lines_.push_back(Line(in, invariant));
  }
}

// "12.340 s  14:03:07.123  heat_wire_without_fan  actuators: heatwire(5); heatingWireTemp=61.5 heatFanFG=0"
std::string SafetyMonitor::Line(const SafetyInputs& in, Invariant invariant) const {
  const station::SensorsDataRep& r = in.report;
  std::ostringstream out;
  out << std::fixed << std::setprecision(3) << in.now_s << " s  " << WallClock() << "  " << InvariantName(invariant)
      << "  actuators:";
  for (int type = 1; type < station::EnumSupplyType_ARRAYSIZE; ++type) {
    if (in.power[type] > 0) {
      out << " " << SupplyShorthand(type) << "(" << type << ")";
      if (in.power[type] != 1) {
        out << "=" << in.power[type];
      }
    }
  }
  out << "; " << std::defaultfloat;
  switch (invariant) {
    case Invariant::kHeatWireWithoutFan:
      out << "heatingWireTemp=" << r.heatingwiretemp() << " heatFanFG=" << r.heatfanfg()
          << " heatFanCurrentState=" << (r.heatfancurrentstate() ? "true" : "false");
      break;
    case Invariant::kOutputsWithoutController:
      out << "no controller on the command connection";
      break;
    case Invariant::kActuatorOnWithoutReports:
      out << "no sensor reports sent";
      break;
    case Invariant::kHeaterOverTemperature:
      out << "heatingWireTemp=" << r.heatingwiretemp() << " electrodePlateTemp1=" << r.electrodeplatetemp1()
          << " electrodePlateTemp2=" << r.electrodeplatetemp2();
      break;
    case Invariant::kTapOpenTankFull:
      out << "cleanTankUpLevel=" << r.cleantankuplevel() << " flowMeter=" << r.flowmeter();
      break;
    case Invariant::kRobotAbsentOutput:
      out << "robotDockDetLeft=" << r.robotdockdetleft() << " robotDockDetRight=" << r.robotdockdetright()
          << " electrodePlateDet=" << r.electrodeplatedet();
      break;
    case Invariant::kActuatorOnInEmergencyStop:
      out << "emergencyStopState=" << (r.emergencystopstate() ? "true" : "false");
      break;
    case Invariant::kActuatorLeftOnAfterLeave:
      out << std::fixed << std::setprecision(1) << "robot left " << in.now_s - left_at_s_ << " s ago, last command ";
      if (last_command_s_ == kNever) {
        out << "none";
      } else {
        out << in.now_s - last_command_s_ << " s ago";
      }
      out << ", sewageFull=" << r.sewagefull();
      break;
  }
  return out.str();
}

SafetyReport SafetyMonitor::Report() const {
  SafetyReport report;
  for (size_t i = 0; i < kInvariantCount; ++i) {
    report.counts.push_back({kNames[i], counts_[i], exposed_[i]});
  }
  report.lines = lines_;
  return report;
}

void SafetyMonitor::Reset() {
  episodes_ = {};
  counts_ = {};
  exposures_ = {};
  exposed_ = {};
  lines_.clear();
}

}  // namespace station_sim
