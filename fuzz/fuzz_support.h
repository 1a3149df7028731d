#pragma once

// What the fuzz targets share: a quiet private station tree, a clock the input
// moves, a board that answers in-process, recorders for what the station
// publishes, and a cursor over the fuzzer's bytes.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "bottom/embedded_communicator.h"
#include "clock.h"
#include "report_publisher.h"
#include "station_center.h"

namespace station_fuzz {

// Once per process: a temporary STATION_CENTER_ROOT with the station's
// directories, logs formatted but written nowhere, task passes without a pause.
void SetUpProcess();

// Ends with a message on stderr and abort(), so libFuzzer keeps the input.
[[noreturn]] void Fail(const char* what);
inline void Check(bool ok, const char* what) {
  if (!ok) {
    Fail(what);
  }
}

// Writes `text` to `path` (a path already rooted), replacing it.
void WriteFile(const std::string& path, const std::string& text);

// The system clocks moved forward by the input. Thread-safe.
class FuzzClock : public station_center::Clock {
 public:
  int64_t NowMillis() const override { return station_center::NowMillis() + offset_ms_.load(); }
  int64_t WallSeconds() const override { return station_center::WallSeconds() + offset_ms_.load() / 1000; }
  void Advance(int64_t seconds) { offset_ms_ += seconds * 1000; }

 private:
  std::atomic<int64_t> offset_ms_{0};
};

// The station's board without sockets: records every command and answers at
// once, refusing when told to. Thread-safe (task drivers send too).
class FakeBoard : public station_center::EmbeddedCommunicator {
 public:
  bool DoAction(const station::ActionCommand& cmd, bool urgent = false,
                const StillWanted& still_wanted = nullptr) override;
  bool ChangeLed(station::EnumLedCmd led_cmd, bool* answered = nullptr) override;

  void set_refuse(bool refuse) { refuse_ = refuse; }
  void set_silent(bool silent) { silent_ = silent; }
  size_t commands() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<int, int>> commands_;  // (supply type, action)
  std::atomic<bool> refuse_{false};
  std::atomic<bool> silent_{false};
};

// Keeps what the core publishes; every payload must be a JSON object. Thread-safe.
class RecordingReports : public station_center::ReportPublisher {
 public:
  bool IsConnected() const override { return true; }
  bool Publish(const std::string& topic, const std::string& payload) override;
  size_t count() const;

 private:
  mutable std::mutex mutex_;
  size_t count_ = 0;
};

// A fresh station core per input, over a fake board and a recording publisher,
// with a status file naming a dust bag just replaced. The destructor presses
// the emergency stop and waits for the task drivers, so no input's tasks run
// into the next.
class CoreRig {
 public:
  CoreRig();
  ~CoreRig();
  CoreRig(const CoreRig&) = delete;
  CoreRig& operator=(const CoreRig&) = delete;

  station_center::StationCenter& center() { return *center_; }
  std::shared_ptr<station_center::StationCenter> shared() { return center_; }
  FuzzClock& clock() { return *clock_; }
  FakeBoard& board() { return *board_; }
  RecordingReports& reports() { return *reports_; }

 private:
  std::shared_ptr<FuzzClock> clock_ = std::make_shared<FuzzClock>();
  std::shared_ptr<FakeBoard> board_ = std::make_shared<FakeBoard>();
  std::shared_ptr<RecordingReports> reports_ = std::make_shared<RecordingReports>();
  std::shared_ptr<station_center::StationCenter> center_;
};

// Reads the fuzzer's bytes front to back; past the end every read gives zeros.
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t U16() {
    const uint16_t low = U8();
    return static_cast<uint16_t>(low | (U8() << 8));
  }
  // Up to `n` bytes (fewer at the end).
  std::string Take(size_t n);
  std::string Rest() { return Take(size_ - pos_); }
  size_t left() const { return size_ - pos_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace station_fuzz
