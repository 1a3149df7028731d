#pragma once

// Why a broker did not take a connection, in words a technician reads in the journal:
// the library reports a refusal as a bare CONNACK code and a silent broker not at all.
// Shared by the daemon and stationctl; logs nothing, never throws.

#include <chrono>
#include <string>

namespace station_center {

// The MQTT protocol a connection speaks: 5 (the station's own) or 3.1.1.
enum class MqttProtocol { kV5, kV311 };

// The library's version constant for `protocol`.
int LibraryMqttVersion(MqttProtocol protocol);

// "5" or "3.1.1" as written in the configuration; false for anything else.
bool ParseMqttProtocol(const std::string& text, MqttProtocol* protocol);
const char* MqttProtocolName(MqttProtocol protocol);

// What went wrong with one connection attempt.
struct ConnectFailure {
  std::string reason;    // in words, e.g. "bad user name or password"
  bool refused = false;  // the broker answered and said no (rather than being away or silent)
};

// From the library's return code (a positive one is the broker's CONNACK code, in the
// MQTT 5 or 3.1.1 numbering) and its message.
ConnectFailure ConnectFailureOf(int return_code, const std::string& library_message);

// A connect that got no answer within `waited`.
ConnectFailure NoAnswer(std::chrono::milliseconds waited);

}  // namespace station_center
