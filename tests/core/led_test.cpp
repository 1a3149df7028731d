#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/station_harness.h"
#include "led_manager.h"

namespace station_center {
namespace {

using station_test::HarnessOptions;
using station_test::StationHarness;
using station_test::TempRoot;

const char kLedFile[] = "/usr/lib/vantorel-station-center/config/led.json";

// Every key ranked in the order of the pattern table, "always" last.
const char kTableOrder[] =
    R"({"led_normal_work": 100, "led_self_check_failed": 2, "led_self_check_success": 3, "led_in_charge": 4,
        "led_charge_complete": 5, "charge_error_led": 6, "deep_self_clean_led": 7, "station_error_led": 8,
        "in_supply_led": 9, "docking_success_led": 10, "docking_failed_led": 11, "disinfectant_prepare_led": 13,
        "in_dust_collect_led": 14, "station_reset": 15, "disinfectant_tables_err": 16, "tap_water_err": 17,
        "dust_bag_replace_err": 18, "sewage_over_flow": 20})";

// The walk ReflushLed makes, for a board that acknowledges everything.
int Choose(const LedManager& manager, StationTaskData& data, const station::SensorsDataRep& sensors,
           const TaskTable& tasks) {
  for (const auto& strategy : manager.strategies()) {
    if (strategy->condition(data, sensors, tasks)) {
      strategy->action(data, sensors);
      return strategy->led_cmd;
    }
  }
  return station::LED_NOT_CHANGE;
}

station::SensorsDataRep SelfCheckPassed() {
  station::SensorsDataRep sensors;
  sensors.set_initsensorsstate(true);
  sensors.set_initactuatorsstate(true);
  sensors.set_selfcheckstate(true);
  return sensors;
}

TEST(LedManagerTest, RefusesMissingOrMalformedConfiguration) {
  for (const char* content : {static_cast<const char*>(nullptr), "[1, 2]", "{\"led_normal_work\": ", "7"}) {
    SCOPED_TRACE(content ? content : "no file");
    TempRoot root;
    if (content != nullptr) {
      root.WriteFile(kLedFile, content);
    }
    LedManager manager;
    EXPECT_FALSE(manager.ReadConfig());
  }
}

TEST(LedManagerTest, RanksByConfiguredPriorityWithDefaultForBadValues) {
  TempRoot root;
  root.WriteFile(kLedFile, R"({"station_reset": 3, "tap_water_err": 1, "led_normal_work": "5", "in_supply_led": 2.5})");
  LedManager manager;
  ASSERT_TRUE(manager.ReadConfig());
  const auto& s = manager.strategies();
  ASSERT_EQ(s.size(), 18u);
  EXPECT_EQ(s[0]->led_cmd, station::SCREEN_TAP_WATER_ERR);
  EXPECT_EQ(s[1]->led_cmd, station::SCREEN_STATION_RESET);
  for (size_t i = 2; i < s.size(); ++i) {
    // A string or a float is no priority.
    EXPECT_EQ(s[i]->priority, 1000) << s[i]->led_cmd;
  }
}

TEST(LedManagerTest, EachPatternShowsForItsCondition) {
  struct Row {
    const char* name;
    std::function<void(StationTaskData&, station::SensorsDataRep&, TaskTable&)> setup;
    int expected;
  };
  const auto abnormal = [](int type) {
    return [type](StationTaskData& d, station::SensorsDataRep&, TaskTable&) { *d.abnormal_types.at(type) = false; };
  };
  const auto running = [](TaskType type) {
    return [type](StationTaskData&, station::SensorsDataRep&, TaskTable& t) { t[type] = nullptr; };
  };
  const auto charging = [](int state) {
    return [state](StationTaskData& d, station::SensorsDataRep&, TaskTable&) { d.charging = state; };
  };
  const auto position = [](int state) {
    return [state](StationTaskData& d, station::SensorsDataRep&, TaskTable&) { d.robot_position = state; };
  };
  const Row rows[] = {
      {"nothing to say", [](StationTaskData&, station::SensorsDataRep&, TaskTable&) {}, station::LED_NORMAL_WORK},
      {"self check failed",
       [](StationTaskData&, station::SensorsDataRep& s, TaskTable&) { s.set_initactuatorsstate(false); },
       station::LED_SELF_CHECK_FAIL},
      {"charging", charging(1), station::LED_CHARGING},
      {"charge complete", charging(2), station::LED_CHARGE_COMPLETE},
      {"charge error", charging(3), station::LED_CHARGE_FAIL},
      {"sewage pump task", running(TASK_TYPE_SEWAGE_DRAIN_PUMP), station::LED_DEEP_CLEAN},
      {"heat wire task", running(TASK_TYPE_HEAT_WIRE), station::LED_DEEP_CLEAN},
      {"dust box cap open", abnormal(ABNORMAL_DUST_BOX_CAP), station::LED_ERROR_STATE},
      {"heat wire too hot", abnormal(ABNORMAL_HEAT_WIRE_TEMP), station::LED_ERROR_STATE},
      {"adding water", running(TASK_TYPE_ADD_WATER), station::LED_SUPPLYING},
      {"docked", position(1), station::LED_DOCKING_SUCCESS},
      {"not docked", position(2), station::LED_DOCKING_ERR},
      {"preparing disinfectant", running(TASK_TYPE_DISINFECTANT_PREPARE), station::SCREEN_PRE_WATER},
      {"collecting dust", running(TASK_TYPE_DUST_COLLECT), station::SCREEN_COLLECT_DUST},
      {"resetting", running(TASK_TYPE_RESET_STATION), station::SCREEN_STATION_RESET},
      {"no tablets", abnormal(ABNORMAL_DISINFECTANT_TABLETS), station::SCREEN_DISINFECTANT_ERR},
      {"no tap water", abnormal(ABNORMAL_TAP_WATER), station::SCREEN_TAP_WATER_ERR},
      {"dust bag due", abnormal(ABNORMAL_DUST_BAG_REPLACE), station::SCREEN_DUST_BAG_REPLACE_ERR},
      // Types without a pattern of their own show nothing special.
      {"uv lamp", running(TASK_TYPE_UV_LAMP), station::LED_NORMAL_WORK},
      {"sewage overflow",
       [](StationTaskData&, station::SensorsDataRep& s, TaskTable&) { s.set_issewageoverflow(true); },
       station::SCREEN_SEWAGE_OVER_FLOW},
  };
  TempRoot root;
  root.WriteFile(kLedFile, kTableOrder);
  LedManager manager;
  ASSERT_TRUE(manager.ReadConfig());
  {
    // Use up the one-time self-check success first.
    StationTaskData data;
    data.sensor_data_received = true;
    ASSERT_EQ(Choose(manager, data, SelfCheckPassed(), {}), station::LED_SELF_CHECK_SUCCESS);
    EXPECT_EQ(Choose(manager, data, SelfCheckPassed(), {}), station::LED_NORMAL_WORK);
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    StationTaskData data;
    data.sensor_data_received = true;
    station::SensorsDataRep sensors = SelfCheckPassed();
    TaskTable tasks;
    row.setup(data, sensors, tasks);
    EXPECT_EQ(Choose(manager, data, sensors, tasks), row.expected);
  }
}

