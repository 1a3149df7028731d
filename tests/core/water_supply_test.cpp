#include <gtest/gtest.h>

#include "clock.h"
#include "core/water_helpers.h"

namespace station_center {
namespace {

using station_test::kSupply;
using station_test::kTap;
using station_test::PrepareRequest;
using station_test::SetTankAndWait;
using station_test::StartWith;
using station_test::StationHarness;
using station_test::WaitEnded;
using station_test::WaitUntil;
using station_test::WaterActions;
using station_test::WaterLimits;
using station_test::WaterPath;

namespace common = vantorel_base_station_common;

// Clean liquid ready for `volume` flow counts, with nothing left in the tank.
void MarkPrepared(StationHarness& h, int volume) {
  h.WithData([volume](StationTaskData& d) {
    d.clean_liquid_ready = true;
    d.water_volume = volume;
    d.tank_water_volume = 0;
  });
}

TEST(AddWaterTest, RefusedUntilSomethingIsPreparedAndAfterItWasSupplied) {
  struct Row {
    const char* name;
    bool ready;
    int water_volume;
    bool finished;
    common::EnumErrCode err_code;
  };
  const Row rows[] = {
      {"nothing prepared", false, -1, false, common::ENUM_WATER_PREPART_NOT_READY},
      {"prepared without a volume", true, 0, false, common::ENUM_WATER_PREPART_NOT_READY},
      {"prepared with a negative volume", true, -3, false, common::ENUM_WATER_PREPART_NOT_READY},
      {"already supplied", false, 0, true, common::ENUM_ADD_WATER_FINISHED},
  };
  StationHarness h(station_test::WaterOptions());
  ASSERT_TRUE(h.Start());
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    h.WithData([&](StationTaskData& d) {
      d.disinfectant_water_ready = row.ready;
      d.water_volume = row.water_volume;
      d.add_water_finished = row.finished;
    });
    const StationSrvRsp rsp = h.Submit(TASK_TYPE_ADD_WATER, 2, 0);
    EXPECT_EQ(rsp.code, SRV_CODE_FAILED);
    EXPECT_EQ(rsp.err_code, row.err_code);
    EXPECT_FALSE(h.Running(TASK_TYPE_ADD_WATER));
  }
}

TEST(AddWaterTest, CleanLiquidForMoreThanATankIsSuppliedWithOneRefill) {
  WaterLimits limits;
  StationHarness h(station_test::WaterOptions());
  ASSERT_TRUE(h.Start());
  WaterLimits::Apply();
  SetTankAndWait(h, 0);

  // Four litres do not fit: the fill stops at the up level.
  auto prepare = StartWith(h, PrepareRequest(TASK_TYPE_CLEAN_LIQUID_PREPARE, 4, 0));
  ASSERT_NE(prepare, nullptr);
  ASSERT_TRUE(WaitEnded(h, TASK_TYPE_CLEAN_LIQUID_PREPARE));
  ASSERT_EQ(prepare->status(), TASK_STATUS_OVER);
  const int in_tank = h.WithData([](StationTaskData& d) { return d.tank_water_volume; });
  ASSERT_LT(in_tank, 4000);
  h.sim().ClearReceivedCommands();

  auto supply = h.StartTask(TASK_TYPE_ADD_WATER, 2, 0);
  ASSERT_NE(supply, nullptr);
  ASSERT_TRUE(WaitEnded(h, TASK_TYPE_ADD_WATER));

  EXPECT_EQ(supply->status(), TASK_STATUS_OVER);
  EXPECT_EQ(WaterPath(h), (WaterActions{{kSupply, 1}, {kSupply, 0}, {kTap, 1}, {kTap, 0}, {kSupply, 1}, {kSupply, 0}}));
  // The refill made up what the first tankful lacked.
  EXPECT_GE(h.sim().delivered_to_robot(), 4000);
  h.WithData([](StationTaskData& d) {
    EXPECT_TRUE(d.add_water_finished);
    EXPECT_EQ(d.water_volume, 0);
    EXPECT_EQ(d.tank_water_volume, 0);
  });
  const StationSrvRsp again = h.Submit(TASK_TYPE_ADD_WATER, 2, 0);
  EXPECT_EQ(again.err_code, common::ENUM_ADD_WATER_FINISHED);
  EXPECT_EQ(again.msg, "add water finished!");
}

TEST(AddWaterTest, RobotSupplyTimeoutClosesTheSupplyValveBeforeTheTapOpens) {
  WaterLimits limits;
  StationHarness h(station_test::WaterOptions());
  ASSERT_TRUE(h.Start());
  WaterLimits::Apply();
  // A broken foot-level sensor never reports the tank empty.
  SetTankAndWait(h, 1500);
  ASSERT_TRUE(h.sim().Pin("cleanTankFootLevel", "0"));
  MarkPrepared(h, 500);
  h.sim().ClearReceivedCommands();

  auto task = h.StartTask(TASK_TYPE_ADD_WATER, 2, 0);
  ASSERT_NE(task, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return h.sim().ActuatorOn(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH); }));
  AdvanceClockForTest(61);
  // The refill covers the volume; the next supply times out again and ends it.
  ASSERT_TRUE(WaitUntil([&] { return h.Actions(kSupply).size() >= 3; }));
  AdvanceClockForTest(61);
  ASSERT_TRUE(WaitEnded(h, TASK_TYPE_ADD_WATER));

  EXPECT_EQ(task->status(), TASK_STATUS_OVER);
  EXPECT_EQ(WaterPath(h), (WaterActions{{kSupply, 1}, {kSupply, 0}, {kTap, 1}, {kTap, 0}, {kSupply, 1}, {kSupply, 0}}));
  EXPECT_FALSE(h.sim().ActuatorOn(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH));
  h.WithData([](StationTaskData& d) { EXPECT_TRUE(d.add_water_finished); });
}

