// The Debian packages of this build, installed with dpkg into a temporary root: what they
// carry, what the maintainer scripts do to a station's files and to the service's user, how
// much the unit's sandbox leaves exposed, and the installed daemon run the way the unit runs it.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "sim/station_sim.h"
#include "support/ctl_process.h"
#include "support/mosquitto.h"
#include "support/test_support.h"

namespace station_center {
namespace {

using station_test::WaitUntil;
using std::chrono::seconds;
namespace fs = std::filesystem;

const std::string kUser = "vantorel-station";
const std::string kState = "usr/lib/vantorel-station-center/";
const std::string kConfig = kState + "config/";
const std::string kUnit = "usr/lib/systemd/system/vantorel-station-center.service";

// Runs `command` through the shell, appending its output to `out`; returns its exit status.
int Shell(const std::string& command, std::string* out) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  char buffer[4096];
  for (size_t n = 0; pipe != nullptr && (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) out->append(buffer, n);
  const int status = pipe != nullptr ? ::pclose(pipe) : -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ProtectSystem=strict and ReadWritePaths= as far as a test can have them without systemd
// as PID 1: in a mount namespace of its own every mount turns read-only but the state
// directory; then setpriv to the service's user and groups with no capability and no new
// privileges, under the unit's umask. Exit status 97: this machine cannot make that sandbox.
constexpr char kSandbox[] = R"sh(
state=$1 ids=$2 groups=$3
shift 3
mount --make-rprivate / || exit 97
for m in $(cut -d' ' -f5 /proc/self/mountinfo | sort -u); do mount -o remount,bind,ro "$m" 2>/dev/null; done
mount --bind "$state" "$state" && mount -o remount,bind,rw "$state" || exit 97
as="setpriv --reuid=${ids%:*} --regid=${ids#*:} --groups=$groups --inh-caps=-all --bounding-set=-all --no-new-privs"
probe=/tmp/.station-sandbox-$$
if $as touch "$probe" 2>/dev/null; then rm -f "$probe"; exit 97; fi
$as touch "$state/.probe" && rm "$state/.probe" || exit 97
umask 077
exec $as -- "$@"
)sh";

// The packages made afresh from this build and installed into a temporary root, whose
// maintainer scripts run outside a chroot with DPKG_ROOT naming the root.
class PackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "the maintainer scripts make a user and hand it files: needs root";
    // cpack also writes install manifests into the build directory: one run at a time.
    std::string out;
    const std::string cpack = "flock " STATION_BUILD_DIR "/.package-test.lock " STATION_CPACK
                              " --config " STATION_BUILD_DIR "/CPackConfig.cmake -B ";
    ASSERT_EQ(Shell(cpack + packages_, &out), 0) << out;
    for (const char* dir : {"info", "updates", "triggers"}) fs::create_directories(root_ / "var/lib/dpkg" / dir);
    fs::create_directories(root_ / "etc");  // where the service's user is made
    std::ofstream(root_ / "var/lib/dpkg/status").close();
    ASSERT_EQ(Dpkg("-i " + daemon_deb_ + " " + packages_ + "vantorel-station-center-tools_*.deb", &out), 0) << out;
  }

  // dpkg on the root, which has none of the dependencies.
  int Dpkg(const std::string& args, std::string* out) const {
    return Shell("dpkg --root=" + root_.string() +
                     " --log=/dev/null --force-script-chrootless --force-depends --force-architecture " + args,
                 out);
  }
  std::string Read(const std::string& rel) const { return tmp_.ReadFile("/root/" + rel); }
  // Fields 3 and 4 ("uid:gid", or the gid alone for a group) of `name` in the root's
  // etc/passwd or etc/group; empty when it has no such entry.
  std::string Entry(const std::string& file, const std::string& name) const {
    std::smatch m;
    const std::string text = Read("etc/" + file);
    const std::regex line("(^|\n)" + name + ":[^:]*:([0-9]+):([0-9]*)");
    if (!std::regex_search(text, m, line)) return "";
    return file == "group" ? m[2].str() : m[2].str() + ":" + m[3].str();
  }
  // "uid:gid mode" of a file in the root.
  std::string Owner(const std::string& rel) const {
    struct stat st {};
    if (::stat((root_ / rel).c_str(), &st) != 0) return "missing";
    char mode[8];
    std::snprintf(mode, sizeof(mode), "%04o", st.st_mode & 07777);
    return std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " " + mode;
  }

