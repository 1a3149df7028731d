#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "core/station_harness.h"
#include "sim/safety_monitor.h"

namespace station_center {
namespace {

using station_test::Actions;
using station_test::WaitUntil;

constexpr int kWire = station::ENUM_SUPPLY_HEATING_WIRE;
constexpr int kFan = station::ENUM_SUPPLY_HEATING_FAN;
constexpr int kLamp = station::ENUM_SUPPLY_UV_LAMP;
constexpr int kDrain = station::ENUM_SUPPLY_DRAINAGE_SWITCH;
constexpr int kPump = station::ENUM_SUPPLY_SEWAGE_PUMP;
constexpr int kSoft = vantorel_base_station_mqtt::ENUM_ACTION_SOFT;
constexpr int kStd = vantorel_base_station_mqtt::ENUM_ACTION_STANDARD;
constexpr int kStrong = vantorel_base_station_mqtt::ENUM_ACTION_STRONG;
constexpr int kStop = vantorel_base_station_mqtt::ENUM_ACTION_STOP;

class ActuatorTasksTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(h_.Start()); }

  bool WaitOn(int type, bool on = true) {
    return WaitUntil([&] { return h_.On(type) == on; });
  }
  bool Flag(bool StationTaskData::*flag) {
    return h_.WithData([flag](StationTaskData& d) { return d.*flag; });
  }

  station_test::StationHarness h_;
};

// A task that switches one actuator on at its first pass.
struct ActuatorTask {
  TaskType type;
  station::EnumSupplyType supply;
};

TEST_F(ActuatorTasksTest, RefusedStartEndsInErrorAndTheResetStillSwitchesOff) {
  const ActuatorTask rows[] = {{TASK_TYPE_DUST_COLLECT, station::ENUM_SUPPLY_COLLECT_DUST},
                               {TASK_TYPE_DRY, station::ENUM_SUPPLY_HEATING_FAN},
                               {TASK_TYPE_AUTO_CHARGE, station::ENUM_SUPPLY_CHARGING}};
  for (const ActuatorTask& row : rows) {
    SCOPED_TRACE(row.type);
    h_.sim().RefuseSupply(row.supply, true);
    ASSERT_EQ(h_.Finish(h_.StartTask(row.type, kStd)), TASK_STATUS_ERROR);
    h_.sim().RefuseSupply(row.supply, false);
    // The on command may have been half carried out: the reset tries the off.
    EXPECT_EQ(h_.Actions(row.supply), (Actions{{row.supply, 1}, {row.supply, 0}}));
  }
  EXPECT_FALSE(Flag(&StationTaskData::heat_fan_open));
  EXPECT_EQ(h_.WithData([](StationTaskData& d) { return d.charging; }), 0);
}

// A drain from a tank holding `tank_ml`; how it ends and what the drain valve was told.
struct DrainRun {
  const char* what;
  double tank_ml;
  TaskStatus ending;
  Actions valve;
};

TEST_F(ActuatorTasksTest, DrainEndsWithTheValveClosedOrInErrorWhenItMayBeOpen) {
  const DrainRun rows[] = {
      {"full tank drains to the foot level", 1500, TASK_STATUS_OVER, {{kDrain, 1}, {kDrain, 0}}},
      {"empty tank: closed without opening", 0, TASK_STATUS_OVER, {{kDrain, 0}}},
      // A valve that may still be open is no finished drain; the reset closes again.
      {"close refused", 0, TASK_STATUS_ERROR, {{kDrain, 0}, {kDrain, 0}}},
  };
  for (const DrainRun& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_TRUE(h_.SetTank(row.tank_ml));
    h_.WithData([](StationTaskData& d) {
      d.disinfectant_water_ready = d.perfume_liquid_ready = d.clean_liquid_ready = true;
      d.water_volume = d.tank_water_volume = 700;
    });
    h_.sim().RefuseSupply(station::ENUM_SUPPLY_DRAINAGE_SWITCH, row.ending == TASK_STATUS_ERROR);
    ASSERT_EQ(h_.Finish(h_.StartTask(TASK_TYPE_DRAIN_WATER, kStd)), row.ending);
    h_.sim().RefuseSupply(station::ENUM_SUPPLY_DRAINAGE_SWITCH, false);
    EXPECT_EQ(h_.Actions(kDrain), row.valve);
    h_.WithData([&](StationTaskData& d) {
      EXPECT_FALSE(d.disinfectant_water_ready || d.perfume_liquid_ready || d.clean_liquid_ready) << "drained away";
      EXPECT_EQ(d.water_volume, 0) << "nothing left to supply";
      EXPECT_EQ(d.tank_water_volume, 0) << "nor in the tank";
    });
  }
}

