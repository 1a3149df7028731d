// The MQTT contract (docs/asyncapi.yaml) against a running station: mosquitto, board_sim and
// station_center as processes, every message on the broker captured and checked against the
// schema of its channel by tests/contract/validate_messages.py (python3-jsonschema).

#include <gtest/gtest.h>
#include <mqtt/async_client.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "sim/control_server.h"
#include "support/child_process.h"
#include "support/ctl_process.h"
#include "support/mosquitto.h"
#include "support/test_support.h"

namespace station_test {
namespace {

using Seconds = std::chrono::seconds;
using Message = std::pair<std::string, std::string>;  // topic, payload

const std::string kContract = std::string(STATION_SOURCE_DIR) + "/docs/asyncapi.yaml";
const std::string kValidator = std::string(STATION_SOURCE_DIR) + "/tests/contract/validate_messages.py";
constexpr const char* kUploadTopic = "clean_robot_station/reportActively";

bool Has(const std::string& text, const std::string& wanted) { return text.find(wanted) != std::string::npos; }

// Every message the broker relays, in the order of arrival.
class Capture : private mqtt::callback {
 public:
  explicit Capture(const std::string& address)
      : client_("tcp://" + address, "contract-capture-" + std::to_string(::getpid())) {
    client_.set_callback(*this);
  }
  ~Capture() override {
    try {
      client_.disable_callbacks();
      if (client_.is_connected()) client_.disconnect()->wait_for(Seconds(5));
    } catch (const std::exception&) {
    }
  }
  bool Start() { return client_.connect()->wait_for(Seconds(20)) && client_.subscribe("#", 1)->wait_for(Seconds(20)); }
  bool Publish(const std::string& topic, const std::string& payload) {
    return client_.publish(mqtt::make_message(topic, payload, 1, false))->wait_for(Seconds(20));
  }
  size_t Size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.size();
  }
  std::vector<Message> Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  // Waits for a message on `topic` among those from index `from` on, for which `pred` holds.
  bool Await(const std::string& topic, size_t from, std::string* payload,
             const std::function<bool(const std::string&)>& pred = nullptr) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, Seconds(30), [&] {
      for (size_t i = from; i < messages_.size(); ++i) {
        if (messages_[i].first == topic && (!pred || pred(messages_[i].second))) {
          if (payload != nullptr) *payload = messages_[i].second;
          return true;
        }
      }
      return false;
    });
  }

 private:
  void message_arrived(mqtt::const_message_ptr msg) override {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.emplace_back(msg->get_topic(), msg->to_string());
    cv_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Message> messages_;
  mqtt::async_client client_;  // last, so that it goes before what its callback uses
};

struct Verdicts {
  int exit_code = -1;
  std::string output;
  std::vector<bool> ok;  // one per checked message, in order
};

// Writes `messages` as the validator's JSON lines.
void WriteCapture(const std::string& path, const std::vector<Message>& messages) {
  std::ofstream out(path);
  for (const auto& [topic, payload] : messages) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("topic");
    writer.String(topic.c_str(), static_cast<rapidjson::SizeType>(topic.size()));
    writer.Key("payload");
    writer.String(payload.c_str(), static_cast<rapidjson::SizeType>(payload.size()));
    writer.EndObject();
    out << buffer.GetString() << "\n";
  }
}

// Runs the validator over `messages`; `extra` are more of its options.
Verdicts Validate(const std::string& dir, const std::string& name, const std::vector<Message>& messages,
                  std::vector<std::string> extra) {
  const std::string capture = dir + "/" + name + ".jsonl";
  const std::string output = dir + "/" + name + ".out";
  WriteCapture(capture, messages);
  std::vector<std::string> args = {"--contract", kContract};
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back(capture);
  Verdicts v;
  const pid_t pid = Spawn(kValidator, args, nullptr, output, "", false);
  int status = 0;
  if (pid > 0 && WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, Seconds(120))) {
    v.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  } else if (pid > 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  std::ifstream in(output);
  std::stringstream text;
  text << in.rdbuf();
  v.output = text.str();
  std::istringstream lines(v.output);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("ok ", 0) == 0) v.ok.push_back(true);
    if (line.rfind("FAIL ", 0) == 0 && !Has(line, "FAIL document:") && !Has(line, "FAIL no message on:")) {
      v.ok.push_back(false);
    }
  }
  return v;
}

