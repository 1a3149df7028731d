// The simulator's console language, its control socket, its config reading and
// the board_sim process.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "bottom/frame_codec.h"
#include "sim/control_server.h"
#include "sim/sim_config.h"
#include "sim/station_sim.h"
#include "support/test_support.h"

extern char** environ;

namespace station_sim {
namespace {

using station_test::WaitUntil;

const char kConfigRel[] = "/usr/lib/vantorel-station-center/config/config.json";

TEST(SimConsoleTest, LinesChangeTheSimulatorOrAreRefusedReadably) {
  StationSim sim;
  struct Case {
    const char* line;
    bool ok;
    std::function<bool()> holds;
  };
  const Case cases[] = {
      {"dock", true, [&] { return sim.Sensors().electrodeplatedet() == 1 && sim.Sensors().robotdockdetleft() == 1; }},
      {"plug", true, [&] { return sim.Sensors().handchargeinsidedet(); }},
      {"set dustBoxCapDet 0", true, [&] { return sim.Sensors().dustboxcapdet() == 0; }},
      {"pin sewageDet 1", true, [&] { return sim.Sensors().sewagedet() == 1; }},
      {"unpin sewageDet", true, [&] { return sim.Sensors().sewagedet() == 0; }},
      {"tank 0", true, [&] { return sim.Sensors().cleantankfootlevel() == 1; }},
      {"fault refuse tap on", true, [&] { return sim.faults().refused_types.count(1) == 1; }},
      {"fault refuse ENUM_SUPPLY_DRAINAGE_SWITCH on", true, [&] { return sim.faults().refused_types.count(13) == 1; }},
      {"fault refuse 1 off", true, [&] { return sim.faults().refused_types.count(1) == 0; }},
      {"fault stale first", true, [&] { return sim.faults().stale == StaleMode::kFirst; }},
      {"fault split 5 40", true, [&] { return sim.faults().split_bytes == 5 && sim.faults().split_gap_ms == 40; }},
      {"fault merge 3", true, [&] { return sim.faults().merge_reports == 3; }},
      {"fault clear", true, [&] { return sim.faults().merge_reports == 1 && sim.faults().refused_types.empty(); }},
      {"undock", true, [&] { return sim.Sensors().electrodeplatedet() == 0; }},
      {"selfcheck fail", true, [&] { return !sim.Sensors().selfcheckstate() && !sim.Sensors().initsensorsstate(); }},
      {"estop on", true, [&] { return sim.Sensors().emergencystopstate(); }},
      {"dustbag out", true, [&] { return sim.Sensors().dustbagdet() == 0; }},
      {"dustbag maybe", false, nullptr},
      {"fault refuse nothing on", false, nullptr},
      {"fault merge 0", false, nullptr},
      {"fault delay -5", false, nullptr},
      {"set dustBagDet", false, nullptr},
      {"set dustBagDet yes-please", false, nullptr},
      {"tank lots", false, nullptr},
      {"unpin cleanTankUpLevel", false, nullptr},
      {"fly", false, nullptr},
  };
  for (const Case& c : cases) {
    const std::string answer = sim.Execute(c.line);
    EXPECT_EQ(answer.rfind(c.ok ? "ok:" : "error:", 0), 0u) << c.line << " -> " << answer;
    if (c.holds) {
      EXPECT_TRUE(c.holds()) << c.line;
    }
  }
  EXPECT_NE(sim.Execute("status").find("not docked"), std::string::npos);
  EXPECT_NE(sim.Execute("sensors").find("dustBoxCapDet = 0"), std::string::npos);
  EXPECT_NE(sim.Execute("help").find("fault drop"), std::string::npos);
}

TEST(SimControlSocketTest, EveryLineGetsItsAnswerAndEndMarker) {
  station_test::TempRoot root;
  const std::string path = root.path() + "/ctl.sock";
  StationSim sim;
  ControlServer server([&sim](const std::string& line) { return sim.Execute(line); });
  ASSERT_TRUE(server.Start(path));

  std::string answer;
  ASSERT_TRUE(ControlRequest(path, "dock", &answer));
  EXPECT_EQ(answer, "ok: robot docked\n");
  ASSERT_TRUE(ControlRequest(path, "status", &answer));
  EXPECT_NE(answer.find("robot:     docked"), std::string::npos);
  ASSERT_TRUE(ControlRequest(path, "", &answer));  // an empty line still ends with the marker
  EXPECT_EQ(answer, "");

  // Two lines in one write, on one connection, come back as two marked answers.
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  const std::string two = "undock\nfault drop on\n";
  ASSERT_EQ(::send(fd, two.data(), two.size(), 0), static_cast<ssize_t>(two.size()));
  std::string got;
  const std::string want = "ok: robot left\n.\nok: answers dropped\n.\n";
  ASSERT_TRUE(WaitUntil([&] {
    char buf[256];
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10) > 0) {
      const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
      if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    return got.size() >= want.size();
  }));
  ::close(fd);
  EXPECT_EQ(got, want);
  EXPECT_TRUE(sim.faults().drop_acks);