TEST_F(ActuatorTasksTest, MissingFootLevelEndsDrainAndResetAfterDrainTime) {
  ASSERT_TRUE(h_.sim().Pin("cleanTankFootLevel", "0"));
  for (TaskType type : {TASK_TYPE_DRAIN_WATER, TASK_TYPE_RESET_STATION}) {
    SCOPED_TRACE(type);
    ASSERT_TRUE(h_.SetTank(1500));
    auto task = h_.StartTask(type, kStd);
    ASSERT_TRUE(WaitOn(kDrain));
    h_.AfterPass();
    h_.AdvanceClock(31);  // the harness's drain time is 30 s
    // A broken sensor must not leave the valve open, nor block later work.
    ASSERT_EQ(h_.Finish(task), TASK_STATUS_OVER);
    EXPECT_EQ(h_.Actions(kDrain), (Actions{{kDrain, 1}, {kDrain, 0}}));
    EXPECT_EQ(h_.center().station_status(), STATION_STATUS_NORMAL);
  }
}

TEST_F(ActuatorTasksTest, ResetIsOverOnlyOnceTheBoardConfirmsTheDrainClosed) {
  const auto closes = [&] {
    const Actions drain = h_.Actions(kDrain);
    return std::count(drain.begin(), drain.end(), std::make_pair(kDrain, 0));
  };
  for (const bool confirmed : {true, false}) {
    SCOPED_TRACE(confirmed ? "confirmed after a few refusals" : "never confirmed");
    h_.SetStatus(STATION_STATUS_RESET);
    ASSERT_TRUE(h_.sim().Pin("cleanTankFootLevel", "0"));
    ASSERT_TRUE(h_.SetTank(1500));
    auto reset = h_.StartTask(TASK_TYPE_RESET_STATION, kStd);
    ASSERT_TRUE(WaitOn(kDrain));
    h_.sim().RefuseSupply(station::ENUM_SUPPLY_DRAINAGE_SWITCH, true);
    ASSERT_TRUE(h_.sim().Unpin("cleanTankFootLevel"));  // the tank reaches its foot level
    ASSERT_TRUE(WaitUntil([&] { return closes() >= 3; })) << "tried again on later passes";
    EXPECT_TRUE(h_.On(kDrain));
    EXPECT_TRUE(h_.Running(TASK_TYPE_RESET_STATION));
    EXPECT_EQ(h_.center().station_status(), STATION_STATUS_RESET) << "no preparation fills through the open drain";
    if (confirmed) {
      h_.sim().RefuseSupply(station::ENUM_SUPPLY_DRAINAGE_SWITCH, false);
      EXPECT_EQ(h_.Finish(reset), TASK_STATUS_OVER);
      EXPECT_EQ(h_.center().station_status(), STATION_STATUS_NORMAL);
      EXPECT_FALSE(h_.On(kDrain));
    } else {
      h_.AfterPass();
      h_.AdvanceClock(31);  // the harness's drain time is 30 s
      EXPECT_EQ(h_.Finish(reset), TASK_STATUS_ERROR);
      EXPECT_EQ(h_.center().station_status(), STATION_STATUS_ERROR) << "as a failed reset leaves it";
      h_.sim().RefuseSupply(station::ENUM_SUPPLY_DRAINAGE_SWITCH, false);
    }
  }
}

// The sewage pump's power for an action, and whether the board refuses the robot's stop.
struct PumpRun {
  int action;
  int power;
  bool stop_refused;
};

