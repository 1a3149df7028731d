#include "support/station_processes.h"

#include <utility>

#include "sim/control_server.h"
#include "support/ctl_process.h"

namespace station_test {

StationProcesses::StationProcesses(std::optional<TlsListener> tls)
    : broker(0, false, std::move(tls)), station_id(HostName()) {}

void StationProcesses::Write(const std::string& config, const std::string& broker_address) {
  // board_sim takes its ports from the tree as the daemon does.
  root.WriteStation(FreeLoopbackPort(), FreeLoopbackPort(), broker_address.empty() ? broker.address() : broker_address,
                    config);
}

bool StationProcesses::StartBoard() {
  return board.Start(BuiltProgram("board_sim"),
                     {"--root", root.path(), "--control", control_socket, "--no-console", "--rate", "10"}, {},
                     root.path() + "/board_sim.log") &&
         WaitUntil([&] { return !board.Running() || !Ask("status").empty(); }) && board.Running();
}

bool StationProcesses::StartDaemon(const std::vector<std::string>& env) {
  std::vector<std::string> all = {"STATION_CENTER_ROOT=" + root.path(), "SPDLOG_STDOUT=true", "SPDLOG_SYSTEMD=false",
                                  "SPDLOG_LEVEL=info"};
  all.insert(all.end(), env.begin(), env.end());
  return daemon.Start(BuiltProgram("station_center"), {}, all, root.path() + "/station_center.log");
}

std::string StationProcesses::Ask(const std::string& line) {
  std::string answer;
  return station_sim::ControlRequest(control_socket, line, &answer) ? answer : "";
}

testing::AssertionResult StationProcesses::Console(const std::string& line) {
  const std::string answer = Ask(line);
  if (answer.rfind("ok:", 0) == 0) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "the simulator's console answered '" << line << "' with: " << answer;
}

testing::AssertionResult StationProcesses::Robot(std::vector<std::string> args, int exit_code,
                                                 const std::string& wanted) {
  args.insert(args.end(), {"--broker", broker.address(), "--station", station_id, "--timeout", "20"});
  const CtlResult r = RunCtl(args);
  if (r.exit_code == exit_code && Has(r.out, wanted)) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "exit code " << r.exit_code << ", output:\n" << r.out << r.err;
}

bool StationProcesses::Await(const std::function<bool()>& pred, std::chrono::seconds limit) {
  return WaitUntil([&] { return !daemon.Running() || pred(); }, limit) && daemon.Running();
}

testing::AssertionResult StationProcesses::CleanLogs() const {
  const std::string logs = daemon.Log() + board.Log();
  if (!Has(logs, "Sanitizer") && !Has(logs, "runtime error")) return testing::AssertionSuccess();
  return testing::AssertionFailure() << logs;
}

}  // namespace station_test
