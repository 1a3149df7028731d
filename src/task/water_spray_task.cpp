#include "task/water_spray_task.h"

#include <tuple>

#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

namespace {

namespace common = vantorel_base_station_common;

}  // namespace

WaterSprayTask::WaterSprayTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds,
                               int32_t action)
    : ActionTask(std::move(services), task_type, max_seconds),
      pump_power_(ValueForAction(action, g_config.self_clean_pump_power_soft, g_config.self_clean_pump_power_standard,
                                 g_config.self_clean_pump_power_strong)) {}

PreCheckResult WaterSprayTask::PreCheckUnlock(const station::SensorsDataRep& /*data*/) {
  PreCheckResult result;
  const auto [pump_working, volume, water_ready, resumable] = FromTaskData([](const StationTaskData& data) {
    return std::make_tuple(data.sewage_pump_working, data.water_volume, data.disinfectant_water_ready,
                           data.water_spray_resumable);
  });
  if (!pump_working) {
    LOG_WARN("sewage pump not working, can not start self clean pump");
    result.err_msg = "sewage pump not working";
    result.err_code = common::ENUM_SEWAGE_PUMP_NOT_OPEN;
    return result;
  }
  const bool water_prepared = volume > 0 && water_ready;
  if (!water_prepared && !resumable) {
    LOG_WARN("pre disinfectant no ready, can not start self clean pump");
    result.err_msg = "pre disinfectant no ready";
    result.err_code = common::ENUM_DISINFECTANT_WATER_NOT_READY;
  }
  return result;
}

bool WaterSprayTask::OnStart() {
  return Command(station::ENUM_SUPPLY_SELF_CLEAN_PUMP, pump_power_, kErrOpenSprayPump, "open self clean pump failed");
}

bool WaterSprayTask::DoCancelUnlock() {
  return Command(station::ENUM_SUPPLY_SELF_CLEAN_PUMP, 0, kErrCloseSprayPump, "close self clean pump failed");
}

bool WaterSprayTask::DoReset() {
  return CommandOrFail(station::ENUM_SUPPLY_SELF_CLEAN_PUMP, 0, kErrCloseSprayPump, "close self clean pump failed");
}

void WaterSprayTask::ForgetPreparedWater(bool resumable) {
  WithTaskData([resumable](StationTaskData& data) {
    data.disinfectant_water_ready = false;
    data.perfume_liquid_ready = false;
    data.clean_liquid_ready = false;
    data.water_volume = 0;
    data.water_spray_resumable = resumable;
  });
}

void WaterSprayTask::AfterError() { ForgetPreparedWater(false); }

void WaterSprayTask::AfterCancel() { ForgetPreparedWater(true); }

}  // namespace station_center
