// The simulator's console language, and the board_sim process with its control socket.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "bottom/data_upload_server.h"
#include "bottom/embedded_communicator.h"
#include "bottom/tcp_client.h"
#include "sim/control_server.h"
#include "sim/station_sim.h"
#include "support/test_support.h"

extern char** environ;

namespace station_sim {
namespace {

using station_test::WaitUntil;

const char kConfigRel[] = "/usr/lib/vantorel-station-center/config/config.json";

TEST(SimConsoleTest, LinesChangeTheSimulatorOrAreRefusedReadably) {
  StationSim sim;  // not started: the model stands still
  const struct {
    const char* line;
    std::function<bool(const station::SensorsDataRep&)> holds;  // null: refused
  } cases[] = {
      {"dock", [](const auto& r) { return r.electrodeplatedet() == 1 && r.robotdockdetleft() == 1; }},
      {"plug", [](const auto& r) { return r.handchargeinsidedet(); }},
      {"selfcheck fail", [](const auto& r) { return !r.selfcheckstate() && !r.initsensorsstate(); }},
      {"set dustBoxCapDet 0", [](const auto& r) { return r.dustboxcapdet() == 0; }},
      {"set heatingWireTemp 151.5", [](const auto& r) { return r.heatingwiretemp() == 151.5f; }},
      {"pin sewageDet 1", [](const auto& r) { return r.sewagedet() == 1; }},
      {"unpin sewageDet", [](const auto& r) { return r.sewagedet() == 0; }},
      {"tank 0", [](const auto& r) { return r.cleantankfootlevel() == 1; }},
      {"set dustBagDet -1", nullptr},
      {"set dustBagDet 1.5", nullptr},
      {"set heatingWireTemp nan", nullptr},
      {"set seq 7", nullptr},
      {"unpin cleanTankUpLevel", nullptr},
      {"fault merge 0", nullptr},
      {"fault refuse nothing on", nullptr},
      {"fly", nullptr},
  };
  for (const auto& c : cases) {
    const std::string answer = sim.Execute(c.line);
    EXPECT_EQ(answer.rfind(c.holds ? "ok:" : "error:", 0), 0u) << c.line << " -> " << answer;
    if (c.holds) {
      EXPECT_TRUE(c.holds(sim.Sensors())) << c.line;
    }
  }
  ASSERT_EQ(sim.Execute("fault refuse ENUM_SUPPLY_DRAINAGE_SWITCH on").rfind("ok:", 0), 0u);
  EXPECT_EQ(sim.faults().refused_types, std::set<int>{station::ENUM_SUPPLY_DRAINAGE_SWITCH});
  EXPECT_NE(sim.Execute("status").find("refuse:drain"), std::string::npos);
  EXPECT_NE(sim.Execute("sensors").find("dustBoxCapDet = 0"), std::string::npos);
}

// Kills and reaps the child should the test end early.
struct Child {
  pid_t pid = -1;
  ~Child() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
};

TEST(BoardSimProcessTest, RunsFromTheDaemonsConfigAndStopsOnSigterm) {
  station_test::TempRoot root;
  std::atomic<int> reports{0};
  auto sensor_server = std::make_shared<station_center::DataUploadServer>(
      "127.0.0.1", 0, [&reports](station::SensorsDataRep&) { ++reports; });
  ASSERT_TRUE(sensor_server->Init());
  ASSERT_TRUE(WaitUntil([&] { return sensor_server->BoundPort() != 0; }));
  const uint16_t command_port = station_test::FreeLoopbackPort();
  root.WriteFile(kConfigRel, "{\"embedded_ip\":\"127.0.0.1\",\"embedded_action_port\":" + std::to_string(command_port) +
                                 ",\"soc_ip\":\"127.0.0.1\",\"soc_data_server_port\":" +
                                 std::to_string(sensor_server->BoundPort()) + "}");
  const std::string control = root.path() + "/ctl.sock";
  const std::string exe = std::string(STATION_BIN_DIR) + "/board_sim";
  std::vector<std::string> args = {exe, "--root", root.path(), "--no-console", "--control", control, "--rate", "20"};
  std::vector<char*> argv;
  for (auto& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  Child child;
  ASSERT_EQ(::posix_spawn(&child.pid, exe.c_str(), nullptr, nullptr, argv.data(), environ), 0);

  // Reports reach the configured sensor server; a command on the configured port is carried out.
  std::string answer;
  ASSERT_TRUE(WaitUntil([&] { return ControlRequest(control, "status", &answer, 500); }));
  EXPECT_TRUE(WaitUntil([&] { return reports > 0; }));
  auto client = std::make_shared<station_center::TcpClient>("127.0.0.1", command_port);
  ASSERT_TRUE(client->Init());
  station::SupplyMaterialReq req;
  req.set_seq_(1234);
  req.mutable_cmd_()->set_supply_type_(station::ENUM_SUPPLY_UV_LAMP);
  req.mutable_cmd_()->set_action_(1);
  station::SupplyMaterialRsp rsp;
  station_center::EmbeddedCommunicator link;
  EXPECT_TRUE(link.BottomReqNeedResp(client, req, rsp, 10));
  ASSERT_TRUE(ControlRequest(control, "status", &answer));
  EXPECT_NE(answer.find("uv(9)"), std::string::npos) << answer;
  ASSERT_TRUE(ControlRequest(control, "dock", &answer));
  EXPECT_EQ(answer, "ok: robot docked\n");
  ASSERT_TRUE(ControlRequest(control, "", &answer));  // an empty line still gets its end marker
  EXPECT_EQ(answer, "");

  ::kill(child.pid, SIGTERM);
  int status = -1;
  ASSERT_TRUE(WaitUntil([&] { return ::waitpid(child.pid, &status, WNOHANG) == child.pid; }));
  child.pid = -1;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(ControlRequest(control, "status", &answer, 500));
  sensor_server->Stop();
}

}  // namespace
}  // namespace station_sim
