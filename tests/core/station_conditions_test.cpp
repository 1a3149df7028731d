// Emergency stop, stale sensor data, board restarts and the conditions the station records across
// resets, against the simulated board.

#include <gtest/gtest.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <set>
#include <string>

#include "bottom/board_switch_off.h"
#include "config.h"
#include "core/station_harness.h"
#include "sim/safety_monitor.h"
#include "station_report.h"
#include "task/log_capture.h"

namespace station_center {
namespace {

using namespace station_test;  // NOLINT: the harness's outputs, actions and helpers

// The cloud report's abnormal part as the station would upload it now.
std::string AbnormalUpload(StationHarness& h) {
  rapidjson::Document doc;
  doc.SetObject();
  StationCenterProbe core(h.center());
  std::lock_guard<std::mutex> lock(core.task_mutex());
  std::shared_lock<std::shared_mutex> data_lock(core.task_data_mutex());
  PackAbnormalInfo(doc, doc.GetAllocator(), core.task_data(), core.sensors_data());
  rapidjson::StringBuffer out;
  rapidjson::Writer<rapidjson::StringBuffer> writer(out);
  doc.Accept(writer);
  return out.GetString();
}

// The current report with the emergency stop as given, handed to the core directly.
void Report(StationHarness& h, bool pressed) {
  station::SensorsDataRep report = h.sim().Sensors();
  report.set_emergencystopstate(pressed);
  h.center().DataUploadCallback(report);
}

// Stops the simulator's reports and waits until the core has handled the last one sent.
void SilenceReports(StationHarness& h) {
  h.sim().SetReportsEnabled(false);
  const uint32_t last = h.sim().Sensors().seq();
  ASSERT_TRUE(h.WaitSensors([last](const station::SensorsDataRep& s) { return s.seq() == last; }));
  h.AfterPass();
}

// The board silent, and the clock moved a second at a time (more at once would look like a pause
// of the station) until the core calls its data stale.
void GoStale(StationHarness& h) {
  SilenceReports(h);
  ASSERT_TRUE(WaitUntil([&] {
    h.AdvanceClock(1);
    h.center().SuperviseBoard();
    return h.center().sensor_stale();
  }));
}

// The fan, the wire it lets heat, the lamp and the sewage automation's pump on.
void StartOutputs(StationHarness& h) {
  ASSERT_TRUE(h.sim().Pin("heatingWireTemp", "20"));  // the thermostat keeps the wire on
  ASSERT_NE(h.StartTask(TASK_TYPE_DRY, kStd), nullptr);
  ASSERT_TRUE(h.WaitOn(kFan));
  h.AfterPass();  // the fan counts as running once the pass that switched it on has noted it
  ASSERT_NE(h.StartTask(TASK_TYPE_HEAT_WIRE, kSoft), nullptr);
  ASSERT_NE(h.StartTask(TASK_TYPE_UV_LAMP, kStd), nullptr);
  ASSERT_TRUE(h.sim().Pin("sewageDet", "1"));
  ASSERT_TRUE(WaitUntil([&] { return h.On(kWire) && h.On(kLamp) && h.On(kPump); }));
}

using StationConditionsTest = StationTest;

TEST_F(StationConditionsTest, EmergencyStopOnTwoReportsSwitchesEverythingOffRefusesAllAndResetsOnRelease) {
  StartOutputs(h_);
  const std::shared_ptr<Task> uv = [&] {
    const auto lock = h_.LockAtRest();
    return h_.Core().tasks().at(TASK_TYPE_UV_LAMP);
  }();
  h_.sim().ClearReceivedCommands();
  SilenceReports(h_);  // the test's own reports only, until the button is held
  for (bool pressed : {true, false, true, false}) {
    Report(h_, pressed);
  }
  EXPECT_EQ(h_.center().station_status(), STATION_STATUS_NORMAL) << "single pressed reports are noise";
  Report(h_, true);
  Report(h_, true);
  EXPECT_EQ(h_.center().station_status(), STATION_STATUS_EMERGENCY_STOP);
  Report(h_, false);
  Report(h_, true);
  EXPECT_EQ(h_.center().station_status(), STATION_STATUS_EMERGENCY_STOP) << "one released report is noise too";
  ASSERT_TRUE(h_.sim().Pin("emergencyStopState", "true"));
  h_.sim().SetReportsEnabled(true);
  EXPECT_TRUE(WaitUntil([&] { return h_.Idle() && h_.Core().tasks().empty(); }));
  EXPECT_EQ(uv->status(), TASK_STATUS_CANCEL);
  EXPECT_TRUE(h_.Present(ABNORMAL_EMERGENCY_STOP));

  // Held pressed: a plug, sewage and the lamp refresh start nothing; every request gets status 3.
  h_.sim().Plug(true);
  ASSERT_TRUE(h_.Handled([](const station::SensorsDataRep& s) { return s.handchargeinsidedet(); }));
  ASSERT_TRUE(h_.Handled([](const station::SensorsDataRep& s) { return s.handchargeinsidedet(); }));
  h_.center().ReflushLed();
  EXPECT_EQ(h_.sim().last_led(), station::LED_ERROR_STATE);
  for (TaskType type : {TASK_TYPE_DUST_COLLECT, TASK_TYPE_MANUAL_CHARGE, TASK_TYPE_DISINFECTANT_PREPARE}) {
    EXPECT_EQ(h_.Submit(type, kStd).code, SRV_CODE_EMERGENCY_STOP) << "type " << type;
  }
  for (int cmd : {SRV_CMD_ROBOT_POSITION, SRV_CMD_WATER_READY, SRV_CMD_ADD_WATER_FINISHED, SRV_CMD_ROBOT_LEAVE,
                  SRV_CMD_CONNECTION_LOST}) {
    EXPECT_EQ(h_.Ask(cmd), SRV_CODE_EMERGENCY_STOP) << "command " << cmd;
  }
  h_.center().AutoReset();
  EXPECT_EQ(h_.center().station_status(), STATION_STATUS_EMERGENCY_STOP) << "nothing resets it meanwhile";
  for (const auto& [type, action] : h_.Actions()) {
    EXPECT_TRUE(action == 0 || type == kBoardReset) << "only switch-offs reach the board, supply type " << type;
  }

  // Released: abnormal cleared, the station reset (a board reset) and back to normal.
  h_.sim().Plug(false);
  ASSERT_TRUE(h_.sim().Unpin("sewageDet"));
  ASSERT_TRUE(h_.sim().Unpin("emergencyStopState"));
  ASSERT_TRUE(h_.Settled());
  EXPECT_FALSE(h_.Present(ABNORMAL_EMERGENCY_STOP));
  EXPECT_EQ(h_.Actions(kBoardReset).size(), 2u) << "one at the stop, one for the station reset";
  EXPECT_EQ(Logs().Count("ErrorCode: 101900081"), 1);
  EXPECT_EQ(Logs().Count("ErrorCode: 101900080"), 1) << "each transition logged once";
  EXPECT_NE(h_.StartTask(TASK_TYPE_UV_LAMP, kStd), nullptr);
}

void Press(StationHarness& h) { ASSERT_TRUE(h.sim().Pin("emergencyStopState", "true")); }
void RefuseLamp(station_sim::StationSim& sim) { sim.RefuseSupply(station::ENUM_SUPPLY_UV_LAMP, true); }
void RefuseWire(station_sim::StationSim& sim) { sim.RefuseSupply(station::ENUM_SUPPLY_HEATING_WIRE, true); }

// A station-wide condition that must leave every output off, with the board
// refusing a switch-off or answering late from that moment on.
TEST(ForcedSwitchOffTest, EveryOutputGoesOffAndStaysOffUntilTheBoardConfirms) {
  const struct {
    const char* what;
    void (*fault)(station_sim::StationSim&);
    void (*force)(StationHarness&);
  } rows[] = {
      {"emergency stop, the wire's off refused", RefuseWire, Press},
      {"emergency stop, answers 3 s late", [](station_sim::StationSim& sim) { sim.SetAckDelayMs(3000); }, Press},
      {"stale data, the wire's off refused", RefuseWire, GoStale},
      {"exit, the lamp's off refused", RefuseLamp, [](StationHarness& h) { h.center().SwitchOffForExit(); }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Logs().Clear();
    StationHarness h;
    h.Configure("bottom_action_timeout", "5");
    ASSERT_TRUE(h.Start());
    StartOutputs(h);
    h.sim().ResetSafety();

    row.fault(h.sim());
    row.force(h);
    // As the housekeeping does once a second, until everything is confirmed off.
    EXPECT_TRUE(WaitUntil([&] {
      h.center().SuperviseBoard();
      return Logs().Count("every output switched off, confirmed by the board") > 0;
    }));
    for (int type : {kFan, kWire, kLamp, kPump}) {
      EXPECT_FALSE(h.On(type)) << "supply type " << type << " off once the log says so";
    }
    const auto safety = h.sim().Safety();
    EXPECT_EQ(safety.Count(station_sim::Invariant::kActuatorOnInEmergencyStop), 0);
    EXPECT_EQ(safety.Count(station_sim::Invariant::kHeatWireWithoutFan), 0);
    h.sim().ClearFaults();
  }
}

TEST_F(StationConditionsTest, StaleSensorDataEndsTasksRefusesAllAndResetsWhenReportsResume) {
  const std::shared_ptr<Task> dust = h_.StartTask(TASK_TYPE_DUST_COLLECT, kStd);
  ASSERT_TRUE(h_.WaitOn(kDust));
  h_.center().SuperviseBoard();
  EXPECT_FALSE(h_.center().sensor_stale()) << "reports are flowing";
  // After a pause of the station itself, what the link buffered is read first.
  SilenceReports(h_);
  h_.AdvanceClock(15);  // the process stopped (SIGSTOP) while the board went on
  h_.center().SuperviseBoard();
  EXPECT_FALSE(h_.center().sensor_stale()) << "the link's silence counts from the end of the pause";
  Report(h_, false);  // the first report read after the pause
  h_.AdvanceClock(1);
  h_.center().SuperviseBoard();
  EXPECT_FALSE(h_.center().sensor_stale());

  GoStale(h_);  // a board silent from then on is judged as ever
  EXPECT_EQ(h_.Finish(dust), TASK_STATUS_ERROR);
  EXPECT_TRUE(h_.Present(ABNORMAL_SENSOR_LINK_LOST));
  EXPECT_NE(AbnormalUpload(h_).find(R"("name":"sensor_link_lost")"), std::string::npos) << AbnormalUpload(h_);

  const StationSrvRsp refused = h_.Submit(TASK_TYPE_UV_LAMP, kStd);
  EXPECT_EQ(refused.code, SRV_CODE_FAILED);
  EXPECT_EQ(refused.err_code, vantorel_base_station_common::ENUM_ERROR_UNKNOW);
  EXPECT_EQ(refused.msg, "sensor data stale");
  EXPECT_EQ(h_.Ask(SRV_CMD_ROBOT_POSITION), SRV_CODE_ROBOT_NOT_IN_POSITION) << "docked, but nobody can tell";
  h_.AdvanceClock(10);
  h_.center().SuperviseBoard();
  EXPECT_EQ(Logs().Count("ErrorCode: 101900082"), 1);

  h_.sim().ClearReceivedCommands();
  h_.sim().SetReportsEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return !h_.center().sensor_stale(); }));
  // The reset is admitted just after the data counts as fresh again: wait for its board reset.
  ASSERT_TRUE(WaitUntil([&] { return !h_.Actions(kBoardReset).empty(); }) && h_.Settled()) << "the station reset ran";
  EXPECT_EQ(h_.Actions(kBoardReset).size(), 1u) << "once";
  EXPECT_FALSE(h_.Present(ABNORMAL_SENSOR_LINK_LOST));
  EXPECT_EQ(AbnormalUpload(h_), "{}");
  EXPECT_EQ(Logs().Count("ErrorCode: 101900083"), 1);
  EXPECT_EQ(h_.Ask(SRV_CMD_ROBOT_POSITION), SRV_CODE_ROBOT_IN_POSITION);
  EXPECT_NE(h_.StartTask(TASK_TYPE_UV_LAMP, kStd), nullptr);
}

