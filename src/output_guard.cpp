#include "output_guard.h"

#include <algorithm>
#include <utility>

#include "config.h"
#include "logger.h"

namespace station_center {

namespace {

using S = station::EnumSupplyType;
constexpr S kNone = station::ENUM_SUPPLY_INVALID;

// Switch-off order: the heat wire before anything, its fan after everything.
constexpr int kFirst = 0;
constexpr int kAny = 10;
constexpr int kLast = 100;

// type, name, off rank, faces the robot, needs a fresh report, needs on
constexpr OutputRow kOutputs[] = {
    {station::ENUM_SUPPLY_TAP_WATER_SWITCH, "tap", kAny, false, false, kNone},
    {station::ENUM_SUPPLY_CHARGING, "charging", kAny, true, false, kNone},
    {station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, "supply-valve", kAny, true, false, kNone},
    {station::ENUM_SUPPLY_SEWAGE_PUMP, "sewage-pump", kAny, false, false, kNone},
    {station::ENUM_SUPPLY_HEATING_WIRE, "heat-wire", kFirst, false, true, station::ENUM_SUPPLY_HEATING_FAN},
    {station::ENUM_SUPPLY_HEATING_FAN, "heat-fan", kLast, false, false, kNone},
    {station::ENUM_SUPPLY_COLLECT_DUST, "dust-fan", kAny, false, false, kNone},
    {station::ENUM_SUPPLY_SELF_CLEAN_PUMP, "spray-pump", kAny, true, false, kNone},
    {station::ENUM_SUPPLY_UV_LAMP, "uv-lamp", kAny, true, false, kNone},
    {station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR, "tablet-motor", kAny, false, false, kNone},
    {station::ENUM_SUPPLY_CLEANING_LIQUID_PUMP, "clean-liquid-pump", kAny, false, false, kNone},
    {station::ENUM_SUPPLY_PERFUME_PUMP, "perfume-pump", kAny, false, false, kNone},
    {station::ENUM_SUPPLY_DRAINAGE_SWITCH, "drain-valve", kAny, false, false, kNone},
    {station::ENUM_SUPPLY_HAND_CHARGE, "hand-charge", kAny, false, false, kNone},
    {station::ENUM_SUPPLY_ULTRASONIC, "ultrasonic", kAny, true, false, kNone},  // washes the robot's rake
};

// The fan's feedback may show it stopped this long under a live wire.
constexpr int64_t kFanStoppedMillis = 2000;
// A report counts as fresh for one report period plus this.
constexpr int64_t kFreshMarginMillis = 1000;
constexpr int64_t kLongestPeriodMillis = 5000;
// A "still on" line that did not change is repeated this often.
constexpr int64_t kLeftOnRepeatMillis = 10000;

// The caller's core lock, let go for board exchanges and taken back however they end.
class Released {
 public:
  explicit Released(std::mutex* core) : core_(core) {
    if (core_) {
      core_->unlock();
    }
  }
  ~Released() {
    if (core_) {
      core_->lock();
    }
  }
  Released(const Released&) = delete;
  Released& operator=(const Released&) = delete;

