#pragma once

#include <cstdint>
#include <functional>

#include "clock.h"
#include "station/cmd.pb.h"
#include "station/station_report.pb.h"
#include "station_types.h"

namespace station_center {

// What a task may ask of the station it runs in: board commands, the
// station-wide task data, abnormal records, the clock and when the latest sensor
// report arrived. The station core implements it; tests may give their own.
// Threading: called from task hooks with the owner's task_mutex_ held; each call
// takes the other locks it needs itself. SendCommand releases the owner's
// task_mutex_ while the board answers: anything outside the task may change.
class TaskServices {
 public:
  virtual ~TaskServices() = default;

  // One board command; true when the board acknowledged it. Waits for the reply.
  virtual bool SendCommand(const station::ActionCommand& cmd) = 0;
  // Runs `update` with the task data locked exclusively.
  virtual void WithTaskData(const std::function<void(StationTaskData&)>& update) = 0;
  // Runs `read` with the task data locked shared.
  virtual void ReadTaskData(const std::function<void(const StationTaskData&)>& read) = 0;
  // Records abnormal condition `type` for task key `task` and reports it at once
  // (when the broker is connected). The task data must not be locked by the caller.
  virtual void AbnormalTaskRecord(int32_t type, int32_t task) = 0;
  // clock().NowMillis() at the arrival of the latest sensor report.
  virtual int64_t LatestReportMillis() const = 0;
  // The latest sensor report is recent enough to regulate on.
  virtual bool ReportFresh() const = 0;
  // The interlock that holds `type` lets it switch on now (for the heat wire:
  // its fan confirmed on, with no switch-off of the fan under way).
  virtual bool InterlockAllows(station::EnumSupplyType type) const = 0;
  // An output that needs `type` on is not confirmed off, so `type` must stay on.
  virtual bool HeldOnByDependent(station::EnumSupplyType type) const = 0;
  // The station's clock; thread-safe, lives as long as the services.
  virtual const Clock& clock() const = 0;
};

// The robot is in position in `data`: both dock detectors and the electrode plate.
bool RobotInPosition(const station::SensorsDataRep& data);

}  // namespace station_center