  // The installed daemon in the sandbox above, on the root's files, as the service's user
  // (`ids`, "uid:gid") with the input group (`groups`).
  bool StartSandboxed(station_test::ChildProcess* daemon, const std::string& ids, const std::string& groups) const {
    utsname u{};
    ::uname(&u);
    std::vector<std::string> args = {"--mount", "sh",  "-c", kSandbox, "sandbox", (root_ / kState).string(),
                                     ids,       groups};
    // A cross build runs under its emulator: the kernel may not run an Arm binary by itself.
    if (!std::string(STATION_TEST_EMULATOR).empty()) args.push_back(STATION_TEST_EMULATOR);
    args.push_back((root_ / "usr/sbin/station_center").string());
    const std::vector<std::string> env = {
        "STATION_CENTER_ROOT=" + root_.string(),
        "LD_LIBRARY_PATH=" + (root_ / "usr/lib" / (std::string(u.machine) + "-linux-gnu")).string(),
        "SPDLOG_STDOUT=true", "SPDLOG_SYSTEMD=false", "SPDLOG_LEVEL=info"};
    return daemon->Start("/usr/bin/unshare", args, env, tmp_.Under("/daemon.log"));
  }

  station_test::TempRoot tmp_;
  const fs::path root_ = tmp_.Under("/root");
  const std::string packages_ = tmp_.Under("/packages/");
  const std::string daemon_deb_ = packages_ + "vantorel-station-center_*.deb";
};

