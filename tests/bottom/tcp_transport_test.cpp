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

using station_test::FreeLoopbackPort;
using station_test::LogCapture;
using station_test::WaitUntil;

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

TEST(TcpSocketTest, RecvDataReturnsCountThenZeroWhenPeerCloses) {
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
}

TEST(TcpSocketTest, ConnectIsAliveOnNoDescriptorIsFalseAndLogged) {
  LogCapture log;
  TcpSocket socket("127.0.0.1", 0);
  EXPECT_FALSE(socket.connectIsAlive(-1));
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

TEST(TcpClientTest, ConnectRefusedIsReported) {
  LogCapture log;
  auto client = std::make_shared<TcpClient>("127.0.0.1", FreeLoopbackPort());
  EXPECT_FALSE(client->Init());
  EXPECT_EQ(log.Count("TcpSocket::Connect get flag: -1"), 1);
  EXPECT_EQ(log.Count("ErrorCode: 101900002, TcpSocket::Connect failed"), 1);
}

// Holds each connection until released, to show connections are served one at a time.
class GatedServer : public TcpServer {
 public:
  GatedServer() : TcpServer("127.0.0.1", 0) {}
  bool HandleAccept(int& fd) override {
    handled_.fetch_add(1);
    while (!release_.load() && !Stopping()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    release_ = false;
    CloseConnection(fd);
    return true;
  }
  std::atomic<int> handled_{0};
  std::atomic<bool> release_{false};
};

int ConnectTo(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

TEST(TcpServerTest, ServesOneConnectionAtATimeAndStopsCleanly) {
  LogCapture log;
  auto server = std::make_shared<GatedServer>();
  ASSERT_TRUE(server->Init());
  ASSERT_TRUE(WaitUntil([&] { return server->BoundPort() != 0; }));
  const int first = ConnectTo(server->BoundPort());
  const int second = ConnectTo(server->BoundPort());
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  ASSERT_TRUE(WaitUntil([&] { return server->handled_.load() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a second handler would show up by now
  EXPECT_EQ(server->handled_.load(), 1);
  server->release_ = true;
  EXPECT_TRUE(WaitUntil([&] { return server->handled_.load() == 2; }));

  // Stop ends the handler in progress and the accept loop; the thread lets go.
  std::weak_ptr<GatedServer> weak = server;
  server->Stop();
  server.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(log.Count("~TcpServer"), 1);
  ::close(first);
  ::close(second);
}

TEST(TcpServerTest, InitRequiresSharedOwnership) {
  TcpServer server("127.0.0.1", 0);
  EXPECT_FALSE(server.Init());
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
