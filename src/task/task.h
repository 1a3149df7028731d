#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "robot/base_station_common.pb.h"
#include "station/cmd.pb.h"
#include "station/station_report.pb.h"
#include "station_types.h"
#include "task/task_services.h"

namespace station_center {

// The soft, standard or strong configuration value for a robot action; 0 for
// any other action.
int32_t ValueForAction(int32_t action, int32_t soft, int32_t standard, int32_t strong);

class Task;

using TaskTable = std::unordered_map<TaskType, std::shared_ptr<Task>>;

enum TaskStatus : int32_t {
  TASK_STATUS_INIT = 0,
  TASK_STATUS_RUNNING = 1,
  TASK_STATUS_OVER = 2,
  TASK_STATUS_ERROR = 3,
  TASK_STATUS_CANCEL = 4,
};

enum TaskOperation : int32_t {
  TASK_OPERATION_CANCEL = 0,
  TASK_OPERATION_UPDATE = 1,
};

struct PreCheckResult {
  std::string err_msg;  // empty when the task may start
  vantorel_base_station_common::EnumErrCode err_code = vantorel_base_station_common::ENUM_SUCCESS;
};

// One piece of station work as a state machine. The base owns status and
// time-limit bookkeeping and the task's access to the station; the pass itself
// belongs to StepTask or ActionTask, concrete tasks implement their hooks.
// Threading: every operation runs with the owner's task_mutex_ held (driver pass
// or request handler); the owner releases it during board exchanges, and only
// the thread that has claimed the task drives it or cancels it meanwhile.
class Task {
 public:
  // `services` is the station the task runs in; never null.
  Task(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds);
  virtual ~Task();
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  // Switch off what the task switched on, after an error. Safe to repeat.
  virtual bool DoReset() = 0;
  virtual void AfterOver();
  virtual void AfterError();
  virtual void AfterCancel();
  // One execution pass; false makes the driver end the task in error.
  virtual bool DoTaskInside(const station::SensorsDataRep& data) = 0;
  // Switch off what the task switched on, on cancel. Safe to repeat.
  virtual bool DoCancelUnlock();
  // The task's own readiness check.
  virtual PreCheckResult PreCheckUnlock(const station::SensorsDataRep& data);
  // A running task asked again: types whose limit is the request's duration take
  // the new duration, counted from now; the others keep theirs.
  virtual bool UpdateTaskInfoUnlock(const StationSrvReq& req);

  // The conflict check against the running tasks, then the task's own check.
  PreCheckResult PreCheckUnlock(const TaskTable& tasks, const station::SensorsDataRep& data);
  // Cancel or update while running; false for an unknown operation.
  bool OperateTask(const TaskOperation& operation, const StationSrvReq& req);
  void SetTaskStatus(const TaskStatus& status);
  // The task will not run on: it has ended, or it is switching off before it ends.
  virtual bool Stopping() const;

  int64_t task_id() const { return task_id_; }
  TaskType task_type() const { return task_type_; }
  TaskStatus status() const { return status_; }
  int64_t max_seconds() const { return max_seconds_; }
  time_t start_time() const { return start_time_; }
  const std::vector<TaskType>& conflict_types() const { return conflict_types_; }
  void set_conflict_types(std::vector<TaskType> types) { conflict_types_ = std::move(types); }

 protected:
  // Status no longer INIT or RUNNING.
  bool Finished() const;
  // Logs "task id {}, task type {}, <what>" for a pass on a finished task.
  void LogAlreadyFinished(const char* what) const;
  // First-pass bookkeeping: RUNNING and start_time_ = now.
  void MarkStarted();
  // A positive limit has passed (strictly).
  bool TimeLimitPassed() const;
  // The standard exec-timeout error line.
  void LogExecTimeout() const;
  // Called by the pass owners when the time limit passed; the result becomes
  // the pass result. Default: the exec-timeout line, and the task ends in error.
  virtual bool OnTimeLimit();
  // The status a refused cancel leaves. Default: error, so the driver's reset
  // switches off; a task that still switches off on its passes may stay running.
  virtual TaskStatus RefusedCancelStatus() const;

  // One board command; true when the board acknowledged.
  bool SendAction(station::EnumSupplyType supply_type, int32_t action);
  // One board command; a refusal logs "ErrorCode: <err_code>, <what>".
  bool Command(station::EnumSupplyType supply_type, int32_t action, int err_code, std::string_view what);
  // Command, and a refusal also ends the task in error (after the error line).
  bool CommandOrFail(station::EnumSupplyType supply_type, int32_t action, int err_code, std::string_view what);
  // "task id <id>, task type <type>, <what>", for error lines that name the task.
  std::string Named(std::string_view what) const;

