#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>

#include "clock.h"
#include "config.h"
#include "core/station_harness.h"
#include "station_center.h"
#include "station_sensor.h"
#include "support/test_support.h"
#include "task/log_capture.h"

namespace station_center {
namespace {

using station_test::Logs;
using station_test::WaitUntil;

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
  // A healthy station's report, changed by `change`.
  template <typename F>
  void Feed(F change, int times = 1) {
    station::SensorsDataRep report;
    report.set_dustbagdet(1);
    report.set_dustboxcapdet(1);
    change(report);
    for (int i = 0; i < times; ++i) {
      center_->DataUploadCallback(report);
    }
  }
  bool Present(int type) {
    std::shared_lock<std::shared_mutex> lock(center_->task_data_mutex());
    return center_->task_data().AbnormalPresent(type);
  }
  int SensorKey() {
    std::shared_lock<std::shared_mutex> lock(center_->task_data_mutex());
    return center_->task_data().abnormal_tasks.at(TASK_TYPE_SENSOR);
  }

  station_test::TempRoot root_;
  std::shared_ptr<StationCenter> center_ = std::make_shared<StationCenter>();
};

const auto kBagIn = [](station::SensorsDataRep&) {};
const auto kBagOut = [](station::SensorsDataRep& r) { r.set_dustbagdet(0); };

TEST_F(SensorAutomationTest, DustBagOutLongerThanTheLimitAndOverdueBag) {
  SetDustBagTime(NowSeconds() - 1000);
  Feed(kBagOut);
  EXPECT_LT(ReadDustBagReplyTime(), 10) << "taking the bag out counts as replacing it";
  AdvanceClockForTest(60);
  Feed(kBagOut);
  EXPECT_FALSE(Present(ABNORMAL_DUST_BAG_OUT)) << "60 s is within the 90 s limit";
  Feed(kBagIn);
  Feed(kBagOut);
  AdvanceClockForTest(91);
  Feed(kBagOut, 3);
  EXPECT_TRUE(Present(ABNORMAL_DUST_BAG_OUT));
  EXPECT_EQ(SensorKey(), 1);
  EXPECT_EQ(Logs().Count("Abnormal type : 3 recorded"), 1) << "recorded (and uploaded) once, not per report";
  Feed(kBagIn);
  EXPECT_FALSE(Present(ABNORMAL_DUST_BAG_OUT));
  EXPECT_EQ(SensorKey(), 0);

  // Overdue: recorded on the transition only; after the cloud's release the next report
  // records it again while the bag is still overdue.
  Logs().Clear();
  SetDustBagTime(NowSeconds() - 32 * 86400);
  Feed(kBagIn, 3);
  EXPECT_TRUE(Present(ABNORMAL_DUST_BAG_REPLACE));
  EXPECT_EQ(Logs().Count("Abnormal task : 16 recorded"), 1);
  StationSrvReq reply;
  reply.report_rsp.mutable_consumables_reply_state()->set_dust_bag(0);
  center_->UpdateConsumablesSate(reply);
  EXPECT_FALSE(Present(ABNORMAL_DUST_BAG_REPLACE));
  Feed(kBagIn, 3);
  EXPECT_TRUE(Present(ABNORMAL_DUST_BAG_REPLACE));
  EXPECT_EQ(Logs().Count("Abnormal task : 16 recorded"), 2);
}

TEST_F(SensorAutomationTest, TemperaturesAtTheLimitAreFineAboveItRecordedUntilBack) {
  using Set = void (*)(station::SensorsDataRep&, float);
  const Set plate1 = [](station::SensorsDataRep& r, float v) { r.set_electrodeplatetemp1(static_cast<uint32_t>(v)); };
  const Set plate2 = [](station::SensorsDataRep& r, float v) { r.set_electrodeplatetemp2(static_cast<uint32_t>(v)); };
  const Set wire = [](station::SensorsDataRep& r, float v) { r.set_heatingwiretemp(v); };
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
    Feed([&](station::SensorsDataRep& r) { c.set(r, c.at_limit); });
    EXPECT_FALSE(Present(c.type));
    Feed([&](station::SensorsDataRep& r) { c.set(r, c.above); }, 2);
    EXPECT_TRUE(Present(c.type));
    EXPECT_EQ(SensorKey(), 1);
    Feed([&](station::SensorsDataRep& r) { c.set(r, c.at_limit); });
    EXPECT_FALSE(Present(c.type));
    EXPECT_EQ(SensorKey(), 0);
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
  const auto send = [fd](uint16_t code, int32_t value) {
    unsigned char event[24] = {};  // struct input_event: time, type 1 (key), code, value
    const uint16_t type = 1;
    std::memcpy(event + 16, &type, 2);
    std::memcpy(event + 18, &code, 2);
    std::memcpy(event + 20, &value, 4);
    ASSERT_EQ(::write(fd, event, sizeof(event)), 24);
  };
  send(202, 1);  // press
  send(202, 0);  // release
  send(202, 2);  // repeat
  send(5, 1);    // another key
  send(202, 1);
  ::close(fd);
  sorter.join();  // end of file ends the reader
  std::shared_lock<std::shared_mutex> lock(center_->task_data_mutex());
  EXPECT_EQ(center_->task_data().sorter_count_, 2);
}

// With the board simulator: automation that drives the board.
TEST(SensorAutomationOnTheBoardTest, PlugStartsAManualChargeAndSewageRunsThePump) {
  ResetSensorAutomationForTest();
  station_test::StationHarness h;
  ASSERT_TRUE(h.Start());
  h.sim().Plug(true);
  ASSERT_TRUE(WaitUntil([&] { return h.Running(TASK_TYPE_MANUAL_CHARGE); }));
  h.sim().Plug(false);
  EXPECT_TRUE(WaitUntil([&] { return !h.Running(TASK_TYPE_MANUAL_CHARGE); }));

  h.sim().ClearReceivedCommands();
  const auto pump = [&] { return h.WithData([](StationTaskData& d) { return d.sewage_pump_working; }); };
  ASSERT_TRUE(h.sim().Pin("sewageDet", "0"));
  ASSERT_TRUE(h.sim().Pin("sewageFull", "1200"));
  ASSERT_TRUE(h.WaitSensors([](const station::SensorsDataRep& r) { return r.sewagefull() == 1200; }));
  { std::lock_guard<std::mutex> handled(h.center().task_mutex()); }  // that report's handling is over
  EXPECT_FALSE(pump()) << "sewage means above the threshold (1200)";
  ASSERT_TRUE(h.sim().Pin("sewageFull", "1201"));
  ASSERT_TRUE(WaitUntil(pump));
  h.sim().Unpin("all");
  // The model's sewage box is empty: the pump closes once the run-on time (0 s here) passed.
  ASSERT_TRUE(WaitUntil([&] { return !pump(); }));
  const auto actions = h.Actions(station::ENUM_SUPPLY_SEWAGE_PUMP);
  ASSERT_EQ(actions.size(), 2u);
  EXPECT_EQ(actions[0].second, 82);  // sewage_pump_power_standard of the harness
  EXPECT_EQ(actions[1].second, 0);
}

}  // namespace
}  // namespace station_center
