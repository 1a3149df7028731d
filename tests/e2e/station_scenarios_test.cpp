// Whole-station scenarios on loopback: mosquitto, the board simulator (board_sim) and the
// daemon (station_center) as real processes over a fresh station tree. The robot is
// stationctl; the simulator's console is its control socket; a plain MQTT client asks
// plain questions and watches the cloud uploads.

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/pointer.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e/station_fixture.h"

namespace station_test {
namespace {

constexpr int kLedNormalWork = 1, kLedErrorState = 8, kScreenPreWater = 13, kScreenCollectDust = 14,
              kScreenSewageOverflow = 20;

// A cloud upload without abnormal conditions.
bool Clean(const std::string& upload) { return !Has(upload, "abnormal_info") && !Has(upload, "abnormal_task_list"); }

// A JSON value as text: strings as they are, the rest as written; "(absent)" when missing.
std::string At(const rapidjson::Document& doc, const char* pointer) {
  const rapidjson::Value* value = rapidjson::Pointer(pointer).Get(doc);
  if (value == nullptr) return "(absent)";
  if (value->IsString()) return value->GetString();
  rapidjson::StringBuffer text;
  rapidjson::Writer<rapidjson::StringBuffer> writer(text);
  value->Accept(writer);
  return text.GetString();
}

class RobotVisitTest : public StationFixture {
 protected:
  // Asked while the dust fan alone runs for the robot's dust collection: the reply (checked
  // against the contract with every message) tells that state, and stationctl shows it.
  void ExpectDiagnosticsOfDustCollection() {
    const size_t from = peer_.Size();
    ASSERT_TRUE(peer_.Publish(StationTopic("diagnostics"), R"({"msgId":"e2e-diag"})"));
    std::string reply;
    ASSERT_TRUE(peer_.Await(StationTopic("diagnosticsRe"), from, &reply));
    rapidjson::Document doc;
    ASSERT_FALSE(doc.Parse(reply.c_str()).HasParseError()) << reply;
    const struct {
      const char* pointer;
      std::string expected;
    } fields[] = {
        {"/msgId", "e2e-diag"},
        {"/stationId", station_.station_id},
        {"/stationStatus", "normal"},
        {"/broker/address", station_.broker.address()},
        {"/broker/protocol", "5"},
        {"/broker/connected", "true"},
        {"/broker/problem", ""},
        {"/board/commandLink/state", "answering"},
        {"/board/sensorLink/state", "fresh"},
        {"/tasks/0/name", "dust-collect"},
        {"/tasks/1", "(absent)"},
        {"/counters/staleEpisodes", "0"},
        {"/counters/boardCommandsUnanswered", "0"},
        {"/counters/brokerReconnects", "0"},
        {"/errorCodes/20", "(absent)"},  // the last 20 only
        {"/config/station_id", station_.station_id},
        {"/config/mqtt_pwd", "(absent)"},
    };
    for (const auto& f : fields) {
      EXPECT_EQ(At(doc, f.pointer), f.expected) << f.pointer;
    }
    EXPECT_EQ(reply.find("73915046"), std::string::npos) << "not the password the test station keeps: " << reply;
    EXPECT_LT(std::stoll(At(doc, "/board/sensorLink/lastReportAgeMillis")), 5000);
    for (const auto& output : doc["outputs"].GetArray()) {
      const bool dust = std::string(output["name"].GetString()) == "dust-fan";
      EXPECT_EQ(output["confirmed"].GetInt(), output["commanded"].GetInt()) << output["name"].GetString();
      EXPECT_EQ(output["confirmed"].GetInt() != 0, dust) << output["name"].GetString() << " alone on";
    }
    EXPECT_TRUE(Robot({"diag"}, 0, R"("name": "dust-collect")")) << "stationctl diag shows it";
  }
};
using RefusalsTest = StationFixture;
using AbnormalConditionsTest = StationFixture;
using DaemonTest = StationFixture;

// A robot's whole visit, with the refusals it meets on the way.
TEST_F(RobotVisitTest, FromDockingToLeavingThenTheStationResetsItself) {
  ASSERT_TRUE(Sim("dock"));
  ASSERT_TRUE(RobotUntil({"check", "in-pose"}, 0));  // the dock detectors report the robot
  EXPECT_TRUE(Robot({"dock", "stay"}, 0)) << "a docked robot may stay";
  // No water has been prepared yet, and the heat wire needs the drying fan.
  EXPECT_TRUE(Robot({"supply", "watering", "--action", "standard"}, 1, "ENUM_WATER_PREPART_NOT_READY (28)"));
  EXPECT_TRUE(Robot({"supply", "heating-wire", "--action", "standard"}, 1, "ENUM_DRY_FAN_NOT_OPEN (25)"));

  // Disinfectant water: one litre of tap water and two tablets, then the dissolution wait
  // with the preparation on the screen (SCREEN_PRE_WATER). The flow meter, not the brim,
  // stops the fill.
  ASSERT_TRUE(Robot({"prewater", "--tablets", "2", "--volume", "1"}, 0));
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.led == kScreenPreWater; })) << "the screen shows it";
  ASSERT_TRUE(RobotUntil({"check", "water-ready"}, 0));
  const SimState prepared = State();
  EXPECT_EQ(prepared.tablets, 2) << "the tablets asked for";
  EXPECT_GE(prepared.tank_ml, 1000) << "at least the litre asked for";
  EXPECT_LT(prepared.tank_ml, 1500) << "the flow meter, not the brim, stopped the fill";

  // Water supply until the station says it is finished: the robot got the whole prepared
  // volume out of the clean tank, and water is given once per preparation.
  ASSERT_TRUE(Robot({"supply", "watering", "--action", "standard", "--duration", "120"}, 0));
  ASSERT_TRUE(RobotUntil({"check", "water-finish"}, 0));
  EXPECT_GE(State().given_ml, 1000) << "the robot got the prepared litre";
  EXPECT_EQ(State().foot_level, 1) << "out of the clean tank";
  EXPECT_TRUE(Robot({"supply", "watering", "--action", "standard"}, 1, "ENUM_ADD_WATER_FINISHED"))
      << "water is given once per preparation";

  // Dust collection, which excludes drying and the self-clean spray; asking again for it
  // updates it. Only the dust fan runs, the screen shows it (SCREEN_COLLECT_DUST) and the
  // cloud sees a busy station until the robot stops it.
  ASSERT_TRUE(Robot({"supply", "collect-dust", "--action", "standard", "--duration", "60"}, 0));
  for (const char* other : {"heating-fan", "clean-pump"}) {
    EXPECT_TRUE(Robot({"supply", other, "--action", "standard"}, 1, "ENUM_CONFLICT_WITH_DUST_COLLECTION (12)"));
  }
  EXPECT_TRUE(Robot({"supply", "collect-dust", "--action", "strong"}, 0, "already exist task, upload task info"));
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.actuators == "dust(7)" && s.led == kScreenCollectDust; }))
      << "only the dust fan, and the screen shows it";
  EXPECT_TRUE(AwaitUpload([](const std::string& json) { return Has(json, R"("occupy_state":1)"); }))
      << "the cloud sees a busy station";
  ExpectDiagnosticsOfDustCollection();
  EXPECT_TRUE(Robot({"supply", "collect-dust", "--action", "stop"}, 0));

  // Drying: the fan, once the dust collection is over, then the heat wire. Its thermostat
  // holds the standard 60 C, switching it off once hot rather than leaving it on towards
  // its 120 C ceiling, while the fan keeps running; the robot must stay meanwhile.
  ASSERT_TRUE(Sim("commands clear"));
  ASSERT_TRUE(RobotUntil({"supply", "heating-fan", "--action", "standard"}, 0));
  ASSERT_TRUE(RobotUntil({"supply", "heating-wire", "--action", "standard"}, 0));
  double hottest = 0;
  EXPECT_TRUE(station_.Await([&] {
    hottest = std::max(hottest, State().wire_c);
    return Has(station_.Ask("commands"), "heatwire(5) action 1") &&
           Has(station_.Ask("commands"), "heatwire(5) action 0");
  }));
  EXPECT_GT(hottest, 58) << "the wire reached the standard 60 C";
  EXPECT_LT(hottest, 80) << "and was switched off there, not left towards its ceiling";
  EXPECT_TRUE(Has(State().actuators, "fan(6)")) << "the fan keeps running";
  EXPECT_TRUE(Robot({"dock", "leave"}, 1, "ENUM_ROBOT_DESIRE_STAY_IN")) << "busy: the robot must stay";
  // The wire is stopped; the fan may only stop once the wire's task has let go of it.
  EXPECT_TRUE(RobotUntil({"supply", "heating-wire", "--action", "stop"}, 0, "no task (task type : 10)"));
  EXPECT_TRUE(Robot({"supply", "heating-fan", "--action", "stop"}, 0));
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.actuators == "all off"; })) << "both stopped";

  // Leaving, with nothing running. After it the station resets its board, drains the water
  // left in the clean tank (poured in by hand), shows the cloud an idle station and forgets
  // the prepared water and that it was given.
  ASSERT_TRUE(Sim("tank 1200"));
  ASSERT_TRUE(Sim("commands clear"));
  const double resets = State().board_resets;
  EXPECT_TRUE(Robot({"dock", "leave"}, 0));
  ASSERT_TRUE(Sim("undock"));
  EXPECT_TRUE(WaitForState([&](const SimState& s) {
    return s.board_resets > resets && s.foot_level == 1 && Has(station_.Ask("commands"), "drain(13) action 1") &&
           Has(station_.Ask("commands"), "drain(13) action 0");
  }));
  EXPECT_TRUE(AwaitUpload([](const std::string& json) { return Has(json, R"("occupy_state":0)"); }))
      << "the cloud sees an idle station";
  EXPECT_TRUE(Robot({"check", "water-ready"}, 1)) << "the prepared water is forgotten";
  EXPECT_TRUE(Robot({"check", "water-finish"}, 1)) << "and that it was given";
}

