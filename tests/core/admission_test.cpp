#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "clock.h"
#include "config.h"
#include "station_center.h"
#include "support/test_support.h"
#include "task/log_capture.h"
#include "task/scripted_task.h"

namespace station_center {
namespace {

using station_test::Logs;
using station_test::TaskScript;
using station_test::WaitUntil;
namespace common = vantorel_base_station_common;

constexpr int kStop = vantorel_base_station_mqtt::ENUM_ACTION_STOP;
constexpr int kStandard = vantorel_base_station_mqtt::ENUM_ACTION_STANDARD;

StationSrvReq TaskRequest(TaskType type, int action, int duration = 0) {
  StationSrvReq req;
  req.cmd = SRV_CMD_TASK;
  req.task_type = type;
  if (type == TASK_TYPE_DISINFECTANT_PREPARE) {
    req.prepare_disinfectant_req.mutable_cmd()->mutable_action_cmd()->set_action(
        static_cast<vantorel_base_station_mqtt::EnumActionModel>(action));
  } else {
    req.supply_material_req.mutable_cmd()->set_action(static_cast<vantorel_base_station_mqtt::EnumActionModel>(action));
    req.supply_material_req.mutable_cmd()->set_duration(duration);
  }
  return req;
}

StationSrvReq Command(int cmd) {
  StationSrvReq req;
  req.cmd = cmd;
  return req;
}

station::SensorsDataRep Docked(bool docked) {
  station::SensorsDataRep data;
  data.set_robotdockdetleft(docked ? 1 : 0);
  data.set_robotdockdetright(1);
  data.set_electrodeplatedet(docked ? 1 : 0);
  return data;
}

// A station core without a board, every task type played by a scripted task
// that runs until stopped; the core is stopped (status 3, which cancels without
// resetting) and its drivers awaited after each case.
class AdmissionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Logs();
    g_config.running_schedule_space = 20;
    g_config.auto_reset_time_space = 300;
    ResetClockForTest();
    NewCenter(STATION_STATUS_NORMAL);
  }

  void TearDown() override {
    StopCenter();
    for (int type = 1; type <= TASK_TYPE_RESET_STATION; ++type) {
      OverrideTaskClassForTest(static_cast<TaskType>(type), nullptr);
    }
    ResetClockForTest();
  }

  // A fresh core with fresh scripts.
  void NewCenter(StationCenterStatus status) {
    StopCenter();
    for (int type = 1; type <= TASK_TYPE_RESET_STATION; ++type) {
      scripts_[type] = std::make_shared<TaskScript>();
      station_test::UseScriptedTask(static_cast<TaskType>(type), scripts_[type]);
    }
    // The automatic reset that may follow a removal ends at once.
    scripts_[TASK_TYPE_RESET_STATION]->end_after_passes = 1;
    center_ = std::make_shared<StationCenter>();
    SetStatus(status);
  }

  void StopCenter() {
    if (!center_) {
      return;
    }
    SetStatus(STATION_STATUS_EMERGENCY_STOP);
    ASSERT_TRUE(WaitUntil([this] { return center_->running_drivers() == 0 && center_->running_waiters() == 0; }));
    center_.reset();
  }

  void SetStatus(StationCenterStatus status) {
    std::lock_guard<std::mutex> lock(center_->task_mutex());
    center_->SetStationCenterStatus(status);
  }

  StationSrvRsp Admit(const StationSrvReq& req) {
    std::lock_guard<std::mutex> lock(center_->task_mutex());
    return center_->ReceiveTaskUnlock(req);
  }

  // Puts `types` into the running table through normal admission in status 0,
  // then switches to `status` and answers `req` within one hold of the task
  // lock, so no driver pass sees the new status before the answer.
  StationSrvRsp AdmitWith(const std::vector<TaskType>& running, StationCenterStatus status, const StationSrvReq& req) {
    for (TaskType type : running) {
      const StationSrvRsp rsp = Admit(TaskRequest(type, kStandard, 0));
      EXPECT_EQ(rsp.code, SRV_CODE_SUCCESS) << "setting up running type " << type << ": " << rsp.msg;
    }
    std::lock_guard<std::mutex> lock(center_->task_mutex());
    center_->SetStationCenterStatus(status);
    return center_->ReceiveTaskUnlock(req);
  }

