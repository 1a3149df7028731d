// The simulator's command language, shared by stdin, the control socket and
// in-process callers.

#include <google/protobuf/descriptor.h>
#include <google/protobuf/reflection.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <vector>

#include "sim/station_sim.h"

namespace station_sim {

namespace {

bool ParseInt(const std::string& text, int* out) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < 0 || v > 1000000000) {
    return false;
  }
  *out = static_cast<int>(v);
  return true;
}

bool ParseNumber(const std::string& text, double* out) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || v != v) {
    return false;
  }
  *out = v;
  return true;
}

bool ParseOnOff(const std::string& text, bool* out) {
  if (text == "on" || text == "1" || text == "true") {
    *out = true;
    return true;
  }
  if (text == "off" || text == "0" || text == "false") {
    *out = false;
    return true;
  }
  return false;
}

std::string FieldText(const station::SensorsDataRep& r, const google::protobuf::FieldDescriptor* f) {
  using google::protobuf::FieldDescriptor;
  const auto* refl = r.GetReflection();
  std::ostringstream out;
  switch (f->cpp_type()) {
    case FieldDescriptor::CPPTYPE_BOOL:
      out << (refl->GetBool(r, f) ? "true" : "false");
      break;
    case FieldDescriptor::CPPTYPE_UINT32:
      out << refl->GetUInt32(r, f);
      break;
    case FieldDescriptor::CPPTYPE_INT32:
      out << refl->GetInt32(r, f);
      break;
    case FieldDescriptor::CPPTYPE_FLOAT:
      out << refl->GetFloat(r, f);
      break;
    default:
      out << "?";
  }
  return out.str();
}

const char* StaleName(StaleMode m) {
  switch (m) {
    case StaleMode::kOnly:
      return "only";
    case StaleMode::kFirst:
      return "first";
    default:
      return "off";
  }
}

std::string Error(const std::string& what) { return "error: " + what + " (try 'help')"; }

// One console line, split into words.
struct Line {
  const std::string& text;
  std::vector<std::string> w;
  size_t size() const { return w.size(); }
};

std::string Unknown(const Line& in) { return Error("unknown command: " + in.text); }
std::string BadSwitch(const Line& in) { return Error("bad fault switch: " + in.text); }

using Handler = std::function<std::string(StationSim&, const Line&)>;

// A row of the console language. The help lists the rows in order: a row's
// usage is its name and synopsis, padded to the help column. Adjacent rows with
// the same help share one line ("dock | undock"); rows whose help is empty are
// shorthands, listed several to a line without one; rows without help are
// described by another row's help and not listed.
struct Command {
  const char* name;  // the words the line starts with; the longest match wins
  const char* synopsis;
  const char* help;
  Handler run;
};

constexpr size_t kUsageColumn = 28;
constexpr size_t kHelpWidth = 80;
constexpr char kShorthand[] = "";

// The shorthands SupplyShorthand knows.
constexpr char kSupplyTypesHelp[] =
    "supply types: tap charging supply sewage heatwire fan dust selfclean uv sorter cleanliquid perfume\n"
    "              drain handcharge restart reset ultrasonic\n";

std::string ListSensors(StationSim& sim, const Line&) {
  const station::SensorsDataRep r = sim.Sensors();
  std::ostringstream out;
  const auto* d = r.GetDescriptor();
  for (int i = 0; i < d->field_count(); ++i) {
    out << d->field(i)->name() << " = " << FieldText(r, d->field(i)) << "\n";
  }
  return out.str();
}

std::string ListCommands(StationSim& sim, const Line& in) {
  if (in.size() == 2 && in.w[1] == "clear") {
    sim.ClearReceivedCommands();
    return "ok: command list cleared";
  }
  std::ostringstream out;
  for (const auto& c : sim.ReceivedCommands()) {
    out << "seq " << c.seq_();
    if (c.has_cmd_()) {
      out << " " << SupplyShorthand(c.cmd_().supply_type_()) << "(" << c.cmd_().supply_type_() << ") action "
          << c.cmd_().action_();
    }
    if (c.has_change_led_()) {
      out << " led " << c.change_led_().led_cmd_();
    }
    out << "\n";
  }
  return out.str().empty() ? "no commands received" : out.str();
}

std::string DockOrUndock(StationSim& sim, const Line& in) {
  if (in.size() != 1) {
    return Unknown(in);
  }
  const bool dock = in.w[0] == "dock";
  sim.Dock(dock);
  return dock ? "ok: robot docked" : "ok: robot left";
}

