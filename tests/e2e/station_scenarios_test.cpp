// Whole-station scenarios on loopback: mosquitto, the board simulator (board_sim) and the
// daemon (station_center) as real processes over a fresh station tree. The robot is
// stationctl; the simulator's console is its control socket; a plain MQTT client watches
// the cloud uploads and asks what stationctl cannot (malformed requests).

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <utility>
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
constexpr int kLedNormalWork = 1, kLedErrorState = 8, kScreenSewageOverflow = 20;

bool Has(const std::string& text, const std::string& wanted) { return text.find(wanted) != std::string::npos; }
// A cloud upload without abnormal conditions.
bool Clean(const std::string& upload) { return !Has(upload, "abnormal_info") && !Has(upload, "abnormal_task_list"); }

// What the simulator's "status" shows (numbers -1 when not shown).
struct SimState {
  explicit SimState(std::string status) : text(std::move(status)) {}
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
    // Short limits so that a whole visit takes seconds: dissolution, the dust-bag
    // debounce, the sewage pump's run-on, the task period and the board's answer time.
    const std::string dir = "/usr/lib/vantorel-station-center/";
    root_.WriteFile(dir + "config/config.json",
                    "{\"station_id\": \"station-xx\", \"embedded_ip\": \"127.0.0.1\", \"embedded_action_port\": " +
                        std::to_string(FreeLoopbackPort()) +
                        ", \"soc_ip\": \"127.0.0.1\", \"soc_data_server_port\": " + std::to_string(FreeLoopbackPort()) +
                        ", \"mqtt_keep_alive_interval\": 10, \"upload_station_info_to_cloud_interval\": 1, "
                        "\"connect_embedded_board_time\": 30, \"bottom_action_timeout\": 3, "
                        "\"running_schedule_space\": 50, \"disinfectant_table_dissolution_time\": 2, "
                        "\"dust_bag_reset_max_time\": 1, \"sewage_pump_continue_work_time\": 2}");
    // The lamp ranking of ./scripts/run-sim, so the scenarios see what a person there sees.
    root_.WriteFile(dir + "config/led.json", R"({"station_reset": 1, "station_error_led": 2,
        "sewage_over_flow": 3, "led_self_check_failed": 4, "led_self_check_success": 5, "charge_error_led": 6,
        "tap_water_err": 7, "disinfectant_tables_err": 8, "dust_bag_replace_err": 9, "docking_failed_led": 10,
        "docking_success_led": 11, "in_dust_collect_led": 12, "disinfectant_prepare_led": 13, "in_supply_led": 14,
        "deep_self_clean_led": 15, "led_in_charge": 16, "led_charge_complete": 17, "led_normal_work": 100})");
    root_.WriteFile(dir + "status/status.json",
                    "{\"dust_bag_last_replace_time\": " + std::to_string(::time(nullptr) - 3600) +
                        ", \"hardware\": \"dvt3\", \"mqtt_server_address\": \"" + broker_.address() + "\"}");
    root_.WriteFile("/etc/vantorel/device-env", "TEST\n");
    ASSERT_TRUE(sim_.Start(BuiltProgram("board_sim"),
                           {"--root", root_.path(), "--control", control_socket_, "--no-console", "--rate", "10"}, {},
                           root_.path() + "/board_sim.log"));
    ASSERT_TRUE(WaitUntil([&] { return !sim_.Running() || !Sim("status").empty(); }, Seconds(30))) << sim_.Log();
    ASSERT_TRUE(daemon_.Start(
        BuiltProgram("station_center"), {},
        {"STATION_CENTER_ROOT=" + root_.path(), "SPDLOG_STDOUT=true", "SPDLOG_SYSTEMD=false", "SPDLOG_LEVEL=info"},
        root_.path() + "/station_center.log"));

    peer_ = std::make_unique<MqttPeer>(broker_.address(), "e2e-peer-" + std::to_string(::getpid()));
    ASSERT_TRUE(peer_->Connect() && peer_->Subscribe(StationTopic("checkStationRe")) && peer_->Subscribe(kUploadTopic));
    // Serving once a question is answered; ready once the start-up reset is over.
    std::string reply;
    ASSERT_TRUE(WaitUntil([&] { return !daemon_.Running() || Check(kIdleQuestion, &reply); }, Seconds(90)));
    ASSERT_TRUE(WaitUntil([&] { return daemon_.Logged("reset station task success"); }, Seconds(60)));
  }

  void TearDown() override {
    EXPECT_TRUE(daemon_.Running()) << "the daemon died during the scenario";
    const std::string logs = daemon_.Log() + sim_.Log();
    EXPECT_FALSE(Has(logs, "Sanitizer") || Has(logs, "runtime error")) << logs;
    if (HasFailure()) std::cerr << "--- simulator\n" << Sim("status") << "--- daemon\n" << daemon_.Log();
    peer_.reset();
    daemon_.Stop();
    sim_.Stop();
  }

  // stationctl as this station's robot; returns once it has exited.
  CtlResult Robot(std::vector<std::string> args) {
    args.insert(args.end(), {"--broker", broker_.address(), "--station", station_id_, "--timeout", "20"});
    return RunCtl(args);
  }
  // stationctl's exit code is `exit_code` and its output has `wanted`.
  testing::AssertionResult Robot(std::vector<std::string> args, int exit_code, const std::string& wanted) {
    const CtlResult r = Robot(std::move(args));
    if (r.exit_code == exit_code && Has(r.out, wanted)) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "exit code " << r.exit_code << ", output:\n" << r.out;
  }
  // Repeats the request until stationctl exits with `exit_code` and prints `wanted`.
  bool RobotUntil(const std::vector<std::string>& args, int exit_code, const std::string& wanted = "") {
    return Await([&] {
      if (Robot(args, exit_code, wanted)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));  // stationctl is no cheap poll
      return false;
    });
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
  SimState State() { return SimState(Sim("status")); }
  bool WaitForState(const std::function<bool(const SimState&)>& pred, Seconds limit = Seconds(60)) {
    return Await([&] { return pred(State()); }, limit);
  }
  // Waits for a cloud upload for which `pred` holds; uploads before it are dropped.
  bool AwaitUpload(const std::function<bool(const std::string&)>& pred, std::string* json = nullptr) {
    std::string upload;
    return Await([&] { return peer_->Take(kUploadTopic, &upload, std::chrono::milliseconds(500)) && pred(upload); }) &&
           (json == nullptr || (*json = upload, true));
  }

  // Publishes `payload` as a station check and returns the reply; the replies to
  // stationctl's checks share the topic and are skipped.
  bool Check(const std::string& payload, std::string* reply) {
    peer_->Clear();
    return peer_->Publish(StationTopic("checkStation"), payload) &&
           WaitUntil(
               [&] {
                 return peer_->Take(StationTopic("checkStationRe"), reply, std::chrono::milliseconds(200)) &&
                        !Has(*reply, R"("robotId":{"uuid":"stationctl"})");
               },
               Seconds(2));
  }
  std::string StationTopic(const std::string& name) const { return "clean_robot_station/" + station_id_ + "/" + name; }

  TempRoot root_;
  MosquittoBroker broker_;
  ChildProcess sim_;
  ChildProcess daemon_;
  std::unique_ptr<MqttPeer> peer_;
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
  ASSERT_TRUE(RobotUntil({"check", "in-pose"}, 0)) << "the dock detectors report the robot";
  EXPECT_EQ(Robot({"dock", "stay"}).exit_code, 0) << "a docked robot may stay";
  EXPECT_TRUE(Robot({"supply", "watering", "--action", "standard"}, 1, "ENUM_WATER_PREPART_NOT_READY (28)"))
      << "no water has been prepared";
  EXPECT_TRUE(Robot({"supply", "heating-wire", "--action", "standard"}, 1, "ENUM_DRY_FAN_NOT_OPEN (25)"))
      << "the heat wire needs the drying fan";

  // Disinfectant water: one litre of tap water and two tablets, then the dissolution wait.
  ASSERT_EQ(Robot({"prewater", "--tablets", "2", "--volume", "1"}).exit_code, 0);
  EXPECT_EQ(Robot({"check", "water-ready"}).exit_code, 1) << "a preparation takes seconds";
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.led == 13; }))
      << "the screen shows the preparation (SCREEN_PRE_WATER)";
  ASSERT_TRUE(RobotUntil({"check", "water-ready"}, 0)) << "the water becomes ready";
  const SimState prepared = State();
  EXPECT_EQ(prepared.tablets, 2) << "exactly the asked number of tablets was released";
  EXPECT_GE(prepared.tank_ml, 1000) << "the tank was filled up to the asked litre";
  EXPECT_LT(prepared.tank_ml, 1500) << "the flow meter, not the brim, stopped the fill";

  // Water supply until the station says it is finished.
  ASSERT_EQ(Robot({"supply", "watering", "--action", "standard", "--duration", "120"}).exit_code, 0);
  ASSERT_TRUE(RobotUntil({"check", "water-finish"}, 0)) << "the supply ends by itself";
  const SimState supplied = State();
  EXPECT_GE(supplied.given_ml, 1000) << "the robot got the whole prepared volume";
  EXPECT_EQ(supplied.foot_level, 1) << "the clean tank was emptied into the robot";
  EXPECT_TRUE(Robot({"supply", "watering", "--action", "standard"}, 1, "ENUM_ADD_WATER_FINISHED"))
      << "water is given once per preparation";

  // Dust collection, which excludes drying and the self-clean spray, stopped by the robot.
  ASSERT_EQ(Robot({"supply", "collect-dust", "--action", "standard", "--duration", "60"}).exit_code, 0);
  for (const char* other : {"heating-fan", "clean-pump"}) {
    EXPECT_TRUE(Robot({"supply", other, "--action", "standard"}, 1, "ENUM_CONFLICT_WITH_DUST_COLLECTION (12)"));
  }
  EXPECT_TRUE(Robot({"supply", "collect-dust", "--action", "strong"}, 0, "already exist task, upload task info"))
      << "asking again for a running supply updates it";
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.actuators == "dust(7)" && s.led == 14; }))
      << "only the dust fan runs and the screen shows it (SCREEN_COLLECT_DUST)";
  EXPECT_TRUE(AwaitUpload([](const std::string& json) { return Has(json, R"("occupy_state":1)"); }))
      << "the cloud sees a busy station";
  EXPECT_EQ(Robot({"supply", "collect-dust", "--action", "stop"}).exit_code, 0);

  // Drying: the fan, then the heat wire, which is held at its standard 60 C.
  Sim("commands clear");
  ASSERT_TRUE(RobotUntil({"supply", "heating-fan", "--action", "standard"}, 0))
      << "the conflict ends with the dust collection";
  ASSERT_TRUE(RobotUntil({"supply", "heating-wire", "--action", "standard"}, 0))
      << "the wire may heat once the fan blows";
  double hottest = 0;
  const auto cycled = [&] {
    hottest = std::max(hottest, State().wire_c);
    return Has(Sim("commands"), "heatwire(5) action 1") && Has(Sim("commands"), "heatwire(5) action 0");
  };
  EXPECT_TRUE(Await(cycled)) << "the thermostat switches the wire on and, once hot, off again";
  EXPECT_GT(hottest, 58) << "the wire reached its target";
  EXPECT_LT(hottest, 80) << "the wire was not left on towards its 120 C ceiling";
  EXPECT_TRUE(Has(State().actuators, "fan(6)")) << "the fan keeps running while the wire cycles";
  EXPECT_TRUE(Robot({"dock", "leave"}, 1, "ENUM_ROBOT_DESIRE_STAY_IN")) << "the robot must stay while it works";
  ASSERT_EQ(Robot({"supply", "heating-wire", "--action", "stop"}).exit_code, 0);
  // The fan may only stop once the wire's task has let go of it.
  EXPECT_TRUE(RobotUntil({"supply", "heating-wire", "--action", "stop"}, 0, "no task (task type : 10)"));
  EXPECT_EQ(Robot({"supply", "heating-fan", "--action", "stop"}).exit_code, 0);
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.actuators == "all off"; })) << "drying is over";

  // Leaving. Water left in the clean tank (poured in by hand) must be drained by the reset.
  Sim("tank 1200");
  Sim("commands clear");
  const double resets = State().board_resets;
  EXPECT_TRUE(Robot({"dock", "leave"}, 0, "")) << "nothing runs any more, so the robot may go";
  Sim("undock");
  EXPECT_TRUE(WaitForState([&](const SimState& s) {
    return s.board_resets > resets && s.foot_level == 1 && Has(Sim("commands"), "drain(13) action 1") &&
           Has(Sim("commands"), "drain(13) action 0");
  })) << "the station resets its board and drains the clean tank after the robot left";
  EXPECT_TRUE(AwaitUpload([](const std::string& json) { return Has(json, R"("occupy_state":0)"); }))
      << "the cloud sees an idle station again";
  EXPECT_EQ(Robot({"check", "water-ready"}).exit_code, 1) << "the reset forgot the prepared water";
  EXPECT_EQ(Robot({"check", "water-finish"}).exit_code, 1) << "and that it was given";
}

