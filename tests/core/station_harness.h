#pragma once

// A station core wired to the board simulator over loopback, for scenario
// tests of tasks, resets and indication.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "clock.h"
#include "config.h"
#include "sim/station_sim.h"
#include "station_center.h"
#include "support/test_support.h"

namespace station_test {

namespace sc = station_center;
using Actions = std::vector<std::pair<int, int>>;  // (supply type, action) as the board received them
inline Actions Head(const Actions& all, size_t n) {
  return Actions(all.begin(), all.begin() + std::min(n, all.size()));
}

// A robot's task request; preparations carry the action, volume and tablets in their own message.
inline sc::StationSrvReq TaskRequest(sc::TaskType type, int action, int duration = 0, int litres = 0, int tablets = 0) {
  const auto model = static_cast<vantorel_base_station_mqtt::EnumActionModel>(action);
  sc::StationSrvReq req;
  req.task_type = type;
  req.supply_material_req.mutable_cmd()->set_action(model);
  req.supply_material_req.mutable_cmd()->set_duration(duration);
  auto* prepare = req.prepare_disinfectant_req.mutable_cmd();
  prepare->mutable_action_cmd()->set_action(model);
  prepare->set_water_volume(litres);
  prepare->set_disinfection_tablets_num(tablets);
  return req;
}

// Requests and questions to a station core, under the locks its callers take.
class CoreAccess {
 public:
  sc::StationCenter& center() { return *center_; }
  sc::StationSrvRsp Submit(sc::TaskType type, int action, int duration = 0) {
    return center_->HandleService(TaskRequest(type, action, duration));
  }
  int32_t Ask(int cmd, sc::StationSrvReq req = {}) {
    req.cmd = cmd;
    return center_->HandleService(req).code;
  }
  sc::StationSrvRsp Admit(const sc::StationSrvReq& req) {
    std::lock_guard<std::mutex> lock(center_->task_mutex());
    return center_->ReceiveTaskUnlock(req);
  }
  // Admits a task and returns it (null when refused), so its final status can
  // be read after its driver has dropped it.
  std::shared_ptr<sc::Task> StartTask(const sc::StationSrvReq& req) {
    std::lock_guard<std::mutex> lock(center_->task_mutex());
    return center_->ReceiveTaskUnlock(req).code == sc::SRV_CODE_SUCCESS ? center_->tasks().at(req.task_type) : nullptr;
  }
  std::shared_ptr<sc::Task> StartTask(sc::TaskType type, int action, int duration = 0) {
    return StartTask(TaskRequest(type, action, duration));
  }
  bool Running(sc::TaskType type) {
    std::lock_guard<std::mutex> lock(center_->task_mutex());
    return center_->tasks().count(type) != 0;
  }
  bool Removed(sc::TaskType type) {
    return WaitUntil([&] { return !Running(type); }, std::chrono::seconds(90));
  }
  // Reads or writes the station-wide task data under its lock.
  template <typename F>
  auto WithData(F f) {
    std::unique_lock<std::shared_mutex> lock(center_->task_data_mutex());
    return f(center_->task_data());
  }
  void SetStatus(sc::StationCenterStatus status) {
    std::lock_guard<std::mutex> lock(center_->task_mutex());
    center_->SetStationCenterStatus(status);
  }
  // Status 3 cancels every task and resets nothing; then the core is dropped.
  void StopCore() {
    if (center_) {
      SetStatus(sc::STATION_STATUS_EMERGENCY_STOP);
      EXPECT_TRUE(WaitUntil([this] { return center_->running_drivers() == 0 && center_->running_waiters() == 0; }));
      sc::SetStationCenter(nullptr);
      center_.reset();
    }
  }

