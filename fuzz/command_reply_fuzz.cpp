// The command-reply path: one command sent to a board over a loopback connection
// whose replies are the input's bytes, after which the board hangs up. The link's
// verdict must match a plain reading of the same stream: the first frame carrying
// the command's seq_ answers it, unless a frame longer than the receive buffer or
// one that does not decode comes first; without such a frame nobody answered. Each
// decoded reply is also checked against the protobuf library's parser.
//
// Input: one byte choosing the receive buffer size (do_action_cache_size), then
// the reply stream.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "bottom/embedded_communicator.h"
#include "bottom/tcp_client.h"
#include "config.h"
#include "fuzz_support.h"

using station_fuzz::Bytes;
using station_fuzz::Check;
using station_fuzz::Fail;

namespace {

constexpr int32_t kSeq = 1718000000;
// Receive buffer sizes config.json may name: the shipped one, small ones that
// cut every reply, and the extremes a uint32 key accepts.
constexpr uint32_t kBufferSizes[] = {16, 64, 512, 4096, 0, 1, 2, 65537, 0x80000000u, 0xFFFFFFFFu};

struct Verdict {
  bool answered = false;
  bool ok = false;
};

// What the board's stream says about the command, read frame by frame.
Verdict Expected(const std::string& stream, size_t max_payload) {
  size_t at = 0;
  while (stream.size() - at >= 2) {
    const size_t len =
        static_cast<uint8_t>(stream[at]) | (static_cast<size_t>(static_cast<uint8_t>(stream[at + 1])) << 8);
    if (len > max_payload || stream.size() - at - 2 < len) {
      break;
    }
    const std::string payload = stream.substr(at + 2, len);
    station::SupplyMaterialRsp rsp;
    const bool decoded = station_center::DecodeBoardReply(payload, &rsp);
    // The library's own parser agrees wherever it accepts the reply; it refuses only error
    // texts that are not UTF-8, which the link keeps escaped.
    station::SupplyMaterialRsp strict;
    if (strict.ParseFromString(payload)) {
      Check(decoded && strict.seq_() == rsp.seq_() && strict.err_code_() == rsp.err_code_() &&
                strict.err_msg_() == rsp.err_msg_(),
            "the board reply decodes otherwise than the library's parser");
    }
    if (!decoded) {
      break;
    }
    if (rsp.seq_() == kSeq) {
      return {true, rsp.err_code_() == station::ENUM_SUCCESS};
    }
    at += len + 2;
  }
  return {};
}

// A listening socket on a free loopback port, made once.
int Listener(sockaddr_in* addr) {
  static sockaddr_in bound{};
  static const int fd = [] {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(bound);
    Check(s >= 0 && ::bind(s, reinterpret_cast<sockaddr*>(&bound), sizeof(bound)) == 0 && ::listen(s, 16) == 0 &&
              ::getsockname(s, reinterpret_cast<sockaddr*>(&bound), &len) == 0,
          "no loopback listener");
    return s;
  }();
  *addr = bound;
  return fd;
}

// libFuzzer's timer signal may cut a blocking connect short; the connection then
// completes on its own.
bool ConnectedAfterSignals(int fd, const sockaddr_in& addr) {
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0) {
    return true;
  }
  if (errno != EINTR) {
    return false;
  }
  pollfd pfd{fd, POLLOUT, 0};
  while (::poll(&pfd, 1, -1) < 0) {
    if (errno != EINTR) {
      return false;
    }
  }
  int error = 0;
  socklen_t len = sizeof(error);
  return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
}