// Every refusal is a reply with an error code and a text, the station's hardware is left
// alone, and the station goes on serving.
TEST_F(RefusalsTest, RefusedWithAReasonAndNothingCommanded) {
  EXPECT_TRUE(Robot({"check", "in-pose"}, 1, "robot_check: ENUM_NOT_READY")) << "nobody is docked";
  EXPECT_TRUE(Robot({"supply", "uv-lamp", "--action", "standard"}, 1, "ENUM_ROBOT_NOT_IN_POSITION (24)"))
      << "the UV lamp shines only on a docked robot";
  std::string reply;
  ASSERT_TRUE(Check(R"({"reqHeader":{"msgId":{"uuid":"m"}},"checkType":"ENUM_NOPE"})", &reply))
      << "a request the station cannot read gets a reply too";
  EXPECT_TRUE(Has(reply, R"({"rspHeader":{"errCode":3,"errMsg":"req data convert to message failed"})")) << reply;
  EXPECT_EQ(State().actuators, "all off") << "no refusal reached the hardware";

  // A robot that wants to stay but is not on the dock is told to go, and the
  // idle station takes it as the robot leaving: it resets itself.
  const double resets = State().board_resets;
  EXPECT_TRUE(Robot({"dock", "stay"}, 1, "robot_desire: ENUM_ROBOT_DESIRE_GO_OUT"));
  EXPECT_TRUE(WaitForState([&](const SimState& s) { return s.board_resets > resets; }))
      << "the reset reached the board";

  // A hand charger plugged in starts a manual charge, which excludes drying until unplugged.
  Sim("plug");
  Sim("dock");
  EXPECT_TRUE(AwaitUpload([](const std::string& json) { return Has(json, R"("manual_charge_state":1)"); }));
  EXPECT_TRUE(RobotUntil({"supply", "heating-fan", "--action", "standard"}, 1, "ENUM_CONFLICT_WITH_MANUAL_CHARGE"));
  Sim("unplug");
  EXPECT_TRUE(RobotUntil({"supply", "heating-fan", "--action", "standard"}, 0));
}

