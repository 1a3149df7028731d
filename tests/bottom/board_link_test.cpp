#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bottom/data_upload_server.h"
#include "bottom/embedded_communicator.h"
#include "bottom/fake_board_fixture.h"
#include "bottom/tcp_client.h"
#include "clock.h"
#include "config.h"
#include "support/test_support.h"

namespace station_center {
namespace {

using station_test::BoardReply;
using station_test::FakeBoard;
using station_test::LogCapture;
using station_test::ReplyFrame;
using station_test::SensorFrame;
using station_test::SplitAt;
using station_test::WaitUntil;

int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

station::ActionCommand SewagePumpOff() {
  station::ActionCommand cmd;
  cmd.set_action_(0);
  cmd.set_supply_type_(station::ENUM_SUPPLY_SEWAGE_PUMP);
  return cmd;
}

station::SensorsDataRep Report(uint32_t seq) {
  station::SensorsDataRep report;
  report.set_seq(seq);
  report.set_cleantankuplevel(seq * 10);
  report.set_negativepressure(-static_cast<int32_t>(seq));
  return report;
}

// Sensor reports as the station core would receive them.
class ReportSink {
 public:
  SensorCallback Callback() {
    return [this](station::SensorsDataRep& report) {
      std::lock_guard<std::mutex> lock(mutex_);
      seqs_.push_back(report.seq());
    };
  }
  std::vector<uint32_t> seqs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seqs_;
  }
  bool WaitFor(size_t count) const {
    return WaitUntil([&] { return seqs().size() >= count; });
  }

 private:
  mutable std::mutex mutex_;
  std::vector<uint32_t> seqs_;
};

// Settings every board-link test starts from: loopback only, short limits.
class BoardLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = g_config;
    g_config.embedded_ip = "127.0.0.1";
    g_config.embedded_action_port = board_.command_port();
    g_config.soc_ip = "127.0.0.1";
    g_config.soc_data_server_port = 0;  // ephemeral; read back with SensorServerPort()
    g_config.bottom_action_timeout = 2;
    g_config.connect_embedded_board_time = 1;
    g_config.data_upload_server_cache_size = 4096;
    g_config.do_action_cache_size = 4096;
    g_config.debug = false;
  }
  void TearDown() override {
    comm_.reset();  // stops the sensor server before the settings change back
    g_config = saved_;
  }

  void StartLink() {
    comm_ = std::make_unique<EmbeddedCommunicator>();
    ASSERT_TRUE(comm_->Init(reports_.Callback()));
    ASSERT_TRUE(WaitUntil([&] { return comm_->SensorServerPort() != 0; }));
  }

  // Sensor tests need no command link: a bare server is quicker to start.
  std::shared_ptr<DataUploadServer> StartSensorServer() {
    auto server = std::make_shared<DataUploadServer>("127.0.0.1", 0, reports_.Callback());
    EXPECT_TRUE(server->Init());
    EXPECT_TRUE(WaitUntil([&] { return server->BoundPort() != 0; }));
    return server;
  }

  LogCapture log_;  // first in, last out: outlives every thread below
  Config saved_;
  FakeBoard board_;
  ReportSink reports_;
  std::unique_ptr<EmbeddedCommunicator> comm_;
};

TEST_F(BoardLinkTest, ExchangesTheExampleFramesByteExact) {
  board_.SetPolicy([](const station::SupplyMaterialReq&) { return BoardReply{{std::string("\x02\x00\x08\x01", 4)}}; });
  EmbeddedCommunicator comm;
  auto client = std::make_shared<TcpClient>("127.0.0.1", board_.command_port());
  ASSERT_TRUE(client->Init());
  station::SupplyMaterialReq req;
  req.set_seq_(1);
  *req.mutable_cmd_() = SewagePumpOff();
  station::SupplyMaterialRsp rsp;
  EXPECT_TRUE(comm.BottomReqNeedResp(client, req, rsp, 2));
  EXPECT_EQ(board_.raw_received(), std::string("\x06\x00\x08\x01\x12\x02\x10\x04", 8));
  EXPECT_EQ(rsp.seq_(), 1);
  EXPECT_EQ(rsp.err_code_(), station::ENUM_SUCCESS);
  EXPECT_EQ(log_.Count("req_over_flag = true, request id : 1"), 1);
}

TEST_F(BoardLinkTest, CommandsCarryStrictlyIncreasingTimeBasedIds) {
  ASSERT_NO_FATAL_FAILURE(StartLink());
  const int64_t before = NowSeconds();
  EXPECT_TRUE(comm_->DoAction(SewagePumpOff()));
  EXPECT_TRUE(comm_->ChangeLed(station::LED_CHARGING));
  EXPECT_TRUE(comm_->DoAction(SewagePumpOff()));
  const auto commands = board_.commands();
  ASSERT_EQ(commands.size(), 3U);
  EXPECT_GE(commands[0].seq_(), before);
  EXPECT_GT(commands[1].seq_(), commands[0].seq_());
  EXPECT_GT(commands[2].seq_(), commands[1].seq_());
  EXPECT_TRUE(commands[0].has_cmd_());
  EXPECT_FALSE(commands[0].has_change_led_());
  EXPECT_FALSE(commands[1].has_cmd_());
  EXPECT_EQ(commands[1].change_led_().led_cmd_(), station::LED_CHARGING);
}

