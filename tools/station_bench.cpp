// station_bench: measures the daemon's dependability figures against a private
// station on loopback (mosquitto, board_sim and station_center as processes):
// reply times against a bare broker echo, a request burst, replies while the
// board is silent, recovery after a broker restart and a daemon start, idle CPU
// and private memory. Prints one Markdown table row per figure. See --help.

#include <mqtt/async_client.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ctl_messages.h"
#include "ctl_mqtt.h"
#include "ctl_nodelay.h"
#include "soak_plan.h"
#include "soak_station.h"

namespace bench {
namespace {

namespace mqttpb = stationctl::mqttpb;
using soak::Clock;
using std::chrono::milliseconds;

const char kUsage[] =
    "usage: station_bench [--quick] [--only 1c,1d] [--count N] [--bin DIR] [--work DIR]\n"
    "\n"
    "Starts a private station on loopback (mosquitto, board_sim and station_center with\n"
    "their default limits) and measures: the position check's reply time against a bare\n"
    "QoS-1 echo through the same broker, idle and with the fan running at 100 reports/s;\n"
    "a burst of checkStation requests; replies while the board is silent and a lamp\n"
    "pattern is due; the first answer after a broker restart and after the daemon's\n"
    "start; the daemon's idle CPU at 5 and 100 reports/s and its private memory.\n"
    "Progress goes to standard error, the table (Markdown) to standard output.\n"
    "Exit status 0 when every figure was measured (whether it met its goal or not),\n"
    "1 when one could not be, 2 for a usage error, 3 when a station did not start.\n"
    "\n"
    "options:\n"
    "  --quick      small counts and short windows (a smoke run, figures not meaningful)\n"
    "  --only IDS   only the reply times with the broker's Nagle off: 1c, 1d or 1c,1d\n"
    "  --count N    position checks (and as many echoes) per reply-time figure\n"
    "  --bin DIR    where board_sim and station_center are (default: beside this program)\n"
    "  --work DIR   station trees and logs (default: a new directory under $TMPDIR,\n"
    "               removed after a complete run)\n";

struct Options {
  bool quick = false;
  bool only_1c = false;  // with only_1d: --only, the other figures left out
  bool only_1d = false;
  int count = 0;  // --count; 0 for the mode's own
  std::string bin_dir;
  std::string work_dir;
};

// How many and how long, per mode.
struct Counts {
  int latency;      // requests per latency series
  int burst;        // requests in the burst
  int silent;       // requests while the board is silent
  double cpu_secs;  // CPU sampling window
};

constexpr Counts kFull{500, 2000, 100, 20.0};
constexpr Counts kQuick{20, 100, 10, 2.0};

// One row of the table; `verdict` is PASS, MISS, "-" (no goal) or "NOT MEASURED".
struct Row {
  std::string id;
  std::string figure;
  std::string measured;
  std::string goal;
  std::string verdict;
};

std::vector<Row> g_rows;
const char kLatencyGoal[] = "p50 within 1.2x, p99 within 1.5x of the echo";
std::string g_broker;  // of the station being measured

void Progress(const std::string& line) { std::cerr << "station_bench: " << line << std::endl; }

void AddRow(Row row) {
  Progress(row.id + " " + row.figure + ": " + row.measured + " [" + row.verdict + "]");
  g_rows.push_back(std::move(row));
}

void NotMeasured(const std::string& id, const std::string& figure, const std::string& goal, const std::string& why) {
  AddRow({id, figure, "not measured: " + why, goal, "NOT MEASURED"});
}

std::string Verdict(bool pass) { return pass ? "PASS" : "MISS"; }

std::string Fixed(double v, int digits) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.*f", digits, v);
  return text;
}

std::string Ms(double seconds) { return Fixed(seconds * 1000.0, seconds < 0.01 ? 2 : 1) + " ms"; }

double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

struct Stats {
  size_t n = 0;
  double p50 = 0, p90 = 0, p99 = 0, max = 0;
};

// Nearest-rank percentiles of seconds.
Stats Summarize(std::vector<double> v) {
  Stats s;
  s.n = v.size();
  if (v.empty()) {
    return s;
  }
  std::sort(v.begin(), v.end());
  const auto rank = [&](double q) {
    const size_t i = static_cast<size_t>(q * static_cast<double>(v.size()) + 0.999999);
    return v[std::min(v.size(), std::max<size_t>(i, 1)) - 1];
  };
  s.p50 = rank(0.50);
  s.p90 = rank(0.90);
  s.p99 = rank(0.99);
  s.max = v.back();
  return s;
}

soak::Request Check() {
  soak::Request r;
  r.kind = soak::Request::kCheck;
  r.check_type = mqttpb::ENUM_IN_POSE;
  return r;
}

std::string ClientId(const std::string& role) { return "station-bench-" + role + "-" + std::to_string(::getpid()); }

// The broker's own round trip, the floor under any reply time: a message to a second
// client, which sends it straight back on another topic. Like a request and its reply,
// it crosses the broker twice and is published twice at QoS 1. Use from one thread.
class Echo {
 public:
  explicit Echo(const std::string& broker)
      : session_(broker, ClientId("echo")),
        responder_(broker, ClientId("echo-responder")),
        ask_("station-bench/" + std::to_string(::getpid()) + "/echo"),
        answer_(ask_ + "Re") {}
  ~Echo() {
    stop_ = true;
    if (thread_.joinable()) {
      thread_.join();
    }
  }

