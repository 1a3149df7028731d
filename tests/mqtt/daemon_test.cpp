// The daemon as a process (support/station_processes.h) through broker outages and wall
// clock steps.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <string>
#include <vector>

#include "mqtt/mqtt_peer.h"
#include "support/station_processes.h"

namespace station_test {
namespace {

using Seconds = std::chrono::seconds;
using Millis = std::chrono::milliseconds;

struct Outage {
  const char* name;
  bool tls;  // the station on the broker's TLS listener, the robot on its plain one
};

class BrokerOutageTest : public ::testing::TestWithParam<Outage> {
 protected:
  void SetUp() override { ASSERT_TRUE(!GetParam().tls || certs_.Make()) << certs_.Log(); }

  // A fresh robot: its position check is answered, the periodic upload arrives and the
  // station says, retained, that it is there.
  bool Served(const std::string& id, Seconds limit) {
    MqttPeer robot(station_->broker.address(), id);
    std::string reply, online;
    const std::string check = station_->Topic("checkStation");
    const auto answered = [&] {
      robot.Publish(check, R"({"checkType":"ENUM_IN_POSE"})");
      return robot.Take(check + "Re", &reply, Millis(500)) && Has(reply, R"("robotCheck":1)");
    };
    const auto announced = [&] {
      return robot.Take(station_->Topic("availability"), &online, Millis(500)) && online == "online";
    };
    return robot.Connect() && robot.Subscribe("clean_robot_station/#") && WaitUntil(answered, limit) &&
           robot.Take("clean_robot_station/reportActively", nullptr) && WaitUntil(announced);
  }

