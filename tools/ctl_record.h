#pragma once

// stationctl record: every message on the station's topics, with its arrival
// time, as one JSON object per line, for tools/plot-visit and for reading:
//
//   {"t":1718000000.125,"topic":"clean_robot_station/s1/checkStationRe","kind":"reply","payload":{...}}
//
// kinds: request, reply (the station's answers), report (to the robot),
// upload (to the cloud), cloud-reply, and start (the first line: station and broker).

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>

#include "ctl_mqtt.h"

namespace stationctl {

extern const char kRecordHelp[];

// Topic -> kind of every topic the record subscribes to.
std::map<std::string, std::string> RecordTopics(const std::string& station);

// One record line without the newline. A payload that is JSON is kept as JSON
// (compacted onto the line); anything else is kept as a string.
std::string RecordLine(double t, const std::string& topic, const std::string& kind, const std::string& payload);

// The record's first line: kind "start", payload {"station": ..., "broker": ...}.
std::string StartLine(double t, const std::string& station, const std::string& broker);

struct RecordResult {
  long messages = 0;
  bool lost = false;  // the broker went away
};

// Writes every message that arrives on `session` (already subscribed to the
// keys of `topics`) to `out`, each line flushed, until `stop` is set, the
// broker is lost or `limit` has passed (zero: no limit). Call from one thread;
// `stop` may be set from a signal handler.
RecordResult RecordMessages(Session& session, const std::map<std::string, std::string>& topics, std::FILE* out,
                            std::chrono::milliseconds limit, const std::atomic<bool>& stop);

// Seconds since the epoch, to the microsecond.
double NowSeconds();

}  // namespace stationctl
