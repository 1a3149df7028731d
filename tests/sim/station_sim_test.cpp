// The station simulator: its physical model, its console language, its faults as the
// daemon's own board link sees them over loopback, and the board_sim process.

#include "sim/station_sim.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bottom/data_upload_server.h"
#include "bottom/embedded_communicator.h"
#include "bottom/tcp_client.h"
#include "sim/control_server.h"
#include "sim/station_model.h"
#include "support/child_process.h"
#include "support/test_support.h"

namespace station_sim {
namespace {

using station_test::WaitUntil;
using std::chrono::milliseconds;

void Set(StationModel* m, station::EnumSupplyType type, int action) {
  station::ActionCommand c;
  c.set_supply_type_(type);
  c.set_action_(action);
  ASSERT_TRUE(m->Apply(c));
}

// Steps the model in 20 ms ticks until `pred` holds or `max_s` of model time passes.
template <typename Pred>
bool RunUntil(StationModel* m, Pred pred, double max_s) {
  for (double t = 0; t < max_s && !pred(m->Report()); t += 0.02) m->Advance(0.02);
  return pred(m->Report());
}

TEST(StationModelTest, TapFillsToTheUpLevelAndTheFlowCountRestartsEachFill) {
  StationModel m;
  m.SetTankVolume(0);
  Set(&m, station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1);
  ASSERT_TRUE(RunUntil(
      &m, [](const auto& r) { return r.cleantankuplevel() == 1; }, 30));
  m.Advance(5);  // a full tank takes nothing more in, and nothing more is counted
  const uint32_t first_fill = m.Report().flowmeter();
  EXPECT_NEAR(first_fill, m.params().tank_capacity_ml, 1.0);
  Set(&m, station::ENUM_SUPPLY_TAP_WATER_SWITCH, 0);
  EXPECT_EQ(m.Report().flowmeter(), first_fill) << "closing keeps the last count readable";

  m.SetTankVolume(1000);
  Set(&m, station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1);
  EXPECT_EQ(m.Report().flowmeter(), 0u);
  m.Advance(0.5);
  const uint32_t partial = m.Report().flowmeter();
  EXPECT_GT(partial, 0u);
  Set(&m, station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1);
  EXPECT_EQ(m.Report().flowmeter(), partial) << "a repeated open does not restart the count";
}

TEST(StationModelTest, OutflowsEmptyTheTankToItsFootLevel) {
  for (auto valve : {station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, station::ENUM_SUPPLY_DRAINAGE_SWITCH}) {
    SCOPED_TRACE(station::EnumSupplyType_Name(valve));
    StationModel m;
    const double full = m.params().tank_capacity_ml;
    m.SetTankVolume(full);
    Set(&m, valve, 1);
    EXPECT_TRUE(RunUntil(
        &m, [](const auto& r) { return r.cleantankfootlevel() == 1; }, 60));
    m.Advance(10);  // an open valve on an empty tank moves nothing more
    const bool to_robot = valve == station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH;
    EXPECT_NEAR(m.delivered_to_robot(), to_robot ? full : 0, 1e-6);
    EXPECT_NEAR(m.drained(), to_robot ? 0 : full, 1e-6);
  }
}

TEST(StationModelTest, TabletsCountWhileTheMotorRunsAndNotDuringAnOverload) {
  StationModel m;
  Set(&m, station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR, 50);
  m.Advance(2.05);  // one tablet per 0.5 s at power 50
  EXPECT_EQ(m.Report().disinfectantplatenum(), 4u);
  m.SetSorterOverload(1.0);
  EXPECT_FALSE(m.Report().sortermotorcurrentstate());
  m.Advance(0.9);
  EXPECT_EQ(m.Report().disinfectantplatenum(), 4u);
  m.Advance(0.2);
  Set(&m, station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR, 100);
  m.Advance(1.0);  // twice as fast at power 100
  EXPECT_EQ(m.Report().disinfectantplatenum(), 8u);
  Set(&m, station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR, 0);
  m.Advance(5);
  EXPECT_EQ(m.Report().disinfectantplatenum(), 8u);
}

// The daemon's command connection with each read waiting 1.5 s instead of 10 s, so that
// an unanswered command fails within two seconds instead of ten.
class QuickClient : public station_center::TcpClient {
 public:
  using TcpClient::TcpClient;
  bool SetSockOpt(int fd, bool reuse_addr) override {
    const timeval wait{1, 500000};
    return TcpClient::SetSockOpt(fd, reuse_addr) && ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait)) == 0;
  }
};

