// A private station for the soak run, and the robot that visits it.

#include "soak_station.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "sim/control_server.h"

namespace soak {

namespace {

bool WriteFile(const std::string& path, const std::string& content) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out);
}

std::string HostName() {
  char host[256] = {};
  return ::gethostname(host, sizeof(host) - 1) == 0 && host[0] != '\0' ? host : "station-xx";
}

// Limits cut so that a visit takes seconds, and faults end in seconds too: board
// answers, tap refill, supply and drain limits, dissolution, the dust-bag
// debounce, the sewage run-on, the idle reset and the task period.
// systemd's watchdog time in the packaged unit.
constexpr int kWatchdogSeconds = 90;

constexpr const char* kFastConfig =
    "\"bottom_action_timeout\": 1, \"running_schedule_space\": 50, \"upload_station_info_to_cloud_interval\": 1, "
    "\"add_water_to_station_max_time\": 8, \"add_water_to_robot_max_time\": 8, \"drain_water_max_time\": 8, "
    "\"disinfectant_table_dissolution_time\": 1, \"clean_liquid_dissolution_time\": 1, "
    "\"perfume_liquid_dissolution_time\": 1, \"close_clean_pump_max_time\": 2, \"close_perfume_pump_max_time\": 2, "
    "\"disinfectant_motor_timeout\": 5, \"dust_bag_reset_max_time\": 1, \"sewage_pump_continue_work_time\": 2, "
    "\"auto_reset_time_space\": 5, \"mqtt_keep_alive_interval\": 5, \"connect_embedded_board_time\": 30";

}  // namespace

bool Station::WriteTree(uint16_t command_port, uint16_t sensor_port, std::string* error) {
  const std::string dir = root_ + "/usr/lib/vantorel-station-center/";
  const bool ok =
      WriteFile(dir + "config/config.json",
                "{\"station_id\": \"station-xx\", \"embedded_ip\": \"127.0.0.1\", \"soc_ip\": \"127.0.0.1\", "
                "\"embedded_action_port\": " +
                    std::to_string(command_port) + ", \"soc_data_server_port\": " + std::to_string(sensor_port) +
                    (options_.fast_limits ? std::string(", ") + kFastConfig : std::string()) + "}") &&
      WriteFile(dir + "config/led.json", R"({"station_reset": 1, "station_error_led": 2, "sewage_over_flow": 3,
        "led_self_check_failed": 4, "led_self_check_success": 5, "charge_error_led": 6, "tap_water_err": 7,
        "disinfectant_tables_err": 8, "dust_bag_replace_err": 9, "docking_failed_led": 10,
        "docking_success_led": 11, "in_dust_collect_led": 12, "disinfectant_prepare_led": 13, "in_supply_led": 14,
        "deep_self_clean_led": 15, "led_in_charge": 16, "led_charge_complete": 17, "led_normal_work": 100})") &&
      WriteFile(dir + "status/status.json", "{\"dust_bag_last_replace_time\": " + std::to_string(::time(nullptr)) +
                                                ", \"hardware\": \"dvt3\", \"mqtt_server_address\": \"" + broker_ +
                                                "\"}") &&
      WriteFile(root_ + "/etc/vantorel/device-env", "TEST\n");
  if (!ok) {
    *error = "cannot write the station tree under " + root_;
  }
  return ok;
}

bool Station::Start(std::string* error) {
  root_ = options_.work_dir + "/root";
  control_socket_ = options_.work_dir + "/board.sock";
  mosquitto_.emplace(kit::FreeLoopbackPort(), false, std::nullopt, options_.work_dir);
  broker_ = mosquitto_->address();
  station_id_ = HostName();
  if (!WriteTree(kit::FreeLoopbackPort(), kit::FreeLoopbackPort(), error)) {
    return false;
  }
  const char* faketime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";
  if (options_.wall_steps && ::access(faketime, R_OK) == 0 && WriteFile(options_.work_dir + "/faketime", "+0\n")) {
    faketime_ = faketime;
  }
  static std::atomic<int> stations{0};
  notify_name_ = "@station-soak-" + std::to_string(::getpid()) + "-" + std::to_string(++stations);
  if (!notify_.Start(notify_name_)) {
    *error = "cannot open the notify socket";
    return false;
  }
  return StartProcesses(error);
}