 protected:
  std::shared_ptr<sc::StationCenter> center_;
};

struct HarnessOptions {
  std::string led_json = "{}";
  // config.json members; tests change or add entries.
  std::map<std::string, int> config = {
      {"drain_water_max_time", 30},        {"sewage_pump_power_soft", 61},        {"sewage_pump_power_standard", 82},
      {"sewage_pump_power_strong", 97},    {"running_schedule_space", 50},        {"bottom_action_timeout", 1},
      {"connect_embedded_board_time", 10}, {"sewage_pump_continue_work_time", 0}, {"auto_reset_time_space", 100000}};
  // An empty tank and brisk water paths.
  station_sim::ModelParams model = [] {
    station_sim::ModelParams m;
    m.tank_initial_ml = 0;
    m.fill_rate_ml = m.supply_rate_ml = 1500;
    m.drain_rate_ml = 2000;
    return m;
  }();
};

class StationHarness : public CoreAccess {
 public:
  explicit StationHarness(HarnessOptions options = HarnessOptions()) : options_(std::move(options)) {}
  ~StationHarness() {
    StopCore();
    sim_.reset();
    sc::ResetClockForTest();
    sc::g_config = saved_config_;  // the record outlives the station
  }

  // Simulator and core up, start-up reset finished with the station normal.
  bool Start() {
    station_sim::SimOptions sim_options;
    sim_options.model = options_.model;
    sim_options.report_hz = 20;
    sim_ = std::make_unique<station_sim::StationSim>(sim_options);
    if (!sim_->Start()) {
      return false;
    }
    sim_->Dock(true);  // a docked robot keeps the core from resetting after each task
    options_.config["embedded_action_port"] = sim_->command_port();
    options_.config["soc_data_server_port"] = 0;  // the core binds an ephemeral port
    std::string json = "{\"station_id\": \"test\", \"embedded_ip\": \"127.0.0.1\", \"soc_ip\": \"127.0.0.1\"";
    for (const auto& [key, value] : options_.config) {
      json += ", \"" + key + "\": " + std::to_string(value);
    }
    root_.WriteFile(kConfigDir + "config.json", json + "}");
    root_.WriteFile(kConfigDir + "led.json", options_.led_json);
    sc::g_config.hardware = "dvt3";  // no sorter-counter thread
    center_ = std::make_shared<sc::StationCenter>();
    sc::SetStationCenter(center_);
    // Reports start once the core listens; earlier the simulator would wait a second to retry.
    uint16_t sensor_port = 0;
    if (!center_->Init() ||
        !WaitUntil([&] { return (sensor_port = center_->embedded_communicator()->SensorServerPort()) != 0; })) {
      return false;
    }
    sim_->SetSensorTarget("127.0.0.1", sensor_port);
    return WaitUntil(
        [this] { return center_->station_status() == sc::STATION_STATUS_NORMAL && center_->running_drivers() == 0; });
  }

  station_sim::StationSim& sim() { return *sim_; }

  // The core has seen a sensor report satisfying `pred`.
  template <typename P>
  bool WaitSensors(P pred) {
    return WaitUntil([&] {
      std::shared_lock<std::shared_mutex> lock(center_->sensors_mutex());
      return pred(center_->sensors_data());
    });
  }
  // Sets the simulated tank and waits until the core has seen its foot level.
  bool SetTank(double ml) {
    sim_->SetTankVolume(ml);
    const uint32_t foot = ml <= options_.model.tank_foot_ml ? 1 : 0;
    return WaitSensors([foot](const station::SensorsDataRep& s) { return s.cleantankfootlevel() == foot; });
  }
  bool SetDocked(bool docked) {
    sim_->Dock(docked);
    return WaitSensors(
        [docked](const station::SensorsDataRep& s) { return sc::StationCenter::RobotInPosition(s) == docked; });
  }
  // Lets the task pass in progress finish: a pass holds the task lock from its
  // board command until it has noted when it sent it, so the clock may move after.
  void AfterPass() { std::lock_guard<std::mutex> lock(center_->task_mutex()); }
  bool On(int supply_type) { return sim_->ActuatorOn(static_cast<station::EnumSupplyType>(supply_type)); }

  station_test::Actions Actions(int supply_type = -1) {
    station_test::Actions out;
    for (const auto& req : sim_->ReceivedCommands()) {
      if (req.has_cmd_() && (supply_type < 0 || req.cmd_().supply_type_() == supply_type)) {
        out.emplace_back(req.cmd_().supply_type_(), req.cmd_().action_());
      }
    }
    return out;
  }

 private:
  const std::string kConfigDir = "/usr/lib/vantorel-station-center/config/";
  const sc::Config saved_config_ = sc::g_config;
  HarnessOptions options_;
  TempRoot root_;
  std::unique_ptr<station_sim::StationSim> sim_;
};

}  // namespace station_test
