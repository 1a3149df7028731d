#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "clock.h"
#include "core/station_harness.h"
#include "task/dry_task.h"
#include "task/dust_collect_task.h"
#include "task/ultrasonic_wash_task.h"

namespace station_center {
namespace {

using station_test::Actions;
using station_test::HarnessOptions;
using station_test::StationHarness;
using station_test::WaitUntil;
using Data = std::function<void(StationTaskData&)>;

constexpr int kCharge = station::ENUM_SUPPLY_CHARGING;
constexpr int kWire = station::ENUM_SUPPLY_HEATING_WIRE;
constexpr int kFan = station::ENUM_SUPPLY_HEATING_FAN;
constexpr int kDust = station::ENUM_SUPPLY_COLLECT_DUST;
constexpr int kSpray = station::ENUM_SUPPLY_SELF_CLEAN_PUMP;
constexpr int kLamp = station::ENUM_SUPPLY_UV_LAMP;
constexpr int kWash = station::ENUM_SUPPLY_ULTRASONIC;

const Data kPrepared = [](StationTaskData& d) {
  d.disinfectant_water_ready = true;
  d.water_volume = 500;
};

class ActuatorTasksTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(h_.Start()); }

  // Admission right after `prepare` edits the task data, with no sensor report
  // or task pass in between to overwrite it.
  StationSrvRsp Admit(TaskType type, int action, const Data& prepare) {
    std::lock_guard<std::mutex> lock(h_.center().task_mutex());
    h_.WithData(prepare);
    return h_.center().ReceiveTaskUnlock(station_test::TaskRequest(type, action));
  }
  bool WaitOn(int type, bool on = true) {
    return WaitUntil([&] { return h_.On(type) == on; });
  }
  bool Flag(bool StationTaskData::*flag) {
    return h_.WithData([flag](StationTaskData& d) { return d.*flag; });
  }
  // The core holds a report made after now.
  void WaitFreshReport() {
    uint32_t seq = 0;
    ASSERT_TRUE(h_.WaitSensors([&](const station::SensorsDataRep& s) { return (seq = s.seq()) > 0; }));
    ASSERT_TRUE(h_.WaitSensors([&](const station::SensorsDataRep& s) { return s.seq() > seq + 1; }));
  }

  StationHarness h_{[] {
    HarnessOptions options;
    options.config["strong_heat_wire_temp"] = 200;  // over max_heat_temp (150)
    options.model.heat_rate_c = 30;
    options.model.cool_rate_c = 20;
    return options;
  }()};
};

TEST_F(ActuatorTasksTest, ReadinessRefusals) {
  using Pins = std::vector<std::pair<std::string, std::string>>;
  const Data none = [](StationTaskData&) {};
  const Data pump_no_water = [](StationTaskData& d) { d.sewage_pump_working = d.disinfectant_water_ready = true; };
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
      {TASK_TYPE_DUST_COLLECT, 2, {{"negativePressure", "2000"}}, none, 0, {""}},  // the limit still allows
      {TASK_TYPE_WATER_SPRAY, 2, {}, kPrepared, 26, {"sewage pump not working"}},
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
    WaitFreshReport();
    const StationSrvRsp rsp = Admit(row.type, row.action, row.data);
    EXPECT_EQ(rsp.err_code, row.err_code);
    EXPECT_NE(std::find(row.msgs.begin(), row.msgs.end(), rsp.msg), row.msgs.end()) << rsp.msg;
    if (rsp.code == SRV_CODE_SUCCESS) {
      EXPECT_EQ(h_.Submit(row.type, 4).code, SRV_CODE_SUCCESS);
      ASSERT_TRUE(h_.Removed(row.type));
    }
    h_.WithData([](StationTaskData& d) {
      d.sewage_pump_working = d.disinfectant_water_ready = d.heat_fan_open = d.heat_wire_working = false;
      d.water_volume = -1;
    });
    h_.sim().Unpin("all");
    WaitFreshReport();
    ASSERT_TRUE(h_.Removed(TASK_TYPE_MANUAL_CHARGE));
  }
}

