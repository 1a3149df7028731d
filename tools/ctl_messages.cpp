// Requests, verdicts and readable text for stationctl.

#include "ctl_messages.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/util/json_util.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>

namespace stationctl {

namespace pb = google::protobuf;

const std::vector<RequestTopic>& RequestTopics() {
  static const std::vector<RequestTopic> kTopics = {
#define REQUEST_TOPIC(segment, reply_segment, Req, Rsp, handler) \
  {segment, reply_segment, &mqttpb::Req::default_instance(), &mqttpb::Rsp::default_instance()},
#include "mqtt/request_topics.def"
  };
  return kTopics;
}

const RequestTopic* TopicOfRequest(const google::protobuf::Message& request) {
  for (const RequestTopic& topic : RequestTopics()) {
    if (topic.request->GetDescriptor() == request.GetDescriptor()) {
      return &topic;
    }
  }
  return nullptr;
}

const RequestTopic* TopicOfSegment(const std::string& segment) {
  for (const RequestTopic& topic : RequestTopics()) {
    if (segment == topic.segment || segment == topic.reply_segment) {
      return &topic;
    }
  }
  return nullptr;
}

const std::vector<SupplyName>& SupplyNames() {
  static const std::vector<SupplyName> kNames = {
#define ROBOT_SUPPLY(number, value, name, actuator, what) {name, mqttpb::value, what},
#include "supply_names.def"
  };
  return kNames;
}

#define ROBOT_SUPPLY(number, value, name, actuator, what) \
  static_assert(mqttpb::value == (number), "supply_names.def: " #value " is not " #number);
#include "supply_names.def"

namespace {

bool ParseInt(const std::string& text, long min, long max, long* out) {
  if (text.empty()) {
    return false;
  }
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || v < min || v > max) {
    return false;
  }
  *out = v;
  return true;
}

std::string EnumText(const pb::EnumDescriptor* type, int number) {
  const pb::EnumValueDescriptor* value = type->FindValueByNumber(number);
  const std::string name = value != nullptr ? value->name() : "unknown";
  return name + " (" + std::to_string(number) + ")";
}

void AppendQuoted(const std::string& text, std::string* out) {
  out->push_back('"');
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out->push_back('\\');
    }
    out->push_back(c);
  }
  out->push_back('"');
}

std::string ScalarText(const pb::Message& m, const pb::FieldDescriptor* f, int index) {
  const pb::Reflection* r = m.GetReflection();
  const bool rep = f->is_repeated();
  switch (f->cpp_type()) {
    case pb::FieldDescriptor::CPPTYPE_INT32:
      return std::to_string(rep ? r->GetRepeatedInt32(m, f, index) : r->GetInt32(m, f));
    case pb::FieldDescriptor::CPPTYPE_INT64:
      return std::to_string(rep ? r->GetRepeatedInt64(m, f, index) : r->GetInt64(m, f));
    case pb::FieldDescriptor::CPPTYPE_UINT32:
      return std::to_string(rep ? r->GetRepeatedUInt32(m, f, index) : r->GetUInt32(m, f));
    case pb::FieldDescriptor::CPPTYPE_UINT64:
      return std::to_string(rep ? r->GetRepeatedUInt64(m, f, index) : r->GetUInt64(m, f));
    case pb::FieldDescriptor::CPPTYPE_DOUBLE: {
      std::ostringstream s;
      s << (rep ? r->GetRepeatedDouble(m, f, index) : r->GetDouble(m, f));
      return s.str();
    }
    case pb::FieldDescriptor::CPPTYPE_FLOAT: {
      std::ostringstream s;
      s << (rep ? r->GetRepeatedFloat(m, f, index) : r->GetFloat(m, f));
      return s.str();
    }
    case pb::FieldDescriptor::CPPTYPE_BOOL:
      return (rep ? r->GetRepeatedBool(m, f, index) : r->GetBool(m, f)) ? "true" : "false";
    case pb::FieldDescriptor::CPPTYPE_ENUM:
      return EnumText(f->enum_type(), rep ? r->GetRepeatedEnumValue(m, f, index) : r->GetEnumValue(m, f));
    case pb::FieldDescriptor::CPPTYPE_STRING: {
      std::string out;
      AppendQuoted(rep ? r->GetRepeatedString(m, f, index) : r->GetString(m, f), &out);
      return out;
    }
    case pb::FieldDescriptor::CPPTYPE_MESSAGE:
      break;
  }
  return "?";
}