station::SupplyMaterialReq Action(station::EnumSupplyType type) {
  station::SupplyMaterialReq req;
  req.mutable_cmd_()->set_supply_type_(type);
  req.mutable_cmd_()->set_action_(1);
  return req;
}

class SimLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim_.Start());
    ASSERT_TRUE(server_->Init());
    ASSERT_TRUE(WaitUntil([this] { return server_->BoundPort() != 0; }));
    sim_.SetSensorTarget("127.0.0.1", server_->BoundPort());
    client_ = std::make_shared<QuickClient>("127.0.0.1", sim_.command_port());
    ASSERT_TRUE(client_->Init());
  }
  void TearDown() override { server_->Stop(); }

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
  StationSim sim_{[] {
    SimOptions fast;
    fast.report_hz = 20;
    return fast;
  }()};
  std::shared_ptr<station_center::DataUploadServer> server_ =
      std::make_shared<station_center::DataUploadServer>("127.0.0.1", 0, [this](station::SensorsDataRep& r) {
        std::lock_guard<std::mutex> lock(mutex_);
        reports_.push_back(r);
      });
  std::shared_ptr<QuickClient> client_;
  int32_t seq_ = 0;
};

TEST_F(SimLinkTest, EachCommandFaultSwitchAsTheDaemonSeesIt) {
  const auto uv = Action(station::ENUM_SUPPLY_UV_LAMP);
  station::SupplyMaterialReq led;
  led.mutable_change_led_()->set_led_cmd_(station::LED_ERROR_STATE);
  const struct {
    std::vector<const char*> lines;
    station::SupplyMaterialReq req;
    bool ok;
    int min_ms = 0;
  } cases[] = {
      {{"fault delay 300"}, uv, true, 300},
      {{"fault split 1 30"}, uv, true},
      {{"fault stale first"}, uv, true},
      {{"fault stale first", "fault merge 2"}, uv, true},  // stale and real answer in one write
      {{"fault refuse drain on"}, Action(station::ENUM_SUPPLY_DRAINAGE_SWITCH), false},
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
    for (const char* line : c.lines) {
      ASSERT_EQ(sim_.Execute(line).rfind("ok:", 0), 0u) << line;
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Send(c.req, c.ok ? 10 : 1), c.ok);
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(c.min_ms));
    sim_.Execute("fault clear");
    EXPECT_TRUE(Send(uv)) << "the link works again once the fault is off";
  }

  // A connection the board closes is made again by the next command.
  const uint32_t accepts = sim_.command_accepts();
  sim_.Execute("fault close command");
  ASSERT_TRUE(WaitUntil([&] { return !sim_.command_connected(); }));
  EXPECT_TRUE(Send(uv));
  EXPECT_EQ(sim_.command_accepts(), accepts + 1);
}

TEST_F(SimLinkTest, ReportsShowTheModelAndEachSensorFaultSwitch) {
  // A command drives the model, and the reports show it.
  sim_.SetTankVolume(2800);
  ASSERT_TRUE(Send(Action(station::ENUM_SUPPLY_TAP_WATER_SWITCH)));
  ASSERT_TRUE(WaitUntil([&] { return !Reports().empty() && Reports().back().cleantankuplevel() == 1; }));
  EXPECT_GT(Reports().back().flowmeter(), 0u);

  // Silent reports: the link stays up and nothing arrives.
  sim_.Execute("fault reports off");
  const uint32_t last = sim_.Sensors().seq();  // the last report made; none follows
  ASSERT_TRUE(WaitUntil([&] { return Reports().back().seq() == last; }));
  EXPECT_FALSE(MoreReports(1, milliseconds(300))) << "six report periods of silence";
  EXPECT_TRUE(sim_.sensor_connected());
  sim_.Execute("fault reports on");

  // An undecodable frame, split and merged writes: every real report arrives whole, on
  // the same connection, without a gap in the seqs.
  for (const char* line : {"fault garbage sensor", "fault split 7 20", "fault merge 3"}) {
    SCOPED_TRACE(line);
    sim_.Execute(line);
    ASSERT_TRUE(MoreReports(6));
    sim_.Execute("fault clear");
  }
  const auto r = Reports();
  for (size_t i = 1; i < r.size(); ++i) {
    EXPECT_EQ(r[i].seq(), r[i - 1].seq() + 1) << "report " << i;
  }
  EXPECT_EQ(sim_.sensor_connects(), 1u);

  // A closed sensor connection is made again and the reports resume.
  sim_.Execute("fault close sensor");
  ASSERT_TRUE(WaitUntil([&] { return sim_.sensor_connects() == 2; }));
  ASSERT_TRUE(MoreReports(2));
}