TEST_F(ActuatorTasksTest, RefusedStartEndsInErrorAndTheResetSwitchesOffButAnUnstartedCancelSendsNothing) {
  const std::pair<TaskType, int> rows[] = {{TASK_TYPE_DUST_COLLECT, kDust},
                                           {TASK_TYPE_ULTRASONIC_WASH, kWash},
                                           {TASK_TYPE_UV_LAMP, kLamp},
                                           {TASK_TYPE_DRY, kFan},
                                           {TASK_TYPE_AUTO_CHARGE, kCharge}};
  for (const auto& [type, supply] : rows) {
    SCOPED_TRACE(type);
    h_.sim().RefuseSupply(static_cast<station::EnumSupplyType>(supply), true);
    h_.sim().ClearReceivedCommands();
    auto task = h_.StartTask(type, 2);
    ASSERT_NE(task, nullptr);
    ASSERT_TRUE(h_.Removed(type));
    h_.sim().RefuseSupply(static_cast<station::EnumSupplyType>(supply), false);
    EXPECT_EQ(task->status(), TASK_STATUS_ERROR);
    // The on command may have been half carried out: the reset tries the off.
    EXPECT_EQ(h_.Actions(supply), (Actions{{supply, 1}, {supply, 0}}));
  }
  EXPECT_FALSE(Flag(&StationTaskData::heat_fan_open));
  EXPECT_EQ(h_.WithData([](StationTaskData& d) { return d.charging; }), 0);

  auto center = h_.center().shared_from_this();
  h_.sim().ClearReceivedCommands();
  const std::shared_ptr<Task> unstarted[] = {
      std::make_shared<DustCollectTask>(center, TASK_TYPE_DUST_COLLECT, 0, 2),
      std::make_shared<UltrasonicWashTask>(center, TASK_TYPE_ULTRASONIC_WASH, 0, 2)};
  for (const auto& task : unstarted) {
    std::lock_guard<std::mutex> lock(h_.center().task_mutex());
    EXPECT_TRUE(task->OperateTask(TASK_OPERATION_CANCEL, StationSrvReq()));
  }
  EXPECT_TRUE(h_.Actions().empty());
}

TEST_F(ActuatorTasksTest, ThermostatSwitchesTheWireAroundItsTarget) {
  ASSERT_NE(h_.StartTask(TASK_TYPE_DRY, 2), nullptr);
  ASSERT_TRUE(WaitOn(kFan));
  h_.sim().ClearReceivedCommands();
  ASSERT_NE(h_.StartTask(TASK_TYPE_HEAT_WIRE, 1), nullptr);  // soft: 50 degrees
  // Heats from room temperature, stops above 50, heats again once cooled below.
  ASSERT_TRUE(WaitUntil([&] { return h_.Actions(kWire).size() >= 3; }));
  const Actions wire = h_.Actions(kWire);
  EXPECT_EQ(Actions(wire.begin(), wire.begin() + 3), (Actions{{kWire, 1}, {kWire, 0}, {kWire, 1}}));
  EXPECT_LT(h_.sim().Sensors().heatingwiretemp(), 65.0f);
  EXPECT_EQ(h_.Submit(TASK_TYPE_HEAT_WIRE, 4).code, SRV_CODE_SUCCESS);
  ASSERT_TRUE(h_.Removed(TASK_TYPE_HEAT_WIRE));
  EXPECT_TRUE(WaitOn(kWire, false));
  EXPECT_FALSE(Flag(&StationTaskData::heat_wire_working));
}

