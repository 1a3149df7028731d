#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "station_types.h"
#include "task/task.h"
#include "task/task_policy.h"
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
// from the request as the type's policy row says.
using TaskMaker = std::function<std::shared_ptr<Task>(const std::shared_ptr<TaskServices>&, const StationSrvReq&,
                                                      TaskType, int64_t max_seconds, int32_t action)>;

// The class of `type`'s own tasks; empty while the type has none (it is then
// answered as unsupported). Thread-safe.
TaskMaker DefaultTaskMaker(TaskType type);

// The task class of each type a station core builds: the type's own class
// unless another maker was set for it. Conflicts, limits and the rest of the
// policy still come from the policy table; types without a class stay unsupported.
// Threading: thread-safe; a maker set while a core runs applies to its next task.
class TaskMakers {
 public:
  // Tasks of `type` are built by `make`; an empty `make` restores the type's own class.
  void Set(TaskType type, TaskMaker make);
  // The maker of `type`; empty when the type has no class.
  TaskMaker Of(TaskType type) const;

 private:
  mutable std::mutex mutex_;
  std::unordered_map<TaskType, TaskMaker> makers_;  // guarded by mutex_
};

// Makes the task of req.task_type with its time limit, conflict list and
// per-action configuration, by the class `makers` names for it. Called with the
// owner's task_mutex_ held.
CreateTaskResult CreateTask(const std::shared_ptr<TaskServices>& services, const StationSrvReq& req,
                            const TaskMakers& makers);

}  // namespace station_center
