// Writes the seed corpora of the fuzz targets from real frames, requests and
// station files: `fuzz_make_corpus SOURCE_DIR` (re)writes SOURCE_DIR/fuzz/corpus/.
// Each seed is laid out as its target reads its input.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "bottom/frame_codec.h"
#include "station/cmd.pb.h"
#include "station/station_report.pb.h"

namespace {

namespace fs = std::filesystem;
using Report = station::SensorsDataRep;

fs::path g_corpus;

void Seed(const std::string& target, const std::string& name, const std::string& bytes) {
  const fs::path dir = g_corpus / target;
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary) << bytes;
}

std::string Frame(const google::protobuf::MessageLite& msg) {
  std::string out;
  station_center::EncodeFrame(msg, &out);
  return out;
}

std::string Le16(size_t n) { return std::string{static_cast<char>(n & 0xFF), static_cast<char>(n >> 8)}; }

std::string Reply(int32_t seq, station::EnumErrCode code, const std::string& msg = "") {
  station::SupplyMaterialRsp rsp;
  rsp.set_seq_(seq);
  rsp.set_err_code_(code);
  rsp.set_err_msg_(msg);
  return Frame(rsp);
}

Report Healthy() {
  Report r;
  r.set_seq(1);
  r.set_dustbagdet(1);
  r.set_dustboxcapdet(1);
  r.set_cleantankfootlevel(1);
  r.set_electrodeplatetemp1(30);
  r.set_electrodeplatetemp2(30);
  r.set_heatingwiretemp(25);
  r.set_negativepressure(-100);
  r.set_initsensorsstate(true);
  r.set_initactuatorsstate(true);
  r.set_selfcheckstate(true);
  return r;
}

Report Changed(const std::function<void(Report&)>& change) {
  Report r = Healthy();
  change(r);
  return r;
}

void FrameReaderSeeds() {
  station::SupplyMaterialReq req;
  req.set_seq_(1718000000);
  req.mutable_cmd_()->set_supply_type_(station::EnumSupplyType(3));
  req.mutable_cmd_()->set_action_(1);
  const std::string stream = Frame(req) + Reply(1718000000, station::ENUM_SUCCESS) + Frame(Healthy());
  // Raw mode (first byte even), limit 4096, a few cuts, then the stream.
  Seed("frame_reader", "raw_three_frames", std::string("\x00\x00\x10\x03\x01\x05\x40", 7) + stream);
  Seed("frame_reader", "raw_small_limit", std::string("\x00\x08\x00\x00", 4) + stream);
  Seed("frame_reader", "raw_oversized", std::string("\x00\x00\x01\x00", 4) + Le16(0x2000) + "xx");
  Seed("frame_reader", "raw_empty_frames", std::string("\x00\x00\x10\x01\x01", 5) + Le16(0) + Le16(0) + Le16(1) + "z");
  // Round-trip mode (first byte odd): limit, count, then per frame kind and length.
  // Round-trip mode (first byte odd): limit, count, then per frame kind, length and body; then the cuts.
  const std::string raw(1, '\0');
  Seed("frame_reader", "trip_two",
       std::string("\x01\x00\x01\x02", 4) + raw + Le16(5) + "hello" + "\x01" + Le16(3) + "abc" + "\x02\x03");
  Seed("frame_reader", "trip_oversized_third",
       std::string("\x01\x10\x00\x03", 4) + raw + Le16(4) + "abcd" + raw + Le16(0) + raw + Le16(48) +
           std::string(48, 'q'));
  Seed("frame_reader", "trip_max_cut", std::string("\x01\x00\x10\x04\x01\x00\x02", 7) + std::string(512, 'm') + "\xff");
}

std::string SensorRecords(const std::vector<std::pair<uint8_t, Report>>& reports) {
  std::string out;
  for (const auto& [step, report] : reports) {
    out.push_back(static_cast<char>(step));
    const std::string body = report.SerializeAsString();
    out += Le16(body.size()) + body;
  }
  return out;
}

