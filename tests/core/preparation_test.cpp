#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "core/water_helpers.h"

namespace station_center {
namespace {

using station_test::kCleanPump;
using station_test::kDrainValve;
using station_test::kPerfumePump;
using station_test::kSorter;
using station_test::kTap;
using station_test::PrepareRequest;
using station_test::StartWith;
using station_test::StationHarness;
using station_test::WaitEnded;
using station_test::WaitUntil;
using station_test::WaterActions;
using station_test::WaterLimits;
using station_test::WaterPath;

// The answer to the robot's "is the disinfectant water ready" poll.
int32_t WaterReadyAnswer(StationHarness& h) {
  StationSrvReq poll;
  poll.cmd = SRV_CMD_WATER_READY;
  return h.center().HandleService(poll).code;
}

// The first revision's sorter key, as an input device: a FIFO under the
// station root, read by the station's own sorter counter. One key press per
// tablet while the motor turns.
class SorterKeyDevice {
 public:
  explicit SorterKeyDevice(StationHarness& h) : h_(h) {
    const std::string path = RootedPath("/dev/input/event8");
    ::mkdir(RootedPath("/dev").c_str(), 0755);
    ::mkdir(RootedPath("/dev/input").c_str(), 0755);
    ::mkfifo(path.c_str(), 0600);
    counter_ = std::thread([this] { h_.center().SocSensorDataDetect(); });
    // Opening for writing succeeds once the counter has the device open.
    WaitUntil([&] {
      fd_ = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      return fd_ >= 0;
    });
    presser_ = std::thread([this] { Run(); });
  }
  ~SorterKeyDevice() {
    stop_ = true;
    presser_.join();
    ::close(fd_);  // end of file ends the counter
    counter_.join();
  }
  bool ok() const { return fd_ >= 0; }

 private:
  void Write(uint16_t type, uint16_t code, int32_t value) {
    unsigned char event[24] = {};
    std::memcpy(event + 16, &type, sizeof(type));
    std::memcpy(event + 18, &code, sizeof(code));
    std::memcpy(event + 20, &value, sizeof(value));
    EXPECT_EQ(::write(fd_, event, sizeof(event)), static_cast<ssize_t>(sizeof(event)));
  }
  void Run() {
    while (!stop_ && fd_ >= 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      if (h_.sim().ActuatorOn(station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR)) {
        Write(1, 202, 1);  // KEY_PROG3 pressed
        Write(1, 202, 0);
        Write(0, 0, 0);  // synchronisation
      }
    }
  }

