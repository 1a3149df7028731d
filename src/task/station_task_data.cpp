#include "logger.h"
#include "station_types.h"
#include "task/task_policy.h"

namespace station_center {

namespace {

// The sensor key stays abnormal while any of these conditions is present; the
// overdue dust bag too, so the key never vanishes while "dust_bag" is reported.
constexpr int32_t kSensorAbnormalTypes[] = {
    ABNORMAL_DUST_BAG_OUT,    ABNORMAL_DUST_BAG_REPLACE, ABNORMAL_DUST_BOX_CAP,   ABNORMAL_PLATE_UP_TEMP,
    ABNORMAL_PLATE_DOWN_TEMP, ABNORMAL_HEAT_WIRE_TEMP,   ABNORMAL_EMERGENCY_STOP, ABNORMAL_SENSOR_LINK_LOST,
};

}  // namespace

StationTaskData::StationTaskData() {
  for (TaskType key : KnownTaskTypes()) {
    if (TaskTypeInfoOf(key).abnormal_key()) {
      abnormal_tasks.emplace(key, 0);
    }
  }
  BindAbnormalTypes();
}

StationTaskData::StationTaskData(const StationTaskData& other) : StationTaskFacts(other) { BindAbnormalTypes(); }

StationTaskData& StationTaskData::operator=(const StationTaskData& other) {
  // abnormal_types keeps pointing at this record's own flags.
  StationTaskFacts::operator=(other);
  return *this;
}

void StationTaskData::BindAbnormalTypes() {
  abnormal_types = {
      {ABNORMAL_TAP_WATER, &tap_water_normal},
      {ABNORMAL_UNUSED, &unused_abnormal_normal},
      {ABNORMAL_DISINFECTANT_TABLETS, &disinfectant_tablets_normal},
      {ABNORMAL_DUST_BAG_OUT, &dust_bag_in_place_normal},
      {ABNORMAL_DUST_BAG_REPLACE, &dust_bag_replace_normal},
      {ABNORMAL_DUST_BOX_CAP, &dust_box_cap_normal},
      {ABNORMAL_PLATE_UP_TEMP, &plate_up_temp_normal},
      {ABNORMAL_PLATE_DOWN_TEMP, &plate_down_temp_normal},
      {ABNORMAL_HEAT_WIRE_TEMP, &heat_wire_temp_normal},
      {ABNORMAL_EMERGENCY_STOP, &emergency_stop_normal},
      {ABNORMAL_SENSOR_LINK_LOST, &sensor_link_normal},
  };
}

void StationTaskData::ResetTaskData() {
  work_started = false;
  work_start_time = -1;
  add_water_finished = false;
  disinfectant_water_ready = false;
  perfume_liquid_ready = false;
  clean_liquid_ready = false;
  water_volume = -1;
  tank_water_volume = -1;
  heat_fan_open = false;
  heat_wire_working = false;
  sorter_count_ = 0;
  charging = 0;
  robot_position = 0;
  water_spray_resumable = false;
  // Consumables (tap water, tablets, dust bag), the emergency stop and the lost
  // sensor link stay recorded until they are confirmed or released; the other
  // sensor conditions start afresh, and the sensor handler records those still
  // present again at its next report.
  unused_abnormal_normal = true;
  dust_bag_in_place_normal = true;
  dust_box_cap_normal = true;
  plate_up_temp_normal = true;
  plate_down_temp_normal = true;
  heat_wire_temp_normal = true;
  for (auto& entry : abnormal_tasks) {
    entry.second = 0;
  }
  // The sensor conditions kept above keep their key.
  if (AnySensorAbnormal()) {
    abnormal_tasks[TASK_TYPE_SENSOR] = 1;
  }
  consumables_released = false;
}

bool StationTaskData::AnySensorAbnormal() const {
  for (int32_t type : kSensorAbnormalTypes) {
    if (AbnormalPresent(type)) {
      return true;
    }
  }
  return false;
}

bool* StationTaskData::AbnormalFlag(int32_t type) const {
  auto it = abnormal_types.find(type);
  return it == abnormal_types.end() ? nullptr : it->second;
}

bool StationTaskData::AbnormalPresent(int32_t type) const {
  const bool* flag = AbnormalFlag(type);
  return flag != nullptr && !*flag;
}

void StationTaskData::AbnormalInfoRelease(int32_t type, int32_t task) {
  LOG_DEBUG("Into AbnormalInfoRelease");
  bool* flag = AbnormalFlag(type);
  if (flag == nullptr) {
    LOG_WARN("Unknown Abnormal type {}", type);
  } else {
    LOG_INFO("Abnormal type : {} recorded", type);
    *flag = true;
  }

  auto it = abnormal_tasks.find(static_cast<TaskType>(task));
  if (it == abnormal_tasks.end()) {
    LOG_INFO("Unknown recovery task {}", task);
  } else if (task == TASK_TYPE_SENSOR) {
    if (!AnySensorAbnormal()) {
      LOG_INFO("Abnormal task : {} recovery", task);
      it->second = 0;
    }
  } else {
    LOG_INFO("Abnormal task : {} recovery", task);
    it->second = 0;
  }
  LOG_DEBUG("Set AbnormalInfoRelease success");
}

}  // namespace station_center
