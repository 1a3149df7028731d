#include "task/disinfectant_prepare_task.h"

#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

DisinfectantPrepareTask::DisinfectantPrepareTask(std::shared_ptr<TaskServices> services, const TaskType& task_type,
                                                 int64_t max_seconds,
                                                 const vantorel_base_station_mqtt::PrepareDisinfectantReq& req)
    : TankPrepareTask(std::move(services), task_type, max_seconds, req,
                      {"disnfectant prepare task water inlet failed", "disinfectant prepare task close water switch",
                       "close tap water switch failed when cancel"}) {
  steps_[5] = [this](const station::SensorsDataRep& data) { return DoReleaseTablets(data); };
  steps_[6] = [this](const station::SensorsDataRep& data) { return WaitTablets(data); };
  steps_[7] = [this](const station::SensorsDataRep& data) { return WaitMotorRecovery(data); };
  steps_[8] = [this](const station::SensorsDataRep& data) { return WaitDissolution(data); };
}

void DisinfectantPrepareTask::OnStart() {
  const int32_t volume = FillTargetCounts(req_.cmd().water_volume());
  WithTaskData([volume](StationTaskData& data) {
    data.disinfectant_water_ready = false;
    data.water_volume = volume;
  });
}

int32_t DisinfectantPrepareTask::TabletCount(const station::SensorsDataRep& data) const {
  if (g_config.hardware == "dvt1") {
    return FromTaskData([](const StationTaskData& task_data) { return task_data.sorter_count_; });
  }
  return static_cast<int32_t>(data.disinfectantplatenum());
}

bool DisinfectantPrepareTask::OnDrainTimeout() {
  LOG_ERROR("ErrorCode: {}, drain water timeout when prepare disinfectant water", kErrFootLevelTimeout);
  LOG_WARN("clean tank not arrive foot level in required time, stop drain water and do task continue");
  return FinishDrain();
}

void DisinfectantPrepareTask::OnFillTimeout() {
  AbnormalTaskRecord(ABNORMAL_TAP_WATER, TASK_TYPE_DISINFECTANT_PREPARE);
}

bool DisinfectantPrepareTask::DoReleaseTablets(const station::SensorsDataRep& data) {
  if (req_.cmd().disinfection_tablets_num() < 1) {
    LOG_INFO("don't need add tables, task over");
    SetTaskStatus(TASK_STATUS_OVER);
    return true;
  }
  tablets_before_ = TabletCount(data);
  motor_power_ = g_config.sorter_motor_power;
  if (!StartMotor()) {
    return false;
  }
  motor_start_ = static_cast<time_t>(NowSeconds());
  LOG_INFO("start disinfectant motor time {}", static_cast<int64_t>(motor_start_));
  SwitchStep(6);
  return true;
}

bool DisinfectantPrepareTask::WaitTablets(const station::SensorsDataRep& data) {
  const int32_t count = TabletCount(data);
  const auto stop_motor = [this]() {
    motor_power_ = 0;
    return CommandOrFail(station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR, 0, kErrCloseMotor,
                         Named("close disinfectant motor failed"));
  };

  if (static_cast<int64_t>(count) - tablets_before_ >= req_.cmd().disinfection_tablets_num()) {
    LOG_INFO("Disinfectant tables ready");
    if (!stop_motor()) {
      return false;
    }
    dissolve_start_ = static_cast<time_t>(NowSeconds());
    SwitchStep(8);
    return true;
  }
  if (NowSeconds() - motor_start_ <= g_config.disinfectant_motor_timeout) {
    if (data.sortermotorcurrentstate()) {
      return true;
    }
    LOG_INFO("disinfectant motor current overload, try stop");
    if (!stop_motor()) {
      return false;
    }
    SwitchStep(7);
    recovery_start_ = static_cast<time_t>(NowSeconds());
    return true;
  }
  LOG_ERROR("ErrorCode: {}, release tables timeout", kErrTabletsTimeout);
  LOG_WARN("release tables timeout in required time, stop release tables and do task continue");
  if (!stop_motor()) {
    return false;
  }
  if (count <= tablets_before_) {
    // Without a tablet the tank holds plain water: no water-ready for the robot,
    // and the cloud learns that the tablets are short.
    LOG_WARN("no disinfectant tablet released, tablets short");
    AbnormalTaskRecord(ABNORMAL_DISINFECTANT_TABLETS, TASK_TYPE_DISINFECTANT_PREPARE);
    SetTaskStatus(TASK_STATUS_ERROR);
    return false;
  }
  LOG_INFO("release tables timeout, but there has tables released, need wait it dissolution");
  dissolve_start_ = static_cast<time_t>(NowSeconds());
  SwitchStep(8);
  return true;
}

bool DisinfectantPrepareTask::WaitMotorRecovery(const station::SensorsDataRep& /*data*/) {
  if (NowSeconds() - recovery_start_ <= g_config.wait_disinfectant_motor_recovery_time) {
    return true;
  }
  if (!StartMotor()) {
    return false;
  }
  // motor_start_ stays: the overall motor limit counts from the first start.
  SwitchStep(6);
  return true;
}

bool DisinfectantPrepareTask::WaitDissolution(const station::SensorsDataRep& /*data*/) {
  if (NowSeconds() - dissolve_start_ <= g_config.disinfectant_table_dissolution_time) {
    return true;
  }
  SetTaskStatus(TASK_STATUS_OVER);
  return true;
}

bool DisinfectantPrepareTask::StartMotor() {
  motor_power_ = g_config.sorter_motor_power;
  return CommandOrFail(station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR, motor_power_, kErrOpenMotor,
                       "open disinfectant motor failed");
}

bool DisinfectantPrepareTask::SwitchOff(bool cancel) {
  motor_power_ = 0;
  const bool motor_off = Command(
      station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR, 0, kErrCloseMotor,
      cancel ? std::string("close disinfectant motor failed when cancel") : Named("close disinfectant motor failed"));
  const bool valves_closed = CloseTapAndDrain(cancel);
  return motor_off && valves_closed;
}

bool DisinfectantPrepareTask::DoReset() { return SwitchOff(false); }

bool DisinfectantPrepareTask::DoCancelUnlock() { return SwitchOff(true); }

void DisinfectantPrepareTask::AfterOver() {
  WithTaskData([](StationTaskData& data) {
    data.add_water_finished = false;
    data.disinfectant_water_ready = true;
    data.water_spray_resumable = false;
  });
}

void DisinfectantPrepareTask::AfterError() {
  WithTaskData([](StationTaskData& data) {
    data.add_water_finished = false;
    data.disinfectant_water_ready = false;
    data.perfume_liquid_ready = false;
    data.clean_liquid_ready = false;
    data.water_volume = -1;
    data.water_spray_resumable = false;
  });
}

void DisinfectantPrepareTask::AfterCancel() { AfterError(); }

}  // namespace station_center
