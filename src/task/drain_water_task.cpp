#include "task/drain_water_task.h"

#include <mutex>
#include <shared_mutex>

#include "clock.h"
#include "config.h"
#include "logger.h"
#include "station_center.h"

namespace station_center {

namespace {

constexpr int kErrOpenDrain = 101900022;
constexpr int kErrCloseDrain = 101900024;
constexpr int kErrDrainTimeout = 101900025;

}  // namespace

DrainWaterTask::DrainWaterTask(std::shared_ptr<StationCenter> station_center, const TaskType& task_type,
                               int64_t max_seconds)
    : Task(std::move(station_center), task_type, max_seconds) {}

bool DrainWaterTask::DoTaskInside(const station::SensorsDataRep& data) {
  if (Finished()) {
    LogAlreadyFinished("already over or error");
    return true;
  }
  if (status_ == TASK_STATUS_INIT) {
    MarkStarted();
    ForgetPreparedLiquid(false);
  }
  // An empty tank ends the task before anything is opened.
  if (data.cleantankfootlevel() == 1) {
    return FinishDrain();
  }
  if (TimeLimitPassed()) {
    LogExecTimeout();
    return false;
  }
  if (!drain_opened_) {
    if (!SendAction(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 1)) {
      LOG_ERROR("ErrorCode: {}, open darin water switch failed", kErrOpenDrain);
      return false;
    }
    drain_opened_ = true;
    drain_start_ = static_cast<time_t>(NowSeconds());
    LOG_INFO("Start drain water, time {}", static_cast<int64_t>(start_time_));
  }
  if (NowSeconds() - drain_start_ <= g_config.drain_water_max_time) {
    return true;
  }
  LOG_ERROR(
      "ErrorCode: {}, drain water timeout in drain water task, maybe drain water switch or tank foot level sensor "
      "breakdown",
      kErrDrainTimeout);
  LOG_WARN("clean tank not arrive foot level in required time, stop drain water and do task continue");
  return FinishDrain();
}

bool DrainWaterTask::FinishDrain() {
  ForgetPreparedLiquid(true);
  if (!SendAction(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 0)) {
    LOG_ERROR("ErrorCode: {}, close darin water switch failed", kErrCloseDrain);
    // An open valve would drain whatever is filled next: end in error so the
    // driver's reset tries to close it again.
    return false;
  }
  SetTaskStatus(TASK_STATUS_OVER);
  return true;
}

void DrainWaterTask::ForgetPreparedLiquid(bool tank_empty) {
  std::unique_lock<std::shared_mutex> lock(station_center_->task_data_mutex());
  StationTaskData& task_data = station_center_->task_data();
  task_data.disinfectant_water_ready = false;
  task_data.perfume_liquid_ready = false;
  task_data.clean_liquid_ready = false;
  task_data.water_volume = 0;
  if (tank_empty) {
    task_data.tank_water_volume = 0;
  }
}

bool DrainWaterTask::DoReset() {
  const bool ok = SendAction(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 0);
  if (!ok) {
    LOG_ERROR("ErrorCode: {}, close darin water switch failed", kErrCloseDrain);
  }
  return ok;
}

bool DrainWaterTask::DoCancelUnlock() {
  const bool ok = SendAction(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 0);
  if (!ok) {
    LOG_ERROR("ErrorCode: {}, close darin water switch failed when cancel", kErrCloseDrain);
  }
  return ok;
}

void DrainWaterTask::AfterError() { ForgetPreparedLiquid(false); }

void DrainWaterTask::AfterCancel() { ForgetPreparedLiquid(false); }

}  // namespace station_center
