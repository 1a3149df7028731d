#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <thread>

#include "bottom/fake_board_fixture.h"
#include "bottom/tcp_client.h"
#include "bottom/tcp_server.h"
#include "bottom/tcp_socket.h"
#include "support/test_support.h"

namespace station_center {
namespace {

using station_test::LogCapture;

// A connected loopback pair: `client` from TcpClient, `peer` accepted from a plain listener.
struct Pair {
  std::shared_ptr<TcpClient> client;
  int peer = -1;
  ~Pair() {
    if (peer >= 0) {
      ::close(peer);
    }
  }
};

int PlainListener(uint16_t* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 4) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

void MakePair(Pair* pair) {
  uint16_t port = 0;
  const int listener = PlainListener(&port);
  ASSERT_GE(listener, 0);
  pair->client = std::make_shared<TcpClient>("127.0.0.1", port);
  ASSERT_TRUE(pair->client->Init());
  pair->peer = ::accept(listener, nullptr, nullptr);
  ::close(listener);
  ASSERT_GE(pair->peer, 0);
}

int IntOption(int fd, int level, int name) {
  int value = -1;
  socklen_t len = sizeof(value);
  ::getsockopt(fd, level, name, &value, &len);
  return value;
}

TEST(TcpSocketTest, SetSockOptAppliesKeepAliveTimeoutsAndReuseInOrder) {
  for (bool reuse : {false, true}) {
    SCOPED_TRACE(reuse);
    TcpSocket socket("127.0.0.1", 0);
    int fd = -1;
    ASSERT_TRUE(socket.CreateSocket(fd));
    socket.sock_ = fd;  // closed by the destructor
    ASSERT_TRUE(socket.SetSockOpt(fd, reuse));
    EXPECT_EQ(IntOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 20);
    EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 6);
    EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_KEEPCNT), 3);
    EXPECT_EQ(IntOption(fd, SOL_SOCKET, SO_REUSEADDR), reuse ? 1 : 0);
    timeval tv{};
    socklen_t len = sizeof(tv);
    ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec, 3);
    ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec, 10);
  }
}

TEST(TcpSocketTest, SetSockOptOnNonSocketStopsAtKeepAlive) {
  LogCapture log;
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  TcpSocket socket("127.0.0.1", 0);
  EXPECT_FALSE(socket.SetSockOpt(pipe_fds[0], true));
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
  EXPECT_EQ(log.Count("ErrorCode: 101900009, TcpSocket::SetSockOpt SO_KEEPALIVE failed"), 1);
  EXPECT_EQ(log.Count("TCP_KEEPIDLE"), 0);
}

TEST(TcpSocketTest, RecvDataAndLivenessFollowThePeer) {
  LogCapture log;
  Pair pair;
  ASSERT_NO_FATAL_FAILURE(MakePair(&pair));
  ASSERT_EQ(::send(pair.peer, "abc", 3, 0), 3);
  char buf[16] = {0};
  EXPECT_EQ(pair.client->RecvData(pair.client->sock_, buf, sizeof(buf)), 3);
  EXPECT_EQ(std::string(buf, 3), "abc");
  EXPECT_TRUE(pair.client->connectIsAlive(pair.client->sock_));

  ::close(pair.peer);
  pair.peer = -1;
  EXPECT_EQ(pair.client->RecvData(pair.client->sock_, buf, sizeof(buf)), 0);
  EXPECT_EQ(log.Count("ErrorCode: 101900008, TcpSocket::RecvData connect shutdown"), 1);
  EXPECT_FALSE(pair.client->connectIsAlive(pair.client->sock_));
  EXPECT_FALSE(pair.client->connectIsAlive(-1));
  EXPECT_EQ(log.Count("tcp client connect dead, tcpi_state = -1"), 1);
}

TEST(TcpSocketTest, SendToClosedPeerFailsWithoutSigpipe) {
  // The default disposition would end the process if a send raised SIGPIPE.
  auto previous = std::signal(SIGPIPE, SIG_DFL);
  LogCapture log;
  Pair pair;
  ASSERT_NO_FATAL_FAILURE(MakePair(&pair));
  ::close(pair.peer);
  pair.peer = -1;
  const std::string data(1024, 'x');
  bool failed = false;
  // The first send may still be accepted; the peer's reset fails a later one.
  for (int i = 0; i < 200 && !failed; ++i) {
    failed = !pair.client->SendData(pair.client->sock_, data.data(), static_cast<int>(data.size()));
    if (!failed) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  std::signal(SIGPIPE, previous);
  EXPECT_TRUE(failed);
  EXPECT_GE(log.Count("ErrorCode: 101900006, TcpSocket::Send data failed"), 1);
}

TEST(TcpServerDeathTest, BindFailureEndsTheProcessWith255) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  uint16_t port = 0;
  const int holder = PlainListener(&port);
  ASSERT_GE(holder, 0);
  EXPECT_EXIT(
      {
        auto server = std::make_shared<TcpServer>("127.0.0.1", port);
        server->Init();
        for (;;) {
          std::this_thread::sleep_for(std::chrono::seconds(1));
        }
      },
      ::testing::ExitedWithCode(255), "");
  ::close(holder);
}

}  // namespace
}  // namespace station_center
