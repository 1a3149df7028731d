// The simulator against the daemon's own board link, over loopback.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bottom/data_upload_server.h"
#include "bottom/embedded_communicator.h"
#include "bottom/tcp_client.h"
#include "sim/station_sim.h"
#include "support/test_support.h"

namespace station_sim {
namespace {

using station_test::WaitUntil;
using std::chrono::milliseconds;

// The daemon's command connection with each read waiting 1.5 s instead of 10 s, so that
// an unanswered command fails within two seconds instead of ten.
class QuickClient : public station_center::TcpClient {
 public:
  using TcpClient::TcpClient;
  bool SetSockOpt(int fd, bool reuse_addr) override {
    const timeval wait{1, 500000};
    return TcpClient::SetSockOpt(fd, reuse_addr) && ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait)) == 0;
  }
};

station::SupplyMaterialReq Action(station::EnumSupplyType type, int action) {
  station::SupplyMaterialReq req;
  req.mutable_cmd_()->set_supply_type_(type);
  req.mutable_cmd_()->set_action_(action);
  return req;
}

station::SupplyMaterialReq Led(station::EnumLedCmd led) {
  station::SupplyMaterialReq req;
  req.mutable_change_led_()->set_led_cmd_(led);
  return req;
}

class SimLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimOptions opts;
    opts.report_hz = 20;
    opts.model.fill_rate_ml = 3000;
    sim_ = std::make_unique<StationSim>(opts);
    ASSERT_TRUE(sim_->Start());
    server_ = std::make_shared<station_center::DataUploadServer>("127.0.0.1", 0, [this](station::SensorsDataRep& r) {
      std::lock_guard<std::mutex> lock(mutex_);
      reports_.push_back(r);
    });
    ASSERT_TRUE(server_->Init());
    ASSERT_TRUE(WaitUntil([this] { return server_->BoundPort() != 0; }));
    sim_->SetSensorTarget("127.0.0.1", server_->BoundPort());
    client_ = std::make_shared<QuickClient>("127.0.0.1", sim_->command_port());
    ASSERT_TRUE(client_->Init());
  }
  void TearDown() override {
    server_->Stop();
    sim_.reset();
  }

  // One exchange as the daemon makes it, waiting up to `limit_s` for the answer.
  bool Send(station::SupplyMaterialReq req, int limit_s = 10) {
    req.set_seq_(++seq_);
    station::SupplyMaterialRsp rsp;
    return link_.BottomReqNeedResp(client_, req, rsp, limit_s);
  }
  std::vector<station::SensorsDataRep> Reports() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }
  bool MoreReports(size_t more, milliseconds within = std::chrono::seconds(20)) {
    const size_t want = Reports().size() + more;
    return WaitUntil([&] { return Reports().size() >= want; }, within);
  }
  void ExpectConsecutiveSeqs() {
    const auto r = Reports();
    for (size_t i = 1; i < r.size(); ++i) {
      EXPECT_EQ(r[i].seq(), r[i - 1].seq() + 1) << "report " << i;
    }
  }

  std::unique_ptr<StationSim> sim_;
  std::shared_ptr<station_center::DataUploadServer> server_;
  std::shared_ptr<QuickClient> client_;
  station_center::EmbeddedCommunicator link_;  // only its exchange is used
  int32_t seq_ = 0;
  std::mutex mutex_;
  std::vector<station::SensorsDataRep> reports_;
};

TEST_F(SimLinkTest, EachCommandFaultSwitchAsTheDaemonSeesIt) {
  const auto uv = Action(station::ENUM_SUPPLY_UV_LAMP, 1);
  const struct {
    std::vector<const char*> lines;
    station::SupplyMaterialReq req;
    bool ok;
    int min_ms = 0;
  } cases[] = {
      {{"fault delay 300"}, uv, true, 300},
      {{"fault split 1 30"}, uv, true},
      {{"fault stale first"}, uv, true},
      {{"fault stale first", "fault merge 2"}, uv, true},  // stale and real answer in one write
      {{"fault refuse drain on"}, Action(station::ENUM_SUPPLY_DRAINAGE_SWITCH, 1), false},
      {{"fault refuse drain on"}, uv, true},
      {{"fault refuse led on"}, Led(station::LED_ERROR_STATE), false},
      {{"fault garbage command"}, uv, false},
      // Unanswered: the daemon gives up at its limit (1 s here).
      {{"fault drop on"}, uv, false},
      {{"fault stale only"}, uv, false},
      {{"fault hangup on"}, uv, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lines.back());
    for (const char* line : c.lines) {
      ASSERT_EQ(sim_->Execute(line).rfind("ok:", 0), 0u) << line;
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Send(c.req, c.ok ? 10 : 1), c.ok);
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(c.min_ms));
    sim_->Execute("fault clear");
    EXPECT_TRUE(Send(uv)) << "the link works again once the fault is off";
  }

  // A connection the board closes is made again by the next command.
  const uint32_t accepts = sim_->command_accepts();
  sim_->Execute("fault close command");
  ASSERT_TRUE(WaitUntil([&] { return !sim_->command_connected(); }));
  EXPECT_TRUE(Send(uv));
  EXPECT_EQ(sim_->command_accepts(), accepts + 1);
}

TEST_F(SimLinkTest, ReportsShowTheModelAndEachSensorFaultSwitch) {
  // A command drives the model, and the reports show it.
  sim_->SetTankVolume(0);
  ASSERT_TRUE(Send(Action(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1)));
  ASSERT_TRUE(WaitUntil([&] { return !Reports().empty() && Reports().back().cleantankuplevel() == 1; }));
  EXPECT_GT(Reports().back().flowmeter(), 0u);

  // Silent reports: the link stays up and nothing arrives.
  sim_->Execute("fault reports off");
  const uint32_t last = sim_->Sensors().seq();  // the last report made; none follows
  ASSERT_TRUE(WaitUntil([&] { return Reports().back().seq() == last; }));
  EXPECT_FALSE(MoreReports(1, milliseconds(300))) << "six report periods of silence";
  EXPECT_TRUE(sim_->sensor_connected());
  sim_->Execute("fault reports on");
  ASSERT_TRUE(MoreReports(2));

  // An undecodable frame, split and merged writes: every real report arrives whole, on
  // the same connection, without a gap in the seqs.
  for (const char* line : {"fault garbage sensor", "fault split 7 20", "fault merge 3"}) {
    SCOPED_TRACE(line);
    sim_->Execute(line);
    ASSERT_TRUE(MoreReports(6));
    sim_->Execute("fault clear");
  }
  ExpectConsecutiveSeqs();
  EXPECT_EQ(sim_->sensor_connects(), 1u);

  // A closed sensor connection is made again and the reports resume.
  sim_->Execute("fault close sensor");
  ASSERT_TRUE(WaitUntil([&] { return sim_->sensor_connects() == 2; }));
  ASSERT_TRUE(MoreReports(2));
}

}  // namespace
}  // namespace station_sim
