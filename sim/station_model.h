#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "sim/safety_monitor.h"
#include "station/cmd.pb.h"
#include "station/station_report.pb.h"

namespace station_sim {

// Physical parameters of the simulated station. Volumes are millilitres and one
// flowMeter count is one millilitre, so a preparation asking for N litres ends
// at N*1000 counts. Rates are per second of simulated time; the defaults are
// brisk so that whole tasks finish in seconds.
struct ModelParams {
  // Clean tank.
  double tank_capacity_ml = 3000;
  double tank_initial_ml = 1500;
  double tank_foot_ml = 20;        // at or below: cleanTankFootLevel 1
  double tank_up_ml = 2950;        // at or above: cleanTankUpLevel 1
  double fill_rate_ml = 600;       // tap valve (1)
  double supply_rate_ml = 400;     // supply valve (3), into the robot
  double drain_rate_ml = 800;      // drain valve (13)
  double liquid_pump_rate_ml = 5;  // cleaning / perfume pumps (11, 12) dose into the tank

  // Tablet sorter (10): one tablet every this many seconds at power 50, faster at more power.
  double tablet_period_s = 0.5;

  // Heat wire (5), degrees Celsius.
  double ambient_c = 25;
  double heat_wire_ceiling_c = 120;
  double heat_rate_c = 15;
  double cool_rate_c = 8;
  // Electrode plates warm while charging (2) towards this ceiling.
  double plate_ceiling_c = 45;
  double plate_heat_rate_c = 2;
  double plate_cool_rate_c = 1;

  // Dust collection (7): negative pressure in pascal reached while running.
  double dust_pressure_pa = -15000;
  double pressure_rate_pa = 30000;

  // Sewage: level units as the board reports them in sewageFull.
  double sewage_rise_rate = 300;   // while the self-clean pump (8) runs
  double sewage_drain_rate = 600;  // sewage pump (4) at power 100, proportional below
  double sewage_det_level = 800;   // sewageDet 1 above this
  double sewage_overflow_level = 2500;
  double sewage_max_level = 3000;

  // Grace times of the safety monitor, which judges every step of the model.
  SafetyConfig safety;
};

// The short name of a supply type as the console and the safety lines write it
// ("heatwire"), "?" when it has none; the parse also takes the schema name or
// the number.
const char* SupplyShorthand(int type);
bool ParseSupplyType(const std::string& text, station::EnumSupplyType* out);

// What the board drives, indexed by station::EnumSupplyType.
struct ActuatorState {
  bool on = false;
  int power = 0;  // the last action_ value (1 = on for plain switches)
};

// The simulated station: actuator state, physical quantities and the person-set
// inputs, turned into a sensor report. Not thread-safe; StationSim guards it.
class StationModel {
 public:
  explicit StationModel(const ModelParams& params = ModelParams());

  // Applies one board command; false for an unknown supply type.
  bool Apply(const station::ActionCommand& cmd);
  void ApplyLed(station::EnumLedCmd led) { last_led_ = led; }

  // Advances the physics by `dt_s` seconds of simulated time, then lets the
  // safety monitor judge the new state.
  void Advance(double dt_s);
  double time() const { return time_s_; }  // simulated seconds since construction

  // The report as the board would send it now (seq not filled in).
  station::SensorsDataRep Report() const;

  // Inputs a person changes.
  void Dock(bool docked);
  void Plug(bool plugged);
  // Sets a report field by its name: inputs are set, model quantities get
  // their physical state moved (the model carries on from there). False when
  // the field is unknown or the value does not parse.
  bool SetField(const std::string& name, const std::string& value);
  // Holds a field at a value regardless of the model until Unpin.
  bool Pin(const std::string& name, const std::string& value);
  bool Unpin(const std::string& name);  // "all" releases every pin
  const std::map<std::string, std::string>& pins() const { return pins_; }

  // Tablet motor over-current for the next `seconds` (0 ends it).
  void SetSorterOverload(double seconds) { overload_left_s_ = seconds; }
  // The drying fan stops turning whatever it is told (a seized motor); its
  // feedback (heatFanCurrentState, heatFanFG) then shows it stopped.
  void SetFanStalled(bool stalled) { fan_stalled_ = stalled; }
  bool fan_stalled() const { return fan_stalled_; }
  // A welded relay: `type` stays on whatever the board is told, a reset included.
  void SetStuck(station::EnumSupplyType type, bool stuck);
  const std::set<int>& stuck() const { return stuck_; }
  // The board sends sensor reports; the safety monitor judges outputs run blind.
  void SetReportsFlowing(bool flowing) { reports_flowing_ = flowing; }
  void SetAnswerDelay(double seconds) { answer_delay_s_ = seconds; }
  // A controller holds the command connection; the safety monitor judges
  // outputs left on without one.
  void SetControllerConnected(bool connected) { controller_connected_ = connected; }

  void SetTankVolume(double ml);
  void SetSewageLevel(double level);

  const ActuatorState& actuator(station::EnumSupplyType type) const;
  double tank_volume() const { return tank_ml_; }
  double sewage_level() const { return sewage_level_; }
  double flow_count() const { return flow_ml_; }
  double delivered_to_robot() const { return delivered_ml_; }
  int last_led() const { return last_led_; }
  int resets() const { return resets_; }
  int restarts() const { return restarts_; }
  const ModelParams& params() const { return params_; }
  SafetyReport Safety() const { return safety_.Report(); }
  void ResetSafety() { safety_.Reset(); }

 private:
  void AllOff();
  void HoldStuckOn();
  bool on(station::EnumSupplyType type) const { return actuators_[type].on; }
  bool fan_turning() const { return on(station::ENUM_SUPPLY_HEATING_FAN) && !fan_stalled_; }
  int power(station::EnumSupplyType type) const { return actuators_[type].power; }
  // The parts of Advance.
  void AdvanceTank(double dt);
  void AdvanceSorter(double dt);
  void AdvanceTemperatures(double dt);
  void AdvancePressureAndSewage(double dt);
  void JudgeSafety();

  ModelParams params_;
  ActuatorState actuators_[station::EnumSupplyType_ARRAYSIZE];
  station::SensorsDataRep inputs_;  // person-set fields
  std::map<std::string, std::string> pins_;

  double tank_ml_;
  double flow_ml_ = 0;
  double delivered_ml_ = 0;
  double tablet_progress_ = 0;
  uint32_t tablets_ = 0;
  double overload_left_s_ = 0;
  bool fan_stalled_ = false;
  std::set<int> stuck_;
  ActuatorState commanded_[station::EnumSupplyType_ARRAYSIZE];  // what the board was last told
  bool reports_flowing_ = true;
  double answer_delay_s_ = 0;
  bool controller_connected_ = true;  // until a controller that had the link is gone
  double wire_c_;
  double plate1_c_;
  double plate2_c_;
  double pressure_pa_ = 0;
  double sewage_level_ = 0;
  int last_led_ = 0;
  int resets_ = 0;
  int restarts_ = 0;
  double time_s_ = 0;
  SafetyMonitor safety_;
};

}  // namespace station_sim
