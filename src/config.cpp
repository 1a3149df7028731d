#include "config.h"

#include <dirent.h>
#include <fcntl.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <mutex>
#include <type_traits>

#include "clock.h"
#include "error_codes.h"
#include "logger.h"
#include "vantorel_hardware_information.h"

namespace station_center {

const char* const Config::kProdBroker = STATION_PROD_BROKER;
const char* const Config::kTestBroker = STATION_TEST_BROKER;

Config g_config;

namespace {

constexpr char kDustBagKey[] = "dust_bag_last_replace_time";

// The two files the daemon rewrites, whose temporary files it may find left over.
const char* const kRewrittenFiles[] = {"config.json", "status.json"};
// mkstemp's XXXXXX after "<file>.tmp.".
constexpr size_t kTempSuffixLength = 6;

// Parses standard JSON (single root, no comments); false on a syntax error.
bool ParseJson(const std::string& text, rapidjson::Document* doc) {
  doc->Parse(text.data(), text.size());
  return !doc->HasParseError();
}

std::string ToPrettyJson(const rapidjson::Document& doc) {
  rapidjson::StringBuffer buffer;
  rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
  writer.SetIndent(' ', 4);
  doc.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string ToCompactJson(const rapidjson::Document& doc) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  doc.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Replaces `path` by a file holding `content`. The text goes to a temporary
// file beside it, reaches the disk, and only then is renamed over the old one,
// so a crash or power cut leaves either the old or the new file, never a
// truncated one the station could not start from.
bool WriteFileAtomically(const std::string& path, const std::string& content) {
  std::string tmp = path + ".tmp.XXXXXX";
  const int fd = ::mkstemp(tmp.data());
  if (fd < 0) {
    return false;
  }
  // Keep the permissions of the file being replaced; a new file gets the usual 0644.
  struct stat old_stat {};
  const mode_t mode = ::stat(path.c_str(), &old_stat) == 0 ? (old_stat.st_mode & 07777) : 0644;
  FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    ::close(fd);
    ::unlink(tmp.c_str());
    return false;
  }
  bool ok = ::fchmod(fd, mode) == 0;
  ok = ok && std::fwrite(content.data(), 1, content.size(), file) == content.size();
  ok = ok && std::fflush(file) == 0;
  ok = ok && ::fsync(fd) == 0;
  ok = (std::fclose(file) == 0) && ok;
  ok = ok && std::rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(tmp.c_str());
    return false;
  }
  // Make the rename itself durable; the new contents are in place either way.
  const int dir_fd = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    ::fsync(dir_fd);
    ::close(dir_fd);
  }
  return true;
}

// The dust-bag time is read on every sensor report: a broken status.json is
// logged when what is wrong with it changes, not at every report.
class DustBagComplaints {
 public:
  // True when `complaint` differs from the last one; "" means the file was good.
  bool Changed(const std::string& complaint) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (complaint == last_) {
      return false;
    }
    last_ = complaint;
    return true;
  }

 private:
  std::mutex mutex_;  // guards last_
  std::string last_;
};

DustBagComplaints& DustBagComplaint() {
  static DustBagComplaints complaints;
  return complaints;
}