  std::shared_ptr<Task> Running(TaskType type) {
    std::lock_guard<std::mutex> lock(center_->task_mutex());
    auto it = center_->tasks().find(type);
    return it == center_->tasks().end() ? nullptr : it->second;
  }

  std::shared_ptr<TaskScript> scripts_[TASK_TYPE_RESET_STATION + 1];
  std::shared_ptr<StationCenter> center_;
};

TEST_F(AdmissionTest, AnswersEveryStatusTypeAndActionWithItsCodeAndText) {
  struct Row {
    const char* name;
    StationCenterStatus status;
    std::vector<TaskType> running;
    TaskType type;
    int action;
    int32_t code;
    std::string msg;
    common::EnumErrCode err_code;
  };
  const std::string no_task = "cancel task failed, because no task (task type : ";
  const std::vector<Row> rows = {
      {"emergency stop",
       STATION_STATUS_EMERGENCY_STOP,
       {},
       TASK_TYPE_ADD_WATER,
       kStandard,
       4,
       "station in emergency stop status",
       common::ENUM_SUCCESS},
      {"error",
       STATION_STATUS_ERROR,
       {},
       TASK_TYPE_ADD_WATER,
       kStandard,
       3,
       "station in error status",
       common::ENUM_SUCCESS},
      {"reset", STATION_STATUS_RESET, {}, TASK_TYPE_ADD_WATER, kStandard, 21, "station in reset", common::ENUM_SUCCESS},
      {"invalid type in error: status first",
       STATION_STATUS_ERROR,
       {},
       TASK_TYPE_INVALID,
       kStandard,
       3,
       "station in error status",
       common::ENUM_SUCCESS},
      {"invalid type",
       STATION_STATUS_NORMAL,
       {},
       TASK_TYPE_INVALID,
       kStandard,
       5,
       "task type is invalid",
       common::ENUM_SUCCESS},
      {"invalid type waiting for reset",
       STATION_STATUS_WAIT_RESET,
       {},
       TASK_TYPE_INVALID,
       kStandard,
       5,
       "task type is invalid",
       common::ENUM_SUCCESS},
      {"reset admitted in error", STATION_STATUS_ERROR, {}, TASK_TYPE_RESET_STATION, 0, 0, "", common::ENUM_SUCCESS},
      {"reset admitted in reset", STATION_STATUS_RESET, {}, TASK_TYPE_RESET_STATION, 0, 0, "", common::ENUM_SUCCESS},
      {"reset admitted in emergency stop",
       STATION_STATUS_EMERGENCY_STOP,
       {},
       TASK_TYPE_RESET_STATION,
       0,
       0,
       "",
       common::ENUM_SUCCESS},
      {"second reset carries no action",
       STATION_STATUS_NORMAL,
       {TASK_TYPE_RESET_STATION},
       TASK_TYPE_RESET_STATION,
       0,
       1,
       "action model illegal",
       common::ENUM_SUCCESS},
      {"no action", STATION_STATUS_NORMAL, {}, TASK_TYPE_ADD_WATER, 0, 1, "action model illegal", common::ENUM_SUCCESS},
      {"preparation needs no action",
       STATION_STATUS_NORMAL,
       {},
       TASK_TYPE_DISINFECTANT_PREPARE,
       0,
       0,
       "",
       common::ENUM_SUCCESS},
      {"manual charge needs no action",
       STATION_STATUS_NORMAL,
       {},
       TASK_TYPE_MANUAL_CHARGE,
       0,
       0,
       "",
       common::ENUM_SUCCESS},
      {"stop with nothing running",
       STATION_STATUS_NORMAL,
       {},
       TASK_TYPE_ADD_WATER,
       kStop,
       8,
       no_task + "5) running",
       common::ENUM_SUCCESS},
      {"unknown action starts a task", STATION_STATUS_NORMAL, {}, TASK_TYPE_ADD_WATER, 5, 0, "", common::ENUM_SUCCESS},
      {"sensor key has no class",
       STATION_STATUS_NORMAL,
       {},
       TASK_TYPE_SENSOR,
       kStandard,
       1,
       "create new task failed, may be not memory",
       common::ENUM_SUCCESS},
      {"type beyond the table",
       STATION_STATUS_NORMAL,
       {},
       static_cast<TaskType>(18),
       kStandard,
       1,
       "create new task failed, may be not memory",
       common::ENUM_SUCCESS},
      {"running: no action",
       STATION_STATUS_NORMAL,
       {TASK_TYPE_ADD_WATER},
       TASK_TYPE_ADD_WATER,
       0,
       1,
       "action model illegal",
       common::ENUM_SUCCESS},
      {"running: update",
       STATION_STATUS_NORMAL,
       {TASK_TYPE_ADD_WATER},
       TASK_TYPE_ADD_WATER,
       vantorel_base_station_mqtt::ENUM_ACTION_STRONG,
       6,
       "already exist task, upload task info success",
       common::ENUM_SUCCESS},
      {"running: unknown action",
       STATION_STATUS_NORMAL,
       {TASK_TYPE_ADD_WATER},
       TASK_TYPE_ADD_WATER,
       7,
       1,
       "already exist task, upload task info failed",
       common::ENUM_SUCCESS},
      {"waiting for reset still admits",
       STATION_STATUS_WAIT_RESET,
       {},
       TASK_TYPE_DUST_COLLECT,
       kStandard,
       0,
       "",
       common::ENUM_SUCCESS},
      {"drain blocks add water",
       STATION_STATUS_NORMAL,
       {TASK_TYPE_DRAIN_WATER},
       TASK_TYPE_ADD_WATER,
       kStandard,
       1,
       "pre check failed, have conflict task 4 is running",
       common::ENUM_CONFLICT_WITH_DRAIN_WATER},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    NewCenter(STATION_STATUS_NORMAL);
    const StationSrvRsp rsp = AdmitWith(row.running, row.status, TaskRequest(row.type, row.action, 9));
    EXPECT_EQ(rsp.code, row.code);
    EXPECT_EQ(rsp.msg, row.msg);
    EXPECT_EQ(rsp.err_code, row.err_code);
  }
}

