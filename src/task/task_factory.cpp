#include "task/task_factory.h"

#include <exception>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <utility>

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

// Tasks whose class needs the robot's action.
template <typename T>
TaskMaker ActionTaskMaker() {
  return [](const std::shared_ptr<TaskServices>& services, const StationSrvReq& /*req*/, TaskType type,
            int64_t max_seconds, int32_t action) -> std::shared_ptr<Task> {
    return std::make_shared<T>(services, type, max_seconds, action);
  };
}

// Tasks built from the services, the type and the limit alone.
template <typename T>
TaskMaker PlainTaskMaker() {
  return [](const std::shared_ptr<TaskServices>& services, const StationSrvReq& /*req*/, TaskType type,
            int64_t max_seconds,
            int32_t /*action*/) -> std::shared_ptr<Task> { return std::make_shared<T>(services, type, max_seconds); };
}

// Preparation tasks, built from the robot's preparation request.
template <typename T>
TaskMaker PrepareTaskMaker() {
  return [](const std::shared_ptr<TaskServices>& services, const StationSrvReq& req, TaskType type, int64_t max_seconds,
            int32_t /*action*/) -> std::shared_ptr<Task> {
    return std::make_shared<T>(services, type, max_seconds, req.prepare_disinfectant_req);
  };
}

// The class of each type that has one; the policy of every type is task_policy's.
const std::unordered_map<TaskType, TaskMaker>& OwnMakers() {
  static const std::unordered_map<TaskType, TaskMaker> makers = {
      {TASK_TYPE_DISINFECTANT_PREPARE, PrepareTaskMaker<DisinfectantPrepareTask>()},
      {TASK_TYPE_CLEAN_LIQUID_PREPARE, PrepareTaskMaker<LiquidPrepareTask>()},
      {TASK_TYPE_PERFUME_LIQUID_PREPARE, PrepareTaskMaker<LiquidPrepareTask>()},
      {TASK_TYPE_DRAIN_WATER, PlainTaskMaker<DrainWaterTask>()},
      {TASK_TYPE_ADD_WATER, PlainTaskMaker<AddWaterTask>()},
      {TASK_TYPE_ADD_WATER_NO_LIMIT, PlainTaskMaker<AddWaterNoLimitTask>()},
      {TASK_TYPE_DUST_COLLECT, PlainTaskMaker<DustCollectTask>()},
      {TASK_TYPE_WATER_SPRAY, ActionTaskMaker<WaterSprayTask>()},
      {TASK_TYPE_SEWAGE_DRAIN_PUMP, ActionTaskMaker<SewageDrainPumpTask>()},
      {TASK_TYPE_DRY, PlainTaskMaker<DryTask>()},
      {TASK_TYPE_HEAT_WIRE, ActionTaskMaker<HeatWireTask>()},
      {TASK_TYPE_ULTRASONIC_WASH, PlainTaskMaker<UltrasonicWashTask>()},
      {TASK_TYPE_AUTO_CHARGE, PlainTaskMaker<AutoChargeTask>()},
      {TASK_TYPE_MANUAL_CHARGE, PlainTaskMaker<ManualChargeTask>()},
      {TASK_TYPE_UV_LAMP, PlainTaskMaker<UVTask>()},
      {TASK_TYPE_RESET_STATION, PlainTaskMaker<ResetStationTask>()},
  };
  return makers;
}

}  // namespace

TaskMaker DefaultTaskMaker(TaskType type) {
  const auto& makers = OwnMakers();
  auto it = makers.find(type);
  return it == makers.end() ? TaskMaker() : it->second;
}

void TaskMakers::Set(TaskType type, TaskMaker make) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (make) {
    makers_[type] = std::move(make);
  } else {
    makers_.erase(type);
  }
}

TaskMaker TaskMakers::Of(TaskType type) const {
  TaskMaker own = DefaultTaskMaker(type);
  // A type without a class of its own stays unsupported, whatever was set for it.
  if (!own) {
    return own;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = makers_.find(type);
  return it != makers_.end() ? it->second : own;
}

CreateTaskResult CreateTask(const std::shared_ptr<TaskServices>& services, const StationSrvReq& req,
                            const TaskMakers& makers) {
  CreateTaskResult result;
  const TaskTypeInfo& info = TaskTypeInfoOf(req.task_type);
  const TaskMaker make = makers.Of(req.task_type);
  if (!make) {
    result.result = CREATE_TASK_UNSUPPORTED_TYPE;
    return result;
  }
  const auto& cmd = req.supply_material_req.cmd();
  const int64_t max_seconds = info.limit_from_request() ? cmd.duration() : 0;
  try {
    result.task = make(services, req, req.task_type, max_seconds, cmd.action());
  } catch (const std::exception& e) {
    LOG_ERROR("create task type {} failed: {}", static_cast<int>(req.task_type), e.what());
    result.task.reset();
  }
  if (!result.task) {
    result.result = CREATE_TASK_UNSUPPORTED_TYPE;
    return result;
  }
  result.task->set_conflict_types(info.conflicts);
  return result;
}

}  // namespace station_center
