#include "logger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

// The logger reads its environment once per process, so each case runs in a fresh copy of this
// binary: given STATION_LOGGER_TEST_SCENARIO, the copy logs before gtest ever runs, then exits.
[[maybe_unused]] const bool g_scenario_ran = [] {
  const char* scenario = std::getenv("STATION_LOGGER_TEST_SCENARIO");
  if (scenario == nullptr) {
    return false;
  }
  if (std::string(scenario) == "wrap") {
    for (int i = 1; i <= 260; ++i) {
      LOG_INFO("line {}", i);
    }
  } else {
    LOG_INFO("hello {}", 1);
    LOG_DEBUG("debug {}", 2);
    LOG_WARN("warn {}", "w");
    LOG_ERROR("ErrorCode: {}, first", 101900001);
    LOG_INFO("again");
    LOG_ERROR("ErrorCode: {}, second", 101900002);
  }
  std::fflush(stdout);
  _exit(0);
}();

// Output of a copy run with no SPDLOG_* variables but those in `vars`, which may also pick another scenario.
std::string RunChild(const std::string& vars) {
  const std::string command =
      "env -u SPDLOG_STDOUT -u SPDLOG_SYSTEMD -u SPDLOG_LEVEL STATION_LOGGER_TEST_SCENARIO=mixed " + vars + " '" +
      std::filesystem::read_symlink("/proc/self/exe").string() + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string out;
  for (int ch = 0; pipe != nullptr && (ch = std::fgetc(pipe)) != EOF;) {
    out += static_cast<char>(ch);
  }
  return pipe != nullptr && ::pclose(pipe) == 0 ? out : out + "<child failed>";
}

std::string Notices(const std::string& state) {
  return "environment variable SPDLOG_STDOUT is " + state + ", and set true\nenvironment variable SPDLOG_SYSTEMD is " +
         state + ", and set false\nenvironment variable SPDLOG_LEVEL is " + state + ", and set default level\n";
}

TEST(LoggerTest, EnvironmentChoosesOutputAndLevelLinesNumberedMod128) {
  const std::string at_info =
      "  1 [INFO] hello 1\n  2 [WARN] warn w\n  3 [ERROR] ErrorCode: 101900001, first\n  4 [INFO] again\n"
      "  5 [ERROR] ErrorCode: 101900002, second\n";
  const std::string at_warn =
      "  1 [WARN] warn w\n  2 [ERROR] ErrorCode: 101900001, first\n  3 [ERROR] ErrorCode: 101900002, second\n";
  const std::string at_error = "  1 [ERROR] ErrorCode: 101900001, first\n  2 [ERROR] ErrorCode: 101900002, second\n";
  std::string wrapped;
  for (int i = 1; i <= 260; ++i) {
    wrapped += fmt::format("{:3d} [INFO] line {}\n", i % 128, i);
  }
  const std::string level = "SPDLOG_STDOUT=true SPDLOG_SYSTEMD=false SPDLOG_LEVEL=";
  const struct {
    const char* name;
    std::string vars;
    std::string expected;
  } cases[] = {
      {"nothing set", "", Notices("not set") + at_info},
      {"all invalid", "SPDLOG_STDOUT=yes SPDLOG_SYSTEMD=TRUE SPDLOG_LEVEL=Warning", Notices("invalid") + at_info},
      {"no console: the notices still show", "SPDLOG_STDOUT=false SPDLOG_SYSTEMD=false",
       "environment variable SPDLOG_LEVEL is not set, and set default level\n"},
      {"debug", level + "debug",
       "  1 [INFO] hello 1\n  2 [DEBUG] debug 2\n  3 [WARN] warn w\n  4 [ERROR] ErrorCode: 101900001, first\n"
       "  5 [INFO] again\n  6 [ERROR] ErrorCode: 101900002, second\n"},
      // The short names of spdlog (and of the README) mean the same: one of each.
      {"warning", level + "warning", at_warn},
      // Dropped statements do not advance the number.
      {"err", level + "err", at_error},
      {"numbers wrap", level + "info STATION_LOGGER_TEST_SCENARIO=wrap", wrapped},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RunChild(c.vars), c.expected);
  }
}

TEST(LoggerTest, LongPayloadsAreCutToAKilobyteWithTheirLengthNoted) {
  const std::string kilobyte(1024, 'a');
  EXPECT_EQ(vantorel::LogExcerpt(kilobyte), kilobyte);
  EXPECT_EQ(vantorel::LogExcerpt(kilobyte + "b"), kilobyte + "... (1025 bytes)");
  // A character of two bytes across the limit is left out whole.
  EXPECT_EQ(vantorel::LogExcerpt(kilobyte.substr(1) + "\u00e9b"), kilobyte.substr(1) + "... (1026 bytes)");
}

}  // namespace

TEST(LineRateLimitTest, OneLinePerIntervalThenTheCountHeldBack) {
  using std::chrono::milliseconds;
  vantorel::LineRateLimit limit(milliseconds(1000));
  const vantorel::LineRateLimit::Clock::time_point t0{};
  uint64_t suppressed = 99;
  EXPECT_TRUE(limit.Pass(t0 + milliseconds(5000), &suppressed));
  EXPECT_EQ(suppressed, 0U);
  for (int ms : {5001, 5500, 5999}) {
    EXPECT_FALSE(limit.Pass(t0 + milliseconds(ms), &suppressed)) << ms;
  }
  EXPECT_TRUE(limit.Pass(t0 + milliseconds(6000), &suppressed));
  EXPECT_EQ(suppressed, 3U);
  // The suffix a suppressed count adds: SensorServerTest.ANewConnectionReplacesAStuckOne...
  // The interval counts from the last line written, and the count starts afresh.
  EXPECT_FALSE(limit.Pass(t0 + milliseconds(6999), &suppressed));
  EXPECT_TRUE(limit.Pass(t0 + milliseconds(9000), &suppressed));
  EXPECT_EQ(suppressed, 1U);
  EXPECT_TRUE(limit.Pass(t0 + milliseconds(10000), &suppressed));
  EXPECT_EQ(suppressed, 0U);
  EXPECT_EQ(vantorel::SuppressedSuffix(0), "");
}
