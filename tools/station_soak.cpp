// station_soak: a randomized session tester. It starts a private station on
// loopback (mosquitto, board_sim, station_center), sends seeded random robot
// visits mixed with board faults, and after every visit checks that the
// simulator's safety monitor saw nothing, the daemon lives, every request was
// answered in time and the station went back to idle. See --help.

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "soak_plan.h"
#include "soak_station.h"

namespace soak {
namespace {

const char kUsage[] =
    "usage: station_soak [options]\n"
    "\n"
    "Runs seeded random robot visits against a private station on loopback (mosquitto,\n"
    "board_sim and station_center as child processes) with board faults mixed in, and\n"
    "checks after every visit: no safety violation in the simulator, the daemon alive,\n"
    "every request answered within 5 s, and the station idle (actuators off, status\n"
    "normal, no task) within 30 s after the robot left with every fault cleared.\n"
    "Prints the seed, the counts and the first failing visit's transcript; exit status\n"
    "0 when nothing was found, 1 on any violation, 2 for a usage error, 3 when the\n"
    "station could not be started.\n"
    "\n"
    "options:\n"
    "  --seed N          seed of the visits (default: from the clock, printed)\n"
    "  --visits N        stop after N visits (default 50 unless --minutes is given)\n"
    "  --minutes M       stop starting visits after M minutes (whichever comes first)\n"
    "  --faults LIST     faults to inject: all (default), none, or names joined by commas\n"
    "  --no-fault NAME   leave one fault out (repeatable)\n"
    "  --max-actions N   requests, pauses and faults per visit, at most (default 10)\n"
    "  --hazards LIST    directed hazards: all (default), none, or names joined by commas\n"
    "  --directed F      share of visits steered into a hazard, in turn (default 0.5)\n"
    "  --min-coverage N  fail unless every targeted invariant's hazard was posed N times\n"
    "                    and held past its grace (default 1)\n"
    "  --stop-at-first   stop after the first visit with a violation\n"
    "  --jobs N          N stations side by side, each with its own broker, simulator and\n"
    "                    daemon and seed (seed, seed+1, ...); counts and coverage added up\n"
    "  --bin DIR         where board_sim and station_center are (default: beside this program)\n"
    "  --work DIR        station tree and logs (default: a new directory under $TMPDIR,\n"
    "                    removed after a clean run)\n"
    "  --verbose         print every visit's transcript as it runs\n"
    "  --help            this text\n"
    "\n"
    "\nAt the end it prints, per invariant, how often its hazard was posed and held past\n"
    "its grace, and per fault how often it overlapped a running output.\n"
    "\n"
    "faults:\n";

constexpr std::chrono::milliseconds kReplyLimit{5000};      // a request must be answered within this
constexpr std::chrono::milliseconds kLateReplyWait{20000};  // waited for a late reply, to tell late from never
constexpr std::chrono::seconds kIdleLimit{30};

struct Options {
  uint64_t seed = 0;
  int visits = -1;
  double minutes = -1;
  PlanOptions plan;
  std::set<Hazard> hazards;
  double directed = 0.5;
  int min_coverage = 1;
  std::string bin_dir;
  std::string work_dir;
  bool verbose = false;
  bool stop_at_first = false;
  int jobs = 1;
};

std::string Help() {
  std::string text = kUsage;
  for (const FaultInfo& f : FaultCatalogue()) {
    std::string name = f.name;
    name.resize(12, ' ');
    text += "  " + name + f.what + "\n";
  }
  text += "\nhazards:\n";
  for (const HazardInfo& h : HazardCatalogue()) {
    std::string name = h.name;
    name.resize(12, ' ');
    text += "  " + name + h.what + "\n";
  }
  return text;
}

bool ParseNumber(const std::string& text, double min, double* out) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(v >= min)) {
    return false;
  }
  *out = v;
  return true;
}

std::string OwnDirectory() {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? "." : self.parent_path().string();
}

// --hazards, --faults or --no-fault with its list; false with `error`.
bool ParseList(const std::string& option, const std::string& list, Options* o, std::string* error) {
  if (option == "--hazards") {
    return ParseHazardList(list, &o->hazards, error);
  }
  if (option == "--faults") {
    return ParseFaultList(list, &o->plan.faults, error);
  }
  std::set<Fault> out;
  if (!ParseFaultList(list, &out, error)) {
    return false;
  }
  for (Fault f : out) o->plan.faults.erase(f);
  return true;
}

