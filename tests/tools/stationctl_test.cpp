// stationctl against a real broker and a scripted station: what it publishes,
// how it reads the station's answers, and its exit codes.

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>
#include <mqtt/async_client.h>

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

std::string Header(const std::string& msg_id, int err_code, const std::string& err_msg) {
  return R"({"rspHeader":{"msgId":{"uuid":")" + msg_id + R"("},"robotId":{"uuid":"stationctl"},"errCode":)" +
         std::to_string(err_code) + R"(,"errMsg":")" + err_msg + R"("})";
}

// Read as the station reads it: the robot's lowerCamelCase names, so a request in another
// form gets no answer.
std::string MsgId(const std::string& request) {
  std::smatch m;
  return std::regex_search(request, m, std::regex(R"re("msgId":\{"uuid":"([^"]*)")re")) ? m[1].str() : "";
}

// Plays the station on a real broker: records what reaches its topics and, once told what to
// answer, answers each on its topic + "Re" after another robot's refusal there: only the
// reply with the request's msg id counts.
class StationctlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(broker_.Start()) << broker_.Log();
    station_.set_message_callback([this](mqtt::const_message_ptr msg) {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.push_back(msg);
      if (body_.empty()) return;
      const std::string topic = msg->get_topic() + "Re";
      station_.publish(topic, Header("someone-else", 5, "station in emergency stop status") + "}", 1, false);
      const std::string err_msg = err_code_ != 0 ? "add water task is running" : "";
      station_.publish(topic, Header(MsgId(msg->to_string()), err_code_, err_msg) + body_, 1, false);
    });
    // no_local: its own replies and reports do not come back to it.
    ASSERT_TRUE(station_.connect(mqtt::connect_options_builder().mqtt_version(MQTTVERSION_5).finalize())
                    ->wait_for(seconds(20)));
    ASSERT_TRUE(station_.subscribe(kBase + "#", 1, mqtt::subscribe_options(true))->wait_for(seconds(20)));
  }
  void TearDown() override {
    station_.disable_callbacks();
    try {
      station_.disconnect()->wait_for(seconds(5));
    } catch (const mqtt::exception&) {  // never connected, or already gone
    }
  }

  // From now on every request is answered: its header with `err_code`, then `body`.
  void Answer(const std::string& body, int err_code = 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    body_ = body;
    err_code_ = err_code;
  }
  std::vector<mqtt::const_message_ptr> Received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  bool Publish(const std::string& topic, const std::string& payload) {
    return station_.publish(topic, payload, 1, false)->wait_for(seconds(20));
  }
  // The words of `command`, then the broker, the station and the timeout.
  std::vector<std::string> Args(const std::string& command, const std::string& timeout = "20") {
    std::istringstream in(command + " --broker " + broker_.address() + " --station " + kStation + " --timeout " +
                          timeout);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
  }
  // Runs `command`, which must succeed, and reads the one message it sent, on `topic`, as the
  // station does: strictly, unknown fields being an error.
  template <typename T>
  void Sent(const std::string& command, const std::string& topic, T* msg) {
    const size_t before = Received().size();
    ASSERT_EQ(RunCtl(Args(command)).exit_code, 0) << command;
    ASSERT_TRUE(WaitUntil([&] { return Received().size() == before + 1; })) << "one message";
    const auto got = Received();
    EXPECT_EQ(got.back()->get_topic(), kBase + topic);
    EXPECT_TRUE(google::protobuf::util::JsonStringToMessage(got.back()->to_string(), msg).ok()) << command;
  }

  MosquittoBroker broker_;
  mqtt::async_client station_{"tcp://" + broker_.address(), "scripted-station", mqtt::create_options(MQTTVERSION_5)};
  std::mutex mutex_;
  std::vector<mqtt::const_message_ptr> received_;
  std::string body_;  // empty: silent
  int err_code_ = 0;
};

TEST_F(StationctlTest, RequestsAreTheRobotsJson) {
  Answer("}");
  mqttpb::SupplyMaterialReq supply;
  Sent("supply watering --action strong --duration 42", "supplyMaterialRequest", &supply);
  EXPECT_EQ(supply.cmd().supply_type(), mqttpb::ENUM_SUPPLY_WATERING);
  EXPECT_EQ(supply.cmd().action(), mqttpb::ENUM_ACTION_STRONG);
  EXPECT_EQ(supply.cmd().duration(), 42);
  EXPECT_EQ(supply.req_header().msg_id().uuid().size(), 36u) << "a fresh uuid per request";
  mqttpb::PrepareDisinfectantReq prewater;
  Sent("prewater --tablets 2 --volume 500", "preWaterRequest", &prewater);
  EXPECT_EQ(prewater.cmd().disinfection_tablets_num(), 2);
  EXPECT_EQ(prewater.cmd().water_volume(), 500);

  vantorel_base_station_cloud::BaseStationInfoReportRsp flags, none;
  Sent("cloud-reply --dust-bag 1", "reportActivelyRe", &flags);
  EXPECT_EQ(flags.consumables_reply_state().dust_bag(), 1);
  EXPECT_EQ(flags.rsp_header().device_id().uuid(), kStation);
  // All flags 0 must still send the state: the station ignores a reply without one.
  Sent("cloud-reply", "reportActivelyRe", &none);
  EXPECT_TRUE(none.has_consumables_reply_state());
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
    Answer(c.body, c.err_code);
    const CtlResult r = RunCtl(Args(c.args));
    EXPECT_EQ(r.exit_code, c.exit_code) << c.args << "\n" << r.out << r.err;
    EXPECT_TRUE(c.shows == nullptr || r.out.find(c.shows) != std::string::npos) << r.out;
  }
}

