#include "config.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <iterator>
#include <string>

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
long FilesBeside(const TempRoot& root, const std::string& rel) {
  return std::distance(std::filesystem::directory_iterator(std::filesystem::path(root.Under(rel)).parent_path()),
                       std::filesystem::directory_iterator());
}

// `json` padded with spaces to `size` bytes.
std::string PaddedTo(const std::string& json, size_t size) { return json + std::string(size - json.size(), ' '); }

// Reads a config.json holding `members` into a fresh g_config.
bool Load(const std::string& members) {
  TempRoot root;
  g_config = Config{};
  root.WriteFile(kConfigRel, "{" + members + "}");
  root.WriteFile(kStatusRel, "{}");
  return ReadConfig();
}

TEST(ConfigTest, ValuesMustHaveTheirJsonTypeOrKeepTheDefault) {
  const Config defaults;
  Logs().Clear();
  // Wrongly typed or out-of-range members keep their defaults without hiding the members after them.
  ASSERT_TRUE(Load(R"("embedded_action_port": 70000, "soc_data_server_port": -1, "debug": 1,
      "max_charge_plate_temp": 80.5, "add_water_to_station_max_time": 2147483648, "running_schedule_space": "300",
      "do_action_cache_size": 4294967296, "embedded_ip": 5, "mqtt_pwd": "secret")"));
  EXPECT_EQ(g_config.embedded_action_port, 70000 - 65536) << "a port keeps the low 16 bits";
  EXPECT_EQ(g_config.soc_data_server_port, defaults.soc_data_server_port);
  EXPECT_FALSE(g_config.debug);
  EXPECT_EQ(g_config.max_charge_plate_temp, defaults.max_charge_plate_temp);
  EXPECT_EQ(g_config.add_water_to_station_max_time, defaults.add_water_to_station_max_time);
  EXPECT_EQ(g_config.running_schedule_space, defaults.running_schedule_space);
  EXPECT_EQ(g_config.do_action_cache_size, defaults.do_action_cache_size);
  EXPECT_EQ(g_config.embedded_ip, defaults.embedded_ip);
  EXPECT_EQ(g_config.mqtt_pwd, "secret");
  EXPECT_EQ(Logs().Count("secret"), 0) << "the password stays out of the journal";

  ASSERT_TRUE(Load(R"("debug": true, "add_water_to_station_max_time": 2147483647, "running_schedule_space": 1.0)"));
  EXPECT_TRUE(g_config.debug);
  EXPECT_EQ(g_config.add_water_to_station_max_time, 2147483647);
  EXPECT_EQ(g_config.running_schedule_space, defaults.running_schedule_space) << "1.0 is not an integer";

  // The stale-data limit must leave time for a report: 0 or less would stop every task at once.
  for (const char* limit : {"0", "-5", "3601"}) {
    ASSERT_TRUE(Load(std::string(R"("sensor_stale_time": )") + limit));
    EXPECT_EQ(g_config.sensor_stale_time, defaults.sensor_stale_time) << limit;
  }
  ASSERT_TRUE(Load(R"("sensor_stale_time": 10)"));
  EXPECT_EQ(g_config.sensor_stale_time, 10);

  // The broker's TLS files and check: plain text paths and a real boolean.
  ASSERT_TRUE(Load(R"("mqtt_tls_verify": "false", "mqtt_tls_key_file": "/etc/k.pem")"));
  EXPECT_TRUE(g_config.mqtt_tls_verify) << "only a JSON false turns the check off";
  EXPECT_EQ(g_config.mqtt_tls_key_file, "/etc/k.pem");
  ASSERT_TRUE(Load(R"("mqtt_tls_verify": false, "mqtt_tls_cert_file": "/etc/c.pem")"));
  EXPECT_FALSE(g_config.mqtt_tls_verify);
  EXPECT_EQ(g_config.mqtt_tls_cert_file, "/etc/c.pem");
}

// Secrets others may read, and trust files the service itself may rewrite, are named at start.
TEST(ConfigTest, ExposedSecretsAndWritableTrustFilesAreWarnedOf) {
  struct Row {
    mode_t config_mode;
    mode_t key_mode;
    bool tls_in_state_tree;
    int lines;
    const char* warning;  // part of one of the lines
  };
  const Row rows[] = {
      {0600, 0640, false, 0, ""},
      {0644, 0640, false, 1, "config.json (broker password) "},
      {0600, 0644, false, 1, "client key "},
      {0600, 0640, true, 2, "CA file "},  // and the key beside it
  };
  for (const Row& row : rows) {
    TempRoot root;
    g_config = Config{};
    const std::string dir = row.tls_in_state_tree ? "/usr/lib/vantorel-station-center/config/tls" : "/etc/vantorel/tls";
    root.WriteFile(dir + "/ca.crt", "x");
    root.WriteFile(dir + "/client.key", "x");
    ASSERT_EQ(::chmod(root.Under(dir + "/client.key").c_str(), row.key_mode), 0);
    root.WriteFile(kConfigRel, "{\"mqtt_tls_ca_file\": \"" + root.Under(dir + "/ca.crt") +
                                   "\", \"mqtt_tls_key_file\": \"" + root.Under(dir + "/client.key") + "\"}");
    ASSERT_EQ(::chmod(root.Under(kConfigRel).c_str(), row.config_mode), 0);
    root.WriteFile(kStatusRel, "{}");
    Logs().Clear();
    ASSERT_TRUE(ReadConfig());
    EXPECT_EQ(Logs().Count("ErrorCode: 101900092"), row.lines) << row.warning;
    EXPECT_EQ(Logs().Has(std::string("ErrorCode: 101900092, ") + row.warning), row.lines > 0) << row.warning;
  }
}

TEST(ConfigTest, StationIdIsReplacedByTheHostNameKeepingEverythingElse) {
  TempRoot root;
  root.WriteFile(kConfigRel, R"({"embedded_ip":"10.0.0.1","station_id":"station-xx","list":[1,2]})");
  ASSERT_EQ(::chmod(root.Under(kConfigRel).c_str(), 0640), 0);
  root.WriteFile(kStatusRel, "{}");
  ASSERT_TRUE(ReadConfig());
  const std::string host = station_test::HostName();
  EXPECT_EQ(g_config.station_id, host);
  EXPECT_EQ(root.ReadFile(kConfigRel), std::string("{\n    \"embedded_ip\": \"10.0.0.1\",\n    \"station_id\": \"") +
                                           host + "\",\n    \"list\": [\n        1,\n        2\n    ]\n}");
  EXPECT_EQ(FilesBeside(root, kConfigRel), 1);
  struct stat st {};
  ASSERT_EQ(::stat(root.Under(kConfigRel).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u) << "the replacement keeps the permissions";

  // Already the host name: not written again (flash wear in a restart loop).
  const std::string written = root.ReadFile(kConfigRel);
  const ino_t inode = st.st_ino;
  ASSERT_TRUE(ReadConfig());
  ASSERT_EQ(::stat(root.Under(kConfigRel).c_str(), &st), 0);
  EXPECT_EQ(st.st_ino, inode) << "not replaced";
  EXPECT_EQ(root.ReadFile(kConfigRel), written);

  root.WriteFile(kConfigRel, "{}");
  ASSERT_TRUE(ReadConfig());
  EXPECT_EQ(root.ReadFile(kConfigRel), "{}") << "without a station_id the file is left alone";
}

TEST(ConfigTest, MissingStatusIsCreatedWithTheBrokerOfTheEnvironment) {
  const std::string test_broker = std::string(Config::kTestBroker) + ":1883";
  const struct {
    const char* env_file;  // nullptr: no device environment file
    std::string broker;
  } cases[] = {
      {"PROD\n", Config::kProdBroker},
      {"PROD\r\n", test_broker},  // only an exact PROD line counts
      {nullptr, test_broker},
  };
  // Whether the directory is missing too, or is there without the file (a crash between
  // making the two, or a technician emptying it): either way the station starts.
  for (const bool dir_exists : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.env_file == nullptr ? "(no file)" : c.env_file);
      SCOPED_TRACE(dir_exists ? "empty status directory" : "no status directory");
      TempRoot root;
      if (c.env_file != nullptr) {
        root.WriteFile("/etc/vantorel/device-env", c.env_file);
      }
      root.WriteFile(kConfigRel, "{}");
      if (dir_exists) {
        std::filesystem::create_directories(root.Under(kStatusDirRel));
      }
      ASSERT_TRUE(ReadConfig());
      EXPECT_EQ(g_config.mqtt_server_address, c.broker);
      const int64_t stamp = g_config.dust_bag_last_replace_time;
      EXPECT_NEAR(stamp, WallSeconds(), 1);
      EXPECT_EQ(root.ReadFile(kStatusRel), "{\"dust_bag_last_replace_time\":" + std::to_string(stamp) +
                                               ",\"mqtt_server_address\":\"" + c.broker + "\"}");
    }
  }
}

