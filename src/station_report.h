#pragma once

// The state reports' contents, packed from the task data: the cloud's upload and
// the robot's station report. Free functions of the data they read; the station
// core takes the locks (task_data_mutex_ at least shared) and publishes.

#include <rapidjson/document.h>

#include <cstdint>

#include "station/station_report.pb.h"
#include "station_types.h"

namespace station_center {

using ReportAllocator = rapidjson::Document::AllocatorType;

// The upload's request header: the station id of the configuration read.
void PackDeviceHeader(rapidjson::Document& doc, ReportAllocator& allocator);
// The upload's state: time, occupancy, manual charge, abnormal tasks and consumables.
// With `first_report` the start-up facts too. `last_occupy` is the occupancy last
// reported: a change is logged and it is updated.
void PackMsgStateInfo(rapidjson::Document& doc, ReportAllocator& allocator, const StationTaskData& data, int64_t now,
                      bool first_report, uint32_t* last_occupy);
// The consumables the station lacks, when it lacks any.
void PackConsumablesState(rapidjson::Value& parent, ReportAllocator& allocator, const StationTaskData& data);
// The emergency stop and the abnormal sensors, with the readings of `sensors`; nothing when all is well.
void PackAbnormalInfo(rapidjson::Document& doc, ReportAllocator& allocator, const StationTaskData& data,
                      const station::SensorsDataRep& sensors);
// The robot's station report.
void PackStationReport(rapidjson::Document& doc, ReportAllocator& allocator, const StationTaskData& data);

}  // namespace station_center
