#pragma once

// A stand-in for the station's embedded board over loopback, speaking the real framing.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bottom/frame_codec.h"
#include "station/cmd.pb.h"
#include "station/station_report.pb.h"
#include "support/test_support.h"

namespace station_test {

inline std::string ReplyFrame(int32_t seq, station::EnumErrCode code = station::ENUM_SUCCESS,
                              const std::string& msg = "") {
  station::SupplyMaterialRsp rsp;
  rsp.set_seq_(seq);
  rsp.set_err_code_(code);
  rsp.set_err_msg_(msg);
  std::string frame;
  station_center::EncodeFrame(rsp, &frame);
  return frame;
}

inline std::string SensorFrame(uint32_t seq) {
  station::SensorsDataRep report;
  report.set_seq(seq);
  report.set_cleantankuplevel(seq * 10);
  report.set_negativepressure(-static_cast<int32_t>(seq));
  std::string frame;
  station_center::EncodeFrame(report, &frame);
  return frame;
}

// Cuts `bytes` into pieces at the given offsets (ascending, inside the string).
inline std::vector<std::string> SplitAt(const std::string& bytes, const std::vector<size_t>& cuts) {
  std::vector<std::string> pieces;
  size_t from = 0;
  for (size_t cut : cuts) {
    pieces.push_back(bytes.substr(from, cut - from));
    from = cut;
  }
  pieces.push_back(bytes.substr(from));
  return pieces;
}

// Writes the pieces one by one with `pause` between them.
inline bool SendPieces(int fd, const std::vector<std::string>& pieces, std::chrono::milliseconds pause) {
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) {
      std::this_thread::sleep_for(pause);
    }
    for (size_t sent = 0; sent < pieces[i].size();) {
      const ssize_t n = ::send(fd, pieces[i].data() + sent, pieces[i].size() - sent, MSG_NOSIGNAL);
      if (n <= 0) {
        return false;
      }
      sent += static_cast<size_t>(n);
    }
  }
  return true;
}

// What the board does with one command: writes the chunks, 30 ms apart, then (if asked) becomes unreachable.
struct BoardReply {
  std::vector<std::string> chunks;
  bool stop_listening = false;
};
using ReplyPolicy = std::function<BoardReply(const station::SupplyMaterialReq&)>;

// The command side listens on an ephemeral 127.0.0.1 port and is served by a thread
// of its own, acknowledging every command unless told otherwise; the sensor side is
// driven from the test's thread.
class FakeBoard {
 public:
  FakeBoard() {
    SetPolicy([](const station::SupplyMaterialReq& req) { return BoardReply{{ReplyFrame(req.seq_())}}; });
    Restart();
  }
  ~FakeBoard() {
    StopListening();
    CloseFd(sensor_fd_);
  }

  uint16_t command_port() const { return port_; }
  int accepted() const { return accepted_.load(); }
  void SetPolicy(ReplyPolicy policy) {
    std::lock_guard<std::mutex> lock(mutex_);
    policy_ = std::move(policy);
  }
  std::vector<station::SupplyMaterialReq> commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
  }
  std::string raw_received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return raw_;
  }

  // Drops the command connection and listens again on the same port, as a rebooted board would.
  void Restart() {
    StopListening();
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    const int reuse = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
    sockaddr_in addr = Loopback(port_);
    socklen_t len = sizeof(addr);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    ::listen(listener_, 4);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread(&FakeBoard::Run, this);
  }
  // Drops everything: connections to the command port are refused from now on.
  void StopListening() {
    quit_ = true;
    if (thread_.joinable()) {
      thread_.join();  // the thread closes its connection and the listener
    }
    quit_ = false;
  }

  // Sensor side: a connection to the daemon's upload server.
  bool ConnectSensor(uint16_t port) {
    CloseFd(sensor_fd_);
    sensor_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in addr = Loopback(port);
    return ::connect(sensor_fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0;
  }
  bool SendSensor(const std::vector<std::string>& pieces, std::chrono::milliseconds pause = {}) {
    return SendPieces(sensor_fd_, pieces, pause);
  }
  bool WaitSensorClosedByPeer() {
    return WaitUntil([this] {
      pollfd pfd{sensor_fd_, POLLIN, 0};
      char byte;
      return ::poll(&pfd, 1, 0) > 0 && ::recv(sensor_fd_, &byte, 1, MSG_DONTWAIT) <= 0;
    });
  }

 private:
  static sockaddr_in Loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
  }
  static void CloseFd(int& fd) {
    if (fd >= 0) {
      ::close(fd);
    }
    fd = -1;
  }

  void Run() {
    int conn = -1;
    station_center::FrameReader reader(0xFFFF);  // bytes of the current connection
    while (!quit_) {
      pollfd fds[2] = {{listener_, POLLIN, 0}, {conn, POLLIN, 0}};
      if (::poll(fds, 2, 10) <= 0) {
        continue;
      }
      if (conn >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        Serve(conn, reader);
      }
      if (listener_ >= 0 && (fds[0].revents & POLLIN) != 0) {
        CloseFd(conn);  // one command connection at a time, like the real board
        conn = ::accept(listener_, nullptr, nullptr);
        accepted_ += conn >= 0 ? 1 : 0;
        reader.Clear();
      }
    }
    CloseFd(conn);
    CloseFd(listener_);
  }

  void Serve(int& conn, station_center::FrameReader& reader) {
    char buf[4096];
    const ssize_t n = ::read(conn, buf, sizeof(buf));
    if (n <= 0) {
      CloseFd(conn);
      return;
    }
    reader.Append(buf, static_cast<size_t>(n));
    std::unique_lock<std::mutex> lock(mutex_);
    raw_.append(buf, static_cast<size_t>(n));
    std::string payload;
    while (conn >= 0 && reader.Next(&payload) == station_center::FrameReader::Result::kFrame) {
      station::SupplyMaterialReq req;
      req.ParseFromString(payload);
      commands_.push_back(req);
      const ReplyPolicy policy = policy_;
      lock.unlock();
      const BoardReply reply = policy(req);
      SendPieces(conn, reply.chunks, std::chrono::milliseconds(30));
      if (reply.stop_listening) {
        CloseFd(listener_);
        CloseFd(conn);
      }
      lock.lock();
    }
  }

  uint16_t port_ = 0;
  int listener_ = -1;  // owned by the board thread while it runs
  int sensor_fd_ = -1;
  std::atomic<bool> quit_{false};
  std::atomic<int> accepted_{0};
  std::thread thread_;
  mutable std::mutex mutex_;  // guards the three below
  ReplyPolicy policy_;
  std::vector<station::SupplyMaterialReq> commands_;
  std::string raw_;
};

}  // namespace station_test
