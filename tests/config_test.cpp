#include "config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "clock.h"
#include "support/test_support.h"
#include "task/log_capture.h"

namespace station_center {
namespace {

using station_test::Logs;
using station_test::TempRoot;

constexpr char kConfigRel[] = "/usr/lib/vantorel-station-center/config/config.json";
constexpr char kStatusDirRel[] = "/usr/lib/vantorel-station-center/status";
constexpr char kStatusRel[] = "/usr/lib/vantorel-station-center/status/status.json";

// A file replaced atomically leaves no temporary file beside it.
std::vector<std::string> DirEntries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Logs().Clear();
    g_config = Config{};
  }
  void TearDown() override {
    g_config = Config{};
    ResetClockForTest();
  }
};

TEST_F(ConfigTest, ValuesMustHaveTheirJsonTypeOrKeepTheDefault) {
  const std::vector<std::pair<const char*, std::function<bool(const Config&)>>> cases = {
      {R"("embedded_action_port": 70000)", [](const Config& c) { return c.embedded_action_port == 4464; }},
      {R"("soc_data_server_port": -1)", [](const Config& c) { return c.soc_data_server_port == 60014; }},
      {R"("debug": 1)", [](const Config& c) { return !c.debug; }},
      {R"("debug": true)", [](const Config& c) { return c.debug; }},
      {R"("max_charge_plate_temp": 78.5)", [](const Config& c) { return c.max_charge_plate_temp == 78; }},
      {R"("add_water_to_station_max_time": 2147483648)",
       [](const Config& c) { return c.add_water_to_station_max_time == 120; }},
      {R"("add_water_to_station_max_time": 2147483647)",
       [](const Config& c) { return c.add_water_to_station_max_time == 2147483647; }},
      {R"("running_schedule_space": "300")", [](const Config& c) { return c.running_schedule_space == 200; }},
      {R"("running_schedule_space": 1.0)", [](const Config& c) { return c.running_schedule_space == 200; }},
      {R"("do_action_cache_size": 4294967296)", [](const Config& c) { return c.do_action_cache_size == 4096; }},
      {R"("embedded_ip": 5)", [](const Config& c) { return c.embedded_ip == "192.168.23.100"; }},
      {R"("mqtt_pwd": "secret")", [](const Config& c) { return c.mqtt_pwd == "secret"; }},
  };
  for (const auto& [member, holds] : cases) {
    SCOPED_TRACE(member);
    TempRoot root;
    g_config = Config{};
    root.WriteFile(kConfigRel, std::string("{") + member + "}");
    root.WriteFile(kStatusRel, "{}");
    ASSERT_TRUE(ReadConfig());
    EXPECT_TRUE(holds(g_config));
  }
}

TEST_F(ConfigTest, StationIdIsReplacedByTheHostNameKeepingEverythingElse) {
  TempRoot root;
  root.WriteFile(kConfigRel, R"({"embedded_ip":"10.0.0.1","station_id":"station-xx","list":[1,2]})");
  ASSERT_EQ(::chmod(root.Under(kConfigRel).c_str(), 0640), 0);
  root.WriteFile(kStatusRel, "{}");
  ASSERT_TRUE(ReadConfig());
  char host[64] = {};
  ::gethostname(host, sizeof(host) - 1);
  EXPECT_EQ(g_config.station_id, host);
  EXPECT_EQ(root.ReadFile(kConfigRel), std::string("{\n    \"embedded_ip\": \"10.0.0.1\",\n    \"station_id\": \"") +
                                           host + "\",\n    \"list\": [\n        1,\n        2\n    ]\n}");
  EXPECT_EQ(DirEntries(root.Under("/usr/lib/vantorel-station-center/config")), std::vector<std::string>{"config.json"});
  struct stat st {};
  ASSERT_EQ(::stat(root.Under(kConfigRel).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u) << "the replacement keeps the permissions";

  // Without a station_id member the file is left alone.
  TempRoot bare;
  bare.WriteFile(kConfigRel, "{}");
  bare.WriteFile(kStatusRel, "{}");
  ASSERT_TRUE(ReadConfig());
  EXPECT_EQ(bare.ReadFile(kConfigRel), "{}");
}

TEST_F(ConfigTest, MissingStatusIsCreatedWithTheBrokerOfTheEnvironment) {
  const std::string test_broker = std::string(Config::kTestBroker) + ":1883";
  const struct {
    const char* env_file;  // nullptr: no device environment file
    std::string broker;
    int env_type;
  } cases[] = {
      {"PROD\n", Config::kProdBroker, 0},
      {"PROD\r\n", test_broker, 1},  // only an exact PROD line counts
      {nullptr, test_broker, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.env_file == nullptr ? "(no file)" : c.env_file);
    TempRoot root;
    g_config = Config{};
    if (c.env_file != nullptr) {
      root.WriteFile("/etc/vantorel/device-env", c.env_file);
    }
    root.WriteFile(kConfigRel, "{}");
    const int64_t before = NowSeconds();
    ASSERT_TRUE(ReadConfig());
    EXPECT_EQ(g_config.env_type, c.env_type);
    EXPECT_EQ(g_config.mqtt_server_address, c.broker);
    const int64_t stamp = g_config.dust_bag_last_replace_time;
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, NowSeconds());
    EXPECT_EQ(root.ReadFile(kStatusRel), "{\"dust_bag_last_replace_time\":" + std::to_string(stamp) +
                                             ",\"mqtt_server_address\":\"" + c.broker + "\"}");
    EXPECT_EQ(DirEntries(root.Under(kStatusDirRel)), std::vector<std::string>{"status.json"});
  }
}