TEST_F(AdmissionTest, ConflictTableRefusesEachBlockedPairWithItsErrorCode) {
  struct Row {
    TaskType type;
    std::vector<std::pair<TaskType, common::EnumErrCode>> blockers;
  };
  const std::vector<Row> rows = {
      {TASK_TYPE_DISINFECTANT_PREPARE,
       {{TASK_TYPE_ADD_WATER, common::ENUM_CONFLICT_WITH_ADD_WATER},
        {TASK_TYPE_PERFUME_LIQUID_PREPARE, common::ENUM_CONFLICT_WITH_PERFUME_LIQUEID_PREPARE},
        {TASK_TYPE_CLEAN_LIQUID_PREPARE, common::ENUM_CONFLICT_WITH_CLEAN_LIQUEID_PREPARE},
        {TASK_TYPE_ADD_WATER_NO_LIMIT, common::ENUM_ERROR_UNKNOW}}},
      {TASK_TYPE_CLEAN_LIQUID_PREPARE,
       {{TASK_TYPE_ADD_WATER, common::ENUM_CONFLICT_WITH_ADD_WATER},
        {TASK_TYPE_DISINFECTANT_PREPARE, common::ENUM_CONFLICT_WITH_DISINFECTANT_PREPARE},
        {TASK_TYPE_ADD_WATER_NO_LIMIT, common::ENUM_ERROR_UNKNOW},
        {TASK_TYPE_PERFUME_LIQUID_PREPARE, common::ENUM_CONFLICT_WITH_PERFUME_LIQUEID_PREPARE}}},
      {TASK_TYPE_PERFUME_LIQUID_PREPARE,
       {{TASK_TYPE_ADD_WATER, common::ENUM_CONFLICT_WITH_ADD_WATER},
        {TASK_TYPE_DISINFECTANT_PREPARE, common::ENUM_CONFLICT_WITH_DISINFECTANT_PREPARE},
        {TASK_TYPE_ADD_WATER_NO_LIMIT, common::ENUM_ERROR_UNKNOW},
        {TASK_TYPE_CLEAN_LIQUID_PREPARE, common::ENUM_CONFLICT_WITH_CLEAN_LIQUEID_PREPARE}}},
      {TASK_TYPE_DRAIN_WATER,
       {{TASK_TYPE_PERFUME_LIQUID_PREPARE, common::ENUM_CONFLICT_WITH_PERFUME_LIQUEID_PREPARE},
        {TASK_TYPE_DISINFECTANT_PREPARE, common::ENUM_CONFLICT_WITH_DISINFECTANT_PREPARE},
        {TASK_TYPE_CLEAN_LIQUID_PREPARE, common::ENUM_CONFLICT_WITH_CLEAN_LIQUEID_PREPARE},
        {TASK_TYPE_ADD_WATER, common::ENUM_CONFLICT_WITH_ADD_WATER},
        {TASK_TYPE_ADD_WATER_NO_LIMIT, common::ENUM_ERROR_UNKNOW}}},
      {TASK_TYPE_ADD_WATER,
       {{TASK_TYPE_DISINFECTANT_PREPARE, common::ENUM_CONFLICT_WITH_DISINFECTANT_PREPARE},
        {TASK_TYPE_PERFUME_LIQUID_PREPARE, common::ENUM_CONFLICT_WITH_PERFUME_LIQUEID_PREPARE},
        {TASK_TYPE_CLEAN_LIQUID_PREPARE, common::ENUM_CONFLICT_WITH_CLEAN_LIQUEID_PREPARE},
        {TASK_TYPE_DRAIN_WATER, common::ENUM_CONFLICT_WITH_DRAIN_WATER},
        {TASK_TYPE_WATER_SPRAY, common::ENUM_CONFLICT_WITH_WATER_SPRAY}}},
      {TASK_TYPE_DUST_COLLECT,
       {{TASK_TYPE_WATER_SPRAY, common::ENUM_CONFLICT_WITH_WATER_SPRAY},
        {TASK_TYPE_SEWAGE_DRAIN_PUMP, common::ENUM_CONFLICT_WITH_SEWAGE_DRAIN},
        {TASK_TYPE_DRY, common::ENUM_CONFLICT_WITH_DRY_FAN}}},
      {TASK_TYPE_WATER_SPRAY,
       {{TASK_TYPE_DUST_COLLECT, common::ENUM_CONFLICT_WITH_DUST_COLLECTION},
        {TASK_TYPE_DRY, common::ENUM_CONFLICT_WITH_DRY_FAN},
        {TASK_TYPE_HEAT_WIRE, common::ENUM_CONFLICT_WITH_HEAT_WIRE},
        {TASK_TYPE_AUTO_CHARGE, common::ENUM_CONFLICT_WITH_AUTO_CHARGE},
        {TASK_TYPE_MANUAL_CHARGE, common::ENUM_CONFLICT_WITH_MANUAL_CHARGE}}},
      {TASK_TYPE_SEWAGE_DRAIN_PUMP,
       {{TASK_TYPE_DRY, common::ENUM_CONFLICT_WITH_DRY_FAN},
        {TASK_TYPE_HEAT_WIRE, common::ENUM_CONFLICT_WITH_HEAT_WIRE}}},
      {TASK_TYPE_DRY,
       {{TASK_TYPE_WATER_SPRAY, common::ENUM_CONFLICT_WITH_WATER_SPRAY},
        {TASK_TYPE_DUST_COLLECT, common::ENUM_CONFLICT_WITH_DUST_COLLECTION},
        {TASK_TYPE_AUTO_CHARGE, common::ENUM_CONFLICT_WITH_AUTO_CHARGE},
        {TASK_TYPE_MANUAL_CHARGE, common::ENUM_CONFLICT_WITH_MANUAL_CHARGE}}},
      {TASK_TYPE_HEAT_WIRE,
       {{TASK_TYPE_WATER_SPRAY, common::ENUM_CONFLICT_WITH_WATER_SPRAY},
        {TASK_TYPE_DUST_COLLECT, common::ENUM_CONFLICT_WITH_DUST_COLLECTION},
        {TASK_TYPE_MANUAL_CHARGE, common::ENUM_CONFLICT_WITH_MANUAL_CHARGE},
        {TASK_TYPE_AUTO_CHARGE, common::ENUM_CONFLICT_WITH_AUTO_CHARGE}}},
      {TASK_TYPE_AUTO_CHARGE,
       {{TASK_TYPE_WATER_SPRAY, common::ENUM_CONFLICT_WITH_WATER_SPRAY},
        {TASK_TYPE_HEAT_WIRE, common::ENUM_CONFLICT_WITH_HEAT_WIRE},
        {TASK_TYPE_MANUAL_CHARGE, common::ENUM_CONFLICT_WITH_MANUAL_CHARGE}}},
      {TASK_TYPE_ULTRASONIC_WASH,
       {{TASK_TYPE_DUST_COLLECT, common::ENUM_CONFLICT_WITH_DUST_COLLECTION},
        {TASK_TYPE_AUTO_CHARGE, common::ENUM_CONFLICT_WITH_AUTO_CHARGE},
        {TASK_TYPE_MANUAL_CHARGE, common::ENUM_CONFLICT_WITH_MANUAL_CHARGE}}},
  };
  for (const Row& row : rows) {
    for (const auto& blocker : row.blockers) {
      SCOPED_TRACE("type " + std::to_string(row.type) + " while " + std::to_string(blocker.first) + " runs");
      NewCenter(STATION_STATUS_NORMAL);
      Logs().Clear();
      const StationSrvRsp rsp = AdmitWith({blocker.first}, STATION_STATUS_NORMAL, TaskRequest(row.type, kStandard));
      EXPECT_EQ(rsp.code, SRV_CODE_FAILED);
      EXPECT_EQ(rsp.msg, "pre check failed, have conflict task " + std::to_string(blocker.first) + " is running");
      EXPECT_EQ(rsp.err_code, blocker.second);
      EXPECT_EQ(Running(row.type), nullptr) << "a refused task is dropped";
      EXPECT_EQ(scripts_[row.type]->passes.load(), 0) << "a refused task never runs";
      EXPECT_TRUE(Logs().Has("The conditions are not met or there are mutually exclusive tasks"));
    }
  }

  // Types 12, 13, 14 and 17 start whatever runs.
  const std::vector<TaskType> busy = {TASK_TYPE_DISINFECTANT_PREPARE, TASK_TYPE_DUST_COLLECT,
                                      TASK_TYPE_SEWAGE_DRAIN_PUMP, TASK_TYPE_AUTO_CHARGE};
  for (TaskType type :
       {TASK_TYPE_MANUAL_CHARGE, TASK_TYPE_UV_LAMP, TASK_TYPE_ADD_WATER_NO_LIMIT, TASK_TYPE_RESET_STATION}) {
    SCOPED_TRACE("type " + std::to_string(type));
    NewCenter(STATION_STATUS_NORMAL);
    scripts_[TASK_TYPE_RESET_STATION]->end_after_passes = -1;
    EXPECT_EQ(AdmitWith(busy, STATION_STATUS_NORMAL, TaskRequest(type, kStandard)).code, SRV_CODE_SUCCESS);
    scripts_[TASK_TYPE_RESET_STATION]->end_after_passes = 1;
  }
}