  bool Connect(std::string* error) {
    if (!responder_.Connect(std::chrono::seconds(10), error) ||
        !responder_.Subscribe({ask_}, std::chrono::seconds(10), error) ||
        !session_.Connect(std::chrono::seconds(10), error) ||
        !session_.Subscribe({answer_}, std::chrono::seconds(10), error)) {
      return false;
    }
    thread_ = std::thread([this] { Respond(); });
    return true;
  }

  // Seconds from publishing to receiving the answer; negative when it did not come.
  double Once(int n) {
    const std::string payload = "echo " + std::to_string(n);
    const auto sent = Clock::now();
    std::string error;
    if (!session_.Publish(ask_, payload, std::chrono::seconds(5), &error)) {
      return -1;
    }
    std::string topic;
    std::string got;
    while (session_.Next(sent + std::chrono::seconds(5), &topic, &got) == stationctl::Session::Wait::kMessage) {
      if (topic == answer_ && got == payload) {
        return Since(sent);
      }
    }
    return -1;
  }

 private:
  void Respond() {
    while (!stop_) {
      std::string topic;
      std::string payload;
      std::string error;
      if (responder_.Next(Clock::now() + milliseconds(100), &topic, &payload) == stationctl::Session::Wait::kMessage) {
        responder_.Publish(answer_, payload, std::chrono::seconds(5), &error);
      }
    }
  }

