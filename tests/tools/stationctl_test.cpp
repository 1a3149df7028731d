// stationctl against a real broker and a scripted station: what it publishes,
// how it reads the station's answers, and its exit codes.

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>
#include <mqtt/async_client.h>

#include <functional>
#include <iterator>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "ctl_messages.h"
#include "robot/base_station_cloud.pb.h"
#include "robot/base_station_mqtt.pb.h"
#include "support/ctl_process.h"
#include "support/mosquitto.h"
#include "support/test_support.h"

namespace station_test {
namespace {

namespace mqttpb = vantorel_base_station_mqtt;
using std::chrono::seconds;

constexpr const char* kStation = "station-t1";
const std::string kBase = std::string("clean_robot_station/") + kStation + "/";

// The reply JSONs for a request's payload.
using Responder = std::function<std::vector<std::string>(const std::string& request)>;

// Plays the station: records what reaches its topics and answers each on its topic + "Re";
// without a responder it stays silent.
class ScriptedStation {
 public:
  ScriptedStation(const std::string& broker, Responder responder)
      : responder_(std::move(responder)),
        client_("tcp://" + broker, "scripted-station", mqtt::create_options(MQTTVERSION_5)) {}
  ~ScriptedStation() {
    client_.disable_callbacks();
    try {
      client_.disconnect()->wait_for(seconds(5));
    } catch (const mqtt::exception&) {  // never connected, or already gone
    }
  }

  bool Connect() {
    client_.set_message_callback([this](mqtt::const_message_ptr msg) {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.push_back(msg);
      for (const std::string& reply : responder_ ? responder_(msg->to_string()) : std::vector<std::string>{}) {
        client_.publish(msg->get_topic() + "Re", reply, 1, false);
      }
    });
    // no_local: its own replies and reports do not come back to it.
    return client_.connect(mqtt::connect_options_builder().mqtt_version(MQTTVERSION_5).finalize())
               ->wait_for(seconds(20)) &&
           client_.subscribe(kBase + "#", 1, mqtt::subscribe_options(true))->wait_for(seconds(20));
  }
  std::vector<mqtt::const_message_ptr> Received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  bool Publish(const std::string& topic, const std::string& payload) {
    return client_.publish(topic, payload, 1, false)->wait_for(seconds(20));
  }