TEST_F(AdmissionTest, RunningTaskIsCancelledOrUpdatedInPlace) {
  ASSERT_EQ(Admit(TaskRequest(TASK_TYPE_ADD_WATER, kStandard, 30)).code, SRV_CODE_SUCCESS);
  const std::shared_ptr<Task> task = Running(TASK_TYPE_ADD_WATER);
  ASSERT_TRUE(task);
  ASSERT_TRUE(WaitUntil([&] { return scripts_[TASK_TYPE_ADD_WATER]->passes.load() > 0; }));

  const StationSrvRsp update = Admit(TaskRequest(TASK_TYPE_ADD_WATER, vantorel_base_station_mqtt::ENUM_ACTION_SOFT, 5));
  EXPECT_EQ(update.code, SRV_CODE_TASK_UPDATED);
  EXPECT_EQ(task->max_seconds(), 5) << "the update carries the new duration";

  scripts_[TASK_TYPE_ADD_WATER]->cancel_ok = false;
  const std::string text = "cancel task id : " + std::to_string(task->task_id()) + ",task type : 5";
  StationSrvRsp cancel;
  {
    std::lock_guard<std::mutex> lock(center_->task_mutex());
    cancel = center_->ReceiveTaskUnlock(TaskRequest(TASK_TYPE_ADD_WATER, kStop));
    EXPECT_EQ(center_->tasks().count(TASK_TYPE_ADD_WATER), 1u) << "removal is the driver's job";
  }
  EXPECT_EQ(cancel.code, SRV_CODE_FAILED);
  EXPECT_EQ(cancel.msg, text + ", failed");
  EXPECT_EQ(task->status(), TASK_STATUS_ERROR) << "a failed cancel ends the task in error";

  // The driver ends it as an error; a fresh one is then cancelled cleanly.
  ASSERT_TRUE(WaitUntil([&] { return Running(TASK_TYPE_ADD_WATER) != task; }));
  EXPECT_EQ(scripts_[TASK_TYPE_ADD_WATER]->resets.load(), 1);
  SetStatus(STATION_STATUS_NORMAL);
  scripts_[TASK_TYPE_ADD_WATER]->cancel_ok = true;
  ASSERT_EQ(Admit(TaskRequest(TASK_TYPE_ADD_WATER, kStandard, 30)).code, SRV_CODE_SUCCESS);
  const std::shared_ptr<Task> second = Running(TASK_TYPE_ADD_WATER);
  ASSERT_TRUE(second);
  const StationSrvRsp ok = Admit(TaskRequest(TASK_TYPE_ADD_WATER, kStop));
  EXPECT_EQ(ok.code, SRV_CODE_SUCCESS);
  EXPECT_EQ(ok.msg, "cancel task id : " + std::to_string(second->task_id()) + ",task type : 5");
}