  stationctl::Session session_;
  stationctl::Session responder_;
  const std::string ask_;
  const std::string answer_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Every msg_id ("uuid") the reply payload names.
std::vector<std::string> Uuids(const std::string& payload) {
  static const std::string kKey = "\"uuid\":\"";
  std::vector<std::string> out;
  for (size_t at = payload.find(kKey); at != std::string::npos; at = payload.find(kKey, at)) {
    at += kKey.size();
    const size_t end = payload.find('"', at);
    if (end == std::string::npos) {
      break;
    }
    out.push_back(payload.substr(at, end - at));
  }
  return out;
}

// Publishes a position check through `session` without waiting for its reply.
bool PublishCheck(stationctl::Session& session, const std::string& station_id, std::string* msg_id) {
  std::string name;
  std::unique_ptr<google::protobuf::Message> reply;
  const auto message = soak::BuildRequest(Check(), "station-bench", msg_id, &name, &reply);
  std::string error;
  return session.Publish(stationctl::StationTopic(station_id, name), stationctl::ToWireJson(*message),
                         std::chrono::seconds(5), &error);
}

// Figure 1: position checks, each followed by one echo through the same broker.
void Latency(soak::Robot& robot, Echo& echo, const std::string& id, const std::string& label, int count) {
  // Both clients are connected by now.
  if (stationctl::NoDelayTowardsBroker(g_broker) < 2) {
    Progress("could not turn Nagle off on the bench's broker sockets");
  }
  std::vector<double> asked;
  std::vector<double> echoed;
  for (int i = 0; i < count; ++i) {
    // Taking turns at going first: neither series always follows the other's tail.
    const bool echo_first = i % 2 == 1;
    const double e1 = echo_first ? echo.Once(i) : -1;
    const soak::Answer a = robot.Ask(Check(), milliseconds(5000));
    if (a.answered) asked.push_back(a.seconds);
    const double e = echo_first ? e1 : echo.Once(i);
    if (e >= 0) echoed.push_back(e);
  }
  const std::string goal = kLatencyGoal;
  if (asked.empty() || echoed.empty()) {
    NotMeasured(id, label, goal, "no replies or no echoes");
    return;
  }
  const Stats s = Summarize(asked);
  const Stats e = Summarize(echoed);
  const double r50 = s.p50 / e.p50;
  const double r99 = s.p99 / e.p99;
  AddRow({id, label,
          "p50 " + Ms(s.p50) + ", p90 " + Ms(s.p90) + ", p99 " + Ms(s.p99) + " (" + std::to_string(s.n) + "/" +
              std::to_string(count) + " answered); echo p50 " + Ms(e.p50) + ", p99 " + Ms(e.p99) + "; ratio p50 " +
              Fixed(r50, 2) + "x, p99 " + Fixed(r99, 2) + "x",
          goal, Verdict(s.n == static_cast<size_t>(count) && r50 <= 1.2 && r99 <= 1.5)});
}

// What the burst's listener saw, per request.
struct BurstLog {
  std::vector<Clock::time_point> sent;       // the publish call
  std::vector<Clock::time_point> delivered;  // the broker relayed the request (seen by the listener too)
  std::vector<Clock::time_point> answered;   // the first reply
  std::vector<int> replies;
  std::vector<bool> seen;  // delivered is set
};

// Takes the requests as the broker relays them and their replies, until every
// request is answered and a second passed, or five seconds pass without a message
// after `published`.
void ListenBurst(stationctl::Session& session, const std::unordered_map<std::string, size_t>& index,
                 const std::atomic<bool>& published, BurstLog* log) {
  size_t unique = 0;
  auto last = Clock::now();
  const auto end = Clock::now() + std::chrono::minutes(3);
  while (Clock::now() < end) {
    const bool quiet = Since(last) > (unique == index.size() ? 1.0 : 5.0);
    if (published && quiet) {
      return;
    }
    std::string topic;
    std::string payload;
    if (session.Next(Clock::now() + milliseconds(200), &topic, &payload) != stationctl::Session::Wait::kMessage) {
      continue;
    }
    last = Clock::now();
    const bool reply = topic.size() > 2 && topic.compare(topic.size() - 2, 2, "Re") == 0;
    for (const std::string& uuid : Uuids(payload)) {
      const auto it = index.find(uuid);
      if (it == index.end()) continue;
      const size_t i = it->second;
      if (!reply && !log->seen[i]) {
        log->seen[i] = true;
        log->delivered[i] = last;
      } else if (reply && log->replies[i]++ == 0) {
        log->answered[i] = last;
        ++unique;
      }
      break;
    }
  }
}

// The burst's requests, built before any is sent so that the listener can look
// every reply up by its msg_id.
struct BurstPlan {
  std::vector<std::string> payloads;
  std::unordered_map<std::string, size_t> index;
  std::string topic;
};

BurstPlan PlanBurst(const std::string& station_id, int count) {
  BurstPlan plan;
  for (int i = 0; i < count; ++i) {
    std::string msg_id;
    std::string name;
    std::unique_ptr<google::protobuf::Message> reply;
    const auto message = soak::BuildRequest(Check(), "station-bench", &msg_id, &name, &reply);
    plan.topic = stationctl::StationTopic(station_id, name);
    plan.payloads.push_back(stationctl::ToWireJson(*message));
    plan.index[msg_id] = static_cast<size_t>(i);
  }
  return plan;
}

// Seconds from `from` to `to` for every request where both are known.
std::vector<double> Spans(const BurstLog& log, const std::vector<Clock::time_point>& from,
                          const std::vector<Clock::time_point>& to) {
  std::vector<double> out;
  for (size_t i = 0; i < log.replies.size(); ++i) {
    if (log.replies[i] > 0 && log.seen[i]) out.push_back(std::chrono::duration<double>(to[i] - from[i]).count());
  }
  return out;
}

void BurstRow(const BurstLog& log, int count, double publish_secs) {
  int answered = 0;
  int duplicates = 0;
  for (int n : log.replies) {
    answered += n > 0 ? 1 : 0;
    duplicates += std::max(0, n - 1);
  }
  const auto relayed = std::count(log.seen.begin(), log.seen.end(), true);
  const Stats reply = Summarize(Spans(log, log.delivered, log.answered));
  const Stats delivery = Summarize(Spans(log, log.sent, log.delivered));
  std::string measured = std::to_string(answered) + " of " + std::to_string(count) + " answered (" +
                         std::to_string(relayed) + " relayed by the broker), " + std::to_string(duplicates) +
                         " duplicates, published in " + Fixed(publish_secs, 2) + " s";
  if (reply.n > 0) {
    measured += "; reply after the broker relayed the request: p50 " + Ms(reply.p50) + ", p99 " + Ms(reply.p99) +
                ", max " + Ms(reply.max) + "; the relay itself (publisher and broker): p50 " + Ms(delivery.p50) +
                ", max " + Ms(delivery.max);
  }
  AddRow({"2", "burst of " + std::to_string(count) + " checkStation requests (QoS 1, published without waiting)",
          measured, std::to_string(count) + " of " + std::to_string(count) + " answered, once each",
          Verdict(answered == count && duplicates == 0)});
}

// Requests in flight at once in the burst: under mosquitto's receive maximum (20),
// past which Paho parks messages and sends them only on its next timer tick
// (seconds), which would time the client instead of the daemon.
constexpr size_t kBurstWindow = 16;

// Publishes every request of `plan`, waiting for nothing but the broker's flow
// control (kBurstWindow), then for the last acknowledgements; `secs` is the time
// the publish calls took. Paho reports failures by exceptions: caught here.
bool PublishAll(const std::string& broker, const BurstPlan& plan, BurstLog* log, double* secs, std::string* error) {
  try {
    mqtt::async_client client(stationctl::BrokerUri(broker), ClientId("burst-pub"), mqtt::create_options(MQTTVERSION_5),
                              nullptr);
    const auto options = mqtt::connect_options_builder().mqtt_version(MQTTVERSION_5).clean_start(true).finalize();
    if (!client.connect(options)->wait_for(std::chrono::seconds(10))) {
      *error = "the publisher could not connect";
      return false;
    }
    stationctl::NoDelayTowardsBroker(broker);
    std::vector<mqtt::delivery_token_ptr> tokens;
    const auto start = Clock::now();
    for (size_t i = 0; i < plan.payloads.size(); ++i) {
      if (i >= kBurstWindow) tokens[i - kBurstWindow]->wait_for(std::chrono::seconds(30));
      log->sent[i] = Clock::now();
      tokens.push_back(client.publish(mqtt::make_message(plan.topic, plan.payloads[i], 1, false)));
    }
    *secs = Since(start);
    for (const auto& token : tokens) {
      token->wait_for(std::chrono::seconds(30));
    }
    client.disconnect()->wait_for(std::chrono::seconds(5));
    return true;
  } catch (const std::exception& e) {
    *error = std::string("publishing the burst: ") + e.what();
    return false;
  }
}

// Figure 2: requests published back to back without waiting for replies,
// replies taken on a second session.
void Burst(soak::Station& station, int count) {
  const std::string label = "burst of " + std::to_string(count) + " checkStation requests";
  const std::string goal = std::to_string(count) + " of " + std::to_string(count) + " answered";
  stationctl::Session listener(station.broker(), ClientId("burst-sub"));
  std::string error;
  if (!listener.Connect(std::chrono::seconds(10), &error) ||
      !listener.Subscribe({stationctl::StationTopic(station.station_id(), "checkStation"),
                           stationctl::StationTopic(station.station_id(), "checkStationRe")},
                          std::chrono::seconds(10), &error)) {
    NotMeasured("2", label, goal, error);
    return;
  }
  const BurstPlan plan = PlanBurst(station.station_id(), count);
  BurstLog log;
  log.sent.resize(plan.payloads.size());
  log.delivered.resize(plan.payloads.size());
  log.answered.resize(plan.payloads.size());
  log.replies.assign(plan.payloads.size(), 0);
  log.seen.assign(plan.payloads.size(), false);
  std::atomic<bool> published{false};
  std::thread listen([&] { ListenBurst(listener, plan.index, published, &log); });
  double publish_secs = 0;
  const bool sent = PublishAll(station.broker(), plan, &log, &publish_secs, &error);
  published = true;
  listen.join();
  if (!sent) {
    NotMeasured("2", label, goal, error);
    return;
  }
  BurstRow(log, count, publish_secs);
}

// Waits up to ten seconds until the simulator has received the error lamp pattern.
bool AwaitErrorLamp(soak::Station& station) {
  const auto end = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < end) {
    if (station.Sim("commands").find(" led 8\n") != std::string::npos) {
      return true;
    }
    std::this_thread::sleep_for(milliseconds(50));
  }
  return false;
}

// Figure 3: the board answers nothing and a plate at 90 C makes the error lamp
// pattern due; position checks every 50 ms.
void Silent(soak::Station& station, soak::Robot& robot, int count) {
  const std::string label = "reply time, board silent and a lamp pattern pending";
  station.Sim("commands clear");
  station.Sim("fault drop on");
  station.Sim("pin electrodePlateTemp1 90");
  const bool lamp = AwaitErrorLamp(station);
  std::vector<double> times;
  for (int i = 0; i < count; ++i) {
    const soak::Answer a = robot.Ask(Check(), milliseconds(10000));
    if (a.answered) times.push_back(a.seconds);
    std::this_thread::sleep_for(milliseconds(50));
  }
  station.Sim("fault clear");
  station.Sim("unpin electrodePlateTemp1");
  const Stats s = Summarize(times);
  std::string measured = std::to_string(s.n) + "/" + std::to_string(count) + " answered";
  if (s.n > 0) {
    measured += ", p50 " + Ms(s.p50) + ", p99 " + Ms(s.p99) + ", max " + Ms(s.max);
  }
  if (!lamp) {
    measured += " (the error lamp command was not seen at the board)";
  }
  AddRow({"3", label, measured, "p99 under 1 s", Verdict(s.n == static_cast<size_t>(count) && s.p99 < 1.0)});
}

// Seconds from `t0` to the first checkStation reply of any request sent by a
// fresh session that connects (again and again, while the broker refuses) and
// asks every 50 ms; negative when none came within `limit`.
double FirstAnswer(const std::string& broker, const std::string& station_id, Clock::time_point t0,
                   std::chrono::seconds limit) {
  const auto end = t0 + limit;
  const std::string reply_topic = stationctl::StationTopic(station_id, "checkStationRe");
  for (int attempt = 0; Clock::now() < end; ++attempt) {
    stationctl::Session session(broker, ClientId("first-" + std::to_string(attempt)));
    std::string error;
    if (!session.Connect(std::chrono::seconds(2), &error) ||
        !session.Subscribe({reply_topic}, std::chrono::seconds(2), &error)) {
      std::this_thread::sleep_for(milliseconds(20));
      continue;
    }
    std::string msg_id;
    while (Clock::now() < end && PublishCheck(session, station_id, &msg_id)) {
      std::string topic;
      std::string payload;
      const auto wait = session.Next(Clock::now() + milliseconds(50), &topic, &payload);
      if (wait == stationctl::Session::Wait::kMessage && topic == reply_topic) {
        return Since(t0);
      }
      if (wait == stationctl::Session::Wait::kLost) break;
    }
  }
  return -1;
}

// Figure 4: the broker stops and comes back on the same port.
void BrokerRestart(soak::Station& station) {
  const std::string label = "first answered request after the broker's return (same port)";
  std::string error;
  if (!station.RestartBroker(false, &error)) {
    NotMeasured("4", label, "2 s", error);
    return;
  }
  const double secs = FirstAnswer(station.broker(), station.station_id(), Clock::now(), std::chrono::seconds(60));
  if (secs < 0) {
    NotMeasured("4", label, "2 s", "no answer within 60 s");
    return;
  }
  AddRow({"4", label, Fixed(secs, 2) + " s", "2 s", Verdict(secs <= 2.0)});
}

// Figure 5: the daemon starts while the board and the broker are up.
void DaemonStart(soak::Station& station) {
  const std::string label = "first answered request after the daemon's process start (board and broker up)";
  station.StopDaemon();
  const auto t0 = Clock::now();
  std::string error;
  if (!station.StartDaemon(&error)) {
    NotMeasured("5", label, "none set", error);
    return;
  }
  const double secs = FirstAnswer(station.broker(), station.station_id(), t0, std::chrono::seconds(90));
  if (secs < 0) {
    NotMeasured("5", label, "none set", "no answer within 90 s");
    return;
  }
  AddRow({"5", label, Fixed(secs, 2) + " s", "none set", "-"});
}

// User plus system time of `pid` in clock ticks; negative when unreadable.
long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) {
    return -1;
  }
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  long ticks = 0;
  // After the name: state is field 3, utime 14, stime 15.
  for (int n = 3; n <= 15 && fields >> field; ++n) {
    if (n >= 14) ticks += std::stol(field);
  }
  return ticks;
}

