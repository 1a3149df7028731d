// A robot's whole visit to the station, as three real processes see it: the
// robot (stationctl) talks MQTT, the daemon drives the simulated board, and the
// simulator shows what the station's hardware did.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "e2e/station_fixture.h"

namespace station_test {
namespace {

using RobotVisitTest = StationFixture;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(RobotVisitTest, FromDockingToLeavingThenTheStationResetsItself) {
  // Arrival.
  EXPECT_EQ(Robot({"check", "in-pose"}).exit_code, 1) << "nobody is on the dock yet";
  Sim("dock");
  ASSERT_TRUE(RobotUntil({"check", "in-pose"}, 0)) << "the dock detectors report the robot";
  EXPECT_EQ(Robot({"dock", "stay"}).exit_code, 0) << "a docked robot may stay";

  // Disinfectant water: one litre of tap water and two tablets, then the dissolution wait.
  ASSERT_EQ(Robot({"prewater", "--tablets", "2", "--volume", "1"}).exit_code, 0);
  EXPECT_EQ(Robot({"check", "water-ready"}).exit_code, 1) << "a preparation takes seconds";
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.led == 13; }, Seconds(30)))
      << "the screen shows the preparation (SCREEN_PRE_WATER)";
  ASSERT_TRUE(RobotUntil({"check", "water-ready"}, 0)) << "the water becomes ready";
  SimState s = State();
  EXPECT_EQ(s.tablets, 2) << "exactly the asked number of tablets was released";
  EXPECT_GE(s.tank_ml, 1000) << "the tank was filled up to the asked litre";
  EXPECT_LT(s.tank_ml, 1500) << "the flow meter, not the brim, stopped the fill";

  // Water supply until the station says it is finished.
  ASSERT_EQ(Robot({"supply", "watering", "--action", "standard", "--duration", "120"}).exit_code, 0);
  ASSERT_TRUE(RobotUntil({"check", "water-finish"}, 0)) << "the supply ends by itself";
  s = State();
  EXPECT_GE(s.given_ml, 1000) << "the robot got the whole prepared volume";
  EXPECT_EQ(s.foot_level, 1) << "the clean tank was emptied into the robot";
  CtlResult again = Robot({"supply", "watering", "--action", "standard", "--duration", "120"});
  EXPECT_EQ(again.exit_code, 1) << "water is given once per preparation";
  EXPECT_TRUE(Has(again.out, "ENUM_ADD_WATER_FINISHED")) << again.out;

  // Dust collection, stopped by the robot.
  ASSERT_EQ(Robot({"supply", "collect-dust", "--action", "standard", "--duration", "60"}).exit_code, 0);
  EXPECT_TRUE(WaitForState([](const SimState& s) { return Has(s.actuators, "dust(7)") && s.led == 14; }))
      << "the dust fan runs and the screen shows it (SCREEN_COLLECT_DUST)";
  EXPECT_TRUE(AwaitUpload([](const std::string& json) { return OccupyState(json) == 1; }))
      << "the cloud sees a busy station";
  const CtlResult stop_dust = Robot({"supply", "collect-dust", "--action", "stop"});
  EXPECT_EQ(stop_dust.exit_code, 0);
  EXPECT_TRUE(Has(stop_dust.out, "cancel task id")) << stop_dust.out;
  EXPECT_TRUE(WaitForState([](const SimState& s) { return !Has(s.actuators, "dust(7)"); })) << "the dust fan stops";

  // Drying: the fan, then the heat wire, which is held at its standard 60 C.
  Sim("commands clear");
  ASSERT_EQ(Robot({"supply", "heating-fan", "--action", "standard"}).exit_code, 0);
  ASSERT_TRUE(RobotUntil({"supply", "heating-wire", "--action", "standard"}, 0, Seconds(30)))
      << "the wire may heat once the fan blows";
  double hottest = 0;
  EXPECT_TRUE(WaitUntil(
      [&] {
        hottest = std::max(hottest, State().wire_c);
        const std::string commands = Sim("commands");
        return Has(commands, "heatwire(5) action 1") && Has(commands, "heatwire(5) action 0");
      },
      Seconds(60)))
      << "the thermostat switches the wire on and, once hot, off again";
  EXPECT_GT(hottest, 58) << "the wire reached its target";
  EXPECT_LT(hottest, 80) << "the wire was not left on towards its 120 C ceiling";
  EXPECT_TRUE(Has(State().actuators, "fan(6)")) << "the fan keeps running while the wire cycles";

  const CtlResult leave_early = Robot({"dock", "leave"});
  EXPECT_EQ(leave_early.exit_code, 1) << "the robot must stay while the station works on it";
  EXPECT_TRUE(Has(leave_early.out, "ENUM_ROBOT_DESIRE_STAY_IN")) << leave_early.out;

  ASSERT_EQ(Robot({"supply", "heating-wire", "--action", "stop"}).exit_code, 0);
  // The fan may only stop once the wire's task has let go of it.
  EXPECT_TRUE(WaitUntil(
      [&] {
        return Has(Robot({"supply", "heating-wire", "--action", "stop"}).out, "no task (task type : 10)");
      },
      Seconds(30)));
  const CtlResult stop_fan = Robot({"supply", "heating-fan", "--action", "stop"});
  EXPECT_EQ(stop_fan.exit_code, 0) << stop_fan.out;
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.actuators == "all off"; })) << "drying is over";

  // Leaving. Water left in the clean tank (poured in by hand) must be drained by the reset.
  Sim("tank 1200");
  Sim("commands clear");
  const int resets = State().board_resets;
  const CtlResult leave = Robot({"dock", "leave"});
  EXPECT_EQ(leave.exit_code, 0) << "nothing runs any more, so the robot may go: " << leave.out;
  Sim("undock");
  EXPECT_TRUE(WaitForState(
      [&](const SimState& s) {
        const std::string commands = Sim("commands");
        return s.board_resets > resets && Has(commands, "drain(13) action 1") && Has(commands, "drain(13) action 0") &&
               s.foot_level == 1;
      },
      Seconds(60)))
      << "the station resets its board and drains the clean tank after the robot left";
  EXPECT_TRUE(AwaitUpload([](const std::string& json) { return OccupyState(json) == 0; }))
      << "the cloud sees an idle station again";
  EXPECT_EQ(Robot({"check", "water-ready"}).exit_code, 1) << "the reset forgot the prepared water";
  EXPECT_EQ(Robot({"check", "water-finish"}).exit_code, 1) << "and that it was given";
}

}  // namespace
}  // namespace station_test
