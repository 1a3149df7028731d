// The daemon as systemd runs it: readiness, status lines and watchdog pings on
// NOTIFY_SOCKET.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "kit/notify.h"
#include "sd_notify.h"
#include "sim/station_sim.h"
#include "support/mosquitto.h"
#include "support/test_support.h"

namespace station_center {
namespace {

using station_test::WaitUntil;
using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(ServiceStatusTextTest, NamesStatusTasksAndBroker) {
  // The task table is a hash map: the same tasks must give the same line whatever their order.
  EXPECT_EQ(ServiceStatusText(0, {9, 5}, true), "normal; tasks: add-water, dry; broker connected");
  EXPECT_EQ(ServiceStatusText(0, {5, 9}, true), "normal; tasks: add-water, dry; broker connected");
  // Values from a newer core still show, as numbers.
  EXPECT_EQ(ServiceStatusText(7, {42, 14}, true), "status 7; tasks: add-water-no-limit, 42; broker connected");
  EXPECT_EQ(ServiceStatusText(0, {}, false, true),
            "normal; no task; broker not connected (TLS certificate NOT verified)");
}

// systemd's end of NOTIFY_SOCKET, and a station tree for the daemon.
class NotifyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(notify_.Start(path_)); }
  std::vector<kit::NotifyListener::Note> With(const std::string& key = "") { return notify_.With(key); }
  // Waits for `text` to be the latest status line; after READY=1, which carries the first.
  bool StatusIs(const std::string& text) {
    return WaitUntil([&] { return With("STATUS").back().Get("STATUS") == text; }, seconds(120));
  }

  // Writes the station tree (board at `board_port`, broker at `broker`) and starts the daemon
  // on it, with systemd's watchdog asked for.
  bool StartDaemon(uint16_t board_port, const std::string& broker, int board_wait = 10) {
    root_.WriteStation(board_port, sensor_port_, broker,
                       "\"connect_embedded_board_time\": " + std::to_string(board_wait) +
                           ", \"bottom_action_timeout\": 5, \"mqtt_keep_alive_interval\": 5");
    // STATION_CENTER_ROOT comes from root_.
    const std::vector<std::string> env = {"SPDLOG_STDOUT=true", "SPDLOG_SYSTEMD=false", "SPDLOG_LEVEL=info",
                                          "WATCHDOG_USEC=90000000", "NOTIFY_SOCKET=" + path_};
    // A cross build runs under its emulator: the kernel may not run an Arm binary by itself.
    std::vector<std::string> command = {STATION_TEST_EMULATOR, station_test::BuiltProgram("station_center")};
    if (command[0].empty()) command.erase(command.begin());
    return daemon_.Start(command[0], {command.begin() + 1, command.end()}, env, root_.path() + "/daemon.log");
  }

  const std::string path_ = "@station-notify-" + std::to_string(::getpid());
  kit::NotifyListener notify_;
  station_test::TempRoot root_;
  station_test::ChildProcess daemon_;
  const uint16_t sensor_port_ = station_test::FreeLoopbackPort();
};

TEST_F(NotifyTest, NothingIsSentUnlessSystemdAskedThisProcess) {
  ::setenv("NOTIFY_SOCKET", path_.c_str(), 1);
  ServiceNotifier notifier;
  notifier.Watchdog();  // no watchdog asked for
  ::setenv("WATCHDOG_USEC", "90000000", 1);
  ::setenv("WATCHDOG_PID", std::to_string(::getpid() + 1).c_str(), 1);
  notifier.Watchdog();  // the watchdog belongs to another process
  EXPECT_TRUE(With().empty());
  ::setenv("WATCHDOG_PID", std::to_string(::getpid()).c_str(), 1);
  notifier.Watchdog();
  EXPECT_EQ(With("WATCHDOG").size(), 1u);

  // No socket, or one that has gone away (systemd restarted): nothing sent, nothing fails.
  for (const char* socket : {static_cast<const char*>(nullptr), "/nonexistent/notify"}) {
    socket != nullptr ? ::setenv("NOTIFY_SOCKET", socket, 1) : ::unsetenv("NOTIFY_SOCKET");
    notifier.Ready("normal; no task; broker connected");
    notifier.Status("normal; no task; broker not connected");
    notifier.Watchdog();
  }
  EXPECT_EQ(With().size(), 1u);
  for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"}) ::unsetenv(name);
}

TEST_F(NotifyTest, NoReadinessWhenTheCoreCannotStart) {
  ASSERT_TRUE(StartDaemon(station_test::FreeLoopbackPort(), "127.0.0.1:1", 2));
  EXPECT_TRUE(WaitUntil([&] { return daemon_.ExitStatus() == 255; }, seconds(90))) << daemon_.Log();
  EXPECT_TRUE(With("READY").empty() && With("WATCHDOG").empty());
}

// A board that answers every LED command late and refuses it keeps each
// housekeeping pass waiting on the board: a bounded wait, so the pings go on.
TEST_F(NotifyTest, ReadyThenPingsThroughASlowBoardAndStatusFollowsTheBroker) {
  station_sim::StationSim sim;
  ASSERT_TRUE(sim.Start());
  sim.SetSensorTarget("127.0.0.1", sensor_port_);
  sim.RefuseLed(true);
  sim.SetAckDelayMs(2500);
  station_test::MosquittoBroker broker;  // started later
  ASSERT_TRUE(StartDaemon(sim.command_port(), broker.address()));

  ASSERT_TRUE(WaitUntil([&] { return !With("READY").empty(); }, seconds(120))) << daemon_.Log();
  // Ready means started: the board link was up and the start-up reset admitted.
  EXPECT_GE(sim.command_accepts(), 1u);
  // The first status line comes with READY=1.
  EXPECT_NE(With("READY").front().Get("STATUS").find("broker not connected"), std::string::npos);
  ASSERT_TRUE(WaitUntil([&] { return With("WATCHDOG").size() >= 8; }, seconds(120))) << daemon_.Log();
  const auto all = With();
  const auto first = [&](const char* key) {
    return std::find_if(all.begin(), all.end(), [&](const auto& note) { return !note.Get(key).empty(); });
  };
  EXPECT_LT(first("READY"), first("WATCHDOG")) << "no ping before READY=1";
  sim.ClearFaults();

  // The start-up reset has ended; with the broker still down the station is idle and alone.
  EXPECT_TRUE(WaitUntil([&] { return sim.board_resets() >= 1; }, seconds(90))) << daemon_.Log();
  // With the reason, as the last attempt found it.
  const std::string away = "normal; no task; broker not connected (not reachable: nothing listens there, or no route)";
  EXPECT_TRUE(StatusIs(away)) << daemon_.Log();
  ASSERT_TRUE(broker.Start());
  EXPECT_TRUE(StatusIs("normal; no task; broker connected")) << daemon_.Log();

  // Losing the broker resets the station, which comes back to idle, and the line says so.
  broker.Stop();
  EXPECT_TRUE(StatusIs(away)) << daemon_.Log();
  const auto statuses = With("STATUS");  // a repeated line is not sent again
  for (size_t i = 1; i < statuses.size(); ++i) EXPECT_NE(statuses[i].Get("STATUS"), statuses[i - 1].Get("STATUS"));
  EXPECT_EQ(With("READY").size(), 1u);
  EXPECT_EQ(daemon_.ExitStatus(), -1) << daemon_.Log();
}

}  // namespace
}  // namespace station_center
