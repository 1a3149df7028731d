#include "task/task.h"

#include "error_codes.h"
#include "logger.h"
#include "task/task_factory.h"

namespace station_center {

namespace {

namespace common = vantorel_base_station_common;

}  // namespace

bool RobotInPosition(const station::SensorsDataRep& data) {
  return data.robotdockdetleft() != 0 && data.robotdockdetright() != 0 && data.electrodeplatedet() != 0;
}

Task::Task(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds)
    : services_(std::move(services)),
      max_seconds_(max_seconds),
      task_type_(task_type),
      task_id_(services_->clock().WallSeconds()) {}

Task::~Task() = default;

void Task::AfterOver() {}
void Task::AfterError() {}
void Task::AfterCancel() {}
bool Task::DoCancelUnlock() { return true; }
PreCheckResult Task::PreCheckUnlock(const station::SensorsDataRep& /*data*/) { return PreCheckResult(); }

bool Task::UpdateTaskInfoUnlock(const StationSrvReq& req) {
  if (TaskTypeInfoOf(task_type_).limit_from_request()) {
    max_seconds_ = req.supply_material_req.cmd().duration();
    start_time_ = NowSeconds();
  }
  return true;
}

PreCheckResult Task::PreCheckUnlock(const TaskTable& tasks, const station::SensorsDataRep& data) {
  for (TaskType conflict : conflict_types_) {
    if (tasks.find(conflict) == tasks.end()) {
      continue;
    }
    LOG_INFO("tasktype {} have conflict tasktype {} running", static_cast<int>(task_type_), static_cast<int>(conflict));
    PreCheckResult result;
    result.err_code = TaskTypeInfoOf(conflict).conflict_err_code;
    if (result.err_code == common::ENUM_SUCCESS) {
      LOG_WARN("Can not find conflict type's err code, task id : {}", static_cast<int32_t>(task_id_));
      result.err_code = common::ENUM_ERROR_UNKNOW;
    }
    result.err_msg =
        "pre check failed, have conflict task " + std::to_string(static_cast<int>(conflict)) + " is running";
    return result;
  }
  return PreCheckUnlock(data);
}

bool Task::OperateTask(const TaskOperation& operation, const StationSrvReq& req) {
  switch (operation) {
    case TASK_OPERATION_CANCEL: {
      const bool ok = DoCancelUnlock();
      SetTaskStatus(ok ? TASK_STATUS_CANCEL : RefusedCancelStatus());
      return ok;
    }
    case TASK_OPERATION_UPDATE:
      return UpdateTaskInfoUnlock(req);
  }
  return false;
}

void Task::SetTaskStatus(const TaskStatus& status) {
  if (status == status_) {
    return;
  }
  LOG_INFO("Task Id : {}, TaskType : {}, change status {} to {}", static_cast<int32_t>(task_id_),
           static_cast<int>(task_type_), static_cast<int>(status_), static_cast<int>(status));
  status_ = status;
}

TaskStatus Task::RefusedCancelStatus() const { return TASK_STATUS_ERROR; }

bool Task::Stopping() const { return Finished(); }

bool Task::Finished() const { return status_ != TASK_STATUS_INIT && status_ != TASK_STATUS_RUNNING; }

void Task::LogAlreadyFinished(const char* what) const {
  LOG_INFO("task id {}, task type {}, {}", static_cast<int32_t>(task_id_), static_cast<int>(task_type_), what);
}

void Task::MarkStarted() {
  SetTaskStatus(TASK_STATUS_RUNNING);
  start_time_ = NowSeconds();
}

bool Task::TimeLimitPassed() const { return max_seconds_ > 0 && NowSeconds() - start_time_ > max_seconds_; }

void Task::LogExecTimeout() const {
  LOG_ERROR("ErrorCode: {}, task id {}, task type {}, exec timeout", kErrExecTimeout, static_cast<int32_t>(task_id_),
            static_cast<int>(task_type_));
}

bool Task::OnTimeLimit() {
  LogExecTimeout();
  return false;
}

bool Task::SendAction(station::EnumSupplyType supply_type, int32_t action) {
  station::ActionCommand cmd;
  cmd.set_supply_type_(supply_type);
  cmd.set_action_(action);
  return services_->SendCommand(cmd);
}

bool Task::Command(station::EnumSupplyType supply_type, int32_t action, int err_code, std::string_view what) {
  if (SendAction(supply_type, action)) {
    return true;
  }
  LOG_ERROR("ErrorCode: {}, {}", err_code, what);
  return false;
}

bool Task::CommandOrFail(station::EnumSupplyType supply_type, int32_t action, int err_code, std::string_view what) {
  if (Command(supply_type, action, err_code, what)) {
    return true;
  }
  SetTaskStatus(TASK_STATUS_ERROR);
  return false;
}

std::string Task::Named(std::string_view what) const {
  return "task id " + std::to_string(static_cast<int32_t>(task_id_)) + ", task type " +
         std::to_string(static_cast<int>(task_type_)) + ", " + std::string(what);
}

void Task::WithTaskData(const std::function<void(StationTaskData&)>& update) { services_->WithTaskData(update); }

void Task::ReadTaskData(const std::function<void(const StationTaskData&)>& read) const {
  services_->ReadTaskData(read);
}

void Task::AbnormalTaskRecord(int32_t type, int32_t task) { services_->AbnormalTaskRecord(type, task); }

int64_t Task::LatestReportMillis() const { return services_->LatestReportMillis(); }

void Task::SetTankWaterVolume(int32_t volume) {
  WithTaskData([volume](StationTaskData& data) { data.tank_water_volume = volume; });
}

bool Task::CloseWaterValves(const char* done_line) {
  // Both valves are tried: a refused tap close must not leave the supply pump
  // running into the robot.
  const bool tap_closed = Command(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 0, kErrTapClose, "close water switch failed");
  if (tap_closed) {
    LOG_INFO("{}", done_line);
  }
  const bool supply_closed =
      Command(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, 0, kErrSupplyClose, "close supply tag failed");
  return tap_closed && supply_closed;
}

StepTask::StepTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds,
                   const char* finished_what)
    : Task(std::move(services), task_type, max_seconds), finished_what_(finished_what) {}