// What the dust-bag member holds, as JSON ("" when absent), to tell one bad value from another.
std::string DustBagMemberText(const rapidjson::Document& doc) {
  if (!doc.IsObject() || !doc.HasMember(kDustBagKey)) {
    return doc.IsObject() ? "" : "not an object";
  }
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  doc[kDustBagKey].Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

// Reads and parses status.json for the dust-bag functions; logs their errors.
bool LoadStatusForDustBag(rapidjson::Document* doc) {
  const std::string path = StatusFilePath();
  DustBagComplaints& complaint = DustBagComplaint();
  std::string text;
  const FileRead read = ReadStationFile(path, &text);
  if (read == FileRead::kTooLarge) {
    if (complaint.Changed("too large")) {
      LogRefusedFile(path);
    }
    return false;
  }
  if (read != FileRead::kOk) {
    if (complaint.Changed("cannot open")) {
      LOG_ERROR("ErrorCode: {}, open status.json to stream", kErrStatusOpen);
    }
    return false;
  }
  if (!ParseJson(text, doc)) {
    if (complaint.Changed("parse " + std::to_string(std::hash<std::string>()(text)))) {
      LOG_ERROR("ErrorCode: {}, parse status.json error", kErrStatusFormat);
    }
    return false;
  }
  // A root that is not an object has no members at all.
  if (!doc->IsObject() || !doc->HasMember(kDustBagKey) || !(*doc)[kDustBagKey].IsUint()) {
    if (complaint.Changed("member " + DustBagMemberText(*doc))) {
      LOG_ERROR("ErrorCode: {}, JSON中不存在dust_bag_last_replace_time字段或字段类型不是uint32_t", kErrDustBagKey);
    }
    return false;
  }
  complaint.Changed("");
  return true;
}

// Removes the temporary files of rewrites that a crash or power cut cut short.
void RemoveStaleTempFiles(const std::string& dir) {
  DIR* stream = ::opendir(dir.c_str());
  if (stream == nullptr) {
    return;
  }
  while (const dirent* entry = ::readdir(stream)) {
    const std::string name = entry->d_name;
    for (const char* file : kRewrittenFiles) {
      const std::string prefix = std::string(file) + ".tmp.";
      if (name.size() != prefix.size() + kTempSuffixLength || name.compare(0, prefix.size(), prefix) != 0) {
        continue;
      }
      const std::string path = dir + "/" + name;
      struct stat st {};
      if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::unlink(path.c_str()) == 0) {
        LOG_INFO("Remove stale temporary file {}", path);
      }
    }
  }
  ::closedir(stream);
}

const rapidjson::Value* FindMember(const rapidjson::Document& doc, const char* key) {
  if (!doc.IsObject()) {
    return nullptr;
  }
  const auto it = doc.FindMember(key);
  return it == doc.MemberEnd() ? nullptr : &it->value;
}

}  // namespace

std::string RootedPath(const std::string& path) {
  const char* root = std::getenv("STATION_CENTER_ROOT");
  if (root == nullptr || root[0] == '\0') {
    return path;
  }
  return std::string(root) + path;
}

std::string ConfigFilePath() { return RootedPath("/usr/lib/vantorel-station-center/config/config.json"); }
std::string LedConfigFilePath() { return RootedPath("/usr/lib/vantorel-station-center/config/led.json"); }
std::string StatusDirPath() { return RootedPath("/usr/lib/vantorel-station-center/status"); }
std::string StatusFilePath() { return RootedPath("/usr/lib/vantorel-station-center/status/status.json"); }
std::string DeviceEnvFilePath() { return RootedPath("/etc/vantorel/device-env"); }

FileRead ReadStationFile(const std::string& path, std::string* out) {
  out->clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return FileRead::kUnreadable;
  }
  // Refused before reading: the size alone tells, and reading would be the cost.
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > static_cast<off_t>(kMaxStationFileBytes)) {
    ::close(fd);
    return FileRead::kTooLarge;
  }
  FileRead result = FileRead::kOk;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      result = n == 0 ? FileRead::kOk : FileRead::kUnreadable;
      break;
    }
    out->append(buffer, static_cast<size_t>(n));
    if (out->size() > kMaxStationFileBytes) {
      result = FileRead::kTooLarge;  // it grew while read, or is no plain file
      break;
    }
  }
  ::close(fd);
  if (result != FileRead::kOk) {
    out->clear();
  }
  return result;
}

void LogRefusedFile(const std::string& path) {
  LOG_ERROR("ErrorCode: {}, {} is larger than {} bytes, refused", kErrFileTooLarge, path, kMaxStationFileBytes);
}

