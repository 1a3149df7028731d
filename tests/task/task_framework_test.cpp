#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "clock.h"
#include "task/log_capture.h"
#include "task/scripted_task.h"
#include "task/task.h"
#include "task/task_factory.h"

namespace station_center {
namespace {

using station_test::Logs;
using station_test::ScriptedTask;
using station_test::TaskScript;
namespace common = vantorel_base_station_common;

std::shared_ptr<ScriptedTask> MakeTask(TaskType type, int64_t max_seconds = 0,
                                       std::shared_ptr<TaskScript> script = std::make_shared<TaskScript>()) {
  return std::make_shared<ScriptedTask>(nullptr, type, max_seconds, vantorel_base_station_mqtt::ENUM_ACTION_STANDARD,
                                        std::move(script));
}

// A task that is not a SupplyMaterialTask: updates must leave it alone.
class PlainTask : public Task {
 public:
  PlainTask() : Task(nullptr, TASK_TYPE_DRAIN_WATER, 30) {}
  bool DoReset() override { return true; }
  bool DoTaskInside(const station::SensorsDataRep&) override { return true; }
};

class TaskFrameworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Logs().Clear();
    ResetClockForTest();
  }
  void TearDown() override { ResetClockForTest(); }
};

TEST_F(TaskFrameworkTest, ConflictCheckReportsFirstRunningConflictInListOrder) {
  struct Row {
    std::vector<TaskType> conflicts;
    std::vector<TaskType> running;
    bool own_check_refuses;
    std::string msg;
    common::EnumErrCode code;
    bool warns;
  };
  const std::vector<Row> rows = {
      {{TASK_TYPE_ADD_WATER}, {}, false, "", common::ENUM_SUCCESS, false},
      {{TASK_TYPE_DISINFECTANT_PREPARE, TASK_TYPE_DRAIN_WATER},
       {TASK_TYPE_DRAIN_WATER},
       false,
       "pre check failed, have conflict task 4 is running",
       common::ENUM_CONFLICT_WITH_DRAIN_WATER,
       false},
      // Both running: the list order decides, not the table order.
      {{TASK_TYPE_PERFUME_LIQUID_PREPARE, TASK_TYPE_CLEAN_LIQUID_PREPARE},
       {TASK_TYPE_CLEAN_LIQUID_PREPARE, TASK_TYPE_PERFUME_LIQUID_PREPARE},
       false,
       "pre check failed, have conflict task 3 is running",
       common::ENUM_CONFLICT_WITH_PERFUME_LIQUEID_PREPARE,
       false},
      {{TASK_TYPE_MANUAL_CHARGE},
       {TASK_TYPE_MANUAL_CHARGE},
       true,
       "pre check failed, have conflict task 12 is running",
       common::ENUM_CONFLICT_WITH_MANUAL_CHARGE,
       false},
      // Types without an error code fall back to "unknown" with a warning.
      {{TASK_TYPE_ADD_WATER_NO_LIMIT},
       {TASK_TYPE_ADD_WATER_NO_LIMIT},
       false,
       "pre check failed, have conflict task 14 is running",
       common::ENUM_ERROR_UNKNOW,
       true},
      // No conflict: the task's own readiness check answers.
      {{TASK_TYPE_ADD_WATER}, {TASK_TYPE_DRY}, true, "scripted refusal", common::ENUM_ROBOT_NOT_IN_POSITION, false},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE("row " + std::to_string(i));
    Logs().Clear();
    auto script = std::make_shared<TaskScript>();
    script->precheck_refuses = row.own_check_refuses;
    auto task = MakeTask(TASK_TYPE_UV_LAMP, 0, script);
    task->set_conflict_types(row.conflicts);
    TaskTable running;
    for (TaskType type : row.running) {
      running[type] = MakeTask(type);
    }
    const PreCheckResult result = task->PreCheckUnlock(running, station::SensorsDataRep());
    EXPECT_EQ(result.err_msg, row.msg);
    EXPECT_EQ(result.err_code, row.code);
    EXPECT_EQ(Logs().Has("Can not find conflict type's err code, task id : "), row.warns);
  }
}

TEST_F(TaskFrameworkTest, FactoryTakesTheRequestDurationOnlyForActionTasks) {
  // Conflict lists are checked through admission; here the time limits and
  // the types without a class.
  const std::vector<TaskType> unlimited = {TASK_TYPE_DISINFECTANT_PREPARE,   TASK_TYPE_CLEAN_LIQUID_PREPARE,
                                           TASK_TYPE_PERFUME_LIQUID_PREPARE, TASK_TYPE_DRAIN_WATER,
                                           TASK_TYPE_MANUAL_CHARGE,          TASK_TYPE_RESET_STATION};
  auto script = std::make_shared<TaskScript>();
  for (int t = 0; t <= 18; ++t) {
    const TaskType type = static_cast<TaskType>(t);
    SCOPED_TRACE("type " + std::to_string(t));
    station_test::UseScriptedTask(type, script);
    StationSrvReq req;
    req.task_type = type;
    req.supply_material_req.mutable_cmd()->set_duration(42);
    const CreateTaskResult created = CreateTask(nullptr, req);
    OverrideTaskClassForTest(type, nullptr);
    if (type == TASK_TYPE_INVALID || type == TASK_TYPE_SENSOR || t == 18) {
      EXPECT_EQ(created.result, CREATE_TASK_UNSUPPORTED_TYPE) << "no class, even when one is offered";
      EXPECT_FALSE(created.task);
      continue;
    }
    ASSERT_EQ(created.result, CREATE_TASK_SUCCESS);
    const bool limited = std::find(unlimited.begin(), unlimited.end(), type) == unlimited.end();
    EXPECT_EQ(created.task->max_seconds(), limited ? 42 : 0);
  }
}

