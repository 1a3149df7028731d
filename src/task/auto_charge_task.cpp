#include "task/auto_charge_task.h"

#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

namespace {

namespace common = vantorel_base_station_common;

constexpr int32_t kChargeNone = 0;
constexpr int32_t kChargeCharging = 1;

bool HandChargeOpen(const station::SensorsDataRep& data) {
  return data.handchargedet() != 0 && data.handchargeinsidedet();
}

}  // namespace

AutoChargeTask::AutoChargeTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds)
    : ActionTask(std::move(services), task_type, max_seconds) {}

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
  } else if (!RobotInPosition(data)) {
    // Live plates with no robot on them can be touched by anyone.
    LOG_WARN("robot not in station, can not charge by electrode plate");
    result.err_msg = "robot not in station";
    result.err_code = common::ENUM_ROBOT_NOT_IN_POSITION;
  }
  return result;
}

bool AutoChargeTask::OnStart() {
  if (!Command(station::ENUM_SUPPLY_CHARGING, 1, kErrStartCharge, "start charge failed")) {
    return false;
  }
  SetCharging(kChargeCharging);
  return true;
}

// No pass runs without the robot in position (the type's policy): a robot gone
// ends the task in error, whose reset switches the plates off.
bool AutoChargeTask::OnPass(const station::SensorsDataRep& data) {
  const uint32_t limit = g_config.max_charge_plate_temp;
  if (data.electrodeplatetemp1() <= limit && data.electrodeplatetemp2() <= limit && !HandChargeOpen(data)) {
    return true;
  }
  return StopUnsafeCharge(data);
}

bool AutoChargeTask::StopUnsafeCharge(const station::SensorsDataRep& data) {
  const uint32_t limit = g_config.max_charge_plate_temp;
  LOG_ERROR("ErrorCode: {}, charge plate temp({} {}) too high or hand charge switch({}) open, stop charge",
            kErrUnsafeCharge, data.electrodeplatetemp1(), data.electrodeplatetemp2(), data.handchargedet());
  // Off before the records: each is published, and a stalled broker must not keep the plates live.
  const bool stopped = StopCharging();
  if (data.electrodeplatetemp1() > limit) {
    AbnormalTaskRecord(ABNORMAL_PLATE_UP_TEMP, TASK_TYPE_AUTO_CHARGE);
  }
  if (data.electrodeplatetemp2() > limit) {
    AbnormalTaskRecord(ABNORMAL_PLATE_DOWN_TEMP, TASK_TYPE_AUTO_CHARGE);
  }
  if (!stopped) {
    return false;
  }
  SetTaskStatus(TASK_STATUS_ERROR);
  return true;
}

bool AutoChargeTask::StopCharging() {
  return Command(station::ENUM_SUPPLY_CHARGING, 0, kErrStopCharge, "stop charge failed");
}

void AutoChargeTask::SetCharging(int32_t state) {
  WithTaskData([state](StationTaskData& data) { data.charging = state; });
}

bool AutoChargeTask::DoCancelUnlock() { return StopCharging(); }

bool AutoChargeTask::DoReset() {
  SetCharging(kChargeNone);
  return StopCharging();
}

void AutoChargeTask::AfterCancel() { SetCharging(kChargeNone); }

}  // namespace station_center
