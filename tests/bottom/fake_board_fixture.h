#pragma once

#include <spdlog/sinks/base_sink.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "station/cmd.pb.h"
#include "station/station_report.pb.h"

namespace station_test {

// What the fake board does with one command it received.
struct BoardReply {
  std::vector<std::string> chunks;  // written in order, each with its own send and a short pause between
  bool stop_listening = false;      // afterwards the board becomes unreachable (connection refused)
  bool close_after = false;         // afterwards the command connection is dropped
};
using ReplyPolicy = std::function<BoardReply(const station::SupplyMaterialReq&)>;

// One framed reply / sensor report as the board sends it.
std::string ReplyFrame(int32_t seq, station::EnumErrCode code = station::ENUM_SUCCESS, const std::string& msg = "");
std::string SensorFrame(const station::SensorsDataRep& report);
// Acknowledges every command with err_code_ 0.
ReplyPolicy AckAll();
// Cuts `bytes` into pieces at the given offsets (ascending, inside the string).
std::vector<std::string> SplitAt(const std::string& bytes, const std::vector<size_t>& cuts);

// A stand-in for the station's embedded board over loopback, speaking the real
// framing. The command side listens on an ephemeral 127.0.0.1 port and is served
// by a thread of its own; the sensor side is driven from the test's thread.
class FakeBoard {
 public:
  FakeBoard();
  ~FakeBoard();
  FakeBoard(const FakeBoard&) = delete;
  FakeBoard& operator=(const FakeBoard&) = delete;

  uint16_t command_port() const { return port_; }
  void SetPolicy(ReplyPolicy policy);
  std::vector<station::SupplyMaterialReq> commands() const;
  std::string raw_received() const;
  int accepted() const { return accepted_.load(); }

  // Drops the command connection and the listener, then listens again on the
  // same port, as a rebooted board would.
  void Restart();
  // Drops everything: connections to the command port are refused from now on.
  void StopListening();

  // Sensor side: connects to the daemon's upload server and pushes bytes.
  bool ConnectSensor(uint16_t port);
  // Sends the pieces one by one with `pause` between them.
  bool SendSensor(const std::vector<std::string>& pieces,
                  std::chrono::milliseconds pause = std::chrono::milliseconds(0));
  // True once the daemon has closed the sensor connection.
  bool WaitSensorClosedByPeer(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  void CloseSensor();

 private:
  enum class Control { kNone, kRestart, kStop };
  bool Listen();
  void Run();
  void Serve(int& conn);
  void RunControlAndWait(Control control);

  uint16_t port_ = 0;
  int listener_ = -1;  // owned by the board thread once it runs
  int sensor_fd_ = -1;
  std::atomic<bool> quit_{false};
  std::atomic<int> accepted_{0};

  mutable std::mutex mutex_;  // guards everything below
  ReplyPolicy policy_;
  std::vector<station::SupplyMaterialReq> commands_;
  std::string raw_;
  std::string pending_;  // bytes of a command not yet complete
  Control control_ = Control::kNone;
  int controls_done_ = 0;
  std::thread thread_;
};

// Collects the lines of the process logger while it lives. Create it before
// any thread that logs starts and destroy it after they have stopped.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  int Count(const std::string& needle) const;
  std::vector<std::string> Lines(const std::string& needle) const;
  void Clear();

 private:
  class Sink : public spdlog::sinks::base_sink<std::mutex> {
   public:
    std::vector<std::string> Snapshot();
    void Clear();

   protected:
    void sink_it_(const spdlog::details::log_msg& msg) override;
    void flush_() override {}

   private:
    std::vector<std::string> lines_;
  };
  std::shared_ptr<Sink> sink_;
};

}  // namespace station_test
