#include "task/reset_station_task.h"

#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

ResetStationTask::ResetStationTask(std::shared_ptr<TaskServices> services, const TaskType& task_type,
                                   int64_t max_seconds)
    : StepTask(std::move(services), task_type, max_seconds, "already over or error or canceled") {
  steps_[1] = [this](const station::SensorsDataRep& data) { return ResetMcu(data); };
  steps_[2] = [this](const station::SensorsDataRep& data) { return DrainWater(data); };
  steps_[3] = [this](const station::SensorsDataRep& data) { return WaitDrainWaterOver(data); };
  steps_[4] = [this](const station::SensorsDataRep&) { return CloseDrainAtEnd(); };
}

void ResetStationTask::OnStart() {
  WithTaskData([](StationTaskData& data) { data.ResetTaskData(); });
}

bool ResetStationTask::ResetMcu(const station::SensorsDataRep&) {
  if (!SendAction(station::ENUM_SUPPLY_RESET_MCU, 1)) {
    LOG_WARN("Reset embedded board failed");
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  SwitchStep(2);
  return true;
}

bool ResetStationTask::DrainWater(const station::SensorsDataRep& data) {
  if (data.cleantankfootlevel() == 1) {
    LOG_INFO("clean tank now arrive foot level, don't need drain water");
    SetTaskStatus(TASK_STATUS_OVER);
    return true;
  }
  if (!CommandOrFail(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 1, kErrOpenDrain, "open darin water switch failed")) {
    return false;
  }
  drain_start_ = static_cast<time_t>(NowSeconds());
  SwitchStep(3);
  return true;
}

bool ResetStationTask::WaitDrainWaterOver(const station::SensorsDataRep& data) {
  if (data.cleantankfootlevel() == 1) {
    LOG_INFO("clean tank now arrive foot level, drain water over");
    return CloseDrainAtEnd();
  }
  if (NowSeconds() - drain_start_ <= g_config.drain_water_max_time) {
    return true;
  }
  LOG_ERROR(
      "ErrorCode: {}, drain water timeout when reset, maybe drain water switch or tank foot level sensor breakdown",
      kErrFootLevelTimeout);
  LOG_WARN("clean tank not arrive foot level in required time, stop drain water and do task continue");
  return CloseDrainAtEnd();
}

// An open drain would let the next preparation fill through it and report
// water ready over a nearly empty tank, so the reset is not over before the
// board confirms the close.
bool ResetStationTask::CloseDrainAtEnd() {
  if (SendAction(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 0)) {
    SetTaskStatus(TASK_STATUS_OVER);
    return true;
  }
  if (close_deadline_ < 0) {
    LOG_ERROR("ErrorCode: {}, close darin water switch failed", kErrCloseDrain);
    LOG_WARN("drain valve not confirmed closed, retry every pass for up to {} s", g_config.drain_water_max_time);
    close_deadline_ = NowSeconds() + g_config.drain_water_max_time;
    SwitchStep(4);
    return true;
  }
  if (NowSeconds() <= close_deadline_) {
    return true;
  }
  LOG_WARN("drain valve still not confirmed closed, reset failed");
  SetTaskStatus(TASK_STATUS_ERROR);
  return false;
}

bool ResetStationTask::CloseDrain(const char* failed_line) {
  return CommandOrFail(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 0, kErrCloseDrain, failed_line);
}

bool ResetStationTask::DoReset() { return CloseDrain("close darin water switch failed"); }

bool ResetStationTask::DoCancelUnlock() { return CloseDrain("close darin water switch failed when cancel"); }

}  // namespace station_center
