#pragma once

#include <cstdint>
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

// Makes the task of req.task_type with its time limit, conflict list and
// per-action configuration. Called with the owner's task_mutex_ held.
CreateTaskResult CreateTask(const std::shared_ptr<StationCenter>& station_center, const StationSrvReq& req);

}  // namespace station_center
