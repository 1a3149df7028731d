#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "core/station_harness.h"
#include "task/scripted_task.h"

namespace station_center {
namespace {

using namespace station_test;  // NOLINT: the harness's outputs, actions and helpers

// How often each hook of a task ran: resets, cancels, after over, after error, after cancel.
using Hooks = std::array<int, 5>;

enum class End { kOver, kError, kCancelledByRequest };

// The lamps; then a scripted task of `type` that ends as `end` with the robot docked or away:
// what the board then saw and which hooks ran.
TEST(StationLifecycleTest, LampsChangeOnceShownAndTaskEndsRunTheirHooksAndResetOnlyWithTheRobotAway) {
  constexpr TaskType kCollect = TASK_TYPE_DUST_COLLECT;
  constexpr bool kDocked = true, kAway = false;
  const struct {
    const char* what;
    TaskType type;
    bool docked;
    End end;
    Actions board;
    Hooks hooks;
  } rows[] = {
      {"over", kCollect, kDocked, End::kOver, {{kDust, 1}}, {0, 0, 1, 0, 0}},
      {"error", kCollect, kDocked, End::kError, {{kDust, 1}, {kDust, 0}}, {1, 0, 0, 1, 0}},  // off through DoReset
      // Cancelled by request, then once more by the driver, which must be harmless.
      {"cancel", kCollect, kDocked, End::kCancelledByRequest, {{kDust, 1}, {kDust, 0}, {kDust, 0}}, {0, 2, 0, 0, 1}},
      {"robot away", kCollect, kAway, End::kOver, {{kDust, 1}, {kBoardReset, 1}}, {0, 0, 1, 0, 0}},
      // Prepared water and a manual charge leave the station as it is.
      {"preparation", TASK_TYPE_DISINFECTANT_PREPARE, kAway, End::kOver, {}, {0, 0, 1, 0, 0}},
      {"manual charge", TASK_TYPE_MANUAL_CHARGE, kAway, End::kOver, {}, {0, 0, 1, 0, 0}},
  };
  StationHarness h(0, R"({"docking_success_led": 1, "led_normal_work": 2})");
  ASSERT_TRUE(h.Start());
  // The lamps first, on the fresh station: changes only, one-shots once shown, and to a silent
  // board only after a pause.
  h.sim().ClearReceivedCommands();
  const auto refused_then_twice = [&h] {
    h.sim().RefuseLed(true);
    h.center().ReflushLed();
    h.sim().RefuseLed(false);
    h.center().ReflushLed();
    h.center().ReflushLed();
  };
  refused_then_twice();
  ASSERT_EQ(h.Ask(SRV_CMD_ROBOT_POSITION), SRV_CODE_ROBOT_IN_POSITION);
  refused_then_twice();
  // Each pattern refused, sent again, then nothing new: the docking success survives a refusal, then shows once.
  EXPECT_EQ(h.Leds(), (std::vector<int>{1, 1, 10, 10, 1}));

  // A board that does not answer at all is asked for the docking success again only after a
  // pause; meanwhile the refresh sends nothing and costs nothing.
  h.sim().SetDropAcks(true);
  h.sim().ClearReceivedCommands();
  ASSERT_EQ(h.Ask(SRV_CMD_ROBOT_POSITION), SRV_CODE_ROBOT_IN_POSITION);
  const auto asked = [&h] { return h.Leds().size(); };
  for (int i = 0; i < 3; ++i) {
    h.center().ReflushLed();
  }
  EXPECT_EQ(asked(), 1u) << "asked once, then left alone while silent";
  h.AdvanceClock(11);
  h.center().ReflushLed();
  EXPECT_EQ(asked(), 2u) << "asked again after the pause";
  h.sim().SetDropAcks(false);
  h.center().ReflushLed();
  EXPECT_EQ(asked(), 2u) << "still within the new pause";
  h.AdvanceClock(11);
  h.center().ReflushLed();
  EXPECT_EQ(h.Leds(), (std::vector<int>{10, 10, 10})) << "shown once the board answers";
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_TRUE(h.SetDocked(row.docked));
    auto s = h.Script(row.type);
    s->supply_type = row.type == kCollect ? kDust : 0;
    s->end_in_error = row.end == End::kError;
    s->end_after_passes = row.end == End::kCancelledByRequest ? -1 : 3;
    ASSERT_NE(h.StartTask(row.type, kStd), nullptr);
    if (row.end == End::kCancelledByRequest) {
      ASSERT_TRUE(WaitUntil([&] { return s->passes.load() > 0; }));
      EXPECT_EQ(h.Submit(row.type, vantorel_base_station_mqtt::ENUM_ACTION_STOP).code, SRV_CODE_SUCCESS);
    }
    ASSERT_TRUE(WaitUntil([&] { return s->after_over + s->after_error + s->after_cancel > 0; }));
    ASSERT_TRUE(h.Settled());
    EXPECT_EQ(h.Actions(), row.board);
    EXPECT_EQ((Hooks{s->resets, s->cancels, s->after_over, s->after_error, s->after_cancel}), row.hooks);
  }
}

TEST(StationLifecycleTest, ResetsAtStartUpLinkLossLeaveOrIdleOnceTheWorkIsGone) {
  StationHarness h(1500);
  ASSERT_TRUE(h.Start());  // waits for status 0
  EXPECT_EQ(h.Actions(), (Actions{{kBoardReset, 1}, {kDrain, 1}, {kDrain, 0}}));
  EXPECT_LE(h.sim().tank_volume(), 20) << "the start-up reset drained the tank";

  auto water = h.Script(TASK_TYPE_ADD_WATER);
  auto charge = h.Script(TASK_TYPE_MANUAL_CHARGE);
  ASSERT_NE(h.StartTask(TASK_TYPE_ADD_WATER, kStd), nullptr);
  ASSERT_NE(h.StartTask(TASK_TYPE_MANUAL_CHARGE, kNoAction), nullptr);
  EXPECT_EQ(h.Ask(SRV_CMD_CONNECTION_LOST), SRV_CODE_SUCCESS);
  EXPECT_EQ(h.center().station_status(), STATION_STATUS_RESET) << "at once";
  ASSERT_TRUE(WaitUntil([&] { return water->after_cancel.load() == 1; })) << "work stops at its next pass";
  // The manual charge goes on (a pass every 50 ms), and the waiter keeps waiting past its first checks (one a second).
  const int passes = charge->passes.load();
  ASSERT_TRUE(WaitUntil([&] { return charge->passes.load() > passes + 30; }));
  EXPECT_EQ(h.Actions(kBoardReset).size(), 0u) << "no reset while the manual charge runs";
  charge->end_after_passes = 0;
  ASSERT_TRUE(h.Settled());
  EXPECT_EQ(h.Actions(), (Actions{{kBoardReset, 1}})) << "one reset; an empty tank needs no drain";

  // A slow board keeps the reset task in the table long enough to ask again.
  h.sim().SetAckDelayMs(400);
  EXPECT_EQ(h.Ask(SRV_CMD_ROBOT_LEAVE), SRV_CODE_SUCCESS);
  EXPECT_EQ(h.Ask(SRV_CMD_ROBOT_LEAVE), SRV_CODE_STATION_RESET) << "already waiting to reset";
  ASSERT_TRUE(WaitUntil([&] { return h.Running(TASK_TYPE_RESET_STATION); }));
  EXPECT_EQ(h.Ask(SRV_CMD_ROBOT_LEAVE), SRV_CODE_BUSY) << "the reset task runs";
  h.sim().SetAckDelayMs(0);
  ASSERT_TRUE(h.Settled());
  EXPECT_EQ(h.Actions(kBoardReset).size(), 2u) << "one waiter, one reset";

  // The idle reset fires once, an idle time after the work period's last activity.
  const int64_t idle = 100000;  // the harness's auto_reset_time_space
  h.Script(TASK_TYPE_UV_LAMP)->end_after_passes = 1;
  ASSERT_NE(h.StartTask(TASK_TYPE_UV_LAMP, kStd), nullptr);  // starts the work period
  ASSERT_TRUE(h.Settled() && h.SetDocked(false));
  const auto idle_reset = [&h](int64_t seconds) {
    h.AdvanceClock(seconds);
    h.center().AutoReset();
    return h.center().station_status() == STATION_STATUS_RESET;
  };
  EXPECT_FALSE(idle_reset(idle - 100)) << "not idle long enough";
  // The poll restarts the idle clock: 200 s on is past the task's start but not the poll's.
  EXPECT_EQ(h.Ask(SRV_CMD_WATER_READY), SRV_CODE_NOT_STARTED);
  EXPECT_FALSE(idle_reset(200));
  ASSERT_TRUE(h.SetDocked(true));
  EXPECT_FALSE(idle_reset(idle)) << "the robot is in position";
  ASSERT_TRUE(h.SetDocked(false));
  EXPECT_TRUE(idle_reset(0));
  ASSERT_TRUE(h.Settled());
  EXPECT_FALSE(idle_reset(2 * idle)) << "the reset closed the work period";
  EXPECT_EQ(h.Actions(kBoardReset).size(), 1u) << "one idle reset";

  // A failed reset leaves the station in error, without DoReset, until a reset succeeds.
  h.sim().RefuseSupply(station::ENUM_SUPPLY_RESET_MCU, true);
  h.sim().ClearReceivedCommands();
  EXPECT_EQ(h.Ask(SRV_CMD_CONNECTION_LOST), SRV_CODE_SUCCESS);
  ASSERT_TRUE(h.Settled(STATION_STATUS_ERROR));
  EXPECT_EQ(h.Actions(), (Actions{{kBoardReset, 1}}));
  // With the robot away it is tried again an idle time after each failure, three times at most.
  for (int64_t seconds : {idle - 100, int64_t{200}, idle + 1, idle + 1, idle + 1}) {
    h.AdvanceClock(seconds);
    h.center().AutoReset();
    ASSERT_TRUE(h.Settled(STATION_STATUS_ERROR));
  }
  EXPECT_EQ(h.Actions(kBoardReset).size(), 4u) << "the failure and three retries, then the robot's next visit";
  h.sim().RefuseSupply(station::ENUM_SUPPLY_RESET_MCU, false);
  EXPECT_EQ(h.Submit(TASK_TYPE_RESET_STATION, kNoAction).code, SRV_CODE_SUCCESS);
  ASSERT_TRUE(h.Settled());
}

}  // namespace
}  // namespace station_center
