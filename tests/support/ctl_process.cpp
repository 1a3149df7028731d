#include "support/ctl_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace station_test {

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

CtlProcess::CtlProcess(const std::vector<std::string>& args) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "stationctl-XXXXXX").string();
  char* made = ::mkdtemp(tmpl.data());
  dir_ = made != nullptr ? made : tmpl;
  const std::string bin = STATION_BIN_DIR "/stationctl";
  std::vector<std::string> storage = {bin};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : storage) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, (dir_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, (dir_ + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  if (::posix_spawn(&pid, bin.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
    pid_ = pid;
  }
  posix_spawn_file_actions_destroy(&actions);
}

CtlProcess::~CtlProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string CtlProcess::Out() const { return Slurp(dir_ + "/out"); }

CtlResult CtlProcess::Finish(std::chrono::milliseconds limit) {
  CtlResult result;
  if (pid_ <= 0) {
    result.err = "stationctl could not be started";
    return result;
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  pid_t done = 0;
  while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (done == 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  } else if (done == pid_ && WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  }
  pid_ = -1;
  result.out = Slurp(dir_ + "/out");
  result.err = Slurp(dir_ + "/err");
  return result;
}

CtlResult RunCtl(const std::vector<std::string>& args) {
  CtlProcess process(args);
  return process.Finish();
}

}  // namespace station_test
