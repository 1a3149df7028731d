// station_burst: sends N station checks back to back (QoS 1) as one robot and reports
// how many replies came back, how many twice, and the reply times (from the moment each
// request was handed to the MQTT library to its reply's arrival).

#include <mqtt/async_client.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ctl_mqtt.h"
#include "ctl_nodelay.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kHelp[] =
    "usage: station_burst [--broker HOST:PORT] [--station ID] [--count N] [--timeout S]\n"
    "\n"
    "Publishes N StationCheckReq (in-pose) on clean_robot_station/<id>/checkStation back to\n"
    "back at QoS 1, waits up to S seconds (default 60) after the last for the replies, and\n"
    "prints replies received, missing, duplicates and the p50/p99/max reply time.\n"
    "Defaults: broker 127.0.0.1:18830 (run-sim's), station this host's name, N 2000.\n"
    "Exit status: 0 every request answered exactly once, 1 otherwise, 2 usage, 3 no broker.\n";

struct Options {
  std::string broker = "127.0.0.1:18830";
  std::string station;
  int count = 2000;
  double timeout = 60.0;
};

bool ParseOptions(int argc, char** argv, Options* options) {
  // Every option takes a value: they come in pairs.
  for (int i = 1; i < argc; i += 2) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (value == nullptr) {
      return false;
    }
    if (arg == "--broker") {
      options->broker = value;
    } else if (arg == "--station") {
      options->station = value;
    } else if (arg == "--count") {
      options->count = std::atoi(value);
    } else if (arg == "--timeout") {
      options->timeout = std::atof(value);
    } else {
      return false;
    }
  }
  if (options->station.empty()) {
    char host[256] = {};
    ::gethostname(host, sizeof(host) - 1);
    options->station = host;
  }
  return options->count > 0 && options->timeout > 0;
}

// Records the arrival of each reply by the request number in its msgId. The library
// calls message_arrived on its own thread; the rest is read under the same lock.
class Replies : public mqtt::callback {
 public:
  Replies(const std::string& prefix, int count) : prefix_(prefix), sent_(count), first_(count), seen_(count, 0) {}

  void Sent(int i) {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_[static_cast<size_t>(i)] = Clock::now();
  }
  int answered() {
    std::lock_guard<std::mutex> lock(mutex_);
    return answered_;
  }
  // Prints the summary; true when every request was answered exactly once.
  bool Report(Clock::time_point start, Clock::time_point sent_all);

 private:
  void message_arrived(mqtt::const_message_ptr msg) override {
    const Clock::time_point now = Clock::now();
    const std::string payload = msg->to_string();
    const std::string key = "\"msgId\":{\"uuid\":\"" + prefix_;
    const size_t at = payload.find(key);
    std::lock_guard<std::mutex> lock(mutex_);
    const long i = at == std::string::npos ? -1 : std::strtol(payload.c_str() + at + key.size(), nullptr, 10);
    if (i < 0 || i >= static_cast<long>(seen_.size())) {
      ++unknown_;
      return;
    }
    const size_t n = static_cast<size_t>(i);
    if (seen_[n]++ == 0) {
      first_[n] = now;
      ++answered_;
    } else {
      ++duplicates_;
    }
  }

  const std::string prefix_;
  std::mutex mutex_;
  std::vector<Clock::time_point> sent_;
  std::vector<Clock::time_point> first_;
  std::vector<int> seen_;
  int answered_ = 0;
  int duplicates_ = 0;
  int unknown_ = 0;
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

bool Replies::Report(Clock::time_point start, Clock::time_point sent_all) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<double> times;
  Clock::time_point last = start;
  for (size_t i = 0; i < seen_.size(); ++i) {
    if (seen_[i] > 0) {
      times.push_back(Ms(first_[i] - sent_[i]));
      last = std::max(last, first_[i]);
    }
  }
  std::sort(times.begin(), times.end());
  const auto at = [&](double q) {
    return times.empty() ? 0.0 : times[std::min(times.size() - 1, static_cast<size_t>(q * times.size()))];
  };
  const int requests = static_cast<int>(seen_.size());
  std::printf("requests %d, replies %d, missing %d, duplicates %d, unknown %d\n", requests, answered_,
              requests - answered_, duplicates_, unknown_);
  std::printf("reply time ms: p50 %.1f, p99 %.1f, max %.1f\n", at(0.50), at(0.99), times.empty() ? 0.0 : times.back());
  std::printf("burst sent in %.0f ms, last reply %.0f ms after the first request\n", Ms(sent_all - start),
              Ms(last - start));
  return answered_ == requests && duplicates_ == 0;
}

// Publishes request `i`, waiting while the library's own buffer is full.
bool PublishRequest(mqtt::async_client& client, const std::string& topic, const std::string& prefix, int i) {
  const std::string payload = R"({"reqHeader":{"msgId":{"uuid":")" + prefix + std::to_string(i) +
                              R"("},"robotId":{"uuid":"station_burst"}},"checkType":"ENUM_IN_POSE"})";
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
  for (;;) {
    try {
      client.publish(mqtt::make_message(topic, payload, 1, false));
      return true;
    } catch (const mqtt::exception& e) {
      if (e.get_return_code() != MQTTASYNC_MAX_BUFFERED_MESSAGES || Clock::now() > deadline) {
        std::cerr << "station_burst: publish failed: " << e.what() << "\n";
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

int Burst(const Options& options) {
  const std::string topic = "clean_robot_station/" + options.station + "/checkStation";
  const std::string prefix = "burst-" + std::to_string(::getpid()) + "-";
  Replies replies(prefix, options.count);
  mqtt::async_client client(stationctl::BrokerUri(options.broker), "station_burst_" + std::to_string(::getpid()),
                            mqtt::create_options(MQTTVERSION_3_1_1, options.count + 16), nullptr);
  client.set_callback(replies);
  const auto wait = std::chrono::seconds(10);
  if (!client.connect(mqtt::connect_options_builder().mqtt_version(MQTTVERSION_3_1_1).finalize())->wait_for(wait) ||
      !client.subscribe(topic + "Re", 1)->wait_for(wait)) {
    std::cerr << "station_burst: broker " << options.broker << " unreachable\n";
    return 3;
  }
  // Each request sent after the broker's acknowledgement of the one before would otherwise
  // wait for the broker's delayed ACK, and the robot, not the station, would set the pace.
  stationctl::NoDelayTowardsBroker(options.broker);
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < options.count; ++i) {
    replies.Sent(i);
    if (!PublishRequest(client, topic, prefix, i)) {
      break;
    }
  }
  const Clock::time_point sent_all = Clock::now();
  const auto limit =
      sent_all + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.timeout));
  while (replies.answered() < options.count && Clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // Duplicates arrive after the originals: give them a moment to show.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  client.disable_callbacks();
  const bool all_once = replies.Report(start, sent_all);
  client.disconnect()->wait_for(wait);
  return all_once ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::cerr << kHelp;
    return 2;
  }
  try {
    return Burst(options);
  } catch (const std::exception& e) {
    std::cerr << "station_burst: " << e.what() << "\n";
    return 3;
  }
}
