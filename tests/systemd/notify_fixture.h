#pragma once

// systemd's side of the daemon's notifications, for tests: a datagram socket to
// point NOTIFY_SOCKET at, and the daemon run as a child process against it.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

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

// station_center of this build, run (under the cross build's emulator, if any)
// with exactly `env`; output appended to `log_path`. Killed and reaped at the end.
class DaemonProcess {
 public:
  explicit DaemonProcess(std::string log_path) : log_path_(std::move(log_path)) {}
  ~DaemonProcess();
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  bool Start(std::vector<std::string> env);
  // Exit status once ended, -1 while running.
  int ExitStatus();
  std::string Log() const;

 private:
  std::string log_path_;
  pid_t pid_ = -1;
  int exit_status_ = -1;
};

}  // namespace station_test
