#pragma once

// Child processes, loopback ports and waits for the tests and the station tools
// (station_soak, station_bench) that run a station as processes.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kit {

// posix_spawn of `program` with `args` and the environment `envp` (this process's own
// when null): standard input from /dev/null, output to `out` and errors to `err` (into
// `out` when empty), appended when `append`; descriptors above 2 are not inherited, so a
// child never holds a socket of ours open. The pid, or -1.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args, char* const* envp, const std::string& out,
            const std::string& err, bool append);

// A long-running program (the daemon, the board simulator, the broker) with its output
// appended to a log file. Use from one thread.
class Child {
 public:
  Child() = default;
  // Stops the process (SIGTERM, then SIGKILL) and reaps it.
  ~Child() { Stop(std::chrono::seconds(5)); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Starts `program` with `args`. The environment is this process's own with the
  // "NAME=value" entries of `env` added or replacing theirs, so sanitizer options
  // reach the child.
  bool Start(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env,
             const std::string& log_path);
  // True until the process has exited (reaps it when it has).
  bool Running();
  // The exit status once ended (128 + signal number for a signal), -1 while running.
  int ExitStatus();
  // How it ended, e.g. "exit status 1" or "signal 11"; empty while it runs.
  std::string Ending();
  // SIGTERM, up to `grace` to exit, then SIGKILL; returns the exit status.
  int Stop(std::chrono::milliseconds grace = std::chrono::seconds(10));

  pid_t pid() const { return pid_; }  // -1 when not running
  const std::string& log_path() const { return log_path_; }
  std::string Log() const;
  bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }

 private:
  void Reap(bool block);

  std::string log_path_;
  pid_t pid_ = -1;
  int status_ = 0;
  bool ended_ = false;
};

// SIGINT and SIGTERM (a time limit's kill) stop the running children, then end this
// process: a killed tool leaves no station behind.
void StopChildrenOnSignals();

// A loopback TCP port that was free a moment ago, outside the range outgoing connections use.
uint16_t FreeLoopbackPort();
// A TCP connection to 127.0.0.1:`port` is accepted.
bool PortAccepts(uint16_t port);

// Polls `pred` every few milliseconds until it holds or `timeout` passes; gives up early
// once `alive` (when given) no longer holds. Generous deadlines keep waits stable on a
// loaded machine under TSan.
bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = std::chrono::seconds(20),
               const std::function<bool()>& alive = {});

std::string ReadWholeFile(const std::string& path);

}  // namespace kit
