#pragma once

// The message side of stationctl: building the robot's requests, judging the
// station's replies and turning replies and reports into readable text. No
// MQTT here, so every rule can be checked without a broker.

#include <google/protobuf/message.h>

#include <string>
#include <vector>

#include "robot/base_station_cloud.pb.h"
#include "robot/base_station_common.pb.h"
#include "robot/base_station_mqtt.pb.h"

namespace stationctl {

namespace mqttpb = vantorel_base_station_mqtt;
namespace cloudpb = vantorel_base_station_cloud;
namespace commonpb = vantorel_base_station_common;

// Process exit codes shared by every command.
enum ExitCode {
  kExitAccepted = 0,
  kExitRefused = 1,
  kExitUsage = 2,
  kExitNoReply = 3,
};

// A readable command-line name for each supply type the robot can ask for.
struct SupplyName {
  const char* name;
  mqttpb::EnumSupplyType type;
  const char* what;
};
const std::vector<SupplyName>& SupplyNames();

// Accepts the readable name ("sewage-pump"), the enum name
// ("ENUM_SUPPLY_SEWAGE_PUMP") or the number ("4"). Numbers outside the enum
// are accepted too, so a technician can see how the station answers them.
bool ParseSupplyType(const std::string& text, mqttpb::EnumSupplyType* out);
// soft, standard, strong or stop.
bool ParseAction(const std::string& text, mqttpb::EnumActionModel* out);
// in-pose, water-ready or water-finish.
bool ParseCheckType(const std::string& text, mqttpb::EnumRobotCheckType* out);

// A robot request topic of mqtt/request_topics.def, with its messages' default instances.
struct RequestTopic {
  const char* segment;        // e.g. "checkStation"
  const char* reply_segment;  // e.g. "checkStationRe"
  const google::protobuf::Message* request;
  const google::protobuf::Message* reply;
};
const std::vector<RequestTopic>& RequestTopics();
// The topic `request` is sent on (by its message type); null for no request of the list.
const RequestTopic* TopicOfRequest(const google::protobuf::Message& request);
// The topic whose request or reply segment is `segment`; null when none is.
const RequestTopic* TopicOfSegment(const std::string& segment);

// A random (version 4) UUID in its usual text form.
std::string NewUuid();

// "clean_robot_station/<station>/<name>", the form of every per-station topic.
std::string StationTopic(const std::string& station, const std::string& name);
// Replaces the first "%s" of a configurable topic format; a format without one
// is the topic itself.
std::string FormatTopic(const std::string& format, const std::string& station);

// JSON as the station itself prints replies: compact, lowerCamelCase names,
// enums as numbers, default-valued fields present.
std::string ToWireJson(const google::protobuf::Message& message);
// Lenient parse for display: unknown fields are skipped, both name forms accepted.
bool ParseJson(const std::string& json, google::protobuf::Message* message, std::string* error);

// How a station reply answers the request it belongs to.
struct Verdict {
  bool accepted = false;
  int err_code = 0;
  std::string err_name;  // e.g. "ENUM_CONFLICT_WITH_ADD_WATER"
  std::string err_msg;
  std::string reason;  // why a reply without an error code still says no
};
// `request` and `reply` are one of the request/reply pairs of RequestTopics().
Verdict Judge(const google::protobuf::Message& request, const google::protobuf::Message& reply);
// One line: "accepted..." or "refused: NAME (n): text".
std::string VerdictLine(const Verdict& verdict);

// "ENUM_SUCCESS"; unknown numbers read "unknown error code".
std::string ErrCodeName(int code);

// Indented "field: value" lines, enums as "NAME (n)", UUIDs inline.
std::string Readable(const google::protobuf::Message& message, int indent = 2);
// Re-indents a compact JSON document, keeping member order and text as sent.
std::string ReindentJson(const std::string& json, int indent = 2);

// One-line digests of the station's state reports.
std::string Summarize(const mqttpb::StationReport& report);
std::string Summarize(const cloudpb::BaseStationInfoReportReq& upload);

}  // namespace stationctl
