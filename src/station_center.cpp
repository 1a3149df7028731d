#include "station_center.h"

#include <chrono>
#include <exception>
#include <string>
#include <thread>

#include "config.h"
#include "error_codes.h"
#include "led_manager.h"
#include "logger.h"
#include "task/task_factory.h"

namespace station_center {

namespace {

std::mutex g_station_center_mutex;
std::shared_ptr<StationCenter> g_station_center;  // guarded by g_station_center_mutex

StationSrvRsp Answer(int32_t code, std::string msg = std::string()) {
  StationSrvRsp rsp;
  rsp.code = code;
  rsp.msg = std::move(msg);
  return rsp;
}

StationSrvReq ResetRequest() {
  StationSrvReq req;
  req.task_type = TASK_TYPE_RESET_STATION;
  return req;
}

// A board that did not answer a lamp pattern is asked again after this.
constexpr int64_t kLedSilentRetryMillis = 10000;

// A failed reset is tried again this often with the robot away, an idle time
// apart; a fault that outlasts them waits for the robot's next visit.
constexpr int kResetRetries = 3;

// The robot's action in a task request; preparations carry it in their own message.
int32_t RequestedAction(const TaskTypeInfo& policy, const StationSrvReq& req) {
  return policy.action_from_prepare() ? req.prepare_disinfectant_req.cmd().action_cmd().action()
                                      : req.supply_material_req.cmd().action();
}

// Task ids are logged as 32-bit numbers.
int32_t LogId(const std::shared_ptr<Task>& task) { return static_cast<int32_t>(task->task_id()); }
int LogType(const std::shared_ptr<Task>& task) { return static_cast<int>(task->task_type()); }

const TaskTypeInfo& Policy(const std::shared_ptr<Task>& task) { return TaskTypeInfoOf(task->task_type()); }

// The robot's action enum; the illegal 0 keeps its own answers. Any other value
// would reach the board as power 0 and be answered success.
bool KnownAction(int32_t action) {
  namespace mqtt = vantorel_base_station_mqtt;
  return action >= mqtt::ENUM_ACTION_ILLEGAL && action <= mqtt::ENUM_ACTION_STOP;
}

StationSrvRsp UnknownActionAnswer(int32_t action) {
  LOG_WARN("action model {} unknown, task refused", action);
  StationSrvRsp rsp = Answer(SRV_CODE_FAILED, "action model " + std::to_string(action) + " unknown");
  rsp.err_code = vantorel_base_station_common::ENUM_ERROR_UNKNOW;
  return rsp;
}

// A start for a type whose task is ending (cancelled, finished or switching off)
// would be acknowledged and then dropped with the old task; the robot asks again.
StationSrvRsp StoppingAnswer(const std::shared_ptr<Task>& task) {
  LOG_INFO("task id {}, task type {}, still stopping, start refused", LogId(task), LogType(task));
  StationSrvRsp rsp = Answer(SRV_CODE_FAILED, "task stopping, retry");
  rsp.err_code = vantorel_base_station_common::ENUM_ERROR_UNKNOW;
  return rsp;
}

}  // namespace

std::shared_ptr<StationCenter> GetStationCenter() {
  std::lock_guard<std::mutex> lock(g_station_center_mutex);
  return g_station_center;
}

void SetStationCenter(std::shared_ptr<StationCenter> station_center) {
  std::lock_guard<std::mutex> lock(g_station_center_mutex);
  g_station_center = std::move(station_center);
}

StationCenter::StationCenter(CoreParts parts)
    : clock_(parts.clock ? std::move(parts.clock) : SystemClock()),
      task_makers_(parts.task_makers ? std::move(parts.task_makers) : std::make_shared<const TaskMakers>()),
      publisher_(std::move(parts.publisher)),
      embedded_communicator_(std::move(parts.board)) {
  if (embedded_communicator_) {
    guard_ = std::make_shared<OutputGuard>(embedded_communicator_, clock_);
  }
  using std::placeholders::_1;
  services_.emplace(SRV_CMD_TASK, std::bind(&StationCenter::ReceiveTask, this, _1));
  services_.emplace(SRV_CMD_ROBOT_POSITION, std::bind(&StationCenter::CheckRobotPosition, this, _1));
  services_.emplace(SRV_CMD_WATER_READY, std::bind(&StationCenter::CheckWaterReady, this, _1));
  services_.emplace(SRV_CMD_ADD_WATER_FINISHED, std::bind(&StationCenter::CheckAddWaterFinished, this, _1));
  services_.emplace(SRV_CMD_STATION_BUSY, std::bind(&StationCenter::CheckStationBusy, this, _1));
  services_.emplace(SRV_CMD_ROBOT_LEAVE, std::bind(&StationCenter::RobotLeaveStation, this, _1));
  services_.emplace(SRV_CMD_CONNECTION_LOST, std::bind(&StationCenter::HandleConnectionLost, this, _1));
  services_.emplace(SRV_CMD_CLOUD_REPLY, std::bind(&StationCenter::UpdateConsumablesSate, this, _1));
}

StationCenter::~StationCenter() {
  // The sensor server calls back into this object: stop it, and wait until its
  // thread is out of the callback, before the members the callback uses go away
  // (they are destroyed before the communicator that owns the server).
  if (embedded_communicator_ && embedded_communicator_->data_upload_server()) {
    embedded_communicator_->data_upload_server()->Stop();
  }
}

// Every caller holds task_mutex_ and no other station lock; the guard lets it
// go while the board answers.
bool StationCenter::SendCommand(const station::ActionCommand& cmd) {
  if (!guard_) {
    return false;
  }
  // A task pass's command waits behind a robot's stop or the sensor automation.
  const bool urgent = !driving_;
  return guard_->Send(cmd, urgent, &task_mutex_);
}

// ---------------------------------------------------------------------------
// Claims

thread_local bool StationCenter::driving_ = false;

StationCenter::TaskClaim::TaskClaim(StationCenter& center, const Task* task) : center_(center), task_(task) {
  if (!task_) {
    return;
  }
  const std::thread::id self = std::this_thread::get_id();
  center_.claim_released_.wait(center_.task_mutex_, [&] {
    center_.task_mutex_.AssertHeld();  // the wait's predicate runs with it held
    const auto it = center_.claims_.find(task_);
    return it == center_.claims_.end() || it->second.owner == self;
  });
  Claim& claim = center_.claims_[task_];
  claim.owner = self;
  ++claim.depth;
}

StationCenter::TaskClaim::~TaskClaim() {
  if (!task_) {
    return;
  }
  const auto it = center_.claims_.find(task_);
  if (it != center_.claims_.end() && --it->second.depth == 0) {
    center_.claims_.erase(it);
    center_.claim_released_.notify_all();
  }
}

std::shared_ptr<Task> StationCenter::ClaimRunningUnlock(TaskType type, std::unique_ptr<TaskClaim>* claim) {
  while (true) {
    const auto it = tasks_.find(type);
    if (it == tasks_.end()) {
      return nullptr;
    }
    const std::shared_ptr<Task> task = it->second;
    *claim = std::make_unique<TaskClaim>(*this, task.get());
    // The wait may have outlived the task, or seen a successor admitted.
    const auto now = tasks_.find(type);
    if (now != tasks_.end() && now->second == task) {
      return task;
    }
    claim->reset();
  }
}

void StationCenter::WithTaskData(const std::function<void(StationTaskData&)>& update) {
  WriterLock lock(&task_data_mutex_);
  update(task_data_);
}

void StationCenter::ReadTaskData(const std::function<void(const StationTaskData&)>& read) {
  ReaderLock lock(&task_data_mutex_);
  read(task_data_);
}

void StationCenter::ReleaseAbnormal(int32_t type, int32_t task) {
  WriterLock lock(&task_data_mutex_);
  task_data_.AbnormalInfoRelease(type, task);
}

void StationCenter::RequireOff(station::EnumSupplyType type) {
  if (guard_ && guard_->RequireOff(type)) {
    SwitchOffRequiredUnlock();
  }
}

bool StationCenter::TaskRunning(TaskType type) const { return tasks_.count(type) != 0; }

StationSrvRsp StationCenter::AdmitManualCharge() {
  StationSrvReq req;
  req.task_type = TASK_TYPE_MANUAL_CHARGE;
  return ReceiveTaskUnlock(req);
}

std::vector<TaskType> StationCenter::RunningTaskTypes() {
  std::vector<TaskType> types;
  MutexLock lock(&task_mutex_);
  for (const auto& entry : tasks_) {
    types.push_back(entry.first);
  }
  return types;
}

std::vector<std::pair<TaskType, int64_t>> StationCenter::RunningTaskStarts() {
  std::vector<std::pair<TaskType, int64_t>> running;
  MutexLock lock(&task_mutex_);
  for (const auto& entry : tasks_) {
    running.emplace_back(entry.first, entry.second ? static_cast<int64_t>(entry.second->start_time()) : 0);
  }
  return running;
}

int64_t StationCenter::LastReportMillis() {
  MutexLock lock(&task_mutex_);
  return sensors_data_millis_;
}

// ---------------------------------------------------------------------------
// Start-up

bool StationCenter::Init() {
  if (!ReadConfig()) {
    return false;
  }
  if (!InitEmbeddedCommunicator()) {
    return false;
  }
  led_manager_ = std::make_shared<LedManager>();
  if (!led_manager_->ReadConfig()) {
    return false;
  }
  if (g_config.hardware == "dvt1") {
    // The sorter counter lives as long as the process, like the station core itself.
    std::thread([this, self = weak_from_this().lock()]() { SocSensorDataDetect(); }).detach();
  }
  StartUpReset();
  return true;
}

bool StationCenter::InitEmbeddedCommunicator() {
  embedded_communicator_ = std::make_shared<EmbeddedCommunicator>();
  guard_ = std::make_shared<OutputGuard>(embedded_communicator_, clock_);
  // Pinned for the call: a task the callback drops (an emergency stop's) may hold
  // the last reference, and the core must not end inside its own callback.
  std::weak_ptr<StationCenter> weak = weak_from_this();
  return embedded_communicator_->Init([weak](station::SensorsDataRep& data) {
    if (const std::shared_ptr<StationCenter> self = weak.lock()) {
      self->DataUploadCallback(data);
    }
  });
}

void StationCenter::StartUpReset() {
  const StationSrvRsp rsp = ReceiveTask(ResetRequest());
  LOG_INFO("reset task result : {}, err_msg : {}", rsp.code, rsp.msg);
}

// ---------------------------------------------------------------------------
// Service dispatch and admission

StationSrvRsp StationCenter::HandleService(const StationSrvReq& req) {
  auto it = services_.find(req.cmd);
  if (it != services_.end()) {
    return it->second(req);
  }
  LOG_ERROR("ErrorCode: {}, station service receive unsupport cmd : {}", kErrUnsupportedCmd, req.cmd);
  return Answer(SRV_CODE_UNSUPPORTED_CMD);
}

StationSrvRsp StationCenter::ReceiveTask(const StationSrvReq& req) {
  MutexLock lock(&task_mutex_);
  // A stop waits for the pass under way of the task it stops; its own exchange
  // then leaves the other tasks and the sensor reports free to go on. Other
  // requests send nothing, so they need not wait.
  std::unique_ptr<TaskClaim> claim;
  if (RequestedAction(TaskTypeInfoOf(req.task_type), req) == vantorel_base_station_mqtt::ENUM_ACTION_STOP) {
    ClaimRunningUnlock(req.task_type, &claim);
  }
  return ReceiveTaskUnlock(req);
}

StationSrvRsp StationCenter::ReceiveTaskUnlock(const StationSrvReq& req) {
  const TaskType type = req.task_type;
  const TaskTypeInfo& policy = TaskTypeInfoOf(type);
  StationSrvRsp refusal;
  if (RefusedByStationUnlock(policy, &refusal)) {
    return refusal;
  }
  if (!policy.station_reset() && type == TASK_TYPE_INVALID) {
    LOG_ERROR("ErrorCode: {}, receive unvalid task type", kErrInvalidTaskType);
    return Answer(SRV_CODE_INVALID_TASK_TYPE, "task type is invalid");
  }

  const int32_t action = RequestedAction(policy, req);
  if (policy.needs_action() && !KnownAction(action)) {
    return UnknownActionAnswer(action);
  }
  auto running = tasks_.find(type);
  if (running == tasks_.end()) {
    return AdmitNewTaskUnlock(req, action);
  }
  const std::shared_ptr<Task> task = running->second;
  return OperateRunningTaskUnlock(task, req, action);
}

bool StationCenter::RefusedByStationUnlock(const TaskTypeInfo& policy, StationSrvRsp* refusal) const {
  const StationCenterStatus status = station_status();
  if (!policy.station_reset() && status == STATION_STATUS_EMERGENCY_STOP) {
    *refusal = Answer(SRV_CODE_EMERGENCY_STOP, "station in emergency stop status");
    return true;
  }
  // Not even a reset: every task would act on sensor readings nobody sends.
  if (sensor_stale_) {
    *refusal = Answer(SRV_CODE_FAILED, "sensor data stale");
    refusal->err_code = vantorel_base_station_common::ENUM_ERROR_UNKNOW;
    return true;
  }
  if (policy.station_reset()) {
    return false;
  }
  if (status == STATION_STATUS_ERROR) {
    *refusal = Answer(SRV_CODE_STATION_ERROR, "station in error status");
    return true;
  }
  if (status == STATION_STATUS_RESET) {
    *refusal = Answer(SRV_CODE_STATION_RESET, "station in reset");
    return true;
  }
  return false;
}

StationSrvRsp StationCenter::AdmitNewTaskUnlock(const StationSrvReq& req, int32_t action) {
  namespace mqtt = vantorel_base_station_mqtt;
  const TaskType type = req.task_type;
  if (action == mqtt::ENUM_ACTION_ILLEGAL && TaskTypeInfoOf(type).needs_action()) {
    return Answer(SRV_CODE_FAILED, "action model illegal");
  }
  if (action == mqtt::ENUM_ACTION_STOP) {
    return Answer(SRV_CODE_NO_TASK_TO_CANCEL, "cancel task failed, because no task (task type : " +
                                                  std::to_string(static_cast<int>(type)) + ") running");
  }
  const CreateTaskResult created = CreateTask(weak_from_this().lock(), req, *task_makers_);
  if (created.result != CREATE_TASK_SUCCESS || !created.task) {
    return Answer(SRV_CODE_FAILED, "create new task failed, may be not memory");
  }
  // Every writer of the snapshot also holds task_mutex_, which the caller holds.
  const PreCheckResult check = created.task->PreCheckUnlock(tasks_, sensors_data_);
  if (!check.err_msg.empty()) {
    LOG_ERROR(
        "The conditions are not met or there are mutually exclusive tasks, making it impossible to run new tasks");
    StationSrvRsp rsp = Answer(SRV_CODE_FAILED, check.err_msg);
    rsp.err_code = check.err_code;
    return rsp;
  }
  if (!AddNewTaskUnlock(created.task)) {
    return Answer(SRV_CODE_FAILED, "create new task failed, may be not memory");
  }
  return Answer(SRV_CODE_SUCCESS);
}

StationSrvRsp StationCenter::OperateRunningTaskUnlock(const std::shared_ptr<Task>& task, const StationSrvReq& req,
                                                      int32_t action) {
  namespace mqtt = vantorel_base_station_mqtt;
  switch (action) {
    case mqtt::ENUM_ACTION_ILLEGAL:
      return Answer(SRV_CODE_FAILED, "action model illegal");
    case mqtt::ENUM_ACTION_SOFT:
    case mqtt::ENUM_ACTION_STANDARD:
    case mqtt::ENUM_ACTION_STRONG:
      if (task->Stopping()) {
        return StoppingAnswer(task);
      }
      if (task->OperateTask(TASK_OPERATION_UPDATE, req)) {
        return Answer(SRV_CODE_TASK_UPDATED, "already exist task, upload task info success");
      }
      return Answer(SRV_CODE_FAILED, "already exist task, upload task info failed");
    case mqtt::ENUM_ACTION_STOP: {
      const std::string text = "cancel task id : " + std::to_string(task->task_id()) +
                               ",task type : " + std::to_string(static_cast<int>(task->task_type()));
      if (task->OperateTask(TASK_OPERATION_CANCEL, req)) {
        return Answer(SRV_CODE_SUCCESS, text);
      }
      return Answer(SRV_CODE_FAILED, text + ", failed");
    }
    default:
      return Answer(SRV_CODE_FAILED, "already exist task, upload task info failed");
  }
}

bool StationCenter::AddNewTaskUnlock(const std::shared_ptr<Task>& task) {
  const TaskType type = task->task_type();
  const bool first_task = tasks_.empty() && Policy(task).starts_work_period();
  tasks_[type] = task;

  // The driver keeps the station core alive until it has left it.
  std::shared_ptr<StationCenter> self = weak_from_this().lock();
  running_drivers_.fetch_add(1);
  try {
    std::thread([this, self, driven = task]() mutable {
      RunTask(driven);
      driven.reset();
      running_drivers_.fetch_sub(1);
    }).detach();
  } catch (const std::exception& e) {
    running_drivers_.fetch_sub(1);
    tasks_.erase(type);
    LOG_ERROR("start driver of task type {} failed: {}", static_cast<int>(type), e.what());
    return false;
  }

  if (first_task) {
    WriterLock data_lock(&task_data_mutex_);
    task_data_.work_started = true;
    task_data_.work_start_time = clock_->NowSeconds();
    LOG_INFO("Start work, time : {}", static_cast<int64_t>(task_data_.work_start_time));
  }
  return true;
}

StationSrvRsp StationCenter::CheckRobotPosition(const StationSrvReq& /*req*/) {
  // Deliberately without task_mutex_: the robot polls this while a task pass
  // may be waiting on the board. The status is atomic.
  ReaderLock sensors_lock(&sensors_mutex_);
  WriterLock data_lock(&task_data_mutex_);
  if (station_status() == STATION_STATUS_EMERGENCY_STOP) {
    return Answer(SRV_CODE_EMERGENCY_STOP);
  }
  // The snapshot is too old to say where the robot is.
  if (sensor_stale_) {
    return Answer(SRV_CODE_ROBOT_NOT_IN_POSITION);
  }
  if (RobotInPosition(SharedSensorsUnlock())) {
    task_data_.robot_position = 1;
    return Answer(SRV_CODE_ROBOT_IN_POSITION);
  }
  task_data_.robot_position = 2;
  return Answer(SRV_CODE_ROBOT_NOT_IN_POSITION);
}

StationSrvRsp StationCenter::CheckAddWaterFinished(const StationSrvReq& /*req*/) {
  MutexLock lock(&task_mutex_);
  ReaderLock data_lock(&task_data_mutex_);
  if (station_status() == STATION_STATUS_EMERGENCY_STOP) {
    return Answer(SRV_CODE_EMERGENCY_STOP);
  }
  if (task_data_.add_water_finished) {
    return Answer(SRV_CODE_ADD_WATER_FINISHED);
  }
  if (tasks_.count(TASK_TYPE_ADD_WATER) != 0) {
    return Answer(SRV_CODE_ADDING_WATER);
  }
  return Answer(SRV_CODE_NOT_STARTED);
}

StationSrvRsp StationCenter::CheckWaterReady(const StationSrvReq& /*req*/) {
  MutexLock lock(&task_mutex_);
  // Exclusive: the poll writes the work-period clock.
  WriterLock data_lock(&task_data_mutex_);
  task_data_.work_start_time = clock_->NowSeconds();
  if (station_status() == STATION_STATUS_EMERGENCY_STOP) {
    return Answer(SRV_CODE_EMERGENCY_STOP);
  }
  if (task_data_.disinfectant_water_ready) {
    return Answer(SRV_CODE_WATER_READY);
  }
  if (tasks_.count(TASK_TYPE_DISINFECTANT_PREPARE) != 0) {
    return Answer(SRV_CODE_DISINFECTANT_PREPARING);
  }
  return Answer(SRV_CODE_NOT_STARTED);
}

StationSrvRsp StationCenter::CheckStationBusy(const StationSrvReq& /*req*/) {
  MutexLock lock(&task_mutex_);
  return Answer(tasks_.empty() ? SRV_CODE_IDLE : SRV_CODE_BUSY);
}

StationSrvRsp StationCenter::RobotLeaveStation(const StationSrvReq& /*req*/) {
  MutexLock lock(&task_mutex_);
  LOG_INFO("StationCenter::RobotLeaveStation");
  if (station_status() == STATION_STATUS_EMERGENCY_STOP) {
    return Answer(SRV_CODE_EMERGENCY_STOP);
  }
  if (!tasks_.empty()) {
    LOG_INFO("Robot can not leave station");
    return Answer(SRV_CODE_BUSY);
  }
  if (station_status() == STATION_STATUS_RESET) {
    LOG_INFO("station already in reset");
    return Answer(SRV_CODE_STATION_RESET);
  }
  StartResetWaiterUnlock();
  return Answer(SRV_CODE_SUCCESS);
}

StationSrvRsp StationCenter::HandleConnectionLost(const StationSrvReq& /*req*/) {
  MutexLock lock(&task_mutex_);
  // The release of the emergency stop resets the station; status 3 must stay until then.
  if (station_status() == STATION_STATUS_EMERGENCY_STOP) {
    return Answer(SRV_CODE_EMERGENCY_STOP);
  }
  StartResetWaiterUnlock();
  return Answer(SRV_CODE_SUCCESS);
}

void StationCenter::StartResetWaiterUnlock() {
  SetStationCenterStatus(STATION_STATUS_RESET);
  std::shared_ptr<StationCenter> self = weak_from_this().lock();
  running_waiters_.fetch_add(1);
  try {
    std::thread([this, self]() {
      WaitTasksAndReset();
      running_waiters_.fetch_sub(1);
    }).detach();
  } catch (const std::exception& e) {
    // Status 2 stays; the idle reset of the main loop cannot pick it up, but a
    // later robot-leave or connection loss tries again.
    running_waiters_.fetch_sub(1);
    LOG_ERROR("start reset waiter failed: {}", e.what());
  }
}

StationSrvRsp StationCenter::UpdateConsumablesSate(const StationSrvReq& req) {
  MutexLock lock(&task_mutex_);
  WriterLock data_lock(&task_data_mutex_);
  LOG_DEBUG("StationCenter::UpdateConsumablesSate");
  if (req.report_rsp.has_consumables_reply_state()) {
    const auto& cs = req.report_rsp.consumables_reply_state();
    StationTaskData& data = task_data_;
    if (!data.dust_bag_replace_normal && cs.dust_bag() == 0) {
      data.AbnormalInfoRelease(ABNORMAL_DUST_BAG_REPLACE, TASK_TYPE_SENSOR);
      data.consumables_released = true;
    }
    if (!data.tap_water_normal && cs.tap_water() == 0) {
      data.AbnormalInfoRelease(ABNORMAL_TAP_WATER, TASK_TYPE_ADD_WATER);
      data.consumables_released = true;
    }
    if (!data.disinfectant_tablets_normal && cs.disinfectant_tables() == 0) {
      data.AbnormalInfoRelease(ABNORMAL_DISINFECTANT_TABLETS, TASK_TYPE_DISINFECTANT_PREPARE);
      data.consumables_released = true;
    }
    // Under the emergency stop the wait stays noted for a later reply: status 3 must stay.
    if (data.dust_bag_replace_normal && data.tap_water_normal && data.disinfectant_tablets_normal &&
        data.consumables_released && station_status() != STATION_STATUS_EMERGENCY_STOP) {
      data.consumables_released = false;
      SetStationCenterStatus(STATION_STATUS_WAIT_RESET);
    }
  }
  return Answer(SRV_CODE_SUCCESS);
}

// ---------------------------------------------------------------------------
// Task drivers and endings

void StationCenter::RunTask(std::shared_ptr<Task>& task) {
  driving_ = true;  // this thread only ever drives tasks
  struct Forget {
    StationCenter& center;
    const Task* task;
    ~Forget() {
      MutexLock lock(&center.task_mutex_);
      center.generations_.erase(task);
    }
  } forget{*this, task.get()};
  LOG_INFO("Run task, task id {}, task_type {}", LogId(task), LogType(task));
  while (true) {
    int64_t sleep_ms = 0;
    {
      MutexLock lock(&task_mutex_);
      // Waits while a request or the sensor callback is acting on the task.
      const TaskClaim claim(*this, task.get());
      auto entry = tasks_.find(task->task_type());
      if (entry == tasks_.end() || entry->second != task) {
        LOG_INFO("task id {}, task_type {}, ended by the station", LogId(task), LogType(task));
        return;
      }
      const StationCenterStatus status = station_status();
      if (status == STATION_STATUS_EMERGENCY_STOP) {
        StopTaskUnlock(task);
        return;
      }
      if (status != STATION_STATUS_NORMAL && !Policy(task).runs_in_any_status()) {
        HandleTaskCancel(task);
        return;
      }
      switch (task->status()) {
        case TASK_STATUS_OVER:
          LOG_INFO("task id {}, task_type {}, over", LogId(task), LogType(task));
          HandleTaskOver(task);
          RemoveTaskUnlock(task);
          return;
        case TASK_STATUS_ERROR:
          LOG_ERROR("ErrorCode: {}, task id {}, task_type {}, error occurred", kErrTaskError, LogId(task),
                    LogType(task));
          HandleTaskError(task);
          RemoveTaskUnlock(task);
          return;
        case TASK_STATUS_INIT:
        case TASK_STATUS_RUNNING:
          RunPassUnlock(task);
          break;
        default:
          LOG_INFO("task id {}, task_type {}, cancel", LogId(task), LogType(task));
          HandleTaskCancel(task);
          return;
      }
      sleep_ms = g_config.running_schedule_space;
    }
    if (sleep_ms > 0) {
      // sleep_for resumes after signals, so the full period always passes.
      std::this_thread::sleep_for(std::chrono::milliseconds(sleep_ms));
    }
  }
}

void StationCenter::RunPassUnlock(const std::shared_ptr<Task>& task) {
  if (Policy(task).needs_robot() && !RobotInPosition(sensors_data_)) {
    // Water for the robot must not pour onto the floor, nor the plates stay live:
    // the error path's reset closes the valves and switches off at the next turn.
    LOG_WARN("task id {}, task_type {}, robot left the station, stop task", LogId(task), LogType(task));
    task->SetTaskStatus(TASK_STATUS_ERROR);
  } else if (!RunPass(task)) {
    task->SetTaskStatus(TASK_STATUS_ERROR);
  }
  passes_run_.fetch_add(1);
  if (embedded_communicator_) {
    // The link as it is after the first pass, whose commands may have re-made it.
    generations_.emplace(task.get(), embedded_communicator_->reconnects());
  }
}

bool StationCenter::RunPass(const std::shared_ptr<Task>& task) {
  // A throwing pass must not take the process down with the driver thread; it
  // ends the task in error like a failed pass.
  try {
    // A copy: the pass's board exchanges let new reports in, and its decisions
    // are taken on one report.
    const station::SensorsDataRep snapshot = sensors_data_;
    return task->DoTaskInside(snapshot);
  } catch (const std::exception& e) {
    LOG_ERROR("task id {}, task_type {}, pass failed: {}", LogId(task), LogType(task), e.what());
  } catch (...) {
    LOG_ERROR("task id {}, task_type {}, pass failed", LogId(task), LogType(task));
  }
  return false;
}

void StationCenter::HandleTaskOver(const std::shared_ptr<Task>& task) {
  if (Policy(task).station_reset()) {
    LOG_INFO("reset station task success");
    reset_failed_at_ = -1;
    reset_retries_ = 0;
    SetStationCenterStatus(STATION_STATUS_NORMAL);
  }
  task->AfterOver();
}

void StationCenter::HandleTaskError(const std::shared_ptr<Task>& task) {
  if (Policy(task).station_reset()) {
    LOG_ERROR("ErrorCode: {}, reset station task failed, station center change status to error", kErrResetTaskFailed);
    reset_failed_at_ = clock_->NowSeconds();
    SetStationCenterStatus(STATION_STATUS_ERROR);
  } else {
    LOG_INFO("task id {}, task type {}, error, try do reset", LogId(task), LogType(task));
    task->DoReset();
  }
  task->AfterError();
}

void StationCenter::HandleTaskCancel(const std::shared_ptr<Task>& task) {
  task->OperateTask(TASK_OPERATION_CANCEL, StationSrvReq());
  task->AfterCancel();
  RemoveTaskUnlock(task);
}

void StationCenter::RemoveTaskUnlock(const std::shared_ptr<Task>& task) {
  const TaskType type = task->task_type();
  auto it = tasks_.find(type);
  // Only the entry of this very task; never a successor of the same type.
  if (it != tasks_.end() && it->second == task) {
    tasks_.erase(it);
  }
  if (station_status() == STATION_STATUS_EMERGENCY_STOP) {
    LOG_INFO("Do not reset station because station in emergency stop status");
    return;
  }
  if (sensor_stale_) {
    LOG_INFO("Do not reset station while the sensor data is stale");
    return;
  }
  if (tasks_.empty() && !RobotInPosition(sensors_data_) && TaskTypeInfoOf(type).end_resets_station()) {
    SetStationCenterStatus(STATION_STATUS_RESET);
    const StationSrvRsp rsp = ReceiveTaskUnlock(ResetRequest());
    LOG_INFO("RemoveTaskUnlock, reset task result : {}, err_msg : {}", rsp.code, rsp.msg);
  }
}

// ---------------------------------------------------------------------------
// Resets and status

void StationCenter::AutoReset() {
  MutexLock lock(&task_mutex_);
  ReaderLock sensors_lock(&sensors_mutex_);
  ReaderLock data_lock(&task_data_mutex_);
  const StationCenterStatus status = station_status();
  const int64_t now = clock_->NowSeconds();
  const bool idle =
      task_data_.work_started && task_data_.work_start_time != -1 &&
      (now - task_data_.work_start_time > g_config.auto_reset_time_space || status == STATION_STATUS_WAIT_RESET);
  // A reset that failed on a passing fault (a slow board, stale data) would
  // otherwise leave the station in error until the robot's next visit.
  const bool retry = status == STATION_STATUS_ERROR && reset_failed_at_ >= 0 && reset_retries_ < kResetRetries &&
                     now - reset_failed_at_ > g_config.auto_reset_time_space;
  const bool due = tasks_.empty() && !RobotInPosition(sensors_data_) && status != STATION_STATUS_RESET &&
                   !ResetHeldUnlock() && (idle || retry);
  if (!due) {
    return;
  }
  if (retry && !idle) {
    ++reset_retries_;
    LOG_WARN("the station's reset failed {} s ago, the robot is away: trying again ({} of {})", now - reset_failed_at_,
             reset_retries_, kResetRetries);
  }
  SetStationCenterStatus(STATION_STATUS_RESET);
  const StationSrvRsp rsp = ReceiveTaskUnlock(ResetRequest());
  LOG_INFO("AutoReset, reset task result : {}, err_msg : {}", rsp.code, rsp.msg);
}

void StationCenter::TouchLocks() {
  MutexLock lock(&task_mutex_);
  ReaderLock sensors_lock(&sensors_mutex_);
  ReaderLock data_lock(&task_data_mutex_);
}

void StationCenter::WaitTasksAndReset() {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    MutexLock lock(&task_mutex_);
    if (!tasks_.empty()) {
      continue;
    }
    if (ResetHeldUnlock()) {
      LOG_INFO("station reset put off until the emergency stop or the stale sensor data ends");
      return;
    }
    WriterLock data_lock(&task_data_mutex_);
    task_data_.ResetTaskData();
    const StationSrvRsp rsp = ReceiveTaskUnlock(ResetRequest());
    SetStationCenterStatus(rsp.code == SRV_CODE_SUCCESS ? STATION_STATUS_RESET : STATION_STATUS_ERROR);
    return;
  }
}

