// station_soak's own logic: its faults against the simulator's console, the shape
// of its random visits, its readings of the simulator's answers and its verdict.

#include "soak_plan.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "sim/station_sim.h"

namespace soak {
namespace {

// The "sensors" answer as name -> value, without the sewage readings (an
// overflow is physical: the station pumps it away, nobody clears it).
std::map<std::string, std::string> Inputs(station_sim::StationSim& sim) {
  std::map<std::string, std::string> fields;
  std::istringstream in(sim.Execute("sensors"));
  for (std::string name, eq, value; in >> name >> eq >> value;) {
    if (name.rfind("sewage", 0) != 0 && name != "IsSewageOverFlow" && name != "seq") fields[name] = value;
  }
  return fields;
}

std::string FaultsLine(station_sim::StationSim& sim) {
  const std::string status = sim.Execute("status");
  const size_t at = status.find("faults:");
  return status.substr(at, status.find('\n', at) - at);
}

std::vector<Injection> ManyInjections() {
  std::vector<Injection> all;
  std::mt19937_64 rng(7);
  for (int round = 0; round < 40; ++round) {
    for (const FaultInfo& f : FaultCatalogue()) all.push_back(MakeInjection(f.fault, rng));
  }
  return all;
}

TEST(SoakFaultsTest, ListsNameTheCatalogue) {
  std::set<Fault> faults;
  std::string error;
  // "all": TheSeedDecidesTheVisits.
  ASSERT_TRUE(ParseFaultList("estop,silence", &faults, &error));
  EXPECT_EQ(faults, (std::set<Fault>{Fault::kEStop, Fault::kSilence}));
  ASSERT_TRUE(ParseFaultList("none", &faults, &error));
  EXPECT_TRUE(faults.empty());
  EXPECT_FALSE(ParseFaultList("estop,e-stop", &faults, &error));
  EXPECT_NE(error.find("e-stop"), std::string::npos) << error;
}

// Every injection is a line the simulator takes; its own off line, and the
// clearing before the idle check, put the board back as it was.
TEST(SoakFaultsTest, EveryInjectionIsUnderstoodAndUndone) {
  station_sim::StationSim sim;  // not started: the console works on the model alone
  const auto fresh_inputs = Inputs(sim);
  const std::string fresh_faults = FaultsLine(sim);
  for (const Injection& injection : ManyInjections()) {
    SCOPED_TRACE(injection.on);
    EXPECT_EQ(sim.Execute(injection.on).rfind("error:", 0), std::string::npos);
    if (!injection.off.empty()) {
      EXPECT_EQ(sim.Execute(injection.off).rfind("error:", 0), std::string::npos) << injection.off;
      EXPECT_EQ(Inputs(sim), fresh_inputs);
      EXPECT_EQ(FaultsLine(sim), fresh_faults);
    }
  }
  for (const Injection& injection : ManyInjections()) sim.Execute(injection.on);
  for (const std::string& line : ClearLines()) sim.Execute(line);
  EXPECT_EQ(Inputs(sim), fresh_inputs);
  EXPECT_EQ(FaultsLine(sim), fresh_faults);
}

std::string Describe(const VisitPlan& plan) {
  std::string text;
  for (const Step& s : plan.steps) {
    text += std::to_string(s.kind) + " " + s.request.Text() + " " + s.injection.on + " " + s.line + " " +
            std::to_string(s.wait_ms) + "\n";
  }
  return text;
}

TEST(SoakPlanTest, TheSeedDecidesTheVisits) {
  PlanOptions options;
  std::string error;
  ASSERT_TRUE(ParseFaultList("all", &options.faults, &error));
  std::mt19937_64 a(42), b(42), c(43);
  const std::string first = Describe(PlanVisit(options, a));
  EXPECT_EQ(first, Describe(PlanVisit(options, b)));
  EXPECT_NE(first, Describe(PlanVisit(options, c)));
  EXPECT_NE(first, Describe(PlanVisit(options, a))) << "the next visit differs";
}

// Docked first; faults only before they are all cleared; the robot asks to leave
// and drives off last; only the chosen faults; the count matches.
TEST(SoakPlanTest, VisitsDockFirstAndLeaveWithEveryFaultCleared) {
  PlanOptions options;
  options.faults = {Fault::kEStop, Fault::kDrop};
  std::mt19937_64 rng(1);
  FaultDeck deck;  // kinds not met yet ride along: still only the chosen ones, counted
  std::set<std::string> seen_requests;
  for (int visit = 0; visit < 400; ++visit) {
    const VisitPlan plan = PlanVisit(options, rng, visit % 2 ? &deck : nullptr);
    SCOPED_TRACE(Describe(plan));
    ASSERT_GE(plan.steps.size(), 5u);
    EXPECT_EQ(plan.steps.front().line, "dock");
    bool cleared = false, left = false, undocked = false;
    int faults = 0;
    for (const Step& s : plan.steps) {
      seen_requests.insert(s.request.Text().substr(0, s.request.Text().find(' ', 8)));
      if (s.kind == Step::kFaultOn) {
        EXPECT_FALSE(cleared) << "a fault after the clearing";
        EXPECT_TRUE(s.injection.fault == Fault::kEStop || s.injection.fault == Fault::kDrop);
        ++faults;
      }
      cleared = cleared || s.kind == Step::kClearFaults;
      left = left || (s.kind == Step::kAskUntil && s.request.kind == Request::kDock && !s.request.stay);
      undocked = undocked || s.line == "undock";
    }
    EXPECT_TRUE(cleared && left && undocked);
    EXPECT_EQ(faults, plan.faults);
    EXPECT_TRUE(plan.steps.back().line == "undock" || plan.steps.back().kind == Step::kAskUntil);
  }
  EXPECT_GE(seen_requests.size(), 12u) << "the visits use many kinds of request";
  options.faults.clear();
  for (int visit = 0; visit < 50; ++visit) EXPECT_EQ(PlanVisit(options, rng, &deck).faults, 0);
}

// (DaemonIdle is one comparison with the daemon's idle status line: nothing to test.)
TEST(SoakReadingsTest, SimulatorAnswers) {
  station_sim::StationSim sim;
  EXPECT_EQ(SafetyViolations(sim.Execute("safety")), 0);
  EXPECT_EQ(SafetyViolations("heat_wire_without_fan: 2\nviolations: 3, first 3 kept:\n  ...\n"), 3);
  EXPECT_EQ(SafetyViolations("error: unknown command"), -1);
  EXPECT_TRUE(ActuatorsOff(sim.Execute("status")));
  const std::string busy = "tank: 0 ml\nactuators: fan(6) heatwire(5)\nled: 1\n";
  EXPECT_FALSE(ActuatorsOff(busy));
  EXPECT_EQ(ActuatorsLine(busy), "fan(6) heatwire(5)");
  EXPECT_FALSE(ActuatorsOff("")) << "no answer is not idle";
}

VisitReport Failed(const std::string& violation, const std::string& line) {
  VisitReport report;
  report.requests = 4;
  report.faults = 1;
  report.violations = {violation};
  report.transcript.Add(0.5, line);
  return report;
}

TEST(SoakTallyTest, CountsEverythingAndKeepsTheFirstFailureWhole) {
  Tally tally;
  VisitReport clean;
  clean.requests = 3;
  tally.Record(1, clean);
  EXPECT_EQ(tally.ExitCode(), 0);
  EXPECT_NE(tally.Summary(9).find("no violations"), std::string::npos);

  tally.Record(2, Failed("no reply to 'dock leave' within 20.00 s", "-> dock leave"));
  tally.Record(3, Failed("safety monitor: 1 violation(s)", "fault on (estop): estop on"));
  EXPECT_EQ(tally.ExitCode(), 1);
  EXPECT_EQ(tally.visits(), 3);
  EXPECT_EQ(tally.requests(), 11);
  EXPECT_EQ(tally.faults(), 2);
  EXPECT_EQ(tally.violations(), 2);
  EXPECT_EQ(tally.failed_visits(), 2);
  const std::string summary = tally.Summary(9);
  EXPECT_EQ(summary.rfind("seed 9:", 0), 0u) << "the seed to run it again: " << summary;
  EXPECT_NE(summary.find("first failing visit: 2"), std::string::npos);
  EXPECT_NE(summary.find("   0.500  -> dock leave"), std::string::npos) << summary;
  EXPECT_EQ(summary.find("estop on"), std::string::npos) << "only the first failing visit is kept";
}

}  // namespace
}  // namespace soak