TEST_F(ActuatorTasksTest, SewagePumpPowerFollowsActionAndPumpStopsWhenTaskEnds) {
  auto working = [&] { return Flag(&StationTaskData::sewage_pump_working); };
  const PumpRun rows[] = {{kSoft, 60, false}, {kStd, 80, false}, {kStrong, 100, true}};
  for (const PumpRun& row : rows) {
    SCOPED_TRACE(row.action);
    auto task = h_.StartTask(TASK_TYPE_SEWAGE_DRAIN_PUMP, row.action, 0);
    ASSERT_TRUE(WaitUntil(working));
    h_.AdvanceClock(1000);
    EXPECT_FALSE(WaitUntil([&] { return !h_.Running(TASK_TYPE_SEWAGE_DRAIN_PUMP); }, std::chrono::milliseconds(300)))
        << "without a duration the pump runs until stopped";
    h_.sim().RefuseSupply(station::ENUM_SUPPLY_SEWAGE_PUMP, row.stop_refused);
    EXPECT_EQ(h_.Submit(TASK_TYPE_SEWAGE_DRAIN_PUMP, kStop).code,
              row.stop_refused ? SRV_CODE_FAILED : SRV_CODE_SUCCESS);
    ASSERT_EQ(h_.Finish(task), row.stop_refused ? TASK_STATUS_ERROR : TASK_STATUS_CANCEL);
    // A refused stop is tried once more by the error reset, and the pump stays counted as
    // working, so the sewage automation stops it once the board obeys.
    Actions expected = {{kPump, row.power}, {kPump, 0}, {kPump, 0}};
    expected.resize(row.stop_refused ? 3 : 2);
    EXPECT_EQ(station_test::Head(h_.Actions(kPump), expected.size()), expected);
    EXPECT_EQ(working(), row.stop_refused);
    h_.sim().RefuseSupply(station::ENUM_SUPPLY_SEWAGE_PUMP, false);
    EXPECT_TRUE(WaitUntil([&] { return !h_.On(kPump) && !working(); })) << "the automation stops it";
  }
}

// The heater's commands in order: every fan-off must find the wire commanded off.
bool WireOffBeforeEachFanOff(const Actions& commands) {
  bool wire_on = false;
  for (const auto& [supply, action] : commands) {
    if (supply == kWire) {
      wire_on = action != 0;
    } else if (supply == kFan && action == 0 && wire_on) {
      return false;
    }
  }
  return true;
}

class HeaterTest : public ActuatorTasksTest {
 protected:
  // Fan, then a wire task whose thermostat keeps the wire on; the fan's limit is `fan_limit`.
  void StartHeating(int fan_limit = 0) {
    ASSERT_TRUE(h_.sim().Pin("heatingWireTemp", "20"));
    dry_ = h_.StartTask(TASK_TYPE_DRY, kStd, fan_limit);
    ASSERT_TRUE(dry_ != nullptr && WaitOn(kFan));
    h_.AfterPass();
    wire_ = h_.StartTask(TASK_TYPE_HEAT_WIRE, kSoft);
    ASSERT_TRUE(wire_ != nullptr && WaitOn(kWire));
    h_.sim().ResetSafety();
  }
  // Both tasks ended, both heaters off, no flag left, and the wire never heated without the fan.
  void ExpectAllOff(TaskStatus dry_ending) {
    EXPECT_EQ(h_.Finish(wire_), TASK_STATUS_CANCEL) << "the wire task ends with its fan";
    EXPECT_EQ(h_.Finish(dry_), dry_ending);
    EXPECT_TRUE(WaitUntil([&] { return h_.center().running_drivers() == 0; }));
    EXPECT_FALSE(h_.On(kWire) || h_.On(kFan));
    EXPECT_FALSE(Flag(&StationTaskData::heat_wire_working) || Flag(&StationTaskData::heat_fan_open));
    EXPECT_TRUE(WireOffBeforeEachFanOff(h_.Actions()));
    EXPECT_EQ(h_.sim().Safety().Count(station_sim::Invariant::kHeatWireWithoutFan), 0);
  }
  // The station's own cancel of the running fan task, as a status change makes its driver do.
  void ForceCancelFan() {
    const auto lock = h_.LockAtRest();
    h_.center().HandleTaskCancel(h_.center().tasks().at(TASK_TYPE_DRY));
  }

  std::shared_ptr<Task> dry_, wire_;
};

TEST_F(HeaterTest, EveryFanStopSwitchesTheWireOffFirstAndEndsTheWireTask) {
  StartHeating(5);
  h_.AdvanceClock(6);
  {
    SCOPED_TRACE("the fan's time limit");
    ExpectAllOff(TASK_STATUS_ERROR);
  }
  StartHeating();
  {
    SCOPED_TRACE("a robot's fan stop, refused while the wire heats");
    EXPECT_EQ(h_.Submit(TASK_TYPE_DRY, kStop).code, SRV_CODE_FAILED);
    ExpectAllOff(TASK_STATUS_ERROR);
  }
  StartHeating();
  {
    SCOPED_TRACE("the station's own cancel, which has no reset after it");
    ForceCancelFan();
    ExpectAllOff(TASK_STATUS_ERROR);
  }
}