bool StationCenter::ResetHeldUnlock() const {
  return station_status() == STATION_STATUS_EMERGENCY_STOP || sensor_stale_;
}

void StationCenter::SetStationCenterStatus(const StationCenterStatus& status) {
  const StationCenterStatus old = station_status_.load();
  if (old == status) {
    return;
  }
  LOG_INFO("set station center status {} to {}", static_cast<int>(old), static_cast<int>(status));
  station_status_.store(status);
  if (guard_) {
    guard_->SetHold(kHoldEmergencyStop, status == STATION_STATUS_EMERGENCY_STOP);
  }
}

// ---------------------------------------------------------------------------
// Indication

void StationCenter::ReflushLed() {
  std::shared_ptr<LedStrategy> chosen;
  station::EnumLedCmd led_cmd = station::LED_NOT_CHANGE;
  {
    MutexLock lock(&task_mutex_);
    ReaderLock sensors_lock(&sensors_mutex_);
    WriterLock data_lock(&task_data_mutex_);
    if (!led_manager_ || !embedded_communicator_) {
      return;
    }
    chosen = ChooseLedUnlock();
    led_cmd = chosen ? chosen->led_cmd : station::LED_NOT_CHANGE;
    if (led_cmd == last_led_cmd_) {
      if (chosen && chosen->action) {
        chosen->action(task_data_, sensors_data_);
      }
      return;
    }
    if (clock_->NowMillis() < led_retry_millis_) {
      return;  // the board did not answer the last try
    }
  }
  // The exchange without the station's locks: a board that does not answer
  // must not hold up requests, tasks and sensor reports meanwhile.
  bool answered = false;
  const bool shown = embedded_communicator_->ChangeLed(led_cmd, &answered);
  MutexLock lock(&task_mutex_);
  if (supervised_millis_ != 0) {
    supervised_millis_ = clock_->NowMillis();  // a wait of the housekeeping's own, no pause
  }
  ReaderLock sensors_lock(&sensors_mutex_);
  WriterLock data_lock(&task_data_mutex_);
  NoteLedAnswerUnlock(shown, answered);
  if (!shown) {
    return;
  }
  last_led_cmd_ = led_cmd;
  // Only a pattern the board shows may consume one-shot facts (a docking
  // result, the self-check success); a refused one is chosen again next time.
  if (chosen && chosen->action) {
    chosen->action(task_data_, sensors_data_);
  }
}