  StationHarness& h_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread counter_;
  std::thread presser_;
};

TEST(DisinfectantPreparationTest, FullTankIsDrainedFilledDosedAndReadyOnBothRevisions) {
  for (const char* hardware : {"dvt3", "dvt1"}) {
    SCOPED_TRACE(hardware);
    WaterLimits limits;
    StationHarness h(station_test::WaterOptions());
    ASSERT_TRUE(h.Start());
    WaterLimits::Apply();
    g_config.hardware = hardware;
    station_test::SetTankAndWait(h, 3000);
    std::unique_ptr<SorterKeyDevice> sorter_key;
    if (g_config.hardware == "dvt1") {
      // Only the station's own counter may count on this revision.
      ASSERT_TRUE(h.sim().Pin("disinfectantPlateNum", "0"));
      sorter_key = std::make_unique<SorterKeyDevice>(h);
      ASSERT_TRUE(sorter_key->ok());
    }
    h.sim().ClearReceivedCommands();

    auto task = StartWith(h, PrepareRequest(TASK_TYPE_DISINFECTANT_PREPARE, 1, 2));
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(WaterReadyAnswer(h), SRV_CODE_DISINFECTANT_PREPARING);
    ASSERT_TRUE(WaitEnded(h, TASK_TYPE_DISINFECTANT_PREPARE));
    sorter_key.reset();

    EXPECT_EQ(task->status(), TASK_STATUS_OVER);
    EXPECT_EQ(WaterPath(h),
              (WaterActions{{kDrainValve, 1}, {kDrainValve, 0}, {kTap, 1}, {kTap, 0}, {kSorter, 50}, {kSorter, 0}}));
    // A litre is 1000 flow counts; the tank holds what the meter counted.
    EXPECT_GE(h.sim().tank_volume(), 1000);
    h.WithData([&](StationTaskData& d) {
      EXPECT_TRUE(d.disinfectant_water_ready);
      EXPECT_EQ(d.water_volume, 1000);
      EXPECT_GE(d.tank_water_volume, 1000);
      EXPECT_LE(d.tank_water_volume, h.sim().tank_volume());
      if (g_config.hardware == "dvt1") {
        EXPECT_GE(d.sorter_count_, 2);
      }
    });
    EXPECT_EQ(WaterReadyAnswer(h), SRV_CODE_WATER_READY);
  }
}

TEST(DisinfectantPreparationTest, OverloadedMotorIsStoppedAndRestartedUntilTabletsCome) {
  WaterLimits limits;
  StationHarness h(station_test::WaterOptions());
  ASSERT_TRUE(h.Start());
  WaterLimits::Apply();
  station_test::SetTankAndWait(h, 0);
  h.sim().ClearReceivedCommands();
  // Jammed for the first couple of seconds of dosing.
  h.sim().SetSorterOverload(2.5);

  // No water wanted: the fill ends at once and dosing starts with the jam.
  auto task = StartWith(h, PrepareRequest(TASK_TYPE_DISINFECTANT_PREPARE, 0, 2));
  ASSERT_NE(task, nullptr);
  ASSERT_TRUE(WaitEnded(h, TASK_TYPE_DISINFECTANT_PREPARE));

  EXPECT_EQ(task->status(), TASK_STATUS_OVER);
  const WaterActions sorter = h.Actions(kSorter);
  // At least one stop-wait-restart cycle, and the motor is left off.
  ASSERT_GE(sorter.size(), 4u);
  EXPECT_EQ(sorter.front(), (std::pair<int, int>{kSorter, 50}));
  EXPECT_EQ(sorter[1], (std::pair<int, int>{kSorter, 0}));
  EXPECT_EQ(sorter[2], (std::pair<int, int>{kSorter, 50}));
  EXPECT_EQ(sorter.back(), (std::pair<int, int>{kSorter, 0}));
  EXPECT_FALSE(h.sim().ActuatorOn(station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR));
  EXPECT_GE(h.sim().Sensors().disinfectantplatenum(), 2u);
}

TEST(DisinfectantPreparationTest, MotorThatNeverRecoversGivesUpAtTheMotorLimit) {
  WaterLimits limits;
  StationHarness h(station_test::WaterOptions());
  ASSERT_TRUE(h.Start());
  WaterLimits::Apply();
  station_test::SetTankAndWait(h, 0);
  h.sim().SetSorterOverload(1000);
  h.sim().ClearReceivedCommands();

  auto task = StartWith(h, PrepareRequest(TASK_TYPE_DISINFECTANT_PREPARE, 0, 2));
  ASSERT_NE(task, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return h.Actions(kSorter).size() >= 3; }));
  // Past the overall motor limit, counted from the first start.
  AdvanceClockForTest(31);
  ASSERT_TRUE(WaitEnded(h, TASK_TYPE_DISINFECTANT_PREPARE));

  EXPECT_EQ(task->status(), TASK_STATUS_OVER);
  EXPECT_FALSE(h.sim().ActuatorOn(station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR));
  EXPECT_EQ(h.sim().Sensors().disinfectantplatenum(), 0u);
}

TEST(DisinfectantPreparationTest, TapThatNeverFillsIsRecordedAndClosed) {
  WaterLimits limits;
  StationHarness h(station_test::WaterOptions());
  ASSERT_TRUE(h.Start());
  WaterLimits::Apply();
  station_test::SetTankAndWait(h, 0);
  // No water comes from the tap.
  ASSERT_TRUE(h.sim().Pin("flowMeter", "0"));
  ASSERT_TRUE(h.sim().Pin("cleanTankUpLevel", "0"));
  h.sim().ClearReceivedCommands();

  auto task = StartWith(h, PrepareRequest(TASK_TYPE_DISINFECTANT_PREPARE, 1, 2));
  ASSERT_NE(task, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return h.sim().ActuatorOn(station::ENUM_SUPPLY_TAP_WATER_SWITCH); }));
  AdvanceClockForTest(31);
  ASSERT_TRUE(WaitEnded(h, TASK_TYPE_DISINFECTANT_PREPARE));

  EXPECT_EQ(task->status(), TASK_STATUS_ERROR);
  const WaterActions actions = WaterPath(h);
  ASSERT_GE(actions.size(), 2u);
  // The task closes the tap itself before the error reset runs.
  EXPECT_EQ(actions[0], (std::pair<int, int>{kTap, 1}));
  EXPECT_EQ(actions[1], (std::pair<int, int>{kTap, 0}));
  EXPECT_FALSE(h.sim().ActuatorOn(station::ENUM_SUPPLY_TAP_WATER_SWITCH));
  EXPECT_FALSE(h.sim().ActuatorOn(station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR));
  h.WithData([](StationTaskData& d) {
    EXPECT_EQ(d.abnormal_tasks[TASK_TYPE_DISINFECTANT_PREPARE], 1);
    EXPECT_FALSE(d.tap_water_normal);
    EXPECT_FALSE(d.disinfectant_water_ready);
    EXPECT_EQ(d.water_volume, -1);
  });
}

