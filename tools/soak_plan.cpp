// Fault catalogue, visit plans, request messages and the run's verdict.

#include "soak_plan.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <regex>
#include <sstream>

#include "ctl_messages.h"

namespace soak {

namespace mqttpb = stationctl::mqttpb;

namespace {

int Uniform(std::mt19937_64& rng, int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
bool Chance(std::mt19937_64& rng, double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }
template <typename T>
const T& Pick(std::mt19937_64& rng, const std::vector<T>& items) {
  return items[static_cast<size_t>(Uniform(rng, 0, static_cast<int>(items.size()) - 1))];
}

std::string ActionName(int action) {
  switch (action) {
    case mqttpb::ENUM_ACTION_SOFT:
      return "soft";
    case mqttpb::ENUM_ACTION_STANDARD:
      return "standard";
    case mqttpb::ENUM_ACTION_STRONG:
      return "strong";
    case mqttpb::ENUM_ACTION_STOP:
      return "stop";
    default:
      return "action " + std::to_string(action);
  }
}

std::string SupplyName(int type) {
  for (const stationctl::SupplyName& s : stationctl::SupplyNames()) {
    if (s.type == type) {
      return s.name;
    }
  }
  return std::to_string(type);
}

// Supplies a robot asks for during a visit.
const std::vector<int>& VisitSupplies() {
  static const std::vector<int> kTypes = {
      mqttpb::ENUM_SUPPLY_CHARGING,           mqttpb::ENUM_SUPPLY_WATERING,    mqttpb::ENUM_SUPPLY_SEWAGE_PUMP,
      mqttpb::ENUM_SUPPLY_HEATING_WIRE,       mqttpb::ENUM_SUPPLY_HEATING_FAN, mqttpb::ENUM_SUPPLY_COLLECT_DUST,
      mqttpb::ENUM_SUPPLY_CLEAN_PUMP,         mqttpb::ENUM_SUPPLY_UV_LAMP,     mqttpb::ENUM_SUPPLY_WATER_NO_LIMIT,
      mqttpb::ENUM_SUPPLY_CLEAN_SUCTION_RAKE,
  };
  return kTypes;
}

Step Ask(const Request& request) {
  Step step;
  step.kind = Step::kAsk;
  step.request = request;
  return step;
}

Step SimLine(const std::string& line) {
  Step step;
  step.kind = Step::kSim;
  step.line = line;
  return step;
}

Step Pause(int ms) {
  Step step;
  step.kind = Step::kPause;
  step.wait_ms = ms;
  return step;
}

Request Check(int type) {
  Request r;
  r.kind = Request::kCheck;
  r.check_type = type;
  return r;
}

Request Dock(bool stay) {
  Request r;
  r.kind = Request::kDock;
  r.stay = stay;
  return r;
}

Request Supply(int type, int action, int duration) {
  Request r;
  r.kind = Request::kSupply;
  r.supply_type = type;
  r.action = action;
  r.duration = duration;
  return r;
}

// One random robot request of the middle of a visit; `started` collects the
// supplies asked for, so the robot can stop them before leaving.
Request RandomRequest(std::mt19937_64& rng, std::set<int>* started) {
  const int roll = Uniform(rng, 0, 99);
  if (roll < 15) {
    return Check(Uniform(rng, mqttpb::ENUM_IN_POSE, mqttpb::ENUM_WATER_FINISH));
  }
  if (roll < 27) {
    Request r;
    r.kind = Request::kPrewater;
    r.action = Chance(rng, 0.15) ? mqttpb::ENUM_ACTION_STOP : mqttpb::ENUM_ACTION_STANDARD;
    r.tablets = Uniform(rng, 1, 3);
    r.volume = 1;
    return r;
  }
  if (roll < 30) {
    return Dock(true);
  }
  const int type = Pick(rng, VisitSupplies());
  if (roll < 42) {
    return Supply(type, mqttpb::ENUM_ACTION_STOP, 0);
  }
  started->insert(type);
  return Supply(type, Uniform(rng, mqttpb::ENUM_ACTION_SOFT, mqttpb::ENUM_ACTION_STRONG), Uniform(rng, 1, 5));
}

// Puts faults on, and sometimes takes one off again before the visit ends.
void AddFaultStep(const std::vector<Fault>& kinds, std::mt19937_64& rng, FaultDeck* deck,
                  std::vector<Injection>* active, VisitPlan* plan) {
  if (!active->empty() && Chance(rng, 0.35)) {
    const size_t i = static_cast<size_t>(Uniform(rng, 0, static_cast<int>(active->size()) - 1));
    Step off;
    off.kind = Step::kFaultOff;
    off.injection = (*active)[i];
    plan->steps.push_back(off);
    active->erase(active->begin() + static_cast<long>(i));
    return;
  }
  Step on;
  on.kind = Step::kFaultOn;
  on.injection = MakeInjection(deck ? deck->Deal(kinds, rng) : Pick(rng, kinds), rng);
  plan->steps.push_back(on);
  ++plan->faults;
  if (!on.injection.off.empty()) {
    active->push_back(on.injection);
  }
}

// The end of a visit: faults cleared, the robot's stops, leaving and undocking in
// either order.
void AddLeaving(const std::set<int>& started, std::mt19937_64& rng, VisitPlan* plan) {
  Step clear;
  clear.kind = Step::kClearFaults;
  plan->steps.push_back(clear);
  for (int type : started) {
    if (Chance(rng, 0.8)) {
      plan->steps.push_back(Ask(Supply(type, mqttpb::ENUM_ACTION_STOP, 0)));
    }
  }
  Step leave = Ask(Dock(false));
  leave.kind = Step::kAskUntil;
  leave.wait_ms = 15000;
  if (Chance(rng, 0.8)) {
    plan->steps.push_back(leave);
    plan->steps.push_back(SimLine("undock"));
  } else {
    plan->steps.push_back(SimLine("undock"));
    plan->steps.push_back(leave);
  }
}

}  // namespace

const std::vector<FaultInfo>& FaultCatalogue() {
  static const std::vector<FaultInfo> kFaults = {
      {Fault::kRefuse, "refuse", "the board refuses one supply type or the lamps"},
      {Fault::kDrop, "drop", "the board does not answer commands"},
      {Fault::kDelay, "delay", "the board answers up to 2.5 s late"},
      {Fault::kStale, "stale", "answers carry the previous command's seq"},
      {Fault::kSplit, "split", "frames written in pieces"},
      {Fault::kMerge, "merge", "several sensor reports per write"},
      {Fault::kRestart, "restart", "the command connection closes or hangs up"},
      {Fault::kGarbage, "garbage", "an undecodable answer or report"},
      {Fault::kOverTemp, "overtemp", "a plate or the heat wire reads over its limit"},
      {Fault::kOverflow, "overflow", "the sewage box overflows"},
      {Fault::kDustBag, "dustbag", "the dust bag or the box cap is out"},
      {Fault::kEStop, "estop", "the emergency stop is pressed"},
      {Fault::kSilence, "silence", "the sensor link stays up but reports stop"},
      {Fault::kFanStall, "fanstall", "the drying fan seizes"},
  };
  return kFaults;
}

// A comma-separated list of catalogue names: "none" or nothing for none, "all" for each
// row `in_all` takes. Shared by the fault and the hazard lists.
template <typename Key, typename Info, typename InAll>
bool ParseNames(const std::string& text, const std::vector<Info>& catalogue, Key Info::*key, InAll in_all,
                const char* kind, std::set<Key>* out, std::string* error) {
  out->clear();
  if (text == "none" || text.empty()) {
    return true;
  }
  std::istringstream in(text);
  for (std::string name; std::getline(in, name, ',');) {
    bool known = false;
    for (const Info& info : catalogue) {
      if ((name == "all" && in_all(info)) || name == info.name) {
        out->insert(info.*key);
        known = true;
      }
    }
    if (!known) {
      *error = std::string("unknown ") + kind + " '" + name + "'";
      return false;
    }
  }
  return true;
}

const char* FaultName(Fault fault) {
  for (const FaultInfo& info : FaultCatalogue()) {
    if (info.fault == fault) {
      return info.name;
    }
  }
  return "?";
}

bool ParseFaultList(const std::string& text, std::set<Fault>* out, std::string* error) {
  return ParseNames(
      text, FaultCatalogue(), &FaultInfo::fault, [](const FaultInfo&) { return true; }, "fault", out, error);
}

Injection MakeInjection(Fault fault, std::mt19937_64& rng) {
  static const std::vector<std::string> kRefused = {"tap",        "supply", "drain", "sewage",   "heatwire",
                                                    "fan",        "dust",   "uv",    "charging", "selfclean",
                                                    "ultrasonic", "sorter", "reset", "led"};
  static const std::vector<std::string> kHot = {"electrodePlateTemp1 90", "electrodePlateTemp2 95",
                                                "heatingWireTemp 160"};
  const auto n = [&rng](int lo, int hi) { return std::to_string(Uniform(rng, lo, hi)); };
  switch (fault) {
    case Fault::kRefuse: {
      const std::string& type = Pick(rng, kRefused);
      return {fault, "fault refuse " + type + " on", "fault refuse " + type + " off"};
    }
    case Fault::kDrop:
      return {fault, "fault drop on", "fault drop off"};
    case Fault::kDelay:
      return {fault, "fault delay " + n(100, 2500), "fault delay 0"};
    case Fault::kStale:
      return {fault, Chance(rng, 0.5) ? "fault stale only" : "fault stale first", "fault stale off"};
    case Fault::kSplit:
      return {fault, "fault split " + n(1, 7) + " " + n(0, 200), "fault split 0"};
    case Fault::kMerge:
      return {fault, "fault merge " + n(2, 5), "fault merge 1"};
    case Fault::kRestart:
      return Chance(rng, 0.7) ? Injection{fault, "fault close command", ""}
                              : Injection{fault, "fault hangup on", "fault hangup off"};
    case Fault::kGarbage:
      return {fault, Chance(rng, 0.5) ? "fault garbage command" : "fault garbage sensor", ""};
    case Fault::kOverTemp: {
      const std::string& pin = Pick(rng, kHot);
      return {fault, "pin " + pin, "unpin " + pin.substr(0, pin.find(' '))};
    }
    case Fault::kOverflow:
      return {fault, "sewage " + n(2600, 3000), ""};
    case Fault::kDustBag:
      return Chance(rng, 0.5) ? Injection{fault, "dustbag out", "dustbag in"}
                              : Injection{fault, "dustcap out", "dustcap in"};
    case Fault::kEStop:
      return {fault, "estop on", "estop off"};
    case Fault::kSilence:
      return {fault, "fault reports off", "fault reports on"};
    case Fault::kFanStall:
      return {fault, "fault fanstall on", "fault fanstall off"};
  }
  return {fault, "", ""};
}

std::string Request::Text() const {
  switch (kind) {
    case kCheck:
      return std::string("check ") + (check_type == mqttpb::ENUM_IN_POSE       ? "in-pose"
                                      : check_type == mqttpb::ENUM_WATER_READY ? "water-ready"
                                                                               : "water-finish");
    case kDock:
      return stay ? "dock stay" : "dock leave";
    case kPrewater:
      return action == mqttpb::ENUM_ACTION_STOP
                 ? "prewater stop"
                 : "prewater " + std::to_string(tablets) + " tablets " + std::to_string(volume) + " l";
    case kSupply:
      return "supply " + SupplyName(supply_type) + " " + ActionName(action) +
             (action == mqttpb::ENUM_ACTION_STOP ? "" : " " + std::to_string(duration) + "s");
  }
  return "?";
}

namespace {

// The request with its topic's segment and an empty reply, as the request topics list them.
std::unique_ptr<google::protobuf::Message> Addressed(std::unique_ptr<google::protobuf::Message> req, std::string* topic,
                                                     std::unique_ptr<google::protobuf::Message>* reply) {
  const stationctl::RequestTopic* row = stationctl::TopicOfRequest(*req);
  *topic = row->segment;
  reply->reset(row->reply->New());
  return req;
}

}  // namespace

std::unique_ptr<google::protobuf::Message> BuildRequest(const Request& request, const std::string& robot_id,
                                                        std::string* msg_id, std::string* topic,
                                                        std::unique_ptr<google::protobuf::Message>* reply) {
  *msg_id = stationctl::NewUuid();
  const auto header = [&](stationctl::commonpb::RequestHeader* h) {
    h->mutable_msg_id()->set_uuid(*msg_id);
    h->mutable_robot_id()->set_uuid(robot_id);
  };
  switch (request.kind) {
    case Request::kCheck: {
      auto req = std::make_unique<mqttpb::StationCheckReq>();
      header(req->mutable_req_header());
      req->set_check_type(static_cast<mqttpb::EnumRobotCheckType>(request.check_type));
      return Addressed(std::move(req), topic, reply);
    }
    case Request::kDock: {
      auto req = std::make_unique<mqttpb::PositionConfirmReq>();
      header(req->mutable_req_header());
      req->set_robot_desire(request.stay ? mqttpb::ENUM_ROBOT_DESIRE_STAY_IN : mqttpb::ENUM_ROBOT_DESIRE_GO_OUT);
      req->set_robot_state(mqttpb::ENUM_IN_STATION);
      return Addressed(std::move(req), topic, reply);
    }
    case Request::kPrewater: {
      auto req = std::make_unique<mqttpb::PrepareDisinfectantReq>();
      header(req->mutable_req_header());
      auto* cmd = req->mutable_cmd();
      cmd->mutable_action_cmd()->set_action(static_cast<mqttpb::EnumActionModel>(request.action));
      cmd->mutable_action_cmd()->set_supply_type(mqttpb::ENUM_SUPPLY_PREPARE_DISINFECTANT);
      cmd->set_disinfection_tablets_num(request.tablets);
      cmd->set_water_volume(request.volume);
      return Addressed(std::move(req), topic, reply);
    }
    case Request::kSupply: {
      auto req = std::make_unique<mqttpb::SupplyMaterialReq>();
      header(req->mutable_req_header());
      req->mutable_cmd()->set_action(static_cast<mqttpb::EnumActionModel>(request.action));
      req->mutable_cmd()->set_supply_type(static_cast<mqttpb::EnumSupplyType>(request.supply_type));
      req->mutable_cmd()->set_duration(request.duration);
      return Addressed(std::move(req), topic, reply);
    }
  }
  return nullptr;
}

Fault FaultDeck::Deal(const std::vector<Fault>& kinds, std::mt19937_64& rng) {
  int least = -1;
  std::vector<Fault> due;
  for (Fault f : kinds) {
    const int n = dealt_[f];
    if (least < 0 || n < least) due.clear();
    if (least < 0 || n <= least) {
      least = n;
      due.push_back(f);
    }
  }
  const Fault f = Pick(rng, due);
  ++dealt_[f];
  return f;
}

int FaultDeck::Owed(const std::vector<Fault>& kinds) const {
  int owed = 0;
  for (Fault f : kinds) owed += dealt_.count(f) == 0 || dealt_.at(f) == 0 ? 1 : 0;
  return owed;
}

void FaultDeck::Counted(const VisitPlan& plan) {
  for (const Step& step : plan.steps) {
    if (step.kind == Step::kFaultOn) ++dealt_[step.injection.fault];
  }
}

VisitPlan PlanVisit(const PlanOptions& options, std::mt19937_64& rng, FaultDeck* deck) {
  VisitPlan plan;
  const std::vector<Fault> kinds(options.faults.begin(), options.faults.end());
  plan.steps.push_back(SimLine("dock"));
  Step in_pose = Ask(Check(mqttpb::ENUM_IN_POSE));
  in_pose.kind = Step::kAskUntil;
  in_pose.wait_ms = 5000;
  plan.steps.push_back(in_pose);
  plan.steps.push_back(Ask(Dock(true)));

  std::set<int> started;
  std::vector<Injection> active;
  const int actions = Uniform(rng, 1, std::max(1, options.max_actions));
  for (int i = 0; i < actions; ++i) {
    const int roll = Uniform(rng, 0, 99);
    if (!kinds.empty() && roll < 25) {
      AddFaultStep(kinds, rng, deck, &active, &plan);
    } else if (roll < 40) {
      plan.steps.push_back(Pause(Uniform(rng, 50, 1000)));
    } else {
      plan.steps.push_back(Ask(RandomRequest(rng, &started)));
    }
  }
  // Kinds the run has not met yet ride along, up to three a visit, each on until the clearing.
  for (int owed = deck ? std::min(3, deck->Owed(kinds)) : 0; owed > 0; --owed) {
    Step on;
    on.kind = Step::kFaultOn;
    on.injection = MakeInjection(deck->Deal(kinds, rng), rng);
    plan.steps.insert(plan.steps.begin() + Uniform(rng, 3, static_cast<int>(plan.steps.size())), on);
    ++plan.faults;
  }
  AddLeaving(started, rng, &plan);
  return plan;
}

const std::vector<std::string>& ClearLines() {
  static const std::vector<std::string> kLines = {"fault clear", "unpin all",  "estop off",
                                                  "dustbag in",  "dustcap in", "overload 0"};
  return kLines;
}

int SafetyViolations(const std::string& safety_answer) {
  std::smatch m;
  static const std::regex kTotal(R"((?:^|\n)violations: (\d+))");
  return std::regex_search(safety_answer, m, kTotal) ? std::stoi(m[1].str()) : -1;
}

std::vector<std::pair<std::string, int>> SafetyExposures(const std::string& safety_answer) {
  static const std::regex kLine(R"((?:^|\n)(\w+): \d+ \(exposed (\d+)\))");
  std::vector<std::pair<std::string, int>> out;
  for (std::sregex_iterator it(safety_answer.begin(), safety_answer.end(), kLine), end; it != end; ++it) {
    out.emplace_back((*it)[1].str(), std::stoi((*it)[2].str()));
  }
  return out;
}

std::string ActuatorsLine(const std::string& status_answer) {
  std::smatch m;
  static const std::regex kLine(R"((?:^|\n)actuators:[ \t]*([^\n]*))");
  return std::regex_search(status_answer, m, kLine) ? m[1].str() : "?";
}

bool ActuatorsOff(const std::string& status_answer) { return ActuatorsLine(status_answer) == "all off"; }

// The sewage pump is the station's own automation: it runs whenever the box
// fills, a board restart or a robot's stop notwithstanding.
bool OffButSewage(const std::string& actuators_line) {
  if (actuators_line == "all off") return true;
  std::istringstream words(actuators_line);
  std::string word;
  while (words >> word) {
    if (word.rfind("sewage(", 0) != 0) return false;
  }
  return true;
}

bool DaemonIdle(const std::string& status_line) { return status_line == "normal; no task; broker connected"; }

const std::string& Transcript::Add(double seconds, const std::string& line) {
  char stamp[32];
  std::snprintf(stamp, sizeof(stamp), "%8.3f  ", seconds);
  lines_.push_back(stamp + line);
  return lines_.back();
}

std::string Transcript::Text() const {
  std::string text;
  for (const std::string& line : lines_) {
    text += "  " + line + "\n";
  }
  return text;
}

void Tally::Record(int visit, const VisitReport& report) {
  ++visits_;
  requests_ += report.requests;
  faults_ += report.faults;
  violations_ += static_cast<int>(report.violations.size());
  if (report.violations.empty()) {
    return;
  }
  ++failed_visits_;
  if (first_failed_ >= 0) {
    return;
  }
  first_failed_ = visit;
  first_failure_ = "first failing visit: " + std::to_string(visit) + "\n";
  for (const std::string& v : report.violations) {
    first_failure_ += "  violation: " + v + "\n";
  }
  first_failure_ += "transcript (seconds since the visit began):\n" + report.transcript.Text();
}

void Tally::Add(const Tally& other) {
  visits_ += other.visits_;
  requests_ += other.requests_;
  faults_ += other.faults_;
  violations_ += other.violations_;
  failed_visits_ += other.failed_visits_;
  if (first_failed_ < 0) {
    first_failed_ = other.first_failed_;
    first_failure_ = other.first_failure_;
  }
}

std::string Tally::Summary(uint64_t seed) const {
  std::ostringstream out;
  out << "seed " << seed << ": " << visits_ << " visits, " << requests_ << " requests, " << faults_
      << " faults injected, " << violations_ << " violations in " << failed_visits_ << " visits\n";
  out << (first_failure_.empty() ? "no violations\n" : first_failure_);
  return out.str();
}

}  // namespace soak

namespace soak {

namespace {

Step FaultOn(Fault fault, const std::string& on, const std::string& off) {
  Step step;
  step.kind = Step::kFaultOn;
  step.injection = {fault, on, off};
  return step;
}

// Outputs a robot-facing hazard concerns: charging, the supply valve, the spray
// and wash pumps, the UV lamp.
const std::vector<int>& FacingSupplies() {
  static const std::vector<int> kTypes = {mqttpb::ENUM_SUPPLY_CHARGING, mqttpb::ENUM_SUPPLY_WATERING,
                                          mqttpb::ENUM_SUPPLY_CLEAN_PUMP, mqttpb::ENUM_SUPPLY_UV_LAMP,
                                          mqttpb::ENUM_SUPPLY_CLEAN_SUCTION_RAKE};
  return kTypes;
}

// Docks and starts `count` distinct supplies of `from` (in their order unless
// `shuffle`), each for `seconds`, asked again while the station still resets.
std::set<int> DockAndStart(const std::vector<int>& from, int count, std::mt19937_64& rng, VisitPlan* plan,
                           bool shuffle = true, int seconds = 60) {
  plan->steps.push_back(SimLine("dock"));
  Step in_pose = Ask(Check(mqttpb::ENUM_IN_POSE));
  in_pose.kind = Step::kAskUntil;
  in_pose.wait_ms = 5000;
  plan->steps.push_back(in_pose);
  plan->steps.push_back(Ask(Dock(true)));
  std::vector<int> types = from;
  if (shuffle) std::shuffle(types.begin(), types.end(), rng);
  types.resize(std::min(types.size(), static_cast<size_t>(count)));
  for (int type : types) {
    Step ask = Ask(Supply(type, Uniform(rng, mqttpb::ENUM_ACTION_SOFT, mqttpb::ENUM_ACTION_STRONG), seconds));
    ask.kind = Step::kAskUntil;
    ask.wait_ms = 8000;
    plan->steps.push_back(ask);
    if (!shuffle) plan->steps.push_back(Pause(1500));  // the fan turning before the wire is asked for
  }
  plan->steps.push_back(Pause(Uniform(rng, 800, 1500)));
  return std::set<int>(types.begin(), types.end());
}

// A board that answers late, refuses one output or drops its answers.
Step SlowBoard(std::mt19937_64& rng, int roll_max) {
  static const std::vector<std::string> kRefused = {"charging", "supply", "selfclean", "uv", "heatwire", "fan"};
  const int roll = Uniform(rng, 0, roll_max);
  if (roll == 0) {
    return FaultOn(Fault::kDelay, "fault delay " + std::to_string(Uniform(rng, 1500, 2500)), "fault delay 0");
  }
  if (roll == 1) {
    return FaultOn(Fault::kDrop, "fault drop on", "fault drop off");
  }
  const std::string& type = Pick(rng, kRefused);
  return FaultOn(Fault::kRefuse, "fault refuse " + type + " on", "fault refuse " + type + " off");
}

// The board's name of the output a robot's supply drives; empty when it drives several.
std::string BoardName(int supply_type) {
  static const std::map<int, std::string> kNames = {
      {mqttpb::ENUM_SUPPLY_CHARGING, "charging"},     {mqttpb::ENUM_SUPPLY_WATERING, "supply"},
      {mqttpb::ENUM_SUPPLY_CLEAN_PUMP, "selfclean"},  {mqttpb::ENUM_SUPPLY_UV_LAMP, "uv"},
      {mqttpb::ENUM_SUPPLY_HEATING_WIRE, "heatwire"}, {mqttpb::ENUM_SUPPLY_CLEAN_SUCTION_RAKE, "ultrasonic"}};
  const auto it = kNames.find(supply_type);
  return it == kNames.end() ? "" : it->second;
}

// The stop pressed over `started`, the board slow, or refusing its reset and a
// running output's first switch-off for half a second: then just a station that
// tries again has the output off in time.
void PressStop(const std::set<int>& started, std::mt19937_64& rng, VisitPlan* plan) {
  std::vector<std::string> names;
  for (int type : started) {
    if (!BoardName(type).empty()) names.push_back(BoardName(type));
  }
  if (names.empty() || Chance(rng, 0.4)) {
    plan->steps.push_back(SlowBoard(rng, 2));
    plan->steps.push_back(FaultOn(Fault::kEStop, "estop on", "estop off"));
    return;
  }
  std::vector<Step> refusals;
  for (const std::string& name : {std::string("reset"), Pick(rng, names)}) {
    refusals.push_back(FaultOn(Fault::kRefuse, "fault refuse " + name + " on", "fault refuse " + name + " off"));
    plan->steps.push_back(refusals.back());
  }
  plan->steps.push_back(FaultOn(Fault::kEStop, "estop on", "estop off"));
  plan->steps.push_back(Pause(500));
  for (Step& refuse : refusals) {
    refuse.kind = Step::kFaultOff;
    plan->steps.push_back(refuse);
  }
}

// The robot goes physically, with no word, while outputs face it.
void PlanLeave(std::mt19937_64& rng, int away_ms, VisitPlan* plan) {
  const std::set<int> started = DockAndStart(FacingSupplies(), Uniform(rng, 1, 3), rng, plan);
  plan->steps.push_back(SimLine("undock"));
  plan->steps.push_back(Pause(away_ms));
  for (int type : started) plan->steps.push_back(Ask(Supply(type, mqttpb::ENUM_ACTION_STOP, 0)));
  Step leave = Ask(Dock(false));
  leave.kind = Step::kAskUntil;
  leave.wait_ms = 15000;
  plan->steps.push_back(leave);
}

// Everything the hazard set up, held `hold_ms`, then cleared and the robot gone.
void HoldAndLeave(const std::set<int>& started, int hold_ms, std::mt19937_64& rng, VisitPlan* plan) {
  plan->steps.push_back(Pause(hold_ms));
  for (const Step& step : plan->steps) plan->faults += step.kind == Step::kFaultOn ? 1 : 0;
  Step clear;
  clear.kind = Step::kClearFaults;
  plan->steps.push_back(clear);
  // Every minute-long supply stopped: one left running is the robot's to stop.
  for (int type : started) plan->steps.push_back(Ask(Supply(type, mqttpb::ENUM_ACTION_STOP, 0)));
  AddLeaving({}, rng, plan);
}

// The board back with everything off, one of the outputs that ran before asked
// for again: the station must really switch it on, not take the task from before
// the restart as still running.
void PlanAfterRestart(const std::set<int>& started, std::mt19937_64& rng, VisitPlan* plan) {
  Step off;
  off.kind = Step::kExpect;
  off.line = "all off";
  off.wait_ms = 5000;
  plan->steps.push_back(off);
  plan->steps.push_back(Pause(Uniform(rng, 1000, 2000)));  // the daemon's reconnect
  const int type = *std::next(started.begin(), Uniform(rng, 0, static_cast<int>(started.size()) - 1));
  Step ask = Ask(Supply(type, mqttpb::ENUM_ACTION_STANDARD, 60));
  ask.kind = Step::kAskUntil;
  ask.wait_ms = 8000;
  plan->steps.push_back(ask);
  Step on;
  on.kind = Step::kExpect;
  on.line = BoardName(type);
  on.wait_ms = 3000;
  plan->steps.push_back(on);
}

// Hazards made of events rather than a fault held: the robot gone, the link or
// the daemon lost, a relay welded.
void PlanEvents(Hazard hazard, std::mt19937_64& rng, VisitPlan* plan) {
  std::set<int> started;
  switch (hazard) {
    case Hazard::kLeave:
      return PlanLeave(rng, Uniform(rng, 3000, 5000), plan);
    case Hazard::kLeftOn:
      return PlanLeave(rng, 32000, plan);
    case Hazard::kRestart:
      // Those the station can start again at once (the water waits for its preparation).
      started =
          DockAndStart({mqttpb::ENUM_SUPPLY_CHARGING, mqttpb::ENUM_SUPPLY_UV_LAMP}, Uniform(rng, 1, 2), rng, plan);
      plan->steps.push_back(FaultOn(Fault::kRestart, "fault close command", ""));
      PlanAfterRestart(started, rng, plan);
      return HoldAndLeave(started, 2000, rng, plan);
    case Hazard::kKill: {
      started = DockAndStart(FacingSupplies(), Uniform(rng, 1, 3), rng, plan);
      Step kill;
      kill.kind = Step::kKillDaemon;
      kill.wait_ms = 4000;  // the unit's restart delay
      plan->steps.push_back(kill);
      return HoldAndLeave(started, 500, rng, plan);
    }
    case Hazard::kClock: {
      // A short limit of the robot's own: on the steady clock it ends on time
      // whichever way the wall clock steps; one read off the wall clock runs an
      // hour longer (or ends at once).
      const int seconds = Uniform(rng, 3, 5);
      started = DockAndStart({mqttpb::ENUM_SUPPLY_CHARGING, mqttpb::ENUM_SUPPLY_UV_LAMP}, 1, rng, plan, true, seconds);
      Step step;
      step.kind = Step::kWallStep;
      step.wait_ms = Chance(rng, 0.5) ? -3600 : 3600;
      plan->steps.push_back(step);
      Step off;
      off.kind = Step::kExpect;
      off.line = "all off";
      off.wait_ms = seconds * 1000 + 4000;
      plan->steps.push_back(off);
      return HoldAndLeave(started, 0, rng, plan);
    }
    case Hazard::kStuck: {
      // Never cleared before the robot is gone: the station cannot help it.
      DockAndStart({mqttpb::ENUM_SUPPLY_CHARGING}, 1, rng, plan);
      plan->steps.push_back(SimLine("fault stuck charging on"));
      plan->steps.push_back(Ask(Supply(mqttpb::ENUM_SUPPLY_CHARGING, mqttpb::ENUM_ACTION_STOP, 0)));
      plan->steps.push_back(Ask(Dock(false)));
      plan->steps.push_back(SimLine("undock"));
      plan->steps.push_back(Pause(3000));
      Step clear;
      clear.kind = Step::kClearFaults;
      plan->steps.push_back(clear);
      return;
    }
    default:
      return;
  }
}

// The drying under way with the wire's thermometer pinned cool: its thermostat
// keeps heating, so only the station's own checks can switch the wire off.
std::set<int> StartHeating(std::mt19937_64& rng, VisitPlan* plan) {
  plan->steps.push_back(SimLine("pin heatingWireTemp 30"));
  // The wire only with its fan turning.
  return DockAndStart({mqttpb::ENUM_SUPPLY_HEATING_FAN, mqttpb::ENUM_SUPPLY_HEATING_WIRE}, 2, rng, plan, false);
}

// What runs when the reports stop: the station's own sewage pump with no task to
// end (sewage seen until the silence), the wire heating, or outputs for the robot.
std::set<int> StartBlind(std::mt19937_64& rng, VisitPlan* plan) {
  const std::vector<int> blind = {mqttpb::ENUM_SUPPLY_SEWAGE_PUMP, mqttpb::ENUM_SUPPLY_CLEAN_PUMP,
                                  mqttpb::ENUM_SUPPLY_WATERING, mqttpb::ENUM_SUPPLY_CHARGING};
  switch (Uniform(rng, 0, 2)) {
    case 0:
      DockAndStart({}, 0, rng, plan);
      plan->steps.push_back(SimLine("pin sewageDet 1"));
      plan->steps.push_back(Pause(1500));
      return {};
    case 1:
      return StartHeating(rng, plan);
    default:
      return DockAndStart(blind, Uniform(rng, 1, 3), rng, plan);
  }
}

void PlanDirected(Hazard hazard, std::mt19937_64& rng, VisitPlan* plan) {
  // The wire only with its fan turning.
  const std::vector<int> heat = {mqttpb::ENUM_SUPPLY_HEATING_FAN, mqttpb::ENUM_SUPPLY_HEATING_WIRE};
  std::set<int> started;
  switch (hazard) {
    case Hazard::kEStop: {
      started = Chance(rng, 0.3) ? DockAndStart(heat, 2, rng, plan, false)
                                 : DockAndStart(FacingSupplies(), Uniform(rng, 1, 3), rng, plan);
      PressStop(started, rng, plan);
      return HoldAndLeave(started, Uniform(rng, 5000, 7000), rng, plan);
    }
    case Hazard::kFanStall:
      started = StartHeating(rng, plan);
      plan->steps.push_back(SlowBoard(rng, 0));
      if (Chance(rng, 0.5)) {
        // The robot stops the drying's fan under the live wire: the wire must go off first.
        plan->steps.push_back(Ask(Supply(mqttpb::ENUM_SUPPLY_HEATING_FAN, mqttpb::ENUM_ACTION_STOP, 0)));
      } else {
        plan->steps.push_back(FaultOn(Fault::kFanStall, "fault fanstall on", "fault fanstall off"));
      }
      // Longer than the stall's grace, which grows by the slow board's answer delay.
      return HoldAndLeave(started, Uniform(rng, 7000, 9000), rng, plan);
    case Hazard::kSilence:
      started = StartBlind(rng, plan);
      plan->steps.push_back(FaultOn(Fault::kSilence, "fault reports off", "fault reports on"));
      return HoldAndLeave(started, Uniform(rng, 6000, 8000), rng, plan);
    case Hazard::kOverTemp: {
      const bool wire = Chance(rng, 0.5);
      started = DockAndStart(wire ? heat : std::vector<int>{mqttpb::ENUM_SUPPLY_CHARGING}, 2, rng, plan, false);
      const std::string pin = wire ? "heatingWireTemp 160" : "electrodePlateTemp1 90";
      plan->steps.push_back(FaultOn(Fault::kOverTemp, "pin " + pin, "unpin " + pin.substr(0, pin.find(' '))));
      return HoldAndLeave(started, Uniform(rng, 4000, 6000), rng, plan);
    }
    default:
      return PlanEvents(hazard, rng, plan);
  }
}

}  // namespace

const std::vector<HazardInfo>& HazardCatalogue() {
  static const std::vector<HazardInfo> kHazards = {
      {Hazard::kEStop, "estop", "the stop pressed 5-7 s over running outputs, the board slow, refusing or mute", true},
      {Hazard::kFanStall, "fanstall", "the fan seized under the heat wire, the board slow", true},
      {Hazard::kLeave, "leave", "the robot goes without a word while outputs face it", true},
      {Hazard::kSilence, "silence", "the sensor reports stop while outputs run", true},
      {Hazard::kRestart, "restart", "the board's link restarts mid-task, a request right after", true},
      {Hazard::kKill, "kill", "the daemon SIGKILLed mid-task, switched off and restarted as the unit would", true},
      {Hazard::kOverTemp, "overtemp", "a plate or the wire over its limit while it heats", true},
      {Hazard::kLeftOn, "lefton", "the robot away 32 s after leaving mid-task", true},
      {Hazard::kClock, "clock", "the wall clock stepped an hour back or forward under a 3-5 s task", true},
      {Hazard::kStuck, "stuck", "a welded charging relay as the robot leaves (must be reported)", false},
  };
  return kHazards;
}

const char* HazardName(Hazard hazard) {
  for (const HazardInfo& info : HazardCatalogue()) {
    if (info.hazard == hazard) {
      return info.name;
    }
  }
  return "?";
}

bool ParseHazardList(const std::string& text, std::set<Hazard>* out, std::string* error) {
  return ParseNames(
      text, HazardCatalogue(), &HazardInfo::hazard, [](const HazardInfo& info) { return info.in_all; }, "hazard", out,
      error);
}

VisitPlan PlanHazard(Hazard hazard, std::mt19937_64& rng) {
  VisitPlan plan;
  plan.hazard = HazardName(hazard);
  PlanDirected(hazard, rng, &plan);
  return plan;
}

}  // namespace soak
