#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bottom/embedded_communicator.h"
#include "bottom/fake_board_fixture.h"
#include "bottom/tcp_client.h"
#include "clock.h"
#include "config.h"
#include "support/test_support.h"
#include "task/log_capture.h"

namespace station_center {
namespace {

using station_test::BoardReply;
using station_test::FakeBoard;
using station_test::Logs;
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

class BoardLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Logs().Clear();  // installs the capture before any thread logs
    saved_ = g_config;
    g_config.embedded_ip = "127.0.0.1";
    g_config.embedded_action_port = board_.command_port();
    g_config.soc_ip = "127.0.0.1";
    g_config.soc_data_server_port = 0;  // ephemeral; read back with SensorServerPort()
    g_config.bottom_action_timeout = 2;
    g_config.connect_embedded_board_time = 1;
  }
  void TearDown() override {
    comm_.reset();  // stops the sensor server before the settings change back
    g_config = saved_;
  }

  void StartLink() {
    comm_ = std::make_unique<EmbeddedCommunicator>();
    ASSERT_TRUE(comm_->Init([this](station::SensorsDataRep& report) {
      std::lock_guard<std::mutex> lock(mutex_);
      seqs_.push_back(report.seq());
    }));
    ASSERT_TRUE(WaitUntil([&] { return comm_->SensorServerPort() != 0; }));
  }
  std::vector<uint32_t> Seqs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seqs_;
  }

  Config saved_;
  FakeBoard board_;
  std::mutex mutex_;
  std::vector<uint32_t> seqs_;  // sensor reports received, in order
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
}

