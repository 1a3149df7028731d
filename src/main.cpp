// The station daemon: network check, station core, then the housekeeping loop on the
// main thread beside the broker connection and cloud upload loop. Runs until killed.

#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bottom/board_switch_off.h"
#include "config.h"
#include "error_codes.h"
#include "logger.h"
#include "mqtt/mqtt_callback.h"
#include "mqtt/mqtt_client.h"
#include "sd_notify.h"
#include "station_center.h"

namespace {

constexpr auto kNetworkRetry = std::chrono::seconds(5);
constexpr auto kBrokerRetry = std::chrono::seconds(10);
constexpr auto kHousekeeping = std::chrono::seconds(1);
constexpr auto kConnectLimit = std::chrono::seconds(3);
// How long the switch-off without a controller (the unit's stop, a fatal exit) may take.
constexpr auto kSwitchOffLimit = std::chrono::seconds(3);

// Set once the broker accepted.
std::atomic<bool> g_broker_up{false};

// The daemon's one broker connection, built at its first use: by then the core has
// read the configuration it is made from. Thread-safe.
std::shared_ptr<station_center::MqttClient> Broker() {
  static const auto client = std::make_shared<station_center::MqttClient>(station_center::MqttSettingsFromConfig());
  return client;
}

// The line systemd shows for the service; takes task_mutex_ briefly.
std::string ServiceStatus(station_center::StationCenter& center) {
  std::vector<int> types;
  {
    std::lock_guard<std::mutex> lock(center.task_mutex());
    for (const auto& entry : center.tasks()) {
      types.push_back(entry.first);
    }
  }
  const bool broker = g_broker_up.load() && Broker()->IsConnected();
  return station_center::ServiceStatusText(center.station_status(), std::move(types), broker,
                                           Broker()->BrokerUnverified());
}

// Waits up to kConnectLimit for a TCP connection to `target`. An accepted or a refused
// connection both prove the host is reachable; silence or an unreachable route does not.
bool HostAnswers(const addrinfo& target) {
  const int fd = ::socket(target.ai_family, target.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, target.ai_protocol);
  if (fd < 0) {
    return false;
  }
  int error = ::connect(fd, target.ai_addr, target.ai_addrlen) == 0 ? 0 : errno;
  if (error == EINPROGRESS) {
    pollfd writable = {fd, POLLOUT, 0};
    socklen_t len = sizeof(error);
    const int limit = static_cast<int>(std::chrono::milliseconds(kConnectLimit).count());
    if (::poll(&writable, 1, limit) != 1 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) {
      error = ETIMEDOUT;
    }
  }
  ::close(fd);
  return error == 0 || error == ECONNREFUSED;
}

// The network check, on the built-in broker address (the configuration is not read yet).
// A TCP connection attempt to the broker's port rather than a ping: the sandboxed
// service has no capability for raw sockets and no program to run.
bool NetworkAvailable() {
  std::string host;
  uint16_t broker_port = 0;
  station_center::SplitBrokerAddress(station_center::g_config.mqtt_server_address, &host, &broker_port);
  const std::string port = std::to_string(broker_port);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) {
    return false;
  }
  bool answered = false;
  for (const addrinfo* target = found; target != nullptr && !answered; target = target->ai_next) {
    answered = HostAnswers(*target);
  }
  ::freeaddrinfo(found);
  return answered;
}

// Connects to the broker (retrying for ever), then uploads the station state periodically.
void BrokerAndUploadLoop(std::shared_ptr<station_center::StationCenter> center,
                         std::shared_ptr<mqtt_callback::MqttCallback> callback) {
  while (!Broker()->Init(callback)) {
    LOG_ERROR("ErrorCode: {}, mqtt client init failed", station_center::kErrMqttInit);
    LOG_INFO("wait retry connect mqtt server");
    std::this_thread::sleep_for(kBrokerRetry);
  }
  g_broker_up = true;
  LOG_INFO("StationInfoUploadCloud will start, time = {}", center->clock().WallSeconds());
  for (;;) {
    // Nothing may end this thread quietly: an exception would sit in a future no one reads.
    try {
      center->StationInfoUploadCloud();
    } catch (const std::exception& e) {
      LOG_ERROR("cloud upload failed: {}", e.what());
    }
    const int32_t interval = station_center::g_config.upload_station_info_to_cloud_interval;
    if (interval > 0) {
      std::this_thread::sleep_for(std::chrono::seconds(interval));  // resumes after signals
    }
  }
}

