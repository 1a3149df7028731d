#pragma once

#include <mqtt/async_client.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "mqtt/reply_publisher.h"
#include "station_service.h"
#include "station_types.h"

namespace mqtt_callback {

// Turns robot requests and cloud replies into station services and publishes the
// replies. Called on the MQTT library's callback thread, one event at a time.
class MqttCallback : public mqtt::callback {
 public:
  // Requests go to `station`; without one every request is answered as a station error.
  // Replies go to `replies`, held weakly: it is usually the client that delivers the
  // events to this callback, and replies stop when it is gone.
  MqttCallback(std::shared_ptr<station_center::StationService> station,
               std::shared_ptr<station_center::ReplyPublisher> replies);

  void connected(const std::string& cause) override;
  void connection_lost(const std::string& cause) override;
  void message_arrived(mqtt::const_message_ptr msg) override;
  void delivery_complete(mqtt::delivery_token_ptr tok) override;

  // One handler per robot request topic, named in mqtt/request_topics.def.
#define REQUEST_TOPIC(segment, reply_segment, Req, Rsp, handler) void handler(const std::string& payload);
#include "mqtt/request_topics.def"
  void dealReportActivelyRe(const std::string& payload);
  // Diagnostics requests go to `answer` (the payload as received). Call before the
  // callback is registered with the client.
  void SetDiagnostics(std::function<void(const std::string&)> answer);

 private:
  void BuildHandlers();
  station_center::StationSrvRsp Service(const station_center::StationSrvReq& req);
  void Reply(const google::protobuf::Message& reply);
  // A message too large to be a request: one log line and, on a robot topic, the unparsable reply.
  void RefuseOversized(const std::string& segment, size_t size);

  std::map<std::string, std::function<void(const std::string&)>> topicHandlers_;
  int32_t report_log_count_ = 0;
  std::shared_ptr<station_center::StationService> station_;
  std::weak_ptr<station_center::ReplyPublisher> replies_;
};

}  // namespace mqtt_callback
