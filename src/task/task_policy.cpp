#include "task/task_policy.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "robot/base_station_mqtt.pb.h"

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
constexpr uint32_t kKey = Info::kAbnormalKey;
constexpr int32_t kNoSupply = robot::ENUM_SUPPLY_INVALID;
constexpr common::EnumErrCode kNoCode = common::ENUM_SUCCESS;
constexpr station::EnumLedCmd kNoLamp = station::LED_NOT_CHANGE;

using TypeRows = std::vector<std::pair<TaskType, TaskTypeInfo>>;

// Rows: name, flags, conflicts, conflict error code, robot supply type, lamp pattern.
// The tank's work: preparations, draining and the water supplies.
TypeRows WaterRows() {
  return {
      {TASK_TYPE_INVALID, {"invalid", kWork, {}, kNoCode, kNoSupply, kNoLamp}},
      {TASK_TYPE_DISINFECTANT_PREPARE,
       {"disinfectant-prepare",
        Info::kStartsWorkPeriod | Info::kActionFromPrepare | kKey,
        {TASK_TYPE_ADD_WATER, TASK_TYPE_PERFUME_LIQUID_PREPARE, TASK_TYPE_CLEAN_LIQUID_PREPARE,
         TASK_TYPE_ADD_WATER_NO_LIMIT},
        common::ENUM_CONFLICT_WITH_DISINFECTANT_PREPARE,
        kNoSupply,
        station::SCREEN_PRE_WATER}},
      {TASK_TYPE_CLEAN_LIQUID_PREPARE,
       {"clean-liquid-prepare",
        kWork | kKey,
        {TASK_TYPE_ADD_WATER, TASK_TYPE_DISINFECTANT_PREPARE, TASK_TYPE_ADD_WATER_NO_LIMIT,
         TASK_TYPE_PERFUME_LIQUID_PREPARE},
        common::ENUM_CONFLICT_WITH_CLEAN_LIQUEID_PREPARE,
        kNoSupply,
        kNoLamp}},
      {TASK_TYPE_PERFUME_LIQUID_PREPARE,
       {"perfume-liquid-prepare",
        kWork | kKey,
        {TASK_TYPE_ADD_WATER, TASK_TYPE_DISINFECTANT_PREPARE, TASK_TYPE_ADD_WATER_NO_LIMIT,
         TASK_TYPE_CLEAN_LIQUID_PREPARE},
        common::ENUM_CONFLICT_WITH_PERFUME_LIQUEID_PREPARE,
        kNoSupply,
        kNoLamp}},
      {TASK_TYPE_DRAIN_WATER,
       {"drain-water",
        kWork | kKey,
        {TASK_TYPE_PERFUME_LIQUID_PREPARE, TASK_TYPE_DISINFECTANT_PREPARE, TASK_TYPE_CLEAN_LIQUID_PREPARE,
         TASK_TYPE_ADD_WATER, TASK_TYPE_ADD_WATER_NO_LIMIT},
        common::ENUM_CONFLICT_WITH_DRAIN_WATER,
        kNoSupply,
        kNoLamp}},
      {TASK_TYPE_ADD_WATER,
       {"add-water",
        kSupply | Info::kNeedsRobot | kKey,
        {TASK_TYPE_DISINFECTANT_PREPARE, TASK_TYPE_PERFUME_LIQUID_PREPARE, TASK_TYPE_CLEAN_LIQUID_PREPARE,
         TASK_TYPE_DRAIN_WATER, TASK_TYPE_WATER_SPRAY},
        common::ENUM_CONFLICT_WITH_ADD_WATER,
        robot::ENUM_SUPPLY_WATERING,
        station::LED_SUPPLYING}},
      {TASK_TYPE_ADD_WATER_NO_LIMIT,
       {"add-water-no-limit", kSupply | Info::kNeedsRobot, {}, kNoCode, robot::ENUM_SUPPLY_WATER_NO_LIMIT, kNoLamp}},
  };
}

