#pragma once

// A station as processes (support/station_processes.h) for whole-station scenarios: the
// robot is stationctl, the simulator's console is its control socket, a plain MQTT client
// asks plain questions and watches the cloud uploads, and every message on the broker is
// checked against the MQTT contract (docs/asyncapi.yaml) when the test ends.

#include <gtest/gtest.h>
#include <mqtt/async_client.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "mqtt/mqtt_peer.h"
#include "support/station_processes.h"

namespace station_test {

using Seconds = std::chrono::seconds;
using Message = std::pair<std::string, std::string>;  // topic, payload
constexpr const char* kUploadTopic = "clean_robot_station/reportActively";

// Every message the broker relays, in the order of arrival.
class Capture : private mqtt::callback {
 public:
  explicit Capture(const std::string& address);
  ~Capture() override;
  bool Start();
  bool Publish(const std::string& topic, const std::string& payload);
  size_t Size();
  std::vector<Message> Messages();
  // Waits for a message on `topic` among those from index `from` on, for which `pred` holds.
  bool Await(const std::string& topic, size_t from, std::string* payload,
             const std::function<bool(const std::string&)>& pred = nullptr);

 private:
  void message_arrived(mqtt::const_message_ptr msg) override;

  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Message> messages_;
  mqtt::async_client client_;  // last, so that it goes before what its callback uses
};

// tests/contract/validate_messages.py over `messages`: its exit code, output, and one verdict
// per message in order.
struct Verdicts {
  int exit_code = -1;
  std::string output;
  std::vector<bool> ok;
};
Verdicts Validate(const std::string& dir, const std::string& name, const std::vector<Message>& messages,
                  std::vector<std::string> extra);

class StationFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  testing::AssertionResult Robot(const std::vector<std::string>& args, int exit_code, const std::string& wanted = "") {
    return station_.Robot(args, exit_code, wanted);
  }
  // Repeats the request until stationctl exits with `exit_code` and prints `wanted`.
  bool RobotUntil(const std::vector<std::string>& args, int exit_code, const std::string& wanted = "") {
    return station_.Await([&] { return Robot(args, exit_code, wanted); });
  }
  testing::AssertionResult Sim(const std::string& line) { return station_.Console(line); }
  SimState State() { return station_.State(); }
  bool WaitForState(const std::function<bool(const SimState&)>& pred, Seconds limit = Seconds(60)) {
    return station_.AwaitState(pred, limit);
  }
  // Drops the uploads received so far.
  void DropUploads();
  // The uploads received since the last DropUploads, and the first one to arrive after this call.
  std::vector<std::string> UploadsSinceDropAndNext();
  // Waits for a cloud upload for which `pred` holds; uploads before it are dropped.
  bool AwaitUpload(const std::function<bool(const std::string&)>& pred);
  std::string StationTopic(const std::string& name) const { return station_.Topic(name); }

  StationProcesses station_;
  Capture capture_{station_.broker.address()};
  MqttPeer peer_{station_.broker.address(), "e2e-peer-" + std::to_string(::getpid())};
  bool check_contract_ = true;  // off for a test that sends what the contract forbids
};

}  // namespace station_test