TEST(ConfigTest, BrokenFilesFailWithTheirErrorCodes) {
  const std::string kMissing = "(missing)";
  const std::string kDirectory = "(a directory)";
  const std::string too_large = PaddedTo(R"({"dust_bag_last_replace_time": 1})", kMaxStationFileBytes + 1);
  const struct {
    std::string config;
    std::string status;
    std::string line;
  } cases[] = {
      {"{}", kDirectory, "ErrorCode: 101900072, open status.json failed"},
      {"{}", "[1]", "ErrorCode: 101900073, status.json format error"},
      {kMissing, "{}", "ErrorCode: 101900062, open config.json failed"},
      {"{\"station_id\":\"a\"} // c", "{}", "ErrorCode: 101900064, config.json format error"},
      {"[1,2]", "{}", "ErrorCode: 101900064, config.json format error"},  // never searched for members
      // Refused unread, naming the file: re-read on every sensor report, it would cost a core.
      {too_large, "{}", "config/config.json is larger than 1048576 bytes, refused"},
      {"{}", too_large, "status/status.json is larger than 1048576 bytes, refused"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    TempRoot root;
    Logs().Clear();
    if (c.config != kMissing) {
      root.WriteFile(kConfigRel, c.config);
    }
    if (c.status == kDirectory) {
      std::filesystem::create_directories(root.Under(kStatusRel));
    } else {
      root.WriteFile(kStatusRel, c.status);
    }
    EXPECT_FALSE(ReadConfig());
    EXPECT_TRUE(Logs().Has(c.line));
  }
  EXPECT_TRUE(Logs().Has("ErrorCode: 101900088, " + std::filesystem::temp_directory_path().string()));

  // A file of just the limit is still read.
  TempRoot root;
  root.WriteFile(kConfigRel, PaddedTo(R"({"sensor_stale_time": 7})", kMaxStationFileBytes));
  root.WriteFile(kStatusRel, PaddedTo("{}", kMaxStationFileBytes));
  EXPECT_TRUE(ReadConfig());
  EXPECT_EQ(g_config.sensor_stale_time, 7);
}

TEST(ConfigTest, DustBagTimeIsStampedInPlaceAndAged) {
  TempRoot root;
  root.WriteFile(kStatusRel, R"({"hardware":"dvt1","dust_bag_last_replace_time":1000,"mqtt_server_address":"h"})");
  EXPECT_EQ(ReadDustBagReplyTime(5000, 0), 4000);

  WriteDustBagReplyTimeUncheck(7000);
  EXPECT_EQ(root.ReadFile(kStatusRel),
            "{\n    \"hardware\": \"dvt1\",\n    \"dust_bag_last_replace_time\": 7000,\n"
            "    \"mqtt_server_address\": \"h\"\n}");
  EXPECT_EQ(ReadDustBagReplyTime(7500, 0), 500);

  // A date a wrong clock made says nothing of the bag's age: it counts from now.
  constexpr int64_t kBuild = 1'800'000'000;
  const struct {
    const char* what;
    int64_t stamp, now, age, stored;
  } dates[] = {
      {"in the future", 9000 + kBuild, 8000 + kBuild, 0, 8000 + kBuild},
      {"from a clock that was not set", 1000, kBuild, 0, kBuild},
      {"a cycle before the build, trusted", kBuild - 40 * 86400, kBuild, 40 * 86400, kBuild - 40 * 86400},
      {"the clock not set now: no age, nothing written", 1000, kBuild - 5 * 365 * 86400, 0, 1000},
  };
  for (const auto& d : dates) {
    WriteDustBagReplyTimeUncheck(d.stamp);
    EXPECT_EQ(ReadDustBagReplyTime(d.now, kBuild), d.age) << d.what;
    EXPECT_EQ(ReadDustBagReplyTime(d.stored + 1, 0), 1) << d.what << ": the date stored after";
  }
}

// Without a usable time the file is left alone and the bag counts as overdue. Read on every
// sensor report: what is wrong with the file is logged once per change, not five times a second.
TEST(ConfigTest, ABadDustBagTimeIsLeftAloneAndLoggedOncePerChangeOfTheFile) {
  TempRoot root;
  const auto reports = [](int n) {
    for (int i = 0; i < n; ++i) {
      EXPECT_EQ(ReadDustBagReplyTime(7000), 7000) << "an unknown time counts from the epoch";
    }
  };
  const std::string member_line = "ErrorCode: 101900074";
  const struct {
    std::string status;  // "": no file
    const char* line;
  } steps[] = {
      {R"({"dust_bag_last_replace_time": -5})", "ErrorCode: 101900074"},
      {R"({"dust_bag_last_replace_time": -6})", "ErrorCode: 101900074"},
      {R"({"hardware": "dvt1"})", "ErrorCode: 101900074"},
      {"[5]", "ErrorCode: 101900074"},
      {"{", "ErrorCode: 101900073, parse status.json error"},
      {PaddedTo("{}", kMaxStationFileBytes + 1), "ErrorCode: 101900088"},
      {"", "ErrorCode: 101900072"},
      {R"({"dust_bag_last_replace_time": -6})", "ErrorCode: 101900074"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.status.substr(0, 40));
    Logs().Clear();
    std::filesystem::remove(root.Under(kStatusRel));
    if (!step.status.empty()) {
      root.WriteFile(kStatusRel, step.status);
    }
    reports(5);
    WriteDustBagReplyTimeUncheck(7000);
    EXPECT_EQ(std::filesystem::exists(root.Under(kStatusRel)) ? root.ReadFile(kStatusRel) : "", step.status);
    EXPECT_EQ(Logs().Count(step.line), 1);
  }
  // Good again, then the same bad value as before: a new fault, logged again.
  Logs().Clear();
  root.WriteFile(kStatusRel, R"({"dust_bag_last_replace_time": 1000})");
  EXPECT_EQ(ReadDustBagReplyTime(7000, 0), 6000);
  root.WriteFile(kStatusRel, R"({"dust_bag_last_replace_time": -6})");
  reports(3);
  EXPECT_EQ(Logs().Count(member_line), 1);
}

// Runs `write` in a child process whose files may not grow past `limit` bytes, so that the
// write of new content fails part-way, as when the disk fills or the power goes; its exit status.
int WriteCutShort(void (*write)(), rlim_t limit) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit small = {limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &small);
    write();
    ::_exit(0);
  }
  int status = -1;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid ? status : -1;
}

