// stationctl against a real broker and a scripted station: what it publishes, how it reads
// the station's answers, its exit codes, what watch and record make of what arrives, its
// session's socket and its TLS files.

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>
#include <mqtt/async_client.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <sys/socket.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "ctl_messages.h"
#include "ctl_mqtt.h"
#include "ctl_nodelay.h"
#include "ctl_record.h"
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

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
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
      station_.publish(topic, Header(MsgId(msg->to_string()), 0, "") + body_, 1, false);
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

  // From now on every request is answered: its header, then `body`.
  void Answer(const std::string& body) {
    std::lock_guard<std::mutex> lock(mutex_);
    body_ = body;
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
};

// Each request is answered, exit 0, past another robot's refusal on the same topic. Refusals,
// exit 1 and named with the station's text: RobotVisitTest.FromDockingToLeavingThenTheStationResetsItself.
TEST_F(StationctlTest, RequestsAreTheRobotsJson) {
  Answer("}");
  mqttpb::SupplyMaterialReq supply;
  Sent("supply watering --action strong --duration 42", "supplyMaterialRequest", &supply);
  EXPECT_EQ(supply.cmd().supply_type(), mqttpb::ENUM_SUPPLY_WATERING);
  EXPECT_EQ(supply.cmd().action(), mqttpb::ENUM_ACTION_STRONG);
  EXPECT_EQ(supply.cmd().duration(), 42);
  EXPECT_EQ(supply.req_header().msg_id().uuid().size(), 36u) << "a fresh uuid per request";
  // prewater's tablets and volume: RobotVisitTest.FromDockingToLeavingThenTheStationResetsItself.

  vantorel_base_station_cloud::BaseStationInfoReportRsp flags, none;
  Sent("cloud-reply --dust-bag 1", "reportActivelyRe", &flags);
  EXPECT_EQ(flags.consumables_reply_state().dust_bag(), 1);
  EXPECT_EQ(flags.rsp_header().device_id().uuid(), kStation);
  // All flags 0 must still send the state: the station ignores a reply without one.
  Sent("cloud-reply", "reportActivelyRe", &none);
  EXPECT_TRUE(none.has_consumables_reply_state());
}

TEST_F(StationctlTest, UsageErrorsExitTwoAndPublishNothingSilenceExitsThree) {
  // Unknown words, missing --action or --volume or record's file, options of another command,
  // values out of range, a record file that cannot be made.
  for (const char* bad : {"frobnicate", "supply espresso --action soft", "supply watering", "prewater --tablets 2",
                          "check in-pose --tablets 2", "cloud-reply --dust-bag 2", "watch --count 0", "record",
                          "record a b", "record - --seconds 0", "watch --seconds 1", "record /nonexistent-dir/x.jsonl"})
    EXPECT_EQ(RunCtl(Args(bad)).exit_code, 2) << bad;
  const CtlResult bad_port = RunCtl({"check", "in-pose", "--broker", "127.0.0.1:notaport"});
  EXPECT_TRUE(bad_port.exit_code == 2 && Has(bad_port.err, "the port must be a number")) << bad_port.err;
  EXPECT_TRUE(Received().empty()) << "a usage error must not reach the station";

  const CtlResult silent = RunCtl(Args("check in-pose", "1"));
  EXPECT_TRUE(silent.exit_code == 3 && Has(silent.err, "no reply")) << silent.err;
  EXPECT_EQ(RunCtl(Args("watch --count 1 --for 1")).exit_code, 3) << "too little seen";
  broker_.Stop();
  const CtlResult away = RunCtl(Args("dock leave", "5"));
  EXPECT_TRUE(away.exit_code == 3 && Has(away.err, "cannot reach the broker")) << away.err;
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
    EXPECT_TRUE(Has(r.err, c.says)) << r.err;
  }
  ::unsetenv("STATIONCTL_PASSWORD");
}

