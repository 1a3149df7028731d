#include <gtest/gtest.h>

#include <functional>
#include <utility>
#include <vector>

#include "clock.h"
#include "core/station_harness.h"

namespace station_center {
namespace {

using station_test::HarnessOptions;
using station_test::StationHarness;
using station_test::WaitUntil;
using Actions = std::vector<std::pair<int, int>>;

constexpr int kDrain = station::ENUM_SUPPLY_DRAINAGE_SWITCH;
constexpr int kPump = station::ENUM_SUPPLY_SEWAGE_PUMP;
constexpr int kBoardReset = station::ENUM_SUPPLY_RESET_MCU;

// Fills (or empties) the simulated tank and waits until the core has seen it.
void SetTank(StationHarness& h, double ml) {
  h.sim().SetTankVolume(ml);
  const uint32_t foot = ml <= 20 ? 1 : 0;
  ASSERT_TRUE(h.WaitSensors([foot](const station::SensorsDataRep& s) { return s.cleantankfootlevel() == foot; }));
}

void WaitRemoved(StationHarness& h, TaskType type) {
  ASSERT_TRUE(WaitUntil([&] { return !h.Running(type); }));
}

// Moves the clock on in steps until `done`: a first step may land before the
// task has noted the time it started waiting.
bool AdvanceClockUntil(const std::function<bool()>& done, int64_t step_seconds) {
  for (int i = 0; i < 10; ++i) {
    AdvanceClockForTest(step_seconds);
    if (WaitUntil(done, std::chrono::seconds(2))) {
      return true;
    }
  }
  return false;
}

void MarkLiquidPrepared(StationHarness& h) {
  h.WithData([](StationTaskData& d) {
    d.disinfectant_water_ready = d.perfume_liquid_ready = d.clean_liquid_ready = true;
    d.water_volume = d.tank_water_volume = 700;
    d.work_started = true;
  });
}

TEST(DrainWaterTaskTest, EndsAndClosesTheValveWhateverTheBoardSays) {
  struct Row {
    const char* name;
    double tank_ml;
    int refused;  // supply type the board refuses, 0 none
    TaskStatus status;
    Actions drain_actions;
    int tank_water_volume;
  };
  const Row rows[] = {
      {"full tank drains to the foot level", 1500, 0, TASK_STATUS_OVER, {{kDrain, 1}, {kDrain, 0}}, 0},
      // An empty tank is closed without ever opening the valve.
      {"empty tank", 0, 0, TASK_STATUS_OVER, {{kDrain, 0}}, 0},
      // A valve that may still be open is not a finished drain; the reset closes again.
      {"close refused", 0, kDrain, TASK_STATUS_ERROR, {{kDrain, 0}, {kDrain, 0}}, 0},
      {"open refused", 1500, kDrain, TASK_STATUS_ERROR, {{kDrain, 1}, {kDrain, 0}}, 700},
  };
  StationHarness h;
  ASSERT_TRUE(h.Start());
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetTank(h, row.tank_ml);
    MarkLiquidPrepared(h);
    h.sim().RefuseSupply(station::ENUM_SUPPLY_DRAINAGE_SWITCH, row.refused == kDrain);
    h.sim().ClearReceivedCommands();

    auto task = h.StartTask(TASK_TYPE_DRAIN_WATER, 2);
    ASSERT_NE(task, nullptr);
    WaitRemoved(h, TASK_TYPE_DRAIN_WATER);

    EXPECT_EQ(task->status(), row.status);
    EXPECT_EQ(h.Actions(kDrain), row.drain_actions);
    EXPECT_FALSE(h.sim().ActuatorOn(station::ENUM_SUPPLY_DRAINAGE_SWITCH));
    // Prepared liquid went down the drain in every case.
    h.WithData([&](StationTaskData& d) {
      EXPECT_FALSE(d.disinfectant_water_ready || d.perfume_liquid_ready || d.clean_liquid_ready);
      EXPECT_EQ(d.water_volume, 0);
      EXPECT_EQ(d.tank_water_volume, row.tank_water_volume);
    });
    h.sim().RefuseSupply(station::ENUM_SUPPLY_DRAINAGE_SWITCH, false);
  }
}

TEST(DrainWaterTaskTest, FootLevelThatNeverComesEndsOverAfterTheDrainTime) {
  StationHarness h;  // drain time 30 s
  ASSERT_TRUE(h.Start());
  ASSERT_TRUE(h.sim().Pin("cleanTankFootLevel", "0"));
  SetTank(h, 1500);
  h.sim().ClearReceivedCommands();

  auto task = h.StartTask(TASK_TYPE_DRAIN_WATER, 2);
  ASSERT_NE(task, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return h.sim().ActuatorOn(station::ENUM_SUPPLY_DRAINAGE_SWITCH); }));
  ASSERT_TRUE(AdvanceClockUntil([&] { return !h.Running(TASK_TYPE_DRAIN_WATER); }, 31));

  // A broken sensor must not leave the valve open, nor block later work.
  EXPECT_EQ(task->status(), TASK_STATUS_OVER);
  EXPECT_EQ(h.Actions(kDrain), (Actions{{kDrain, 1}, {kDrain, 0}}));
}