// The cleaning actuators: dust, spray, sewage, drying and washing.
TypeRows CleaningRows() {
  return {
      {TASK_TYPE_DUST_COLLECT,
       {"dust-collect",
        kSupply | kKey,
        {TASK_TYPE_WATER_SPRAY, TASK_TYPE_SEWAGE_DRAIN_PUMP, TASK_TYPE_DRY},
        common::ENUM_CONFLICT_WITH_DUST_COLLECTION,
        robot::ENUM_SUPPLY_COLLECT_DUST,
        station::SCREEN_COLLECT_DUST}},
      {TASK_TYPE_WATER_SPRAY,
       {"water-spray",
        kSupply | Info::kNeedsRobot | kKey,
        {TASK_TYPE_DUST_COLLECT, TASK_TYPE_DRY, TASK_TYPE_HEAT_WIRE, TASK_TYPE_AUTO_CHARGE, TASK_TYPE_MANUAL_CHARGE},
        common::ENUM_CONFLICT_WITH_WATER_SPRAY,
        robot::ENUM_SUPPLY_CLEAN_PUMP,
        station::LED_DEEP_CLEAN}},
      {TASK_TYPE_SEWAGE_DRAIN_PUMP,
       {"sewage-drain-pump",
        kSupply | kKey,
        {TASK_TYPE_DRY, TASK_TYPE_HEAT_WIRE},
        common::ENUM_CONFLICT_WITH_SEWAGE_DRAIN,
        robot::ENUM_SUPPLY_SEWAGE_PUMP,
        station::LED_DEEP_CLEAN}},
      // The fan cools the heat wire: the last to go under the emergency stop.
      {TASK_TYPE_DRY,
       {"dry",
        kSupply | kKey | Info::kStopsLast,
        {TASK_TYPE_WATER_SPRAY, TASK_TYPE_DUST_COLLECT, TASK_TYPE_AUTO_CHARGE, TASK_TYPE_MANUAL_CHARGE},
        common::ENUM_CONFLICT_WITH_DRY_FAN,
        robot::ENUM_SUPPLY_HEATING_FAN,
        station::LED_DEEP_CLEAN}},
      {TASK_TYPE_HEAT_WIRE,
       {"heat-wire",
        kSupply | kKey | Info::kStopsFirst,
        {TASK_TYPE_WATER_SPRAY, TASK_TYPE_DUST_COLLECT, TASK_TYPE_MANUAL_CHARGE, TASK_TYPE_AUTO_CHARGE},
        common::ENUM_CONFLICT_WITH_HEAT_WIRE,
        robot::ENUM_SUPPLY_HEATING_WIRE,
        station::LED_DEEP_CLEAN}},
      {TASK_TYPE_ULTRASONIC_WASH,
       {"ultrasonic-wash",
        kSupply | kKey,
        {TASK_TYPE_DUST_COLLECT, TASK_TYPE_AUTO_CHARGE, TASK_TYPE_MANUAL_CHARGE},
        kNoCode,
        robot::ENUM_SUPPLY_CLEAN_SUCTION_RAKE,
        kNoLamp}},
  };
}

// Charging, the UV lamp, the sensors' key and the station reset.
TypeRows ChargeAndStationRows() {
  return {
      {TASK_TYPE_AUTO_CHARGE,
       {"auto-charge",
        kSupply | Info::kNeedsRobot | kKey,
        {TASK_TYPE_WATER_SPRAY, TASK_TYPE_HEAT_WIRE, TASK_TYPE_MANUAL_CHARGE},
        common::ENUM_CONFLICT_WITH_AUTO_CHARGE,
        robot::ENUM_SUPPLY_CHARGING,
        kNoLamp}},
      // Charging by hand is the person's business: it runs whatever the station
      // does and its end leaves the station as it is.
      {TASK_TYPE_MANUAL_CHARGE,
       {"manual-charge",
        Info::kRunsInAnyStatus | kKey,
        {},
        common::ENUM_CONFLICT_WITH_MANUAL_CHARGE,
        kNoSupply,
        kNoLamp}},
      {TASK_TYPE_UV_LAMP, {"uv-lamp", kSupply, {}, kNoCode, robot::ENUM_SUPPLY_UV_LAMP, kNoLamp}},
      // The key of abnormal conditions the sensors found; no task class.
      {TASK_TYPE_SENSOR, {"sensor", kWork | kKey, {}, kNoCode, kNoSupply, kNoLamp}},
      {TASK_TYPE_RESET_STATION,
       {"reset-station",
        Info::kRunsInAnyStatus | Info::kStationReset,
        {},
        kNoCode,
        kNoSupply,
        station::SCREEN_STATION_RESET}},
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
  static const TaskTypeInfo unknown = {nullptr, kWork, {}, kNoCode, kNoSupply, kNoLamp};
  const auto& table = TaskTypeTable();
  auto it = table.find(type);
  return it == table.end() ? unknown : it->second;
}

const std::vector<TaskType>& KnownTaskTypes() {
  static const std::vector<TaskType> types = [] {
    std::vector<TaskType> all;
    for (const auto& row : TaskTypeTable()) {
      all.push_back(row.first);
    }
    std::sort(all.begin(), all.end());
    return all;
  }();
  return types;
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

int StopRank(TaskType type) {
  const TaskTypeInfo& info = TaskTypeInfoOf(type);
  if ((info.flags & Info::kStopsFirst) != 0) {
    return -1;
  }
  return (info.flags & Info::kStopsLast) != 0 ? 1000 : static_cast<int>(type);
}

}  // namespace station_center
