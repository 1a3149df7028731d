#include "task/task_factory.h"

#include <exception>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <utility>
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

namespace common = vantorel_base_station_common;
namespace robot = vantorel_base_station_mqtt;
using Info = TaskTypeInfo;

// A robot's supply request: its action is checked, its duration is the limit,
// it is work of a visit and its end may reset the station.
constexpr uint32_t kSupply =
    Info::kStartsWorkPeriod | Info::kEndResetsStation | Info::kNeedsAction | Info::kLimitFromRequest;
// Station work without a time limit of its own.
constexpr uint32_t kWork = Info::kStartsWorkPeriod | Info::kEndResetsStation | Info::kNeedsAction;
constexpr int32_t kNoSupply = robot::ENUM_SUPPLY_INVALID;
constexpr common::EnumErrCode kNoCode = common::ENUM_SUCCESS;

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

using TypeRows = std::vector<std::pair<TaskType, TaskTypeInfo>>;

// Rows: name, flags, conflicts, conflict error code, robot supply type, class.
// The tank's work: preparations, draining and the water supplies.
TypeRows WaterRows() {
  return {
      {TASK_TYPE_INVALID, {"invalid", kWork, {}, kNoCode, kNoSupply, nullptr}},
      {TASK_TYPE_DISINFECTANT_PREPARE,
       {"disinfectant-prepare",
        Info::kStartsWorkPeriod | Info::kActionFromPrepare,
        {TASK_TYPE_ADD_WATER, TASK_TYPE_PERFUME_LIQUID_PREPARE, TASK_TYPE_CLEAN_LIQUID_PREPARE,
         TASK_TYPE_ADD_WATER_NO_LIMIT},
        common::ENUM_CONFLICT_WITH_DISINFECTANT_PREPARE,
        kNoSupply,
        PrepareTaskMaker<DisinfectantPrepareTask>()}},
      {TASK_TYPE_CLEAN_LIQUID_PREPARE,
       {"clean-liquid-prepare",
        kWork,
        {TASK_TYPE_ADD_WATER, TASK_TYPE_DISINFECTANT_PREPARE, TASK_TYPE_ADD_WATER_NO_LIMIT,
         TASK_TYPE_PERFUME_LIQUID_PREPARE},
        common::ENUM_CONFLICT_WITH_CLEAN_LIQUEID_PREPARE,
        kNoSupply,
        PrepareTaskMaker<LiquidPrepareTask>()}},
      {TASK_TYPE_PERFUME_LIQUID_PREPARE,
       {"perfume-liquid-prepare",
        kWork,
        {TASK_TYPE_ADD_WATER, TASK_TYPE_DISINFECTANT_PREPARE, TASK_TYPE_ADD_WATER_NO_LIMIT,
         TASK_TYPE_CLEAN_LIQUID_PREPARE},
        common::ENUM_CONFLICT_WITH_PERFUME_LIQUEID_PREPARE,
        kNoSupply,
        PrepareTaskMaker<LiquidPrepareTask>()}},
      {TASK_TYPE_DRAIN_WATER,
       {"drain-water",
        kWork,
        {TASK_TYPE_PERFUME_LIQUID_PREPARE, TASK_TYPE_DISINFECTANT_PREPARE, TASK_TYPE_CLEAN_LIQUID_PREPARE,
         TASK_TYPE_ADD_WATER, TASK_TYPE_ADD_WATER_NO_LIMIT},
        common::ENUM_CONFLICT_WITH_DRAIN_WATER,
        kNoSupply,
        PlainTaskMaker<DrainWaterTask>()}},
      {TASK_TYPE_ADD_WATER,
       {"add-water",
        kSupply | Info::kNeedsRobot,
        {TASK_TYPE_DISINFECTANT_PREPARE, TASK_TYPE_PERFUME_LIQUID_PREPARE, TASK_TYPE_CLEAN_LIQUID_PREPARE,
         TASK_TYPE_DRAIN_WATER, TASK_TYPE_WATER_SPRAY},
        common::ENUM_CONFLICT_WITH_ADD_WATER,
        robot::ENUM_SUPPLY_WATERING,
        PlainTaskMaker<AddWaterTask>()}},
      {TASK_TYPE_ADD_WATER_NO_LIMIT,
       {"add-water-no-limit",
        kSupply | Info::kNeedsRobot,
        {},
        kNoCode,
        robot::ENUM_SUPPLY_WATER_NO_LIMIT,
        PlainTaskMaker<AddWaterNoLimitTask>()}},
  };
}

