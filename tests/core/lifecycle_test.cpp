#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "clock.h"
#include "core/station_harness.h"
#include "task/log_capture.h"
#include "task/scripted_task.h"

namespace station_center {
namespace {

using station_test::HarnessOptions;
using station_test::Logs;
using station_test::StationHarness;
using station_test::TaskScript;
using station_test::WaitUntil;
using Actions = std::vector<std::pair<int, int>>;

constexpr int kDrain = station::ENUM_SUPPLY_DRAINAGE_SWITCH;
constexpr int kBoardReset = station::ENUM_SUPPLY_RESET_MCU;
constexpr int kDust = station::ENUM_SUPPLY_COLLECT_DUST;
constexpr int kStop = vantorel_base_station_mqtt::ENUM_ACTION_STOP;
constexpr int kStandard = vantorel_base_station_mqtt::ENUM_ACTION_STANDARD;

// Scripted tasks for some types for the lifetime of a test.
class Scripts {
 public:
  std::shared_ptr<TaskScript> Use(TaskType type) {
    auto script = std::make_shared<TaskScript>();
    station_test::UseScriptedTask(type, script);
    types_.push_back(type);
    return script;
  }
  ~Scripts() {
    for (TaskType type : types_) {
      OverrideTaskClassForTest(type, nullptr);
    }
  }

