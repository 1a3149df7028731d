#include "task/drain_water_task.h"

#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

DrainWaterTask::DrainWaterTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds)
    : ActionTask(std::move(services), task_type, max_seconds, "already over or error") {}

bool DrainWaterTask::OnStart() {
  ForgetPreparedLiquid(false);
  return true;
}

bool DrainWaterTask::OnPass(const station::SensorsDataRep& data) {
  // An empty tank ends the task before anything is opened.
  if (data.cleantankfootlevel() == 1) {
    return FinishDrain();
  }
  if (!drain_opened_) {
    if (!Command(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 1, kErrOpenDrain, "open darin water switch failed")) {
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
      kErrFootLevelTimeout);
  LOG_WARN("clean tank not arrive foot level in required time, stop drain water and do task continue");
  return FinishDrain();
}

bool DrainWaterTask::FinishDrain() {
  ForgetPreparedLiquid(true);
  // An open valve would drain whatever is filled next: a refusal ends the task
  // in error so the driver's reset tries to close it again.
  if (!Command(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 0, kErrCloseDrain, "close darin water switch failed")) {
    return false;
  }
  SetTaskStatus(TASK_STATUS_OVER);
  return true;
}

void DrainWaterTask::ForgetPreparedLiquid(bool tank_empty) {
  WithTaskData([tank_empty](StationTaskData& data) {
    data.disinfectant_water_ready = false;
    data.perfume_liquid_ready = false;
    data.clean_liquid_ready = false;
    data.water_volume = 0;
    if (tank_empty) {
      data.tank_water_volume = 0;
    }
  });
}

bool DrainWaterTask::DoReset() {
  return Command(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 0, kErrCloseDrain, "close darin water switch failed");
}

bool DrainWaterTask::DoCancelUnlock() {
  return Command(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 0, kErrCloseDrain,
                 "close darin water switch failed when cancel");
}

void DrainWaterTask::AfterError() { ForgetPreparedLiquid(false); }

void DrainWaterTask::AfterCancel() { ForgetPreparedLiquid(false); }

}  // namespace station_center