 private:
  std::mutex* core_;
};

station::ActionCommand Off(S type) {
  station::ActionCommand cmd;
  cmd.set_supply_type_(type);
  cmd.set_action_(0);
  return cmd;
}

}  // namespace

const OutputRow* OutputRowOf(int type) {
  for (const OutputRow& row : kOutputs) {
    if (row.type == type) {
      return &row;
    }
  }
  return nullptr;
}

OutputGuard::OutputGuard(std::shared_ptr<EmbeddedCommunicator> link, std::shared_ptr<const Clock> clock)
    : link_(std::move(link)), clock_(std::move(clock)) {}

bool OutputGuard::Send(const station::ActionCommand& cmd, bool urgent, std::mutex* core) {
  if (!link_) {
    return false;
  }
  // The board may take seconds to answer, or never: the core's lock is let go
  // for the whole call so requests, the other tasks and the sensor reports go on
  // meanwhile. Callers re-read the task table and the snapshot afterwards.
  const OutputRow* row = OutputRowOf(cmd.supply_type_());
  if (row && cmd.action_() == 0) {
    // The station's word is off from the moment it is asked, before the lock goes:
    // a dependent's pass that runs meanwhile must already find its interlock gone.
    std::lock_guard<std::mutex> lock(mutex_);
    state(row->type).commanded = 0;
  }
  const Released released(core);
  if (!row) {
    return SendBoardCommand(cmd, urgent);
  }
  return cmd.action_() != 0 ? SwitchOn(*row, cmd, urgent) : SwitchOff(*row, urgent);
}

bool OutputGuard::SwitchOn(const OutputRow& row, const station::ActionCommand& cmd, bool urgent) {
  const int action = cmd.action_();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string why = OnRefusalLocked(row);
    if (!why.empty()) {
      LOG_WARN("{} not switched on: {}", row.name, why);
      return false;
    }
    OutputState& s = state(row.type);
    s.commanded = action;
    s.must_off = false;
    s.refusals = 0;
    ++s.in_flight;
    ++exchanges_;
  }
  // Checked again when the board's turn comes: a stop pressed, a fan-off or a
  // switch-off asked for meanwhile wins over this switch-on.
  const auto still_wanted = [this, &row, action] {
    std::lock_guard<std::mutex> lock(mutex_);
    return state(row.type).commanded == action && OnRefusalLocked(row).empty();
  };
  const bool ok = link_->DoAction(cmd, urgent, still_wanted);
  std::lock_guard<std::mutex> lock(mutex_);
  OutputState& s = state(row.type);
  --s.in_flight;
  --exchanges_;
  if (ok) {
    s.confirmed = action;
  }
  changed_.notify_all();
  return ok;
}

bool OutputGuard::SwitchOff(const OutputRow& row, bool urgent) {
  std::vector<const OutputRow*> dependents;
  for (const OutputRow& other : kOutputs) {
    if (other.needs_on == row.type) {
      dependents.push_back(&other);
    }
  }
  if (dependents.empty()) {
    return SendOffOnce(row, urgent);
  }
  {
    std::unique_lock<std::mutex> lock(mutex_);
    state(row.type).commanded = 0;
    ++state(row.type).off_pending;  // from here on no dependent switches on
    // A dependent's command already on its way goes first; its off follows it.
    changed_.wait(lock, [&] {
      return std::all_of(dependents.begin(), dependents.end(),
                         [&](const OutputRow* d) { return state(d->type).in_flight == 0; });
    });
  }
  bool dependents_off = true;
  for (const OutputRow* d : dependents) {
    dependents_off = SendOffOnce(*d, urgent) && dependents_off;
  }
  bool ok = false;
  if (dependents_off) {
    ok = SendOffOnce(row, urgent);
  } else {
    LOG_WARN("{} stays on until {} is confirmed off", row.name, dependents.front()->name);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  OutputState& s = state(row.type);
  --s.off_pending;
  if (!ok && !dependents_off) {
    s.must_off = true;  // still wanted off, once the dependents are
    ++s.refusals;
  }
  return ok;
}

bool OutputGuard::SendOffOnce(const OutputRow& row, bool urgent) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    OutputState& s = state(row.type);
    s.commanded = 0;
    ++s.in_flight;
    ++exchanges_;
  }
  // A switch-on asked for since (it passed every check) is the station's latest word.
  const auto still_wanted = [this, &row] {
    std::lock_guard<std::mutex> lock(mutex_);
    return state(row.type).commanded == 0;
  };
  const bool ok = link_->DoAction(Off(row.type), urgent, still_wanted);
  std::lock_guard<std::mutex> lock(mutex_);
  OutputState& s = state(row.type);
  --s.in_flight;
  --exchanges_;
  if (ok) {
    s.confirmed = 0;
    s.must_off = false;
    s.refusals = 0;
  } else if (s.commanded == 0) {
    s.must_off = true;
    ++s.refusals;
  }
  changed_.notify_all();
  return ok;
}

