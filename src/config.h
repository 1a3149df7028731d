#pragma once

#include <rapidjson/document.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace station_center {

// The process-wide configuration record. Filled once by ReadConfig on the main
// thread before any other thread starts; read without locking afterwards.
struct Config {
  // config.json, in reading order
  std::string embedded_ip = "192.168.23.100";
  uint16_t embedded_action_port = 60013;
  std::string soc_ip = "192.168.23.200";
  uint16_t soc_data_server_port = 60014;
  uint32_t data_upload_server_cache_size = 4096;
  uint32_t do_action_cache_size = 4096;
  int32_t add_water_to_station_max_time = 120;
  int32_t add_water_to_robot_max_time = 310;
  int32_t drain_water_max_time = 290;
  int32_t close_perfume_pump_max_time = 10;
  int32_t close_clean_pump_max_time = 10;
  int32_t disinfectant_motor_timeout = 60;
  int32_t wait_disinfectant_motor_recovery_time = 1;
  int32_t disinfectant_table_dissolution_time = 300;
  int32_t clean_liquid_dissolution_time = 300;
  int32_t perfume_liquid_dissolution_time = 300;
  int32_t negative_pressure_up_limit = 2000;
  int32_t negative_pressure_down_limit = -28000;
  int32_t max_heat_temp = 150;
  int32_t soft_heat_wire_temp = 50;
  int32_t standard_heat_wire_temp = 60;
  int32_t strong_heat_wire_temp = 80;
  uint32_t max_charge_plate_temp = 78;
  int32_t bottom_action_timeout = 10;
  std::string mqtt_user_name = "vantorel";
  std::string mqtt_pwd = "73915046";
  int32_t mqtt_keep_alive_interval = 20;
  // Used when the broker address asks for TLS: paths (empty: the system's trust store, no
  // client certificate) and whether the broker's certificate and host name are checked.
  std::string mqtt_tls_ca_file;
  std::string mqtt_tls_cert_file;
  std::string mqtt_tls_key_file;
  bool mqtt_tls_verify = true;
  std::string station_id = "station-xx";
  int32_t upload_station_info_to_cloud_interval = 10;
  std::string station_upload_topic = "clean_robot_station/reportActively";
  std::string station_report_topic = "clean_robot_station/%s/stationReport";
  std::string cloud_reply_topic_format = "clean_robot_station/%s/reportActivelyRe";
  uint32_t sewage_check_threshold_up = 1200;
  uint32_t sewage_check_threshold_down = 1200;
  int32_t sewage_pump_power_soft = 60;
  int32_t sewage_pump_power_standard = 80;
  int32_t sewage_pump_power_strong = 100;
  int32_t self_clean_pump_power_soft = 60;
  int32_t self_clean_pump_power_standard = 80;
  int32_t self_clean_pump_power_strong = 100;
  int32_t sorter_motor_power = 50;
  bool debug = false;
  int32_t sensor_data_print_space = 20;
  int32_t auto_reset_time_space = 300;
  int32_t default_schedule_space = 1000;
  int32_t running_schedule_space = 200;
  int32_t dust_bag_reset_max_time = 90;
  int32_t dust_bag_replace_cycle = 31;
  int32_t sewage_pump_continue_work_time = 30;
  int32_t connect_embedded_board_time = 30;
  int32_t sensor_stale_time = 3;  // seconds without a sensor report before tasks stop
  bool sensor_peer_check = true;  // the sensor port serves embedded_ip only
  // The heat wire goes off when the board's fan feedback shows the fan stopped;
  // off for a board that does not report it.
  bool heat_fan_feedback_check = true;

  // status.json
  uint32_t dust_bag_last_replace_time = 0;
  std::string hardware = "dvt3";
  std::string mqtt_server_address = kProdBroker;

  // 0 production, 1 test; set by GetEnvType.
  int32_t env_type = 0;

  static const char* const kProdBroker;
  static const char* const kTestBroker;
};

// The one instance.
extern Config g_config;

// Fixed paths, under STATION_CENTER_ROOT when that is set.
std::string RootedPath(const std::string& path);
std::string ConfigFilePath();     // .../config/config.json
std::string LedConfigFilePath();  // .../config/led.json
std::string StatusDirPath();      // .../status
std::string StatusFilePath();     // .../status/status.json
std::string DeviceEnvFilePath();  // /etc/vantorel/device-env

// Station files are a few hundred bytes; a larger one than this is refused unread.
constexpr size_t kMaxStationFileBytes = 1024 * 1024;
enum class FileRead { kOk, kUnreadable, kTooLarge };
// Reads a station file whole into `out` (empty unless kOk). Any thread; logs nothing.
FileRead ReadStationFile(const std::string& path, std::string* out);
// The error line of a file refused for its size, naming it.
void LogRefusedFile(const std::string& path);

// Start-up sequence; true when both config.json and status.json were read.
// Removes the temporary files rewrites cut short left, and creates a missing status.json.
bool ReadConfig();

template <typename T>
T GetConfigFromJson(const rapidjson::Document& doc, const char* key, T default_value);

void GetEnvType();
bool WriteStationId();
void WriteDustBagReplyTime();
bool ReadStatus();

int64_t BuildSeconds();  // clock.h, declared here alone so as not to bring in its Clock

// The dust bag was replaced at `now` (wall seconds); its age at `now`. A stored
// date to come, or one made on a clock that was not set (long before
// `plausible_from`), is replaced by `now`; while `now` itself is before
// `plausible_from` no age is told. Called with the core's task lock held only.
void WriteDustBagReplyTimeUncheck(int64_t now);
int64_t ReadDustBagReplyTime(int64_t now, int64_t plausible_from = BuildSeconds());
// The wall clock stepped by `seconds`: the stored date moves along, so that the
// bag ages by the time that passed and not by the step. Same caller as above.
void ShiftDustBagReplyTime(int64_t seconds);

}  // namespace station_center