TEST_F(AdmissionTest, WaitingForResetAdmitsThenCancelsAtFirstPass) {
  Logs().Clear();
  SetStatus(STATION_STATUS_WAIT_RESET);
  ASSERT_EQ(Admit(TaskRequest(TASK_TYPE_DUST_COLLECT, kStandard)).code, SRV_CODE_SUCCESS);
  ASSERT_TRUE(WaitUntil([&] { return scripts_[TASK_TYPE_DUST_COLLECT]->after_cancel.load() == 1; }));
  EXPECT_EQ(scripts_[TASK_TYPE_DUST_COLLECT]->passes.load(), 0) << "cancelled before any pass";
  EXPECT_TRUE(Logs().Has("TaskType : 6, change status 0 to 4"));
  // The robot is away and nothing else runs: the removal resets the station.
  ASSERT_TRUE(WaitUntil([&] { return scripts_[TASK_TYPE_RESET_STATION]->after_over.load() == 1; }));
  EXPECT_TRUE(Logs().Has("RemoveTaskUnlock, reset task result : 0, err_msg : "));
  EXPECT_EQ(center_->station_status(), STATION_STATUS_NORMAL);
}

TEST_F(AdmissionTest, FirstWorkTaskStartsTheWorkPeriodButChargeAndResetDoNot) {
  struct Row {
    TaskType type;
    bool starts_work;
  };
  for (const Row& row :
       {Row{TASK_TYPE_MANUAL_CHARGE, false}, Row{TASK_TYPE_RESET_STATION, false}, Row{TASK_TYPE_UV_LAMP, true}}) {
    SCOPED_TRACE("type " + std::to_string(row.type));
    NewCenter(STATION_STATUS_NORMAL);
    scripts_[TASK_TYPE_RESET_STATION]->end_after_passes = -1;
    ASSERT_EQ(Admit(TaskRequest(row.type, kStandard)).code, SRV_CODE_SUCCESS);
    scripts_[TASK_TYPE_RESET_STATION]->end_after_passes = 1;
    std::shared_lock<std::shared_mutex> lock(center_->task_data_mutex());
    EXPECT_EQ(center_->task_data().work_started, row.starts_work);
    EXPECT_EQ(center_->task_data().work_start_time != -1, row.starts_work);
  }
  // A second task joins the period without restarting its clock.
  AdvanceClockForTest(100);
  ASSERT_EQ(Admit(TaskRequest(TASK_TYPE_DUST_COLLECT, kStandard)).code, SRV_CODE_SUCCESS);
  std::shared_lock<std::shared_mutex> lock(center_->task_data_mutex());
  EXPECT_LT(center_->task_data().work_start_time, NowSeconds() - 50);
}