namespace {

// Reads `path` for the start-up sequence; false when unreadable or too large, and
// `*too_large` tells which (that refusal is logged here).
bool ReadAtStart(const std::string& path, std::string* text, bool* too_large) {
  const FileRead read = ReadStationFile(path, text);
  *too_large = read == FileRead::kTooLarge;
  if (*too_large) {
    LogRefusedFile(path);
  }
  return read == FileRead::kOk;
}

}  // namespace

namespace {

// Keys whose values are credentials: logged as set or empty only.
bool IsSecretConfigKey(const char* key) {
  const std::string name(key);
  return name.find("pwd") != std::string::npos || name.find("password") != std::string::npos;
}

}  // namespace

template <typename T>
T GetConfigFromJson(const rapidjson::Document& doc, const char* key, T default_value) {
  static_assert(std::is_same_v<T, int> || std::is_same_v<T, unsigned int> || std::is_same_v<T, std::string> ||
                    std::is_same_v<T, bool>,
                "config values are int, unsigned int, string or bool");
  T result = default_value;
  const rapidjson::Value* value = FindMember(doc, key);
  if (value != nullptr) {
    // Strict: a value of another JSON kind counts as missing, nothing is converted.
    if constexpr (std::is_same_v<T, int>) {
      if (value->IsInt()) {
        result = value->GetInt();
      }
    } else if constexpr (std::is_same_v<T, unsigned int>) {
      if (value->IsUint()) {
        result = value->GetUint();
      }
    } else if constexpr (std::is_same_v<T, std::string>) {
      if (value->IsString()) {
        result.assign(value->GetString(), value->GetStringLength());
      }
    } else {
      if (value->IsBool()) {
        result = value->GetBool();
      }
    }
  }
  // Secrets stay out of the journal, which more people may read than config.json.
  if constexpr (std::is_same_v<T, std::string>) {
    if (IsSecretConfigKey(key)) {
      LOG_INFO("{} : {}", key, result.empty() ? "" : "(set, not shown)");
      return result;
    }
  }
  LOG_INFO("{} : {}", key, result);
  return result;
}

template int GetConfigFromJson<int>(const rapidjson::Document&, const char*, int);
template unsigned int GetConfigFromJson<unsigned int>(const rapidjson::Document&, const char*, unsigned int);
template std::string GetConfigFromJson<std::string>(const rapidjson::Document&, const char*, std::string);
template bool GetConfigFromJson<bool>(const rapidjson::Document&, const char*, bool);

void GetEnvType() {
  std::string status;
  VantorelHardwareInformation* handle = VantorelHardwareInformation_create();
  if (handle != nullptr) {
    const char* text = VantorelHardwareInformation_get_hardware_info(handle, "robot_status");
    if (text != nullptr) {
      status = text;
    }
    VantorelHardwareInformation_destroy(handle);
  }
  LOG_INFO("read robot_status : {}", status);

  bool production = false;
  if (status == "prod") {
    production = true;
  } else if (status == "test") {
    production = false;
  } else {
    std::ifstream env(DeviceEnvFilePath());
    std::string first_line;
    // Only an exact "PROD" counts; "PROD\r" or "prod" mean test.
    if (env.is_open() && std::getline(env, first_line)) {
      production = first_line == "PROD";
    }
  }
  g_config.env_type = production ? 0 : 1;
}

