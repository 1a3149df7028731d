#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <string>
#include <vector>

#include "mqtt/mqtt_peer.h"
#include "sim/station_sim.h"
#include "support/child_process.h"
#include "support/mosquitto.h"
#include "support/test_support.h"

namespace station_test {
namespace {

using Seconds = std::chrono::seconds;

// The daemon as a child process over a station tree with the board at `board_port` and the
// broker at `broker`; it waits `board_wait` seconds for the board, `env` added to its environment.
class DaemonTest : public ::testing::Test {
 protected:
  bool Start(uint16_t board_port, const std::string& broker, int board_wait = 10, std::vector<std::string> env = {}) {
    root_.WriteStation(board_port, sensor_port_, broker,
                       "\"connect_embedded_board_time\": " + std::to_string(board_wait) +
                           ", \"bottom_action_timeout\": 2, \"mqtt_keep_alive_interval\": 5, "
                           "\"upload_station_info_to_cloud_interval\": 1");
    env.insert(env.end(), {"STATION_CENTER_ROOT=" + root_.path(), "SPDLOG_STDOUT=true", "SPDLOG_SYSTEMD=false",
                           "SPDLOG_LEVEL=info"});
    return daemon_.Start(BuiltProgram("station_center"), {}, env, root_.path() + "/daemon.log");
  }
  // A robot asks for the lamp for `seconds` until the board has it on.
  bool LampOn(station_sim::StationSim& sim, const std::string& broker, int seconds) {
    char host[64] = {};
    ::gethostname(host, sizeof(host) - 1);
    const std::string supply = "clean_robot_station/" + std::string(host) + "/supplyMaterialRequest";
    MqttPeer robot(broker, "robot");
    const auto on = [&] {
      robot.Publish(supply, R"({"reqHeader":{"msgId":{"uuid":"m"},"robotId":{"uuid":"r"}},)"
                            R"("cmd":{"action":"ENUM_ACTION_STANDARD","supplyType":"ENUM_SUPPLY_UV_LAMP","duration":)" +
                                std::to_string(seconds) + "}}");
      return WaitUntil([&] { return sim.ActuatorOn(station::ENUM_SUPPLY_UV_LAMP); }, Seconds(2));
    };
    return robot.Connect() && WaitUntil(on, Seconds(60));
  }