void SensorSeeds() {
  const Report docked = Changed([](Report& r) {
    r.set_robotdockdetleft(1);
    r.set_robotdockdetright(1);
    r.set_electrodeplatedet(1);
  });
  const std::vector<std::pair<std::string, std::vector<std::pair<uint8_t, Report>>>> seeds = {
      {"healthy", {{1, Healthy()}, {1, Healthy()}}},
      {"docked", {{1, Healthy()}, {1, docked}, {1, docked}}},
      {"dust_bag_out", {{1, Changed([](Report& r) { r.set_dustbagdet(0); })}, {100, Healthy()}}},
      {"dust_box_cap_out", {{1, Changed([](Report& r) { r.set_dustboxcapdet(0); })}, {95, Changed([](Report& r) {
                                                                                        r.set_dustboxcapdet(0);
                                                                                      })}}},
      {"emergency_stop", {{1, Changed([](Report& r) { r.set_emergencystopstate(true); })}, {1, Healthy()}}},
      {"plate_hot", {{1, Changed([](Report& r) { r.set_electrodeplatetemp1(95); })}, {2, Healthy()}}},
      {"wire_hot", {{1, Changed([](Report& r) { r.set_heatingwiretemp(170); })}}},
      {"sewage", {{1, Changed([](Report& r) { r.set_sewagedet(2000); })}, {40, Healthy()}}},
      {"sewage_overflow", {{1, Changed([](Report& r) { r.set_issewageoverflow(true); })}}},
      {"manual_charge", {{1, Changed([](Report& r) { r.set_handchargedet(1); })}, {5, Changed([](Report& r) {
                                                                                     r.set_handchargeinsidedet(true);
                                                                                   })}}},
      {"pressure", {{1, Changed([](Report& r) { r.set_negativepressure(-30000); })}}},
      {"stale_then_back", {{1, Healthy()}, {10, Healthy()}}},
  };
  for (const auto& [name, reports] : seeds) {
    Seed("sensor_report", name, std::string(1, '\0') + SensorRecords(reports));
  }
  Seed("sensor_report", "refusing_board",
       std::string(1, '\x01') + SensorRecords({{1, Changed([](Report& r) { r.set_sewagedet(2000); })}}));
  Seed("sensor_report", "silent_board", std::string(1, '\x02') + SensorRecords({{1, docked}}));
}

void CommandReplySeeds() {
  const int32_t seq = 1718000000;
  const std::string ok = Reply(seq, station::ENUM_SUCCESS);
  Seed("command_reply", "answered", std::string(1, '\x03') + ok);
  Seed("command_reply", "refused", std::string(1, '\x03') + Reply(seq, station::EnumErrCode(1), "busy"));
  Seed("command_reply", "late_then_ours", std::string(1, '\x03') + Reply(seq - 1, station::ENUM_SUCCESS) + ok);
  Seed("command_reply", "small_buffer", std::string(1, '\x00') + Reply(seq - 2, station::ENUM_SUCCESS) + ok);
  Seed("command_reply", "oversized", std::string(1, '\x00') + Le16(100) + std::string(100, 'x') + ok);
  Seed("command_reply", "garbage_first", std::string(1, '\x03') + Le16(3) + "\xff\xff\xff" + ok);
  Seed("command_reply", "cut_short", std::string(1, '\x03') + ok.substr(0, ok.size() - 1));
  Seed("command_reply", "silent", std::string(1, '\x03'));
  Seed("command_reply", "long_message",
       std::string(1, '\x02') + Reply(seq, station::ENUM_SUCCESS, std::string(300, 'e')));
  Seed("command_reply", "text_not_utf8",
       std::string(1, '\x03') + Reply(seq, station::ENUM_SUCCESS, "\xb4\xed\xce\xf3"));
}

