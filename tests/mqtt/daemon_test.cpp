#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "mqtt/mqtt_client.h"
#include "mqtt/mqtt_peer.h"
#include "sim/station_sim.h"
#include "support/mosquitto.h"
#include "support/test_support.h"

extern char** environ;

namespace station_center {
namespace {

using station_test::WaitUntil;

// The daemon as a child process over a prepared station tree; killed and reaped at the end.
class Daemon {
 public:
  Daemon(const station_test::TempRoot& root) : log_(root.path() + "/daemon.log") {}
  ~Daemon() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  bool Start(const std::string& root) {
    std::vector<std::string> env = {"STATION_CENTER_ROOT=" + root, "SPDLOG_STDOUT=true", "SPDLOG_SYSTEMD=false",
                                    "SPDLOG_LEVEL=info", "PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    for (const char* pass : {"TSAN_OPTIONS", "ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
      if (const char* value = std::getenv(pass)) env.push_back(std::string(pass) + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string bin = std::string(STATION_BIN_DIR) + "/station_center";
    char* argv[] = {bin.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawn_file_actions_addopen(&actions, 1, log_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int rc = ::posix_spawn(&pid_, bin.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0;
  }

  // Exit status once the daemon has ended, or -1 while it runs.
  int ExitStatus() {
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 1000;
    }
    return exit_status_;
  }
  std::string Log() const {
    std::ifstream in(log_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }

 private:
  std::string log_;
  pid_t pid_ = -1;
  int exit_status_ = -1;
};

std::string HostName() {
  char name[64] = {};
  ::gethostname(name, sizeof(name) - 1);
  return name;
}

class DaemonTest : public ::testing::Test {
 protected:
  // The station tree: the board at `board_port`, the broker at `broker_address`.
  void Prepare(uint16_t board_port, const std::string& broker_address, int board_wait = 10) {
    sensor_port_ = station_test::FreeLoopbackPort();
    const std::string config_dir = "/usr/lib/vantorel-station-center/config/";
    root_.WriteFile(config_dir + "config.json",
                    "{\"station_id\": \"station-xx\", \"embedded_ip\": \"127.0.0.1\", \"soc_ip\": \"127.0.0.1\", "
                    "\"embedded_action_port\": " +
                        std::to_string(board_port) + ", \"soc_data_server_port\": " + std::to_string(sensor_port_) +
                        ", \"connect_embedded_board_time\": " + std::to_string(board_wait) +
                        ", \"bottom_action_timeout\": 2, \"mqtt_keep_alive_interval\": 5, "
                        "\"upload_station_info_to_cloud_interval\": 1}");
    root_.WriteFile(config_dir + "led.json", R"({"station_reset": 1, "led_normal_work": 100})");
    root_.WriteFile("/usr/lib/vantorel-station-center/status/status.json",
                    "{\"dust_bag_last_replace_time\": " + std::to_string(time(nullptr)) +
                        ", \"hardware\": \"dvt3\", \"mqtt_server_address\": \"" + broker_address + "\"}");
  }

  station_test::TempRoot root_;
  uint16_t sensor_port_ = 0;
};

TEST_F(DaemonTest, ExitsWith255WhenTheBoardNeverAnswers) {
  Prepare(station_test::FreeLoopbackPort(), "127.0.0.1:1", 2);
  Daemon daemon(root_);
  ASSERT_TRUE(daemon.Start(root_.path()));
  ASSERT_TRUE(WaitUntil([&] { return daemon.ExitStatus() != -1; }, std::chrono::seconds(60))) << daemon.Log();
  EXPECT_EQ(daemon.ExitStatus(), 255) << daemon.Log();
}

// One station's life: it starts while the broker is down, serves the robot once the
// broker is up, resets when the broker goes away and serves again after reconnecting.
TEST_F(DaemonTest, ServesTheRobotAcrossBrokerOutages) {
  station_sim::StationSim sim;
  ASSERT_TRUE(sim.Start());
  sim.Dock(true);
  station_test::MosquittoBroker broker;
  Prepare(sim.command_port(), broker.address());
  sim.SetSensorTarget("127.0.0.1", sensor_port_);
  Daemon daemon(root_);
  ASSERT_TRUE(daemon.Start(root_.path()));

  // Without a broker the station still resets itself and drives its lamps.
  ASSERT_TRUE(WaitUntil([&] { return daemon.Logged("mqtt client init failed"); }, std::chrono::seconds(60)))
      << daemon.Log();
  EXPECT_TRUE(WaitUntil([&] { return sim.board_resets() >= 1 && sim.last_led() > 0; }, std::chrono::seconds(60)))
      << daemon.Log();

  ASSERT_TRUE(broker.Start());
  const std::string prefix = "clean_robot_station/" + HostName() + "/";
  station_test::MqttPeer robot(broker.address(), "robot");
  ASSERT_TRUE(robot.Connect());
  ASSERT_TRUE(robot.Subscribe(prefix + "checkStationRe"));
  ASSERT_TRUE(robot.Subscribe("clean_robot_station/reportActively"));
  auto answered = [&] {
    return WaitUntil(
        [&] {
          robot.Publish(prefix + "checkStation", R"({"reqHeader":{"msgId":{"uuid":"q"}},"checkType":"ENUM_IN_POSE"})");
          std::string reply;
          return robot.Take(prefix + "checkStationRe", &reply, std::chrono::milliseconds(500)) &&
                 reply.find(R"("robotCheck":1)") != std::string::npos;
        },
        std::chrono::seconds(90));
  };
  ASSERT_TRUE(answered()) << daemon.Log();
  EXPECT_TRUE(robot.Take("clean_robot_station/reportActively", nullptr)) << "periodic cloud upload";

  const int resets = sim.board_resets();
  broker.Stop();
  EXPECT_TRUE(WaitUntil([&] { return daemon.Logged("will reset station"); }, std::chrono::seconds(60)));
  EXPECT_TRUE(WaitUntil([&] { return sim.board_resets() > resets; }, std::chrono::seconds(60))) << daemon.Log();

  ASSERT_TRUE(broker.Start());
  station_test::MqttPeer robot2(broker.address(), "robot2");
  ASSERT_TRUE(robot2.Connect());
  ASSERT_TRUE(robot2.Subscribe(prefix + "checkStationRe"));
  // Paho's automatic reconnection waits about 25 s; the station subscribes again.
  EXPECT_TRUE(WaitUntil(
      [&] {
        robot2.Publish(prefix + "checkStation", R"({"checkType":"ENUM_IN_POSE"})");
        return robot2.Take(prefix + "checkStationRe", nullptr, std::chrono::milliseconds(500));
      },
      std::chrono::seconds(120)))
      << daemon.Log();
  EXPECT_EQ(daemon.ExitStatus(), -1) << "still running";
  EXPECT_FALSE(daemon.Logged("Sanitizer")) << daemon.Log();
}

}  // namespace
}  // namespace station_center