std::string PlugOrUnplug(StationSim& sim, const Line& in) {
  if (in.size() != 1) {
    return Unknown(in);
  }
  const bool plug = in.w[0] == "plug";
  sim.Plug(plug);
  return plug ? "ok: hand charger plugged in" : "ok: hand charger unplugged";
}

// What a technician changes by hand: `yes` sets every one of `fields` to 1, `no` to 0.
Handler SensorShorthand(const char* yes, const char* no, std::vector<const char*> fields) {
  return [yes, no, fields](StationSim& sim, const Line& in) {
    if (in.size() != 2 || (in.w[1] != yes && in.w[1] != no)) {
      return Unknown(in);
    }
    for (const char* field : fields) {
      sim.SetField(field, in.w[1] == yes ? "1" : "0");
    }
    return "ok: " + in.w[0] + " " + in.w[1];
  };
}

std::string SetOrPin(StationSim& sim, const Line& in) {
  if (in.size() != 3) {
    return Unknown(in);
  }
  const bool pin = in.w[0] == "pin";
  const bool ok = pin ? sim.Pin(in.w[1], in.w[2]) : sim.SetField(in.w[1], in.w[2]);
  return ok ? "ok: " + in.w[1] + " = " + in.w[2] + (pin ? " (pinned)" : "")
            : Error("unknown field or bad value: " + in.w[1] + " " + in.w[2]);
}

std::string UnpinField(StationSim& sim, const Line& in) {
  if (in.size() != 2) {
    return Unknown(in);
  }
  return sim.Unpin(in.w[1]) ? "ok: " + in.w[1] + " follows the model again" : Error(in.w[1] + " is not pinned");
}

std::string SetTank(StationSim& sim, const Line& in) {
  double ml = 0;
  if (in.size() != 2 || !ParseNumber(in.w[1], &ml)) {
    return Unknown(in);
  }
  sim.SetTankVolume(ml);
  return "ok: tank holds " + std::to_string(static_cast<long>(sim.tank_volume())) + " ml";
}

std::string SetSewage(StationSim& sim, const Line& in) {
  double level = 0;
  if (in.size() != 2 || !ParseNumber(in.w[1], &level)) {
    return Unknown(in);
  }
  sim.SetSewageLevel(level);
  return "ok: sewage level " + std::to_string(static_cast<long>(sim.sewage_level()));
}

std::string Overload(StationSim& sim, const Line& in) {
  double seconds = 0;
  if (in.size() != 2 || !ParseNumber(in.w[1], &seconds) || seconds < 0) {
    return Unknown(in);
  }
  sim.SetSorterOverload(seconds);
  return "ok: tablet motor overloaded for " + in.w[1] + " s";
}

std::string FaultRefuse(StationSim& sim, const Line& in) {
  bool on = false;
  if (in.size() != 4 || !ParseOnOff(in.w[3], &on)) {
    return BadSwitch(in);
  }
  if (in.w[2] == "led") {
    sim.RefuseLed(on);
    return std::string("ok: LED commands ") + (on ? "refused" : "accepted");
  }
  station::EnumSupplyType type;
  if (!ParseSupplyType(in.w[2], &type)) {
    return Error("unknown supply type " + in.w[2]);
  }
  sim.RefuseSupply(type, on);
  return std::string("ok: ") + SupplyShorthand(type) + " commands " + (on ? "refused" : "accepted");
}

std::string FaultStuck(StationSim& sim, const Line& in) {
  bool on = false;
  station::EnumSupplyType type;
  if (in.size() != 4 || !ParseOnOff(in.w[3], &on)) {
    return BadSwitch(in);
  }
  if (!ParseSupplyType(in.w[2], &type)) {
    return Error("unknown supply type " + in.w[2]);
  }
  sim.SetStuck(type, on);
  return std::string("ok: ") + SupplyShorthand(type) + (on ? " stuck on" : " follows its commands");
}

std::string FaultDelay(StationSim& sim, const Line& in) {
  int ms = 0;
  if (in.size() != 3 || !ParseInt(in.w[2], &ms)) {
    return BadSwitch(in);
  }
  sim.SetAckDelayMs(ms);
  return "ok: answers delayed by " + in.w[2] + " ms";
}

