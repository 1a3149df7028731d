#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <thread>

#include "clock.h"
#include "core/water_helpers.h"

namespace station_center {
namespace {

using station_test::kCleanPump;
using station_test::kDrainValve;
using station_test::kPerfumePump;
using station_test::kSorter;
using station_test::kTap;
using station_test::StationHarness;
using station_test::WaitUntil;
using station_test::WaterActions;
using DisinfectantPreparationTest = station_test::WaterScenario;
using LiquidPreparationTest = station_test::WaterScenario;

constexpr auto kSorterMotor = station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR;

int32_t WaterReadyAnswer(StationHarness& h) {
  StationSrvReq poll;
  poll.cmd = SRV_CMD_WATER_READY;
  return h.center().HandleService(poll).code;
}

// The first revision's sorter key as an input device: a FIFO under the station
// root, read by the station's own sorter counter until it is closed.
class SorterKeyDevice {
 public:
  explicit SorterKeyDevice(StationHarness& h) : path_(RootedPath("/dev/input/event8")) {
    ::mkdir(RootedPath("/dev").c_str(), 0755);
    ::mkdir(RootedPath("/dev/input").c_str(), 0755);
    ::mkfifo(path_.c_str(), 0600);
    counter_ = std::thread([&h] { h.center().SocSensorDataDetect(); });
    // Opening for writing succeeds once the counter has the device open.
    WaitUntil([&] { return (fd_ = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; });
  }
  ~SorterKeyDevice() {
    if (fd_ < 0) {
      fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);  // never blocks; releases a counter stuck in open
    }
    ::close(fd_);  // end of file ends the counter
    counter_.join();
  }
  // KEY_PROG3 pressed and released, then the synchronisation event.
  bool Press() { return Write(1, 202, 1) && Write(1, 202, 0) && Write(0, 0, 0); }

 private:
  bool Write(uint16_t type, uint16_t code, int32_t value) {
    unsigned char event[24] = {};
    std::memcpy(event + 16, &type, sizeof(type));
    std::memcpy(event + 18, &code, sizeof(code));
    std::memcpy(event + 20, &value, sizeof(value));
    return ::write(fd_, event, sizeof(event)) == static_cast<ssize_t>(sizeof(event));
  }

