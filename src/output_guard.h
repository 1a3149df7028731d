#pragma once

// The station's outputs and the one gate every board command passes: what each
// output's safe state is, which interlocks hold it, and what the board confirmed.

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bottom/embedded_communicator.h"
#include "clock.h"
#include "station/cmd.pb.h"
#include "station/station_report.pb.h"

namespace station_center {

// One output of the board. Its safe value is off (action 0), which a board
// reset also gives it.
struct OutputRow {
  station::EnumSupplyType type;
  const char* name;  // in the "still on" lines
  int off_rank;      // switch-off order when several go off together: lower first
  bool faces_robot;  // on only with the robot in position in a fresh report
  bool needs_fresh;  // on only with a fresh report (it is regulated on the readings)
  // Interlock: on only while this output is confirmed on with no switch-off of it
  // pending; switching this one off first switches the dependent off.
  station::EnumSupplyType needs_on;
};

// The row of supply type `type`; null for what is not an output (the board
// reset and restart, unknown types).
const OutputRow* OutputRowOf(int type);

// Why every output is held off; several may hold at once.
enum OutputHold : uint32_t {
  kHoldEmergencyStop = 1u << 0,
  kHoldStaleData = 1u << 1,
  kHoldExit = 1u << 2,
};

// What one sensor report showed the guard.
struct ReportFacts {
  bool robot_in_position = false;
  bool fan_running = false;  // the board's heating-fan feedback
  int64_t arrived_millis = 0;
};

// The only way an actuator command leaves the station. It refuses a switch-on
// that an interlock, a hold or the robot's absence forbids, orders switch-offs
// (a fan goes off only after the wire it cools), and keeps sending an output
// that must be off until the board confirms it.
// Threading: thread-safe; mutex_ is a leaf lock, never held across a board
// exchange or a wait. Send and the switch-off calls release the caller's core
// lock (`core`, held on entry and again on return) for their whole call.
class OutputGuard {
 public:
  OutputGuard(std::shared_ptr<EmbeddedCommunicator> link, std::shared_ptr<const Clock> clock);

  // One board command; true when the board acknowledged it.
  bool Send(const station::ActionCommand& cmd, bool urgent, std::mutex* core);

  // Holds (or releases) every output off. Setting a hold marks every output
  // that may be on as one that must go off; SwitchOffRequired sends them.
  void SetHold(OutputHold hold, bool on);
  bool held() const;
  // Marks `type` as an output that must go off (an over-temperature); false
  // when it is off already, or marked.
  bool RequireOff(station::EnumSupplyType type);
  // Sends every output that must be off, in switch-off order (under a hold, a
  // board reset first). Logs what is still on, or once "every output switched
  // off". True when nothing is left; the housekeeping repeats it until then.
  bool SwitchOffRequired(bool urgent, std::mutex* core);

  // A sensor report: robot position, freshness and fan feedback. Outputs that
  // it forbids (robot-facing ones without the robot, the wire without a turning
  // fan) are marked to go off.
  struct ReportVerdict {
    bool switch_off = false;   // an output was newly marked to go off
    bool fan_stopped = false;  // the fan feedback has just shown it stopped under the wire
  };
  ReportVerdict NoteReport(const ReportFacts& facts);
  // The latest report is no older than one report period plus a second.
  bool ReportFresh() const;

  // The interlock of `type` (not the holds, the robot or freshness) lets it on now.
  bool InterlockAllows(station::EnumSupplyType type) const;
  // An output that needs `type` on is not confirmed off: `type` must stay on.
  bool HeldOnByDependent(station::EnumSupplyType type) const;
  // `type` was commanded on or is not confirmed off.
  bool MayBeOn(station::EnumSupplyType type) const;
  // No exchange of the guard is under way.
  bool Idle() const;

 private:
  struct OutputState {
    int commanded = 0;    // the last action sent or about to be sent
    int confirmed = 0;    // the last action the board acknowledged
    int in_flight = 0;    // commands on their way to the board
    int off_pending = 0;  // switch-offs of this output waiting for its dependents
    bool must_off = false;
    int refusals = 0;  // switch-offs refused or unanswered since it must be off
  };

  bool SwitchOn(const OutputRow& row, const station::ActionCommand& cmd, bool urgent);
  bool SwitchOff(const OutputRow& row, bool urgent);
  bool SendOffOnce(const OutputRow& row, bool urgent);
  // Board reset or restart: confirmed, every output is off.
  bool SendBoardCommand(const station::ActionCommand& cmd, bool urgent);
  std::string OnRefusalLocked(const OutputRow& row) const;
  std::string InterlockRefusalLocked(const OutputRow& row) const;
  bool ReportFreshLocked() const;
  bool MayBeOnLocked(const OutputState& s) const;
  std::vector<const OutputRow*> RequiredOffLocked() const;
  void LogLeftOn(const std::vector<const OutputRow*>& left);
  OutputState& state(station::EnumSupplyType type) { return outputs_[type]; }
  const OutputState& state(station::EnumSupplyType type) const { return outputs_[type]; }

  const std::shared_ptr<EmbeddedCommunicator> link_;
  const std::shared_ptr<const Clock> clock_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;  // an exchange ended
  std::array<OutputState, station::EnumSupplyType_ARRAYSIZE> outputs_{};
  uint32_t holds_ = 0;
  int exchanges_ = 0;
  ReportFacts report_;
  int64_t report_period_millis_ = 1000;
  int64_t fan_stopped_since_ = -1;  // the wire on and the fan feedback showing stopped, since
  bool fan_fault_ = false;          // the fan stopped under the wire; cleared when it turns again
  // "Still on" lines: the last one logged, and when.
  std::string left_on_line_;
  int64_t left_on_logged_millis_ = 0;
  bool switched_off_logged_ = true;
};

}  // namespace station_center
