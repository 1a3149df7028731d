#pragma once

// The answer to a diagnostics request (clean_robot_station/<id>/diagnostics): what a
// technician or the cloud team would otherwise read from the journal. It reads only,
// and carries no secret: no password, no key material, no file contents.

#include <chrono>
#include <memory>
#include <string>

namespace station_center {

class StationCenter;
class MqttClient;

struct DiagnosticsSources {
  std::shared_ptr<StationCenter> center;  // both set
  std::shared_ptr<MqttClient> broker;
  std::chrono::steady_clock::time_point started;  // the process's start
};

// The reply as compact JSON (schema Diagnostics in docs/asyncapi.yaml); `msg_id` is the
// request's, echoed. Takes the core's task lock briefly; any thread but the core's own.
std::string DiagnosticsJson(const DiagnosticsSources& sources, const std::string& msg_id);

// Publishes the reply to the request `request` (JSON, an optional "msgId" string) on the
// station's diagnosticsRe topic.
void AnswerDiagnostics(const DiagnosticsSources& sources, const std::string& request);

}  // namespace station_center