 private:
  std::vector<TaskType> types_;
};

StationSrvReq Command(int cmd) {
  StationSrvReq req;
  req.cmd = cmd;
  return req;
}

void SetDocked(StationHarness& h, bool docked) {
  h.sim().Dock(docked);
  ASSERT_TRUE(h.WaitSensors(
      [docked](const station::SensorsDataRep& s) { return StationCenter::RobotInPosition(s) == docked; }));
}

void EmptyTank(StationHarness& h) {
  h.sim().SetTankVolume(0);
  ASSERT_TRUE(h.WaitSensors([](const station::SensorsDataRep& s) { return s.cleantankfootlevel() == 1; }));
}

bool WaitStatus(StationHarness& h, StationCenterStatus status) {
  return WaitUntil([&] { return h.center().station_status() == status && h.center().running_drivers() == 0; });
}

int BoardResets(StationHarness& h) { return static_cast<int>(h.Actions(kBoardReset).size()); }

TEST(StationLifecycleTest, StartUpResetsTheBoardThenDrainsTheTank) {
  Logs().Clear();
  StationHarness h;  // the simulated tank starts half full
  ASSERT_TRUE(h.Start());

  const Actions actions = h.Actions();
  ASSERT_GE(actions.size(), 3u);
  EXPECT_EQ(actions[0], std::make_pair(kBoardReset, 1)) << "the board is reset first";
  EXPECT_EQ(actions[1], std::make_pair(kDrain, 1));
  EXPECT_EQ(actions.back(), std::make_pair(kDrain, 0)) << "the drain ends closed";
  EXPECT_TRUE(Logs().Has("reset task result : 0, err_msg : "));
  EXPECT_TRUE(Logs().Has("reset station task success"));
  EXPECT_TRUE(Logs().Has("set station center status 2 to 0"));
}

TEST(StationLifecycleTest, ResetWithAnEmptyTankEndsAfterTheBoardReset) {
  StationHarness h;
  ASSERT_TRUE(h.Start());
  EmptyTank(h);
  h.sim().ClearReceivedCommands();
  h.WithData([](StationTaskData& d) {
    d.work_started = true;
    d.work_start_time = NowSeconds();
  });

  EXPECT_EQ(h.center().HandleService(Command(SRV_CMD_CONNECTION_LOST)).code, SRV_CODE_SUCCESS);
  EXPECT_EQ(h.center().station_status(), STATION_STATUS_RESET) << "status 2 at once";
  ASSERT_TRUE(WaitUntil([&] { return BoardResets(h) == 1; }));
  ASSERT_TRUE(WaitStatus(h, STATION_STATUS_NORMAL));
  ASSERT_TRUE(WaitUntil([&] { return h.center().running_waiters() == 0; }));

  EXPECT_EQ(h.Actions(), (Actions{{kBoardReset, 1}})) << "nothing to drain";
  EXPECT_FALSE(h.WithData([](StationTaskData& d) { return d.work_started; })) << "the work period ended";
}

TEST(StationLifecycleTest, TaskEndsOverInErrorOrCancelledWithItsHooks) {
  struct Row {
    const char* name;
    bool end_in_error;
    bool cancel_by_request;
    const char* log;
    Actions dust_actions;  // what the board saw from the task
    int resets, cancels, after_over, after_error, after_cancel;
  };
  const Row rows[] = {
      {"over", false, false, "task_type 6, over", {{kDust, 1}}, 0, 0, 1, 0, 0},
      // The error path switches off through DoReset.
      {"error", true, false, "task type 6, error, try do reset", {{kDust, 1}, {kDust, 0}}, 1, 0, 0, 1, 0},
      // Cancelled by request, then once more by the driver, which must be harmless.
      {"cancel", false, true, "task_type 6, cancel", {{kDust, 1}, {kDust, 0}, {kDust, 0}}, 0, 2, 0, 0, 1},
  };
  StationHarness h;  // docked: no reset after the task
  ASSERT_TRUE(h.Start());
  Scripts scripts;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Logs().Clear();
    auto script = scripts.Use(TASK_TYPE_DUST_COLLECT);
    script->supply_type = kDust;
    script->end_in_error = row.end_in_error;
    script->end_after_passes = row.cancel_by_request ? -1 : 3;
    h.sim().ClearReceivedCommands();

    ASSERT_EQ(h.Submit(TASK_TYPE_DUST_COLLECT, kStandard).code, SRV_CODE_SUCCESS);
    if (row.cancel_by_request) {
      ASSERT_TRUE(WaitUntil([&] { return script->passes.load() > 0; }));
      EXPECT_EQ(h.Submit(TASK_TYPE_DUST_COLLECT, kStop).code, SRV_CODE_SUCCESS);
    }
    ASSERT_TRUE(WaitUntil([&] { return !h.Running(TASK_TYPE_DUST_COLLECT) && h.center().running_drivers() == 0; }));

    EXPECT_TRUE(Logs().Has(row.log));
    EXPECT_EQ(Logs().Has("ErrorCode: 101900011, task id "), row.end_in_error);
    EXPECT_EQ(h.Actions(kDust), row.dust_actions);
    EXPECT_EQ(script->resets.load(), row.resets);
    EXPECT_EQ(script->cancels.load(), row.cancels);
    EXPECT_EQ(script->after_over.load(), row.after_over);
    EXPECT_EQ(script->after_error.load(), row.after_error);
    EXPECT_EQ(script->after_cancel.load(), row.after_cancel);
    EXPECT_EQ(BoardResets(h), 0) << "the robot is in position";
    EXPECT_EQ(h.center().station_status(), STATION_STATUS_NORMAL);
  }
}

TEST(StationLifecycleTest, LastTaskEndResetsOnlyWithTheRobotAwayAndAfterWork) {
  struct Row {
    TaskType type;
    bool docked;
    bool resets;
  };
  const Row rows[] = {
      {TASK_TYPE_DUST_COLLECT, true, false},
      {TASK_TYPE_DUST_COLLECT, false, true},
      // A prepared water, a manual charge and a reset leave the station as it is.
      {TASK_TYPE_DISINFECTANT_PREPARE, false, false},
      {TASK_TYPE_MANUAL_CHARGE, false, false},
  };
  StationHarness h;
  ASSERT_TRUE(h.Start());
  EmptyTank(h);
  Scripts scripts;
  for (const Row& row : rows) {
    SCOPED_TRACE("type " + std::to_string(row.type) + (row.docked ? " docked" : " away"));
    SetDocked(h, row.docked);
    auto script = scripts.Use(row.type);
    script->end_after_passes = 2;
    h.sim().ClearReceivedCommands();
    Logs().Clear();

    ASSERT_EQ(h.Submit(row.type, kStandard).code, SRV_CODE_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return script->after_over.load() == 1; }));
    ASSERT_TRUE(WaitStatus(h, STATION_STATUS_NORMAL));
    EXPECT_EQ(BoardResets(h), row.resets ? 1 : 0);
    EXPECT_EQ(Logs().Has("RemoveTaskUnlock, reset task result : 0, err_msg : "), row.resets);
    EXPECT_EQ(Logs().Has("set station center status 0 to 2"), row.resets);
  }
}

