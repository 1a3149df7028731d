// Abnormal records and the state reports to the cloud and the robot.

#include <rapidjson/allocators.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "config.h"
#include "logger.h"
#include "station_center.h"

namespace station_center {

namespace {

constexpr size_t kChunkSize = 64 * 1024;

using Allocator = rapidjson::Document::AllocatorType;

const char* BusyText(uint32_t occupy) { return occupy != 0 ? "BUSY" : "IDLE"; }

std::string Serialize(const rapidjson::Document& doc) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  doc.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

bool Present(const StationTaskData& data, int32_t type) { return data.AbnormalPresent(type); }

void AddSensor(rapidjson::Value& list, Allocator& allocator, const char* name, const std::string& value,
               const char* msg) {
  rapidjson::Value sensor(rapidjson::kObjectType);
  sensor.AddMember("name", rapidjson::Value(name, allocator), allocator);
  sensor.AddMember("data", rapidjson::Value(value.c_str(), allocator), allocator);
  sensor.AddMember("msg", rapidjson::Value(msg, allocator), allocator);
  list.PushBack(sensor, allocator);
}

}  // namespace

void StationCenter::AbnormalTaskRecord(int32_t type, int32_t task) {
  LOG_DEBUG("Into AbnormalTaskRecord");
  rapidjson::MemoryPoolAllocator<> cloud_pool(kChunkSize);
  rapidjson::MemoryPoolAllocator<> robot_pool(kChunkSize);
  rapidjson::Document cloud(&cloud_pool);
  rapidjson::Document robot(&robot_pool);
  {
    std::unique_lock<std::shared_mutex> data_lock(task_data_mutex_);
    auto it = task_data_.abnormal_tasks.find(static_cast<TaskType>(task));
    if (it == task_data_.abnormal_tasks.end()) {
      LOG_WARN("Unknown Abnormal task {}", task);
    } else {
      LOG_INFO("Abnormal task : {} recorded", task);
      it->second = 1;
    }
    bool* flag = task_data_.AbnormalFlag(type);
    if (flag == nullptr) {
      LOG_WARN("Unknown Abnormal type {}", type);
    } else {
      LOG_INFO("Abnormal type : {} recorded", type);
      *flag = false;
    }
    cloud.SetObject();
    PackDeviceHeader(cloud, cloud.GetAllocator());
    PackMsgStateInfo(cloud, cloud.GetAllocator(), task_data_);
    PackAbnormalInfo(cloud, cloud.GetAllocator(), task_data_);
    robot.SetObject();
    PackStationReport(robot, robot.GetAllocator(), task_data_);
  }
  // Disconnected: the record stays and goes out with the next periodic upload.
  if (!publisher_ || !publisher_->IsConnected()) {
    return;
  }
  LOG_INFO("SendAbnormalInfo to cloud");
  NoteCloudPublished(publisher_->Publish(g_config.station_upload_topic, Serialize(cloud)));
  StationReport(robot);
  LOG_DEBUG("Set AbnormalInfo success");
}

void StationCenter::PackDeviceHeader(rapidjson::Document& doc, Allocator& allocator) {
  rapidjson::Value msg_id(rapidjson::kObjectType);
  msg_id.AddMember("uuid", "1", allocator);
  rapidjson::Value device_id(rapidjson::kObjectType);
  device_id.AddMember("uuid", rapidjson::Value(g_config.station_id.c_str(), allocator), allocator);
  rapidjson::Value header(rapidjson::kObjectType);
  header.AddMember("msg_id", msg_id, allocator);
  header.AddMember("device_id", device_id, allocator);
  doc.AddMember("req_header", header, allocator);
}

void StationCenter::NoteCloudPublished(bool published) {
  // Until then every cloud report carries the start-up facts: one built while the
  // broker was away never reached the cloud.
  if (published) {
    first_report_ = false;
  }
}

// Caller holds task_mutex_ and task_data_mutex_: last_occupy_state_ changes only here.
void StationCenter::PackMsgStateInfo(rapidjson::Document& doc, Allocator& allocator, StationTaskData& data) {
  const int64_t now = clock_->WallSeconds();
  rapidjson::Value state(rapidjson::kObjectType);
  state.AddMember("current_time", static_cast<uint32_t>(now), allocator);
  if (first_report_) {
    rapidjson::Value ready(rapidjson::kObjectType);
    ready.AddMember("ntp_state", 0, allocator);
    ready.AddMember("sensor_state", 0, allocator);
    ready.AddMember("driver_state", 0, allocator);
    ready.AddMember("self_test_state", 0, allocator);
    state.AddMember("ready_state", ready, allocator);
    state.AddMember("online_time", static_cast<uint32_t>(now), allocator);
  }
  const uint32_t occupy = data.occupy_state ? 1 : 0;
  state.AddMember("occupy_state", occupy, allocator);
  if (occupy != last_occupy_state_) {
    LOG_INFO("station occupy state change from {} to {}", last_occupy_state_ == 1 ? "BUSY" : "IDLE", BusyText(occupy));
    last_occupy_state_ = occupy;
  }

  rapidjson::Value work(rapidjson::kObjectType);
  work.AddMember("manual_charge_state", data.manual_charge_state ? 1 : 0, allocator);
  // Sorted so that the same record always gives the same document.
  std::vector<int32_t> abnormal;
  for (const auto& [key, value] : data.abnormal_tasks) {
    if (value == 1) {
      abnormal.push_back(static_cast<int32_t>(key));
    }
  }
  if (!abnormal.empty()) {
    std::sort(abnormal.begin(), abnormal.end());
    rapidjson::Value list(rapidjson::kArrayType);
    for (int32_t key : abnormal) {
      rapidjson::Value item(rapidjson::kObjectType);
      item.AddMember("task_id", key, allocator);
      list.PushBack(item, allocator);
    }
    work.AddMember("abnormal_task_list", list, allocator);
    LOG_INFO("report abnormal info, station state : {}", BusyText(occupy));
  }
  state.AddMember("work_state", work, allocator);
  doc.AddMember("state_info", state, allocator);
  PackConsumablesState(doc, allocator, data);
}

void StationCenter::PackConsumablesState(rapidjson::Value& parent, Allocator& allocator, StationTaskData& data) {
  const bool tap_water = Present(data, ABNORMAL_TAP_WATER);
  const bool tablets = Present(data, ABNORMAL_DISINFECTANT_TABLETS);
  const bool dust_bag = Present(data, ABNORMAL_DUST_BAG_REPLACE);
  if (!tap_water && !tablets && !dust_bag) {
    return;
  }
  rapidjson::Value consumables(rapidjson::kObjectType);
  if (tap_water) {
    consumables.AddMember("tap_water", 1, allocator);
  }
  if (tablets) {
    consumables.AddMember("disinfectant_tables", 1, allocator);
  }
  if (dust_bag) {
    consumables.AddMember("dust_bag", 1, allocator);
  }
  parent.AddMember("consumables_state", consumables, allocator);
}

// Reads the sensor snapshot: the caller holds task_mutex_, under which it is written.
void StationCenter::PackAbnormalInfo(rapidjson::Document& doc, Allocator& allocator, StationTaskData& data) {
  const bool emergency = Present(data, ABNORMAL_EMERGENCY_STOP);
  const int32_t sensor_types[] = {ABNORMAL_DUST_BAG_OUT,    ABNORMAL_DUST_BOX_CAP,   ABNORMAL_PLATE_UP_TEMP,
                                  ABNORMAL_PLATE_DOWN_TEMP, ABNORMAL_HEAT_WIRE_TEMP, ABNORMAL_SENSOR_LINK_LOST};
  bool any_sensor = false;
  for (int32_t type : sensor_types) {
    any_sensor = any_sensor || Present(data, type);
  }
  if (!emergency && !any_sensor) {
    return;
  }
  rapidjson::Value info(rapidjson::kObjectType);
  if (emergency) {
    info.AddMember("emergency_stop", 1, allocator);
  }
  uint32_t count = 0;
  if (any_sensor) {
    rapidjson::Value list(rapidjson::kArrayType);
    if (Present(data, ABNORMAL_DUST_BAG_OUT)) {
      AddSensor(list, allocator, "dust_bag", "out", "dust bag out of position");
    }
    if (Present(data, ABNORMAL_DUST_BOX_CAP)) {
      AddSensor(list, allocator, "dust_box_cap", "out", "dust box cap of position");
    }
    if (Present(data, ABNORMAL_PLATE_UP_TEMP)) {
      AddSensor(list, allocator, "electrode_plate_temp_up", std::to_string(sensors_data_.electrodeplatetemp1()),
                "electrode_plate_up over temperature, limit is 78");
    }
    if (Present(data, ABNORMAL_PLATE_DOWN_TEMP)) {
      AddSensor(list, allocator, "electrode_plate_temp_down", std::to_string(sensors_data_.electrodeplatetemp2()),
                "electrode_plate_down over temperature, limit is 78");
    }
    if (Present(data, ABNORMAL_HEAT_WIRE_TEMP)) {
      char text[64];
      std::snprintf(text, sizeof(text), "%f", static_cast<double>(sensors_data_.heatingwiretemp()));
      AddSensor(list, allocator, "heat_wire_temp_down", text, "heat wire over temperature, limit is 150");
    }
    if (Present(data, ABNORMAL_SENSOR_LINK_LOST)) {
      AddSensor(list, allocator, "sensor_link_lost", "stale", "sensor data stale, no report from the board");
    }
    count = list.Size();
    info.AddMember("abnormal_sensor_list", list, allocator);
  }
  info.AddMember("abnormal_sensor_num", count, allocator);
  doc.AddMember("abnormal_info", info, allocator);
}

void StationCenter::PackStationReport(rapidjson::Document& doc, Allocator& allocator, StationTaskData& data) {
  rapidjson::Value header(rapidjson::kObjectType);
  header.AddMember("station_id", rapidjson::Value(g_config.station_id.c_str(), allocator), allocator);
  doc.AddMember("rep_header", header, allocator);
  rapidjson::Value work(rapidjson::kObjectType);
  work.AddMember("manual_charge_state", data.manual_charge_state ? 1 : 0, allocator);
  rapidjson::Value state(rapidjson::kObjectType);
  state.AddMember("work_state", work, allocator);
  doc.AddMember("state_info", state, allocator);
  PackConsumablesState(doc, allocator, data);
  if (Present(data, ABNORMAL_EMERGENCY_STOP)) {
    rapidjson::Value info(rapidjson::kObjectType);
    info.AddMember("emergency_stop", 1, allocator);
    doc.AddMember("abnormal_info", info, allocator);
  }
}

void StationCenter::StationReport(rapidjson::Document& doc) {
  LOG_DEBUG("StationReport");
  const std::string payload = Serialize(doc);
  std::string topic = g_config.station_report_topic;
  const size_t pos = topic.find("%s");
  if (pos == std::string::npos) {
    return;
  }
  topic.replace(pos, 2, g_config.station_id);
  LOG_INFO("publish to robot");
  if (publisher_) {
    publisher_->Publish(topic, payload);
  }
}

void StationCenter::StationInfoUploadCloud() {
  LOG_DEBUG("StationInfoUploadCloud");
  rapidjson::MemoryPoolAllocator<> cloud_pool(kChunkSize);
  rapidjson::MemoryPoolAllocator<> robot_pool(kChunkSize);
  rapidjson::Document cloud(&cloud_pool);
  rapidjson::Document robot(&robot_pool);
  {
    std::lock_guard<std::mutex> lock(task_mutex_);
    // Read lock on the data; last_occupy_state_ is ours under task_mutex_.
    std::shared_lock<std::shared_mutex> data_lock(task_data_mutex_);
    cloud.SetObject();
    PackDeviceHeader(cloud, cloud.GetAllocator());
    PackMsgStateInfo(cloud, cloud.GetAllocator(), task_data_);
    PackAbnormalInfo(cloud, cloud.GetAllocator(), task_data_);
    robot.SetObject();
    PackStationReport(robot, robot.GetAllocator(), task_data_);
  }
  const std::string payload = Serialize(cloud);
  LOG_INFO("publish to cloud");
  if (publisher_) {
    NoteCloudPublished(publisher_->Publish(g_config.station_upload_topic, payload));
  }
  StationReport(robot);
}

}  // namespace station_center
