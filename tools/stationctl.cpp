// stationctl: the robot's side of the station's MQTT interface, for
// technicians and scripts. It sends the robot's requests (check, dock,
// prewater, supply), plays the cloud's reply to an upload, and watches what
// the station publishes. See `stationctl --help`.

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ctl_messages.h"
#include "ctl_mqtt.h"
#include "ctl_nodelay.h"
#include "ctl_record.h"

namespace stationctl {
namespace {

// The defaults match ./scripts/run-sim: its broker, and the station id the
// daemon takes from the host name.
constexpr const char* kDefaultBroker = "127.0.0.1:18830";
constexpr const char* kDefaultRobotId = "stationctl";
constexpr double kDefaultTimeout = 5.0;

const char kMainHelp[] =
    "usage: stationctl [options] COMMAND [arguments] [options]\n"
    "\n"
    "Talks to a station over MQTT the way the robot and the cloud do.\n"
    "\n"
    "commands:\n"
    "  check in-pose|water-ready|water-finish    ask the station a question\n"
    "  dock stay|leave                           tell the station the robot stays or leaves\n"
    "  prewater --tablets N --volume V           prepare disinfectant water\n"
    "  supply TYPE --action A [--duration S]     start, change or stop a supply\n"
    "  cloud-reply [flags]                       answer the station's upload as the cloud\n"
    "  watch                                     show replies, robot reports and cloud uploads\n"
    "  record FILE [--seconds S]                 write the station's traffic to FILE as JSON lines\n"
    "  help [COMMAND]                            this text, or a command's\n"
    "\n"
    "options (any command):\n"
    "  --broker HOST:PORT   MQTT broker (default $STATIONCTL_BROKER or 127.0.0.1:18830, run-sim's);\n"
    "                       ssl://HOST:PORT or mqtts://HOST:PORT for TLS (default port 8883)\n"
    "  --cafile FILE        with TLS: CA certificates to trust (default the system's)\n"
    "  --cert FILE          with TLS: client certificate (PEM)\n"
    "  --key FILE           with TLS: the client certificate's key (default in --cert)\n"
    "  --insecure           with TLS: accept any broker certificate and host name\n"
    "  --station ID         station id (default $STATIONCTL_STATION or this host's name, which\n"
    "                       is the id a station on this host takes)\n"
    "  --robot-id ID        robot id in request headers (default stationctl)\n"
    "  --timeout S          seconds to wait for the broker and for a reply (default 5)\n"
    "  --raw                print replies and reports exactly as received\n"
    "  -v, --verbose        also print each request as sent\n"
    "  -h, --help           help; after a command, that command's help\n"
    "\n"
    "exit status: 0 accepted, 1 refused by the station, 2 usage error,\n"
    "             3 no reply or broker unreachable\n";

const char kCheckHelp[] =
    "usage: stationctl check in-pose|water-ready|water-finish\n"
    "\n"
    "Publishes a StationCheckReq on clean_robot_station/<id>/checkStation and waits for the\n"
    "StationCheckRsp on .../checkStationRe.\n"
    "  in-pose       is the robot docked in position?\n"
    "  water-ready   is the disinfectant water ready?\n"
    "  water-finish  has the water been added?\n"
    "Exit 0 when the station answers ENUM_READY, 1 when it answers ENUM_NOT_READY or an\n"
    "error code.\n";

const char kDockHelp[] =
    "usage: stationctl dock stay|leave [--robot-state in|out|invalid]\n"
    "\n"
    "Publishes a PositionConfirmReq on clean_robot_station/<id>/dockState with robot_desire\n"
    "ENUM_ROBOT_DESIRE_STAY_IN (stay) or ENUM_ROBOT_DESIRE_GO_OUT (leave) and waits for the\n"
    "PositionConfirmRsp on .../dockStateRe.\n"
    "  --robot-state S   the robot's own view sent in robot_state (default in)\n"
    "Exit 0 when the station echoes the wish; 1 when it overrules it (leave answered with\n"
    "STAY_IN: a task still runs; stay answered with GO_OUT: the robot is not in position)\n"
    "or answers an error code.\n";

const char kPrewaterHelp[] =
    "usage: stationctl prewater --tablets N --volume V [--action A] [--duration S]\n"
    "\n"
    "Publishes a PrepareDisinfectantReq on clean_robot_station/<id>/preWaterRequest and waits\n"
    "for the PrepareDisinfectantRsp on .../preWaterRequestRe.\n"
    "  --tablets N    disinfection_tablets_num\n"
    "  --volume V     water_volume\n"
    "  --action A     soft|standard|strong|stop (default standard); with stop, --tablets and\n"
    "                 --volume may be left out\n"
    "  --duration S   action_cmd.duration (default 0)\n"
    "Exit 0 when the reply's err_code is ENUM_SUCCESS, 1 otherwise.\n";

const char kSupplyHelpHead[] =
    "usage: stationctl supply TYPE --action soft|standard|strong|stop [--duration S]\n"
    "\n"
    "Publishes a SupplyMaterialReq on clean_robot_station/<id>/supplyMaterialRequest and waits\n"
    "for the SupplyMaterialRsp on .../supplyMaterialRequestRe. stop ends a running supply.\n"
    "  --action A     cmd.action\n"
    "  --duration S   cmd.duration in seconds (default 0)\n"
    "Exit 0 when the reply's err_code is ENUM_SUCCESS, 1 otherwise.\n"
    "\n"
    "TYPE (a name below, an ENUM_SUPPLY_... name or a number):\n";

const char kCloudReplyHelp[] =
    "usage: stationctl cloud-reply [--tap-water F] [--disinfectant-tablets F] [--dust-bag F]\n"
    "                              [--result N] [--no-consumables] [--topic T]\n"
    "\n"
    "Publishes a BaseStationInfoReportRsp, as the cloud does in answer to an upload, on\n"
    "clean_robot_station/<id>/reportActivelyRe. The station sends no reply.\n"
    "  --tap-water F, --disinfectant-tablets F, --dust-bag F\n"
    "                    consumables_reply_state flags: 0 (default) the consumable is\n"
    "                    replenished, so the station clears its alarm; 1 still short\n"
    "  --result N        result (default 0)\n"
    "  --no-consumables  leave consumables_reply_state out\n"
    "  --topic T         topic format, %s = station id (default\n"
    "                    clean_robot_station/%s/reportActivelyRe)\n"
    "Exit 0 when the broker took the message.\n";

const char kWatchHelp[] =
    "usage: stationctl watch [--count N] [--for S] [--requests]\n"
    "                        [--report-topic T] [--upload-topic T]\n"
    "\n"
    "Prints, as they arrive, the station's replies (.../checkStationRe, .../dockStateRe,\n"
    ".../preWaterRequestRe, .../supplyMaterialRequestRe), its reports to the robot\n"
    "(clean_robot_station/<id>/stationReport) and its uploads to the cloud\n"
    "(clean_robot_station/reportActively), until Ctrl-C.\n"
    "  --count N          stop after N messages (exit 3 if --for ends first)\n"
    "  --for S            stop after S seconds\n"
    "  --requests         also show the robot's requests and the cloud's replies\n"
    "  --report-topic T   report topic format, %s = station id\n"
    "  --upload-topic T   cloud upload topic\n";

struct OptionSpec {
  bool takes_value;
  std::set<std::string> commands;  // empty: every command
};

const std::map<std::string, OptionSpec>& OptionTable() {
  static const std::map<std::string, OptionSpec> kOptions = {
      {"--broker", {true, {}}},
      {"--cafile", {true, {}}},
      {"--cert", {true, {}}},
      {"--key", {true, {}}},
      {"--insecure", {false, {}}},
      {"--station", {true, {}}},
      {"--robot-id", {true, {}}},
      {"--timeout", {true, {}}},
      {"--raw", {false, {}}},
      {"--verbose", {false, {}}},
      {"--robot-state", {true, {"dock"}}},
      {"--tablets", {true, {"prewater"}}},
      {"--volume", {true, {"prewater"}}},
      {"--action", {true, {"prewater", "supply"}}},
      {"--duration", {true, {"prewater", "supply"}}},
      {"--tap-water", {true, {"cloud-reply"}}},
      {"--disinfectant-tablets", {true, {"cloud-reply"}}},
      {"--dust-bag", {true, {"cloud-reply"}}},
      {"--result", {true, {"cloud-reply"}}},
      {"--no-consumables", {false, {"cloud-reply"}}},
      {"--topic", {true, {"cloud-reply"}}},
      {"--count", {true, {"watch"}}},
      {"--for", {true, {"watch"}}},
      {"--requests", {false, {"watch"}}},
      {"--report-topic", {true, {"watch"}}},
      {"--upload-topic", {true, {"watch"}}},
      {"--seconds", {true, {"record"}}},
  };
  return kOptions;
}

const std::set<std::string> kCommands = {"check",       "dock",  "prewater", "supply",
                                         "cloud-reply", "watch", "record",   "help"};

struct Cli {
  std::string command;
  std::vector<std::string> args;
  std::map<std::string, std::string> options;
  bool help = false;