bool WriteStationId() {
  const auto write = []() -> bool {
    const std::string path = ConfigFilePath();
    std::string text;
    bool too_large = false;
    if (!ReadAtStart(path, &text, &too_large)) {
      if (!too_large) {
        LOG_ERROR("ErrorCode: {}, open config.json to stream", kErrConfigOpen);
      }
      return false;
    }
    rapidjson::Document doc;
    if (!ParseJson(text, &doc)) {
      LOG_ERROR("ErrorCode: {}, parse config.json error", kErrConfigFormat);
      return false;
    }
    const rapidjson::Value* current = FindMember(doc, "station_id");
    if (current == nullptr || !current->IsString()) {
      LOG_ERROR("ErrorCode: {}, JSON中不存在station_id字段或station_id字段类型不是string", kErrStationId);
      return false;
    }
    char host[64] = {};
    if (::gethostname(host, sizeof(host)) != 0) {
      LOG_ERROR("ErrorCode: {}, 获取hostname失败", kErrStationId);
      return false;
    }
    // A name that filled the buffer may come back without its terminator.
    host[sizeof(host) - 1] = '\0';
    if (current->GetString() == std::string(host)) {
      return true;  // unchanged: no rewrite, no flash wear in a restart loop
    }
    doc["station_id"].SetString(host, doc.GetAllocator());
    if (!WriteFileAtomically(path, ToPrettyJson(doc))) {
      LOG_ERROR("ErrorCode: {}, open config.json for write failed", kErrConfigOpen);
      return false;
    }
    return true;
  };
  const bool result = write();
  LOG_INFO("write station_id result : {}", result);
  return result;
}

void WriteDustBagReplyTime() {
  const std::string dir = StatusDirPath();
  struct stat st {};
  // Claim success only when the directory is really there; otherwise the file
  // creation below fails and says so.
  if (::stat(dir.c_str(), &st) != 0 && ::mkdir(dir.c_str(), 0755) == 0) {
    LOG_INFO("Create path {} success", dir);
  }
  // Also when only the file is missing (a crash between the two, or a technician
  // emptying the directory): without it the station could never start.
  if (::lstat(StatusFilePath().c_str(), &st) == 0 || errno != ENOENT) {
    return;
  }

  rapidjson::Document doc;
  doc.SetObject();
  auto& alloc = doc.GetAllocator();
  doc.AddMember(rapidjson::StringRef(kDustBagKey), rapidjson::Value(static_cast<int64_t>(WallSeconds())), alloc);
  const std::string broker =
      g_config.env_type == 1 ? std::string(Config::kTestBroker) + ":1883" : std::string(Config::kProdBroker);
  doc.AddMember("mqtt_server_address", rapidjson::Value(broker.c_str(), alloc), alloc);

  const std::string path = StatusFilePath();
  if (!WriteFileAtomically(path, ToCompactJson(doc))) {
    LOG_ERROR("ErrorCode: {}, 无法创建文件: {}", kErrStatusCreate, path);
    return;
  }
  LOG_INFO("Create file {} success", path);
}

bool ReadStatus() {
  std::string text;
  bool too_large = false;
  if (!ReadAtStart(StatusFilePath(), &text, &too_large)) {
    if (!too_large) {
      LOG_ERROR("ErrorCode: {}, open status.json failed", kErrStatusOpen);
    }
    return false;
  }
  rapidjson::Document doc;
  if (!ParseJson(text, &doc) || !doc.IsObject()) {
    LOG_ERROR("ErrorCode: {}, status.json format error", kErrStatusFormat);
    return false;
  }
  Config& c = g_config;
  c.dust_bag_last_replace_time = GetConfigFromJson<unsigned int>(doc, kDustBagKey, c.dust_bag_last_replace_time);
  c.hardware = GetConfigFromJson<std::string>(doc, "hardware", c.hardware);
  c.mqtt_server_address = GetConfigFromJson<std::string>(doc, "mqtt_server_address", c.mqtt_server_address);
  return true;
}

