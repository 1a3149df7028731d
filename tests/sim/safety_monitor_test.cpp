// The simulator's safety monitor: each invariant on the model, stepped by its own clock (its
// console lines: SimLinkTest.CommandFaultSwitchesAndSafetyCountsAsTheDaemonSeesThem).

#include "sim/safety_monitor.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "sim/station_model.h"

namespace station_sim {
namespace {

constexpr double kTick = 0.02;  // the simulator's model step

void Set(StationModel& m, station::EnumSupplyType type, int action = 1) {
  station::ActionCommand cmd;
  cmd.set_supply_type_(type);
  cmd.set_action_(action);
  ASSERT_TRUE(m.Apply(cmd));
}

// Steps the model as its tick thread does.
void Step(StationModel& m, double seconds) {
  for (double t = 0; t < seconds; t += kTick) m.Advance(kTick);
}

void DockThenLeave(StationModel& m) {
  m.Dock(true);
  m.Advance(kTick);
  Set(m, station::ENUM_SUPPLY_COLLECT_DUST);
  m.Advance(kTick);
  m.Dock(false);
}

TEST(SafetyMonitorTest, EachInvariantCountsOncePerEpisodeAfterItsGrace) {
  ModelParams params;
  params.safety.kept_lines = 1;
  const SafetyConfig& c = params.safety;
  const struct {
    Invariant invariant;
    double grace_s;
    std::function<void(StationModel&)> enter;  // drives the model into the condition
  } rows[] = {
      {Invariant::kHeatWireWithoutFan, c.heat_wire_grace_s,
       [](StationModel& m) { Set(m, station::ENUM_SUPPLY_HEATING_WIRE); }},
      {Invariant::kTapOpenTankFull, c.tap_full_grace_s,
       [](StationModel& m) {
         m.SetTankVolume(m.params().tank_capacity_ml);
         Set(m, station::ENUM_SUPPLY_TAP_WATER_SWITCH);
       }},
      {Invariant::kRobotAbsentOutput, c.absent_grace_s, [](StationModel& m) { Set(m, station::ENUM_SUPPLY_UV_LAMP); }},
      {Invariant::kActuatorOnInEmergencyStop, c.estop_grace_s,
       [](StationModel& m) {
         m.SetField("emergencyStopState", "1");
         Set(m, station::ENUM_SUPPLY_COLLECT_DUST);
       }},
      {Invariant::kActuatorLeftOnAfterLeave, c.left_on_s, DockThenLeave},
      {Invariant::kHeatWireWithoutFan, c.fan_stall_grace_s,
       [](StationModel& m) {
         m.SetFanStalled(true);
         Set(m, station::ENUM_SUPPLY_HEATING_FAN);
         Set(m, station::ENUM_SUPPLY_HEATING_WIRE);
       }},
      {Invariant::kOutputsWithoutController, c.no_controller_grace_s,
       [](StationModel& m) {
         Set(m, station::ENUM_SUPPLY_COLLECT_DUST);
         m.SetControllerConnected(false);
       }},
  };
  for (const auto& row : rows) {
    const char* name = InvariantName(row.invariant);
    SCOPED_TRACE(name);
    StationModel m(params);
    const auto count = [&m, &row] { return m.Safety().Count(row.invariant); };
    row.enter(m);
    m.Advance(kTick);  // the condition is seen
    m.Advance(row.grace_s - kTick);
    EXPECT_EQ(count(), 0) << "within the grace";
    m.Advance(2 * kTick);
    EXPECT_EQ(count(), 1);
    Step(m, 2 * row.grace_s);
    EXPECT_EQ(count(), 1) << "once per episode";

    Set(m, station::ENUM_SUPPLY_RESET_MCU);  // everything off ends the episode
    m.Advance(kTick);
    row.enter(m);
    m.Advance(kTick);
    m.Advance(row.grace_s + kTick);
    EXPECT_EQ(count(), 2) << "a new episode";
    const SafetyReport report = m.Safety();
    EXPECT_EQ(report.Total(), 2) << "no other invariant counted";
    ASSERT_EQ(report.lines.size(), 1u) << "only the first kept";
    EXPECT_NE(report.lines[0].find(std::string("  ") + name + "  actuators: "), std::string::npos) << report.lines[0];

    m.ResetSafety();  // what it clears: the console's "safety reset" in SimLinkTest
    m.Advance(kTick);
    m.Advance(row.grace_s + kTick);
    EXPECT_EQ(count(), 1) << "a condition still holding counts again after a reset";
  }
}

// The automation pumps while it sees sewage and for its run-on after: 2000 drains in about 3 s.
void SewagePumpAfterTheLeave(StationModel& m, double seconds) {
  DockThenLeave(m);
  Set(m, station::ENUM_SUPPLY_COLLECT_DUST, 0);
  m.SetSewageLevel(2000);
  Set(m, station::ENUM_SUPPLY_SEWAGE_PUMP, 80);
  Step(m, seconds);
}

// What the station may do, the monitor leaves uncounted.
TEST(SafetyMonitorTest, TheStationsOwnWorkIsNoViolation) {
  const struct {
    const char* what;
    std::function<void(StationModel&)> run;
    int left_on;  // violations, all of them an actuator left on after the leave
  } rows[] = {
      {"tap filling to the up level",
       [](StationModel& m) {
         m.SetTankVolume(0);
         Set(m, station::ENUM_SUPPLY_TAP_WATER_SWITCH);
         Step(m, 4);
       },
       0},
      // A command keeps the link busy: the last one, not the leave, starts the 30 s.
      {"a command 20 s after the leave",
       [](StationModel& m) {
         DockThenLeave(m);
         Step(m, 20);
         Set(m, station::ENUM_SUPPLY_HEATING_FAN);
         Step(m, 20);
       },
       0},
      {"the sewage pump 55 s after the leave", [](StationModel& m) { SewagePumpAfterTheLeave(m, 55); }, 0},
      {"its allowance ends: 30 s of run-on and 30 s more", [](StationModel& m) { SewagePumpAfterTheLeave(m, 70); }, 1},
  };
  for (const auto& row : rows) {
    StationModel m;
    row.run(m);
    EXPECT_EQ(m.Safety().Total(), row.left_on)
        << row.what << ": " << (m.Safety().lines.empty() ? "" : m.Safety().lines[0]);
    EXPECT_EQ(m.Safety().Count(Invariant::kActuatorLeftOnAfterLeave), row.left_on) << row.what;
  }
}

}  // namespace
}  // namespace station_sim
