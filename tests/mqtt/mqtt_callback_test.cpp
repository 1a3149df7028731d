#include "mqtt/mqtt_callback.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "config.h"
#include "mqtt/mqtt_client.h"
#include "mqtt/mqtt_peer.h"
#include "support/mosquitto.h"
#include "support/test_support.h"
#include "task/log_capture.h"

namespace station_center {

// Replaces the station's service table with scripted answers.
class StationCenterTestPeer {
 public:
  static std::unordered_map<int, StationCenter::Service>& Services(StationCenter& center) { return center.services_; }
};

namespace {

using station_test::Logs;

// A station core whose services answer from a script and remember what they were asked.
struct ScriptedStation {
  std::shared_ptr<StationCenter> center = std::make_shared<StationCenter>();
  std::mutex mutex;
  std::map<int, StationSrvRsp> answers;  // by command
  std::vector<StationSrvReq> asked;

  ScriptedStation() {
    auto& services = StationCenterTestPeer::Services(*center);
    for (int cmd = 0; cmd <= SRV_CMD_CLOUD_REPLY; ++cmd) {
      services[cmd] = [this, cmd](const StationSrvReq& req) {
        std::lock_guard<std::mutex> lock(mutex);
        if (req.station_check_req.req_header().msg_id().uuid() != "warmup") {
          asked.push_back(req);
        }
        return answers[cmd];
      };
    }
  }
  void Answer(int cmd, int code, const std::string& msg = "", int err = 0) {
    std::lock_guard<std::mutex> lock(mutex);
    answers[cmd] = StationSrvRsp{code, msg, static_cast<vantorel_base_station_common::EnumErrCode>(err)};
  }
  std::vector<StationSrvReq> Asked() {
    std::lock_guard<std::mutex> lock(mutex);
    return asked;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex);
    asked.clear();
    answers.clear();
  }
};

const char* const kWarmUp = R"({"reqHeader":{"msgId":{"uuid":"warmup"}}})";
const std::string kIds = R"("reqHeader":{"msgId":{"uuid":"m"},"robotId":{"uuid":"r"}})";

std::string Header(int err, const std::string& msg, bool ids = true) {
  return std::string(R"({"rspHeader":{)") + (ids ? R"("msgId":{"uuid":"m"},"robotId":{"uuid":"r"},)" : "") +
         R"("errCode":)" + std::to_string(err) + R"(,"errMsg":")" + msg + "\"}";
}

class HandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Logs();
    ASSERT_TRUE(broker_.Start());
    saved_ = g_config;
    g_config.station_id = "S1";
    g_config.mqtt_server_address = broker_.address();
    MqttClient::Instance().ReconfigureForTest();
    callback_ = std::make_shared<mqtt_callback::MqttCallback>(station_.center);
    ASSERT_TRUE(MqttClient::Instance().Init(callback_));
    ASSERT_TRUE(robot_.Connect());
    SetNoDelayTowardsPeer("127.0.0.1", broker_.port());  // quick round trips for the robot too
    for (const char* t : {"checkStationRe", "dockStateRe", "preWaterRequestRe", "supplyMaterialRequestRe"}) {
      ASSERT_TRUE(robot_.Subscribe(std::string("clean_robot_station/S1/") + t));
    }
    // The station's subscriptions are not awaited: wait until a request is answered.
    ASSERT_TRUE(station_test::WaitUntil([&] {
      robot_.Publish("clean_robot_station/S1/checkStation", kWarmUp);
      return robot_.Take("clean_robot_station/S1/checkStationRe", nullptr, std::chrono::milliseconds(100));
    }));
    // Later warm-up requests may still be on their way: the script does not count them
    // and Ask skips their replies.
  }
  void TearDown() override {
    MqttClient::Instance().ReconfigureForTest();
    g_config = saved_;
  }

  // Publishes `request` on the robot topic `segment` and returns the reply.
  std::string Ask(const std::string& segment, const std::string& request) {
    EXPECT_TRUE(robot_.Publish("clean_robot_station/S1/" + segment, request));
    std::string reply;
    do {
      EXPECT_TRUE(robot_.Take("clean_robot_station/S1/" + segment + "Re", &reply)) << segment;
    } while (reply.find("warmup") != std::string::npos);
    return reply;
  }

  station_test::MosquittoBroker broker_{0, true};
  Config saved_;
  ScriptedStation station_;
  std::shared_ptr<mqtt_callback::MqttCallback> callback_;
  station_test::MqttPeer robot_{broker_.address(), "robot"};
};