namespace {

// Typed look-ups in config.json; a missing or mistyped key keeps `value`.
struct ConfigKeys {
  const rapidjson::Document& doc;
  int32_t Int(const char* key, int32_t value) const { return GetConfigFromJson<int>(doc, key, value); }
  uint32_t Uint(const char* key, uint32_t value) const { return GetConfigFromJson<unsigned int>(doc, key, value); }
  std::string Str(const char* key, const std::string& value) const {
    return GetConfigFromJson<std::string>(doc, key, value);
  }
  bool Bool(const char* key, bool value) const { return GetConfigFromJson<bool>(doc, key, value); }
  // An integer within [low, high]; one outside keeps `value`, with a warning.
  int32_t IntIn(const char* key, int32_t value, int32_t low, int32_t high) const {
    const int32_t read = Int(key, value);
    if (read < low || read > high) {
      LOG_WARN("config {} = {} outside {}..{}, {} kept", key, read, low, high, value);
      return value;
    }
    return read;
  }
};

// The board link and the limits of the station's work.
void ReadLinkAndWorkKeys(const ConfigKeys& get, Config& c) {
  c.embedded_ip = get.Str("embedded_ip", c.embedded_ip);
  // Ports keep the low 16 bits of whatever number was configured.
  c.embedded_action_port = static_cast<uint16_t>(get.Int("embedded_action_port", c.embedded_action_port));
  c.soc_ip = get.Str("soc_ip", c.soc_ip);
  c.soc_data_server_port = static_cast<uint16_t>(get.Uint("soc_data_server_port", c.soc_data_server_port));
  c.data_upload_server_cache_size = get.Uint("data_upload_server_cache_size", c.data_upload_server_cache_size);
  c.do_action_cache_size = get.Uint("do_action_cache_size", c.do_action_cache_size);
  c.add_water_to_station_max_time = get.Int("add_water_to_station_max_time", c.add_water_to_station_max_time);
  c.add_water_to_robot_max_time = get.Int("add_water_to_robot_max_time", c.add_water_to_robot_max_time);
  c.drain_water_max_time = get.Int("drain_water_max_time", c.drain_water_max_time);
  c.close_perfume_pump_max_time = get.Int("close_perfume_pump_max_time", c.close_perfume_pump_max_time);
  c.close_clean_pump_max_time = get.Int("close_clean_pump_max_time", c.close_clean_pump_max_time);
  c.disinfectant_motor_timeout = get.Int("disinfectant_motor_timeout", c.disinfectant_motor_timeout);
  c.wait_disinfectant_motor_recovery_time =
      get.Int("wait_disinfectant_motor_recovery_time", c.wait_disinfectant_motor_recovery_time);
  c.disinfectant_table_dissolution_time =
      get.Int("disinfectant_table_dissolution_time", c.disinfectant_table_dissolution_time);
  c.clean_liquid_dissolution_time = get.Int("clean_liquid_dissolution_time", c.clean_liquid_dissolution_time);
  c.perfume_liquid_dissolution_time = get.Int("perfume_liquid_dissolution_time", c.perfume_liquid_dissolution_time);
  c.negative_pressure_up_limit = get.Int("negative_pressure_up_limit", c.negative_pressure_up_limit);
  c.negative_pressure_down_limit = get.Int("negative_pressure_down_limit", c.negative_pressure_down_limit);
  c.max_heat_temp = get.Int("max_heat_temp", c.max_heat_temp);
  c.soft_heat_wire_temp = get.Int("soft_heat_wire_temp", c.soft_heat_wire_temp);
  c.standard_heat_wire_temp = get.Int("standard_heat_wire_temp", c.standard_heat_wire_temp);
  c.strong_heat_wire_temp = get.Int("strong_heat_wire_temp", c.strong_heat_wire_temp);
  c.max_charge_plate_temp = get.Uint("max_charge_plate_temp", c.max_charge_plate_temp);
  c.bottom_action_timeout = get.Int("bottom_action_timeout", c.bottom_action_timeout);
}

// Broker, topics, pump powers, schedules, the dust bag and the wait for the board.
void ReadStationKeys(const ConfigKeys& get, Config& c) {
  c.mqtt_user_name = get.Str("mqtt_user_name", c.mqtt_user_name);
  c.mqtt_pwd = get.Str("mqtt_pwd", c.mqtt_pwd);
  c.mqtt_keep_alive_interval = get.Int("mqtt_keep_alive_interval", c.mqtt_keep_alive_interval);
  c.mqtt_tls_ca_file = get.Str("mqtt_tls_ca_file", c.mqtt_tls_ca_file);
  c.mqtt_tls_cert_file = get.Str("mqtt_tls_cert_file", c.mqtt_tls_cert_file);
  c.mqtt_tls_key_file = get.Str("mqtt_tls_key_file", c.mqtt_tls_key_file);
  c.mqtt_tls_verify = get.Bool("mqtt_tls_verify", c.mqtt_tls_verify);
  c.station_id = get.Str("station_id", c.station_id);
  c.upload_station_info_to_cloud_interval =
      get.Int("upload_station_info_to_cloud_interval", c.upload_station_info_to_cloud_interval);
  c.station_upload_topic = get.Str("station_upload_topic", c.station_upload_topic);
  c.station_report_topic = get.Str("station_report_topic", c.station_report_topic);
  c.cloud_reply_topic_format = get.Str("cloud_reply_topic_format", c.cloud_reply_topic_format);
  c.sewage_check_threshold_up = get.Uint("sewage_check_threshold_up", c.sewage_check_threshold_up);
  c.sewage_check_threshold_down = get.Uint("sewage_check_threshold_down", c.sewage_check_threshold_down);
  c.sewage_pump_power_soft = get.Int("sewage_pump_power_soft", c.sewage_pump_power_soft);
  c.sewage_pump_power_standard = get.Int("sewage_pump_power_standard", c.sewage_pump_power_standard);
  c.sewage_pump_power_strong = get.Int("sewage_pump_power_strong", c.sewage_pump_power_strong);
  c.self_clean_pump_power_soft = get.Int("self_clean_pump_power_soft", c.self_clean_pump_power_soft);
  c.self_clean_pump_power_standard = get.Int("self_clean_pump_power_standard", c.self_clean_pump_power_standard);
  c.self_clean_pump_power_strong = get.Int("self_clean_pump_power_strong", c.self_clean_pump_power_strong);
  c.sorter_motor_power = get.Int("sorter_motor_power", c.sorter_motor_power);
  c.debug = get.Bool("debug", c.debug);
  c.sensor_data_print_space = get.Int("sensor_data_print_space", c.sensor_data_print_space);
  c.auto_reset_time_space = get.Int("auto_reset_time_space", c.auto_reset_time_space);
  c.default_schedule_space = get.Int("default_schedule_space", c.default_schedule_space);
  c.running_schedule_space = get.Int("running_schedule_space", c.running_schedule_space);
  c.dust_bag_reset_max_time = get.Int("dust_bag_reset_max_time", c.dust_bag_reset_max_time);
  c.dust_bag_replace_cycle = get.Int("dust_bag_replace_cycle", c.dust_bag_replace_cycle);
  c.sewage_pump_continue_work_time = get.Int("sewage_pump_continue_work_time", c.sewage_pump_continue_work_time);
  c.connect_embedded_board_time = get.Int("connect_embedded_board_time", c.connect_embedded_board_time);
  c.sensor_stale_time = get.IntIn("sensor_stale_time", c.sensor_stale_time, 1, 3600);
  c.sensor_peer_check = get.Bool("sensor_peer_check", c.sensor_peer_check);
  c.heat_fan_feedback_check = get.Bool("heat_fan_feedback_check", c.heat_fan_feedback_check);
}

// A secret others may read: the broker password in config.json, the client key.
void WarnIfReadableByOthers(const std::string& path, const char* what) {
  struct stat st {};
  if (!path.empty() && ::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IROTH) != 0) {
    LOG_WARN("ErrorCode: {}, {} {} is readable by every user (mode {:o}): chmod o-rwx it", kErrSecretExposed, what,
             path, st.st_mode & 07777);
  }
}