  // The station-wide task data, under its lock (see TaskServices).
  void WithTaskData(const std::function<void(StationTaskData&)>& update);
  void ReadTaskData(const std::function<void(const StationTaskData&)>& read) const;
  // One value read from the task data under its shared lock.
  template <typename F>
  auto FromTaskData(F read) const {
    decltype(read(std::declval<const StationTaskData&>())) value{};
    ReadTaskData([&](const StationTaskData& data) { value = read(data); });
    return value;
  }
  void AbnormalTaskRecord(int32_t type, int32_t task);
  int64_t LatestReportMillis() const;
  // The station's clock (see TaskServices).
  int64_t NowSeconds() const { return services_->clock().NowSeconds(); }
  int64_t NowMillis() const { return services_->clock().NowMillis(); }
  // What the clean tank holds now, in flow counts (-1 unknown).
  void SetTankWaterVolume(int32_t volume);
  // The water supply's valves: tap and supply valve closed, both tried; logs
  // `done_line` once the tap is closed. False if either close failed.
  bool CloseWaterValves(const char* done_line);

  std::shared_ptr<TaskServices> services_;
  int64_t max_seconds_;
  time_t start_time_ = 0;
  TaskStatus status_ = TASK_STATUS_INIT;
  TaskType task_type_;
  std::vector<TaskType> conflict_types_;
  int64_t task_id_;
};

// A task made of numbered steps. Its pass is the framework's: finished guard,
// first-pass start (RUNNING, step 1, start time, then OnStart), time limit
// (OnTimeLimit), then the current step.
class StepTask : public Task {
 public:
  // `finished_what` ends the line of a pass on a finished task.
  StepTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds,
           const char* finished_what = "already over or error");

  bool DoTaskInside(const station::SensorsDataRep& data) final;

 protected:
  using StepFunction = std::function<bool(const station::SensorsDataRep&)>;

  // The task's own start actions at the first pass.
  virtual void OnStart() {}
  void SwitchStep(const int32_t& step);

  int32_t step_ = 0;
  std::unordered_map<int32_t, StepFunction> steps_;

 private:
  // Runs the entry of steps_ for step_; a missing step is an error.
  bool RunCurrentStep(const station::SensorsDataRep& data);

  const char* finished_what_;
};

// A task that switches something on at its first pass and then watches it. Its
// pass is the framework's: finished guard, first-pass start (start time, then
// OnStart, then RUNNING once that succeeded), time limit (OnTimeLimit), then
// OnPass. A task whose own check must come before its time limit asks for
// kAfterPass: the limit is then checked after a pass that left the task running.
class ActionTask : public Task {
 public:
  enum class LimitCheck { kBeforePass, kAfterPass };

  // `finished_what` ends the line of a pass on a finished task.
  ActionTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds,
             const char* finished_what = "already over or error or cancel",
             LimitCheck limit_check = LimitCheck::kBeforePass);

  bool DoTaskInside(const station::SensorsDataRep& data) final;

 protected:
  // The first pass's own start; false ends the task in error before it ran.
  virtual bool OnStart() { return true; }
  // Every pass of the running task, the first included.
  virtual bool OnPass(const station::SensorsDataRep& /*data*/) { return true; }

 private:
  const char* finished_what_;
  LimitCheck limit_check_;
};

// The flow count of one fill from the tap. The board's flowMeter restarts at 0
// when the tap opens, but a report made before the opening may arrive after it
// (it waits in the sensor link) still showing the previous fill's count: only
// reports that arrived after the opening and moved off that count are trusted.
class TapFill {
 public:
  // The board acknowledged the tap opening at `now_millis`; `data` is the latest report.
  void Opened(const station::SensorsDataRep& data, int64_t now_millis);
  // Takes the count of `data` when it arrived (at `report_millis`) after the opening.
  void Update(const station::SensorsDataRep& data, int64_t report_millis);
  uint32_t count() const { return count_; }

 private:
  int64_t open_millis_ = -1;
  uint32_t count_before_open_ = 0;
  uint32_t count_ = 0;
};

// Tasks that switch one actuator on at their first pass and leave it on until a
// cancel, or until the time limit ends them in error so the reset switches it off.
class RunActuatorTask : public ActionTask {
 public:
  struct Actuator {
    station::EnumSupplyType supply;
    const char* name;  // in the error lines: "start <name> failed"
    int err_start;
    int err_stop;
  };

  RunActuatorTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds,
                  const Actuator& actuator);

  bool DoReset() override;
  bool DoCancelUnlock() override;

  bool started() const { return started_; }

 protected:
  bool OnPass(const station::SensorsDataRep& data) override;

 private:
  bool Stop();

  Actuator actuator_;
  bool started_ = false;  // the board acknowledged the on command
};

}  // namespace station_center
