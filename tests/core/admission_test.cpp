#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config.h"
#include "core/station_harness.h"
#include "task/scripted_task.h"

namespace station_center {
namespace {

using namespace station_test;  // NOLINT: the harness's actions and helpers; the task types below hide its outputs
namespace common = vantorel_base_station_common;

constexpr int kIllegal = kNoAction, kUnknownAction = 99;
constexpr TaskType kDisinfect = TASK_TYPE_DISINFECTANT_PREPARE, kDrain = TASK_TYPE_DRAIN_WATER,
                   kWater = TASK_TYPE_ADD_WATER, kDust = TASK_TYPE_DUST_COLLECT, kSpray = TASK_TYPE_WATER_SPRAY,
                   kSewage = TASK_TYPE_SEWAGE_DRAIN_PUMP, kDry = TASK_TYPE_DRY, kWire = TASK_TYPE_HEAT_WIRE,
                   kAuto = TASK_TYPE_AUTO_CHARGE, kManual = TASK_TYPE_MANUAL_CHARGE,
                   kNoLimit = TASK_TYPE_ADD_WATER_NO_LIMIT, kWash = TASK_TYPE_ULTRASONIC_WASH,
                   kReset = TASK_TYPE_RESET_STATION;

// Takes every action; nothing is behind it. Only the daemon's housekeeping refreshes the lamps.
class AcceptingBoard : public EmbeddedCommunicator {
 public:
  bool DoAction(const station::ActionCommand& /*cmd*/, bool /*urgent*/, const StillWanted& /*still*/) override {
    return true;
  }
};

// A station core without a board.
class AdmissionTest : public ::testing::Test, protected CoreAccess {
 protected:
  void SetUp() override {
    g_config.running_schedule_space = 20;
    NewCenter();
  }
  void TearDown() override {
    StopCore();
    board_ = nullptr;
    g_config = saved_config_;
  }
  void NewCenter() {
    StopCore();
    center_ = NewCore();
    SetStatus(STATION_STATUS_NORMAL);
  }
  // Hands the core a report of the robot in position, the dust bag and cap in place and water
  // for the wash, but for the fields in `more` (protobuf text format): tasks that feed the robot
  // water run only while it is there.
  void SeeDocked(const std::string& more = "") {
    station::SensorsDataRep report;
    ASSERT_TRUE(google::protobuf::TextFormat::MergeFromString(
        "robotDockDetLeft: 1 robotDockDetRight: 1 electrodePlateDet: 1 dustBagDet: 1 dustBoxCapDet: 1 "
        "ultrasonicWaterCheck: true " +
            more,
        &report));
    SetStatus(STATION_STATUS_RESET);  // no manual charge started by the report
    center_->DataUploadCallback(report);
    SetStatus(STATION_STATUS_NORMAL);
  }
  // Every task type played by a scripted task that runs until stopped.
  void ScriptEveryType() {
    for (int type = 1; type <= TASK_TYPE_RESET_STATION; ++type) {
      script_[type] = scripts_.Use(static_cast<TaskType>(type));
    }
  }