// Every refusal is a reply with an error code and a text, the station's hardware is left
// alone, and the station goes on serving.
TEST_F(RefusalsTest, RefusedWithAReasonAndNothingCommanded) {
  // Nobody is docked, and the UV lamp shines only on a docked robot.
  EXPECT_TRUE(Robot({"check", "in-pose"}, 1, "robot_check: ENUM_NOT_READY"));
  EXPECT_TRUE(Robot({"supply", "uv-lamp", "--action", "standard"}, 1, "ENUM_ROBOT_NOT_IN_POSITION (24)"));
  EXPECT_EQ(State().actuators, "all off") << "nothing commanded";

  // A robot that wants to stay but is not on the dock is told to go, and the idle station
  // takes it as the robot leaving: it resets itself, down to the board.
  const double resets = State().board_resets;
  EXPECT_TRUE(Robot({"dock", "stay"}, 1, "robot_desire: ENUM_ROBOT_DESIRE_GO_OUT"));
  EXPECT_TRUE(WaitForState([&](const SimState& s) { return s.board_resets > resets; })) << "the station reset itself";

  // A hand charger plugged in starts a manual charge, which excludes drying until unplugged.
  ASSERT_TRUE(Sim("plug"));
  ASSERT_TRUE(Sim("dock"));
  EXPECT_TRUE(AwaitUpload([](const std::string& json) { return Has(json, R"("manual_charge_state":1)"); }))
      << "the manual charge is reported";
  EXPECT_TRUE(RobotUntil({"supply", "heating-fan", "--action", "standard"}, 1, "ENUM_CONFLICT_WITH_MANUAL_CHARGE"));
  ASSERT_TRUE(Sim("unplug"));
  EXPECT_TRUE(RobotUntil({"supply", "heating-fan", "--action", "standard"}, 0)) << "allowed once unplugged";

  // A stopped service leaves nothing on: the fan the robot asked for is switched off and the
  // board reset before the process exits, with status 0, and it says it has gone.
  ASSERT_TRUE(WaitForState([](const SimState& st) { return Has(st.actuators, "fan("); }));
  const double running_resets = State().board_resets;
  const size_t from = peer_.Size();
  stopped_ = true;
  EXPECT_EQ(station_.daemon.Stop(), 0) << station_.daemon.Log();
  const SimState after = State();
  EXPECT_EQ(after.actuators, "all off") << after.text;
  EXPECT_GT(after.board_resets, running_resets) << "the catch-all reset";
  EXPECT_TRUE(station_.daemon.Logged("stopping: every task cancelled and every output switched off"));
  EXPECT_TRUE(peer_.Await(StationTopic("availability"), from, nullptr, [](const std::string& state) {
    return state == "offline";
  })) << "a stopped service is gone";
}

