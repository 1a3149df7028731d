#include "task/auto_charge_task.h"

#include <mutex>
#include <shared_mutex>

#include "clock.h"
#include "config.h"
#include "logger.h"
#include "station_center.h"

namespace station_center {

namespace {

namespace common = vantorel_base_station_common;

constexpr int kErrStartCharge = 101900045;
constexpr int kErrStopCharge = 101900046;
constexpr int kErrUnsafeCharge = 101900047;

constexpr int32_t kChargeNone = 0;
constexpr int32_t kChargeCharging = 1;

bool HandChargeOpen(const station::SensorsDataRep& data) {
  return data.handchargedet() != 0 && data.handchargeinsidedet();
}

}  // namespace

AutoChargeTask::AutoChargeTask(std::shared_ptr<StationCenter> station_center, const TaskType& task_type,
                               int64_t max_seconds, int32_t action)
    : SupplyMaterialTask(std::move(station_center), task_type, max_seconds, action) {}

PreCheckResult AutoChargeTask::PreCheckUnlock(const station::SensorsDataRep& data) {
  PreCheckResult result;
  const uint32_t limit = g_config.max_charge_plate_temp;
  if (HandChargeOpen(data)) {
    LOG_WARN("hand charge is open, can not charge by electrode plate");
    result.err_msg = "hand charge is open";
    result.err_code = common::ENUM_CONFLICT_WITH_MANUAL_CHARGE;
  } else if (data.electrodeplatetemp1() > limit) {
    LOG_WARN("electrode plate 1 temp({}) over max temp({})", data.electrodeplatetemp1(), limit);
    result.err_msg = "electrode plate 1 temp over max temp";
    result.err_code = common::ENUM_UP_ELECTRODE_PLATE_OVER_TEMP;
  } else if (data.electrodeplatetemp2() > limit) {
    LOG_WARN("electrode plate 2 temp({}) over max temp({})", data.electrodeplatetemp2(), limit);
    result.err_msg = "electrode plate 2 temp over max temp";
    result.err_code = common::ENUM_DOWN_ELECTRODE_PLATE_OVER_TEMP;
  }
  return result;
}

bool AutoChargeTask::DoTaskInside(const station::SensorsDataRep& data) {
  if (Finished()) {
    LogAlreadyFinished("already over or error or cancel");
    return true;
  }
  if (status_ == TASK_STATUS_INIT) {
    start_time_ = static_cast<time_t>(NowSeconds());
    if (!SendAction(station::ENUM_SUPPLY_CHARGING, 1)) {
      LOG_ERROR("ErrorCode: {}, start charge failed", kErrStartCharge);
      return false;
    }
    SetTaskStatus(TASK_STATUS_RUNNING);
    SetCharging(kChargeCharging);
  }
  if (TimeLimitPassed()) {
    LogExecTimeout();
    return false;
  }
  const uint32_t limit = g_config.max_charge_plate_temp;
  if (data.electrodeplatetemp1() <= limit && data.electrodeplatetemp2() <= limit && !HandChargeOpen(data)) {
    return true;
  }
  return StopUnsafeCharge(data);
}

bool AutoChargeTask::StopUnsafeCharge(const station::SensorsDataRep& data) {
  const uint32_t limit = g_config.max_charge_plate_temp;
  // Both plates are recorded before charging stops, so the report names each hot one.
  if (data.electrodeplatetemp1() > limit) {
    station_center_->AbnormalTaskRecord(ABNORMAL_PLATE_UP_TEMP, TASK_TYPE_AUTO_CHARGE);
  }
  if (data.electrodeplatetemp2() > limit) {
    station_center_->AbnormalTaskRecord(ABNORMAL_PLATE_DOWN_TEMP, TASK_TYPE_AUTO_CHARGE);
  }
  LOG_ERROR("ErrorCode: {}, charge plate temp({} {}) too high or hand charge switch({}) open, stop charge",
            kErrUnsafeCharge, data.electrodeplatetemp1(), data.electrodeplatetemp2(), data.handchargedet());
  if (!SendAction(station::ENUM_SUPPLY_CHARGING, 0)) {
    LOG_ERROR("ErrorCode: {}, stop charge failed", kErrStopCharge);
    return false;
  }
  SetTaskStatus(TASK_STATUS_ERROR);
  return true;
}

void AutoChargeTask::SetCharging(int32_t state) {
  std::unique_lock<std::shared_mutex> lock(station_center_->task_data_mutex());
  station_center_->task_data().charging = state;
}

bool AutoChargeTask::DoCancelUnlock() {
  const bool ok = SendAction(station::ENUM_SUPPLY_CHARGING, 0);
  if (!ok) {
    LOG_ERROR("ErrorCode: {}, stop charge failed", kErrStopCharge);
  }
  return ok;
}

bool AutoChargeTask::DoReset() {
  SetCharging(kChargeNone);
  const bool ok = SendAction(station::ENUM_SUPPLY_CHARGING, 0);
  if (!ok) {
    LOG_ERROR("ErrorCode: {}, stop charge failed", kErrStopCharge);
  }
  return ok;
}

void AutoChargeTask::AfterCancel() { SetCharging(kChargeNone); }

}  // namespace station_center