// -1 to go on, else the exit status.
int ParseOptions(int argc, char** argv, Options* o) {
  o->seed = std::random_device()();
  o->plan.faults.clear();
  std::string error;
  ParseFaultList("all", &o->plan.faults, &error);
  ParseHazardList("all", &o->hazards, &error);
  o->bin_dir = OwnDirectory();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool value = i + 1 < argc;
    double n = 0;
    if (a == "--help" || a == "-h") {
      std::cout << Help();
      return 0;
    } else if (a == "--stop-at-first") {
      o->stop_at_first = true;
    } else if (a == "--verbose" || a == "-v") {
      o->verbose = true;
    } else if (value && a == "--seed" && ParseNumber(argv[i + 1], 0, &n)) {
      o->seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (value && a == "--visits" && ParseNumber(argv[i + 1], 1, &n)) {
      o->visits = static_cast<int>(n);
      ++i;
    } else if (value && a == "--minutes" && ParseNumber(argv[i + 1], 0, &n)) {
      o->minutes = n;
      ++i;
    } else if (value && a == "--jobs" && ParseNumber(argv[i + 1], 1, &n) && n <= 16) {
      o->jobs = static_cast<int>(n);
      ++i;
    } else if (value && a == "--max-actions" && ParseNumber(argv[i + 1], 1, &n)) {
      o->plan.max_actions = static_cast<int>(n);
      ++i;
    } else if (value && a == "--directed" && ParseNumber(argv[i + 1], 0, &n) && n <= 1) {
      o->directed = n;
      ++i;
    } else if (value && a == "--min-coverage" && ParseNumber(argv[i + 1], 0, &n)) {
      o->min_coverage = static_cast<int>(n);
      ++i;
    } else if (value && (a == "--hazards" || a == "--faults" || a == "--no-fault")) {
      if (!ParseList(a, argv[++i], o, &error)) {
        std::cerr << "station_soak: " << error << " (see --help)\n";
        return 2;
      }
    } else if (value && a == "--bin") {
      o->bin_dir = argv[++i];
    } else if (value && a == "--work") {
      o->work_dir = argv[++i];
    } else {
      std::cerr << "station_soak: unknown or incomplete option " << a << " (see --help)\n";
      return 2;
    }
  }
  if (o->visits < 0 && o->minutes < 0) {
    o->visits = 50;
  }
  return -1;
}

// What the run steered the station into: per invariant, how often its hazard
// was posed past its grace; per fault, how often it met a running output.
struct Coverage {
  std::map<std::string, int> exposed;
  std::map<std::string, int> overlaps;
  std::map<std::string, int> injected;

  // Invariants no directed hazard reaches yet; shown, not held to the minimum.
  static bool Targeted(const std::string& invariant) {
    return invariant != "tap_open_tank_full" && invariant != "outputs_without_controller";
  }
  void Add(const Coverage& other) {
    for (const auto& [name, count] : other.exposed) exposed[name] += count;
    for (const auto& [name, count] : other.overlaps) overlaps[name] += count;
    for (const auto& [name, count] : other.injected) injected[name] += count;
  }
  bool Meets(int minimum) const {
    for (const auto& [name, count] : exposed) {
      if (Targeted(name) && count < minimum) return false;
    }
    return !exposed.empty();
  }
  std::string Table(int minimum) const {
    std::ostringstream out;
    out << "coverage (hazard posed past its grace; minimum " << minimum << "):\n";
    for (const auto& [name, count] : exposed) {
      out << "  " << std::left << std::setw(32) << name << std::right << std::setw(5) << count
          << (Targeted(name) ? (count < minimum ? "  BELOW" : "") : "  (not targeted)") << "\n";
    }
    out << "faults (injected / overlapping a running output):\n";
    for (const auto& [name, count] : injected) {
      const auto it = overlaps.find(name);
      out << "  " << std::left << std::setw(32) << name << std::right << std::setw(5) << count << std::setw(5)
          << (it == overlaps.end() ? 0 : it->second) << "\n";
    }
    return out.str();
  }
};

// Runs one visit's steps and the checks after it, writing the transcript.
class VisitRunner {
 public:
  VisitRunner(Station& station, Robot& robot, bool verbose, Coverage* coverage)
      : station_(station), robot_(robot), verbose_(verbose), coverage_(coverage), start_(Clock::now()) {}

  VisitReport Run(const VisitPlan& plan) {
    for (const Step& step : plan.steps) {
      RunStep(step);
      std::string why;
      if (!station_.DaemonAlive(&why)) {
        Violation(why);
        report_.fatal = true;
        return report_;
      }
    }
    CheckIdle();
    CheckSafety();
    return report_;
  }