// A fault switch that is either on or off: `set` flips it, the answers say so.
Handler OnOffSwitch(void (StationSim::*set)(bool), const char* on_text, const char* off_text) {
  return [set, on_text, off_text](StationSim& sim, const Line& in) {
    bool on = false;
    if (in.size() != 3 || !ParseOnOff(in.w[2], &on)) {
      return BadSwitch(in);
    }
    (sim.*set)(on);
    return std::string(on ? on_text : off_text);
  };
}

std::string FaultStale(StationSim& sim, const Line& in) {
  if (in.size() != 3 || (in.w[2] != "off" && in.w[2] != "only" && in.w[2] != "first")) {
    return BadSwitch(in);
  }
  const std::string& mode = in.w[2];
  sim.SetStaleSeq(mode == "only" ? StaleMode::kOnly : mode == "first" ? StaleMode::kFirst : StaleMode::kOff);
  return "ok: stale answers " + mode;
}

std::string FaultSplit(StationSim& sim, const Line& in) {
  int bytes = 0;
  if ((in.size() != 3 && in.size() != 4) || !ParseInt(in.w[2], &bytes)) {
    return BadSwitch(in);
  }
  int gap = 0;
  if (in.size() == 4 && !ParseInt(in.w[3], &gap)) {
    return Error("bad gap " + in.w[3]);
  }
  sim.SetSplitWrites(bytes);
  if (in.size() == 4) {
    sim.SetSplitGapMs(gap);
  }
  return bytes > 0 ? "ok: frames written " + in.w[2] + " bytes at a time" : "ok: whole frames";
}

std::string FaultMerge(StationSim& sim, const Line& in) {
  int reports = 0;
  if (in.size() != 3 || !ParseInt(in.w[2], &reports) || reports < 1) {
    return BadSwitch(in);
  }
  sim.SetMergeReports(reports);
  return "ok: " + in.w[2] + " reports per write";
}

std::string FaultClose(StationSim& sim, const Line& in) {
  if (in.size() != 3 || (in.w[2] != "command" && in.w[2] != "sensor")) {
    return BadSwitch(in);
  }
  in.w[2] == "command" ? sim.CloseCommandConnection() : sim.CloseSensorConnection();
  return "ok: closing the " + in.w[2] + " connection";
}

std::string FaultGarbage(StationSim& sim, const Line& in) {
  if (in.size() != 3 || (in.w[2] != "command" && in.w[2] != "sensor")) {
    return BadSwitch(in);
  }
  in.w[2] == "command" ? sim.SendGarbageCommandReply() : sim.SendGarbageReport();
  return in.w[2] == "command" ? "ok: next answer is garbage" : "ok: next report is garbage";
}

std::string FaultClear(StationSim& sim, const Line& in) {
  if (in.size() != 2) {
    return BadSwitch(in);
  }
  sim.ClearFaults();
  return "ok: all fault switches off";
}

// Counts per invariant as "name: count (exposed N)" lines, then the total and the kept lines.
std::string SafetyText(StationSim& sim, const Line& in) {
  if (in.size() != 1) {
    return Unknown(in);
  }
  const SafetyReport report = sim.Safety();
  std::ostringstream out;
  for (const SafetyCount& c : report.counts) {
    out << c.name << ": " << c.count << " (exposed " << c.exposed << ")\n";
  }
  out << "violations: " << report.Total();
  if (report.lines.empty()) {
    return out.str() + "\n";
  }
  out << ", first " << report.lines.size() << " kept:\n";
  for (const std::string& line : report.lines) {
    out << "  " << line << "\n";
  }
  return out.str();
}

std::string SafetyReset(StationSim& sim, const Line& in) {
  if (in.size() != 2) {
    return Unknown(in);
  }
  sim.ResetSafety();
  return "ok: safety counts and lines cleared";
}

// "fault" followed by no switch the table knows.
std::string FaultUnknown(StationSim&, const Line& in) { return in.size() < 2 ? Unknown(in) : BadSwitch(in); }

