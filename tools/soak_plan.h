#pragma once

// The pure side of station_soak: the fault catalogue, seeded visit plans, the
// robot's requests as messages, reading the simulator's and the daemon's
// answers, and the verdict over a run. No processes, sockets or clocks here,
// so every rule can be checked on its own.
// Threading: plain values and free functions; use each object from one thread.

#include <google/protobuf/message.h>

#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace soak {

// A kind of board fault the tester can switch on during a visit.
enum class Fault {
  kRefuse,    // the board refuses one supply type (or the lamps)
  kDrop,      // the board does not answer commands
  kDelay,     // the board answers late
  kStale,     // answers carry the previous command's seq
  kSplit,     // frames written in pieces
  kMerge,     // several sensor reports per write
  kRestart,   // the command connection closes (the board restarts its link)
  kGarbage,   // an undecodable answer or report
  kOverTemp,  // a plate or the heat wire reads over its limit
  kOverflow,  // the sewage box overflows
  kDustBag,   // the dust bag (or the box cap) is out
  kEStop,     // the emergency stop is pressed
  kSilence,   // the sensor link stays up but reports stop
  kFanStall,  // the drying fan seizes
};

struct FaultInfo {
  Fault fault;
  const char* name;  // as --faults names it
  const char* what;
};
const std::vector<FaultInfo>& FaultCatalogue();
const char* FaultName(Fault fault);

// "all", "none" or a comma-separated list of names; false with `error` for an
// unknown name.
bool ParseFaultList(const std::string& text, std::set<Fault>* out, std::string* error);

// A fault as switched on at the simulator's console, and the line that ends it
// (empty for one-shots that end by themselves).
struct Injection {
  Fault fault;
  std::string on;
  std::string off;
};
Injection MakeInjection(Fault fault, std::mt19937_64& rng);

// One robot request, as stationctl would spell it.
struct Request {
  enum Kind { kCheck, kDock, kPrewater, kSupply } kind = kCheck;
  int check_type = 0;        // kCheck: EnumRobotCheckType
  bool stay = true;          // kDock: stay or leave
  int supply_type = 0;       // kSupply: EnumSupplyType
  int action = 2;            // kSupply, kPrewater: EnumActionModel
  int duration = 0;          // kSupply: seconds
  int tablets = 1;           // kPrewater
  int volume = 1;            // kPrewater: litres
  std::string Text() const;  // e.g. "supply collect-dust standard 5s"
};

// The request's message with a fresh msg_id; `topic` is its name under the
// station ("supplyMaterialRequest"), `reply` an empty message of the answer's type.
std::unique_ptr<google::protobuf::Message> BuildRequest(const Request& request, const std::string& robot_id,
                                                        std::string* msg_id, std::string* topic,
                                                        std::unique_ptr<google::protobuf::Message>* reply);

// A hazard the tester steers a visit into, held past the grace of the safety
// monitor's invariant it poses.
enum class Hazard {
  kEStop,     // the stop pressed 5 to 7 s while one to three outputs run, the board slow or refusing
  kFanStall,  // the fan seizes under the heat wire, the board slow
  kLeave,     // the robot goes without a word while an output faces it
  kSilence,   // the sensor reports stop while outputs run
  kRestart,   // the board restarts its link mid-task, a request right after
  kKill,      // the daemon killed mid-task; the unit's switch-off, a restart
  kOverTemp,  // a plate or the wire reads over its limit while it heats
  kLeftOn,    // the robot gone for longer than the left-on grace after an output ran
  kClock,     // the wall clock stepped an hour back or forward under a task with a time limit
  kStuck,     // a welded relay: an output stays on whatever it is told (never passes)
};

struct HazardInfo {
  Hazard hazard;
  const char* name;  // as --hazards names it
  const char* what;
  bool in_all;  // part of "all"; a welded relay fails any run, so it is asked for by name
};
const std::vector<HazardInfo>& HazardCatalogue();
const char* HazardName(Hazard hazard);
// "all", "none" or names joined by commas, as ParseFaultList.
bool ParseHazardList(const std::string& text, std::set<Hazard>* out, std::string* error);

