#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bottom/board_frames.h"
#include "bottom/embedded_communicator.h"
#include "bottom/tcp_server.h"
#include "clock.h"
#include "config.h"
#include "task/log_capture.h"

namespace station_center {
namespace {

using namespace station_test;  // NOLINT: the board's frames, the log capture and the waits
using Chunks = std::vector<std::string>;
using std::chrono::milliseconds;

std::string ReplyFrame(int32_t seq, station::EnumErrCode code = station::ENUM_SUCCESS) {
  station::SupplyMaterialRsp rsp;
  rsp.set_seq_(seq);
  rsp.set_err_code_(code);
  return Frame(rsp);
}
// A successful reply whose error text is raw bytes, as a firmware writing another encoding sends it.
std::string ReplyFrameWithText(int32_t seq, const std::string& bytes) {
  station::SupplyMaterialRsp rsp;
  rsp.set_seq_(seq);
  const std::string payload = rsp.SerializeAsString() + '\x1a' + static_cast<char>(bytes.size()) + bytes;
  return std::string{static_cast<char>(payload.size()), '\0'} + payload;
}

// The board's command port on loopback, one connection at a time like the real board,
// acknowledging every command unless a policy says otherwise.
class FakeBoard : public TcpServer {
 public:
  // The reply to one command, written 30 ms apart; no chunks: the board goes away after reading it.
  using Policy = std::function<Chunks(int32_t seq)>;

  explicit FakeBoard(uint16_t port) : TcpServer("127.0.0.1", port) {}
  int accepted() const { return accepted_; }
  void SetPolicy(Policy policy) {
    std::lock_guard<std::mutex> lock(mutex_);
    policy_ = std::move(policy);
  }
  std::vector<station::SupplyMaterialReq> commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
  }

  bool HandleAccept(int& fd) override {
    ++accepted_;
    FrameReader reader(0xFFFF);
    char buf[4096];
    std::string payload;
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof(buf));
      if (n < 0 && errno == EAGAIN) {
        continue;  // the receive time-out inherited from the listener
      }
      if (n <= 0) {
        return false;
      }
      reader.Append(buf, static_cast<size_t>(n));
      while (reader.Next(&payload) == FrameReader::Result::kFrame) {
        std::unique_lock<std::mutex> lock(mutex_);
        commands_.emplace_back().ParseFromString(payload);
        const int32_t seq = commands_.back().seq_();
        const Chunks reply = policy_ ? policy_(seq) : Chunks{ReplyFrame(seq)};
        lock.unlock();
        SendPieces(fd, reply, milliseconds(30));
        if (reply.empty()) {
          Stop();  // connections are refused from now on
          return false;
        }
      }
    }
  }

 private:
  std::atomic<int> accepted_{0};
  mutable std::mutex mutex_;  // guards the two below
  Policy policy_;
  std::vector<station::SupplyMaterialReq> commands_;
};

class BoardLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Logs().Clear();  // installs the capture before any thread logs
    ASSERT_NO_FATAL_FAILURE(StartBoard(0));
    g_config.embedded_ip = "127.0.0.1";
    g_config.embedded_action_port = board_->BoundPort();
    g_config.soc_ip = "127.0.0.1";
    g_config.soc_data_server_port = 0;  // ephemeral; read back with SensorServerPort()
    g_config.connect_embedded_board_time = 1;
  }
  void TearDown() override {
    comm_.reset();  // stops the sensor server before the settings change back
    board_->Stop();
    g_config = Config{};
  }

  // A board on `port` (0: any); the old port again after a stop is a rebooted board.
  void StartBoard(uint16_t port) {
    board_ = std::make_shared<FakeBoard>(port);
    ASSERT_TRUE(board_->Init());
    ASSERT_TRUE(WaitUntil([&] { return board_->BoundPort() != 0; }));
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

  std::shared_ptr<FakeBoard> board_;
  std::mutex mutex_;
  std::vector<uint32_t> seqs_;  // sensor reports received, in order
  std::unique_ptr<EmbeddedCommunicator> comm_;
};

// The board's own framing: a little-endian length, then the message.
TEST(FrameCodecTest, ExampleFramesAreByteExact) {
  station::SupplyMaterialReq req;
  req.set_seq_(1);
  req.mutable_cmd_()->set_supply_type_(station::ENUM_SUPPLY_SEWAGE_PUMP);
  EXPECT_EQ(Frame(req), std::string("\x06\x00\x08\x01\x12\x02\x10\x04", 8));
}

