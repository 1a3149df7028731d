#include "kit/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

extern char** environ;

namespace kit {

namespace {

// The children alive, for the signal handler; 0 marks a free slot. Lock-free atomics
// are safe to read in a handler.
constexpr size_t kMaxChildren = 32;
std::atomic<pid_t> g_children[kMaxChildren];

void Register(pid_t pid, bool alive) {
  for (auto& slot : g_children) {
    pid_t expected = alive ? 0 : pid;
    if (slot.compare_exchange_strong(expected, alive ? pid : 0)) {
      return;
    }
  }
}

void OnSignal(int signal) {
  for (auto& slot : g_children) {
    const pid_t pid = slot.load();
    if (pid > 0) {
      ::kill(pid, SIGTERM);
    }
  }
  ::_exit(128 + signal);
}

}  // namespace

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

bool Child::Start(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env,
                  const std::string& log_path) {
  if (Running()) {
    return false;
  }
  log_path_ = log_path;
  ended_ = false;
  std::vector<std::string> environment(env);
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('=') + 1);
    bool replaced = false;
    for (const std::string& mine : env) {
      replaced = replaced || mine.rfind(name, 0) == 0;
    }
    if (!replaced) {
      environment.push_back(entry);
    }
  }
  std::vector<char*> envp;
  for (auto& e : environment) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);
  pid_ = Spawn(program, args, envp.data(), log_path, "", true);
  if (pid_ > 0) {
    Register(pid_, true);
  }
  return pid_ > 0;
}

void Child::Reap(bool block) {
  if (pid_ > 0 && ::waitpid(pid_, &status_, block ? 0 : WNOHANG) == pid_) {
    Register(pid_, false);
    pid_ = -1;
    ended_ = true;
  }
}

bool Child::Running() {
  Reap(false);
  return pid_ > 0;
}

int Child::ExitStatus() {
  if (Running() || !ended_) {
    return -1;
  }
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

std::string Child::Ending() {
  if (Running() || !ended_) {
    return "";
  }
  return WIFSIGNALED(status_) ? "signal " + std::to_string(WTERMSIG(status_))
                              : "exit status " + std::to_string(WEXITSTATUS(status_));
}

int Child::Stop(std::chrono::milliseconds grace) {
  if (Running()) {
    ::kill(pid_, SIGTERM);
    WaitUntil([this] { return !Running(); }, grace);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Reap(true);
    }
  }
  return ExitStatus();
}

std::string Child::Log() const { return ReadWholeFile(log_path_); }

void StopChildrenOnSignals() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

namespace {

// Binds 127.0.0.1:`port` (0: any) and reads back the port it got; 0 when it cannot.
uint16_t BindLoopback(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return 0;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  socklen_t len = sizeof(addr);
  uint16_t bound = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    bound = ntohs(addr.sin_port);
  }
  ::close(fd);
  return bound;
}

}  // namespace

uint16_t FreeLoopbackPort() {
  // Below the kernel's ephemeral range: a port from there can be taken by any outgoing
  // connection (tests make thousands) before the server it was picked for binds it.
  int low = 32768, high = 0;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low >> high;
  constexpr int kFirst = 10000;
  if (low > kFirst + 1000) {
    // From a random start, then in turn: never the same port twice in one process.
    static std::atomic<unsigned> next{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
      const auto port = static_cast<uint16_t>(kFirst + next++ % static_cast<unsigned>(low - kFirst));
      if (BindLoopback(port) == port) {
        return port;
      }
    }
  }
  return BindLoopback(0);
}

bool PortAccepts(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return false;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  ::close(fd);
  return ok;
}

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout,
               const std::function<bool()>& alive) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (pred()) {
      return true;
    }
    if (alive && !alive()) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace kit