  TempRoot root_;
  const uint16_t sensor_port_ = FreeLoopbackPort();
  ChildProcess daemon_;
};

TEST_F(DaemonTest, ExitsWith255WhenTheBoardNeverAnswers) {
  ASSERT_TRUE(Start(FreeLoopbackPort(), "127.0.0.1:1", 2));
  ASSERT_TRUE(WaitUntil([&] { return !daemon_.Running(); }, Seconds(60))) << daemon_.Log();
  EXPECT_EQ(daemon_.ExitStatus(), 255) << daemon_.Log();
}

// One station's life: it starts while the broker is down, serves the robot once the
// broker is up, resets when the broker goes away and serves again after reconnecting.
TEST_F(DaemonTest, ServesTheRobotAcrossBrokerOutages) {
  station_sim::StationSim sim;
  ASSERT_TRUE(sim.Start());
  sim.Dock(true);
  MosquittoBroker broker;
  ASSERT_TRUE(Start(sim.command_port(), broker.address()));
  sim.SetSensorTarget("127.0.0.1", sensor_port_);
  // Without a broker the station still resets itself and drives its lamps.
  ASSERT_TRUE(WaitUntil([&] { return daemon_.Logged("mqtt client init failed"); }, Seconds(60))) << daemon_.Log();
  EXPECT_TRUE(WaitUntil([&] { return sim.board_resets() >= 1 && sim.last_led() > 0; }, Seconds(60))) << daemon_.Log();

  char host[64] = {};
  ::gethostname(host, sizeof(host) - 1);
  const std::string check = "clean_robot_station/" + std::string(host) + "/checkStation";
  // A fresh robot each time the broker is up: its position check is answered and the
  // periodic cloud upload arrives.
  const auto served = [&](const char* id, Seconds limit) {
    MqttPeer robot(broker.address(), id);
    std::string reply;
    const auto answered = [&] {
      robot.Publish(check, R"({"checkType":"ENUM_IN_POSE"})");
      return robot.Take(check + "Re", &reply, std::chrono::milliseconds(500)) &&
             reply.find(R"("robotCheck":1)") != std::string::npos;
    };
    return robot.Connect() && robot.Subscribe("clean_robot_station/#") && WaitUntil(answered, limit) &&
           robot.Take("clean_robot_station/reportActively", nullptr);
  };
  ASSERT_TRUE(broker.Start());
  ASSERT_TRUE(served("robot", Seconds(90))) << daemon_.Log();

  const int resets = sim.board_resets();
  broker.Stop();
  EXPECT_TRUE(WaitUntil([&] { return sim.board_resets() > resets; }, Seconds(60))) << daemon_.Log();

  // The station reconnects by itself and subscribes again.
  ASSERT_TRUE(broker.Start());
  ASSERT_TRUE(served("robot2", Seconds(120))) << daemon_.Log();

  // A broker restarted at once is retried within a second or two, not after the
  // half minute a first retry used to wait.
  broker.Stop();
  ASSERT_TRUE(broker.Start());
  EXPECT_TRUE(served("robot3", Seconds(15))) << daemon_.Log();
  EXPECT_FALSE(daemon_.Logged("Sanitizer")) << daemon_.Log();
}

// Its presence, retained: "online" once it listens, and "offline" through the broker's
// will when the process ends, stopped or killed.
TEST_F(DaemonTest, AnnouncesWhetherItIsThere) {
  station_sim::StationSim sim;
  ASSERT_TRUE(sim.Start());
  MosquittoBroker broker;
  ASSERT_TRUE(broker.Start());
  char host[64] = {};
  ::gethostname(host, sizeof(host) - 1);
  const std::string topic = "clean_robot_station/" + std::string(host) + "/availability";
  MqttPeer watcher(broker.address(), "watcher");
  ASSERT_TRUE(watcher.Connect() && watcher.Subscribe(topic));
  // The next change of state (the same state said twice is still one state).
  std::string last;
  const auto next = [&] {
    std::string payload;
    while (watcher.Take(topic, &payload, std::chrono::milliseconds(60000))) {
      if (payload != last) {
        return last = payload;
      }
    }
    return std::string("(nothing)");
  };

  ASSERT_TRUE(Start(sim.command_port(), broker.address()));
  EXPECT_EQ(next(), "online") << daemon_.Log();
  MqttPeer late(broker.address(), "late");
  std::string retained;
  ASSERT_TRUE(late.Connect() && late.Subscribe(topic));
  EXPECT_TRUE(late.Take(topic, &retained) && retained == "online") << "a robot that comes later learns it too";

  ASSERT_EQ(::kill(daemon_.pid(), SIGKILL), 0);
  EXPECT_EQ(next(), "offline") << "the will, published by the broker";
  daemon_.Stop();
  ASSERT_TRUE(Start(sim.command_port(), broker.address()));
  EXPECT_EQ(next(), "online") << daemon_.Log();
  daemon_.Stop();
  EXPECT_EQ(next(), "offline") << "a stopped service is gone too";
}

// A stopped service leaves nothing on: the lamp a robot asked for is switched off and the
// board reset before the process exits, with status 0.
TEST_F(DaemonTest, AStopSwitchesEverythingOffBeforeTheExit) {
  station_sim::StationSim sim;
  ASSERT_TRUE(sim.Start());
  sim.Dock(true);
  MosquittoBroker broker;
  ASSERT_TRUE(broker.Start());
  ASSERT_TRUE(Start(sim.command_port(), broker.address()));
  sim.SetSensorTarget("127.0.0.1", sensor_port_);
  ASSERT_TRUE(LampOn(sim, broker.address(), 600)) << daemon_.Log();
  const int resets = sim.board_resets();

  EXPECT_EQ(daemon_.Stop(), 0) << daemon_.Log();
  EXPECT_FALSE(sim.ActuatorOn(station::ENUM_SUPPLY_UV_LAMP)) << daemon_.Log();
  EXPECT_GT(sim.board_resets(), resets) << "the catch-all reset";
  EXPECT_TRUE(daemon_.Logged("stopping: every task cancelled and every output switched off")) << daemon_.Log();
}

// The wall clock set back an hour, then forward a year, while the lamp runs for 8 s:
// it goes off neither at once nor an hour late, and neither the sensor link nor the
// board is taken for lost.
TEST_F(DaemonTest, SettingTheWallClockMovesNoTimeLimit) {
  const std::string faketime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";
  if (::access(faketime.c_str(), R_OK) != 0) {
    GTEST_SKIP() << "needs the faketime package";
  }
  station_sim::StationSim sim;
  ASSERT_TRUE(sim.Start());
  sim.Dock(true);
  MosquittoBroker broker;
  ASSERT_TRUE(broker.Start());
  const std::string offset = root_.path() + "/faketime";
  const auto set_wall = [&](const char* to) { std::ofstream(offset, std::ios::trunc) << to << "\n"; };
  set_wall("+0");
  ASSERT_TRUE(Start(sim.command_port(), broker.address(), 10,
                    {"LD_PRELOAD=" + faketime, "FAKETIME_TIMESTAMP_FILE=" + offset, "FAKETIME_NO_CACHE=1",
                     "FAKETIME_DONT_FAKE_MONOTONIC=1"}));
  sim.SetSensorTarget("127.0.0.1", sensor_port_);
  ASSERT_TRUE(LampOn(sim, broker.address(), 8)) << daemon_.Log();
  const auto on_since = std::chrono::steady_clock::now();
  set_wall("-1h");
  EXPECT_TRUE(WaitUntil([&] { return daemon_.Logged("wall clock stepped by -3"); })) << daemon_.Log();
  set_wall("+365d");
  EXPECT_TRUE(WaitUntil([&] { return daemon_.Logged("wall clock stepped by 315"); })) << daemon_.Log();
  // Not an hour: the deadline is far below it.
  ASSERT_TRUE(WaitUntil([&] { return !sim.ActuatorOn(station::ENUM_SUPPLY_UV_LAMP); }, Seconds(60)));
  EXPECT_GE(std::chrono::steady_clock::now() - on_since, std::chrono::milliseconds(7000)) << "not cut short";
  for (const char* lost : {"ErrorCode: 101900082", "ErrorCode: 101900084", "not trusted"}) {
    EXPECT_FALSE(daemon_.Logged(lost)) << lost << "\n" << daemon_.Log();
  }
}

// A request far larger than any real one is refused unread in one short line; a long one is
// served, and no payload or reply goes into the log longer than about a kilobyte.
TEST_F(DaemonTest, OversizedRequestsAreRefusedAndLongPayloadsLoggedShort) {
  station_sim::StationSim sim;
  ASSERT_TRUE(sim.Start());
  sim.Dock(true);
  MosquittoBroker broker;
  ASSERT_TRUE(broker.Start());
  ASSERT_TRUE(Start(sim.command_port(), broker.address()));
  sim.SetSensorTarget("127.0.0.1", sensor_port_);
  char host[64] = {};
  ::gethostname(host, sizeof(host) - 1);
  const std::string check = "clean_robot_station/" + std::string(host) + "/checkStation";
  MqttPeer robot(broker.address(), "robot");
  ASSERT_TRUE(robot.Connect() && robot.Subscribe(check + "Re"));
  const auto request = [](const std::string& id) {
    return R"({"reqHeader":{"msgId":{"uuid":")" + id + R"("}},"checkType":"ENUM_IN_POSE"})";
  };
  const auto ask = [&](const std::string& id, std::string* reply, std::chrono::milliseconds wait = Seconds(20)) {
    return robot.Publish(check, request(id)) && robot.Take(check + "Re", reply, wait);
  };
  std::string reply;
  const auto ready = [&] {
    return ask("ready", &reply, std::chrono::milliseconds(500)) && reply.find("robotCheck\":1") != std::string::npos;
  };
  ASSERT_TRUE(WaitUntil(ready, Seconds(90))) << daemon_.Log();
  while (robot.Take(check + "Re", nullptr, std::chrono::milliseconds(500))) {
  }

  const std::string long_id = "long" + std::string(20000, 'x');
  ASSERT_TRUE(ask(long_id, &reply));
  EXPECT_NE(reply.find(long_id + "\""), std::string::npos) << "a long request is still served";
  EXPECT_NE(reply.find(R"("errCode":0)"), std::string::npos);
  ASSERT_TRUE(ask("huge" + std::string(1 << 20, 'x'), &reply));
  EXPECT_EQ(reply, R"({"rspHeader":{"errCode":3,"errMsg":"req data convert to message failed"},)"
                   R"("robotCheck":0,"checkType":0})");
  ASSERT_TRUE(ask("after", &reply)) << "the station goes on serving";

  ASSERT_TRUE(WaitUntil([&] { return daemon_.Logged("bytes refused"); })) << daemon_.Log().substr(0, 4000);
  const std::string log = daemon_.Log();
  EXPECT_EQ(log.find("bytes refused"), log.rfind("bytes refused")) << "one line for the refusal";
  EXPECT_NE(log.find("checkStation message of 1048"), std::string::npos);
  EXPECT_NE(log.find("... (" + std::to_string(request(long_id).size()) + " bytes)"), std::string::npos)
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
