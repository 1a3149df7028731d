#pragma once

#include <mqtt/async_client.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace station_test {

using Message = std::pair<std::string, std::string>;  // topic, payload

// The robot (or cloud) side of a test: a plain MQTT 3.1.1 client on the test broker that
// keeps what it receives, to be taken by topic or read in order of arrival. Each call
// but Send waits up to 20 s for the broker's acknowledgement.
class MqttPeer : private mqtt::callback {
 public:
  MqttPeer(const std::string& address, const std::string& client_id)
      : client_("tcp://" + address, client_id, mqtt::create_options(MQTTVERSION_3_1_1, 100000)) {
    client_.set_callback(*this);
  }
  ~MqttPeer() override {
    try {
      client_.disable_callbacks();
      if (client_.is_connected()) client_.disconnect()->wait_for(std::chrono::seconds(5));
    } catch (const std::exception&) {
    }
  }

  // A clean session, as the defaults have it. A failure throws.
  bool Connect() { return client_.connect()->wait_for(kWait); }
  bool Subscribe(const std::string& topic) { return client_.subscribe(topic, 1)->wait_for(kWait); }
  bool Publish(const std::string& topic, const std::string& payload) {
    return client_.publish(mqtt::make_message(topic, payload, 1, false))->wait_for(kWait);
  }
  // Publishes without waiting for the acknowledgement, as a burst does; waits only while the
  // library's own buffer is full.
  bool Send(const std::string& topic, const std::string& payload) {
    for (int attempt = 0; attempt < 2000; ++attempt) {
      try {
        client_.publish(mqtt::make_message(topic, payload, 1, false));
        return true;
      } catch (const mqtt::exception&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
    return false;
  }

  // Asks on `topic` until an answer comes on its "Re" topic: a station's subscriptions are not awaited.
  bool AskUntilAnswered(const std::string& topic, const std::string& payload,
                        std::chrono::milliseconds each = std::chrono::milliseconds(500)) {
    return WaitUntil([&] { return Send(topic, payload) && Take(topic + "Re", nullptr, each); });
  }
  // Takes the first message received on `topic`, waiting up to `timeout`.
  bool Take(const std::string& topic, std::string* payload, std::chrono::milliseconds timeout = kWait) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [&] { return received_.count(topic) > 0; })) return false;
    const auto it = received_.find(topic);  // the first received of those on `topic`
    if (payload != nullptr) *payload = it->second;
    received_.erase(it);
    return true;
  }
  // Everything received so far, taken or not, in order of arrival.
  std::vector<Message> Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }
  size_t Size() { return Messages().size(); }
  // Waits for a message on `topic` among those from index `from` on, for which `pred` holds.
  bool Await(const std::string& topic, size_t from, std::string* payload,
             const std::function<bool(const std::string&)>& pred = nullptr) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(30), [&] {
      for (size_t i = from; i < log_.size(); ++i) {
        if (log_[i].first == topic && (!pred || pred(log_[i].second))) {
          if (payload != nullptr) *payload = log_[i].second;
          return true;
        }
      }
      return false;
    });
  }

 private:
  // On the library's callback thread.
  void message_arrived(mqtt::const_message_ptr msg) override {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.emplace(msg->get_topic(), msg->to_string());
    log_.emplace_back(msg->get_topic(), msg->to_string());
    cv_.notify_all();
  }
  static constexpr std::chrono::seconds kWait{20};

  std::mutex mutex_;
  std::condition_variable cv_;
  std::multimap<std::string, std::string> received_;  // payloads by topic, in order of arrival
  std::vector<Message> log_;                          // all of them, in order of arrival
  mqtt::async_client client_;                         // last, so that it goes before what its callbacks use
};

}  // namespace station_test
