#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "core/station_harness.h"
#include "sim/safety_monitor.h"
#include "task/log_capture.h"

namespace station_center {
namespace {

using namespace station_test;  // NOLINT: the harness's outputs, actions and helpers

class ActuatorTasksTest : public StationTest {
 protected:
  // Starts `type` for `seconds` as the robot would, once what it needs is there: prepared water
  // in a tank that never reports empty, and `beside` running (the fan for the wire, the sewage
  // pump for the spray).
  std::shared_ptr<Task> StartWith(TaskType type, int seconds, bool water, TaskType beside) {
    h_.sim().Unpin("cleanTankFootLevel");
    EXPECT_TRUE(h_.SetTank(water ? 1500 : 0));
    EXPECT_TRUE(!water || h_.sim().Pin("cleanTankFootLevel", "0"));
    h_.WithData([&](StationTaskData& d) {
      d.disinfectant_water_ready = water;
      d.water_volume = water ? 1000 : 0;
    });
    beside_ = beside == TASK_TYPE_INVALID ? nullptr : h_.StartTask(beside, kStd);
    if (beside != TASK_TYPE_INVALID) {
      EXPECT_TRUE(beside_ != nullptr && h_.WaitOn(beside == TASK_TYPE_DRY ? kFan : kPump));
      h_.AfterPass();  // the pass that switched it on has noted it
    }
    return h_.StartTask(type, kStd, seconds);
  }
  // Stops the task started beside; its final status, -1 if none.
  int StopBeside() {
    if (beside_ == nullptr) {
      return -1;
    }
    EXPECT_EQ(h_.Submit(beside_->task_type(), kStop).code, SRV_CODE_SUCCESS);
    return h_.Finish(beside_);
  }

