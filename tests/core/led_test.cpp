#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "core/station_harness.h"
#include "led_manager.h"

namespace station_center {
namespace {

using station_test::HarnessOptions;
using station_test::StationHarness;
using station_test::TempRoot;
using Arrange = std::function<void(StationTaskData&, station::SensorsDataRep&, TaskTable&)>;

const char kLedFile[] = "/usr/lib/vantorel-station-center/config/led.json";

// Every key ranked in the order of the pattern table, "always" last.
const char kTableOrder[] =
    R"({"led_normal_work": 100, "led_self_check_failed": 2, "led_self_check_success": 3, "led_in_charge": 4,
        "led_charge_complete": 5, "charge_error_led": 6, "deep_self_clean_led": 7, "station_error_led": 8,
        "in_supply_led": 9, "docking_success_led": 10, "docking_failed_led": 11, "disinfectant_prepare_led": 13,
        "in_dust_collect_led": 14, "station_reset": 15, "disinfectant_tables_err": 16, "tap_water_err": 17,
        "dust_bag_replace_err": 18, "sewage_over_flow": 20})";

// The walk ReflushLed makes, for a board that acknowledges everything.
int Choose(const LedManager& manager, StationTaskData& data, const station::SensorsDataRep& sensors = {},
           const TaskTable& tasks = {}) {
  for (const auto& strategy : manager.strategies()) {
    if (strategy->condition(data, sensors, tasks)) {
      strategy->action(data, sensors);
      return strategy->led_cmd;
    }
  }
  return station::LED_NOT_CHANGE;
}

TEST(LedManagerTest, RanksByConfiguredPriorityAndRefusesAMissingOrMalformedFile) {
  TempRoot root;
  EXPECT_FALSE(LedManager().ReadConfig()) << "no file";
  root.WriteFile(kLedFile, "[1, 2]");
  EXPECT_FALSE(LedManager().ReadConfig()) << "not an object";
  root.WriteFile(kLedFile, R"({"station_reset": 3, "tap_water_err": 1, "led_normal_work": "5", "in_supply_led": 2.5})");
  LedManager manager;
  ASSERT_TRUE(manager.ReadConfig());
  const auto& s = manager.strategies();
  ASSERT_EQ(s.size(), 18u);
  EXPECT_EQ(s[0]->led_cmd, station::SCREEN_TAP_WATER_ERR);
  EXPECT_EQ(s[1]->led_cmd, station::SCREEN_STATION_RESET);
  EXPECT_EQ(s[2]->priority, 1000) << "a string or a float is no priority";
}

