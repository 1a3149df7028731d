#include "led_manager.h"

#include <rapidjson/document.h>

#include <algorithm>
#include <string>

#include "config.h"
#include "error_codes.h"
#include "logger.h"
#include "station_center.h"
#include "task/task_policy.h"

namespace station_center {

namespace {

constexpr int kDefaultPriority = 1000;

using Condition = std::function<bool(StationTaskData&, const station::SensorsDataRep&, const TaskTable&)>;
using Action = std::function<void(StationTaskData&, const station::SensorsDataRep&)>;

bool SelfCheckPassed(const station::SensorsDataRep& sensors) {
  return sensors.initsensorsstate() && sensors.initactuatorsstate() && sensors.selfcheckstate();
}

StationCenterStatus CurrentStationStatus() {
  std::shared_ptr<StationCenter> center = GetStationCenter();
  return center ? center->station_status() : STATION_STATUS_NORMAL;
}

// A: a finished charge is no longer news, nor is the last docking check.
void ActionA(StationTaskData& data, const station::SensorsDataRep&) {
  if (data.charging == 2) {
    data.charging = 0;
  }
  data.robot_position = 0;
}

// B: the charge-complete pattern stays until something more important shows.
void ActionB(StationTaskData& data, const station::SensorsDataRep&) { data.robot_position = 0; }

// C: a failed docking stays shown until something more important shows.
void ActionC(StationTaskData& data, const station::SensorsDataRep&) {
  if (data.charging == 2) {
    data.charging = 0;
  }
}

// A running task's type shows `led` (the policy table's lamp column).
Condition TaskShows(station::EnumLedCmd led) {
  return [led](StationTaskData&, const station::SensorsDataRep&, const TaskTable& tasks) {
    return std::any_of(tasks.begin(), tasks.end(),
                       [led](const TaskTable::value_type& entry) { return TaskTypeInfoOf(entry.first).lamp == led; });
  };
}

Condition AbnormalPresent(int32_t type) {
  return [type](StationTaskData& data, const station::SensorsDataRep&, const TaskTable&) {
    return data.AbnormalPresent(type);
  };
}

// The pattern conditions that need no state of the manager's own.
bool Always(StationTaskData&, const station::SensorsDataRep&, const TaskTable&) { return true; }

bool SelfCheckFailed(StationTaskData& data, const station::SensorsDataRep& sensors, const TaskTable&) {
  return data.sensor_data_received && !SelfCheckPassed(sensors);
}

Condition ChargingIs(int32_t charging) {
  return [charging](StationTaskData& data, const station::SensorsDataRep&, const TaskTable&) {
    return data.charging == charging;
  };
}

Condition RobotPositionIs(int32_t position) {
  return [position](StationTaskData& data, const station::SensorsDataRep&, const TaskTable&) {
    return data.robot_position == position;
  };
}

bool StationInError(StationTaskData& data, const station::SensorsDataRep&, const TaskTable&) {
  for (int32_t type : {ABNORMAL_DUST_BAG_OUT, ABNORMAL_DUST_BOX_CAP, ABNORMAL_PLATE_UP_TEMP, ABNORMAL_PLATE_DOWN_TEMP,
                       ABNORMAL_HEAT_WIRE_TEMP, ABNORMAL_SENSOR_LINK_LOST}) {
    if (data.AbnormalPresent(type)) {
      return true;
    }
  }
  return CurrentStationStatus() == STATION_STATUS_ERROR;
}

bool SewageOverflow(StationTaskData& data, const station::SensorsDataRep& sensors, const TaskTable&) {
  return data.sensor_data_received && sensors.issewageoverflow();
}

struct PatternRow {
  const char* key;  // its priority in led.json
  station::EnumLedCmd led_cmd;
  Condition condition;
  Action action;
};

// led.json as a JSON object; false (logged) when it cannot be read or is not one.
bool ReadLedDocument(rapidjson::Document* doc) {
  std::string text;
  const FileRead read = ReadStationFile(LedConfigFilePath(), &text);
  if (read == FileRead::kTooLarge) {
    LogRefusedFile(LedConfigFilePath());
    return false;
  }
  if (read != FileRead::kOk) {
    LOG_ERROR("ErrorCode: {}, open config.json failed", kErrConfigOpen);
    return false;
  }
  doc->Parse(text.data(), text.size());
  if (doc->HasParseError() || !doc->IsObject()) {
    LOG_ERROR("ErrorCode: {}, config.json format error", kErrConfigFormat);
    return false;
  }
  return true;
}

}  // namespace

bool LedManager::ReadConfig() {
  rapidjson::Document doc;
  if (!ReadLedDocument(&doc)) {
    return false;
  }
  // Shown once per process. The flag is set by the action, which runs only once
  // the board has the pattern, so a refused command does not use up the one showing.
  Condition self_check_success = [this](StationTaskData& data, const station::SensorsDataRep& sensors,
                                        const TaskTable&) {
    return data.sensor_data_received && SelfCheckPassed(sensors) && !self_check_success_shown_;
  };
  Action self_check_shown = [this](StationTaskData& data, const station::SensorsDataRep& sensors) {
    self_check_success_shown_ = true;
    ActionA(data, sensors);
  };
  const PatternRow rows[] = {
      {"led_normal_work", station::LED_NORMAL_WORK, Always, ActionA},
      {"led_self_check_failed", station::LED_SELF_CHECK_FAIL, SelfCheckFailed, ActionA},
      {"led_self_check_success", station::LED_SELF_CHECK_SUCCESS, self_check_success, self_check_shown},
      {"led_in_charge", station::LED_CHARGING, ChargingIs(1), ActionA},
      {"led_charge_complete", station::LED_CHARGE_COMPLETE, ChargingIs(2), ActionB},
      {"charge_error_led", station::LED_CHARGE_FAIL, ChargingIs(3), ActionA},
      {"deep_self_clean_led", station::LED_DEEP_CLEAN, TaskShows(station::LED_DEEP_CLEAN), ActionA},
      {"station_error_led", station::LED_ERROR_STATE, StationInError, ActionA},
      {"in_supply_led", station::LED_SUPPLYING, TaskShows(station::LED_SUPPLYING), ActionA},
      {"docking_success_led", station::LED_DOCKING_SUCCESS, RobotPositionIs(1), ActionA},
      {"docking_failed_led", station::LED_DOCKING_ERR, RobotPositionIs(2), ActionC},
      {"disinfectant_prepare_led", station::SCREEN_PRE_WATER, TaskShows(station::SCREEN_PRE_WATER), ActionC},
      {"in_dust_collect_led", station::SCREEN_COLLECT_DUST, TaskShows(station::SCREEN_COLLECT_DUST), ActionA},
      {"station_reset", station::SCREEN_STATION_RESET, TaskShows(station::SCREEN_STATION_RESET), ActionA},
      {"disinfectant_tables_err", station::SCREEN_DISINFECTANT_ERR, AbnormalPresent(ABNORMAL_DISINFECTANT_TABLETS),
       ActionA},
      {"tap_water_err", station::SCREEN_TAP_WATER_ERR, AbnormalPresent(ABNORMAL_TAP_WATER), ActionA},
      {"dust_bag_replace_err", station::SCREEN_DUST_BAG_REPLACE_ERR, AbnormalPresent(ABNORMAL_DUST_BAG_REPLACE),
       ActionA},
      {"sewage_over_flow", station::SCREEN_SEWAGE_OVER_FLOW, SewageOverflow, ActionA},
  };
  strategies_.clear();
  for (const PatternRow& row : rows) {
    auto strategy = std::make_shared<LedStrategy>();
    strategy->condition = row.condition;
    strategy->action = row.action;
    strategy->led_cmd = row.led_cmd;
    strategy->priority = GetConfigFromJson<int>(doc, row.key, kDefaultPriority);
    strategies_.push_back(std::move(strategy));
  }
  // Equal ranks keep the order above, so an unranked configuration is still deterministic.
  std::stable_sort(strategies_.begin(), strategies_.end(),
                   [](const std::shared_ptr<LedStrategy>& a, const std::shared_ptr<LedStrategy>& b) {
                     return a->priority < b->priority;
                   });
  return true;
}

}  // namespace station_center
