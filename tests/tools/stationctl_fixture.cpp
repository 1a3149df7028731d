#include "tools/stationctl_fixture.h"

#include <mqtt/async_client.h>

#include <chrono>

#include "google/protobuf/util/json_util.h"
#include "robot/base_station_mqtt.pb.h"

namespace station_test {

ScriptedStation::ScriptedStation(const std::string& broker, const std::string& station, Responder responder)
    : station_(station), responder_(std::move(responder)) {
  client_ = std::make_unique<mqtt::async_client>("tcp://" + broker, "scripted-station-" + station,
                                                 mqtt::create_options(MQTTVERSION_5), nullptr);
}

ScriptedStation::~ScriptedStation() {
  try {
    client_->disable_callbacks();
    if (client_->is_connected()) {
      client_->disconnect()->wait_for(std::chrono::seconds(5));
    }
  } catch (const std::exception&) {
  }
}

bool ScriptedStation::Connect() {
  try {
    client_->set_message_callback([this](mqtt::const_message_ptr msg) {
      Seen seen{msg->get_topic(), msg->to_string()};
      {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(seen);
      }
      if (responder_) {
        for (const std::string& reply : responder_(seen)) {
          client_->publish(mqtt::make_message(seen.topic + "Re", reply, 1, false));
        }
      }
    });
    auto options = mqtt::connect_options_builder().mqtt_version(MQTTVERSION_5).clean_start(true).finalize();
    if (!client_->connect(options)->wait_for(std::chrono::seconds(20))) {
      return false;
    }
    const std::string base = "clean_robot_station/" + station_ + "/";
    std::vector<std::string> topics = {base + "checkStation", base + "dockState", base + "preWaterRequest",
                                       base + "supplyMaterialRequest", base + "reportActivelyRe"};
    return client_->subscribe(mqtt::string_collection::create(topics), std::vector<int>(topics.size(), 1))
        ->wait_for(std::chrono::seconds(20));
  } catch (const std::exception&) {
    return false;
  }
}

std::vector<Seen> ScriptedStation::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

bool ScriptedStation::Publish(const std::string& topic, const std::string& payload) {
  try {
    return client_->publish(mqtt::make_message(topic, payload, 1, false))->wait_for(std::chrono::seconds(20));
  } catch (const std::exception&) {
    return false;
  }
}

std::string RequestMsgId(const std::string& request_json) {
  // Every request type starts with the same header, so one type reads them all.
  vantorel_base_station_mqtt::PositionCheckReq header_only;
  google::protobuf::util::JsonParseOptions options;
  options.ignore_unknown_fields = true;
  if (!google::protobuf::util::JsonStringToMessage(request_json, &header_only, options).ok()) {
    return "";
  }
  return header_only.req_header().msg_id().uuid();
}

}  // namespace station_test
