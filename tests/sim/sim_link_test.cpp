// The simulator against the daemon's own board link, over loopback.

#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bottom/embedded_communicator.h"
#include "config.h"
#include "logger.h"
#include "sim/station_sim.h"
#include "support/test_support.h"

namespace station_sim {
namespace {

using station_test::WaitUntil;
using std::chrono::milliseconds;

// Keeps the daemon's log lines so a test can see how it judged a frame.
class LineSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  int Count(const std::string& needle) {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& l : lines_) {
      n += l.find(needle) != std::string::npos ? 1 : 0;
    }
    return n;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    lines_.emplace_back(msg.payload.data(), msg.payload.size());
  }
  void flush_() override {}

 private:
  std::vector<std::string> lines_;
};

// Installed once, while no test thread is logging, and kept for the whole run.
LineSink& Log() {
  static std::shared_ptr<LineSink> sink = [] {
    auto s = std::make_shared<LineSink>();
    vantorel::Logger::Instance().logger()->sinks().push_back(s);
    return s;
  }();
  return *sink;
}

station::ActionCommand Cmd(station::EnumSupplyType type, int action) {
  station::ActionCommand c;
  c.set_supply_type_(type);
  c.set_action_(action);
  return c;
}

class SimLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Log().Clear();
    saved_ = station_center::g_config;
    SimOptions opts;
    opts.report_hz = 20;
    opts.model.fill_rate_ml = 3000;
    sim_ = std::make_unique<StationSim>(opts);
    ASSERT_TRUE(sim_->Start());
    auto& cfg = station_center::g_config;
    cfg.embedded_ip = "127.0.0.1";
    cfg.embedded_action_port = sim_->command_port();
    cfg.soc_ip = "127.0.0.1";
    cfg.soc_data_server_port = 0;
    cfg.bottom_action_timeout = 2;
    cfg.connect_embedded_board_time = 5;
    comm_ = std::make_shared<station_center::EmbeddedCommunicator>();
    ASSERT_TRUE(comm_->Init([this](station::SensorsDataRep& r) {
      std::lock_guard<std::mutex> lock(mu_);
      reports_.push_back(r);
    }));
    ASSERT_TRUE(WaitUntil([this] { return comm_->SensorServerPort() != 0; }));
    sim_->SetSensorTarget("127.0.0.1", comm_->SensorServerPort());
  }

  void TearDown() override {
    comm_.reset();
    sim_.reset();
    station_center::g_config = saved_;
  }

  std::vector<station::SensorsDataRep> Reports() {
    std::lock_guard<std::mutex> lock(mu_);
    return reports_;
  }
  size_t ReportCount() { return Reports().size(); }
  bool WaitForMoreReports(size_t more) {
    const size_t want = ReportCount() + more;
    return WaitUntil([&] { return ReportCount() >= want; });
  }

  station_center::Config saved_;
  std::unique_ptr<StationSim> sim_;
  std::shared_ptr<station_center::EmbeddedCommunicator> comm_;
  std::mutex mu_;
  std::vector<station::SensorsDataRep> reports_;
};

TEST_F(SimLinkTest, CommandsAreAcknowledgedAndDriveTheReportedModel) {
  sim_->SetTankVolume(0);
  ASSERT_TRUE(WaitUntil([&] { return ReportCount() > 0 && Reports().back().cleantankfootlevel() == 1; }));
  ASSERT_TRUE(comm_->DoAction(Cmd(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1)));
  EXPECT_TRUE(sim_->ActuatorOn(station::ENUM_SUPPLY_TAP_WATER_SWITCH));
  ASSERT_TRUE(comm_->DoAction(Cmd(station::ENUM_SUPPLY_SEWAGE_PUMP, 80)));
  EXPECT_EQ(sim_->ActuatorPower(station::ENUM_SUPPLY_SEWAGE_PUMP), 80);
  ASSERT_TRUE(comm_->ChangeLed(station::LED_CHARGING));
  EXPECT_EQ(sim_->last_led(), station::LED_CHARGING);

  const auto cmds = sim_->ReceivedCommands();
  ASSERT_EQ(cmds.size(), 3u);
  EXPECT_LT(cmds[0].seq_(), cmds[1].seq_());
  EXPECT_TRUE(cmds[2].has_change_led_());

  // The daemon sees the tank fill through the reports, with their seq counting up.
  ASSERT_TRUE(WaitUntil([&] {
    const auto r = Reports();
    return !r.empty() && r.back().cleantankuplevel() == 1;
  }));
  const auto r = Reports();
  for (size_t i = 1; i < r.size(); ++i) {
    EXPECT_EQ(r[i].seq(), r[i - 1].seq() + 1);
  }
  EXPECT_GT(r.back().flowmeter(), 0u);
}

TEST_F(SimLinkTest, RefusedSupplyTypeFailsOnlyThatType) {
  sim_->RefuseSupply(station::ENUM_SUPPLY_DRAINAGE_SWITCH, true);
  EXPECT_FALSE(comm_->DoAction(Cmd(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 1)));
  EXPECT_FALSE(sim_->ActuatorOn(station::ENUM_SUPPLY_DRAINAGE_SWITCH));
  EXPECT_EQ(Log().Count("processing failed right now"), 1);
  EXPECT_TRUE(comm_->DoAction(Cmd(station::ENUM_SUPPLY_UV_LAMP, 1)));
  sim_->RefuseLed(true);
  EXPECT_FALSE(comm_->ChangeLed(station::LED_ERROR_STATE));
  sim_->ClearFaults();
  EXPECT_TRUE(comm_->DoAction(Cmd(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 1)));
}