TEST_F(ActuatorTasksTest, BothPlatesTooHotStopChargingWithBothAbnormals) {
  auto task = h_.StartTask(TASK_TYPE_AUTO_CHARGE, 2);
  ASSERT_NE(task, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return h_.WithData([](StationTaskData& d) { return d.charging == 1; }); }));
  ASSERT_TRUE(h_.sim().Pin("electrodePlateTemp1", "90"));
  ASSERT_TRUE(h_.sim().Pin("electrodePlateTemp2", "85"));
  ASSERT_TRUE(h_.Removed(TASK_TYPE_AUTO_CHARGE));
  EXPECT_EQ(task->status(), TASK_STATUS_ERROR);
  EXPECT_FALSE(h_.On(kCharge));
  h_.WithData([](StationTaskData& d) {
    EXPECT_EQ(d.abnormal_tasks[TASK_TYPE_AUTO_CHARGE], 1) << "the charge task is named for each plate";
    EXPECT_FALSE(d.plate_up_temp_normal || d.plate_down_temp_normal);
    EXPECT_EQ(d.charging, 0);
  });
}

TEST_F(ActuatorTasksTest, FanStaysWhileTheWireHeatsAndTheWireReleasesItWhenItEnds) {
  auto dry = h_.StartTask(TASK_TYPE_DRY, 2);
  ASSERT_TRUE(WaitOn(kFan));
  auto wire = h_.StartTask(TASK_TYPE_HEAT_WIRE, 1, 5);
  ASSERT_NE(wire, nullptr);
  ASSERT_TRUE(WaitOn(kWire));
  // The cancel is refused while the wire heats; the failed task's reset stops the fan.
  EXPECT_EQ(h_.Submit(TASK_TYPE_DRY, 4).code, SRV_CODE_FAILED);
  ASSERT_TRUE(h_.Removed(TASK_TYPE_DRY));
  EXPECT_EQ(dry->status(), TASK_STATUS_ERROR);
  EXPECT_TRUE(WaitOn(kFan, false));
  EXPECT_FALSE(Flag(&StationTaskData::heat_fan_open));
  EXPECT_TRUE(h_.Running(TASK_TYPE_HEAT_WIRE));

  // A wire task ended by its limit must not keep the next fan from being stopped.
  AdvanceClockForTest(6);
  ASSERT_TRUE(h_.Removed(TASK_TYPE_HEAT_WIRE));
  EXPECT_EQ(wire->status(), TASK_STATUS_ERROR);
  EXPECT_TRUE(WaitOn(kWire, false));
  EXPECT_FALSE(Flag(&StationTaskData::heat_wire_working));
  ASSERT_NE(h_.StartTask(TASK_TYPE_DRY, 2), nullptr);
  ASSERT_TRUE(WaitOn(kFan));
  EXPECT_EQ(h_.Submit(TASK_TYPE_DRY, 4).code, SRV_CODE_SUCCESS);
  EXPECT_TRUE(WaitOn(kFan, false));

  // The station's own cancel has no reset after it, so a refused one must not leave the fan on either.
  dry = std::make_shared<DryTask>(h_.center().shared_from_this(), TASK_TYPE_DRY, 0, 2);
  std::lock_guard<std::mutex> lock(h_.center().task_mutex());
  std::shared_lock<std::shared_mutex> sensors(h_.center().sensors_mutex());
  ASSERT_TRUE(dry->DoTaskInside(h_.center().sensors_data()));
  ASSERT_TRUE(h_.On(kFan));
  h_.WithData([](StationTaskData& d) { d.heat_wire_working = true; });
  h_.center().HandleTaskCancel(dry);
  EXPECT_EQ(dry->status(), TASK_STATUS_ERROR);
  EXPECT_FALSE(h_.On(kFan) || Flag(&StationTaskData::heat_fan_open));
  h_.WithData([](StationTaskData& d) { d.heat_wire_working = false; });
}

