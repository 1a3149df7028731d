#pragma once

// Types shared by the station core, the tasks, the MQTT handlers and the
// indication: task types, the service request/answer, the station status and
// the station-wide task data record.

#include <cstdint>
#include <ctime>
#include <string>
#include <unordered_map>

#include "robot/base_station_cloud.pb.h"
#include "robot/base_station_common.pb.h"
#include "robot/base_station_mqtt.pb.h"

namespace station_center {

enum TaskType : int32_t {
  TASK_TYPE_INVALID = 0,
  TASK_TYPE_DISINFECTANT_PREPARE = 1,
  TASK_TYPE_CLEAN_LIQUID_PREPARE = 2,
  TASK_TYPE_PERFUME_LIQUID_PREPARE = 3,
  TASK_TYPE_DRAIN_WATER = 4,
  TASK_TYPE_ADD_WATER = 5,
  TASK_TYPE_DUST_COLLECT = 6,
  TASK_TYPE_WATER_SPRAY = 7,
  TASK_TYPE_SEWAGE_DRAIN_PUMP = 8,
  TASK_TYPE_DRY = 9,
  TASK_TYPE_HEAT_WIRE = 10,
  TASK_TYPE_AUTO_CHARGE = 11,
  TASK_TYPE_MANUAL_CHARGE = 12,
  TASK_TYPE_UV_LAMP = 13,
  TASK_TYPE_ADD_WATER_NO_LIMIT = 14,
  TASK_TYPE_ULTRASONIC_WASH = 15,
  TASK_TYPE_SENSOR = 16,  // no task class; key of sensor-found abnormal conditions
  TASK_TYPE_RESET_STATION = 17,
};

enum StationCenterStatus : int32_t {
  STATION_STATUS_NORMAL = 0,
  STATION_STATUS_ERROR = 1,
  STATION_STATUS_RESET = 2,
  STATION_STATUS_EMERGENCY_STOP = 3,
  STATION_STATUS_WAIT_RESET = 4,
};

enum StationSrvCmd : int32_t {
  SRV_CMD_TASK = 0,
  SRV_CMD_ROBOT_POSITION = 1,
  SRV_CMD_ADD_WATER_FINISHED = 2,
  SRV_CMD_WATER_READY = 3,
  SRV_CMD_STATION_BUSY = 5,
  SRV_CMD_ROBOT_LEAVE = 6,
  SRV_CMD_CONNECTION_LOST = 7,
  SRV_CMD_CLOUD_REPLY = 8,
};

enum StationSrvCode : int32_t {
  SRV_CODE_SUCCESS = 0,
  SRV_CODE_FAILED = 1,
  SRV_CODE_UNSUPPORTED_CMD = 2,
  SRV_CODE_STATION_ERROR = 3,
  SRV_CODE_EMERGENCY_STOP = 4,
  SRV_CODE_INVALID_TASK_TYPE = 5,
  SRV_CODE_TASK_UPDATED = 6,
  SRV_CODE_NO_TASK_TO_CANCEL = 8,
  SRV_CODE_ROBOT_IN_POSITION = 9,
  SRV_CODE_ROBOT_NOT_IN_POSITION = 10,
  SRV_CODE_NOT_STARTED = 11,
  SRV_CODE_DISINFECTANT_PREPARING = 12,
  SRV_CODE_WATER_READY = 13,
  SRV_CODE_ADDING_WATER = 15,
  SRV_CODE_ADD_WATER_FINISHED = 16,
  SRV_CODE_IDLE = 17,
  SRV_CODE_BUSY = 18,
  SRV_CODE_STATION_RESET = 21,
};

// Abnormal condition types; their flags in StationTaskData are true while normal.
enum AbnormalType : int32_t {
  ABNORMAL_TAP_WATER = 0,
  ABNORMAL_UNUSED = 1,
  ABNORMAL_DISINFECTANT_TABLETS = 2,
  ABNORMAL_DUST_BAG_OUT = 3,
  ABNORMAL_DUST_BAG_REPLACE = 4,
  ABNORMAL_DUST_BOX_CAP = 5,
  ABNORMAL_PLATE_UP_TEMP = 6,
  ABNORMAL_PLATE_DOWN_TEMP = 7,
  ABNORMAL_HEAT_WIRE_TEMP = 8,
  ABNORMAL_EMERGENCY_STOP = 9,
  ABNORMAL_SENSOR_LINK_LOST = 10,  // no sensor report for sensor_stale_time
  ABNORMAL_TYPE_COUNT = 11,
};

struct StationSrvReq {
  int32_t cmd = SRV_CMD_TASK;  // read only by HandleService
  TaskType task_type = TASK_TYPE_INVALID;
  vantorel_base_station_mqtt::SupplyMaterialReq supply_material_req;
  vantorel_base_station_mqtt::StationCheckReq station_check_req;
  vantorel_base_station_mqtt::PositionConfirmReq position_confirm_req;
  vantorel_base_station_mqtt::PrepareDisinfectantReq prepare_disinfectant_req;
  vantorel_base_station_cloud::BaseStationInfoReportRsp report_rsp;
};

struct StationSrvRsp {
  int32_t code = SRV_CODE_SUCCESS;
  std::string msg;
  vantorel_base_station_common::EnumErrCode err_code = vantorel_base_station_common::ENUM_SUCCESS;
};

// The plain facts of StationTaskData; copied memberwise.
struct StationTaskFacts {
  bool work_started = false;
  time_t work_start_time = -1;
  bool sensor_data_received = false;
  bool add_water_finished = false;
  bool disinfectant_water_ready = false;
  bool perfume_liquid_ready = false;
  bool clean_liquid_ready = false;
  int32_t water_volume = -1;
  int32_t tank_water_volume = -1;
  bool heat_fan_open = false;
  bool heat_wire_working = false;
  int32_t sorter_count_ = 0;
  bool sewage_pump_working = false;
  bool manual_charge_state = false;
  bool occupy_state = false;
  int32_t charging = 0;        // 1 charging, 2 complete, 3 error, 0 none
  int32_t robot_position = 0;  // 1 in position, 2 not, 0 none
  bool water_spray_resumable = false;