// watch and record side by side on the same messages: watch summarises replies, reports and
// uploads; record writes a line for every kind on this station's topics, in order, until
// signalled, then exits 0 with every line on disk.
TEST_F(StationctlTest, WatchAndRecordFollowWhatArrives) {
  CtlProcess watch(Args("watch --count 3 --for 60"));
  CtlProcess record({"--broker", broker_.address(), "--station", kStation, "record", "-"});
  // Publishing before the subscriptions are in place would lose the messages; record writes
  // its first line once its are granted.
  ASSERT_TRUE(
      WaitUntil([&] { return Has(watch.Out(), "watching") && Has(record.Out(), "\"kind\":\"start\""); }, seconds(30)))
      << watch.Out() << record.Out();
  const struct {
    std::string topic, kind, payload;
  } sent[] = {
      {kBase + "checkStation", "request", "{}"},
      {kBase + "supplyMaterialRequestRe", "reply", Header("x", 12, "dust collecting") + "}"},
      {kBase + "stationReport", "report", R"({"consumables_state":{"tap_water":1}})"},
      {"clean_robot_station/reportActively", "upload",
       R"({"state_info":{"work_state":{"abnormal_task_list":[{"task_id":16}]}}})"},
      {kBase + "reportActivelyRe", "cloud-reply", "{}"},
      {kBase + "availability", "availability", "online"},
      {"clean_robot_station/other/checkStationRe", "", "{}"},  // another station's: not recorded
  };
  for (const auto& s : sent) ASSERT_TRUE(Publish(s.topic, s.payload)) << s.topic;

  const CtlResult watched = watch.Finish();
  EXPECT_EQ(watched.exit_code, 0) << watched.out << watched.err;
  EXPECT_TRUE(Has(watched.out, "ENUM_CONFLICT_WITH_DUST_COLLECTION (12)")) << watched.out;
  EXPECT_TRUE(Has(watched.out, "short of tap_water")) << "the robot report is summarised\n" << watched.out;
  EXPECT_TRUE(Has(watched.out, "abnormal tasks 16")) << "the upload is summarised\n" << watched.out;

  ASSERT_TRUE(WaitUntil([&] { return Lines(record.Out()).size() >= 7; })) << record.Out();
  ASSERT_TRUE(record.Signal(SIGTERM));
  const CtlResult recorded = record.Finish();
  EXPECT_EQ(recorded.exit_code, 0) << recorded.err;
  EXPECT_TRUE(Has(recorded.err, "6 messages recorded")) << recorded.err;
  const std::vector<std::string> lines = Lines(recorded.out);
  ASSERT_EQ(lines.size(), 7u) << recorded.out;
  double last_t = 0;
  for (size_t i = 1; i < lines.size(); ++i) {
    rapidjson::Document doc;
    ASSERT_FALSE(doc.Parse(lines[i].c_str()).HasParseError()) << lines[i];
    EXPECT_EQ(std::string(doc["topic"].GetString()), sent[i - 1].topic);
    EXPECT_EQ(std::string(doc["kind"].GetString()), sent[i - 1].kind);
    EXPECT_EQ(doc["payload"].IsObject(), sent[i - 1].payload[0] == '{') << lines[i];
    EXPECT_GE(doc["t"].GetDouble(), last_t);
    last_t = doc["t"].GetDouble();
  }
}

TEST(StationctlMessages, ReindentKeepsStringsAndOrder) {
  // Separators inside strings are text, not structure.
  EXPECT_EQ(stationctl::ReindentJson(R"({"b":"x,{y}:z","a":[],"c":[1,2]})", 0),
            "{\n\"b\": \"x,{y}:z\",\n\"a\": [],\n\"c\": [\n1,\n2\n]\n}\n");
}