TEST_F(AdmissionTest, StateQuestionsAnswerFromStatusTasksAndData) {
  // Unsupported commands.
  for (int cmd : {4, 9, -1}) {
    Logs().Clear();
    const StationSrvRsp rsp = center_->HandleService(Command(cmd));
    EXPECT_EQ(rsp.code, SRV_CODE_UNSUPPORTED_CMD) << cmd;
    EXPECT_EQ(rsp.msg, "") << cmd;
    EXPECT_TRUE(Logs().Has("ErrorCode: 101900037, station service receive unsupport cmd : " + std::to_string(cmd)));
  }

  // Position, from the latest report.
  station::SensorsDataRep away = Docked(false);
  station::SensorsDataRep docked = Docked(true);
  center_->DataUploadCallback(away);
  EXPECT_EQ(center_->HandleService(Command(SRV_CMD_ROBOT_POSITION)).code, SRV_CODE_ROBOT_NOT_IN_POSITION);
  center_->DataUploadCallback(docked);
  EXPECT_EQ(center_->HandleService(Command(SRV_CMD_ROBOT_POSITION)).code, SRV_CODE_ROBOT_IN_POSITION);
  {
    std::shared_lock<std::shared_mutex> lock(center_->task_data_mutex());
    EXPECT_EQ(center_->task_data().robot_position, 1);
  }

  // Water questions and busy.
  EXPECT_EQ(center_->HandleService(Command(SRV_CMD_ADD_WATER_FINISHED)).code, SRV_CODE_NOT_STARTED);
  EXPECT_EQ(center_->HandleService(Command(SRV_CMD_WATER_READY)).code, SRV_CODE_NOT_STARTED);
  EXPECT_EQ(center_->HandleService(Command(SRV_CMD_STATION_BUSY)).code, SRV_CODE_IDLE);
  ASSERT_EQ(Admit(TaskRequest(TASK_TYPE_UV_LAMP, kStandard)).code, SRV_CODE_SUCCESS);
  ASSERT_EQ(Admit(TaskRequest(TASK_TYPE_DISINFECTANT_PREPARE, 0)).code, SRV_CODE_SUCCESS);
  EXPECT_EQ(center_->HandleService(Command(SRV_CMD_WATER_READY)).code, SRV_CODE_DISINFECTANT_PREPARING);
  EXPECT_EQ(center_->HandleService(Command(SRV_CMD_STATION_BUSY)).code, SRV_CODE_BUSY);
  {
    std::unique_lock<std::shared_mutex> lock(center_->task_data_mutex());
    center_->task_data().disinfectant_water_ready = true;
    center_->task_data().add_water_finished = true;
  }
  EXPECT_EQ(center_->HandleService(Command(SRV_CMD_WATER_READY)).code, SRV_CODE_WATER_READY);
  EXPECT_EQ(center_->HandleService(Command(SRV_CMD_ADD_WATER_FINISHED)).code, SRV_CODE_ADD_WATER_FINISHED);

  // Emergency stop answers first, for every question.
  SetStatus(STATION_STATUS_EMERGENCY_STOP);
  for (int cmd : {SRV_CMD_ROBOT_POSITION, SRV_CMD_ADD_WATER_FINISHED, SRV_CMD_WATER_READY, SRV_CMD_ROBOT_LEAVE}) {
    EXPECT_EQ(center_->HandleService(Command(cmd)).code, SRV_CODE_EMERGENCY_STOP) << cmd;
  }
}