TEST(AddWaterTest, TapThatNeverFillsIsRecordedAndBothValvesEndClosed) {
  WaterLimits limits;
  StationHarness h(station_test::WaterOptions());
  ASSERT_TRUE(h.Start());
  WaterLimits::Apply();
  SetTankAndWait(h, 0);
  ASSERT_TRUE(h.sim().Pin("flowMeter", "0"));
  ASSERT_TRUE(h.sim().Pin("cleanTankUpLevel", "0"));
  MarkPrepared(h, 500);
  h.sim().ClearReceivedCommands();

  auto task = h.StartTask(TASK_TYPE_ADD_WATER, 2, 0);
  ASSERT_NE(task, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return h.sim().ActuatorOn(station::ENUM_SUPPLY_TAP_WATER_SWITCH); }));
  AdvanceClockForTest(31);
  ASSERT_TRUE(WaitEnded(h, TASK_TYPE_ADD_WATER));

  EXPECT_EQ(task->status(), TASK_STATUS_ERROR);
  const WaterActions actions = WaterPath(h);
  ASSERT_GE(actions.size(), 4u);
  EXPECT_EQ(WaterActions(actions.begin(), actions.begin() + 4),
            (WaterActions{{kSupply, 1}, {kSupply, 0}, {kTap, 1}, {kTap, 0}}));
  EXPECT_FALSE(h.sim().ActuatorOn(station::ENUM_SUPPLY_TAP_WATER_SWITCH));
  EXPECT_FALSE(h.sim().ActuatorOn(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH));
  h.WithData([](StationTaskData& d) {
    EXPECT_EQ(d.abnormal_tasks[TASK_TYPE_ADD_WATER], 1);
    EXPECT_FALSE(d.tap_water_normal);
    // A failed supply needs a new preparation.
    EXPECT_FALSE(d.clean_liquid_ready);
    EXPECT_EQ(d.water_volume, 0);
  });
}

TEST(AddWaterNoLimitTest, CyclesBetweenRobotAndTapUntilCancelled) {
  struct Row {
    const char* name;
    bool refuse_tap;  // the board refuses to close the tap at the cancel
    int32_t cancel_code;
    TaskStatus status;
  };
  const Row rows[] = {
      {"cancel", false, SRV_CODE_SUCCESS, TASK_STATUS_CANCEL},
      // The supply pump must stop even when the tap cannot be commanded.
      {"tap refused at cancel", true, SRV_CODE_FAILED, TASK_STATUS_ERROR},
  };
  WaterLimits limits;
  StationHarness h(station_test::WaterOptions());
  ASSERT_TRUE(h.Start());
  WaterLimits::Apply();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetTankAndWait(h, 100);
    h.sim().ClearReceivedCommands();

    auto task = h.StartTask(TASK_TYPE_ADD_WATER_NO_LIMIT, 2, 0);
    ASSERT_NE(task, nullptr);
    // Empty, refilled to the up level, supplying again.
    ASSERT_TRUE(WaitUntil([&] { return h.Actions(kSupply).size() >= 3; }, std::chrono::seconds(60)));
    EXPECT_EQ(h.Actions(kTap), (WaterActions{{kTap, 1}, {kTap, 0}}));
    EXPECT_GT(h.sim().tank_volume(), 2000);

    h.sim().RefuseSupply(station::ENUM_SUPPLY_TAP_WATER_SWITCH, row.refuse_tap);
    EXPECT_EQ(h.Submit(TASK_TYPE_ADD_WATER_NO_LIMIT, 4).code, row.cancel_code);
    ASSERT_TRUE(WaitEnded(h, TASK_TYPE_ADD_WATER_NO_LIMIT));
    h.sim().RefuseSupply(station::ENUM_SUPPLY_TAP_WATER_SWITCH, false);

    EXPECT_EQ(task->status(), row.status);
    EXPECT_FALSE(h.sim().ActuatorOn(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH));
    EXPECT_FALSE(h.sim().ActuatorOn(station::ENUM_SUPPLY_TAP_WATER_SWITCH));
  }
}

}  // namespace
}  // namespace station_center
