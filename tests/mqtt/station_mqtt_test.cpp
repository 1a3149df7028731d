#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>
#include <regex>
#include <shared_mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "config.h"
#include "mqtt/broker_tls.h"
#include "mqtt/mqtt_callback.h"
#include "mqtt/mqtt_client.h"
#include "mqtt/mqtt_peer.h"
#include "mqtt/nodelay.h"
#include "station_center.h"
#include "support/mosquitto.h"
#include "support/test_support.h"
#include "task/fake_services.h"
#include "task/log_capture.h"

namespace station_center {
namespace {

using station_test::Has;

const std::string kIds = R"("reqHeader":{"msgId":{"uuid":"m"},"robotId":{"uuid":"r"}})";
const char* const kCloudTopic = "clean_robot_station/reportActively";
const char* const kRobotTopic = "clean_robot_station/S1/stationReport";

std::string Header(int err, const std::string& msg, bool ids = true) {
  return std::string(R"({"rspHeader":{)") + (ids ? R"("msgId":{"uuid":"m"},"robotId":{"uuid":"r"},)" : "") +
         R"("errCode":)" + std::to_string(err) + R"(,"errMsg":")" + msg + "\"}";
}
// The station's answers: `code` (with `msg` and `err`) to command `cmd`.
std::map<int, StationSrvRsp> On(int cmd, int code, const std::string& msg = "", int err = 0) {
  return {{cmd, StationSrvRsp{code, msg, static_cast<vantorel_base_station_common::EnumErrCode>(err)}}};
}

// The station core as the MQTT side sees it, answering from a script. Thread-safe.
class ScriptedStation : public StationService {
 public:
  StationSrvRsp HandleService(const StationSrvReq& req) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (req.station_check_req.req_header().msg_id().uuid() != "warmup") asked_.push_back(req);
    return answers_[req.cmd];
  }
  // Sets the answers by command (unscripted commands answer code 0) and forgets what was asked.
  void Script(const std::map<int, StationSrvRsp>& answers) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_ = answers;
    asked_.clear();
  }
  std::vector<StationSrvReq> Asked() {
    std::lock_guard<std::mutex> lock(mutex_);
    return asked_;
  }

 private:
  std::mutex mutex_;
  std::map<int, StationSrvRsp> answers_;
  std::vector<StationSrvReq> asked_;
};

// Replies as they would go on the wire, in order. Only for one thread.
class RecordedReplies : public ReplyPublisher {
 public:
  void PublishReply(const google::protobuf::Message& reply) override { replies.push_back(ReplyJson(reply)); }
  std::vector<std::string> replies;
};

// The MQTT callback's request handling without a broker: scripted answers, recorded replies.
class MqttHandlerTest : public ::testing::Test {
 protected:
  // Hands `payload` over as arrived on the station's topic `segment`; the replies it made.
  std::vector<std::string> Arrive(const std::string& segment, const std::string& payload,
                                  const std::map<int, StationSrvRsp>& answers = {}) {
    station_->Script(answers);
    replies_->replies.clear();
    callback_.message_arrived(mqtt::make_message("clean_robot_station/S1/" + segment, payload));
    return replies_->replies;
  }

  std::shared_ptr<ScriptedStation> station_ = std::make_shared<ScriptedStation>();
  std::shared_ptr<RecordedReplies> replies_ = std::make_shared<RecordedReplies>();
  mqtt_callback::MqttCallback callback_{station_, replies_};
};

// A robot request on `topic` while the station's services answer `answers` (by command);
// the reply, and the commands the station was asked, in order.
struct Exchange {
  const char* topic;
  std::string request;
  std::map<int, StationSrvRsp> answers;
  std::string reply;
  std::vector<int> asked;
};