// The service may write its own tree: a trust file there could be swapped by the
// very process it is meant to constrain.
void WarnIfInWritableTree(const std::string& path, const char* what) {
  const std::string tree = RootedPath("/usr/lib/vantorel-station-center/");
  if (!path.empty() && path.compare(0, tree.size(), tree) == 0) {
    LOG_WARN("ErrorCode: {}, {} {} is in the service's writable tree: install it under /etc/vantorel/tls",
             kErrSecretExposed, what, path);
  }
}

// Logged at every start, so that a weakened station says so in the journal.
void WarnOfExposedFiles(const Config& c) {
  WarnIfReadableByOthers(ConfigFilePath(), "config.json (broker password)");
  WarnIfReadableByOthers(c.mqtt_tls_key_file, "client key");
  WarnIfInWritableTree(c.mqtt_tls_ca_file, "CA file");
  WarnIfInWritableTree(c.mqtt_tls_cert_file, "client certificate");
  WarnIfInWritableTree(c.mqtt_tls_key_file, "client key");
}

}  // namespace

bool ReadConfig() {
  GetEnvType();
  RemoveStaleTempFiles(DirectoryOf(ConfigFilePath()));
  RemoveStaleTempFiles(StatusDirPath());
  WriteStationId();
  WriteDustBagReplyTime();

  std::string text;
  bool too_large = false;
  if (!ReadAtStart(ConfigFilePath(), &text, &too_large)) {
    if (!too_large) {
      LOG_ERROR("ErrorCode: {}, open config.json failed", kErrConfigOpen);
    }
    return false;
  }
  rapidjson::Document doc;
  if (!ParseJson(text, &doc) || !doc.IsObject()) {
    LOG_ERROR("ErrorCode: {}, config.json format error", kErrConfigFormat);
    return false;
  }
  const ConfigKeys get{doc};
  ReadLinkAndWorkKeys(get, g_config);
  ReadStationKeys(get, g_config);
  WarnOfExposedFiles(g_config);
  return ReadStatus();
}

