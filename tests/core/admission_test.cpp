#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "config.h"
#include "core/station_harness.h"
#include "task/scripted_task.h"

namespace station_center {
namespace {

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
    for (int type = 1; type <= TASK_TYPE_RESET_STATION; ++type) {
      script_[type] = scripts_.Use(static_cast<TaskType>(type));
    }
    NewCenter();
  }
  void TearDown() override {
    StopCore();
    g_config = saved_config_;
  }
  void NewCenter() {
    StopCore();
    center_ = std::make_shared<StationCenter>();
    SetStatus(STATION_STATUS_NORMAL);
  }

  const Config saved_config_ = g_config;
  station_test::Scripts scripts_;
  std::shared_ptr<station_test::TaskScript> script_[TASK_TYPE_RESET_STATION + 1];
};

TEST_F(AdmissionTest, AnswersEachStatusTypeAndActionWithCodeTextAndErrorCode) {
  constexpr auto kOk = STATION_STATUS_NORMAL, kError = STATION_STATUS_ERROR, kWait = STATION_STATUS_WAIT_RESET;
  constexpr auto kWater = TASK_TYPE_ADD_WATER, kReset = TASK_TYPE_RESET_STATION, kAuto = TASK_TYPE_AUTO_CHARGE;
  constexpr auto kPrep = TASK_TYPE_DISINFECTANT_PREPARE, kPerfume = TASK_TYPE_PERFUME_LIQUID_PREPARE;
  constexpr auto kManual = TASK_TYPE_MANUAL_CHARGE;
  const std::vector<TaskType> kBusy = {kPrep, TASK_TYPE_DUST_COLLECT, TASK_TYPE_SEWAGE_DRAIN_PUMP, kAuto};
  constexpr auto kNone = common::ENUM_SUCCESS;
  // Status, running types, the request's type and action; the answer's code, text (for a conflict,
  // the running type named) and error code.
  const std::tuple<StationCenterStatus, std::vector<TaskType>, TaskType, int, int, std::string, common::EnumErrCode>
      rows[] = {
          {STATION_STATUS_EMERGENCY_STOP, {}, kWater, kStd, 4, "station in emergency stop status", kNone},
          {kError, {}, kWater, kStd, 3, "station in error status", kNone},
          {STATION_STATUS_RESET, {}, kWater, kStd, 21, "station in reset", kNone},
          {kWait, {}, TASK_TYPE_INVALID, kStd, 5, "task type is invalid", kNone},
          {STATION_STATUS_EMERGENCY_STOP, {}, kReset, 0, 0, "", kNone},  // a reset whatever the status
          {kOk, {kReset}, kReset, 0, 1, "action model illegal", kNone},
          {kOk, {}, kWater, 0, 1, "action model illegal", kNone},
          {kOk, {}, kPrep, 0, 0, "", kNone},  // preparations carry no action
          {kOk, {}, kWater, kStop, 8, "cancel task failed, because no task (task type : 5) running", kNone},
          {kOk, {}, TASK_TYPE_SENSOR, kStd, 1, "create new task failed, may be not memory", kNone},
          {kOk, {kWater}, kWater, 7, 1, "already exist task, upload task info failed", kNone},
          // Conflicts name the running type; one without an error code of its own answers unknown.
          {kOk, {kPerfume}, kPrep, kStd, 1, "3", common::ENUM_CONFLICT_WITH_PERFUME_LIQUEID_PREPARE},
          {kOk, {TASK_TYPE_ADD_WATER_NO_LIMIT}, TASK_TYPE_DRAIN_WATER, kStd, 1, "14", common::ENUM_ERROR_UNKNOW},
          {kOk, {kManual}, kAuto, kStd, 1, "12", common::ENUM_CONFLICT_WITH_MANUAL_CHARGE},
          // These start whatever runs.
          {kOk, kBusy, kManual, 0, 0, "", kNone},
          {kOk, kBusy, TASK_TYPE_UV_LAMP, kStd, 0, "", kNone},
      };
  for (const auto& [status, running, type, action, code, msg, err_code] : rows) {
    SCOPED_TRACE("type " + std::to_string(type) + " in status " + std::to_string(status));
    NewCenter();
    for (TaskType t : running) {
      EXPECT_EQ(Submit(t, kStd).code, SRV_CODE_SUCCESS) << "running type " << t;
    }
    SetStatus(status);  // tasks run only in the normal status
    const StationSrvRsp rsp = Submit(type, action, 9);
    const bool conflict = err_code != kNone;
    EXPECT_EQ(rsp.code, code);
    EXPECT_EQ(rsp.msg, conflict ? "pre check failed, have conflict task " + msg + " is running" : msg);
    EXPECT_EQ(rsp.err_code, err_code);
    EXPECT_TRUE(!conflict || !Running(type)) << "a refused task is not kept";
  }
}

