#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <regex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "clock.h"
#include "config.h"
#include "mqtt/mqtt_callback.h"
#include "mqtt/mqtt_client.h"
#include "mqtt/mqtt_peer.h"
#include "support/mosquitto.h"
#include "support/test_support.h"

namespace station_center {

// Replaces the station's service table with scripted answers.
class StationCenterTestPeer {
 public:
  static std::unordered_map<int, StationCenter::Service>& Services(StationCenter& center) { return center.services_; }
};

namespace {

const std::string kIds = R"("reqHeader":{"msgId":{"uuid":"m"},"robotId":{"uuid":"r"}})";
const char* const kCloudTopic = "clean_robot_station/reportActively";
const char* const kRobotTopic = "clean_robot_station/S1/stationReport";

std::string Header(int err, const std::string& msg, bool ids = true) {
  return std::string(R"({"rspHeader":{)") + (ids ? R"("msgId":{"uuid":"m"},"robotId":{"uuid":"r"},)" : "") +
         R"("errCode":)" + std::to_string(err) + R"(,"errMsg":")" + msg + "\"}";
}
StationSrvRsp Rsp(int code, const std::string& msg = "", int err = 0) {
  return StationSrvRsp{code, msg, static_cast<vantorel_base_station_common::EnumErrCode>(err)};
}

// The robot's requests, the station's replies and its reports over a private broker. One
// broker, station connection and robot (also playing the cloud) serve the whole suite: each
// further connection of the MQTT library costs a second or two. The services of the station
// core behind the MQTT callback answer from a script; reports come from a fresh core per test.
class StationMqttTest : public ::testing::Test {
 protected:
  struct Suite {
    station_test::MosquittoBroker broker{0, true};
    Config saved = g_config;
    std::shared_ptr<StationCenter> center = std::make_shared<StationCenter>();
    std::shared_ptr<mqtt_callback::MqttCallback> callback = std::make_shared<mqtt_callback::MqttCallback>(center);
    station_test::MqttPeer robot{broker.address(), "robot"};
    std::mutex mutex;
    std::map<int, StationSrvRsp> answers;  // by command
    std::vector<StationSrvReq> asked;
    bool ready = false;

    Suite() {
      for (int cmd = 0; cmd <= SRV_CMD_CLOUD_REPLY; ++cmd) {
        StationCenterTestPeer::Services(*center)[cmd] = [this, cmd](const StationSrvReq& req) {
          std::lock_guard<std::mutex> lock(mutex);
          if (req.station_check_req.req_header().msg_id().uuid() != "warmup") asked.push_back(req);
          return answers[cmd];
        };
      }
      g_config.station_id = "S1";
      g_config.mqtt_server_address = broker.address();
      MqttClient::Instance().ReconfigureForTest();
      // Nagle goes off on the robot's socket before the station connects: the station's own
      // socket decides how quick its replies are. A second Init on a live connection only
      // registers the callback again.
      if (!broker.Start() || !robot.Connect() || SetNoDelayTowardsPeer("127.0.0.1", broker.port()) < 1 ||
          !MqttClient::Instance().Init(callback) || !MqttClient::Instance().Init(callback)) {
        return;
      }
      for (const char* t : {"S1/checkStationRe", "S1/dockStateRe", "S1/preWaterRequestRe", "S1/supplyMaterialRequestRe",
                            "S1/stationReport", "reportActively"}) {
        robot.Subscribe(std::string("clean_robot_station/") + t);
      }
      ready = WarmUp();
    }
    // The station's subscriptions are not awaited: wait until a request is answered.
    bool WarmUp() {
      return station_test::WaitUntil([&] {
        robot.Publish("clean_robot_station/S1/checkStation", R"({"reqHeader":{"msgId":{"uuid":"warmup"}}})");
        return robot.Take("clean_robot_station/S1/checkStationRe", nullptr, std::chrono::milliseconds(100));
      });
    }
    ~Suite() {
      MqttClient::Instance().ReconfigureForTest();
      g_config = saved;
    }
  };

  static void SetUpTestSuite() { suite_ = std::make_unique<Suite>(); }
  static void TearDownTestSuite() { suite_.reset(); }
  void SetUp() override {
    ASSERT_TRUE(suite_->ready) << suite_->broker.Log();
    suite_->robot.Clear();
    root_.WriteFile("/usr/lib/vantorel-station-center/status/status.json",
                    "{\"dust_bag_last_replace_time\": " + std::to_string(NowSeconds()) + "}");
  }

