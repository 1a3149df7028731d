#pragma once

#include <mqtt/async_client.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace station_test {

// The robot (or cloud) side of a test: a plain MQTT 3.1.1 client on the test broker that
// keeps what it receives. Each call waits up to 20 s for the broker's acknowledgement.
class MqttPeer : private mqtt::callback {
 public:
  MqttPeer(const std::string& address, const std::string& client_id) : client_("tcp://" + address, client_id) {
    client_.set_callback(*this);
  }
  ~MqttPeer() override {
    try {
      client_.disable_callbacks();
      if (client_.is_connected()) client_.disconnect()->wait_for(std::chrono::seconds(5));
    } catch (const std::exception&) {
    }
  }

  bool Connect() {
    return Wait([this] { return client_.connect(mqtt::connect_options_builder().clean_session(true).finalize()); });
  }
  bool Subscribe(const std::string& topic) {
    return Wait([&] { return client_.subscribe(topic, 1); });
  }
  bool Publish(const std::string& topic, const std::string& payload) {
    return Wait([&] { return client_.publish(mqtt::make_message(topic, payload, 1, false)); });
  }

  // Takes the first message received on `topic`, waiting up to `timeout`.
  bool Take(const std::string& topic, std::string* payload,
            std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = received_.end();
    cv_.wait_for(lock, timeout, [&] {
      it = std::find_if(received_.begin(), received_.end(), [&](const auto& r) { return r.first == topic; });
      return it != received_.end();
    });
    if (it == received_.end()) return false;
    if (payload != nullptr) *payload = it->second;
    received_.erase(it);
    return true;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
  }

 private:
  // On the library's callback thread.
  void message_arrived(mqtt::const_message_ptr msg) override {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.emplace_back(msg->get_topic(), msg->to_string());
    cv_.notify_all();
  }
  template <typename F>
  static bool Wait(F start) {
    try {
      return start()->wait_for(std::chrono::seconds(20));
    } catch (const std::exception&) {
      return false;
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::pair<std::string, std::string>> received_;  // topic, payload
  mqtt::async_client client_;                                  // last, so that it goes before what its callbacks use
};

}  // namespace station_test
