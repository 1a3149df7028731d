#pragma once

#include <cstdint>
#include <string>

namespace station_center {

// IPv4 TCP socket base: option setting, whole-buffer sends, single-read receives
// and a liveness probe. No locks of its own: a client is used under its owner's
// lock, a server's descriptors only on its accept thread.
class TcpSocket {
 public:
  TcpSocket(const std::string& ip, int32_t port) : ip_(ip), port_(port) {}
  // Virtual although every instance is owned through a shared pointer of its
  // concrete class: a stray delete through a base pointer stays sound.
  virtual ~TcpSocket();
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  // Creates an IPv4 TCP stream socket; `fd` receives the result in any case.
  bool CreateSocket(int& fd);
  // Keep-alive, send/receive time-outs and (server only) address reuse, in that
  // order; stops at the first option that fails.
  virtual bool SetSockOpt(int fd, bool reuse_addr);
  // Sends all of `data`; false at the first failed send. Never raises SIGPIPE.
  bool SendData(int fd, const char* data, int dataLen);
  // One read: byte count, 0 when the peer closed, -1 on error or receive time-out.
  int RecvData(int fd, char* buf, int len);
  // True while the kernel reports the connection as established.
  bool connectIsAlive(int fd);

  std::string ip_;
  int32_t port_;
  int sock_ = -1;
};

}  // namespace station_center