// One station's packages from install to purge: what they carry, the service's user owning
// the station's files, an upgrade that keeps the station's own files, and removal.
TEST_F(PackageTest, InstalledUpgradedRemovedAndPurged) {
  std::string out;
  const std::string shipped = "usr/share/vantorel-station-center/";
  EXPECT_EQ(Read(kConfig + "config.json"), Read(shipped + "config.json"));
  EXPECT_EQ(Read(kConfig + "led.json"), Read(shipped + "led.json"));
  utsname u{};
  ::uname(&u);
  // The library in the multiarch directory, where the dynamic loader of that architecture looks.
  const std::string files = "usr/sbin/station_center usr/bin/board_sim usr/bin/stationctl usr/lib/" +
                            std::string(u.machine) +
                            "-linux-gnu/libvantorel-hardware.so.1 usr/lib/sysusers.d/vantorel-station-center.conf";
  EXPECT_EQ(Shell("cd " + root_.string() + " && ls " + files, &out), 0) << out;
  // The daemon speaks the notify protocol and pings the watchdog: the unit must expect both.
  EXPECT_NE(Read(kUnit).find("Type=notify\n"), std::string::npos) << Read(kUnit);
  EXPECT_NE(Read(kUnit).find("WatchdogSec="), std::string::npos) << Read(kUnit);
  EXPECT_NE(Read(kUnit).find("User=" + kUser + "\n"), std::string::npos) << Read(kUnit);
  // Where the host has systemd, the unit as installed verifies against the host's own units,
  // and the score systemd gives its sandbox is 2 or below (10: every door open).
  const std::string units = "usr/lib/systemd/system/";
  const bool analyze = Shell("command -v systemd-analyze", &out) == 0;
  if (analyze && fs::exists("/" + units + "sysinit.target")) {
    ASSERT_EQ(Shell("cp -rn /" + units + ". " + (root_ / units).string(), &out), 0) << out;
    std::string verify;  // settings it cannot parse are only warned about: any output counts
    EXPECT_EQ(Shell("systemd-analyze verify --root=" + root_.string() + " /" + kUnit, &verify), 0);
    EXPECT_EQ(verify, "");
  }
  if (analyze) {
    std::string report;
    Shell("systemd-analyze security --offline=true --no-pager " + (root_ / kUnit).string(), &report);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(report, m, std::regex("Overall exposure level for [^:]*: ([0-9.]+)"))) << report;
    EXPECT_LE(std::stod(m[1].str()), 2.0) << report;
  }
  // Dependencies come from the libraries actually linked, and the maintainer scripts' tools.
  std::string depends;
  ASSERT_EQ(Shell("dpkg-deb -f " + daemon_deb_ + " Depends", &depends), 0);
  for (const char* dep : {"libprotobuf", "libpaho-mqttpp3", "libspdlog", "libsystemd0", "systemd", "passwd"})
    EXPECT_NE(depends.find(dep), std::string::npos) << dep << " missing from " << depends;
  for (const char* dep : {"gtest", "iputils-ping"}) EXPECT_EQ(depends.find(dep), std::string::npos) << depends;

  const std::string ids = Entry("passwd", kUser);
  ASSERT_FALSE(ids.empty()) << Read("etc/passwd");
  EXPECT_NE(ids.substr(0, ids.find(':')), "0");
  EXPECT_EQ(Entry("group", kUser), ids.substr(ids.find(':') + 1)) << Read("etc/group");
  EXPECT_FALSE(Entry("group", "input").empty()) << "the unit's SupplementaryGroups=input needs the group";
  EXPECT_EQ(Owner(kState), ids + " 0755");
  EXPECT_EQ(Owner(kConfig), ids + " 0755");
  EXPECT_EQ(Owner(kConfig + "config.json"), ids + " 0600") << "it holds the broker password";
  EXPECT_EQ(Owner(kConfig + "led.json"), ids + " 0644");
  EXPECT_EQ(Owner("etc/vantorel/tls"), "0:" + ids.substr(ids.find(':') + 1) + " 0750") << "TLS files out of its reach";

  // An upgrade from a version that ran the daemon as root: the station's files change hands,
  // its changes survive and what is missing comes back.
  std::ofstream(root_ / kConfig / "config.json", std::ios::trunc) << R"({"station_id": "station-7"})";
  fs::remove(root_ / kConfig / "led.json");
  fs::create_directories(root_ / kState / "status");
  std::ofstream(root_ / kState / "status/status.json") << "{}";
  ASSERT_EQ(Shell("chown -R 0:0 " + (root_ / kState).string() + " && chmod 0644 " +
                      (root_ / kConfig / "config.json").string(),
                  &out),
            0)
      << out;
  ASSERT_EQ(Dpkg("-i " + daemon_deb_, &out), 0) << out;
  EXPECT_EQ(Read(kConfig + "config.json"), R"({"station_id": "station-7"})");
  EXPECT_EQ(Read(kConfig + "led.json"), Read(shipped + "led.json"));
  EXPECT_EQ(Entry("passwd", kUser), ids) << "the same user again";
  EXPECT_EQ(Owner(kConfig + "config.json"), ids + " 0600");
  EXPECT_EQ(Owner(kState + "status/status.json").substr(0, ids.size() + 1), ids + " ");
  // Once the service owns the directory, root writes nothing through what it may have put there.
  fs::remove(root_ / kConfig / "led.json");
  fs::create_symlink(root_ / "etc/victim", root_ / kConfig / "led.json");
  ASSERT_EQ(Dpkg("-i " + daemon_deb_, &out), 0) << out;
  EXPECT_FALSE(fs::exists(root_ / "etc/victim"));

  // Removal keeps the user with the station's files; purging takes both.
  ASSERT_EQ(Dpkg("-r vantorel-station-center-tools vantorel-station-center", &out), 0) << out;
  EXPECT_EQ(Entry("passwd", kUser), ids);
  EXPECT_EQ(Read(kState + "status/status.json"), "{}");
  ASSERT_EQ(Dpkg("-P vantorel-station-center", &out), 0) << out;
  EXPECT_EQ(Entry("passwd", kUser), "") << Read("etc/passwd");
  EXPECT_EQ(Entry("group", kUser), "") << Read("etc/group");
  EXPECT_FALSE(Entry("group", "input").empty()) << "the system's group stays";
  EXPECT_FALSE(fs::exists(root_ / kState));
}

