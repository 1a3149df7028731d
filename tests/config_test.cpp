#include "config.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/ostream_sink.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "clock.h"
#include "logger.h"
#include "support/test_support.h"

namespace station_center {
namespace {

constexpr char kConfigRel[] = "/usr/lib/vantorel-station-center/config/config.json";
constexpr char kStatusDirRel[] = "/usr/lib/vantorel-station-center/status";
constexpr char kStatusRel[] = "/usr/lib/vantorel-station-center/status/status.json";
constexpr char kEnvRel[] = "/etc/vantorel/device-env";

std::string HostName() {
  char host[64] = {};
  ::gethostname(host, sizeof(host) - 1);
  return host;
}

std::vector<std::string> DirEntries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Fresh root, fresh record and a copy of every log line for each case.
class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_config = Config{};
    logger_ = vantorel::Logger::Instance().logger();
    saved_level_ = logger_->level();
    logger_->set_level(spdlog::level::info);
    sink_ = std::make_shared<spdlog::sinks::ostream_sink_mt>(log_);
    sink_->set_formatter(std::make_unique<spdlog::pattern_formatter>("%v"));
    logger_->sinks().push_back(sink_);
  }

  void TearDown() override {
    auto& sinks = logger_->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
    logger_->set_level(saved_level_);
    g_config = Config{};
    ResetClockForTest();
  }

  bool Logged(const std::string& text) const { return log_.str().find(text) != std::string::npos; }

  // A readable status file, so that ReadConfig's result depends on config.json only.
  void WriteStatus(const std::string& json = R"({"dust_bag_last_replace_time":5})") {
    root_.WriteFile(kStatusRel, json);
  }

  station_test::TempRoot root_;
  std::ostringstream log_;
  std::shared_ptr<spdlog::logger> logger_;
  std::shared_ptr<spdlog::sinks::ostream_sink_mt> sink_;
  spdlog::level::level_enum saved_level_ = spdlog::level::info;
};

TEST_F(ConfigTest, ValuesFollowTheirJsonTypeOrKeepTheDefault) {
  struct Case {
    const char* json_member;
    std::function<bool(const Config&)> holds;
    const char* log_line;
  };
  const std::vector<Case> cases = {
      {R"("embedded_action_port": 70000)", [](const Config& c) { return c.embedded_action_port == 4464; },
       "embedded_action_port : 70000"},
      {R"("embedded_action_port": 60100)", [](const Config& c) { return c.embedded_action_port == 60100; }, nullptr},
      {R"("soc_data_server_port": -1)", [](const Config& c) { return c.soc_data_server_port == 60014; },
       "soc_data_server_port : 60014"},
      {R"("soc_data_server_port": 65537)", [](const Config& c) { return c.soc_data_server_port == 1; }, nullptr},
      {R"("debug": 1)", [](const Config& c) { return !c.debug; }, "debug : false"},
      {R"("debug": true)", [](const Config& c) { return c.debug; }, "debug : true"},
      {R"("max_charge_plate_temp": 78.5)", [](const Config& c) { return c.max_charge_plate_temp == 78; },
       "max_charge_plate_temp : 78"},
      {R"("max_charge_plate_temp": 90)", [](const Config& c) { return c.max_charge_plate_temp == 90; }, nullptr},
      {R"("add_water_to_station_max_time": 2147483648)",
       [](const Config& c) { return c.add_water_to_station_max_time == 120; }, "add_water_to_station_max_time : 120"},
      {R"("add_water_to_station_max_time": 2147483647)",
       [](const Config& c) { return c.add_water_to_station_max_time == 2147483647; }, nullptr},
      {R"("negative_pressure_down_limit": -5)", [](const Config& c) { return c.negative_pressure_down_limit == -5; },
       nullptr},
      {R"("running_schedule_space": "300")", [](const Config& c) { return c.running_schedule_space == 200; }, nullptr},
      {R"("running_schedule_space": 1.0)", [](const Config& c) { return c.running_schedule_space == 200; }, nullptr},
      {R"("do_action_cache_size": 4294967295)", [](const Config& c) { return c.do_action_cache_size == 4294967295u; },
       nullptr},
      {R"("do_action_cache_size": 4294967296)", [](const Config& c) { return c.do_action_cache_size == 4096; },
       nullptr},
      {R"("embedded_ip": 5)", [](const Config& c) { return c.embedded_ip == "192.168.23.100"; },
       "embedded_ip : 192.168.23.100"},
      {R"("mqtt_pwd": "secret")", [](const Config& c) { return c.mqtt_pwd == "secret"; }, "mqtt_pwd : secret"},
      {R"("station_id": 7)", [](const Config& c) { return c.station_id == "station-xx"; }, nullptr},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.json_member);
    station_test::TempRoot root;
    g_config = Config{};
    log_.str("");
    root.WriteFile(kConfigRel, std::string("{") + tc.json_member + "}");
    root.WriteFile(kStatusRel, "{}");
    ASSERT_TRUE(ReadConfig());
    EXPECT_TRUE(tc.holds(g_config));
    if (tc.log_line != nullptr) {
      EXPECT_TRUE(Logged(std::string("[INFO] ") + tc.log_line + "\n")) << log_.str();
    }
  }
}