const std::vector<Command>& Commands() {
  static const char kDock[] = "robot on / off the station (dock detectors, electrode plates)";
  static const char kPlug[] = "hand charger plugged in / out";
  static const char kLevels[] = "set the clean tank volume / the sewage level";
  static const std::vector<Command> kCommands = {
      {"status", "", "links, actuators, tank, sewage, LED, sensors, faults",
       [](StationSim& sim, const Line&) { return sim.StatusText(); }},
      {"sensors", "", "the sensor report as it is sent now", ListSensors},
      {"commands", "", "the commands received so far (clear: 'commands clear')", ListCommands},
      {"dock", "", kDock, DockOrUndock},
      {"undock", "", kDock, DockOrUndock},
      {"plug", "", kPlug, PlugOrUnplug},
      {"unplug", "", kPlug, PlugOrUnplug},
      {"dustbag", "in|out", kShorthand, SensorShorthand("in", "out", {"dustBagDet"})},
      {"dustcap", "in|out", kShorthand, SensorShorthand("in", "out", {"dustBoxCapDet"})},
      {"estop", "on|off", kShorthand, SensorShorthand("on", "off", {"emergencyStopState"})},
      {"selfcheck", "pass|fail", kShorthand,
       SensorShorthand("pass", "fail", {"initSensorsState", "initActuatorsState", "selfCheckState"})},
      {"usonicwater", "yes|no", kShorthand, SensorShorthand("yes", "no", {"ultrasonicWaterCheck"})},
      {"cleanliquid", "yes|no", kShorthand, SensorShorthand("yes", "no", {"cleaningLiquidDet"})},
      {"perfume", "yes|no", kShorthand, SensorShorthand("yes", "no", {"perfumeLiquidDet"})},
      {"set", "FIELD VALUE", "set a sensor field by name (model quantities move the model)", SetOrPin},
      {"pin", "FIELD VALUE", "hold a sensor field at a value; 'unpin FIELD' or 'unpin all'", SetOrPin},
      {"unpin", "FIELD", nullptr, UnpinField},
      {"tank", "ML", kLevels, SetTank},
      {"sewage", "LEVEL", kLevels, SetSewage},
      {"overload", "SECONDS", "tablet motor over-current for that long (0 ends it)", Overload},
      {"fault refuse", "TYPE|led on|off", "answer that supply type (tap, supply, drain, 1..17) with err_code_ 1",
       FaultRefuse},
      {"fault delay", "MS", "delay every answer", FaultDelay},
      {"fault drop", "on|off", "do not answer commands",
       OnOffSwitch(&StationSim::SetDropAcks, "ok: answers dropped", "ok: answers sent")},
      {"fault stale", "off|only|first", "answer with the previous seq_ (only), or a stale answer first", FaultStale},
      {"fault split", "BYTES [GAP_MS]", "write frames in pieces (0 = whole frames)", FaultSplit},
      {"fault merge", "N", "N sensor reports per write; with 'stale first', both answers in one write", FaultMerge},
      {"fault reports", "on|off", "keep the sensor link open but silent",
       OnOffSwitch(&StationSim::SetReportsEnabled, "ok: sensor reports flowing", "ok: sensor reports stopped")},
      {"fault hangup", "on|off", "close the command connection instead of answering",
       OnOffSwitch(&StationSim::SetHangupOnCommand, "ok: commands answered by closing the connection",
                   "ok: commands answered")},
      {"fault fanstall", "on|off", "the drying fan stops turning whatever it is told",
       OnOffSwitch(&StationSim::SetFanStalled, "ok: heat fan stalled", "ok: heat fan turns when told")},
      {"fault stuck", "TYPE on|off", "that output stays on whatever it is told (a welded relay)", FaultStuck},
      {"fault close", "command|sensor", "close that connection now", FaultClose},
      {"fault garbage", "command|sensor", "next answer / next report is an undecodable frame", FaultGarbage},
      {"fault clear", "", "every fault switch off", FaultClear},
      {"fault", "", nullptr, FaultUnknown},
      {"safety", "", "safety violations: counts per invariant, the first ones as lines", SafetyText},
      {"safety reset", "", "clear the safety counts and lines", SafetyReset},
      {"help", "", "this text", [](StationSim&, const Line&) { return StationSim::HelpText(); }},
      {"?", "", nullptr, [](StationSim&, const Line&) { return StationSim::HelpText(); }},
  };
  return kCommands;
}

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) {
    words.push_back(word);
  }
  return words;
}

// The row whose name is the longest run of leading words of `in`; null if none.
const Command* Find(const Line& in) {
  const Command* found = nullptr;
  size_t found_words = 0;
  for (const Command& c : Commands()) {
    const std::vector<std::string> name = Words(c.name);
    if (name.size() > found_words && name.size() <= in.size() && std::equal(name.begin(), name.end(), in.w.begin())) {
      found = &c;
      found_words = name.size();
    }
  }
  return found;
}

std::string Usage(const Command& c) { return *c.synopsis == '\0' ? c.name : std::string(c.name) + " " + c.synopsis; }

}  // namespace