TEST_F(MqttHandlerTest, RequestsGetTheirRepliesFromTheStationsAnswers) {
  const char *kSupply = "supplyMaterialRequest", *kPre = "preWaterRequest", *kCheck = "checkStation",
             *kDock = "dockState";
  // Request bodies; each request carries the ids as well.
  const std::string watering = R"("cmd":{"supplyType":"ENUM_SUPPLY_WATERING"})",
                    disinfectant = R"("cmd":{"supplyType":"ENUM_SUPPLY_PREPARE_DISINFECTANT"})";
  const std::string volume = R"("cmd":{"waterVolume":500})", in_pose = R"("checkType":"ENUM_IN_POSE")",
                    ready = R"("checkType":"ENUM_WATER_READY")";
  // Reply tails of supply requests: the supply type.
  const std::string s3 = R"(,"supplyType":3})", s0 = R"(,"supplyType":0})";
  const std::string ok = Header(0, ""), estop = Header(5, "station in emergency stop status");
  const std::string bad = Header(3, "req data convert to message failed", false);
  const int kTask = SRV_CMD_TASK, kPos = SRV_CMD_ROBOT_POSITION, kLeave = SRV_CMD_ROBOT_LEAVE,
            kReady = SRV_CMD_WATER_READY;
  const int kPrepareConflict = vantorel_base_station_common::ENUM_CONFLICT_WITH_DISINFECTANT_PREPARE;
  const std::string stay = R"("robotDesire":2)", pad(64 * 1024, ' ');
  const Exchange cases[] = {
      {kSupply, watering, On(kTask, SRV_CODE_SUCCESS, "task started"), Header(0, "task started") + s3, {kTask}},
      {kSupply, watering, On(kTask, SRV_CODE_FAILED, "illegal"), Header(1, "illegal") + s3, {kTask}},  // a refusal
      {kSupply, watering, On(kTask, SRV_CODE_EMERGENCY_STOP), estop + s3, {kTask}},
      // Disinfectant preparation comes only through the pre-water topic.
      {kSupply, disinfectant, {}, Header(1, "Unknown supply type") + s0, {}},
      // Pre-water passes no error code on.
      {kPre,
       volume,
       On(kTask, SRV_CODE_TASK_UPDATED, "updated", kPrepareConflict),
       Header(0, "updated") + "}",
       {kTask}},
      {kPre, volume, On(kTask, SRV_CODE_FAILED, "conflict", kPrepareConflict), Header(1, "conflict") + "}", {kTask}},
      // Each check asks its own question and is ready only on its own answer code (ready, and a
      // refusal's error code passed on: RobotVisitTest.FromDockingToLeavingThenTheStationResetsItself).
      {kCheck, in_pose, On(kPos, SRV_CODE_EMERGENCY_STOP), estop + R"(,"robotCheck":0,"checkType":0})", {kPos}},
      {kCheck, ready, On(kReady, SRV_CODE_ROBOT_IN_POSITION), ok + R"(,"robotCheck":0,"checkType":1})", {kReady}},
      {kCheck, R"("checkType":7)", {}, Header(1, "Unknown check type") + R"(,"robotCheck":0,"checkType":0})", {}},
      // Docked or out, the robot's wish, and whether the station lets it go.
      {kDock, stay, On(kPos, SRV_CODE_ROBOT_IN_POSITION), ok + R"(,"robotState":2,"robotDesire":2})", {kPos, kLeave}},
      {kDock,
       R"("robotDesire":0)",
       On(kPos, SRV_CODE_ROBOT_NOT_IN_POSITION),
       ok + R"(,"robotState":1,"robotDesire":0})",
       {kPos}},
      {kDock, stay, On(kPos, SRV_CODE_EMERGENCY_STOP), estop + R"(,"robotState":0,"robotDesire":0})", {kPos}},
      // Over 64 KiB: refused unread though valid, before any topic's handler, with the reply
      // an unreadable request gets (each topic's: DaemonTest.RequestsAreReadAsTheContractSays...).
      {kDock, stay + pad, {}, bad + R"(,"robotState":0,"robotDesire":0})", {}},
  };
  for (const Exchange& c : cases) {
    SCOPED_TRACE(c.topic + (" " + c.request.substr(0, 100)) + " -> " + c.reply);
    EXPECT_EQ(Arrive(c.topic, "{" + kIds + "," + c.request + "}", c.answers), std::vector<std::string>{c.reply});
    std::vector<int> cmds;
    for (const auto& req : station_->Asked()) cmds.push_back(req.cmd);
    EXPECT_EQ(cmds, c.asked);
  }
}

