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

using station_test::Command;
using station_test::TaskRequest;
using station_test::WaitUntil;
namespace common = vantorel_base_station_common;

constexpr int kStop = vantorel_base_station_mqtt::ENUM_ACTION_STOP;
constexpr int kStd = vantorel_base_station_mqtt::ENUM_ACTION_STANDARD;

station::SensorsDataRep Docked() {
  station::SensorsDataRep data;
  data.set_robotdockdetleft(1);
  data.set_robotdockdetright(1);
  data.set_electrodeplatedet(1);
  return data;
}

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
  // Admits `running` in status 0, then answers `req` in `status` within one
  // hold of the task lock, so no driver pass sees the status first.
  StationSrvRsp AdmitWith(const std::vector<TaskType>& running, StationCenterStatus status, const StationSrvReq& req) {
    for (TaskType type : running) {
      EXPECT_EQ(Admit(TaskRequest(type, kStd)).code, SRV_CODE_SUCCESS) << "running type " << type;
    }
    std::lock_guard<std::mutex> lock(center_->task_mutex());
    center_->SetStationCenterStatus(status);
    return center_->ReceiveTaskUnlock(req);
  }
  int64_t WorkStart() {
    return WithData([](StationTaskData& d) { return d.work_start_time; });
  }

  const Config saved_config_ = g_config;
  std::unique_ptr<station_test::Scripts> scripts_;
  std::shared_ptr<station_test::TaskScript> script_[TASK_TYPE_RESET_STATION + 1];
};

