#pragma once

// The station's embedded control board, simulated: the board's side of the
// command and sensor links plus a physical model of the station, with fault
// switches and a console. Used in-process by tests and by the board_sim tool.
//
// In a test:
//   station_sim::StationSim sim;                  // loopback, ephemeral command port
//   sim.Start();
//   g_config.embedded_action_port = sim.command_port();   // the daemon connects here
//   ... start the daemon's sensor server, then
//   sim.SetSensorTarget("127.0.0.1", sensor_server_port);  // reports flow from now on
//   sim.Dock(true); sim.Execute("fault refuse tap on"); ...
// Tasks finish in seconds with the default ModelParams; shorten them further
// through SimOptions::model.

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sim/station_model.h"
#include "station/cmd.pb.h"
#include "station/station_report.pb.h"

namespace station_sim {

// Told of every decoded command with the answer it gets (refused ones too), on the
// command thread with the board's lock held: keep it short and do not call back.
using CommandObserver = std::function<void(const station::SupplyMaterialReq&, const station::SupplyMaterialRsp&)>;

struct SimOptions {
  std::string command_ip = "127.0.0.1";
  uint16_t command_port = 0;  // 0: an ephemeral port, see command_port()
  std::string sensor_ip = "127.0.0.1";
  uint16_t sensor_port = 0;  // 0: no sensor target until SetSensorTarget
  int report_hz = 5;         // sensor reports per second
  int tick_ms = 20;          // model step, real time
  ModelParams model;
  CommandObserver on_command;  // empty: nobody is told
};

// How answers carry a stale seq_.
enum class StaleMode {
  kOff,
  kOnly,   // every answer carries the previous command's seq_ instead of its own
  kFirst,  // a stale answer first, then the real one
};

// Fault switches; all off by default. Copyable snapshot for status output.
struct Faults {
  std::set<int> refused_types;  // supply types answered with err_code_ 1
  bool refuse_led = false;      // LED commands answered with err_code_ 1
  int ack_delay_ms = 0;
  bool drop_acks = false;
  StaleMode stale = StaleMode::kOff;
  int split_bytes = 0;             // >0: every frame written in pieces of this many bytes
  int split_gap_ms = 150;          // pause between the pieces, longer than the daemon's read pause
  int merge_reports = 1;           // >1: this many sensor reports per write
  bool reports_on = true;          // false: sensor connection stays up but silent
  bool hangup_on_command = false;  // close the command connection instead of answering
};

// Thread-safe: every public method may be called from any thread. Start() runs
// three threads (command server, sensor client, model ticks); Stop() and the
// destructor join them.
class StationSim {
 public:
  explicit StationSim(SimOptions options = SimOptions());
  ~StationSim();
  StationSim(const StationSim&) = delete;
  StationSim& operator=(const StationSim&) = delete;

  // Binds the command port and starts the threads; false if the port cannot be bound.
  bool Start();
  void Stop();
  bool running() const;

  // The bound command port (valid after Start).
  uint16_t command_port() const;
  // Where to push sensor reports; a live sensor connection is dropped and re-made.
  void SetSensorTarget(const std::string& ip, uint16_t port);
  bool command_connected() const;
  bool sensor_connected() const;
  uint32_t reports_sent() const;
  uint32_t sensor_connects() const;  // sensor connections made so far
  uint32_t command_accepts() const;  // command connections accepted so far

  // One console line (same language as stdin and the control socket); returns
  // the readable answer.
  std::string Execute(const std::string& console_line);

  // Model access.
  station::SensorsDataRep Sensors() const;
  bool ActuatorOn(station::EnumSupplyType type) const;
  int ActuatorPower(station::EnumSupplyType type) const;
  std::vector<station::SupplyMaterialReq> ReceivedCommands() const;
  void ClearReceivedCommands();
  int last_led() const;
  double tank_volume() const;
  double delivered_to_robot() const;  // ml let out through the supply valve
  int board_resets() const;           // reset (16) commands carried out
  double sewage_level() const;
  void SetTankVolume(double ml);
  void SetSewageLevel(double level);
  void Dock(bool docked);
  void Plug(bool plugged);
  bool SetField(const std::string& name, const std::string& value);
  bool Pin(const std::string& name, const std::string& value);
  bool Unpin(const std::string& name);
  void SetSorterOverload(double seconds);

  // The safety monitor, judged at every model tick: counts per invariant and
  // the first violations as lines. Reset clears both; a condition that still
  // holds then counts again once its grace has passed.
  SafetyReport Safety() const;
  void ResetSafety();

  // Fault switches.
  Faults faults() const;
  void RefuseSupply(station::EnumSupplyType type, bool refuse);
  void RefuseLed(bool refuse);
  void SetAckDelayMs(int ms);
  void SetDropAcks(bool drop);
  void SetStaleSeq(StaleMode mode);
  void SetSplitWrites(int bytes_per_write);  // 0: whole frames
  void SetSplitGapMs(int ms);
  void SetMergeReports(int reports_per_write);  // 1: one per write
  void SetReportsEnabled(bool on);
  void SetHangupOnCommand(bool on);
  // The drying fan seizes: it stops turning whatever it is told.
  void SetFanStalled(bool stalled);
  // A welded relay: `type` stays on whatever the board is told.
  void SetStuck(station::EnumSupplyType type, bool stuck);
  void CloseCommandConnection();   // the current one; the daemon may reconnect
  void CloseSensorConnection();    // the current one; reconnects after a second
  void SendGarbageCommandReply();  // the next answer is an undecodable frame
  void SendGarbageReport();        // the next report is an undecodable frame
  void ClearFaults();              // every switch off, pending one-shots cancelled

  // Readable multi-line summary: links, actuators, sensors, tank, LED, faults.
  std::string StatusText() const;

  // Lines the command language understands, for help output.
  static std::string HelpText();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace station_sim
