#pragma once

// A station core wired to the board simulator over loopback, for scenario
// tests of tasks and indication.

#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "clock.h"
#include "config.h"
#include "sim/station_sim.h"
#include "station_center.h"
#include "support/test_support.h"

namespace station_test {

struct HarnessOptions {
  std::string led_json = "{}";
  int drain_water_max_time = 30;
  int sewage_pump_power_soft = 61;
  int sewage_pump_power_standard = 82;
  int sewage_pump_power_strong = 97;
  bool docked = true;  // a docked robot keeps the core from resetting after each task
  // Physics of the simulated station (rates, tank levels).
  station_sim::ModelParams model;
};

class StationHarness {
 public:
  explicit StationHarness(HarnessOptions options = HarnessOptions())
      : options_(std::move(options)), sim_(SimOptionsFor(options_)) {}

  ~StationHarness() {
    if (center_) {
      sim_.Dock(true);
      sim_.SetDropAcks(false);
      for (int type = 1; type <= station_center::TASK_TYPE_RESET_STATION; ++type) {
        if (Running(static_cast<station_center::TaskType>(type))) {
          Submit(static_cast<station_center::TaskType>(type), 4);
        }
      }
      WaitUntil([this] { return center_->running_drivers() == 0 && center_->running_waiters() == 0; });
      station_center::SetStationCenter(nullptr);
      center_.reset();
    }
    sim_.Stop();
    station_center::ResetClockForTest();
  }

  // Simulator and core up, start-up reset finished with the station normal.
  bool Start() {
    if (!sim_.Start()) {
      return false;
    }
    sim_.Dock(options_.docked);
    const uint16_t sensor_port = FreeLoopbackPort();
    sim_.SetSensorTarget("127.0.0.1", sensor_port);
    const HarnessOptions& o = options_;
    root_.WriteFile(kConfigDir + "config.json",
                    "{\"station_id\": \"test\", \"embedded_ip\": \"127.0.0.1\", \"soc_ip\": \"127.0.0.1\", "
                    "\"embedded_action_port\": " +
                        std::to_string(sim_.command_port()) +
                        ", \"soc_data_server_port\": " + std::to_string(sensor_port) +
                        ", \"drain_water_max_time\": " + std::to_string(o.drain_water_max_time) +
                        ", \"sewage_pump_power_soft\": " + std::to_string(o.sewage_pump_power_soft) +
                        ", \"sewage_pump_power_standard\": " + std::to_string(o.sewage_pump_power_standard) +
                        ", \"sewage_pump_power_strong\": " + std::to_string(o.sewage_pump_power_strong) +
                        ", \"running_schedule_space\": 50, \"bottom_action_timeout\": 1, "
                        "\"connect_embedded_board_time\": 10, \"sewage_pump_continue_work_time\": 0, "
                        "\"auto_reset_time_space\": 100000}");
    root_.WriteFile(kConfigDir + "led.json", o.led_json);
    station_center::g_config.hardware = "dvt3";  // no sorter-counter thread
    center_ = std::make_shared<station_center::StationCenter>();
    station_center::SetStationCenter(center_);
    if (!center_->Init()) {
      return false;
    }
    return WaitUntil([this] {
      return center_->station_status() == station_center::STATION_STATUS_NORMAL && center_->running_drivers() == 0;
    });
  }

  station_sim::StationSim& sim() { return sim_; }
  station_center::StationCenter& center() { return *center_; }

  station_center::StationSrvRsp Submit(station_center::TaskType type, int action, int duration = 0) {
    station_center::StationSrvReq req = Request(type, action, duration);
    return center_->HandleService(req);
  }

  // Admits a task and returns it (null when refused), so its final status can
  // be read after its driver has dropped it.
  std::shared_ptr<station_center::Task> StartTask(station_center::TaskType type, int action, int duration = 0) {
    const station_center::StationSrvReq req = Request(type, action, duration);
    std::lock_guard<std::mutex> lock(center_->task_mutex());
    if (center_->ReceiveTaskUnlock(req).code != station_center::SRV_CODE_SUCCESS) {
      return nullptr;
    }
    auto it = center_->tasks().find(type);
    return it == center_->tasks().end() ? nullptr : it->second;
  }

  // The running task of `type`, or null.
  std::shared_ptr<station_center::Task> Find(station_center::TaskType type) {
    std::lock_guard<std::mutex> lock(center_->task_mutex());
    auto it = center_->tasks().find(type);
    return it == center_->tasks().end() ? nullptr : it->second;
  }
  bool Running(station_center::TaskType type) { return Find(type) != nullptr; }

  // Reads or writes the station-wide task data under its lock.
  template <typename F>
  auto WithData(F f) {
    std::unique_lock<std::shared_mutex> lock(center_->task_data_mutex());
    return f(center_->task_data());
  }

  // The core has seen a sensor report satisfying `pred`.
  template <typename P>
  bool WaitSensors(P pred) {
    return WaitUntil([&] {
      std::shared_lock<std::shared_mutex> lock(center_->sensors_mutex());
      return pred(center_->sensors_data());
    });
  }

  // (supply type, action) of every action command the board received, in order.
  std::vector<std::pair<int, int>> Actions(int supply_type = -1) {
    std::vector<std::pair<int, int>> out;
    for (const auto& req : sim_.ReceivedCommands()) {
      if (req.has_cmd_() && (supply_type < 0 || req.cmd_().supply_type_() == supply_type)) {
        out.emplace_back(req.cmd_().supply_type_(), req.cmd_().action_());
      }
    }
    return out;
  }
  std::vector<int> Leds() {
    std::vector<int> out;
    for (const auto& req : sim_.ReceivedCommands()) {
      if (req.has_change_led_()) {
        out.push_back(req.change_led_().led_cmd_());
      }
    }
    return out;
  }

 private:
  static station_center::StationSrvReq Request(station_center::TaskType type, int action, int duration) {
    station_center::StationSrvReq req;
    req.cmd = station_center::SRV_CMD_TASK;
    req.task_type = type;
    auto* cmd = req.supply_material_req.mutable_cmd();
    cmd->set_action(static_cast<vantorel_base_station_mqtt::EnumActionModel>(action));
    cmd->set_duration(duration);
    return req;
  }

  static station_sim::SimOptions SimOptionsFor(const HarnessOptions& options) {
    station_sim::SimOptions sim_options;
    sim_options.model = options.model;
    return sim_options;
  }

  const std::string kConfigDir = "/usr/lib/vantorel-station-center/config/";
  HarnessOptions options_;
  TempRoot root_;
  station_sim::StationSim sim_;
  std::shared_ptr<station_center::StationCenter> center_;
};

}  // namespace station_test
