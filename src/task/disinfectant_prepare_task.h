#pragma once

#include <cstdint>
#include <ctime>
#include <memory>

#include "robot/base_station_mqtt.pb.h"
#include "task/tank_prepare_task.h"

namespace station_center {

// Prepares disinfectant water in the clean tank: drain, fill to the requested
// volume, release the requested number of tablets with the sorter motor
// (stopping and restarting it on overload), then wait for them to dissolve. A
// motor limit passed without a single tablet ends in error, tablets short.
// Threading: driven under the owner's task_mutex_ like every task.
class DisinfectantPrepareTask : public TankPrepareTask {
 public:
  DisinfectantPrepareTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds,
                          const vantorel_base_station_mqtt::PrepareDisinfectantReq& req);

  bool DoReset() override;
  void AfterOver() override;
  void AfterError() override;
  void AfterCancel() override;
  bool DoCancelUnlock() override;

 protected:
  void OnStart() override;
  bool OnDrainTimeout() override;
  void OnFillTimeout() override;

 private:
  bool DoReleaseTablets(const station::SensorsDataRep& data);
  bool WaitTablets(const station::SensorsDataRep& data);
  bool WaitMotorRecovery(const station::SensorsDataRep& data);
  bool WaitDissolution(const station::SensorsDataRep& data);

  // Tablets released so far: the station's own sorter counter on "dvt1", the
  // board's count otherwise.
  int32_t TabletCount(const station::SensorsDataRep& data) const;
  // Motor on at the configured power; a refusal ends the task in error.
  bool StartMotor();
  // Motor stopped, tap and drain closed; false if any of them failed.
  bool SwitchOff(bool cancel);

  time_t motor_start_ = -1;
  time_t recovery_start_ = -1;
  time_t dissolve_start_ = -1;
  int32_t tablets_before_ = 0;
  int32_t motor_power_ = 0;
};

}  // namespace station_center
