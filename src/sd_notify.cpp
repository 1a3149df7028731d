#include "sd_notify.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <exception>
#include <thread>

#include "logger.h"
#include "task/task_factory.h"

namespace station_center {

namespace {

// Indexed by StationCenterStatus.
constexpr std::array<const char*, 5> kStatusNames = {"normal", "error", "reset", "emergency stop", "waiting for reset"};

// The journal already has the daemon's own lines; a failed notification is only
// worth a debug line (it means systemd went away or the socket is not ours).
void Send(const std::string& message) {
  const int rc = sd_notify(0, message.c_str());
  if (rc < 0) {
    LOG_DEBUG("sd_notify failed: {}", rc);
  }
}

}  // namespace

std::string ServiceStatusText(int station_status, std::vector<int> task_types, bool broker_connected,
                              bool broker_unverified) {
  std::string text = station_status >= 0 && station_status < static_cast<int>(kStatusNames.size())
                         ? kStatusNames[station_status]
                         : "status " + std::to_string(station_status);
  // The task table is unordered: sort so the line changes only when the tasks do.
  std::sort(task_types.begin(), task_types.end());
  if (task_types.empty()) {
    text += "; no task";
  } else {
    text += "; tasks: ";
    for (size_t i = 0; i < task_types.size(); ++i) {
      const int type = task_types[i];
      const char* name = TaskTypeInfoOf(static_cast<TaskType>(type)).name;
      text += i > 0 ? ", " : "";
      text += name != nullptr ? name : std::to_string(type);
    }
  }
  text += broker_connected ? "; broker connected" : "; broker not connected";
  if (broker_unverified) {
    text += " (TLS certificate NOT verified)";
  }
  return text;
}

void ServiceNotifier::Ready(const std::string& status) {
  std::lock_guard<std::mutex> lock(mutex_);
  last_status_ = status;
  Send("READY=1\nSTATUS=" + status);
}

void ServiceNotifier::Status(const std::string& status) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (status == last_status_) {
    return;
  }
  last_status_ = status;
  Send("STATUS=" + status);
}

void RunHousekeeping(const std::function<void()>& pass, std::chrono::milliseconds period,
                     const std::function<void()>& before_exit) {
  try {
    for (;;) {
      pass();
      std::this_thread::sleep_for(period);
    }
  } catch (const std::exception& e) {
    LOG_ERROR("housekeeping stopped: {}, station center exits", e.what());
  } catch (...) {
    LOG_ERROR("housekeeping stopped by an unknown exception, station center exits");
  }
  if (before_exit) {
    before_exit();
  }
  const auto logger = vantorel::Logger::Instance().logger();
  if (logger) {
    logger->flush();
  }
  std::_Exit(EXIT_FAILURE);
}

void ServiceNotifier::Watchdog() {
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0) {
    Send("WATCHDOG=1");
  }
}

}  // namespace station_center
