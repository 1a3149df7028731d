#pragma once

// A long-running program (the daemon, the board simulator) started by a test as
// a child process, its standard output and error appended to a log file.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace station_test {

class ChildProcess {
 public:
  ChildProcess() = default;
  // Stops the process (SIGTERM, then SIGKILL) and reaps it.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `program` with `args`. The environment is the test's own with the
  // "NAME=value" entries of `env` added or replacing theirs, so sanitizer
  // options reach the child. Descriptors above 2 are not inherited.
  bool Start(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env,
             const std::string& log_path);

  // True until the process has exited (reaps it when it has).
  bool Running();
  // The exit status once ended (128 + signal number for a signal), -1 while running.
  int ExitStatus();
  // SIGTERM, up to `grace` to exit, then SIGKILL; returns the exit status.
  int Stop(std::chrono::milliseconds grace = std::chrono::seconds(10));

  // The process id while running (-1 otherwise): for signals a test sends itself.
  pid_t pid() const { return pid_; }

  std::string Log() const;
  bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }

 private:
  void Reap(bool block);

  std::string log_path_;
  pid_t pid_ = -1;
  int exit_status_ = -1;
};

// posix_spawn of `program` with `args` and the environment `envp` (the test's own
// when null): standard input from /dev/null, output to `out` and errors to `err`
// (into `out` when empty), appended when `append`; descriptors above 2 are not
// inherited. The pid, or -1.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args, char* const* envp, const std::string& out,
            const std::string& err, bool append);

// Path of a program built alongside the tests.
std::string BuiltProgram(const std::string& name);

}  // namespace station_test