TEST(StationLifecycleTest, IdleResetFiresOnceAfterTheIdleTimeMovedByWaterReadyPolls) {
  const int64_t idle = 100000;  // the harness's auto_reset_time_space
  StationHarness h;
  ASSERT_TRUE(h.Start());
  EmptyTank(h);
  Scripts scripts;
  auto script = scripts.Use(TASK_TYPE_UV_LAMP);
  script->end_after_passes = 1;
  ASSERT_EQ(h.Submit(TASK_TYPE_UV_LAMP, kStandard).code, SRV_CODE_SUCCESS);
  ASSERT_TRUE(WaitUntil([&] { return script->after_over.load() == 1 && h.center().running_drivers() == 0; }));
  SetDocked(h, false);
  h.sim().ClearReceivedCommands();

  AdvanceClockForTest(idle - 100);
  h.center().AutoReset();
  EXPECT_EQ(h.center().station_status(), STATION_STATUS_NORMAL) << "not idle long enough";

  // The poll restarts the idle clock: 200 s later is long after the first task
  // but not after the poll.
  EXPECT_EQ(h.center().HandleService(Command(SRV_CMD_WATER_READY)).code, SRV_CODE_NOT_STARTED);
  AdvanceClockForTest(200);
  h.center().AutoReset();
  EXPECT_EQ(h.center().station_status(), STATION_STATUS_NORMAL);

  AdvanceClockForTest(idle);
  SetDocked(h, true);
  h.center().AutoReset();
  EXPECT_EQ(h.center().station_status(), STATION_STATUS_NORMAL) << "the robot is in position";

  SetDocked(h, false);
  Logs().Clear();
  h.center().AutoReset();
  EXPECT_EQ(h.center().station_status(), STATION_STATUS_RESET);
  EXPECT_TRUE(Logs().Has("AutoReset, reset task result : 0, err_msg : "));
  ASSERT_TRUE(WaitStatus(h, STATION_STATUS_NORMAL));
  EXPECT_EQ(BoardResets(h), 1);

  // The reset closed the work period: no second idle reset.
  AdvanceClockForTest(2 * idle);
  h.center().AutoReset();
  EXPECT_EQ(h.center().station_status(), STATION_STATUS_NORMAL);
  EXPECT_EQ(BoardResets(h), 1);
}

