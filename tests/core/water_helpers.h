#pragma once

// A station for the water supply and preparation scenarios.

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

// A robot's preparation request; liquid preparations are admitted on the
// supply action, the disinfectant one on its own.
inline station_center::StationSrvReq PrepareRequest(station_center::TaskType type, int litres, int tablets,
                                                    int action = vantorel_base_station_mqtt::ENUM_ACTION_STANDARD) {
  const auto model = static_cast<vantorel_base_station_mqtt::EnumActionModel>(action);
  station_center::StationSrvReq req;
  req.task_type = type;
  req.prepare_disinfectant_req.mutable_cmd()->set_water_volume(litres);
  req.prepare_disinfectant_req.mutable_cmd()->set_disinfection_tablets_num(tablets);
  req.prepare_disinfectant_req.mutable_cmd()->mutable_action_cmd()->set_action(model);
  req.supply_material_req.mutable_cmd()->set_action(model);
  return req;
}

// Started and normal, with brisk water paths (the board still reports five
// times a second) and short limits.
class WaterScenario : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(h_.Start());
    for (const auto& limit : Limits::kShort) {  // start-up has read the configuration
      station_center::g_config.*limit.first = limit.second;
    }
    h_.sim().ClearReceivedCommands();
  }

  // Admits a preparation and returns it; null when refused.
  std::shared_ptr<station_center::Task> Prepare(station_center::TaskType type, int litres, int tablets) {
    std::lock_guard<std::mutex> lock(h_.center().task_mutex());
    if (h_.center().ReceiveTaskUnlock(PrepareRequest(type, litres, tablets)).code != station_center::SRV_CODE_SUCCESS) {
      return nullptr;
    }
    return h_.center().tasks().at(type);
  }
  bool Ended(station_center::TaskType type) {
    return WaitUntil([&] { return !h_.Running(type); }, std::chrono::seconds(90));
  }
  bool On(station::EnumSupplyType type) { return h_.sim().ActuatorOn(type); }
  // Sets the tank and waits until the core has seen it.
  void SetTank(double ml) {
    h_.sim().SetTankVolume(ml);
    const uint32_t foot = ml <= 20 ? 1 : 0;
    ASSERT_TRUE(h_.WaitSensors([foot](const station::SensorsDataRep& s) { return s.cleantankfootlevel() == foot; }));
  }
  // The water-path commands the board received, in order.
  WaterActions WaterPath() {
    static const std::set<int> kWaterTypes = {kTap, kSupply, kDrainValve, kSorter, kCleanPump, kPerfumePump};
    WaterActions out;
    for (const auto& a : h_.Actions()) {
      if (kWaterTypes.count(a.first) != 0) {
        out.push_back(a);
      }
    }
    return out;
  }

  // The configuration record outlives the station: put back what was changed.
  struct Limits {
    using Config = station_center::Config;
    static constexpr std::pair<int32_t Config::*, int32_t> kShort[] = {
        {&Config::add_water_to_station_max_time, 30},
        {&Config::add_water_to_robot_max_time, 60},
        {&Config::close_clean_pump_max_time, 1},
        {&Config::close_perfume_pump_max_time, 1},
        {&Config::clean_liquid_dissolution_time, 1},
        {&Config::perfume_liquid_dissolution_time, 1},
        {&Config::disinfectant_table_dissolution_time, 1},
        {&Config::disinfectant_motor_timeout, 30},
        {&Config::wait_disinfectant_motor_recovery_time, 1},
    };
    Limits() : hardware(station_center::g_config.hardware) {
      for (const auto& limit : kShort) {
        saved.push_back(station_center::g_config.*limit.first);
      }
    }
    ~Limits() {
      for (size_t i = 0; i < saved.size(); ++i) {
        station_center::g_config.*kShort[i].first = saved[i];
      }
      station_center::g_config.hardware = hardware;
    }
    std::vector<int32_t> saved;
    std::string hardware;
  };

  Limits limits_;  // restored after the station is gone
  StationHarness h_{[] {
    HarnessOptions options;
    options.model.fill_rate_ml = 1500;
    options.model.supply_rate_ml = 1500;
    options.model.drain_rate_ml = 2000;
    return options;
  }()};
};

}  // namespace station_test