void AppendReadable(const pb::Message& m, int indent, std::string* out);

// Identifiers are one-field messages; showing them inline keeps headers short.
bool IsUuid(const pb::Message& m) { return m.GetDescriptor() == commonpb::UUID::descriptor(); }

void AppendField(const pb::Message& m, const pb::FieldDescriptor* f, int indent, std::string* out) {
  const pb::Reflection* r = m.GetReflection();
  const std::string pad(static_cast<size_t>(indent), ' ');
  if (f->is_repeated()) {
    const int n = r->FieldSize(m, f);
    if (n == 0) {
      return;
    }
    *out += pad + f->name() + ":\n";
    for (int i = 0; i < n; ++i) {
      if (f->cpp_type() != pb::FieldDescriptor::CPPTYPE_MESSAGE) {
        *out += pad + "  - " + ScalarText(m, f, i) + "\n";
        continue;
      }
      std::string item;
      AppendReadable(r->GetRepeatedMessage(m, f, i), indent + 4, &item);
      if (item.size() >= static_cast<size_t>(indent + 4)) {
        item.replace(0, static_cast<size_t>(indent + 4), pad + "  - ");
      } else {
        item = pad + "  - {}\n";
      }
      *out += item;
    }
    return;
  }
  if (f->cpp_type() == pb::FieldDescriptor::CPPTYPE_MESSAGE) {
    if (!r->HasField(m, f)) {
      return;
    }
    const pb::Message& sub = r->GetMessage(m, f);
    if (IsUuid(sub)) {
      *out += pad + f->name() + ": ";
      AppendQuoted(static_cast<const commonpb::UUID&>(sub).uuid(), out);
      *out += "\n";
      return;
    }
    *out += pad + f->name() + ":\n";
    AppendReadable(sub, indent + 2, out);
    return;
  }
  *out += pad + f->name() + ": " + ScalarText(m, f, 0) + "\n";
}

void AppendReadable(const pb::Message& m, int indent, std::string* out) {
  const pb::Descriptor* d = m.GetDescriptor();
  for (int i = 0; i < d->field_count(); ++i) {
    AppendField(m, d->field(i), indent, out);
  }
}

const commonpb::ResponseHeader* HeaderOf(const pb::Message& reply) {
  for (const RequestTopic& topic : RequestTopics()) {
    if (topic.reply->GetDescriptor() == reply.GetDescriptor()) {
      const pb::FieldDescriptor* field = reply.GetDescriptor()->FindFieldByName("rsp_header");
      return field == nullptr
                 ? nullptr
                 : static_cast<const commonpb::ResponseHeader*>(&reply.GetReflection()->GetMessage(reply, field));
    }
  }
  return nullptr;
}

}  // namespace

bool ParseSupplyType(const std::string& text, mqttpb::EnumSupplyType* out) {
  for (const SupplyName& s : SupplyNames()) {
    if (text == s.name) {
      *out = s.type;
      return true;
    }
  }
  mqttpb::EnumSupplyType parsed;
  if (mqttpb::EnumSupplyType_Parse(text, &parsed)) {
    *out = parsed;
    return true;
  }
  long n = 0;
  if (ParseInt(text, 0, 0x7fffffff, &n)) {
    *out = static_cast<mqttpb::EnumSupplyType>(n);
    return true;
  }
  return false;
}

bool ParseAction(const std::string& text, mqttpb::EnumActionModel* out) {
  static const struct {
    const char* name;
    mqttpb::EnumActionModel action;
  } kActions[] = {{"soft", mqttpb::ENUM_ACTION_SOFT},
                  {"standard", mqttpb::ENUM_ACTION_STANDARD},
                  {"strong", mqttpb::ENUM_ACTION_STRONG},
                  {"stop", mqttpb::ENUM_ACTION_STOP}};
  for (const auto& a : kActions) {
    if (text == a.name) {
      *out = a.action;
      return true;
    }
  }
  return false;
}

bool ParseCheckType(const std::string& text, mqttpb::EnumRobotCheckType* out) {
  if (text == "in-pose") {
    *out = mqttpb::ENUM_IN_POSE;
  } else if (text == "water-ready") {
    *out = mqttpb::ENUM_WATER_READY;
  } else if (text == "water-finish") {
    *out = mqttpb::ENUM_WATER_FINISH;
  } else {
    return false;
  }
  return true;
}

