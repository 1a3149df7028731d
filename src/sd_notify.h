#pragma once

// Readiness, status and watchdog notifications to systemd. Every call is a no-op
// when the daemon was not started by systemd (no NOTIFY_SOCKET), and none throws.

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace station_center {

// One line for `systemctl status`: the station status, the running tasks and the
// broker connection, e.g. "normal; tasks: add-water, dry; broker connected".
// `station_status` and `task_types` are StationCenterStatus and TaskType values; a
// task is named by its row in the task factory's table, or by its number.
// `broker_unverified`: a TLS broker whose certificate is not checked, said on every line.
std::string ServiceStatusText(int station_status, std::vector<int> task_types, bool broker_connected,
                              bool broker_unverified = false);

class ServiceNotifier {
 public:
  // Start-up is complete: READY=1 together with the first status line.
  void Ready(const std::string& status);
  // STATUS=, sent only when the text differs from the last one sent.
  void Status(const std::string& status);
  // WATCHDOG=1 when systemd asked for pings (WATCHDOG_USEC for this process).
  // Call only after a complete housekeeping pass: a pass stuck behind a lock
  // then stops the pings and systemd restarts the daemon.
  void Watchdog();

 private:
  std::mutex mutex_;
  std::string last_status_;
};

// The daemon's housekeeping on the calling thread: `pass` every `period`, for
// ever. An exception out of a pass is logged, `before_exit` runs (it must be
// bounded in time), and the process ends at once with status 1 for systemd to
// restart it: unwinding would wait on the broker and upload thread, and only the
// watchdog would end that wait. Never returns.
[[noreturn]] void RunHousekeeping(const std::function<void()>& pass, std::chrono::milliseconds period,
                                  const std::function<void()>& before_exit);

}  // namespace station_center
