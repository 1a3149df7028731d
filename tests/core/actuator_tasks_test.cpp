#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "clock.h"
#include "config.h"
#include "core/station_harness.h"
#include "task/dry_task.h"
#include "task/dust_collect_task.h"
#include "task/ultrasonic_wash_task.h"

namespace station_center {
namespace {

using station_test::StationHarness;
using station_test::WaitUntil;
using Actions = std::vector<std::pair<int, int>>;
using Sensors = station::SensorsDataRep;

constexpr int kCharge = station::ENUM_SUPPLY_CHARGING;
constexpr int kWire = station::ENUM_SUPPLY_HEATING_WIRE;
constexpr int kFan = station::ENUM_SUPPLY_HEATING_FAN;
constexpr int kDust = station::ENUM_SUPPLY_COLLECT_DUST;
constexpr int kSpray = station::ENUM_SUPPLY_SELF_CLEAN_PUMP;
constexpr int kLamp = station::ENUM_SUPPLY_UV_LAMP;
constexpr int kWash = station::ENUM_SUPPLY_ULTRASONIC;

StationSrvReq TaskRequest(TaskType type, int action, int duration = 0) {
  StationSrvReq req;
  req.task_type = type;
  req.supply_material_req.mutable_cmd()->set_action(static_cast<vantorel_base_station_mqtt::EnumActionModel>(action));
  req.supply_material_req.mutable_cmd()->set_duration(duration);
  return req;
}

// Admission right after `prepare` edits the task data, with no sensor report
// or task pass in between to overwrite it.
StationSrvRsp Admit(StationHarness& h, TaskType type, int action,
                    const std::function<void(StationTaskData&)>& prepare) {
  std::lock_guard<std::mutex> lock(h.center().task_mutex());
  {
    std::unique_lock<std::shared_mutex> data_lock(h.center().task_data_mutex());
    prepare(h.center().task_data());
  }
  return h.center().ReceiveTaskUnlock(TaskRequest(type, action));
}

void WaitRemoved(StationHarness& h, TaskType type) {
  ASSERT_TRUE(WaitUntil([&] { return !h.Running(type); }));
}

void WaitOn(StationHarness& h, int supply_type, bool on = true) {
  ASSERT_TRUE(WaitUntil([&] { return h.sim().ActuatorOn(static_cast<station::EnumSupplyType>(supply_type)) == on; }));
}

// Waits until the core holds a report made after now.
void WaitFreshReport(StationHarness& h) {
  uint32_t seq = 0;
  ASSERT_TRUE(h.WaitSensors([&](const Sensors& s) { return (seq = s.seq()) > 0; }));
  ASSERT_TRUE(h.WaitSensors([&](const Sensors& s) { return s.seq() > seq + 1; }));
}

// A strong heat-wire target over max_heat_temp (150). Only the heat wire task
// reads it; set before the core starts and restored after it has stopped.
struct StrongWireTargetTooHot {
  StrongWireTargetTooHot() { g_config.strong_heat_wire_temp = 200; }
  ~StrongWireTargetTooHot() { g_config.strong_heat_wire_temp = saved; }
  int32_t saved = g_config.strong_heat_wire_temp;
};

class ActuatorTasksTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(h_.Start()); }

  StrongWireTargetTooHot strong_target_;  // outlives the harness
  StationHarness h_;
};