// A message of exactly 64 KiB is still read; a larger cloud reply is dropped unread.
TEST_F(MqttHandlerTest, CloudRepliesUnknownTopicsConnectionLossAndTheSizeLimit) {
  EXPECT_TRUE(Arrive("reportActivelyRe", R"({"result":1,"consumablesReplyState":{}})").empty());
  const auto cloud = station_->Asked();
  ASSERT_EQ(cloud.size(), 1u);
  EXPECT_TRUE(cloud[0].cmd == SRV_CMD_CLOUD_REPLY && cloud[0].report_rsp.has_consumables_reply_state());
  EXPECT_TRUE(Arrive("reportActivelyRe", R"({"nope":1})").empty() && station_->Asked().empty());
  EXPECT_TRUE(Arrive("bogus", "{}").empty() && station_->Asked().empty());
  callback_.connection_lost("test");
  ASSERT_EQ(station_->Asked().size(), 1u);
  EXPECT_EQ(station_->Asked()[0].cmd, SRV_CMD_CONNECTION_LOST);
  EXPECT_TRUE(replies_->replies.empty());
  // A request without ids is answered with empty ones.
  EXPECT_EQ(Arrive("checkStation", "{}", On(SRV_CMD_ROBOT_POSITION, SRV_CODE_ROBOT_IN_POSITION)),
            std::vector<std::string>{R"({"rspHeader":{"msgId":{"uuid":""},"robotId":{"uuid":""},)"
                                     R"("errCode":0,"errMsg":""},"robotCheck":1,"checkType":0})"});
  const std::string request = "{" + kIds + "}", pad(64 * 1024, ' ');
  const auto at_limit = Arrive("checkStation", request + pad.substr(request.size()));
  ASSERT_EQ(at_limit.size(), 1u);
  EXPECT_NE(at_limit[0].find(R"("msgId":{"uuid":"m"})"), std::string::npos) << "read and answered";
  EXPECT_TRUE(Arrive("reportActivelyRe", R"({"result":1})" + pad).empty());
  EXPECT_TRUE(station_->Asked().empty());
}

// The station's connection over a private broker. One broker, station connection and robot
// (also playing the cloud) serve the whole suite: each further connection of the MQTT library
// costs a second or two. Replies come from scripted answers; reports from a fresh core per test.
class StationMqttTest : public ::testing::Test {
 protected:
  struct Suite {
    station_test::MosquittoBroker broker{0, true};
    Config saved = g_config;
    std::shared_ptr<ScriptedStation> station = std::make_shared<ScriptedStation>();
    std::shared_ptr<MqttClient> client;
    std::shared_ptr<mqtt_callback::MqttCallback> callback;
    station_test::MqttPeer robot{broker.address(), "robot"};
    bool ready = false;

    Suite() {
      g_config.station_id = "S1";
      g_config.mqtt_server_address = broker.address();
      Renew();
      // Nagle goes off on the robot's socket before the station connects: the station's own
      // socket decides how quick its replies are. A second Init on a live connection only
      // registers the callback again.
      ready = broker.Start() && robot.Connect() && SetNoDelayTowardsPeer("127.0.0.1", broker.port()) >= 1 &&
              client->Init(callback) && client->Init(callback) && robot.Subscribe("clean_robot_station/#") && WarmUp();
    }
    ~Suite() { g_config = saved; }
    // A new station connection, not connected yet, with a callback of its own; the old one goes.
    void Renew() {
      client = std::make_shared<MqttClient>(MqttSettingsFromConfig());
      callback = std::make_shared<mqtt_callback::MqttCallback>(station, client);
    }
    // The station's subscriptions are not awaited: wait until a request is answered.
    bool WarmUp() {
      return robot.AskUntilAnswered("clean_robot_station/S1/checkStation",
                                    R"({"reqHeader":{"msgId":{"uuid":"warmup"}}})");
    }
  };

  static void SetUpTestSuite() { suite_ = std::make_unique<Suite>(); }
  static void TearDownTestSuite() { suite_.reset(); }
  void SetUp() override {
    ASSERT_TRUE(suite_ && suite_->ready) << (suite_ ? suite_->broker.Log() : "");
    root_.WriteFile("/usr/lib/vantorel-station-center/status/status.json",
                    "{\"dust_bag_last_replace_time\": " + std::to_string(clock_->WallSeconds()) + "}");
  }
  // A core on the test's clock that reports through the suite's connection.
  std::shared_ptr<StationCenter> NewCenter() {
    return std::make_shared<StationCenter>(
        CoreParts{clock_, nullptr, MqttReportPublisher([] { return suite_->client; })});
  }

