#include "e2e/station_fixture.h"

#include <rapidjson/document.h>
#include <unistd.h>

#include <ctime>
#include <regex>
#include <sstream>
#include <thread>

#include "sim/control_server.h"

namespace station_test {

namespace {

constexpr const char* kConfigDir = "/usr/lib/vantorel-station-center/config/";
constexpr const char* kUploadTopic = "clean_robot_station/reportActively";

// The lamp ranking of ./scripts/run-sim, so the scenarios see what a person there sees.
constexpr const char* kLedJson = R"({
    "station_reset": 1, "station_error_led": 2, "sewage_over_flow": 3, "led_self_check_failed": 4,
    "led_self_check_success": 5, "charge_error_led": 6, "tap_water_err": 7, "disinfectant_tables_err": 8,
    "dust_bag_replace_err": 9, "docking_failed_led": 10, "docking_success_led": 11, "in_dust_collect_led": 12,
    "disinfectant_prepare_led": 13, "in_supply_led": 14, "deep_self_clean_led": 15, "led_in_charge": 16,
    "led_charge_complete": 17, "led_normal_work": 100
})";

std::string HostName() {
  char name[64] = {};
  ::gethostname(name, sizeof(name) - 1);
  return name;
}

std::string Tail(const std::string& text, size_t lines) {
  size_t pos = text.size();
  for (size_t n = 0; n <= lines && pos != std::string::npos && pos > 0; ++n) {
    pos = text.rfind('\n', pos - 1);
  }
  return pos == std::string::npos ? text : text.substr(pos + 1);
}

bool Parse(const std::string& json, rapidjson::Document* doc) {
  doc->Parse(json.c_str());
  return !doc->HasParseError() && doc->IsObject();
}

double Number(const std::string& text, const std::string& pattern) {
  std::smatch m;
  return std::regex_search(text, m, std::regex(pattern)) ? std::stod(m[1].str()) : -1;
}

}  // namespace

void StationFixture::SetUp() {
  station_id_ = HostName();
  control_socket_ = root_.path() + "/board.sock";
  ASSERT_TRUE(broker_.Start()) << broker_.Log();

  // Short limits so that a whole visit takes seconds: dissolution, the dust-bag
  // debounce, the sewage pump's run-on, the task period and the board's answer time.
  const uint16_t command_port = FreeLoopbackPort();
  const uint16_t sensor_port = FreeLoopbackPort();
  std::ostringstream config;
  config << "{\"embedded_ip\": \"127.0.0.1\", \"embedded_action_port\": " << command_port
         << ", \"soc_ip\": \"127.0.0.1\", \"soc_data_server_port\": " << sensor_port
         << ", \"station_id\": \"station-xx\", \"mqtt_keep_alive_interval\": 10"
         << ", \"upload_station_info_to_cloud_interval\": 1, \"connect_embedded_board_time\": 30"
         << ", \"bottom_action_timeout\": 3, \"running_schedule_space\": 50"
         << ", \"disinfectant_table_dissolution_time\": 2, \"dust_bag_reset_max_time\": 1"
         << ", \"sewage_pump_continue_work_time\": 2}";
  root_.WriteFile(std::string(kConfigDir) + "config.json", config.str());
  root_.WriteFile(std::string(kConfigDir) + "led.json", kLedJson);
  initial_dust_bag_time_ = static_cast<long>(::time(nullptr)) - 3600;
  root_.WriteFile("/usr/lib/vantorel-station-center/status/status.json",
                  "{\"dust_bag_last_replace_time\": " + std::to_string(initial_dust_bag_time_) +
                      ", \"hardware\": \"dvt3\", \"mqtt_server_address\": \"" + broker_.address() + "\"}");
  root_.WriteFile("/etc/vantorel/device-env", "TEST\n");

  ASSERT_TRUE(sim_.Start(BuiltProgram("board_sim"),
                         {"--root", root_.path(), "--control", control_socket_, "--no-console", "--rate", "10"}, {},
                         root_.path() + "/board_sim.log"));
  ASSERT_TRUE(WaitUntil([&] { return !sim_.Running() || !Sim("status").empty(); }, Seconds(30)));
  ASSERT_TRUE(sim_.Running()) << sim_.Log();

  ASSERT_TRUE(daemon_.Start(
      BuiltProgram("station_center"), {},
      {"STATION_CENTER_ROOT=" + root_.path(), "SPDLOG_STDOUT=true", "SPDLOG_SYSTEMD=false", "SPDLOG_LEVEL=info"},
      root_.path() + "/station_center.log"));

  peer_ = std::make_unique<MqttPeer>(broker_.address(), "e2e-peer-" + std::to_string(::getpid()));
  ASSERT_TRUE(peer_->Connect());
  for (const std::string& topic :
       {StationTopic("checkStationRe"), StationTopic("dockStateRe"), StationTopic("preWaterRequestRe"),
        StationTopic("supplyMaterialRequestRe"), StationTopic("stationReport"), std::string(kUploadTopic)}) {
    ASSERT_TRUE(peer_->Subscribe(topic));
  }

  // Serving once a request is answered (a question that changes nothing, not
  // even the lamps); ready once the start-up reset is over.
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::string reply;
        return !daemon_.Running() || RawRequest("checkStation", R"({"checkType":"ENUM_WATER_FINISH"})", &reply);
      },
      Seconds(90)))
      << Tail(DaemonLog(), 40);
  ASSERT_TRUE(daemon_.Running()) << Tail(DaemonLog(), 40);
  ASSERT_TRUE(WaitUntil([&] { return daemon_.Logged("reset station task success"); }, Seconds(60)))
      << Tail(DaemonLog(), 40);
}

