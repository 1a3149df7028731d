#include "mqtt/mqtt_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "config.h"
#include "mqtt/mqtt_peer.h"
#include "robot/base_station_mqtt.pb.h"
#include "support/mosquitto.h"
#include "support/test_support.h"

namespace station_center {
namespace {

using station_test::MosquittoBroker;
using station_test::MqttPeer;
using station_test::RecordingCallback;

TEST(FormatTopicTest, Rules) {
  struct Case {
    std::string format, id, want;
  } cases[] = {
      {"clean_robot_station/%s/checkStation", "A", "clean_robot_station/A/checkStation"},
      {"a/%s/b/%s", "x", "a/x/b/%s"},  // only the first occurrence
      {"clean_robot_station/reportActively", "x", "clean_robot_station/reportActively"},
      {"", "x", ""},
      {"a/%s", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatTopic(c.format, c.id), c.want) << c.format << " / " << c.id;
  }
}

TEST(BrokerAddressTest, UriAndNoDelayTarget) {
  struct Case {
    std::string address, uri, host;
    uint16_t port;
  } cases[] = {
      {"broker.example", "tcp://broker.example:1883", "broker.example", 1883},
      {"127.0.0.1:40001", "tcp://127.0.0.1:40001", "127.0.0.1", 40001},
      {"tcp://10.0.0.1:1884", "tcp://10.0.0.1:1884", "10.0.0.1", 1884},
      {"host:notaport", "tcp://host:1883", "host", 1883},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BrokerUri(c.address), c.uri);
    std::string host;
    uint16_t port = 0;
    SplitBrokerAddress(c.address, &host, &port);
    EXPECT_EQ(host, c.host);
    EXPECT_EQ(port, c.port);
  }
}

// Each test gets its own broker and a client rebuilt from g_config.
class MqttClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    broker_ = std::make_unique<MosquittoBroker>(0, BrokerNoDelay());
    ASSERT_TRUE(broker_->Start()) << broker_->Log();
    saved_ = g_config;
    g_config.station_id = "A";
    g_config.mqtt_server_address = broker_->address();
    g_config.mqtt_keep_alive_interval = 20;
  }
  void TearDown() override {
    g_config = saved_;
    MqttClient::Instance().ReconfigureForTest();
  }
  MqttClient& Client() {
    MqttClient::Instance().ReconfigureForTest();
    return MqttClient::Instance();
  }

  virtual bool BrokerNoDelay() const { return false; }

  std::unique_ptr<MosquittoBroker> broker_;
  Config saved_;
};

TEST_F(MqttClientTest, CloudReplyFormatWithoutStationIdIsNotSubscribed) {
  g_config.cloud_reply_topic_format = "clean_robot_station/reportActivelyRe";
  MqttClient& client = Client();
  auto callback = std::make_shared<RecordingCallback>();
  ASSERT_TRUE(client.Init(callback));
  MqttPeer cloud(broker_->address(), "cloud");
  ASSERT_TRUE(cloud.Connect());
  ASSERT_TRUE(station_test::WaitUntil([&] {
    cloud.Publish("clean_robot_station/A/dockState", "probe");
    return callback->Take("clean_robot_station/A/dockState", nullptr, std::chrono::milliseconds(100));
  }));
  // One publisher, one broker: a later message on a subscribed topic arrives after any
  // earlier one, so the unsubscribed topic had its chance.
  ASSERT_TRUE(cloud.Publish("clean_robot_station/reportActivelyRe", "{}"));
  ASSERT_TRUE(cloud.Publish("clean_robot_station/A/dockState", "after"));
  ASSERT_TRUE(callback->Take("clean_robot_station/A/dockState", nullptr));
  for (const auto& r : callback->Snapshot()) {
    EXPECT_NE(r.topic, "clean_robot_station/reportActivelyRe");
  }
}

TEST_F(MqttClientTest, InitWhenConnectedReRegistersCallback) {
  MqttClient& client = Client();
  EXPECT_EQ(client.client_id(), "Station_A");
  auto first = std::make_shared<RecordingCallback>();
  auto second = std::make_shared<RecordingCallback>();
  ASSERT_TRUE(client.Init(first));
  ASSERT_TRUE(client.Init(second));  // already connected: no new connection
  MqttPeer robot(broker_->address(), "robot");
  ASSERT_TRUE(robot.Connect());
  ASSERT_TRUE(station_test::WaitUntil([&] {
    robot.Publish("clean_robot_station/A/checkStation", "x");
    return second->Take("clean_robot_station/A/checkStation", nullptr, std::chrono::milliseconds(100));
  }));
  EXPECT_TRUE(first->Snapshot().empty());
  const std::string log = broker_->Log();
  size_t connects = 0;
  for (size_t pos = log.find("as Station_A"); pos != std::string::npos; pos = log.find("as Station_A", pos + 1)) {
    ++connects;
  }
  EXPECT_EQ(connects, 1u) << log;  // the broker names the client by its id
  // A request type has no reply topic.
  EXPECT_EQ(client.GetTopicName(vantorel_base_station_mqtt::SupplyMaterialReq()), "");
}

// The broker's and the robot's sockets are not under test: both get Nagle off, so the
// station's own socket decides the round trip.
class MqttLatencyTest : public MqttClientTest {
 protected:
  bool BrokerNoDelay() const override { return true; }
};

// Without TCP_NODELAY on the station's socket, the reply waits for the broker's delayed
// ACK of the library's PUBACK: ~40-90 ms per round trip instead of well under one.
TEST_F(MqttLatencyTest, RequestReplyRoundTripIsFast) {
  MqttPeer robot(broker_->address(), "robot");
  ASSERT_TRUE(robot.Connect());
  ASSERT_TRUE(robot.Subscribe("clean_robot_station/A/checkStationRe"));
  // Before the station connects, so only the robot's socket is changed here.
  ASSERT_GE(SetNoDelayTowardsPeer("127.0.0.1", broker_->port()), 1);

  MqttClient& client = Client();
  auto echo = std::make_shared<RecordingCallback>([&client](const station_test::Received&) {
    vantorel_base_station_mqtt::StationCheckRsp rsp;
    client.PublishReply(rsp);
  });
  ASSERT_TRUE(client.Init(echo));
  ASSERT_TRUE(station_test::WaitUntil([&] {
    robot.Publish("clean_robot_station/A/checkStation", "warmup");
    return robot.Take("clean_robot_station/A/checkStationRe", nullptr, std::chrono::milliseconds(200));
  }));
  robot.callback().Clear();

  std::vector<double> millis;
  for (int i = 0; i < 20; ++i) {
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(robot.Publish("clean_robot_station/A/checkStation", "{}"));
    ASSERT_TRUE(robot.Take("clean_robot_station/A/checkStationRe", nullptr));
    millis.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(millis.begin(), millis.end());
  EXPECT_LT(millis[millis.size() / 2], 20.0) << "median round trip in ms";
}

}  // namespace
}  // namespace station_center
