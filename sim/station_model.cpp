#include "sim/station_model.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/reflection.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>

namespace station_sim {

namespace {

using google::protobuf::FieldDescriptor;

bool ValidType(int type) { return type > station::ENUM_SUPPLY_INVALID && type < station::EnumSupplyType_ARRAYSIZE; }

// Moves `value` towards `target` by at most `step`.
double Approach(double value, double target, double step) {
  if (value < target) {
    return std::min(target, value + step);
  }
  return std::max(target, value - step);
}

bool ParseDouble(const std::string& text, double* out) {
  if (text.empty()) {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || end == text.c_str() || *end != '\0' || !std::isfinite(v)) {
    return false;
  }
  *out = v;
  return true;
}

bool ParseBool(const std::string& text, bool* out) {
  if (text == "1" || text == "true" || text == "on" || text == "yes") {
    *out = true;
    return true;
  }
  if (text == "0" || text == "false" || text == "off" || text == "no") {
    *out = false;
    return true;
  }
  return false;
}

// Writes `text` into the named field of `msg`, checking range for its type.
bool WriteField(station::SensorsDataRep* msg, const std::string& name, const std::string& text) {
  const FieldDescriptor* field = msg->GetDescriptor()->FindFieldByName(name);
  if (field == nullptr || field->is_repeated() || name == "seq") {
    return false;
  }
  const google::protobuf::Reflection* refl = msg->GetReflection();
  double v = 0;
  switch (field->cpp_type()) {
    case FieldDescriptor::CPPTYPE_BOOL: {
      bool b = false;
      if (!ParseBool(text, &b)) {
        return false;
      }
      refl->SetBool(msg, field, b);
      return true;
    }
    case FieldDescriptor::CPPTYPE_UINT32:
      if (!ParseDouble(text, &v) || v < 0 || v > 4294967295.0 || v != std::floor(v)) {
        return false;
      }
      refl->SetUInt32(msg, field, static_cast<uint32_t>(v));
      return true;
    case FieldDescriptor::CPPTYPE_INT32:
      if (!ParseDouble(text, &v) || v < -2147483648.0 || v > 2147483647.0 || v != std::floor(v)) {
        return false;
      }
      refl->SetInt32(msg, field, static_cast<int32_t>(v));
      return true;
    case FieldDescriptor::CPPTYPE_FLOAT:
      // "nan": a sensor that cannot be read, as a pin (the model's physics keep numbers).
      if (text == "nan") {
        refl->SetFloat(msg, field, std::numeric_limits<float>::quiet_NaN());
        return true;
      }
      if (!ParseDouble(text, &v)) {
        return false;
      }
      refl->SetFloat(msg, field, static_cast<float>(v));
      return true;
    default:
      return false;
  }
}

struct TypeName {
  const char* shorthand;
  station::EnumSupplyType type;
};

constexpr TypeName kTypeNames[] = {
#define BOARD_ACTUATOR(number, value, shorthand) {shorthand, station::value},
#include "tools/supply_names.def"
};

#define BOARD_ACTUATOR(number, value, shorthand) \
  static_assert(station::value == (number), "supply_names.def: " #value " is not " #number);
#include "tools/supply_names.def"

}  // namespace

const char* SupplyShorthand(int type) {
  for (const auto& n : kTypeNames) {
    if (n.type == type) {
      return n.shorthand;
    }
  }
  return "?";
}

bool ParseSupplyType(const std::string& text, station::EnumSupplyType* out) {
  for (const auto& n : kTypeNames) {
    if (text == n.shorthand) {
      *out = n.type;
      return true;
    }
  }
  station::EnumSupplyType t;
  if (station::EnumSupplyType_Parse(text, &t) && t != station::ENUM_SUPPLY_INVALID) {
    *out = t;
    return true;
  }
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (!text.empty() && *end == '\0' && v > 0 && v < station::EnumSupplyType_ARRAYSIZE) {
    *out = static_cast<station::EnumSupplyType>(v);
    return true;
  }
  return false;
}

StationModel::StationModel(const ModelParams& params)
    : params_(params),
      tank_ml_(std::clamp(params.tank_initial_ml, 0.0, params.tank_capacity_ml)),
      wire_c_(params.ambient_c),
      plate1_c_(params.ambient_c),
      plate2_c_(params.ambient_c),
      safety_(params.safety) {
  // An idle, healthy station with nobody docked: consumables and removable
  // parts in place, self-checks passed, motor currents normal.
  inputs_.set_dustbagdet(1);
  inputs_.set_dustboxcapdet(1);
  inputs_.set_initsensorsstate(true);
  inputs_.set_initactuatorsstate(true);
  inputs_.set_selfcheckstate(true);
  inputs_.set_cleaningliquiddet(true);
  inputs_.set_perfumeliquiddet(true);
  inputs_.set_ultrasonicwatercheck(true);
  inputs_.set_cleaningwaterpumpcurrentstate(true);
  inputs_.set_selfcleanpump2currentstate(true);
  inputs_.set_sewagepump1currentstate(true);
}

const ActuatorState& StationModel::actuator(station::EnumSupplyType type) const {
  static const ActuatorState kNone;
  return ValidType(type) ? actuators_[type] : kNone;
}

bool StationModel::Apply(const station::ActionCommand& cmd) {
  const int type = cmd.supply_type_();
  if (!ValidType(type)) {
    return false;
  }
  const int power = cmd.action_();
  safety_.NoteActuatorCommand(time_s_);
  switch (type) {
    case station::ENUM_SUPPLY_RESET_MCU:
      // A board reset stops everything it drives.
      AllOff();
      ++resets_;
      return true;
    case station::ENUM_SUPPLY_RESTART_MCU:
      AllOff();
      ++restarts_;
      return true;
    case station::ENUM_SUPPLY_TAP_WATER_SWITCH:
      // The flow meter counts each fill from zero.
      if (power > 0 && !actuators_[type].on) {
        flow_ml_ = 0;
      }
      break;
    default:
      break;
  }
  actuators_[type].on = power > 0;
  actuators_[type].power = power > 0 ? power : 0;
  commanded_[type] = actuators_[type];
  HoldStuckOn();
  return true;
}

void StationModel::AllOff() {
  for (auto& a : actuators_) {
    a = ActuatorState();
  }
  for (auto& a : commanded_) {
    a = ActuatorState();
  }
  HoldStuckOn();
}

void StationModel::SetStuck(station::EnumSupplyType type, bool stuck) {
  if (!ValidType(type)) {
    return;
  }
  if (stuck) {
    stuck_.insert(type);
  } else if (stuck_.erase(type) > 0) {
    actuators_[type] = commanded_[type];  // freed, it follows the board's last word
  }
  HoldStuckOn();
}

void StationModel::HoldStuckOn() {
  for (int type : stuck_) {
    actuators_[type].on = true;
    actuators_[type].power = std::max(actuators_[type].power, 1);
  }
}

void StationModel::Advance(double dt) {
  if (dt <= 0) {
    return;
  }
  time_s_ += dt;
  AdvanceTank(dt);
  AdvanceSorter(dt);
  AdvanceTemperatures(dt);
  AdvancePressureAndSewage(dt);
  JudgeSafety();
}

void StationModel::JudgeSafety() {
  SafetyInputs in;
  in.now_s = time_s_;
  for (int t = 0; t < station::EnumSupplyType_ARRAYSIZE; ++t) {
    in.power[t] = actuators_[t].power;
  }
  in.report = Report();
  in.fan_turning = fan_turning();
  in.controller_connected = controller_connected_;
  in.fan_stalled = fan_stalled_;
  in.reports_flowing = reports_flowing_;
  in.answer_delay_s = answer_delay_s_;
  safety_.Evaluate(in);
}

// Clean tank: inflows first, then outflows, never past the brim or below empty.
void StationModel::AdvanceTank(double dt) {
  if (on(station::ENUM_SUPPLY_TAP_WATER_SWITCH)) {
    const double in = std::min(params_.fill_rate_ml * dt, params_.tank_capacity_ml - tank_ml_);
    tank_ml_ += in;
    flow_ml_ += in;
  }
  for (auto pump : {station::ENUM_SUPPLY_CLEANING_LIQUID_PUMP, station::ENUM_SUPPLY_PERFUME_PUMP}) {
    if (on(pump)) {
      tank_ml_ = std::min(params_.tank_capacity_ml, tank_ml_ + params_.liquid_pump_rate_ml * dt);
    }
  }
  if (on(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH)) {
    const double out = std::min(params_.supply_rate_ml * dt, tank_ml_);
    tank_ml_ -= out;
    delivered_ml_ += out;
  }
  if (on(station::ENUM_SUPPLY_DRAINAGE_SWITCH)) {
    tank_ml_ -= std::min(params_.drain_rate_ml * dt, tank_ml_);
  }
}

// Tablet sorter: releases at a rate proportional to its power unless overloaded.
void StationModel::AdvanceSorter(double dt) {
  const bool overloaded = overload_left_s_ > 0;
  overload_left_s_ = std::max(0.0, overload_left_s_ - dt);
  if (on(station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR) && !overloaded && params_.tablet_period_s > 0) {
    tablet_progress_ += dt * power(station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR) / 50.0 / params_.tablet_period_s;
    while (tablet_progress_ >= 1.0) {
      tablet_progress_ -= 1.0;
      ++tablets_;
    }
  }
}

void StationModel::AdvanceTemperatures(double dt) {
  if (on(station::ENUM_SUPPLY_HEATING_WIRE)) {
    wire_c_ = Approach(wire_c_, params_.heat_wire_ceiling_c, params_.heat_rate_c * dt);
  } else {
    wire_c_ = Approach(wire_c_, params_.ambient_c, params_.cool_rate_c * dt);
  }

  // Electrode plates carry current only with charging on and a robot on them.
  const bool plates_loaded = on(station::ENUM_SUPPLY_CHARGING) && inputs_.electrodeplatedet() != 0;
  const double plate_target = plates_loaded ? params_.plate_ceiling_c : params_.ambient_c;
  const double plate_rate = plates_loaded ? params_.plate_heat_rate_c : params_.plate_cool_rate_c;
  plate1_c_ = Approach(plate1_c_, plate_target, plate_rate * dt);
  plate2_c_ = Approach(plate2_c_, plate_target, plate_rate * dt);
}

void StationModel::AdvancePressureAndSewage(double dt) {
  // Dust collection fan pulls a negative pressure.
  const double pressure_target = on(station::ENUM_SUPPLY_COLLECT_DUST) ? params_.dust_pressure_pa : 0.0;
  pressure_pa_ = Approach(pressure_pa_, pressure_target, params_.pressure_rate_pa * dt);

  // Sewage: the self-clean spray fills the sewage box, the sewage pump empties it.
  if (on(station::ENUM_SUPPLY_SELF_CLEAN_PUMP)) {
    sewage_level_ = std::min(params_.sewage_max_level, sewage_level_ + params_.sewage_rise_rate * dt);
  }
  if (on(station::ENUM_SUPPLY_SEWAGE_PUMP)) {
    const double share = std::min(100, power(station::ENUM_SUPPLY_SEWAGE_PUMP)) / 100.0;
    sewage_level_ = std::max(0.0, sewage_level_ - params_.sewage_drain_rate * share * dt);
  }
}

station::SensorsDataRep StationModel::Report() const {
  station::SensorsDataRep r = inputs_;

  r.set_cleantankfootlevel(tank_ml_ <= params_.tank_foot_ml ? 1 : 0);
  r.set_cleantankuplevel(tank_ml_ >= params_.tank_up_ml ? 1 : 0);
  r.set_flowmeter(static_cast<uint32_t>(std::lround(std::floor(flow_ml_))));
  r.set_disinfectantplatenum(tablets_);
  r.set_sortermotorcurrentstate(!(on(station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR) && overload_left_s_ > 0));

  r.set_heatingwiretemp(static_cast<float>(wire_c_));
  r.set_heatingwiretempback(static_cast<float>(params_.ambient_c + (wire_c_ - params_.ambient_c) * 0.9));
  r.set_electrodeplatetemp1(static_cast<uint32_t>(std::lround(std::max(0.0, plate1_c_))));
  r.set_electrodeplatetemp2(static_cast<uint32_t>(std::lround(std::max(0.0, plate2_c_))));
  r.set_heatfanfg(fan_turning() ? 2400 : 0);
  r.set_heatfancurrentstate(fan_turning());
  r.set_negativepressure(static_cast<int32_t>(std::lround(pressure_pa_)));

  const double sewage = std::max(0.0, sewage_level_);
  r.set_sewagefull(static_cast<uint32_t>(std::lround(sewage)));
  r.set_sewagedet(sewage > params_.sewage_det_level ? 1 : 0);
  r.set_issewageoverflow(sewage >= params_.sewage_overflow_level);

  const bool charging = on(station::ENUM_SUPPLY_CHARGING);
  const bool loaded = charging && inputs_.electrodeplatedet() != 0;
  r.set_chargervoltage(charging ? 25.2f : 0.0f);
  r.set_electrodeplatevoltage(charging ? 25.2f : 0.0f);
  r.set_electrodeplatecurrent(loaded ? 2.5f : 0.0f);

  // Rough draw per running actuator on top of the board's own.
  double current = 0.3;
  for (int t = 1; t < station::EnumSupplyType_ARRAYSIZE; ++t) {
    if (actuators_[t].on) {
      current += t == station::ENUM_SUPPLY_HEATING_WIRE ? 4.0 : 0.5;
    }
  }
  if (loaded) {
    current += 2.5;
  }
  r.set_totalcurrent(static_cast<float>(current));

  for (const auto& [name, value] : pins_) {
    WriteField(&r, name, value);
  }
  return r;
}

void StationModel::Dock(bool docked) {
  const uint32_t v = docked ? 1 : 0;
  inputs_.set_robotdockdetleft(v);
  inputs_.set_robotdockdetright(v);
  inputs_.set_electrodeplatedet(v);
}

void StationModel::Plug(bool plugged) {
  inputs_.set_handchargedet(plugged ? 1 : 0);
  inputs_.set_handchargeinsidedet(plugged);
}

void StationModel::SetTankVolume(double ml) { tank_ml_ = std::clamp(ml, 0.0, params_.tank_capacity_ml); }

void StationModel::SetSewageLevel(double level) { sewage_level_ = std::clamp(level, 0.0, params_.sewage_max_level); }

bool StationModel::SetField(const std::string& name, const std::string& value) {
  // Quantities the model computes: move the physical state instead, so the
  // model carries on from the new value.
  double v = 0;
  const std::map<std::string, std::function<void(double)>> physical = {
      {"flowMeter", [this](double x) { flow_ml_ = x; }},
      {"disinfectantPlateNum", [this](double x) { tablets_ = static_cast<uint32_t>(x); }},
      {"heatingWireTemp", [this](double x) { wire_c_ = x; }},
      {"electrodePlateTemp1", [this](double x) { plate1_c_ = x; }},
      {"electrodePlateTemp2", [this](double x) { plate2_c_ = x; }},
      {"negativePressure", [this](double x) { pressure_pa_ = x; }},
      {"sewageFull", [this](double x) { SetSewageLevel(x); }},
  };
  auto it = physical.find(name);
  if (it != physical.end()) {
    station::SensorsDataRep probe;  // validates the value against the field's type
    if (!WriteField(&probe, name, value) || !ParseDouble(value, &v)) {
      return false;
    }
    it->second(v);
    return true;
  }
  static const char* const kComputed[] = {"cleanTankUpLevel",      "cleanTankFootLevel",     "sewageDet",
                                          "IsSewageOverFlow",      "heatingWireTempBack",    "heatFanFG",
                                          "totalCurrent",          "chargerVoltage",         "electrodePlateVoltage",
                                          "electrodePlateCurrent", "sorterMotorCurrentState"};
  for (const char* computed : kComputed) {
    if (name == computed) {
      return Pin(name, value);
    }
  }
  return WriteField(&inputs_, name, value);
}

bool StationModel::Pin(const std::string& name, const std::string& value) {
  station::SensorsDataRep probe;
  if (!WriteField(&probe, name, value)) {
    return false;
  }
  pins_[name] = value;
  return true;
}

bool StationModel::Unpin(const std::string& name) {
  if (name == "all") {
    pins_.clear();
    return true;
  }
  return pins_.erase(name) > 0;
}

}  // namespace station_sim