  bool Has(const std::string& name) const { return options.count(name) != 0; }
  std::string Get(const std::string& name, const std::string& fallback = "") const {
    const auto it = options.find(name);
    return it != options.end() ? it->second : fallback;
  }
};

class UsageError {
 public:
  explicit UsageError(std::string text) : text(std::move(text)) {}
  std::string text;
};

int Usage(const std::string& text) {
  std::cerr << "stationctl: " << text << " (see stationctl --help)\n";
  return kExitUsage;
}

std::string SupplyHelp() {
  std::string text = kSupplyHelpHead;
  for (const SupplyName& s : SupplyNames()) {
    std::string name = s.name;
    name.resize(22, ' ');
    text += "  " + name + mqttpb::EnumSupplyType_Name(s.type) + " (" + std::to_string(static_cast<int>(s.type)) +
            "): " + s.what + "\n";
  }
  return text;
}

std::string HelpFor(const std::string& command) {
  if (command == "check") return kCheckHelp;
  if (command == "dock") return kDockHelp;
  if (command == "prewater") return kPrewaterHelp;
  if (command == "supply") return SupplyHelp();
  if (command == "cloud-reply") return kCloudReplyHelp;
  if (command == "watch") return kWatchHelp;
  if (command == "record") return kRecordHelp;
  return kMainHelp;
}

// The option at argv[*i], "--name" or "--name=value", with its value (the next
// argument when it takes one and has none inline); false with `error` when malformed.
bool ParseOption(std::string arg, int argc, char** argv, int* i, std::pair<std::string, std::string>* option,
                 std::string* error) {
  std::string value;
  bool inline_value = false;
  const size_t eq = arg.find('=');
  if (eq != std::string::npos) {
    value = arg.substr(eq + 1);
    arg = arg.substr(0, eq);
    inline_value = true;
  }
  const auto option_def = OptionTable().find(arg);
  if (option_def == OptionTable().end()) {
    *error = "unknown option " + arg;
    return false;
  }
  if (option_def->second.takes_value && !inline_value) {
    if (*i + 1 >= argc) {
      *error = arg + " needs a value";
      return false;
    }
    value = argv[++*i];
  } else if (!option_def->second.takes_value && inline_value) {
    *error = arg + " takes no value";
    return false;
  }
  *option = {arg, value};
  return true;
}

// Fills `cli`; returns false with `error` on a malformed command line.
bool ParseCommandLine(int argc, char** argv, Cli* cli, std::string* error) {
  std::vector<std::pair<std::string, std::string>> given;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      cli->help = true;
      continue;
    }
    if (arg == "-v") {
      arg = "--verbose";
    }
    if (arg.rfind("--", 0) != 0 || arg == "--") {
      if (cli->command.empty()) {
        cli->command = arg;
      } else {
        cli->args.push_back(arg);
      }
      continue;
    }
    std::pair<std::string, std::string> option;
    if (!ParseOption(arg, argc, argv, &i, &option, error)) {
      return false;
    }
    given.push_back(std::move(option));
  }
  if (cli->command == "help") {
    cli->help = true;
    cli->command = cli->args.empty() ? "" : cli->args.front();
    cli->args.clear();
  }
  if (!cli->command.empty() && kCommands.count(cli->command) == 0) {
    *error = "unknown command " + cli->command;
    return false;
  }
  for (const auto& [name, value] : given) {
    const auto& commands = OptionTable().at(name).commands;
    if (!commands.empty() && !cli->help && commands.count(cli->command) == 0) {
      *error = name + " does not apply to " + (cli->command.empty() ? "no command" : cli->command);
      return false;
    }
    cli->options[name] = value;
  }
  return true;
}