TEST_F(AdmissionTest, WaterReadyPollRestartsIdleClockButAddWaterPollDoesNot) {
  ASSERT_EQ(Admit(TaskRequest(TASK_TYPE_UV_LAMP, kStandard)).code, SRV_CODE_SUCCESS);
  auto start_time = [this] {
    std::shared_lock<std::shared_mutex> lock(center_->task_data_mutex());
    return static_cast<int64_t>(center_->task_data().work_start_time);
  };
  const int64_t started = start_time();
  AdvanceClockForTest(250);
  EXPECT_EQ(center_->HandleService(Command(SRV_CMD_ADD_WATER_FINISHED)).code, SRV_CODE_NOT_STARTED);
  EXPECT_EQ(start_time(), started);
  EXPECT_EQ(center_->HandleService(Command(SRV_CMD_WATER_READY)).code, SRV_CODE_NOT_STARTED);
  EXPECT_GE(start_time(), started + 250) << "even an answer 11 restarts the clock";
}

TEST_F(AdmissionTest, CloudReplyReleasesConsumablesAndWaitsForResetWhenAllAreBack) {
  auto set_flags = [this](bool tap, bool tablets, bool bag) {
    std::unique_lock<std::shared_mutex> lock(center_->task_data_mutex());
    StationTaskData& d = center_->task_data();
    d.tap_water_normal = tap;
    d.disinfectant_tablets_normal = tablets;
    d.dust_bag_replace_normal = bag;
    d.abnormal_tasks[TASK_TYPE_ADD_WATER] = tap ? 0 : 1;
  };
  auto reply = [](int tap, int tablets, int bag) {
    StationSrvReq req = Command(SRV_CMD_CLOUD_REPLY);
    auto* cs = req.report_rsp.mutable_consumables_reply_state();
    cs->set_tap_water(tap);
    cs->set_disinfectant_tables(tablets);
    cs->set_dust_bag(bag);
    return req;
  };

  // No consumables part: nothing happens.
  set_flags(false, true, true);
  EXPECT_EQ(center_->HandleService(Command(SRV_CMD_CLOUD_REPLY)).code, SRV_CODE_SUCCESS);
  EXPECT_EQ(center_->station_status(), STATION_STATUS_NORMAL);

  // The cloud still reports the dust bag: tap water released, status kept.
  set_flags(false, true, false);
  EXPECT_EQ(center_->HandleService(reply(0, 0, 1)).code, SRV_CODE_SUCCESS);
  EXPECT_EQ(center_->station_status(), STATION_STATUS_NORMAL);
  {
    std::shared_lock<std::shared_mutex> lock(center_->task_data_mutex());
    EXPECT_TRUE(center_->task_data().tap_water_normal);
    EXPECT_EQ(center_->task_data().abnormal_tasks.at(TASK_TYPE_ADD_WATER), 0);
    EXPECT_FALSE(center_->task_data().dust_bag_replace_normal);
  }

  // The last one back: waiting for reset.
  EXPECT_EQ(center_->HandleService(reply(0, 0, 0)).code, SRV_CODE_SUCCESS);
  EXPECT_EQ(center_->station_status(), STATION_STATUS_WAIT_RESET);
  std::shared_lock<std::shared_mutex> lock(center_->task_data_mutex());
  EXPECT_FALSE(center_->task_data().consumables_released);
}

