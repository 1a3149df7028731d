#pragma once

// stationctl of this build run as a child process, its output captured.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace station_test {

struct CtlResult {
  int exit_code = -1;  // -1: killed at the deadline
  std::string out;
  std::string err;
};

// A running stationctl with its output captured in files.
class CtlProcess {
 public:
  explicit CtlProcess(const std::vector<std::string>& args);
  ~CtlProcess();
  CtlProcess(const CtlProcess&) = delete;
  CtlProcess& operator=(const CtlProcess&) = delete;

  bool started() const { return pid_ > 0; }
  std::string Out() const;
  // Sends `signal` to the running stationctl; false once it was reaped.
  bool Signal(int signal);
  // Waits for the exit (killed after `limit`) and returns what it printed.
  CtlResult Finish(std::chrono::milliseconds limit = std::chrono::seconds(60));

 private:
  std::string dir_;
  pid_t pid_ = -1;
};

// Runs stationctl to the end.
CtlResult RunCtl(const std::vector<std::string>& args);

}  // namespace station_test