  std::shared_ptr<Task> beside_;
};

// A drain from a tank holding `tank_ml`; how it ends and what the drain valve was told.
TEST_F(ActuatorTasksTest, DrainEndsWithTheValveClosedOrInErrorWhenItMayBeOpen) {
  const struct {
    const char* what;
    double tank_ml;
    TaskStatus ending;
    Actions valve;
  } rows[] = {
      {"full tank drains to the foot level", 1500, TASK_STATUS_OVER, {{kDrain, 1}, {kDrain, 0}}},
      {"empty tank: closed without opening", 0, TASK_STATUS_OVER, {{kDrain, 0}}},
      // A valve that may still be open is no finished drain; the reset closes again.
      {"close refused", 0, TASK_STATUS_ERROR, {{kDrain, 0}, {kDrain, 0}}},
  };
  for (const auto& row : rows) {
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

TEST_F(ActuatorTasksTest, MissingFootLevelEndsDrainAndResetAfterDrainTimeAndAResetEndsWithTheDrainClosed) {
  ASSERT_TRUE(h_.sim().Pin("cleanTankFootLevel", "0"));
  for (TaskType type : {TASK_TYPE_DRAIN_WATER, TASK_TYPE_RESET_STATION}) {
    SCOPED_TRACE(type);
    ASSERT_TRUE(h_.SetTank(1500));
    auto task = h_.StartTask(type, kStd);
    ASSERT_TRUE(h_.WaitOn(kDrain));
    h_.AfterPass();
    h_.AdvanceClock(31);  // the harness's drain time is 30 s
    // A broken sensor must not leave the valve open, nor block later work.
    ASSERT_EQ(h_.Finish(task), TASK_STATUS_OVER);
    EXPECT_EQ(h_.Actions(kDrain), (Actions{{kDrain, 1}, {kDrain, 0}}));
    EXPECT_EQ(h_.center().station_status(), STATION_STATUS_NORMAL);
  }

  // A reset whose tank reaches its foot level is over only once the board confirms the drain closed.
  for (const bool confirmed : {true, false}) {
    SCOPED_TRACE(confirmed ? "confirmed after a few refusals" : "never confirmed");
    h_.SetStatus(STATION_STATUS_RESET);
    ASSERT_TRUE(h_.sim().Pin("cleanTankFootLevel", "0"));
    ASSERT_TRUE(h_.SetTank(1500));
    auto reset = h_.StartTask(TASK_TYPE_RESET_STATION, kStd);
    ASSERT_TRUE(h_.WaitOn(kDrain));
    h_.sim().RefuseSupply(station::ENUM_SUPPLY_DRAINAGE_SWITCH, true);
    ASSERT_TRUE(h_.sim().Unpin("cleanTankFootLevel"));  // the tank reaches its foot level
    ASSERT_TRUE(WaitUntil([&] { return h_.Sent(kDrain, false) >= 3; })) << "tried again on later passes";
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
TEST_F(ActuatorTasksTest, SewagePumpPowerFollowsActionAndPumpStopsWhenTaskEnds) {
  auto working = [&] { return h_.WithData([](StationTaskData& d) { return d.sewage_pump_working; }); };
  const struct {
    int action;
    int power;
    bool stop_refused;
  } rows[] = {{kSoft, 60, false}, {kStrong, 100, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.action);
    auto task = h_.StartTask(TASK_TYPE_SEWAGE_DRAIN_PUMP, row.action, 0);
    ASSERT_TRUE(WaitUntil(working));
    h_.AdvanceClock(1000);
    ASSERT_TRUE(h_.Passes(3));
    EXPECT_TRUE(h_.Running(TASK_TYPE_SEWAGE_DRAIN_PUMP)) << "without a duration the pump runs until stopped";
    h_.sim().RefuseSupply(station::ENUM_SUPPLY_SEWAGE_PUMP, row.stop_refused);
    EXPECT_EQ(h_.Submit(TASK_TYPE_SEWAGE_DRAIN_PUMP, kStop).code,
              row.stop_refused ? SRV_CODE_FAILED : SRV_CODE_SUCCESS);
    ASSERT_EQ(h_.Finish(task), row.stop_refused ? TASK_STATUS_ERROR : TASK_STATUS_CANCEL);
    // A refused stop is tried once more by the error reset, and the pump stays counted as
    // working, so the sewage automation stops it once the board obeys.
    Actions expected = {{kPump, row.power}, {kPump, 0}, {kPump, 0}};
    expected.resize(row.stop_refused ? 3 : 2);
    EXPECT_EQ(Head(h_.Actions(kPump), expected.size()), expected);
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
  // Fan, then (with `wire`) a wire task whose thermostat keeps the wire on; the fan's limit is `fan_limit`.
  void StartHeating(int fan_limit = 0, bool wire = true) {
    ASSERT_TRUE(h_.sim().Pin("heatingWireTemp", "20"));
    dry_ = h_.StartTask(TASK_TYPE_DRY, kStd, fan_limit);
    ASSERT_TRUE(dry_ != nullptr && h_.WaitOn(kFan));
    h_.AfterPass();
    wire_ = nullptr;
    if (!wire) {
      return;
    }
    wire_ = h_.StartTask(TASK_TYPE_HEAT_WIRE, kSoft);
    ASSERT_TRUE(wire_ != nullptr && h_.WaitOn(kWire));
    h_.sim().ResetSafety();
  }
  // Both tasks ended, both heaters off, no flag left, and the wire never heated without the fan.
  void ExpectAllOff(TaskStatus dry_ending) {
    EXPECT_EQ(h_.Finish(wire_), wire_ ? TASK_STATUS_CANCEL : -1) << "the wire task ends with its fan";
    EXPECT_EQ(h_.Finish(dry_), dry_ending);
    EXPECT_TRUE(WaitUntil([&] { return h_.center().running_drivers() == 0; }));
    EXPECT_FALSE(h_.On(kWire) || h_.On(kFan));
    EXPECT_FALSE(h_.WithData([](StationTaskData& d) { return d.heat_wire_working || d.heat_fan_open; }));
    EXPECT_TRUE(WireOffBeforeEachFanOff(h_.Actions()));
    EXPECT_EQ(h_.sim().Safety().Count(station_sim::Invariant::kHeatWireWithoutFan), 0);
  }
  // A request handled at once, under the task lock the caller holds: no pass runs in between.
  StationSrvRsp Now(TaskType type, int action) { return h_.center().ReceiveTaskUnlock(TaskRequest(type, action)); }

  std::shared_ptr<Task> dry_, wire_;
};

// A board answering late is late, not silent.
class FanStopTest : public HeaterTest {
 protected:
  void SetUp() override {
    h_.Configure("bottom_action_timeout", "5");
    HeaterTest::SetUp();
  }
};

// Every way the fan stops, the board refusing the wire's off for a while where it may: the
// fan stays on and the off is tried again on every pass until the board obeys. A wire task
// admitted just before the fan stop has switched nothing on yet; its first pass finds the fan gone.
// One asked for while the stop is under way, on a board that answers late, is refused.
TEST_F(FanStopTest, EveryFanStopSwitchesTheWireOffFirstAndEndsTheWireTask) {
  enum class Stop { kLimit, kRobot, kStation, kWireThenFan, kAdmittedWire, kLateLimit };
  const struct {
    const char* what;
    Stop stop;
    bool refused;  // the wire's off, until the board obeys
    TaskStatus dry_ending;
  } rows[] = {
      {"the fan's time limit", Stop::kLimit, true, TASK_STATUS_ERROR},
      {"a robot's fan stop, refused while the wire heats", Stop::kRobot, true, TASK_STATUS_ERROR},
      {"the station's own cancel, which has no reset after it", Stop::kStation, false, TASK_STATUS_ERROR},
      {"a wire stop, then a fan stop before any pass: the wire is off, so the fan may stop", Stop::kWireThenFan, false,
       TASK_STATUS_CANCEL},
      {"a wire admitted, then a fan stop before any pass", Stop::kAdmittedWire, false, TASK_STATUS_CANCEL},
      {"the fan's time limit, no wire yet, answers 3 s late", Stop::kLateLimit, false, TASK_STATUS_ERROR},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const bool limit = row.stop == Stop::kLimit || row.stop == Stop::kLateLimit;
    StartHeating(limit ? 5 : 0, row.stop != Stop::kAdmittedWire && row.stop != Stop::kLateLimit);
    h_.sim().RefuseSupply(station::ENUM_SUPPLY_HEATING_WIRE, row.refused);
    if (row.stop == Stop::kLimit) {
      h_.AdvanceClock(6);
    } else if (row.stop == Stop::kRobot) {
      EXPECT_EQ(h_.Submit(TASK_TYPE_DRY, kStop).code, SRV_CODE_FAILED);
    } else if (row.stop == Stop::kStation) {
      // As a status change makes the fan task's driver do.
      const auto lock = h_.LockAtRest();
      h_.center().HandleTaskCancel(h_.Core().tasks().at(TASK_TYPE_DRY));
    } else if (row.stop == Stop::kLateLimit) {
      h_.sim().SetAckDelayMs(3000);
      h_.AdvanceClock(6);
      ASSERT_TRUE(WaitUntil([&] { return !h_.Actions(kWire).empty(); })) << "the stop begins with the wire";
      EXPECT_EQ(h_.Submit(TASK_TYPE_HEAT_WIRE, kSoft).msg, "dry fan not open");
      h_.sim().SetAckDelayMs(0);
    } else if (row.stop == Stop::kAdmittedWire) {
      const auto lock = h_.LockAtRest();
      ASSERT_EQ(Now(TASK_TYPE_HEAT_WIRE, kSoft).code, SRV_CODE_SUCCESS);
      wire_ = h_.Core().tasks().at(TASK_TYPE_HEAT_WIRE);
      EXPECT_EQ(Now(TASK_TYPE_DRY, kStop).code, SRV_CODE_SUCCESS);
      EXPECT_EQ(Now(TASK_TYPE_HEAT_WIRE, kStd).msg, "task stopping, retry") << "it will not heat";
    } else {
      const auto lock = h_.LockAtRest();
      EXPECT_EQ(Now(TASK_TYPE_HEAT_WIRE, kStop).code, SRV_CODE_SUCCESS);
      EXPECT_EQ(Now(TASK_TYPE_DRY, kStop).code, SRV_CODE_SUCCESS);
    }
    if (row.refused) {
      ASSERT_TRUE(WaitUntil([&] { return h_.Sent(kWire, false) >= 3; })) << "tried again on later passes";
      EXPECT_TRUE(h_.On(kFan) && h_.On(kWire));
      EXPECT_TRUE(h_.Running(TASK_TYPE_DRY)) << "the fan task stays to switch the fan off later";
      EXPECT_TRUE(h_.Actions(kFan).empty()) << "no fan-off while the wire may heat";
      EXPECT_EQ(h_.Submit(TASK_TYPE_DRY, kStd).msg, "task stopping, retry") << "not kept running by a start";
      h_.sim().RefuseSupply(station::ENUM_SUPPLY_HEATING_WIRE, false);
    }
    ExpectAllOff(row.dry_ending);
    EXPECT_TRUE(row.stop != Stop::kAdmittedWire || h_.Sent(kWire, true) == 0) << "never on";
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
      {"the temperature cannot be read",
       [](station_sim::StationSim& sim, bool on) { sim.Pin("heatingWireTemp", on ? "nan" : "20"); }, true},
      // Last: right after a stall, a new wire is refused for a while ("dry fan not open").
      {"the fan stalls", [](station_sim::StationSim& sim, bool on) { sim.SetFanStalled(on); }, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    StartHeating();
    row.fault(h_.sim(), true);
    EXPECT_TRUE(h_.WaitOn(kWire, false));
    // Recorded after the switch-off, so waited for.
    const auto recorded = [&] { return h_.Present(ABNORMAL_HEAT_WIRE_TEMP); };
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

// A task of each type that runs an output, started as the robot would: its time limit ends it
// and switches the output off. One that faces the robot goes off when the robot is lifted off
// without a goodbye, limited or not: no water onto the floor, no lamp into the room, no live
// plates open to touch, no wash without the rake; the station then resets with the robot away.
// A start the board refuses ends in error, and the reset still tries the off: the on command
// may have been half carried out.
TEST_F(ActuatorTasksTest, TheTimeLimitAndTheRobotLeavingSwitchEachOutputOff) {
  constexpr TaskStatus kError = TASK_STATUS_ERROR;
  constexpr TaskType kNone = TASK_TYPE_INVALID;
  enum Away { kBehind, kEnds, kEndsUnlimited, kOffOnly };  // the wash only switches its output off
  const struct {
    TaskType type;
    int supply, on;     // the actuator it runs and its value while on
    TaskStatus ending;  // how the limit ends it today
    TaskType beside;    // a task it needs running (the fan for the wire, the sewage pump for the spray)
    bool water;         // prepared water in a tank that never reports empty
    Away away;          // facing the robot: how its leaving ends the task; unlimited, which must not end it either
    const char* journal = nullptr;  // the technician's line, with its code, when the board refuses the start
  } rows[] = {
      {TASK_TYPE_ADD_WATER, kSupply, 1, kError, kNone, true, kEnds},
      {TASK_TYPE_ADD_WATER_NO_LIMIT, kSupply, 1, kError, kNone, true, kEnds},
      {TASK_TYPE_DUST_COLLECT, kDust, 1, kError, kNone, false, kBehind, "ErrorCode: 101900039, "},
      {TASK_TYPE_SEWAGE_DRAIN_PUMP, kPump, 80, kError, kNone, false, kBehind},
      {TASK_TYPE_DRY, kFan, 1, kError, kNone, false, kBehind, "ErrorCode: 101900041, open heat fan failed"},
      {TASK_TYPE_HEAT_WIRE, kWire, 1, kError, TASK_TYPE_DRY, false, kBehind},
      {TASK_TYPE_AUTO_CHARGE, kCharge, 1, kError, kNone, false, kEndsUnlimited,
       "ErrorCode: 101900045, start charge failed"},
      {TASK_TYPE_UV_LAMP, kLamp, 1, TASK_STATUS_OVER, kNone, false, kEndsUnlimited},
      {TASK_TYPE_ULTRASONIC_WASH, station::ENUM_SUPPLY_ULTRASONIC, 1, kError, kNone, false, kOffOnly},
      // Last: the spray fills the sewage box, which the sewage automation would empty.
      {TASK_TYPE_WATER_SPRAY, station::ENUM_SUPPLY_SELF_CLEAN_PUMP, 80, kError, TASK_TYPE_SEWAGE_DRAIN_PUMP, true,
       kEnds},
  };
  constexpr int kLimit = 5;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.type);
    ASSERT_TRUE(h_.SetDocked(true));
    if (row.journal) {
      h_.sim().RefuseSupply(station::EnumSupplyType(row.supply), true);
      ASSERT_EQ(h_.Finish(h_.StartTask(row.type, kStd)), TASK_STATUS_ERROR);
      EXPECT_TRUE(Logs().Has(row.journal));
      h_.sim().RefuseSupply(station::EnumSupplyType(row.supply), false);
      EXPECT_EQ(h_.Actions(row.supply), (Actions{{row.supply, row.on}, {row.supply, 0}}));
      EXPECT_FALSE(h_.WithData([](StationTaskData& d) { return d.heat_fan_open || d.charging != 0; }));
    }
    auto task = StartWith(row.type, kLimit, row.water, row.beside);
    ASSERT_NE(task, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return h_.sim().ActuatorPower(station::EnumSupplyType(row.supply)) == row.on; }));
    h_.AfterPass();
    h_.AdvanceClock(kLimit + 1);
    EXPECT_EQ(h_.Finish(task), row.ending) << "the limit ends the task";
    EXPECT_FALSE(h_.On(row.supply)) << "and its actuator is off";
    EXPECT_FALSE(h_.On(kSupply) || h_.On(kTap)) << "no valve left open";
    EXPECT_EQ(StopBeside(), row.beside == kNone ? -1 : TASK_STATUS_CANCEL);
    if (row.away == kBehind) {
      continue;
    }
    task = StartWith(row.type, row.away == kEndsUnlimited ? 0 : 600, row.water, row.beside);
    ASSERT_TRUE(task != nullptr && h_.WaitOn(row.supply));
    if (row.away == kEndsUnlimited) {
      h_.AdvanceClock(100000);
      ASSERT_TRUE(h_.Passes(3));
      EXPECT_TRUE(h_.Running(row.type)) << "no time limit";
    }
    h_.sim().Dock(false);
    EXPECT_TRUE(h_.WaitOn(row.supply, false)) << "long before any limit";
    if (row.away != kOffOnly) {
      EXPECT_EQ(h_.Finish(task), TASK_STATUS_ERROR) << "the robot is gone";
    } else {
      ASSERT_TRUE(h_.SetDocked(true));
      EXPECT_EQ(h_.Submit(row.type, kStop).code, SRV_CODE_SUCCESS);
      EXPECT_NE(h_.Finish(task), -1);
    }
    EXPECT_EQ(h_.Sent(row.supply, true), 1) << "switched on once; the rest are offs";
    StopBeside();
    h_.sim().Unpin("cleanTankFootLevel");
    EXPECT_TRUE(h_.Settled()) << "the station resets with the robot away";
  }
  EXPECT_EQ(h_.WithData([](StationTaskData& d) { return d.charging; }), 0);
  EXPECT_EQ(h_.sim().Safety().Count(station_sim::Invariant::kRobotAbsentOutput), 0);
}

// The sewage automation, with the board reporting each level in turn.
TEST(SewageAutomationTest, PumpStartsAbove1200AndRunsOnForItsTime) {
  StationHarness h;
  h.Configure("sewage_pump_continue_work_time", "30");
  ASSERT_TRUE(h.Start());
  h.sim().ClearReceivedCommands();
  // Real time passes between the steps too: the run-on is checked 10 s inside its end
  // and 5 s past it.
  const struct {
    const char* what;
    int level;              // sewageFull
    int detector;           // sewageDet
    int64_t clock_advance;  // seconds, before the report
    bool pump_on;
  } steps[] = {
      {"at the threshold", 1200, 0, 0, false},
      {"above the threshold", 1201, 0, 0, true},
      {"sewage gone: the pump runs on", 0, 0, 0, true},
      {"within the run-on time", 0, 0, 20, true},
      {"past the run-on time", 0, 0, 15, false},
      // A second episode; its run-on is the first one's.
      {"the detector alone", 0, 1, 0, true},
  };
  for (const auto& step : steps) {
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
  EXPECT_EQ(h.Actions(kPump), (Actions{{kPump, 80}, {kPump, 0}, {kPump, 80}}));
}

}  // namespace
}  // namespace station_center