  // Sets the services' answers (unscripted commands answer code 0) and forgets what was asked.
  void Script(const std::map<int, StationSrvRsp>& answers) {
    std::lock_guard<std::mutex> lock(suite_->mutex);
    suite_->answers = answers;
    suite_->asked.clear();
  }
  std::vector<StationSrvReq> Asked() {
    std::lock_guard<std::mutex> lock(suite_->mutex);
    return suite_->asked;
  }
  // Publishes `request` on the robot topic `segment` and returns the reply; replies to
  // warm-up requests still on their way are skipped.
  std::string Ask(const std::string& segment, const std::string& request) {
    EXPECT_TRUE(suite_->robot.Publish("clean_robot_station/S1/" + segment, request));
    std::string reply;
    while (suite_->robot.Take("clean_robot_station/S1/" + segment + "Re", &reply)) {
      if (reply.find("warmup") == std::string::npos) return reply;
    }
    return "no reply on " + segment;
  }
  // The next payload on `topic` with its clock readings checked and zeroed.
  std::string Next(const std::string& topic) {
    std::string payload;
    if (!suite_->robot.Take(topic, &payload)) return "nothing on " + topic;
    const std::regex clock(R"("(current|online)_time":(\d+))");
    for (std::sregex_iterator it(payload.begin(), payload.end(), clock), end; it != end; ++it) {
      EXPECT_NEAR(std::stod((*it)[2].str()), static_cast<double>(NowSeconds()), 60.0) << (*it)[1];
    }
    return std::regex_replace(payload, clock, "\"$1_time\":0");
  }