TEST_F(HeaterTest, NoWireStartsOnceTheFanIsAcknowledgedOff) {
  const auto now = [&](TaskType type, int action) {
    return h_.center().ReceiveTaskUnlock(station_test::TaskRequest(type, action));
  };
  StartHeating();
  EXPECT_EQ(h_.Submit(TASK_TYPE_HEAT_WIRE, kStop).code, SRV_CODE_SUCCESS);
  EXPECT_EQ(h_.Finish(wire_), TASK_STATUS_CANCEL);
  {
    // Before the fan task's next pass.
    const auto lock = h_.LockAtRest();
    EXPECT_EQ(now(TASK_TYPE_DRY, kStop).code, SRV_CODE_SUCCESS);
    EXPECT_EQ(now(TASK_TYPE_HEAT_WIRE, kSoft).msg, "dry fan not open");
  }
  EXPECT_EQ(h_.Finish(dry_), TASK_STATUS_CANCEL);

  // A wire task admitted just before the fan stop has not switched anything on yet; its
  // first pass finds the fan gone.
  dry_ = h_.StartTask(TASK_TYPE_DRY, kStd);
  ASSERT_TRUE(WaitOn(kFan));
  {
    const auto lock = h_.LockAtRest();
    ASSERT_EQ(now(TASK_TYPE_HEAT_WIRE, kSoft).code, SRV_CODE_SUCCESS);
    wire_ = h_.center().tasks().at(TASK_TYPE_HEAT_WIRE);
    EXPECT_EQ(now(TASK_TYPE_DRY, kStop).code, SRV_CODE_SUCCESS);
    EXPECT_EQ(now(TASK_TYPE_HEAT_WIRE, kStd).msg, "task stopping, retry") << "it will not heat";
  }
  EXPECT_EQ(h_.Finish(wire_), TASK_STATUS_CANCEL);
  EXPECT_EQ(h_.Finish(dry_), TASK_STATUS_CANCEL);
  const Actions wire = h_.Actions(kWire);
  EXPECT_TRUE(std::none_of(wire.begin(), wire.end(), [](const auto& a) { return a.second != 0; })) << "never on";
  EXPECT_FALSE(Flag(&StationTaskData::heat_wire_working) || Flag(&StationTaskData::heat_fan_open));
}

TEST_F(HeaterTest, RefusedWireOffKeepsTheFanOnAndIsRetriedEveryPass) {
  const auto wire_offs = [&] {
    const Actions wire = h_.Actions(kWire);
    return std::count(wire.begin(), wire.end(), std::make_pair(kWire, 0));
  };
  for (const bool by_limit : {true, false}) {
    SCOPED_TRACE(by_limit ? "the fan's time limit" : "a robot's fan stop");
    StartHeating(by_limit ? 5 : 0);
    h_.sim().RefuseSupply(station::ENUM_SUPPLY_HEATING_WIRE, true);
    if (by_limit) {
      h_.AdvanceClock(6);
    } else {
      EXPECT_EQ(h_.Submit(TASK_TYPE_DRY, kStop).code, SRV_CODE_FAILED);
    }
    ASSERT_TRUE(WaitUntil([&] { return wire_offs() >= 3; })) << "tried again on later passes";
    EXPECT_TRUE(h_.On(kFan) && h_.On(kWire));
    EXPECT_TRUE(h_.Running(TASK_TYPE_DRY)) << "the fan task stays to switch the fan off later";
    EXPECT_TRUE(h_.Actions(kFan).empty()) << "no fan-off while the wire may heat";
    EXPECT_EQ(h_.Submit(TASK_TYPE_DRY, kStd).msg, "task stopping, retry") << "not kept running by a start";
    h_.sim().RefuseSupply(station::ENUM_SUPPLY_HEATING_WIRE, false);
    ExpectAllOff(TASK_STATUS_ERROR);
  }
}