// One way a board restart shows; `restart` makes it.
TEST(StationBoardRestartTest, EndsTheTaskButNotOneWhoseFirstCommandMadeTheNewConnectionUntilTheSwitchOff) {
  StationHarness h;
  h.Configure("sensor_stale_time", "3600");  // the test's clock runs fast
  ASSERT_TRUE(h.Start());
  const struct {
    const char* what;
    void (*restart)(StationHarness&);
  } restarts[] = {
      {"command connection closed",
       [](StationHarness& h) {
         h.sim().CloseCommandConnection();
         WaitUntil([&] { return h.sim().command_accepts() > 1 || !h.sim().command_connected(); });
       }},
      {"board initialised again",
       [](StationHarness& h) {
         ASSERT_TRUE(h.sim().Pin("initActuatorsState", "false"));
         ASSERT_TRUE(h.Handled([](const station::SensorsDataRep& s) { return !s.initactuatorsstate(); }));
         ASSERT_TRUE(h.sim().Unpin("initActuatorsState"));
       }},
      {"sensor connection re-made after a gap", [](StationHarness& h) { h.sim().CloseSensorConnection(); }},
  };
  for (const auto& r : restarts) {
    SCOPED_TRACE(r.what);
    Logs().Clear();
    const std::shared_ptr<Task> dust = h.StartTask(TASK_TYPE_DUST_COLLECT, kStd);
    ASSERT_TRUE(h.WaitOn(kDust));
    r.restart(h);
    // The clock runs fast so any re-made sensor connection comes after a gap.
    ASSERT_TRUE(WaitUntil([&] {
      h.AdvanceClock(1);
      h.center().SuperviseBoard();
      return !h.Running(TASK_TYPE_DUST_COLLECT);
    }));
    EXPECT_EQ(h.Finish(dust), TASK_STATUS_ERROR);
    EXPECT_TRUE(h.WaitOn(kDust, false)) << "its reset switched it off";
    EXPECT_EQ(Logs().Count("ErrorCode: 101900084"), 1);

    const std::shared_ptr<Task> again = h.StartTask(TASK_TYPE_DUST_COLLECT, kStd);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(h.WaitOn(kDust)) << "the new request reaches the board";
    EXPECT_EQ(h.Actions(kDust).front(), std::make_pair(kDust, 1));
    ASSERT_EQ(h.Submit(TASK_TYPE_DUST_COLLECT, kStop).code, SRV_CODE_SUCCESS);
    ASSERT_NE(h.Finish(again), -1);
  }

  // A task whose first command made the new connection keeps running; then the board is reset by
  // the exit's switch-off, which needs no controller: it makes a connection of its own.
  h.sim().CloseCommandConnection();
  ASSERT_TRUE(WaitUntil([&] { return !h.sim().command_connected(); }));
  ASSERT_TRUE(h.Handled()) << "the lamp needs a report newer than the clock the loop ran fast";
  ASSERT_NE(h.StartTask(TASK_TYPE_UV_LAMP, kStd), nullptr);
  ASSERT_TRUE(WaitUntil([&] { return h.On(kLamp); })) << "its command re-made the connection";
  Logs().Clear();
  h.center().SuperviseBoard();
  EXPECT_EQ(Logs().Count("ErrorCode: 101900084"), 1) << "the restart is noticed";
  h.AfterPass();
  EXPECT_TRUE(h.Running(TASK_TYPE_UV_LAMP) && h.On(kLamp)) << "nothing it did was lost with the old board";

  const int resets = h.sim().board_resets();
  EXPECT_TRUE(SwitchOffBoard("127.0.0.1", h.sim().command_port(), std::chrono::seconds(3)));
  EXPECT_FALSE(h.On(kLamp));
  EXPECT_EQ(h.sim().board_resets(), resets + 1);
  h.sim().Stop();
  EXPECT_FALSE(SwitchOffBoard("127.0.0.1", h.sim().command_port(), std::chrono::seconds(3))) << "nobody answers";
}