long IntOption(const Cli& cli, const std::string& name, long fallback, long min, long max) {
  if (!cli.Has(name)) {
    return fallback;
  }
  const std::string text = cli.Get(name);
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < min || v > max) {
    throw UsageError(name + " wants a whole number from " + std::to_string(min) + " to " + std::to_string(max) +
                     ", not '" + text + "'");
  }
  return v;
}

double SecondsOption(const Cli& cli, const std::string& name, double fallback) {
  if (!cli.Has(name)) {
    return fallback;
  }
  const std::string text = cli.Get(name);
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(v) || v <= 0 || v > 86400) {
    throw UsageError(name + " wants a number of seconds above 0, not '" + text + "'");
  }
  return v;
}

std::chrono::milliseconds Millis(double seconds) {
  return std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
}

std::string DefaultStation() {
  const char* env = std::getenv("STATIONCTL_STATION");
  if (env != nullptr && env[0] != '\0') {
    return env;
  }
  char host[256] = {};
  if (::gethostname(host, sizeof(host) - 1) == 0 && host[0] != '\0') {
    return host;
  }
  return "station-xx";
}

std::string DefaultBroker() {
  const char* env = std::getenv("STATIONCTL_BROKER");
  return env != nullptr && env[0] != '\0' ? env : kDefaultBroker;
}