TEST_F(SimLinkTest, DelayedSplitAndMergedAnswersStillCount) {
  sim_->SetAckDelayMs(400);
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(comm_->DoAction(Cmd(station::ENUM_SUPPLY_UV_LAMP, 1)));
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(400));
  sim_->SetAckDelayMs(0);

  sim_->SetSplitWrites(1);
  sim_->SetSplitGapMs(30);
  EXPECT_TRUE(comm_->DoAction(Cmd(station::ENUM_SUPPLY_UV_LAMP, 0)));
  sim_->SetSplitWrites(0);

  // A stale answer is skipped by the daemon, alone or merged with the real one.
  sim_->SetStaleSeq(StaleMode::kFirst);
  EXPECT_TRUE(comm_->DoAction(Cmd(station::ENUM_SUPPLY_HEATING_FAN, 1)));
  sim_->SetMergeReports(2);
  EXPECT_TRUE(comm_->DoAction(Cmd(station::ENUM_SUPPLY_HEATING_FAN, 0)));
  EXPECT_EQ(Log().Count("Recv data not this request"), 2);
}

TEST_F(SimLinkTest, GarbageAnswerFailsOneCommand) {
  sim_->SendGarbageCommandReply();
  EXPECT_FALSE(comm_->DoAction(Cmd(station::ENUM_SUPPLY_UV_LAMP, 1)));
  EXPECT_EQ(Log().Count("Deserialize response from SendCleaningComponentRequest failed"), 1);
  EXPECT_TRUE(comm_->DoAction(Cmd(station::ENUM_SUPPLY_UV_LAMP, 1)));
}

// Each of these leaves the daemon waiting for an answer that never comes.
TEST_F(SimLinkTest, UnansweredCommandsFail) {
  struct Case {
    const char* fault;
    const char* undo;
  };
  for (const Case& c : {Case{"fault drop on", "fault drop off"}, Case{"fault stale only", "fault stale off"},
                        Case{"fault hangup on", "fault hangup off"}}) {
    SCOPED_TRACE(c.fault);
    ASSERT_EQ(sim_->Execute(c.fault).rfind("ok:", 0), 0u);
    EXPECT_FALSE(comm_->DoAction(Cmd(station::ENUM_SUPPLY_UV_LAMP, 1)));
    sim_->Execute(c.undo);
    EXPECT_TRUE(comm_->DoAction(Cmd(station::ENUM_SUPPLY_UV_LAMP, 1)));
  }
}

TEST_F(SimLinkTest, ClosedCommandConnectionIsRemadeByTheDaemon) {
  ASSERT_TRUE(comm_->DoAction(Cmd(station::ENUM_SUPPLY_UV_LAMP, 1)));
  const uint32_t accepts = sim_->command_accepts();
  sim_->CloseCommandConnection();
  ASSERT_TRUE(WaitUntil([&] { return !sim_->command_connected(); }));
  EXPECT_TRUE(comm_->DoAction(Cmd(station::ENUM_SUPPLY_UV_LAMP, 0)));
  EXPECT_EQ(sim_->command_accepts(), accepts + 1);
}

TEST_F(SimLinkTest, SensorFaultsAsTheDaemonSeesThem) {
  ASSERT_TRUE(WaitForMoreReports(3));

  // Stopped reports: the link stays up and nothing arrives.
  sim_->SetReportsEnabled(false);
  const uint32_t last = sim_->Sensors().seq();  // the last report made; none follows
  ASSERT_TRUE(WaitUntil([&] { return ReportCount() > 0 && Reports().back().seq() == last; }));
  const size_t before = ReportCount();
  std::this_thread::sleep_for(milliseconds(400));  // eight report periods of silence
  EXPECT_EQ(ReportCount(), before);
  EXPECT_TRUE(sim_->sensor_connected());
  sim_->SetReportsEnabled(true);
  ASSERT_TRUE(WaitForMoreReports(2));

  // A garbage frame is rejected without costing the connection.
  sim_->SendGarbageReport();
  ASSERT_TRUE(WaitUntil([&] { return Log().Count("Deserialize CleanRobotReport error") == 1; }));
  ASSERT_TRUE(WaitForMoreReports(2));
  EXPECT_EQ(sim_->sensor_connects(), 1u);

  // Split and merged writes still come out as whole, consecutive reports.
  sim_->SetSplitWrites(7);
  sim_->SetSplitGapMs(20);
  ASSERT_TRUE(WaitForMoreReports(2));
  sim_->SetSplitWrites(0);
  sim_->SetMergeReports(3);
  ASSERT_TRUE(WaitForMoreReports(6));
  const auto r = Reports();
  for (size_t i = 1; i < r.size(); ++i) {
    EXPECT_EQ(r[i].seq(), r[i - 1].seq() + 1);
  }
  sim_->SetMergeReports(1);

  // A closed sensor connection is made again and the reports resume.
  sim_->CloseSensorConnection();
  ASSERT_TRUE(WaitUntil([&] { return sim_->sensor_connects() == 2; }));
  ASSERT_TRUE(WaitForMoreReports(2));
}

}  // namespace
}  // namespace station_sim