  std::string path_;
  int fd_ = -1;
  std::thread counter_;
};

TEST_F(DisinfectantPreparationTest, FullTankIsDrainedFilledDosedAndReadyOnBothRevisions) {
  for (const char* hardware : {"dvt3", "dvt1"}) {
    SCOPED_TRACE(hardware);
    g_config.hardware = hardware;
    std::unique_ptr<SorterKeyDevice> sorter_key;
    if (g_config.hardware == "dvt1") {
      // Only the station's own counter may count on this revision.
      ASSERT_TRUE(h_.sim().Pin("disinfectantPlateNum", "0"));
      sorter_key = std::make_unique<SorterKeyDevice>(h_);
    }
    SetTank(3000);
    h_.sim().ClearReceivedCommands();

    auto task = Prepare(TASK_TYPE_DISINFECTANT_PREPARE, 1, 2);
    ASSERT_NE(task, nullptr);
    // Draining: the earlier water is gone and the robot is told to wait.
    ASSERT_TRUE(WaitUntil([&] { return On(station::ENUM_SUPPLY_DRAINAGE_SWITCH); }));
    EXPECT_EQ(WaterReadyAnswer(h_), SRV_CODE_DISINFECTANT_PREPARING);
    if (sorter_key) {
      ASSERT_TRUE(WaitUntil([&] { return On(kSorterMotor); }));
      ASSERT_TRUE(sorter_key->Press() && sorter_key->Press());
    }
    ASSERT_TRUE(Ended(TASK_TYPE_DISINFECTANT_PREPARE));
    sorter_key.reset();

    EXPECT_EQ(task->status(), TASK_STATUS_OVER);
    EXPECT_EQ(WaterPath(),
              (WaterActions{{kDrainValve, 1}, {kDrainValve, 0}, {kTap, 1}, {kTap, 0}, {kSorter, 50}, {kSorter, 0}}));
    // A litre is 1000 flow counts; the tank holds at least what was asked.
    EXPECT_GE(h_.sim().tank_volume(), 1000);
    h_.WithData([&](StationTaskData& d) {
      EXPECT_TRUE(d.disinfectant_water_ready);
      EXPECT_EQ(d.water_volume, 1000);
      EXPECT_GE(d.tank_water_volume, 1000);
      EXPECT_GE(d.sorter_count_, g_config.hardware == "dvt1" ? 2 : 0);
    });
    EXPECT_EQ(WaterReadyAnswer(h_), SRV_CODE_WATER_READY);
  }
}

TEST_F(DisinfectantPreparationTest, OverloadedMotorIsStoppedAndRestartedWithinTheMotorLimit) {
  struct Row {
    const char* name;
    double jam_seconds;
    bool past_motor_limit;  // the clock jumps past the overall motor limit
    bool tablets;
  };
  const Row rows[] = {
      {"jam clears", 2.5, false, true},
      // Counted from the first start, not from each restart.
      {"jam never clears", 1000, true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetTank(0);
    ASSERT_TRUE(h_.sim().SetField("disinfectantPlateNum", "0"));
    h_.sim().ClearReceivedCommands();
    h_.sim().SetSorterOverload(row.jam_seconds);

    // No water wanted: the fill ends at once and dosing starts into the jam.
    auto task = Prepare(TASK_TYPE_DISINFECTANT_PREPARE, 0, 2);
    ASSERT_NE(task, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return h_.Actions(kSorter).size() >= 3; }));
    if (row.past_motor_limit) {
      AdvanceClockForTest(31);
    }
    ASSERT_TRUE(Ended(TASK_TYPE_DISINFECTANT_PREPARE));
    h_.sim().SetSorterOverload(0);

    EXPECT_EQ(task->status(), TASK_STATUS_OVER);
    const WaterActions sorter = h_.Actions(kSorter);
    // Started, stopped on the overload, restarted after the pause, left off.
    EXPECT_EQ(WaterActions(sorter.begin(), sorter.begin() + 3),
              (WaterActions{{kSorter, 50}, {kSorter, 0}, {kSorter, 50}}));
    EXPECT_EQ(sorter.back(), (std::pair<int, int>{kSorter, 0}));
    EXPECT_FALSE(On(kSorterMotor));
    EXPECT_EQ(h_.sim().Sensors().disinfectantplatenum() >= 2, row.tablets);
  }
}

TEST_F(DisinfectantPreparationTest, TapThatNeverFillsIsRecordedAndClosed) {
  SetTank(0);
  ASSERT_TRUE(h_.sim().Pin("flowMeter", "0"));  // no water comes from the tap
  ASSERT_TRUE(h_.sim().Pin("cleanTankUpLevel", "0"));
  h_.sim().ClearReceivedCommands();

  auto task = Prepare(TASK_TYPE_DISINFECTANT_PREPARE, 1, 2);
  ASSERT_NE(task, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return On(station::ENUM_SUPPLY_TAP_WATER_SWITCH); }));
  AdvanceClockForTest(31);
  ASSERT_TRUE(Ended(TASK_TYPE_DISINFECTANT_PREPARE));

  EXPECT_EQ(task->status(), TASK_STATUS_ERROR);
  const WaterActions actions = WaterPath();
  // The task closes the tap itself, before the error reset runs.
  ASSERT_GE(actions.size(), 2u);
  EXPECT_EQ(WaterActions(actions.begin(), actions.begin() + 2), (WaterActions{{kTap, 1}, {kTap, 0}}));
  EXPECT_FALSE(On(station::ENUM_SUPPLY_TAP_WATER_SWITCH));
  h_.WithData([](StationTaskData& d) {
    EXPECT_EQ(d.abnormal_tasks[TASK_TYPE_DISINFECTANT_PREPARE], 1);
    EXPECT_FALSE(d.tap_water_normal);
    EXPECT_FALSE(d.disinfectant_water_ready);
    EXPECT_EQ(d.water_volume, -1);
  });
}

