// JSON lines of the simulator's record, written by hand: a handful of numbers
// and fixed names, nothing that needs escaping.

#include "sim/visit_record.h"

#include <chrono>
#include <cmath>

#include "sim/station_model.h"

namespace station_sim {

namespace {

std::string Number(double v, int decimals) {
  if (!std::isfinite(v)) {
    return "null";  // JSON has no NaN; a pinned garbage value must not break the line
  }
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%.*f", decimals, v);
  return buf;
}

std::string Head(double t, const char* kind) { return "{\"t\":" + Number(t, 6) + ",\"kind\":\"" + kind + "\""; }

}  // namespace

double WallSeconds() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) / 1e6;
}

std::string CommandRecordLine(double t, const station::SupplyMaterialReq& req, const station::SupplyMaterialRsp& rsp) {
  const std::string ok = rsp.err_code_() == station::ENUM_SUCCESS ? "true" : "false";
  const std::string seq = std::to_string(req.seq_());
  if (req.has_cmd_()) {
    const int type = req.cmd_().supply_type_();
    return Head(t, "command") + ",\"seq\":" + seq + ",\"actuator\":\"" + SupplyShorthand(type) +
           "\",\"type\":" + std::to_string(type) + ",\"action\":" + std::to_string(req.cmd_().action_()) +
           ",\"ok\":" + ok + "}";
  }
  if (req.has_change_led_()) {
    return Head(t, "led") + ",\"seq\":" + seq + ",\"led\":" + std::to_string(req.change_led_().led_cmd_()) +
           ",\"ok\":" + ok + "}";
  }
  return Head(t, "empty") + ",\"seq\":" + seq + ",\"ok\":" + ok + "}";
}

std::string SensorRecordLine(double t, const station::SensorsDataRep& s, double tank_ml) {
  const bool docked = s.robotdockdetleft() != 0 && s.robotdockdetright() != 0;
  return Head(t, "sensors") + ",\"tank_ml\":" + Number(tank_ml, 1) + ",\"sewage\":" + std::to_string(s.sewagefull()) +
         ",\"heat_wire_c\":" + Number(s.heatingwiretemp(), 1) +
         ",\"plate1_c\":" + std::to_string(s.electrodeplatetemp1()) +
         ",\"plate2_c\":" + std::to_string(s.electrodeplatetemp2()) +
         ",\"pressure_pa\":" + std::to_string(s.negativepressure()) + ",\"docked\":" + (docked ? "true" : "false") +
         "}";
}

VisitRecorder::~VisitRecorder() {
  if (file_ != nullptr) {
    std::fclose(file_);
  }
}

bool VisitRecorder::Open(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  if (file_ != nullptr) {
    std::fclose(file_);
  }
  file_ = std::fopen(path.c_str(), "w");
  return file_ != nullptr;
}

void VisitRecorder::Command(const station::SupplyMaterialReq& req, const station::SupplyMaterialRsp& rsp) {
  Write(CommandRecordLine(WallSeconds(), req, rsp));
}

void VisitRecorder::Sample(const station::SensorsDataRep& sensors, double tank_ml) {
  Write(SensorRecordLine(WallSeconds(), sensors, tank_ml));
}

void VisitRecorder::Write(const std::string& line) {
  std::lock_guard<std::mutex> lock(mu_);
  if (file_ == nullptr) {
    return;
  }
  std::fputs(line.c_str(), file_);
  std::fputc('\n', file_);
  std::fflush(file_);
}

}  // namespace station_sim
