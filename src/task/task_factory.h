#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "station_types.h"
#include "task/task.h"

namespace station_center {

class StationCenter;

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
using TaskMaker = std::function<std::shared_ptr<Task>(const std::shared_ptr<StationCenter>&, const StationSrvReq&,
                                                      TaskType, int64_t max_seconds, int32_t action)>;

// Test seam: tasks of `type` are built by `make` instead of the type's class
// (conflicts and time limit still come from the type's row); an empty `make`
// restores the class. Thread-safe.
void OverrideTaskClassForTest(TaskType type, TaskMaker make);

// The soft, standard or strong configuration value for a robot action; 0 for
// any other action.
int32_t ValueForAction(int32_t action, int32_t soft, int32_t standard, int32_t strong);

// Makes the task of req.task_type with its time limit, conflict list and
// per-action configuration. Called with the owner's task_mutex_ held.
CreateTaskResult CreateTask(const std::shared_ptr<StationCenter>& station_center, const StationSrvReq& req);

}  // namespace station_center