TEST_F(ActuatorTasksTest, ReadinessRefusals) {
  using Pins = std::vector<std::pair<std::string, std::string>>;
  using Data = std::function<void(StationTaskData&)>;
  const Data none = [](StationTaskData&) {};
  const Data prepared = [](StationTaskData& d) {
    d.disinfectant_water_ready = true;
    d.water_volume = 500;
  };
  const Data pump_no_water = [](StationTaskData& d) {
    d.sewage_pump_working = d.disinfectant_water_ready = true;
    d.water_volume = 0;
  };
  const Data fan = [](StationTaskData& d) { d.heat_fan_open = true; };
  const Data fan_and_wire = [](StationTaskData& d) { d.heat_fan_open = d.heat_wire_working = true; };
  struct Row {
    TaskType type;
    int action;
    Pins pins;
    Data data;
    int err_code;
    std::vector<std::string> msgs;  // any of these
  };
  const Row rows[] = {
      {TASK_TYPE_DUST_COLLECT, 2, {{"dustBagDet", "0"}}, none, 21, {"dust bag not in place"}},
      {TASK_TYPE_DUST_COLLECT, 2, {{"dustBoxCapDet", "0"}}, none, 20, {"dust box cap not in place"}},
      {TASK_TYPE_DUST_COLLECT, 2, {{"negativePressure", "2001"}}, none, 22, {"negative pressure over up limit"}},
      {TASK_TYPE_DUST_COLLECT, 2, {{"negativePressure", "-28001"}}, none, 22, {"negative pressure under down limit"}},
      // The limits themselves still allow collecting.
      {TASK_TYPE_DUST_COLLECT, 2, {{"negativePressure", "2000"}}, none, 0, {""}},
      {TASK_TYPE_DUST_COLLECT, 2, {{"negativePressure", "-28000"}}, none, 0, {""}},
      {TASK_TYPE_WATER_SPRAY, 2, {}, prepared, 26, {"sewage pump not working"}},
      {TASK_TYPE_WATER_SPRAY, 2, {}, pump_no_water, 27, {"pre disinfectant no ready"}},
      {TASK_TYPE_HEAT_WIRE, 1, {}, none, 25, {"dry fan not open"}},
      {TASK_TYPE_HEAT_WIRE, 1, {}, fan_and_wire, 1, {"heat wire already start"}},
      {TASK_TYPE_HEAT_WIRE, 3, {}, fan, 23, {"target temp too high"}},
      // The station may already run its own manual charge for the plug: code 6 either way.
      {TASK_TYPE_AUTO_CHARGE,
       2,
       {{"handChargeDet", "1"}, {"handChargeInsideDet", "1"}},
       none,
       6,
       {"hand charge is open", "pre check failed, have conflict task 12 is running"}},
      {TASK_TYPE_AUTO_CHARGE, 2, {{"electrodePlateTemp1", "79"}}, none, 18, {"electrode plate 1 temp over max temp"}},
      {TASK_TYPE_AUTO_CHARGE, 2, {{"electrodePlateTemp2", "79"}}, none, 19, {"electrode plate 2 temp over max temp"}},
      {TASK_TYPE_UV_LAMP, 2, {{"electrodePlateDet", "0"}}, none, 24, {"robot not in station"}},
      {TASK_TYPE_ULTRASONIC_WASH, 2, {{"ultrasonicWaterCheck", "0"}}, none, 30, {"no water in ultrasonic wash tank"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.type) + (row.pins.empty() ? "" : " " + row.pins[0].first));
    for (const auto& [field, value] : row.pins) {
      ASSERT_TRUE(h_.sim().Pin(field, value));
    }
    WaitFreshReport(h_);
    const StationSrvRsp rsp = Admit(h_, row.type, row.action, row.data);
    EXPECT_EQ(rsp.err_code, row.err_code);
    EXPECT_NE(std::find(row.msgs.begin(), row.msgs.end(), rsp.msg), row.msgs.end()) << rsp.msg;
    if (rsp.code == SRV_CODE_SUCCESS) {
      EXPECT_EQ(h_.Submit(row.type, 4).code, SRV_CODE_SUCCESS);
      WaitRemoved(h_, row.type);
    }

    h_.WithData([](StationTaskData& d) {
      d.sewage_pump_working = d.disinfectant_water_ready = d.heat_fan_open = d.heat_wire_working = false;
      d.water_volume = -1;
    });
    h_.sim().Unpin("all");
    WaitFreshReport(h_);
    WaitRemoved(h_, TASK_TYPE_MANUAL_CHARGE);
  }
}

