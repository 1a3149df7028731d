// The daemon as systemd runs it: readiness, status lines and watchdog pings on
// NOTIFY_SOCKET; and the Debian packages of this build, installed with dpkg into a
// temporary root: what they carry, and what the maintainer scripts do to a station's files.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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
namespace fs = std::filesystem;

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

// Runs `command` through the shell, appending its output to `out`; returns its exit status.
int Shell(const std::string& command, std::string* out) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  char buffer[4096];
  for (size_t n = 0; pipe != nullptr && (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) out->append(buffer, n);
  const int status = pipe != nullptr ? ::pclose(pipe) : -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PackageTest, PackagesInstallDefaultsOnlyWhereTheStationHasNone) {
  // Packages made afresh from this build. cpack also writes install manifests into
  // the build directory: one run at a time.
  station_test::TempRoot tmp;
  const fs::path root = tmp.Under("/root");
  const std::string packages = tmp.Under("/packages/"), daemon = packages + "vantorel-station-center_*.deb";
  std::string out;
  const std::string cpack = "flock " STATION_BUILD_DIR "/.package-test.lock " STATION_CPACK
                            " --config " STATION_BUILD_DIR "/CPackConfig.cmake -B ";
  ASSERT_EQ(Shell(cpack + packages, &out), 0) << out;

  // dpkg on the temporary root: maintainer scripts run outside a chroot with
  // DPKG_ROOT naming the root, which has none of the dependencies.
  for (const char* dir : {"info", "updates", "triggers"}) fs::create_directories(root / "var/lib/dpkg" / dir);
  std::ofstream(root / "var/lib/dpkg/status").close();
  const std::string dpkg = "dpkg --root=" + root.string() +
                           " --log=/dev/null --force-script-chrootless --force-depends --force-architecture" +
                           (::geteuid() != 0 ? " --force-not-root" : "");
  ASSERT_EQ(Shell(dpkg + " -i " + daemon + " " + packages + "vantorel-station-center-tools_*.deb", &out), 0) << out;
  const auto read = [&](const std::string& rel) { return tmp.ReadFile("/root/" + rel); };
  const std::string config = "usr/lib/vantorel-station-center/config/", shipped = "usr/share/vantorel-station-center/";
  EXPECT_EQ(read(config + "config.json"), read(shipped + "config.json"));
  EXPECT_EQ(read(config + "led.json"), read(shipped + "led.json"));
  utsname u{};
  ::uname(&u);
  // The library in the multiarch directory, where the dynamic loader of that architecture looks.
  const std::string files = "usr/sbin/station_center usr/bin/board_sim usr/bin/stationctl usr/lib/" +
                            std::string(u.machine) + "-linux-gnu/libvantorel-hardware.so.1";
  EXPECT_EQ(Shell("cd " + root.string() + " && ls " + files, &out), 0) << out;
  // The daemon speaks the notify protocol and pings the watchdog: the unit must expect both.
  const std::string units = "usr/lib/systemd/system/", unit = units + "vantorel-station-center.service";
  EXPECT_NE(read(unit).find("Type=notify\n"), std::string::npos) << read(unit);
  EXPECT_NE(read(unit).find("WatchdogSec="), std::string::npos) << read(unit);
  // Where the host has systemd, the unit as installed verifies against the host's own units.
  if (Shell("command -v systemd-analyze", &out) == 0 && fs::exists("/" + units + "sysinit.target")) {
    ASSERT_EQ(Shell("cp -rn /" + units + ". " + (root / units).string(), &out), 0) << out;
    std::string verify;  // settings it cannot parse are only warned about: any output counts
    EXPECT_EQ(Shell("systemd-analyze verify --root=" + root.string() + " /" + unit, &verify), 0);
    EXPECT_EQ(verify, "");
  }
  // Dependencies come from the libraries actually linked.
  std::string depends;
  ASSERT_EQ(Shell("dpkg-deb -f " + daemon + " Depends", &depends), 0);
  for (const char* dep : {"libprotobuf", "libpaho-mqttpp3", "libspdlog", "libsystemd0", "iputils-ping"})
    EXPECT_NE(depends.find(dep), std::string::npos) << dep << " missing from " << depends;
  EXPECT_EQ(depends.find("gtest"), std::string::npos) << depends;

  // The station's own files belong to the station: its changes survive a second
  // install (an upgrade); what is missing comes back.
  std::ofstream(root / config / "config.json", std::ios::trunc) << R"({"station_id": "station-7"})";
  fs::remove(root / config / "led.json");
  ASSERT_EQ(Shell(dpkg + " -i " + daemon, &out), 0) << out;
  EXPECT_EQ(read(config + "config.json"), R"({"station_id": "station-7"})");
  EXPECT_EQ(read(config + "led.json"), read(shipped + "led.json"));
}

}  // namespace
}  // namespace station_center
