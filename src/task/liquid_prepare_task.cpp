#include "task/liquid_prepare_task.h"

#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

LiquidPrepareTask::LiquidPrepareTask(std::shared_ptr<TaskServices> services, const TaskType& task_type,
                                     int64_t max_seconds, const vantorel_base_station_mqtt::PrepareDisinfectantReq& req)
    : TankPrepareTask(std::move(services), task_type, max_seconds, req,
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
    LOG_ERROR("ErrorCode: {}, liquid prepare task type {} unsupport", kErrUnsupportedLiquid,
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

void LiquidPrepareTask::OnStart() {
  // Kept in flow counts, the unit the water supply compares with the flow meter.
  const int32_t volume = FillTargetCounts(req_.cmd().water_volume());
  WithTaskData([volume](StationTaskData& data) {
    data.perfume_liquid_ready = false;
    data.clean_liquid_ready = false;
    data.water_volume = volume;
  });
}

bool LiquidPrepareTask::OnDrainTimeout() {
  LOG_ERROR("ErrorCode: {}, drain water timeout", kErrFootLevelTimeout);
  SetTaskStatus(TASK_STATUS_ERROR);
  return false;
}

bool LiquidPrepareTask::DoReleaseLiquid(const station::SensorsDataRep& /*data*/) {
  if (!CommandOrFail(PumpType(), 1, kErrOpenLiquidPump, "open clean liqueid or perfume liqueid pump failed")) {
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
  if (!CommandOrFail(PumpType(), 0, kErrCloseLiquidPump, Named("close clean liqueid or perfume liqueid pump failed"))) {
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
  const bool pump_off = Command(PumpType(), 0, kErrCloseLiquidPump,
                                Named(cancel ? "close clean liquid or perfume liquid pump failed when cancel"
                                             : "close clean liqueid or perfume liqueid pump failed"));
  const bool valves_closed = CloseTapAndDrain(cancel);
  return pump_off && valves_closed;
}

bool LiquidPrepareTask::DoReset() { return SwitchOff(false); }

bool LiquidPrepareTask::DoCancelUnlock() { return SwitchOff(true); }

void LiquidPrepareTask::AfterOver() {
  WithTaskData([type = task_type_](StationTaskData& data) {
    if (type == TASK_TYPE_CLEAN_LIQUID_PREPARE) {
      LOG_INFO("clean liquied ready");
      data.add_water_finished = false;
      data.clean_liquid_ready = true;
    } else if (type == TASK_TYPE_PERFUME_LIQUID_PREPARE) {
      LOG_INFO("perfume liquied ready");
      data.add_water_finished = false;
      data.perfume_liquid_ready = true;
    }
    data.water_spray_resumable = false;
  });
}

void LiquidPrepareTask::AfterError() {
  WithTaskData([](StationTaskData& data) {
    data.add_water_finished = false;
    data.perfume_liquid_ready = false;
    data.clean_liquid_ready = false;
    data.water_volume = -1;
  });
}

void LiquidPrepareTask::AfterCancel() { AfterError(); }

}  // namespace station_center