TEST_F(BoardLinkTest, CommandsAreMatchedToTheirOwnRepliesAcrossReconnections) {
  g_config.do_action_cache_size = 64;  // a length prefix can exceed it
  g_config.bottom_action_timeout = 10;
  ASSERT_NO_FATAL_FAILURE(StartLink());
  // Ids are time-based and strictly increasing, also within one second.
  const int64_t before = NowSeconds();
  EXPECT_TRUE(comm_->DoAction(SewagePumpOff()));
  EXPECT_TRUE(comm_->ChangeLed(station::LED_CHARGING));
  EXPECT_TRUE(comm_->DoAction(SewagePumpOff()));
  const auto commands = board_.commands();
  ASSERT_EQ(commands.size(), 3U);
  EXPECT_GE(commands[0].seq_(), before);
  EXPECT_GT(commands[1].seq_(), commands[0].seq_());
  EXPECT_GT(commands[2].seq_(), commands[1].seq_());
  EXPECT_EQ(commands[1].change_led_().led_cmd_(), station::LED_CHARGING);

  // A refusing stale reply (to be skipped) before the own one, in one write or cut anywhere.
  const auto stale = [](int32_t seq) { return ReplyFrame(seq - 1, station::ENUM_ERROR_UNKNOW, "old"); };
  using Chunks = std::vector<std::string>;
  const struct {
    const char* name;
    std::function<Chunks(int32_t)> chunks;
    bool ok;
  } cases[] = {
      {"both in one write", [&](int32_t seq) { return Chunks{stale(seq) + ReplyFrame(seq)}; }, true},
      {"cut inside the length and the body",
       [&](int32_t seq) {
         const std::string both = stale(seq) + ReplyFrame(seq);
         return SplitAt(both, {1, 5, both.size() - 2});
       },
       true},
      {"refused", [](int32_t seq) { return Chunks{ReplyFrame(seq, station::ENUM_ERROR_UNKNOW, "stuck")}; }, false},
      {"length beyond the buffer", [](int32_t) { return Chunks{std::string("\xff\x00\x08\x01", 4)}; }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    board_.SetPolicy([&c](const station::SupplyMaterialReq& req) { return BoardReply{c.chunks(req.seq_())}; });
    const size_t sent = board_.commands().size();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(comm_->DoAction(SewagePumpOff()), c.ok);
    EXPECT_LT(ElapsedMs(start), 5000) << "answered or out of step: no waiting for the limit";
    EXPECT_EQ(board_.commands().size(), sent + 1) << "never sent twice";
  }

  // Out of step, the link dropped the connection: the next command makes a new one,
  // and so does the one after a board restart.
  board_.SetPolicy([](const station::SupplyMaterialReq& req) { return BoardReply{{ReplyFrame(req.seq_())}}; });
  EXPECT_TRUE(comm_->DoAction(SewagePumpOff()));
  EXPECT_EQ(board_.accepted(), 2);
  board_.Restart();
  EXPECT_TRUE(comm_->DoAction(SewagePumpOff()));
  EXPECT_EQ(board_.accepted(), 3);
}

TEST_F(BoardLinkTest, UnreachableBoardFailsAtTheTimeLimitWithoutSpinning) {
  ASSERT_NO_FATAL_FAILURE(StartLink());
  board_.SetPolicy([](const station::SupplyMaterialReq&) {
    BoardReply reply;
    reply.stop_listening = true;  // dies after reading the command
    return reply;
  });
  // First the reply wait reconnects in vain, then the next command cannot even be sent.
  for (const char* phase : {"dead before its reply", "dead before the command"}) {
    SCOPED_TRACE(phase);
    Logs().Clear();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(comm_->DoAction(SewagePumpOff()));
    EXPECT_GE(ElapsedMs(start), 1900);
    EXPECT_LE(Logs().Count("Try to connect server"), 4) << "about one attempt a second, not a busy loop";
  }
  EXPECT_EQ(board_.commands().size(), 1U) << "never resent";
}

TEST_F(BoardLinkTest, SensorReportsAreReassembledAndAnOversizedLengthDropsTheConnection) {
  g_config.data_upload_server_cache_size = 64;
  g_config.debug = true;
  g_config.sensor_data_print_space = 3;
  ASSERT_NO_FATAL_FAILURE(StartLink());
  // Six reports and an undecodable frame (dropped, the stream goes on), written as a lone
  // length byte, a cut inside a body and several frames at once.
  std::string stream = SensorFrame(1) + std::string("\x02\x00\xff\xff", 4);
  const size_t frame = SensorFrame(1).size();
  for (uint32_t seq = 2; seq <= 6; ++seq) {
    stream += SensorFrame(seq);
  }
  ASSERT_TRUE(board_.ConnectSensor(comm_->SensorServerPort()));
  ASSERT_TRUE(board_.SendSensor(SplitAt(stream, {1, 4, frame + 2, 4 * frame + 1}), std::chrono::milliseconds(150)));
  ASSERT_TRUE(WaitUntil([&] { return Seqs().size() >= 6; }));
  EXPECT_EQ(Seqs(), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(Logs().Count("sensor data : "), 2) << "debug mode prints every third report";
  EXPECT_EQ(Logs().Count("sensor data : seq: 6 "), 1);

  // A length beyond the buffer means the stream is out of step: the connection is dropped
  // and the board's next one starts afresh.
  ASSERT_TRUE(board_.SendSensor({std::string("\x00\x01", 2) + std::string(20, '\0')}));
  ASSERT_TRUE(board_.WaitSensorClosedByPeer());
  ASSERT_TRUE(board_.ConnectSensor(comm_->SensorServerPort()));
  ASSERT_TRUE(board_.SendSensor({SensorFrame(7), SensorFrame(8)}, std::chrono::milliseconds(20)));
  ASSERT_TRUE(WaitUntil([&] { return Seqs().size() >= 8; }));
  EXPECT_EQ(Seqs(), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8}));

  std::weak_ptr<DataUploadServer> server = comm_->data_upload_server();
  comm_.reset();
  EXPECT_TRUE(server.expired()) << "destroying the link stops its sensor server";
  EXPECT_TRUE(board_.WaitSensorClosedByPeer());
}

// A board that has gone away must fail the send, not end the daemon with SIGPIPE.
TEST(TcpSocketTest, SendToAClosedPeerFailsWithoutSigpipe) {
  const auto previous = std::signal(SIGPIPE, SIG_DFL);
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  ::close(fds[1]);
  TcpSocket socket("127.0.0.1", 0);
  socket.sock_ = fds[0];  // closed by the destructor
  EXPECT_FALSE(socket.SendData(fds[0], "x", 1));
  std::signal(SIGPIPE, previous);
}

// A daemon without its sensor port must not run on.
TEST(TcpServerDeathTest, BindFailureEndsTheProcessWith255) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  FakeBoard holder;  // listens on the port the server wants
  EXPECT_EXIT(
      {
        auto server = std::make_shared<TcpServer>("127.0.0.1", holder.command_port());
        server->Init();
        for (;;) {
          std::this_thread::sleep_for(std::chrono::seconds(1));
        }
      },
      ::testing::ExitedWithCode(255), "");
}

}  // namespace
}  // namespace station_center