// The cleaning actuators: dust, spray, sewage, drying and washing.
TypeRows CleaningRows() {
  return {
      {TASK_TYPE_DUST_COLLECT,
       {"dust-collect",
        kSupply,
        {TASK_TYPE_WATER_SPRAY, TASK_TYPE_SEWAGE_DRAIN_PUMP, TASK_TYPE_DRY},
        common::ENUM_CONFLICT_WITH_DUST_COLLECTION,
        robot::ENUM_SUPPLY_COLLECT_DUST,
        PlainTaskMaker<DustCollectTask>()}},
      {TASK_TYPE_WATER_SPRAY,
       {"water-spray",
        kSupply | Info::kNeedsRobot,
        {TASK_TYPE_DUST_COLLECT, TASK_TYPE_DRY, TASK_TYPE_HEAT_WIRE, TASK_TYPE_AUTO_CHARGE, TASK_TYPE_MANUAL_CHARGE},
        common::ENUM_CONFLICT_WITH_WATER_SPRAY,
        robot::ENUM_SUPPLY_CLEAN_PUMP,
        ActionTaskMaker<WaterSprayTask>()}},
      {TASK_TYPE_SEWAGE_DRAIN_PUMP,
       {"sewage-drain-pump",
        kSupply,
        {TASK_TYPE_DRY, TASK_TYPE_HEAT_WIRE},
        common::ENUM_CONFLICT_WITH_SEWAGE_DRAIN,
        robot::ENUM_SUPPLY_SEWAGE_PUMP,
        ActionTaskMaker<SewageDrainPumpTask>()}},
      {TASK_TYPE_DRY,
       {"dry",
        kSupply,
        {TASK_TYPE_WATER_SPRAY, TASK_TYPE_DUST_COLLECT, TASK_TYPE_AUTO_CHARGE, TASK_TYPE_MANUAL_CHARGE},
        common::ENUM_CONFLICT_WITH_DRY_FAN,
        robot::ENUM_SUPPLY_HEATING_FAN,
        PlainTaskMaker<DryTask>()}},
      {TASK_TYPE_HEAT_WIRE,
       {"heat-wire",
        kSupply,
        {TASK_TYPE_WATER_SPRAY, TASK_TYPE_DUST_COLLECT, TASK_TYPE_MANUAL_CHARGE, TASK_TYPE_AUTO_CHARGE},
        common::ENUM_CONFLICT_WITH_HEAT_WIRE,
        robot::ENUM_SUPPLY_HEATING_WIRE,
        ActionTaskMaker<HeatWireTask>()}},
      {TASK_TYPE_ULTRASONIC_WASH,
       {"ultrasonic-wash",
        kSupply,
        {TASK_TYPE_DUST_COLLECT, TASK_TYPE_AUTO_CHARGE, TASK_TYPE_MANUAL_CHARGE},
        kNoCode,
        robot::ENUM_SUPPLY_CLEAN_SUCTION_RAKE,
        PlainTaskMaker<UltrasonicWashTask>()}},
  };
}

// Charging, the UV lamp, the sensors' key and the station reset.
TypeRows ChargeAndStationRows() {
  return {
      {TASK_TYPE_AUTO_CHARGE,
       {"auto-charge",
        kSupply | Info::kNeedsRobot,
        {TASK_TYPE_WATER_SPRAY, TASK_TYPE_HEAT_WIRE, TASK_TYPE_MANUAL_CHARGE},
        common::ENUM_CONFLICT_WITH_AUTO_CHARGE,
        robot::ENUM_SUPPLY_CHARGING,
        PlainTaskMaker<AutoChargeTask>()}},
      // Charging by hand is the person's business: it runs whatever the station
      // does and its end leaves the station as it is.
      {TASK_TYPE_MANUAL_CHARGE,
       {"manual-charge",
        Info::kRunsInAnyStatus,
        {},
        common::ENUM_CONFLICT_WITH_MANUAL_CHARGE,
        kNoSupply,
        PlainTaskMaker<ManualChargeTask>()}},
      {TASK_TYPE_UV_LAMP, {"uv-lamp", kSupply, {}, kNoCode, robot::ENUM_SUPPLY_UV_LAMP, PlainTaskMaker<UVTask>()}},
      // The key of abnormal conditions the sensors found; no task class.
      {TASK_TYPE_SENSOR, {"sensor", kWork, {}, kNoCode, kNoSupply, nullptr}},
      {TASK_TYPE_RESET_STATION,
       {"reset-station",
        Info::kRunsInAnyStatus | Info::kStationReset,
        {},
        kNoCode,
        kNoSupply,
        PlainTaskMaker<ResetStationTask>()}},
  };
}

const std::unordered_map<TaskType, TaskTypeInfo>& TaskTypeTable() {
  static const std::unordered_map<TaskType, TaskTypeInfo> table = [] {
    std::unordered_map<TaskType, TaskTypeInfo> rows;
    for (TypeRows part : {WaterRows(), CleaningRows(), ChargeAndStationRows()}) {
      rows.insert(part.begin(), part.end());
    }
    return rows;
  }();
  return table;
}

}  // namespace

const TaskTypeInfo& TaskTypeInfoOf(TaskType type) {
  // Checked like work of a visit, then refused as unsupported.
  static const TaskTypeInfo unknown = {nullptr, kWork, {}, kNoCode, kNoSupply, nullptr};
  const auto& table = TaskTypeTable();
  auto it = table.find(type);
  return it == table.end() ? unknown : it->second;
}

TaskType TaskTypeOfSupply(int32_t supply_type) {
  if (supply_type == kNoSupply) {
    return TASK_TYPE_INVALID;
  }
  for (const auto& [type, info] : TaskTypeTable()) {
    if (info.supply_type == supply_type) {
      return type;
    }
  }
  return TASK_TYPE_INVALID;
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
  const TaskTypeInfo& info = TaskTypeInfoOf(type);
  // A type without a class of its own stays unsupported, whatever was set for it.
  if (!info.make) {
    return TaskMaker();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = makers_.find(type);
  return it != makers_.end() ? it->second : info.make;
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