TEST(CommandIdTest, EveryIdIsAboveTheLastWhateverTheClockDoesAndWrapsTo1) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int64_t kNow = 1'800'000'000;
  const struct {
    const char* what;
    int32_t last;
    int64_t wall;
    int32_t id;
  } rows[] = {
      {"the first is the time", 0, kNow, kNow},
      {"two in the same second", kNow, kNow, kNow + 1},
      {"the clock set back an hour", kNow + 5, kNow - 3600, kNow + 6},
      {"the last of the field, the time past it", kMax - 1, kMax + 10LL, kMax},
      {"wraps to 1", kMax, kMax + 11LL, 1},
      {"not back up to a time just before the wrap", 1, kMax - 3LL, 2},
      {"time-based again past 2038", 2, kMax + 100LL, 100},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(NextCommandId(r.last, r.wall), r.id) << r.what;
  }
}

TEST_F(BoardLinkTest, CommandsMatchTheirOwnRepliesAcrossReconnections) {
  g_config.do_action_cache_size = 64;  // a length prefix can exceed it
  g_config.bottom_action_timeout = 10;
  ASSERT_NO_FATAL_FAILURE(StartLink());
  EXPECT_TRUE(comm_->DoAction({}));
  EXPECT_TRUE(comm_->ChangeLed(station::LED_CHARGING));
  const auto commands = board_->commands();
  ASSERT_EQ(commands.size(), 2U);
  EXPECT_GT(commands[1].seq_(), commands[0].seq_()) << "ids from NextCommandId, whatever the kind of command";
  EXPECT_EQ(commands[1].change_led_().led_cmd_(), station::LED_CHARGING);

  // Replies cut anywhere and plain refusals: SimLinkTest.CommandFaultSwitchesAndSafetyCountsAsTheDaemonSeesThem.
  const struct {
    const char* name;
    FakeBoard::Policy reply;
    bool ok;
  } cases[] = {
      {"a refusing stale reply to be skipped, then the own one",
       [](int32_t seq) { return Chunks{ReplyFrame(seq - 1, station::ENUM_ERROR_UNKNOW) + ReplyFrame(seq)}; }, true},
      {"length beyond the buffer", [](int32_t) { return Chunks{std::string("\xff\x00\x08\x01", 4)}; }, false},
      {"an error text not in UTF-8", [](int32_t seq) { return Chunks{ReplyFrameWithText(seq, "\xb4\xed\xce\xf3")}; },
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    board_->SetPolicy(c.reply);
    const size_t sent = board_->commands().size();
    const int64_t start = NowMillis();
    EXPECT_EQ(comm_->DoAction({}), c.ok);
    EXPECT_LT(NowMillis() - start, 5000) << "answered or out of step: no waiting for the limit";
    EXPECT_EQ(board_->commands().size(), sent + 1) << "never sent twice";
  }
  EXPECT_TRUE(Logs().Has(R"(resp.error_msg = [\xB4\xED\xCE\xF3])")) << "the board's bytes, escaped";

  // Out of step, the link dropped the connection: the next command makes a new one,
  // and so does the one after a board restart.
  board_->SetPolicy(nullptr);
  EXPECT_TRUE(comm_->DoAction({}));
  EXPECT_EQ(board_->accepted(), 2);
  board_->Stop();
  ASSERT_NO_FATAL_FAILURE(StartBoard(board_->BoundPort()));
  EXPECT_TRUE(comm_->DoAction({}));

  // A board that reads the command and stays silent: the command fails at its own
  // limit, not at the socket's longer receive time-out.
  g_config.bottom_action_timeout = 2;
  board_->SetPolicy([](int32_t) { return Chunks{std::string()}; });
  const int64_t silent_start = NowMillis();
  EXPECT_FALSE(comm_->DoAction({}));
  EXPECT_LT(NowMillis() - silent_start, 4000);

  // The board goes away after reading a command: its reply cannot come on another
  // connection, so the command fails at once; the next one cannot even be sent.
  board_->SetPolicy([](int32_t) { return Chunks{}; });
  Logs().Clear();
  EXPECT_FALSE(comm_->DoAction({}));
  EXPECT_TRUE(Logs().Has("SendCleaningComponentRequest response failed")) << "ended by the hang-up, not by its limit";
  EXPECT_EQ(Logs().Count("Try to connect server"), 0);
  // The board's listener closes just after the connection.
  const uint16_t port = board_->BoundPort();
  ASSERT_TRUE(WaitUntil([port] { return !kit::PortAccepts(port); }));
  Logs().Clear();
  EXPECT_FALSE(comm_->DoAction({}));
  EXPECT_GE(Logs().Count("Try to connect server"), 2) << "it tries again until its limit";
  EXPECT_LE(Logs().Count("Try to connect server"), 4) << "about one attempt a second, not a busy loop";
  EXPECT_EQ(board_->commands().size(), 3U) << "never resent";
}

TEST_F(BoardLinkTest, ReportsReassembledAndOversizedLengthDropsTheLink) {
  g_config.data_upload_server_cache_size = 64;
  g_config.debug = true;
  g_config.sensor_data_print_space = 3;
  ASSERT_NO_FATAL_FAILURE(StartLink());
  // Six reports and an undecodable frame (dropped, the stream goes on), written as a lone
  // length byte, then the rest at once (bodies cut anywhere: SimLinkTest's 'fault split 7 20').
  const std::string stream = SensorFrame(1) + std::string("\x02\x00\xff\xff", 4) + SensorFrame(2) + SensorFrame(3) +
                             SensorFrame(4) + SensorFrame(5) + SensorFrame(6);
  TcpClient board("127.0.0.1", comm_->SensorServerPort());  // the board's sensor side
  ASSERT_TRUE(board.Init());
  ASSERT_TRUE(SendPieces(board.sock_, {stream.substr(0, 1), stream.substr(1)}, milliseconds(150)));
  ASSERT_TRUE(WaitUntil([&] { return Seqs().size() >= 6; }));
  EXPECT_EQ(Seqs(), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(Logs().Count("sensor data : "), 2) << "debug mode prints every third report";

  // A length beyond the buffer means the stream is out of step: the connection is dropped
  // and the board's next one starts afresh.
  ASSERT_TRUE(SendPieces(board.sock_, {std::string("\x00\x01", 2) + std::string(20, '\0')}));
  ASSERT_TRUE(Closed(board));
  ASSERT_TRUE(board.Init());
  ASSERT_TRUE(SendPieces(board.sock_, {SensorFrame(7), SensorFrame(8)}, milliseconds(20)));
  ASSERT_TRUE(WaitUntil([&] { return Seqs().size() >= 8; }));
  EXPECT_EQ(Seqs(), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8}));

  std::weak_ptr<DataUploadServer> server = comm_->data_upload_server();
  comm_.reset();
  EXPECT_TRUE(server.expired()) << "destroying the link stops its sensor server";
  EXPECT_TRUE(Closed(board));
}