// What the thermostat cannot trust ends its heating whatever the temperature says.
TEST_F(HeaterTest, TheWireGoesOffOnOldReadingsAndUnderAStoppedFan) {
  const struct {
    const char* what;
    void (*fault)(station_sim::StationSim&, bool on);
    bool recorded;  // the over-temperature abnormal condition is recorded
  } rows[] = {
      {"sensor reports stop", [](station_sim::StationSim& sim, bool on) { sim.SetReportsEnabled(!on); }, false},
      {"the fan stalls", [](station_sim::StationSim& sim, bool on) { sim.SetFanStalled(on); }, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    StartHeating();
    row.fault(h_.sim(), true);
    EXPECT_TRUE(WaitOn(kWire, false));
    // Recorded after the switch-off, so waited for.
    const auto recorded = [&] {
      return h_.WithData([](StationTaskData& d) { return d.AbnormalPresent(ABNORMAL_HEAT_WIRE_TEMP); });
    };
    EXPECT_EQ(WaitUntil(recorded, std::chrono::seconds(row.recorded ? 20 : 1)), row.recorded);
    EXPECT_EQ(h_.sim().Safety().Count(station_sim::Invariant::kHeatWireWithoutFan), 0);
    row.fault(h_.sim(), false);
    // Cleaning up: a stalled fan may have ended the wire task already, and a fan stop
    // refused while the wire's off is under way still ends with the fan off.
    h_.Submit(TASK_TYPE_HEAT_WIRE, kStop);
    h_.Submit(TASK_TYPE_DRY, kStop);
    EXPECT_NE(h_.Finish(wire_), -1);
    EXPECT_NE(h_.Finish(dry_), -1);
    EXPECT_FALSE(h_.On(kFan) || h_.On(kWire));
  }
}

// A board that answers 3 s late: the fan's stop has begun when the robot asks for heat.
TEST(SlowHeaterTest, AWireAskedForWhileTheFanStopsNeverHeatsWithoutIt) {
  station_test::StationHarness h;
  h.Configure("bottom_action_timeout", "5");
  ASSERT_TRUE(h.Start());
  ASSERT_TRUE(h.sim().Pin("heatingWireTemp", "20"));
  const std::shared_ptr<Task> dry = h.StartTask(TASK_TYPE_DRY, kStd, 5);
  ASSERT_TRUE(WaitUntil([&] { return h.On(kFan); }));
  h.AfterPass();
  h.sim().SetAckDelayMs(3000);
  h.AdvanceClock(6);  // the fan's limit
  ASSERT_TRUE(WaitUntil([&] { return !h.Actions(kWire).empty(); })) << "the stop begins with the wire";
  EXPECT_EQ(h.Submit(TASK_TYPE_HEAT_WIRE, kSoft).msg, "dry fan not open");
  EXPECT_EQ(h.Finish(dry), TASK_STATUS_ERROR);
  h.sim().SetAckDelayMs(0);
  EXPECT_TRUE(WaitUntil([&] { return h.Idle(); }));
  EXPECT_FALSE(h.On(kWire) || h.On(kFan));
  EXPECT_EQ(h.sim().Safety().Count(station_sim::Invariant::kHeatWireWithoutFan), 0);
}

TEST_F(ActuatorTasksTest, UvLampWithoutLimitGoesOffWhenTheRobotLeaves) {
  auto uv = h_.StartTask(TASK_TYPE_UV_LAMP, kStd, 0);
  ASSERT_TRUE(WaitOn(kLamp));
  h_.AdvanceClock(100000);
  EXPECT_FALSE(WaitUntil([&] { return !h_.Running(TASK_TYPE_UV_LAMP); }, std::chrono::milliseconds(300))) << "no limit";
  // A robot lifted off without a goodbye must not leave the lamp shining into the room.
  h_.sim().Dock(false);
  EXPECT_EQ(h_.Finish(uv), TASK_STATUS_ERROR);
  EXPECT_FALSE(h_.On(kLamp));
  // Nor the ultrasonic wash of the robot's rake run on with no rake in it.
  ASSERT_TRUE(h_.SetDocked(true));
  ASSERT_TRUE(WaitUntil([&] { return h_.center().station_status() == STATION_STATUS_NORMAL && h_.Idle(); }));
  auto wash = h_.StartTask(TASK_TYPE_ULTRASONIC_WASH, kStd, 600);
  ASSERT_TRUE(WaitOn(station::ENUM_SUPPLY_ULTRASONIC));
  h_.sim().Dock(false);
  EXPECT_TRUE(WaitOn(station::ENUM_SUPPLY_ULTRASONIC, false)) << "long before its limit";
  ASSERT_TRUE(h_.SetDocked(true));
  EXPECT_EQ(h_.Submit(TASK_TYPE_ULTRASONIC_WASH, kStop).code, SRV_CODE_SUCCESS);
  EXPECT_NE(h_.Finish(wash), -1);
}

TEST_F(ActuatorTasksTest, ChargeWithoutLimitGoesOffWhenTheRobotLeavesAndTheStationResets) {
  constexpr int kCharge = station::ENUM_SUPPLY_CHARGING;
  auto charge = h_.StartTask(TASK_TYPE_AUTO_CHARGE, kStd, 0);
  ASSERT_TRUE(WaitOn(kCharge));
  h_.AdvanceClock(100000);
  EXPECT_FALSE(WaitUntil([&] { return !h_.Running(TASK_TYPE_AUTO_CHARGE); }, std::chrono::milliseconds(300)))
      << "no limit";
  // Live plates must not stay open to touch once the robot is gone.
  h_.sim().Dock(false);
  EXPECT_EQ(h_.Finish(charge), TASK_STATUS_ERROR);
  EXPECT_FALSE(h_.On(kCharge));
  const Actions sent = h_.Actions(kCharge);
  EXPECT_EQ(std::count(sent.begin(), sent.end(), std::make_pair(kCharge, 1)), 1)
      << "the rest are offs: the gate's, the task's and the reset's";
  EXPECT_EQ(h_.WithData([](StationTaskData& d) { return d.charging; }), 0);
  // With the robot away the station resets, and is free again afterwards.
  EXPECT_TRUE(WaitUntil([&] {
    return !h_.Actions(station::ENUM_SUPPLY_RESET_MCU).empty() &&
           h_.center().station_status() == STATION_STATUS_NORMAL && h_.center().running_drivers() == 0;
  }));
}

// Water for the robot, lifted off mid-task without a goodbye: the water must not go onto the floor.
TEST_F(ActuatorTasksTest, WaterForTheRobotStopsWhenTheRobotLeaves) {
  struct Row {
    TaskType type;
    int supply;       // the valve or pump that feeds the robot
    TaskType beside;  // a task it needs running (the sewage pump for the spray)
  };
  const Row rows[] = {
      {TASK_TYPE_ADD_WATER, station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, TASK_TYPE_INVALID},
      {TASK_TYPE_ADD_WATER_NO_LIMIT, station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, TASK_TYPE_INVALID},
      {TASK_TYPE_WATER_SPRAY, station::ENUM_SUPPLY_SELF_CLEAN_PUMP, TASK_TYPE_SEWAGE_DRAIN_PUMP},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.type);
    h_.sim().Dock(true);
    ASSERT_TRUE(h_.SetTank(1500));
    ASSERT_TRUE(h_.sim().Pin("cleanTankFootLevel", "0"));  // a tank that never reports empty
    h_.WithData([](StationTaskData& d) {
      d.disinfectant_water_ready = true;
      d.water_volume = 1000;
    });
    std::shared_ptr<Task> beside;
    if (row.beside != TASK_TYPE_INVALID) {
      beside = h_.StartTask(row.beside, kStd, 0);
      ASSERT_TRUE(beside != nullptr && WaitOn(kPump));
      h_.AfterPass();  // the pass that switched it on has noted it
    }
    auto task = h_.StartTask(row.type, kStd, 60);
    ASSERT_NE(task, nullptr);
    ASSERT_TRUE(WaitOn(row.supply));
    h_.sim().Dock(false);
    EXPECT_EQ(h_.Finish(task), TASK_STATUS_ERROR) << "the robot is gone";
    EXPECT_FALSE(h_.On(row.supply)) << "nothing pours onto the floor";
    if (beside != nullptr) {
      EXPECT_EQ(h_.Submit(row.beside, kStop).code, SRV_CODE_SUCCESS);
      h_.Finish(beside);
    }
    h_.sim().Unpin("cleanTankFootLevel");
    EXPECT_TRUE(WaitUntil([&] {
      return h_.center().station_status() == STATION_STATUS_NORMAL && h_.center().running_drivers() == 0;
    })) << "the station resets with the robot away";
  }
  EXPECT_EQ(h_.sim().Safety().Count(station_sim::Invariant::kRobotAbsentOutput), 0);
}