TEST(StationLifecycleTest, ConnectionLossCancelsWorkButWaitsForTheManualCharge) {
  StationHarness h;
  ASSERT_TRUE(h.Start());
  EmptyTank(h);
  Scripts scripts;
  auto water = scripts.Use(TASK_TYPE_ADD_WATER);
  auto charge = scripts.Use(TASK_TYPE_MANUAL_CHARGE);
  ASSERT_EQ(h.Submit(TASK_TYPE_ADD_WATER, kStandard).code, SRV_CODE_SUCCESS);
  ASSERT_EQ(h.Submit(TASK_TYPE_MANUAL_CHARGE, 0).code, SRV_CODE_SUCCESS);
  h.WithData([](StationTaskData& d) { d.add_water_finished = true; });
  h.sim().ClearReceivedCommands();

  EXPECT_EQ(h.center().HandleService(Command(SRV_CMD_CONNECTION_LOST)).code, SRV_CODE_SUCCESS);
  EXPECT_EQ(h.center().station_status(), STATION_STATUS_RESET);
  ASSERT_TRUE(WaitUntil([&] { return water->after_cancel.load() == 1; })) << "work stops at its next pass";

  // The charge goes on and the waiter keeps waiting past its first checks.
  const int passes = charge->passes.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_GT(charge->passes.load(), passes);
  EXPECT_EQ(BoardResets(h), 0);
  EXPECT_EQ(h.center().running_waiters(), 1);

  charge->end_after_passes = 0;
  ASSERT_TRUE(WaitUntil([&] { return BoardResets(h) == 1; }));
  ASSERT_TRUE(WaitStatus(h, STATION_STATUS_NORMAL));
  EXPECT_FALSE(h.WithData([](StationTaskData& d) { return d.add_water_finished; })) << "task data was reset";
}

TEST(StationLifecycleTest, RobotLeaveStartsOneResetAndIsRefusedWhileItRuns) {
  StationHarness h;
  ASSERT_TRUE(h.Start());
  EmptyTank(h);
  h.sim().ClearReceivedCommands();
  // A slow board keeps the reset task in the table long enough to ask again.
  h.sim().SetAckDelayMs(400);

  EXPECT_EQ(h.center().HandleService(Command(SRV_CMD_ROBOT_LEAVE)).code, SRV_CODE_SUCCESS);
  EXPECT_EQ(h.center().HandleService(Command(SRV_CMD_ROBOT_LEAVE)).code, SRV_CODE_STATION_RESET);
  ASSERT_TRUE(WaitUntil([&] { return h.Running(TASK_TYPE_RESET_STATION); }));
  EXPECT_EQ(h.center().HandleService(Command(SRV_CMD_ROBOT_LEAVE)).code, SRV_CODE_BUSY);

  h.sim().SetAckDelayMs(0);
  ASSERT_TRUE(WaitStatus(h, STATION_STATUS_NORMAL));
  ASSERT_TRUE(WaitUntil([&] { return h.center().running_waiters() == 0; }));
  EXPECT_EQ(BoardResets(h), 1) << "one waiter, one reset";
}

TEST(StationLifecycleTest, FailedResetLeavesErrorUntilAResetSucceeds) {
  StationHarness h;
  ASSERT_TRUE(h.Start());
  EmptyTank(h);
  h.sim().RefuseSupply(station::ENUM_SUPPLY_RESET_MCU, true);
  h.sim().ClearReceivedCommands();
  Logs().Clear();

  EXPECT_EQ(h.center().HandleService(Command(SRV_CMD_CONNECTION_LOST)).code, SRV_CODE_SUCCESS);
  ASSERT_TRUE(WaitStatus(h, STATION_STATUS_ERROR));
  ASSERT_TRUE(WaitUntil([&] { return h.center().running_waiters() == 0; }));
  EXPECT_TRUE(Logs().Has("ErrorCode: 101900058, reset station task failed, station center change status to error"));
  EXPECT_EQ(h.Actions(), (Actions{{kBoardReset, 1}})) << "no DoReset after a failed reset";

  // Only a reset is admitted now; the robot's work is refused.
  const StationSrvRsp refused = h.Submit(TASK_TYPE_DUST_COLLECT, kStandard);
  EXPECT_EQ(refused.code, SRV_CODE_STATION_ERROR);
  EXPECT_EQ(refused.msg, "station in error status");

  h.sim().RefuseSupply(station::ENUM_SUPPLY_RESET_MCU, false);
  EXPECT_EQ(h.Submit(TASK_TYPE_RESET_STATION, 0).code, SRV_CODE_SUCCESS);
  ASSERT_TRUE(WaitStatus(h, STATION_STATUS_NORMAL));
}

}  // namespace
}  // namespace station_center