  // Abnormal-normal flags, one per AbnormalType, true while normal.
  bool tap_water_normal = true;
  bool unused_abnormal_normal = true;
  bool disinfectant_tablets_normal = true;
  bool dust_bag_in_place_normal = true;
  bool dust_bag_replace_normal = true;
  bool dust_box_cap_normal = true;
  bool plate_up_temp_normal = true;
  bool plate_down_temp_normal = true;
  bool heat_wire_temp_normal = true;
  bool emergency_stop_normal = true;
  bool sensor_link_normal = true;

  // Task key (task type, or TASK_TYPE_SENSOR) -> 1 abnormal, 0 normal.
  std::unordered_map<TaskType, int32_t> abnormal_tasks;

  bool consumables_released = false;
};

// Station-wide facts shared by the core, the tasks, the reports and the
// indication. Not thread-safe by itself: guarded by StationCenter's
// task_data_mutex_.
struct StationTaskData : StationTaskFacts {
  StationTaskData();
  // Copies point abnormal_types at the copy's own flags, so a snapshot never
  // writes through to the record it was taken from.
  StationTaskData(const StationTaskData& other);
  StationTaskData& operator=(const StationTaskData& other);

  // The station reset: work period, preparation and task facts back to their
  // initial values; sensor-driven facts and consumable abnormal flags kept.
  void ResetTaskData();

  // Clears abnormal condition `type` and, when nothing else keeps it abnormal,
  // task key `task`. Sends nothing.
  void AbnormalInfoRelease(int32_t type, int32_t task);

  // The flag of abnormal `type`, or null for an unknown type.
  bool* AbnormalFlag(int32_t type) const;
  // True when `type` is known and its condition is present (flag clear).
  bool AbnormalPresent(int32_t type) const;
  // True while a condition recorded under the sensor key (TASK_TYPE_SENSOR) is present.
  bool AnySensorAbnormal() const;

  // Abnormal type -> its flag in this record.
  std::unordered_map<int32_t, bool*> abnormal_types;

 private:
  void BindAbnormalTypes();
};

}  // namespace station_center