TEST_F(StationctlTest, UsageErrorsExitTwoAndPublishNothingSilenceExitsThree) {
  // Unknown words, missing --action or --volume or record's file, options of another command,
  // values out of range, a record file that cannot be made.
  for (const char* bad : {"frobnicate", "supply espresso --action soft", "supply watering", "prewater --tablets 2",
                          "check in-pose --tablets 2", "cloud-reply --dust-bag 2", "watch --count 0", "record",
                          "record a b", "record - --seconds 0", "watch --seconds 1", "record /nonexistent-dir/x.jsonl"})
    EXPECT_EQ(RunCtl(Args(bad)).exit_code, 2) << bad;
  const CtlResult bad_port = RunCtl({"check", "in-pose", "--broker", "127.0.0.1:notaport"});
  EXPECT_TRUE(bad_port.exit_code == 2 && bad_port.err.find("the port must be a number") != std::string::npos)
      << bad_port.err;
  EXPECT_TRUE(Received().empty()) << "a usage error must not reach the station";

  const CtlResult silent = RunCtl(Args("check in-pose", "1"));
  EXPECT_TRUE(silent.exit_code == 3 && silent.err.find("no reply") != std::string::npos) << silent.err;
  EXPECT_EQ(RunCtl(Args("watch --count 1 --for 1")).exit_code, 3) << "too little seen";
  broker_.Stop();
  const CtlResult away = RunCtl(Args("dock leave", "5"));
  EXPECT_TRUE(away.exit_code == 3 && away.err.find("cannot reach the broker") != std::string::npos) << away.err;
}

// A broker that asks for a password: from a file or the environment, and a refusal is
// told apart from a broker away.
TEST_F(StationctlTest, APasswordComesFromAFileOrTheEnvironmentAndARefusalIsNamed) {
  MosquittoBroker locked;
  TempRoot files;
  files.WriteFile("/secret", "s3cret\n");
  ASSERT_TRUE(locked.RequirePassword("tech", "s3cret") && locked.Start()) << locked.Log();
  const struct {
    std::string options;
    const char* environment;  // STATIONCTL_PASSWORD
    int exit_code;
    const char* says;  // on stderr
  } cases[] = {
      {"", "", 3, "refused: not authorized"},
      {"--user tech", "s3cret", 0, ""},
      {"--user tech --password-file " + files.Under("/secret"), "wrong", 0, ""},  // the file wins
  };
  for (const auto& c : cases) {
    ::setenv("STATIONCTL_PASSWORD", c.environment, 1);
    std::vector<std::string> args = Args("cloud-reply " + c.options);
    args.insert(args.end(), {"--broker", locked.address()});  // the last one counts
    const CtlResult r = RunCtl(args);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.options << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  ::unsetenv("STATIONCTL_PASSWORD");
}

TEST_F(StationctlTest, WatchShowsRepliesReportsAndUploadsAsTheyArrive) {
  CtlProcess watch(Args("watch --count 3 --for 60"));
  // Publishing before the subscription is in place would lose the messages.
  ASSERT_TRUE(WaitUntil([&] { return watch.Out().find("watching") != std::string::npos; }, seconds(30))) << watch.Out();

  ASSERT_TRUE(Publish(kBase + "supplyMaterialRequestRe", Header("x", 12, "dust collecting") + "}"));
  ASSERT_TRUE(Publish(kBase + "stationReport", R"({"consumables_state":{"tap_water":1}})"));
  ASSERT_TRUE(Publish("clean_robot_station/reportActively",
                      R"({"state_info":{"work_state":{"abnormal_task_list":[{"task_id":16}]}}})"));
  const CtlResult r = watch.Finish();
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("ENUM_CONFLICT_WITH_DUST_COLLECTION (12)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("short of tap_water"), std::string::npos) << "the robot report is summarised\n" << r.out;
  EXPECT_NE(r.out.find("abnormal tasks 16"), std::string::npos) << "the upload is summarised\n" << r.out;
}

TEST(StationctlMessages, ReindentKeepsStringsAndOrder) {
  // Separators inside strings are text, not structure.
  EXPECT_EQ(stationctl::ReindentJson(R"({"b":"x,{y}:z","a":[],"c":[1,2]})", 0),
            "{\n\"b\": \"x,{y}:z\",\n\"a\": [],\n\"c\": [\n1,\n2\n]\n}\n");
}

}  // namespace
}  // namespace station_test