  // After a failed visit: everything cleared, the robot gone; false when the
  // station still does not come back to idle.
  bool Recover() {
    Note("recovery: faults cleared, the robot leaves");
    ClearFaults();
    station_.Sim("undock");
    Request leave;
    leave.kind = Request::kDock;
    leave.stay = false;
    robot_.Ask(leave, kReplyLimit);
    const bool idle = WaitIdle(std::chrono::seconds(60));
    station_.Sim("safety reset");
    return idle;
  }

 private:
  double Now() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }
  void Note(const std::string& line) {
    const std::string& stamped = report_.transcript.Add(Now(), line);
    if (verbose_) std::cout << "  " << stamped << std::endl;
  }
  void Violation(const std::string& what) {
    report_.violations.push_back(what);
    Note("VIOLATION: " + what);
  }

  // Sends `request` once; true when accepted.
  bool Ask(const Request& request) {
    ++report_.requests;
    Note("-> " + request.Text());
    const Answer answer = robot_.Ask(request, kLateReplyWait);
    char took[32];
    std::snprintf(took, sizeof(took), "%.2f s", answer.seconds);
    Note("<- " + answer.text + " (" + took + ")");
    if (!answer.answered) {
      Violation("no reply to '" + request.Text() + "' within " + took);
    } else if (answer.seconds * 1000 > kReplyLimit.count()) {
      Violation("reply to '" + request.Text() + "' after " + took);
    }
    return answer.answered && answer.verdict.accepted;
  }

  void AskUntil(const Request& request, int wait_ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(wait_ms);
    while (!Ask(request) && Clock::now() < end && report_.violations.empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  }

  void SimLine(const std::string& prefix, const std::string& line) {
    const std::string answer = station_.Sim(line);
    Note(prefix + line + (answer.empty() ? "  (no answer from board_sim)" : ""));
  }

  void ClearFaults() {
    for (const std::string& line : ClearLines()) station_.Sim(line);
    Note("sim: faults cleared, pins released, e-stop off, dust bag and cap in");
  }

  void RunStep(const Step& step) {
    switch (step.kind) {
      case Step::kAsk:
        Ask(step.request);
        break;
      case Step::kAskUntil:
        AskUntil(step.request, step.wait_ms);
        break;
      case Step::kSim:
        SimLine("sim: ", step.line);
        break;
      case Step::kFaultOn:
        FaultOn(step.injection);
        break;
      case Step::kKillDaemon:
        KillDaemon(step.wait_ms);
        break;
      case Step::kFaultOff:
        SimLine("fault off: ", step.injection.off);
        break;
      case Step::kPause:
        Note("pause " + std::to_string(step.wait_ms) + " ms");
        std::this_thread::sleep_for(std::chrono::milliseconds(step.wait_ms));
        break;
      case Step::kClearFaults:
        ClearFaults();
        break;
      case Step::kExpect:
        Expect(step.line, step.wait_ms);
        break;
      case Step::kWallStep:
        Note((station_.StepWall(step.wait_ms) ? "wall clock stepped by "
                                              : "no libfaketime, wall clock not stepped by ") +
             std::to_string(step.wait_ms) + " s");
        break;
    }
  }

  // Liveness: what was asked for really runs (or everything is off) in time.
  void Expect(const std::string& what, int wait_ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(wait_ms);
    std::string line;
    for (;;) {
      line = ActuatorsLine(station_.Sim("status"));
      const bool met =
          what == "all off" ? OffButSewage(line) : (" " + line).find(" " + what + "(") != std::string::npos;
      if (met) {
        Note("sim: actuators " + line + " (expected " + what + ")");
        return;
      }
      if (Clock::now() >= end) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    Violation("expected " + (what == "all off" ? what : what + " on") + " within " + std::to_string(wait_ms) +
              " ms, actuators " + line);
  }

  void FaultOn(const Injection& injection) {
    ++report_.faults;
    const std::string name = FaultName(injection.fault);
    SimLine("fault on (" + name + "): ", injection.on);
    ++coverage_->injected[name];
    if (!ActuatorsOff(station_.Sim("status"))) ++coverage_->overlaps[name];
  }

  // As systemd would: the switch-off at once, a restart after `restart_ms`.
  void KillDaemon(int restart_ms) {
    Note("kill: station_center SIGKILLed, actuators " + ActuatorsLine(station_.Sim("status")));
    if (!station_.KillDaemon()) {
      Violation("station_center was not running to be killed");
      return;
    }
    Note("kill: switched off as the unit does, actuators " + ActuatorsLine(station_.Sim("status")));
    std::this_thread::sleep_for(std::chrono::milliseconds(restart_ms));
    std::string error;
    if (!station_.RestartDaemon(std::chrono::seconds(30), &error)) {
      Violation(error);
      report_.fatal = true;
      return;
    }
    Note("kill: station_center restarted");
  }

  bool WaitIdle(std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    std::string why;
    while (station_.DaemonAlive(&why)) {
      if (ActuatorsOff(station_.Sim("status")) && DaemonIdle(station_.DaemonStatus())) return true;
      if (Clock::now() >= end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  void CheckIdle() {
    const auto left = Clock::now();
    if (WaitIdle(kIdleLimit)) {
      char took[48];
      std::snprintf(took, sizeof(took), "idle %.2f s after the robot left", Seconds(Clock::now() - left));
      Note(took);
      return;
    }
    std::string why;
    if (!station_.DaemonAlive(&why)) {
      Violation(why);
      report_.fatal = true;
      return;
    }
    Violation("not idle " + std::to_string(kIdleLimit.count()) + " s after the robot left: actuators " +
              ActuatorsLine(station_.Sim("status")) + ", daemon '" + station_.DaemonStatus() + "'");
  }

  void CheckSafety() {
    const std::string safety = station_.Sim("safety");
    const int count = SafetyViolations(safety);
    for (const auto& [name, exposed] : SafetyExposures(safety)) coverage_->exposed[name] += exposed;
    if (count < 0) {
      Violation("board_sim does not answer 'safety'");
      report_.fatal = true;
      return;
    }
    if (count > 0) {
      Violation("safety monitor: " + std::to_string(count) + " violation(s)");
      for (size_t at = 0, nl; at < safety.size(); at = nl + 1) {
        nl = std::min(safety.find('\n', at), safety.size());
        Note("safety: " + safety.substr(at, nl - at));
      }
    }
    station_.Sim("safety reset");
  }

  static double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

  Station& station_;
  Robot& robot_;
  bool verbose_;
  Coverage* coverage_;
  Clock::time_point start_;
  VisitReport report_;
};

std::string FaultsText(const std::set<Fault>& faults) {
  std::string text;
  for (Fault f : faults) text += (text.empty() ? "" : ",") + std::string(FaultName(f));
  return text.empty() ? "none" : text;
}

// The next visit: directed at the next hazard in turn for the `directed` share
// of visits, else random with the fault kinds dealt from `deck`.
VisitPlan NextPlan(const Options& o, std::mt19937_64& rng, size_t* next_hazard, FaultDeck* deck) {
  const std::vector<Hazard> hazards(o.hazards.begin(), o.hazards.end());
  if (!hazards.empty() && std::uniform_real_distribution<double>(0, 1)(rng) < o.directed) {
    VisitPlan plan = PlanHazard(hazards[(*next_hazard)++ % hazards.size()], rng);
    deck->Counted(plan);
    return plan;
  }
  return PlanVisit(o.plan, rng, deck);
}

// Stations side by side print each visit's report whole.
std::mutex g_print;

// Visits until the count or the time is up, or the station cannot go on; `tag`
// names the station in what is printed when there are several.
void RunVisits(const Options& o, const std::string& tag, Station& station, Robot& robot, Tally* tally,
               Coverage* coverage) {
  std::mt19937_64 rng(o.seed);
  size_t next_hazard = 0;
  FaultDeck deck;
  const auto start = Clock::now();
  const auto out_of_time = [&] {
    return o.minutes >= 0 && std::chrono::duration<double>(Clock::now() - start).count() >= o.minutes * 60;
  };
  for (int visit = 1; (o.visits < 0 || visit <= o.visits) && !out_of_time(); ++visit) {
    const VisitPlan plan = NextPlan(o, rng, &next_hazard, &deck);
    const std::string what = plan.hazard ? std::string(" (hazard ") + plan.hazard + ")" : "";
    if (o.verbose) std::cout << tag << "visit " << visit << what << ":" << std::endl;
    VisitRunner runner(station, robot, o.verbose, coverage);
    VisitReport report = runner.Run(plan);
    const bool failed = !report.violations.empty();
    if (failed && !report.fatal && !runner.Recover()) {
      report.violations.push_back("the station did not come back to idle after the recovery either");
      report.fatal = true;
    }
    tally->Record(visit, report);
    const std::lock_guard<std::mutex> lock(g_print);
    if (failed) {
      // Whole, at once: a long run may be cut off before its summary.
      std::cout << tag << "visit " << visit << what << ": " << report.violations.size() << " violation(s):\n";
      for (const std::string& v : report.violations) {
        std::cout << "  violation: " << v << "\n";
      }
      std::cout << report.transcript.Text() << std::endl;
    } else if (visit % 25 == 0) {
      std::cout << tag << "visit " << visit << ": " << tally->requests() << " requests, " << tally->faults()
                << " faults, " << tally->violations() << " violations so far" << std::endl;
    }
    if (report.fatal) {
      std::cout << tag << "station_soak: the station cannot go on; stopping" << std::endl;
      return;
    }
    if (failed && o.stop_at_first) return;
  }
}

// One station's share of the run: its own broker, simulator, daemon and ports.
struct StationRun {
  Tally tally;
  Coverage coverage;
  std::string logs;
  bool started = false;
};

void RunStation(const Options& o, const std::string& tag, StationRun* run) {
  std::filesystem::create_directories(o.work_dir);
  StationOptions station_options{o.bin_dir, o.work_dir};
  station_options.wall_steps = o.hazards.count(Hazard::kClock) != 0;
  Station station(station_options);
  std::string error;
  if (!station.Start(&error)) {
    std::cerr << "station_soak: " << tag << error << "\n";
    return;
  }
  Robot robot(station.broker(), station.station_id());
  if (!robot.Connect(&error)) {
    std::cerr << "station_soak: " << tag << "the robot cannot reach the broker: " << error << "\n";
    return;
  }
  run->started = true;
  RunVisits(o, tag, station, robot, &run->tally, &run->coverage);
  station.Stop();
  run->logs = station.Logs();
}

// Every station's run, side by side with --jobs, added up; false when one did not start.
bool RunStations(const Options& o, Tally* tally, Coverage* coverage, std::string* logs) {
  std::vector<StationRun> runs(static_cast<size_t>(o.jobs));
  std::vector<std::thread> threads;
  for (int i = 0; i < o.jobs; ++i) {
    Options own = o;
    own.seed = o.seed + static_cast<uint64_t>(i);
    const std::string n = std::to_string(i + 1);
    if (o.jobs > 1) own.work_dir += "/station-" + n;
    threads.emplace_back(RunStation, own, o.jobs > 1 ? "[station " + n + "] " : "", &runs[static_cast<size_t>(i)]);
  }
  bool started = true;
  for (size_t i = 0; i < runs.size(); ++i) {
    threads[i].join();
    started = started && runs[i].started;
    tally->Add(runs[i].tally);
    coverage->Add(runs[i].coverage);
    *logs += runs[i].logs + "\n";
  }
  return started;
}

int Run(int argc, char** argv) {
  Options o;
  const int status = ParseOptions(argc, argv, &o);
  if (status >= 0) return status;
  ::signal(SIGPIPE, SIG_IGN);
  StopChildrenOnSignals();
  const bool own_work_dir = o.work_dir.empty();
  if (own_work_dir) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "station-soak-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) {
      std::cerr << "station_soak: cannot make a work directory\n";
      return 3;
    }
    o.work_dir = tmpl;
  }
  std::cout << "station_soak: seed " << o.seed << (o.jobs > 1 ? " and on, " + std::to_string(o.jobs) + " stations" : "")
            << ", faults " << FaultsText(o.plan.faults) << ", work " << o.work_dir << std::endl;
  Tally tally;
  Coverage coverage;
  std::string logs;
  if (!RunStations(o, &tally, &coverage, &logs)) return 3;
  std::cout << tally.Summary(o.seed) << coverage.Table(o.min_coverage);
  int exit_code = tally.ExitCode();
  if (exit_code == 0 && !coverage.Meets(o.min_coverage)) {
    std::cout << "station_soak: coverage below the minimum of " << o.min_coverage << "\n";
    exit_code = 1;
  }
  if (exit_code != 0 || !own_work_dir) {
    std::cout << logs;
  } else {
    std::error_code ec;
    std::filesystem::remove_all(o.work_dir, ec);
  }
  return exit_code;
}

}  // namespace
}  // namespace soak

int main(int argc, char** argv) {
  try {
    return soak::Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "station_soak: " << e.what() << "\n";
    return 3;
  }
}
