#pragma once

// A station as processes (support/station_processes.h) for whole-station scenarios: the
// robot is stationctl, the simulator's console is its control socket, a plain MQTT client
// asks plain questions, watches the cloud uploads and keeps every message on the broker,
// which is checked against the MQTT contract (docs/asyncapi.yaml) when the test ends.

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
constexpr const char* kUploadTopic = "clean_robot_station/reportActively";
constexpr const char* kIdleQuestion = R"({"checkType":"ENUM_WATER_FINISH"})";  // changes nothing, not even the lamps

// tools/validate-messages over `messages`: its exit code, output, and one verdict
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
  // Subscribed to every topic before the daemon starts: the messages to check against the contract.
  MqttPeer peer_{station_.broker.address(), "e2e-peer-" + std::to_string(::getpid())};
  bool check_contract_ = true;  // off for a test that sends what the contract forbids
  bool stopped_ = false;        // the test stops the daemon itself
};

}  // namespace station_test
