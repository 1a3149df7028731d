#include "task/task_factory.h"

#include <exception>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "config.h"
#include "logger.h"
#include "task/add_water_no_limit_task.h"
#include "task/add_water_task.h"
#include "task/auto_charge_task.h"
#include "task/disinfectant_prepare_task.h"
#include "task/drain_water_task.h"
#include "task/dry_task.h"
#include "task/dust_collect_task.h"
#include "task/heat_wire_task.h"
#include "task/liquid_prepare_task.h"
#include "task/manual_charge_task.h"
#include "task/reset_station_task.h"
#include "task/sewage_drain_pump_task.h"
#include "task/ultrasonic_wash_task.h"
#include "task/uv_task.h"
#include "task/water_spray_task.h"

namespace station_center {

namespace {

struct TaskTypeRow {
  // Running types that block a new task of this type, in checking order.
  std::vector<TaskType> conflicts;
  // The time limit is the request's duration; otherwise the task has none.
  bool limit_from_request;
  // Empty while the type has no task class: answered as unsupported.
  TaskMaker make;
};

// Tasks that carry the robot's action command.
template <typename T>
TaskMaker ActionTaskMaker() {
  return
      [](const std::shared_ptr<StationCenter>& center, const StationSrvReq& /*req*/, TaskType type, int64_t max_seconds,
         int32_t action) -> std::shared_ptr<Task> { return std::make_shared<T>(center, type, max_seconds, action); };
}

// Tasks built from the owner, the type and the limit alone.
template <typename T>
TaskMaker PlainTaskMaker() {
  return
      [](const std::shared_ptr<StationCenter>& center, const StationSrvReq& /*req*/, TaskType type, int64_t max_seconds,
         int32_t /*action*/) -> std::shared_ptr<Task> { return std::make_shared<T>(center, type, max_seconds); };
}

// Preparation tasks, built from the robot's preparation request.
template <typename T>
TaskMaker PrepareTaskMaker() {
  return [](const std::shared_ptr<StationCenter>& center, const StationSrvReq& req, TaskType type, int64_t max_seconds,
            int32_t /*action*/) -> std::shared_ptr<Task> {
    return std::make_shared<T>(center, type, max_seconds, req.prepare_disinfectant_req);
  };
}

const std::unordered_map<TaskType, TaskTypeRow>& TaskTypeTable() {
  static const std::unordered_map<TaskType, TaskTypeRow> table = {
      {TASK_TYPE_DISINFECTANT_PREPARE,
       {{TASK_TYPE_ADD_WATER, TASK_TYPE_PERFUME_LIQUID_PREPARE, TASK_TYPE_CLEAN_LIQUID_PREPARE,
         TASK_TYPE_ADD_WATER_NO_LIMIT},
        false,
        PrepareTaskMaker<DisinfectantPrepareTask>()}},
      {TASK_TYPE_CLEAN_LIQUID_PREPARE,
       {{TASK_TYPE_ADD_WATER, TASK_TYPE_DISINFECTANT_PREPARE, TASK_TYPE_ADD_WATER_NO_LIMIT,
         TASK_TYPE_PERFUME_LIQUID_PREPARE},
        false,
        PrepareTaskMaker<LiquidPrepareTask>()}},
      {TASK_TYPE_PERFUME_LIQUID_PREPARE,
       {{TASK_TYPE_ADD_WATER, TASK_TYPE_DISINFECTANT_PREPARE, TASK_TYPE_ADD_WATER_NO_LIMIT,
         TASK_TYPE_CLEAN_LIQUID_PREPARE},
        false,
        PrepareTaskMaker<LiquidPrepareTask>()}},
      {TASK_TYPE_DRAIN_WATER,
       {{TASK_TYPE_PERFUME_LIQUID_PREPARE, TASK_TYPE_DISINFECTANT_PREPARE, TASK_TYPE_CLEAN_LIQUID_PREPARE,
         TASK_TYPE_ADD_WATER, TASK_TYPE_ADD_WATER_NO_LIMIT},
        false,
        PlainTaskMaker<DrainWaterTask>()}},
      {TASK_TYPE_ADD_WATER,
       {{TASK_TYPE_DISINFECTANT_PREPARE, TASK_TYPE_PERFUME_LIQUID_PREPARE, TASK_TYPE_CLEAN_LIQUID_PREPARE,
         TASK_TYPE_DRAIN_WATER, TASK_TYPE_WATER_SPRAY},
        true,
        ActionTaskMaker<AddWaterTask>()}},
      {TASK_TYPE_DUST_COLLECT,
       {{TASK_TYPE_WATER_SPRAY, TASK_TYPE_SEWAGE_DRAIN_PUMP, TASK_TYPE_DRY}, true, ActionTaskMaker<DustCollectTask>()}},
      {TASK_TYPE_WATER_SPRAY,
       {{TASK_TYPE_DUST_COLLECT, TASK_TYPE_DRY, TASK_TYPE_HEAT_WIRE, TASK_TYPE_AUTO_CHARGE, TASK_TYPE_MANUAL_CHARGE},
        true,
        ActionTaskMaker<WaterSprayTask>()}},
      {TASK_TYPE_SEWAGE_DRAIN_PUMP,
       {{TASK_TYPE_DRY, TASK_TYPE_HEAT_WIRE}, true, ActionTaskMaker<SewageDrainPumpTask>()}},
      {TASK_TYPE_DRY,
       {{TASK_TYPE_WATER_SPRAY, TASK_TYPE_DUST_COLLECT, TASK_TYPE_AUTO_CHARGE, TASK_TYPE_MANUAL_CHARGE},
        true,
        ActionTaskMaker<DryTask>()}},
      {TASK_TYPE_HEAT_WIRE,
       {{TASK_TYPE_WATER_SPRAY, TASK_TYPE_DUST_COLLECT, TASK_TYPE_MANUAL_CHARGE, TASK_TYPE_AUTO_CHARGE},
        true,
        ActionTaskMaker<HeatWireTask>()}},
      {TASK_TYPE_AUTO_CHARGE,
       {{TASK_TYPE_WATER_SPRAY, TASK_TYPE_HEAT_WIRE, TASK_TYPE_MANUAL_CHARGE},
        true,
        ActionTaskMaker<AutoChargeTask>()}},
      {TASK_TYPE_MANUAL_CHARGE, {{}, false, PlainTaskMaker<ManualChargeTask>()}},
      {TASK_TYPE_UV_LAMP, {{}, true, ActionTaskMaker<UVTask>()}},
      {TASK_TYPE_ADD_WATER_NO_LIMIT, {{}, true, ActionTaskMaker<AddWaterNoLimitTask>()}},
      {TASK_TYPE_ULTRASONIC_WASH,
       {{TASK_TYPE_DUST_COLLECT, TASK_TYPE_AUTO_CHARGE, TASK_TYPE_MANUAL_CHARGE},
        true,
        ActionTaskMaker<UltrasonicWashTask>()}},
      {TASK_TYPE_RESET_STATION, {{}, false, PlainTaskMaker<ResetStationTask>()}},
  };
  return table;
}

std::mutex g_override_mutex;
std::unordered_map<TaskType, TaskMaker> g_overrides;  // guarded by g_override_mutex

TaskMaker MakerOf(TaskType type, const TaskTypeRow& row) {
  std::lock_guard<std::mutex> lock(g_override_mutex);
  auto it = g_overrides.find(type);
  return it != g_overrides.end() ? it->second : row.make;
}

}  // namespace

void OverrideTaskClassForTest(TaskType type, TaskMaker make) {
  std::lock_guard<std::mutex> lock(g_override_mutex);
  if (make) {
    g_overrides[type] = std::move(make);
  } else {
    g_overrides.erase(type);
  }
}

int32_t ValueForAction(int32_t action, int32_t soft, int32_t standard, int32_t strong) {
  switch (action) {
    case vantorel_base_station_mqtt::ENUM_ACTION_SOFT:
      return soft;
    case vantorel_base_station_mqtt::ENUM_ACTION_STANDARD:
      return standard;
    case vantorel_base_station_mqtt::ENUM_ACTION_STRONG:
      return strong;
    default:
      return 0;
  }
}

CreateTaskResult CreateTask(const std::shared_ptr<StationCenter>& station_center, const StationSrvReq& req) {
  CreateTaskResult result;
  const auto& table = TaskTypeTable();
  auto row = table.find(req.task_type);
  if (row == table.end()) {
    result.result = CREATE_TASK_UNSUPPORTED_TYPE;
    return result;
  }
  const TaskMaker make = MakerOf(req.task_type, row->second);
  if (!make) {
    result.result = CREATE_TASK_UNSUPPORTED_TYPE;
    return result;
  }
  const auto& cmd = req.supply_material_req.cmd();
  const int64_t max_seconds = row->second.limit_from_request ? cmd.duration() : 0;
  try {
    result.task = make(station_center, req, req.task_type, max_seconds, cmd.action());
  } catch (const std::exception& e) {
    LOG_ERROR("create task type {} failed: {}", static_cast<int>(req.task_type), e.what());
    result.task.reset();
  }
  if (!result.task) {
    result.result = CREATE_TASK_UNSUPPORTED_TYPE;
    return result;
  }
  result.task->set_conflict_types(row->second.conflicts);
  return result;
}

}  // namespace station_center
