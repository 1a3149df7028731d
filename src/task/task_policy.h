#pragma once

// What the station knows about each task type, apart from the class that runs it
// (the factory's makers): the admission and ending rules, the conflicts and their
// codes, the robot's supply type, the switch-off order, the abnormal record's
// keys and the lamp pattern a running task shows. Plain data, read by the
// framework, the core, the lamp and the MQTT side; no task class is named here.

#include <cstdint>
#include <vector>

#include "robot/base_station_common.pb.h"
#include "station/cmd.pb.h"
#include "station_types.h"

namespace station_center {

// One row of the policy table.
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
    kAbnormalKey = 1u << 8,        // a key of the abnormal task record (reported in the uploads)
    kStopsFirst = 1u << 9,         // under the emergency stop, switched off before every other task
    kStopsLast = 1u << 10,         // under the emergency stop, switched off after every other task
  };

  const char* name;  // in the service status line; null for an unknown type
  uint32_t flags;
  // Running types that block a new task of this type, in checking order.
  std::vector<TaskType> conflicts;
  // The error code a new task is refused with while this type runs; ENUM_SUCCESS: none of its own.
  vantorel_base_station_common::EnumErrCode conflict_err_code;
  // The robot's supply type that asks for this task; ENUM_SUPPLY_INVALID: none.
  int32_t supply_type;
  // The lamp's task pattern shown while it runs (its rank is the lamp's); LED_NOT_CHANGE: none.
  station::EnumLedCmd lamp;

  bool runs_in_any_status() const { return (flags & kRunsInAnyStatus) != 0; }
  bool starts_work_period() const { return (flags & kStartsWorkPeriod) != 0; }
  bool end_resets_station() const { return (flags & kEndResetsStation) != 0; }
  bool needs_action() const { return (flags & kNeedsAction) != 0; }
  bool action_from_prepare() const { return (flags & kActionFromPrepare) != 0; }
  bool limit_from_request() const { return (flags & kLimitFromRequest) != 0; }
  bool station_reset() const { return (flags & kStationReset) != 0; }
  bool needs_robot() const { return (flags & kNeedsRobot) != 0; }
  bool abnormal_key() const { return (flags & kAbnormalKey) != 0; }
};

// The row of `type`; an unknown type gets a row without name or class that is
// checked and refused like any other request. Thread-safe.
const TaskTypeInfo& TaskTypeInfoOf(TaskType type);

// Every type with a row, in ascending order. Thread-safe.
const std::vector<TaskType>& KnownTaskTypes();

// The task type the robot's supply type asks for; TASK_TYPE_INVALID for none. Thread-safe.
TaskType TaskTypeOfSupply(int32_t supply_type);

// Where `type` comes in the emergency stop's switch-off order: lower first.
int StopRank(TaskType type);

}  // namespace station_center