// RssAnon of `pid` in KiB; negative when unreadable.
long RssAnonKib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("RssAnon:", 0) == 0) {
      return std::stol(line.substr(8));
    }
  }
  return -1;
}

// Private memory samples: where taken, KiB.
std::vector<std::pair<std::string, long>> g_memory;

void SampleMemory(soak::Station& station, const std::string& when) {
  const long kib = RssAnonKib(station.DaemonPid());
  if (kib >= 0) g_memory.emplace_back(when, kib);
}

// Figure 6: the daemon's CPU over `secs` while nothing runs.
void IdleCpu(soak::Station& station, const std::string& id, int rate, double secs) {
  const std::string label = "idle CPU at " + std::to_string(rate) + " sensor reports/s";
  const pid_t pid = station.DaemonPid();
  const long before = CpuTicks(pid);
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(secs));
  const long after = CpuTicks(pid);
  const double wall = Since(start);
  if (before < 0 || after < 0) {
    NotMeasured(id, label, "under 1 % of a core", "cannot read /proc/" + std::to_string(pid) + "/stat");
    return;
  }
  const double percent =
      100.0 * static_cast<double>(after - before) / static_cast<double>(::sysconf(_SC_CLK_TCK)) / wall;
  AddRow({id, label, Fixed(percent, 2) + " % of a core over " + Fixed(wall, 0) + " s", "under 1 % of a core",
          Verdict(percent < 1.0)});
}

