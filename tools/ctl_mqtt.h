#pragma once

// A small blocking MQTT 5 session for command-line use: connect, subscribe,
// publish with QoS 1 and take received messages one by one with a deadline.
// Paho's exceptions stay inside; every call reports failure with a text.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "mqtt/broker_tls.h"
#include "mqtt/connect_reason.h"

namespace mqtt {
class async_client;
}

namespace stationctl {

// Who connects and in which protocol; an empty user name sends no credentials.
struct Login {
  std::string user;
  std::string password;
  station_center::MqttProtocol protocol = station_center::MqttProtocol::kV5;
};

class Session {
 public:
  using Clock = std::chrono::steady_clock;

  // `broker` is "host:port" or a URI such as "tcp://host:port"; "ssl://" and "mqtts://"
  // connect with TLS under `tls`.
  Session(const std::string& broker, const std::string& client_id, station_center::BrokerTls tls = {},
          Login login = {});
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // `refused`, when given, tells a broker that answered no from one away or silent.
  bool Connect(std::chrono::milliseconds timeout, std::string* error, bool* refused = nullptr);
  // Subscribes every topic with QoS 1 and waits for the broker's grant.
  bool Subscribe(const std::vector<std::string>& topics, std::chrono::milliseconds timeout, std::string* error);
  // Waits until the broker acknowledged the message (QoS 1).
  bool Publish(const std::string& topic, const std::string& payload, std::chrono::milliseconds timeout,
               std::string* error);

  enum class Wait { kMessage, kTimeout, kLost };
  // The next received message, waiting until `deadline`.
  Wait Next(Clock::time_point deadline, std::string* topic, std::string* payload);

  void Disconnect();

 private:
  std::unique_ptr<mqtt::async_client> client_;
  std::string create_error_;
  station_center::BrokerAddress address_;
  station_center::BrokerTls tls_;
  Login login_;
};

// "tcp://" is added when the address names no scheme.
std::string BrokerUri(const std::string& broker);

}  // namespace stationctl