TEST_F(ConfigTest, BrokenFilesFailWithTheirErrorCodes) {
  const struct {
    const char* config;  // nullptr: missing
    const char* status;  // nullptr: missing, in an existing status directory
    const char* code;
  } cases[] = {
      {"{}", nullptr, "ErrorCode: 101900072, open status.json failed"},
      {"{}", "[1]", "ErrorCode: 101900073, status.json format error"},
      {nullptr, "{}", "ErrorCode: 101900062, open config.json failed"},
      {"{\"station_id\":\"a\"} // c", "{}", "ErrorCode: 101900064, config.json format error"},
      {"[1,2]", "{}", "ErrorCode: 101900064, config.json format error"},  // never searched for members
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    TempRoot root;
    Logs().Clear();
    if (c.config != nullptr) {
      root.WriteFile(kConfigRel, c.config);
    }
    std::filesystem::create_directories(root.Under(kStatusDirRel));
    if (c.status != nullptr) {
      root.WriteFile(kStatusRel, c.status);
    }
    EXPECT_FALSE(ReadConfig());
    EXPECT_TRUE(Logs().Has(c.code));
    EXPECT_EQ(c.status == nullptr, !std::filesystem::exists(root.Under(kStatusRel))) << "existing dir not filled in";
  }
}

TEST_F(ConfigTest, DustBagTimeIsStampedInPlaceAndAged) {
  TempRoot root;
  root.WriteFile(kStatusRel, R"({"hardware":"dvt1","dust_bag_last_replace_time":1000,"mqtt_server_address":"h"})");
  EXPECT_NEAR(ReadDustBagReplyTime(), NowSeconds() - 1000, 1);

  const int64_t before = NowSeconds();
  WriteDustBagReplyTimeUncheck();
  const std::string text = root.ReadFile(kStatusRel);
  const auto written_at = [&text](int64_t stamp) {
    return text == "{\n    \"hardware\": \"dvt1\",\n    \"dust_bag_last_replace_time\": " + std::to_string(stamp) +
                       ",\n    \"mqtt_server_address\": \"h\"\n}";
  };
  EXPECT_TRUE(written_at(before) || written_at(NowSeconds())) << text;
  EXPECT_EQ(DirEntries(root.Under(kStatusDirRel)), std::vector<std::string>{"status.json"});
  AdvanceClockForTest(500);
  EXPECT_NEAR(ReadDustBagReplyTime(), 500, 2);
}

TEST_F(ConfigTest, UnusableDustBagTimeLeavesTheFileAndReadsAsOverdue) {
  for (const char* status :
       {R"({"hardware":"dvt1"})", R"({"dust_bag_last_replace_time":-5})", "[5]", static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(status == nullptr ? "(missing)" : status);
    TempRoot root;
    std::filesystem::create_directories(root.Under(kStatusDirRel));
    if (status != nullptr) {
      root.WriteFile(kStatusRel, status);
    }
    WriteDustBagReplyTimeUncheck();
    EXPECT_EQ(std::filesystem::exists(root.Under(kStatusRel)), status != nullptr);
    if (status != nullptr) {
      EXPECT_EQ(root.ReadFile(kStatusRel), status);
    }
    EXPECT_NEAR(ReadDustBagReplyTime(), NowSeconds(), 1) << "an unknown time counts from the epoch";
  }
}

}  // namespace
}  // namespace station_center