TEST(LedManagerTest, EachPatternShowsForItsConditionAndOneShotFactsAreUsedUpByShowing) {
  TempRoot root;
  root.WriteFile(kLedFile, kTableOrder);
  LedManager manager;
  ASSERT_TRUE(manager.ReadConfig());
  station::SensorsDataRep passed;
  passed.set_initsensorsstate(true);
  passed.set_initactuatorsstate(true);
  passed.set_selfcheckstate(true);
  StationTaskData data;
  data.sensor_data_received = true;
  EXPECT_EQ(Choose(manager, data, passed), station::LED_SELF_CHECK_SUCCESS);
  EXPECT_EQ(Choose(manager, data, passed), station::LED_NORMAL_WORK) << "the self-check success shows once";
  data.robot_position = 1;
  EXPECT_EQ(Choose(manager, data, passed), station::LED_DOCKING_SUCCESS);
  EXPECT_EQ(Choose(manager, data, passed), station::LED_NORMAL_WORK) << "the docking success shows once";
  data.charging = 2;
  EXPECT_EQ(Choose(manager, data, passed), station::LED_CHARGE_COMPLETE);
  EXPECT_EQ(Choose(manager, data, passed), station::LED_CHARGE_COMPLETE) << "until something ranked above shows";
  EXPECT_EQ(Choose(manager, data), station::LED_SELF_CHECK_FAIL);
  EXPECT_EQ(data.charging, 0);

  const auto abnormal = [](int type) -> Arrange {
    return [type](StationTaskData& d, station::SensorsDataRep&, TaskTable&) { *d.abnormal_types.at(type) = false; };
  };
  const auto running = [](TaskType type) -> Arrange {
    return [type](StationTaskData&, station::SensorsDataRep&, TaskTable& t) { t[type] = nullptr; };
  };
  const auto charging = [](int state) -> Arrange {
    return [state](StationTaskData& d, station::SensorsDataRep&, TaskTable&) { d.charging = state; };
  };
  const std::vector<std::pair<Arrange, int>> rows = {
      {[](StationTaskData&, station::SensorsDataRep&, TaskTable&) {}, station::LED_NORMAL_WORK},
      {charging(1), station::LED_CHARGING},
      {charging(3), station::LED_CHARGE_FAIL},
      {running(TASK_TYPE_SEWAGE_DRAIN_PUMP), station::LED_DEEP_CLEAN},
      {running(TASK_TYPE_HEAT_WIRE), station::LED_DEEP_CLEAN},
      {abnormal(ABNORMAL_DUST_BOX_CAP), station::LED_ERROR_STATE},
      {abnormal(ABNORMAL_HEAT_WIRE_TEMP), station::LED_ERROR_STATE},
      {running(TASK_TYPE_ADD_WATER), station::LED_SUPPLYING},
      {[](StationTaskData& d, station::SensorsDataRep&, TaskTable&) { d.robot_position = 2; },
       station::LED_DOCKING_ERR},
      {running(TASK_TYPE_DISINFECTANT_PREPARE), station::SCREEN_PRE_WATER},
      {running(TASK_TYPE_DUST_COLLECT), station::SCREEN_COLLECT_DUST},
      {running(TASK_TYPE_RESET_STATION), station::SCREEN_STATION_RESET},
      {abnormal(ABNORMAL_DISINFECTANT_TABLETS), station::SCREEN_DISINFECTANT_ERR},
      {abnormal(ABNORMAL_TAP_WATER), station::SCREEN_TAP_WATER_ERR},
      {abnormal(ABNORMAL_DUST_BAG_REPLACE), station::SCREEN_DUST_BAG_REPLACE_ERR},
      {running(TASK_TYPE_UV_LAMP), station::LED_NORMAL_WORK},  // no pattern of its own
      {[](StationTaskData&, station::SensorsDataRep& s, TaskTable&) { s.set_issewageoverflow(true); },
       station::SCREEN_SEWAGE_OVER_FLOW},
  };
  for (const auto& [setup, expected] : rows) {
    SCOPED_TRACE(expected);
    StationTaskData row_data;
    row_data.sensor_data_received = true;
    station::SensorsDataRep sensors = passed;
    TaskTable tasks;
    setup(row_data, sensors, tasks);
    EXPECT_EQ(Choose(manager, row_data, sensors, tasks), expected);
  }

  auto center = std::make_shared<StationCenter>();
  SetStationCenter(center);
  {
    std::lock_guard<std::mutex> lock(center->task_mutex());
    center->SetStationCenterStatus(STATION_STATUS_ERROR);
  }
  StationTaskData plain;
  EXPECT_EQ(Choose(manager, plain), station::LED_ERROR_STATE) << "the station in error status";
  SetStationCenter(nullptr);
}

TEST(ReflushLedTest, SendsChangesOnlyAndRetriesWhatTheBoardRefused) {
  HarnessOptions options;
  options.led_json = R"({"docking_success_led": 1, "led_normal_work": 2})";
  StationHarness h(options);
  ASSERT_TRUE(h.Start());
  h.sim().ClearReceivedCommands();
  std::vector<int> leds;
  const auto refused_then_twice = [&h, &leds] {
    h.sim().RefuseLed(true);
    h.center().ReflushLed();
    h.sim().RefuseLed(false);
    h.center().ReflushLed();
    h.center().ReflushLed();
    leds.clear();
    for (const auto& req : h.sim().ReceivedCommands()) {
      if (req.has_change_led_()) {
        leds.push_back(req.change_led_().led_cmd_());
      }
    }
  };
  refused_then_twice();
  EXPECT_EQ(leds, (std::vector<int>{1, 1})) << "refused, sent again, then nothing new";
  EXPECT_EQ(h.sim().last_led(), station::LED_NORMAL_WORK);
  ASSERT_EQ(h.Ask(SRV_CMD_ROBOT_POSITION), SRV_CODE_ROBOT_IN_POSITION);
  refused_then_twice();
  EXPECT_EQ(leds, (std::vector<int>{1, 1, 10, 10, 1})) << "the docking success survives a refusal, then shows once";
}

}  // namespace
}  // namespace station_center