// The signals that stop the service. Blocked in every thread (the mask is set before
// the first one starts) and taken by one thread of their own.
sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  return signals;
}

// A stopped service must not leave a heater, pump, valve or lamp on behind it: on
// SIGTERM or SIGINT the station switches everything off, then the process exits 0
// (the broker publishes the station's will). Nothing else is torn down.
void StopOnSignal() {
  std::thread([] {
    const sigset_t signals = StopSignals();
    int signal = 0;
    if (::sigwait(&signals, &signal) != 0) {
      return;
    }
    LOG_WARN("signal {} received, the station stops", signal);
    if (auto center = station_center::GetStationCenter()) {
      center->SwitchOffForExit();
    }
    LOG_INFO("station center stopped");
    std::fflush(stdout);
    std::_Exit(0);
  }).detach();
}

// Before an exit the housekeeping could not avoid: the station's own switch-off,
// given at most kSwitchOffLimit (a core stuck behind its lock cannot finish it;
// the unit's switch-off on stop follows either way).
void BoundedSwitchOff() {
  const auto center = station_center::GetStationCenter();
  if (!center) {
    return;
  }
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  try {
    std::thread([center, done] {
      center->SwitchOffForExit();
      done->set_value();
    }).detach();
  } catch (const std::exception& e) {
    LOG_ERROR("switch-off before the exit not started: {}", e.what());
    return;
  }
  if (finished.wait_for(kSwitchOffLimit) != std::future_status::ready) {
    LOG_ERROR("switch-off before the exit unfinished after {} s", kSwitchOffLimit.count());
  }
}

// `station_center --switch-off`: no controller is left (the unit stopped, crashed
// or was killed), so the board is reset over a connection of its own. Exit 0
// when the board confirmed.
int SwitchOffMode() {
  if (!station_center::ReadConfig()) {
    LOG_WARN("switch-off: configuration unreadable, the built-in board address is used");
  }
  const auto& c = station_center::g_config;
  return station_center::SwitchOffBoard(c.embedded_ip, static_cast<uint16_t>(c.embedded_action_port), kSwitchOffLimit)
             ? 0
             : 1;
}

int Run() {
  StopOnSignal();
  station_center::ServiceNotifier notifier;
  while (!NetworkAvailable()) {
    notifier.Status("waiting for the network");
    LOG_WARN("Network is not available, waiting 5 seconds before retrying...");
    std::this_thread::sleep_for(kNetworkRetry);
  }
  LOG_INFO("Network connectivity check passed.");

  station_center::CoreParts parts;
  parts.publisher = station_center::MqttReportPublisher(&Broker);
  auto center = std::make_shared<station_center::StationCenter>(std::move(parts));
  station_center::SetStationCenter(center);
  if (!center->Init()) {
    // Torn down here, while the logger still exists: its destructors log.
    station_center::SetStationCenter(nullptr);
    center.reset();
    return -1;
  }
  notifier.Ready(ServiceStatus(*center));

  auto callback = std::make_shared<mqtt_callback::MqttCallback>(center, Broker());
  // The broker may be away for long (each attempt waits up to mqtt_keep_alive_interval):
  // its loop runs beside the housekeeping, so the indication and the idle reset work
  // before the robot can reach the station. Held for the life of the process.
  std::future<void> upload =
      std::async(std::launch::async, [center, callback] { BrokerAndUploadLoop(center, callback); });

  station_center::RunHousekeeping(
      [&] {
        center->SuperviseBoard();
        center->ReflushLed();
        center->AutoReset();
        // Pinged only here, after a whole pass: a core stuck behind a lock stops the
        // pings and systemd restarts the daemon.
        notifier.Status(ServiceStatus(*center));
        notifier.Watchdog();
      },
      kHousekeeping, BoundedSwitchOff);
}

}  // namespace

int main(int argc, char** argv) {
  const sigset_t stop_signals = StopSignals();
  ::pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  try {
    if (argc > 1 && std::string(argv[1]) == "--switch-off") {
      return SwitchOffMode();
    }
    return Run();
  } catch (const std::exception& e) {
    LOG_ERROR("station center stopped: {}", e.what());
  } catch (...) {
    LOG_ERROR("station center stopped by an unknown exception");
  }
  return -1;
}