TEST_F(ActuatorTasksTest, RefusedStartEndsInErrorAndTheResetSwitchesOff) {
  struct Row {
    TaskType type;
    int supply;
    std::function<void(StationTaskData&)> check;
  };
  const Row rows[] = {
      {TASK_TYPE_DUST_COLLECT, kDust, nullptr},
      {TASK_TYPE_ULTRASONIC_WASH, kWash, nullptr},
      {TASK_TYPE_UV_LAMP, kLamp, nullptr},
      {TASK_TYPE_DRY, kFan, [](StationTaskData& d) { EXPECT_FALSE(d.heat_fan_open); }},
      {TASK_TYPE_AUTO_CHARGE, kCharge, [](StationTaskData& d) { EXPECT_EQ(d.charging, 0); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.type);
    h_.sim().RefuseSupply(static_cast<station::EnumSupplyType>(row.supply), true);
    h_.sim().ClearReceivedCommands();
    auto task = h_.StartTask(row.type, 2);
    ASSERT_NE(task, nullptr);
    WaitRemoved(h_, row.type);
    EXPECT_EQ(task->status(), TASK_STATUS_ERROR);
    // The on command may have been half carried out: the reset tries the off.
    EXPECT_EQ(h_.Actions(row.supply), (Actions{{row.supply, 1}, {row.supply, 0}}));
    if (row.check) {
      h_.WithData(row.check);
    }
    h_.sim().RefuseSupply(static_cast<station::EnumSupplyType>(row.supply), false);
  }
}

TEST_F(ActuatorTasksTest, CancelBeforeTheStartAcknowledgedSendsNothing) {
  auto center = h_.center().shared_from_this();
  const std::shared_ptr<Task> tasks[] = {std::make_shared<DustCollectTask>(center, TASK_TYPE_DUST_COLLECT, 0, 2),
                                         std::make_shared<UltrasonicWashTask>(center, TASK_TYPE_ULTRASONIC_WASH, 0, 2)};
  h_.sim().ClearReceivedCommands();
  for (const auto& task : tasks) {
    std::lock_guard<std::mutex> lock(h_.center().task_mutex());
    EXPECT_TRUE(task->OperateTask(TASK_OPERATION_CANCEL, StationSrvReq()));
    EXPECT_EQ(task->status(), TASK_STATUS_CANCEL);
  }
  EXPECT_TRUE(h_.Actions().empty());
}

TEST_F(ActuatorTasksTest, ThermostatSwitchesTheWireAroundItsTarget) {
  ASSERT_NE(h_.StartTask(TASK_TYPE_DRY, 2), nullptr);
  WaitOn(h_, kFan);
  h_.sim().ClearReceivedCommands();
  auto wire = h_.StartTask(TASK_TYPE_HEAT_WIRE, 1);  // soft: 50 degrees
  ASSERT_NE(wire, nullptr);

  // Heats from room temperature, stops above 50, heats again once cooled below.
  ASSERT_TRUE(WaitUntil([&] { return h_.Actions(kWire).size() >= 3; }));
  const Actions wire_actions = h_.Actions(kWire);
  const Actions first_three(wire_actions.begin(), wire_actions.begin() + 3);
  EXPECT_EQ(first_three, (Actions{{kWire, 1}, {kWire, 0}, {kWire, 1}}));
  EXPECT_LT(h_.sim().Sensors().heatingwiretemp(), 65.0f);
  EXPECT_TRUE(h_.WithData([](StationTaskData& d) { return d.heat_wire_working; }));

  EXPECT_EQ(h_.Submit(TASK_TYPE_HEAT_WIRE, 4).code, SRV_CODE_SUCCESS);
  WaitRemoved(h_, TASK_TYPE_HEAT_WIRE);
  WaitOn(h_, kWire, false);
  EXPECT_FALSE(h_.WithData([](StationTaskData& d) { return d.heat_wire_working; }));
}

TEST_F(ActuatorTasksTest, BothPlatesTooHotStopChargingWithBothAbnormals) {
  auto task = h_.StartTask(TASK_TYPE_AUTO_CHARGE, 2);
  ASSERT_NE(task, nullptr);
  WaitOn(h_, kCharge);
  ASSERT_TRUE(WaitUntil([&] { return h_.WithData([](StationTaskData& d) { return d.charging == 1; }); }));

  h_.sim().Pin("electrodePlateTemp1", "90");
  h_.sim().Pin("electrodePlateTemp2", "85");
  WaitRemoved(h_, TASK_TYPE_AUTO_CHARGE);

  EXPECT_EQ(task->status(), TASK_STATUS_ERROR);
  EXPECT_FALSE(h_.sim().ActuatorOn(station::ENUM_SUPPLY_CHARGING));
  h_.WithData([](StationTaskData& d) {
    // The charge task itself is named, for each plate.
    EXPECT_EQ(d.abnormal_tasks[TASK_TYPE_AUTO_CHARGE], 1);
    EXPECT_FALSE(d.plate_up_temp_normal);
    EXPECT_FALSE(d.plate_down_temp_normal);
    EXPECT_EQ(d.charging, 0);
  });
}

TEST_F(ActuatorTasksTest, DryFanCancelRefusedWhileTheWireHeatsThenTheResetStopsTheFan) {
  auto dry = h_.StartTask(TASK_TYPE_DRY, 2);
  ASSERT_NE(dry, nullptr);
  WaitOn(h_, kFan);
  ASSERT_NE(h_.StartTask(TASK_TYPE_HEAT_WIRE, 2), nullptr);
  ASSERT_TRUE(WaitUntil([&] { return h_.WithData([](StationTaskData& d) { return d.heat_wire_working; }); }));

  EXPECT_EQ(h_.Submit(TASK_TYPE_DRY, 4).code, SRV_CODE_FAILED);
  WaitRemoved(h_, TASK_TYPE_DRY);
  EXPECT_EQ(dry->status(), TASK_STATUS_ERROR);
  WaitOn(h_, kFan, false);
  EXPECT_FALSE(h_.WithData([](StationTaskData& d) { return d.heat_fan_open; }));
  EXPECT_TRUE(h_.Running(TASK_TYPE_HEAT_WIRE));
}

TEST_F(ActuatorTasksTest, WireTimeLimitReleasesTheFan) {
  ASSERT_NE(h_.StartTask(TASK_TYPE_DRY, 2), nullptr);
  WaitOn(h_, kFan);
  auto wire = h_.StartTask(TASK_TYPE_HEAT_WIRE, 1, 5);
  ASSERT_NE(wire, nullptr);
  WaitOn(h_, kWire);
  AdvanceClockForTest(6);
  WaitRemoved(h_, TASK_TYPE_HEAT_WIRE);
  EXPECT_EQ(wire->status(), TASK_STATUS_ERROR);
  WaitOn(h_, kWire, false);

  // A wire task that ended in error must not keep the fan from being stopped.
  EXPECT_FALSE(h_.WithData([](StationTaskData& d) { return d.heat_wire_working; }));
  EXPECT_EQ(h_.Submit(TASK_TYPE_DRY, 4).code, SRV_CODE_SUCCESS);
  WaitRemoved(h_, TASK_TYPE_DRY);
  WaitOn(h_, kFan, false);
}

TEST_F(ActuatorTasksTest, StationForcedCancelRefusedForTheWireStillStopsTheFan) {
  // The driver's own cancel (station leaving normal status) removes the task
  // with no reset after it, so a refused cancel must not leave the fan on.
  auto dry = std::make_shared<DryTask>(h_.center().shared_from_this(), TASK_TYPE_DRY, 0, 2);
  {
    std::lock_guard<std::mutex> lock(h_.center().task_mutex());
    std::shared_lock<std::shared_mutex> sensors(h_.center().sensors_mutex());
    ASSERT_TRUE(dry->DoTaskInside(h_.center().sensors_data()));
  }
  WaitOn(h_, kFan);
  h_.WithData([](StationTaskData& d) { d.heat_wire_working = true; });
  {
    std::lock_guard<std::mutex> lock(h_.center().task_mutex());
    std::shared_lock<std::shared_mutex> sensors(h_.center().sensors_mutex());
    h_.center().HandleTaskCancel(dry);
  }
  EXPECT_EQ(dry->status(), TASK_STATUS_ERROR);
  EXPECT_FALSE(h_.sim().ActuatorOn(station::ENUM_SUPPLY_HEATING_FAN));
  EXPECT_FALSE(h_.WithData([](StationTaskData& d) { return d.heat_fan_open; }));
  h_.WithData([](StationTaskData& d) { d.heat_wire_working = false; });
}

TEST_F(ActuatorTasksTest, UvLampOverAtItsLimit) {
  h_.sim().ClearReceivedCommands();
  auto uv = h_.StartTask(TASK_TYPE_UV_LAMP, 2, 30);
  ASSERT_NE(uv, nullptr);
  WaitOn(h_, kLamp);
  AdvanceClockForTest(31);
  WaitRemoved(h_, TASK_TYPE_UV_LAMP);
  EXPECT_EQ(uv->status(), TASK_STATUS_OVER);
  EXPECT_EQ(h_.Actions(kLamp), (Actions{{kLamp, 1}, {kLamp, 0}}));
}

TEST_F(ActuatorTasksTest, UvLampWithoutLimitShinesUntilTheRobotLeaves) {
  h_.sim().ClearReceivedCommands();
  auto uv = h_.StartTask(TASK_TYPE_UV_LAMP, 2, 0);
  ASSERT_NE(uv, nullptr);
  WaitOn(h_, kLamp);
  AdvanceClockForTest(100000);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // a few passes; only a false pass possible
  EXPECT_TRUE(h_.Running(TASK_TYPE_UV_LAMP));

  // A robot lifted off without a goodbye must not leave the lamp shining into the room.
  h_.sim().Dock(false);
  WaitRemoved(h_, TASK_TYPE_UV_LAMP);
  EXPECT_EQ(uv->status(), TASK_STATUS_ERROR);
  const Actions lamp = h_.Actions(kLamp);
  ASSERT_GE(lamp.size(), 2u);
  EXPECT_EQ(lamp[1], std::make_pair(kLamp, 0));
}

TEST_F(ActuatorTasksTest, ManualChargeOverWhenThePlugIsPulled) {
  // Never plugged: over at its first pass.
  auto task = h_.StartTask(TASK_TYPE_MANUAL_CHARGE, 0);
  ASSERT_NE(task, nullptr);
  WaitRemoved(h_, TASK_TYPE_MANUAL_CHARGE);
  EXPECT_EQ(task->status(), TASK_STATUS_OVER);

  h_.sim().Plug(true);
  ASSERT_TRUE(h_.WaitSensors([](const Sensors& s) { return s.handchargeinsidedet(); }));
  task = h_.Find(TASK_TYPE_MANUAL_CHARGE);  // the station may start it for the plug itself
  if (!task) {
    task = h_.StartTask(TASK_TYPE_MANUAL_CHARGE, 0);
  }
  ASSERT_NE(task, nullptr);
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(h_.center().task_mutex());  // the driver writes the status under it
    return task->status() == TASK_STATUS_RUNNING;
  }));
  h_.sim().Plug(false);
  WaitRemoved(h_, TASK_TYPE_MANUAL_CHARGE);
  EXPECT_EQ(task->status(), TASK_STATUS_OVER);
}