// With CONTRACT_CAPTURE_DIR set, what a test captured is kept there, for picking examples.
void KeepCapture(const std::string& name, const std::vector<Message>& messages) {
  if (const char* dir = std::getenv("CONTRACT_CAPTURE_DIR")) WriteCapture(std::string(dir) + "/" + name, messages);
}

class ContractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(broker_.Start()) << broker_.Log();
    ASSERT_TRUE(capture_.Start());  // before the daemon: its first upload is special
    root_.WriteStation(FreeLoopbackPort(), FreeLoopbackPort(), broker_.address(),
                       "\"upload_station_info_to_cloud_interval\": 1, \"bottom_action_timeout\": 3, "
                       "\"running_schedule_space\": 50, \"disinfectant_table_dissolution_time\": 2, "
                       "\"dust_bag_reset_max_time\": 1, \"sewage_pump_continue_work_time\": 2");
    ASSERT_TRUE(sim_.Start(BuiltProgram("board_sim"),
                           {"--root", root_.path(), "--control", control_socket_, "--no-console", "--rate", "10"}, {},
                           root_.path() + "/board_sim.log"));
    ASSERT_TRUE(daemon_.Start(
        BuiltProgram("station_center"), {},
        {"STATION_CENTER_ROOT=" + root_.path(), "SPDLOG_STDOUT=true", "SPDLOG_SYSTEMD=false", "SPDLOG_LEVEL=info"},
        root_.path() + "/station_center.log"));
    ASSERT_TRUE(Await([&] { return daemon_.Logged("reset station task success"); }, Seconds(90)));
  }

  void TearDown() override {
    EXPECT_TRUE(daemon_.Running()) << "the daemon died";
    const std::string logs = daemon_.Log() + sim_.Log();
    EXPECT_FALSE(Has(logs, "Sanitizer") || Has(logs, "runtime error")) << logs;
    if (HasFailure()) std::cerr << "--- daemon\n" << daemon_.Log();
  }

  // Runs stationctl as the robot; true when the station answered, whatever it answered.
  testing::AssertionResult Robot(std::vector<std::string> args) {
    args.insert(args.end(), {"--broker", broker_.address(), "--station", station_id_, "--timeout", "20"});
    const CtlResult r = RunCtl(args);
    if (r.exit_code == 0 || r.exit_code == 1) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "exit code " << r.exit_code << ", output:\n" << r.out << r.err;
  }
  bool RobotUntilAccepted(std::vector<std::string> args) {
    args.insert(args.end(), {"--broker", broker_.address(), "--station", station_id_, "--timeout", "20"});
    return Await([&] { return RunCtl(args).exit_code == 0; });
  }
  bool Await(const std::function<bool()>& pred, Seconds limit = Seconds(60)) {
    return WaitUntil([&] { return !daemon_.Running() || pred(); }, limit) && daemon_.Running();
  }
  std::string Sim(const std::string& line) {
    std::string answer;
    return station_sim::ControlRequest(control_socket_, line, &answer) ? answer : "";
  }
  std::string Topic(const std::string& name) const { return "clean_robot_station/" + station_id_ + "/" + name; }
  // Waits for a cloud upload and a robot report, both arriving from now on, for which `upload`
  // and `report` hold.
  bool AwaitReports(const std::function<bool(const std::string&)>& upload,
                    const std::function<bool(const std::string&)>& report) {
    const size_t from = capture_.Size();
    return capture_.Await(kUploadTopic, from, nullptr, upload) &&
           capture_.Await(Topic("stationReport"), from, nullptr, report);
  }

  TempRoot root_;
  MosquittoBroker broker_;
  Capture capture_{broker_.address()};
  ChildProcess sim_;
  ChildProcess daemon_;
  const std::string station_id_ = [] {
    char host[64] = {};
    ::gethostname(host, sizeof(host) - 1);
    return std::string(host);
  }();
  const std::string control_socket_ = root_.path() + "/board.sock";
};