void MemoryRow() {
  const std::string label = "private memory (RssAnon)";
  if (g_memory.empty()) {
    NotMeasured("6c", label, "under 4 MiB", "cannot read /proc/<pid>/status");
    return;
  }
  long most = 0;
  std::string measured;
  for (const auto& [when, kib] : g_memory) {
    measured += (measured.empty() ? "" : ", ") + std::to_string(kib) + " KiB " + when;
    most = std::max(most, kib);
  }
  AddRow({"6c", label, measured, "under 4 MiB", Verdict(most < 4096)});
}

std::string StartFan(soak::Station& station, soak::Robot& robot);

// Figure 1 again with Nagle's algorithm off on the broker's sockets: without it the
// broker holds a reply to the robot until the robot acknowledges the broker's
// previous packet (a delayed ACK, tens of milliseconds), which the echo never meets.
// With `fan`, the drying fan runs meanwhile (the broker's restart reset the station).
void NoDelayLatency(soak::Station& station, int count, const std::string& id, bool fan) {
  const std::string label = std::string("position check, request to reply, ") +
                            (fan ? "fan running, 100 reports/s" : "idle") + ", broker with TCP_NODELAY";
  std::string error;
  if (!station.RestartBroker(true, &error) ||
      FirstAnswer(station.broker(), station.station_id(), Clock::now(), std::chrono::seconds(60)) < 0) {
    NotMeasured(id, label, kLatencyGoal,
                error.empty() ? "the daemon did not answer after the broker's restart" : error);
    return;
  }
  soak::Robot robot(station.broker(), station.station_id());
  Echo echo(station.broker());
  if (!robot.Connect(&error) || !echo.Connect(&error)) {
    NotMeasured(id, label, kLatencyGoal, error);
    return;
  }
  const std::string started = fan ? StartFan(station, robot) : "accepted";
  if (started.rfind("accepted", 0) != 0) {
    NotMeasured(id, label, kLatencyGoal, "the fan did not start: " + started);
    return;
  }
  Latency(robot, echo, id, label, count);
}