// Strangers while the board is served: SensorServerTest.StrangersFloodingThePortDoNotStarveTheBoard.
TEST_F(BoardLinkTest, OnlyTheBoardsAddressMayFeedSensorReportsUnlessTheCheckIsOff) {
  ASSERT_NO_FATAL_FAILURE(StartLink());
  EXPECT_LT(ConnectFrom("127.0.0.1", comm_->SensorServerPort(), "127.0.0.2"), 0)
      << "bound to soc_ip only, never to every interface";
  // A slow client may find the stranger's connection already closed when it looks.
  const int stranger = ConnectFrom("127.0.0.2", comm_->SensorServerPort());
  if (stranger >= 0) {
    SendPieces(stranger, {SensorFrame(99)});
    EXPECT_TRUE(WaitUntil([stranger] {
      char byte;
      const ssize_t n = ::recv(stranger, &byte, 1, MSG_DONTWAIT);
      return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    })) << "closed unread";
    ::close(stranger);
  }
  EXPECT_TRUE(WaitUntil([] {
    return Logs().Has("ErrorCode: 101900089, connection from 127.0.0.2 refused: only 127.0.0.1 may connect");
  }));

  // A bench whose board runs elsewhere turns the check off.
  comm_.reset();
  g_config.sensor_peer_check = false;
  ASSERT_NO_FATAL_FAILURE(StartLink());
  const int bench = ConnectFrom("127.0.0.2", comm_->SensorServerPort());
  ASSERT_GE(bench, 0);
  ASSERT_TRUE(SendPieces(bench, {SensorFrame(3)}));
  ASSERT_TRUE(WaitUntil([&] { return Seqs() == std::vector<uint32_t>{3}; }));
  ::close(bench);
}

// A board that has gone away must fail the send, not end the daemon with SIGPIPE.
TEST(TcpSocketTest, SendToAClosedPeerFailsWithoutSigpipe) {
  std::signal(SIGPIPE, SIG_DFL);  // as in the daemon, which leaves the default in place
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  ::close(fds[1]);
  TcpSocket socket("127.0.0.1", 0);
  socket.sock_ = fds[0];  // closed by the destructor
  EXPECT_FALSE(socket.SendData(fds[0], "x", 1));
}

// A daemon without its sensor port must not run on.
TEST(TcpServerDeathTest, BindFailureEndsTheProcessWith255) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto holder = std::make_shared<TcpServer>("127.0.0.1", 0);  // listens on the port the server wants
  ASSERT_TRUE(holder->Init());
  int listening = 0;  // asked without a connection: its thread must not log while the child exits
  socklen_t size = sizeof(listening);
  ASSERT_TRUE(WaitUntil(
      [&] { return !::getsockopt(holder->sock_, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) && listening; }));
  TcpServer server("127.0.0.1", holder->BoundPort());
  ASSERT_TRUE(server.CreateSocket(server.sock_) && server.SetSockOpt(server.sock_, true));
  EXPECT_EXIT(server.Start(), ::testing::ExitedWithCode(255), "");
  holder->Stop();
}

}  // namespace
}  // namespace station_center