// Abnormal conditions made by hand at the simulator's console reach the cloud upload and
// the lamps, refuse what they endanger, and clear again once the cause is gone.
TEST_F(AbnormalConditionsTest, ReportedAndRefusedUntilTheCauseIsGone) {
  Sim("dustbag out");
  Sim("pin electrodePlateTemp1 90");
  std::string upload;
  EXPECT_TRUE(AwaitUpload(
      [](const std::string& json) {
        return Has(json, R"({"name":"dust_bag","data":"out")") &&
               Has(json, R"({"name":"electrode_plate_temp_up","data":"90")");
      },
      &upload))
      << "a bag missing longer than the debounce time and the hot plate reach the cloud";
  EXPECT_TRUE(Has(upload, R"("abnormal_task_list":[{"task_id":16}])")) << "filed under the sensor checks: " << upload;
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.led == kLedErrorState; })) << "the lamps show an error";
  EXPECT_TRUE(Robot({"supply", "collect-dust", "--action", "standard"}, 1, "ENUM_DUST_BAG_OUT (21)"));
  EXPECT_TRUE(Robot({"supply", "charging", "--action", "standard"}, 1, "ENUM_UP_ELECTRODE_PLATE_OVER_TEMP (18)"))
      << "no charging over a hot plate";
  Sim("dustbag in");
  Sim("unpin electrodePlateTemp1");
  EXPECT_TRUE(AwaitUpload(Clean)) << "the next upload no longer carries the alarms";
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.led == kLedNormalWork; })) << "the lamps are normal";
  EXPECT_EQ(Robot({"supply", "collect-dust", "--action", "standard"}).exit_code, 0) << "dust collection works again";
  EXPECT_EQ(Robot({"supply", "collect-dust", "--action", "stop"}).exit_code, 0);

  // An overflowing sewage box the pump cannot empty, then can.
  Sim("fault refuse sewage on");
  Sim("sewage 2800");
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.led == kScreenSewageOverflow; }));
  Sim("fault refuse sewage off");
  EXPECT_TRUE(WaitForState([](const SimState& s) { return Has(s.actuators, "sewage(4)=80"); }))
      << "the station opens its sewage pump by itself, at standard power";
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.led == kLedNormalWork && s.actuators == "all off"; }))
      << "the sewage is pumped away, the pump stops a little while after and the lamps are back to normal";
  EXPECT_TRUE(AwaitUpload(Clean)) << "sewage is handled by the station, not reported as an abnormal condition";
}

