#pragma once

// A clock a test moves forward, and a station without a core for tasks to run in.

#include <atomic>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "clock.h"
#include "task/task_services.h"

namespace station_test {

// The system clocks moved forward by Advance, so a test need not sleep through a
// time limit; StepWall sets the wall clock alone, as an operator or NTP would. Thread-safe.
class TestClock : public station_center::Clock {
 public:
  int64_t NowMillis() const override { return station_center::NowMillis() + offset_ms_.load(); }
  int64_t WallSeconds() const override {
    return station_center::WallSeconds() + (offset_ms_.load() + wall_step_ms_.load()) / 1000;
  }
  void Advance(int64_t seconds) { offset_ms_ += seconds * 1000; }
  void StepWall(int64_t seconds) { wall_step_ms_ += seconds * 1000; }

 private:
  std::atomic<int64_t> offset_ms_{0};
  std::atomic<int64_t> wall_step_ms_{0};
};

// Records commands, all taken. Only for one thread.
class FakeServices : public station_center::TaskServices {
 public:
  bool SendCommand(const station::ActionCommand& cmd) override {
    commands.emplace_back(cmd.supply_type_(), cmd.action_());
    return true;
  }
  void WithTaskData(const std::function<void(station_center::StationTaskData&)>& update) override { update(data); }
  void ReadTaskData(const std::function<void(const station_center::StationTaskData&)>& read) override { read(data); }
  void AbnormalTaskRecord(int32_t /*type*/, int32_t /*task*/) override {}
  int64_t LatestReportMillis() const override { return 0; }
  bool ReportFresh() const override { return true; }
  bool InterlockAllows(station::EnumSupplyType /*type*/) const override { return true; }
  bool HeldOnByDependent(station::EnumSupplyType /*type*/) const override { return false; }
  const station_center::Clock& clock() const override { return time; }

  std::vector<std::pair<int, int>> commands;  // (supply type, action) as sent
  station_center::StationTaskData data;
  TestClock time;
};

}  // namespace station_test