TEST_F(ActuatorTasksTest, FanStopRightAfterWireStopIsAccepted) {
  auto dry = h_.StartTask(TASK_TYPE_DRY, kStd);
  ASSERT_TRUE(WaitOn(kFan));
  h_.AfterPass();  // the fan counts as running once the pass that switched it on has noted it
  ASSERT_TRUE(h_.sim().Pin("heatingWireTemp", "20"));  // the thermostat keeps the wire on
  auto wire = h_.StartTask(TASK_TYPE_HEAT_WIRE, kSoft);
  ASSERT_TRUE(WaitOn(kWire));
  {
    // No pass of either task between the two stops.
    const auto lock = h_.LockAtRest();
    const auto stop = [&](TaskType type) {
      return h_.center().ReceiveTaskUnlock(station_test::TaskRequest(type, kStop)).code;
    };
    EXPECT_EQ(stop(TASK_TYPE_HEAT_WIRE), SRV_CODE_SUCCESS);
    EXPECT_EQ(stop(TASK_TYPE_DRY), SRV_CODE_SUCCESS) << "the wire is off, so the fan may stop";
  }
  EXPECT_EQ(h_.Finish(wire), TASK_STATUS_CANCEL);
  EXPECT_EQ(h_.Finish(dry), TASK_STATUS_CANCEL);
  Actions heater = h_.Actions();
  heater.erase(std::remove_if(heater.begin(), heater.end(),
                              [](const std::pair<int, int>& a) { return a.first != kWire && a.first != kFan; }),
               heater.end());
  // The fan task repeats the wire-off before its fan-off; each driver repeats its
  // offs when it drops the cancelled task.
  EXPECT_EQ(station_test::Head(heater, 4), (Actions{{kWire, 1}, {kWire, 0}, {kWire, 0}, {kFan, 0}}))
      << "the wire goes off before the fan";
  EXPECT_FALSE(h_.On(kWire) || h_.On(kFan));
  EXPECT_FALSE(Flag(&StationTaskData::heat_wire_working) || Flag(&StationTaskData::heat_fan_open));
}

