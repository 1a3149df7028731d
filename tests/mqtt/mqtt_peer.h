#pragma once

#include <mqtt/async_client.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace station_test {

struct Received {
  std::string topic;
  std::string payload;
};

// Collects the messages a Paho callback receives; optionally answers each one.
// Written on the library's callback thread, read by the test thread.
class RecordingCallback : public mqtt::callback {
 public:
  using Responder = std::function<void(const Received&)>;

  explicit RecordingCallback(Responder responder = nullptr) : responder_(std::move(responder)) {}

  void message_arrived(mqtt::const_message_ptr msg) override {
    Received got{msg->get_topic(), msg->to_string()};
    if (responder_) {
      responder_(got);
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.push_back(std::move(got));
    }
    cv_.notify_all();
  }

  // Takes the first message on `topic`, waiting up to `timeout`.
  bool Take(const std::string& topic, std::string* payload,
            std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> lock(mutex_);
    bool found = cv_.wait_for(lock, timeout, [&] {
      for (const auto& r : received_) {
        if (r.topic == topic) return true;
      }
      return false;
    });
    if (!found) return false;
    for (auto it = received_.begin(); it != received_.end(); ++it) {
      if (it->topic == topic) {
        if (payload != nullptr) *payload = it->payload;
        received_.erase(it);
        return true;
      }
    }
    return false;
  }

  std::vector<Received> Snapshot() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {received_.begin(), received_.end()};
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
  }

 private:
  Responder responder_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Received> received_;
};

// The robot (or cloud) side of a test: a plain MQTT 3.1.1 client on the test broker.
class MqttPeer {
 public:
  MqttPeer(const std::string& address, const std::string& client_id)
      : client_("tcp://" + address, client_id), callback_(std::make_shared<RecordingCallback>()) {
    client_.set_callback(*callback_);
  }
  ~MqttPeer() {
    try {
      client_.disable_callbacks();
      if (client_.is_connected()) client_.disconnect()->wait_for(std::chrono::seconds(5));
    } catch (const std::exception&) {
    }
  }

  bool Connect() {
    try {
      auto opts = mqtt::connect_options_builder().clean_session(true).finalize();
      return client_.connect(opts)->wait_for(std::chrono::seconds(20));
    } catch (const std::exception&) {
      return false;
    }
  }
  bool Subscribe(const std::string& topic) {
    try {
      return client_.subscribe(topic, 1)->wait_for(std::chrono::seconds(20));
    } catch (const std::exception&) {
      return false;
    }
  }
  bool Publish(const std::string& topic, const std::string& payload) {
    try {
      return client_.publish(mqtt::make_message(topic, payload, 1, false))->wait_for(std::chrono::seconds(20));
    } catch (const std::exception&) {
      return false;
    }
  }
  bool Take(const std::string& topic, std::string* payload,
            std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    return callback_->Take(topic, payload, timeout);
  }
  RecordingCallback& callback() { return *callback_; }

 private:
  mqtt::async_client client_;
  std::shared_ptr<RecordingCallback> callback_;
};

}  // namespace station_test
