#pragma once

// Protocol-buffer JSON for requests and replies, as the library's JsonStringToMessage
// and MessageToJsonString do it, with each message type's description built once.
// The library builds it again for every call, which cost a position check about a
// fifth of its conversion time. Thread-safe.

#include <google/protobuf/message.h>
#include <google/protobuf/util/json_util.h>

#include <string>

namespace station_center {

// JsonStringToMessage(json, msg) with the default options: unknown fields and unknown
// enumeration names are errors.
bool ParseWireJson(const std::string& json, google::protobuf::Message* msg);

// MessageToJsonString(msg, json, options).
bool PrintWireJson(const google::protobuf::Message& msg, const google::protobuf::util::JsonPrintOptions& options,
                   std::string* json);

}  // namespace station_center