std::unique_ptr<soak::Station> StartStation(const Options& o, int rate, std::string* error) {
  soak::StationOptions so;
  so.bin_dir = o.bin_dir;
  so.work_dir = o.work_dir + "/rate" + std::to_string(rate);
  so.sim_rate = rate;
  so.fast_limits = false;
  std::filesystem::create_directories(so.work_dir);
  auto station = std::make_unique<soak::Station>(so);
  Progress("starting a station at " + std::to_string(rate) + " reports/s in " + so.work_dir);
  if (!station->Start(error)) {
    *error += "; " + station->Logs();
    return nullptr;
  }
  g_broker = station->broker();
  return station;
}

// At 5 reports/s: idle CPU, idle reply times, the silent board, the burst, then
// the broker's and the daemon's restarts.
bool RunQuietStation(const Options& o, const Counts& c, std::string* error) {
  const auto station = StartStation(o, 5, error);
  if (!station) return false;
  IdleCpu(*station, "6a", 5, c.cpu_secs);
  SampleMemory(*station, "idle");
  {
    // Closed before the burst, whose replies it would otherwise queue too.
    soak::Robot robot(station->broker(), station->station_id());
    Echo echo(station->broker());
    if (robot.Connect(error) && echo.Connect(error)) {
      Latency(robot, echo, "1a", "position check, request to reply, idle", c.latency);
      Silent(*station, robot, c.silent);
    } else {
      NotMeasured("1a", "position check, request to reply, idle", kLatencyGoal, *error);
      NotMeasured("3", "reply time, board silent and a lamp pattern pending", "p99 under 1 s", *error);
    }
  }
  Burst(*station, c.burst);
  SampleMemory(*station, "after the burst and the silent board");
  BrokerRestart(*station);
  NoDelayLatency(*station, c.latency, "1c", false);
  DaemonStart(*station);
  station->Stop();
  return true;
}

