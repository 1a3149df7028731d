// The daemon as systemd runs it: readiness, status lines and watchdog pings on
// NOTIFY_SOCKET.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "sd_notify.h"
#include "sim/station_sim.h"
#include "support/child_process.h"
#include "support/mosquitto.h"
#include "support/test_support.h"

namespace station_center {
namespace {

using station_test::WaitUntil;
using std::chrono::milliseconds;
using std::chrono::seconds;

struct Notification {
  std::chrono::steady_clock::time_point at;
  std::string text;  // "KEY=value" lines

  // The value of `key`, empty when the datagram does not carry it.
  std::string Get(const std::string& key) const {
    std::smatch m;
    return std::regex_search(text, m, std::regex("(^|\n)" + key + "=([^\n]*)")) ? m[2].str() : "";
  }
};

TEST(ServiceStatusTextTest, NamesStatusTasksAndBroker) {
  // The task table is a hash map: the same tasks must give the same line whatever their order.
  EXPECT_EQ(ServiceStatusText(0, {9, 5}, true), "normal; tasks: add-water, dry; broker connected");
  EXPECT_EQ(ServiceStatusText(0, {5, 9}, true), "normal; tasks: add-water, dry; broker connected");
  // Values from a newer core still show, as numbers.
  EXPECT_EQ(ServiceStatusText(7, {42, 14}, true), "status 7; tasks: add-water-no-limit, 42; broker connected");
  EXPECT_EQ(ServiceStatusText(0, {}, false, true),
            "normal; no task; broker not connected (TLS certificate NOT verified)");
}

// systemd's end of NOTIFY_SOCKET, a datagram socket in the abstract namespace so that there
// is no file to clean up, and a station tree for the daemon.
class NotifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, path_.data() + 1, path_.size() - 1);  // sun_path[0] stays 0
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path_.size());
    ASSERT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len), 0);
    // Datagrams are stamped as they arrive, not when a test gets round to reading them.
    reader_ = std::thread([this] {
      pollfd readable = {fd_, POLLIN, 0};
      while (!stop_) {
        if (::poll(&readable, 1, 50) > 0) Receive();
      }
    });
  }
  ~NotifyTest() override {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    ::close(fd_);
  }

  // The datagrams received so far carrying `key` (all of them for ""), in order.
  std::vector<Notification> With(const std::string& key = "") {
    Receive();  // also those sent a moment ago by this very thread
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Notification> out;
    for (const Notification& note : received_) {
      if (key.empty() || !note.Get(key).empty()) out.push_back(note);
    }
    return out;
  }
  // Takes every datagram waiting on the socket.
  void Receive() {
    std::lock_guard<std::mutex> lock(mutex_);
    char buffer[4096];
    for (ssize_t n = 0; (n = ::recv(fd_, buffer, sizeof(buffer), 0)) >= 0;)
      received_.push_back({std::chrono::steady_clock::now(), std::string(buffer, static_cast<size_t>(n))});
  }
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
  const int fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  std::mutex mutex_;
  std::vector<Notification> received_;  // guarded by mutex_
  std::atomic<bool> stop_{false};
  std::thread reader_;
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

// Pings come from the housekeeping loop after each completed pass: a pass that
// waits on the board delays the next ping, so a core stuck behind a lock would
// stop them altogether.
TEST_F(NotifyTest, ReadyThenPingsFollowPassesAndStatusFollowsTheBroker) {
  station_sim::StationSim sim;
  ASSERT_TRUE(sim.Start());
  sim.SetSensorTarget("127.0.0.1", sensor_port_);
  // Every LED command is answered late and refused, so every pass sends one again.
  sim.RefuseLed(true);
  sim.SetAckDelayMs(2500);
  station_test::MosquittoBroker broker;  // started later
  ASSERT_TRUE(StartDaemon(sim.command_port(), broker.address()));

  ASSERT_TRUE(WaitUntil([&] { return !With("READY").empty(); }, seconds(120))) << daemon_.Log();
  // Ready means started: the board link was up and the start-up reset admitted.
  EXPECT_GE(sim.command_accepts(), 1u);
  // The first status line comes with READY=1.
  EXPECT_NE(With("READY").front().Get("STATUS").find("broker not connected"), std::string::npos);

  ASSERT_TRUE(WaitUntil([&] { return With("WATCHDOG").size() >= 4; }, seconds(120))) << daemon_.Log();
  const auto slow = With("WATCHDOG");
  for (size_t i = 1; i < slow.size(); ++i)
    EXPECT_GE(slow[i].at - slow[i - 1].at, milliseconds(2400)) << "ping " << i << " before the pass ended";
  EXPECT_LE(With("READY").front().at, slow.front().at) << "no ping before READY=1";

  // Board answers at once again: about one ping a second, never more.
  sim.ClearFaults();
  const size_t from = slow.size() + 2;  // one pass may still be waiting
  ASSERT_TRUE(WaitUntil([&] { return With("WATCHDOG").size() >= from + 5; }, seconds(60))) << daemon_.Log();
  const auto fast = With("WATCHDOG");
  for (size_t i = from + 1; i < fast.size(); ++i)
    EXPECT_GE(fast[i].at - fast[i - 1].at, milliseconds(900)) << "ping " << i;
  EXPECT_LT(fast.back().at - fast[from].at, milliseconds(2400) * static_cast<long>(fast.size() - 1 - from))
      << "the pings did not speed up once the board answered";

  // The start-up reset has ended; with the broker still down the station is idle and alone.
  EXPECT_TRUE(WaitUntil([&] { return sim.board_resets() >= 1; }, seconds(90))) << daemon_.Log();
  EXPECT_TRUE(StatusIs("normal; no task; broker not connected")) << daemon_.Log();
  ASSERT_TRUE(broker.Start());
  EXPECT_TRUE(StatusIs("normal; no task; broker connected")) << daemon_.Log();

  // Losing the broker resets the station, which comes back to idle, and the line says so.
  broker.Stop();
  EXPECT_TRUE(StatusIs("normal; no task; broker not connected")) << daemon_.Log();
  const auto statuses = With("STATUS");  // a repeated line is not sent again
  for (size_t i = 1; i < statuses.size(); ++i) EXPECT_NE(statuses[i].Get("STATUS"), statuses[i - 1].Get("STATUS"));
  EXPECT_EQ(With("READY").size(), 1u);
  EXPECT_EQ(daemon_.ExitStatus(), -1) << daemon_.Log();
}

}  // namespace
}  // namespace station_center