TEST_F(ActuatorTasksTest, UvLampEndsAtItsLimitAndGoesOffWhenTheRobotLeaves) {
  auto uv = h_.StartTask(TASK_TYPE_UV_LAMP, 2, 30);
  ASSERT_TRUE(WaitOn(kLamp));
  AdvanceClockForTest(31);
  ASSERT_TRUE(h_.Removed(TASK_TYPE_UV_LAMP));
  EXPECT_EQ(uv->status(), TASK_STATUS_OVER);
  EXPECT_EQ(h_.Actions(kLamp), (Actions{{kLamp, 1}, {kLamp, 0}}));

  uv = h_.StartTask(TASK_TYPE_UV_LAMP, 2, 0);
  ASSERT_TRUE(WaitOn(kLamp));
  AdvanceClockForTest(100000);
  EXPECT_FALSE(WaitUntil([&] { return !h_.Running(TASK_TYPE_UV_LAMP); }, std::chrono::milliseconds(300))) << "no limit";
  // A robot lifted off without a goodbye must not leave the lamp shining into the room.
  h_.sim().Dock(false);
  ASSERT_TRUE(h_.Removed(TASK_TYPE_UV_LAMP));
  EXPECT_EQ(uv->status(), TASK_STATUS_ERROR);
  EXPECT_FALSE(h_.On(kLamp));
}

TEST_F(ActuatorTasksTest, ManualChargeOverWhenThePlugIsPulled) {
  h_.sim().Plug(true);
  ASSERT_TRUE(h_.WaitSensors([](const station::SensorsDataRep& s) { return s.handchargeinsidedet(); }));
  auto task = h_.Find(TASK_TYPE_MANUAL_CHARGE);  // the station may start it for the plug itself
  if (!task) {
    task = h_.StartTask(TASK_TYPE_MANUAL_CHARGE, 0);
  }
  ASSERT_NE(task, nullptr);
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(h_.center().task_mutex());  // the driver writes the status under it
    return task->status() == TASK_STATUS_RUNNING;
  }));
  h_.sim().Plug(false);
  ASSERT_TRUE(h_.Removed(TASK_TYPE_MANUAL_CHARGE));
  EXPECT_EQ(task->status(), TASK_STATUS_OVER);
}

TEST_F(ActuatorTasksTest, CancelledSprayMayResumeButAFailedOneMayNot) {
  ASSERT_NE(h_.StartTask(TASK_TYPE_SEWAGE_DRAIN_PUMP, 2), nullptr);
  ASSERT_TRUE(WaitUntil([&] { return Flag(&StationTaskData::sewage_pump_working); }));
  ASSERT_EQ(Admit(TASK_TYPE_WATER_SPRAY, 3, kPrepared).code, SRV_CODE_SUCCESS);
  ASSERT_TRUE(WaitOn(kSpray));
  EXPECT_EQ(h_.sim().ActuatorPower(station::ENUM_SUPPLY_SELF_CLEAN_PUMP), 100);
  EXPECT_EQ(h_.Submit(TASK_TYPE_WATER_SPRAY, 4).code, SRV_CODE_SUCCESS);
  ASSERT_TRUE(h_.Removed(TASK_TYPE_WATER_SPRAY));
  EXPECT_FALSE(h_.On(kSpray));
  h_.WithData([](StationTaskData& d) {
    EXPECT_FALSE(d.disinfectant_water_ready);
    EXPECT_TRUE(d.water_spray_resumable);
  });

  // Resumed without new water, then stopped by its time limit.
  auto spray = h_.StartTask(TASK_TYPE_WATER_SPRAY, 1, 5);
  ASSERT_NE(spray, nullptr);
  ASSERT_TRUE(WaitOn(kSpray));
  EXPECT_EQ(h_.sim().ActuatorPower(station::ENUM_SUPPLY_SELF_CLEAN_PUMP), 60);
  AdvanceClockForTest(6);
  ASSERT_TRUE(h_.Removed(TASK_TYPE_WATER_SPRAY));
  EXPECT_EQ(spray->status(), TASK_STATUS_ERROR);
  EXPECT_TRUE(WaitOn(kSpray, false));
  EXPECT_FALSE(Flag(&StationTaskData::water_spray_resumable));
}

}  // namespace
}  // namespace station_center