std::string StationSim::HelpText() {
  const std::vector<Command>& commands = Commands();
  std::string out;
  std::string shorthands;
  auto end_shorthands = [&] {
    if (!shorthands.empty()) {
      out += shorthands + "\n";
      shorthands.clear();
    }
  };
  for (size_t i = 0; i < commands.size(); ++i) {
    const Command& c = commands[i];
    if (c.help == nullptr) {
      continue;
    }
    if (*c.help == '\0') {
      if (!shorthands.empty() && shorthands.size() + 2 + Usage(c).size() > kHelpWidth) {
        end_shorthands();
      }
      shorthands += (shorthands.empty() ? "" : "  ") + Usage(c);
      continue;
    }
    end_shorthands();
    std::string usage = Usage(c);
    while (i + 1 < commands.size() && commands[i + 1].help != nullptr &&
           std::strcmp(commands[i + 1].help, c.help) == 0) {
      usage += " | " + Usage(commands[++i]);
    }
    usage.resize(std::max(usage.size() + 1, kUsageColumn), ' ');
    out += usage + c.help + "\n";
  }
  end_shorthands();
  return out + kSupplyTypesHelp;
}

std::string StationSim::StatusText() const {
  const station::SensorsDataRep r = Sensors();
  const Faults f = faults();
  std::ostringstream out;
  out << "links:     command port " << command_port() << (command_connected() ? " (daemon connected)" : " (no daemon)")
      << ", sensor link " << (sensor_connected() ? "up" : "down") << ", " << reports_sent() << " reports sent\n";
  out << "tank:      " << static_cast<long>(tank_volume()) << " ml, foot level " << r.cleantankfootlevel()
      << ", up level " << r.cleantankuplevel() << ", flow meter " << r.flowmeter() << ", given to robot "
      << static_cast<long>(delivered_to_robot()) << " ml\n";
  out << "sewage:    level " << r.sewagefull() << ", sewageDet " << r.sewagedet() << ", overflow "
      << (r.issewageoverflow() ? "yes" : "no") << "\n";
  out << "robot:     "
      << (r.robotdockdetleft() && r.robotdockdetright() && r.electrodeplatedet() ? "docked" : "not docked")
      << ", hand charger " << (r.handchargeinsidedet() ? "plugged" : "unplugged") << "\n";
  out << "actuators:";
  bool any = false;
  for (int t = 1; t < station::EnumSupplyType_ARRAYSIZE; ++t) {
    const auto type = static_cast<station::EnumSupplyType>(t);
    if (ActuatorOn(type)) {
      out << " " << SupplyShorthand(t) << "(" << t << ")";
      const int p = ActuatorPower(type);
      if (p != 1) {
        out << "=" << p;
      }
      any = true;
    }
  }
  out << (any ? "\n" : " all off\n");
  const int led = last_led();
  out << "led:       " << led << " "
      << (station::EnumLedCmd_IsValid(led) ? station::EnumLedCmd_Name(static_cast<station::EnumLedCmd>(led)) : "?")
      << ", board resets " << board_resets() << "\n";
  out << "temps:     heat wire " << r.heatingwiretemp() << " C, plates " << r.electrodeplatetemp1() << "/"
      << r.electrodeplatetemp2() << " C, negative pressure " << r.negativepressure() << " Pa, tablets "
      << r.disinfectantplatenum() << (r.sortermotorcurrentstate() ? "" : " (motor OVERLOAD)") << "\n";
  std::ostringstream fs;
  for (int t : f.refused_types) {
    fs << " refuse:" << SupplyShorthand(t);
  }
  if (f.refuse_led) fs << " refuse:led";
  if (f.ack_delay_ms > 0) fs << " delay:" << f.ack_delay_ms << "ms";
  if (f.drop_acks) fs << " drop";
  if (f.stale != StaleMode::kOff) fs << " stale:" << StaleName(f.stale);
  if (f.split_bytes > 0) fs << " split:" << f.split_bytes << "B/" << f.split_gap_ms << "ms";
  if (f.merge_reports > 1) fs << " merge:" << f.merge_reports;
  if (!f.reports_on) fs << " reports:off";
  if (f.hangup_on_command) fs << " hangup";
  out << "faults:   " << (fs.str().empty() ? " none" : fs.str()) << "\n";
  return out.str();
}

std::string StationSim::Execute(const std::string& console_line) {
  const Line in{console_line, Words(console_line)};
  if (in.size() == 0) {
    return "";
  }
  const Command* command = Find(in);
  return command != nullptr ? command->run(*this, in) : Unknown(in);
}

}  // namespace station_sim