TEST_F(ConfigTest, EmptyObjectsGiveEveryDefault) {
  root_.WriteFile(kConfigRel, "{}");
  WriteStatus("{}");
  ASSERT_TRUE(ReadConfig());
  const Config d;
  EXPECT_EQ(g_config.embedded_ip, d.embedded_ip);
  EXPECT_EQ(g_config.embedded_action_port, 60013);
  EXPECT_EQ(g_config.negative_pressure_down_limit, -28000);
  EXPECT_EQ(g_config.station_id, "station-xx");
  EXPECT_EQ(g_config.connect_embedded_board_time, 30);
  EXPECT_EQ(g_config.hardware, "dvt3");
  EXPECT_EQ(g_config.mqtt_server_address, Config::kProdBroker);
  // Fifty config keys and three status keys, each logged as "key : value".
  size_t value_lines = 0;
  std::istringstream lines(log_.str());
  for (std::string line; std::getline(lines, line);) {
    value_lines += line.find(" : ") != std::string::npos && line.find("result") == std::string::npos &&
                   line.find("robot_status") == std::string::npos;
  }
  EXPECT_EQ(value_lines, 53u);
  EXPECT_TRUE(Logged("[INFO] station_report_topic : clean_robot_station/%s/stationReport\n"));
  EXPECT_TRUE(Logged("[INFO] negative_pressure_down_limit : -28000\n"));
  // Without a station_id member nothing is rewritten.
  EXPECT_TRUE(Logged("ErrorCode: 101900063, JSON中不存在station_id字段或station_id字段类型不是string"));
  EXPECT_TRUE(Logged("write station_id result : false"));
  EXPECT_EQ(root_.ReadFile(kConfigRel), "{}");
}