std::vector<std::string> Station::DaemonEnv() const {
  std::vector<std::string> env = {
      "STATION_CENTER_ROOT=" + root_,  "SPDLOG_STDOUT=true",
      "SPDLOG_SYSTEMD=false",          "SPDLOG_LEVEL=info",
      "NOTIFY_SOCKET=" + notify_name_, "WATCHDOG_USEC=" + std::to_string(kWatchdogSeconds * 1000000)};
  if (!faketime_.empty()) {
    // The offset file read again at most once a second; the steady clock left alone.
    for (const char* var : {"FAKETIME_CACHE_DURATION=1", "FAKETIME_DONT_FAKE_MONOTONIC=1"}) env.push_back(var);
    env.push_back("LD_PRELOAD=" + faketime_);
    env.push_back("FAKETIME_TIMESTAMP_FILE=" + options_.work_dir + "/faketime");
  }
  return env;
}

bool Station::StepWall(int seconds) {
  if (faketime_.empty()) return false;
  wall_offset_ += seconds;
  return WriteFile(options_.work_dir + "/faketime",
                   (wall_offset_ < 0 ? "" : "+") + std::to_string(wall_offset_) + "\n");
}

bool Station::StartDaemon(std::string* error) {
  switched_off_ = false;
  if (!daemon_.Start(options_.bin_dir + "/station_center", {}, DaemonEnv(),
                     options_.work_dir + "/station_center.log")) {
    *error = "cannot start " + options_.bin_dir + "/station_center";
    return false;
  }
  return true;
}