bool OutputGuard::SendBoardCommand(const station::ActionCommand& cmd, bool urgent) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++exchanges_;
  }
  const bool ok = link_->DoAction(cmd, urgent);
  const bool resets =
      cmd.supply_type_() == station::ENUM_SUPPLY_RESET_MCU || cmd.supply_type_() == station::ENUM_SUPPLY_RESTART_MCU;
  std::lock_guard<std::mutex> lock(mutex_);
  --exchanges_;
  if (ok && resets) {
    // The board switches everything it drives off; a command still on its way
    // is the station's word after the reset.
    for (const OutputRow& row : kOutputs) {
      OutputState& s = state(row.type);
      s.confirmed = 0;
      s.must_off = false;
      s.refusals = 0;
      if (s.in_flight == 0) {
        s.commanded = 0;
      }
    }
  }
  changed_.notify_all();
  return ok;
}

void OutputGuard::SetHold(OutputHold hold, bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!on) {
    holds_ &= ~static_cast<uint32_t>(hold);
    return;
  }
  holds_ |= hold;
  switched_off_logged_ = false;
  for (const OutputRow& row : kOutputs) {
    OutputState& s = state(row.type);
    if (MayBeOnLocked(s)) {
      s.must_off = true;
    }
  }
}

bool OutputGuard::held() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return holds_ != 0;
}

bool OutputGuard::RequireOff(station::EnumSupplyType type) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!OutputRowOf(type) || !MayBeOnLocked(state(type)) || state(type).must_off) {
    return false;
  }
  state(type).must_off = true;
  return true;
}

std::vector<const OutputRow*> OutputGuard::RequiredOffLocked() const {
  const bool robot_here = report_.robot_in_position && ReportFreshLocked();
  std::vector<const OutputRow*> rows;
  for (const OutputRow& row : kOutputs) {
    const OutputState& s = state(row.type);
    const bool may_be_on = MayBeOnLocked(s);
    if (s.must_off || (may_be_on && holds_ != 0) || (may_be_on && row.faces_robot && !robot_here)) {
      rows.push_back(&row);
    }
  }
  std::stable_sort(rows.begin(), rows.end(),
                   [](const OutputRow* a, const OutputRow* b) { return a->off_rank < b->off_rank; });
  return rows;
}

bool OutputGuard::SwitchOffRequired(bool urgent, std::mutex* core) {
  if (!link_) {
    return false;
  }
  // Switch-offs may wait on a slow board: the core's lock is let go meanwhile,
  // as for any command (see Send).
  const Released released(core);
  std::vector<const OutputRow*> left;
  bool held = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    left = RequiredOffLocked();
    held = holds_ != 0;
  }
  // Under a hold one board reset switches everything off in a single exchange,
  // however slow the board; one by one only what it did not confirm.
  if (held && !left.empty()) {
    station::ActionCommand reset;
    reset.set_supply_type_(station::ENUM_SUPPLY_RESET_MCU);
    reset.set_action_(1);
    SendBoardCommand(reset, urgent);
    std::lock_guard<std::mutex> lock(mutex_);
    left = RequiredOffLocked();
  }
  for (const OutputRow* row : left) {
    SwitchOff(*row, urgent);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    left = RequiredOffLocked();
  }
  LogLeftOn(left);
  return left.empty();
}

void OutputGuard::LogLeftOn(const std::vector<const OutputRow*>& left) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (left.empty()) {
    if (!switched_off_logged_) {
      LOG_WARN("every output switched off, confirmed by the board");
      switched_off_logged_ = true;
    }
    left_on_line_.clear();
    return;
  }
  switched_off_logged_ = false;
  std::string line;
  for (const OutputRow* row : left) {
    const int refusals = state(row->type).refusals;
    line += std::string(line.empty() ? "" : ", ") + row->name + " (refused " + std::to_string(refusals) +
            (refusals == 1 ? " time)" : " times)");
  }
  const int64_t now = clock_->NowMillis();
  if (line != left_on_line_ || now - left_on_logged_millis_ >= kLeftOnRepeatMillis) {
    LOG_WARN("still on, switched off again every second: {}", line);
    left_on_line_ = line;
    left_on_logged_millis_ = now;
  }
}

