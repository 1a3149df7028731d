#include "task/task.h"

#include <mutex>
#include <shared_mutex>

#include "bottom/embedded_communicator.h"
#include "clock.h"
#include "logger.h"
#include "station_center.h"

namespace station_center {

namespace {

namespace common = vantorel_base_station_common;

constexpr int kErrExecTimeout = 101900019;
constexpr int kErrTapClose = 101900033;
constexpr int kErrSupplyClose = 101900036;

}  // namespace

Task::Task(std::shared_ptr<StationCenter> station_center, const TaskType& task_type, int64_t max_seconds)
    : max_seconds_(max_seconds),
      station_center_(std::move(station_center)),
      task_type_(task_type),
      task_id_(NowSeconds()),
      conflict_err_codes_{
          {TASK_TYPE_DISINFECTANT_PREPARE, common::ENUM_CONFLICT_WITH_DISINFECTANT_PREPARE},
          {TASK_TYPE_CLEAN_LIQUID_PREPARE, common::ENUM_CONFLICT_WITH_CLEAN_LIQUEID_PREPARE},
          {TASK_TYPE_PERFUME_LIQUID_PREPARE, common::ENUM_CONFLICT_WITH_PERFUME_LIQUEID_PREPARE},
          {TASK_TYPE_DRAIN_WATER, common::ENUM_CONFLICT_WITH_DRAIN_WATER},
          {TASK_TYPE_ADD_WATER, common::ENUM_CONFLICT_WITH_ADD_WATER},
          {TASK_TYPE_DUST_COLLECT, common::ENUM_CONFLICT_WITH_DUST_COLLECTION},
          {TASK_TYPE_WATER_SPRAY, common::ENUM_CONFLICT_WITH_WATER_SPRAY},
          {TASK_TYPE_SEWAGE_DRAIN_PUMP, common::ENUM_CONFLICT_WITH_SEWAGE_DRAIN},
          {TASK_TYPE_DRY, common::ENUM_CONFLICT_WITH_DRY_FAN},
          {TASK_TYPE_HEAT_WIRE, common::ENUM_CONFLICT_WITH_HEAT_WIRE},
          {TASK_TYPE_AUTO_CHARGE, common::ENUM_CONFLICT_WITH_AUTO_CHARGE},
          {TASK_TYPE_MANUAL_CHARGE, common::ENUM_CONFLICT_WITH_MANUAL_CHARGE},
      } {
  // Unit tests build tasks without a station core; they then have no board.
  if (station_center_) {
    communicator_ = station_center_->embedded_communicator();
  }
}

Task::~Task() = default;

void Task::AfterOver() {}
void Task::AfterError() {}
void Task::AfterCancel() {}
bool Task::DoCancelUnlock() { return true; }
PreCheckResult Task::PreCheckUnlock(const station::SensorsDataRep& /*data*/) { return PreCheckResult(); }
bool Task::UpdateTaskInfoUnlock(const StationSrvReq& /*req*/) { return true; }

PreCheckResult Task::PreCheckUnlock(const TaskTable& tasks, const station::SensorsDataRep& data) {
  for (TaskType conflict : conflict_types_) {
    if (tasks.find(conflict) == tasks.end()) {
      continue;
    }
    LOG_INFO("tasktype {} have conflict tasktype {} running", static_cast<int>(task_type_), static_cast<int>(conflict));
    PreCheckResult result;
    auto code = conflict_err_codes_.find(conflict);
    if (code == conflict_err_codes_.end()) {
      LOG_WARN("Can not find conflict type's err code, task id : {}", static_cast<int32_t>(task_id_));
      result.err_code = common::ENUM_ERROR_UNKNOW;
    } else {
      result.err_code = code->second;
    }
    result.err_msg =
        "pre check failed, have conflict task " + std::to_string(static_cast<int>(conflict)) + " is running";
    return result;
  }
  return PreCheckUnlock(data);
}

bool Task::OperateTask(const TaskOperation& operation, const StationSrvReq& req) {
  std::lock_guard<std::mutex> lock(mutex_);
  switch (operation) {
    case TASK_OPERATION_CANCEL: {
      const bool ok = DoCancelUnlock();
      SetTaskStatus(ok ? TASK_STATUS_CANCEL : TASK_STATUS_ERROR);
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

void Task::SwitchStep(const int32_t& step) {
  if (step == step_) {
    return;
  }
  LOG_INFO("task id {}, task type {}, switch step {} to {}", static_cast<int32_t>(task_id_),
           static_cast<int>(task_type_), step_, step);
  step_ = step;
}

bool Task::RunCurrentStep(const station::SensorsDataRep& data) {
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

bool Task::StepTaskPass(const station::SensorsDataRep& data, const char* finished_what) {
  if (Finished()) {
    LogAlreadyFinished(finished_what);
    return true;
  }
  if (status_ == TASK_STATUS_INIT) {
    SetTaskStatus(TASK_STATUS_RUNNING);
    SwitchStep(1);
    start_time_ = NowSeconds();
    OnStepTaskStart();
  }
  if (TimeLimitPassed()) {
    return OnTimeLimit();
  }
  return RunCurrentStep(data);
}

bool Task::OnTimeLimit() {
  LogExecTimeout();
  return false;
}

bool Task::SendAction(station::EnumSupplyType supply_type, int32_t action) {
  if (!communicator_) {
    return false;
  }
  station::ActionCommand cmd;
  cmd.set_supply_type_(supply_type);
  cmd.set_action_(action);
  return communicator_->DoAction(cmd);
}

SupplyMaterialTask::SupplyMaterialTask(std::shared_ptr<StationCenter> station_center, const TaskType& task_type,
                                       int64_t max_seconds, int32_t action)
    : Task(std::move(station_center), task_type, max_seconds), action_(action) {}

bool SupplyMaterialTask::UpdateTaskInfoUnlock(const StationSrvReq& req) {
  max_seconds_ = req.supply_material_req.cmd().duration();
  start_time_ = NowSeconds();
  return true;
}

bool SupplyMaterialTask::CloseWaterValves(const char* done_line) {
  // Both valves are tried: a refused tap close must not leave the supply pump
  // running into the robot.
  const bool tap_closed = SendAction(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 0);
  if (!tap_closed) {
    LOG_ERROR("ErrorCode: {}, close water switch failed", kErrTapClose);
  } else {
    LOG_INFO("{}", done_line);
  }
  const bool supply_closed = SendAction(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, 0);
  if (!supply_closed) {
    LOG_ERROR("ErrorCode: {}, close supply tag failed", kErrSupplyClose);
  }
  return tap_closed && supply_closed;
}

void Task::SetTankWaterVolume(int32_t volume) {
  std::unique_lock<std::shared_mutex> lock(station_center_->task_data_mutex());
  station_center_->task_data().tank_water_volume = volume;
}

void TapFill::Opened(const station::SensorsDataRep& data) {
  open_millis_ = NowMillis();
  count_before_open_ = data.flowmeter();
  count_ = 0;
}

void TapFill::Update(const station::SensorsDataRep& data, int64_t report_millis) {
  if (report_millis > open_millis_ && data.flowmeter() != count_before_open_) {
    count_ = data.flowmeter();
  }
}

RunActuatorTask::RunActuatorTask(std::shared_ptr<StationCenter> station_center, const TaskType& task_type,
                                 int64_t max_seconds, int32_t action, const Actuator& actuator)
    : SupplyMaterialTask(std::move(station_center), task_type, max_seconds, action), actuator_(actuator) {}

bool RunActuatorTask::DoTaskInside(const station::SensorsDataRep& /*data*/) {
  if (Finished()) {
    LogAlreadyFinished("already over or error or cancel");
    return true;
  }
  if (status_ == TASK_STATUS_INIT) {
    MarkStarted();
  }
  if (TimeLimitPassed()) {
    LogExecTimeout();
    return false;
  }
  if (started_) {
    return true;
  }
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
