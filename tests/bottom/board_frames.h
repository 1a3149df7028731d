#pragma once

// Frames as the board writes them, and a peer's side of a loopback connection, for the link tests.

#include <sys/socket.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bottom/frame_codec.h"
#include "bottom/tcp_client.h"
#include "support/test_support.h"

namespace station_test {

inline std::string Frame(const google::protobuf::MessageLite& msg) {
  std::string frame;
  station_center::EncodeFrame(msg, &frame);
  return frame;
}
inline std::string SensorFrame(uint32_t seq) {
  station::SensorsDataRep report;
  report.set_seq(seq);
  return Frame(report);
}

// A pause after each piece makes the peer see it in a read of its own.
inline bool SendPieces(int fd, const std::vector<std::string>& pieces, std::chrono::milliseconds pause = {}) {
  for (const auto& piece : pieces) {
    if (::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(piece.size())) {
      return false;
    }
    std::this_thread::sleep_for(pause);
  }
  return true;
}

// The other side has closed the connection.
inline bool Closed(station_center::TcpClient& peer) {
  return WaitUntil([&] { return !peer.connectIsAlive(peer.sock_); });
}

}  // namespace station_test