  // The next payload on `topic` with its clock readings checked and zeroed.
  std::string Next(const std::string& topic) {
    std::string payload = "nothing on " + topic;
    suite_->robot.Take(topic, &payload);
    const std::regex clock(R"("(current|online)_time":(\d+))");
    for (std::sregex_iterator it(payload.begin(), payload.end(), clock), end; it != end; ++it) {
      EXPECT_NEAR(std::stod((*it)[2].str()), static_cast<double>(clock_->WallSeconds()), 60.0) << (*it)[1];
    }
    return std::regex_replace(payload, clock, "\"$1_time\":0");
  }

  static inline std::unique_ptr<Suite> suite_;
  station_test::TempRoot root_;
  std::shared_ptr<station_test::TestClock> clock_ = std::make_shared<station_test::TestClock>();
  std::shared_ptr<StationCenter> center_ = NewCenter();  // for the reports
};

TEST_F(StationMqttTest, PeriodicReportsAndRecordsWhileDisconnected) {
  const std::string log = suite_->broker.Log();  // one connection despite two Inits
  EXPECT_TRUE(log.find("as Station_S1") != std::string::npos && log.find("as Station_S1") == log.rfind("as Station_S1"))
      << log;
  const std::string header =
      R"({"req_header":{"msg_id":{"uuid":"1"},"device_id":{"uuid":"S1"}},"state_info":{"current_time":0,)";
  const std::string robot =
      R"({"rep_header":{"station_id":"S1"},"state_info":{"work_state":{"manual_charge_state":0}})";
  // Only the first report published since start-up carries the ready state and the online
  // time: one that could not be sent (no connection yet) leaves them to the next.
  const auto client = std::make_shared<std::shared_ptr<MqttClient>>(new MqttClient(MqttSettingsFromConfig()));
  center_ =
      std::make_shared<StationCenter>(CoreParts{clock_, nullptr, MqttReportPublisher([client] { return *client; })});
  center_->StationInfoUploadCloud();
  *client = suite_->client;
  center_->StationInfoUploadCloud();
  center_->StationInfoUploadCloud();
  EXPECT_EQ(Next(kCloudTopic), header + R"("ready_state":{"ntp_state":0,"sensor_state":0,"driver_state":0,)"
                                        R"("self_test_state":0},"online_time":0,"occupy_state":0,)"
                                        R"("work_state":{"manual_charge_state":0}}})");
  EXPECT_EQ(Next(kCloudTopic), header + R"("occupy_state":0,"work_state":{"manual_charge_state":0}}})");
  for (int i = 0; i < 2; ++i) EXPECT_EQ(Next(kRobotTopic), robot + "}");

  // Recorded while the broker is away: kept, and carried by the next periodic upload.
  suite_->Renew();
  *client = suite_->client;
  {
    std::lock_guard<std::mutex> lock(StationCenterProbe(*center_).task_mutex());
    center_->AbnormalTaskRecord(ABNORMAL_TAP_WATER, TASK_TYPE_UV_LAMP);  // 13 is no task key
    center_->AbnormalTaskRecord(ABNORMAL_DUST_BAG_REPLACE, TASK_TYPE_SENSOR);
    std::lock_guard<std::shared_mutex> data_lock(StationCenterProbe(*center_).task_data_mutex());
    StationCenterProbe(*center_).task_data().emergency_stop_normal = false;
  }
  ASSERT_TRUE(suite_->client->Init(suite_->callback) && suite_->WarmUp());
  center_->StationInfoUploadCloud();
  const std::string consumables = R"("consumables_state":{"tap_water":1,"dust_bag":1},)";
  EXPECT_EQ(Next(kCloudTopic), header +
                                   R"("occupy_state":0,"work_state":{"manual_charge_state":0,)"
                                   R"("abnormal_task_list":[{"task_id":16}]}},)" +
                                   consumables + R"("abnormal_info":{"emergency_stop":1,"abnormal_sensor_num":0}})");
  EXPECT_EQ(Next(kRobotTopic), robot + "," + consumables + R"("abnormal_info":{"emergency_stop":1}})");
}