// A robot's visit that sends every kind of request and asks for every supply, the station's
// reports in their different shapes (emergency stop, abnormal sensors, a consumable due) and
// the cloud's reply.
class VisitContractTest : public ContractTest {
 protected:
  void Visit() {
    EXPECT_TRUE(Robot({"check", "in-pose"}));  // nobody docked yet: not ready
    Sim("dock");
    ASSERT_TRUE(RobotUntilAccepted({"check", "in-pose"}));
    EXPECT_TRUE(Robot({"dock", "stay"}));
    EXPECT_TRUE(Robot({"supply", "watering", "--action", "standard"}));  // refused: no water prepared
    ASSERT_TRUE(Robot({"prewater", "--tablets", "2", "--volume", "1"}));
    ASSERT_TRUE(RobotUntilAccepted({"check", "water-ready"}));
    EXPECT_TRUE(Robot({"supply", "watering", "--action", "standard", "--duration", "120"}));
    ASSERT_TRUE(RobotUntilAccepted({"check", "water-finish"}));
    EXPECT_TRUE(Robot({"supply", "collect-dust", "--action", "standard", "--duration", "60"}));
    EXPECT_TRUE(Robot({"dock", "leave"}));  // busy: told to stay
    EXPECT_TRUE(Robot({"supply", "collect-dust", "--action", "stop"}));
    for (const char* type : {"heating-fan", "heating-wire", "clean-pump", "uv-lamp", "charging", "sewage-pump",
                             "water-no-limit", "clean-suction-rake", "prepare-disinfectant", "invalid"}) {
      EXPECT_TRUE(Robot({"supply", type, "--action", "strong", "--duration", "30"}));
      EXPECT_TRUE(Robot({"supply", type, "--action", "stop"}));
    }
    EXPECT_TRUE(Robot({"prewater", "--action", "stop"}));
    EXPECT_TRUE(Robot({"dock", "leave"}));
    Sim("undock");
  }

  void AbnormalConditions() {
    Sim("estop on");
    EXPECT_TRUE(AwaitReports([](const std::string& s) { return Has(s, R"("emergency_stop":1)"); },
                             [](const std::string& s) { return Has(s, R"("emergency_stop":1)"); }));
    EXPECT_TRUE(Robot({"check", "in-pose"}));  // refused under the emergency stop
    Sim("estop off");
    Sim("pin electrodePlateTemp1 90");
    Sim("dustbag out");
    EXPECT_TRUE(AwaitReports(
        [](const std::string& s) { return Has(s, "electrode_plate_temp_up") && Has(s, R"("name":"dust_bag")"); },
        [](const std::string&) { return true; }));
    Sim("unpin electrodePlateTemp1");
    Sim("dustbag in");
    EXPECT_TRUE(AwaitReports([](const std::string& s) { return !Has(s, "abnormal_info"); },
                             [](const std::string&) { return true; }));
  }

  // A dust bag due for replacement, and the cloud's reply that it has been replaced.
  void ConsumableDueAndCloudReply() {
    const std::string status = "/usr/lib/vantorel-station-center/status/status.json";
    const std::string due =
        std::regex_replace(root_.ReadFile(status), std::regex(R"(("dust_bag_last_replace_time"\s*:\s*)\d+)"), "${1}0");
    root_.WriteFile(status + ".new", due);
    ASSERT_EQ(std::rename(root_.Under(status + ".new").c_str(), root_.Under(status).c_str()), 0);
    EXPECT_TRUE(AwaitReports([](const std::string& s) { return Has(s, R"("dust_bag":1)"); },
                             [](const std::string& s) { return Has(s, R"("dust_bag":1)"); }));
    EXPECT_TRUE(Robot({"cloud-reply", "--dust-bag", "0"}));
  }
};