std::string ClientId() { return "stationctl-" + std::to_string(::getpid()) + "-" + NewUuid().substr(0, 8); }

std::string Timestamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  ::localtime_r(&t, &tm);
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  return buf;
}

struct Common {
  std::string broker;
  station_center::BrokerTls tls;  // used with an ssl:// or mqtts:// broker
  std::string station;
  std::string robot_id;
  std::chrono::milliseconds timeout{0};
  bool raw = false;
  bool verbose = false;
};

Common CommonOptions(const Cli& cli) {
  Common c;
  c.broker = cli.Get("--broker", DefaultBroker());
  c.tls.ca_file = cli.Get("--cafile", "");
  c.tls.cert_file = cli.Get("--cert", "");
  c.tls.key_file = cli.Get("--key", "");
  c.tls.verify = !cli.Has("--insecure");
  c.station = cli.Get("--station", DefaultStation());
  c.robot_id = cli.Get("--robot-id", kDefaultRobotId);
  c.timeout = Millis(SecondsOption(cli, "--timeout", kDefaultTimeout));
  c.raw = cli.Has("--raw");
  c.verbose = cli.Has("--verbose");
  if (BrokerPort(c.broker) == 0) {
    throw UsageError("--broker " + c.broker + ": the port must be a number from 1 to 65535");
  }
  if (c.station.empty() || c.station.find_first_of("/+#") != std::string::npos) {
    throw UsageError("--station must be a non-empty id without '/', '+' or '#'");
  }
  return c;
}

bool Open(Session* session, const Common& c, const std::vector<std::string>& topics) {
  std::string error;
  if (!c.tls.verify) {
    std::cerr << "stationctl: warning: --insecure: the broker's certificate and host name are NOT checked\n";
  }
  if (!session->Connect(c.timeout, &error)) {
    std::cerr << "stationctl: cannot reach the broker at " << c.broker << ": " << error << "\n";
    return false;
  }
  if (!topics.empty() && !session->Subscribe(topics, c.timeout, &error)) {
    std::cerr << "stationctl: subscribing at " << c.broker << ": " << error << "\n";
    return false;
  }
  return true;
}

commonpb::RequestHeader* FillHeader(commonpb::RequestHeader* header, const Common& c) {
  header->mutable_msg_id()->set_uuid(NewUuid());
  header->mutable_robot_id()->set_uuid(c.robot_id);
  return header;
}