TEST_F(HandlerTest, SupplyAnswersBecomeReplyHeaders) {
  struct Case {
    int code;
    std::string msg;
    int err;
    std::string header;
  } cases[] = {
      {0, "", 0, Header(0, "")},
      {0, "task started", 0, Header(0, "task started")},
      {6, "", 0, Header(0, "")},
      {8, "no task to cancel", 0, Header(0, "no task to cancel")},
      {1, "conflict with drain water", 10, Header(10, "conflict with drain water")},
      // A refusal without an error code still reads as a refusal.
      {1, "action model illegal", 0, Header(1, "action model illegal")},
      {3, "station in error status", 0, Header(1, "station happen error")},
      {4, "", 0, Header(5, "station in emergency stop status")},
      {5, "", 0, Header(1, "station don't support pre water request")},
      {21, "station in reset", 0, Header(1, "station in reset")},
      {21, "", 0, Header(1, "unknow error")},
  };
  for (const auto& c : cases) {
    station_.Answer(SRV_CMD_TASK, c.code, c.msg, c.err);
    EXPECT_EQ(Ask("supplyMaterialRequest", "{" + kIds + R"(,"cmd":{"supplyType":"ENUM_SUPPLY_WATERING"}})"),
              c.header + R"(,"supplyType":3})")
        << "code " << c.code << " " << c.msg;
  }
}

TEST_F(HandlerTest, SupplyTypesMapToTaskTypes) {
  const std::pair<int, int> mapping[] = {{2, 11}, {3, 5}, {4, 8},  {5, 10},  {6, 9},
                                         {7, 6},  {8, 7}, {9, 13}, {10, 14}, {11, 15}};
  for (const auto& [supply, task] : mapping) {
    station_.Clear();
    Ask("supplyMaterialRequest", "{" + kIds + R"(,"cmd":{"supplyType":)" + std::to_string(supply) + "}}");
    const auto asked = station_.Asked();
    ASSERT_EQ(asked.size(), 1u) << supply;
    EXPECT_EQ(asked[0].cmd, SRV_CMD_TASK);
    EXPECT_EQ(asked[0].task_type, task) << supply;
    EXPECT_EQ(asked[0].supply_material_req.cmd().supply_type(), supply);
  }
  // Disinfectant preparation comes only through the pre-water topic.
  station_.Clear();
  for (const char* type : {"\"ENUM_SUPPLY_PREPARE_DISINFECTANT\"", "0", "12"}) {
    EXPECT_EQ(Ask("supplyMaterialRequest", "{" + kIds + R"(,"cmd":{"supplyType":)" + type + "}}"),
              Header(1, "Unknown supply type") + R"(,"supplyType":0})")
        << type;
  }
  EXPECT_TRUE(station_.Asked().empty());
}

TEST_F(HandlerTest, PreWaterAnswersBecomeReplyHeaders) {
  struct Case {
    int code;
    std::string msg;
    std::string header;
  } cases[] = {
      {0, "", Header(0, "")},
      {6, "updated", Header(0, "updated")},
      {1, "conflict with add water", Header(1, "conflict with add water")},
      {3, "", Header(1, "station happen error")},
      {4, "", Header(5, "station in emergency stop status")},
      {5, "", Header(1, "station don't support pre water request")},
      {21, "", Header(1, "station in reset")},
      {18, "", Header(1, "unknow error")},
  };
  for (const auto& c : cases) {
    station_.Clear();
    station_.Answer(SRV_CMD_TASK, c.code, c.msg, 7);
    EXPECT_EQ(Ask("preWaterRequest", "{" + kIds + R"(,"cmd":{"waterVolume":500}})"), c.header + "}") << c.code;
    const auto asked = station_.Asked();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].task_type, TASK_TYPE_DISINFECTANT_PREPARE);
    EXPECT_EQ(asked[0].prepare_disinfectant_req.cmd().water_volume(), 500);
  }
}

TEST_F(HandlerTest, CheckStationAnswersBecomeRobotCheck) {
  struct Case {
    std::string check_type;
    int expect_cmd;
    int code;
    std::string reply;
  } cases[] = {
      {"ENUM_IN_POSE", 1, 9, Header(0, "") + R"(,"robotCheck":1,"checkType":0})"},
      {"ENUM_IN_POSE", 1, 10, Header(0, "") + R"(,"robotCheck":0,"checkType":0})"},
      {"ENUM_IN_POSE", 1, 4, Header(5, "station in emergency stop status") + R"(,"robotCheck":0,"checkType":0})"},
      {"ENUM_WATER_READY", 3, 13, Header(0, "") + R"(,"robotCheck":1,"checkType":1})"},
      // 9 is "in position": it only counts for the position check.
      {"ENUM_WATER_READY", 3, 9, Header(0, "") + R"(,"robotCheck":0,"checkType":1})"},
      {"ENUM_WATER_FINISH", 2, 16, Header(0, "") + R"(,"robotCheck":1,"checkType":2})"},
      {"ENUM_WATER_FINISH", 2, 15, Header(0, "") + R"(,"robotCheck":0,"checkType":2})"},
  };
  for (const auto& c : cases) {
    station_.Clear();
    station_.Answer(c.expect_cmd, c.code);
    EXPECT_EQ(Ask("checkStation", "{" + kIds + R"(,"checkType":")" + c.check_type + "\"}"), c.reply)
        << c.check_type << " " << c.code;
    const auto asked = station_.Asked();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].cmd, c.expect_cmd);
  }
  station_.Clear();
  EXPECT_EQ(Ask("checkStation", "{" + kIds + R"(,"checkType":7})"),
            Header(1, "Unknown check type") + R"(,"robotCheck":0,"checkType":0})");
  EXPECT_TRUE(station_.Asked().empty());
}