// One step of a visit.
struct Step {
  enum Kind {
    kAsk,          // send `request`, once
    kAskUntil,     // repeat `request` until accepted or `wait_ms` passed
    kSim,          // a console line (dock, undock)
    kFaultOn,      // `injection.on`
    kFaultOff,     // `injection.off`
    kPause,        // `wait_ms`
    kClearFaults,  // every fault switch off, pins released, inputs back to normal
    kKillDaemon,   // SIGKILL the daemon, switch off as the unit would, restart it after `wait_ms`
    kExpect,       // within `wait_ms` the simulator's actuators show `line` on ("all off": none on)
    kWallStep,     // the daemon's wall clock stepped by `wait_ms` seconds (negative: back)
  } kind = kPause;
  Request request;
  Injection injection{};
  std::string line;
  int wait_ms = 0;
};

// What a visit does, from docking to the robot gone; the idle check follows it.
struct VisitPlan {
  std::vector<Step> steps;
  int faults = 0;                // injections switched on
  const char* hazard = nullptr;  // the directed hazard's name; null for a random visit
};

// Knobs of the plan; faults empty means a visit without faults.
struct PlanOptions {
  std::set<Fault> faults;
  int max_actions = 10;  // robot requests and faults between docking and leaving
};

// Deals fault kinds to random visits, the least injected so far first (ties by
// chance), so that a short run still meets every kind. Directed visits' faults
// count too (Counted).
class FaultDeck {
 public:
  Fault Deal(const std::vector<Fault>& kinds, std::mt19937_64& rng);
  int Owed(const std::vector<Fault>& kinds) const;  // how many of `kinds` were never dealt
  void Counted(const VisitPlan& plan);

 private:
  std::map<Fault, int> dealt_;
};

// A random visit: dock, stay, random requests, pauses and faults in random
// order, then every fault cleared, the robot stopping what it chose to stop,
// leaving and undocking. The same generator state gives the same plan. With a
// deck, fault kinds come from it, else at random.
VisitPlan PlanVisit(const PlanOptions& options, std::mt19937_64& rng, FaultDeck* deck = nullptr);
// A visit steered into `hazard`: dock, the outputs it concerns started, the
// fault held past its grace, then everything cleared and the robot gone.
VisitPlan PlanHazard(Hazard hazard, std::mt19937_64& rng);

// The console lines that put the simulator back to normal: fault switches,
// pins, the emergency stop, the dust bag and cap, the tablet motor.
const std::vector<std::string>& ClearLines();

// Readings of the simulator's console answers and the daemon's status line.
// -1 when the answer carries no count.
int SafetyViolations(const std::string& safety_answer);
// Per invariant of a "safety" answer, how often its hazard was posed ("exposed").
std::vector<std::pair<std::string, int>> SafetyExposures(const std::string& safety_answer);
// True when the "actuators:" line of a status answer says "all off".
bool ActuatorsOff(const std::string& status_answer);
// The "actuators:" line's content, "?" when missing.
std::string ActuatorsLine(const std::string& status_answer);
// An actuators line with nothing on but the sewage pump.
bool OffButSewage(const std::string& actuators_line);
// The daemon's status line of an idle, normal, connected station.
bool DaemonIdle(const std::string& status_line);

// Timed lines of one visit, for the failure report.
class Transcript {
 public:
  // Stores the line stamped with `seconds`; returns it as stored.
  const std::string& Add(double seconds, const std::string& line);
  std::string Text() const;
  bool empty() const { return lines_.empty(); }

 private:
  std::vector<std::string> lines_;
};

// What one visit found.
struct VisitReport {
  int requests = 0;
  int faults = 0;
  std::vector<std::string> violations;
  Transcript transcript;
  bool fatal = false;  // the station cannot go on (daemon dead, stuck for good)
};

// The run so far: counts, and the first failing visit kept whole.
class Tally {
 public:
  void Record(int visit, const VisitReport& report);
  // Another station's tally added; its first failure kept when this has none.
  void Add(const Tally& other);
  int visits() const { return visits_; }
  int requests() const { return requests_; }
  int faults() const { return faults_; }
  int violations() const { return violations_; }
  int failed_visits() const { return failed_visits_; }
  // Printed at the end: seed, counts, then the first failing visit's violations and transcript.
  std::string Summary(uint64_t seed) const;
  int ExitCode() const { return violations_ > 0 ? 1 : 0; }

 private:
  int visits_ = 0;
  int requests_ = 0;
  int faults_ = 0;
  int violations_ = 0;
  int failed_visits_ = 0;
  int first_failed_ = -1;
  std::string first_failure_;
};

}  // namespace soak
