#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <shared_mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config.h"
#include "station_center.h"
#include "support/test_support.h"
#include "task/fake_services.h"
#include "task/log_capture.h"

namespace station_center {
namespace {

using station_test::Logs;
using Report = station::SensorsDataRep;

// A station core without board or broker: the test hands it the reports and moves the clock.
class SensorAutomationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Logs().Clear();
    SetDustBagTime(clock_->WallSeconds());
  }

  void SetDustBagTime(int64_t when) {
    root_.WriteFile("/usr/lib/vantorel-station-center/status/status.json",
                    "{\"dust_bag_last_replace_time\": " + std::to_string(when) + "}");
  }
  // A healthy station's report, changed by `change`, handed over `times` times.
  template <typename F>
  void Feed(F change, int times = 1) {
    Report report;
    report.set_dustbagdet(1);
    report.set_dustboxcapdet(1);
    change(report);
    for (int i = 0; i < times; ++i) center_->DataUploadCallback(report);
  }
  // Whether abnormal `type` is present, and the sensor checks' entry in the abnormal task list.
  std::pair<bool, int> Abnormal(int type) {
    StationCenterProbe core(*center_);
    std::shared_lock<std::shared_mutex> lock(core.task_data_mutex());
    return {core.task_data().AbnormalPresent(type), core.task_data().abnormal_tasks.at(TASK_TYPE_SENSOR)};
  }
  const std::pair<bool, int> kRecorded{true, 1}, kClear{false, 0};

  station_test::TempRoot root_;
  const std::shared_ptr<station_test::TestClock> clock_ = std::make_shared<station_test::TestClock>();
  std::shared_ptr<StationCenter> center_ = std::make_shared<StationCenter>(CoreParts{clock_, nullptr, nullptr});
};

TEST_F(SensorAutomationTest, TakingTheBagOutReplacesItAndAnOverdueBagIsRecordedAgainAfterARelease) {
  SetDustBagTime(clock_->WallSeconds() - 1000);
  Feed([](Report& r) { r.set_dustbagdet(0); });
  EXPECT_LT(ReadDustBagReplyTime(clock_->WallSeconds()), 10) << "taking the bag out counts as replacing it";

  // Overdue: recorded on the transition only; after the cloud's release the next report
  // records it again while the bag is still overdue.
  SetDustBagTime(clock_->WallSeconds() - 32 * 86400);
  Feed([](Report&) {}, 3);
  EXPECT_TRUE(Abnormal(ABNORMAL_DUST_BAG_REPLACE).first);
  EXPECT_EQ(Logs().Count("Abnormal task : 16 recorded"), 1);
  StationSrvReq reply;
  reply.report_rsp.mutable_consumables_reply_state()->set_dust_bag(0);
  center_->UpdateConsumablesSate(reply);
  EXPECT_FALSE(Abnormal(ABNORMAL_DUST_BAG_REPLACE).first);
  Feed([](Report&) {}, 3);
  EXPECT_EQ(Logs().Count("Abnormal task : 16 recorded"), 2);
}

// One report with a detector in or out after the clock moved on; what is then recorded.
struct DetectorStep {
  const char* what;
  bool in;
  int64_t clock_advance;  // seconds
  bool recorded;
};

TEST_F(SensorAutomationTest, DustBagOrCapCountsOnlyWhenOutLongerThanTheLimit) {
  // The limit is dust_bag_reset_max_time, 90 s; real time passes between the steps too.
  const DetectorStep steps[] = {
      {"taken out", false, 0, false},
      {"out within the limit", false, 85, false},
      {"put back", true, 0, false},
      {"out again: the time counts afresh", false, 0, false},
      {"out within the limit again", false, 85, false},
      {"out past the limit", false, 6, true},
      {"still out", false, 100, true},
      {"put back", true, 0, false},
  };
  const struct {
    int type;
    void (*set)(Report&, uint32_t in);
  } detectors[] = {
      {ABNORMAL_DUST_BAG_OUT, [](Report& r, uint32_t in) { r.set_dustbagdet(in); }},
      {ABNORMAL_DUST_BOX_CAP, [](Report& r, uint32_t in) { r.set_dustboxcapdet(in); }},
  };
  for (const auto& detector : detectors) {
    Logs().Clear();
    for (const DetectorStep& step : steps) {
      SCOPED_TRACE(testing::Message() << detector.type << " " << step.what);
      clock_->Advance(step.clock_advance);
      Feed([&](Report& r) { detector.set(r, step.in ? 1 : 0); });
      EXPECT_EQ(Abnormal(detector.type), step.recorded ? kRecorded : kClear);
    }
    // The release logs "type : N recorded" as well; only a record logs the task line.
    EXPECT_EQ(Logs().Count("Abnormal task : 16 recorded"), 1) << "recorded (and uploaded) once, not per report";
  }
}