TEST_F(AdmissionTest, ThrowingPassEndsTheTaskInErrorAndTheDriverSurvives) {
  scripts_[TASK_TYPE_UV_LAMP]->throw_in_pass = true;
  ASSERT_EQ(Admit(TaskRequest(TASK_TYPE_UV_LAMP, kStandard)).code, SRV_CODE_SUCCESS);
  ASSERT_TRUE(WaitUntil([&] { return scripts_[TASK_TYPE_UV_LAMP]->after_error.load() == 1; }));
  EXPECT_EQ(scripts_[TASK_TYPE_UV_LAMP]->resets.load(), 1) << "switched off like any failed task";
  ASSERT_TRUE(WaitUntil([&] { return Running(TASK_TYPE_UV_LAMP) == nullptr; }));
}

TEST_F(AdmissionTest, PositionCheckNeverWaitsForTheTaskLockAndReadsStatusSafely) {
  station::SensorsDataRep docked = Docked(true);
  center_->DataUploadCallback(docked);

  // A task pass waiting on the board holds the task lock; the robot's position
  // poll must still be answered.
  {
    std::lock_guard<std::mutex> lock(center_->task_mutex());
    auto answer =
        std::async(std::launch::async, [this] { return center_->HandleService(Command(SRV_CMD_ROBOT_POSITION)).code; });
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(answer.get(), SRV_CODE_ROBOT_IN_POSITION);
  }

  // Status changes racing with position polls (a race detector run checks the read).
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; i < 200 && !stop; ++i) {
      SetStatus(i % 2 == 0 ? STATION_STATUS_WAIT_RESET : STATION_STATUS_NORMAL);
    }
  });
  for (int i = 0; i < 200; ++i) {
    const int32_t code = center_->HandleService(Command(SRV_CMD_ROBOT_POSITION)).code;
    EXPECT_EQ(code, SRV_CODE_ROBOT_IN_POSITION);
  }
  stop = true;
  writer.join();
}

}  // namespace
}  // namespace station_center
