// The daemon as systemd runs it: readiness, status lines and watchdog pings
// arrive on the socket named by NOTIFY_SOCKET.

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "sim/station_sim.h"
#include "support/mosquitto.h"
#include "support/test_support.h"
#include "systemd/notify_fixture.h"

namespace station_center {
namespace {

using station_test::Notification;
using station_test::WaitUntil;
using std::chrono::seconds;

class DaemonNotifyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(listener_.ok()); }

  // The station tree: the board at `board_port`, the broker at `broker_address`.
  void Prepare(uint16_t board_port, const std::string& broker_address, int board_wait = 10) {
    sensor_port_ = station_test::FreeLoopbackPort();
    const std::string config_dir = "/usr/lib/vantorel-station-center/config/";
    root_.WriteFile(config_dir + "config.json",
                    "{\"station_id\": \"station-xx\", \"embedded_ip\": \"127.0.0.1\", \"soc_ip\": \"127.0.0.1\", "
                    "\"embedded_action_port\": " +
                        std::to_string(board_port) + ", \"soc_data_server_port\": " + std::to_string(sensor_port_) +
                        ", \"connect_embedded_board_time\": " + std::to_string(board_wait) +
                        ", \"bottom_action_timeout\": 5, \"mqtt_keep_alive_interval\": 5}");
    root_.WriteFile(config_dir + "led.json", R"({"station_reset": 1, "led_normal_work": 100})");
    root_.WriteFile("/usr/lib/vantorel-station-center/status/status.json",
                    "{\"dust_bag_last_replace_time\": " + std::to_string(time(nullptr)) +
                        ", \"hardware\": \"dvt3\", \"mqtt_server_address\": \"" + broker_address + "\"}");
  }

  bool StartDaemon(bool watchdog) {
    std::vector<std::string> env = {"STATION_CENTER_ROOT=" + root_.path(), "SPDLOG_STDOUT=true", "SPDLOG_SYSTEMD=false",
                                    "SPDLOG_LEVEL=info", "NOTIFY_SOCKET=" + listener_.path()};
    if (watchdog) {
      env.push_back("WATCHDOG_USEC=90000000");
    }
    return station_test::StartDaemon(daemon_, env, root_.path() + "/daemon.log");
  }

  // Waits for a STATUS= line containing `text`.
  bool StatusShows(const std::string& text, seconds timeout = seconds(90)) {
    return WaitUntil(
        [&] {
          for (const Notification& n : listener_.With("STATUS")) {
            std::string status;
            n.Get("STATUS", &status);
            if (status.find(text) != std::string::npos) return true;
          }
          return false;
        },
        timeout);
  }

  std::string Statuses() {
    std::string all;
    for (const Notification& n : listener_.With("STATUS")) all += n.text + "\n";
    return all;
  }

  station_test::TempRoot root_;
  station_test::NotifyListener listener_;
  station_test::ChildProcess daemon_;
  uint16_t sensor_port_ = 0;
};

TEST_F(DaemonNotifyTest, NoReadinessWhenTheCoreCannotStart) {
  Prepare(station_test::FreeLoopbackPort(), "127.0.0.1:1", 2);
  ASSERT_TRUE(StartDaemon(true));
  ASSERT_TRUE(WaitUntil([&] { return daemon_.ExitStatus() != -1; }, seconds(90))) << daemon_.Log();
  EXPECT_EQ(daemon_.ExitStatus(), 255) << daemon_.Log();
  EXPECT_TRUE(listener_.With("READY").empty());
  EXPECT_TRUE(listener_.With("WATCHDOG").empty());
}

