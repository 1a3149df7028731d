#pragma once

// The simulator's safety monitor: invariants the station must keep with its
// actuators, judged on the simulated board's state at every model tick. It only
// watches and counts; nothing it sees changes the simulation.

#include <array>
#include <limits>
#include <string>
#include <vector>

#include "station/cmd.pb.h"
#include "station/station_report.pb.h"

namespace station_sim {

// Grace times in seconds of simulated time: a condition is a violation once it
// has held longer than its grace.
struct SafetyConfig {
  double heat_wire_grace_s = 1;  // heat wire on, drying fan off
  // Heat wire on, fan told on but not turning: the station learns it from the
  // fan's feedback, which it may take 2 s to trust.
  double fan_stall_grace_s = 3.5;
  double no_controller_grace_s = 3;  // any actuator on, no controller connected
  double tap_full_grace_s = 2;       // tap open, clean tank at its up level
  double absent_grace_s = 2;         // robot-facing outputs on, robot not in position
  double estop_grace_s = 2;          // any actuator on, emergency stop pressed
  double left_on_s = 30;             // an actuator on and no command since the robot left
  // Any actuator on while the board sends no reports: the station runs blind; it
  // drops everything once its data is a report period plus a second old.
  double no_reports_grace_s = 5;
  // The heat wire among them: its thermostat must not heat on a reading older
  // than a report period and a second, well before the whole station gives up.
  double wire_no_reports_grace_s = 2.5;
  // A heater on over its limit: the wire, and charging with a hot plate; the
  // daemon's max_heat_temp and max_charge_plate_temp.
  double heat_wire_limit_c = 150;
  double plate_limit_c = 78;
  double over_temperature_grace_s = 3;
  // The station's own sewage automation: the pump runs while the report shows
  // sewage (sewageDet, or sewageFull above this threshold) and runs on for this
  // long after; the daemon's sewage_check_threshold_down and
  // sewage_pump_continue_work_time.
  double sewage_threshold = 1200;
  double sewage_run_on_s = 30;
  size_t kept_lines = 16;  // violations kept as lines; later ones are only counted
};

enum class Invariant {
  kHeatWireWithoutFan,
  kTapOpenTankFull,
  kRobotAbsentOutput,
  kActuatorOnInEmergencyStop,
  kActuatorLeftOnAfterLeave,
  kOutputsWithoutController,
  kActuatorOnWithoutReports,
  kHeaterOverTemperature,
};
constexpr size_t kInvariantCount = 8;
// The name counts and lines carry, e.g. "heat_wire_without_fan".
const char* InvariantName(Invariant invariant);

struct SafetyCount {
  const char* name;
  int count;
  // How often the invariant's hazard was posed: its cause (the stop pressed, the
  // robot gone, the fan stalled...) arose with an output it concerns on and
  // lasted past the grace, whatever the station then did. A count of violations
  // is only worth as much as this one.
  int exposed = 0;
};

// What the monitor saw: one count per invariant, in the order of Invariant,
// and the first violations as readable lines, oldest first.
struct SafetyReport {
  std::vector<SafetyCount> counts;
  std::vector<std::string> lines;

  int Count(Invariant invariant) const { return counts[static_cast<size_t>(invariant)].count; }
  int Total() const;
};

// What one tick shows the monitor.
struct SafetyInputs {
  double now_s = 0;                                            // simulated time
  std::array<int, station::EnumSupplyType_ARRAYSIZE> power{};  // by supply type; 0 is off
  station::SensorsDataRep report;                              // as the board reports it now, pins included
  bool fan_turning = false;                                    // the drying fan really turns
  bool controller_connected = true;                            // a controller holds the command connection
  bool fan_stalled = false;                                    // the fan seized (a fault)
  bool reports_flowing = true;                                 // the board sends sensor reports
  double answer_delay_s = 0;                                   // the board holds each answer (a fault)
};

// Not thread-safe: its owner (the model) is guarded by StationSim.
class SafetyMonitor {
 public:
  explicit SafetyMonitor(const SafetyConfig& config = SafetyConfig()) : config_(config) {}

  // An actuator command the board carried out at simulated time `now_s`; lamp
  // patterns are not noted.
  void NoteActuatorCommand(double now_s) { last_command_s_ = now_s; }
  // Judges the state after a tick.
  void Evaluate(const SafetyInputs& in);
  SafetyReport Report() const;
  // Clears the counts and lines; conditions that still hold start a new episode.
  void Reset();

 private:
  // One continuous stretch of a condition, counted once.
  struct Episode {
    bool active = false;
    double start_s = 0;
    bool counted = false;
  };

  // Leave times and the sewage automation, as the last invariant needs them.
  void TrackRobotAndSewage(const SafetyInputs& in, bool docked);
  // Whether the on actuator `type` is one the last invariant watches now, and
  // since when it counts as left on.
  bool LeftOn(const SafetyInputs& in, int type, double* since) const;
  // Advances `invariant`'s episode: a violation once the condition has held
  // longer than `grace_s`, counted from its start or `not_before_s`, whichever
  // is later.
  void Judge(const SafetyInputs& in, Invariant invariant, bool holds, double grace_s, double not_before_s);
  // Advances `invariant`'s exposure: starts when `cause` arises with `concerned`
  // outputs on, counted once `cause` has lasted longer than `grace_s`.
  void Expose(const SafetyInputs& in, Invariant invariant, bool cause, bool concerned, double grace_s);
  bool OverTemperature(const SafetyInputs& in, bool heating) const;
  double OneExchangeGrace(double grace_s, const SafetyInputs& in) const;
  void ExposeAll(const SafetyInputs& in, bool docked, bool any_on, bool outputs);
  std::string Line(const SafetyInputs& in, Invariant invariant) const;

  SafetyConfig config_;
  std::array<Episode, kInvariantCount> episodes_{};
  std::array<int, kInvariantCount> counts_{};
  std::array<Episode, kInvariantCount> exposures_{};
  std::array<int, kInvariantCount> exposed_{};
  std::vector<std::string> lines_;

  bool was_docked_ = false;
  bool left_ = false;  // the robot left and has not come back
  double left_at_s_ = 0;
  double last_command_s_ = std::numeric_limits<double>::lowest();
  double sewage_seen_s_ = std::numeric_limits<double>::lowest();  // the last tick the report showed sewage
};

}  // namespace station_sim