std::string NewUuid() {
  static thread_local std::mt19937_64 gen([] {
    std::random_device rd;
    return (static_cast<uint64_t>(rd()) << 32) ^ rd();
  }());
  uint64_t hi = gen();
  uint64_t lo = gen();
  hi = (hi & ~0xf000ULL) | 0x4000ULL;                  // version 4
  lo = (lo & ~(0xc000ULL << 48)) | (0x8000ULL << 48);  // RFC 4122 variant
  char buf[40];
  std::snprintf(buf, sizeof(buf), "%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(hi >> 32),
                static_cast<unsigned>((hi >> 16) & 0xffff), static_cast<unsigned>(hi & 0xffff),
                static_cast<unsigned>(lo >> 48), static_cast<unsigned long long>(lo & 0xffffffffffffULL));
  return buf;
}

std::string StationTopic(const std::string& station, const std::string& name) {
  return "clean_robot_station/" + station + "/" + name;
}

std::string FormatTopic(const std::string& format, const std::string& station) {
  std::string topic = format;
  const size_t pos = topic.find("%s");
  if (pos != std::string::npos) {
    topic.replace(pos, 2, station);
  }
  return topic;
}

std::string ToWireJson(const pb::Message& message) {
  pb::util::JsonPrintOptions options;
  options.add_whitespace = false;
  options.always_print_primitive_fields = true;
  options.always_print_enums_as_ints = true;
  options.preserve_proto_field_names = false;
  std::string out;
  if (!pb::util::MessageToJsonString(message, &out, options).ok()) {
    return "{}";
  }
  return out;
}

bool ParseJson(const std::string& json, pb::Message* message, std::string* error) {
  pb::util::JsonParseOptions options;
  options.ignore_unknown_fields = true;
  const auto status = pb::util::JsonStringToMessage(json, message, options);
  if (!status.ok()) {
    if (error != nullptr) {
      *error = std::string(status.message());
    }
    return false;
  }
  return true;
}

std::string ErrCodeName(int code) {
  const pb::EnumValueDescriptor* value = commonpb::EnumErrCode_descriptor()->FindValueByNumber(code);
  return value != nullptr ? value->name() : "unknown error code";
}

Verdict Judge(const pb::Message& request, const pb::Message& reply) {
  Verdict v;
  const commonpb::ResponseHeader* header = HeaderOf(reply);
  if (header == nullptr) {
    v.reason = "not a station reply";
    return v;
  }
  v.err_code = header->err_code();
  v.err_name = ErrCodeName(v.err_code);
  v.err_msg = header->err_msg();
  if (v.err_code != commonpb::ENUM_SUCCESS) {
    return v;
  }
  if (const auto* check = dynamic_cast<const mqttpb::StationCheckRsp*>(&reply)) {
    if (check->robot_check() != mqttpb::ENUM_READY) {
      v.reason = "robot_check " + mqttpb::EnumRobotCheck_Name(check->robot_check());
      return v;
    }
  } else if (const auto* dock = dynamic_cast<const mqttpb::PositionConfirmRsp*>(&reply)) {
    // The station says yes by echoing the robot's wish; anything else overrules it.
    const auto* asked = dynamic_cast<const mqttpb::PositionConfirmReq*>(&request);
    const int wanted = asked != nullptr ? asked->robot_desire() : -1;
    if (dock->robot_desire() != wanted || wanted == mqttpb::ENUM_INVALID_DESIRE) {
      v.reason = "robot_desire " + EnumText(mqttpb::EnumRobotDesire_descriptor(), dock->robot_desire()) +
                 ", robot_state " + EnumText(mqttpb::EnumRobotState_descriptor(), dock->robot_state());
      if (dock->robot_desire() == mqttpb::ENUM_ROBOT_DESIRE_STAY_IN) {
        v.reason += ": the station is busy, the robot must stay";
      } else if (dock->robot_state() == mqttpb::ENUM_OUT_STATION) {
        v.reason += ": the robot is not in position";
      }
      return v;
    }
  }
  v.accepted = true;
  return v;
}

std::string VerdictLine(const Verdict& v) {
  std::string line = v.accepted ? "accepted" : "refused";
  if (!v.accepted && !v.reason.empty()) {
    return line + ": " + v.reason;
  }
  line += ": " + v.err_name + " (" + std::to_string(v.err_code) + ")";
  if (!v.err_msg.empty()) {
    line += ": " + v.err_msg;
  }
  return line;
}