TEST_F(ConfigTest, StationIdIsRewrittenWithTheHostName) {
  root_.WriteFile(kConfigRel, R"({"embedded_ip":"10.0.0.1","station_id":"station-xx","debug":true,"list":[1,2]})");
  ASSERT_EQ(::chmod(root_.Under(kConfigRel).c_str(), 0640), 0);
  WriteStatus();
  ASSERT_TRUE(ReadConfig());
  const std::string host = HostName();
  EXPECT_EQ(g_config.station_id, host);
  EXPECT_EQ(root_.ReadFile(kConfigRel), "{\n    \"embedded_ip\": \"10.0.0.1\",\n    \"station_id\": \"" + host +
                                            "\",\n    \"debug\": true,\n    \"list\": [\n        1,\n        2\n"
                                            "    ]\n}");
  EXPECT_TRUE(Logged("write station_id result : true"));
  // Replaced, not rewritten in place: no temporary file left, permissions kept.
  EXPECT_EQ(DirEntries(root_.Under("/usr/lib/vantorel-station-center/config")),
            std::vector<std::string>{"config.json"});
  struct stat st {};
  ASSERT_EQ(::stat(root_.Under(kConfigRel).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(ConfigTest, MissingStatusDirIsCreatedWithTheBrokerOfTheEnvironment) {
  const std::string test_broker = std::string(Config::kTestBroker) + ":1883";
  struct Case {
    const char* env_file;  // nullptr: no device environment file
    std::string broker;
    int env_type;
  };
  const std::vector<Case> cases = {
      {"PROD\n", Config::kProdBroker, 0}, {"PROD", Config::kProdBroker, 0}, {"TEST\n", test_broker, 1},
      {"PROD\r\n", test_broker, 1},       {"prod\n", test_broker, 1},       {"", test_broker, 1},
      {nullptr, test_broker, 1},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.env_file == nullptr ? "(no file)" : tc.env_file);
    station_test::TempRoot root;
    g_config = Config{};
    log_.str("");
    if (tc.env_file != nullptr) {
      root.WriteFile(kEnvRel, tc.env_file);
    }
    root.WriteFile(kConfigRel, "{}");
    const int64_t before = NowSeconds();
    ASSERT_TRUE(ReadConfig());
    const int64_t after = NowSeconds();
    EXPECT_EQ(g_config.env_type, tc.env_type);
    EXPECT_EQ(g_config.mqtt_server_address, tc.broker);

    const std::string text = root.ReadFile(kStatusRel);
    rapidjson::Document doc;
    doc.Parse(text.c_str());
    ASSERT_TRUE(doc.IsObject()) << text;
    ASSERT_TRUE(doc["dust_bag_last_replace_time"].IsInt64());
    const int64_t written = doc["dust_bag_last_replace_time"].GetInt64();
    EXPECT_GE(written, before);
    EXPECT_LE(written, after);
    EXPECT_EQ(text, "{\"dust_bag_last_replace_time\":" + std::to_string(written) + ",\"mqtt_server_address\":\"" +
                        tc.broker + "\"}");
    EXPECT_EQ(g_config.dust_bag_last_replace_time, static_cast<uint32_t>(written));
    EXPECT_EQ(DirEntries(root.Under(kStatusDirRel)), std::vector<std::string>{"status.json"});
    EXPECT_TRUE(Logged("[INFO] Create path " + root.Under(kStatusDirRel) + " success\n"));
    EXPECT_TRUE(Logged("[INFO] Create file " + root.Under(kStatusRel) + " success\n"));
  }
}

TEST_F(ConfigTest, BrokenFilesFailWithTheirCodes) {
  struct Case {
    const char* name;
    const char* config;  // nullptr: file missing
    const char* status;  // nullptr: status dir present, file missing
    bool result;
    std::vector<std::string> logged;
  };
  const std::vector<Case> cases = {
      {"status file missing", "{}", nullptr, false, {"ErrorCode: 101900072, open status.json failed"}},
      {"status not an object", "{}", "[1]", false, {"ErrorCode: 101900073, status.json format error"}},
      {"status not json", "{}", "{\"a\":", false, {"ErrorCode: 101900073, status.json format error"}},
      {"config missing",
       nullptr,
       "{}",
       false,
       {"ErrorCode: 101900062, open config.json to stream", "ErrorCode: 101900062, open config.json failed"}},
      {"config with comment",
       "{\"station_id\":\"a\"} // c",
       "{}",
       false,
       {"ErrorCode: 101900064, parse config.json error", "ErrorCode: 101900064, config.json format error"}},
      // A root that is not an object must not be searched for members.
      {"config is an array",
       "[1,2]",
       "{}",
       false,
       {"ErrorCode: 101900063, JSON中不存在station_id字段或station_id字段类型不是string",
        "ErrorCode: 101900064, config.json format error"}},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    station_test::TempRoot root;
    g_config = Config{};
    log_.str("");
    if (tc.config != nullptr) {
      root.WriteFile(kConfigRel, tc.config);
    }
    std::filesystem::create_directories(root.Under(kStatusDirRel));
    if (tc.status != nullptr) {
      root.WriteFile(kStatusRel, tc.status);
    }
    EXPECT_EQ(ReadConfig(), tc.result);
    for (const std::string& line : tc.logged) {
      EXPECT_TRUE(Logged("[ERROR] " + line)) << line << "\n" << log_.str();
    }
    // An existing status directory is never filled in.
    EXPECT_EQ(tc.status == nullptr, !std::filesystem::exists(root.Under(kStatusRel)));
  }
}

TEST_F(ConfigTest, StatusDirThatCannotBeMadeIsNotReportedAsCreated) {
  // A dangling link: stat fails, and so does mkdir.
  ASSERT_EQ(::symlink(root_.Under("/nowhere/status").c_str(), root_.Under(kStatusDirRel).c_str()), 0);
  root_.WriteFile(kConfigRel, "{}");
  EXPECT_FALSE(ReadConfig());
  EXPECT_FALSE(Logged("Create path"));
  EXPECT_TRUE(Logged("[ERROR] ErrorCode: 101900071, 无法创建文件: " + root_.Under(kStatusRel) + "\n"));
  EXPECT_TRUE(Logged("[ERROR] ErrorCode: 101900072, open status.json failed"));
}

TEST_F(ConfigTest, GetConfigFromJsonOnANonObjectReturnsTheDefault) {
  rapidjson::Document doc;
  doc.Parse("[1]");
  EXPECT_EQ(GetConfigFromJson<int>(doc, "x", 3), 3);
  EXPECT_EQ(GetConfigFromJson<std::string>(doc, "x", "d"), "d");
}

TEST_F(ConfigTest, DustBagTimeIsStampedAndAgedFromStatusJson) {
  std::filesystem::create_directories(root_.Under(kStatusDirRel));
  root_.WriteFile(kStatusRel, R"({"hardware":"dvt1","dust_bag_last_replace_time":1000,"mqtt_server_address":"h"})");

  // Read first: the age is the distance from the stored stamp.
  const int64_t age = ReadDustBagReplyTime();
  EXPECT_GE(age, NowSeconds() - 1000 - 2);
  EXPECT_LE(age, NowSeconds() - 1000);

  WriteDustBagReplyTimeUncheck();
  const std::string text = root_.ReadFile(kStatusRel);
  rapidjson::Document doc;
  doc.Parse(text.c_str());
  ASSERT_TRUE(doc.IsObject()) << text;
  const int64_t stamp = doc["dust_bag_last_replace_time"].GetUint();
  EXPECT_EQ(text, "{\n    \"hardware\": \"dvt1\",\n    \"dust_bag_last_replace_time\": " + std::to_string(stamp) +
                      ",\n    \"mqtt_server_address\": \"h\"\n}");
  EXPECT_EQ(DirEntries(root_.Under(kStatusDirRel)), std::vector<std::string>{"status.json"});
  EXPECT_EQ(g_config.dust_bag_last_replace_time, 0u) << "the record is not touched";

  AdvanceClockForTest(500);
  const int64_t later = ReadDustBagReplyTime();
  EXPECT_GE(later, 500);
  EXPECT_LE(later, 500 + 5);
}

TEST_F(ConfigTest, UnusableDustBagTimeLeavesTheFileAndReportsOverdue) {
  struct Case {
    const char* status;  // nullptr: missing file
    const char* error;
  };
  const std::vector<Case> cases = {
      {R"({"hardware":"dvt1"})",
       "ErrorCode: 101900074, JSON中不存在dust_bag_last_replace_time字段或字段类型不是uint32_t"},
      {R"({"dust_bag_last_replace_time":-5})", "ErrorCode: 101900074"},
      {R"({"dust_bag_last_replace_time":"5"})", "ErrorCode: 101900074"},
      {"[5]", "ErrorCode: 101900074"},
      {"{", "ErrorCode: 101900073, parse status.json error"},
      {nullptr, "ErrorCode: 101900072, open status.json to stream"},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.status == nullptr ? "(missing)" : tc.status);
    station_test::TempRoot root;
    log_.str("");
    std::filesystem::create_directories(root.Under(kStatusDirRel));
    if (tc.status != nullptr) {
      root.WriteFile(kStatusRel, tc.status);
    }
    WriteDustBagReplyTimeUncheck();
    EXPECT_TRUE(Logged("[ERROR] " + std::string(tc.error))) << log_.str();
    if (tc.status != nullptr) {
      EXPECT_EQ(root.ReadFile(kStatusRel), tc.status);
    } else {
      EXPECT_FALSE(std::filesystem::exists(root.Under(kStatusRel)));
    }
    const int64_t before = NowSeconds();
    const int64_t age = ReadDustBagReplyTime();
    EXPECT_GE(age, before);
    EXPECT_LE(age, NowSeconds());
  }
}

}  // namespace
}  // namespace station_center
