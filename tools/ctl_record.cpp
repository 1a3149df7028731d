// stationctl record: the station's traffic as JSON lines.

#include "ctl_record.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "ctl_messages.h"

namespace stationctl {

const char kRecordHelp[] =
    "usage: stationctl record FILE [--seconds S]\n"
    "\n"
    "Writes every message on the station's topics to FILE ('-': standard output) as it\n"
    "arrives, one JSON object per line: {\"t\": seconds since the epoch, \"topic\": ...,\n"
    "\"kind\": request|reply|report|upload|cloud-reply|availability, \"payload\": the message's JSON}.\n"
    "The robot's requests and the cloud's replies are recorded too, so requests and their\n"
    "answers can be paired by msg_id. Each line is flushed as it is written.\n"
    "Runs until Ctrl-C or SIGTERM (exit 0), or for S seconds with --seconds.\n"
    "tools/plot-visit FILE draws the record as a timeline.\n";

double NowSeconds() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) / 1e6;
}

std::map<std::string, std::string> RecordTopics(const std::string& station) {
  std::map<std::string, std::string> topics = {
      {FormatTopic("clean_robot_station/%s/stationReport", station), "report"},
      {"clean_robot_station/reportActively", "upload"},
      {StationTopic(station, "reportActivelyRe"), "cloud-reply"},
      {FormatTopic("clean_robot_station/%s/availability", station), "availability"},
  };
  for (const RequestTopic& topic : RequestTopics()) {
    topics[StationTopic(station, topic.segment)] = "request";
    topics[StationTopic(station, topic.reply_segment)] = "reply";
  }
  return topics;
}

std::string RecordLine(double t, const std::string& topic, const std::string& kind, const std::string& payload) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("t");
  writer.Double(t);
  writer.Key("topic");
  writer.String(topic.c_str(), static_cast<rapidjson::SizeType>(topic.size()));
  writer.Key("kind");
  writer.String(kind.c_str(), static_cast<rapidjson::SizeType>(kind.size()));
  writer.Key("payload");
  rapidjson::Document doc;
  doc.Parse(payload.c_str(), payload.size());
  if (doc.HasParseError()) {
    writer.String(payload.c_str(), static_cast<rapidjson::SizeType>(payload.size()));
  } else {
    doc.Accept(writer);
  }
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string StartLine(double t, const std::string& station, const std::string& broker) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("station");
  writer.String(station.c_str(), static_cast<rapidjson::SizeType>(station.size()));
  writer.Key("broker");
  writer.String(broker.c_str(), static_cast<rapidjson::SizeType>(broker.size()));
  writer.EndObject();
  return RecordLine(t, "", "start", std::string(buffer.GetString(), buffer.GetSize()));
}

RecordResult RecordMessages(Session& session, const std::map<std::string, std::string>& topics, std::FILE* out,
                            std::chrono::milliseconds limit, const std::atomic<bool>& stop) {
  RecordResult result;
  const auto end = Session::Clock::now() + limit;
  const bool timed = limit.count() > 0;
  while (!stop && !(timed && Session::Clock::now() >= end)) {
    // Short slices, so that a signal is noticed promptly.
    auto slice = Session::Clock::now() + std::chrono::milliseconds(200);
    if (timed && slice > end) {
      slice = end;
    }
    std::string topic;
    std::string payload;
    const Session::Wait wait = session.Next(slice, &topic, &payload);
    if (wait == Session::Wait::kLost) {
      result.lost = true;
      break;
    }
    if (wait != Session::Wait::kMessage) {
      continue;
    }
    const auto it = topics.find(topic);
    const std::string line = RecordLine(NowSeconds(), topic, it != topics.end() ? it->second : "other", payload);
    std::fputs(line.c_str(), out);
    std::fputc('\n', out);
    std::fflush(out);
    ++result.messages;
  }
  return result;
}

}  // namespace stationctl