  server.Stop();
  EXPECT_FALSE(ControlRequest(path, "status", &answer, 500));
}

TEST(SimConfigTest, LinkAddressesComeFromTheDaemonsConfig) {
  station_test::TempRoot root;
  struct Case {
    const char* json;
    bool ok;
    const char* command_ip;
    uint16_t command_port;
    uint16_t sensor_port;
  };
  const Case cases[] = {
      {R"({"embedded_ip":"127.0.0.1","embedded_action_port":41000,"soc_ip":"127.0.0.1","soc_data_server_port":41001})",
       true, "127.0.0.1", 41000, 41001},
      // Missing keys and wrong types keep what the options held; ports keep their low 16 bits as the daemon's do.
      {R"({"embedded_action_port":"41000","soc_data_server_port":106537})", true, "127.0.0.2", 7, 41001},
      {R"([1,2])", false, "127.0.0.2", 7, 8},
      {R"({"embedded_ip":)", false, "127.0.0.2", 7, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    root.WriteFile(kConfigRel, c.json);
    SimOptions opts;
    opts.command_ip = "127.0.0.2";
    opts.command_port = 7;
    opts.sensor_port = 8;
    std::string error;
    EXPECT_EQ(LoadLinkConfig(&opts, &error), c.ok) << error;
    EXPECT_EQ(opts.command_ip, c.command_ip);
    EXPECT_EQ(opts.command_port, c.command_port);
    EXPECT_EQ(opts.sensor_port, c.sensor_port);
  }
}

int ListenLoopback(uint16_t* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 1) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

// Reads from `fd` until `reader` yields one frame or the deadline passes.
bool ReadFrame(int fd, station_center::FrameReader* reader, std::string* payload) {
  return WaitUntil([&] {
    if (reader->Next(payload) == station_center::FrameReader::Result::kFrame) return true;
    pollfd p{fd, POLLIN, 0};
    char buf[512];
    if (::poll(&p, 1, 10) > 0) {
      const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
      if (n > 0) reader->Append(buf, static_cast<size_t>(n));
    }
    return false;
  });
}

TEST(BoardSimProcessTest, RunsFromTheDaemonsConfigAndStopsOnSigterm) {
  station_test::TempRoot root;
  uint16_t sensor_port = 0;
  const int sensor_listener = ListenLoopback(&sensor_port);
  ASSERT_GE(sensor_listener, 0);
  const uint16_t command_port = station_test::FreeLoopbackPort();
  root.WriteFile(kConfigRel, "{\"embedded_ip\":\"127.0.0.1\",\"embedded_action_port\":" + std::to_string(command_port) +
                                 ",\"soc_ip\":\"127.0.0.1\",\"soc_data_server_port\":" + std::to_string(sensor_port) +
                                 "}");
  const std::string control = root.path() + "/ctl.sock";
  const std::string exe = std::string(STATION_BIN_DIR) + "/board_sim";
  std::vector<std::string> args = {exe, "--root", root.path(), "--no-console", "--control", control, "--rate", "20"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  ASSERT_EQ(::posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), environ), 0);

  std::string answer;
  ASSERT_TRUE(WaitUntil([&] { return ControlRequest(control, "status", &answer, 500); }));
  EXPECT_NE(answer.find("command port " + std::to_string(command_port)), std::string::npos) << answer;

  // Sensor reports arrive on the configured server.
  const int sensor = ::accept(sensor_listener, nullptr, nullptr);
  ASSERT_GE(sensor, 0);
  station_center::FrameReader sensor_reader(4096);
  std::string payload;
  ASSERT_TRUE(ReadFrame(sensor, &sensor_reader, &payload));
  station::SensorsDataRep report;
  ASSERT_TRUE(report.ParseFromString(payload));
  EXPECT_GE(report.seq(), 1u);

  // A command on the configured port is answered with its own seq.
  const int cmd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(command_port);
  ASSERT_EQ(::connect(cmd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  station::SupplyMaterialReq req;
  req.set_seq_(1234);
  req.mutable_cmd_()->set_supply_type_(station::ENUM_SUPPLY_UV_LAMP);
  req.mutable_cmd_()->set_action_(1);
  std::string frame;
  ASSERT_TRUE(station_center::EncodeFrame(req, &frame));
  ASSERT_EQ(::send(cmd, frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
  station_center::FrameReader cmd_reader(4096);
  ASSERT_TRUE(ReadFrame(cmd, &cmd_reader, &payload));
  station::SupplyMaterialRsp rsp;
  ASSERT_TRUE(rsp.ParseFromString(payload));
  EXPECT_EQ(rsp.seq_(), 1234);
  EXPECT_EQ(rsp.err_code_(), station::ENUM_SUCCESS);
  ASSERT_TRUE(ControlRequest(control, "status", &answer));
  EXPECT_NE(answer.find("uv(9)"), std::string::npos) << answer;

  ::kill(pid, SIGTERM);
  int status = -1;
  ASSERT_TRUE(WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }));
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ::close(cmd);
  ::close(sensor);
  ::close(sensor_listener);
}

}  // namespace
}  // namespace station_sim
