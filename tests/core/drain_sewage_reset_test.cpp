#include <gtest/gtest.h>

#include <utility>

#include "clock.h"
#include "core/station_harness.h"

namespace station_center {
namespace {

using station_test::Actions;
using station_test::StationHarness;
using station_test::WaitUntil;

constexpr int kDrain = station::ENUM_SUPPLY_DRAINAGE_SWITCH;
constexpr int kPump = station::ENUM_SUPPLY_SEWAGE_PUMP;

TEST(DrainWaterTaskTest, EndsWithTheValveClosedOrInErrorWhenItMayBeOpen) {
  struct Row {
    const char* name;
    double tank_ml;
    bool refused;
    TaskStatus status;
    Actions drain;
    int tank_water_volume;
  };
  const Row rows[] = {
      {"full tank drains to the foot level", 1500, false, TASK_STATUS_OVER, {{kDrain, 1}, {kDrain, 0}}, 0},
      {"empty tank: closed without opening", 0, false, TASK_STATUS_OVER, {{kDrain, 0}}, 0},
      // A valve that may still be open is no finished drain; the reset closes again.
      {"close refused", 0, true, TASK_STATUS_ERROR, {{kDrain, 0}, {kDrain, 0}}, 0},
      {"open refused", 1500, true, TASK_STATUS_ERROR, {{kDrain, 1}, {kDrain, 0}}, 700},
  };
  StationHarness h;
  ASSERT_TRUE(h.Start());
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(h.SetTank(row.tank_ml));
    h.WithData([](StationTaskData& d) {
      d.disinfectant_water_ready = d.perfume_liquid_ready = d.clean_liquid_ready = true;
      d.water_volume = d.tank_water_volume = 700;
    });
    h.sim().RefuseSupply(station::ENUM_SUPPLY_DRAINAGE_SWITCH, row.refused);
    h.sim().ClearReceivedCommands();
    auto task = h.StartTask(TASK_TYPE_DRAIN_WATER, 2);
    ASSERT_NE(task, nullptr);
    ASSERT_TRUE(h.Removed(TASK_TYPE_DRAIN_WATER));
    h.sim().RefuseSupply(station::ENUM_SUPPLY_DRAINAGE_SWITCH, false);
    EXPECT_EQ(task->status(), row.status);
    EXPECT_EQ(h.Actions(kDrain), row.drain);
    h.WithData([&](StationTaskData& d) {
      EXPECT_FALSE(d.disinfectant_water_ready || d.perfume_liquid_ready || d.clean_liquid_ready) << "drained away";
      EXPECT_EQ(d.water_volume, 0);
      EXPECT_EQ(d.tank_water_volume, row.tank_water_volume);
    });
  }
}

TEST(DrainWaterTaskTest, FootLevelThatNeverComesEndsTheDrainAndTheResetAfterTheDrainTime) {
  StationHarness h;  // drain time 30 s
  ASSERT_TRUE(h.Start());
  ASSERT_TRUE(h.sim().Pin("cleanTankFootLevel", "0"));
  for (TaskType type : {TASK_TYPE_DRAIN_WATER, TASK_TYPE_RESET_STATION}) {
    SCOPED_TRACE(type);
    ASSERT_TRUE(h.SetTank(1500));
    h.sim().ClearReceivedCommands();
    auto task = h.StartTask(type, 2);
    ASSERT_NE(task, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return h.On(kDrain); }));
    h.AfterPass();
    AdvanceClockForTest(31);
    ASSERT_TRUE(h.Removed(type));
    // A broken sensor must not leave the valve open, nor block later work.
    EXPECT_EQ(task->status(), TASK_STATUS_OVER);
    EXPECT_EQ(h.Actions(kDrain), (Actions{{kDrain, 1}, {kDrain, 0}}));
    EXPECT_EQ(h.center().station_status(), STATION_STATUS_NORMAL);
  }
}

TEST(SewageDrainPumpTaskTest, PowerFollowsTheActionAndThePumpStopsOnCancelOrLimit) {
  StationHarness h;
  ASSERT_TRUE(h.Start());
  auto working = [&] { return h.WithData([](StationTaskData& d) { return d.sewage_pump_working; }); };
  for (const auto& [action, power] : {std::make_pair(1, 61), std::make_pair(2, 82), std::make_pair(3, 97)}) {
    SCOPED_TRACE(action);
    h.sim().ClearReceivedCommands();
    auto task = h.StartTask(TASK_TYPE_SEWAGE_DRAIN_PUMP, action, 0);
    ASSERT_NE(task, nullptr);
    ASSERT_TRUE(WaitUntil(working));
    EXPECT_EQ(h.Actions(kPump), (Actions{{kPump, power}}));
    if (action == 1) {  // duration 0: no limit, however much time passes
      AdvanceClockForTest(1000);
      EXPECT_FALSE(WaitUntil([&] { return !h.Running(TASK_TYPE_SEWAGE_DRAIN_PUMP); }, std::chrono::milliseconds(300)));
    }
    EXPECT_EQ(h.Submit(TASK_TYPE_SEWAGE_DRAIN_PUMP, 4).code, SRV_CODE_SUCCESS);
    ASSERT_TRUE(h.Removed(TASK_TYPE_SEWAGE_DRAIN_PUMP));
    EXPECT_EQ(task->status(), TASK_STATUS_CANCEL);
    EXPECT_FALSE(h.On(kPump) || working());
  }

  // The time limit ends it in error; only its DoReset stops the pump then.
  h.sim().ClearReceivedCommands();
  auto task = h.StartTask(TASK_TYPE_SEWAGE_DRAIN_PUMP, 2, 5);
  ASSERT_TRUE(WaitUntil([&] { return h.On(kPump); }));
  AdvanceClockForTest(6);
  ASSERT_TRUE(h.Removed(TASK_TYPE_SEWAGE_DRAIN_PUMP));
  EXPECT_EQ(task->status(), TASK_STATUS_ERROR);
  EXPECT_EQ(h.Actions(kPump), (Actions{{kPump, 82}, {kPump, 0}}));
  EXPECT_FALSE(h.On(kPump) || working());

  // A refused stop: the error reset tries once more, and the pump stays counted as
  // working, so the sewage automation stops it once the board obeys.
  task = h.StartTask(TASK_TYPE_SEWAGE_DRAIN_PUMP, 3, 0);
  ASSERT_TRUE(WaitUntil([&] { return h.On(kPump); }));
  h.sim().ClearReceivedCommands();
  h.sim().RefuseSupply(station::ENUM_SUPPLY_SEWAGE_PUMP, true);
  EXPECT_EQ(h.Submit(TASK_TYPE_SEWAGE_DRAIN_PUMP, 4).code, SRV_CODE_FAILED);
  ASSERT_TRUE(h.Removed(TASK_TYPE_SEWAGE_DRAIN_PUMP));
  EXPECT_EQ(task->status(), TASK_STATUS_ERROR);
  const Actions stops = h.Actions(kPump);
  ASSERT_GE(stops.size(), 2u);
  EXPECT_EQ(Actions(stops.begin(), stops.begin() + 2), (Actions{{kPump, 0}, {kPump, 0}}));
  h.sim().RefuseSupply(station::ENUM_SUPPLY_SEWAGE_PUMP, false);
  EXPECT_TRUE(WaitUntil([&] { return !h.On(kPump) && !working(); }));
}

}  // namespace
}  // namespace station_center
