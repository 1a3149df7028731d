#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "clock.h"
#include "core/station_harness.h"
#include "task/scripted_task.h"

namespace station_center {
namespace {

using station_test::Actions;
using station_test::HarnessOptions;
using station_test::Scripts;
using station_test::StationHarness;
using station_test::WaitUntil;

constexpr int kDrain = station::ENUM_SUPPLY_DRAINAGE_SWITCH;
constexpr int kBoardReset = station::ENUM_SUPPLY_RESET_MCU;
constexpr int kDust = station::ENUM_SUPPLY_COLLECT_DUST;
constexpr int kStop = vantorel_base_station_mqtt::ENUM_ACTION_STOP;
constexpr int kStd = vantorel_base_station_mqtt::ENUM_ACTION_STANDARD;

// The station reached `status` with no task driver or reset waiter left.
bool Settled(StationHarness& h, StationCenterStatus status) {
  return WaitUntil([&] {
    return h.center().station_status() == status && h.center().running_drivers() == 0 &&
           h.center().running_waiters() == 0;
  });
}
size_t BoardResets(StationHarness& h) { return h.Actions(kBoardReset).size(); }

TEST(StationLifecycleTest, StartUpResetsTheBoardThenDrainsTheTank) {
  HarnessOptions options;
  options.model.tank_initial_ml = 1500;
  StationHarness h(options);
  ASSERT_TRUE(h.Start());  // waits for status 0
  EXPECT_EQ(h.Actions(), (Actions{{kBoardReset, 1}, {kDrain, 1}, {kDrain, 0}}));
  EXPECT_LE(h.sim().tank_volume(), 20);
}

TEST(StationLifecycleTest, TaskEndsOverInErrorOrCancelledWithItsHooks) {
  struct Row {
    const char* name;
    bool end_in_error, cancel_by_request;
    Actions dust;             // what the board saw from the task
    std::vector<int> counts;  // resets, cancels, after over, after error, after cancel
  };
  const Row rows[] = {
      {"over", false, false, {{kDust, 1}}, {0, 0, 1, 0, 0}},
      {"error", true, false, {{kDust, 1}, {kDust, 0}}, {1, 0, 0, 1, 0}},  // switched off through DoReset
      // Cancelled by request, then once more by the driver, which must be harmless.
      {"cancel", false, true, {{kDust, 1}, {kDust, 0}, {kDust, 0}}, {0, 2, 0, 0, 1}},
  };
  StationHarness h;  // docked: no reset after the task
  ASSERT_TRUE(h.Start());
  Scripts scripts;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto script = scripts.Use(TASK_TYPE_DUST_COLLECT);
    script->supply_type = kDust;
    script->end_in_error = row.end_in_error;
    script->end_after_passes = row.cancel_by_request ? -1 : 3;
    h.sim().ClearReceivedCommands();
    ASSERT_EQ(h.Submit(TASK_TYPE_DUST_COLLECT, kStd).code, SRV_CODE_SUCCESS);
    if (row.cancel_by_request) {
      ASSERT_TRUE(WaitUntil([&] { return script->passes.load() > 0; }));
      EXPECT_EQ(h.Submit(TASK_TYPE_DUST_COLLECT, kStop).code, SRV_CODE_SUCCESS);
    }
    ASSERT_TRUE(Settled(h, STATION_STATUS_NORMAL));
    EXPECT_FALSE(h.Running(TASK_TYPE_DUST_COLLECT));
    EXPECT_EQ(h.Actions(), row.dust) << "the robot is in position: no reset";
    EXPECT_EQ((std::vector<int>{script->resets, script->cancels, script->after_over, script->after_error,
                                script->after_cancel}),
              row.counts);
  }
}

TEST(StationLifecycleTest, LastTaskEndResetsOnlyWithTheRobotAway) {
  // Prepared water, a manual charge and a reset leave the station as it is.
  const std::pair<TaskType, bool> rows[] = {
      {TASK_TYPE_DUST_COLLECT, true}, {TASK_TYPE_DISINFECTANT_PREPARE, false}, {TASK_TYPE_MANUAL_CHARGE, false}};
  StationHarness h;
  ASSERT_TRUE(h.Start());
  ASSERT_TRUE(h.SetDocked(false));
  Scripts scripts;
  for (const auto& [type, resets] : rows) {
    SCOPED_TRACE(type);
    auto script = scripts.Use(type);
    script->end_after_passes = 2;
    h.sim().ClearReceivedCommands();
    ASSERT_EQ(h.Submit(type, kStd).code, SRV_CODE_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return script->after_over.load() == 1; }));
    ASSERT_TRUE(Settled(h, STATION_STATUS_NORMAL));
    EXPECT_EQ(BoardResets(h), resets ? 1u : 0u);
  }
}

