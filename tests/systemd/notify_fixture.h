#pragma once

// systemd's side of the daemon's notifications, for tests: a datagram socket to
// point NOTIFY_SOCKET at, and the daemon started against it.

#include <chrono>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace station_test {

// One notification datagram and when it arrived.
struct Notification {
  std::chrono::steady_clock::time_point at;
  std::string text;  // "KEY=value" lines separated by '\n'

  // The value of `key` ("STATUS") when the datagram carries it.
  bool Get(const std::string& key, std::string* value = nullptr) const;
};

// An AF_UNIX datagram socket bound under a fresh temporary directory.
class NotifyListener {
 public:
  NotifyListener();
  ~NotifyListener();
  NotifyListener(const NotifyListener&) = delete;
  NotifyListener& operator=(const NotifyListener&) = delete;

  bool ok() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }

  // Reads every datagram waiting and returns all received so far, in order.
  const std::vector<Notification>& Received();
  // The received datagrams carrying `key`.
  std::vector<Notification> With(const std::string& key);

 private:
  std::string dir_;
  std::string path_;
  int fd_ = -1;
  std::vector<Notification> received_;
};

// Starts station_center of this build with `env` added to the test's own
// environment; under a cross build's emulator too, since the kernel may not know
// how to run an Arm binary by itself.
bool StartDaemon(ChildProcess& daemon, const std::vector<std::string>& env, const std::string& log_path);

}  // namespace station_test
