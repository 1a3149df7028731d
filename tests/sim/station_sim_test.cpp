// The station simulator: its physical model, its console language, its faults as the
// daemon's own board link sees them over loopback, and the board_sim process and its record.

#include "sim/station_sim.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "bottom/data_upload_server.h"
#include "bottom/embedded_communicator.h"
#include "bottom/tcp_client.h"
#include "sim/control_server.h"
#include "support/test_support.h"

namespace station_sim {
namespace {

using station_test::WaitUntil;
using std::chrono::milliseconds;

station::SupplyMaterialReq Action(station::EnumSupplyType type, int action = 1) {
  station::SupplyMaterialReq req;
  req.mutable_cmd_()->set_supply_type_(type);
  req.mutable_cmd_()->set_action_(action);
  return req;
}

TEST(StationModelTest, TapFillsToUpLevelAndCountsFromEachFirstOpen) {
  StationModel m;
  m.SetTankVolume(0);
  ASSERT_TRUE(m.Apply(Action(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1).cmd_()));
  m.Advance(30);  // a full tank takes nothing more in, and nothing more is counted
  EXPECT_EQ(m.Report().cleantankuplevel(), 1);
  ASSERT_TRUE(m.Apply(Action(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 0).cmd_()));
  EXPECT_NEAR(m.Report().flowmeter(), m.params().tank_capacity_ml, 1.0) << "closing keeps the last count readable";

  m.SetTankVolume(1000);
  ASSERT_TRUE(m.Apply(Action(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1).cmd_()));
  EXPECT_EQ(m.Report().flowmeter(), 0u);
  m.Advance(0.5);
  // A repeated open does not restart the count.
  ASSERT_TRUE(m.Apply(Action(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1).cmd_()));
  EXPECT_NEAR(m.Report().flowmeter(), m.params().fill_rate_ml * 0.5, 1.0);
}

// The daemon's side of the board link: its sensor server collecting the reports, and its
// command connection.
class SimLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_->Init());
    ASSERT_TRUE(WaitUntil([this] { return server_->BoundPort() != 0; }));
  }
  void TearDown() override { server_->Stop(); }

  // The board in this process, reporting to the server, and the daemon connected to it.
  void StartSim() {
    ASSERT_TRUE(sim_.Start());
    sim_.SetSensorTarget("127.0.0.1", server_->BoundPort());
    client_ = std::make_shared<station_center::TcpClient>("127.0.0.1", sim_.command_port());
    ASSERT_TRUE(client_->Init());
  }

  // One exchange as the daemon makes it, waiting up to `limit_s` for the answer.
  bool Send(station::SupplyMaterialReq req, int limit_s = 10) {
    req.set_seq_(++seq_);
    station::SupplyMaterialRsp rsp;
    return station_center::EmbeddedCommunicator().BottomReqNeedResp(client_, req, rsp, limit_s);
  }
  std::vector<station::SensorsDataRep> Reports() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }
  bool MoreReports(size_t more, milliseconds within = std::chrono::seconds(20)) {
    const size_t want = Reports().size() + more;
    return WaitUntil([&] { return Reports().size() >= want; }, within);
  }

  std::mutex mutex_;
  std::vector<station::SensorsDataRep> reports_;
  static SimOptions QuickHeatWireGrace() {
    SimOptions options;
    options.model.safety.heat_wire_grace_s = 0.1;
    return options;
  }
  StationSim sim_{QuickHeatWireGrace()};
  std::shared_ptr<station_center::DataUploadServer> server_ =
      std::make_shared<station_center::DataUploadServer>("127.0.0.1", 0, [this](station::SensorsDataRep& r) {
        std::lock_guard<std::mutex> lock(mutex_);
        reports_.push_back(r);
      });
  std::shared_ptr<station_center::TcpClient> client_;
  int32_t seq_ = 0;
};

