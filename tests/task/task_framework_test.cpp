#include <gtest/gtest.h>

#include <tuple>

#include "task/task.h"

namespace station_center {
namespace {

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
  fresh.dust_bag_in_place_normal = fresh.dust_box_cap_normal = fresh.tap_water_normal = false;
  fresh.abnormal_tasks[TASK_TYPE_SENSOR] = fresh.abnormal_tasks[TASK_TYPE_ADD_WATER] = 1;
  fresh.AbnormalInfoRelease(ABNORMAL_DUST_BAG_OUT, TASK_TYPE_SENSOR);
  EXPECT_EQ(fresh.abnormal_tasks[TASK_TYPE_SENSOR], 1) << "the dust box cap is still open";
  fresh.dust_bag_replace_normal = false;
  fresh.AbnormalInfoRelease(ABNORMAL_DUST_BOX_CAP, TASK_TYPE_SENSOR);
  EXPECT_EQ(fresh.abnormal_tasks[TASK_TYPE_SENSOR], 1) << "the dust bag is due";
  fresh.AbnormalInfoRelease(ABNORMAL_DUST_BAG_REPLACE, TASK_TYPE_SENSOR);
  EXPECT_EQ(fresh.abnormal_tasks[TASK_TYPE_SENSOR], 0);
  fresh.AbnormalInfoRelease(ABNORMAL_TAP_WATER, TASK_TYPE_ADD_WATER);
  EXPECT_EQ(fresh.abnormal_tasks[TASK_TYPE_ADD_WATER], 0) << "a task key clears at once";
  EXPECT_TRUE(fresh.dust_bag_in_place_normal && fresh.tap_water_normal);
  fresh.dust_bag_replace_normal = false;
  fresh.ResetTaskData();
  EXPECT_EQ(fresh.abnormal_tasks[TASK_TYPE_SENSOR], 1) << "a reset keeps the due dust bag and its key";
}

}  // namespace
}  // namespace station_center
