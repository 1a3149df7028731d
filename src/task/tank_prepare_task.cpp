#include "task/tank_prepare_task.h"

#include <algorithm>
#include <limits>

#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

int32_t FillTargetCounts(int32_t litres) {
  // The robot's request is not trusted to stay within 32 bits once scaled.
  const int64_t counts = static_cast<int64_t>(litres) * 1000;
  return static_cast<int32_t>(
      std::clamp<int64_t>(counts, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

TankPrepareTask::TankPrepareTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds,
                                 const vantorel_base_station_mqtt::PrepareDisinfectantReq& req, const FillTexts& texts)
    : StepTask(std::move(services), task_type, max_seconds), req_(req), texts_(texts) {
  steps_ = {
      {1, [this](const station::SensorsDataRep& data) { return DoEmptyTank(data); }},
      {2, [this](const station::SensorsDataRep& data) { return WaitEmptyTank(data); }},
      {3, [this](const station::SensorsDataRep& data) { return DoWaterInlet(data); }},
      {4, [this](const station::SensorsDataRep& data) { return WaitWaterInlet(data); }},
  };
}

bool TankPrepareTask::DoEmptyTank(const station::SensorsDataRep& data) {
  if (data.cleantankfootlevel() == 1) {
    SwitchStep(3);
    return true;
  }
  if (!CommandOrFail(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 1, kErrOpenDrain, "open darin water switch failed")) {
    return false;
  }
  drain_start_ = static_cast<time_t>(NowSeconds());
  LOG_INFO("start drain water time {}", static_cast<int64_t>(drain_start_));
  SwitchStep(2);
  return true;
}

bool TankPrepareTask::WaitEmptyTank(const station::SensorsDataRep& data) {
  if (NowSeconds() - drain_start_ > g_config.drain_water_max_time) {
    return OnDrainTimeout();
  }
  if (data.cleantankfootlevel() == 1) {
    return FinishDrain();
  }
  return true;
}

bool TankPrepareTask::FinishDrain() {
  SetTankWaterVolume(0);
  if (!CommandOrFail(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 0, kErrCloseDrain, "close darin water switch failed")) {
    return false;
  }
  SwitchStep(3);
  return true;
}

bool TankPrepareTask::DoWaterInlet(const station::SensorsDataRep& data) {
  if (!CommandOrFail(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1, kErrTapOpen, texts_.inlet_failed)) {
    return false;
  }
  fill_.Opened(data, NowMillis());
  inlet_start_ = static_cast<time_t>(NowSeconds());
  LOG_INFO("start add water time {}", static_cast<int64_t>(inlet_start_));
  SwitchStep(4);
  return true;
}

bool TankPrepareTask::WaitWaterInlet(const station::SensorsDataRep& data) {
  if (NowSeconds() - inlet_start_ > g_config.add_water_to_station_max_time) {
    OnFillTimeout();
    LOG_ERROR("ErrorCode: {}, Add water timeout, may be no water", kErrStationFillTimeout);
    Command(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 0, kErrTapClose, texts_.close_tap);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  fill_.Update(data, LatestReportMillis());
  if (data.cleantankuplevel() != 1 &&
      FillTargetCounts(req_.cmd().water_volume()) > static_cast<int64_t>(fill_.count())) {
    return true;
  }
  if (!CommandOrFail(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 0, kErrTapClose, texts_.close_tap)) {
    return false;
  }
  SetTankWaterVolume(static_cast<int32_t>(fill_.count()));
  SwitchStep(5);
  return true;
}

bool TankPrepareTask::CloseTapAndDrain(bool cancel) {
  const bool tap_closed = Command(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 0, kErrTapClose,
                                  cancel ? texts_.close_tap_cancel : texts_.close_tap);
  // Stopped while draining, an open drain valve would let the next fill run away.
  const bool drain_closed =
      Command(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 0, kErrCloseDrain,
              cancel ? "close darin water switch failed when cancel" : "close darin water switch failed");
  return tap_closed && drain_closed;
}

}  // namespace station_center
