#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <shared_mutex>
#include <string>
#include <thread>
#include <utility>

#include "clock.h"
#include "config.h"
#include "station_center.h"
#include "station_sensor.h"
#include "support/test_support.h"
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
    ResetSensorAutomationForTest();
    SetDustBagTime(NowSeconds());
  }
  void TearDown() override { ResetClockForTest(); }

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
    std::shared_lock<std::shared_mutex> lock(center_->task_data_mutex());
    return {center_->task_data().AbnormalPresent(type), center_->task_data().abnormal_tasks.at(TASK_TYPE_SENSOR)};
  }
  const std::pair<bool, int> kRecorded{true, 1}, kClear{false, 0};

  station_test::TempRoot root_;
  std::shared_ptr<StationCenter> center_ = std::make_shared<StationCenter>();
};

TEST_F(SensorAutomationTest, DustBagOutLongerThanTheLimitAndOverdueBag) {
  const auto in = [](Report&) {};
  const auto out = [](Report& r) { r.set_dustbagdet(0); };
  SetDustBagTime(NowSeconds() - 1000);
  Feed(out);
  EXPECT_LT(ReadDustBagReplyTime(), 10) << "taking the bag out counts as replacing it";
  AdvanceClockForTest(60);
  Feed(out);
  EXPECT_EQ(Abnormal(ABNORMAL_DUST_BAG_OUT), kClear) << "60 s is within the 90 s limit";
  Feed(in);
  Feed(out);
  AdvanceClockForTest(91);
  Feed(out, 3);
  EXPECT_EQ(Abnormal(ABNORMAL_DUST_BAG_OUT), kRecorded);
  EXPECT_EQ(Logs().Count("Abnormal type : 3 recorded"), 1) << "recorded (and uploaded) once, not per report";
  Feed(in);
  EXPECT_EQ(Abnormal(ABNORMAL_DUST_BAG_OUT), kClear);

  // Overdue: recorded on the transition only; after the cloud's release the next report
  // records it again while the bag is still overdue.
  Logs().Clear();
  SetDustBagTime(NowSeconds() - 32 * 86400);
  Feed(in, 3);
  EXPECT_TRUE(Abnormal(ABNORMAL_DUST_BAG_REPLACE).first);
  EXPECT_EQ(Logs().Count("Abnormal task : 16 recorded"), 1);
  StationSrvReq reply;
  reply.report_rsp.mutable_consumables_reply_state()->set_dust_bag(0);
  center_->UpdateConsumablesSate(reply);
  EXPECT_FALSE(Abnormal(ABNORMAL_DUST_BAG_REPLACE).first);
  Feed(in, 3);
  EXPECT_TRUE(Abnormal(ABNORMAL_DUST_BAG_REPLACE).first);
  EXPECT_EQ(Logs().Count("Abnormal task : 16 recorded"), 2);
}

TEST_F(SensorAutomationTest, TemperaturesAtTheLimitAreFineAboveItRecordedUntilBack) {
  using Set = void (*)(Report&, float);
  const Set plate1 = [](Report& r, float v) { r.set_electrodeplatetemp1(static_cast<uint32_t>(v)); };
  const Set plate2 = [](Report& r, float v) { r.set_electrodeplatetemp2(static_cast<uint32_t>(v)); };
  const Set wire = [](Report& r, float v) { r.set_heatingwiretemp(v); };
  const struct {
    int type;
    Set set;
    float at_limit, above;
  } cases[] = {
      {ABNORMAL_PLATE_UP_TEMP, plate1, 78, 79},
      {ABNORMAL_PLATE_DOWN_TEMP, plate2, 78, 79},
      {ABNORMAL_HEAT_WIRE_TEMP, wire, 150.9f, 151},            // truncated to 150
      {ABNORMAL_HEAT_WIRE_TEMP, wire, 150.9f, std::nanf("")},  // unreadable is no cool wire
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.type << " " << c.above);
    Feed([&](Report& r) { c.set(r, c.at_limit); });
    EXPECT_EQ(Abnormal(c.type), kClear);
    Feed([&](Report& r) { c.set(r, c.above); }, 2);
    EXPECT_EQ(Abnormal(c.type), kRecorded);
    Feed([&](Report& r) { c.set(r, c.at_limit); });
    EXPECT_EQ(Abnormal(c.type), kClear);
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
  // (key code, value): press, release, repeat, another key, press.
  for (const auto& [code, value] : {std::pair<uint16_t, int32_t>{202, 1}, {202, 0}, {202, 2}, {5, 1}, {202, 1}}) {
    unsigned char event[24] = {};  // struct input_event: time, type 1 (key), code, value
    const uint16_t type = 1;
    std::memcpy(event + 16, &type, 2);
    std::memcpy(event + 18, &code, 2);
    std::memcpy(event + 20, &value, 4);
    ASSERT_EQ(::write(fd, event, sizeof(event)), 24);
  }
  ::close(fd);
  sorter.join();  // end of file ends the reader
  std::shared_lock<std::shared_mutex> lock(center_->task_data_mutex());
  EXPECT_EQ(center_->task_data().sorter_count_, 2);
}

}  // namespace
}  // namespace station_center
