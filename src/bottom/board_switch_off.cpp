#include "bottom/board_switch_off.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "bottom/frame_codec.h"
#include "clock.h"
#include "logger.h"
#include "station/cmd.pb.h"

namespace station_center {

namespace {

// Waits for `events` on `fd` until `deadline` (NowMillis); false on time-out or error.
bool WaitFor(int fd, short events, int64_t deadline) {
  for (;;) {
    const int64_t left = deadline - NowMillis();
    if (left <= 0) {
      return false;
    }
    pollfd p = {fd, events, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left));
    if (r > 0) {
      return (p.revents & events) != 0;
    }
    if (r < 0 && errno != EINTR) {
      return false;
    }
  }
}

bool Connect(int fd, const std::string& ip, uint16_t port, int64_t deadline) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (::inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1) {
    return false;
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
    return true;
  }
  int error = errno;
  if (error == EINPROGRESS && WaitFor(fd, POLLOUT, deadline)) {
    socklen_t len = sizeof(error);
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
  }
  return error == 0;
}

// Reads frames until the reply carrying `seq`; true when it confirms.
bool AwaitReply(int fd, int32_t seq, int64_t deadline) {
  FrameReader reader(kMaxFrameBytes);
  char buf[4096];
  while (WaitFor(fd, POLLIN, deadline)) {
    const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) {
      return false;
    }
    reader.Append(buf, static_cast<size_t>(n));
    std::string payload;
    while (reader.Next(&payload) == FrameReader::Result::kFrame) {
      station::SupplyMaterialRsp rsp;
      if (DecodeBoardReply(payload, &rsp) && rsp.seq_() == seq) {
        return rsp.err_code_() == 0;
      }
    }
  }
  return false;
}

}  // namespace

bool SwitchOffBoard(const std::string& ip, uint16_t port, std::chrono::milliseconds limit) {
  const int64_t deadline = NowMillis() + limit.count();
  station::SupplyMaterialReq req;
  req.set_seq_(NextCommandId(0, WallSeconds()));
  req.mutable_cmd_()->set_supply_type_(station::ENUM_SUPPLY_RESET_MCU);
  req.mutable_cmd_()->set_action_(1);
  std::string frame;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0 || !EncodeFrame(req, &frame)) {
    if (fd >= 0) {
      ::close(fd);
    }
    return false;
  }
  bool ok = Connect(fd, ip, port, deadline) && WaitFor(fd, POLLOUT, deadline) &&
            ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size()) &&
            AwaitReply(fd, req.seq_(), deadline);
  ::close(fd);
  if (ok) {
    LOG_WARN("board reset confirmed: every output off");
  } else {
    LOG_ERROR("the board did not confirm its reset within {} ms: outputs may be left on", limit.count());
  }
  return ok;
}

}  // namespace station_center