TEST_F(AdmissionTest, AnswersEachStatusTypeAndActionWithCodeTextAndErrorCode) {
  constexpr auto kOk = STATION_STATUS_NORMAL, kError = STATION_STATUS_ERROR, kWait = STATION_STATUS_WAIT_RESET;
  constexpr auto kPrep = TASK_TYPE_DISINFECTANT_PREPARE, kClean = TASK_TYPE_CLEAN_LIQUID_PREPARE;
  constexpr auto kPerfume = TASK_TYPE_PERFUME_LIQUID_PREPARE, kDrain = TASK_TYPE_DRAIN_WATER;
  constexpr auto kWater = TASK_TYPE_ADD_WATER, kDust = TASK_TYPE_DUST_COLLECT, kSpray = TASK_TYPE_WATER_SPRAY;
  constexpr auto kSewage = TASK_TYPE_SEWAGE_DRAIN_PUMP, kDry = TASK_TYPE_DRY, kWire = TASK_TYPE_HEAT_WIRE;
  constexpr auto kAuto = TASK_TYPE_AUTO_CHARGE, kManual = TASK_TYPE_MANUAL_CHARGE, kReset = TASK_TYPE_RESET_STATION;
  const std::string kIllegal = "action model illegal";
  const std::vector<TaskType> kBusy = {kPrep, kDust, kSewage, kAuto};
  struct Row {
    StationCenterStatus status;
    std::vector<TaskType> running;
    TaskType type;
    int action;
    int32_t code;
    std::string msg;  // for a conflict, the running type named
    common::EnumErrCode err_code = common::ENUM_SUCCESS;
  };
  const Row rows[] = {
      {STATION_STATUS_EMERGENCY_STOP, {}, kWater, kStd, 4, "station in emergency stop status"},
      {kError, {}, kWater, kStd, 3, "station in error status"},
      {STATION_STATUS_RESET, {}, kWater, kStd, 21, "station in reset"},
      {kError, {}, TASK_TYPE_INVALID, kStd, 3, "station in error status"},  // the status answers first
      {kWait, {}, TASK_TYPE_INVALID, kStd, 5, "task type is invalid"},
      {STATION_STATUS_EMERGENCY_STOP, {}, kReset, 0, 0, ""},  // a reset whatever the status
      {kOk, {kReset}, kReset, 0, 1, kIllegal},
      {kOk, {}, kWater, 0, 1, kIllegal},
      {kOk, {}, kPrep, 0, 0, ""},  // preparations and manual charges carry no action
      {kOk, {}, kManual, 0, 0, ""},
      {kOk, {}, kWater, kStop, 8, "cancel task failed, because no task (task type : 5) running"},
      {kOk, {}, kWater, 5, 0, ""},  // an unknown action still starts a task
      {kOk, {}, TASK_TYPE_SENSOR, kStd, 1, "create new task failed, may be not memory"},
      {kOk, {kWater}, kWater, 0, 1, kIllegal},
      {kOk, {kWater}, kWater, 3, 6, "already exist task, upload task info success"},
      {kOk, {kWater}, kWater, 7, 1, "already exist task, upload task info failed"},
      {kWait, {}, kDust, kStd, 0, ""},  // admitted, then cancelled by its driver
      // Conflicts: one pair per type that has any, every error code once.
      {kOk, {kPerfume}, kPrep, kStd, 1, "3", common::ENUM_CONFLICT_WITH_PERFUME_LIQUEID_PREPARE},
      {kOk, {kPrep}, kClean, kStd, 1, "1", common::ENUM_CONFLICT_WITH_DISINFECTANT_PREPARE},
      {kOk, {kClean}, kPerfume, kStd, 1, "2", common::ENUM_CONFLICT_WITH_CLEAN_LIQUEID_PREPARE},
      {kOk, {TASK_TYPE_ADD_WATER_NO_LIMIT}, kDrain, kStd, 1, "14", common::ENUM_ERROR_UNKNOW},
      {kOk, {kWater}, kDrain, kStd, 1, "5", common::ENUM_CONFLICT_WITH_ADD_WATER},
      {kOk, {kDrain}, kWater, kStd, 1, "4", common::ENUM_CONFLICT_WITH_DRAIN_WATER},
      {kOk, {kSewage}, kDust, kStd, 1, "8", common::ENUM_CONFLICT_WITH_SEWAGE_DRAIN},
      {kOk, {kDust}, kSpray, kStd, 1, "6", common::ENUM_CONFLICT_WITH_DUST_COLLECTION},
      {kOk, {kDry}, kSewage, kStd, 1, "9", common::ENUM_CONFLICT_WITH_DRY_FAN},
      {kOk, {kWire}, kSewage, kStd, 1, "10", common::ENUM_CONFLICT_WITH_HEAT_WIRE},
      {kOk, {kSpray}, kDry, kStd, 1, "7", common::ENUM_CONFLICT_WITH_WATER_SPRAY},
      {kOk, {kAuto}, kWire, kStd, 1, "11", common::ENUM_CONFLICT_WITH_AUTO_CHARGE},
      {kOk, {kManual}, kAuto, kStd, 1, "12", common::ENUM_CONFLICT_WITH_MANUAL_CHARGE},
      {kOk, {kAuto}, TASK_TYPE_ULTRASONIC_WASH, kStd, 1, "11", common::ENUM_CONFLICT_WITH_AUTO_CHARGE},
      // These start whatever runs.
      {kOk, kBusy, kManual, 0, 0, ""},
      {kOk, kBusy, TASK_TYPE_UV_LAMP, kStd, 0, ""},
      {kOk, kBusy, TASK_TYPE_ADD_WATER_NO_LIMIT, kStd, 0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("type " + std::to_string(row.type) + " in status " + std::to_string(row.status));
    NewCenter();
    const StationSrvRsp rsp = AdmitWith(row.running, row.status, TaskRequest(row.type, row.action, 9));
    const bool conflict = row.err_code != common::ENUM_SUCCESS;
    EXPECT_EQ(rsp.code, row.code);
    EXPECT_EQ(rsp.msg, conflict ? "pre check failed, have conflict task " + row.msg + " is running" : row.msg);
    EXPECT_EQ(rsp.err_code, row.err_code);
    EXPECT_TRUE(!conflict || !Running(row.type)) << "a refused task is not kept";
  }
}

TEST_F(AdmissionTest, RunningTaskIsUpdatedOrCancelledInPlace) {
  ASSERT_EQ(Admit(TaskRequest(TASK_TYPE_ADD_WATER, kStd, 30)).code, SRV_CODE_SUCCESS);
  std::shared_ptr<Task> task = Find(TASK_TYPE_ADD_WATER);
  ASSERT_TRUE(WaitUntil([&] { return script_[TASK_TYPE_ADD_WATER]->passes.load() > 0; }));
  EXPECT_EQ(Admit(TaskRequest(TASK_TYPE_ADD_WATER, 1, 5)).code, SRV_CODE_TASK_UPDATED);
  EXPECT_EQ(task->max_seconds(), 5) << "the update carries the new duration";
  const StationSrvRsp cancel = Admit(TaskRequest(TASK_TYPE_ADD_WATER, kStop));
  EXPECT_EQ(cancel.code, SRV_CODE_SUCCESS);
  EXPECT_EQ(cancel.msg, "cancel task id : " + std::to_string(task->task_id()) + ",task type : 5");
  ASSERT_TRUE(Removed(TASK_TYPE_ADD_WATER));

  SetStatus(STATION_STATUS_NORMAL);  // the removal started a reset, which a scripted one never ends
  script_[TASK_TYPE_ADD_WATER]->cancel_ok = false;
  task = StartTask(TASK_TYPE_ADD_WATER, kStd);
  {
    std::lock_guard<std::mutex> lock(center_->task_mutex());
    const StationSrvRsp refused = center_->ReceiveTaskUnlock(TaskRequest(TASK_TYPE_ADD_WATER, kStop));
    EXPECT_EQ(refused.msg, "cancel task id : " + std::to_string(task->task_id()) + ",task type : 5, failed");
    EXPECT_EQ(task->status(), TASK_STATUS_ERROR) << "a failed cancel ends the task in error";
    EXPECT_EQ(center_->tasks().count(TASK_TYPE_ADD_WATER), 1u) << "removal is the driver's job";
  }
  ASSERT_TRUE(Removed(TASK_TYPE_ADD_WATER));
  EXPECT_EQ(script_[TASK_TYPE_ADD_WATER]->resets.load(), 1) << "switched off through DoReset";
}

TEST_F(AdmissionTest, WaitingForResetAdmitsThenCancelsAtTheFirstPassAndResets) {
  script_[TASK_TYPE_RESET_STATION]->end_after_passes = 1;
  SetStatus(STATION_STATUS_WAIT_RESET);
  ASSERT_EQ(Admit(TaskRequest(TASK_TYPE_DUST_COLLECT, kStd)).code, SRV_CODE_SUCCESS);
  ASSERT_TRUE(WaitUntil([&] { return script_[TASK_TYPE_DUST_COLLECT]->after_cancel.load() == 1; }));
  EXPECT_EQ(script_[TASK_TYPE_DUST_COLLECT]->passes.load(), 0) << "cancelled before any pass";
  // The robot is away and nothing else runs: the removal resets the station.
  ASSERT_TRUE(WaitUntil([&] { return script_[TASK_TYPE_RESET_STATION]->after_over.load() == 1; }));
  EXPECT_EQ(center_->station_status(), STATION_STATUS_NORMAL);
}

TEST_F(AdmissionTest, FirstWorkTaskStartsTheWorkPeriodButChargeAndResetDoNot) {
  for (TaskType type : {TASK_TYPE_MANUAL_CHARGE, TASK_TYPE_RESET_STATION}) {
    ASSERT_EQ(Admit(TaskRequest(type, kStd)).code, SRV_CODE_SUCCESS);
    EXPECT_EQ(WorkStart(), -1) << type;
    NewCenter();
  }
  ASSERT_EQ(Admit(TaskRequest(TASK_TYPE_UV_LAMP, kStd)).code, SRV_CODE_SUCCESS);
  const int64_t started = WorkStart();
  EXPECT_GE(started, NowSeconds() - 1);
  AdvanceClockForTest(100);
  ASSERT_EQ(Admit(TaskRequest(TASK_TYPE_DUST_COLLECT, kStd)).code, SRV_CODE_SUCCESS);
  EXPECT_EQ(WorkStart(), started) << "a second task joins the period";
}

TEST_F(AdmissionTest, StateQuestionsAnswerFromStatusTasksAndData) {
  for (int cmd : {4, 9, -1}) {
    EXPECT_EQ(Ask(cmd), SRV_CODE_UNSUPPORTED_CMD) << cmd;
  }
  EXPECT_EQ(Ask(SRV_CMD_ROBOT_POSITION), SRV_CODE_ROBOT_NOT_IN_POSITION);
  station::SensorsDataRep docked = Docked();
  center_->DataUploadCallback(docked);
  EXPECT_EQ(Ask(SRV_CMD_ROBOT_POSITION), SRV_CODE_ROBOT_IN_POSITION);
  EXPECT_EQ(Ask(SRV_CMD_ADD_WATER_FINISHED), SRV_CODE_NOT_STARTED);
  EXPECT_EQ(Ask(SRV_CMD_WATER_READY), SRV_CODE_NOT_STARTED);
  EXPECT_EQ(Ask(SRV_CMD_STATION_BUSY), SRV_CODE_IDLE);
  ASSERT_EQ(Admit(TaskRequest(TASK_TYPE_ADD_WATER, kStd)).code, SRV_CODE_SUCCESS);
  EXPECT_EQ(Ask(SRV_CMD_ADD_WATER_FINISHED), SRV_CODE_ADDING_WATER);
  EXPECT_EQ(Ask(SRV_CMD_STATION_BUSY), SRV_CODE_BUSY);
  NewCenter();
  ASSERT_EQ(Admit(TaskRequest(TASK_TYPE_DISINFECTANT_PREPARE, 0)).code, SRV_CODE_SUCCESS);
  EXPECT_EQ(Ask(SRV_CMD_WATER_READY), SRV_CODE_DISINFECTANT_PREPARING);
  WithData([](StationTaskData& d) { d.disinfectant_water_ready = d.add_water_finished = true; });
  EXPECT_EQ(Ask(SRV_CMD_WATER_READY), SRV_CODE_WATER_READY);
  EXPECT_EQ(Ask(SRV_CMD_ADD_WATER_FINISHED), SRV_CODE_ADD_WATER_FINISHED);
  SetStatus(STATION_STATUS_EMERGENCY_STOP);  // answers first, for every question
  for (int cmd : {SRV_CMD_ROBOT_POSITION, SRV_CMD_ADD_WATER_FINISHED, SRV_CMD_WATER_READY, SRV_CMD_ROBOT_LEAVE}) {
    EXPECT_EQ(Ask(cmd), SRV_CODE_EMERGENCY_STOP) << cmd;
  }
}

TEST_F(AdmissionTest, CloudReplyReleasesConsumablesAndWaitsForResetWhenAllAreBack) {
  WithData([](StationTaskData& d) {
    d.tap_water_normal = d.dust_bag_replace_normal = false;
    d.abnormal_tasks[TASK_TYPE_ADD_WATER] = 1;
  });
  auto reply = [](int bag) {
    StationSrvReq req = Command(SRV_CMD_CLOUD_REPLY);
    req.report_rsp.mutable_consumables_reply_state()->set_dust_bag(bag);  // tap water 0: back
    return req;
  };
  auto tap_back = [this] {
    return WithData([](StationTaskData& d) { return d.tap_water_normal && !d.abnormal_tasks[TASK_TYPE_ADD_WATER]; });
  };
  EXPECT_EQ(Ask(SRV_CMD_CLOUD_REPLY), SRV_CODE_SUCCESS);
  EXPECT_FALSE(tap_back()) << "a reply without consumables releases nothing";
  EXPECT_EQ(center_->HandleService(reply(1)).code, SRV_CODE_SUCCESS);
  EXPECT_TRUE(tap_back());
  EXPECT_EQ(center_->station_status(), STATION_STATUS_NORMAL) << "the dust bag is still due";
  EXPECT_EQ(center_->HandleService(reply(0)).code, SRV_CODE_SUCCESS);
  EXPECT_EQ(center_->station_status(), STATION_STATUS_WAIT_RESET);
}

TEST_F(AdmissionTest, ThrowingPassEndsTheTaskInErrorAndTheDriverSurvives) {
  script_[TASK_TYPE_UV_LAMP]->throw_in_pass = true;
  ASSERT_EQ(Admit(TaskRequest(TASK_TYPE_UV_LAMP, kStd)).code, SRV_CODE_SUCCESS);
  ASSERT_TRUE(Removed(TASK_TYPE_UV_LAMP));
  EXPECT_EQ(script_[TASK_TYPE_UV_LAMP]->after_error.load(), 1);
  EXPECT_EQ(script_[TASK_TYPE_UV_LAMP]->resets.load(), 1) << "switched off like any failed task";
}

TEST_F(AdmissionTest, PositionCheckNeverWaitsForTheTaskLockAndReadsStatusSafely) {
  station::SensorsDataRep docked = Docked();
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