// A broker that takes every report and never finishes publishing it until let go.
struct StalledBroker : ReportPublisher {
  bool IsConnected() const override { return true; }
  bool Publish(const std::string& /*topic*/, const std::string& /*payload*/) override {
    ++stalled;
    free.wait();
    return true;
  }
  std::promise<void> let_go;
  std::shared_future<void> free = let_go.get_future().share();
  std::atomic<int> stalled{0};
};

// A stalled peer stalls only what waits on it. A hot plate's record held by the broker: the
// plates go off first. A board that holds its answer stalls only the command waiting for it:
// other requests are served and sensor reports handled meanwhile, and the task carries on
// once the answer comes.
TEST(StalledPeerTest, AHotPlateStopsChargingBeforeItsRecordIsPublishedAndAHeldAnswerStallsOnlyItsCommand) {
  const auto broker = std::make_shared<StalledBroker>();
  StationHarness h;
  h.SetPublisher(broker);
  h.Configure("bottom_action_timeout", "300");  // the held answer does not time out here
  ASSERT_TRUE(h.Start());
  const std::shared_ptr<Task> charge = h.StartTask(TASK_TYPE_AUTO_CHARGE, kStd);
  ASSERT_TRUE(h.WaitOn(kCharge));
  ASSERT_TRUE(h.sim().Pin("electrodePlateTemp1", "90"));
  const bool off = h.WaitOn(kCharge, false);
  const bool held = WaitUntil([&] { return broker->stalled >= 1; });  // the record waits on the broker
  broker->let_go.set_value();
  EXPECT_TRUE(off) << "the plates went off while the broker held the record";
  EXPECT_TRUE(held) << "the record was on its way";
  EXPECT_EQ(h.Finish(charge), TASK_STATUS_ERROR);
  ASSERT_TRUE(h.sim().Unpin("electrodePlateTemp1"));

  h.sim().SetAckDelayMs(600000);
  auto uv = h.StartTask(TASK_TYPE_UV_LAMP, kStd);
  ASSERT_TRUE(uv);
  ASSERT_TRUE(WaitUntil([&] { return !h.Actions(kLamp).empty(); })) << "the lamp's command reached the board";

  auto other = std::async(std::launch::async, [&h] { return h.Submit(TASK_TYPE_DUST_COLLECT, kStd).code; });
  const bool served = other.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  const bool pinned = h.sim().Pin("heatingWireTemp", "33");
  const bool handled = h.WaitSensors([](const station::SensorsDataRep& s) { return s.heatingwiretemp() == 33; });
  h.sim().SetAckDelayMs(0);  // lets everything go, so a failure below ends too
  EXPECT_TRUE(served) << "a request waited for another task's answer";
  EXPECT_TRUE(pinned && handled) << "sensor reports waited for a task's answer";
  EXPECT_EQ(other.get(), SRV_CODE_SUCCESS);
  EXPECT_TRUE(WaitUntil([&] { return h.On(kLamp) && h.On(kDust); })) << "both tasks go on once answered";
  EXPECT_EQ(h.Submit(TASK_TYPE_UV_LAMP, kStop).code, SRV_CODE_SUCCESS);
  EXPECT_EQ(h.Finish(uv), TASK_STATUS_CANCEL);
}