TEST_F(TaskFrameworkTest, OperateTaskCancelsUpdatesOrRefuses) {
  // Cancel: the result of DoCancelUnlock decides between cancel and error.
  for (bool cancel_ok : {true, false}) {
    auto script = std::make_shared<TaskScript>();
    script->cancel_ok = cancel_ok;
    auto task = MakeTask(TASK_TYPE_DRY, 0, script);
    EXPECT_EQ(task->OperateTask(TASK_OPERATION_CANCEL, StationSrvReq()), cancel_ok);
    EXPECT_EQ(task->status(), cancel_ok ? TASK_STATUS_CANCEL : TASK_STATUS_ERROR);
    EXPECT_EQ(script->cancels.load(), 1);
  }

  // Update on a supply task: new limit, restarted from now.
  auto task = MakeTask(TASK_TYPE_DRY, 10);
  task->DoTaskInside(station::SensorsDataRep());
  AdvanceClockForTest(1000);
  StationSrvReq req;
  req.supply_material_req.mutable_cmd()->set_duration(77);
  EXPECT_TRUE(task->OperateTask(TASK_OPERATION_UPDATE, req));
  EXPECT_EQ(task->max_seconds(), 77);
  EXPECT_GE(task->start_time(), NowSeconds() - 1);
  EXPECT_TRUE(task->DoTaskInside(station::SensorsDataRep())) << "the restarted limit has not passed";

  // Update on any other task changes nothing.
  PlainTask plain;
  EXPECT_TRUE(plain.OperateTask(TASK_OPERATION_UPDATE, req));
  EXPECT_EQ(plain.max_seconds(), 30);

  // An unknown operation does nothing.
  EXPECT_FALSE(plain.OperateTask(static_cast<TaskOperation>(7), req));
  EXPECT_EQ(plain.status(), TASK_STATUS_INIT);
}

TEST_F(TaskFrameworkTest, SameStatusOrStepTwiceLogsOnce) {
  auto task = MakeTask(TASK_TYPE_DRY);
  task->SetTaskStatus(TASK_STATUS_RUNNING);
  task->SetTaskStatus(TASK_STATUS_RUNNING);
  EXPECT_EQ(Logs().Count("TaskType : 9, change status 0 to 1"), 1);
  EXPECT_EQ(Logs().Count("change status"), 1);
  task->SwitchStep(2);
  task->SwitchStep(2);
  EXPECT_EQ(Logs().Count("task type 9, switch step 0 to 2"), 1);
  EXPECT_EQ(Logs().Count("switch step"), 1);
}

TEST_F(TaskFrameworkTest, StepTaskTimeLimitIsStrictAndOffForNonPositiveLimits) {
  struct Row {
    int64_t max_seconds;
    int64_t advance;
    bool times_out;
  };
  // Whole seconds may tick between passes, so stay a second off the boundary.
  const std::vector<Row> rows = {{0, 1000000, false}, {-5, 1000000, false}, {10, 9, false}, {10, 11, true}};
  for (const Row& row : rows) {
    SCOPED_TRACE("limit " + std::to_string(row.max_seconds) + " after " + std::to_string(row.advance));
    ResetClockForTest();
    Logs().Clear();
    auto task = MakeTask(TASK_TYPE_RESET_STATION, row.max_seconds);
    int step_calls = 0;
    task->SetStep(1, [&step_calls](const station::SensorsDataRep&) {
      ++step_calls;
      return true;
    });
    ASSERT_TRUE(task->StepTaskPass(station::SensorsDataRep(), "already over"));
    EXPECT_EQ(task->status(), TASK_STATUS_RUNNING);
    EXPECT_EQ(task->step(), 1);
    AdvanceClockForTest(row.advance);
    EXPECT_EQ(task->StepTaskPass(station::SensorsDataRep(), "already over"), !row.times_out);
    EXPECT_EQ(step_calls, row.times_out ? 1 : 2);
    EXPECT_EQ(Logs().Has("ErrorCode: 101900019, task id "), row.times_out);
  }
}

TEST_F(TaskFrameworkTest, StepTaskWithoutCurrentStepFailsAndFinishedTaskIsLeftAlone) {
  auto task = MakeTask(TASK_TYPE_RESET_STATION);
  EXPECT_FALSE(task->StepTaskPass(station::SensorsDataRep(), "already over")) << "step 1 was never defined";

  task->SetTaskStatus(TASK_STATUS_OVER);
  int step_calls = 0;
  task->SetStep(1, [&step_calls](const station::SensorsDataRep&) { return ++step_calls > 0; });
  EXPECT_TRUE(task->StepTaskPass(station::SensorsDataRep(), "already over or error or canceled"));
  EXPECT_EQ(step_calls, 0);
  EXPECT_TRUE(Logs().Has("task type 17, already over or error or canceled"));
}

