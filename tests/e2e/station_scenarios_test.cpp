// Whole-station scenarios on loopback: mosquitto, the board simulator (board_sim) and the
// daemon (station_center) as real processes over a fresh station tree. The robot is
// stationctl; the simulator's console is its control socket; a plain MQTT client asks
// plain questions and watches the cloud uploads.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "mqtt/mqtt_peer.h"
#include "sim/control_server.h"
#include "support/child_process.h"
#include "support/ctl_process.h"
#include "support/mosquitto.h"
#include "support/test_support.h"

namespace station_test {
namespace {

using Seconds = std::chrono::seconds;
constexpr const char* kUploadTopic = "clean_robot_station/reportActively";
constexpr const char* kIdleQuestion = R"({"checkType":"ENUM_WATER_FINISH"})";  // changes nothing, not even the lamps
constexpr int kLedNormalWork = 1, kLedErrorState = 8, kScreenPreWater = 13, kScreenCollectDust = 14,
              kScreenSewageOverflow = 20;

bool Has(const std::string& text, const std::string& wanted) { return text.find(wanted) != std::string::npos; }
// A cloud upload without abnormal conditions.
bool Clean(const std::string& upload) { return !Has(upload, "abnormal_info") && !Has(upload, "abnormal_task_list"); }

// What the simulator's "status" shows (numbers -1 when not shown).
struct SimState {
  std::string Match(const char* pattern) const {
    std::smatch m;
    return std::regex_search(text, m, std::regex(pattern)) ? m[1].str() : "";
  }
  double Num(const char* pattern) const { return Match(pattern).empty() ? -1 : std::stod(Match(pattern)); }
  const std::string text;
  const double tank_ml = Num(R"(tank:\s+(\d+) ml)"), given_ml = Num(R"(given to robot (\d+) ml)"),
               wire_c = Num(R"(heat wire ([\d.]+) C)"), tablets = Num(R"(tablets (\d+))"), led = Num(R"(led:\s+(\d+))"),
               board_resets = Num(R"(board resets (\d+))"), foot_level = Num(R"(foot level (\d))");
  const std::string actuators = Match(R"(actuators:\s*([^\n]*))");  // e.g. "fan(6) heatwire(5)" or "all off"
};

class StationFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(broker_.Start()) << broker_.Log();
    // Short limits so that a whole visit takes seconds: the cloud upload, dissolution, the
    // dust-bag debounce, the sewage pump's run-on, the task period and the board's answer time.
    root_.WriteStation(FreeLoopbackPort(), FreeLoopbackPort(), broker_.address(),
                       "\"upload_station_info_to_cloud_interval\": 1, \"bottom_action_timeout\": 3, "
                       "\"running_schedule_space\": 50, \"disinfectant_table_dissolution_time\": 2, "
                       "\"dust_bag_reset_max_time\": 1, \"sewage_pump_continue_work_time\": 2");
    // The lamp ranking of ./scripts/run-sim, so the scenarios see what a person there sees.
    root_.WriteFile("/usr/lib/vantorel-station-center/config/led.json", R"({"station_reset": 1, "station_error_led": 2,
        "sewage_over_flow": 3, "led_self_check_failed": 4, "led_self_check_success": 5, "charge_error_led": 6,
        "tap_water_err": 7, "disinfectant_tables_err": 8, "dust_bag_replace_err": 9, "docking_failed_led": 10,
        "docking_success_led": 11, "in_dust_collect_led": 12, "disinfectant_prepare_led": 13, "in_supply_led": 14,
        "deep_self_clean_led": 15, "led_in_charge": 16, "led_charge_complete": 17, "led_normal_work": 100})");
    ASSERT_TRUE(sim_.Start(BuiltProgram("board_sim"),
                           {"--root", root_.path(), "--control", control_socket_, "--no-console", "--rate", "10"}, {},
                           root_.path() + "/board_sim.log"));
    ASSERT_TRUE(daemon_.Start(
        BuiltProgram("station_center"), {},
        {"STATION_CENTER_ROOT=" + root_.path(), "SPDLOG_STDOUT=true", "SPDLOG_SYSTEMD=false", "SPDLOG_LEVEL=info"},
        root_.path() + "/station_center.log"));