// Abnormal conditions made by hand at the simulator's console reach the cloud upload and
// the lamps, refuse what they endanger, and clear again once the cause is gone.
TEST_F(AbnormalConditionsTest, ReportedAndRefusedUntilTheCauseIsGoneWhileQuestionsAreAnswered) {
  // A bag missing longer than the debounce time and a hot plate, filed under the sensor
  // checks (task 16); no dust collection without a bag, no charging over a hot plate.
  ASSERT_TRUE(Sim("dustbag out"));
  ASSERT_TRUE(Sim("pin electrodePlateTemp1 90"));
  EXPECT_TRUE(AwaitUpload([](const std::string& json) {
    return Has(json, R"({"name":"dust_bag","data":"out")") &&
           Has(json, R"({"name":"electrode_plate_temp_up","data":"90")") &&
           Has(json, R"("abnormal_task_list":[{"task_id":16}])");
  }));
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.led == kLedErrorState; })) << "the lamps show the error";
  EXPECT_TRUE(Robot({"supply", "collect-dust", "--action", "standard"}, 1, "ENUM_DUST_BAG_OUT (21)"));
  EXPECT_TRUE(Robot({"supply", "charging", "--action", "standard"}, 1, "ENUM_UP_ELECTRODE_PLATE_OVER_TEMP (18)"));
  ASSERT_TRUE(Sim("dustbag in"));
  ASSERT_TRUE(Sim("unpin electrodePlateTemp1"));
  EXPECT_TRUE(AwaitUpload(Clean)) << "both conditions cleared";
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.led == kLedNormalWork; })) << "and the lamps with them";
  EXPECT_TRUE(Robot({"supply", "collect-dust", "--action", "standard"}, 0)) << "no longer refused";
  EXPECT_TRUE(Robot({"supply", "collect-dust", "--action", "stop"}, 0));

  // An overflowing sewage box the pump cannot empty, then can: the station opens its pump
  // by itself at standard power, and stops it a little while after the box is empty. The
  // station handles sewage itself: no abnormal condition goes to the cloud, neither while
  // the box overflows nor after.
  DropUploads();
  ASSERT_TRUE(Sim("fault refuse sewage on"));
  ASSERT_TRUE(Sim("sewage 2800"));
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.led == kScreenSewageOverflow; })) << "the screen shows it";
  ASSERT_TRUE(Sim("fault refuse sewage off"));
  EXPECT_TRUE(WaitForState([](const SimState& s) { return Has(s.actuators, "sewage(4)=80"); }))
      << "the pump at standard power once the board obeys";
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.led == kLedNormalWork && s.actuators == "all off"; }))
      << "the box empty, the pump stops after its run-on";
  const std::vector<std::string> uploads = UploadsSinceDropAndNext();
  EXPECT_GE(uploads.size(), 3u) << "uploads went on through the episode (one a second)";
  for (const std::string& upload : uploads) EXPECT_TRUE(Clean(upload)) << upload;

  // Abnormal records publish at once, from the sensor thread, while robot requests keep
  // arriving: a request handled on the library's own receive thread would wait for the core's
  // lock while the sensor thread, holding it, waits for the library's lock to publish.
  // One question at a time, each waiting for its reply: a station stuck on the two locks
  // leaves one unanswered.
  std::atomic<bool> stop{false};
  std::atomic<int> asked{0}, answered{0};
  std::thread questions([&] {
    while (!stop && asked == answered) {
      ++asked;
      if (peer_.Publish(StationTopic("checkStation"), kIdleQuestion) &&
          peer_.Take(StationTopic("checkStationRe"), nullptr, Seconds(20))) {
        ++answered;
      }
    }
  });
  // The station must go on following its plate temperature.
  for (int round = 0; round < 4; ++round) {
    const int before = answered;
    const bool hot = Sim("pin electrodePlateTemp1 90") &&
                     WaitForState([](const SimState& s) { return s.led == kLedErrorState; }, Seconds(20));
    const bool cool = Sim("unpin electrodePlateTemp1") &&
                      WaitForState([](const SimState& s) { return s.led == kLedNormalWork; }, Seconds(20));
    const bool replies = WaitUntil([&] { return answered > before; });
    EXPECT_TRUE(hot && cool && replies) << "round " << round << ": " << answered << " of " << asked << " answered";
    if (!hot || !cool || !replies) break;
  }
  stop = true;
  questions.join();
  EXPECT_EQ(answered.load(), asked.load());
  EXPECT_GT(answered.load(), 4);
  EXPECT_TRUE(Robot({"check", "water-finish"}, 1));  // the station still answers
}

