#pragma once

// Helpers for the stationctl tests: run the tool as a child process, and a
// scripted station on the broker that records requests and answers them.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace mqtt {
class async_client;
}

namespace station_test {

struct CtlResult {
  int exit_code = -1;  // -1: killed at the deadline
  std::string out;
  std::string err;
};

// A running stationctl with its output captured in files.
class CtlProcess {
 public:
  explicit CtlProcess(const std::vector<std::string>& args);
  ~CtlProcess();
  CtlProcess(const CtlProcess&) = delete;
  CtlProcess& operator=(const CtlProcess&) = delete;

  bool started() const { return pid_ > 0; }
  std::string Out() const;
  // Waits for the exit (killed after `limit`) and returns what it printed.
  CtlResult Finish(std::chrono::milliseconds limit = std::chrono::seconds(60));

 private:
  std::string dir_;
  pid_t pid_ = -1;
};

// Runs stationctl to the end.
CtlResult RunCtl(const std::vector<std::string>& args);

struct Seen {
  std::string topic;
  std::string payload;
};

// Plays the station: subscribes the robot's request topics and the cloud reply
// topic of `station`, records every message and answers through `responder`
// (the reply JSON, or nothing to stay silent). Replies are published on the
// request topic + "Re".
class ScriptedStation {
 public:
  using Responder = std::function<std::vector<std::string>(const Seen& request)>;

  ScriptedStation(const std::string& broker, const std::string& station, Responder responder);
  ~ScriptedStation();

  bool Connect();
  std::vector<Seen> Received() const;
  // Publishes a message as the station would (reports, uploads, replies).
  bool Publish(const std::string& topic, const std::string& payload);

 private:
  std::string station_;
  Responder responder_;
  std::unique_ptr<mqtt::async_client> client_;
  mutable std::mutex mutex_;
  std::vector<Seen> received_;
};

// The msg_id uuid of a request's JSON, or empty.
std::string RequestMsgId(const std::string& request_json);

}  // namespace station_test
