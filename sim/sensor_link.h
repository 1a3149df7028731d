#pragma once

// The board's side of the sensor connection: it connects to the daemon's
// sensor server and pushes a report of the model at the configured rate, as
// the fault switches say.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "sim/board_state.h"

namespace station_sim {

// Run is the sensor thread's body; the rest is safe from any thread.
class SensorLink {
 public:
  SensorLink(BoardState& board, std::string ip, uint16_t port, int report_hz);
  SensorLink(const SensorLink&) = delete;
  SensorLink& operator=(const SensorLink&) = delete;

  // Where to push reports; a live connection is dropped and made again.
  void SetTarget(const std::string& ip, uint16_t port);
  // Pushes reports until the simulator stops.
  void Run();

  bool connected() const { return connected_; }
  uint32_t reports_sent() const { return reports_sent_; }
  uint32_t connects() const { return connects_; }
  // The seq of the last report made; board.mu held.
  uint32_t report_seq() const { return report_seq_; }

 private:
  using Clock = std::chrono::steady_clock;

  // Carries out a new target or a "close the sensor connection" request, then
  // connects when not connected; false when there is no connection this time.
  bool EnsureConnected();
  // Connects with a bounded wait so an unreachable address cannot stall a stop.
  int Connect(const std::string& ip, uint16_t port);
  // Waits for the next report time, watching for the daemon closing the link;
  // true when a report is due.
  bool ReportDue();
  // The next report's frame (or the garbage frame asked for) and the faults it
  // goes out under; false while reports are switched off.
  bool MakeFrame(Faults* f, std::string* frame);
  // Adds `frame` to the batch and writes the batch once it is complete; false
  // when the write failed.
  bool Push(const Faults& f, const std::string& frame);
  // Closes the connection and pauses a second before the next attempt.
  void DropConnection();

  BoardState& board_;
  const int report_hz_;

  // Guarded by board.mu.
  std::string ip_;
  uint16_t port_;
  uint32_t target_gen_ = 0;
  uint32_t report_seq_ = 0;

  // The sensor thread's own.
  int fd_ = -1;
  uint32_t gen_ = 0;
  bool told_unreachable_ = false;
  std::string batch_;
  int batched_ = 0;
  Clock::time_point next_report_ = Clock::now();

  std::atomic<bool> connected_{false};
  std::atomic<uint32_t> reports_sent_{0};
  std::atomic<uint32_t> connects_{0};
};

}  // namespace station_sim
