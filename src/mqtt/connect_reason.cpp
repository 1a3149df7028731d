#include "mqtt/connect_reason.h"

#include <MQTTAsync.h>

#include <cstdint>

namespace station_center {

namespace {

struct CodeWords {
  int code;
  const char* words;
};

// CONNACK codes of MQTT 3.1.1 (1..5) and MQTT 5 (0x80 and up) do not overlap, and a broker
// that speaks only 3.1.1 answers an MQTT 5 CONNECT in its own numbering: one table serves.
constexpr CodeWords kConnackWords[] = {
    {1, "unsupported protocol version"},
    {2, "client id rejected"},
    {3, "broker unavailable"},
    {4, "bad user name or password"},
    {5, "not authorized"},
    {0x80, "unspecified error"},
    {0x81, "malformed packet"},
    {0x82, "protocol error"},
    {0x83, "implementation specific error"},
    {0x84, "unsupported protocol version"},
    {0x85, "client id rejected"},
    {0x86, "bad user name or password"},
    {0x87, "not authorized"},
    {0x88, "broker unavailable"},
    {0x89, "broker busy"},
    {0x8A, "client banned"},
    {0x8C, "bad authentication method"},
    {0x95, "packet too large"},
    {0x97, "quota exceeded"},
    {0x9F, "connection rate exceeded"},
};

}  // namespace

int LibraryMqttVersion(MqttProtocol protocol) {
  return protocol == MqttProtocol::kV311 ? MQTTVERSION_3_1_1 : MQTTVERSION_5;
}

bool ParseMqttProtocol(const std::string& text, MqttProtocol* protocol) {
  if (text == "5") {
    *protocol = MqttProtocol::kV5;
  } else if (text == "3.1.1") {
    *protocol = MqttProtocol::kV311;
  } else {
    return false;
  }
  return true;
}

const char* MqttProtocolName(MqttProtocol protocol) { return protocol == MqttProtocol::kV311 ? "3.1.1" : "5"; }

ConnectFailure ConnectFailureOf(int return_code, const std::string& library_message) {
  if (return_code > 0) {
    for (const CodeWords& row : kConnackWords) {
      if (row.code == return_code) {
        return {std::string("refused: ") + row.words, true};
      }
    }
    return {"refused with code " + std::to_string(return_code), true};
  }
  // The library's words for a TCP connection that could not be made at all.
  if (library_message.find("TCP/TLS connect failure") != std::string::npos ||
      library_message.find("TCP connect") != std::string::npos) {
    return {"not reachable: nothing listens there, or no route", false};
  }
  if (return_code == MQTTASYNC_DISCONNECTED || return_code == MQTTASYNC_FAILURE) {
    return {"connection closed by the broker without an answer", false};
  }
  return {library_message.empty() ? "library error " + std::to_string(return_code) : library_message, false};
}

ConnectFailure NoAnswer(std::chrono::milliseconds waited) {
  const int64_t seconds = std::chrono::duration_cast<std::chrono::seconds>(waited).count();
  return {"no answer within " + std::to_string(seconds) + " s", false};
}

}  // namespace station_center