    ASSERT_TRUE(peer_.Connect() && peer_.Subscribe(StationTopic("checkStationRe")) && peer_.Subscribe(kUploadTopic));
    // Serving once a question is answered; ready once the start-up reset is over.
    const auto answered = [&] {
      return peer_.Publish(StationTopic("checkStation"), kIdleQuestion) &&
             peer_.Take(StationTopic("checkStationRe"), nullptr, Seconds(2));
    };
    ASSERT_TRUE(WaitUntil([&] { return !daemon_.Running() || answered(); }, Seconds(90)));
    ASSERT_TRUE(WaitUntil([&] { return daemon_.Logged("reset station task success"); }, Seconds(60)));
  }

  void TearDown() override {
    EXPECT_TRUE(daemon_.Running()) << "the daemon died during the scenario";
    const std::string logs = daemon_.Log() + sim_.Log();
    EXPECT_FALSE(Has(logs, "Sanitizer") || Has(logs, "runtime error")) << logs;
    if (HasFailure()) std::cerr << "--- simulator\n" << Sim("status") << "--- daemon\n" << daemon_.Log();
  }

  // Runs stationctl as this station's robot: it exits with `exit_code` and prints `wanted`.
  testing::AssertionResult Robot(std::vector<std::string> args, int exit_code, const std::string& wanted = "") {
    args.insert(args.end(), {"--broker", broker_.address(), "--station", station_id_, "--timeout", "20"});
    const CtlResult r = RunCtl(args);
    if (r.exit_code == exit_code && Has(r.out, wanted)) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "exit code " << r.exit_code << ", output:\n" << r.out;
  }
  // Repeats the request until stationctl exits with `exit_code` and prints `wanted`.
  bool RobotUntil(const std::vector<std::string>& args, int exit_code, const std::string& wanted = "") {
    return Await([&] { return Robot(args, exit_code, wanted); });
  }
  // Waits until `pred` holds; false at the deadline or once the daemon has died.
  bool Await(const std::function<bool()>& pred, Seconds limit = Seconds(60)) {
    return WaitUntil([&] { return !daemon_.Running() || pred(); }, limit) && daemon_.Running();
  }

  // One line at the simulator's console; the answer.
  std::string Sim(const std::string& line) {
    std::string answer;
    return station_sim::ControlRequest(control_socket_, line, &answer) ? answer : "";
  }
  SimState State() { return SimState{Sim("status")}; }
  bool WaitForState(const std::function<bool(const SimState&)>& pred, Seconds limit = Seconds(60)) {
    return Await([&] { return pred(State()); }, limit);
  }
  // Drops the uploads received so far.
  void DropUploads() {
    while (peer_.Take(kUploadTopic, nullptr, std::chrono::milliseconds(0))) {
    }
  }
  // The uploads received since the last DropUploads, and the first one to arrive after this call.
  std::vector<std::string> UploadsSinceDropAndNext() {
    std::vector<std::string> uploads;
    std::string upload;
    while (peer_.Take(kUploadTopic, &upload, std::chrono::milliseconds(0))) uploads.push_back(upload);
    if (peer_.Take(kUploadTopic, &upload, Seconds(20))) uploads.push_back(upload);
    return uploads;
  }
  // Waits for a cloud upload for which `pred` holds; uploads before it are dropped.
  bool AwaitUpload(const std::function<bool(const std::string&)>& pred) {
    std::string upload;
    return Await([&] { return peer_.Take(kUploadTopic, &upload, std::chrono::milliseconds(500)) && pred(upload); });
  }

  std::string StationTopic(const std::string& name) const { return "clean_robot_station/" + station_id_ + "/" + name; }

  TempRoot root_;
  MosquittoBroker broker_;
  ChildProcess sim_;
  ChildProcess daemon_;
  MqttPeer peer_{broker_.address(), "e2e-peer-" + std::to_string(::getpid())};
  const std::string station_id_ = [] {
    char host[64] = {};
    ::gethostname(host, sizeof(host) - 1);
    return std::string(host);
  }();
  const std::string control_socket_ = root_.path() + "/board.sock";
};

using RobotVisitTest = StationFixture;
using RefusalsTest = StationFixture;
using AbnormalConditionsTest = StationFixture;