TEST_F(DisinfectantPreparationTest, CancelWhileDrainingClosesTheDrain) {
  SetTank(3000);
  auto task = Prepare(TASK_TYPE_DISINFECTANT_PREPARE, 1, 2);
  ASSERT_NE(task, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return On(station::ENUM_SUPPLY_DRAINAGE_SWITCH); }));
  const StationSrvReq stop =
      station_test::PrepareRequest(TASK_TYPE_DISINFECTANT_PREPARE, 1, 2, vantorel_base_station_mqtt::ENUM_ACTION_STOP);
  EXPECT_EQ(h_.center().HandleService(stop).code, SRV_CODE_SUCCESS);
  ASSERT_TRUE(Ended(TASK_TYPE_DISINFECTANT_PREPARE));

  EXPECT_EQ(task->status(), TASK_STATUS_CANCEL);
  // An open drain would go on emptying the tank after the task is gone.
  EXPECT_FALSE(On(station::ENUM_SUPPLY_DRAINAGE_SWITCH));
  EXPECT_GT(h_.sim().tank_volume(), 0);
  h_.WithData([](StationTaskData& d) { EXPECT_EQ(d.water_volume, -1); });
}

TEST_F(LiquidPreparationTest, CleanAndPerfumeLiquidAreDosedWithTheirOwnPump) {
  struct Row {
    TaskType type;
    int pump;
    bool StationTaskData::*ready;
  };
  const Row rows[] = {
      {TASK_TYPE_CLEAN_LIQUID_PREPARE, kCleanPump, &StationTaskData::clean_liquid_ready},
      {TASK_TYPE_PERFUME_LIQUID_PREPARE, kPerfumePump, &StationTaskData::perfume_liquid_ready},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.type));
    SetTank(800);
    h_.WithData([](StationTaskData& d) { d.add_water_finished = true; });
    h_.sim().ClearReceivedCommands();

    auto task = Prepare(row.type, 1, 0);
    ASSERT_NE(task, nullptr);
    ASSERT_TRUE(Ended(row.type));

    EXPECT_EQ(task->status(), TASK_STATUS_OVER);
    EXPECT_EQ(WaterPath(),
              (WaterActions{{kDrainValve, 1}, {kDrainValve, 0}, {kTap, 1}, {kTap, 0}, {row.pump, 1}, {row.pump, 0}}));
    EXPECT_GE(h_.sim().tank_volume(), 1000);
    h_.WithData([&](StationTaskData& d) {
      EXPECT_TRUE(d.*row.ready);
      EXPECT_FALSE(d.add_water_finished);  // the new liquid may be supplied
      EXPECT_EQ(d.water_volume, 1000);     // in flow counts, as the supply compares
      EXPECT_GE(d.tank_water_volume, 1000);
    });
  }
}

TEST_F(LiquidPreparationTest, FlowCountOfThePreviousFillDoesNotEndTheNextOne) {
  SetTank(0);
  // The last fill left the meter at 5000, and no newer report comes until
  // the tap is open.
  ASSERT_TRUE(h_.sim().SetField("flowMeter", "5000"));
  ASSERT_TRUE(h_.WaitSensors([](const station::SensorsDataRep& s) { return s.flowmeter() == 5000; }));
  h_.sim().SetReportsEnabled(false);

  auto task = Prepare(TASK_TYPE_CLEAN_LIQUID_PREPARE, 1, 0);
  ASSERT_NE(task, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return h_.sim().tank_volume() >= 300; }));
  EXPECT_TRUE(On(station::ENUM_SUPPLY_TAP_WATER_SWITCH));
  h_.sim().SetReportsEnabled(true);
  ASSERT_TRUE(Ended(TASK_TYPE_CLEAN_LIQUID_PREPARE));

  EXPECT_EQ(task->status(), TASK_STATUS_OVER);
  EXPECT_GE(h_.sim().tank_volume(), 1000);
  h_.WithData([](StationTaskData& d) { EXPECT_GE(d.tank_water_volume, 1000); });
}

}  // namespace
}  // namespace station_center