TEST(ConfigTest, InterruptedRewritesLeaveTheOldFileWholeAndTheirLeftoversGoAtStart) {
  TempRoot root;
  root.WriteFile(kConfigRel, "{}");
  root.WriteFile(kStatusRel, "{}");
  const std::string padding(4000, 'x');  // the new contents outgrow the limit below
  const struct {
    const char* rel;
    std::string old_text;
    void (*write)();
  } rows[] = {
      {kConfigRel, R"({"station_id": "old-name", "pad": ")" + padding + "\"}", [] { WriteStationId(); }},
      {kStatusRel, R"({"dust_bag_last_replace_time": 1000, "pad": ")" + padding + "\"}",
       [] { WriteDustBagReplyTimeUncheck(7000); }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.rel);
    root.WriteFile(row.rel, row.old_text);
    EXPECT_EQ(WriteCutShort(row.write, 1024), 0);
    EXPECT_EQ(root.ReadFile(row.rel), row.old_text) << "the old file stays whole";
    EXPECT_EQ(FilesBeside(root, row.rel), 1) << "no temporary file left beside it";
    EXPECT_TRUE(ReadConfig()) << "and the station still starts from it";
  }

  // What a crash left of a rewrite goes at the next start; a technician's copies and another
  // program's files stay.
  const std::string config_dir = "/usr/lib/vantorel-station-center/config/";
  const std::string status_dir = std::string(kStatusDirRel) + "/";
  const struct {
    std::string rel;
    bool stale;
  } files[] = {{config_dir + "config.json.tmp.a1B2c3", true}, {status_dir + "status.json.tmp.XyZ789", true},
               {config_dir + "config.json.tmp.keep", false},  {config_dir + "led.json.tmp.a1B2c3", false},
               {status_dir + "status.json.tmp.bak", false},   {status_dir + "notes.tmp.a1B2c3", false}};
  for (const auto& file : files) {
    root.WriteFile(file.rel, "{\"half\": ");
  }
  ASSERT_TRUE(ReadConfig());
  for (const auto& file : files) {
    EXPECT_NE(std::filesystem::exists(root.Under(file.rel)), file.stale) << file.rel;
  }
}

