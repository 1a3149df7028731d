// The Debian packages of this build: what they carry, what they depend on, and
// what their maintainer scripts do to a station's files, installed with dpkg
// into a temporary root.

#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "config.h"
#include "support/test_support.h"

namespace station_center {
namespace {

namespace fs = std::filesystem;

constexpr const char* kConfigDir = "/usr/lib/vantorel-station-center/config";

// Runs `command` through the shell; returns its exit status, output in `out`.
int Shell(const std::string& command, std::string* out = nullptr) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) text.append(buffer, n);
  const int status = ::pclose(pipe);
  if (out != nullptr) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Debian's name for the architecture this test runs on (under emulation: the emulated one).
std::string DebianArch() {
  utsname u{};
  ::uname(&u);
  const std::string machine = u.machine;
  if (machine == "aarch64") return "arm64";
  if (machine == "x86_64") return "amd64";
  return machine;
}

std::string MultiarchTriplet() {
  utsname u{};
  ::uname(&u);
  return std::string(u.machine) + "-linux-gnu";
}

class PackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Packages made afresh from this build, in a directory of this test only. cpack
    // also writes install manifests into the build directory: one run at a time.
    work_ = fs::path(tmp_.path());
    std::string out;
    const std::string build = STATION_BUILD_DIR;
    ASSERT_EQ(Shell("flock " + build + "/.package-test.lock " + STATION_CPACK + " --config " + build +
                        "/CPackConfig.cmake -B " + (work_ / "packages").string(),
                    &out),
              0)
        << out;
    const std::string suffix = "_" + DebianArch() + ".deb";
    for (const auto& entry : fs::directory_iterator(work_ / "packages")) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("vantorel-station-center-tools_", 0) == 0) {
        tools_ = entry.path().string();
      } else if (name.rfind("vantorel-station-center_", 0) == 0) {
        daemon_ = entry.path().string();
      }
    }
    ASSERT_FALSE(daemon_.empty()) << out;
    ASSERT_FALSE(tools_.empty()) << out;
    EXPECT_TRUE(daemon_.size() > suffix.size() &&
                daemon_.compare(daemon_.size() - suffix.size(), suffix.size(), suffix) == 0)
        << daemon_;
    root_ = work_ / "root";
    fs::create_directories(root_ / "var/lib/dpkg/info");
    fs::create_directories(root_ / "var/lib/dpkg/updates");
    fs::create_directories(root_ / "var/lib/dpkg/triggers");
    std::ofstream(root_ / "var/lib/dpkg/status").close();
  }

  std::string Field(const std::string& deb, const std::string& field) {
    std::string out;
    Shell("dpkg-deb -f " + deb + " " + field, &out);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }

  // dpkg acting on the temporary root; maintainer scripts run outside a chroot
  // with DPKG_ROOT naming the root. The root has none of the dependencies.
  int Dpkg(const std::string& args, std::string* out) {
    std::string command = "dpkg --root=" + root_.string() +
                          " --log=/dev/null --force-script-chrootless --force-depends --force-architecture";
    if (::geteuid() != 0) command += " --force-not-root";
    return Shell(command + " " + args, out);
  }

  // systemd-analyze on the unit as installed, against the host's own units (the
  // targets it is ordered after). Empty when it verifies; skipped without systemd.
  std::string VerifyUnit(const std::string& unit) {
    std::string out;
    if (Shell("command -v systemd-analyze", &out) != 0 || !fs::exists("/usr/lib/systemd/system/sysinit.target")) {
      std::cout << "systemd-analyze or the system's units are missing: unit not verified\n";
      return "";
    }
    if (Shell("cp -rn /usr/lib/systemd/system/. " + (root_ / "usr/lib/systemd/system").string(), &out) != 0) {
      return out;
    }
    // Settings it cannot parse are only warned about: any output counts.
    const int rc = Shell("systemd-analyze verify --root=" + root_.string() + " " + unit, &out);
    return rc == 0 ? out : "exit status " + std::to_string(rc) + ": " + out;
  }

  station_test::TempRoot tmp_;
  fs::path work_;
  fs::path root_;
  std::string daemon_;
  std::string tools_;
};

