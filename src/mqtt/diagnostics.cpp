#include "mqtt/diagnostics.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "clock.h"
#include "config.h"
#include "logger.h"
#include "mqtt/mqtt_client.h"
#include "output_guard.h"
#include "station_center.h"
#include "task/task_policy.h"

namespace station_center {

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

constexpr const char* kStatusNames[] = {"normal", "error", "reset", "emergency stop", "waiting for reset"};

void Put(Writer& w, const char* key, const std::string& value) {
  w.Key(key);
  w.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
}
void Put(Writer& w, const char* key, int64_t value) {
  w.Key(key);
  w.Int64(value);
}
void Put(Writer& w, const char* key, bool value) {
  w.Key(key);
  w.Bool(value);
}

void Daemon(Writer& w, const DiagnosticsSources& s) {
  w.Key("daemon");
  w.StartObject();
  Put(w, "version", std::string(STATION_VERSION));
  Put(w, "build", std::string(STATION_BUILD));
  Put(w, "uptimeSeconds",
      static_cast<int64_t>(
          std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - s.started).count()));
  w.EndObject();
}

void Broker(Writer& w, const MqttClient& broker) {
  w.Key("broker");
  w.StartObject();
  Put(w, "address", broker.settings().server_address);
  Put(w, "protocol", std::string(MqttProtocolName(broker.settings().protocol)));
  Put(w, "connected", broker.IsConnected());
  Put(w, "problem", broker.ConnectProblem());
  w.EndObject();
}

void Counters(Writer& w, const MqttClient& broker, const StationCenter& center) {
  const MqttClientStats stats = broker.stats();
  const std::shared_ptr<EmbeddedCommunicator>& link = center.embedded_communicator();
  w.Key("counters");
  w.StartObject();
  Put(w, "brokerReconnects", std::max<int64_t>(stats.connects - 1, 0));
  Put(w, "publishesWaited", stats.send_waits);
  Put(w, "publishesDropped", stats.send_refused);
  Put(w, "requestsDropped", stats.events_dropped);
  Put(w, "boardCommandsRefused", static_cast<int64_t>(link ? link->refused() : 0));
  Put(w, "boardCommandsUnanswered", static_cast<int64_t>(link ? link->unanswered() : 0));
  Put(w, "staleEpisodes", static_cast<int64_t>(center.stale_episodes()));
  w.EndObject();
}

void Board(Writer& w, StationCenter& center) {
  const std::shared_ptr<EmbeddedCommunicator>& link = center.embedded_communicator();
  const int64_t last = center.LastReportMillis();
  w.Key("board");
  w.StartObject();
  w.Key("commandLink");
  w.StartObject();
  Put(w, "address", g_config.embedded_ip + ":" + std::to_string(g_config.embedded_action_port));
  Put(w, "state", std::string(!link ? "not started" : link->last_answered() ? "answering" : "not answering"));
  Put(w, "reconnects", static_cast<int64_t>(link ? link->reconnects() : 0));
  w.EndObject();
  w.Key("sensorLink");
  w.StartObject();
  Put(w, "port", static_cast<int64_t>(link ? link->SensorServerPort() : 0));
  Put(w, "state", std::string(center.sensor_stale() ? "stale" : "fresh"));
  Put(w, "lastReportAgeMillis", last == 0 ? int64_t{-1} : center.clock().NowMillis() - last);
  w.EndObject();
  w.EndObject();
}

void Outputs(Writer& w, const StationCenter& center) {
  w.Key("outputs");
  w.StartArray();
  if (const std::shared_ptr<OutputGuard>& guard = center.output_guard()) {
    for (const OutputGuard::OutputView& row : guard->Outputs()) {
      w.StartObject();
      Put(w, "name", std::string(row.name));
      Put(w, "commanded", static_cast<int64_t>(row.commanded));
      Put(w, "confirmed", static_cast<int64_t>(row.confirmed));
      Put(w, "mustGoOff", row.must_off);
      w.EndObject();
    }
  }
  w.EndArray();
}

