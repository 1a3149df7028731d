#pragma once

// A task whose behaviour a test scripts: how many passes until it ends and how,
// whether its cancel succeeds, which board commands it sends. The test keeps the
// script and reads the counters while the task's driver runs.

#include <atomic>
#include <memory>
#include <stdexcept>

#include "task/task.h"
#include "task/task_factory.h"

namespace station_test {

struct TaskScript {
  // Passes (DoTaskInside calls on a live task) after which the task ends; -1 never.
  std::atomic<int> end_after_passes{-1};
  std::atomic<bool> end_in_error{false};  // else ends over
  std::atomic<bool> cancel_ok{true};
  // Board command sent at the first pass (value 1) and by DoReset/DoCancel (value 0); 0 none.
  std::atomic<int> supply_type{0};
  std::atomic<bool> precheck_refuses{false};
  std::atomic<bool> throw_in_pass{false};

  std::atomic<int> passes{0};
  std::atomic<int> cancels{0};
  std::atomic<int> resets{0};
  std::atomic<int> after_over{0};
  std::atomic<int> after_error{0};
  std::atomic<int> after_cancel{0};
  std::atomic<int> created{0};
};

class ScriptedTask : public station_center::SupplyMaterialTask {
 public:
  ScriptedTask(std::shared_ptr<station_center::StationCenter> center, station_center::TaskType type,
               int64_t max_seconds, int32_t action, std::shared_ptr<TaskScript> script)
      : SupplyMaterialTask(std::move(center), type, max_seconds, action), script_(std::move(script)) {
    ++script_->created;
  }

  bool DoTaskInside(const station::SensorsDataRep&) override {
    if (Finished()) {
      LogAlreadyFinished("already over or error or cancel");
      return true;
    }
    if (status_ == station_center::TASK_STATUS_INIT) {
      MarkStarted();
      if (script_->supply_type != 0 && !Send(1)) {
        return false;
      }
    }
    const int passes = ++script_->passes;
    if (script_->throw_in_pass) {
      throw std::runtime_error("scripted failure");
    }
    if (TimeLimitPassed()) {
      LogExecTimeout();
      return false;
    }
    const int end = script_->end_after_passes;
    if (end >= 0 && passes >= end) {
      if (script_->end_in_error) {
        return false;
      }
      SetTaskStatus(station_center::TASK_STATUS_OVER);
    }
    return true;
  }
  bool DoReset() override {
    ++script_->resets;
    return script_->supply_type == 0 || Send(0);
  }
  bool DoCancelUnlock() override {
    ++script_->cancels;
    if (script_->supply_type != 0) {
      Send(0);
    }
    return script_->cancel_ok;
  }
  void AfterOver() override { ++script_->after_over; }
  void AfterError() override { ++script_->after_error; }
  void AfterCancel() override { ++script_->after_cancel; }
  station_center::PreCheckResult PreCheckUnlock(const station::SensorsDataRep&) override {
    station_center::PreCheckResult result;
    if (script_->precheck_refuses) {
      result.err_msg = "scripted refusal";
      result.err_code = vantorel_base_station_common::ENUM_ROBOT_NOT_IN_POSITION;
    }
    return result;
  }
  using Task::PreCheckUnlock;

  // Exposed for framework tests.
  using Task::RunCurrentStep;
  using Task::StepTaskPass;
  using Task::SwitchStep;
  int32_t step() const { return step_; }
  void SetStep(int32_t step, StepFunction fn) { steps_[step] = std::move(fn); }

 private:
  bool Send(int32_t value) {
    return SendAction(static_cast<station::EnumSupplyType>(script_->supply_type.load()), value);
  }

  std::shared_ptr<TaskScript> script_;
};

// Makes the factory build ScriptedTasks with `script` for `type`.
inline void UseScriptedTask(station_center::TaskType type, const std::shared_ptr<TaskScript>& script) {
  station_center::OverrideTaskClassForTest(
      type, [script](const std::shared_ptr<station_center::StationCenter>& center, const station_center::StationSrvReq&,
                     station_center::TaskType t, int64_t max_seconds, int32_t action) {
        return std::make_shared<ScriptedTask>(center, t, max_seconds, action, script);
      });
}

}  // namespace station_test