bool Station::KillDaemon() {
  const pid_t pid = daemon_.pid();
  if (pid <= 0 || ::kill(pid, SIGKILL) != 0) {
    return false;
  }
  const auto end = Clock::now() + std::chrono::seconds(10);
  while (daemon_.Running() && Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  SwitchOffWithoutDaemon();
  return true;
}

bool Station::RestartDaemon(std::chrono::milliseconds limit, std::string* error) {
  const auto started = Clock::now();
  if (!StartDaemon(error)) {
    return false;
  }
  // The first ping may come before the broker connection, and a request published then
  // reaches no subscriber: wait for this process's own word that it is connected too.
  const auto connected = [&] {
    const auto notes = notify_.With("STATUS");
    return !notes.empty() && notes.back().at > started &&
           notes.back().Get("STATUS").find("; broker connected") != std::string::npos;
  };
  if (!kit::WaitUntil([&] { return notify_.SinceWatchdog() <= 0.5 && connected(); }, limit,
                      [&] { return daemon_.Running(); })) {
    *error = "station_center did not ping its watchdog and connect to the broker after a restart";
    return false;
  }
  return true;
}

bool Station::StartProcesses(std::string* error) {
  const auto& dir = options_.work_dir;
  if (!mosquitto_->Start()) {
    *error = "mosquitto did not come up (" + mosquitto_->log_path() + ")";
    return false;
  }
  if (!sim_.Start(
          options_.bin_dir + "/board_sim",
          {"--root", root_, "--control", control_socket_, "--no-console", "--rate", std::to_string(options_.sim_rate)},
          {}, dir + "/board_sim.log") ||
      !kit::WaitUntil([&] { return std::filesystem::exists(control_socket_); }, std::chrono::seconds(20),
                      [&] { return sim_.Running(); })) {
    *error = "board_sim did not come up (" + dir + "/board_sim.log)";
    return false;
  }
  if (!StartDaemon(error)) {
    return false;
  }
  if (!kit::WaitUntil([&] { return notify_.ready() && DaemonIdle(notify_.status()); }, std::chrono::seconds(120),
                      [&] { return daemon_.Running(); })) {
    *error = "station_center did not become idle and connected (status '" + notify_.status() + "', " + dir +
             "/station_center.log)";
    return false;
  }
  return true;
}

bool Station::RestartBroker(bool nodelay, std::string* error) {
  if (!mosquitto_->Restart(nodelay)) {
    *error = "mosquitto did not come up again (" + mosquitto_->log_path() + ")";
    return false;
  }
  return true;
}

void Station::Stop() {
  daemon_.Stop();
  sim_.Stop();
  if (mosquitto_) {
    mosquitto_->Stop();
  }
  notify_.Stop();
}

std::string Station::Sim(const std::string& line) {
  std::string answer;
  return station_sim::ControlRequest(control_socket_, line, &answer) ? answer : "";
}

bool Station::DaemonAlive(std::string* why) {
  if (!daemon_.Running()) {
    *why = "station_center ended (" + daemon_.Ending() + ")";
    SwitchOffWithoutDaemon();
    return false;
  }
  // Pinged once a second after each housekeeping pass; as long a silence as makes
  // systemd restart the daemon counts as dead (slow passes show as late replies).
  const double silent = notify_.SinceWatchdog();
  if (silent > kWatchdogSeconds) {
    *why = "station_center has not pinged its watchdog for " + std::to_string(static_cast<int>(silent)) + " s";
    return false;
  }
  return true;
}

// As the unit's ExecStopPost: once per ended daemon, the board is reset over a
// connection of its own (bounded by the switch-off itself).
void Station::SwitchOffWithoutDaemon() {
  if (daemon_.pid() > 0 || switched_off_) {
    return;
  }
  switched_off_ = true;
  Child off;
  if (!off.Start(options_.bin_dir + "/station_center", {"--switch-off"}, DaemonEnv(),
                 options_.work_dir + "/station_center.log")) {
    return;
  }
  const auto end = Clock::now() + std::chrono::seconds(5);
  while (off.Running() && Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  off.Stop();
}

std::string Station::Logs() const { return "logs: " + options_.work_dir + "/{station_center,board_sim,mosquitto}.log"; }

Robot::Robot(const std::string& broker, const std::string& station_id)
    : station_id_(station_id), session_(broker, "station-soak-" + std::to_string(::getpid())) {}

bool Robot::Connect(std::string* error) {
  std::vector<std::string> topics;
  for (const stationctl::RequestTopic& topic : stationctl::RequestTopics()) {
    topics.push_back(stationctl::StationTopic(station_id_, topic.reply_segment));
  }
  return session_.Connect(std::chrono::seconds(10), error) &&
         session_.Subscribe(topics, std::chrono::seconds(10), error);
}

Answer Robot::Ask(const Request& request, std::chrono::milliseconds limit) {
  Answer answer;
  std::string msg_id;
  std::string name;
  std::unique_ptr<google::protobuf::Message> reply;
  const auto message = BuildRequest(request, "station-soak", &msg_id, &name, &reply);
  const std::string topic = stationctl::StationTopic(station_id_, name);
  const std::string reply_topic =
      stationctl::StationTopic(station_id_, stationctl::TopicOfRequest(*message)->reply_segment);
  // Printed before the clock starts and parsed after it stops: the time is the station's
  // and the broker's, as the echo it is compared with has no JSON to convert.
  const std::string json = stationctl::ToWireJson(*message);
  const auto sent = Clock::now();
  const auto since = [&] { return std::chrono::duration<double>(Clock::now() - sent).count(); };
  std::string error;
  if (!session_.Publish(topic, json, limit, &error)) {
    answer.text = "not published: " + error;
    answer.seconds = since();
    return answer;
  }
  for (;;) {
    std::string got_topic;
    std::string payload;
    const stationctl::Session::Wait wait = session_.Next(sent + limit, &got_topic, &payload);
    if (wait != stationctl::Session::Wait::kMessage) {
      answer.text = wait == stationctl::Session::Wait::kLost ? "lost the broker" : "no reply";
      answer.seconds = since();
      return answer;
    }
    const double received = since();
    reply->Clear();
    if (got_topic != reply_topic || !stationctl::ParseJson(payload, reply.get(), nullptr) ||
        payload.find(msg_id) == std::string::npos) {
      continue;  // a late reply to an earlier request
    }
    answer.answered = true;
    answer.seconds = received;
    answer.verdict = stationctl::Judge(*message, *reply);
    answer.text = stationctl::VerdictLine(answer.verdict);
    return answer;
  }
}

}  // namespace soak
