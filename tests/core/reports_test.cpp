// What the station records for its reports across resets, against the simulated board.

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "config.h"
#include "core/station_harness.h"

namespace station_center {
namespace {

using station_test::StationHarness;
using station_test::WaitUntil;

// Replaces the station's status file, which the sensor handler reads at every report.
void WriteStatus(const std::string& json) {
  std::ofstream(RootedPath("/usr/lib/vantorel-station-center/status/status.json"), std::ios::trunc) << json;
}

class ReportsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(h_.Start()); }

  bool Present(int type) {
    return h_.WithData([type](StationTaskData& d) { return d.AbnormalPresent(type); });
  }
  int SensorKey() {
    return h_.WithData([](StationTaskData& d) { return d.abnormal_tasks.at(TASK_TYPE_SENSOR); });
  }
  // The robot leaves and the station resets; true once it is normal again with nothing running.
  bool LeaveAndReset() {
    const size_t resets = h_.Actions(station::ENUM_SUPPLY_RESET_MCU).size();
    return h_.SetDocked(false) && h_.Ask(SRV_CMD_ROBOT_LEAVE) == SRV_CODE_SUCCESS && WaitUntil([&] {
             return h_.Actions(station::ENUM_SUPPLY_RESET_MCU).size() > resets &&
                    h_.center().station_status() == STATION_STATUS_NORMAL && h_.Idle();
           });
  }
  // A report that arrived after this call has been handled.
  bool NextReport() {
    return h_.Handled([](const station::SensorsDataRep&) { return true; });
  }

  StationHarness h_;
};

TEST_F(ReportsTest, ConditionsStillPresentAfterAResetAreRecordedAgain) {
  // A hot upper plate, and a dust box cap off past its debounce time.
  ASSERT_TRUE(h_.sim().Pin("electrodePlateTemp1", "90"));
  ASSERT_TRUE(h_.sim().Pin("dustBoxCapDet", "0"));
  // The cap's debounce starts at the first report without it; the clock moves after.
  ASSERT_TRUE(h_.Handled([](const station::SensorsDataRep& s) { return s.dustboxcapdet() == 0; }));
  h_.AdvanceClock(91);
  ASSERT_TRUE(WaitUntil([&] { return Present(ABNORMAL_PLATE_UP_TEMP) && Present(ABNORMAL_DUST_BOX_CAP); }));

  ASSERT_TRUE(LeaveAndReset());
  ASSERT_TRUE(NextReport());
  EXPECT_TRUE(Present(ABNORMAL_PLATE_UP_TEMP)) << "the plate is still hot";
  EXPECT_TRUE(Present(ABNORMAL_DUST_BOX_CAP)) << "the cap is still off";
  EXPECT_EQ(SensorKey(), 1);

  // Gone after the reset: released as before.
  ASSERT_TRUE(h_.sim().Pin("electrodePlateTemp1", "30"));
  ASSERT_TRUE(h_.sim().Pin("dustBoxCapDet", "1"));
  ASSERT_TRUE(WaitUntil([&] { return !Present(ABNORMAL_PLATE_UP_TEMP) && !Present(ABNORMAL_DUST_BOX_CAP); }));
  EXPECT_EQ(SensorKey(), 0);
}

TEST_F(ReportsTest, OverdueDustBagKeepsTheSensorKeyThroughReleasesAndResets) {
  const int64_t overdue = h_.center().clock().WallSeconds() - (g_config.dust_bag_replace_cycle + 1) * 86400LL;
  WriteStatus(R"({"dust_bag_last_replace_time": )" + std::to_string(overdue) + "}");
  ASSERT_TRUE(WaitUntil([&] { return Present(ABNORMAL_DUST_BAG_REPLACE); }));
  EXPECT_EQ(SensorKey(), 1);

  // Another sensor condition comes and goes.
  ASSERT_TRUE(h_.sim().Pin("electrodePlateTemp2", "90"));
  ASSERT_TRUE(WaitUntil([&] { return Present(ABNORMAL_PLATE_DOWN_TEMP); }));
  ASSERT_TRUE(h_.sim().Pin("electrodePlateTemp2", "30"));
  ASSERT_TRUE(WaitUntil([&] { return !Present(ABNORMAL_PLATE_DOWN_TEMP); }));
  EXPECT_EQ(SensorKey(), 1) << "the dust bag is still due";

  ASSERT_TRUE(LeaveAndReset());
  EXPECT_TRUE(Present(ABNORMAL_DUST_BAG_REPLACE)) << "kept until the cloud confirms the replacement";
  EXPECT_EQ(SensorKey(), 1);
  ASSERT_TRUE(NextReport());
  EXPECT_EQ(SensorKey(), 1);

  // The cloud's confirmation clears both.
  StationSrvReq reply;
  reply.report_rsp.mutable_consumables_reply_state()->set_dust_bag(0);
  WriteStatus(R"({"dust_bag_last_replace_time": )" + std::to_string(h_.center().clock().WallSeconds()) + "}");
  EXPECT_EQ(h_.Ask(SRV_CMD_CLOUD_REPLY, reply), SRV_CODE_SUCCESS);
  EXPECT_FALSE(Present(ABNORMAL_DUST_BAG_REPLACE));
  EXPECT_EQ(SensorKey(), 0);
}

TEST_F(ReportsTest, ASetWallClockNeitherAgesTheDustBagNorLeavesItsDateInTheFuture) {
  const int64_t day = 86400;
  WriteStatus(R"({"dust_bag_last_replace_time": )" + std::to_string(h_.center().clock().WallSeconds() - day) + "}");
  ASSERT_TRUE(NextReport());
  for (const int64_t step : {365 * day, -2 * 365 * day}) {
    h_.StepWall(step);
    ASSERT_TRUE(NextReport());
    ASSERT_TRUE(NextReport());
    EXPECT_FALSE(Present(ABNORMAL_DUST_BAG_REPLACE)) << step;
    EXPECT_NEAR(ReadDustBagReplyTime(h_.center().clock().WallSeconds(), 0), day, 10) << "moved along by " << step;
  }
}

}  // namespace
}  // namespace station_center
