#include <gtest/gtest.h>

#include <tuple>
#include <utility>
#include <vector>

#include "task/add_water_no_limit_task.h"
#include "task/dry_task.h"
#include "task/fake_services.h"
#include "task/uv_task.h"

namespace station_center {
namespace {

using Commands = std::vector<std::pair<int, int>>;  // (supply type, action) as sent

class PassOwnerTest : public ::testing::Test {
 protected:
  static station::SensorsDataRep Report(bool docked) {
    station::SensorsDataRep report;
    report.set_robotdockdetleft(docked);
    report.set_robotdockdetright(docked);
    report.set_electrodeplatedet(docked);
    return report;
  }

  std::shared_ptr<station_test::FakeServices> services_ = std::make_shared<station_test::FakeServices>();
};

// A task's time limit against what else a pass does.
TEST_F(PassOwnerTest, AnUpdateRestartsTheLimitTheRobotCheckComesFirstAndAStepAfterItNeverRuns) {
  // The type's row says its limit is the request's: an update restarts it from now.
  DryTask dry(services_, TASK_TYPE_DRY, 0);
  ASSERT_TRUE(dry.DoTaskInside(Report(true)));
  StationSrvReq update;
  update.supply_material_req.mutable_cmd()->set_duration(5);
  services_->time.Advance(100);
  EXPECT_TRUE(dry.UpdateTaskInfoUnlock(update));
  services_->time.Advance(3);
  EXPECT_TRUE(dry.DoTaskInside(Report(true)));
  services_->time.Advance(3);
  EXPECT_FALSE(dry.DoTaskInside(Report(true))) << "5 s after the update";

  // The limit reached in the pass that finds the robot gone: the robot check comes first.
  const int kLamp = station::ENUM_SUPPLY_UV_LAMP;
  services_->commands.clear();
  UVTask uv(services_, TASK_TYPE_UV_LAMP, 5);
  ASSERT_TRUE(uv.DoTaskInside(Report(true)));
  services_->time.Advance(6);
  EXPECT_TRUE(uv.DoTaskInside(Report(false)));
  EXPECT_EQ(uv.status(), TASK_STATUS_ERROR) << "not over, as the limit alone would end it";
  EXPECT_EQ(services_->commands, (Commands{{kLamp, 1}, {kLamp, 0}}));
  // Finished: the guard answers without touching the board.
  EXPECT_TRUE(uv.DoTaskInside(Report(false)));
  EXPECT_EQ(services_->commands.size(), 2u);

  // A step task's limit hook ends the pass before its step.
  services_->commands.clear();
  AddWaterNoLimitTask water(services_, TASK_TYPE_ADD_WATER_NO_LIMIT, 5);
  EXPECT_TRUE(water.DoTaskInside(Report(true)));
  EXPECT_EQ(services_->commands, (Commands{{station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, 1}}));
  services_->time.Advance(6);
  EXPECT_FALSE(water.DoTaskInside(Report(true)));
  EXPECT_EQ(services_->commands.size(), 1u) << "the step after the limit did not run";
}

TEST(StationTaskDataTest, CopyIsDeepResetKeepsConsumablesSensorKeyWaitsForAll) {
  StationTaskData fresh;
  StationTaskData copy = fresh;
  *copy.abnormal_types.at(ABNORMAL_TAP_WATER) = false;
  EXPECT_TRUE(fresh.tap_water_normal) << "writing through the copy's table must not reach the original";
  StationTaskData assigned;
  assigned = copy;
  *assigned.abnormal_types.at(ABNORMAL_DUST_BAG_OUT) = false;
  EXPECT_TRUE(copy.dust_bag_in_place_normal);
  EXPECT_FALSE(assigned.tap_water_normal || assigned.dust_bag_in_place_normal);

  StationTaskData data;
  data.work_started = data.disinfectant_water_ready = data.sewage_pump_working = data.manual_charge_state = true;
  data.water_volume = data.tank_water_volume = 500;
  data.charging = data.robot_position = 1;
  for (auto& entry : data.abnormal_types) {
    *entry.second = false;
  }
  data.abnormal_tasks[TASK_TYPE_ADD_WATER] = data.abnormal_tasks[TASK_TYPE_SENSOR] = 1;
  data.ResetTaskData();
  EXPECT_FALSE(data.work_started || data.disinfectant_water_ready || data.abnormal_tasks[TASK_TYPE_ADD_WATER]);
  EXPECT_EQ(data.abnormal_tasks[TASK_TYPE_SENSOR], 1) << "its kept conditions keep the sensor key";
  EXPECT_EQ(std::make_tuple(data.water_volume, data.tank_water_volume, data.charging, data.robot_position),
            std::make_tuple(-1, -1, 0, 0));
  EXPECT_TRUE(data.sewage_pump_working && data.manual_charge_state) << "the sensor handler's facts";
  for (int type = 0; type < ABNORMAL_TYPE_COUNT; ++type) {
    // Consumables, the emergency stop and the lost sensor link stay until confirmed or released.
    const bool kept = type == ABNORMAL_TAP_WATER || type == ABNORMAL_DISINFECTANT_TABLETS ||
                      type == ABNORMAL_DUST_BAG_REPLACE || type == ABNORMAL_EMERGENCY_STOP ||
                      type == ABNORMAL_SENSOR_LINK_LOST;
    EXPECT_EQ(data.AbnormalPresent(type), kept) << "abnormal type " << type;
  }

  // The sensor key stays abnormal while another sensor condition remains.
  fresh.dust_bag_in_place_normal = fresh.dust_box_cap_normal = false;
  fresh.abnormal_tasks[TASK_TYPE_SENSOR] = 1;
  fresh.AbnormalInfoRelease(ABNORMAL_DUST_BAG_OUT, TASK_TYPE_SENSOR);
  EXPECT_EQ(fresh.abnormal_tasks[TASK_TYPE_SENSOR], 1) << "the dust box cap is still open";
  fresh.dust_bag_replace_normal = false;
  fresh.AbnormalInfoRelease(ABNORMAL_DUST_BOX_CAP, TASK_TYPE_SENSOR);
  EXPECT_EQ(fresh.abnormal_tasks[TASK_TYPE_SENSOR], 1) << "the dust bag is due";
  fresh.AbnormalInfoRelease(ABNORMAL_DUST_BAG_REPLACE, TASK_TYPE_SENSOR);
  EXPECT_EQ(fresh.abnormal_tasks[TASK_TYPE_SENSOR], 0);
  EXPECT_TRUE(fresh.dust_bag_in_place_normal);
  fresh.dust_bag_replace_normal = false;
  fresh.ResetTaskData();
  EXPECT_EQ(fresh.abnormal_tasks[TASK_TYPE_SENSOR], 1) << "a reset keeps the due dust bag and its key";
}

}  // namespace
}  // namespace station_center
