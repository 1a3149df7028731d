#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "task/add_water_no_limit_task.h"
#include "task/dry_task.h"
#include "task/fake_services.h"
#include "task/log_capture.h"
#include "task/reset_station_task.h"
#include "task/uv_task.h"

namespace station_center {
namespace {

using station_test::Logs;
using Commands = std::vector<std::pair<int, int>>;  // (supply type, action) as sent

class PassOwnerTest : public ::testing::Test {
 protected:
  void SetUp() override { Logs().Clear(); }

  static station::SensorsDataRep Report(bool docked) {
    station::SensorsDataRep report;
    report.set_robotdockdetleft(docked);
    report.set_robotdockdetright(docked);
    report.set_electrodeplatedet(docked);
    return report;
  }

  std::shared_ptr<station_test::FakeServices> services_ = std::make_shared<station_test::FakeServices>();
};

TEST_F(PassOwnerTest, ActionTaskRunsOnlyOnceItsStartWasAcknowledgedAndStartsOnce) {
  const int kFan = station::ENUM_SUPPLY_HEATING_FAN;
  DryTask dry(services_, TASK_TYPE_DRY, 0);
  services_->refused = {kFan};
  EXPECT_FALSE(dry.DoTaskInside(Report(true)));
  EXPECT_EQ(dry.status(), TASK_STATUS_INIT) << "a refused start never counts as running";
  EXPECT_TRUE(Logs().Has("ErrorCode: 101900041, open heat fan failed"));
  EXPECT_FALSE(services_->data.heat_fan_open);

  services_->refused.clear();
  EXPECT_TRUE(dry.DoTaskInside(Report(true)));
  EXPECT_TRUE(dry.DoTaskInside(Report(true)));
  EXPECT_EQ(dry.status(), TASK_STATUS_RUNNING);
  EXPECT_TRUE(services_->data.heat_fan_open);
  EXPECT_EQ(services_->commands, (Commands{{kFan, 1}, {kFan, 1}})) << "one start per attempt, none per pass";

  // The type's row says its limit is the request's: an update restarts it from now.
  StationSrvReq update;
  update.supply_material_req.mutable_cmd()->set_duration(5);
  services_->time.Advance(100);
  EXPECT_TRUE(dry.UpdateTaskInfoUnlock(update));
  services_->time.Advance(3);
  EXPECT_TRUE(dry.DoTaskInside(Report(true)));
  services_->time.Advance(3);
  EXPECT_FALSE(dry.DoTaskInside(Report(true)));
  EXPECT_TRUE(Logs().Has("exec timeout"));
}

TEST_F(PassOwnerTest, UvLampChecksTheRobotBeforeItsTimeLimit) {
  const int kLamp = station::ENUM_SUPPLY_UV_LAMP;
  for (const bool docked : {false, true}) {
    SCOPED_TRACE(docked ? "limit reached with the robot docked" : "limit reached as the robot left");
    Logs().Clear();
    services_->commands.clear();
    UVTask uv(services_, TASK_TYPE_UV_LAMP, 5);
    ASSERT_TRUE(uv.DoTaskInside(Report(true)));
    services_->time.Advance(6);
    EXPECT_TRUE(uv.DoTaskInside(Report(docked)));
    EXPECT_EQ(uv.status(), docked ? TASK_STATUS_OVER : TASK_STATUS_ERROR);
    EXPECT_EQ(Logs().Has("exec timeout"), docked);
    EXPECT_EQ(Logs().Has("robot left the station, switch off UV-Lamp"), !docked);
    EXPECT_EQ(services_->commands, (Commands{{kLamp, 1}, {kLamp, 0}}));
    // Finished: the guard answers without touching the board.
    EXPECT_TRUE(uv.DoTaskInside(Report(docked)));
    EXPECT_EQ(services_->commands.size(), 2u);
  }
}

TEST_F(PassOwnerTest, StepTaskStartsAtStepOneOnceAndItsLimitHookEndsThePass) {
  services_->data.work_started = true;
  ResetStationTask reset(services_, TASK_TYPE_RESET_STATION, 0);
  services_->refused = {station::ENUM_SUPPLY_RESET_MCU};
  EXPECT_FALSE(reset.DoTaskInside(Report(false)));
  EXPECT_FALSE(services_->data.work_started) << "the reset's own start";
  EXPECT_EQ(reset.status(), TASK_STATUS_ERROR);
  EXPECT_TRUE(Logs().Has("Reset embedded board failed"));
  StationSrvReq update;
  update.supply_material_req.mutable_cmd()->set_duration(5);
  reset.UpdateTaskInfoUnlock(update);
  EXPECT_EQ(reset.max_seconds(), 0) << "a reset has no limit to update";

  AddWaterNoLimitTask water(services_, TASK_TYPE_ADD_WATER_NO_LIMIT, 5);
  services_->refused.clear();
  services_->commands.clear();
  EXPECT_TRUE(water.DoTaskInside(Report(true)));
  EXPECT_EQ(services_->commands, (Commands{{station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, 1}}));
  services_->time.Advance(6);
  EXPECT_FALSE(water.DoTaskInside(Report(true)));
  EXPECT_TRUE(Logs().Has("add water no limit exec timeout"));
  EXPECT_EQ(services_->commands.size(), 1u) << "the step after the limit did not run";
}

}  // namespace
}  // namespace station_center
