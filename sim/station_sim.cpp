// The simulator's facade: the shared board state, the command link, the sensor
// link and the model's tick, each on its own thread.

#include "sim/station_sim.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "logger.h"
#include "sim/board_state.h"
#include "sim/command_link.h"
#include "sim/sensor_link.h"

namespace station_sim {

class StationSim::Impl {
 public:
  explicit Impl(SimOptions options)
      : opts(std::move(options)),
        board(opts.model, opts.on_command),
        command(board, opts.command_ip, opts.command_port),
        sensor(board, opts.sensor_ip, opts.sensor_port, opts.report_hz) {}

  SimOptions opts;
  BoardState board;
  CommandLink command;
  SensorLink sensor;

  std::thread command_thread;
  std::thread sensor_thread;
  std::thread model_thread;
  std::mutex lifecycle_mu;  // Start/Stop against each other
  std::atomic<bool> running{false};
};

StationSim::StationSim(SimOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

StationSim::~StationSim() { Stop(); }

bool StationSim::Start() {
  std::lock_guard<std::mutex> life(impl_->lifecycle_mu);
  if (impl_->running) {
    return true;
  }
  {
    std::lock_guard<std::mutex> lock(impl_->board.mu);
    impl_->board.stop = false;
  }
  if (!impl_->command.Open()) {
    return false;
  }
  impl_->command_thread = std::thread([this] { impl_->command.Run(); });
  impl_->sensor_thread = std::thread([this] { impl_->sensor.Run(); });
  impl_->model_thread = std::thread([this] { impl_->board.RunModelTicks(impl_->opts.tick_ms); });
  impl_->running = true;
  return true;
}

void StationSim::Stop() {
  std::lock_guard<std::mutex> life(impl_->lifecycle_mu);
  if (!impl_->running) {
    return;
  }
  {
    std::lock_guard<std::mutex> lock(impl_->board.mu);
    impl_->board.stop = true;
  }
  impl_->board.cv.notify_all();
  for (std::thread* t : {&impl_->command_thread, &impl_->sensor_thread, &impl_->model_thread}) {
    if (t->joinable()) {
      t->join();
    }
  }
  impl_->command.CloseListener();
  impl_->running = false;
  LOG_INFO("board_sim: stopped");
}

bool StationSim::running() const { return impl_->running; }
uint16_t StationSim::command_port() const { return impl_->command.port(); }
bool StationSim::command_connected() const { return impl_->command.connected(); }
bool StationSim::sensor_connected() const { return impl_->sensor.connected(); }
uint32_t StationSim::reports_sent() const { return impl_->sensor.reports_sent(); }
uint32_t StationSim::sensor_connects() const { return impl_->sensor.connects(); }
uint32_t StationSim::command_accepts() const { return impl_->command.accepts(); }

void StationSim::SetSensorTarget(const std::string& ip, uint16_t port) { impl_->sensor.SetTarget(ip, port); }

#define SIM_LOCKED std::lock_guard<std::mutex> lock(impl_->board.mu)

station::SensorsDataRep StationSim::Sensors() const {
  SIM_LOCKED;
  station::SensorsDataRep r = impl_->board.model.Report();
  r.set_seq(impl_->sensor.report_seq());
  return r;
}
bool StationSim::ActuatorOn(station::EnumSupplyType type) const {
  SIM_LOCKED;
  return impl_->board.model.actuator(type).on;
}
int StationSim::ActuatorPower(station::EnumSupplyType type) const {
  SIM_LOCKED;
  return impl_->board.model.actuator(type).power;
}
std::vector<station::SupplyMaterialReq> StationSim::ReceivedCommands() const {
  SIM_LOCKED;
  return impl_->command.received();
}
void StationSim::ClearReceivedCommands() {
  SIM_LOCKED;
  impl_->command.received().clear();
}
int StationSim::last_led() const {
  SIM_LOCKED;
  return impl_->board.model.last_led();
}
double StationSim::tank_volume() const {
  SIM_LOCKED;
  return impl_->board.model.tank_volume();
}
double StationSim::delivered_to_robot() const {
  SIM_LOCKED;
  return impl_->board.model.delivered_to_robot();
}
int StationSim::board_resets() const {
  SIM_LOCKED;
  return impl_->board.model.resets();
}
double StationSim::sewage_level() const {
  SIM_LOCKED;
  return impl_->board.model.sewage_level();
}
void StationSim::SetTankVolume(double ml) {
  SIM_LOCKED;
  impl_->board.model.SetTankVolume(ml);
}
void StationSim::SetSewageLevel(double level) {
  SIM_LOCKED;
  impl_->board.model.SetSewageLevel(level);
}
void StationSim::Dock(bool docked) {
  SIM_LOCKED;
  impl_->board.model.Dock(docked);
}
void StationSim::Plug(bool plugged) {
  SIM_LOCKED;
  impl_->board.model.Plug(plugged);
}
bool StationSim::SetField(const std::string& name, const std::string& value) {
  SIM_LOCKED;
  return impl_->board.model.SetField(name, value);
}
bool StationSim::Pin(const std::string& name, const std::string& value) {
  SIM_LOCKED;
  return impl_->board.model.Pin(name, value);
}
bool StationSim::Unpin(const std::string& name) {
  SIM_LOCKED;
  return impl_->board.model.Unpin(name);
}
void StationSim::SetSorterOverload(double seconds) {
  SIM_LOCKED;
  impl_->board.model.SetSorterOverload(seconds);
}
SafetyReport StationSim::Safety() const {
  SIM_LOCKED;
  return impl_->board.model.Safety();
}
void StationSim::ResetSafety() {
  SIM_LOCKED;
  impl_->board.model.ResetSafety();
}

Faults StationSim::faults() const {
  SIM_LOCKED;
  return impl_->board.faults;
}
void StationSim::RefuseSupply(station::EnumSupplyType type, bool refuse) {
  SIM_LOCKED;
  if (refuse) {
    impl_->board.faults.refused_types.insert(type);
  } else {
    impl_->board.faults.refused_types.erase(type);
  }
}
void StationSim::RefuseLed(bool refuse) {
  SIM_LOCKED;
  impl_->board.faults.refuse_led = refuse;
}
void StationSim::SetAckDelayMs(int ms) {
  SIM_LOCKED;
  impl_->board.faults.ack_delay_ms = std::max(0, ms);
  impl_->board.model.SetAnswerDelay(impl_->board.faults.ack_delay_ms / 1000.0);
  impl_->board.cv.notify_all();  // an answer held for the old delay
}
void StationSim::SetDropAcks(bool drop) {
  SIM_LOCKED;
  impl_->board.faults.drop_acks = drop;
}
void StationSim::SetStaleSeq(StaleMode mode) {
  SIM_LOCKED;
  impl_->board.faults.stale = mode;
}
void StationSim::SetSplitWrites(int bytes_per_write) {
  SIM_LOCKED;
  impl_->board.faults.split_bytes = std::max(0, bytes_per_write);
}
void StationSim::SetSplitGapMs(int ms) {
  SIM_LOCKED;
  impl_->board.faults.split_gap_ms = std::max(0, ms);
}
void StationSim::SetFanStalled(bool stalled) {
  SIM_LOCKED;
  impl_->board.model.SetFanStalled(stalled);
}
void StationSim::SetStuck(station::EnumSupplyType type, bool stuck) {
  SIM_LOCKED;
  impl_->board.model.SetStuck(type, stuck);
}
void StationSim::ClearFaults() {
  SIM_LOCKED;
  impl_->board.faults = Faults();
  impl_->board.model.SetFanStalled(false);
  impl_->board.model.SetReportsFlowing(true);
  for (int type : std::set<int>(impl_->board.model.stuck())) {
    impl_->board.model.SetStuck(static_cast<station::EnumSupplyType>(type), false);
  }
  impl_->board.close_command = impl_->board.close_sensor = false;
  impl_->board.garbage_reply = impl_->board.garbage_report = false;
}
void StationSim::SetMergeReports(int reports_per_write) {
  SIM_LOCKED;
  impl_->board.faults.merge_reports = std::max(1, reports_per_write);
}
void StationSim::SetReportsEnabled(bool on) {
  SIM_LOCKED;
  impl_->board.faults.reports_on = on;
  impl_->board.model.SetReportsFlowing(on);
}
void StationSim::SetHangupOnCommand(bool on) {
  SIM_LOCKED;
  impl_->board.faults.hangup_on_command = on;
}
void StationSim::CloseCommandConnection() {
  SIM_LOCKED;
  impl_->board.close_command = true;
}
void StationSim::CloseSensorConnection() {
  SIM_LOCKED;
  impl_->board.close_sensor = true;
}
void StationSim::SendGarbageCommandReply() {
  SIM_LOCKED;
  impl_->board.garbage_reply = true;
}
void StationSim::SendGarbageReport() {
  SIM_LOCKED;
  impl_->board.garbage_report = true;
}

#undef SIM_LOCKED

}  // namespace station_sim
