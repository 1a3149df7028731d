#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "station_types.h"
#include "task/task.h"
#include "task/task_services.h"

namespace station_center {

enum CreateTaskResultCode : int32_t {
  CREATE_TASK_SUCCESS = 0,
  CREATE_TASK_UNSUPPORTED_TYPE = 3,
};

struct CreateTaskResult {
  int32_t result = CREATE_TASK_SUCCESS;
  std::shared_ptr<Task> task;  // empty unless result is 0
};

// Builds the concrete task of a type; max_seconds and action are already taken
// from the request as the type's row says.
using TaskMaker = std::function<std::shared_ptr<Task>(const std::shared_ptr<TaskServices>&, const StationSrvReq&,
                                                      TaskType, int64_t max_seconds, int32_t action)>;

// Everything the station knows about one task type: one row of the factory's table.
struct TaskTypeInfo {
  enum Flag : uint32_t {
    kRunsInAnyStatus = 1u << 0,    // its driver goes on while the station is not normal
    kStartsWorkPeriod = 1u << 1,   // admitted with nothing running, it starts the work period
    kEndResetsStation = 1u << 2,   // its end, nothing else running and no robot, resets the station
    kNeedsAction = 1u << 3,        // a request with an illegal action is refused
    kActionFromPrepare = 1u << 4,  // its action comes from the preparation request
    kLimitFromRequest = 1u << 5,   // its limit is the request's duration (updates too); else none
    kStationReset = 1u << 6,       // the station's own reset: admitted whatever the status, its end sets it
    kNeedsRobot = 1u << 7,         // it pours water onto or powers the robot: never a pass without it
  };

  const char* name;  // in the service status line; null for an unknown type
  uint32_t flags;
  // Running types that block a new task of this type, in checking order.
  std::vector<TaskType> conflicts;
  // The error code a new task is refused with while this type runs; ENUM_SUCCESS: none of its own.
  vantorel_base_station_common::EnumErrCode conflict_err_code;
  // The robot's supply type that asks for this task; ENUM_SUPPLY_INVALID: none.
  int32_t supply_type;
  // Empty while the type has no task class: answered as unsupported.
  TaskMaker make;

  bool runs_in_any_status() const { return (flags & kRunsInAnyStatus) != 0; }
  bool starts_work_period() const { return (flags & kStartsWorkPeriod) != 0; }
  bool end_resets_station() const { return (flags & kEndResetsStation) != 0; }
  bool needs_action() const { return (flags & kNeedsAction) != 0; }
  bool action_from_prepare() const { return (flags & kActionFromPrepare) != 0; }
  bool limit_from_request() const { return (flags & kLimitFromRequest) != 0; }
  bool station_reset() const { return (flags & kStationReset) != 0; }
  bool needs_robot() const { return (flags & kNeedsRobot) != 0; }
};

// The row of `type`; an unknown type gets a row without name or class that is
// checked and refused like any other request. Thread-safe.
const TaskTypeInfo& TaskTypeInfoOf(TaskType type);

// The task type the robot's supply type asks for; TASK_TYPE_INVALID for none. Thread-safe.
TaskType TaskTypeOfSupply(int32_t supply_type);

// The task class of each type a station core builds: the class of the type's row
// unless another maker was set for it. Conflicts, limits and the rest of the
// policy still come from the row; types without a class stay unsupported.
// Threading: thread-safe; a maker set while a core runs applies to its next task.
class TaskMakers {
 public:
  // Tasks of `type` are built by `make`; an empty `make` restores the row's class.
  void Set(TaskType type, TaskMaker make);
  // The maker of `type`; empty when the type has no class.
  TaskMaker Of(TaskType type) const;

 private:
  mutable std::mutex mutex_;
  std::unordered_map<TaskType, TaskMaker> makers_;  // guarded by mutex_
};

// The soft, standard or strong configuration value for a robot action; 0 for
// any other action.
int32_t ValueForAction(int32_t action, int32_t soft, int32_t standard, int32_t strong);

// Makes the task of req.task_type with its time limit, conflict list and
// per-action configuration, by the class `makers` names for it. Called with the
// owner's task_mutex_ held.
CreateTaskResult CreateTask(const std::shared_ptr<TaskServices>& services, const StationSrvReq& req,
                            const TaskMakers& makers);

}  // namespace station_center