// Docks the robot and starts the drying fan; the verdict line.
std::string StartFan(soak::Station& station, soak::Robot& robot) {
  station.Sim("dock");
  // The daemon sees the robot with the next sensor report.
  const auto end = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < end && !robot.Ask(Check(), milliseconds(5000)).verdict.accepted) {
    std::this_thread::sleep_for(milliseconds(100));
  }
  soak::Request stay;
  stay.kind = soak::Request::kDock;
  robot.Ask(stay, milliseconds(5000));
  soak::Request fan;
  fan.kind = soak::Request::kSupply;
  fan.supply_type = mqttpb::ENUM_SUPPLY_HEATING_FAN;
  fan.action = mqttpb::ENUM_ACTION_STANDARD;
  fan.duration = 3600;
  const soak::Answer a = robot.Ask(fan, milliseconds(10000));
  return a.answered ? a.text : "fan request unanswered: " + a.text;
}

// At 100 reports/s: idle CPU, then reply times with the fan running.
bool RunBusyStation(const Options& o, const Counts& c, std::string* error) {
  const auto station = StartStation(o, 100, error);
  if (!station) return false;
  IdleCpu(*station, "6b", 100, c.cpu_secs);
  const std::string label = "position check, request to reply, fan running, 100 reports/s";
  {
    // Closed before the broker's restart for 1d.
    soak::Robot robot(station->broker(), station->station_id());
    Echo echo(station->broker());
    if (robot.Connect(error) && echo.Connect(error)) {
      const std::string fan = StartFan(*station, robot);
      Progress("fan: " + fan);
      if (fan.rfind("accepted", 0) == 0) {
        Latency(robot, echo, "1b", label, c.latency);
      } else {
        NotMeasured("1b", label, kLatencyGoal, "the fan did not start: " + fan);
      }
    } else {
      NotMeasured("1b", label, kLatencyGoal, *error);
    }
  }
  SampleMemory(*station, "with the fan at 100 reports/s");
  NoDelayLatency(*station, c.latency, "1d", true);
  station->Stop();
  return true;
}

