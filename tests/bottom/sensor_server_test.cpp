// The sensor server against peers that misbehave: no connection may hold the port,
// and a flood of garbage neither keeps the connection nor floods the journal.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bottom/board_frames.h"
#include "bottom/data_upload_server.h"
#include "config.h"
#include "task/log_capture.h"

namespace station_center {
namespace {

using namespace station_test;  // NOLINT: the board's frames, the log capture and the waits
using std::chrono::milliseconds;
using Steady = std::chrono::steady_clock;

const std::string kHalfFrame("\x10\x00\x08", 3);     // announces 16 bytes, brings one
const std::string kBadFrame("\x02\x00\xff\xff", 4);  // whole, but no report

std::string Times(int n, const std::string& part) {
  std::string out;
  for (int i = 0; i < n; ++i) {
    out += part;
  }
  return out;
}

bool Send(TcpClient& peer, const std::string& bytes) {
  return ::send(peer.sock_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

class SensorServerTest : public ::testing::Test {
 protected:
  void SetUp() override { Logs().Clear(); }
  void TearDown() override {
    if (server_) {
      server_->Stop();
    }
    g_config = Config{};
  }

  void Start(milliseconds idle_limit, const std::string& only_peer = "") {
    server_ = std::make_shared<DataUploadServer>(
        "127.0.0.1", 0,
        [this](station::SensorsDataRep& report) {
          std::lock_guard<std::mutex> lock(mutex_);
          seqs_.push_back(report.seq());
        },
        idle_limit);
    ASSERT_TRUE(server_->AllowOnlyPeer(only_peer));
    ASSERT_TRUE(server_->Init());
    ASSERT_TRUE(WaitUntil([&] { return server_->BoundPort() != 0; }));
  }
  // A board connection; connecting is retried until the server listens.
  std::unique_ptr<TcpClient> Connect() {
    auto peer = std::make_unique<TcpClient>("127.0.0.1", server_->BoundPort());
    EXPECT_TRUE(WaitUntil([&] { return peer->Init(); }));
    return peer;
  }
  std::vector<uint32_t> Seqs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seqs_;
  }

  std::shared_ptr<DataUploadServer> server_;
  std::mutex mutex_;
  std::vector<uint32_t> seqs_;
};

TEST_F(SensorServerTest, AConnectionWithoutWholeFramesForTheLimitIsClosed) {
  const milliseconds limit(1500);
  ASSERT_NO_FATAL_FAILURE(Start(limit));
  auto board = Connect();
  // Whole frames within the limit keep it open: StrangersFloodingThePortDoNotStarveTheBoard.
  const Steady::time_point last_frame = Steady::now();
  ASSERT_TRUE(Send(*board, SensorFrame(1)));
  // Bytes that never make a whole frame do not count, however they trickle in.
  ASSERT_TRUE(Send(*board, std::string("\xff\x0f", 2)));  // announces 4095 bytes
  ASSERT_TRUE(WaitUntil([&] {
    Send(*board, "x");
    std::this_thread::sleep_for(milliseconds(300));
    return !board->connectIsAlive(board->sock_);
  }));
  EXPECT_GE(Steady::now() - last_frame, limit - milliseconds(100));
  EXPECT_TRUE(Logs().Has("ErrorCode: 101900086, sensor connection closed: no whole frame for 1500 ms"));
  EXPECT_EQ(Seqs(), std::vector<uint32_t>{1});
}

// The number a line carries in " (N similar lines suppressed)", 0 without one.
uint64_t SuppressedIn(const std::string& line) {
  const size_t at = line.find(" (");
  return at == std::string::npos ? 0 : std::strtoull(line.c_str() + at + 2, nullptr, 10);
}

TEST_F(SensorServerTest, ANewConnectionReplacesAStuckOneAndUndecodableFramesInARowDropIt) {
  ASSERT_NO_FATAL_FAILURE(Start(milliseconds(120000)));  // far beyond the test: not what frees the port
  auto stuck = Connect();
  ASSERT_TRUE(Send(*stuck, kHalfFrame));
  ASSERT_TRUE(WaitUntil([&] { return server_->connections() == 1; }));
  auto board = Connect();  // the board, reconnecting, is served at once
  // Nine undecodable frames in a row are tolerated; a report in between starts the count afresh.
  const std::string nine = Times(9, kBadFrame);
  ASSERT_TRUE(Send(*board, nine + SensorFrame(1) + nine + SensorFrame(2)));
  ASSERT_TRUE(WaitUntil([&] { return Seqs().size() >= 2; }));
  EXPECT_TRUE(Closed(*stuck));
  EXPECT_TRUE(Logs().Has("ErrorCode: 101900085, sensor connection closed: the board made a new one"));
  EXPECT_TRUE(board->connectIsAlive(board->sock_));
  EXPECT_EQ(server_->connections(), 2U);

  // A flood: the tenth in a row ends the connection, the rest is never read.
  ASSERT_TRUE(Send(*board, Times(5000, kBadFrame) + SensorFrame(3)));
  ASSERT_TRUE(Closed(*board));
  EXPECT_TRUE(Logs().Has("ErrorCode: 101900087, sensor connection closed: 10 undecodable frames in a row"));

  // The next line let through, a second on, tells how many were held back.
  auto again = Connect();
  ASSERT_TRUE(WaitUntil(
      [&] {
        Send(*again, kBadFrame + SensorFrame(4));
        std::this_thread::sleep_for(milliseconds(100));
        return Logs().Has("similar lines suppressed");
      },
      std::chrono::seconds(30)));
  const std::vector<std::string> lines = Logs().Lines("Deserialize CleanRobotReport error");
  uint64_t total = 0;
  for (const std::string& line : lines) {
    total += 1 + SuppressedIn(line);
  }
  EXPECT_LE(lines.size(), 4U) << "one line a second, not one per frame";
  EXPECT_GE(total, 18U + 10U + 1U) << "every undecodable frame is accounted for";
  EXPECT_EQ(Seqs().front(), 1U);
  EXPECT_EQ(Seqs().at(1), 2U);
  EXPECT_EQ(Seqs().at(2), 4U) << "nothing after the flood's tenth frame was read";
}

TEST_F(SensorServerTest, StrangersFloodingThePortDoNotStarveTheBoard) {
  // The idle limit stands in for the station's stale limit: the board must be read throughout.
  ASSERT_NO_FATAL_FAILURE(Start(milliseconds(2000), "127.0.0.1"));
  auto board = Connect();
  ASSERT_TRUE(WaitUntil([&] { return server_->connections() == 1; }));
  std::atomic<bool> flooding{true};
  std::thread strangers([&] {
    auto at = Steady::now();
    for (int i = 0; i < 2000; ++i, at += milliseconds(5)) {  // 200 a second for 10 s
      std::this_thread::sleep_until(at);
      const int fd = ConnectFrom("127.0.0.2", server_->BoundPort(), "127.0.0.1", milliseconds(50));
      if (fd >= 0) ::close(fd);
    }
    flooding = false;
  });
  uint32_t sent = 0;
  while (flooding && Send(*board, SensorFrame(sent + 1))) {
    ++sent;
    std::this_thread::sleep_for(milliseconds(50));
  }
  strangers.join();
  EXPECT_GE(sent, 100U) << "the board's connection was closed under it";
  ASSERT_TRUE(WaitUntil([&] { return Seqs().size() >= sent; }, std::chrono::seconds(60)));
  std::vector<uint32_t> expected(sent);
  for (uint32_t i = 0; i < sent; ++i) expected[i] = i + 1;
  EXPECT_EQ(Seqs(), expected);
  EXPECT_EQ(server_->connections(), 1U) << "the board's connection was never dropped";
  EXPECT_TRUE(Logs().Has("refused: only 127.0.0.1 may connect"));
  EXPECT_FALSE(Logs().Has("ErrorCode: 101900086"));
}

}  // namespace
}  // namespace station_center