TEST_F(TaskFrameworkTest, TaskDataCopyOwnsItsAbnormalFlags) {
  StationTaskData original;
  StationTaskData copy = original;
  *copy.abnormal_types.at(ABNORMAL_TAP_WATER) = false;
  EXPECT_TRUE(original.tap_water_normal) << "writing through the copy's table must not reach the original";
  EXPECT_FALSE(copy.tap_water_normal);

  StationTaskData assigned;
  assigned = copy;
  EXPECT_FALSE(assigned.tap_water_normal);
  *assigned.abnormal_types.at(ABNORMAL_DUST_BAG_OUT) = false;
  EXPECT_TRUE(copy.dust_bag_in_place_normal);
  EXPECT_FALSE(assigned.dust_bag_in_place_normal);
}

TEST_F(TaskFrameworkTest, ResetTaskDataKeepsConsumablesAndSensorFacts) {
  StationTaskData data;
  data.work_started = true;
  data.work_start_time = 123;
  data.sensor_data_received = true;
  data.disinfectant_water_ready = true;
  data.water_volume = 500;
  data.tank_water_volume = 700;
  data.sorter_count_ = 3;
  data.sewage_pump_working = true;
  data.manual_charge_state = true;
  data.occupy_state = true;
  data.charging = 2;
  data.robot_position = 1;
  data.consumables_released = true;
  for (auto& entry : data.abnormal_types) {
    *entry.second = false;
  }
  for (auto& entry : data.abnormal_tasks) {
    entry.second = 1;
  }

  data.ResetTaskData();

  EXPECT_FALSE(data.work_started);
  EXPECT_EQ(data.work_start_time, -1);
  EXPECT_FALSE(data.disinfectant_water_ready);
  EXPECT_EQ(data.water_volume, -1);
  EXPECT_EQ(data.tank_water_volume, -1);
  EXPECT_EQ(data.sorter_count_, 0);
  EXPECT_EQ(data.charging, 0);
  EXPECT_EQ(data.robot_position, 0);
  EXPECT_FALSE(data.consumables_released);
  // Sensor-driven facts belong to the sensor handler.
  EXPECT_TRUE(data.sensor_data_received);
  EXPECT_TRUE(data.sewage_pump_working);
  EXPECT_TRUE(data.manual_charge_state);
  EXPECT_TRUE(data.occupy_state);
  for (int type = 0; type < ABNORMAL_TYPE_COUNT; ++type) {
    const bool kept = type == ABNORMAL_TAP_WATER || type == ABNORMAL_DISINFECTANT_TABLETS ||
                      type == ABNORMAL_DUST_BAG_REPLACE || type == ABNORMAL_EMERGENCY_STOP;
    EXPECT_EQ(data.AbnormalPresent(type), kept) << "abnormal type " << type;
  }
  for (const auto& entry : data.abnormal_tasks) {
    EXPECT_EQ(entry.second, 0) << "task key " << entry.first;
  }
  EXPECT_EQ(data.abnormal_tasks.size(), 14u);
}

TEST_F(TaskFrameworkTest, ReleasingSensorAbnormalKeepsSensorKeyWhileAnotherRemains) {
  StationTaskData data;
  data.dust_bag_in_place_normal = false;
  data.dust_box_cap_normal = false;
  data.abnormal_tasks[TASK_TYPE_SENSOR] = 1;
  data.abnormal_tasks[TASK_TYPE_ADD_WATER] = 1;

  data.AbnormalInfoRelease(ABNORMAL_DUST_BAG_OUT, TASK_TYPE_SENSOR);
  EXPECT_TRUE(data.dust_bag_in_place_normal);
  EXPECT_EQ(data.abnormal_tasks[TASK_TYPE_SENSOR], 1) << "the dust box cap is still open";

  data.AbnormalInfoRelease(ABNORMAL_DUST_BOX_CAP, TASK_TYPE_SENSOR);
  EXPECT_EQ(data.abnormal_tasks[TASK_TYPE_SENSOR], 0);

  // Consumable released for a plain task key: cleared at once.
  data.tap_water_normal = false;
  data.AbnormalInfoRelease(ABNORMAL_TAP_WATER, TASK_TYPE_ADD_WATER);
  EXPECT_TRUE(data.tap_water_normal);
  EXPECT_EQ(data.abnormal_tasks[TASK_TYPE_ADD_WATER], 0);

  // Unknown numbers are logged and change nothing.
  Logs().Clear();
  data.AbnormalInfoRelease(42, 13);
  EXPECT_TRUE(Logs().Has("Unknown Abnormal type 42"));
  EXPECT_TRUE(Logs().Has("Unknown recovery task 13"));
  EXPECT_EQ(data.abnormal_tasks.count(static_cast<TaskType>(13)), 0u);
}

}  // namespace
}  // namespace station_center