TEST(SimConsoleTest, LinesChangeTheSimulatorOrAreRefusedReadably) {
  StationSim sim;  // not started: the model stands still
  const struct {
    const char* line;
    std::function<bool(const station::SensorsDataRep&)> holds;
  } cases[] = {
      {"dock", [](const auto& r) { return r.electrodeplatedet() == 1 && r.robotdockdetleft() == 1; }},
      {"plug", [](const auto& r) { return r.handchargeinsidedet(); }},
      {"selfcheck fail", [](const auto& r) { return !r.selfcheckstate() && !r.initsensorsstate(); }},
      {"set dustBoxCapDet 0", [](const auto& r) { return r.dustboxcapdet() == 0; }},
      {"set heatingWireTemp 151.5", [](const auto& r) { return r.heatingwiretemp() == 151.5f; }},
      {"pin sewageDet 1", [](const auto& r) { return r.sewagedet() == 1; }},
      {"unpin sewageDet", [](const auto& r) { return r.sewagedet() == 0; }},
      {"tank 0", [](const auto& r) { return r.cleantankfootlevel() == 1; }},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sim.Execute(c.line).rfind("ok:", 0), 0u) << c.line;
    EXPECT_TRUE(c.holds(sim.Sensors())) << c.line;
  }
  for (const char* bad : {"set dustBagDet -1", "set dustBagDet 1.5", "set heatingWireTemp nan", "set seq 7",
                          "unpin cleanTankUpLevel", "fault merge 0", "fault refuse nothing on", "fly"}) {
    EXPECT_EQ(sim.Execute(bad).rfind("error:", 0), 0u) << bad;
  }
  ASSERT_EQ(sim.Execute("fault refuse ENUM_SUPPLY_DRAINAGE_SWITCH on").rfind("ok:", 0), 0u);
  EXPECT_NE(sim.Execute("status").find("refuse:drain"), std::string::npos);
  EXPECT_NE(sim.Execute("sensors").find("dustBoxCapDet = 0"), std::string::npos);
}

TEST(BoardSimProcessTest, RunsFromTheDaemonsConfigAndStopsOnSigterm) {
  station_test::TempRoot root;
  std::atomic<int> reports{0};
  auto sensor_server = std::make_shared<station_center::DataUploadServer>(
      "127.0.0.1", 0, [&reports](station::SensorsDataRep&) { ++reports; });
  ASSERT_TRUE(sensor_server->Init());
  ASSERT_TRUE(WaitUntil([&] { return sensor_server->BoundPort() != 0; }));
  const uint16_t command_port = station_test::FreeLoopbackPort();
  root.WriteFile(
      "/usr/lib/vantorel-station-center/config/config.json",
      "{\"embedded_ip\":\"127.0.0.1\",\"embedded_action_port\":" + std::to_string(command_port) +
          ",\"soc_ip\":\"127.0.0.1\",\"soc_data_server_port\":" + std::to_string(sensor_server->BoundPort()) + "}");
  const std::string control = root.path() + "/ctl.sock";
  station_test::ChildProcess board;
  ASSERT_TRUE(board.Start(station_test::BuiltProgram("board_sim"),
                          {"--root", root.path(), "--no-console", "--control", control, "--rate", "20"}, {},
                          root.path() + "/board.log"));

  // Reports reach the configured sensor server; the configured command port takes the daemon.
  std::string answer;
  EXPECT_TRUE(WaitUntil([&] { return reports > 0; }, std::chrono::seconds(60))) << board.Log();
  auto client = std::make_shared<station_center::TcpClient>("127.0.0.1", command_port);
  ASSERT_TRUE(client->Init());
  const std::string connected = "command port " + std::to_string(command_port) + " (daemon connected)";
  EXPECT_TRUE(WaitUntil([&] {
    return ControlRequest(control, "status", &answer, 500) && answer.find(connected) != std::string::npos;
  })) << answer;
  ASSERT_TRUE(ControlRequest(control, "", &answer));  // an empty line still gets its end marker
  EXPECT_EQ(answer, "");

  EXPECT_EQ(board.Stop(std::chrono::seconds(60)), 0) << board.Log();
  EXPECT_FALSE(ControlRequest(control, "status", &answer, 500));
  sensor_server->Stop();
}

}  // namespace
}  // namespace station_sim
