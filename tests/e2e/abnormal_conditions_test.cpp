// Abnormal conditions made by hand at the simulator's console: each reaches the
// cloud upload and the station's lamps, and each clears again once the cause is gone.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "e2e/station_fixture.h"

namespace station_test {
namespace {

using AbnormalConditionsTest = StationFixture;

constexpr int kLedNormalWork = 1;
constexpr int kLedErrorState = 8;
constexpr int kScreenSewageOverflow = 20;
constexpr int kSensorTaskKey = 16;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool Contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

TEST_F(AbnormalConditionsTest, DustBagTakenOutUntilPutBack) {
  const long taken_out = static_cast<long>(::time(nullptr));
  Sim("dustbag out");
  std::string upload;
  EXPECT_TRUE(
      AwaitUpload([](const std::string& json) { return Contains(AbnormalSensors(json), "dust_bag=out"); }, &upload))
      << "a bag missing longer than the debounce time is reported to the cloud";
  EXPECT_EQ(AbnormalTasks(upload), std::vector<int>{kSensorTaskKey}) << "filed under the sensor checks: " << upload;
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.led == kLedErrorState; })) << "the lamps show an error";

  // Taking the bag out counts as replacing it: the status file holds the time of removal.
  std::smatch m;
  const std::string status = root_.ReadFile("/usr/lib/vantorel-station-center/status/status.json");
  ASSERT_TRUE(std::regex_search(status, m, std::regex(R"("dust_bag_last_replace_time"\s*:\s*(\d+))"))) << status;
  EXPECT_GE(std::stol(m[1].str()), taken_out) << "was " << initial_dust_bag_time_;

  const CtlResult dust = Robot({"supply", "collect-dust", "--action", "standard"});
  EXPECT_EQ(dust.exit_code, 1) << "no dust collection without a bag";
  EXPECT_TRUE(Has(dust.out, "ENUM_DUST_BAG_OUT (21)")) << dust.out;

  Sim("dustbag in");
  EXPECT_TRUE(AwaitUpload(CleanUpload)) << "the next upload no longer carries the alarm";
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.led == kLedNormalWork; }))
      << "the lamps are back to normal";
  EXPECT_EQ(Robot({"supply", "collect-dust", "--action", "standard"}).exit_code, 0) << "dust collection works again";
}

TEST_F(AbnormalConditionsTest, ElectrodePlateOverTemperatureUntilCooled) {
  Sim("pin electrodePlateTemp1 90");
  EXPECT_TRUE(AwaitUpload([](const std::string& json) {
    return Contains(AbnormalSensors(json), "electrode_plate_temp_up=90");
  })) << "the hot plate and its temperature reach the cloud";
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.led == kLedErrorState; })) << "the lamps show an error";

  const CtlResult charge = Robot({"supply", "charging", "--action", "standard"});
  EXPECT_EQ(charge.exit_code, 1) << "no charging over a hot plate";
  EXPECT_TRUE(Has(charge.out, "ENUM_UP_ELECTRODE_PLATE_OVER_TEMP (18)")) << charge.out;

  Sim("unpin electrodePlateTemp1");
  EXPECT_TRUE(AwaitUpload(CleanUpload)) << "a cooled plate clears the alarm";
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.led == kLedNormalWork; }))
      << "the lamps are back to normal";
}

TEST_F(AbnormalConditionsTest, SewageOverflowWhileThePumpIsRefusedThenPumpedAway) {
  Sim("fault refuse sewage on");
  Sim("sewage 2800");
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.led == kScreenSewageOverflow; }))
      << "an overflowing sewage box the pump cannot empty shows SCREEN_SEWAGE_OVER_FLOW";
  EXPECT_TRUE(WaitUntil([&] {
    return DaemonLog().find("det sewage, but open sewage drain pump failed") != std::string::npos;
  })) << "the station tried to open the pump";
  EXPECT_GE(State().sewage_level, 2500) << "nothing was pumped";

  Sim("fault refuse sewage off");
  EXPECT_TRUE(WaitForState([](const SimState& s) { return Has(s.actuators, "sewage(4)=80"); }))
      << "the station opens its sewage pump by itself, at standard power";
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.led == kLedNormalWork && s.sewage_level < 800; }))
      << "the sewage is pumped away and the lamps are back to normal";
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.actuators == "all off"; }))
      << "the pump stops a little while after the sewage is gone";
  EXPECT_TRUE(AwaitUpload(CleanUpload)) << "sewage is handled by the station, not reported as an abnormal condition";
}

// Abnormal records publish at once, from the sensor thread, while robot requests keep
// arriving: a request handled on the library's own receive thread would wait for the core's
// lock while the sensor thread, holding it, waits for the library's lock to publish.
TEST_F(AbnormalConditionsTest, RobotQuestionsAnsweredWhileAbnormalConditionsComeAndGo) {
  MqttPeer robot(broker_.address(), "e2e-busy-robot-" + std::to_string(::getpid()));
  ASSERT_TRUE(robot.Connect());
  std::atomic<bool> stop{false};
  std::thread questions([&] {
    while (!stop) {
      robot.Publish(StationTopic("checkStation"), R"({"checkType":"ENUM_WATER_FINISH"})");
    }
  });
  bool kept_up = true;
  for (int round = 0; round < 4 && kept_up; ++round) {
    Sim("pin electrodePlateTemp1 90");
    kept_up = WaitForState([](const SimState& s) { return s.led == kLedErrorState; }, Seconds(20));
    Sim("unpin electrodePlateTemp1");
    kept_up = kept_up && WaitForState([](const SimState& s) { return s.led == kLedNormalWork; }, Seconds(20));
    EXPECT_TRUE(kept_up) << "round " << round << ": the station stopped following its plate temperature";
  }
  stop = true;
  questions.join();
  std::string reply;
  EXPECT_TRUE(RawRequest("checkStation", R"({"checkType":"ENUM_WATER_FINISH"})", &reply))
      << "the station still answers";
}

}  // namespace
}  // namespace station_test