// A task of each type that takes its time limit from the request, started as the robot would.
struct LimitedTask {
  TaskType type;
  int supply, on;     // the actuator it runs and its value while on
  TaskStatus ending;  // how the limit ends it today
  TaskType beside;    // a task it needs running (the fan for the wire, the sewage pump for the spray)
  int beside_supply;  // that task's actuator
  bool water;         // prepared water in a tank that never reports empty
};

TEST_F(ActuatorTasksTest, TimeLimitEndsEachTaskAndSwitchesItsActuatorOff) {
  constexpr TaskStatus kError = TASK_STATUS_ERROR;
  constexpr TaskType kNone = TASK_TYPE_INVALID;
  constexpr int kSupply = station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, kTap = station::ENUM_SUPPLY_TAP_WATER_SWITCH;
  const LimitedTask rows[] = {
      {TASK_TYPE_ADD_WATER, kSupply, 1, kError, kNone, 0, true},
      {TASK_TYPE_ADD_WATER_NO_LIMIT, kSupply, 1, kError, kNone, 0, true},
      {TASK_TYPE_DUST_COLLECT, station::ENUM_SUPPLY_COLLECT_DUST, 1, kError, kNone, 0, false},
      {TASK_TYPE_SEWAGE_DRAIN_PUMP, kPump, 80, kError, kNone, 0, false},
      {TASK_TYPE_DRY, kFan, 1, kError, kNone, 0, false},
      {TASK_TYPE_HEAT_WIRE, kWire, 1, kError, TASK_TYPE_DRY, kFan, false},
      {TASK_TYPE_AUTO_CHARGE, station::ENUM_SUPPLY_CHARGING, 1, kError, kNone, 0, false},
      {TASK_TYPE_UV_LAMP, kLamp, 1, TASK_STATUS_OVER, kNone, 0, false},
      {TASK_TYPE_ULTRASONIC_WASH, station::ENUM_SUPPLY_ULTRASONIC, 1, kError, kNone, 0, false},
      // Last: the spray fills the sewage box, which the sewage automation would empty.
      {TASK_TYPE_WATER_SPRAY, station::ENUM_SUPPLY_SELF_CLEAN_PUMP, 80, kError, TASK_TYPE_SEWAGE_DRAIN_PUMP, kPump,
       true},
  };
  constexpr int kLimit = 5;
  const auto running = [&](int supply, int value) {
    return WaitUntil([&] { return h_.sim().ActuatorPower(static_cast<station::EnumSupplyType>(supply)) == value; });
  };
  for (const LimitedTask& row : rows) {
    SCOPED_TRACE(row.type);
    h_.sim().Unpin("cleanTankFootLevel");
    ASSERT_TRUE(h_.SetTank(row.water ? 1500 : 0));
    ASSERT_TRUE(!row.water || h_.sim().Pin("cleanTankFootLevel", "0"));
    h_.WithData([&](StationTaskData& d) {
      d.disinfectant_water_ready = row.water;
      d.water_volume = row.water ? 1000 : 0;
    });
    std::shared_ptr<Task> beside;
    if (row.beside != kNone) {
      beside = h_.StartTask(row.beside, kStd);
      ASSERT_TRUE(beside != nullptr && WaitOn(row.beside_supply));
      h_.AfterPass();  // the pass that switched it on has noted it
    }
    auto task = h_.StartTask(row.type, kStd, kLimit);
    ASSERT_NE(task, nullptr);
    ASSERT_TRUE(running(row.supply, row.on));
    h_.AfterPass();
    h_.AdvanceClock(kLimit + 1);
    EXPECT_EQ(h_.Finish(task), row.ending) << "the limit ends the task";
    EXPECT_FALSE(h_.On(row.supply)) << "and its actuator is off";
    EXPECT_FALSE(h_.On(kSupply) || h_.On(kTap)) << "no valve left open";
    if (beside != nullptr) {
      EXPECT_EQ(h_.Submit(row.beside, kStop).code, SRV_CODE_SUCCESS);
      EXPECT_EQ(h_.Finish(beside), TASK_STATUS_CANCEL);
    }
  }
}

