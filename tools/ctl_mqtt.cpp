// Blocking MQTT 5 session over Paho's asynchronous client.

#include "ctl_mqtt.h"

#include <mqtt/async_client.h>

#include "ctl_nodelay.h"

namespace stationctl {

std::string BrokerUri(const std::string& broker) {
  return broker.find("://") == std::string::npos ? "tcp://" + broker : broker;
}

Session::Session(const std::string& broker, const std::string& client_id, station_center::BrokerTls tls, Login login)
    : address_(station_center::ParseBrokerAddress(BrokerUri(broker))), tls_(std::move(tls)), login_(std::move(login)) {
  try {
    const int version = station_center::LibraryMqttVersion(login_.protocol);
    client_ =
        std::make_unique<mqtt::async_client>(BrokerUri(broker), client_id, mqtt::create_options(version), nullptr);
  } catch (const std::exception& e) {
    create_error_ = std::string("bad broker address ") + broker + ": " + e.what();
  }
}

Session::~Session() { Disconnect(); }

bool Session::Connect(std::chrono::milliseconds timeout, std::string* error, bool* refused) {
  bool ignored = false;
  refused = refused != nullptr ? refused : &ignored;
  *refused = false;
  if (!client_) {
    *error = create_error_;
    return false;
  }
  try {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout) + std::chrono::seconds(1);
    const bool v5 = login_.protocol == station_center::MqttProtocol::kV5;
    mqtt::connect_options options = mqtt::connect_options_builder()
                                        .mqtt_version(station_center::LibraryMqttVersion(login_.protocol))
                                        .clean_start(v5)
                                        .clean_session(!v5)
                                        .keep_alive_interval(std::chrono::seconds(20))
                                        .connect_timeout(seconds)
                                        .finalize();
    if (!login_.user.empty()) {
      options.set_user_name(login_.user);
      options.set_password(login_.password);
    }
    if (address_.tls) {
      options.set_ssl(station_center::LibraryTlsOptions(tls_));
    }
    // Before connecting, so that nothing that arrives is lost.
    client_->start_consuming();
    mqtt::token_ptr token = client_->connect(options);
    if (!token->wait_for(timeout)) {
      *error = station_center::NoAnswer(timeout).reason;
      return false;
    }
    NoDelayTowardsBroker(client_->get_server_uri());  // Paho leaves Nagle on: see ctl_nodelay.h
    return true;
  } catch (const mqtt::exception& e) {
    const station_center::ConnectFailure failure = station_center::ConnectFailureOf(e.get_return_code(), e.what());
    *error = failure.reason;
    *refused = failure.refused;
  } catch (const std::exception& e) {
    *error = e.what();
  }
  // The library says "TCP/TLS connect failure" whatever went wrong: name the reason.
  if (address_.tls) {
    const std::string reason = station_center::TlsFailureReason(address_.host, address_.port, tls_, timeout);
    if (!reason.empty()) {
      *error = reason;
    }
  }
  return false;
}

bool Session::Subscribe(const std::vector<std::string>& topics, std::chrono::milliseconds timeout, std::string* error) {
  if (!client_) {
    *error = create_error_;
    return false;
  }
  try {
    auto filters = mqtt::string_collection::create(topics);
    std::vector<int> qos(topics.size(), 1);
    mqtt::token_ptr token = client_->subscribe(filters, qos);
    if (!token->wait_for(timeout)) {
      *error = "the broker did not grant the subscription";
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    *error = e.what();
    return false;
  }
}

bool Session::Publish(const std::string& topic, const std::string& payload, std::chrono::milliseconds timeout,
                      std::string* error) {
  if (!client_) {
    *error = create_error_;
    return false;
  }
  try {
    mqtt::delivery_token_ptr token = client_->publish(mqtt::make_message(topic, payload, 1, false));
    if (!token->wait_for(timeout)) {
      *error = "the broker did not acknowledge the message";
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    *error = e.what();
    return false;
  }
}

Session::Wait Session::Next(Clock::time_point deadline, std::string* topic, std::string* payload) {
  if (!client_) {
    return Wait::kLost;
  }
  try {
    mqtt::const_message_ptr msg;
    if (!client_->try_consume_message_until(&msg, deadline)) {
      return client_->is_connected() ? Wait::kTimeout : Wait::kLost;
    }
    if (!msg) {
      return Wait::kLost;  // Paho queues an empty message when the connection drops
    }
    *topic = msg->get_topic();
    *payload = msg->to_string();
    return Wait::kMessage;
  } catch (const std::exception&) {
    return Wait::kLost;
  }
}

void Session::Disconnect() {
  if (!client_) {
    return;
  }
  try {
    if (client_->is_connected()) {
      client_->disconnect()->wait_for(std::chrono::seconds(2));
    }
    client_->stop_consuming();
  } catch (const std::exception&) {
    // Leaving anyway; the broker drops the session when the socket closes.
  }
}

}  // namespace stationctl