TEST(StationLifecycleTest, IdleResetFiresOnceAfterTheIdleTimeMovedByWaterReadyPolls) {
  const int64_t idle = 100000;  // the harness's auto_reset_time_space
  StationHarness h;
  ASSERT_TRUE(h.Start());
  Scripts scripts;
  auto script = scripts.Use(TASK_TYPE_UV_LAMP);
  script->end_after_passes = 1;
  ASSERT_EQ(h.Submit(TASK_TYPE_UV_LAMP, kStd).code, SRV_CODE_SUCCESS);  // starts the work period
  ASSERT_TRUE(WaitUntil([&] { return script->after_over.load() == 1 && h.center().running_drivers() == 0; }));
  ASSERT_TRUE(h.SetDocked(false));
  h.sim().ClearReceivedCommands();

  AdvanceClockForTest(idle - 100);
  h.center().AutoReset();
  EXPECT_EQ(h.center().station_status(), STATION_STATUS_NORMAL) << "not idle long enough";
  // The poll restarts the idle clock: 200 s on is past the task's start but not the poll's.
  EXPECT_EQ(h.Ask(SRV_CMD_WATER_READY), SRV_CODE_NOT_STARTED);
  AdvanceClockForTest(200);
  h.center().AutoReset();
  EXPECT_EQ(h.center().station_status(), STATION_STATUS_NORMAL);

  AdvanceClockForTest(idle);
  ASSERT_TRUE(h.SetDocked(true));
  h.center().AutoReset();
  EXPECT_EQ(h.center().station_status(), STATION_STATUS_NORMAL) << "the robot is in position";
  ASSERT_TRUE(h.SetDocked(false));
  h.center().AutoReset();
  EXPECT_EQ(h.center().station_status(), STATION_STATUS_RESET);
  ASSERT_TRUE(Settled(h, STATION_STATUS_NORMAL));
  EXPECT_EQ(BoardResets(h), 1u);

  // The reset closed the work period: no second idle reset.
  AdvanceClockForTest(2 * idle);
  h.center().AutoReset();
  EXPECT_EQ(h.center().station_status(), STATION_STATUS_NORMAL);
  EXPECT_EQ(BoardResets(h), 1u);
}

TEST(StationLifecycleTest, ConnectionLossAndRobotLeaveResetOnceTheWorkIsGone) {
  StationHarness h;
  ASSERT_TRUE(h.Start());
  Scripts scripts;
  auto water = scripts.Use(TASK_TYPE_ADD_WATER);
  auto charge = scripts.Use(TASK_TYPE_MANUAL_CHARGE);
  ASSERT_EQ(h.Submit(TASK_TYPE_ADD_WATER, kStd).code, SRV_CODE_SUCCESS);
  ASSERT_EQ(h.Submit(TASK_TYPE_MANUAL_CHARGE, 0).code, SRV_CODE_SUCCESS);
  h.WithData([](StationTaskData& d) { d.add_water_finished = true; });
  h.sim().ClearReceivedCommands();

  EXPECT_EQ(h.Ask(SRV_CMD_CONNECTION_LOST), SRV_CODE_SUCCESS);
  EXPECT_EQ(h.center().station_status(), STATION_STATUS_RESET) << "at once";
  ASSERT_TRUE(WaitUntil([&] { return water->after_cancel.load() == 1; })) << "work stops at its next pass";
  // The manual charge goes on, and the waiter keeps waiting past its first checks (one a second).
  const int passes = charge->passes.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_GT(charge->passes.load(), passes);
  EXPECT_EQ(BoardResets(h), 0u);
  charge->end_after_passes = 0;
  ASSERT_TRUE(Settled(h, STATION_STATUS_NORMAL));
  EXPECT_EQ(h.Actions(), (Actions{{kBoardReset, 1}})) << "one reset; an empty tank needs no drain";
  h.WithData([](StationTaskData& d) { EXPECT_FALSE(d.add_water_finished || d.work_started) << "data reset"; });

  // A slow board keeps the reset task in the table long enough to ask again.
  h.sim().SetAckDelayMs(400);
  EXPECT_EQ(h.Ask(SRV_CMD_ROBOT_LEAVE), SRV_CODE_SUCCESS);
  EXPECT_EQ(h.Ask(SRV_CMD_ROBOT_LEAVE), SRV_CODE_STATION_RESET);
  ASSERT_TRUE(WaitUntil([&] { return h.Running(TASK_TYPE_RESET_STATION); }));
  EXPECT_EQ(h.Ask(SRV_CMD_ROBOT_LEAVE), SRV_CODE_BUSY);
  h.sim().SetAckDelayMs(0);
  ASSERT_TRUE(Settled(h, STATION_STATUS_NORMAL));
  EXPECT_EQ(BoardResets(h), 2u) << "one waiter, one reset";
}

TEST(StationLifecycleTest, FailedResetLeavesErrorUntilAResetSucceeds) {
  StationHarness h;
  ASSERT_TRUE(h.Start());
  h.sim().RefuseSupply(station::ENUM_SUPPLY_RESET_MCU, true);
  h.sim().ClearReceivedCommands();
  EXPECT_EQ(h.Ask(SRV_CMD_CONNECTION_LOST), SRV_CODE_SUCCESS);
  ASSERT_TRUE(Settled(h, STATION_STATUS_ERROR));
  EXPECT_EQ(h.Actions(), (Actions{{kBoardReset, 1}})) << "no DoReset after a failed reset";
  // Only a reset is admitted now.
  EXPECT_EQ(h.Submit(TASK_TYPE_DUST_COLLECT, kStd).code, SRV_CODE_STATION_ERROR);
  h.sim().RefuseSupply(station::ENUM_SUPPLY_RESET_MCU, false);
  EXPECT_EQ(h.Submit(TASK_TYPE_RESET_STATION, 0).code, SRV_CODE_SUCCESS);
  ASSERT_TRUE(Settled(h, STATION_STATUS_NORMAL));
}

}  // namespace
}  // namespace station_center