// The record of an abnormal condition is uploaded at once, and only once however many reports
// carry it. (What the record holds: PeriodicReportsAndRecordsWhileDisconnected.)
TEST_F(StationMqttTest, AbnormalRecordIsUploadedAtOnceAndOnlyOnce) {
  // Reports from a healthy station with the upper plate at `plate` degrees, handed over three times.
  const auto feed = [this](uint32_t plate) {
    for (int i = 0; i < 3; ++i) {
      station::SensorsDataRep report;
      report.set_dustbagdet(1);
      report.set_dustboxcapdet(1);
      report.set_electrodeplatetemp1(plate);
      center_->DataUploadCallback(report);
    }
  };
  // No periodic upload runs here: whatever arrives was sent by the record itself.
  feed(79);
  const std::string upload = Next(kCloudTopic);
  EXPECT_TRUE(Has(upload, R"("abnormal_task_list":[{"task_id":16}]}},"abnormal_info":{"abnormal_sensor_list":)"
                          R"([{"name":"electrode_plate_temp_up","data":"79")"))
      << upload;
  EXPECT_TRUE(Has(Next(kRobotTopic), R"("manual_charge_state":0}})"));
  // Later reports record nothing more: once the plate is back, the next upload is a periodic, clean one.
  feed(0);
  center_->StationInfoUploadCloud();
  EXPECT_FALSE(Has(Next(kCloudTopic), "abnormal")) << "one upload per record, not per report";
  EXPECT_FALSE(Has(Next(kRobotTopic), "abnormal"));
}

// One parser for the daemon's status.json and stationctl's --broker, written by people as well
// as by the daemon. Only the TLS schemes ask for TLS; an unknown scheme or a port that is no
// port is refused (both refuse on `error`), never taken for plain TCP or the default port.
TEST(MqttAddressTest, TopicsAndBrokerAddresses) {
  EXPECT_EQ(FormatTopic("a/%s/b/%s", "x"), "a/x/b/%s");  // only the first occurrence
  EXPECT_EQ(FormatTopic("a/%s", ""), "");
  const struct {
    std::string address, uri, host;
    uint16_t port;
    bool tls;
    std::string error;
  } cases[] = {
      {"broker.example", "tcp://broker.example:1883", "broker.example", 1883, false, ""},
      {"127.0.0.1:40001", "tcp://127.0.0.1:40001", "127.0.0.1", 40001, false, ""},
      {"tcp://10.0.0.1:1884", "tcp://10.0.0.1:1884", "10.0.0.1", 1884, false, ""},
      {"mqtt://h", "tcp://h:1883", "h", 1883, false, ""},
      {"tcp://[::1]:1885", "tcp://[::1]:1885", "[::1]", 1885, false, ""},
      {"tcp://[::1]", "tcp://[::1]:1883", "[::1]", 1883, false, ""},
      {"ssl://broker.local:8884/", "ssl://broker.local:8884", "broker.local", 8884, true, ""},
      {"mqtts://broker.example:9883", "ssl://broker.example:9883", "broker.example", 9883, true, ""},
      {"MQTTS://broker.example", "ssl://broker.example:8883", "broker.example", 8883, true, ""},
      {"10.0.0.1:0", "", "10.0.0.1", 1883, false, "the port must be a number from 1 to 65535"},
      {"host:notaport", "", "host", 1883, false, "the port must be a number from 1 to 65535"},
      {"host:70000", "", "host", 1883, false, "the port must be a number from 1 to 65535"},
      {"host:+80", "", "host", 1883, false, "the port must be a number from 1 to 65535"},
      {"tls://h:8883", "", "h", 8883, false, "unknown scheme tls"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    if (!c.uri.empty()) {
      EXPECT_EQ(BrokerUri(c.address), c.uri);
    }
    const BrokerAddress parsed = ParseBrokerAddress(c.address);
    EXPECT_EQ(std::make_tuple(parsed.host, parsed.port, parsed.tls, parsed.error),
              std::make_tuple(c.host, c.port, c.tls, c.error));
  }
  // The daemon says why it does not connect (stationctl: StationctlTest.UsageErrors...).
  station_test::Logs().Clear();
  MqttSettings settings;
  settings.server_address = "127.0.0.1:notaport";
  MqttClient client(settings);
  EXPECT_FALSE(client.Init(nullptr));
  EXPECT_TRUE(station_test::Logs().Has(
      "broker address 127.0.0.1:notaport: the port must be a number from 1 to 65535; not connecting"));
}

}  // namespace
}  // namespace station_center
