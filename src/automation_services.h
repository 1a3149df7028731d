#pragma once

#include <cstdint>
#include <functional>

#include "station/cmd.pb.h"
#include "station_service.h"
#include "station_types.h"

namespace station_center {

// What the sensor automation (sewage pump, debounced abnormal conditions, the
// emergency stop, the manual charge) may ask of the station core, as the tasks
// ask through TaskServices. The station core implements it; tests may give their own.
// Threading: called from the sensor callback with the core's task_mutex_ held;
// each call takes the other locks it needs itself. SendCommand and RequireOff
// release task_mutex_ while the board answers.
class AutomationServices {
 public:
  virtual ~AutomationServices() = default;

  virtual StationCenterStatus station_status() const = 0;
  // Runs `update` with the task data locked exclusively.
  virtual void WithTaskData(const std::function<void(StationTaskData&)>& update) = 0;
  // Runs `read` with the task data locked shared.
  virtual void ReadTaskData(const std::function<void(const StationTaskData&)>& read) = 0;
  // Records abnormal condition `type` for task key `task` and reports it at once.
  virtual void AbnormalTaskRecord(int32_t type, int32_t task) = 0;
  // Releases abnormal condition `type` of task key `task`; reported with the next upload.
  virtual void ReleaseAbnormal(int32_t type, int32_t task) = 0;
  // One board command through the output guard; true when the board acknowledged it.
  virtual bool SendCommand(const station::ActionCommand& cmd) = 0;
  // `type` must be off (an over-temperature): switched off now, before anything is reported.
  virtual void RequireOff(station::EnumSupplyType type) = 0;
  // A task of `type` is in the task table.
  virtual bool TaskRunning(TaskType type) const = 0;
  // Admits the manual charge a plug in the charge socket asks for.
  virtual StationSrvRsp AdmitManualCharge() = 0;
  // The emergency stop was pressed / released (debounced by the automation).
  virtual void EmergencyStopPressedUnlock() = 0;
  virtual void EmergencyStopReleasedUnlock() = 0;
};

}  // namespace station_center
