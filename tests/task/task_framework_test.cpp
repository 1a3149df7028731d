#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "clock.h"
#include "task/scripted_task.h"
#include "task/task.h"
#include "task/task_factory.h"

namespace station_center {
namespace {

using station_test::ScriptedTask;
namespace common = vantorel_base_station_common;
const station::SensorsDataRep kNoSensors;

std::shared_ptr<ScriptedTask> MakeTask(TaskType type, int64_t max_seconds = 0) {
  return std::make_shared<ScriptedTask>(nullptr, type, max_seconds, vantorel_base_station_mqtt::ENUM_ACTION_STANDARD,
                                        std::make_shared<station_test::TaskScript>());
}

class TaskFrameworkTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetClockForTest(); }
  void TearDown() override { ResetClockForTest(); }
};

TEST_F(TaskFrameworkTest, ConflictCheckNamesTheFirstRunningConflictInListOrder) {
  auto task = MakeTask(TASK_TYPE_UV_LAMP);
  task->set_conflict_types({TASK_TYPE_PERFUME_LIQUID_PREPARE, TASK_TYPE_CLEAN_LIQUID_PREPARE});
  const TaskTable running = {{TASK_TYPE_CLEAN_LIQUID_PREPARE, MakeTask(TASK_TYPE_CLEAN_LIQUID_PREPARE)},
                             {TASK_TYPE_PERFUME_LIQUID_PREPARE, MakeTask(TASK_TYPE_PERFUME_LIQUID_PREPARE)}};
  const PreCheckResult result = task->PreCheckUnlock(running, kNoSensors);
  EXPECT_EQ(result.err_msg, "pre check failed, have conflict task 3 is running");
  EXPECT_EQ(result.err_code, common::ENUM_CONFLICT_WITH_PERFUME_LIQUEID_PREPARE);
}

TEST_F(TaskFrameworkTest, FactoryTakesTheRequestDurationOnlyForActionTasks) {
  const std::vector<TaskType> unlimited = {TASK_TYPE_DISINFECTANT_PREPARE,   TASK_TYPE_CLEAN_LIQUID_PREPARE,
                                           TASK_TYPE_PERFUME_LIQUID_PREPARE, TASK_TYPE_DRAIN_WATER,
                                           TASK_TYPE_MANUAL_CHARGE,          TASK_TYPE_RESET_STATION};
  station_test::Scripts scripts;
  for (int t = 0; t <= 18; ++t) {
    const TaskType type = static_cast<TaskType>(t);
    SCOPED_TRACE(t);
    scripts.Use(type);
    StationSrvReq req;
    req.task_type = type;
    req.supply_material_req.mutable_cmd()->set_duration(42);
    const CreateTaskResult created = CreateTask(nullptr, req);
    if (type == TASK_TYPE_INVALID || type == TASK_TYPE_SENSOR || t == 18) {
      EXPECT_EQ(created.result, CREATE_TASK_UNSUPPORTED_TYPE) << "no class, even when one is offered";
      continue;
    }
    ASSERT_EQ(created.result, CREATE_TASK_SUCCESS);
    const bool limited = std::find(unlimited.begin(), unlimited.end(), type) == unlimited.end();
    EXPECT_EQ(created.task->max_seconds(), limited ? 42 : 0);
  }
}

TEST_F(TaskFrameworkTest, UpdateRestartsTheLimitOfActionTasksOnly) {
  auto task = MakeTask(TASK_TYPE_DRY, 10);
  ASSERT_TRUE(task->DoTaskInside(kNoSensors));
  AdvanceClockForTest(1000);
  StationSrvReq req;
  req.task_type = TASK_TYPE_DRAIN_WATER;
  req.supply_material_req.mutable_cmd()->set_duration(77);
  EXPECT_TRUE(task->OperateTask(TASK_OPERATION_UPDATE, req));
  EXPECT_EQ(task->max_seconds(), 77);
  EXPECT_TRUE(task->DoTaskInside(kNoSensors)) << "the new limit counts from the update";

  const std::shared_ptr<Task> drain = CreateTask(nullptr, req).task;  // carries no action
  EXPECT_TRUE(drain->OperateTask(TASK_OPERATION_UPDATE, req));
  EXPECT_EQ(drain->max_seconds(), 0);
  EXPECT_FALSE(drain->OperateTask(static_cast<TaskOperation>(7), req)) << "unknown operation";
  EXPECT_EQ(drain->status(), TASK_STATUS_INIT);
}

