#include "systemd/notify_fixture.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
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

bool StartDaemon(ChildProcess& daemon, const std::vector<std::string>& env, const std::string& log_path) {
  const std::string program = BuiltProgram("station_center");
  if (std::strlen(STATION_TEST_EMULATOR) > 0) {
    return daemon.Start(STATION_TEST_EMULATOR, {program}, env, log_path);
  }
  return daemon.Start(program, {}, env, log_path);
}

}  // namespace station_test