void Tasks(Writer& w, StationCenter& center) {
  std::vector<std::pair<TaskType, int64_t>> running = center.RunningTaskStarts();
  std::sort(running.begin(), running.end());
  const int64_t now = NowSeconds();  // the tasks' start times are steady seconds
  w.Key("tasks");
  w.StartArray();
  for (const auto& [type, start] : running) {
    const char* name = TaskTypeInfoOf(static_cast<TaskType>(type)).name;
    w.StartObject();
    Put(w, "type", static_cast<int64_t>(type));
    Put(w, "name", std::string(name != nullptr ? name : ""));
    Put(w, "ageSeconds", start > 0 ? now - start : int64_t{0});
    w.EndObject();
  }
  w.EndArray();
}

void ErrorCodes(Writer& w) {
  w.Key("errorCodes");
  w.StartArray();
  for (const vantorel::Logger::CodeRecord& record : vantorel::Logger::Instance().RecentCodes()) {
    w.StartObject();
    Put(w, "code", record.code);
    Put(w, "time", record.wall_seconds);
    w.EndObject();
  }
  w.EndArray();
}

// The settings in effect; the broker password and the key file's contents never.
void Configuration(Writer& w) {
  const Config& c = g_config;
  w.Key("config");
  w.StartObject();
  Put(w, "station_id", c.station_id);
  Put(w, "hardware", c.hardware);
  Put(w, "mqtt_server_address", c.mqtt_server_address);
  Put(w, "mqtt_user_name", c.mqtt_user_name);
  Put(w, "mqtt_protocol_version", c.mqtt_protocol_version);
  Put(w, "mqtt_keep_alive_interval", static_cast<int64_t>(c.mqtt_keep_alive_interval));
  Put(w, "mqtt_tls_ca_file", c.mqtt_tls_ca_file);
  Put(w, "mqtt_tls_cert_file", c.mqtt_tls_cert_file);
  Put(w, "mqtt_tls_verify", c.mqtt_tls_verify);
  Put(w, "embedded_ip", c.embedded_ip);
  Put(w, "embedded_action_port", static_cast<int64_t>(c.embedded_action_port));
  Put(w, "soc_data_server_port", static_cast<int64_t>(c.soc_data_server_port));
  Put(w, "sensor_stale_time", static_cast<int64_t>(c.sensor_stale_time));
  Put(w, "sensor_peer_check", c.sensor_peer_check);
  Put(w, "heat_fan_feedback_check", c.heat_fan_feedback_check);
  Put(w, "running_schedule_space", static_cast<int64_t>(c.running_schedule_space));
  Put(w, "auto_reset_time_space", static_cast<int64_t>(c.auto_reset_time_space));
  Put(w, "upload_station_info_to_cloud_interval", static_cast<int64_t>(c.upload_station_info_to_cloud_interval));
  Put(w, "station_upload_topic", c.station_upload_topic);
  Put(w, "station_report_topic", c.station_report_topic);
  Put(w, "cloud_reply_topic_format", c.cloud_reply_topic_format);
  Put(w, "bottom_action_timeout", static_cast<int64_t>(c.bottom_action_timeout));
  Put(w, "max_heat_temp", static_cast<int64_t>(c.max_heat_temp));
  Put(w, "dust_bag_replace_cycle", static_cast<int64_t>(c.dust_bag_replace_cycle));
  w.EndObject();
}

}  // namespace

std::string DiagnosticsJson(const DiagnosticsSources& s, const std::string& msg_id) {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartObject();
  Put(w, "msgId", msg_id);
  Put(w, "stationId", g_config.station_id);
  Daemon(w, s);
  const int status = static_cast<int>(s.center->station_status());
  Put(w, "stationStatus", std::string(status >= 0 && status < 5 ? kStatusNames[status] : "unknown"));
  Broker(w, *s.broker);
  Board(w, *s.center);
  Outputs(w, *s.center);
  Tasks(w, *s.center);
  Counters(w, *s.broker, *s.center);
  ErrorCodes(w);
  Configuration(w);
  w.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

void AnswerDiagnostics(const DiagnosticsSources& sources, const std::string& request) {
  // The request's msgId, when it has one, comes back so that an asker tells its answer apart.
  std::string msg_id;
  rapidjson::Document doc;
  doc.Parse(request.c_str(), request.size());
  if (!doc.HasParseError() && doc.IsObject() && doc.HasMember("msgId") && doc["msgId"].IsString()) {
    msg_id = doc["msgId"].GetString();
  }
  const std::string topic = FormatTopic("clean_robot_station/%s/diagnosticsRe", sources.broker->station_id());
  sources.broker->Publish(topic, DiagnosticsJson(sources, msg_id), 1);
}

}  // namespace station_center
