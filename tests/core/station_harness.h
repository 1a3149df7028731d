#pragma once

// A station core wired to the board simulator over loopback, for scenario
// tests of tasks, resets and indication.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "sim/station_sim.h"
#include "station_center.h"
#include "support/test_support.h"
#include "task/fake_services.h"
#include "task/log_capture.h"
#include "task/scripted_task.h"

namespace station_test {

namespace sc = station_center;
// Outputs as the board numbers them, and the robot's actions.
constexpr int kFan = station::ENUM_SUPPLY_HEATING_FAN, kWire = station::ENUM_SUPPLY_HEATING_WIRE,
              kLamp = station::ENUM_SUPPLY_UV_LAMP, kPump = station::ENUM_SUPPLY_SEWAGE_PUMP,
              kDust = station::ENUM_SUPPLY_COLLECT_DUST, kDrain = station::ENUM_SUPPLY_DRAINAGE_SWITCH,
              kTap = station::ENUM_SUPPLY_TAP_WATER_SWITCH, kSupply = station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH,
              kCharge = station::ENUM_SUPPLY_CHARGING, kBoardReset = station::ENUM_SUPPLY_RESET_MCU;
namespace mq = vantorel_base_station_mqtt;
constexpr int kSoft = mq::ENUM_ACTION_SOFT, kStd = mq::ENUM_ACTION_STANDARD, kStrong = mq::ENUM_ACTION_STRONG,
              kStop = mq::ENUM_ACTION_STOP, kNoAction = mq::ENUM_ACTION_ILLEGAL;  // a charge or a reset carries none
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
  void AdvanceClock(int64_t seconds) { clock_->Advance(seconds); }
  void StepWall(int64_t seconds) { clock_->StepWall(seconds); }
  // From now on tasks of `type` are scripted tasks.
  std::shared_ptr<TaskScript> Script(sc::TaskType type) { return scripts_.Use(type); }
  sc::StationSrvRsp Submit(sc::TaskType type, int action, int duration = 0) {
    return center_->HandleService(TaskRequest(type, action, duration));
  }
  int32_t Ask(int cmd, sc::StationSrvReq req = {}) {
    req.cmd = cmd;
    return center_->HandleService(req).code;
  }
  // Admits a task and returns it (null when refused), so its final status can
  // be read after its driver has dropped it.
  std::shared_ptr<sc::Task> StartTask(sc::TaskType type, int action, int duration = 0, int litres = 0,
                                      int tablets = 0) {
    BeforeStart();
    std::lock_guard<std::mutex> lock(Core().task_mutex());
    const auto code = center_->ReceiveTaskUnlock(TaskRequest(type, action, duration, litres, tablets)).code;
    return code == sc::SRV_CODE_SUCCESS ? Core().tasks().at(type) : nullptr;
  }
  // task_mutex_, taken at a moment when no pass, request or sensor automation
  // is midway: their board exchanges run without it.
  std::unique_lock<std::mutex> LockAtRest() {
    std::unique_lock<std::mutex> lock(Core().task_mutex(), std::defer_lock);
    const bool rest = WaitUntil([&] {
      lock.lock();
      if (center_->AtRestUnlock()) {
        return true;
      }
      lock.unlock();
      return false;
    });
    EXPECT_TRUE(rest) << "the station never came to rest";
    if (!lock.owns_lock()) {
      lock.lock();
    }
    return lock;
  }
  // The core's locks and tables themselves.
  sc::StationCenterProbe Core() { return sc::StationCenterProbe(*center_); }
  bool Running(sc::TaskType type) {
    std::lock_guard<std::mutex> lock(Core().task_mutex());
    return Core().tasks().count(type) != 0;
  }
  // Waits until `task` has left the table: its final status, -1 if none was started or it stays.
  int Finish(const std::shared_ptr<sc::Task>& task) {
    const auto gone = [&] { return !Running(task->task_type()); };
    return task && WaitUntil(gone, std::chrono::seconds(90)) ? task->status() : -1;
  }
  // Reads or writes the station-wide task data under its lock.
  template <typename F>
  auto WithData(F f) {
    std::unique_lock<std::shared_mutex> lock(Core().task_data_mutex());
    return f(Core().task_data());
  }
  // An abnormal condition of that type is recorded.
  bool Present(int abnormal) {
    return WithData([abnormal](sc::StationTaskData& d) { return d.AbnormalPresent(abnormal); });
  }
  void SetStatus(sc::StationCenterStatus status) {
    std::lock_guard<std::mutex> lock(Core().task_mutex());
    center_->SetStationCenterStatus(status);
  }
  // Waits until `n` more task passes (of any task) have run: a span of passes, not of time.
  bool Passes(uint64_t n) {
    const uint64_t from = center_->passes_run();
    return WaitUntil([&] { return center_->passes_run() >= from + n; });
  }
  // No task driver or reset waiter left.
  bool Idle() { return center_->running_drivers() == 0 && center_->running_waiters() == 0; }
  // The station reached `status` with no task driver or reset waiter left.
  bool Settled(sc::StationCenterStatus status = sc::STATION_STATUS_NORMAL) {
    return WaitUntil([&] { return center_->station_status() == status && Idle(); });
  }
  // Status 3 cancels every task and resets nothing; then the core is dropped.
  void StopCore() {
    if (center_) {
      SetStatus(sc::STATION_STATUS_EMERGENCY_STOP);
      EXPECT_TRUE(WaitUntil([this] { return Idle(); }));
      // The sensor thread first: a task it drops may hold the core's last reference,
      // and the core is to end here, with no report in flight.
      const auto board = center_->embedded_communicator();
      if (board && board->data_upload_server()) {
        board->data_upload_server()->Stop();
      }
      sc::SetStationCenter(nullptr);
      center_.reset();
    }
  }