 private:
  Responder responder_;
  mqtt::async_client client_;
  std::mutex mutex_;
  std::vector<mqtt::const_message_ptr> received_;
};

// The station's strict reading: unknown fields are an error.
template <typename T>
bool StationParses(const std::string& json, T* out) {
  return google::protobuf::util::JsonStringToMessage(json, out).ok();
}

std::string Header(const std::string& msg_id, int err_code = 0, const std::string& err_msg = "") {
  return R"({"rspHeader":{"msgId":{"uuid":")" + msg_id + R"("},"robotId":{"uuid":"stationctl"},"errCode":)" +
         std::to_string(err_code) + R"(,"errMsg":")" + err_msg + R"("})";
}

// Read as the station reads it: the robot's lowerCamelCase names, so a request in another
// form gets no answer.
std::string MsgId(const std::string& request) {
  std::smatch m;
  return std::regex_search(request, m, std::regex(R"re("msgId":\{"uuid":"([^"]*)")re")) ? m[1].str() : "";
}

// Answers each request with the header of its msg id and then `body`, after another
// robot's refusal on the same reply topic: only the reply with the request's msg id counts.
Responder Replies(const std::string& body, int err_code = 0, const std::string& err_msg = "") {
  return [=](const std::string& req) {
    return std::vector<std::string>{Header("someone-else", 5, "station in emergency stop status") + "}",
                                    Header(MsgId(req), err_code, err_msg) + body};
  };
}

class StationctlTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(broker_.Start()) << broker_.Log(); }

  void Answer(Responder responder = nullptr) {
    station_.reset();  // one client id at a time
    station_ = std::make_unique<ScriptedStation>(broker_.address(), std::move(responder));
    ASSERT_TRUE(station_->Connect());
  }
  // The words of `command`, then the broker, the station and the timeout.
  std::vector<std::string> Args(const std::string& command, const std::string& timeout = "20") {
    std::istringstream in(command + " --broker " + broker_.address() + " --station " + kStation + " --timeout " +
                          timeout);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
  }
  // The only request the scripted station received, on `topic`.
  std::string OnlyRequest(const std::string& topic) {
    const auto got = station_->Received();
    EXPECT_EQ(got.size(), 1u);
    EXPECT_TRUE(got.empty() || got[0]->get_topic() == kBase + topic);
    return got.empty() ? "" : got[0]->to_string();
  }

  MosquittoBroker broker_;
  std::unique_ptr<ScriptedStation> station_;
};

TEST_F(StationctlTest, RequestsAreTheRobotsJson) {
  Answer(Replies("}"));
  ASSERT_EQ(RunCtl(Args("supply watering --action strong --duration 42")).exit_code, 0);
  mqttpb::SupplyMaterialReq supply;
  ASSERT_TRUE(StationParses(OnlyRequest("supplyMaterialRequest"), &supply));
  EXPECT_EQ(supply.cmd().supply_type(), mqttpb::ENUM_SUPPLY_WATERING);
  EXPECT_EQ(supply.cmd().action(), mqttpb::ENUM_ACTION_STRONG);
  EXPECT_EQ(supply.cmd().duration(), 42);
  EXPECT_EQ(supply.req_header().msg_id().uuid().size(), 36u) << "a fresh uuid per request";

  Answer(Replies("}"));
  ASSERT_EQ(RunCtl(Args("prewater --tablets 2 --volume 500")).exit_code, 0);
  mqttpb::PrepareDisinfectantReq prewater;
  ASSERT_TRUE(StationParses(OnlyRequest("preWaterRequest"), &prewater));
  EXPECT_EQ(prewater.cmd().disinfection_tablets_num(), 2);
  EXPECT_EQ(prewater.cmd().water_volume(), 500);
}

TEST_F(StationctlTest, AnswersGiveExitZeroOrOneAndRefusalsAreNamed) {
  const struct {
    std::string args;
    std::string body;  // reply fields after the header
    int err_code;
    int exit_code;
    const char* shows;  // in the output, if anything
  } cases[] = {
      {"supply watering --action soft", "}", 0, 0, "accepted"},
      // A technician reads the name and the station's text, not just a number.
      {"supply collect-dust --action standard", "}", 15, 1, "ENUM_CONFLICT_WITH_ADD_WATER (15): add water"},
      // Checks and dock answers carry no error code and can still refuse.
      {"check water-ready", R"(,"robotCheck":1,"checkType":1})", 0, 0, nullptr},  // ready
      {"check in-pose", R"(,"robotCheck":0,"checkType":0})", 0, 1, nullptr},      // not ready
      {"dock leave", R"(,"robotState":2,"robotDesire":2})", 0, 0, nullptr},       // leave echoed: the robot may go
      {"dock leave", R"(,"robotState":2,"robotDesire":1})", 0, 1, "busy"},        // STAY_IN: a task still runs
      {"dock stay", R"(,"robotState":1,"robotDesire":2})", 0, 1, nullptr},        // not in position: sent away
  };
  for (const auto& c : cases) {
    Answer(Replies(c.body, c.err_code, c.err_code != 0 ? "add water task is running" : ""));
    const CtlResult r = RunCtl(Args(c.args));
    EXPECT_EQ(r.exit_code, c.exit_code) << c.args << "\n" << r.out << r.err;
    EXPECT_TRUE(c.shows == nullptr || r.out.find(c.shows) != std::string::npos) << r.out;
  }
}

TEST_F(StationctlTest, UsageErrorsExitTwoAndPublishNothingSilenceExitsThree) {
  Answer();
  // Unknown words, missing --action or --volume, options of another command, values out of range.
  for (const char* bad : {"frobnicate", "supply espresso --action soft", "supply watering", "prewater --tablets 2",
                          "check in-pose --tablets 2", "cloud-reply --dust-bag 2", "watch --count 0"}) {
    const CtlResult r = RunCtl(Args(bad));
    EXPECT_EQ(r.exit_code, 2) << bad << "\n" << r.err;
  }
  EXPECT_TRUE(station_->Received().empty()) << "a usage error must not reach the station";

  const CtlResult silent = RunCtl(Args("check in-pose", "1"));
  EXPECT_EQ(silent.exit_code, 3) << silent.out << silent.err;
  EXPECT_NE(silent.err.find("no reply"), std::string::npos) << silent.err;
  const CtlResult watch = RunCtl(Args("watch --count 1 --for 1"));
  EXPECT_EQ(watch.exit_code, 3) << "too little seen\n" << watch.out << watch.err;
  const std::string nowhere = "127.0.0.1:" + std::to_string(FreeLoopbackPort());
  const CtlResult unreachable = RunCtl({"dock", "leave", "--broker", nowhere, "--station", kStation, "--timeout", "5"});
  EXPECT_EQ(unreachable.exit_code, 3) << unreachable.out << unreachable.err;
}

TEST_F(StationctlTest, CloudReplyCarriesTheConsumableFlags) {
  Answer();
  ASSERT_EQ(RunCtl(Args("cloud-reply --dust-bag 1")).exit_code, 0);
  // All flags 0 must still send the state: the station ignores a reply without one.
  ASSERT_EQ(RunCtl(Args("cloud-reply")).exit_code, 0);
  ASSERT_TRUE(WaitUntil([this] { return station_->Received().size() == 2; }));

  const auto got = station_->Received();
  vantorel_base_station_cloud::BaseStationInfoReportRsp first, second;
  ASSERT_EQ(got[0]->get_topic(), kBase + "reportActivelyRe");
  ASSERT_TRUE(StationParses(got[0]->to_string(), &first) && StationParses(got[1]->to_string(), &second));
  EXPECT_EQ(first.consumables_reply_state().dust_bag(), 1);
  EXPECT_EQ(first.rsp_header().device_id().uuid(), kStation);
  EXPECT_TRUE(second.has_consumables_reply_state());
}

TEST_F(StationctlTest, WatchShowsRepliesReportsAndUploadsAsTheyArrive) {
  Answer();
  CtlProcess watch(Args("watch --count 3 --for 60"));
  // Publishing before the subscription is in place would lose the messages.
  ASSERT_TRUE(WaitUntil([&] { return watch.Out().find("watching") != std::string::npos; }, seconds(30))) << watch.Out();

  ASSERT_TRUE(station_->Publish(kBase + "supplyMaterialRequestRe", Header("x", 12, "dust collecting") + "}"));
  ASSERT_TRUE(station_->Publish(kBase + "stationReport",
                                R"({"rep_header":{"station_id":"station-t1"},"state_info":{"work_state":)"
                                R"({"manual_charge_state":0}},"consumables_state":{"tap_water":1}})"));
  ASSERT_TRUE(station_->Publish("clean_robot_station/reportActively",
                                R"({"req_header":{"msg_id":{"uuid":"1"},"device_id":{"uuid":"station-t1"}},)"
                                R"("state_info":{"current_time":5,"occupy_state":1,"work_state":)"
                                R"({"manual_charge_state":0,"abnormal_task_list":[{"task_id":16}]}}})"));
  const CtlResult r = watch.Finish();
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("ENUM_CONFLICT_WITH_DUST_COLLECTION (12)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("short of tap_water"), std::string::npos) << "the robot report is summarised\n" << r.out;
  EXPECT_NE(r.out.find("abnormal tasks 16"), std::string::npos) << "the upload is summarised\n" << r.out;
}

TEST(StationctlMessages, ReindentKeepsStringsAndOrder) {
  // Separators inside strings are text, not structure.
  const std::string out = stationctl::ReindentJson(R"({"b":"x,{y}:z","a":[],"c":[1,2]})", 0);
  EXPECT_EQ(out, "{\n\"b\": \"x,{y}:z\",\n\"a\": [],\n\"c\": [\n1,\n2\n]\n}\n");
}

}  // namespace
}  // namespace station_test