TEST_F(VisitContractTest, EveryMessageMatchesTheSchemaOfItsChannel) {
  Visit();
  AbnormalConditions();
  ConsumableDueAndCloudReply();
  const std::vector<Message> messages = capture_.Messages();
  KeepCapture("visit.jsonl", messages);
  const Verdicts all = Validate(root_.path(), "visit", messages, {"--station", station_id_, "--every-channel"});
  EXPECT_EQ(all.exit_code, 0) << all.output;
  EXPECT_EQ(all.ok.size(), messages.size()) << all.output;

  // Not a vacuous pass: on every topic, a field its schema does not know and a payload that
  // is no object fail, and so does a topic outside the document.
  std::vector<Message> tampered;
  std::set<std::string> topics;
  for (const auto& [topic, payload] : messages) {
    if (!topics.insert(topic).second || payload.size() < 2 || payload[0] != '{') continue;
    tampered.emplace_back(topic, payload == "{}" ? R"({"unexpected":1})" : R"({"unexpected":1,)" + payload.substr(1));
    tampered.emplace_back(topic, "[]");
  }
  tampered.emplace_back(Topic("checkStationReply"), "{}");
  const Verdicts bad = Validate(root_.path(), "tampered", tampered, {"--station", station_id_});
  EXPECT_EQ(bad.exit_code, 1) << bad.output;
  ASSERT_EQ(bad.ok.size(), tampered.size()) << bad.output;
  for (size_t i = 0; i < tampered.size(); ++i) {
    EXPECT_FALSE(bad.ok[i]) << tampered[i].first << " " << tampered[i].second;
  }
}

// The request schemas against the station's own parser: what they allow the station reads,
// what they refuse it answers with error 3 (the request could not be read); and every reply,
// the refusals included, matches its schema.
TEST_F(ContractTest, RequestSchemasAgreeWithTheStationsParser) {
  const std::vector<Message> probes = {
      {"checkStation", R"({"reqHeader":{"msgId":{"uuid":"p1"},"robotId":{"uuid":"r1"}},"checkType":2})"},
      {"checkStation", R"({"req_header":{"msg_id":{"uuid":"p2"}},"check_type":"ENUM_WATER_FINISH"})"},
      {"checkStation", "{}"},
      {"dockState", R"({"reqHeader":{"msgId":{"uuid":"p3"}},"robotState":"ENUM_IN_STATION","robotDesire":0})"},
      {"preWaterRequest", R"({"cmd":{"actionCmd":{"action":"ENUM_ACTION_STOP"},"water_volume":1}})"},
      {"supplyMaterialRequest", R"({"cmd":{"action":4,"supply_type":"ENUM_SUPPLY_UV_LAMP","duration":0}})"},
      {"checkStation", R"({"checkType":"ENUM_BOGUS"})"},
      {"checkStation", R"({"checkType":1,"unexpected":true})"},
      {"checkStation", R"({"reqHeader":{"msgId":{"uuid":5}}})"},
      {"checkStation", "[]"},
      {"checkStation", "not json"},
      {"dockState", R"({"robotDesire":1.5})"},
      {"preWaterRequest", R"({"cmd":{"waterVolume":true}})"},
      {"supplyMaterialRequest", R"({"cmd":{"duration":2147483648}})"},
      {"supplyMaterialRequest", R"({"cmd":{"supplyType":"enum_supply_uv_lamp"}})"},
  };
  std::vector<Message> sent;
  std::vector<bool> read;
  for (const auto& [name, payload] : probes) {
    const size_t from = capture_.Size();
    ASSERT_TRUE(capture_.Publish(Topic(name), payload));
    std::string reply;
    ASSERT_TRUE(capture_.Await(Topic(name) + "Re", from, &reply)) << payload;
    sent.emplace_back(Topic(name), payload);
    read.push_back(!Has(reply, R"("errCode":3)"));
  }
  const Verdicts v = Validate(root_.path(), "probes", sent, {"--station", station_id_});
  ASSERT_EQ(v.ok.size(), sent.size()) << v.output;
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(v.ok[i], read[i]) << sent[i].second << (read[i] ? ": read by the station" : ": refused by the station")
                                << (v.ok[i] ? ", allowed by its schema" : ", refused by its schema");
  }

  KeepCapture("probes.jsonl", capture_.Messages());
  std::vector<Message> replies;
  for (const Message& m : capture_.Messages()) {
    if (m.first.size() > 2 && m.first.compare(m.first.size() - 2, 2, "Re") == 0) replies.push_back(m);
  }
  const Verdicts r = Validate(root_.path(), "replies", replies, {"--station", station_id_});
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(r.ok.size(), probes.size()) << r.output;
}

}  // namespace
}  // namespace station_test
