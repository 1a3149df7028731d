#include "sim/sim_config.h"

#include <rapidjson/document.h>

#include <fstream>
#include <sstream>

#include "config.h"

namespace station_sim {

bool LoadLinkConfig(SimOptions* options, std::string* error) {
  const std::string path = station_center::ConfigFilePath();
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  rapidjson::Document doc;
  doc.Parse(text.str().c_str());
  if (doc.HasParseError() || !doc.IsObject()) {
    *error = path + " is not a JSON object";
    return false;
  }
  const auto str = [&doc](const char* key, std::string* out) {
    auto it = doc.FindMember(key);
    if (it != doc.MemberEnd() && it->value.IsString()) {
      *out = it->value.GetString();
    }
  };
  const auto port = [&doc](const char* key, uint16_t* out) {
    auto it = doc.FindMember(key);
    if (it != doc.MemberEnd() && it->value.IsInt()) {
      *out = static_cast<uint16_t>(it->value.GetInt());
    }
  };
  // The safety monitor allows the sewage automation what the daemon is configured for.
  const auto number = [&doc](const char* key, double* out) {
    auto it = doc.FindMember(key);
    if (it != doc.MemberEnd() && it->value.IsNumber()) {
      *out = it->value.GetDouble();
    }
  };
  str("embedded_ip", &options->command_ip);
  port("embedded_action_port", &options->command_port);
  str("soc_ip", &options->sensor_ip);
  port("soc_data_server_port", &options->sensor_port);
  number("sewage_check_threshold_down", &options->model.safety.sewage_threshold);
  number("sewage_pump_continue_work_time", &options->model.safety.sewage_run_on_s);
  return true;
}

}  // namespace station_sim