// Abnormal records publish at once, from the sensor thread, while robot requests keep
// arriving: a request handled on the library's own receive thread would wait for the core's
// lock while the sensor thread, holding it, waits for the library's lock to publish.
TEST_F(AbnormalConditionsTest, RobotQuestionsAnsweredWhileAbnormalConditionsComeAndGo) {
  MqttPeer robot(broker_.address(), "e2e-busy-robot-" + std::to_string(::getpid()));
  ASSERT_TRUE(robot.Connect());
  std::atomic<bool> stop{false};
  std::thread questions([&] {
    while (!stop) robot.Publish(StationTopic("checkStation"), kIdleQuestion);
  });
  for (int round = 0; round < 4; ++round) {
    Sim("pin electrodePlateTemp1 90");
    const bool hot = WaitForState([](const SimState& s) { return s.led == kLedErrorState; }, Seconds(20));
    Sim("unpin electrodePlateTemp1");
    const bool cool = WaitForState([](const SimState& s) { return s.led == kLedNormalWork; }, Seconds(20));
    EXPECT_TRUE(hot && cool) << "round " << round << ": the station stopped following its plate temperature";
    if (!hot || !cool) break;
  }
  stop = true;
  questions.join();
  std::string reply;
  EXPECT_TRUE(Check(kIdleQuestion, &reply)) << "the station still answers";
}

}  // namespace
}  // namespace station_test