TEST_F(HandlerTest, DockStateAnswersBecomeStateAndDesire) {
  struct Case {
    int position;     // answer to the position question
    int desire;       // the robot's wish
    int leave_code;   // answer to the leave request
    bool leave_sent;  // the station was told that the robot leaves
    std::string reply;
  } cases[] = {
      {9, 1, 0, false, Header(0, "") + R"(,"robotState":2,"robotDesire":1})"},
      {9, 2, 0, true, Header(0, "") + R"(,"robotState":2,"robotDesire":2})"},
      {9, 2, 18, true, Header(0, "") + R"(,"robotState":2,"robotDesire":1})"},  // busy: stay
      {9, 0, 0, false, Header(0, "") + R"(,"robotState":2,"robotDesire":0})"},
      {10, 1, 18, true, Header(0, "") + R"(,"robotState":1,"robotDesire":2})"},  // already out
      {10, 2, 18, true, Header(0, "") + R"(,"robotState":1,"robotDesire":1})"},
      {10, 0, 0, false, Header(0, "") + R"(,"robotState":1,"robotDesire":0})"},
      {4, 2, 0, false, Header(5, "station in emergency stop status") + R"(,"robotState":0,"robotDesire":0})"},
      {21, 2, 0, false, Header(0, "") + R"(,"robotState":0,"robotDesire":0})"},
  };
  for (const auto& c : cases) {
    station_.Clear();
    station_.Answer(SRV_CMD_ROBOT_POSITION, c.position);
    station_.Answer(SRV_CMD_ROBOT_LEAVE, c.leave_code);
    EXPECT_EQ(Ask("dockState", "{" + kIds + R"(,"robotDesire":)" + std::to_string(c.desire) + "}"), c.reply)
        << c.position << "/" << c.desire << "/" << c.leave_code;
    const auto asked = station_.Asked();
    ASSERT_EQ(asked.size(), c.leave_sent ? 2u : 1u);
    if (c.leave_sent) {
      EXPECT_EQ(asked[1].cmd, SRV_CMD_ROBOT_LEAVE);
      EXPECT_EQ(asked[1].position_confirm_req.robot_desire(), c.desire);
    }
  }
}

TEST_F(HandlerTest, UndecodableRequestsGetErrorThreeWithoutIds) {
  const std::pair<std::string, std::string> topics[] = {
      {"checkStation", R"(,"robotCheck":0,"checkType":0})"},
      {"dockState", R"(,"robotState":0,"robotDesire":0})"},
      {"preWaterRequest", "}"},
      {"supplyMaterialRequest", R"(,"supplyType":0})"},
  };
  const std::string bad[] = {"{" + kIds + R"(,"bogus":1})", R"({"checkType":"ENUM_NOPE","robotDesire":"NOPE"})",
                             "not json"};
  for (const auto& [segment, tail] : topics) {
    for (const auto& payload : bad) {
      EXPECT_EQ(Ask(segment, payload), Header(3, "req data convert to message failed", false) + tail)
          << segment << " " << payload;
    }
  }
  EXPECT_TRUE(station_.Asked().empty());
}

TEST_F(HandlerTest, CloudRepliesUnknownTopicsAndConnectionEvents) {
  const int logged_before = Logs().Count("Topic: reportActivelyRe");
  for (int i = 1; i <= 28; ++i) {
    callback_->message_arrived(mqtt::make_message("clean_robot_station/S1/reportActivelyRe",
                                                  R"({"result":1,"consumablesReplyState":{"dustBag":0}})"));
  }
  // Every 14th cloud reply is logged.
  EXPECT_EQ(Logs().Count("Topic: reportActivelyRe") - logged_before, 2);
  auto asked = station_.Asked();
  ASSERT_EQ(asked.size(), 28u);
  EXPECT_EQ(asked[0].cmd, SRV_CMD_CLOUD_REPLY);
  EXPECT_EQ(asked[0].report_rsp.result(), 1);
  EXPECT_TRUE(asked[0].report_rsp.has_consumables_reply_state());

  station_.Clear();
  callback_->message_arrived(mqtt::make_message("clean_robot_station/S1/reportActivelyRe", "{\"nope\":1}"));
  callback_->message_arrived(mqtt::make_message("clean_robot_station/S1/bogus", "{}"));
  EXPECT_TRUE(station_.Asked().empty());
  EXPECT_TRUE(Logs().Has("ErrorCode: 101900014, Topic: bogus not found"));

  callback_->connection_lost("test");
  asked = station_.Asked();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].cmd, SRV_CMD_CONNECTION_LOST);
  EXPECT_TRUE(Logs().Has("ErrorCode: 101900013, Connection lost for test, will reset station"));
  // No reply went out for any of these: the next request's reply is the first on its topic.
  station_.Answer(SRV_CMD_ROBOT_POSITION, 9);
  EXPECT_EQ(Ask("checkStation", "{}"), R"({"rspHeader":{"msgId":{"uuid":""},"robotId":{"uuid":""},)"
                                       R"("errCode":0,"errMsg":""},"robotCheck":1,"checkType":0})");
}

}  // namespace
}  // namespace station_center