// Ready once the core runs, then the status line follows the station and the broker.
TEST_F(DaemonNotifyTest, ReadyAfterStartUpThenStatusFollowsStationAndBroker) {
  station_sim::StationSim sim;
  ASSERT_TRUE(sim.Start());
  station_test::MosquittoBroker broker;
  Prepare(sim.command_port(), broker.address());
  sim.SetSensorTarget("127.0.0.1", sensor_port_);
  ASSERT_TRUE(StartDaemon(false));

  ASSERT_TRUE(WaitUntil([&] { return !listener_.With("READY").empty(); }, seconds(90))) << daemon_.Log();
  // Ready means started: the board link was up and the start-up reset admitted.
  EXPECT_GE(sim.command_accepts(), 1u);
  const Notification ready = listener_.With("READY").front();
  std::string status;
  ASSERT_TRUE(ready.Get("STATUS", &status)) << "the first status line comes with READY=1";
  EXPECT_NE(status.find("broker not connected"), std::string::npos) << status;

  // The start-up reset ends; with the broker still down the station is idle and alone.
  EXPECT_TRUE(WaitUntil([&] { return sim.board_resets() >= 1; }, seconds(90))) << daemon_.Log();
  EXPECT_TRUE(StatusShows("normal; no task; broker not connected")) << Statuses() << daemon_.Log();

  ASSERT_TRUE(broker.Start());
  EXPECT_TRUE(StatusShows("normal; no task; broker connected")) << Statuses() << daemon_.Log();

  // Losing the broker resets the station; the line says so and comes back to idle.
  const size_t before = listener_.With("STATUS").size();
  broker.Stop();
  EXPECT_TRUE(WaitUntil(
      [&] {
        const auto statuses = listener_.With("STATUS");
        std::string last;
        return statuses.size() > before && statuses.back().Get("STATUS", &last) &&
               last == "normal; no task; broker not connected";
      },
      seconds(120)))
      << Statuses() << daemon_.Log();

  EXPECT_EQ(listener_.With("READY").size(), 1u);
  EXPECT_TRUE(listener_.With("WATCHDOG").empty()) << "systemd asked for no watchdog";
  EXPECT_EQ(daemon_.ExitStatus(), -1) << daemon_.Log();
}

// Pings come from the housekeeping loop after each completed pass: a pass that
// waits on the board delays the next ping, so a core stuck behind a lock would
// stop them altogether.
TEST_F(DaemonNotifyTest, WatchdogPingsFollowCompletedHousekeepingPasses) {
  station_sim::StationSim sim;
  ASSERT_TRUE(sim.Start());
  // Every LED command is answered late and refused, so every pass sends one again.
  sim.RefuseLed(true);
  sim.SetAckDelayMs(2500);
  Prepare(sim.command_port(), "127.0.0.1:1");
  sim.SetSensorTarget("127.0.0.1", sensor_port_);
  ASSERT_TRUE(StartDaemon(true));

  ASSERT_TRUE(WaitUntil([&] { return listener_.With("WATCHDOG").size() >= 4; }, seconds(120))) << daemon_.Log();
  const auto slow = listener_.With("WATCHDOG");
  for (size_t i = 1; i < slow.size(); ++i) {
    EXPECT_GE(slow[i].at - slow[i - 1].at, std::chrono::milliseconds(2400)) << "ping " << i << " before the pass ended";
  }
  const auto ready = listener_.With("READY");
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_LE(ready.front().at, slow.front().at) << "no ping before READY=1";

  // Board answers at once again: about one ping a second, never more.
  sim.ClearFaults();
  const size_t first_fast = slow.size() + 2;  // one pass may still be waiting
  ASSERT_TRUE(WaitUntil([&] { return listener_.With("WATCHDOG").size() >= first_fast + 5; }, seconds(60)))
      << daemon_.Log();
  const auto pings = listener_.With("WATCHDOG");
  const auto fast = std::vector<Notification>(pings.begin() + static_cast<long>(first_fast), pings.end());
  for (size_t i = 1; i < fast.size(); ++i) {
    EXPECT_GE(fast[i].at - fast[i - 1].at, std::chrono::milliseconds(900)) << "ping " << i;
  }
  EXPECT_LT(fast.back().at - fast.front().at, std::chrono::milliseconds(2400) * static_cast<long>(fast.size() - 1))
      << "the pings did not speed up once the board answered";
  EXPECT_EQ(daemon_.ExitStatus(), -1) << daemon_.Log();
}

}  // namespace
}  // namespace station_center