 protected:
  virtual void BeforeStart() {}
  // A core on the test's clock and scripts.
  std::shared_ptr<sc::StationCenter> NewCore() {
    return std::make_shared<sc::StationCenter>(sc::CoreParts{clock_, scripts_.makers(), publisher_, board_});
  }

  const std::shared_ptr<TestClock> clock_ = std::make_shared<TestClock>();
  std::shared_ptr<sc::ReportPublisher> publisher_;   // none unless set before Start
  std::shared_ptr<sc::EmbeddedCommunicator> board_;  // the board of a core without Init; none by default
  Scripts scripts_;
  std::shared_ptr<sc::StationCenter> center_;
};

class StationHarness : public CoreAccess {
 public:
  // `tank_ml` in the clean tank at start; `led_json` the LED patterns. Brisk water paths.
  explicit StationHarness(double tank_ml = 0, const std::string& led_json = "{}") {
    root_.WriteFile(kConfigDir + "led.json", led_json);
    sim_options_.report_hz = 20;
    auto& model = sim_options_.model;
    model.tank_initial_ml = tank_ml;
    model.fill_rate_ml = model.supply_rate_ml = model.drain_rate_ml = 3000;
    model.tablet_period_s = 0.2;
  }
  // Before Start: where the core's reports go.
  void SetPublisher(std::shared_ptr<sc::ReportPublisher> publisher) { publisher_ = std::move(publisher); }
  // Before Start: a config.json member, `value` in JSON.
  void Configure(const std::string& key, const std::string& value) { config_ += "\"" + key + "\": " + value + ", "; }

  ~StationHarness() {
    StopCore();
    sc::g_config = saved_config_;  // the record outlives the station
  }

