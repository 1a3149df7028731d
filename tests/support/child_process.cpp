#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace station_test {

pid_t Spawn(const std::string& program, const std::vector<std::string>& args, char* const* envp, const std::string& out,
            const std::string& err, bool append) {
  std::vector<std::string> storage = {program};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : storage) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  const int flags = O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), flags, 0644);
  if (err.empty()) {
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), flags, 0644);
  }
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp != nullptr ? envp : environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

std::string BuiltProgram(const std::string& name) { return std::string(STATION_BIN_DIR) + "/" + name; }

ChildProcess::~ChildProcess() { Stop(std::chrono::seconds(5)); }

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, const std::string& log_path) {
  if (pid_ > 0) {
    return false;
  }
  log_path_ = log_path;
  exit_status_ = -1;

  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const char* eq = std::strchr(*e, '=');
    const std::string name(*e, eq != nullptr ? static_cast<size_t>(eq - *e) : std::strlen(*e));
    bool replaced = false;
    for (const std::string& mine : env) {
      replaced = replaced || mine.compare(0, name.size() + 1, name + "=") == 0;
    }
    if (!replaced) {
      environment.emplace_back(*e);
    }
  }
  environment.insert(environment.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (auto& e : environment) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);

  const pid_t pid = Spawn(program, args, envp.data(), log_path, "", true);
  if (pid < 0) {
    return false;
  }
  pid_ = pid;
  return true;
}

void ChildProcess::Reap(bool block) {
  if (pid_ <= 0) {
    return;
  }
  int status = 0;
  if (::waitpid(pid_, &status, block ? 0 : WNOHANG) == pid_) {
    pid_ = -1;
    exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
}

bool ChildProcess::Running() {
  Reap(false);
  return pid_ > 0;
}

int ChildProcess::ExitStatus() {
  Reap(false);
  return exit_status_;
}

int ChildProcess::Stop(std::chrono::milliseconds grace) {
  if (!Running()) {
    return exit_status_;
  }
  ::kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + grace;
  while (Running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    Reap(true);
  }
  return exit_status_;
}

std::string ChildProcess::Log() const {
  std::ifstream in(log_path_);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace station_test