// Publishes `request` on the station's `topic`, waits for the reply with the same
// msg_id on the topic's "Re" twin and prints it.
int Exchange(const Common& c, const std::string& topic, const google::protobuf::Message& request,
             const std::string& msg_id, google::protobuf::Message* reply) {
  const std::string request_topic = StationTopic(c.station, topic);
  const std::string reply_topic = request_topic + "Re";
  Session session(c.broker, ClientId(), c.tls);
  // Subscribed before publishing: the station answers at once.
  if (!Open(&session, c, {reply_topic})) {
    return kExitNoReply;
  }
  const std::string json = ToWireJson(request);
  if (c.verbose) {
    std::cout << "-> " << request_topic << " " << json << std::endl;
  }
  std::string error;
  const auto sent = Session::Clock::now();
  if (!session.Publish(request_topic, json, c.timeout, &error)) {
    std::cerr << "stationctl: publishing to " << request_topic << ": " << error << "\n";
    return kExitNoReply;
  }
  const auto deadline = sent + c.timeout;
  for (;;) {
    std::string got_topic;
    std::string payload;
    const Session::Wait wait = session.Next(deadline, &got_topic, &payload);
    if (wait == Session::Wait::kLost) {
      std::cerr << "stationctl: lost the broker at " << c.broker << " while waiting for " << reply_topic << "\n";
      return kExitNoReply;
    }
    if (wait == Session::Wait::kTimeout) {
      std::cerr << "stationctl: no reply on " << reply_topic << " within "
                << std::chrono::duration<double>(c.timeout).count() << " s (is the station " << c.station
                << " connected to " << c.broker << "?)\n";
      return kExitNoReply;
    }
    reply->Clear();
    if (got_topic != reply_topic || !ParseJson(payload, reply, nullptr)) {
      if (c.verbose) {
        std::cout << "<- (not a reply) " << got_topic << " " << payload << std::endl;
      }
      continue;
    }
    const auto* header = dynamic_cast<const commonpb::ResponseHeader*>(
        &reply->GetReflection()->GetMessage(*reply, reply->GetDescriptor()->FindFieldByName("rsp_header")));
    if (header == nullptr || header->msg_id().uuid() != msg_id) {
      if (c.verbose) {
        std::cout << "<- (another request's reply) " << payload << std::endl;
      }
      continue;  // another robot's exchange on the same station
    }
    const double ms = std::chrono::duration<double, std::milli>(Session::Clock::now() - sent).count();
    std::printf("<- %s (%.0f ms)\n", reply_topic.c_str(), ms);
    if (c.raw) {
      std::cout << payload << "\n";
    } else {
      std::cout << Readable(*reply);
    }
    const Verdict verdict = Judge(request, *reply);
    std::cout << VerdictLine(verdict) << std::endl;
    return verdict.accepted ? kExitAccepted : kExitRefused;
  }
}

void ExpectArgs(const Cli& cli, size_t n, const std::string& what) {
  if (cli.args.size() != n) {
    throw UsageError(cli.command + " takes " + what);
  }
}

int RunCheck(const Cli& cli) {
  ExpectArgs(cli, 1, "one of in-pose, water-ready, water-finish");
  mqttpb::EnumRobotCheckType type;
  if (!ParseCheckType(cli.args[0], &type)) {
    throw UsageError("check takes in-pose, water-ready or water-finish, not '" + cli.args[0] + "'");
  }
  const Common c = CommonOptions(cli);
  mqttpb::StationCheckReq req;
  const std::string id = FillHeader(req.mutable_req_header(), c)->msg_id().uuid();
  req.set_check_type(type);
  mqttpb::StationCheckRsp rsp;
  return Exchange(c, "checkStation", req, id, &rsp);
}

int RunDock(const Cli& cli) {
  ExpectArgs(cli, 1, "stay or leave");
  mqttpb::PositionConfirmReq req;
  if (cli.args[0] == "stay") {
    req.set_robot_desire(mqttpb::ENUM_ROBOT_DESIRE_STAY_IN);
  } else if (cli.args[0] == "leave") {
    req.set_robot_desire(mqttpb::ENUM_ROBOT_DESIRE_GO_OUT);
  } else {
    throw UsageError("dock takes stay or leave, not '" + cli.args[0] + "'");
  }
  const std::string state = cli.Get("--robot-state", "in");
  if (state == "in") {
    req.set_robot_state(mqttpb::ENUM_IN_STATION);
  } else if (state == "out") {
    req.set_robot_state(mqttpb::ENUM_OUT_STATION);
  } else if (state == "invalid") {
    req.set_robot_state(mqttpb::ENUM_INVALID_STATE);
  } else {
    throw UsageError("--robot-state takes in, out or invalid");
  }
  const Common c = CommonOptions(cli);
  const std::string id = FillHeader(req.mutable_req_header(), c)->msg_id().uuid();
  mqttpb::PositionConfirmRsp rsp;
  return Exchange(c, "dockState", req, id, &rsp);
}

mqttpb::EnumActionModel ActionOption(const Cli& cli, const char* fallback) {
  const std::string text = cli.Get("--action", fallback != nullptr ? fallback : "");
  if (text.empty()) {
    throw UsageError(cli.command + " needs --action soft|standard|strong|stop");
  }
  mqttpb::EnumActionModel action;
  if (!ParseAction(text, &action)) {
    throw UsageError("--action takes soft, standard, strong or stop, not '" + text + "'");
  }
  return action;
}