void StationCenter::NoteLedAnswerUnlock(bool shown, bool answered) {
  if (shown || answered) {
    // A refusal is asked again at the next refresh, as before.
    led_retry_millis_ = 0;
    led_silence_logged_ = false;
    if (!shown) {
      LOG_ERROR("Errorcode: {}, reflush led failed", kErrReflushLed);
    }
    return;
  }
  led_retry_millis_ = clock_->NowMillis() + kLedSilentRetryMillis;
  if (!led_silence_logged_) {
    led_silence_logged_ = true;
    LOG_ERROR("Errorcode: {}, reflush led failed", kErrReflushLed);
    LOG_WARN("the board does not answer, lamp pattern asked again every {} s until it does",
             kLedSilentRetryMillis / 1000);
  }
}

std::shared_ptr<LedStrategy> StationCenter::ChooseLedUnlock() {
  // The emergency stop shows the error pattern whatever led.json ranks first.
  const bool stopped = station_status() == STATION_STATUS_EMERGENCY_STOP;
  for (const auto& strategy : led_manager_->strategies()) {
    if (!strategy || !strategy->condition) {
      continue;
    }
    if (stopped ? strategy->led_cmd == station::LED_ERROR_STATE
                : strategy->condition(task_data_, sensors_data_, tasks_)) {
      return strategy;
    }
  }
  return nullptr;
}

// Abnormal records and state reports: station_report.cpp. Sensor reports:
// station_sensor.cpp.

}  // namespace station_center