OutputGuard::ReportVerdict OutputGuard::NoteReport(const ReportFacts& facts) {
  std::lock_guard<std::mutex> lock(mutex_);
  ReportVerdict verdict;
  const int64_t gap = facts.arrived_millis - report_.arrived_millis;
  if (report_.arrived_millis > 0 && gap > 0) {
    report_period_millis_ = std::min(gap, kLongestPeriodMillis);
  }
  report_ = facts;
  for (const OutputRow& row : kOutputs) {
    OutputState& s = state(row.type);
    if (row.faces_robot && !facts.robot_in_position && MayBeOnLocked(s) && !s.must_off) {
      s.must_off = true;
      verdict.switch_off = true;
    }
  }
  OutputState& wire = state(station::ENUM_SUPPLY_HEATING_WIRE);
  if (facts.fan_running || !g_config.heat_fan_feedback_check) {
    fan_stopped_since_ = -1;
    fan_fault_ = false;
    return verdict;
  }
  if (!MayBeOnLocked(wire)) {
    fan_stopped_since_ = -1;
    return verdict;
  }
  if (fan_stopped_since_ < 0) {
    fan_stopped_since_ = facts.arrived_millis;
  }
  if (fan_fault_ || facts.arrived_millis - fan_stopped_since_ < kFanStoppedMillis) {
    return verdict;
  }
  fan_fault_ = true;
  wire.must_off = true;
  verdict.switch_off = verdict.fan_stopped = true;
  return verdict;
}

bool OutputGuard::ReportFresh() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ReportFreshLocked();
}

bool OutputGuard::ReportFreshLocked() const {
  return report_.arrived_millis > 0 &&
         clock_->NowMillis() - report_.arrived_millis <= report_period_millis_ + kFreshMarginMillis;
}

bool OutputGuard::InterlockAllows(station::EnumSupplyType type) const {
  const OutputRow* row = OutputRowOf(type);
  std::lock_guard<std::mutex> lock(mutex_);
  return row && InterlockRefusalLocked(*row).empty();
}

std::string OutputGuard::OnRefusalLocked(const OutputRow& row) const {
  if (holds_ & kHoldEmergencyStop) {
    return "emergency stop";
  }
  if (holds_ & kHoldStaleData) {
    return "sensor data stale";
  }
  if (holds_ & kHoldExit) {
    return "stopping";
  }
  const std::string interlock = InterlockRefusalLocked(row);
  if (!interlock.empty()) {
    return interlock;
  }
  if ((row.needs_fresh || row.faces_robot) && !ReportFreshLocked()) {
    return "no fresh sensor report";
  }
  if (row.faces_robot && !report_.robot_in_position) {
    return "robot not in position";
  }
  return std::string();
}

// The heat wire's fan: on, confirmed, not being switched off, and turning.
std::string OutputGuard::InterlockRefusalLocked(const OutputRow& row) const {
  if (row.needs_on == kNone) {
    return std::string();
  }
  const OutputRow* needed = OutputRowOf(row.needs_on);
  const OutputState& n = state(row.needs_on);
  if (n.confirmed == 0 || n.commanded == 0 || n.off_pending > 0 || n.must_off) {
    return std::string(needed->name) + " not on";
  }
  if (fan_fault_) {
    return std::string(needed->name) + " feedback shows it stopped";
  }
  return std::string();
}

bool OutputGuard::MayBeOnLocked(const OutputState& s) const {
  return s.commanded != 0 || s.confirmed != 0 || s.in_flight > 0;
}

bool OutputGuard::HeldOnByDependent(station::EnumSupplyType type) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const OutputRow& row : kOutputs) {
    if (row.needs_on == type && MayBeOnLocked(state(row.type))) {
      return true;
    }
  }
  return false;
}

bool OutputGuard::MayBeOn(station::EnumSupplyType type) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return OutputRowOf(type) && MayBeOnLocked(state(type));
}

bool OutputGuard::Idle() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return exchanges_ == 0;
}

}  // namespace station_center
