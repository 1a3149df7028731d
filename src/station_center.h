#pragma once

#include <rapidjson/document.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "automation_services.h"
#include "bottom/embedded_communicator.h"
#include "clock.h"
#include "output_guard.h"
#include "report_publisher.h"
#include "station/cmd.pb.h"
#include "station/station_report.pb.h"
#include "station_sensor.h"
#include "station_service.h"
#include "station_types.h"
#include "task/task.h"
#include "task/task_factory.h"
#include "task/task_services.h"
#include "thread_annotations.h"

namespace station_center {

class LedManager;
struct LedStrategy;

// What a station core is built with; an empty member takes the daemon's default.
struct CoreParts {
  std::shared_ptr<const Clock> clock;             // default: the system clock
  std::shared_ptr<const TaskMakers> task_makers;  // default: every type's own class
  std::shared_ptr<ReportPublisher> publisher;     // default: none, reports are built but not sent
  // The board link before Init (which makes its own): default none, commands fail.
  std::shared_ptr<EmbeddedCommunicator> board = nullptr;
};

// The station core: admission, task drivers, station status and resets. It is
// the MQTT side's StationService, the tasks' TaskServices and the sensor
// automation's AutomationServices.
// Lock order everywhere: task_mutex_, then sensors_mutex_, then task_data_mutex_,
// then the output guard's own. Methods ending in Unlock expect the caller to hold
// task_mutex_. Every board command goes through the output guard, which lets
// task_mutex_ go while the board answers (a silent board must not stall the rest
// of the station); so a caller sends holding task_mutex_ and no other station
// lock, and a thread that acts on a task claims it first, so a task is never
// operated on by two threads at once (see TaskClaim).
class StationCenter : public StationService,
                      public TaskServices,
                      public AutomationServices,
                      public std::enable_shared_from_this<StationCenter> {
 public:
  using Service = std::function<StationSrvRsp(const StationSrvReq&)>;

  explicit StationCenter(CoreParts parts = CoreParts());
  ~StationCenter() override;
  StationCenter(const StationCenter&) = delete;
  StationCenter& operator=(const StationCenter&) = delete;

  // Start-up: configuration, board link, LED configuration, start-up reset.
  // Called once on the main thread.
  bool Init();

  // Dispatch of every outside request; called on the MQTT callback thread,
  // takes no lock itself.
  StationSrvRsp HandleService(const StationSrvReq& req) override EXCLUDES(task_mutex_);

  // TaskServices, for the tasks this core drives (see task_services.h).
  bool SendCommand(const station::ActionCommand& cmd) override REQUIRES(task_mutex_);
  void WithTaskData(const std::function<void(StationTaskData&)>& update) override EXCLUDES(task_data_mutex_);
  void ReadTaskData(const std::function<void(const StationTaskData&)>& read) override EXCLUDES(task_data_mutex_);
  int64_t LatestReportMillis() const override REQUIRES(task_mutex_) { return sensors_data_millis_; }
  bool ReportFresh() const override { return guard_ && guard_->ReportFresh(); }
  bool InterlockAllows(station::EnumSupplyType type) const override { return guard_ && guard_->InterlockAllows(type); }
  bool HeldOnByDependent(station::EnumSupplyType type) const override {
    return guard_ && guard_->HeldOnByDependent(type);
  }
  const Clock& clock() const override { return *clock_; }

  // AutomationServices, for the sensor automation (see automation_services.h);
  // caller holds task_mutex_.
  void ReleaseAbnormal(int32_t type, int32_t task) override EXCLUDES(task_data_mutex_);
  void RequireOff(station::EnumSupplyType type) override REQUIRES(task_mutex_);
  bool TaskRunning(TaskType type) const override REQUIRES(task_mutex_);
  StationSrvRsp AdmitManualCharge() override REQUIRES(task_mutex_);

  // Admission; caller holds task_mutex_.
  StationSrvRsp ReceiveTaskUnlock(const StationSrvReq& req) REQUIRES(task_mutex_);
  // Stores an admitted task and starts its driver; false (task not kept) when
  // no thread could be started. Caller holds task_mutex_.
  bool AddNewTaskUnlock(const std::shared_ptr<Task>& task) REQUIRES(task_mutex_);

  // The service handlers (command table); each takes its own locks.
  StationSrvRsp ReceiveTask(const StationSrvReq& req) EXCLUDES(task_mutex_);
  StationSrvRsp CheckRobotPosition(const StationSrvReq& req) EXCLUDES(task_mutex_);  // no task_mutex_
  StationSrvRsp CheckAddWaterFinished(const StationSrvReq& req) EXCLUDES(task_mutex_);
  StationSrvRsp CheckWaterReady(const StationSrvReq& req) EXCLUDES(task_mutex_);
  StationSrvRsp CheckStationBusy(const StationSrvReq& req) EXCLUDES(task_mutex_);
  StationSrvRsp RobotLeaveStation(const StationSrvReq& req) EXCLUDES(task_mutex_);
  StationSrvRsp HandleConnectionLost(const StationSrvReq& req) EXCLUDES(task_mutex_);
  StationSrvRsp UpdateConsumablesSate(const StationSrvReq& req) EXCLUDES(task_mutex_);

  // Body of a task's driver thread; takes task_mutex_ and sensors_mutex_ per pass.
  void RunTask(std::shared_ptr<Task>& task) EXCLUDES(task_mutex_);
  // Task endings; called by RunTask with task_mutex_ and sensors_mutex_ (shared) held.
  void HandleTaskOver(const std::shared_ptr<Task>& task) REQUIRES(task_mutex_);
  void HandleTaskError(const std::shared_ptr<Task>& task) REQUIRES(task_mutex_);
  void HandleTaskCancel(const std::shared_ptr<Task>& task) REQUIRES(task_mutex_);
  void RemoveTaskUnlock(const std::shared_ptr<Task>& task) REQUIRES(task_mutex_);

  // Idle reset, and the retry of a failed reset with the robot away; called once
  // a second by the main loop, takes its own locks.
  void AutoReset() EXCLUDES(task_mutex_);
  // The board watch: re-makes a dropped command connection, then ends the tasks
  // when the sensor data went stale or the board restarted. Called once a second
  // by the main loop; takes its own locks.
  void SuperviseBoard() EXCLUDES(task_mutex_);
  // Takes and lets go each of the core's locks in their order: never returns while
  // one is held for ever, which stops the watchdog's pings. Takes its own locks.
  void TouchLocks() EXCLUDES(task_mutex_);
  // Before the process exits on a stop signal: from here on nothing but switch-offs
  // (and the board reset) go to the board; every task is cancelled in stop order,
  // then the board is reset, which switches off whatever is left. Takes its own locks.
  void SwitchOffForExit() EXCLUDES(task_mutex_);
  // No sensor report for sensor_stale_time; safe from any thread without a lock.
  bool sensor_stale() const { return sensor_stale_.load(); }
  // Times the sensor data went stale since the start; any thread.
  uint64_t stale_episodes() const { return stale_episodes_.load(); }

  // Station-wide conditions; caller holds task_mutex_ (the sensor callback or
  // SuperviseBoard). Pressed: status 3, every task cancelled, nothing but
  // switch-offs sent. Released: abnormal 9 released, the station reset follows.
  void EmergencyStopPressedUnlock() override REQUIRES(task_mutex_);
  // Cancels every task in stop order (the heat wire first, the drying fan last);
  // caller holds task_mutex_.
  void StopAllTasksUnlock() REQUIRES(task_mutex_);
  void EmergencyStopReleasedUnlock() override REQUIRES(task_mutex_);
  // The board may have switched its outputs off: running tasks end in error so
  // their reset runs, the automation's pump and the lamp are commanded afresh.
  // Only tasks that ran before command link generation `before` end.
  void BoardRestartedUnlock(const char* why, uint32_t before = UINT32_MAX) REQUIRES(task_mutex_);
  // Switches off what the guard holds off or must be off, before anything is
  // reported; caller holds task_mutex_ alone (released while the board answers).
  void SwitchOffRequiredUnlock() REQUIRES(task_mutex_);
  // Body of the detached reset waiter; takes its own locks.
  void WaitTasksAndReset() EXCLUDES(task_mutex_);
  // The only writer of the station status; caller holds task_mutex_.
  void SetStationCenterStatus(const StationCenterStatus& status) REQUIRES(task_mutex_);
  // Safe from any thread without a lock.
  StationCenterStatus station_status() const override { return station_status_.load(); }

  // Indication refresh; called once a second by the main loop, takes its own locks.
  void ReflushLed() EXCLUDES(task_mutex_);

  // Sensor reports; called on the sensor upload server's thread.
  void DataUploadCallback(station::SensorsDataRep& data) EXCLUDES(task_mutex_);
  // Sorter counter thread body (hardware "dvt1"): opens the input device and
  // reads it with ReadSorterEvents, sleeping through the pauses.
  void SocSensorDataDetect();
  // Counts sorter key presses read from the input device `fd` until end of file,
  // the device going away, a failed select or `pause` answering false. A failed
  // read asks `pause` for a growing wait (bounded) before the next try, since it
  // would fail again at once. Runs on the sorter thread; takes task_data_mutex_.
  void ReadSorterEvents(int fd, const std::function<bool(std::chrono::milliseconds)>& pause) EXCLUDES(task_data_mutex_);

  // Abnormal records and state reports; callers hold task_mutex_ but not
  // task_data_mutex_ (AbnormalTaskRecord takes it itself). The reports' contents
  // are packed by the free functions of station_report.h.
  void AbnormalTaskRecord(int32_t type, int32_t task) override REQUIRES(task_mutex_);
  // Publishes a packed report to the robot.
  void StationReport(rapidjson::Document& doc);
  // One periodic upload; called on the cloud upload thread.
  void StationInfoUploadCloud() EXCLUDES(task_mutex_);

  const std::shared_ptr<EmbeddedCommunicator>& embedded_communicator() const { return embedded_communicator_; }
  // The types in the task table; takes task_mutex_.
  std::vector<TaskType> RunningTaskTypes() EXCLUDES(task_mutex_);
  // The running tasks' types with their first pass's time (steady seconds, as NowSeconds).
  std::vector<std::pair<TaskType, int64_t>> RunningTaskStarts() EXCLUDES(task_mutex_);
  // When the last sensor report arrived (clock().NowMillis()), 0 before the first.
  int64_t LastReportMillis() EXCLUDES(task_mutex_);
  // No task pass, request operation or sensor automation is midway (a claim, or
  // a board exchange); caller holds task_mutex_. For tests.
  bool AtRestUnlock() const REQUIRES(task_mutex_) { return claims_.empty() && (!guard_ || guard_->Idle()); }
  // The gate of every board command; null before the board link exists.
  const std::shared_ptr<OutputGuard>& output_guard() const { return guard_; }
  const std::shared_ptr<LedManager>& led_manager() const { return led_manager_; }

  // Number of task driver threads still running; lets tests wait for quiet.
  int running_drivers() const { return running_drivers_.load(); }
  // Number of reset waiter threads still running.
  int running_waiters() const { return running_waiters_.load(); }
  // Task passes run since start, of every task: lets tests wait for passes, not time.
  uint64_t passes_run() const { return passes_run_.load(); }

  // The robot is in position in `data` (both dock detectors and the plate).
  static bool RobotInPosition(const station::SensorsDataRep& data) { return station_center::RobotInPosition(data); }

 private:
  // Tests and fuzz targets reach the locks and tables themselves through it.
  friend class StationCenterProbe;

  // Held by the thread that drives or operates on `task`: the task's driver
  // for a pass, a request or the sensor callback for a cancel or an update.
  // Taking it waits, with task_mutex_ released, while another thread holds it;
  // the same thread may take it again. A thread holds at most one task's
  // claim at a time, and holds task_mutex_ and no other station lock where it
  // waits. Null claims nothing.
  class TaskClaim {
   public:
    TaskClaim(StationCenter& center, const Task* task);
    ~TaskClaim();
    TaskClaim(const TaskClaim&) = delete;
    TaskClaim& operator=(const TaskClaim&) = delete;

   private:
    StationCenter& center_;
    const Task* task_;
  };
  // Claims the task of `type` in the table, if any, and returns it (null when
  // none runs); caller holds task_mutex_ and no claim.
  std::shared_ptr<Task> ClaimRunningUnlock(TaskType type, std::unique_ptr<TaskClaim>* claim) REQUIRES(task_mutex_);

  // Board link set-up without reading the configuration files (Init step 2).
  bool InitEmbeddedCommunicator();
  // The start-up reset request (Init step 5).
  void StartUpReset();
  // One DoTaskInside with the snapshot; false also when it threw. Driver only.
  bool RunPass(const std::shared_ptr<Task>& task) REQUIRES(task_mutex_);
  // A running task's turn: ended at once without the robot it needs, else one
  // pass; notes the link generation after its first. Driver, task_mutex_ held.
  void RunPassUnlock(const std::shared_ptr<Task>& task) REQUIRES(task_mutex_);
  // Status 2, then a detached WaitTasksAndReset; caller holds task_mutex_.
  void StartResetWaiterUnlock() REQUIRES(task_mutex_);
  // Refusal of a new task by the station's state (emergency stop, stale sensor
  // data, error, reset); false when the state admits it. Caller holds task_mutex_.
  bool RefusedByStationUnlock(const TaskTypeInfo& policy, StationSrvRsp* refusal) const REQUIRES(task_mutex_);
  // The station may not start a reset now: the end of the emergency stop or of
  // the stale sensor data resets it. Caller holds task_mutex_.
  bool ResetHeldUnlock() const REQUIRES(task_mutex_);
  // Cancels `task` for the emergency stop, still switching off when the cancel
  // is refused, and drops it from the table; no reset. Caller holds task_mutex_.
  void StopTaskUnlock(const std::shared_ptr<Task>& task) REQUIRES(task_mutex_);
  // Every task still running ends in error at its driver's next pass; the
  // station reset task too unless `keep_reset`. Caller holds task_mutex_.
  // Only tasks whose first pass ended before link generation `before` (see
  // generations_) are failed.
  void FailRunningTasksUnlock(bool keep_reset, uint32_t before = UINT32_MAX) REQUIRES(task_mutex_);
  // A cloud report was published (or not); the first that was ends the start-up
  // facts in the reports. Any thread.
  void NoteCloudPublished(bool published);
  // Parts of SuperviseBoard and the sensor callback; caller holds task_mutex_.
  void CheckSensorStaleUnlock() REQUIRES(task_mutex_);
  // The wall clock was set: logged once with its size, the dust-bag date moved along.
  void CheckWallStepUnlock() REQUIRES(task_mutex_);
  // When silence on the sensor link started to count at `now`: the station's own
  // pause (stopped or starved process) is no silence of the board's.
  int64_t SilenceFromUnlock(int64_t now) const REQUIRES(task_mutex_);
  void SensorDataResumedUnlock() REQUIRES(task_mutex_);
  void CheckBoardRestartUnlock(int64_t gap_millis) REQUIRES(task_mutex_);
  // The sewage pump's flag follows the guard once the pump is confirmed off.
  void NoteSewagePumpOffUnlock() REQUIRES(task_mutex_);
  // Shows the guard the report just stored, and switches off what it forbids;
  // caller holds task_mutex_ alone (the sensor callback).
  void GuardOutputsUnlock(int64_t arrived_millis) REQUIRES(task_mutex_);
  // Books the lamp exchange's outcome: a board that did not answer is left
  // alone for a while and its silence logged once. Caller holds task_mutex_.
  void NoteLedAnswerUnlock(bool shown, bool answered) REQUIRES(task_mutex_);
  // The cloud's and the robot's reports of the moment; task_mutex_ and task_data_mutex_ held.
  void PackReportsUnlock(rapidjson::Document* cloud, rapidjson::Document* robot) REQUIRES(task_mutex_)
      REQUIRES_SHARED(task_data_mutex_);
  // The pattern the lamp should show; task_mutex_, sensors_mutex_ and task_data_mutex_ held.
  std::shared_ptr<LedStrategy> ChooseLedUnlock() REQUIRES(task_mutex_)
      REQUIRES_SHARED(sensors_mutex_, task_data_mutex_);
  // The snapshot for a reader holding sensors_mutex_ alone (the position check):
  // it is written with both locks held, so either makes a read safe. The member
  // is checked against task_mutex_, this call against sensors_mutex_.
  const station::SensorsDataRep& SharedSensorsUnlock() const REQUIRES_SHARED(sensors_mutex_) NO_THREAD_SAFETY_ANALYSIS {
    return sensors_data_;
  }
  // Admission of a type that is not running / a request to the running task;
  // parts of ReceiveTaskUnlock.
  StationSrvRsp AdmitNewTaskUnlock(const StationSrvReq& req, int32_t action) REQUIRES(task_mutex_);
  StationSrvRsp OperateRunningTaskUnlock(const std::shared_ptr<Task>& task, const StationSrvReq& req, int32_t action)
      REQUIRES(task_mutex_);

  const std::shared_ptr<const Clock> clock_;
  const std::shared_ptr<const TaskMakers> task_makers_;
  const std::shared_ptr<ReportPublisher> publisher_;

  std::shared_ptr<LedManager> led_manager_;
  TaskTable tasks_ GUARDED_BY(task_mutex_);
  std::shared_ptr<EmbeddedCommunicator> embedded_communicator_;
  std::shared_ptr<OutputGuard> guard_;  // made with the board link
  Mutex task_mutex_ ACQUIRED_BEFORE(sensors_mutex_, task_data_mutex_);
  SharedMutex sensors_mutex_ ACQUIRED_BEFORE(task_data_mutex_);
  // Written with task_mutex_ and sensors_mutex_ both held, so a holder of either
  // may read it; the analysis checks the task_mutex_ half, which every reader in
  // the core holds (sensors_mutex_ is for readers outside, as the tests).
  station::SensorsDataRep sensors_data_ GUARDED_BY(task_mutex_);
  int64_t sensors_data_millis_ GUARDED_BY(task_mutex_) = 0;
  SharedMutex task_data_mutex_;
  StationTaskData task_data_ GUARDED_BY(task_data_mutex_);
  // Written only under task_mutex_; atomic so the position check may read it
  // without waiting behind a task pass.
  std::atomic<StationCenterStatus> station_status_{STATION_STATUS_RESET};
  std::unordered_map<int, Service> services_;
  SensorAutomation sensor_automation_ GUARDED_BY(task_mutex_);
  // Written under task_mutex_; atomic so the position check may read it.
  std::atomic<bool> sensor_stale_{false};
  std::atomic<uint64_t> stale_episodes_{0};
  std::atomic<bool> exiting_{false};                      // SwitchOffForExit has begun
  uint32_t seen_reconnects_ GUARDED_BY(task_mutex_) = 0;  // command link re-makes already acted on
  WallStepWatch wall_watch_ GUARDED_BY(task_mutex_);
  // The housekeeping's last look and the end of the station's last pause
  // (clock().NowMillis(); task_mutex_).
  int64_t supervised_millis_ GUARDED_BY(task_mutex_) = 0;
  int64_t resumed_millis_ GUARDED_BY(task_mutex_) = 0;
  // The station's own reset that last ended in error (clock().NowSeconds(), -1:
  // none since the last that ended well) and how often it was tried again since.
  int64_t reset_failed_at_ GUARDED_BY(task_mutex_) = -1;
  int reset_retries_ GUARDED_BY(task_mutex_) = 0;

  // State reports (task_mutex_ + task_data_mutex_); the first-report flag is
  // cleared after publishing, outside those locks.
  std::atomic<bool> first_report_{true};
  uint32_t last_occupy_state_ GUARDED_BY(task_mutex_) = 0;
  // Indication: the last command the board acknowledged (task_mutex_).
  station::EnumLedCmd last_led_cmd_ GUARDED_BY(task_mutex_) = station::LED_NOT_CHANGE;

  // Claims (task_mutex_): owner thread and depth per claimed task.
  struct Claim {
    std::thread::id owner;
    int depth = 0;
  };
  std::unordered_map<const Task*, Claim> claims_ GUARDED_BY(task_mutex_);
  std::condition_variable_any claim_released_;  // waited on with task_mutex_
  static thread_local bool driving_;            // a task driver's thread
  // The command link's generation (re-makes) when each task's first pass ended
  // (task_mutex_): a board restart ends only the tasks that ran before it.
  std::unordered_map<const Task*, uint32_t> generations_ GUARDED_BY(task_mutex_);
  // The lamp: a board that did not answer is asked again no sooner than this
  // (clock().NowMillis(); task_mutex_), and its silence is logged once.
  int64_t led_retry_millis_ GUARDED_BY(task_mutex_) = 0;
  bool led_silence_logged_ GUARDED_BY(task_mutex_) = false;

  std::atomic<int> running_drivers_{0};
  std::atomic<int> running_waiters_{0};
  std::atomic<uint64_t> passes_run_{0};
};

// The process-wide station core, owned by main; read by the indication
// conditions. Thread-safe.
std::shared_ptr<StationCenter> GetStationCenter();
void SetStationCenter(std::shared_ptr<StationCenter> station_center);

// The station core's locks and tables themselves, for tests and fuzz targets
// that arrange a state or look at one; the daemon goes through the core's calls.
// The data is guarded by the lock named beside it.
class StationCenterProbe {
 public:
  explicit StationCenterProbe(StationCenter& center) : center_(center) {}
  // The standard library's locks under the annotated ones: what the probe's users
  // do with them is theirs to get right, the compiler's analysis does not see it.
  std::mutex& task_mutex() { return center_.task_mutex_.native(); }
  const TaskTable& tasks() const NO_THREAD_SAFETY_ANALYSIS { return center_.tasks_; }  // task_mutex_
  std::shared_mutex& task_data_mutex() { return center_.task_data_mutex_.native(); }
  StationTaskData& task_data() NO_THREAD_SAFETY_ANALYSIS { return center_.task_data_; }  // task_data_mutex_
  // Written with task_mutex_ and sensors_mutex_ both held: a holder of either may read it.
  std::shared_mutex& sensors_mutex() { return center_.sensors_mutex_.native(); }
  const station::SensorsDataRep& sensors_data() const NO_THREAD_SAFETY_ANALYSIS { return center_.sensors_data_; }
  // Sets the station status under task_mutex_.
  void SetStatus(StationCenterStatus status) {
    MutexLock lock(&center_.task_mutex_);
    center_.SetStationCenterStatus(status);
  }

 private:
  StationCenter& center_;
};

}  // namespace station_center