TEST_F(BoardLinkTest, StaleRepliesAreSkippedWithoutResendingWhateverTheSplitting) {
  // How the board cuts "stale reply, own reply" into writes.
  const struct {
    const char* name;
    std::function<std::vector<std::string>(const std::string&)> cut;
  } kCases[] = {
      {"one write per frame", [](const std::string&) { return std::vector<std::string>{}; }},
      {"both merged", [](const std::string& both) { return std::vector<std::string>{both}; }},
      {"split inside the length and the body",
       [](const std::string& both) {
         return SplitAt(both, {1, 5, both.size() - 2});
       }},
  };
  ASSERT_NO_FATAL_FAILURE(StartLink());
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    board_.SetPolicy([&c](const station::SupplyMaterialReq& req) {
      const std::string stale = ReplyFrame(req.seq_() - 1, station::ENUM_ERROR_UNKNOW, "old");
      const std::string own = ReplyFrame(req.seq_());
      std::vector<std::string> chunks = c.cut(stale + own);
      if (chunks.empty()) {
        chunks = {stale, own};
      }
      return BoardReply{chunks};
    });
    const size_t sent_before = board_.commands().size();
    const int stale_before = log_.Count("Recv data not this request");
    EXPECT_TRUE(comm_->DoAction(SewagePumpOff()));
    EXPECT_EQ(board_.commands().size(), sent_before + 1);
    EXPECT_EQ(log_.Count("Recv data not this request"), stale_before + 1);
  }
}

TEST_F(BoardLinkTest, RefusedCommandIsAnsweredButFails) {
  ASSERT_NO_FATAL_FAILURE(StartLink());
  board_.SetPolicy([](const station::SupplyMaterialReq& req) {
    return BoardReply{{ReplyFrame(req.seq_(), station::ENUM_ERROR_UNKNOW, "valve stuck")}};
  });
  EXPECT_FALSE(comm_->DoAction(SewagePumpOff()));
  EXPECT_EQ(log_.Count("SendCleaningComponentRequest processing failed right now"), 1);
  EXPECT_EQ(log_.Count("resp.err_code = 1, resp.error_msg = [valve stuck] req_over_flag = true"), 1);
  EXPECT_EQ(log_.Count("ErrorCode: 101900057, SendCleaningComponentRequest failed"), 1);
}

TEST_F(BoardLinkTest, UnreachableBoardFailsAfterTheTimeLimitWithoutSpinning) {
  ASSERT_NO_FATAL_FAILURE(StartLink());
  board_.StopListening();
  log_.Clear();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(comm_->DoAction(SewagePumpOff()));
  EXPECT_GE(ElapsedMs(start), 1900);
  EXPECT_LT(ElapsedMs(start), 10000);
  // One attempt per second of the 2-second limit, give or take one.
  const int attempts = log_.Count("Try to connect server");
  EXPECT_GE(attempts, 1);
  EXPECT_LE(attempts, 4);
  EXPECT_EQ(log_.Count("BottomReqNeedResp exchange failed, exchange:false"), attempts);
}

TEST_F(BoardLinkTest, BoardDyingBeforeItsReplyPausesBetweenReconnections) {
  ASSERT_NO_FATAL_FAILURE(StartLink());
  board_.SetPolicy([](const station::SupplyMaterialReq&) {
    BoardReply reply;
    reply.stop_listening = true;
    return reply;
  });
  log_.Clear();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(comm_->DoAction(SewagePumpOff()));
  EXPECT_GE(ElapsedMs(start), 1900);
  EXPECT_EQ(board_.commands().size(), 1U);  // never sent again
  EXPECT_GE(log_.Count("SendCleaningComponentRequest response failed"), 1);
  EXPECT_LE(log_.Count("Try to connect server"), 4);
}

TEST_F(BoardLinkTest, RestartedBoardIsReconnectedByTheNextCommand) {
  ASSERT_NO_FATAL_FAILURE(StartLink());
  EXPECT_TRUE(comm_->DoAction(SewagePumpOff()));
  board_.Restart();
  EXPECT_TRUE(comm_->DoAction(SewagePumpOff()));
  EXPECT_EQ(board_.accepted(), 2);
  EXPECT_EQ(board_.commands().size(), 2U);
}

TEST_F(BoardLinkTest, OversizedReplyLengthDropsTheConnection) {
  g_config.do_action_cache_size = 64;
  g_config.bottom_action_timeout = 10;
  ASSERT_NO_FATAL_FAILURE(StartLink());
  board_.SetPolicy([](const station::SupplyMaterialReq&) { return BoardReply{{std::string("\xff\x00\x08\x01", 4)}}; });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(comm_->DoAction(SewagePumpOff()));
  EXPECT_LT(ElapsedMs(start), 5000);  // out of step ends the exchange, no waiting for the limit
  EXPECT_EQ(log_.Count("Deserialize response from SendCleaningComponentRequest failed"), 1);

  board_.SetPolicy(station_test::AckAll());
  EXPECT_TRUE(comm_->DoAction(SewagePumpOff()));
  EXPECT_EQ(board_.accepted(), 2);
}

