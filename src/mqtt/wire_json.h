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

// The direct conversions both of the above try first, for proto3 messages of plain
// fields (numbers, strings, enumerations, nested messages and lists of them). They
// answer false to decline, leaving any other form, and every error, to the library;
// what they accept comes out as the library's would. The printer prints as
// ReplyPrintOptions() asks.
bool ParseJsonDirect(const std::string& json, google::protobuf::Message* msg);
bool PrintJsonDirect(const google::protobuf::Message& msg, std::string* json);

// What the station's replies and reports are printed with: names in lowerCamelCase,
// every scalar field, enumerations as numbers, no spaces.
google::protobuf::util::JsonPrintOptions ReplyPrintOptions();

}  // namespace station_center