void MqttSeeds() {
  const std::string header = R"("req_header":{"msg_id":{"uuid":"m-1"},"robot_id":{"uuid":"r-1"}})";
  const std::vector<std::pair<std::string, std::pair<uint8_t, std::string>>> seeds = {
      {"check_in_pose", {8, "{" + header + R"(,"check_type":"ENUM_IN_POSE"})"}},
      {"check_water_ready", {8, "{" + header + R"(,"check_type":"ENUM_WATER_READY"})"}},
      {"check_water_finish", {8, "{" + header + R"(,"check_type":2})"}},
      {"check_undocked", {0, "{" + header + R"(,"check_type":"ENUM_IN_POSE"})"}},
      {"dock_stay",
       {9, "{" + header + R"(,"robot_state":"ENUM_IN_STATION","robot_desire":"ENUM_ROBOT_DESIRE_STAY_IN"})"}},
      {"dock_leave",
       {9, "{" + header + R"(,"robot_state":"ENUM_OUT_STATION","robot_desire":"ENUM_ROBOT_DESIRE_GO_OUT"})"}},
      {"prewater",
       {10,
        "{" + header +
            R"(,"cmd":{"action_cmd":{"action":"ENUM_ACTION_STANDARD","supply_type":"ENUM_SUPPLY_PREPARE_DISINFECTANT"},"disinfection_tablets_num":2,"water_volume":1}})"}},
      {"prewater_stop", {10, "{" + header + R"(,"cmd":{"action_cmd":{"action":"ENUM_ACTION_STOP"}}})"}},
      {"supply_watering",
       {11, "{" + header +
                R"(,"cmd":{"action":"ENUM_ACTION_STANDARD","supply_type":"ENUM_SUPPLY_WATERING","duration":300}})"}},
      {"supply_dust",
       {11, "{" + header +
                R"(,"cmd":{"action":"ENUM_ACTION_STRONG","supply_type":"ENUM_SUPPLY_COLLECT_DUST","duration":30}})"}},
      {"supply_heat_wire",
       {11, "{" + header + R"(,"cmd":{"action":"ENUM_ACTION_SOFT","supply_type":"ENUM_SUPPLY_HEATING_WIRE"}})"}},
      {"supply_stop",
       {11, "{" + header + R"(,"cmd":{"action":"ENUM_ACTION_STOP","supply_type":"ENUM_SUPPLY_UV_LAMP"}})"}},
      {"supply_refused_board",
       {27, "{" + header + R"(,"cmd":{"action":"ENUM_ACTION_STANDARD","supply_type":"ENUM_SUPPLY_SEWAGE_PUMP"}})"}},
      {"supply_in_reset",
       {43, "{" + header + R"(,"cmd":{"action":"ENUM_ACTION_STANDARD","supply_type":"ENUM_SUPPLY_CHARGING"}})"}},
      {"cloud_reply",
       {12,
        R"({"rsp_header":{"msg_id":{"uuid":"c-1"},"device_id":{"uuid":"S1"}},"result":0,"consumables_reply_state":{"disinfectant_tables":0,"tap_water":0,"dust_bag":0}})"}},
      {"bad_json", {11, R"({"req_header":)"}},
      {"unknown_field", {8, "{" + header + R"(,"colour":"blue"})"}},
      {"unknown_topic", {13, "{}"}},
  };
  for (const auto& [name, seed] : seeds) {
    Seed("mqtt_request", name, std::string(1, static_cast<char>(seed.first)) + seed.second);
  }
}

std::string ReadSource(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void FileSeeds(const fs::path& source) {
  Seed("station_files", "config_shipped", std::string(1, '\0') + ReadSource(source / "packaging/config.json"));
  Seed("station_files", "config_small", std::string(1, '\0') + R"({"sensor_stale_time": 5, "debug": true})");
  Seed("station_files", "config_mistyped",
       std::string(1, '\0') + R"({"sensor_stale_time": "x", "do_action_cache_size": -1})");
  Seed("station_files", "led_shipped", std::string(1, '\x01') + ReadSource(source / "packaging/led.json"));
  Seed("station_files", "led_partial", std::string(1, '\x01') + R"({"station_reset": 2, "led_normal_work": -5})");
  Seed("station_files", "status",
       std::string(1, '\x02') +
           R"({"dust_bag_last_replace_time": 1700000000, "hardware": "dvt1", "mqtt_server_address": "broker:1883"})");
  Seed("station_files", "status_negative", std::string(1, '\x02') + R"({"dust_bag_last_replace_time": -4})");
  Seed("station_files", "env_test", std::string(1, '\x03') + "TEST\n");
  Seed("station_files", "env_prod", std::string(1, '\x03') + "PROD");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_make_corpus SOURCE_DIR\n");
    return 2;
  }
  const fs::path source(argv[1]);
  g_corpus = source / "fuzz" / "corpus";
  FrameReaderSeeds();
  SensorSeeds();
  CommandReplySeeds();
  MqttSeeds();
  FileSeeds(source);
  return 0;
}
