#pragma once

// The live side of station_soak: a private station on loopback (mosquitto,
// board_sim and station_center as child processes over a station tree of its
// own) and the robot that talks to it over MQTT.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ctl_messages.h"
#include "ctl_mqtt.h"
#include "kit/mosquitto.h"
#include "kit/notify.h"
#include "soak_plan.h"

namespace soak {

using Clock = std::chrono::steady_clock;

using kit::Child;
using kit::NotifyListener;
using kit::StopChildrenOnSignals;

struct StationOptions {
  std::string bin_dir;      // where board_sim and station_center are
  std::string work_dir;     // the station tree and the logs go here
  int sim_rate = 10;        // the simulator's sensor reports per second (1 to 100)
  bool fast_limits = true;  // cut time limits (see kFastConfig); false keeps the daemon's defaults
  bool wall_steps = false;  // the daemon under libfaketime, its wall clock moved by StepWall
};

// The three processes and their station tree. Use from one thread.
class Station {
 public:
  explicit Station(StationOptions options) : options_(std::move(options)) {}
  ~Station() { Stop(); }

  // Writes the tree, starts the three and waits until the daemon is idle and
  // connected; false with `error` set.
  bool Start(std::string* error);
  void Stop();

  // One simulator console line; the answer, or "" when the simulator is unreachable.
  std::string Sim(const std::string& line);
  // The daemon runs and pings its watchdog; `why` says otherwise.
  bool DaemonAlive(std::string* why);
  std::string DaemonStatus() const { return notify_.status(); }
  pid_t DaemonPid() const { return daemon_.pid(); }

  // Stops the broker and starts it again on the same port, with Nagle's algorithm
  // off on its client sockets when `nodelay`; true once it accepts connections again.
  bool RestartBroker(bool nodelay, std::string* error);
  // The daemon alone: stopped, and started again without waiting for it to be ready.
  void StopDaemon() { daemon_.Stop(); }
  bool StartDaemon(std::string* error);
  // SIGKILL to the daemon, then the unit's switch-off at once; false when it was not running.
  bool KillDaemon();
  // Starts the daemon again and waits up to `limit` for its first watchdog ping.
  bool RestartDaemon(std::chrono::milliseconds limit, std::string* error);

  // Moves the daemon's wall clock by `seconds` (the steady clock stays); false
  // when it does not run under libfaketime.
  bool StepWall(int seconds);

  const std::string& broker() const { return broker_; }
  const std::string& station_id() const { return station_id_; }
  std::string Logs() const;  // where the three logs are

 private:
  bool WriteTree(uint16_t command_port, uint16_t sensor_port, std::string* error);
  bool StartProcesses(std::string* error);
  std::vector<std::string> DaemonEnv() const;
  void SwitchOffWithoutDaemon();

  StationOptions options_;
  std::string root_;
  std::string control_socket_;
  std::string broker_;
  std::string station_id_;
  std::string notify_name_;  // the daemon's NOTIFY_SOCKET, one per station of the process
  NotifyListener notify_;
  std::optional<kit::MosquittoBroker> mosquitto_;
  Child sim_;
  Child daemon_;
  bool switched_off_ = false;  // the board was reset after the daemon ended
  std::string faketime_;       // libfaketime's path when the daemon runs under it
  int wall_offset_ = 0;        // seconds, as the daemon's wall clock is moved
};

// What became of one request.
struct Answer {
  bool answered = false;
  double seconds = 0;  // until the reply (or until given up)
  stationctl::Verdict verdict;
  std::string text;  // one line: the verdict, or why there is none
};

// The robot: one MQTT session subscribed to the station's four reply topics.
// Use from one thread.
class Robot {
 public:
  Robot(const std::string& broker, const std::string& station_id);
  bool Connect(std::string* error);
  // Publishes `request` and waits up to `limit` for the reply with its msg_id.
  Answer Ask(const Request& request, std::chrono::milliseconds limit);

 private:
  std::string station_id_;
  stationctl::Session session_;
};

}  // namespace soak
