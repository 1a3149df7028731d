#pragma once

// systemd's end of a daemon's NOTIFY_SOCKET, for the tests and the tools that run the
// daemon as systemd would.

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kit {

// A datagram socket in the abstract namespace (no file to clean up). Datagrams are stamped
// as they arrive, not when someone gets round to reading them. Start/Stop from one thread;
// the readers from any.
class NotifyListener {
 public:
  using Clock = std::chrono::steady_clock;
  struct Note {
    Clock::time_point at;
    std::string text;  // "KEY=value" lines
    // The value of `key`, empty when the datagram does not carry it.
    std::string Get(const std::string& key) const;
  };

  ~NotifyListener() { Stop(); }
  // `name` as NOTIFY_SOCKET gives it: "@name".
  bool Start(const std::string& name);
  void Stop();

  // The datagrams so far carrying `key` (all of them for ""), in order.
  std::vector<Note> With(const std::string& key = "") const;
  std::string status() const;  // the latest STATUS=
  bool ready() const;
  // Seconds since the last watchdog ping (or since Start without one).
  double SinceWatchdog() const;

 private:
  void Loop();
  void ReceiveLocked() const;

  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  mutable std::vector<Note> notes_;  // guarded by mutex_
  Clock::time_point started_ = Clock::now();
};

}  // namespace kit