  const Config saved_config_ = g_config;
  TempRoot root_;
  std::shared_ptr<TaskScript> script_[TASK_TYPE_RESET_STATION + 1];
};

// A request to a core in `status` with the robot docked and a healthy station, but for the
// report fields in `sensors` (protobuf text format), what `data` changes and a task of type
// `running`; the answer.
struct Answer {
  const char* why;
  StationCenterStatus status;
  TaskType type;
  int action;
  int code;
  std::string msg;
  common::EnumErrCode err_code = common::ENUM_SUCCESS;
  const char* sensors = "";
  void (*data)(StationTaskData&, Config&) = [](StationTaskData&, Config&) {};
  TaskType running = TASK_TYPE_INVALID;
};

// A task that must not run beside `running` is refused with the running type's code (ENUM_SUCCESS:
// they may run side by side).
Answer Pair(const char* why, TaskType running, TaskType next, common::EnumErrCode refusal) {
  const bool admitted = refusal == common::ENUM_SUCCESS;
  Answer row{why, STATION_STATUS_NORMAL, next, kStd, admitted ? SRV_CODE_SUCCESS : SRV_CODE_FAILED, "", refusal};
  row.msg = admitted ? "" : "pre check failed, have conflict task " + std::to_string(running) + " is running";
  row.running = running;
  return row;
}

TEST_F(AdmissionTest, RefusalsAndConflictsCarryTheirCodeTextAndErrorCode) {
  using Data = StationTaskData;
  constexpr auto kOk = STATION_STATUS_NORMAL;
  constexpr int kFail = SRV_CODE_FAILED, kDone = SRV_CODE_SUCCESS;
  const Answer rows[] = {
      {"station error", STATION_STATUS_ERROR, kWater, kStd, SRV_CODE_STATION_ERROR, "station in error status"},
      {"station resetting", STATION_STATUS_RESET, kWater, kStd, SRV_CODE_STATION_RESET, "station in reset"},
      // Admitted, and cancelled by its driver before its first pass.
      {"waiting for a reset", STATION_STATUS_WAIT_RESET, kDust, kStd, kDone, ""},
      {"a reset whatever the status", STATION_STATUS_EMERGENCY_STOP, kReset, kIllegal, kDone, ""},
      {"invalid type", kOk, TASK_TYPE_INVALID, kStd, SRV_CODE_INVALID_TASK_TYPE, "task type is invalid"},
      {"type without a task class", kOk, TASK_TYPE_SENSOR, kStd, kFail, "create new task failed, may be not memory"},
      {"illegal action", kOk, kWater, kIllegal, kFail, "action model illegal"},
      {"a preparation carries no action", kOk, kDisinfect, kIllegal, kDone, ""},
      // The pump would be sent power 0 and the robot told success.
      {"unknown action", kOk, kSewage, kUnknownAction, kFail, "action model 99 unknown", common::ENUM_ERROR_UNKNOW},
      {"unknown action to a preparation, which takes none", kOk, kDisinfect, kUnknownAction, kDone, ""},
      // The task's own readiness checks.
      {"heat wire already on", kOk, kWire, kStd, kFail, "heat wire already start", common::ENUM_ERROR_UNKNOW, "",
       [](Data& d, Config&) { d.heat_fan_open = d.heat_wire_working = true; }},
      {"heat wire target (80) over the limit", kOk, kWire, kStrong, kFail, "target temp too high",
       common::ENUM_HEATING_WIRE_OVER_TEMP, "",
       [](Data& d, Config& c) { d.heat_fan_open = true, c.max_heat_temp = 79; }},
      {"heat wire target at the limit", kOk, kWire, kStrong, kDone, "", common::ENUM_SUCCESS, "",
       [](Data& d, Config& c) { d.heat_fan_open = true, c.max_heat_temp = 80; }},
      {"charging without a robot on the plates", kOk, kAuto, kStd, kFail, "robot not in station",
       common::ENUM_ROBOT_NOT_IN_POSITION, "electrodePlateDet: 0"},
      {"hand charger plugged in", kOk, kAuto, kStd, kFail, "hand charge is open",
       common::ENUM_CONFLICT_WITH_MANUAL_CHARGE, "handChargeDet: 1 handChargeInsideDet: true"},
      {"upper plate over 78 C", kOk, kAuto, kStd, kFail, "electrode plate 1 temp over max temp",
       common::ENUM_UP_ELECTRODE_PLATE_OVER_TEMP, "electrodePlateTemp1: 79"},
      {"lower plate over 78 C", kOk, kAuto, kStd, kFail, "electrode plate 2 temp over max temp",
       common::ENUM_DOWN_ELECTRODE_PLATE_OVER_TEMP, "electrodePlateTemp2: 79"},
      {"plates at 78 C", kOk, kAuto, kStd, kDone, "", common::ENUM_SUCCESS,
       "electrodePlateTemp1: 78 electrodePlateTemp2: 78"},
      {"dust box cap open", kOk, kDust, kStd, kFail, "dust box cap not in place", common::ENUM_DUST_BOX_CAP_OUT,
       "dustBoxCapDet: 0"},
      {"pressure over 2000 Pa", kOk, kDust, kStd, kFail, "negative pressure over up limit",
       common::ENUM_NEGATIVE_PRESSURE_OVER_LIMIT, "negativePressure: 2001"},
      {"pressure under -28000 Pa", kOk, kDust, kStd, kFail, "negative pressure under down limit",
       common::ENUM_NEGATIVE_PRESSURE_OVER_LIMIT, "negativePressure: -28001"},
      {"pressure at 2000 Pa", kOk, kDust, kStd, kDone, "", common::ENUM_SUCCESS, "negativePressure: 2000"},
      {"pressure at -28000 Pa", kOk, kDust, kStd, kDone, "", common::ENUM_SUCCESS, "negativePressure: -28000"},
      {"spray without the sewage pump", kOk, kSpray, kStd, kFail, "sewage pump not working",
       common::ENUM_SEWAGE_PUMP_NOT_OPEN},
      {"spray without prepared water", kOk, kSpray, kStd, kFail, "pre disinfectant no ready",
       common::ENUM_DISINFECTANT_WATER_NOT_READY, "", [](Data& d, Config&) { d.sewage_pump_working = true; }},
      {"spray resumed after a cancel", kOk, kSpray, kStd, kDone, "", common::ENUM_SUCCESS, "",
       [](Data& d, Config&) { d.sewage_pump_working = d.water_spray_resumable = true; }},
      {"ultrasonic wash without water", kOk, kWash, kStd, kFail, "no water in ultrasonic wash tank",
       common::ENUM_NO_WATER_IN_ULTRASONIC_WASH_TANK, "ultrasonicWaterCheck: false"},
      // Last: from the first pair on every type is a scripted task, which only a conflict refuses.
      Pair("a hot wire in the spray's mist", kSpray, kWire, common::ENUM_CONFLICT_WITH_WATER_SPRAY),
      Pair("the wire's heat on a charging robot", kAuto, kWire, common::ENUM_CONFLICT_WITH_AUTO_CHARGE),
      Pair("the spray on a robot being charged by hand", kManual, kSpray, common::ENUM_CONFLICT_WITH_MANUAL_CHARGE),
      Pair("draining the tank the robot drinks from", kWater, kDrain, common::ENUM_CONFLICT_WITH_ADD_WATER),
      Pair("feeding the robot from a tank being drained", kDrain, kWater, common::ENUM_CONFLICT_WITH_DRAIN_WATER),
      Pair("water before its preparation is done", kDisinfect, kWater, common::ENUM_CONFLICT_WITH_DISINFECTANT_PREPARE),
      Pair("the sewage pump while the dryer runs", kDry, kSewage, common::ENUM_CONFLICT_WITH_DRY_FAN),
      Pair("unlimited water has no conflict code of its own", kNoLimit, kDrain, common::ENUM_ERROR_UNKNOW),
      Pair("the sewage pump beside a water supply", kSewage, kWater, common::ENUM_SUCCESS),
  };
  for (const Answer& row : rows) {
    SCOPED_TRACE(row.why);
    // A row that notes the drying fan open runs it: on a board that takes every
    // command, switched on through the station's own gate.
    Data wanted;
    Config config = g_config;
    row.data(wanted, config);
    board_ = wanted.heat_fan_open ? std::make_shared<AcceptingBoard>() : nullptr;
    if (row.running != TASK_TYPE_INVALID) {
      ScriptEveryType();
    }
    NewCenter();  // no driver left to read the configuration
    g_config.max_heat_temp = saved_config_.max_heat_temp;
    WithData([&](StationTaskData& data) { row.data(data, g_config); });
    if (board_) {
      station::ActionCommand fan;
      fan.set_supply_type_(station::ENUM_SUPPLY_HEATING_FAN);
      fan.set_action_(1);
      ASSERT_TRUE(center_->output_guard()->Send(fan, false, nullptr));
    }
    SeeDocked(row.sensors);
    SetStatus(row.status);
    ASSERT_TRUE(row.running == TASK_TYPE_INVALID || Submit(row.running, kStd).code == SRV_CODE_SUCCESS);
    const StationSrvRsp rsp = Submit(row.type, row.action, 9);
    EXPECT_EQ(rsp.code, row.code);
    EXPECT_EQ(rsp.msg, row.msg);
    EXPECT_EQ(rsp.err_code, row.err_code);
    if (row.code != SRV_CODE_SUCCESS) {
      EXPECT_FALSE(Running(row.type)) << "a refused task is not kept";
    }
  }
}

TEST_F(AdmissionTest, RunningTaskIsUpdatedOrCancelledInPlaceAndNotStartedAgainWhileItStopsOrThrows) {
  ScriptEveryType();
  SeeDocked();  // no station reset after each task
  // A pass that throws ends its task in error; the driver survives to run the tasks below.
  script_[TASK_TYPE_UV_LAMP]->throw_in_pass = true;
  ASSERT_EQ(Finish(StartTask(TASK_TYPE_UV_LAMP, kStd)), TASK_STATUS_ERROR);
  EXPECT_EQ(script_[TASK_TYPE_UV_LAMP]->after_error.load(), 1);
  script_[TASK_TYPE_UV_LAMP]->throw_in_pass = false;
  EXPECT_EQ(Ask(SRV_CMD_STATION_BUSY), SRV_CODE_IDLE);
  std::shared_ptr<Task> task = StartTask(TASK_TYPE_ADD_WATER, kStd, 30);
  EXPECT_EQ(Ask(SRV_CMD_STATION_BUSY), SRV_CODE_BUSY);
  EXPECT_EQ(Ask(SRV_CMD_ADD_WATER_FINISHED), SRV_CODE_ADDING_WATER);
  ASSERT_TRUE(WaitUntil([&] { return script_[TASK_TYPE_ADD_WATER]->passes.load() > 0; }));
  EXPECT_EQ(Submit(TASK_TYPE_ADD_WATER, kIllegal).msg, "action model illegal");
  EXPECT_EQ(task->max_seconds(), 30) << "which leaves the task as it was";
  EXPECT_EQ(Submit(TASK_TYPE_ADD_WATER, kSoft, 5).code, SRV_CODE_TASK_UPDATED);
  EXPECT_EQ(task->max_seconds(), 5) << "the update carries the new duration";
  EXPECT_EQ(Submit(TASK_TYPE_ADD_WATER, kStop).code, SRV_CODE_SUCCESS);
  ASSERT_EQ(Finish(task), TASK_STATUS_CANCEL);

  // A preparation, whose request carries the action in a message of its own (a supply task's
  // stop and retry: FanStopTest.EveryFanStopSwitchesTheWireOffFirstAndEndsTheWireTask).
  ASSERT_EQ(Submit(kDisinfect, kStd).code, SRV_CODE_SUCCESS);
  {
    // Stop and start again before the driver's next pass drops the cancelled task.
    const auto lock = LockAtRest();
    ASSERT_EQ(center_->ReceiveTaskUnlock(TaskRequest(kDisinfect, kStop)).code, SRV_CODE_SUCCESS);
    const StationSrvRsp again = center_->ReceiveTaskUnlock(TaskRequest(kDisinfect, kStrong));
    EXPECT_EQ(again.code, SRV_CODE_FAILED) << "acknowledged, but nothing would run: " << again.msg;
    EXPECT_EQ(again.msg, "task stopping, retry");
    EXPECT_EQ(again.err_code, common::ENUM_ERROR_UNKNOW);
  }
  ASSERT_TRUE(WaitUntil([&] { return !Running(kDisinfect); }));
  ASSERT_EQ(Submit(kDisinfect, kStd).code, SRV_CODE_SUCCESS) << "the retry runs";
  EXPECT_EQ(Submit(kDisinfect, kStop).code, SRV_CODE_SUCCESS);
  EXPECT_TRUE(WaitUntil([&] { return !Running(kDisinfect); }));
}

TEST_F(AdmissionTest, CloudReplyReleasesConsumablesThenStationResets) {
  ScriptEveryType();
  WithData([](StationTaskData& d) {
    d.tap_water_normal = d.dust_bag_replace_normal = false;
    d.abnormal_tasks[TASK_TYPE_ADD_WATER] = 1;
  });
  StationSrvReq reply;
  auto* consumables = reply.report_rsp.mutable_consumables_reply_state();  // tap water 0: back
  const auto tap_back = [](StationTaskData& d) { return d.tap_water_normal && !d.abnormal_tasks[TASK_TYPE_ADD_WATER]; };
  EXPECT_EQ(Ask(SRV_CMD_CLOUD_REPLY), SRV_CODE_SUCCESS);
  EXPECT_FALSE(WithData(tap_back)) << "a reply without consumables releases nothing";
  consumables->set_dust_bag(1);
  EXPECT_EQ(Ask(SRV_CMD_CLOUD_REPLY, reply), SRV_CODE_SUCCESS);
  EXPECT_TRUE(WithData(tap_back));
  EXPECT_EQ(center_->station_status(), STATION_STATUS_NORMAL) << "the dust bag is still due";
  consumables->set_dust_bag(0);
  EXPECT_EQ(Ask(SRV_CMD_CLOUD_REPLY, reply), SRV_CODE_SUCCESS);
  EXPECT_EQ(center_->station_status(), STATION_STATUS_WAIT_RESET);

  // Waiting for a reset, a task is admitted and cancelled before its first pass; with the
  // robot away and nothing else running, its removal resets the station.
  script_[TASK_TYPE_RESET_STATION]->end_after_passes = 1;
  ASSERT_EQ(Submit(TASK_TYPE_DUST_COLLECT, kStd).code, SRV_CODE_SUCCESS);
  ASSERT_TRUE(WaitUntil([&] { return script_[TASK_TYPE_RESET_STATION]->after_over.load() == 1; }));
  EXPECT_EQ(script_[TASK_TYPE_DUST_COLLECT]->after_cancel.load(), 1) << "cancelled by its driver";
  EXPECT_EQ(script_[TASK_TYPE_DUST_COLLECT]->passes.load(), 0) << "before its first pass";
  EXPECT_EQ(center_->station_status(), STATION_STATUS_NORMAL);
}

TEST_F(AdmissionTest, NoStaleDataBeforeTheFirstReportAndPositionCheckNeverWaitsForTheTaskLock) {
  AdvanceClock(60);  // before any report the start-up wait for the board applies, not the stale limit
  center_->SuperviseBoard();
  EXPECT_FALSE(center_->sensor_stale());
  EXPECT_EQ(Ask(SRV_CMD_ROBOT_POSITION), SRV_CODE_ROBOT_NOT_IN_POSITION);
  SeeDocked();
  {
    // A task pass waiting on the board holds the task lock; the robot's poll is still answered.
    std::lock_guard<std::mutex> lock(StationCenterProbe(*center_).task_mutex());
    auto answer = std::async(std::launch::async, [this] { return Ask(SRV_CMD_ROBOT_POSITION); });
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(answer.get(), SRV_CODE_ROBOT_IN_POSITION);
  }
  // Status changes racing with position polls (a race detector run checks the read).
  auto writer = std::async(std::launch::async, [this] {
    for (int i = 0; i < 200; ++i) {
      SetStatus(i % 2 == 0 ? STATION_STATUS_WAIT_RESET : STATION_STATUS_NORMAL);
    }
  });
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(Ask(SRV_CMD_ROBOT_POSITION), SRV_CODE_ROBOT_IN_POSITION);
  }
}

}  // namespace
}  // namespace station_center
