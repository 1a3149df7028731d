#include "task/liquid_prepare_task.h"

#include <algorithm>
#include <limits>
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
constexpr int kErrStationFillTimeout = 101900020;
constexpr int kErrUnsupportedType = 101900026;
constexpr int kErrOpenPump = 101900027;
constexpr int kErrClosePump = 101900028;
constexpr int kErrTapOpen = 101900032;
constexpr int kErrTapClose = 101900033;

}  // namespace

int32_t FillTargetCounts(int32_t litres) {
  // The robot's request is not trusted to stay within 32 bits once scaled.
  const int64_t counts = static_cast<int64_t>(litres) * 1000;
  return static_cast<int32_t>(
      std::clamp<int64_t>(counts, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

LiquidPrepareTask::LiquidPrepareTask(std::shared_ptr<StationCenter> station_center, const TaskType& task_type,
                                     int64_t max_seconds, const vantorel_base_station_mqtt::PrepareDisinfectantReq& req)
    : Task(std::move(station_center), task_type, max_seconds), req_(req) {
  if (task_type_ == TASK_TYPE_CLEAN_LIQUID_PREPARE) {
    pump_seconds_ = g_config.close_clean_pump_max_time;
    dissolve_seconds_ = g_config.clean_liquid_dissolution_time;
  } else if (task_type_ == TASK_TYPE_PERFUME_LIQUID_PREPARE) {
    pump_seconds_ = g_config.close_perfume_pump_max_time;
    dissolve_seconds_ = g_config.perfume_liquid_dissolution_time;
  } else {
    SetTaskStatus(TASK_STATUS_ERROR);
    LOG_ERROR("ErrorCode: {}, liquid prepare task type {} unsupport", kErrUnsupportedType,
              static_cast<int>(task_type_));
  }
  steps_ = {
      {1, [this](const station::SensorsDataRep& data) { return DoEmptyTank(data); }},
      {2, [this](const station::SensorsDataRep& data) { return WaitEmptyTank(data); }},
      {3, [this](const station::SensorsDataRep& data) { return DoWaterInlet(data); }},
      {4, [this](const station::SensorsDataRep& data) { return WaitWaterInlet(data); }},
      {5, [this](const station::SensorsDataRep& data) { return DoReleaseLiquid(data); }},
      {6, [this](const station::SensorsDataRep& data) { return WaitReleaseLiquid(data); }},
      {7, [this](const station::SensorsDataRep& data) { return WaitDissolution(data); }},
  };
}

station::EnumSupplyType LiquidPrepareTask::PumpType() const {
  return task_type_ == TASK_TYPE_CLEAN_LIQUID_PREPARE ? station::ENUM_SUPPLY_CLEANING_LIQUID_PUMP
                                                      : station::ENUM_SUPPLY_PERFUME_PUMP;
}

bool LiquidPrepareTask::DoTaskInside(const station::SensorsDataRep& data) {
  return StepTaskPass(data, "already over or error");
}

void LiquidPrepareTask::OnStepTaskStart() {
  std::unique_lock<std::shared_mutex> lock(station_center_->task_data_mutex());
  StationTaskData& task_data = station_center_->task_data();
  task_data.perfume_liquid_ready = false;
  task_data.clean_liquid_ready = false;
  // Kept in flow counts, the unit the water supply compares with the flow meter.
  task_data.water_volume = FillTargetCounts(req_.cmd().water_volume());
}

bool LiquidPrepareTask::DoEmptyTank(const station::SensorsDataRep& data) {
  if (data.cleantankfootlevel() == 1) {
    SwitchStep(3);
    return true;
  }
  if (!SendAction(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 1)) {
    LOG_ERROR("ErrorCode: {}, open darin water switch failed", kErrOpenDrain);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  drain_start_ = static_cast<time_t>(NowSeconds());
  SwitchStep(2);
  return true;
}

bool LiquidPrepareTask::WaitEmptyTank(const station::SensorsDataRep& data) {
  if (NowSeconds() - drain_start_ > g_config.drain_water_max_time) {
    LOG_ERROR("ErrorCode: {}, drain water timeout", kErrDrainTimeout);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  if (data.cleantankfootlevel() != 1) {
    return true;
  }
  SetTankWaterVolume(0);
  if (!SendAction(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 0)) {
    LOG_ERROR("ErrorCode: {}, close darin water switch failed", kErrCloseDrain);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  SwitchStep(3);
  return true;
}

bool LiquidPrepareTask::DoWaterInlet(const station::SensorsDataRep& data) {
  if (!SendAction(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1)) {
    LOG_ERROR("ErrorCode: {}, liquid prepare task water inlet failed", kErrTapOpen);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  fill_.Opened(data);
  inlet_start_ = static_cast<time_t>(NowSeconds());
  SwitchStep(4);
  return true;
}

bool LiquidPrepareTask::WaitWaterInlet(const station::SensorsDataRep& data) {
  if (NowSeconds() - inlet_start_ > g_config.add_water_to_station_max_time) {
    LOG_ERROR("ErrorCode: {}, Add water timeout, may be no water", kErrStationFillTimeout);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  fill_.Update(data, station_center_->sensors_data_millis());
  if (data.cleantankuplevel() != 1 &&
      FillTargetCounts(req_.cmd().water_volume()) > static_cast<int64_t>(fill_.count())) {
    return true;
  }
  if (!SendAction(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 0)) {
    LOG_ERROR("ErrorCode: {}, liquid prepare task close water switch", kErrTapClose);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  SetTankWaterVolume(static_cast<int32_t>(fill_.count()));
  SwitchStep(5);
  return true;
}

bool LiquidPrepareTask::DoReleaseLiquid(const station::SensorsDataRep& /*data*/) {
  if (!SendAction(PumpType(), 1)) {
    LOG_ERROR("ErrorCode: {}, open clean liqueid or perfume liqueid pump failed", kErrOpenPump);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  release_start_ = static_cast<time_t>(NowSeconds());
  SwitchStep(6);
  return true;
}

bool LiquidPrepareTask::WaitReleaseLiquid(const station::SensorsDataRep& /*data*/) {
  if (NowSeconds() - release_start_ <= pump_seconds_) {
    return true;
  }
  if (!SendAction(PumpType(), 0)) {
    LOG_ERROR("ErrorCode: {}, task id {}, task type {}, close clean liqueid or perfume liqueid pump failed",
              kErrClosePump, static_cast<int32_t>(task_id_), static_cast<int>(task_type_));
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  SwitchStep(7);
  dissolve_start_ = static_cast<time_t>(NowSeconds());
  return true;
}

bool LiquidPrepareTask::WaitDissolution(const station::SensorsDataRep& /*data*/) {
  if (NowSeconds() - dissolve_start_ <= dissolve_seconds_) {
    return true;
  }
  SetTaskStatus(TASK_STATUS_OVER);
  return true;
}

bool LiquidPrepareTask::SwitchOff(bool cancel) {
  // Every actuator is tried even after a refusal: an open tap left behind
  // would overflow the tank.
  const bool pump_off = SendAction(PumpType(), 0);
  if (!pump_off) {
    if (cancel) {
      LOG_ERROR("ErrorCode: {}, task id {}, task type {}, close clean liquid or perfume liquid pump failed when cancel",
                kErrClosePump, static_cast<int32_t>(task_id_), static_cast<int>(task_type_));
    } else {
      LOG_ERROR("ErrorCode: {}, task id {}, task type {}, close clean liqueid or perfume liqueid pump failed",
                kErrClosePump, static_cast<int32_t>(task_id_), static_cast<int>(task_type_));
    }
  }
  const bool tap_closed = SendAction(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 0);
  if (!tap_closed) {
    if (cancel) {
      LOG_ERROR("ErrorCode: {}, liquid prepare task close water switch when cancel", kErrTapClose);
    } else {
      LOG_ERROR("ErrorCode: {}, liquid prepare task close water switch", kErrTapClose);
    }
  }
  const bool drain_closed = SendAction(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 0);
  if (!drain_closed) {
    if (cancel) {
      LOG_ERROR("ErrorCode: {}, close darin water switch failed when cancel", kErrCloseDrain);
    } else {
      LOG_ERROR("ErrorCode: {}, close darin water switch failed", kErrCloseDrain);
    }
  }
  return pump_off && tap_closed && drain_closed;
}

bool LiquidPrepareTask::DoReset() { return SwitchOff(false); }

bool LiquidPrepareTask::DoCancelUnlock() { return SwitchOff(true); }

void LiquidPrepareTask::AfterOver() {
  std::unique_lock<std::shared_mutex> lock(station_center_->task_data_mutex());
  StationTaskData& task_data = station_center_->task_data();
  if (task_type_ == TASK_TYPE_CLEAN_LIQUID_PREPARE) {
    LOG_INFO("clean liquied ready");
    task_data.add_water_finished = false;
    task_data.clean_liquid_ready = true;
  } else if (task_type_ == TASK_TYPE_PERFUME_LIQUID_PREPARE) {
    LOG_INFO("perfume liquied ready");
    task_data.add_water_finished = false;
    task_data.perfume_liquid_ready = true;
  }
  task_data.water_spray_resumable = false;
}

void LiquidPrepareTask::AfterError() {
  std::unique_lock<std::shared_mutex> lock(station_center_->task_data_mutex());
  StationTaskData& task_data = station_center_->task_data();
  task_data.add_water_finished = false;
  task_data.perfume_liquid_ready = false;
  task_data.clean_liquid_ready = false;
  task_data.water_volume = -1;
}

void LiquidPrepareTask::AfterCancel() { AfterError(); }

}  // namespace station_center
