#pragma once

// Helpers for the stationctl tests: a scripted station on the broker that
// records requests and answers them. Running the tool: support/ctl_process.h.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/ctl_process.h"

namespace mqtt {
class async_client;
}

namespace station_test {

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
