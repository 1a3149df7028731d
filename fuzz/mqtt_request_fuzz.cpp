// Robot requests and the cloud's reply, as arbitrary payloads on their topics,
// through the MQTT callback to a station core over a fake board. Each robot
// request gets exactly one reply of its own type, echoing the request's ids
// when the request could be read; the cloud's reply and unknown topics get none.
//
// Input: one byte (bits 0-2 the topic, bit 3 a docked robot, bit 4 a board that
// refuses, bit 5 the station still resetting), then the payload.

#include <google/protobuf/util/json_util.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config.h"
#include "fuzz_support.h"
#include "mqtt/mqtt_callback.h"
#include "mqtt/wire_json.h"
#include "robot/base_station_mqtt.pb.h"

using station_fuzz::Bytes;
using station_fuzz::Check;

namespace {

namespace robot = vantorel_base_station_mqtt;

// Keeps each reply's type name and its header's message id.
class RecordedReplies : public station_center::ReplyPublisher {
 public:
  void PublishReply(const google::protobuf::Message& reply) override {
    std::string json;
    Check(google::protobuf::util::MessageToJsonString(reply, &json, station_center::ReplyPrintOptions()).ok(),
          "a reply does not print as JSON");
    std::string direct;
    Check(!station_center::PrintJsonDirect(reply, &direct) || direct == json,
          "the direct printer and the library print a reply differently");
    const auto* field = reply.GetDescriptor()->FindFieldByName("rsp_header");
    Check(field != nullptr, "a reply without a header");
    const auto& header = static_cast<const vantorel_base_station_common::ResponseHeader&>(
        reply.GetReflection()->GetMessage(reply, field));
    std::lock_guard<std::mutex> lock(mutex_);
    types.push_back(reply.GetDescriptor()->full_name());
    msg_ids.push_back(header.msg_id().uuid());
  }

  std::mutex mutex_;
  std::vector<std::string> types;
  std::vector<std::string> msg_ids;
};

struct Topic {
  const char* segment;
  const google::protobuf::Message* request;  // null: no reply expected
  const char* reply;
};

// The robot's request topics first (the seed corpus names them by position), then
// topics that get no reply: the cloud's, one of the station's own, a reply topic, none.
const Topic& TopicOf(uint8_t index) {
  static const std::vector<Topic> topics = [] {
    std::vector<Topic> all = {
#define REQUEST_TOPIC(segment, reply_segment, Req, Rsp, handler) \
  {segment, &robot::Req::default_instance(), robot::Rsp::descriptor()->full_name().c_str()},
#include "mqtt/request_topics.def"
    };
    for (const char* segment : {"reportActivelyRe", "stationReport", "checkStationRe", ""}) {
      all.push_back({segment, nullptr, ""});
    }
    return all;
  }();
  return topics[index % topics.size()];
}

// The id a readable request carries; empty when it does not decode. What the
// direct parser accepts, the library must read the same.
bool RequestId(const Topic& topic, const std::string& payload, std::string* id) {
  std::unique_ptr<google::protobuf::Message> req(topic.request->New());
  std::unique_ptr<google::protobuf::Message> direct(topic.request->New());
  const bool read = google::protobuf::util::JsonStringToMessage(payload, req.get()).ok();
  Check(!station_center::ParseJsonDirect(payload, direct.get()) ||
            (read && direct->SerializeAsString() == req->SerializeAsString()),
        "the direct parser and the library read a request differently");
  if (!read) {
    return false;
  }
  const auto* field = req->GetDescriptor()->FindFieldByName("req_header");
  const auto& header =
      static_cast<const vantorel_base_station_common::RequestHeader&>(req->GetReflection()->GetMessage(*req, field));
  *id = header.msg_id().uuid();
  return true;
}

void DockRobot(station_center::StationCenter& center) {
  station::SensorsDataRep report;
  report.set_dustbagdet(1);
  report.set_dustboxcapdet(1);
  report.set_robotdockdetleft(1);
  report.set_robotdockdetright(1);
  report.set_electrodeplatedet(1);
  center.DataUploadCallback(report);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  station_fuzz::CoreRig rig;
  Bytes in(data, size);
  const uint8_t control = in.U8();
  const Topic& topic = TopicOf(control & 7);  // with more than eight topics the last are not tried
  const std::string payload = in.Rest();
  if (control & 8) {
    DockRobot(rig.center());
  }
  rig.board().set_refuse(control & 16);
  if (!(control & 32)) {
    station_center::StationCenterProbe(rig.center()).SetStatus(station_center::STATION_STATUS_NORMAL);
  }

  auto replies = std::make_shared<RecordedReplies>();
  mqtt_callback::MqttCallback callback(rig.shared(), replies);
  const std::string name = "clean_robot_station/" + station_center::g_config.station_id + "/" + topic.segment;
  callback.message_arrived(mqtt::make_message(name, payload));

  std::lock_guard<std::mutex> lock(replies->mutex_);
  if (topic.request == nullptr) {
    Check(replies->types.empty(), "a reply to something that is no request");
    return 0;
  }
  Check(replies->types.size() == 1, "a request did not get exactly one reply");
  Check(replies->types[0] == topic.reply, "a reply of the wrong type");
  std::string id;
  if (RequestId(topic, payload, &id)) {
    Check(replies->msg_ids[0] == id, "a reply does not echo the request's id");
  }
  return 0;
}
