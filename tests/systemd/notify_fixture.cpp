#include "systemd/notify_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace station_test {

bool Notification::Get(const std::string& key, std::string* value) const {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.compare(0, key.size() + 1, key + "=") == 0) {
      if (value != nullptr) {
        *value = line.substr(key.size() + 1);
      }
      return true;
    }
  }
  return false;
}

NotifyListener::NotifyListener() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "notify-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) {
    return;
  }
  dir_ = tmpl;
  path_ = dir_ + "/notify";
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path_.size() >= sizeof(addr.sun_path)) {
    return;
  }
  std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

NotifyListener::~NotifyListener() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
  std::error_code ec;
  if (!dir_.empty()) {
    std::filesystem::remove_all(dir_, ec);
  }
}

const std::vector<Notification>& NotifyListener::Received() {
  char buffer[4096];
  for (;;) {
    const ssize_t n = fd_ >= 0 ? ::recv(fd_, buffer, sizeof(buffer), 0) : -1;
    if (n < 0) {
      break;
    }
    received_.push_back({std::chrono::steady_clock::now(), std::string(buffer, static_cast<size_t>(n))});
  }
  return received_;
}

std::vector<Notification> NotifyListener::With(const std::string& key) {
  std::vector<Notification> out;
  for (const Notification& n : Received()) {
    if (n.Get(key)) {
      out.push_back(n);
    }
  }
  return out;
}

DaemonProcess::~DaemonProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool DaemonProcess::Start(std::vector<std::string> env) {
  for (const char* pass : {"TSAN_OPTIONS", "ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
    if (const char* value = std::getenv(pass)) {
      env.push_back(std::string(pass) + "=" + value);
    }
  }
  std::vector<char*> envp;
  for (std::string& e : env) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);
  // A cross build's test runs under the emulator, and so must the daemon it starts:
  // the kernel may not know how to run an Arm binary by itself.
  std::vector<std::string> args;
  if (std::strlen(STATION_TEST_EMULATOR) > 0) {
    args.push_back(STATION_TEST_EMULATOR);
  }
  args.push_back(std::string(STATION_BIN_DIR) + "/station_center");
  std::vector<char*> argv;
  for (std::string& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawn_file_actions_addopen(&actions, 1, log_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0;
}

int DaemonProcess::ExitStatus() {
  int status = 0;
  if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return exit_status_;
}

std::string DaemonProcess::Log() const {
  std::ifstream in(log_path_);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace station_test