// What the contract's request schemas allow the station reads, what they refuse it answers
// with error 3 (the request could not be read); every reply, the refusals included, matches its
// schema; and the validator is no vacuous pass. A request far larger than any real one is
// refused unread (the reply: MqttHandlerTest.RequestsGetTheirRepliesFromTheStationsAnswers) in one short
// line; a long one is served, and no payload or reply goes into the log longer than about a
// kilobyte.
TEST_F(DaemonTest, RequestsAreReadAsTheContractSaysAndOversizedOnesRefusedInShort) {
  check_contract_ = false;  // sends what the contract forbids
  std::string reply;
  const auto ask = [&](const std::string& name, const std::string& payload) {
    const size_t from = peer_.Size();
    return peer_.Publish(StationTopic(name), payload) && peer_.Await(StationTopic(name) + "Re", from, &reply);
  };
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
    ASSERT_TRUE(ask(name, payload)) << payload;
    sent.emplace_back(StationTopic(name), payload);
    read.push_back(!Has(reply, R"("errCode":3)"));
  }
  const auto request = [](const std::string& id) {
    return R"({"reqHeader":{"msgId":{"uuid":")" + id + R"("}},"checkType":"ENUM_IN_POSE"})";
  };
  const std::string long_id = "long" + std::string(20000, 'x');
  ASSERT_TRUE(ask("checkStation", request(long_id)));
  EXPECT_TRUE(Has(reply, long_id + "\"") && Has(reply, R"("errCode":0)")) << "a long request is still served";
  ASSERT_TRUE(ask("checkStation", request("huge" + std::string(1 << 20, 'x'))));
  EXPECT_TRUE(Has(reply, R"("errCode":3)"));
  ASSERT_TRUE(ask("checkStation", request("after"))) << "the station goes on serving";

  const std::string dir = station_.root.path();
  const std::vector<std::string> station = {"--station", station_.station_id};
  const Verdicts v = Validate(dir, "probes", sent, station);
  ASSERT_EQ(v.ok.size(), sent.size()) << v.output;
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(v.ok[i], read[i]) << sent[i].second << (read[i] ? ": read by the station" : ": refused by the station")
                                << (v.ok[i] ? ", allowed by its schema" : ", refused by its schema");
  }
  std::vector<Message> replies;
  for (const Message& m : peer_.Messages()) {
    if (m.first.size() > 2 && m.first.compare(m.first.size() - 2, 2, "Re") == 0) replies.push_back(m);
  }
  const Verdicts r = Validate(dir, "replies", replies, station);
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(r.ok.size(), replies.size()) << r.output;
  // On every topic the station used, a field its schema does not know and a payload that is
  // no object fail, and so does a topic outside the document.
  std::vector<Message> tampered;
  std::set<std::string> topics;
  for (const auto& [topic, payload] : peer_.Messages()) {
    if (!topics.insert(topic).second || payload.size() < 2 || payload[0] != '{' || payload == "{}") continue;
    tampered.emplace_back(topic, R"({"unexpected":1,)" + payload.substr(1));
    tampered.emplace_back(topic, "[]");
  }
  tampered.emplace_back(StationTopic("checkStationReply"), "{}");
  const Verdicts bad = Validate(dir, "tampered", tampered, station);
  EXPECT_EQ(bad.exit_code, 1) << bad.output;
  EXPECT_EQ(bad.ok, std::vector<bool>(tampered.size(), false)) << bad.output;

  ASSERT_TRUE(WaitUntil([&] { return station_.daemon.Logged("bytes refused"); }));
  const std::string log = station_.daemon.Log();
  EXPECT_EQ(log.find("bytes refused"), log.rfind("bytes refused")) << "one line for the refusal";
  EXPECT_TRUE(Has(log, "... (" + std::to_string(request(long_id).size()) + " bytes)"))
      << "the full length of a cut payload is noted";
  size_t longest = 0;
  for (size_t start = 0, end; start < log.size(); start = end + 1) {
    end = log.find('\n', start);
    end = end == std::string::npos ? log.size() : end;
    longest = std::max(longest, end - start);
  }
  EXPECT_LT(longest, 1200u);
}

}  // namespace
}  // namespace station_test