bool StepTask::DoTaskInside(const station::SensorsDataRep& data) {
  if (Finished()) {
    LogAlreadyFinished(finished_what_);
    return true;
  }
  if (status_ == TASK_STATUS_INIT) {
    SetTaskStatus(TASK_STATUS_RUNNING);
    SwitchStep(1);
    start_time_ = NowSeconds();
    OnStart();
  }
  if (TimeLimitPassed()) {
    return OnTimeLimit();
  }
  return RunCurrentStep(data);
}

void StepTask::SwitchStep(const int32_t& step) {
  if (step == step_) {
    return;
  }
  LOG_INFO("task id {}, task type {}, switch step {} to {}", static_cast<int32_t>(task_id_),
           static_cast<int>(task_type_), step_, step);
  step_ = step;
}

bool StepTask::RunCurrentStep(const station::SensorsDataRep& data) {
  auto it = steps_.find(step_);
  if (it == steps_.end() || !it->second) {
    // A step machine that points nowhere cannot make progress; end in error
    // rather than spin until the time limit.
    LOG_ERROR("task id {}, task type {}, no step {}", static_cast<int32_t>(task_id_), static_cast<int>(task_type_),
              step_);
    return false;
  }
  return it->second(data);
}

ActionTask::ActionTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds,
                       const char* finished_what, LimitCheck limit_check)
    : Task(std::move(services), task_type, max_seconds), finished_what_(finished_what), limit_check_(limit_check) {}

bool ActionTask::DoTaskInside(const station::SensorsDataRep& data) {
  if (Finished()) {
    LogAlreadyFinished(finished_what_);
    return true;
  }
  if (status_ == TASK_STATUS_INIT) {
    start_time_ = static_cast<time_t>(NowSeconds());
    if (!OnStart()) {
      return false;
    }
    SetTaskStatus(TASK_STATUS_RUNNING);
  }
  if (limit_check_ == LimitCheck::kBeforePass && TimeLimitPassed()) {
    return OnTimeLimit();
  }
  const bool ok = OnPass(data);
  if (limit_check_ == LimitCheck::kAfterPass && ok && !Finished() && TimeLimitPassed()) {
    return OnTimeLimit();
  }
  return ok;
}

void TapFill::Opened(const station::SensorsDataRep& data, int64_t now_millis) {
  open_millis_ = now_millis;
  count_before_open_ = data.flowmeter();
  count_ = 0;
}

void TapFill::Update(const station::SensorsDataRep& data, int64_t report_millis) {
  if (report_millis > open_millis_ && data.flowmeter() != count_before_open_) {
    count_ = data.flowmeter();
  }
}

RunActuatorTask::RunActuatorTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds,
                                 const Actuator& actuator)
    : ActionTask(std::move(services), task_type, max_seconds), actuator_(actuator) {}

bool RunActuatorTask::OnPass(const station::SensorsDataRep& /*data*/) {
  if (started_) {
    return true;
  }
  // Sent after the time-limit check, once the task counts as running.
  if (!SendAction(actuator_.supply, 1)) {
    SetTaskStatus(TASK_STATUS_ERROR);
    LOG_ERROR("ErrorCode: {}, start {} failed", actuator_.err_start, actuator_.name);
    return false;
  }
  started_ = true;
  return true;
}

bool RunActuatorTask::Stop() {
  if (!SendAction(actuator_.supply, 0)) {
    SetTaskStatus(TASK_STATUS_ERROR);
    LOG_ERROR("ErrorCode: {}, stop {} failed", actuator_.err_stop, actuator_.name);
    return false;
  }
  return true;
}

bool RunActuatorTask::DoCancelUnlock() {
  // Nothing was switched on yet, so there is nothing to switch off.
  if (!started_) {
    return true;
  }
  return Stop();
}

bool RunActuatorTask::DoReset() { return Stop(); }

}  // namespace station_center
