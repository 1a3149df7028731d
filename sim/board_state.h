#pragma once

// What the simulated board's parts share: its state under one lock, the stop
// signal, the model's tick, and the socket helpers of both links.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>

#include "sim/station_model.h"
#include "sim/station_sim.h"

namespace station_sim {

// Thread-safe: `mu` guards every field below it; the methods take it themselves.
struct BoardState {
  explicit BoardState(const ModelParams& params, CommandObserver observer = nullptr)
      : model(params), on_command(std::move(observer)) {}

  // Waits up to `ms` unless stopping; false when the simulator is stopping.
  bool SleepFor(int ms);
  // Holds an answer for the configured answer delay, counted from `since`; a
  // delay changed meanwhile applies at once (0 lets it go). False when stopping.
  bool HoldAnswer(std::chrono::steady_clock::time_point since);
  bool stopping();
  // The model thread's body: advances the model by the real time passed, every
  // `tick_ms`, until stopping.
  void RunModelTicks(int tick_ms);

  mutable std::mutex mu;
  std::condition_variable cv;
  bool stop = false;
  StationModel model;
  Faults faults;
  // One-shot fault requests, each taken by the link it concerns; clearing the
  // faults cancels them.
  bool close_command = false;
  bool close_sensor = false;
  bool garbage_reply = false;
  bool garbage_report = false;
  // Set at construction and never changed: no lock needed to read it.
  const CommandObserver on_command;
};

// Bytes that carry a valid length prefix but do not decode as any message.
std::string GarbageFrame();
void CloseFd(int* fd);
void SetNoDelay(int fd);
// Writes all of `bytes`, in pieces of `split` bytes `gap_ms` apart when split > 0;
// false if the connection failed or the simulator is stopping.
bool WriteAll(BoardState& board, int fd, const std::string& bytes, int split, int gap_ms);

}  // namespace station_sim
