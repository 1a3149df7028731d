#include <gtest/gtest.h>

#include <memory>

#include "core/station_harness.h"

namespace station_center {
namespace {

using namespace station_test;  // NOLINT: the harness's outputs, actions and helpers

constexpr int kSorter = station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR;

using WaterTest = StationTest;

// A preparation, the actuator that doses its liquid (the tablet motor runs at 50 for two
// tablets, a pump at 1), and the flag that says it is ready.
TEST_F(WaterTest, PreparationDrainsFillsAndDosesItsLiquid) {
  const struct {
    TaskType type;
    int dose;
    bool StationTaskData::*ready;
  } rows[] = {
      {TASK_TYPE_CLEAN_LIQUID_PREPARE, station::ENUM_SUPPLY_CLEANING_LIQUID_PUMP, &StationTaskData::clean_liquid_ready},
      {TASK_TYPE_PERFUME_LIQUID_PREPARE, station::ENUM_SUPPLY_PERFUME_PUMP, &StationTaskData::perfume_liquid_ready},
      {TASK_TYPE_DISINFECTANT_PREPARE, kSorter, &StationTaskData::disinfectant_water_ready},
  };
  for (const auto& [type, dose, ready] : rows) {
    SCOPED_TRACE(type);
    ASSERT_TRUE(h_.SetTank(1500));
    h_.WithData([](StationTaskData& d) { d.add_water_finished = true; });
    ASSERT_EQ(h_.Finish(h_.StartTask(type, kStd, 0, 1, dose == kSorter ? 2 : 0)), TASK_STATUS_OVER);
    const int on = dose == kSorter ? 50 : 1;
    EXPECT_EQ(h_.Actions(), (Actions{{kDrain, 1}, {kDrain, 0}, {kTap, 1}, {kTap, 0}, {dose, on}, {dose, 0}}));
    EXPECT_GE(h_.sim().tank_volume(), 1000) << "the tank holds at least what was asked";
    h_.WithData([flag = ready](StationTaskData& d) {
      EXPECT_TRUE(d.*flag && !d.add_water_finished) << "ready, and the new water may be supplied";
      EXPECT_EQ(d.water_volume, 1000) << "in flow counts, as the supply compares";
      EXPECT_GE(d.tank_water_volume, 1000);
    });
  }
}

TEST_F(WaterTest, JammedSorterMotorRestartsWithinTheMotorLimit) {
  for (const double jam_seconds : {2.0, 1000.0}) {
    SCOPED_TRACE(jam_seconds);
    ASSERT_TRUE(h_.SetTank(0));
    ASSERT_TRUE(h_.sim().SetField("disinfectantPlateNum", "0"));
    h_.sim().SetSorterOverload(jam_seconds);
    auto task = h_.StartTask(TASK_TYPE_DISINFECTANT_PREPARE, kStd, 0, 0, 2);  // no water: dosing starts into the jam
    ASSERT_TRUE(WaitUntil([&] { return h_.Actions(kSorter).size() >= 3; }));
    // A long jam: the motor limit counts from the first start, not from each restart.
    const bool long_jam = jam_seconds > 100;
    h_.AdvanceClock(long_jam ? 1001 : 0);
    // Not a single tablet by the motor limit: plain water, and the tablets are short.
    ASSERT_EQ(h_.Finish(task), long_jam ? TASK_STATUS_ERROR : TASK_STATUS_OVER);
    EXPECT_EQ(Head(h_.Actions(kSorter), 3), (Actions{{kSorter, 50}, {kSorter, 0}, {kSorter, 50}}));
    EXPECT_EQ(h_.Actions(kSorter).back(), std::make_pair(kSorter, 0));
    EXPECT_EQ(h_.sim().Sensors().disinfectantplatenum() >= 2, !long_jam)
        << "a short jam still doses; a long one ends at the motor limit";
    EXPECT_EQ(h_.Ask(SRV_CMD_WATER_READY), long_jam ? SRV_CODE_NOT_STARTED : SRV_CODE_WATER_READY);
    h_.WithData([long_jam](StationTaskData& d) {
      EXPECT_EQ(d.AbnormalPresent(ABNORMAL_DISINFECTANT_TABLETS), long_jam);
      EXPECT_EQ(d.abnormal_tasks[TASK_TYPE_DISINFECTANT_PREPARE], long_jam ? 1 : 0);
    });
  }
}

TEST_F(WaterTest, PreparationStoppedMidwayClosesWhatItOpened) {
  // Cancelled while draining: an open drain would go on emptying the tank.
  ASSERT_TRUE(h_.SetTank(3000));
  auto task = h_.StartTask(TASK_TYPE_DISINFECTANT_PREPARE, kStd, 0, 1, 2);
  ASSERT_TRUE(WaitUntil([&] { return h_.On(kDrain); }));
  EXPECT_EQ(h_.Submit(TASK_TYPE_DISINFECTANT_PREPARE, kStop).code, SRV_CODE_SUCCESS);
  ASSERT_EQ(h_.Finish(task), TASK_STATUS_CANCEL);
  EXPECT_FALSE(h_.On(kDrain)) << "the drain closed";
  EXPECT_EQ(h_.WithData([](StationTaskData& d) { return d.water_volume; }), -1) << "no prepared volume to supply";

  // A tap that never fills is recorded and closed by the task itself, before the error reset.
  ASSERT_TRUE(h_.SetTank(0));
  ASSERT_TRUE(h_.sim().Pin("flowMeter", "0"));
  ASSERT_TRUE(h_.sim().Pin("cleanTankUpLevel", "0"));
  task = h_.StartTask(TASK_TYPE_DISINFECTANT_PREPARE, kStd, 0, 1, 2);
  ASSERT_TRUE(WaitUntil([&] { return h_.On(kTap); }));
  h_.AfterPass();
  h_.AdvanceClock(31);
  ASSERT_EQ(h_.Finish(task), TASK_STATUS_ERROR);
  EXPECT_EQ(Head(h_.Actions(), 2), (Actions{{kTap, 1}, {kTap, 0}}));
  h_.WithData([](StationTaskData& d) {
    EXPECT_EQ(d.abnormal_tasks[TASK_TYPE_DISINFECTANT_PREPARE], 1);
    EXPECT_FALSE(d.tap_water_normal || d.disinfectant_water_ready);
  });
}

TEST_F(WaterTest, FlowCountOfThePreviousFillDoesNotEndTheNextOne) {
  for (const bool late : {false, true}) {
    SCOPED_TRACE(late ? "reports late in the link" : "no report until the tap is open");
    ASSERT_TRUE(h_.SetTank(0));
    ASSERT_TRUE(h_.sim().SetField("flowMeter", "5000"));  // left by the last fill
    ASSERT_TRUE(h_.WaitSensors([](const station::SensorsDataRep& s) { return s.flowmeter() == 5000; }));
    // Late: each frame in pieces 150 ms apart, so the first reports after the tap opens were made before.
    h_.sim().SetSplitWrites(late ? static_cast<int>(h_.sim().Sensors().ByteSizeLong() / 2) : 0);
    h_.sim().SetReportsEnabled(late);
    auto task = h_.StartTask(TASK_TYPE_CLEAN_LIQUID_PREPARE, kStd, 0, 1, 0);
    ASSERT_TRUE(
        WaitUntil([&] { return h_.sim().tank_volume() >= 300 || !h_.Running(TASK_TYPE_CLEAN_LIQUID_PREPARE); }));
    h_.sim().SetReportsEnabled(true);
    ASSERT_EQ(h_.Finish(task), TASK_STATUS_OVER);
    EXPECT_GE(h_.sim().tank_volume(), 1000) << "the old count did not end the fill early";
  }
}

TEST_F(WaterTest, AddWaterRefillsOnceWhenEmptyOrRobotSupplyTimesOut) {
  // Four litres do not fit: the fill stops at the up level, and the supply empties the tank.
  ASSERT_EQ(h_.Finish(h_.StartTask(TASK_TYPE_CLEAN_LIQUID_PREPARE, kStd, 0, 4, 0)), TASK_STATUS_OVER);
  ASSERT_LT(h_.WithData([](StationTaskData& d) { return d.tank_water_volume; }), 4000);
  const Actions refill = {{kSupply, 1}, {kSupply, 0}, {kTap, 1}, {kTap, 0}, {kSupply, 1}, {kSupply, 0}};
  ASSERT_EQ(h_.Finish(h_.StartTask(TASK_TYPE_ADD_WATER, kStd)), TASK_STATUS_OVER);
  EXPECT_EQ(h_.Actions(), refill);
  EXPECT_GE(h_.sim().delivered_to_robot(), 4000) << "the refill made up what the first tank lacked";

  // A timed-out supply closes its valve before the tap opens; the refill covers the volume, and
  // the next supply times out again and ends the task.
  ASSERT_TRUE(h_.SetTank(1500));
  ASSERT_TRUE(h_.sim().Pin("cleanTankFootLevel", "0"));  // never reports the tank empty
  h_.WithData([](StationTaskData& d) {
    d.add_water_finished = false;
    d.water_volume = 500;
    d.tank_water_volume = 0;
  });
  auto task = h_.StartTask(TASK_TYPE_ADD_WATER, kStd);
  for (size_t supplies = 1; supplies <= 3; supplies += 2) {
    ASSERT_TRUE(WaitUntil([&] { return h_.Actions(kSupply).size() >= supplies; }));
    h_.AfterPass();
    h_.AdvanceClock(61);
  }
  ASSERT_EQ(h_.Finish(task), TASK_STATUS_OVER);
  EXPECT_EQ(h_.Actions(), refill);
}

TEST_F(WaterTest, AddWaterWithoutLimitCyclesBetweenRobotAndTapUntilCancelled) {
  for (const bool refuse_tap : {false, true}) {
    SCOPED_TRACE(refuse_tap ? "tap refused at the cancel" : "cancel");
    ASSERT_TRUE(h_.SetTank(100));
    auto task = h_.StartTask(TASK_TYPE_ADD_WATER_NO_LIMIT, kStd, 0);
    // Empty, refilled to the up level, supplying again.
    ASSERT_TRUE(WaitUntil([&] { return h_.Actions(kSupply).size() >= 3; }, std::chrono::seconds(60)));
    EXPECT_EQ(h_.Actions(kTap), (Actions{{kTap, 1}, {kTap, 0}}));
    // The supply pump must stop even when the tap cannot be commanded.
    h_.sim().RefuseSupply(station::ENUM_SUPPLY_TAP_WATER_SWITCH, refuse_tap);
    EXPECT_EQ(h_.Submit(TASK_TYPE_ADD_WATER_NO_LIMIT, kStop).code, refuse_tap ? SRV_CODE_FAILED : SRV_CODE_SUCCESS);
    EXPECT_EQ(h_.Finish(task), refuse_tap ? TASK_STATUS_ERROR : TASK_STATUS_CANCEL);
    h_.sim().RefuseSupply(station::ENUM_SUPPLY_TAP_WATER_SWITCH, false);
    EXPECT_FALSE(h_.On(kSupply) || h_.On(kTap)) << "both valves closed";
  }
}

}  // namespace
}  // namespace station_center
