#pragma once

// A task whose behaviour a test scripts; the test reads the counters while the task's driver runs.

#include <atomic>
#include <memory>
#include <stdexcept>

#include "task/task.h"
#include "task/task_factory.h"

namespace station_test {

struct TaskScript {
  std::atomic<int> end_after_passes{-1};  // passes on a live task until it ends; -1 never
  std::atomic<bool> end_in_error{false};  // else ends over
  // Board command sent at the first pass (value 1) and by DoReset/DoCancel (value 0); 0 none.
  std::atomic<int> supply_type{0};
  std::atomic<bool> throw_in_pass{false};

  std::atomic<int> passes{0}, cancels{0}, resets{0}, after_over{0}, after_error{0}, after_cancel{0};
};

class ScriptedTask : public station_center::Task {
 public:
  ScriptedTask(std::shared_ptr<station_center::TaskServices> services, station_center::TaskType type,
               int64_t max_seconds, std::shared_ptr<TaskScript> script)
      : Task(std::move(services), type, max_seconds), script_(std::move(script)) {}

  // The driver runs passes only while the task is live.
  bool DoTaskInside(const station::SensorsDataRep&) override {
    if (status_ == station_center::TASK_STATUS_INIT) {
      MarkStarted();
      if (!Send(1)) {
        return false;
      }
    }
    const int passes = ++script_->passes;
    if (script_->throw_in_pass) {
      throw std::runtime_error("scripted failure");
    }
    const int end = script_->end_after_passes;
    const bool ending = end >= 0 && passes >= end;
    if (ending && !script_->end_in_error) {
      SetTaskStatus(station_center::TASK_STATUS_OVER);
    }
    return !(ending && script_->end_in_error);
  }
  bool DoReset() override {
    ++script_->resets;
    return Send(0);
  }
  bool DoCancelUnlock() override {
    ++script_->cancels;
    return Send(0);
  }
  void AfterOver() override { ++script_->after_over; }
  void AfterError() override { ++script_->after_error; }
  void AfterCancel() override { ++script_->after_cancel; }

 private:
  // No actuator, nothing to command.
  bool Send(int32_t value) {
    const int type = script_->supply_type;
    return type == 0 || SendAction(static_cast<station::EnumSupplyType>(type), value);
  }

  std::shared_ptr<TaskScript> script_;
};

// Task classes for a core: the used types' tasks are ScriptedTasks, each with a fresh script.
class Scripts {
 public:
  std::shared_ptr<TaskScript> Use(station_center::TaskType type) {
    auto script = std::make_shared<TaskScript>();
    makers_->Set(type, [script](const std::shared_ptr<station_center::TaskServices>& services,
                                const station_center::StationSrvReq&, station_center::TaskType t, int64_t max_seconds,
                                int32_t) { return std::make_shared<ScriptedTask>(services, t, max_seconds, script); });
    return script;
  }
  const std::shared_ptr<station_center::TaskMakers>& makers() const { return makers_; }

 private:
  const std::shared_ptr<station_center::TaskMakers> makers_ = std::make_shared<station_center::TaskMakers>();
};

}  // namespace station_test
