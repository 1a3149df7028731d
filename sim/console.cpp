// The simulator's command language, shared by stdin, the control socket and
// in-process callers.

#include <google/protobuf/descriptor.h>
#include <google/protobuf/reflection.h>

#include <cstdlib>
#include <sstream>
#include <vector>

#include "sim/station_sim.h"

namespace station_sim {

namespace {

struct TypeName {
  const char* shorthand;
  station::EnumSupplyType type;
};

constexpr TypeName kTypeNames[] = {
    {"tap", station::ENUM_SUPPLY_TAP_WATER_SWITCH},
    {"charging", station::ENUM_SUPPLY_CHARGING},
    {"supply", station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH},
    {"sewage", station::ENUM_SUPPLY_SEWAGE_PUMP},
    {"heatwire", station::ENUM_SUPPLY_HEATING_WIRE},
    {"fan", station::ENUM_SUPPLY_HEATING_FAN},
    {"dust", station::ENUM_SUPPLY_COLLECT_DUST},
    {"selfclean", station::ENUM_SUPPLY_SELF_CLEAN_PUMP},
    {"uv", station::ENUM_SUPPLY_UV_LAMP},
    {"sorter", station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR},
    {"cleanliquid", station::ENUM_SUPPLY_CLEANING_LIQUID_PUMP},
    {"perfume", station::ENUM_SUPPLY_PERFUME_PUMP},
    {"drain", station::ENUM_SUPPLY_DRAINAGE_SWITCH},
    {"handcharge", station::ENUM_SUPPLY_HAND_CHARGE},
    {"restart", station::ENUM_SUPPLY_RESTART_MCU},
    {"reset", station::ENUM_SUPPLY_RESET_MCU},
    {"ultrasonic", station::ENUM_SUPPLY_ULTRASONIC},
};

const char* Shorthand(int type) {
  for (const auto& n : kTypeNames) {
    if (n.type == type) {
      return n.shorthand;
    }
  }
  return "?";
}

// Accepts the shorthand, the schema name or the number.
bool ParseType(const std::string& text, station::EnumSupplyType* out) {
  for (const auto& n : kTypeNames) {
    if (text == n.shorthand) {
      *out = n.type;
      return true;
    }
  }
  station::EnumSupplyType t;
  if (station::EnumSupplyType_Parse(text, &t) && t != station::ENUM_SUPPLY_INVALID) {
    *out = t;
    return true;
  }
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (!text.empty() && *end == '\0' && v > 0 && v < station::EnumSupplyType_ARRAYSIZE) {
    *out = static_cast<station::EnumSupplyType>(v);
    return true;
  }
  return false;
}

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

}  // namespace

std::string StationSim::HelpText() {
  return "status                      links, actuators, tank, sewage, LED, sensors, faults\n"
         "sensors                     the sensor report as it is sent now\n"
         "commands                    the commands received so far (clear: 'commands clear')\n"
         "dock | undock               robot on / off the station (dock detectors, electrode plates)\n"
         "plug | unplug               hand charger plugged in / out\n"
         "dustbag in|out  dustcap in|out  estop on|off  selfcheck pass|fail\n"
         "usonicwater yes|no  cleanliquid yes|no  perfume yes|no\n"
         "set FIELD VALUE             set a sensor field by name (model quantities move the model)\n"
         "pin FIELD VALUE             hold a sensor field at a value; 'unpin FIELD' or 'unpin all'\n"
         "tank ML | sewage LEVEL      set the clean tank volume / the sewage level\n"
         "overload SECONDS            tablet motor over-current for that long (0 ends it)\n"
         "fault refuse TYPE|led on|off answer that supply type (tap, supply, drain, 1..17) with err_code_ 1\n"
         "fault delay MS              delay every answer\n"
         "fault drop on|off           do not answer commands\n"
         "fault stale off|only|first  answer with the previous seq_ (only), or a stale answer first\n"
         "fault split BYTES [GAP_MS]  write frames in pieces (0 = whole frames)\n"
         "fault merge N               N sensor reports per write; with 'stale first', both answers in one write\n"
         "fault reports on|off        keep the sensor link open but silent\n"
         "fault hangup on|off         close the command connection instead of answering\n"
         "fault close command|sensor  close that connection now\n"
         "fault garbage command|sensor next answer / next report is an undecodable frame\n"
         "fault clear                 every fault switch off\n"
         "help                        this text\n"
         "supply types: tap charging supply sewage heatwire fan dust selfclean uv sorter cleanliquid perfume\n"
         "              drain handcharge restart reset ultrasonic\n";
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
      out << " " << Shorthand(t) << "(" << t << ")";
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
    fs << " refuse:" << Shorthand(t);
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

std::string StationSim::Execute(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string word; in >> word;) {
    w.push_back(word);
  }
  if (w.empty()) {
    return "";
  }
  const std::string& cmd = w[0];
  const size_t n = w.size();
  if (cmd == "help" || cmd == "?") {
    return HelpText();
  }
  if (cmd == "status") {
    return StatusText();
  }
  if (cmd == "sensors") {
    const station::SensorsDataRep r = Sensors();
    std::ostringstream out;
    const auto* d = r.GetDescriptor();
    for (int i = 0; i < d->field_count(); ++i) {
      out << d->field(i)->name() << " = " << FieldText(r, d->field(i)) << "\n";
    }
    return out.str();
  }
  if (cmd == "commands") {
    if (n == 2 && w[1] == "clear") {
      ClearReceivedCommands();
      return "ok: command list cleared";
    }
    std::ostringstream out;
    for (const auto& c : ReceivedCommands()) {
      out << "seq " << c.seq_();
      if (c.has_cmd_()) {
        out << " " << Shorthand(c.cmd_().supply_type_()) << "(" << c.cmd_().supply_type_() << ") action "
            << c.cmd_().action_();
      }
      if (c.has_change_led_()) {
        out << " led " << c.change_led_().led_cmd_();
      }
      out << "\n";
    }
    return out.str().empty() ? "no commands received" : out.str();
  }
  if ((cmd == "dock" || cmd == "undock") && n == 1) {
    Dock(cmd == "dock");
    return cmd == "dock" ? "ok: robot docked" : "ok: robot left";
  }
  if ((cmd == "plug" || cmd == "unplug") && n == 1) {
    Plug(cmd == "plug");
    return cmd == "plug" ? "ok: hand charger plugged in" : "ok: hand charger unplugged";
  }
  // Shorthands for what a technician changes by hand.
  if (n == 2) {
    struct Alias {
      const char* cmd;
      const char* yes;
      const char* no;
      std::vector<const char*> fields;
    };
    static const Alias kAliases[] = {
        {"dustbag", "in", "out", {"dustBagDet"}},
        {"dustcap", "in", "out", {"dustBoxCapDet"}},
        {"estop", "on", "off", {"emergencyStopState"}},
        {"selfcheck", "pass", "fail", {"initSensorsState", "initActuatorsState", "selfCheckState"}},
        {"usonicwater", "yes", "no", {"ultrasonicWaterCheck"}},
        {"cleanliquid", "yes", "no", {"cleaningLiquidDet"}},
        {"perfume", "yes", "no", {"perfumeLiquidDet"}},
    };
    for (const Alias& a : kAliases) {
      if (cmd == a.cmd && (w[1] == a.yes || w[1] == a.no)) {
        for (const char* field : a.fields) {
          SetField(field, w[1] == a.yes ? "1" : "0");
        }
        return "ok: " + cmd + " " + w[1];
      }
    }
  }
  if ((cmd == "set" || cmd == "pin") && n == 3) {
    const bool ok = cmd == "set" ? SetField(w[1], w[2]) : Pin(w[1], w[2]);
    return ok ? "ok: " + w[1] + " = " + w[2] + (cmd == "pin" ? " (pinned)" : "")
              : Error("unknown field or bad value: " + w[1] + " " + w[2]);
  }
  if (cmd == "unpin" && n == 2) {
    return Unpin(w[1]) ? "ok: " + w[1] + " follows the model again" : Error(w[1] + " is not pinned");
  }
  double number = 0;
  if (cmd == "tank" && n == 2 && ParseNumber(w[1], &number)) {
    SetTankVolume(number);
    return "ok: tank holds " + std::to_string(static_cast<long>(tank_volume())) + " ml";
  }
  if (cmd == "sewage" && n == 2 && ParseNumber(w[1], &number)) {
    SetSewageLevel(number);
    return "ok: sewage level " + std::to_string(static_cast<long>(sewage_level()));
  }
  if (cmd == "overload" && n == 2 && ParseNumber(w[1], &number) && number >= 0) {
    SetSorterOverload(number);
    return "ok: tablet motor overloaded for " + w[1] + " s";
  }
  if (cmd != "fault" || n < 2) {
    return Error("unknown command: " + line);
  }

  const std::string& what = w[1];
  int value = 0;
  bool on = false;
  if (what == "refuse" && n == 4 && ParseOnOff(w[3], &on)) {
    if (w[2] == "led") {
      RefuseLed(on);
      return std::string("ok: LED commands ") + (on ? "refused" : "accepted");
    }
    station::EnumSupplyType type;
    if (!ParseType(w[2], &type)) {
      return Error("unknown supply type " + w[2]);
    }
    RefuseSupply(type, on);
    return std::string("ok: ") + Shorthand(type) + " commands " + (on ? "refused" : "accepted");
  }
  if (what == "delay" && n == 3 && ParseInt(w[2], &value)) {
    SetAckDelayMs(value);
    return "ok: answers delayed by " + w[2] + " ms";
  }
  if (what == "drop" && n == 3 && ParseOnOff(w[2], &on)) {
    SetDropAcks(on);
    return on ? "ok: answers dropped" : "ok: answers sent";
  }
  if (what == "stale" && n == 3 && (w[2] == "off" || w[2] == "only" || w[2] == "first")) {
    SetStaleSeq(w[2] == "only" ? StaleMode::kOnly : w[2] == "first" ? StaleMode::kFirst : StaleMode::kOff);
    return "ok: stale answers " + w[2];
  }
  if (what == "split" && (n == 3 || n == 4) && ParseInt(w[2], &value)) {
    int gap = 0;
    if (n == 4 && !ParseInt(w[3], &gap)) {
      return Error("bad gap " + w[3]);
    }
    SetSplitWrites(value);
    if (n == 4) {
      SetSplitGapMs(gap);
    }
    return value > 0 ? "ok: frames written " + w[2] + " bytes at a time" : "ok: whole frames";
  }
  if (what == "merge" && n == 3 && ParseInt(w[2], &value) && value >= 1) {
    SetMergeReports(value);
    return "ok: " + w[2] + " reports per write";
  }
  if (what == "reports" && n == 3 && ParseOnOff(w[2], &on)) {
    SetReportsEnabled(on);
    return on ? "ok: sensor reports flowing" : "ok: sensor reports stopped";
  }
  if (what == "hangup" && n == 3 && ParseOnOff(w[2], &on)) {
    SetHangupOnCommand(on);
    return on ? "ok: commands answered by closing the connection" : "ok: commands answered";
  }
  if (what == "close" && n == 3 && (w[2] == "command" || w[2] == "sensor")) {
    w[2] == "command" ? CloseCommandConnection() : CloseSensorConnection();
    return "ok: closing the " + w[2] + " connection";
  }
  if (what == "garbage" && n == 3 && (w[2] == "command" || w[2] == "sensor")) {
    w[2] == "command" ? SendGarbageCommandReply() : SendGarbageReport();
    return w[2] == "command" ? "ok: next answer is garbage" : "ok: next report is garbage";
  }
  if (what == "clear" && n == 2) {
    ClearFaults();
    return "ok: all fault switches off";
  }
  return Error("bad fault switch: " + line);
}

}  // namespace station_sim
