#include "bottom/tcp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "error_codes.h"
#include "logger.h"

namespace station_center {

namespace {}

bool TcpClient::Init() {
  if (sock_ >= 0) {
    ::close(sock_);
    sock_ = -1;
  }
  if (!CreateSocket(sock_)) {
    return false;
  }
  if (!SetSockOpt(sock_, false)) {
    return false;
  }
  return Connect();
}

bool TcpClient::Connect() {
  LOG_INFO("Try to connect server {}:{}", ip_, port_);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = ::inet_addr(ip_.c_str());
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  const int flag = ::connect(sock_, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
  LOG_INFO("TcpSocket::Connect get flag: {}", flag);
  if (flag < 0) {
    LOG_ERROR("ErrorCode: {}, TcpSocket::Connect failed", kErrConnect);
    return false;
  }
  return true;
}

}  // namespace station_center