TEST_F(BoardLinkTest, InitFailsWhenTheBoardNeverAnswers) {
  board_.StopListening();
  EmbeddedCommunicator comm;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(comm.Init(reports_.Callback()));
  EXPECT_GE(ElapsedMs(start), 1900);
  EXPECT_EQ(log_.Count("ErrorCode: 101900070, Init tcp connect to embedded error"), 1);
  EXPECT_EQ(log_.Count("Start tcp server thread"), 0);
}

TEST_F(BoardLinkTest, SplitAndMergedSensorReportsAllArriveInOrderPastBadFrames) {
  auto server = StartSensorServer();
  // An undecodable frame (dropped, the stream goes on) between six reports.
  std::string stream = SensorFrame(Report(1));
  const size_t frame = stream.size();
  for (uint32_t seq = 2; seq <= 6; ++seq) {
    stream += SensorFrame(Report(seq));
  }
  stream.insert(frame, std::string("\x02\x00\xff\xff", 4));
  // A lone length byte, a cut inside a body, then several frames in one write.
  ASSERT_TRUE(board_.ConnectSensor(server->BoundPort()));
  ASSERT_TRUE(board_.SendSensor(SplitAt(stream, {1, 4, frame + 2, 4 * frame + 1}), std::chrono::milliseconds(150)));
  ASSERT_TRUE(reports_.WaitFor(6));
  EXPECT_EQ(reports_.seqs(), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(log_.Count("ErrorCode: 101900012, Deserialize CleanRobotReport error"), 1);
  server->Stop();
}

TEST_F(BoardLinkTest, OversizedSensorLengthDropsTheConnectionAndTheBoardReconnects) {
  g_config.data_upload_server_cache_size = 64;
  auto server = StartSensorServer();
  ASSERT_TRUE(board_.ConnectSensor(server->BoundPort()));
  ASSERT_TRUE(board_.SendSensor({std::string("\x00\x01", 2) + std::string(20, '\0')}));
  ASSERT_TRUE(board_.WaitSensorClosedByPeer());
  EXPECT_EQ(log_.Count("ErrorCode: 101900012, Deserialize CleanRobotReport error"), 1);

  ASSERT_TRUE(board_.ConnectSensor(server->BoundPort()));
  ASSERT_TRUE(board_.SendSensor({SensorFrame(Report(1)), SensorFrame(Report(2))}, std::chrono::milliseconds(20)));
  ASSERT_TRUE(reports_.WaitFor(2));
  EXPECT_EQ(reports_.seqs(), (std::vector<uint32_t>{1, 2}));
  server->Stop();
}

TEST_F(BoardLinkTest, SensorReportsArePrintedEveryNthInDebugMode) {
  const struct {
    bool debug;
    int32_t space;
    std::vector<std::string> printed;
  } kCases[] = {
      {true, 3, {"seq: 3 ", "seq: 6 "}},
      {true, 0, {}},
      {false, 3, {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << "debug " << c.debug << " space " << c.space);
    g_config.debug = c.debug;
    g_config.sensor_data_print_space = c.space;
    log_.Clear();
    ReportSink sink;
    auto server = std::make_shared<DataUploadServer>("127.0.0.1", 0, sink.Callback());
    ASSERT_TRUE(server->Init());
    ASSERT_TRUE(WaitUntil([&] { return server->BoundPort() != 0; }));
    ASSERT_TRUE(board_.ConnectSensor(server->BoundPort()));
    std::vector<std::string> frames;
    for (uint32_t seq = 1; seq <= 7; ++seq) {
      frames.push_back(SensorFrame(Report(seq)));
    }
    ASSERT_TRUE(board_.SendSensor(frames, std::chrono::milliseconds(10)));
    ASSERT_TRUE(sink.WaitFor(7));
    server->Stop();
    EXPECT_EQ(server->report_count(), c.debug ? 7 : 0);
    const auto lines = log_.Lines("sensor data : ");
    ASSERT_EQ(lines.size(), c.printed.size());
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_NE(lines[i].find(c.printed[i]), std::string::npos) << lines[i];
    }
    board_.CloseSensor();
  }
}

TEST_F(BoardLinkTest, DestroyingTheLinkStopsTheSensorServer) {
  ASSERT_NO_FATAL_FAILURE(StartLink());
  ASSERT_TRUE(board_.ConnectSensor(comm_->SensorServerPort()));
  ASSERT_TRUE(board_.SendSensor({SensorFrame(Report(1))}));
  ASSERT_TRUE(reports_.WaitFor(1));
  std::weak_ptr<DataUploadServer> server = comm_->data_upload_server();
  comm_.reset();
  EXPECT_TRUE(server.expired());
  EXPECT_TRUE(board_.WaitSensorClosedByPeer());
}

}  // namespace
}  // namespace station_center
