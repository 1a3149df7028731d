#include <gtest/gtest.h>

#include "clock.h"
#include "core/water_helpers.h"

namespace station_center {
namespace {

using station_test::kSupply;
using station_test::kTap;
using station_test::WaitUntil;
using station_test::WaterActions;
using AddWaterTest = station_test::WaterScenario;
using AddWaterNoLimitTest = station_test::WaterScenario;

namespace common = vantorel_base_station_common;

TEST_F(AddWaterTest, RefusedUntilSomethingIsPreparedAndAfterItWasSupplied) {
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
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    h_.WithData([&](StationTaskData& d) {
      d.disinfectant_water_ready = row.ready;
      d.water_volume = row.water_volume;
      d.add_water_finished = row.finished;
    });
    const StationSrvRsp rsp = h_.Submit(TASK_TYPE_ADD_WATER, 2, 0);
    EXPECT_EQ(rsp.code, SRV_CODE_FAILED);
    EXPECT_EQ(rsp.err_code, row.err_code);
    EXPECT_FALSE(h_.Running(TASK_TYPE_ADD_WATER));
  }
}

TEST_F(AddWaterTest, CleanLiquidForMoreThanATankIsSuppliedWithOneRefill) {
  SetTank(0);
  // Four litres do not fit: the fill stops at the up level.
  auto prepare = Prepare(TASK_TYPE_CLEAN_LIQUID_PREPARE, 4, 0);
  ASSERT_NE(prepare, nullptr);
  ASSERT_TRUE(Ended(TASK_TYPE_CLEAN_LIQUID_PREPARE));
  ASSERT_EQ(prepare->status(), TASK_STATUS_OVER);
  ASSERT_LT(h_.WithData([](StationTaskData& d) { return d.tank_water_volume; }), 4000);
  h_.sim().ClearReceivedCommands();

  auto supply = h_.StartTask(TASK_TYPE_ADD_WATER, 2, 0);
  ASSERT_NE(supply, nullptr);
  ASSERT_TRUE(Ended(TASK_TYPE_ADD_WATER));

  EXPECT_EQ(supply->status(), TASK_STATUS_OVER);
  EXPECT_EQ(WaterPath(), (WaterActions{{kSupply, 1}, {kSupply, 0}, {kTap, 1}, {kTap, 0}, {kSupply, 1}, {kSupply, 0}}));
  // The refill made up what the first tankful lacked.
  EXPECT_GE(h_.sim().delivered_to_robot(), 4000);
  h_.WithData([](StationTaskData& d) {
    EXPECT_TRUE(d.add_water_finished);
    EXPECT_EQ(d.water_volume, 0);
  });
  const StationSrvRsp again = h_.Submit(TASK_TYPE_ADD_WATER, 2, 0);
  EXPECT_EQ(again.err_code, common::ENUM_ADD_WATER_FINISHED);
  EXPECT_EQ(again.msg, "add water finished!");
}

TEST_F(AddWaterTest, RobotSupplyTimeoutClosesTheSupplyValveBeforeTheTapOpens) {
  SetTank(1500);
  ASSERT_TRUE(h_.sim().Pin("cleanTankFootLevel", "0"));  // never reports the tank empty
  h_.WithData([](StationTaskData& d) {
    d.clean_liquid_ready = true;
    d.water_volume = 500;
    d.tank_water_volume = 0;
  });
  h_.sim().ClearReceivedCommands();

  auto task = h_.StartTask(TASK_TYPE_ADD_WATER, 2, 0);
  ASSERT_NE(task, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return On(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH); }));
  AdvanceClockForTest(61);
  // The refill covers the volume; the next supply times out again and ends it.
  ASSERT_TRUE(WaitUntil([&] { return h_.Actions(kSupply).size() >= 3; }));
  AdvanceClockForTest(61);
  ASSERT_TRUE(Ended(TASK_TYPE_ADD_WATER));

  EXPECT_EQ(task->status(), TASK_STATUS_OVER);
  EXPECT_EQ(WaterPath(), (WaterActions{{kSupply, 1}, {kSupply, 0}, {kTap, 1}, {kTap, 0}, {kSupply, 1}, {kSupply, 0}}));
  EXPECT_FALSE(On(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH));
}

TEST_F(AddWaterNoLimitTest, CyclesBetweenRobotAndTapUntilCancelled) {
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
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetTank(100);
    h_.sim().ClearReceivedCommands();

    auto task = h_.StartTask(TASK_TYPE_ADD_WATER_NO_LIMIT, 2, 0);
    ASSERT_NE(task, nullptr);
    // Empty, refilled to the up level, supplying again.
    ASSERT_TRUE(WaitUntil([&] { return h_.Actions(kSupply).size() >= 3; }, std::chrono::seconds(60)));
    EXPECT_EQ(h_.Actions(kTap), (WaterActions{{kTap, 1}, {kTap, 0}}));
    EXPECT_GT(h_.sim().tank_volume(), 2000);

    h_.sim().RefuseSupply(station::ENUM_SUPPLY_TAP_WATER_SWITCH, row.refuse_tap);
    EXPECT_EQ(h_.Submit(TASK_TYPE_ADD_WATER_NO_LIMIT, 4).code, row.cancel_code);
    ASSERT_TRUE(Ended(TASK_TYPE_ADD_WATER_NO_LIMIT));
    h_.sim().RefuseSupply(station::ENUM_SUPPLY_TAP_WATER_SWITCH, false);

    EXPECT_EQ(task->status(), row.status);
    EXPECT_FALSE(On(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH));
    EXPECT_FALSE(On(station::ENUM_SUPPLY_TAP_WATER_SWITCH));
  }
}

}  // namespace
}  // namespace station_center
