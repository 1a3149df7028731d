#pragma once

#include <cstdint>
#include <string>

#include "bottom/tcp_socket.h"

namespace station_center {

// The command connection to the board. Not thread-safe: used only under the
// lock of its owner (EmbeddedCommunicator::mutex_).
class TcpClient : public TcpSocket {
 public:
  TcpClient(const std::string& ip, int32_t port) : TcpSocket(ip, port) {}

  // Closes any previous descriptor, then creates, configures and connects one.
  bool Init();
  // Blocking connect of sock_ to ip_:port_.
  bool Connect();
};

}  // namespace station_center
