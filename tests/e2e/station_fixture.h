#pragma once

// A whole station on loopback for end-to-end scenarios: a mosquitto broker, the
// board simulator (board_sim) and the daemon (station_center) as three real
// processes over a fresh station tree. The robot is stationctl; the simulator's
// console is its control socket; a plain MQTT client watches what the station
// publishes and sends what stationctl cannot (malformed requests).

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mqtt/mqtt_peer.h"
#include "support/child_process.h"
#include "support/ctl_process.h"
#include "support/mosquitto.h"
#include "support/test_support.h"

namespace station_test {

// What the simulator's "status" shows, in numbers.
struct SimState {
  double tank_ml = -1;
  int foot_level = -1;
  double given_ml = -1;   // let out to the robot so far
  std::string actuators;  // e.g. "fan(6) heatwire(5)" or "all off"
  int led = -1;
  int board_resets = -1;
  double wire_c = -1;
  int tablets = -1;
  int sewage_level = -1;
};

class StationFixture : public ::testing::Test {
 protected:
  using Seconds = std::chrono::seconds;

  void SetUp() override;
  void TearDown() override;

  // stationctl as this station's robot; returns once it has exited.
  CtlResult Robot(std::vector<std::string> args);
  // Repeats the request until stationctl exits with `exit_code`; false at the deadline.
  bool RobotUntil(const std::vector<std::string>& args, int exit_code, Seconds limit = Seconds(60));

  // One line at the simulator's console; the answer.
  std::string Sim(const std::string& line);
  SimState State();
  bool WaitForState(const std::function<bool(const SimState&)>& pred, Seconds limit = Seconds(60));

  // Waits for a cloud upload for which `pred` holds; uploads before it are dropped.
  bool AwaitUpload(const std::function<bool(const std::string& json)>& pred, std::string* json = nullptr,
                   Seconds limit = Seconds(60));

  // Publishes `payload` on the station's request topic `name` and returns the reply.
  bool RawRequest(const std::string& name, const std::string& payload, std::string* reply);

  std::string StationTopic(const std::string& name) const { return "clean_robot_station/" + station_id_ + "/" + name; }
  std::string DaemonLog() const { return daemon_.Log(); }

  TempRoot root_;
  MosquittoBroker broker_;
  ChildProcess sim_;
  ChildProcess daemon_;
  std::unique_ptr<MqttPeer> peer_;
  std::string station_id_;
  std::string control_socket_;
  // The dust-bag replacement time written into status.json before the start.
  long initial_dust_bag_time_ = 0;
};

// Names in the "abnormal_sensor_list" of a cloud upload, with their "data" ("dust_bag=out").
std::vector<std::string> AbnormalSensors(const std::string& upload_json);
// "task_id" values of "abnormal_task_list".
std::vector<int> AbnormalTasks(const std::string& upload_json);
// "state_info.occupy_state", or -1.
int OccupyState(const std::string& upload_json);
// The upload carries neither an "abnormal_info" nor an abnormal task list.
bool CleanUpload(const std::string& upload_json);

}  // namespace station_test