void WriteDustBagReplyTimeUncheck(int64_t now) {
  rapidjson::Document doc;
  if (!LoadStatusForDustBag(&doc)) {
    return;
  }
  doc[kDustBagKey].SetUint(static_cast<uint32_t>(now));
  if (!WriteFileAtomically(StatusFilePath(), ToPrettyJson(doc))) {
    LOG_ERROR("ErrorCode: {}, write status.json for write failed", kErrStatusWrite);
  }
}

int64_t ReadDustBagReplyTime(int64_t now, int64_t plausible_from) {
  // A controller clock that lost its time reads years back; a stamp that far
  // before this build was made on such a clock, not by a bag that old.
  constexpr int64_t kUnsetClockSeconds = 365LL * 86400;
  rapidjson::Document doc;
  if (!LoadStatusForDustBag(&doc)) {
    // Unknown replacement time: report the bag as overdue.
    return now;
  }
  if (now < plausible_from) {
    return 0;  // no age can be told on a clock that is not set yet
  }
  const int64_t stamp = doc[kDustBagKey].GetUint();
  if (stamp > now || stamp < plausible_from - kUnsetClockSeconds) {
    LOG_WARN("dust bag replacement date {} not trusted at {}, counted from now", stamp, now);
    WriteDustBagReplyTimeUncheck(now);
    return 0;
  }
  return now - stamp;
}

void ShiftDustBagReplyTime(int64_t seconds) {
  rapidjson::Document doc;
  if (!LoadStatusForDustBag(&doc)) {
    return;
  }
  const int64_t moved = static_cast<int64_t>(doc[kDustBagKey].GetUint()) + seconds;
  WriteDustBagReplyTimeUncheck(std::max<int64_t>(0, std::min<int64_t>(moved, std::numeric_limits<uint32_t>::max())));
}

}  // namespace station_center