TEST(CtlRecord, LinesKeepJsonPayloadsAsJsonAndAnythingElseAsAString) {
  rapidjson::Document doc;
  // Pretty-printed JSON is compacted: one message, one line (the other fields:
  // StationctlTest.WatchAndRecordFollowWhatArrives).
  const std::string line =
      stationctl::RecordLine(1718000000.125, "a/b", "reply", "{\n  \"x\": [1, 2],\n  \"y\": \"z\"\n}");
  EXPECT_EQ(line.find('\n'), std::string::npos);
  ASSERT_FALSE(doc.Parse(line.c_str()).HasParseError()) << line;
  EXPECT_EQ(doc["payload"]["x"][1].GetInt(), 2);

  // Not JSON (or JSON with something after it): kept whole, escaped as a string.
  for (const std::string& bad : {std::string("not \"json\"\n\x01"), std::string("{} {}"), std::string("")}) {
    const std::string kept = stationctl::RecordLine(1, "t", "other", bad);
    ASSERT_FALSE(doc.Parse(kept.c_str()).HasParseError()) << kept;
    ASSERT_TRUE(doc["payload"].IsString()) << kept;
    EXPECT_EQ(std::string(doc["payload"].GetString(), doc["payload"].GetStringLength()), bad);
  }

  // A station id with characters JSON must escape still makes a valid first line.
  const std::string start = stationctl::StartLine(2, "st\"1", "127.0.0.1:1883");
  ASSERT_FALSE(doc.Parse(start.c_str()).HasParseError()) << start;
  EXPECT_STREQ(doc["payload"]["station"].GetString(), "st\"1");
}

// TCP_NODELAY of each of this process's sockets connected to `port`.
std::vector<int> NoDelayOfSocketsTo(uint16_t port) {
  std::vector<int> flags;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::atoi(entry.path().filename().c_str());
    sockaddr_in peer{};
    socklen_t len = sizeof(peer);
    int on = 0;
    socklen_t on_len = sizeof(on);
    // Anything but a socket fails getpeername.
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 && peer.sin_family == AF_INET &&
        ntohs(peer.sin_port) == port && ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &on_len) == 0) {
      flags.push_back(on);
    }
  }
  return flags;
}

TEST(CtlSession, ConnectedSessionHasNagleOffTowardsTheBroker) {
  MosquittoBroker broker;
  ASSERT_TRUE(broker.Start()) << broker.Log();
  stationctl::Session session(broker.address(), "ctl-session-test");
  std::string error;
  ASSERT_TRUE(session.Connect(std::chrono::seconds(20), &error)) << error;
  const std::vector<int> flags = NoDelayOfSocketsTo(broker.port());
  ASSERT_EQ(flags.size(), 1u);
  EXPECT_NE(flags[0], 0);
  // A second call finds the same socket and leaves other connections alone.
  EXPECT_EQ(stationctl::NoDelayTowardsBroker(broker.address()), 1);
  EXPECT_EQ(stationctl::NoDelayTowardsBroker("127.0.0.1:1"), 0);
}

// Towards a broker that speaks TLS only and wants a client certificate.
TEST(StationctlTlsTest, ConnectsWithTheGivenFilesAndNamesWhyItCannot) {
  TestCertificates certs;
  ASSERT_TRUE(certs.Make()) << certs.Log();
  MosquittoBroker broker(0, false, certs.Server(true));
  ASSERT_TRUE(broker.Start()) << broker.Log();
  const std::string host_port = "127.0.0.1:" + std::to_string(broker.tls_port());
  const auto run = [&](const std::string& scheme, std::vector<std::string> args) {
    args.insert(args.end(),
                {"cloud-reply", "--station", kStation, "--timeout", "20", "--broker", scheme + "://" + host_port});
    return RunCtl(args);
  };

  // The files reach the session: with them it connects, without the client's it is refused
  // (why in words: TlsTest.TheDiagnosisNamesWhatIsWrongAndTheStationConnectsWithWhatTheBrokerNeeds).
  CtlResult r = run("mqtts", {"--cafile", certs.ca(), "--cert", certs.client_cert(), "--key", certs.client_key()});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  r = run("ssl", {"--cafile", certs.ca()});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_TRUE(Has(r.err, "certificate required")) << r.err;
  // Unchecked, the broker's certificate needs no trust.
  r = run("ssl", {"--insecure", "--cert", certs.client_cert(), "--key", certs.client_key()});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.err, "warning: --insecure")) << r.err;
}

}  // namespace
}  // namespace station_test