  // Simulator and core up, start-up reset finished with the station normal.
  bool Start() {
    sim_ = std::make_unique<station_sim::StationSim>(sim_options_);
    if (!sim_->Start()) {
      return false;
    }
    sim_->Dock(true);  // a docked robot keeps the core from resetting after each task
    root_.WriteFile(kConfigDir + "config.json", "{" + config_ + "\"embedded_action_port\": " +
                                                    std::to_string(sim_->command_port()) + ", " + kDefaults + "}");
    sc::g_config.hardware = "dvt3";  // no sorter-counter thread
    center_ = NewCore();
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
      std::shared_lock<std::shared_mutex> lock(Core().sensors_mutex());
      return pred(Core().sensors_data());
    });
  }
  // A report satisfying `pred` that arrived after this call has been handled whole, the
  // sensor automation's board commands included.
  template <typename P>
  bool Handled(P pred) {
    const int64_t after = clock_->NowMillis();
    const bool seen =
        WaitSensors([&](const station::SensorsDataRep& s) { return center_->LatestReportMillis() > after && pred(s); });
    AfterPass();
    return seen;
  }
  bool Handled() {
    return Handled([](const station::SensorsDataRep&) { return true; });
  }
  // Sets the simulated tank and waits until the core has seen its foot level.
  bool SetTank(double ml) {
    sim_->SetTankVolume(ml);
    const uint32_t foot = ml <= sim_options_.model.tank_foot_ml ? 1 : 0;
    return WaitSensors([foot](const station::SensorsDataRep& s) { return s.cleantankfootlevel() == foot; });
  }
  bool SetDocked(bool docked) {
    sim_->Dock(docked);
    return WaitSensors(
        [docked](const station::SensorsDataRep& s) { return sc::StationCenter::RobotInPosition(s) == docked; });
  }
  // Lets the task pass (and sensor handling) in progress finish, so the clock may move after.
  void AfterPass() { LockAtRest(); }
  bool On(int supply_type) { return sim_->ActuatorOn(static_cast<station::EnumSupplyType>(supply_type)); }
  bool WaitOn(int supply_type, bool on = true) {
    return WaitUntil([&] { return On(supply_type) == on; });
  }

  // The lamp patterns the board was asked for, in order.
  std::vector<int> Leds() {
    std::vector<int> leds;
    for (const auto& req : sim_->ReceivedCommands()) {
      if (req.has_change_led_()) {
        leds.push_back(req.change_led_().led_cmd_());
      }
    }
    return leds;
  }
  // How many of the commands to `supply_type` switched it on (or, with `on` false, off).
  int Sent(int supply_type, bool on) {
    const station_test::Actions sent = Actions(supply_type);
    return static_cast<int>(
        std::count_if(sent.begin(), sent.end(), [on](const auto& a) { return (a.second != 0) == on; }));
  }
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
  // Each started task's commands are recorded afresh.
  void BeforeStart() override { sim_->ClearReceivedCommands(); }

  const std::string kConfigDir = "/usr/lib/vantorel-station-center/config/";
  // The core binds an ephemeral sensor port. Short limits; liquid pumps, dissolution
  // and the tablet motor's pause end at the next pass (a negative time).
  const std::string kDefaults = R"("station_id": "test", "embedded_ip": "127.0.0.1", "soc_ip": "127.0.0.1",
      "soc_data_server_port": 0, "drain_water_max_time": 30, "running_schedule_space": 50,
      "bottom_action_timeout": 1, "connect_embedded_board_time": 10, "sewage_pump_continue_work_time": 0,
      "auto_reset_time_space": 100000, "add_water_to_station_max_time": 30, "add_water_to_robot_max_time": 60,
      "disinfectant_motor_timeout": 1000, "close_clean_pump_max_time": -1, "close_perfume_pump_max_time": -1,
      "clean_liquid_dissolution_time": -1, "perfume_liquid_dissolution_time": -1,
      "disinfectant_table_dissolution_time": -1, "wait_disinfectant_motor_recovery_time": -1)";
  std::string config_;  // members set by Configure, ahead of the defaults: the first of a name counts

  const sc::Config saved_config_ = sc::g_config;
  station_sim::SimOptions sim_options_;
  TempRoot root_;
  std::unique_ptr<station_sim::StationSim> sim_;
};

// A station started for each test; the log capture is in place before its threads start.
class StationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Logs().Clear();
    ASSERT_TRUE(h_.Start());
  }
  StationHarness h_;
};

}  // namespace station_test