int RunPrewater(const Cli& cli) {
  ExpectArgs(cli, 0, "no arguments besides options");
  const mqttpb::EnumActionModel action = ActionOption(cli, "standard");
  if (action != mqttpb::ENUM_ACTION_STOP && (!cli.Has("--tablets") || !cli.Has("--volume"))) {
    throw UsageError("prewater needs --tablets N and --volume V");
  }
  mqttpb::PrepareDisinfectantReq req;
  auto* cmd = req.mutable_cmd();
  cmd->mutable_action_cmd()->set_action(action);
  cmd->mutable_action_cmd()->set_supply_type(mqttpb::ENUM_SUPPLY_PREPARE_DISINFECTANT);
  cmd->mutable_action_cmd()->set_duration(static_cast<int32_t>(IntOption(cli, "--duration", 0, 0, 0x7fffffff)));
  cmd->set_disinfection_tablets_num(static_cast<int32_t>(IntOption(cli, "--tablets", 0, 0, 0x7fffffff)));
  cmd->set_water_volume(static_cast<int32_t>(IntOption(cli, "--volume", 0, 0, 0x7fffffff)));
  const Common c = CommonOptions(cli);
  const std::string id = FillHeader(req.mutable_req_header(), c)->msg_id().uuid();
  mqttpb::PrepareDisinfectantRsp rsp;
  return Exchange(c, "preWaterRequest", req, id, &rsp);
}

int RunSupply(const Cli& cli) {
  ExpectArgs(cli, 1, "one supply TYPE (see stationctl supply --help)");
  mqttpb::EnumSupplyType type;
  if (!ParseSupplyType(cli.args[0], &type)) {
    throw UsageError("unknown supply type '" + cli.args[0] + "' (see stationctl supply --help)");
  }
  mqttpb::SupplyMaterialReq req;
  req.mutable_cmd()->set_action(ActionOption(cli, nullptr));
  req.mutable_cmd()->set_supply_type(type);
  req.mutable_cmd()->set_duration(static_cast<int32_t>(IntOption(cli, "--duration", 0, 0, 0x7fffffff)));
  const Common c = CommonOptions(cli);
  const std::string id = FillHeader(req.mutable_req_header(), c)->msg_id().uuid();
  mqttpb::SupplyMaterialRsp rsp;
  return Exchange(c, "supplyMaterialRequest", req, id, &rsp);
}

int RunCloudReply(const Cli& cli) {
  ExpectArgs(cli, 0, "no arguments besides options");
  cloudpb::BaseStationInfoReportRsp rsp;
  const Common c = CommonOptions(cli);
  rsp.mutable_rsp_header()->mutable_msg_id()->set_uuid(NewUuid());
  rsp.mutable_rsp_header()->mutable_device_id()->set_uuid(c.station);
  rsp.set_result(static_cast<int32_t>(IntOption(cli, "--result", 0, -0x7fffffff, 0x7fffffff)));
  const long tap = IntOption(cli, "--tap-water", 0, 0, 1);
  const long tablets = IntOption(cli, "--disinfectant-tablets", 0, 0, 1);
  const long bag = IntOption(cli, "--dust-bag", 0, 0, 1);
  if (cli.Has("--no-consumables")) {
    if (cli.Has("--tap-water") || cli.Has("--disinfectant-tablets") || cli.Has("--dust-bag")) {
      throw UsageError("--no-consumables leaves the consumable flags out; give one or the other");
    }
  } else {
    // Set even when all flags are 0: the station only looks at a present state.
    auto* state = rsp.mutable_consumables_reply_state();
    state->set_tap_water(static_cast<int32_t>(tap));
    state->set_disinfectant_tables(static_cast<int32_t>(tablets));
    state->set_dust_bag(static_cast<int32_t>(bag));
  }
  const std::string topic = FormatTopic(cli.Get("--topic", "clean_robot_station/%s/reportActivelyRe"), c.station);
  Session session(c.broker, ClientId(), c.tls);
  if (!Open(&session, c, {})) {
    return kExitNoReply;
  }
  const std::string json = ToWireJson(rsp);
  std::string error;
  if (!session.Publish(topic, json, c.timeout, &error)) {
    std::cerr << "stationctl: publishing to " << topic << ": " << error << "\n";
    return kExitNoReply;
  }
  std::cout << "-> " << topic << " " << json << std::endl;
  return kExitAccepted;
}

std::atomic<bool> g_stop{false};

void OnSignal(int) { g_stop = true; }

enum class Kind { kCheckRsp, kDockRsp, kPrewaterRsp, kSupplyRsp, kReport, kUpload, kRequest, kCloudReply };

