#include "bottom/tcp_socket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "error_codes.h"
#include "logger.h"

namespace station_center {

namespace {

constexpr int kKeepIdleSeconds = 20;
constexpr int kKeepCount = 3;
constexpr int kSendTimeoutSeconds = 3;
constexpr int kRecvTimeoutSeconds = 10;

// These failures also go straight to standard output, bypassing the logger.
void PrintLine(const char* line) {
  std::fputs(line, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

TcpSocket::~TcpSocket() {
  if (sock_ >= 0) {
    ::close(sock_);
    sock_ = -1;
  }
}

bool TcpSocket::CreateSocket(int& fd) {
  fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (fd < 0) {
    LOG_ERROR("ErrorCode: {}, TcpSocket::CreateSocket failed", kErrCreateSocket);
    return false;
  }
  return true;
}

bool TcpSocket::SetSockOpt(int fd, bool reuse_addr) {
  int keep_alive = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &keep_alive, sizeof(keep_alive)) < 0) {
    LOG_ERROR("ErrorCode: {}, TcpSocket::SetSockOpt SO_KEEPALIVE failed", kErrSockOpt);
    return false;
  }
  int keep_idle = kKeepIdleSeconds;
  if (::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &keep_idle, sizeof(keep_idle)) < 0) {
    LOG_ERROR("ErrorCode: {}, TcpSocket::SetSockOpt TCP_KEEPIDLE failed", kErrSockOpt);
    return false;
  }
  int keep_interval = keep_idle > 2 ? keep_idle / 3 : 1;
  if (::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &keep_interval, sizeof(keep_interval)) < 0) {
    LOG_ERROR("ErrorCode: {}, TcpSocket::SetSockOpt TCP_KEEPINTVL failed", kErrSockOpt);
    return false;
  }
  int keep_count = kKeepCount;
  if (::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &keep_count, sizeof(keep_count)) < 0) {
    LOG_ERROR("ErrorCode: {}, TcpSocket::SetSockOpt TCP_KEEPCNT failed", kErrSockOpt);
    return false;
  }
  timeval send_timeout{kSendTimeoutSeconds, 0};
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof(send_timeout)) < 0) {
    LOG_ERROR("ErrorCode: {}, TcpSocket::SetSockOpt SO_SNDTIMEO failed", kErrSockOpt);
    PrintLine("TcpSocket::SetSockOpt SO_SNDTIMEO failed");
    return false;
  }
  timeval recv_timeout{kRecvTimeoutSeconds, 0};
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &recv_timeout, sizeof(recv_timeout)) < 0) {
    LOG_ERROR("ErrorCode: {}, TcpSocket::SetSockOpt SO_RCVTIMEO failed", kErrSockOpt);
    PrintLine("TcpSocket::SetSockOpt SO_RCVTIMEO failed");
    return false;
  }
  if (reuse_addr) {
    int reuse = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse)) < 0) {
      LOG_ERROR("ErrorCode: {}, TcpSocket::SetSockOpt SO_REUSEADDR failed", kErrSockOpt);
      PrintLine("TcpSocket::SetSockOpt SO_REUSEADDR failed");
      return false;
    }
  }
  return true;
}

bool TcpSocket::SendData(int fd, const char* data, int dataLen) {
  int totalLen = 0;
  while (totalLen < dataLen) {
    // MSG_NOSIGNAL: a peer that has gone away yields EPIPE instead of ending the process.
    const ssize_t ret = ::send(fd, data + totalLen, static_cast<size_t>(dataLen - totalLen), MSG_NOSIGNAL);
    if (ret < 0) {
      LOG_ERROR("ErrorCode: {}, TcpSocket::Send data failed, totalLen: {}, dataLen: {}, ret: {}", kErrSend, totalLen,
                dataLen, ret);
      return false;
    }
    LOG_INFO("TcpSocket::Send data, totalLen: {}, dataLen: {}, ret: {}", totalLen, dataLen, ret);
    totalLen += static_cast<int>(ret);
  }
  return true;
}

int TcpSocket::RecvData(int fd, char* buf, int len) {
  if (len <= 0) {
    return -1;
  }
  const ssize_t ret = ::read(fd, buf, static_cast<size_t>(len));
  if (ret > 0) {
    return static_cast<int>(ret);
  }
  if (ret == 0) {
    LOG_ERROR("ErrorCode: {}, TcpSocket::RecvData connect shutdown", kErrPeerClosed);
    return 0;
  }
  const int err = errno;
  if (err == EAGAIN || err == EWOULDBLOCK) {
    return -1;  // receive time-out: the caller decides, nothing to report
  }
  LOG_ERROR("TcpSocket::RecvData failed, ret:{}, errno:{}", ret, err);
  return -1;
}

bool TcpSocket::connectIsAlive(int fd) {
  tcp_info info{};
  socklen_t len = sizeof(info);
  // A failed query is logged as state -1, which no real TCP state uses.
  int state = -1;
  if (fd >= 0 && ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0) {
    state = info.tcpi_state;
  }
  if (state == TCP_ESTABLISHED) {
    return true;
  }
  LOG_INFO("tcp client connect dead, tcpi_state = {}", state);
  return false;
}

}  // namespace station_center