  TestCertificates certs_;
  std::unique_ptr<StationProcesses> station_ =
      std::make_unique<StationProcesses>(GetParam().tls ? std::optional<TlsListener>(certs_.Server()) : std::nullopt);
};

// One station's life: it starts while the broker is down, serves the robot once the broker
// is up, resets when the broker goes away or freezes, serves again after reconnecting, and
// is announced gone by the broker's will when killed.
TEST_P(BrokerOutageTest, ServesTheRobotAcrossBrokerOutages) {
  StationProcesses& s = *station_;
  const std::string config =
      "\"bottom_action_timeout\": 2, \"mqtt_keep_alive_interval\": 5, "
      "\"upload_station_info_to_cloud_interval\": 1";
  if (GetParam().tls) {
    s.Write(config + ", \"mqtt_tls_ca_file\": \"" + certs_.ca() + "\"", s.broker.tls_address());
  } else {
    s.Write(config);
  }
  ASSERT_TRUE(s.StartBoard() && s.Console("dock"));
  ASSERT_TRUE(s.StartDaemon());
  // Without a broker the station still resets itself and drives its lamps.
  ASSERT_TRUE(s.Await([&] { return s.daemon.Logged("mqtt client init failed"); })) << s.daemon.Log();
  EXPECT_TRUE(s.AwaitState([](const SimState& st) { return st.board_resets >= 1 && st.led > 0; }));

  ASSERT_TRUE(s.broker.Start()) << s.broker.Log();
  ASSERT_TRUE(Served("robot", Seconds(90))) << s.daemon.Log();
  const double resets = s.State().board_resets;
  s.broker.Stop();
  EXPECT_TRUE(s.AwaitState([&](const SimState& st) { return st.board_resets > resets; })) << s.daemon.Log();
  // A broker away is no TLS failure: missed tries are logged as with plain MQTT.
  EXPECT_TRUE(s.Await([&] { return s.daemon.Logged("broker not reached"); })) << s.daemon.Log();
  // The station reconnects by itself and subscribes again.
  ASSERT_TRUE(s.broker.Start());
  ASSERT_TRUE(Served("robot2", Seconds(120))) << s.daemon.Log();
  // A broker restarted at once is retried within a second or two, not after the half
  // minute a first retry used to wait.
  s.broker.Stop();
  ASSERT_TRUE(s.broker.Start());
  EXPECT_TRUE(Served("robot3", Seconds(15))) << s.daemon.Log();
  // A broker frozen with its sockets open is noticed by the keep-alive: the station resets
  // as for a broker gone, and serves again once the broker wakes.
  const double before = s.State().board_resets;
  ASSERT_EQ(::kill(s.broker.pid(), SIGSTOP), 0);
  const bool noticed = s.AwaitState([&](const SimState& st) { return st.board_resets > before; });
  ::kill(s.broker.pid(), SIGCONT);
  EXPECT_TRUE(noticed) << s.daemon.Log();
  EXPECT_TRUE(Served("robot4", Seconds(120))) << s.daemon.Log();
  EXPECT_FALSE(s.daemon.Logged("TLS connection to broker")) << s.daemon.Log();
  if (GetParam().tls) {
    EXPECT_TRUE(Has(s.broker.Log(), "on port " + std::to_string(s.broker.tls_port()))) << s.broker.Log();
  }

  MqttPeer watcher(s.broker.address(), "watcher");
  std::string state;
  ASSERT_TRUE(watcher.Connect() && watcher.Subscribe(s.Topic("availability")));
  ASSERT_EQ(::kill(s.daemon.pid(), SIGKILL), 0);
  EXPECT_TRUE(WaitUntil([&] {
    return watcher.Take(s.Topic("availability"), &state, Millis(500)) && state == "offline";
  })) << "the will, published by the broker";
  EXPECT_TRUE(s.CleanLogs());
}

INSTANTIATE_TEST_SUITE_P(Broker, BrokerOutageTest, ::testing::Values(Outage{"Plain", false}, Outage{"Tls", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The wall clock set back an hour, then forward a year, while disinfectant dissolves for
// 10 s, the lamp runs for 8 s and the sewage pump runs on for 6 s: each ends neither at
// once nor an hour late,
// neither the sensor link nor the board is taken for lost, no dust-bag date is
// distrusted, and every command gets its own reply.
TEST(DaemonClockTest, SettingTheWallClockMovesNoTimeLimit) {
  const std::string faketime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";
  if (::access(faketime.c_str(), R_OK) != 0) {
    GTEST_SKIP() << "needs the faketime package";
  }
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a preloaded clock does not mix with the sanitizer runtimes";
#endif
  StationProcesses s;
  ASSERT_TRUE(s.broker.Start()) << s.broker.Log();
  s.Write(
      "\"bottom_action_timeout\": 2, \"sewage_pump_continue_work_time\": 6, "
      "\"disinfectant_table_dissolution_time\": 10");
  ASSERT_TRUE(s.StartBoard() && s.Console("dock"));
  const std::string offset = s.root.path() + "/faketime";
  const auto set_wall = [&](const char* to) { std::ofstream(offset, std::ios::trunc) << to << "\n"; };
  set_wall("+0");
  ASSERT_TRUE(s.StartDaemon({"LD_PRELOAD=" + faketime, "FAKETIME_TIMESTAMP_FILE=" + offset, "FAKETIME_NO_CACHE=1",
                             "FAKETIME_DONT_FAKE_MONOTONIC=1"}));
  ASSERT_TRUE(s.Await([&] { return s.daemon.Logged("reset station task success"); }, Seconds(90)));
  ASSERT_TRUE(s.Robot({"prewater", "--tablets", "1", "--volume", "1"}, 0)) << s.daemon.Log();
  ASSERT_TRUE(s.Await([&] { return s.daemon.Logged("Disinfectant tables ready"); }, Seconds(120))) << s.daemon.Log();
  const auto dissolving_since = std::chrono::steady_clock::now();
  ASSERT_TRUE(s.Await(
      [&] {
        return s.Robot({"supply", "uv-lamp", "--action", "standard", "--duration", "8"}, 0);
      },
      Seconds(60)))
      << s.daemon.Log();
  ASSERT_TRUE(s.AwaitState([](const SimState& st) { return Has(st.actuators, "uv("); }));
  const auto on_since = std::chrono::steady_clock::now();
  ASSERT_TRUE(s.Console("sewage 2000"));  // the pump drains it, then runs on
  ASSERT_TRUE(s.AwaitState([](const SimState& st) { return Has(st.actuators, "sewage("); }));
  set_wall("-1h");
  EXPECT_TRUE(WaitUntil([&] { return s.daemon.Logged("wall clock stepped by -3"); })) << s.daemon.Log();
  set_wall("+365d");
  EXPECT_TRUE(WaitUntil([&] { return s.daemon.Logged("wall clock stepped by 315"); })) << s.daemon.Log();
  // Not an hour: the deadline is far below it.
  ASSERT_TRUE(s.AwaitState([](const SimState& st) { return !Has(st.actuators, "uv("); }, Seconds(60)));
  EXPECT_GE(std::chrono::steady_clock::now() - on_since, std::chrono::milliseconds(7000)) << "not cut short";
  EXPECT_TRUE(s.AwaitState([](const SimState& st) { return !Has(st.actuators, "sewage("); }, Seconds(60)));
  EXPECT_GE(std::chrono::steady_clock::now() - on_since, std::chrono::milliseconds(6000)) << "run-on not cut short";
  EXPECT_TRUE(s.Await([&] { return s.Robot({"check", "water-ready"}, 0); }, Seconds(60)));
  EXPECT_GE(std::chrono::steady_clock::now() - dissolving_since, std::chrono::milliseconds(9000))
      << "dissolution not cut short";
  for (const char* lost : {"ErrorCode: 101900082", "ErrorCode: 101900084", "not trusted", "not this request"}) {
    EXPECT_FALSE(s.daemon.Logged(lost)) << lost << "\n" << s.daemon.Log();
  }
}

}  // namespace
}  // namespace station_test
