#pragma once

// A whole station on loopback for one test: a fresh root, a private broker, board_sim with
// its console on a control socket, and station_center, all as processes.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "support/mosquitto.h"
#include "support/test_support.h"

namespace station_test {

// The limits that make a whole visit take seconds: the cloud upload, dissolution, the
// dust-bag debounce, the sewage pump's run-on, the task period and the board's answer time.
inline constexpr const char* kQuickVisit =
    "\"upload_station_info_to_cloud_interval\": 1, \"bottom_action_timeout\": 3, "
    "\"running_schedule_space\": 50, \"disinfectant_table_dissolution_time\": 2, "
    "\"dust_bag_reset_max_time\": 1, \"sewage_pump_continue_work_time\": 2";

// What the simulator's "status" shows (numbers -1 when not shown).
struct SimState {
  std::string Match(const char* pattern) const {
    std::smatch m;
    return std::regex_search(text, m, std::regex(pattern)) ? m[1].str() : "";
  }
  double Num(const char* pattern) const { return Match(pattern).empty() ? -1 : std::stod(Match(pattern)); }
  const std::string text;
  const double tank_ml = Num(R"(tank:\s+(\d+) ml)"), given_ml = Num(R"(given to robot (\d+) ml)"),
               wire_c = Num(R"(heat wire ([\d.]+) C)"), tablets = Num(R"(tablets (\d+))"), led = Num(R"(led:\s+(\d+))"),
               board_resets = Num(R"(board resets (\d+))"), foot_level = Num(R"(foot level (\d))");
  const std::string actuators = Match(R"(actuators:\s*([^\n]*))");  // e.g. "fan(6) heatwire(5)" or "all off"
};

class StationProcesses {
 public:
  // With `tls`, the broker has a TLS listener as well.
  explicit StationProcesses(std::optional<TlsListener> tls = {});
  StationProcesses(const StationProcesses&) = delete;
  StationProcesses& operator=(const StationProcesses&) = delete;

  // The station tree with the `config` members; the daemon's broker is `broker`, or this
  // broker's plain listener when empty.
  void Write(const std::string& config, const std::string& broker = "");
  bool StartBoard();
  bool StartDaemon(const std::vector<std::string>& env = {});

  // One line at the simulator's console, which must accept it ("ok: ...").
  testing::AssertionResult Console(const std::string& line);
  // The console's answer as it is ("" without one).
  std::string Ask(const std::string& line);
  SimState State() { return SimState{Ask("status")}; }

  // Runs stationctl as this station's robot: it exits with `exit_code` and prints `wanted`.
  testing::AssertionResult Robot(std::vector<std::string> args, int exit_code, const std::string& wanted = "");
  // Waits until `pred` holds; false at the deadline or once the daemon has died.
  bool Await(const std::function<bool()>& pred, std::chrono::seconds limit = std::chrono::seconds(60));
  bool AwaitState(const std::function<bool(const SimState&)>& pred,
                  std::chrono::seconds limit = std::chrono::seconds(60)) {
    return Await([&] { return pred(State()); }, limit);
  }

  std::string Topic(const std::string& name) const { return "clean_robot_station/" + station_id + "/" + name; }
  // No sanitizer report and no runtime error in the logs of the board and the daemon.
  testing::AssertionResult CleanLogs() const;

  TempRoot root;
  MosquittoBroker broker;
  ChildProcess board;
  ChildProcess daemon;  // after the board: stopped before it, so it does not wait for it on its way out
  const std::string station_id;
  const std::string control_socket = root.path() + "/board.sock";
};

}  // namespace station_test
