#include "sim/sensor_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <utility>

#include "bottom/frame_codec.h"
#include "logger.h"

namespace station_sim {

SensorLink::SensorLink(BoardState& board, std::string ip, uint16_t port, int report_hz)
    : board_(board), report_hz_(report_hz), ip_(std::move(ip)), port_(port) {}

void SensorLink::SetTarget(const std::string& ip, uint16_t port) {
  std::lock_guard<std::mutex> lock(board_.mu);
  ip_ = ip;
  port_ = port;
  ++target_gen_;
}

void SensorLink::Run() {
  gen_ = 0;
  told_unreachable_ = false;
  batch_.clear();
  batched_ = 0;
  next_report_ = Clock::now();
  while (!board_.stopping()) {
    if (!EnsureConnected() || !ReportDue()) {
      continue;
    }
    Faults f;
    std::string frame;
    if (!MakeFrame(&f, &frame)) {
      continue;
    }
    if (!Push(f, frame)) {
      if (board_.stopping()) {
        break;
      }
      LOG_INFO("board_sim: sensor connection lost, reconnecting in a second");
      DropConnection();
    }
  }
  CloseFd(&fd_);
  connected_ = false;
}

bool SensorLink::EnsureConnected() {
  std::string ip;
  uint16_t port = 0;
  {
    std::lock_guard<std::mutex> lock(board_.mu);
    ip = ip_;
    port = port_;
    if (board_.close_sensor || gen_ != target_gen_) {
      if (fd_ >= 0) {
        LOG_INFO("board_sim: closing the sensor connection");
      }
      board_.close_sensor = false;
      gen_ = target_gen_;
      CloseFd(&fd_);
      connected_ = false;
      batch_.clear();
      batched_ = 0;
    }
  }
  if (fd_ >= 0) {
    return true;
  }
  if (port == 0) {
    board_.SleepFor(50);
    return false;
  }
  fd_ = Connect(ip, port);
  if (fd_ < 0) {
    if (!told_unreachable_) {
      LOG_INFO("board_sim: sensor server {}:{} not reachable, retrying every second", ip, port);
      told_unreachable_ = true;
    }
    board_.SleepFor(1000);
    return false;
  }
  told_unreachable_ = false;
  connected_ = true;
  ++connects_;
  LOG_INFO("board_sim: sensor connection to {}:{} up", ip, port);
  next_report_ = Clock::now();
  return true;
}

int SensorLink::Connect(const std::string& ip, uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (::inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1) {
    return -1;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    return -1;
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    if (errno != EINPROGRESS) {
      CloseFd(&fd);
      return -1;
    }
    for (int waited = 0;; waited += 50) {
      pollfd p{fd, POLLOUT, 0};
      const int r = ::poll(&p, 1, 50);
      if (r > 0) {
        break;
      }
      if ((r < 0 && errno != EINTR) || waited >= 1000 || board_.stopping()) {
        CloseFd(&fd);
        return -1;
      }
    }
    int err = 0;
    socklen_t len = sizeof(err);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
      CloseFd(&fd);
      return -1;
    }
  }
  SetNoDelay(fd);
  return fd;
}

bool SensorLink::ReportDue() {
  const auto now = Clock::now();
  const int wait_ms = static_cast<int>(
      std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(next_report_ - now).count()));
  pollfd p{fd_, POLLIN, 0};
  const int r = ::poll(&p, 1, std::min(wait_ms, 50));
  if (r > 0) {
    char sink[256];
    const ssize_t n = ::recv(fd_, sink, sizeof(sink), MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
      LOG_INFO("board_sim: sensor connection closed by the daemon, reconnecting in a second");
      DropConnection();
      return false;
    }
  }
  if (Clock::now() < next_report_) {
    return false;
  }
  const int hz = std::max(1, report_hz_);
  next_report_ += std::chrono::microseconds(1000000 / hz);
  if (next_report_ < Clock::now()) {
    next_report_ = Clock::now();  // fell behind (split writes); do not burst
  }
  return true;
}

bool SensorLink::MakeFrame(Faults* f, std::string* frame) {
  std::lock_guard<std::mutex> lock(board_.mu);
  *f = board_.faults;
  if (!f->reports_on) {
    return false;
  }
  if (board_.garbage_report) {
    board_.garbage_report = false;
    *frame = GarbageFrame();
    LOG_INFO("board_sim: fault: garbage sensor frame");
  } else {
    station::SensorsDataRep rep = board_.model.Report();
    rep.set_seq(++report_seq_);
    station_center::EncodeFrame(rep, frame);
  }
  return true;
}

bool SensorLink::Push(const Faults& f, const std::string& frame) {
  batch_ += frame;
  if (++batched_ < std::max(1, f.merge_reports)) {
    return true;
  }
  const std::string out = std::move(batch_);
  const int count = batched_;
  batch_.clear();
  batched_ = 0;
  if (!WriteAll(board_, fd_, out, f.split_bytes, f.split_gap_ms)) {
    return false;
  }
  reports_sent_ += count;
  return true;
}

void SensorLink::DropConnection() {
  CloseFd(&fd_);
  connected_ = false;
  board_.SleepFor(1000);
}

}  // namespace station_sim
