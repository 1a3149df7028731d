#pragma once

// Helpers shared by the water supply and preparation scenarios.

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "core/station_harness.h"
#include "station_center.h"

namespace station_test {

using WaterActions = std::vector<std::pair<int, int>>;

constexpr int kTap = station::ENUM_SUPPLY_TAP_WATER_SWITCH;
constexpr int kSupply = station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH;
constexpr int kDrainValve = station::ENUM_SUPPLY_DRAINAGE_SWITCH;
constexpr int kSorter = station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR;
constexpr int kCleanPump = station::ENUM_SUPPLY_CLEANING_LIQUID_PUMP;
constexpr int kPerfumePump = station::ENUM_SUPPLY_PERFUME_PUMP;

// Short limits for the water tasks, put back when the scenario ends (the
// configuration record outlives each station).
class WaterLimits {
 public:
  WaterLimits() : saved_(station_center::g_config) {}
  ~WaterLimits() {
    station_center::Config& c = station_center::g_config;
    c.add_water_to_station_max_time = saved_.add_water_to_station_max_time;
    c.add_water_to_robot_max_time = saved_.add_water_to_robot_max_time;
    c.close_clean_pump_max_time = saved_.close_clean_pump_max_time;
    c.close_perfume_pump_max_time = saved_.close_perfume_pump_max_time;
    c.clean_liquid_dissolution_time = saved_.clean_liquid_dissolution_time;
    c.perfume_liquid_dissolution_time = saved_.perfume_liquid_dissolution_time;
    c.disinfectant_table_dissolution_time = saved_.disinfectant_table_dissolution_time;
    c.disinfectant_motor_timeout = saved_.disinfectant_motor_timeout;
    c.wait_disinfectant_motor_recovery_time = saved_.wait_disinfectant_motor_recovery_time;
    c.hardware = saved_.hardware;
  }
  // Call after the station started (start-up reads the configuration again)
  // and before any water task is admitted.
  static void Apply() {
    station_center::Config& c = station_center::g_config;
    c.add_water_to_station_max_time = 30;
    c.add_water_to_robot_max_time = 60;
    c.close_clean_pump_max_time = 1;
    c.close_perfume_pump_max_time = 1;
    c.clean_liquid_dissolution_time = 1;
    c.perfume_liquid_dissolution_time = 1;
    c.disinfectant_table_dissolution_time = 1;
    c.disinfectant_motor_timeout = 30;
    c.wait_disinfectant_motor_recovery_time = 1;
  }

 private:
  station_center::Config saved_;
};

// Brisk water paths so whole preparations and supplies take seconds; the
// board still reports five times a second.
inline HarnessOptions WaterOptions() {
  HarnessOptions options;
  options.model.fill_rate_ml = 1500;
  options.model.supply_rate_ml = 1500;
  options.model.drain_rate_ml = 2000;
  return options;
}

// A robot's preparation request; liquid preparations are admitted on the
// supply action, the disinfectant one on its own.
inline station_center::StationSrvReq PrepareRequest(station_center::TaskType type, int litres, int tablets,
                                                    int action = vantorel_base_station_mqtt::ENUM_ACTION_STANDARD) {
  station_center::StationSrvReq req;
  req.task_type = type;
  auto* cmd = req.prepare_disinfectant_req.mutable_cmd();
  cmd->set_water_volume(litres);
  cmd->set_disinfection_tablets_num(tablets);
  cmd->mutable_action_cmd()->set_action(static_cast<vantorel_base_station_mqtt::EnumActionModel>(action));
  req.supply_material_req.mutable_cmd()->set_action(static_cast<vantorel_base_station_mqtt::EnumActionModel>(action));
  return req;
}

// Admits `req` and returns the task (null when refused).
inline std::shared_ptr<station_center::Task> StartWith(StationHarness& h, const station_center::StationSrvReq& req) {
  std::lock_guard<std::mutex> lock(h.center().task_mutex());
  if (h.center().ReceiveTaskUnlock(req).code != station_center::SRV_CODE_SUCCESS) {
    return nullptr;
  }
  auto it = h.center().tasks().find(req.task_type);
  return it == h.center().tasks().end() ? nullptr : it->second;
}

// The water-path commands the board received, in order.
inline WaterActions WaterPath(StationHarness& h) {
  static const std::set<int> kWaterTypes = {kTap, kSupply, kDrainValve, kSorter, kCleanPump, kPerfumePump};
  WaterActions out;
  for (const auto& a : h.Actions()) {
    if (kWaterTypes.count(a.first) != 0) {
      out.push_back(a);
    }
  }
  return out;
}

inline void SetTankAndWait(StationHarness& h, double ml) {
  h.sim().SetTankVolume(ml);
  const uint32_t foot = ml <= 20 ? 1 : 0;
  ASSERT_TRUE(h.WaitSensors([foot](const station::SensorsDataRep& s) { return s.cleantankfootlevel() == foot; }));
}

inline bool WaitEnded(StationHarness& h, station_center::TaskType type) {
  return WaitUntil([&] { return !h.Running(type); }, std::chrono::seconds(90));
}

}  // namespace station_test
