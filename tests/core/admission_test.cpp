#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "clock.h"
#include "config.h"
#include "core/station_harness.h"
#include "task/scripted_task.h"

namespace station_center {
namespace {

using station_test::TaskRequest;
using station_test::WaitUntil;
namespace common = vantorel_base_station_common;

constexpr int kStop = vantorel_base_station_mqtt::ENUM_ACTION_STOP;
constexpr int kStd = vantorel_base_station_mqtt::ENUM_ACTION_STANDARD;

// A station core without a board, every task type played by a scripted task
// that runs until stopped.
class AdmissionTest : public ::testing::Test, protected station_test::CoreAccess {
 protected:
  void SetUp() override {
    g_config.running_schedule_space = 20;
    NewCenter();
  }
  void TearDown() override {
    StopCore();
    g_config = saved_config_;
    ResetClockForTest();
  }
  void NewCenter() {
    StopCore();
    scripts_ = std::make_unique<station_test::Scripts>();
    for (int type = 1; type <= TASK_TYPE_RESET_STATION; ++type) {
      script_[type] = scripts_->Use(static_cast<TaskType>(type));
    }
    center_ = std::make_shared<StationCenter>();
    SetStatus(STATION_STATUS_NORMAL);
  }

  const Config saved_config_ = g_config;
  std::unique_ptr<station_test::Scripts> scripts_;
  std::shared_ptr<station_test::TaskScript> script_[TASK_TYPE_RESET_STATION + 1];
};

TEST_F(AdmissionTest, AnswersEachStatusTypeAndActionWithCodeTextAndErrorCode) {
  constexpr auto kOk = STATION_STATUS_NORMAL, kError = STATION_STATUS_ERROR, kWait = STATION_STATUS_WAIT_RESET;
  constexpr auto kWater = TASK_TYPE_ADD_WATER, kReset = TASK_TYPE_RESET_STATION, kAuto = TASK_TYPE_AUTO_CHARGE;
  constexpr auto kPrep = TASK_TYPE_DISINFECTANT_PREPARE, kPerfume = TASK_TYPE_PERFUME_LIQUID_PREPARE;
  constexpr auto kManual = TASK_TYPE_MANUAL_CHARGE;
  const std::vector<TaskType> kBusy = {kPrep, TASK_TYPE_DUST_COLLECT, TASK_TYPE_SEWAGE_DRAIN_PUMP, kAuto};
  struct Row {
    StationCenterStatus status;
    std::vector<TaskType> running;
    TaskType type;
    int action, code;
    std::string msg;  // for a conflict, the running type named
    common::EnumErrCode err_code = common::ENUM_SUCCESS;
  };
  const Row rows[] = {
      {STATION_STATUS_EMERGENCY_STOP, {}, kWater, kStd, 4, "station in emergency stop status"},
      {kError, {}, kWater, kStd, 3, "station in error status"},
      {STATION_STATUS_RESET, {}, kWater, kStd, 21, "station in reset"},
      {kWait, {}, TASK_TYPE_INVALID, kStd, 5, "task type is invalid"},
      {STATION_STATUS_EMERGENCY_STOP, {}, kReset, 0, 0, ""},  // a reset whatever the status
      {kOk, {kReset}, kReset, 0, 1, "action model illegal"},
      {kOk, {}, kWater, 0, 1, "action model illegal"},
      {kOk, {}, kPrep, 0, 0, ""},  // preparations carry no action
      {kOk, {}, kWater, kStop, 8, "cancel task failed, because no task (task type : 5) running"},
      {kOk, {}, TASK_TYPE_SENSOR, kStd, 1, "create new task failed, may be not memory"},
      {kOk, {kWater}, kWater, 3, 6, "already exist task, upload task info success"},
      {kOk, {kWater}, kWater, 7, 1, "already exist task, upload task info failed"},
      // Conflicts name the running type; one without an error code of its own answers unknown.
      {kOk, {kPerfume}, kPrep, kStd, 1, "3", common::ENUM_CONFLICT_WITH_PERFUME_LIQUEID_PREPARE},
      {kOk, {TASK_TYPE_ADD_WATER_NO_LIMIT}, TASK_TYPE_DRAIN_WATER, kStd, 1, "14", common::ENUM_ERROR_UNKNOW},
      {kOk, {kManual}, kAuto, kStd, 1, "12", common::ENUM_CONFLICT_WITH_MANUAL_CHARGE},
      // These start whatever runs.
      {kOk, kBusy, kManual, 0, 0, ""},
      {kOk, kBusy, TASK_TYPE_UV_LAMP, kStd, 0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("type " + std::to_string(row.type) + " in status " + std::to_string(row.status));
    NewCenter();
    for (TaskType type : row.running) {
      EXPECT_EQ(Admit(TaskRequest(type, kStd)).code, SRV_CODE_SUCCESS) << "running type " << type;
    }
    StationSrvRsp rsp;
    {
      // Status and request within one hold of the task lock, so no driver pass sees the status first.
      std::lock_guard<std::mutex> lock(center_->task_mutex());
      center_->SetStationCenterStatus(row.status);
      rsp = center_->ReceiveTaskUnlock(TaskRequest(row.type, row.action, 9));
    }
    const bool conflict = row.err_code != common::ENUM_SUCCESS;
    EXPECT_EQ(rsp.code, row.code);
    EXPECT_EQ(rsp.msg, conflict ? "pre check failed, have conflict task " + row.msg + " is running" : row.msg);
    EXPECT_EQ(rsp.err_code, row.err_code);
    EXPECT_TRUE(!conflict || !Running(row.type)) << "a refused task is not kept";
  }
}

TEST_F(AdmissionTest, RunningTaskIsUpdatedOrCancelledInPlace) {
  EXPECT_EQ(Ask(SRV_CMD_STATION_BUSY), SRV_CODE_IDLE);
  std::shared_ptr<Task> task = StartTask(TASK_TYPE_ADD_WATER, kStd, 30);
  EXPECT_EQ(Ask(SRV_CMD_STATION_BUSY), SRV_CODE_BUSY);
  EXPECT_EQ(Ask(SRV_CMD_ADD_WATER_FINISHED), SRV_CODE_ADDING_WATER);
  ASSERT_TRUE(WaitUntil([&] { return script_[TASK_TYPE_ADD_WATER]->passes.load() > 0; }));
  EXPECT_EQ(Admit(TaskRequest(TASK_TYPE_ADD_WATER, 1, 5)).code, SRV_CODE_TASK_UPDATED);
  EXPECT_EQ(task->max_seconds(), 5) << "the update carries the new duration";
  const StationSrvRsp cancel = Admit(TaskRequest(TASK_TYPE_ADD_WATER, kStop));
  EXPECT_EQ(cancel.msg, "cancel task id : " + std::to_string(task->task_id()) + ",task type : 5");
  ASSERT_TRUE(Removed(TASK_TYPE_ADD_WATER));
  EXPECT_EQ(script_[TASK_TYPE_ADD_WATER]->after_cancel.load(), 1);
}

TEST_F(AdmissionTest, ThrowingPassEndsTheTaskInErrorAndTheDriverSurvives) {
  script_[TASK_TYPE_UV_LAMP]->throw_in_pass = true;
  ASSERT_EQ(Admit(TaskRequest(TASK_TYPE_UV_LAMP, kStd)).code, SRV_CODE_SUCCESS);
  ASSERT_TRUE(Removed(TASK_TYPE_UV_LAMP));
  EXPECT_EQ(script_[TASK_TYPE_UV_LAMP]->after_error.load(), 1);
  EXPECT_EQ(script_[TASK_TYPE_UV_LAMP]->resets.load(), 1) << "switched off like any failed task";
}

TEST_F(AdmissionTest, CloudReplyReleasesConsumablesAndTheStationResetsOnceAllAreBack) {
  WithData([](StationTaskData& d) {
    d.tap_water_normal = d.dust_bag_replace_normal = false;
    d.abnormal_tasks[TASK_TYPE_ADD_WATER] = 1;
  });
  auto reply = [this](int bag) {
    StationSrvReq req;
    req.report_rsp.mutable_consumables_reply_state()->set_dust_bag(bag);  // tap water 0: back
    return Ask(SRV_CMD_CLOUD_REPLY, req);
  };
  auto tap_back = [this] {
    return WithData([](StationTaskData& d) { return d.tap_water_normal && !d.abnormal_tasks[TASK_TYPE_ADD_WATER]; });
  };
  EXPECT_EQ(Ask(SRV_CMD_CLOUD_REPLY), SRV_CODE_SUCCESS);
  EXPECT_FALSE(tap_back()) << "a reply without consumables releases nothing";
  EXPECT_EQ(reply(1), SRV_CODE_SUCCESS);
  EXPECT_TRUE(tap_back());
  EXPECT_EQ(center_->station_status(), STATION_STATUS_NORMAL) << "the dust bag is still due";
  EXPECT_EQ(reply(0), SRV_CODE_SUCCESS);
  EXPECT_EQ(center_->station_status(), STATION_STATUS_WAIT_RESET);

  // Waiting for a reset, a task is admitted and cancelled before its first pass; with the
  // robot away and nothing else running, its removal resets the station.
  script_[TASK_TYPE_RESET_STATION]->end_after_passes = 1;
  ASSERT_EQ(Admit(TaskRequest(TASK_TYPE_DUST_COLLECT, kStd)).code, SRV_CODE_SUCCESS);
  ASSERT_TRUE(WaitUntil([&] { return script_[TASK_TYPE_RESET_STATION]->after_over.load() == 1; }));
  EXPECT_EQ(script_[TASK_TYPE_DUST_COLLECT]->after_cancel.load(), 1);
  EXPECT_EQ(script_[TASK_TYPE_DUST_COLLECT]->passes.load(), 0);
  EXPECT_EQ(center_->station_status(), STATION_STATUS_NORMAL);
}

TEST_F(AdmissionTest, PositionCheckNeverWaitsForTheTaskLockAndReadsStatusSafely) {
  EXPECT_EQ(Ask(SRV_CMD_ROBOT_POSITION), SRV_CODE_ROBOT_NOT_IN_POSITION);
  station::SensorsDataRep docked;
  docked.set_robotdockdetleft(1);
  docked.set_robotdockdetright(1);
  docked.set_electrodeplatedet(1);
  center_->DataUploadCallback(docked);
  {
    // A task pass waiting on the board holds the task lock; the robot's poll is still answered.
    std::lock_guard<std::mutex> lock(center_->task_mutex());
    auto answer = std::async(std::launch::async, [this] { return Ask(SRV_CMD_ROBOT_POSITION); });
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(answer.get(), SRV_CODE_ROBOT_IN_POSITION);
  }
  // Status changes racing with position polls (a race detector run checks the read).
  std::thread writer([&] {
    for (int i = 0; i < 200; ++i) {
      SetStatus(i % 2 == 0 ? STATION_STATUS_WAIT_RESET : STATION_STATUS_NORMAL);
    }
  });
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(Ask(SRV_CMD_ROBOT_POSITION), SRV_CODE_ROBOT_IN_POSITION);
  }
  writer.join();
}

}  // namespace
}  // namespace station_center
