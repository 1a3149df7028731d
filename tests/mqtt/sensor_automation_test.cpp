#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "clock.h"
#include "config.h"
#include "core/station_harness.h"
#include "station_sensor.h"
#include "task/log_capture.h"

namespace station_center {
namespace {

using station_test::Logs;
using station_test::WaitUntil;

class SensorAutomationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Logs().Clear();
    ResetSensorAutomationForTest();
    ASSERT_TRUE(h_.Start());
  }

  // Waits until `n` reports that arrived after this call have been handled in full.
  void Fresh(int n = 1) {
    for (int i = 0; i < n; ++i) {
      const int64_t since = NowMillis();
      ASSERT_TRUE(WaitUntil([&] {
        std::shared_lock<std::shared_mutex> lock(h_.center().sensors_mutex());
        return h_.center().sensors_data_millis() > since;
      }));
    }
    // The handler holds the task mutex to its end.
    std::lock_guard<std::mutex> lock(h_.center().task_mutex());
  }
  bool Present(int type) {
    return h_.WithData([type](StationTaskData& d) { return d.AbnormalPresent(type); });
  }
  int SensorKey() {
    return h_.WithData([](StationTaskData& d) { return d.abnormal_tasks.at(TASK_TYPE_SENSOR); });
  }
  void SetDustBagTime(int64_t when) {
    std::ofstream(StatusFilePath(), std::ios::trunc)
        << "{\"dust_bag_last_replace_time\": " << when << ", \"hardware\": \"dvt3\"}";
  }

  station_test::StationHarness h_;
};

TEST_F(SensorAutomationTest, DustBagRemovalShorterAndLongerThanTheLimit) {
  SetDustBagTime(NowSeconds() - 1000);
  h_.sim().SetField("dustBagDet", "0");
  Fresh();
  // Taking the bag out counts as replacing it.
  EXPECT_LT(ReadDustBagReplyTime(), 10);
  AdvanceClockForTest(60);
  Fresh(2);
  EXPECT_FALSE(Present(ABNORMAL_DUST_BAG_OUT)) << "60 s is within the 90 s limit";
  h_.sim().SetField("dustBagDet", "1");
  Fresh();

  h_.sim().SetField("dustBagDet", "0");
  Fresh();
  AdvanceClockForTest(91);
  ASSERT_TRUE(WaitUntil([&] { return Present(ABNORMAL_DUST_BAG_OUT); }));
  Fresh(3);
  EXPECT_EQ(Logs().Count("Abnormal type : 3 recorded"), 1) << "recorded once, not per report";
  EXPECT_EQ(SensorKey(), 1);
  h_.sim().SetField("dustBagDet", "1");
  ASSERT_TRUE(WaitUntil([&] { return !Present(ABNORMAL_DUST_BAG_OUT) && SensorKey() == 0; }));
}

// An overdue bag is recorded on the transition only, not on every report; the cloud's
// release makes the next report record it again while the bag is still overdue.
TEST_F(SensorAutomationTest, OverdueDustBagIsRecordedOncePerRelease) {
  SetDustBagTime(NowSeconds() - 32 * 86400);
  ASSERT_TRUE(WaitUntil([&] { return Present(ABNORMAL_DUST_BAG_REPLACE); }));
  Fresh(5);
  EXPECT_EQ(Logs().Count("Abnormal task : 16 recorded"), 1);

  StationSrvReq reply;
  reply.cmd = SRV_CMD_CLOUD_REPLY;
  reply.report_rsp.mutable_consumables_reply_state()->set_dust_bag(0);
  h_.center().HandleService(reply);
  ASSERT_TRUE(WaitUntil([&] { return Logs().Count("Abnormal task : 16 recorded") == 2; }));
  EXPECT_TRUE(Present(ABNORMAL_DUST_BAG_REPLACE));
  Fresh(3);
  EXPECT_EQ(Logs().Count("Abnormal task : 16 recorded"), 2);
}