// A connected pair: the station's end and the board's.
void Connect(int* station_fd, int* board_fd) {
  sockaddr_in addr{};
  const int listener = Listener(&addr);
  *station_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (*station_fd < 0 || !ConnectedAfterSignals(*station_fd, addr)) {
    std::perror("connect");
    Fail("cannot connect to the loopback listener");
  }
  do {
    *board_fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  } while (*board_fd < 0 && errno == EINTR);
  Check(*board_fd >= 0, "cannot accept the loopback connection");
  // Closed with a reset, not into TIME_WAIT: thousands of inputs a second would
  // otherwise use up the loopback's ephemeral ports within seconds.
  const linger reset{1, 0};
  ::setsockopt(*station_fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
  ::setsockopt(*board_fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
}

// The board's side, on one thread for the whole run: it reads the command's
// frame, then writes the input's replies and hangs up. It answers only after the
// command went out, since the link does not send on a connection the peer has
// already closed.
class Board {
 public:
  Board() : thread_([this] { Loop(); }) { thread_.detach(); }

  void Serve(int fd, const std::string& replies) {
    std::lock_guard<std::mutex> lock(mutex_);
    fd_ = fd;
    replies_ = replies;
    busy_ = true;
    wake_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [this] { return !busy_; });
  }

 private:
  void Loop() {
    // The timer signal goes to the fuzzing thread, never cuts the board's reads short.
    sigset_t timer;
    sigemptyset(&timer);
    sigaddset(&timer, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &timer, nullptr);
    for (;;) {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return busy_; });
      const int fd = fd_;
      const std::string replies = replies_;
      lock.unlock();
      if (ReadCommand(fd)) {
        WriteAll(fd, replies);
      }
      ::shutdown(fd, SHUT_WR);
      lock.lock();
      busy_ = false;
      wake_.notify_all();
    }
  }
  static bool ReadCommand(int fd) {
    std::string got;
    char buf[256];
    while (got.size() < 2 || got.size() < 2u + (static_cast<uint8_t>(got[0]) |
                                                (static_cast<size_t>(static_cast<uint8_t>(got[1])) << 8))) {
      const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
      if (n <= 0) {
        return false;
      }
      got.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  static void WriteAll(int fd, const std::string& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
      const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) {
        return;  // the station hung up first
      }
      sent += static_cast<size_t>(n);
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  int fd_ = -1;
  std::string replies_;
  bool busy_ = false;
  std::thread thread_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  station_fuzz::SetUpProcess();
  Bytes in(data, size);
  const uint32_t buffer_size = kBufferSizes[in.U8() % std::size(kBufferSizes)];
  const std::string stream = in.Rest();
  station_center::g_config.do_action_cache_size = buffer_size;

  int station_fd = -1;
  int board_fd = -1;
  Connect(&station_fd, &board_fd);
  static Board* const board = new Board();  // lives as long as the process
  board->Serve(board_fd, stream);

  auto client = std::make_shared<station_center::TcpClient>("127.0.0.1", 0);
  client->sock_ = station_fd;  // closed by the client
  station_center::EmbeddedCommunicator link;
  station::SupplyMaterialReq req;
  req.set_seq_(kSeq);
  req.mutable_cmd_()->set_supply_type_(static_cast<station::EnumSupplyType>(1));
  req.mutable_cmd_()->set_action_(1);
  station::SupplyMaterialRsp rsp;
  bool answered = false;
  const auto start = std::chrono::steady_clock::now();
  const bool ok = link.BottomReqNeedResp(client, req, rsp, 10, &answered);
  // The hang-up ends the exchange; only a link that missed it waits out the limit.
  Check(std::chrono::steady_clock::now() - start < std::chrono::seconds(8), "the exchange outlived the hang-up");
  ::shutdown(board_fd, SHUT_RDWR);  // a board still waiting for the command gives up
  board->Wait();
  ::close(board_fd);

  const Verdict expected = Expected(stream, buffer_size);
  Check(answered == expected.answered, "the link and the stream disagree on whether the board answered");
  Check(ok == expected.ok, "the link and the stream disagree on the command's outcome");
  Check(!answered || rsp.seq_() == kSeq, "answered by a reply to another command");
  return 0;
}
