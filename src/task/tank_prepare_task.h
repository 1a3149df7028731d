#pragma once

#include <cstdint>
#include <ctime>
#include <memory>

#include "robot/base_station_mqtt.pb.h"
#include "task/task.h"

namespace station_center {

// The first half of every clean-tank preparation: drain the tank (steps 1, 2),
// then fill it from the tap to the requested volume (steps 3, 4). The concrete
// preparation adds its dosing steps from 5 on.
// Threading: driven under the owner's task_mutex_ like every task.
class TankPrepareTask : public StepTask {
 public:
  // The preparation's own wording of its fill error lines.
  struct FillTexts {
    const char* inlet_failed;
    const char* close_tap;
    const char* close_tap_cancel;
  };

  TankPrepareTask(std::shared_ptr<TaskServices> services, const TaskType& task_type, int64_t max_seconds,
                  const vantorel_base_station_mqtt::PrepareDisinfectantReq& req, const FillTexts& texts);

 protected:
  // The tank did not reach its foot level in time; the result is the pass result.
  virtual bool OnDrainTimeout() = 0;
  // The fill did not reach its target in time (the tap is being closed).
  virtual void OnFillTimeout() {}
  // The drain is over (tank empty or given up): close the valve, go on filling.
  bool FinishDrain();
  // Tap and drain closed, both tried; false if either failed.
  bool CloseTapAndDrain(bool cancel);

  vantorel_base_station_mqtt::PrepareDisinfectantReq req_;

 private:
  bool DoEmptyTank(const station::SensorsDataRep& data);
  bool WaitEmptyTank(const station::SensorsDataRep& data);
  bool DoWaterInlet(const station::SensorsDataRep& data);
  bool WaitWaterInlet(const station::SensorsDataRep& data);

  FillTexts texts_;
  time_t drain_start_ = -1;
  time_t inlet_start_ = -1;
  TapFill fill_;
};

// The fill target in flowMeter counts (one count per millilitre) for a
// requested volume in litres, kept inside the 32-bit volume fields.
int32_t FillTargetCounts(int32_t litres);

}  // namespace station_center