std::unique_ptr<google::protobuf::Message> MessageFor(Kind kind, const std::string& topic) {
  switch (kind) {
    case Kind::kCheckRsp:
      return std::make_unique<mqttpb::StationCheckRsp>();
    case Kind::kDockRsp:
      return std::make_unique<mqttpb::PositionConfirmRsp>();
    case Kind::kPrewaterRsp:
      return std::make_unique<mqttpb::PrepareDisinfectantRsp>();
    case Kind::kSupplyRsp:
      return std::make_unique<mqttpb::SupplyMaterialRsp>();
    case Kind::kReport:
      return std::make_unique<mqttpb::StationReport>();
    case Kind::kUpload:
      return std::make_unique<cloudpb::BaseStationInfoReportReq>();
    case Kind::kCloudReply:
      return std::make_unique<cloudpb::BaseStationInfoReportRsp>();
    case Kind::kRequest:
      break;
  }
  const std::string last = topic.substr(topic.rfind('/') + 1);
  if (last == "checkStation") return std::make_unique<mqttpb::StationCheckReq>();
  if (last == "dockState") return std::make_unique<mqttpb::PositionConfirmReq>();
  if (last == "preWaterRequest") return std::make_unique<mqttpb::PrepareDisinfectantReq>();
  return std::make_unique<mqttpb::SupplyMaterialReq>();
}

void PrintWatched(Kind kind, const std::string& topic, const std::string& payload, bool raw) {
  std::unique_ptr<google::protobuf::Message> message = MessageFor(kind, topic);
  std::string error;
  const bool parsed = ParseJson(payload, message.get(), &error);
  std::cout << Timestamp() << "  " << topic << "  " << message->GetDescriptor()->name() << "\n";
  if (raw) {
    std::cout << payload << "\n";
  } else if (!parsed) {
    std::cout << ReindentJson(payload) << "  (not a valid " << message->GetDescriptor()->name() << ": " << error
              << ")\n";
  } else if (kind == Kind::kReport || kind == Kind::kUpload) {
    // Reports are written by hand with members left out; show exactly what came.
    std::cout << ReindentJson(payload);
  } else {
    std::cout << Readable(*message);
  }
  if (parsed) {
    if (kind == Kind::kReport) {
      std::cout << "  = " << Summarize(static_cast<const mqttpb::StationReport&>(*message)) << "\n";
    } else if (kind == Kind::kUpload) {
      std::cout << "  = " << Summarize(static_cast<const cloudpb::BaseStationInfoReportReq&>(*message)) << "\n";
    } else if (kind == Kind::kCheckRsp || kind == Kind::kDockRsp || kind == Kind::kPrewaterRsp ||
               kind == Kind::kSupplyRsp) {
      const auto& header = static_cast<const commonpb::ResponseHeader&>(
          message->GetReflection()->GetMessage(*message, message->GetDescriptor()->FindFieldByName("rsp_header")));
      std::cout << "  = err_code " << ErrCodeName(header.err_code()) << " (" << header.err_code() << ")";
      if (!header.err_msg().empty()) {
        std::cout << ": " << header.err_msg();
      }
      std::cout << "\n";
    }
  }
  std::cout << std::endl;
}

// Topic -> what arrives on it, for watch.
std::map<std::string, Kind> WatchedTopics(const Cli& cli, const std::string& station) {
  std::map<std::string, Kind> topics = {
      {StationTopic(station, "checkStationRe"), Kind::kCheckRsp},
      {StationTopic(station, "dockStateRe"), Kind::kDockRsp},
      {StationTopic(station, "preWaterRequestRe"), Kind::kPrewaterRsp},
      {StationTopic(station, "supplyMaterialRequestRe"), Kind::kSupplyRsp},
      {FormatTopic(cli.Get("--report-topic", "clean_robot_station/%s/stationReport"), station), Kind::kReport},
      {cli.Get("--upload-topic", "clean_robot_station/reportActively"), Kind::kUpload},
  };
  if (cli.Has("--requests")) {
    for (const char* name : {"checkStation", "dockState", "preWaterRequest", "supplyMaterialRequest"}) {
      topics[StationTopic(station, name)] = Kind::kRequest;
    }
    topics[StationTopic(station, "reportActivelyRe")] = Kind::kCloudReply;
  }
  return topics;
}

