#pragma once

#include <cstdint>
#include <ctime>
#include <memory>

#include "robot/base_station_mqtt.pb.h"
#include "task/tank_prepare_task.h"

namespace station_center {

// Prepares clean liquid (type 2) or perfume liquid (type 3) in the clean tank:
// drain, fill to the requested volume, dose with the liquid pump, dissolve.
// Threading: driven under the owner's task_mutex_ like every task.
class LiquidPrepareTask : public TankPrepareTask {
 public:
  LiquidPrepareTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds,
                    const vantorel_base_station_mqtt::PrepareDisinfectantReq& req);

  bool DoReset() override;
  void AfterOver() override;
  void AfterError() override;
  void AfterCancel() override;
  bool DoCancelUnlock() override;

 protected:
  void OnStart() override;
  bool OnDrainTimeout() override;

 private:
  bool DoReleaseLiquid(const station::SensorsDataRep& data);
  bool WaitReleaseLiquid(const station::SensorsDataRep& data);
  bool WaitDissolution(const station::SensorsDataRep& data);

  // Pump off, tap and drain closed; false if any of them failed.
  bool SwitchOff(bool cancel);
  station::EnumSupplyType PumpType() const;

  time_t release_start_ = -1;
  int64_t pump_seconds_ = 10;
  int64_t dissolve_seconds_ = 300;
  time_t dissolve_start_ = -1;
};

}  // namespace station_center