TEST_F(ActuatorTasksTest, CancelledSprayMayResumeButAFailedOneMayNot) {
  ASSERT_NE(h_.StartTask(TASK_TYPE_SEWAGE_DRAIN_PUMP, 2), nullptr);
  ASSERT_TRUE(WaitUntil([&] { return h_.WithData([](StationTaskData& d) { return d.sewage_pump_working; }); }));
  const auto prepared = [](StationTaskData& d) {
    d.disinfectant_water_ready = true;
    d.water_volume = 500;
  };
  ASSERT_EQ(Admit(h_, TASK_TYPE_WATER_SPRAY, 3, prepared).code, SRV_CODE_SUCCESS);
  WaitOn(h_, kSpray);
  EXPECT_EQ(h_.sim().ActuatorPower(station::ENUM_SUPPLY_SELF_CLEAN_PUMP), 100);

  EXPECT_EQ(h_.Submit(TASK_TYPE_WATER_SPRAY, 4).code, SRV_CODE_SUCCESS);
  WaitRemoved(h_, TASK_TYPE_WATER_SPRAY);
  WaitOn(h_, kSpray, false);
  h_.WithData([](StationTaskData& d) {
    EXPECT_FALSE(d.disinfectant_water_ready);
    EXPECT_EQ(d.water_volume, 0);
    EXPECT_TRUE(d.water_spray_resumable);
  });

  // Resumed without new water, then stopped by its time limit.
  auto spray = h_.StartTask(TASK_TYPE_WATER_SPRAY, 1, 5);
  ASSERT_NE(spray, nullptr);
  WaitOn(h_, kSpray);
  EXPECT_EQ(h_.sim().ActuatorPower(station::ENUM_SUPPLY_SELF_CLEAN_PUMP), 60);
  AdvanceClockForTest(6);
  WaitRemoved(h_, TASK_TYPE_WATER_SPRAY);
  EXPECT_EQ(spray->status(), TASK_STATUS_ERROR);
  WaitOn(h_, kSpray, false);
  EXPECT_FALSE(h_.WithData([](StationTaskData& d) { return d.water_spray_resumable; }));
}

}  // namespace
}  // namespace station_center
