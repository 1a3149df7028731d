#pragma once

// The simulator's side of a visit's record: every board command it received and
// samples of what the station's sensors and tank show, as JSON lines with the
// wall-clock time, for tools/plot-visit to draw beside stationctl's record.
//
//   {"t":1718000000.125,"kind":"command","seq":17,"actuator":"tap","type":1,"action":1,"ok":true}
//   {"t":1718000000.130,"kind":"led","seq":18,"led":13,"ok":true}
//   {"t":1718000000.250,"kind":"sensors","tank_ml":450.0,"sewage":0,"heat_wire_c":25.0,
//    "plate1_c":25,"plate2_c":25,"pressure_pa":0,"docked":true}

#include <cstdio>
#include <mutex>
#include <string>

#include "station/cmd.pb.h"
#include "station/station_report.pb.h"

namespace station_sim {

// The record lines, without the newline; `t` is seconds since the epoch.
std::string CommandRecordLine(double t, const station::SupplyMaterialReq& req, const station::SupplyMaterialRsp& rsp);
std::string SensorRecordLine(double t, const station::SensorsDataRep& sensors, double tank_ml);

// Seconds since the epoch, to the microsecond.
double WallSeconds();

// Appends record lines to a file. Thread-safe: every method may be called from any thread.
class VisitRecorder {
 public:
  VisitRecorder() = default;
  ~VisitRecorder();
  VisitRecorder(const VisitRecorder&) = delete;
  VisitRecorder& operator=(const VisitRecorder&) = delete;

  // Creates or truncates `path`; false when it cannot be opened.
  bool Open(const std::string& path);
  // Each line is flushed at once, so that a record read while the simulator runs is whole.
  void Command(const station::SupplyMaterialReq& req, const station::SupplyMaterialRsp& rsp);
  void Sample(const station::SensorsDataRep& sensors, double tank_ml);

 private:
  void Write(const std::string& line);

  std::mutex mu_;
  std::FILE* file_ = nullptr;
};

}  // namespace station_sim