TEST(SewageDrainPumpTaskTest, PumpPowerFollowsTheActionAndRunsUntilCancelled) {
  const std::pair<int, int> action_power[] = {{1, 61}, {2, 82}, {3, 97}, {5, 0}};
  StationHarness h;
  ASSERT_TRUE(h.Start());
  for (const auto& [action, power] : action_power) {
    SCOPED_TRACE(action);
    h.sim().ClearReceivedCommands();
    auto task = h.StartTask(TASK_TYPE_SEWAGE_DRAIN_PUMP, action, 0);
    ASSERT_NE(task, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return h.WithData([](StationTaskData& d) { return d.sewage_pump_working; }); }));
    EXPECT_EQ(h.Actions(kPump), (Actions{{kPump, power}}));

    // Duration 0 has no limit, however much time passes.
    AdvanceClockForTest(1000);
    EXPECT_FALSE(WaitUntil([&] { return !h.Running(TASK_TYPE_SEWAGE_DRAIN_PUMP); }, std::chrono::milliseconds(500)));

    EXPECT_EQ(h.Submit(TASK_TYPE_SEWAGE_DRAIN_PUMP, 4).code, SRV_CODE_SUCCESS);
    WaitRemoved(h, TASK_TYPE_SEWAGE_DRAIN_PUMP);
    EXPECT_EQ(task->status(), TASK_STATUS_CANCEL);
    EXPECT_FALSE(h.sim().ActuatorOn(station::ENUM_SUPPLY_SEWAGE_PUMP));
    EXPECT_FALSE(h.WithData([](StationTaskData& d) { return d.sewage_pump_working; }));
  }
}

TEST(SewageDrainPumpTaskTest, TimeLimitStopsThePump) {
  StationHarness h;
  ASSERT_TRUE(h.Start());
  h.sim().ClearReceivedCommands();
  auto task = h.StartTask(TASK_TYPE_SEWAGE_DRAIN_PUMP, 2, 5);
  ASSERT_NE(task, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return h.sim().ActuatorOn(station::ENUM_SUPPLY_SEWAGE_PUMP); }));
  ASSERT_TRUE(AdvanceClockUntil([&] { return !h.Running(TASK_TYPE_SEWAGE_DRAIN_PUMP); }, 6));

  EXPECT_EQ(task->status(), TASK_STATUS_ERROR);
  // Nothing else would stop a pump the task started.
  EXPECT_EQ(h.Actions(kPump), (Actions{{kPump, 82}, {kPump, 0}}));
  EXPECT_FALSE(h.sim().ActuatorOn(station::ENUM_SUPPLY_SEWAGE_PUMP));
  EXPECT_FALSE(h.WithData([](StationTaskData& d) { return d.sewage_pump_working; }));
}