  static inline std::unique_ptr<Suite> suite_;
  station_test::TempRoot root_;
  std::shared_ptr<StationCenter> center_ = std::make_shared<StationCenter>();  // for the reports
};

TEST_F(StationMqttTest, RequestsGetTheirRepliesFromTheStationsAnswers) {
  const char *kSupply = "supplyMaterialRequest", *kPre = "preWaterRequest", *kCheck = "checkStation",
             *kDock = "dockState";
  const auto supply = [](const char* type) { return "{" + kIds + R"(,"cmd":{"supplyType":)" + type + "}}"; };
  const std::string watering = supply("\"ENUM_SUPPLY_WATERING\""),
                    pre_water = "{" + kIds + R"(,"cmd":{"waterVolume":500}})";
  const auto check = [](const char* type) { return "{" + kIds + R"(,"checkType":)" + type + "}"; };
  const std::string in_pose = check("\"ENUM_IN_POSE\""), ready = check("\"ENUM_WATER_READY\"");
  const auto dock = [](int desire) { return "{" + kIds + R"(,"robotDesire":)" + std::to_string(desire) + "}"; };
  // Reply tails: the supply type, the check result and type, the robot's state and desire.
  const std::string s3 = R"(,"supplyType":3})", s0 = R"(,"supplyType":0})";
  const auto c = [](int ready, int type) {
    return R"(,"robotCheck":)" + std::to_string(ready) + R"(,"checkType":)" + std::to_string(type) + "}";
  };
  const auto d = [](int state, int desire) {
    return R"(,"robotState":)" + std::to_string(state) + R"(,"robotDesire":)" + std::to_string(desire) + "}";
  };
  const std::string ok = Header(0, ""), estop = Header(5, "station in emergency stop status");
  const std::string bad = Header(3, "req data convert to message failed", false);
  const int kTask = SRV_CMD_TASK, kPos = SRV_CMD_ROBOT_POSITION, kLeave = SRV_CMD_ROBOT_LEAVE;
  const struct {
    const char* segment;
    std::string request;
    std::map<int, StationSrvRsp> answers;  // by command
    std::string reply;
    std::vector<int> asked;  // the commands the station was asked, in order
  } cases[] = {
      {kSupply, watering, {{kTask, Rsp(0, "task started")}}, Header(0, "task started") + s3, {kTask}},
      {kSupply, watering, {{kTask, Rsp(8, "no task")}}, Header(0, "no task") + s3, {kTask}},
      {kSupply, watering, {{kTask, Rsp(1, "conflict", 10)}}, Header(10, "conflict") + s3, {kTask}},
      {kSupply, watering, {{kTask, Rsp(1, "illegal")}}, Header(1, "illegal") + s3, {kTask}},  // still a refusal
      {kSupply, watering, {{kTask, Rsp(3, "in error")}}, Header(1, "station happen error") + s3, {kTask}},
      {kSupply, watering, {{kTask, Rsp(4)}}, estop + s3, {kTask}},
      {kSupply, watering, {{kTask, Rsp(21)}}, Header(1, "unknow error") + s3, {kTask}},
      // Disinfectant preparation comes only through the pre-water topic.
      {kSupply, supply("\"ENUM_SUPPLY_PREPARE_DISINFECTANT\""), {}, Header(1, "Unknown supply type") + s0, {}},
      // Pre-water passes no error code on and has its own lines for 5 and a reset.
      {kPre, pre_water, {{kTask, Rsp(6, "updated", 7)}}, Header(0, "updated") + "}", {kTask}},
      {kPre, pre_water, {{kTask, Rsp(1, "conflict", 7)}}, Header(1, "conflict") + "}", {kTask}},
      {kPre, pre_water, {{kTask, Rsp(5)}}, Header(1, "station don't support pre water request") + "}", {kTask}},
      {kPre, pre_water, {{kTask, Rsp(21)}}, Header(1, "station in reset") + "}", {kTask}},
      {kPre, pre_water, {{kTask, Rsp(18)}}, Header(1, "unknow error") + "}", {kTask}},
      // Each check asks its own question and is ready only on its own answer code.
      {kCheck, in_pose, {{kPos, Rsp(9)}}, ok + c(1, 0), {kPos}},
      {kCheck, in_pose, {{kPos, Rsp(4)}}, estop + c(0, 0), {kPos}},
      {kCheck, ready, {{3, Rsp(13)}}, ok + c(1, 1), {3}},
      {kCheck, ready, {{3, Rsp(9)}}, ok + c(0, 1), {3}},
      {kCheck, check("7"), {}, Header(1, "Unknown check type") + c(0, 0), {}},
      // Docked (9) or out (10), the robot's wish, and whether the station lets it go (18: busy).
      {kDock, dock(2), {{kPos, Rsp(9)}}, ok + d(2, 2), {kPos, kLeave}},
      {kDock, dock(0), {{kPos, Rsp(10)}}, ok + d(1, 0), {kPos}},
      {kDock, dock(2), {{kPos, Rsp(4)}}, estop + d(0, 0), {kPos}},
      {kDock, dock(2), {{kPos, Rsp(21)}}, ok + d(0, 0), {kPos}},
      // Unknown field, unknown enumeration name, no JSON: error 3 without the ids, nothing asked.
      {kCheck, R"({"checkType":"ENUM_NOPE"})", {}, bad + c(0, 0), {}},
      {kDock, "not json", {}, bad + d(0, 0), {}},
      {kPre, "{" + kIds + R"(,"bogus":1})", {}, bad + "}", {}},
      {kSupply, R"({"cmd":{"supplyType":"NOPE"}})", {}, bad + s0, {}},
  };
  std::vector<double> millis;
  for (const auto& row : cases) {
    SCOPED_TRACE(row.segment + (" " + row.request) + " -> " + row.reply);
    Script(row.answers);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Ask(row.segment, row.request), row.reply);
    millis.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    std::vector<int> asked;
    for (const auto& req : Asked()) asked.push_back(req.cmd);
    EXPECT_EQ(asked, row.asked);
  }
  // Without TCP_NODELAY on the station's socket a reply waits for the broker's delayed ACK
  // of the library's PUBACK: 40-90 ms per round trip instead of well under one.
  std::sort(millis.begin(), millis.end());
  EXPECT_LT(millis[millis.size() / 2], 20.0) << "median round trip in ms";
  const std::string log = suite_->broker.Log();
  ASSERT_NE(log.find("as Station_S1"), std::string::npos) << log;
  EXPECT_EQ(log.find("as Station_S1"), log.rfind("as Station_S1")) << "one connection despite two Inits\n" << log;
}

TEST_F(StationMqttTest, CloudRepliesUnknownTopicsAndConnectionLoss) {
  const auto arrive = [&](const std::string& segment, const std::string& payload) {
    Script({});
    suite_->callback->message_arrived(mqtt::make_message("clean_robot_station/S1/" + segment, payload));
    return Asked();
  };
  const auto cloud = arrive("reportActivelyRe", R"({"result":1,"consumablesReplyState":{}})");
  ASSERT_EQ(cloud.size(), 1u);
  EXPECT_EQ(cloud[0].cmd, SRV_CMD_CLOUD_REPLY);
  EXPECT_TRUE(cloud[0].report_rsp.has_consumables_reply_state());
  EXPECT_TRUE(arrive("reportActivelyRe", R"({"nope":1})").empty());
  EXPECT_TRUE(arrive("bogus", "{}").empty());
  Script({});
  suite_->callback->connection_lost("test");
  ASSERT_EQ(Asked().size(), 1u);
  EXPECT_EQ(Asked()[0].cmd, SRV_CMD_CONNECTION_LOST);
  // No reply went out for any of these: the next request's reply is the first on its topic.
  Script({{SRV_CMD_ROBOT_POSITION, Rsp(9)}});
  EXPECT_EQ(Ask("checkStation", "{}"), R"({"rspHeader":{"msgId":{"uuid":""},"robotId":{"uuid":""},)"
                                       R"("errCode":0,"errMsg":""},"robotCheck":1,"checkType":0})");
}