TEST_F(PackageTest, PackagesCarryTheirFilesAndDependOnTheLinkedLibraries) {
  EXPECT_EQ(Field(daemon_, "Architecture"), DebianArch());
  EXPECT_EQ(Field(tools_, "Architecture"), DebianArch());

  std::string contents;
  ASSERT_EQ(Shell("dpkg-deb -c " + daemon_, &contents), 0) << contents;
  for (const char* path : {"./usr/sbin/station_center", "./usr/lib/systemd/system/vantorel-station-center.service",
                           "./usr/share/vantorel-station-center/config.json",
                           "./usr/share/vantorel-station-center/led.json", "/libvantorel-hardware.so.1 "}) {
    EXPECT_NE(contents.find(path), std::string::npos) << path << " missing from\n" << contents;
  }
  // In the multiarch directory, where the dynamic loader of that architecture looks.
  EXPECT_NE(contents.find("./usr/lib/" + MultiarchTriplet() + "/libvantorel-hardware.so.1 "), std::string::npos)
      << contents;
  // The station's own files belong to the station: an upgrade must not bring any.
  EXPECT_EQ(contents.find("./usr/lib/vantorel-station-center/"), std::string::npos) << contents;
  EXPECT_EQ(contents.find("board_sim"), std::string::npos) << contents;

  ASSERT_EQ(Shell("dpkg-deb -c " + tools_, &contents), 0) << contents;
  EXPECT_NE(contents.find("./usr/bin/board_sim"), std::string::npos) << contents;
  EXPECT_NE(contents.find("./usr/bin/stationctl"), std::string::npos) << contents;
  EXPECT_EQ(contents.find("station_center"), std::string::npos) << contents;

  const std::string depends = Field(daemon_, "Depends");
  for (const char* dep : {"libprotobuf32", "libpaho-mqttpp3-1", "libpaho-mqtt1.3", "libspdlog", "libfmt", "libsystemd0",
                          "libstdc++6", "libc6", "iputils-ping"}) {
    EXPECT_NE(depends.find(dep), std::string::npos) << dep << " missing from " << depends;
  }
  EXPECT_EQ(depends.find("gtest"), std::string::npos) << depends;
  const std::string tools_depends = Field(tools_, "Depends");
  EXPECT_NE(tools_depends.find("vantorel-station-center (= " + Field(daemon_, "Version") + ")"), std::string::npos)
      << tools_depends;
  EXPECT_NE(tools_depends.find("libpaho-mqttpp3-1"), std::string::npos) << tools_depends;
}

// Install (the unit verifies), change the station's files, install again, remove, purge.
TEST_F(PackageTest, MaintainerScriptsCopyDefaultsOnlyWhereTheStationHasNone) {
  std::string out;
  ASSERT_EQ(Dpkg("-i " + daemon_ + " " + tools_, &out), 0) << out;
  const fs::path config = root_ / (std::string(kConfigDir) + "/config.json").substr(1);
  const fs::path led = root_ / (std::string(kConfigDir) + "/led.json").substr(1);
  const fs::path status = root_ / "usr/lib/vantorel-station-center/status/status.json";
  EXPECT_EQ(ReadFile(config), ReadFile(root_ / "usr/share/vantorel-station-center/config.json"));
  EXPECT_EQ(ReadFile(led), ReadFile(root_ / "usr/share/vantorel-station-center/led.json"));
  EXPECT_TRUE(fs::exists(root_ / "usr/bin/board_sim"));
  const std::string unit = "/usr/lib/systemd/system/vantorel-station-center.service";
  EXPECT_EQ(VerifyUnit(unit), "");
  // The daemon speaks the notify protocol and pings the watchdog: the unit must expect both.
  const std::string unit_text = ReadFile(root_ / unit.substr(1));
  for (const char* line :
       {"Type=notify\n", "WatchdogSec=", "Restart=on-failure\n", "SPDLOG_STDOUT=false", "SPDLOG_SYSTEMD=true"}) {
    EXPECT_NE(unit_text.find(line), std::string::npos) << line;
  }

  // The shipped defaults start the daemon's configuration as they are.
  ::setenv("STATION_CENTER_ROOT", root_.c_str(), 1);
  fs::create_directories(root_ / "etc/vantorel");
  EXPECT_TRUE(ReadConfig());
  char host[64] = {};
  ::gethostname(host, sizeof(host) - 1);
  EXPECT_EQ(g_config.station_id, host) << "config.json needs a station_id for the daemon to write";
  EXPECT_EQ(g_config.embedded_ip, "192.168.23.100");
  EXPECT_EQ(g_config.bottom_action_timeout, 10);
  ASSERT_TRUE(fs::exists(status));

  // A station's changes survive a second install (an upgrade); what is missing comes back.
  std::ofstream(config, std::ios::trunc) << R"({"station_id": "station-7", "embedded_ip": "10.1.2.3"})";
  std::ofstream(status, std::ios::trunc) << R"({"mqtt_server_address": "broker.example:1883"})";
  fs::remove(led);
  ASSERT_EQ(Dpkg("-i " + daemon_, &out), 0) << out;
  EXPECT_EQ(ReadFile(config), R"({"station_id": "station-7", "embedded_ip": "10.1.2.3"})");
  EXPECT_EQ(ReadFile(status), R"({"mqtt_server_address": "broker.example:1883"})");
  EXPECT_EQ(ReadFile(led), ReadFile(root_ / "usr/share/vantorel-station-center/led.json"));

  // Removal keeps the station's files; purge takes them.
  ASSERT_EQ(Dpkg("-r vantorel-station-center-tools vantorel-station-center", &out), 0) << out;
  EXPECT_FALSE(fs::exists(root_ / "usr/sbin/station_center"));
  EXPECT_TRUE(fs::exists(config));
  EXPECT_TRUE(fs::exists(status));
  ASSERT_EQ(Dpkg("-P vantorel-station-center", &out), 0) << out;
  EXPECT_FALSE(fs::exists(root_ / "usr/lib/vantorel-station-center"));
}

}  // namespace
}  // namespace station_center
