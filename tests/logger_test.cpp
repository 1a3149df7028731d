#include "logger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

extern char** environ;

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

// Runs `scenario` in a child with exactly the given SPDLOG_* variables; returns its standard output.
std::string RunChild(const std::string& scenario, const std::map<std::string, std::string>& vars) {
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "SPDLOG_", 7) != 0 && std::strncmp(*e, kScenarioVar, std::strlen(kScenarioVar)) != 0) {
      env_strings.emplace_back(*e);
    }
  }
  for (const auto& [key, value] : vars) {
    env_strings.push_back(key + "=" + value);
  }
  env_strings.push_back(std::string(kScenarioVar) + "=" + scenario);
  std::vector<char*> envp;
  for (std::string& s : env_strings) {
    envp.push_back(s.data());
  }
  envp.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    return "<pipe failed>";
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  std::string exe = "/proc/self/exe";
  char* argv[] = {exe.data(), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  std::string out;
  if (rc == 0) {
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(fds[0], buffer, sizeof(buffer))) > 0 || (n < 0 && errno == EINTR)) {
      if (n > 0) {
        out.append(buffer, static_cast<size_t>(n));
      }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      out += "<child failed>";
    }
  } else {
    out = "<spawn failed>";
  }
  ::close(fds[0]);
  return out;
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
  const Vars quiet = {{"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "false"}};
  auto with = [&quiet](const char* level) {
    Vars v = quiet;
    v["SPDLOG_LEVEL"] = level;
    return v;
  };
  struct Case {
    const char* name;
    Vars vars;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"nothing set", {}, std::string(kStdoutUnset) + kSystemdUnset + kLevelUnset + kMixedAtInfo},
      {"no console, journal unset", {{"SPDLOG_STDOUT", "false"}, {"SPDLOG_LEVEL", "info"}}, kSystemdUnset},
      {"no console, level unset", {{"SPDLOG_STDOUT", "false"}, {"SPDLOG_SYSTEMD", "false"}}, kLevelUnset},
      {"all invalid",
       {{"SPDLOG_STDOUT", "yes"}, {"SPDLOG_SYSTEMD", "TRUE"}, {"SPDLOG_LEVEL", "warn"}},
       std::string(kStdoutInvalid) + kSystemdInvalid + kLevelInvalid + kMixedAtInfo},
      {"level names are case-sensitive", with("WARNING"), kLevelInvalid + kMixedAtInfo},
      {"off is not a level", with("off"), kLevelInvalid + kMixedAtInfo},
      {"info", with("info"), kMixedAtInfo},
      {"debug", with("debug"),
       "  1 [INFO] hello 1\n"
       "  2 [DEBUG] debug 2\n"
       "  3 [WARN] warn w\n"
       "  4 [ERROR] ErrorCode: 101900001, first\n"
       "  5 [INFO] again\n"
       "  6 [ERROR] ErrorCode: 101900002, second\n"},
      {"warning", with("warning"),
       "  1 [WARN] warn w\n"
       "  2 [ERROR] ErrorCode: 101900001, first\n"
       "  3 [ERROR] ErrorCode: 101900002, second\n"},
      // Dropped statements do not advance the number.
      {"error", with("error"),
       "  1 [ERROR] ErrorCode: 101900001, first\n"
       "  2 [ERROR] ErrorCode: 101900002, second\n"},
      {"critical", with("critical"), ""},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    EXPECT_EQ(RunChild("mixed", tc.vars), tc.expected);
  }
}

TEST(LoggerTest, LineNumberIsShownModulo128) {
  std::string expected;
  for (int i = 1; i <= 260; ++i) {
    expected += fmt::format("{:3d} [INFO] line {}\n", i % 128, i);
  }
  const std::string out =
      RunChild("wrap", {{"SPDLOG_STDOUT", "true"}, {"SPDLOG_SYSTEMD", "false"}, {"SPDLOG_LEVEL", "info"}});
  EXPECT_EQ(out, expected);
  // Spot checks that make a failure readable.
  EXPECT_NE(out.find("127 [INFO] line 127\n  0 [INFO] line 128\n  1 [INFO] line 129\n"), std::string::npos);
  EXPECT_NE(out.find("  3 [INFO] line 259\n"), std::string::npos);
}

}  // namespace