// Prints what arrives until `count` messages (0: no limit) have, `for_seconds`
// have passed (when timed), or a signal came.
int WatchMessages(Session& session, const std::map<std::string, Kind>& topics, const Common& c, long count, bool timed,
                  double for_seconds) {
  const auto end = Session::Clock::now() + Millis(for_seconds);
  long seen = 0;
  while (!g_stop) {
    auto slice = Session::Clock::now() + std::chrono::milliseconds(200);
    if (timed && slice > end) {
      slice = end;
    }
    std::string topic;
    std::string payload;
    const Session::Wait wait = session.Next(slice, &topic, &payload);
    if (wait == Session::Wait::kLost) {
      std::cerr << "stationctl: lost the broker at " << c.broker << "\n";
      return kExitNoReply;
    }
    if (wait == Session::Wait::kMessage) {
      const auto it = topics.find(topic);
      PrintWatched(it != topics.end() ? it->second : Kind::kRequest, topic, payload, c.raw);
      if (count > 0 && ++seen >= count) {
        return kExitAccepted;
      }
    }
    if (timed && Session::Clock::now() >= end) {
      break;
    }
  }
  if (count > 0) {
    std::cerr << "stationctl: " << seen << " of " << count << " messages arrived\n";
    return kExitNoReply;
  }
  return kExitAccepted;
}

int RunWatch(const Cli& cli) {
  ExpectArgs(cli, 0, "no arguments besides options");
  const Common c = CommonOptions(cli);
  const long count = IntOption(cli, "--count", 0, 1, 0x7fffffff);
  const bool timed = cli.Has("--for");
  const double for_seconds = SecondsOption(cli, "--for", 1);
  const std::map<std::string, Kind> topics = WatchedTopics(cli, c.station);
  std::vector<std::string> filters;
  for (const auto& [topic, kind] : topics) {
    filters.push_back(topic);
  }

  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);

  Session session(c.broker, ClientId(), c.tls);
  if (!Open(&session, c, filters)) {
    return kExitNoReply;
  }
  std::cout << "watching station " << c.station << " at " << c.broker << ":\n";
  for (const auto& topic : filters) {
    std::cout << "  " << topic << "\n";
  }
  std::cout << std::endl;

  return WatchMessages(session, topics, c, count, timed, for_seconds);
}

int RunRecord(const Cli& cli) {
  ExpectArgs(cli, 1, "one FILE ('-' for standard output)");
  const Common c = CommonOptions(cli);
  const double seconds = SecondsOption(cli, "--seconds", 1);
  const std::map<std::string, std::string> topics = RecordTopics(c.station);
  std::vector<std::string> filters;
  for (const auto& [topic, kind] : topics) {
    filters.push_back(topic);
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);

  const std::string& path = cli.args[0];
  std::FILE* out = path == "-" ? stdout : std::fopen(path.c_str(), "w");
  if (out == nullptr) {
    std::cerr << "stationctl: cannot write " << path << "\n";
    return kExitUsage;
  }
  Session session(c.broker, ClientId(), c.tls);
  RecordResult result;
  if (Open(&session, c, filters)) {
    std::cerr << "stationctl: recording station " << c.station << " at " << c.broker << " to " << path << std::endl;
    std::fprintf(out, "%s\n", StartLine(NowSeconds(), c.station, c.broker).c_str());
    std::fflush(out);
    result = RecordMessages(session, topics, out, cli.Has("--seconds") ? Millis(seconds) : Millis(0), g_stop);
  } else {
    result.lost = true;
  }
  std::cerr << "stationctl: " << result.messages << " messages recorded"
            << (result.lost ? ", lost the broker at " + c.broker : std::string()) << "\n";
  if (out != stdout) {
    std::fclose(out);
  }
  return result.lost ? kExitNoReply : kExitAccepted;
}

int Run(int argc, char** argv) {
  Cli cli;
  std::string error;
  if (!ParseCommandLine(argc, argv, &cli, &error)) {
    return Usage(error);
  }
  if (cli.help) {
    std::cout << HelpFor(cli.command);
    return kExitAccepted;
  }
  try {
    if (cli.command == "check") return RunCheck(cli);
    if (cli.command == "dock") return RunDock(cli);
    if (cli.command == "prewater") return RunPrewater(cli);
    if (cli.command == "supply") return RunSupply(cli);
    if (cli.command == "cloud-reply") return RunCloudReply(cli);
    if (cli.command == "watch") return RunWatch(cli);
    if (cli.command == "record") return RunRecord(cli);
  } catch (const UsageError& e) {
    return Usage(e.text);
  }
  std::cerr << kMainHelp;
  return kExitUsage;
}

}  // namespace
}  // namespace stationctl

int main(int argc, char** argv) {
  try {
    return stationctl::Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "stationctl: " << e.what() << "\n";
    return stationctl::kExitNoReply;
  }
}