TEST_F(SimLinkTest, CommandFaultSwitchesAndSafetyCountsAsTheDaemonSeesThem) {
  ASSERT_NO_FATAL_FAILURE(StartSim());
  // What the command link did is counted by the safety console, its line kept, cleared on
  // "safety reset"; the layout of each line is the monitor's own (SafetyMonitorTest).
  EXPECT_NE(sim_.Execute("safety").find("\nviolations: 0\n"), std::string::npos);
  ASSERT_TRUE(Send(Action(station::ENUM_SUPPLY_HEATING_WIRE, 1)));
  ASSERT_TRUE(WaitUntil([&] { return sim_.Safety().Total() == 1; }));
  ASSERT_TRUE(Send(Action(station::ENUM_SUPPLY_HEATING_WIRE, 0)));
  const std::string text = sim_.Execute("safety");
  EXPECT_NE(text.find("heat_wire_without_fan: 1 (exposed 0)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("violations: 1, first 1 kept:\n"), std::string::npos) << text;
  EXPECT_EQ(sim_.Execute("safety reset"), "ok: safety counts and lines cleared");
  EXPECT_NE(sim_.Execute("safety").find("\nviolations: 0\n"), std::string::npos);

  const auto uv = Action(station::ENUM_SUPPLY_UV_LAMP);
  station::SupplyMaterialReq led;
  led.mutable_change_led_()->set_led_cmd_(station::LED_ERROR_STATE);
  const struct {
    std::vector<const char*> lines;
    station::SupplyMaterialReq req;
    bool ok;
  } cases[] = {
      {{"fault delay 300"}, uv, true},
      {{"fault split 1 30"}, uv, true},
      {{"fault stale first"}, uv, true},
      {{"fault stale first", "fault merge 2"}, uv, true},  // stale and real answer in one write
      {{"fault refuse ENUM_SUPPLY_DRAINAGE_SWITCH on"}, Action(station::ENUM_SUPPLY_DRAINAGE_SWITCH), false},
      {{"fault refuse drain on"}, uv, true},
      {{"fault refuse led on"}, led, false},
      {{"fault garbage command"}, uv, false},
      // Unanswered: the daemon gives up at its limit (1 s here).
      {{"fault drop on"}, uv, false},
      {{"fault stale only"}, uv, false},
      {{"fault hangup on"}, uv, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lines.back());
    for (const char* line : c.lines) ASSERT_EQ(sim_.Execute(line).rfind("ok:", 0), 0u) << line;
    EXPECT_EQ(Send(c.req, c.ok ? 10 : 1), c.ok);
    sim_.Execute("fault clear");
    EXPECT_TRUE(Send(uv)) << "the link works again once the fault is off";
  }
}

TEST_F(SimLinkTest, ReportsArriveWholeThroughEachSensorFaultSwitch) {
  ASSERT_NO_FATAL_FAILURE(StartSim());
  // An undecodable frame, split and merged writes: every real report arrives whole, on
  // the same connection, without a gap in the seqs.
  for (const char* line : {"fault garbage sensor", "fault split 7 20", "fault merge 3"}) {
    sim_.Execute(line);
    ASSERT_TRUE(MoreReports(6)) << line;
    sim_.Execute("fault clear");
  }
  const auto r = Reports();
  for (size_t i = 1; i < r.size(); ++i) EXPECT_EQ(r[i].seq(), r[i - 1].seq() + 1) << "report " << i;
  EXPECT_EQ(sim_.sensor_connects(), 1u) << "the link stayed up throughout";

  // A closed sensor connection is made again and the reports resume.
  sim_.Execute("fault close sensor");
  ASSERT_TRUE(WaitUntil([&] { return sim_.sensor_connects() == 2; }));
  ASSERT_TRUE(MoreReports(2));
}

TEST(SimConsoleTest, LinesChangeTheSimulatorOrAreRefusedReadably) {
  StationSim sim;  // not started: the model stands still
  // Each line, and what then holds of the report.
  const std::pair<const char*, std::function<bool(const station::SensorsDataRep&)>> cases[] = {
      {"dock", [](const auto& r) { return r.electrodeplatedet() == 1 && r.robotdockdetleft() == 1; }},
      {"plug", [](const auto& r) { return r.handchargeinsidedet(); }},
      {"selfcheck fail", [](const auto& r) { return !r.selfcheckstate() && !r.initsensorsstate(); }},
      {"set dustBoxCapDet 0", [](const auto& r) { return r.dustboxcapdet() == 0; }},
      {"set heatingWireTemp 151.5", [](const auto& r) { return r.heatingwiretemp() == 151.5f; }},
      {"pin sewageDet 1", [](const auto& r) { return r.sewagedet() == 1; }},
      {"pin heatingWireTemp nan", [](const auto& r) { return std::isnan(r.heatingwiretemp()); }},  // unreadable
      {"unpin all", [](const auto& r) { return r.sewagedet() == 0; }},
      {"tank 0", [](const auto& r) { return r.cleantankfootlevel() == 1; }},
  };
  for (const auto& [line, holds] : cases) {
    EXPECT_EQ(sim.Execute(line).rfind("ok:", 0), 0u) << line;
    EXPECT_TRUE(holds(sim.Sensors())) << line;
  }
  for (const char* bad : {"set dustBagDet -1", "set dustBagDet 1.5", "set heatingWireTemp nan", "set seq 7",
                          "unpin cleanTankUpLevel", "fault merge 0", "fault refuse nothing on", "fly"})
    EXPECT_EQ(sim.Execute(bad).rfind("error:", 0), 0u) << bad;
}

// The lines of `kind` in board_sim's record, parsed; complete lines only (it may be writing).
std::vector<std::shared_ptr<rapidjson::Document>> RecordLines(const std::string& path, const std::string& kind) {
  std::ifstream in(path);
  std::vector<std::shared_ptr<rapidjson::Document>> out;
  for (std::string line; std::getline(in, line);) {
    auto doc = std::make_shared<rapidjson::Document>();
    if (!doc->Parse(line.c_str()).HasParseError() && (*doc)["kind"].GetString() == kind) out.push_back(doc);
  }
  return out;
}

// board_sim as the daemon meets it, the daemon played by this fixture; with --record, every
// command the board receives, refused ones marked, and samples of the model that show what
// the daemon's reports show (pins included).
TEST_F(SimLinkTest, BoardSimRunsFromTheDaemonsConfigRecordsAndStopsOnSigterm) {
  station_test::TempRoot root;
  const uint16_t command_port = station_test::FreeLoopbackPort();
  root.WriteStation(command_port, server_->BoundPort(), "127.0.0.1:1", "\"bottom_action_timeout\": 5");
  const std::string control = root.path() + "/ctl.sock", record = root.path() + "/board.jsonl";
  station_test::ChildProcess board;
  ASSERT_TRUE(
      board.Start(station_test::BuiltProgram("board_sim"),
                  {"--root", root.path(), "--no-console", "--control", control, "--rate", "20", "--record", record}, {},
                  root.path() + "/board.log"));

  // Reports reach the configured sensor server; the configured command port takes the daemon.
  EXPECT_TRUE(WaitUntil([&] { return !Reports().empty(); }, std::chrono::seconds(60))) << board.Log();
  client_ = std::make_shared<station_center::TcpClient>("127.0.0.1", command_port);
  ASSERT_TRUE(client_->Init());
  std::string answer;
  EXPECT_TRUE(WaitUntil([&] {
    return ControlRequest(control, "status", &answer, 500) && answer.find("(daemon connected)") != std::string::npos;
  })) << answer;
  ASSERT_TRUE(ControlRequest(control, "", &answer));  // an empty line still gets its end marker
  EXPECT_EQ(answer, "");

  const auto console = [&](const char* line) {
    return ControlRequest(control, line, &answer) && answer.rfind("ok:", 0) == 0;
  };
  ASSERT_TRUE(console("fault refuse uv on")) << answer;
  EXPECT_TRUE(Send(Action(station::ENUM_SUPPLY_HEATING_FAN, 80)));
  EXPECT_FALSE(Send(Action(station::ENUM_SUPPLY_UV_LAMP)));
  EXPECT_FALSE(Send(station::SupplyMaterialReq()));  // neither action nor led: refused, and recorded
  // Every line is JSON, even for a value JSON cannot hold (NaN: null).
  ASSERT_TRUE(console("pin electrodePlateTemp1 90") && console("pin heatingWireTemp nan") && console("dock")) << answer;
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& doc : RecordLines(record, "sensors")) {
      if ((*doc)["plate1_c"].GetInt() == 90 && (*doc)["heat_wire_c"].IsNull() && (*doc)["docked"].GetBool()) {
        return true;
      }
    }
    return false;
  })) << board.Log();
  EXPECT_EQ(board.Stop(std::chrono::seconds(60)), 0) << board.Log();
  EXPECT_FALSE(ControlRequest(control, "status", &answer, 500));

  const auto commands = RecordLines(record, "command");
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_STREQ((*commands[0])["actuator"].GetString(), "fan");
  EXPECT_EQ((*commands[0])["action"].GetInt(), 80);
  EXPECT_EQ((*commands[0])["seq"].GetInt(), 1);
  EXPECT_TRUE((*commands[0])["ok"].GetBool());
  EXPECT_STREQ((*commands[1])["actuator"].GetString(), "uv");
  EXPECT_FALSE((*commands[1])["ok"].GetBool());
  EXPECT_LE((*commands[0])["t"].GetDouble(), (*commands[1])["t"].GetDouble());
  const auto empty = RecordLines(record, "empty");
  ASSERT_EQ(empty.size(), 1u);
  EXPECT_FALSE((*empty[0])["ok"].GetBool());
  EXPECT_GE(RecordLines(record, "sensors").size(), 2u) << "samples keep coming, not only on commands";
}

}  // namespace
}  // namespace station_sim