TEST(DisinfectantPreparationTest, CancelWhileDrainingClosesTheDrain) {
  WaterLimits limits;
  StationHarness h(station_test::WaterOptions());
  ASSERT_TRUE(h.Start());
  WaterLimits::Apply();
  station_test::SetTankAndWait(h, 3000);
  h.sim().ClearReceivedCommands();

  auto task = StartWith(h, PrepareRequest(TASK_TYPE_DISINFECTANT_PREPARE, 1, 2));
  ASSERT_NE(task, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return h.sim().ActuatorOn(station::ENUM_SUPPLY_DRAINAGE_SWITCH); }));
  EXPECT_EQ(h.center()
                .HandleService(
                    PrepareRequest(TASK_TYPE_DISINFECTANT_PREPARE, 1, 2, vantorel_base_station_mqtt::ENUM_ACTION_STOP))
                .code,
            SRV_CODE_SUCCESS);
  ASSERT_TRUE(WaitEnded(h, TASK_TYPE_DISINFECTANT_PREPARE));

  EXPECT_EQ(task->status(), TASK_STATUS_CANCEL);
  // An open drain would empty the tank while the station sits idle.
  EXPECT_FALSE(h.sim().ActuatorOn(station::ENUM_SUPPLY_DRAINAGE_SWITCH));
  EXPECT_GT(h.sim().tank_volume(), 0);
  h.WithData([](StationTaskData& d) {
    EXPECT_FALSE(d.disinfectant_water_ready);
    EXPECT_EQ(d.water_volume, -1);
  });
}

TEST(LiquidPreparationTest, CleanAndPerfumeLiquidAreDosedWithTheirOwnPump) {
  struct Row {
    TaskType type;
    int pump;
    bool StationTaskData::*ready;
  };
  const Row rows[] = {
      {TASK_TYPE_CLEAN_LIQUID_PREPARE, kCleanPump, &StationTaskData::clean_liquid_ready},
      {TASK_TYPE_PERFUME_LIQUID_PREPARE, kPerfumePump, &StationTaskData::perfume_liquid_ready},
  };
  WaterLimits limits;
  StationHarness h(station_test::WaterOptions());
  ASSERT_TRUE(h.Start());
  WaterLimits::Apply();
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.type));
    station_test::SetTankAndWait(h, 800);
    h.WithData([](StationTaskData& d) { d.add_water_finished = true; });
    h.sim().ClearReceivedCommands();

    auto task = StartWith(h, PrepareRequest(row.type, 1, 0));
    ASSERT_NE(task, nullptr);
    ASSERT_TRUE(WaitEnded(h, row.type));

    EXPECT_EQ(task->status(), TASK_STATUS_OVER);
    EXPECT_EQ(WaterPath(h),
              (WaterActions{{kDrainValve, 1}, {kDrainValve, 0}, {kTap, 1}, {kTap, 0}, {row.pump, 1}, {row.pump, 0}}));
    EXPECT_GE(h.sim().tank_volume(), 1000);
    h.WithData([&](StationTaskData& d) {
      EXPECT_TRUE(d.*row.ready);
      // A new preparation may be supplied again.
      EXPECT_FALSE(d.add_water_finished);
      EXPECT_EQ(d.water_volume, 1000);
      EXPECT_GE(d.tank_water_volume, 1000);
    });
  }
}

TEST(LiquidPreparationTest, FlowCountOfThePreviousFillDoesNotEndTheNextOne) {
  WaterLimits limits;
  StationHarness h(station_test::WaterOptions());
  ASSERT_TRUE(h.Start());
  WaterLimits::Apply();
  station_test::SetTankAndWait(h, 0);
  // The last fill left the meter at 5000 counts, and no newer report comes
  // before the tap has opened.
  ASSERT_TRUE(h.sim().SetField("flowMeter", "5000"));
  ASSERT_TRUE(h.WaitSensors([](const station::SensorsDataRep& s) { return s.flowmeter() == 5000; }));
  h.sim().SetReportsEnabled(false);

  auto task = StartWith(h, PrepareRequest(TASK_TYPE_CLEAN_LIQUID_PREPARE, 1, 0));
  ASSERT_NE(task, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return h.sim().ActuatorOn(station::ENUM_SUPPLY_TAP_WATER_SWITCH); }));
  // Several passes see only the old report; the tap must stay open.
  ASSERT_TRUE(WaitUntil([&] { return h.sim().tank_volume() >= 300; }));
  EXPECT_TRUE(h.sim().ActuatorOn(station::ENUM_SUPPLY_TAP_WATER_SWITCH));
  h.sim().SetReportsEnabled(true);
  ASSERT_TRUE(WaitEnded(h, TASK_TYPE_CLEAN_LIQUID_PREPARE));

  EXPECT_EQ(task->status(), TASK_STATUS_OVER);
  EXPECT_GE(h.sim().tank_volume(), 1000);
  h.WithData([](StationTaskData& d) { EXPECT_GE(d.tank_water_volume, 1000); });
}

}  // namespace
}  // namespace station_center