// A robot's whole visit, with the refusals it meets on the way.
TEST_F(RobotVisitTest, FromDockingToLeavingThenTheStationResetsItself) {
  Sim("dock");
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
  EXPECT_TRUE(Robot({"supply", "collect-dust", "--action", "stop"}, 0));

  // Drying: the fan, once the dust collection is over, then the heat wire. Its thermostat
  // holds the standard 60 C, switching it off once hot rather than leaving it on towards
  // its 120 C ceiling, while the fan keeps running; the robot must stay meanwhile.
  Sim("commands clear");
  ASSERT_TRUE(RobotUntil({"supply", "heating-fan", "--action", "standard"}, 0));
  ASSERT_TRUE(RobotUntil({"supply", "heating-wire", "--action", "standard"}, 0));
  double hottest = 0;
  EXPECT_TRUE(Await([&] {
    hottest = std::max(hottest, State().wire_c);
    return Has(Sim("commands"), "heatwire(5) action 1") && Has(Sim("commands"), "heatwire(5) action 0");
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
  Sim("tank 1200");
  Sim("commands clear");
  const double resets = State().board_resets;
  EXPECT_TRUE(Robot({"dock", "leave"}, 0));
  Sim("undock");
  EXPECT_TRUE(WaitForState([&](const SimState& s) {
    return s.board_resets > resets && s.foot_level == 1 && Has(Sim("commands"), "drain(13) action 1") &&
           Has(Sim("commands"), "drain(13) action 0");
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
  Sim("plug");
  Sim("dock");
  EXPECT_TRUE(AwaitUpload([](const std::string& json) { return Has(json, R"("manual_charge_state":1)"); }))
      << "the manual charge is reported";
  EXPECT_TRUE(RobotUntil({"supply", "heating-fan", "--action", "standard"}, 1, "ENUM_CONFLICT_WITH_MANUAL_CHARGE"));
  Sim("unplug");
  EXPECT_TRUE(RobotUntil({"supply", "heating-fan", "--action", "standard"}, 0)) << "allowed once unplugged";
}

// Abnormal conditions made by hand at the simulator's console reach the cloud upload and
// the lamps, refuse what they endanger, and clear again once the cause is gone.
TEST_F(AbnormalConditionsTest, ReportedAndRefusedUntilTheCauseIsGone) {
  // A bag missing longer than the debounce time and a hot plate, filed under the sensor
  // checks (task 16); no dust collection without a bag, no charging over a hot plate.
  Sim("dustbag out");
  Sim("pin electrodePlateTemp1 90");
  EXPECT_TRUE(AwaitUpload([](const std::string& json) {
    return Has(json, R"({"name":"dust_bag","data":"out")") &&
           Has(json, R"({"name":"electrode_plate_temp_up","data":"90")") &&
           Has(json, R"("abnormal_task_list":[{"task_id":16}])");
  }));
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.led == kLedErrorState; })) << "the lamps show the error";
  EXPECT_TRUE(Robot({"supply", "collect-dust", "--action", "standard"}, 1, "ENUM_DUST_BAG_OUT (21)"));
  EXPECT_TRUE(Robot({"supply", "charging", "--action", "standard"}, 1, "ENUM_UP_ELECTRODE_PLATE_OVER_TEMP (18)"));
  Sim("dustbag in");
  Sim("unpin electrodePlateTemp1");
  EXPECT_TRUE(AwaitUpload(Clean)) << "both conditions cleared";
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.led == kLedNormalWork; })) << "and the lamps with them";
  EXPECT_TRUE(Robot({"supply", "collect-dust", "--action", "standard"}, 0)) << "no longer refused";
  EXPECT_TRUE(Robot({"supply", "collect-dust", "--action", "stop"}, 0));

  // An overflowing sewage box the pump cannot empty, then can: the station opens its pump
  // by itself at standard power, and stops it a little while after the box is empty. The
  // station handles sewage itself: no abnormal condition goes to the cloud, neither while
  // the box overflows nor after.
  DropUploads();
  Sim("fault refuse sewage on");
  Sim("sewage 2800");
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.led == kScreenSewageOverflow; })) << "the screen shows it";
  Sim("fault refuse sewage off");
  EXPECT_TRUE(WaitForState([](const SimState& s) { return Has(s.actuators, "sewage(4)=80"); }))
      << "the pump at standard power once the board obeys";
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.led == kLedNormalWork && s.actuators == "all off"; }))
      << "the box empty, the pump stops after its run-on";
  const std::vector<std::string> uploads = UploadsSinceDropAndNext();
  EXPECT_GE(uploads.size(), 3u) << "uploads went on through the episode (one a second)";
  for (const std::string& upload : uploads) EXPECT_TRUE(Clean(upload)) << upload;
}

// Abnormal records publish at once, from the sensor thread, while robot requests keep
// arriving: a request handled on the library's own receive thread would wait for the core's
// lock while the sensor thread, holding it, waits for the library's lock to publish.
TEST_F(AbnormalConditionsTest, RobotQuestionsAnsweredWhileAbnormalConditionsComeAndGo) {
  std::atomic<bool> stop{false};
  std::thread questions([&] {
    while (!stop) peer_.Publish(StationTopic("checkStation"), kIdleQuestion);
  });
  // The station must go on following its plate temperature.
  for (int round = 0; round < 4; ++round) {
    Sim("pin electrodePlateTemp1 90");
    const bool hot = WaitForState([](const SimState& s) { return s.led == kLedErrorState; }, Seconds(20));
    Sim("unpin electrodePlateTemp1");
    const bool cool = WaitForState([](const SimState& s) { return s.led == kLedNormalWork; }, Seconds(20));
    EXPECT_TRUE(hot && cool) << "round " << round;
    if (!hot || !cool) break;
  }
  stop = true;
  questions.join();
  EXPECT_TRUE(Robot({"check", "water-finish"}, 1));  // the station still answers
}

}  // namespace
}  // namespace station_test