TEST_F(AdmissionTest, RunningTaskIsUpdatedOrCancelledInPlace) {
  EXPECT_EQ(Ask(SRV_CMD_STATION_BUSY), SRV_CODE_IDLE);
  std::shared_ptr<Task> task = StartTask(TASK_TYPE_ADD_WATER, kStd, 30);
  EXPECT_EQ(Ask(SRV_CMD_STATION_BUSY), SRV_CODE_BUSY);
  EXPECT_EQ(Ask(SRV_CMD_ADD_WATER_FINISHED), SRV_CODE_ADDING_WATER);
  ASSERT_TRUE(WaitUntil([&] { return script_[TASK_TYPE_ADD_WATER]->passes.load() > 0; }));
  EXPECT_EQ(Submit(TASK_TYPE_ADD_WATER, 1, 5).code, SRV_CODE_TASK_UPDATED);
  EXPECT_EQ(task->max_seconds(), 5) << "the update carries the new duration";
  EXPECT_EQ(Submit(TASK_TYPE_ADD_WATER, kStop).code, SRV_CODE_SUCCESS);
  ASSERT_EQ(Finish(task), TASK_STATUS_CANCEL);
  EXPECT_EQ(script_[TASK_TYPE_ADD_WATER]->after_cancel.load(), 1);
}

TEST_F(AdmissionTest, ThrowingPassEndsTheTaskInErrorAndTheDriverSurvives) {
  script_[TASK_TYPE_UV_LAMP]->throw_in_pass = true;
  ASSERT_EQ(Finish(StartTask(TASK_TYPE_UV_LAMP, kStd)), TASK_STATUS_ERROR);
  EXPECT_EQ(script_[TASK_TYPE_UV_LAMP]->after_error.load(), 1);
}

TEST_F(AdmissionTest, CloudReplyReleasesConsumablesAndTheStationResetsOnceAllAreBack) {
  WithData([](StationTaskData& d) {
    d.tap_water_normal = d.dust_bag_replace_normal = false;
    d.abnormal_tasks[TASK_TYPE_ADD_WATER] = 1;
  });
  StationSrvReq reply;
  auto* consumables = reply.report_rsp.mutable_consumables_reply_state();  // tap water 0: back
  const auto tap_back = [](StationTaskData& d) { return d.tap_water_normal && !d.abnormal_tasks[TASK_TYPE_ADD_WATER]; };
  EXPECT_EQ(Ask(SRV_CMD_CLOUD_REPLY), SRV_CODE_SUCCESS);
  EXPECT_FALSE(WithData(tap_back)) << "a reply without consumables releases nothing";
  consumables->set_dust_bag(1);
  EXPECT_EQ(Ask(SRV_CMD_CLOUD_REPLY, reply), SRV_CODE_SUCCESS);
  EXPECT_TRUE(WithData(tap_back));
  EXPECT_EQ(center_->station_status(), STATION_STATUS_NORMAL) << "the dust bag is still due";
  consumables->set_dust_bag(0);
  EXPECT_EQ(Ask(SRV_CMD_CLOUD_REPLY, reply), SRV_CODE_SUCCESS);
  EXPECT_EQ(center_->station_status(), STATION_STATUS_WAIT_RESET);

  // Waiting for a reset, a task is admitted and cancelled before its first pass; with the
  // robot away and nothing else running, its removal resets the station.
  script_[TASK_TYPE_RESET_STATION]->end_after_passes = 1;
  ASSERT_EQ(Submit(TASK_TYPE_DUST_COLLECT, kStd).code, SRV_CODE_SUCCESS);
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
  auto writer = std::async(std::launch::async, [this] {
    for (int i = 0; i < 200; ++i) {
      SetStatus(i % 2 == 0 ? STATION_STATUS_WAIT_RESET : STATION_STATUS_NORMAL);
    }
  });
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(Ask(SRV_CMD_ROBOT_POSITION), SRV_CODE_ROBOT_IN_POSITION);
  }
}

}  // namespace
}  // namespace station_center