TEST_F(StationConditionsTest, ConditionsStillPresentAfterAResetAreRecordedAgainAndASetWallClockAgesNoDustBag) {
  // A hot upper plate, and a dust box cap off past its debounce time.
  ASSERT_TRUE(h_.sim().Pin("electrodePlateTemp1", "90"));
  ASSERT_TRUE(h_.sim().Pin("dustBoxCapDet", "0"));
  // The cap's debounce starts at the first report without it; the clock moves after.
  ASSERT_TRUE(h_.Handled([](const station::SensorsDataRep& s) { return s.dustboxcapdet() == 0; }));
  h_.AdvanceClock(91);
  ASSERT_TRUE(WaitUntil([&] { return h_.Present(ABNORMAL_PLATE_UP_TEMP) && h_.Present(ABNORMAL_DUST_BOX_CAP); }));

  // The robot leaves and the station resets.
  h_.sim().ClearReceivedCommands();
  ASSERT_TRUE(h_.SetDocked(false));
  ASSERT_EQ(h_.Ask(SRV_CMD_ROBOT_LEAVE), SRV_CODE_SUCCESS);
  ASSERT_TRUE(WaitUntil([&] { return !h_.Actions(kBoardReset).empty(); }) && h_.Settled());
  ASSERT_TRUE(h_.Handled());
  EXPECT_TRUE(h_.Present(ABNORMAL_PLATE_UP_TEMP)) << "the plate is still hot";
  EXPECT_TRUE(h_.Present(ABNORMAL_DUST_BOX_CAP)) << "the cap is still off";
  EXPECT_EQ(h_.WithData([](StationTaskData& d) { return d.abnormal_tasks.at(TASK_TYPE_SENSOR); }), 1);

  // Gone after the reset: released as before.
  ASSERT_TRUE(h_.sim().Pin("electrodePlateTemp1", "30"));
  ASSERT_TRUE(h_.sim().Pin("dustBoxCapDet", "1"));
  ASSERT_TRUE(WaitUntil([&] { return !h_.Present(ABNORMAL_PLATE_UP_TEMP) && !h_.Present(ABNORMAL_DUST_BOX_CAP); }));
  EXPECT_EQ(h_.WithData([](StationTaskData& d) { return d.abnormal_tasks.at(TASK_TYPE_SENSOR); }), 0);

  // A wall clock set forward or back neither ages the dust bag nor leaves its date in the future.
  const int64_t day = 86400;
  // The station's status file, which the sensor handler reads at every report.
  std::ofstream(RootedPath("/usr/lib/vantorel-station-center/status/status.json"), std::ios::trunc)
      << R"({"dust_bag_last_replace_time": )" << h_.center().clock().WallSeconds() - day << "}";
  ASSERT_TRUE(h_.Handled());
  for (const int64_t step : {365 * day, -2 * 365 * day}) {
    h_.StepWall(step);
    ASSERT_TRUE(h_.Handled());
    ASSERT_TRUE(h_.Handled());
    EXPECT_FALSE(h_.Present(ABNORMAL_DUST_BAG_REPLACE)) << step;
    EXPECT_NEAR(ReadDustBagReplyTime(h_.center().clock().WallSeconds(), 0), day, 10) << "moved along by " << step;
  }
}

}  // namespace
}  // namespace station_center