// The wall clock being set, told apart from time passing.
// Both clocks moved by hand.
struct HandClock : Clock {
  int64_t NowMillis() const override { return steady_millis; }
  int64_t WallSeconds() const override { return wall; }
  int64_t steady_millis = 5'000'000;
  int64_t wall = 1'800'000'000;
};

TEST(WallStepWatchTest, ASetClockIsReportedOnceWithItsSize) {
  const struct {
    const char* what;
    int64_t steady_millis;  // added to each clock since the previous look
    int64_t wall;
    int64_t step;
  } looks[] = {
      {"both move on, the wall clock's seconds unevenly", 400, 1, 0},
      {"a pause of the whole process moves both", 15'000, 15, 0},
      {"set back an hour", 1000, 1 - 3600, -3600},
      {"seen once only", 1000, 1, 0},
      {"set forward a year", 0, 365 * 86400, 365 * 86400},
      {"within the tolerance", 1000, 6, 0},
      {"just beyond it", 1000, 7, 6},
  };
  HandClock clock;
  WallStepWatch watch(5);
  EXPECT_EQ(watch.Check(clock), 0) << "the first look has nothing to compare";
  for (const auto& look : looks) {
    clock.steady_millis += look.steady_millis;
    clock.wall += look.wall;
    EXPECT_EQ(watch.Check(clock), look.step) << look.what;
  }
}

}  // namespace
}  // namespace station_center