void StationFixture::TearDown() {
  EXPECT_TRUE(daemon_.Running()) << "the daemon died during the scenario:\n" << Tail(DaemonLog(), 60);
  const std::string logs = DaemonLog() + sim_.Log();
  EXPECT_EQ(logs.find("Sanitizer"), std::string::npos) << logs;
  EXPECT_EQ(logs.find("runtime error"), std::string::npos) << logs;
  if (HasFailure()) {
    std::cerr << "--- simulator status\n"
              << Sim("status") << "--- end of the daemon's log\n"
              << Tail(DaemonLog(), 80) << "--- end of the simulator's log\n"
              << Tail(sim_.Log(), 20);
  }
  peer_.reset();
  daemon_.Stop();
  sim_.Stop();
}

CtlResult StationFixture::Robot(std::vector<std::string> args) {
  args.insert(args.end(), {"--broker", broker_.address(), "--station", station_id_, "--timeout", "20"});
  return RunCtl(args);
}

bool StationFixture::RobotUntil(const std::vector<std::string>& args, int exit_code, Seconds limit) {
  return WaitUntil(
             [&] {
               if (!daemon_.Running() || Robot(args).exit_code == exit_code) {
                 return true;
               }
               std::this_thread::sleep_for(std::chrono::milliseconds(200));
               return false;
             },
             limit) &&
         daemon_.Running();
}

std::string StationFixture::Sim(const std::string& line) {
  std::string answer;
  return station_sim::ControlRequest(control_socket_, line, &answer) ? answer : "";
}

SimState StationFixture::State() {
  const std::string text = Sim("status");
  SimState s;
  if (text.empty()) {
    return s;
  }
  s.tank_ml = Number(text, R"(tank:\s+(\d+) ml)");
  s.foot_level = static_cast<int>(Number(text, R"(foot level (\d))"));
  s.given_ml = Number(text, R"(given to robot (\d+) ml)");
  s.led = static_cast<int>(Number(text, R"(led:\s+(\d+))"));
  s.board_resets = static_cast<int>(Number(text, R"(board resets (\d+))"));
  s.wire_c = Number(text, R"(heat wire ([\d.]+) C)");
  s.tablets = static_cast<int>(Number(text, R"(tablets (\d+))"));
  s.sewage_level = static_cast<int>(Number(text, R"(sewage:\s+level (\d+))"));
  std::smatch m;
  const std::regex actuators(R"(actuators:\s*([^\n]*))");
  if (std::regex_search(text, m, actuators)) {
    s.actuators = m[1].str();
  }
  return s;
}

bool StationFixture::WaitForState(const std::function<bool(const SimState&)>& pred, Seconds limit) {
  return WaitUntil([&] { return !daemon_.Running() || pred(State()); }, limit) && daemon_.Running();
}

bool StationFixture::AwaitUpload(const std::function<bool(const std::string&)>& pred, std::string* json,
                                 Seconds limit) {
  return WaitUntil(
             [&] {
               std::string payload;
               if (!daemon_.Running()) {
                 return true;
               }
               if (!peer_->Take(kUploadTopic, &payload, std::chrono::milliseconds(500)) || !pred(payload)) {
                 return false;
               }
               if (json != nullptr) {
                 *json = payload;
               }
               return true;
             },
             limit) &&
         daemon_.Running();
}

bool StationFixture::RawRequest(const std::string& name, const std::string& payload, std::string* reply) {
  // Replies to stationctl's requests share the reply topic; they are not ours.
  const std::string reply_topic = StationTopic(name + "Re");
  while (peer_->Take(reply_topic, nullptr, std::chrono::milliseconds(0))) {
  }
  if (!peer_->Publish(StationTopic(name), payload)) {
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < deadline) {
    if (peer_->Take(reply_topic, reply, std::chrono::milliseconds(200)) &&
        reply->find(R"("robotId":{"uuid":"stationctl"})") == std::string::npos) {
      return true;
    }
  }
  return false;
}

std::vector<std::string> AbnormalSensors(const std::string& upload_json) {
  std::vector<std::string> names;
  rapidjson::Document doc;
  if (!Parse(upload_json, &doc) || !doc.HasMember("abnormal_info") ||
      !doc["abnormal_info"].HasMember("abnormal_sensor_list")) {
    return names;
  }
  for (const auto& entry : doc["abnormal_info"]["abnormal_sensor_list"].GetArray()) {
    names.push_back(std::string(entry["name"].GetString()) + "=" + entry["data"].GetString());
  }
  return names;
}

std::vector<int> AbnormalTasks(const std::string& upload_json) {
  std::vector<int> ids;
  rapidjson::Document doc;
  if (!Parse(upload_json, &doc) || !doc.HasMember("state_info") || !doc["state_info"].HasMember("work_state") ||
      !doc["state_info"]["work_state"].HasMember("abnormal_task_list")) {
    return ids;
  }
  for (const auto& entry : doc["state_info"]["work_state"]["abnormal_task_list"].GetArray()) {
    ids.push_back(entry["task_id"].GetInt());
  }
  return ids;
}

int OccupyState(const std::string& upload_json) {
  rapidjson::Document doc;
  if (!Parse(upload_json, &doc) || !doc.HasMember("state_info") || !doc["state_info"].HasMember("occupy_state")) {
    return -1;
  }
  return doc["state_info"]["occupy_state"].GetInt();
}

bool CleanUpload(const std::string& upload_json) {
  rapidjson::Document doc;
  return Parse(upload_json, &doc) && !doc.HasMember("abnormal_info") && AbnormalTasks(upload_json).empty();
}

}  // namespace station_test