TEST_F(StationMqttTest, PeriodicReportsAndRecordsWhileDisconnected) {
  const std::string header =
      R"({"req_header":{"msg_id":{"uuid":"1"},"device_id":{"uuid":"S1"}},"state_info":{"current_time":0,)";
  const std::string robot =
      R"({"rep_header":{"station_id":"S1"},"state_info":{"work_state":{"manual_charge_state":0}})";
  // Only the first report since start-up carries the ready state and the online time.
  center_->StationInfoUploadCloud();
  center_->StationInfoUploadCloud();
  EXPECT_EQ(Next(kCloudTopic), header + R"("ready_state":{"ntp_state":0,"sensor_state":0,"driver_state":0,)"
                                        R"("self_test_state":0},"online_time":0,"occupy_state":0,)"
                                        R"("work_state":{"manual_charge_state":0}}})");
  EXPECT_EQ(Next(kCloudTopic), header + R"("occupy_state":0,"work_state":{"manual_charge_state":0}}})");
  for (int i = 0; i < 2; ++i) EXPECT_EQ(Next(kRobotTopic), robot + "}");

  // Recorded while the broker is away: kept, and carried by the next periodic upload.
  MqttClient::Instance().ReconfigureForTest();
  {
    std::lock_guard<std::mutex> lock(center_->task_mutex());
    center_->AbnormalTaskRecord(ABNORMAL_TAP_WATER, TASK_TYPE_UV_LAMP);  // 13 is no task key
    center_->AbnormalTaskRecord(ABNORMAL_DUST_BAG_REPLACE, TASK_TYPE_SENSOR);
    std::lock_guard<std::shared_mutex> data_lock(center_->task_data_mutex());
    center_->task_data().emergency_stop_normal = false;
  }
  ASSERT_TRUE(MqttClient::Instance().Init(suite_->callback));
  ASSERT_TRUE(suite_->WarmUp());
  center_->StationInfoUploadCloud();
  const std::string consumables = R"("consumables_state":{"tap_water":1,"dust_bag":1},)";
  EXPECT_EQ(Next(kCloudTopic), header +
                                   R"("occupy_state":0,"work_state":{"manual_charge_state":0,)"
                                   R"("abnormal_task_list":[{"task_id":16}]}},)" +
                                   consumables + R"("abnormal_info":{"emergency_stop":1,"abnormal_sensor_num":0}})");
  EXPECT_EQ(Next(kRobotTopic), robot + "," + consumables + R"("abnormal_info":{"emergency_stop":1}})");
}

// Addresses come from status.json, written by people as well as by the daemon.
TEST(MqttAddressTest, TopicsAndBrokerAddresses) {
  EXPECT_EQ(FormatTopic("clean_robot_station/%s/checkStation", "A"), "clean_robot_station/A/checkStation");
  EXPECT_EQ(FormatTopic("a/%s/b/%s", "x"), "a/x/b/%s");  // only the first occurrence
  EXPECT_EQ(FormatTopic("a/%s", ""), "");
  const struct {
    std::string address, uri, host;
    uint16_t port;
  } cases[] = {
      {"broker.example", "tcp://broker.example:1883", "broker.example", 1883},
      {"127.0.0.1:40001", "tcp://127.0.0.1:40001", "127.0.0.1", 40001},
      {"tcp://10.0.0.1:1884", "tcp://10.0.0.1:1884", "10.0.0.1", 1884},
      {"host:notaport", "tcp://host:1883", "host", 1883},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BrokerUri(c.address), c.uri);
    std::string host;
    uint16_t port = 0;
    SplitBrokerAddress(c.address, &host, &port);
    EXPECT_EQ(host, c.host);
    EXPECT_EQ(port, c.port);
  }
}

}  // namespace
}  // namespace station_center