TEST(LedManagerTest, OneShotFactsAreClearedByTheShowingPattern) {
  TempRoot root;
  root.WriteFile(kLedFile, kTableOrder);
  LedManager manager;
  ASSERT_TRUE(manager.ReadConfig());
  StationTaskData data;  // no sensor report yet: no self-check pattern

  data.robot_position = 1;
  EXPECT_EQ(Choose(manager, data, {}, {}), station::LED_DOCKING_SUCCESS);
  EXPECT_EQ(Choose(manager, data, {}, {}), station::LED_NORMAL_WORK);

  // A completed charge stays shown until something ranked above it shows.
  data.charging = 2;
  EXPECT_EQ(Choose(manager, data, {}, {}), station::LED_CHARGE_COMPLETE);
  EXPECT_EQ(Choose(manager, data, {}, {}), station::LED_CHARGE_COMPLETE);
  data.charging = 2;
  data.sensor_data_received = true;  // self-check fields false: failed
  EXPECT_EQ(Choose(manager, data, {}, {}), station::LED_SELF_CHECK_FAIL);
  EXPECT_EQ(data.charging, 0);
}

TEST(LedManagerTest, StationErrorStatusShowsTheErrorPattern) {
  TempRoot root;
  root.WriteFile(kLedFile, kTableOrder);
  LedManager manager;
  ASSERT_TRUE(manager.ReadConfig());
  auto center = std::make_shared<StationCenter>();
  SetStationCenter(center);
  {
    std::lock_guard<std::mutex> lock(center->task_mutex());
    center->SetStationCenterStatus(STATION_STATUS_ERROR);
  }
  StationTaskData data;
  EXPECT_EQ(Choose(manager, data, {}, {}), station::LED_ERROR_STATE);
  SetStationCenter(nullptr);
}

TEST(ReflushLedTest, SendsChangesOnlyAndRetriesWhatTheBoardRefused) {
  HarnessOptions options;
  options.led_json = R"({"docking_success_led": 1, "led_normal_work": 2})";
  StationHarness h(options);
  ASSERT_TRUE(h.Start());
  h.sim().ClearReceivedCommands();

  h.sim().RefuseLed(true);
  h.center().ReflushLed();
  h.sim().RefuseLed(false);
  h.center().ReflushLed();
  h.center().ReflushLed();
  // Refused, sent again, then nothing new to send.
  EXPECT_EQ(h.Leds(), (std::vector<int>{1, 1}));
  EXPECT_EQ(h.sim().last_led(), station::LED_NORMAL_WORK);

  StationSrvReq check;
  check.cmd = SRV_CMD_ROBOT_POSITION;
  ASSERT_EQ(h.center().HandleService(check).code, SRV_CODE_ROBOT_IN_POSITION);
  h.sim().RefuseLed(true);
  h.center().ReflushLed();
  h.sim().RefuseLed(false);
  h.center().ReflushLed();
  h.center().ReflushLed();
  // The docking success survives a refused showing, then shows exactly once.
  EXPECT_EQ(h.Leds(), (std::vector<int>{1, 1, 10, 10, 1}));
  EXPECT_EQ(h.WithData([](StationTaskData& d) { return d.robot_position; }), 0);
}

}  // namespace
}  // namespace station_center