// The installed daemon as the unit runs it, as far as this machine allows without systemd:
// its own user, no capability, everything read-only but its two directories. It makes its
// status file, rewrites its configuration and answers the robot.
TEST_F(PackageTest, InstalledDaemonRunsSandboxedAsItsUser) {
  std::string out;
  if (Shell("command -v setpriv && unshare --mount true", &out) != 0) GTEST_SKIP() << "no setpriv or unshare: " << out;
  const std::string ids = Entry("passwd", kUser), groups = Entry("group", "input");
  ASSERT_FALSE(ids.empty() || groups.empty()) << Read("etc/passwd") << Read("etc/group");
  fs::permissions(tmp_.path(),
                  fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec,
                  fs::perm_options::add);
  station_sim::StationSim sim;
  ASSERT_TRUE(sim.Start());
  const uint16_t sensor_port = station_test::FreeLoopbackPort();
  sim.SetSensorTarget("127.0.0.1", sensor_port);
  // The shipped configuration with the board on loopback; writing into the file keeps its owner and mode.
  std::ofstream(root_ / kConfig / "config.json", std::ios::trunc)
      << R"({"station_id": "station-xx", "embedded_ip": "127.0.0.1", "soc_ip": "127.0.0.1", "embedded_action_port": )"
      << sim.command_port() << R"(, "soc_data_server_port": )" << sensor_port
      << R"(, "mqtt_pwd": "secret-1", "connect_embedded_board_time": 60, "mqtt_keep_alive_interval": 5})";
  const std::string host = station_test::HostName();
  const std::string status = kState + "status/status.json";
  {
    // First start: no status directory yet; the daemon makes it and its file, and writes the station id.
    station_test::ChildProcess daemon;
    ASSERT_TRUE(StartSandboxed(&daemon, ids, groups));
    const auto written = [&] {
      return Read(status).find("mqtt_server_address") != std::string::npos &&
             Read(kConfig + "config.json").find(host) != std::string::npos;
    };
    ASSERT_TRUE(WaitUntil([&] { return !daemon.Running() || written(); }, seconds(120))) << daemon.Log();
    if (daemon.ExitStatus() == 97) GTEST_SKIP() << "no read-only sandbox here: " << daemon.Log();
    ASSERT_TRUE(written()) << daemon.Log();
    EXPECT_TRUE(daemon.Logged("Network connectivity check passed.")) << daemon.Log();
  }
  EXPECT_EQ(Owner(kState + "status"), ids + " 0700");
  EXPECT_EQ(Owner(status).substr(0, ids.size() + 1), ids + " ");
  EXPECT_EQ(Owner(kConfig + "config.json"), ids + " 0600") << "rewritten, still for the service only";
  EXPECT_NE(Read(kConfig + "config.json").find("secret-1"), std::string::npos);

  // Second start, on a broker of this test: the robot's request is answered.
  station_test::MosquittoBroker broker;
  ASSERT_TRUE(broker.Start());
  const std::string own_broker = std::regex_replace(Read(status), std::regex(R"(("mqtt_server_address"\s*:\s*")[^"]*)"),
                                                    "$01" + broker.address());  // $1 would run into the digits
  std::ofstream(root_ / status, std::ios::trunc) << own_broker;
  station_test::ChildProcess daemon;
  ASSERT_TRUE(StartSandboxed(&daemon, ids, groups));
  station_test::CtlResult r;
  const std::vector<std::string> check = {"check",     "in-pose", "--broker",  broker.address(),
                                          "--station", host,      "--timeout", "20"};
  EXPECT_TRUE(WaitUntil(
      [&] {
        r = station_test::RunCtl(check);
        return !daemon.Running() || r.out.find("robot_check: ENUM_NOT_READY") != std::string::npos;
      },
      seconds(180)))
      << r.out << daemon.Log();
  EXPECT_EQ(r.exit_code, 1) << r.out;
  EXPECT_TRUE(daemon.Running()) << own_broker << daemon.Log();
  EXPECT_GE(sim.command_accepts(), 1u) << daemon.Log();
}

}  // namespace
}  // namespace station_center