// --only: figures 1c and 1d without the rest, each on a station of its own rate.
bool RunNoDelayOnly(const Options& o, const Counts& c, std::string* error) {
  if (o.only_1c) {
    const auto station = StartStation(o, 5, error);
    if (!station) return false;
    NoDelayLatency(*station, c.latency, "1c", false);
    station->Stop();
  }
  if (o.only_1d) {
    const auto station = StartStation(o, 100, error);
    if (!station) return false;
    NoDelayLatency(*station, c.latency, "1d", true);
    station->Stop();
  }
  return true;
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one;
  in >> one;
  return one.empty() ? "?" : one;
}

void PrintTable(const std::string& load_before, const Options& o) {
  std::sort(g_rows.begin(), g_rows.end(), [](const Row& a, const Row& b) { return a.id < b.id; });
  std::cout << "| # | Figure | Measured | Goal | Verdict |\n|---|---|---|---|---|\n";
  for (const Row& r : g_rows) {
    std::cout << "| " << r.id << " | " << r.figure << " | " << r.measured << " | " << r.goal << " | " << r.verdict
              << " |\n";
  }
  const bool only = o.only_1c || o.only_1d;
  std::cout << "\nRun: "
            << (o.quick ? "quick (small counts, not meaningful)"
                : only  ? "figures chosen by --only"
                        : "full")
            << "; load average (1 min) " << load_before << " at the start, " << LoadAverage() << " at the end.\n";
}

std::string OwnDirectory() {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? "." : self.parent_path().string();
}

// -1 to go on, else the exit status.
int ParseOptions(int argc, char** argv, Options* o) {
  o->bin_dir = OwnDirectory();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (a == "--quick") {
      o->quick = true;
    } else if (a == "--only" && i + 1 < argc) {
      const std::string ids = argv[++i];
      o->only_1c = ids == "1c" || ids == "1c,1d" || ids == "1d,1c";
      o->only_1d = ids == "1d" || ids == "1c,1d" || ids == "1d,1c";
      if (!o->only_1c && !o->only_1d) {
        std::cerr << "station_bench: --only takes 1c, 1d or 1c,1d\n";
        return 2;
      }
    } else if (a == "--count" && i + 1 < argc) {
      o->count = std::atoi(argv[++i]);
      if (o->count <= 0) {
        std::cerr << "station_bench: --count takes a positive number\n";
        return 2;
      }
    } else if (a == "--bin" && i + 1 < argc) {
      o->bin_dir = argv[++i];
    } else if (a == "--work" && i + 1 < argc) {
      o->work_dir = argv[++i];
    } else {
      std::cerr << "station_bench: unknown or incomplete option " << a << " (see --help)\n";
      return 2;
    }
  }
  return -1;
}

int Run(Options o) {
  const bool own_work_dir = o.work_dir.empty();
  if (own_work_dir) {
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/station-bench-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) {
      std::cerr << "station_bench: cannot make a work directory under " << tmpl << "\n";
      return 3;
    }
    o.work_dir = tmpl;
  }
  Counts c = o.quick ? kQuick : kFull;
  c.latency = o.count > 0 ? o.count : c.latency;
  const std::string load_before = LoadAverage();
  std::string error;
  const bool ran = o.only_1c || o.only_1d ? RunNoDelayOnly(o, c, &error)
                                          : RunQuietStation(o, c, &error) && RunBusyStation(o, c, &error);
  if (!ran) {
    std::cerr << "station_bench: " << error << "\n";
    return 3;
  }
  if (!o.only_1c && !o.only_1d) {
    MemoryRow();
  }
  PrintTable(load_before, o);
  const bool complete =
      std::none_of(g_rows.begin(), g_rows.end(), [](const Row& r) { return r.verdict == "NOT MEASURED"; });
  if (complete && own_work_dir) {
    std::error_code ec;
    std::filesystem::remove_all(o.work_dir, ec);
  } else {
    std::cerr << "station_bench: logs kept in " << o.work_dir << "\n";
  }
  return complete ? 0 : 1;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  bench::Options options;
  const int parsed = bench::ParseOptions(argc, argv, &options);
  if (parsed >= 0) {
    return parsed;
  }
  soak::StopChildrenOnSignals();
  return bench::Run(options);
}
