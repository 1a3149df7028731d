#include "sim/board_state.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace station_sim {

bool BoardState::SleepFor(int ms) {
  std::unique_lock<std::mutex> lock(mu);
  return !cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop; });
}

bool BoardState::HoldAnswer(std::chrono::steady_clock::time_point since) {
  std::unique_lock<std::mutex> lock(mu);
  while (!stop) {
    const auto until = since + std::chrono::milliseconds(faults.ack_delay_ms);
    if (std::chrono::steady_clock::now() >= until) {
      return true;
    }
    cv.wait_until(lock, until);
  }
  return false;
}

bool BoardState::stopping() {
  std::lock_guard<std::mutex> lock(mu);
  return stop;
}

void BoardState::RunModelTicks(int tick_ms) {
  using Clock = std::chrono::steady_clock;
  auto last = Clock::now();
  while (SleepFor(std::max(1, tick_ms))) {
    const auto now = Clock::now();
    const double dt = std::chrono::duration<double>(now - last).count();
    last = now;
    std::lock_guard<std::mutex> lock(mu);
    model.Advance(dt);
  }
}

// Field 1 with the reserved wire type 7.
std::string GarbageFrame() {
  const std::string body = "\x0f\xff\xff\xff";
  std::string frame;
  frame.push_back(static_cast<char>(body.size()));
  frame.push_back('\0');
  return frame + body;
}

void CloseFd(int* fd) {
  if (*fd >= 0) {
    ::close(*fd);
    *fd = -1;
  }
}

void SetNoDelay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

bool WriteAll(BoardState& board, int fd, const std::string& bytes, int split, int gap_ms) {
  size_t off = 0;
  while (off < bytes.size()) {
    size_t len = bytes.size() - off;
    if (split > 0) {
      len = std::min(len, static_cast<size_t>(split));
    }
    size_t sent = 0;
    while (sent < len) {
      pollfd p{fd, POLLOUT, 0};
      const int r = ::poll(&p, 1, 50);
      if (r < 0 && errno != EINTR) {
        return false;
      }
      if (board.stopping()) {
        return false;
      }
      if (r <= 0) {
        continue;
      }
      const ssize_t n = ::send(fd, bytes.data() + off + sent, len - sent, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
          continue;
        }
        return false;
      }
      sent += static_cast<size_t>(n);
    }
    off += len;
    if (split > 0 && off < bytes.size() && !board.SleepFor(gap_ms)) {
      return false;
    }
  }
  return true;
}

}  // namespace station_sim
