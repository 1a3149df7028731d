#include "logger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

namespace {

// The logger reads its environment once per process, so each case runs in a
// fresh copy of this binary. When started with kScenarioVar set, the copy logs
// the named scenario before gtest ever runs and exits.
constexpr char kScenarioVar[] = "STATION_LOGGER_TEST_SCENARIO";

void RunScenario(const std::string& name) {
  if (name == "mixed") {
    LOG_INFO("hello {}", 1);
    LOG_DEBUG("debug {}", 2);
    LOG_WARN("warn {}", "w");
    LOG_ERROR("ErrorCode: {}, first", 101900001);
    LOG_INFO("again");
    LOG_ERROR("ErrorCode: {}, second", 101900002);
  } else if (name == "wrap") {
    for (int i = 1; i <= 260; ++i) {
      LOG_INFO("line {}", i);
    }
  }
}

[[maybe_unused]] const bool g_scenario_ran = [] {
  const char* scenario = std::getenv(kScenarioVar);
  if (scenario == nullptr) {
    return false;
  }
  RunScenario(scenario);
  std::fflush(stdout);
  _exit(0);
}();

// Runs `scenario` in a fresh copy of this binary with exactly the given SPDLOG_* variables;
// returns its standard output.
std::string RunChild(const std::string& scenario, const std::map<std::string, std::string>& vars) {
  std::string command = "env -u SPDLOG_STDOUT -u SPDLOG_SYSTEMD -u SPDLOG_LEVEL";
  for (const auto& [key, value] : vars) {
    command += " " + key + "='" + value + "'";
  }
  command += std::string(" ") + kScenarioVar + "=" + scenario + " '" +
             std::filesystem::read_symlink("/proc/self/exe").string() + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return "<popen failed>";
  }
  std::string out;
  char buffer[4096];
  for (size_t n = 0; (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) {
    out.append(buffer, n);
  }
  return ::pclose(pipe) == 0 ? out : out + "<child failed>";
}

constexpr char kStdoutUnset[] = "environment variable SPDLOG_STDOUT is not set, and set true\n";
constexpr char kStdoutInvalid[] = "environment variable SPDLOG_STDOUT is invalid, and set true\n";
constexpr char kSystemdUnset[] = "environment variable SPDLOG_SYSTEMD is not set, and set false\n";
constexpr char kSystemdInvalid[] = "environment variable SPDLOG_SYSTEMD is invalid, and set false\n";
constexpr char kLevelUnset[] = "environment variable SPDLOG_LEVEL is not set, and set default level\n";
constexpr char kLevelInvalid[] = "environment variable SPDLOG_LEVEL is invalid, and set default level\n";

// The "mixed" scenario as written at info level.
const std::string kMixedAtInfo =
    "  1 [INFO] hello 1\n"
    "  2 [WARN] warn w\n"
    "  3 [ERROR] ErrorCode: 101900001, first\n"
    "  4 [INFO] again\n"
    "  5 [ERROR] ErrorCode: 101900002, second\n";

TEST(LoggerTest, EnvironmentChoosesOutputAndLevel) {
  using Vars = std::map<std::string, std::string>;
  const auto level = [](const char* name) {
    return Vars{{"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", name}};
  };
  const struct {
    const char* name;
    Vars vars;
    std::string expected;
  } cases[] = {
      {"nothing set", {}, std::string(kStdoutUnset) + kSystemdUnset + kLevelUnset + kMixedAtInfo},
      // "warn" is spdlog's own name, not one of ours.
      {"all invalid",
       {{"SPDLOG_STDOUT", "yes"}, {"SPDLOG_SYSTEMD", "TRUE"}, {"SPDLOG_LEVEL", "warn"}},
       std::string(kStdoutInvalid) + kSystemdInvalid + kLevelInvalid + kMixedAtInfo},
      {"no console: the notices still show", {{"SPDLOG_STDOUT", "false"}, {"SPDLOG_SYSTEMD", "false"}}, kLevelUnset},
      {"debug", level("debug"),
       "  1 [INFO] hello 1\n  2 [DEBUG] debug 2\n  3 [WARN] warn w\n  4 [ERROR] ErrorCode: 101900001, first\n"
       "  5 [INFO] again\n  6 [ERROR] ErrorCode: 101900002, second\n"},
      {"warning", level("warning"),
       "  1 [WARN] warn w\n  2 [ERROR] ErrorCode: 101900001, first\n  3 [ERROR] ErrorCode: 101900002, second\n"},
      // Dropped statements do not advance the number.
      {"error", level("error"), "  1 [ERROR] ErrorCode: 101900001, first\n  2 [ERROR] ErrorCode: 101900002, second\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RunChild("mixed", c.vars), c.expected);
  }
}

TEST(LoggerTest, LineNumberIsShownModulo128) {
  std::string expected;
  for (int i = 1; i <= 260; ++i) {
    expected += fmt::format("{:3d} [INFO] line {}\n", i % 128, i);
  }
  EXPECT_EQ(RunChild("wrap", {{"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", "info"}}),
            expected);
}

}  // namespace