// A temperature reading: its abnormal type, how a report carries it, a value at the limit and one above it.
struct Reading {
  int type;
  void (*set)(Report&, float);
  float at_limit, above;
};

TEST_F(SensorAutomationTest, TemperaturesAtTheLimitAreFineAboveItRecordedUntilBack) {
  const Reading cases[] = {
      {ABNORMAL_PLATE_UP_TEMP, [](Report& r, float v) { r.set_electrodeplatetemp1(static_cast<uint32_t>(v)); }, 78, 79},
      {ABNORMAL_PLATE_DOWN_TEMP, [](Report& r, float v) { r.set_electrodeplatetemp2(static_cast<uint32_t>(v)); }, 78,
       79},
      {ABNORMAL_HEAT_WIRE_TEMP, [](Report& r, float v) { r.set_heatingwiretemp(v); }, 150.9f, 151},  // truncated to 150
      // Unreadable is no cool wire: HeaterTest.TheWireGoesOffOnOldReadingsAndUnderAStoppedFan.
  };
  for (const Reading& c : cases) {
    SCOPED_TRACE(testing::Message() << c.type << " " << c.above);
    Feed([&](Report& r) { c.set(r, c.at_limit); });
    EXPECT_EQ(Abnormal(c.type), kClear);
    Feed([&](Report& r) { c.set(r, c.above); }, 2);
    EXPECT_EQ(Abnormal(c.type), kRecorded);
    Feed([&](Report& r) { c.set(r, c.at_limit); });
    EXPECT_EQ(Abnormal(c.type), kClear) << "released once back at the limit";
  }
}

// The first hardware revision counts tablets by key presses on an input device.
TEST_F(SensorAutomationTest, SorterCountsKeyPressesUntilTheDeviceEnds) {
  const std::string device = RootedPath("/dev/input/event8");
  std::filesystem::create_directories(std::filesystem::path(device).parent_path());
  ASSERT_EQ(::mkfifo(device.c_str(), 0600), 0);
  std::thread sorter([&] { center_->SocSensorDataDetect(); });
  const int fd = ::open(device.c_str(), O_WRONLY);  // waits for the reader
  ASSERT_GE(fd, 0);
  // A struct input_event of a 64-bit system each (type 1 is a key): press, release, repeat,
  // another key, press.
  struct {
    unsigned char time[16];
    uint16_t type, code;
    int32_t value;
  } const events[] = {{{}, 1, 202, 1}, {{}, 1, 202, 0}, {{}, 1, 202, 2}, {{}, 1, 5, 1}, {{}, 1, 202, 1}};
  ASSERT_EQ(::write(fd, events, sizeof(events)), 5 * 24);
  ::close(fd);
  sorter.join();  // end of file ends the reader
  std::shared_lock<std::shared_mutex> lock(StationCenterProbe(*center_).task_data_mutex());
  EXPECT_EQ(StationCenterProbe(*center_).task_data().sorter_count_, 2);
}

// A read error that is not the end of the device repeats at once: the reader waits longer
// after each one in a row, up to a bound, instead of spinning and logging per try.
TEST_F(SensorAutomationTest, SorterReadErrorsAreRetriedAtABoundedRate) {
  // A directory opens and selects readable, and every read of it fails (EISDIR).
  const std::string device = RootedPath("/dev/input/event8");
  std::filesystem::create_directories(device);
  const int fd = ::open(device.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::vector<std::chrono::milliseconds> pauses;
  center_->ReadSorterEvents(fd, [&](std::chrono::milliseconds wait) {
    pauses.push_back(wait);
    return pauses.size() < 10;  // then the reader ends
  });
  ::close(fd);
  ASSERT_EQ(pauses.size(), 10u);
  EXPECT_EQ(Logs().Count("read sorter_counter error"), 10) << "one line per try";
  EXPECT_GE(pauses.front(), std::chrono::milliseconds(100));
  for (size_t i = 1; i < pauses.size(); ++i) {
    EXPECT_GE(pauses[i], pauses[i - 1]) << i;
    EXPECT_LE(pauses[i], std::chrono::seconds(5)) << i;
  }
  EXPECT_GE(pauses.back(), std::chrono::seconds(1)) << "a lasting fault is tried seldom";
}

}  // namespace
}  // namespace station_center