TEST_F(SensorAutomationTest, TemperatureLimitsAtAndAbove) {
  struct Case {
    const char* field;
    const char* at_limit;
    const char* above;
    int type;
  } cases[] = {
      {"electrodePlateTemp1", "78", "79", ABNORMAL_PLATE_UP_TEMP},
      {"electrodePlateTemp2", "78", "79", ABNORMAL_PLATE_DOWN_TEMP},
      {"heatingWireTemp", "150.9", "151", ABNORMAL_HEAT_WIRE_TEMP},  // truncated to 150
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(h_.sim().Pin(c.field, c.at_limit));
    Fresh(2);
    EXPECT_FALSE(Present(c.type)) << c.field << " " << c.at_limit;
    ASSERT_TRUE(h_.sim().Pin(c.field, c.above));
    EXPECT_TRUE(WaitUntil([&] { return Present(c.type) && SensorKey() == 1; })) << c.field;
    ASSERT_TRUE(h_.sim().Pin(c.field, c.at_limit));
    EXPECT_TRUE(WaitUntil([&] { return !Present(c.type) && SensorKey() == 0; })) << c.field;
    h_.sim().Unpin(c.field);
  }
}

TEST_F(SensorAutomationTest, PlugStartsManualCharge) {
  h_.sim().Plug(true);
  ASSERT_TRUE(WaitUntil([&] { return h_.Running(TASK_TYPE_MANUAL_CHARGE); }));
  EXPECT_TRUE(Logs().Has("ReceiveTaskUnlock, hand charge task result : 0"));
  h_.sim().Plug(false);
  EXPECT_TRUE(WaitUntil([&] { return !h_.Running(TASK_TYPE_MANUAL_CHARGE); }));
}

TEST_F(SensorAutomationTest, SewagePumpRunsWhileSewageIsSeen) {
  h_.sim().ClearReceivedCommands();
  auto pump = [&] { return h_.WithData([](StationTaskData& d) { return d.sewage_pump_working; }); };
  // sewageFull must exceed the threshold (1200); at it there is no sewage.
  ASSERT_TRUE(h_.sim().Pin("sewageDet", "0"));
  ASSERT_TRUE(h_.sim().Pin("sewageFull", "1200"));
  Fresh(2);
  EXPECT_FALSE(pump());
  ASSERT_TRUE(h_.sim().Pin("sewageFull", "1201"));
  ASSERT_TRUE(WaitUntil(pump));
  h_.sim().Unpin("all");
  // The model's sewage box is empty: the pump closes once the run-on time (0 s here) passed.
  ASSERT_TRUE(WaitUntil([&] { return !pump(); }));
  const auto actions = h_.Actions(station::ENUM_SUPPLY_SEWAGE_PUMP);
  ASSERT_EQ(actions.size(), 2u);
  EXPECT_EQ(actions[0].second, 82);  // sewage_pump_power_standard of the harness
  EXPECT_EQ(actions[1].second, 0);
}

TEST_F(SensorAutomationTest, SorterCountsKeyPressesFromTheInputDevice) {
  const std::string device = RootedPath("/dev/input/event8");
  std::filesystem::create_directories(std::filesystem::path(device).parent_path());
  ASSERT_EQ(::mkfifo(device.c_str(), 0600), 0);
  h_.WithData([](StationTaskData& d) { return d.sorter_count_ = 0; });
  std::thread sorter([&] { h_.center().SocSensorDataDetect(); });
  const int fd = ::open(device.c_str(), O_WRONLY);  // waits for the reader
  ASSERT_GE(fd, 0);
  auto send = [fd](uint16_t code, int32_t value) {
    unsigned char event[24] = {};
    const uint16_t type = 1;
    std::memcpy(event + 16, &type, 2);
    std::memcpy(event + 18, &code, 2);
    std::memcpy(event + 20, &value, 4);
    ASSERT_EQ(::write(fd, event, sizeof(event)), 24);
  };
  send(202, 1);  // press
  send(202, 0);  // release
  send(202, 2);  // repeat
  send(0, 0);    // synchronisation: only a debug line
  send(5, 1);    // another key
  send(202, 1);
  ::close(fd);  // end of file ends the reader
  sorter.join();
  EXPECT_EQ(h_.WithData([](StationTaskData& d) { return d.sorter_count_; }), 2);
  EXPECT_TRUE(Logs().Has("sorter_count_= 2\n"));
  EXPECT_TRUE(Logs().Has("err code of event8-sorter_counter, code = 5\n"));
}

}  // namespace
}  // namespace station_center