std::string Readable(const pb::Message& message, int indent) {
  std::string out;
  AppendReadable(message, indent, &out);
  return out;
}

namespace {

// ReindentJson's walk over the text, one character at a time.
struct JsonReindenter {
  JsonReindenter(const std::string& text, int spaces) : json(text), indent(spaces) {}

  const std::string& json;
  const int indent;
  std::string out;
  int depth = 0;
  bool in_string = false;
  bool escaped = false;

  void NewLine(int d) {
    out.push_back('\n');
    out.append(static_cast<size_t>(indent * (d + 1)), ' ');
  }

  // Inside a string everything is copied as it is, up to the closing quote.
  void StringChar(char c) {
    out.push_back(c);
    if (escaped) {
      escaped = false;
    } else if (c == '\\') {
      escaped = true;
    } else if (c == '"') {
      in_string = false;
    }
  }

  // Outside strings: white space goes, structure gets its lines and indents.
  // Moves `*i` past an empty container, which stays on one line.
  void StructureChar(size_t* i) {
    const char c = json[*i];
    if (std::isspace(static_cast<unsigned char>(c)) != 0) {
      return;
    }
    switch (c) {
      case '"':
        in_string = true;
        out.push_back(c);
        break;
      case '{':
      case '[': {
        size_t next = *i + 1;
        while (next < json.size() && std::isspace(static_cast<unsigned char>(json[next])) != 0) {
          ++next;
        }
        out.push_back(c);
        if (next < json.size() && (json[next] == '}' || json[next] == ']')) {
          out.push_back(json[next]);
          *i = next;
        } else {
          NewLine(++depth);
        }
        break;
      }
      case '}':
      case ']':
        NewLine(--depth);
        out.push_back(c);
        break;
      case ',':
        out.push_back(c);
        NewLine(depth);
        break;
      case ':':
        out += ": ";
        break;
      default:
        out.push_back(c);
    }
  }
};

}  // namespace

std::string ReindentJson(const std::string& json, int indent) {
  JsonReindenter r(json, indent);
  r.out.append(static_cast<size_t>(indent), ' ');
  for (size_t i = 0; i < json.size(); ++i) {
    if (r.in_string) {
      r.StringChar(json[i]);
    } else {
      r.StructureChar(&i);
    }
  }
  r.out.push_back('\n');
  return r.out;
}

namespace {

std::string ConsumablesText(const cloudpb::BaseStationInfoReportConsumablesState& c) {
  std::string shorts;
  auto add = [&shorts](bool on, const char* name) {
    if (on) {
      shorts += (shorts.empty() ? "" : ", ") + std::string(name);
    }
  };
  add(c.tap_water() != 0, "tap_water");
  add(c.disinfectant_tables() != 0, "disinfectant_tables");
  add(c.dust_bag() != 0, "dust_bag");
  return shorts.empty() ? "" : "; short of " + shorts;
}

}  // namespace

std::string Summarize(const mqttpb::StationReport& report) {
  std::string s = "station " + report.rep_header().station_id();
  s += report.state_info().work_state().manual_charge_state() != 0 ? ", manual charge on" : ", manual charge off";
  s += ConsumablesText(report.consumables_state());
  if (report.abnormal_info().emergency_stop() != 0) {
    s += "; EMERGENCY STOP";
  }
  return s;
}

std::string Summarize(const cloudpb::BaseStationInfoReportReq& upload) {
  const auto& state = upload.state_info();
  std::string s = "station " + upload.req_header().device_id().uuid();
  s += state.occupy_state() != 0 ? ", busy" : ", idle";
  s += state.work_state().manual_charge_state() != 0 ? ", manual charge on" : ", manual charge off";
  if (state.work_state().abnormal_task_list_size() > 0) {
    s += "; abnormal tasks";
    for (const auto& t : state.work_state().abnormal_task_list()) {
      s += " " + std::to_string(t.task_id());
    }
  }
  s += ConsumablesText(upload.consumables_state());
  const auto& abnormal = upload.abnormal_info();
  if (abnormal.emergency_stop() != 0) {
    s += "; EMERGENCY STOP";
  }
  for (const auto& sensor : abnormal.abnormal_sensor_list()) {
    s += "; " + sensor.name() + " " + sensor.data();
  }
  return s;
}

}  // namespace stationctl