TEST(SewageDrainPumpTaskTest, RefusedStopKeepsThePumpCountedAsWorking) {
  StationHarness h;
  ASSERT_TRUE(h.Start());
  auto task = h.StartTask(TASK_TYPE_SEWAGE_DRAIN_PUMP, 3, 0);
  ASSERT_NE(task, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return h.sim().ActuatorOn(station::ENUM_SUPPLY_SEWAGE_PUMP); }));
  h.sim().ClearReceivedCommands();

  h.sim().RefuseSupply(station::ENUM_SUPPLY_SEWAGE_PUMP, true);
  EXPECT_EQ(h.Submit(TASK_TYPE_SEWAGE_DRAIN_PUMP, 4).code, SRV_CODE_FAILED);
  WaitRemoved(h, TASK_TYPE_SEWAGE_DRAIN_PUMP);
  EXPECT_EQ(task->status(), TASK_STATUS_ERROR);
  // The failed cancel ends in error, so the reset tries the stop once more.
  EXPECT_EQ(h.Actions(kPump), (Actions{{kPump, 0}, {kPump, 0}}));
  // The pump still runs: the flag stays set so the sewage automation closes it.
  EXPECT_TRUE(h.WithData([](StationTaskData& d) { return d.sewage_pump_working; }));
}

TEST(ResetStationTaskTest, ResetsBoardAndDataThenDrains) {
  struct Row {
    const char* name;
    double tank_ml;
    int refused;
    StationCenterStatus station_status;
    Actions actions;
  };
  const Row rows[] = {
      {"full tank", 1500, 0, STATION_STATUS_NORMAL, {{kBoardReset, 1}, {kDrain, 1}, {kDrain, 0}}},
      {"drain refused", 1500, kDrain, STATION_STATUS_ERROR, {{kBoardReset, 1}, {kDrain, 1}}},
  };
  StationHarness h;
  ASSERT_TRUE(h.Start());
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetTank(h, row.tank_ml);
    MarkLiquidPrepared(h);
    if (row.refused != 0) {
      h.sim().RefuseSupply(static_cast<station::EnumSupplyType>(row.refused), true);
    }
    h.sim().ClearReceivedCommands();

    auto task = h.StartTask(TASK_TYPE_RESET_STATION, 0);
    ASSERT_NE(task, nullptr);
    WaitRemoved(h, TASK_TYPE_RESET_STATION);

    EXPECT_EQ(h.center().station_status(), row.station_status);
    Actions actions = h.Actions(kBoardReset);
    for (const auto& a : h.Actions(kDrain)) {
      actions.push_back(a);
    }
    EXPECT_EQ(actions, row.actions);
    h.WithData([](StationTaskData& d) {
      EXPECT_FALSE(d.work_started || d.disinfectant_water_ready || d.perfume_liquid_ready || d.clean_liquid_ready);
      EXPECT_EQ(d.water_volume, -1);
      EXPECT_EQ(d.tank_water_volume, -1);
    });
    if (row.refused != 0) {
      h.sim().RefuseSupply(static_cast<station::EnumSupplyType>(row.refused), false);
    }
  }
}

TEST(ResetStationTaskTest, DrainTimeoutClosesTheValveAndEndsNormal) {
  StationHarness h;
  ASSERT_TRUE(h.Start());
  ASSERT_TRUE(h.sim().Pin("cleanTankFootLevel", "0"));
  SetTank(h, 1500);
  h.sim().ClearReceivedCommands();

  auto task = h.StartTask(TASK_TYPE_RESET_STATION, 0);
  ASSERT_NE(task, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return h.sim().ActuatorOn(station::ENUM_SUPPLY_DRAINAGE_SWITCH); }));
  ASSERT_TRUE(AdvanceClockUntil([&] { return !h.Running(TASK_TYPE_RESET_STATION); }, 31));

  EXPECT_EQ(task->status(), TASK_STATUS_OVER);
  EXPECT_EQ(h.center().station_status(), STATION_STATUS_NORMAL);
  EXPECT_EQ(h.Actions(kDrain), (Actions{{kDrain, 1}, {kDrain, 0}}));
}

}  // namespace
}  // namespace station_center
