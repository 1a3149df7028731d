// Station-wide conditions that override every task: the emergency stop, sensor
// data gone stale and a board that restarted under the running tasks.

#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "config.h"
#include "error_codes.h"
#include "logger.h"
#include "station_center.h"

namespace station_center {

namespace {

// A board re-connection this soon after the last report is the stream restarting,
// not the board: a board that restarts is silent for longer.
constexpr int64_t kRestartGapMillis = 1000;
// The housekeeping looks once a second; this long without a look, the station
// itself was not running (SIGSTOP, a suspended VM, a starved machine). Below
// sensor_stale_time's default, so a short pause is no stale link either.
constexpr int64_t kStationPausedMillis = 2000;

// Switch-off order under the emergency stop: the heat wire before the fan that
// cools it, the fan last, the rest by type.
int StopRank(TaskType type) {
  if (type == TASK_TYPE_HEAT_WIRE) {
    return -1;
  }
  return type == TASK_TYPE_DRY ? 1000 : static_cast<int>(type);
}

StationSrvReq ResetRequest() {
  StationSrvReq req;
  req.task_type = TASK_TYPE_RESET_STATION;
  return req;
}

}  // namespace

// ---------------------------------------------------------------------------
// Emergency stop

void StationCenter::StopAllTasksUnlock() {
  std::vector<std::shared_ptr<Task>> running;
  for (const auto& entry : tasks_) {
    running.push_back(entry.second);
  }
  std::sort(running.begin(), running.end(), [](const std::shared_ptr<Task>& a, const std::shared_ptr<Task>& b) {
    return StopRank(a->task_type()) < StopRank(b->task_type());
  });
  for (const auto& task : running) {
    StopTaskUnlock(task);
  }
}

void StationCenter::EmergencyStopPressedUnlock() {
  LOG_WARN("ErrorCode: {}, emergency stop pressed, every output switched off until the board confirms it",
           kErrEmergencyStopPressed);
  // The status first: from here on nothing admits, resets, drives or switches on.
  SetStationCenterStatus(STATION_STATUS_EMERGENCY_STOP);
  SwitchOffRequiredUnlock();
  StopAllTasksUnlock();
  AbnormalTaskRecord(ABNORMAL_EMERGENCY_STOP, TASK_TYPE_SENSOR);
}

void StationCenter::SwitchOffRequiredUnlock() {
  if (guard_) {
    guard_->SwitchOffRequired(true, &task_mutex_);
    NoteSewagePumpOffUnlock();
  }
}

void StationCenter::NoteSewagePumpOffUnlock() {
  if (guard_ && !guard_->MayBeOn(station::ENUM_SUPPLY_SEWAGE_PUMP)) {
    std::unique_lock<std::shared_mutex> data_lock(task_data_mutex_);
    task_data_.sewage_pump_working = false;  // so the automation opens it again when due
  }
}

void StationCenter::SwitchOffForExit() {
  exiting_.store(true);
  LOG_WARN("stopping: every task cancelled and every output switched off before the exit");
  std::lock_guard<std::mutex> lock(task_mutex_);
  if (guard_) {
    guard_->SetHold(kHoldExit, true);
  }
  SwitchOffRequiredUnlock();
  StopAllTasksUnlock();
  // Whatever a task or the sewage automation left on: the board reset passes every hold.
  station::ActionCommand reset;
  reset.set_supply_type_(station::ENUM_SUPPLY_RESET_MCU);
  reset.set_action_(1);
  if (!SendCommand(reset)) {
    LOG_ERROR("stopping: the board did not confirm its reset, outputs may be left on");
  }
}

void StationCenter::EmergencyStopReleasedUnlock() {
  LOG_WARN("ErrorCode: {}, emergency stop released, the station resets", kErrEmergencyStopReleased);
  {
    std::unique_lock<std::shared_mutex> data_lock(task_data_mutex_);
    task_data_.AbnormalInfoRelease(ABNORMAL_EMERGENCY_STOP, TASK_TYPE_SENSOR);
  }
  // As after the robot left: status 2 now, the reset task once nothing runs,
  // status normal when it ends.
  StartResetWaiterUnlock();
}

void StationCenter::StopTaskUnlock(const std::shared_ptr<Task>& task) {
  // After the pass under way, if any; the task may have ended in it.
  const TaskClaim claim(*this, task.get());
  auto it = tasks_.find(task->task_type());
  if (it == tasks_.end() || it->second != task) {
    return;
  }
  if (!task->OperateTask(TASK_OPERATION_CANCEL, StationSrvReq())) {
    // A refused cancel (the board, or the task's own rule) must still leave
    // nothing running: the reset's switch-off, and the guard's after it.
    LOG_WARN("task id {}, task type {}, cancel refused, switching off anyway", static_cast<int32_t>(task->task_id()),
             static_cast<int>(task->task_type()));
    task->DoReset();
  }
  task->AfterCancel();
  // Looked up again: the cancel's exchange let other threads change the table.
  it = tasks_.find(task->task_type());
  if (it != tasks_.end() && it->second == task) {
    tasks_.erase(it);
  }
}

// ---------------------------------------------------------------------------
// Stale sensor data and board restarts

void StationCenter::SuperviseBoard() {
  // Outside the task lock: re-making the connection may take a while.
  if (embedded_communicator_) {
    embedded_communicator_->ProbeCommandLink();
  }
  // task_mutex_ alone: every writer of the sensor snapshot holds it, and the
  // claims taken below must not wait with another lock held.
  std::lock_guard<std::mutex> lock(task_mutex_);
  const int64_t now = clock_->NowMillis();
  if (supervised_millis_ != 0 && now - supervised_millis_ > kStationPausedMillis) {
    resumed_millis_ = now;
    LOG_WARN("station did not run for {} ms; the sensor link's silence counts from now", now - supervised_millis_);
  }
  supervised_millis_ = now;
  CheckWallStepUnlock();
  CheckSensorStaleUnlock();
  if (embedded_communicator_) {
    const uint32_t reconnects = embedded_communicator_->reconnects();
    if (reconnects != seen_reconnects_) {
      seen_reconnects_ = reconnects;
      BoardRestartedUnlock("command connection re-made", reconnects);
    }
  }
  // Off until confirmed: whatever must be off and is not yet is sent again.
  SwitchOffRequiredUnlock();
  supervised_millis_ = clock_->NowMillis();  // its own waits on the board are no pause
}

void StationCenter::CheckSensorStaleUnlock() {
  // Before the first report the start-up wait for the board applies instead.
  if (!sensor_automation_.started || sensor_stale_) {
    return;
  }
  const int64_t now = clock_->NowMillis();
  const int64_t silent_millis = now - SilenceFromUnlock(now);
  if (silent_millis <= static_cast<int64_t>(g_config.sensor_stale_time) * 1000) {
    return;
  }
  sensor_stale_ = true;
  LOG_WARN("ErrorCode: {}, sensor data stale, no report for {} ms, every output off, running tasks end in error",
           kErrSensorDataStale, silent_millis);
  // Nothing acts blind: the automation's pump goes off too. Reported after.
  if (guard_) {
    guard_->SetHold(kHoldStaleData, true);
  }
  SwitchOffRequiredUnlock();
  FailRunningTasksUnlock(false);
  AbnormalTaskRecord(ABNORMAL_SENSOR_LINK_LOST, TASK_TYPE_SENSOR);
}

int64_t StationCenter::SilenceFromUnlock(int64_t now) const {
  // Housekeeping not yet back from a pause: what the link buffered meanwhile is
  // still unread, so nothing can be told of the board yet.
  if (supervised_millis_ != 0 && now - supervised_millis_ > kStationPausedMillis) {
    return now;
  }
  return std::max(sensors_data_millis_, resumed_millis_);
}

void StationCenter::CheckWallStepUnlock() {
  const int64_t step = wall_watch_.Check(*clock_);
  if (step == 0) {
    return;
  }
  // Durations run on the steady clock and are unmoved; only dates see the step.
  LOG_WARN("wall clock stepped by {} s, now {}; the dust-bag date moves along", step, clock_->WallSeconds());
  ShiftDustBagReplyTime(step);
}

void StationCenter::SensorDataResumedUnlock() {
  sensor_stale_ = false;
  if (guard_) {
    guard_->SetHold(kHoldStaleData, false);
  }
  LOG_WARN("ErrorCode: {}, sensor data resumed, the station resets", kErrSensorDataResumed);
  {
    std::unique_lock<std::shared_mutex> data_lock(task_data_mutex_);
    task_data_.AbnormalInfoRelease(ABNORMAL_SENSOR_LINK_LOST, TASK_TYPE_SENSOR);
  }
  // The emergency stop's release resets the station itself.
  if (station_status() == STATION_STATUS_EMERGENCY_STOP) {
    return;
  }
  SetStationCenterStatus(STATION_STATUS_RESET);
  const StationSrvRsp rsp = ReceiveTaskUnlock(ResetRequest());
  LOG_INFO("sensor data resumed, reset task result : {}, err_msg : {}", rsp.code, rsp.msg);
}

void StationCenter::CheckBoardRestartUnlock(int64_t gap_millis) {
  SensorAutomation& a = sensor_automation_;
  const station::SensorsDataRep& s = sensors_data_;
  const bool init_ok = s.initsensorsstate() && s.initactuatorsstate();
  const bool reinitialised = init_ok && !a.board_init_ok && a.board_init_seen;
  a.board_init_seen = a.board_init_seen || init_ok;
  a.board_init_ok = init_ok;

  const std::shared_ptr<DataUploadServer> server =
      embedded_communicator_ ? embedded_communicator_->data_upload_server() : nullptr;
  const uint32_t connection = server ? server->connections() : 0;
  const bool reconnected =
      a.sensor_connection != 0 && connection != a.sensor_connection && gap_millis >= kRestartGapMillis;
  a.sensor_connection = connection;

  if (reinitialised) {
    BoardRestartedUnlock("board initialised again");
  } else if (reconnected) {
    BoardRestartedUnlock("sensor connection re-made after a gap");
  }
}

void StationCenter::BoardRestartedUnlock(const char* why, uint32_t before) {
  LOG_WARN("ErrorCode: {}, board restarted ({}), tasks that ran before end in error", kErrBoardRestarted, why);
  // A reset under way carries on: its commands reach the board as it is now.
  // So do tasks whose first pass came after the restart.
  FailRunningTasksUnlock(true, before);
  last_led_cmd_ = station::LED_NOT_CHANGE;  // the board shows its own pattern again
  if (tasks_.count(TASK_TYPE_SEWAGE_DRAIN_PUMP) != 0) {
    return;  // the pump task's reset switches the pump off
  }
  {
    std::shared_lock<std::shared_mutex> data_lock(task_data_mutex_);
    if (!task_data_.sewage_pump_working) {
      return;
    }
  }
  // Off for certain, so the automation opens it again while sewage is seen.
  // Sent without the data lock: the exchange may release task_mutex_.
  station::ActionCommand cmd;
  cmd.set_supply_type_(station::ENUM_SUPPLY_SEWAGE_PUMP);
  cmd.set_action_(0);
  if (SendCommand(cmd)) {
    std::unique_lock<std::shared_mutex> data_lock(task_data_mutex_);
    task_data_.sewage_pump_working = false;
  } else {
    LOG_ERROR("ErrorCode: {}, board restarted, but close sewage drain pump failed", kErrCloseSewagePump);
  }
}

void StationCenter::FailRunningTasksUnlock(bool keep_reset, uint32_t before) {
  // A copy: each claim may wait for a pass, which may change the table.
  std::vector<std::shared_ptr<Task>> tasks;
  for (const auto& entry : tasks_) {
    tasks.push_back(entry.second);
  }
  for (const std::shared_ptr<Task>& task : tasks) {
    const TaskClaim claim(*this, task.get());
    const auto it = tasks_.find(task->task_type());
    if (it == tasks_.end() || it->second != task) {
      continue;
    }
    const bool running = task->status() == TASK_STATUS_INIT || task->status() == TASK_STATUS_RUNNING;
    const auto generation = generations_.find(task.get());
    const bool ran_before = generation == generations_.end() ? before == UINT32_MAX : generation->second < before;
    if (running && ran_before && !(keep_reset && TaskTypeInfoOf(task->task_type()).station_reset())) {
      task->SetTaskStatus(TASK_STATUS_ERROR);
    }
  }
}

}  // namespace station_center