TEST_F(TaskFrameworkTest, StepTaskLimitIsStrictAndOffWhenNotPositive) {
  // Whole seconds may tick between passes, so stay a second off the boundary.
  for (const auto& [limit, advance, times_out] :
       {std::make_tuple(0, 1000000, false), std::make_tuple(-5, 1000000, false), std::make_tuple(10, 9, false),
        std::make_tuple(10, 11, true)}) {
    SCOPED_TRACE(std::to_string(limit) + " after " + std::to_string(advance));
    ResetClockForTest();
    auto task = MakeTask(TASK_TYPE_RESET_STATION, limit);
    int step_calls = 0;
    task->SetStep(1, [&step_calls](const station::SensorsDataRep&) { return ++step_calls > 0; });
    ASSERT_TRUE(task->StepTaskPass(kNoSensors, "over")) << "starts at step 1";
    AdvanceClockForTest(advance);
    EXPECT_EQ(task->StepTaskPass(kNoSensors, "over"), !times_out);
    EXPECT_EQ(step_calls, times_out ? 1 : 2);
  }

  auto task = MakeTask(TASK_TYPE_RESET_STATION);
  EXPECT_FALSE(task->StepTaskPass(kNoSensors, "over")) << "a step machine pointing nowhere fails";
  task->SetTaskStatus(TASK_STATUS_OVER);
  task->SetStep(1, [](const station::SensorsDataRep&) -> bool { throw std::logic_error("finished task ran a step"); });
  EXPECT_TRUE(task->StepTaskPass(kNoSensors, "over"));
}

TEST_F(TaskFrameworkTest, TaskDataCopyOwnsItsFlagsAndResetKeepsConsumables) {
  StationTaskData original;
  StationTaskData copy = original;
  *copy.abnormal_types.at(ABNORMAL_TAP_WATER) = false;
  EXPECT_TRUE(original.tap_water_normal) << "writing through the copy's table must not reach the original";
  StationTaskData assigned;
  assigned = copy;
  *assigned.abnormal_types.at(ABNORMAL_DUST_BAG_OUT) = false;
  EXPECT_TRUE(copy.dust_bag_in_place_normal);
  EXPECT_FALSE(assigned.tap_water_normal || assigned.dust_bag_in_place_normal);

  StationTaskData data;
  data.work_started = data.disinfectant_water_ready = data.sewage_pump_working = data.manual_charge_state = true;
  data.water_volume = data.tank_water_volume = 500;
  data.charging = data.robot_position = 1;
  for (auto& entry : data.abnormal_types) {
    *entry.second = false;
  }
  for (auto& entry : data.abnormal_tasks) {
    entry.second = 1;
  }
  data.ResetTaskData();
  EXPECT_FALSE(data.work_started || data.disinfectant_water_ready);
  EXPECT_EQ(std::make_pair(data.water_volume, data.tank_water_volume), std::make_pair(-1, -1));
  EXPECT_EQ(std::make_pair(data.charging, data.robot_position), std::make_pair(0, 0));
  EXPECT_TRUE(data.sewage_pump_working && data.manual_charge_state) << "the sensor handler's facts";
  for (int type = 0; type < ABNORMAL_TYPE_COUNT; ++type) {
    // Consumables and the emergency stop stay until confirmed.
    const bool kept = type == ABNORMAL_TAP_WATER || type == ABNORMAL_DISINFECTANT_TABLETS ||
                      type == ABNORMAL_DUST_BAG_REPLACE || type == ABNORMAL_EMERGENCY_STOP;
    EXPECT_EQ(data.AbnormalPresent(type), kept) << "abnormal type " << type;
  }
  for (const auto& entry : data.abnormal_tasks) {
    EXPECT_EQ(entry.second, 0) << "task key " << entry.first;
  }
}

TEST_F(TaskFrameworkTest, SensorKeyStaysAbnormalWhileAnotherSensorConditionRemains) {
  StationTaskData data;
  data.dust_bag_in_place_normal = data.dust_box_cap_normal = data.tap_water_normal = false;
  data.abnormal_tasks[TASK_TYPE_SENSOR] = data.abnormal_tasks[TASK_TYPE_ADD_WATER] = 1;
  data.AbnormalInfoRelease(ABNORMAL_DUST_BAG_OUT, TASK_TYPE_SENSOR);
  EXPECT_TRUE(data.dust_bag_in_place_normal);
  EXPECT_EQ(data.abnormal_tasks[TASK_TYPE_SENSOR], 1) << "the dust box cap is still open";
  data.AbnormalInfoRelease(ABNORMAL_DUST_BOX_CAP, TASK_TYPE_SENSOR);
  EXPECT_EQ(data.abnormal_tasks[TASK_TYPE_SENSOR], 0);
  data.AbnormalInfoRelease(ABNORMAL_TAP_WATER, TASK_TYPE_ADD_WATER);
  EXPECT_EQ(data.abnormal_tasks[TASK_TYPE_ADD_WATER], 0) << "a task key clears at once";
  data.AbnormalInfoRelease(42, 13);
  EXPECT_EQ(data.abnormal_tasks.count(static_cast<TaskType>(13)), 0u) << "unknown numbers change nothing";
}

}  // namespace
}  // namespace station_center