// The sewage automation, with the board reporting each level in turn.
struct SewageStep {
  const char* what;
  int level;              // sewageFull
  int detector;           // sewageDet
  int64_t clock_advance;  // seconds, before the report
  bool pump_on;
};

TEST(SewageAutomationTest, PumpStartsAbove1200AndRunsOnForItsTime) {
  station_test::StationHarness h;
  h.Configure("sewage_pump_continue_work_time", "30");
  ASSERT_TRUE(h.Start());
  h.sim().ClearReceivedCommands();
  // Real time passes between the steps too: the run-on is checked 10 s inside its end
  // and 5 s past it.
  const SewageStep steps[] = {
      {"at the threshold", 1200, 0, 0, false},
      {"above the threshold", 1201, 0, 0, true},
      {"sewage gone: the pump runs on", 0, 0, 0, true},
      {"within the run-on time", 0, 0, 20, true},
      {"past the run-on time", 0, 0, 15, false},
      {"the detector alone", 0, 1, 0, true},
      {"gone again", 0, 0, 20, true},
      {"past the run-on time again", 0, 0, 15, false},
  };
  for (const SewageStep& step : steps) {
    SCOPED_TRACE(step.what);
    ASSERT_TRUE(h.sim().Pin("sewageFull", std::to_string(step.level)));
    ASSERT_TRUE(h.sim().Pin("sewageDet", std::to_string(step.detector)));
    const auto levels = [&](const station::SensorsDataRep& s) {
      return s.sewagefull() == static_cast<uint32_t>(step.level) &&
             s.sewagedet() == static_cast<uint32_t>(step.detector);
    };
    // Time moves only once every later report carries the new levels: a report made
    // before the pin but handled after the jump would restart the run-on at the new time.
    ASSERT_TRUE(h.Handled(levels));
    h.AdvanceClock(step.clock_advance);
    ASSERT_TRUE(h.Handled(levels));
    EXPECT_EQ(h.On(kPump), step.pump_on) << "sewage " << step.level << ", detector " << step.detector;
  }
  // Standard power, one command each way per episode.
  EXPECT_EQ(h.Actions(kPump), (Actions{{kPump, 80}, {kPump, 0}, {kPump, 80}, {kPump, 0}}));
}

}  // namespace
}  // namespace station_center
