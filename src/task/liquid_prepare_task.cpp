#include "task/liquid_prepare_task.h"

#include <mutex>
#include <shared_mutex>

#include "clock.h"
#include "config.h"
#include "logger.h"
#include "station_center.h"

namespace station_center {

namespace {

constexpr int kErrDrainTimeout = 101900025;
constexpr int kErrUnsupportedType = 101900026;
constexpr int kErrOpenPump = 101900027;
constexpr int kErrClosePump = 101900028;

}  // namespace

LiquidPrepareTask::LiquidPrepareTask(std::shared_ptr<StationCenter> station_center, const TaskType& task_type,
                                     int64_t max_seconds, const vantorel_base_station_mqtt::PrepareDisinfectantReq& req)
    : TankPrepareTask(std::move(station_center), task_type, max_seconds, req,
                      {"liquid prepare task water inlet failed", "liquid prepare task close water switch",
                       "liquid prepare task close water switch when cancel"}) {
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
  steps_[5] = [this](const station::SensorsDataRep& data) { return DoReleaseLiquid(data); };
  steps_[6] = [this](const station::SensorsDataRep& data) { return WaitReleaseLiquid(data); };
  steps_[7] = [this](const station::SensorsDataRep& data) { return WaitDissolution(data); };
}

station::EnumSupplyType LiquidPrepareTask::PumpType() const {
  return task_type_ == TASK_TYPE_CLEAN_LIQUID_PREPARE ? station::ENUM_SUPPLY_CLEANING_LIQUID_PUMP
                                                      : station::ENUM_SUPPLY_PERFUME_PUMP;
}

void LiquidPrepareTask::OnStepTaskStart() {
  std::unique_lock<std::shared_mutex> lock(station_center_->task_data_mutex());
  StationTaskData& task_data = station_center_->task_data();
  task_data.perfume_liquid_ready = false;
  task_data.clean_liquid_ready = false;
  // Kept in flow counts, the unit the water supply compares with the flow meter.
  task_data.water_volume = FillTargetCounts(req_.cmd().water_volume());
}

bool LiquidPrepareTask::OnDrainTimeout() {
  LOG_ERROR("ErrorCode: {}, drain water timeout", kErrDrainTimeout);
  SetTaskStatus(TASK_STATUS_ERROR);
  return false;
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
  const bool valves_closed = CloseTapAndDrain(cancel);
  return pump_off && valves_closed;
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
