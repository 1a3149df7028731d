#include "sim/control_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "logger.h"

namespace station_sim {

namespace {

constexpr size_t kMaxLine = 4096;

bool FillAddress(const std::string& path, sockaddr_un* addr) {
  if (path.empty() || path.size() >= sizeof(addr->sun_path)) {
    return false;
  }
  *addr = sockaddr_un{};
  addr->sun_family = AF_UNIX;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

bool SendAll(int fd, const std::string& text) {
  size_t off = 0;
  while (off < text.size()) {
    const ssize_t n = ::send(fd, text.data() + off, text.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    off += static_cast<size_t>(n);
  }
  return true;
}

struct Client {
  int fd;
  std::string pending;
};

// Reads what the client sent and answers each whole line; false when the
// client is to be dropped (gone, unwritable, or a line too long).
bool Serve(Client& c, const ControlServer::Handler& handler) {
  char buf[1024];
  const ssize_t n = ::recv(c.fd, buf, sizeof(buf), 0);
  if (n <= 0) {
    return false;
  }
  c.pending.append(buf, static_cast<size_t>(n));
  bool keep = true;
  size_t nl;
  while (keep && (nl = c.pending.find('\n')) != std::string::npos) {
    std::string line = c.pending.substr(0, nl);
    c.pending.erase(0, nl + 1);
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    std::string answer = handler(line);
    if (!answer.empty() && answer.back() != '\n') {
      answer.push_back('\n');
    }
    keep = SendAll(c.fd, answer + ".\n");
  }
  if (c.pending.size() > kMaxLine) {
    SendAll(c.fd, "error: line too long\n.\n");
    keep = false;
  }
  return keep;
}

}  // namespace

bool ControlServer::Start(const std::string& path) {
  sockaddr_un addr;
  if (thread_.joinable() || !FillAddress(path, &addr)) {
    return false;
  }
  ::unlink(path.c_str());
  listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::listen(listen_fd_, 4) != 0 || ::pipe2(wake_, O_CLOEXEC) != 0) {
    LOG_ERROR("board_sim: control socket {} failed: {}", path, std::strerror(errno));
    Stop();
    return false;
  }
  path_ = path;
  thread_ = std::thread([this] { Loop(); });
  return true;
}

void ControlServer::Stop() {
  if (thread_.joinable()) {
    const char c = 'x';
    (void)!::write(wake_[1], &c, 1);
    thread_.join();
  }
  for (int* fd : {&listen_fd_, &wake_[0], &wake_[1]}) {
    if (*fd >= 0) {
      ::close(*fd);
      *fd = -1;
    }
  }
  if (!path_.empty()) {
    ::unlink(path_.c_str());
    path_.clear();
  }
}

void ControlServer::Loop() {
  std::vector<Client> clients;
  for (;;) {
    std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
    for (const auto& c : clients) {
      fds.push_back({c.fd, POLLIN, 0});
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    if (fds[0].revents != 0) {
      break;
    }
    if (fds[1].revents & POLLIN) {
      const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        clients.push_back({fd, {}});
      }
    }
    // Walk the polled clients only; a client accepted above waits for the next round.
    for (size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents == 0) {
        continue;
      }
      Client& c = clients[i - 2];
      if (!Serve(c, handler_)) {
        ::close(c.fd);
        c.fd = -1;
      }
    }
    for (size_t i = 0; i < clients.size();) {
      if (clients[i].fd < 0) {
        clients.erase(clients.begin() + static_cast<long>(i));
      } else {
        ++i;
      }
    }
  }
  for (auto& c : clients) {
    ::close(c.fd);
  }
}

bool ControlRequest(const std::string& path, const std::string& line, std::string* answer, int timeout_ms) {
  sockaddr_un addr;
  if (!FillAddress(path, &addr) || line.find('\n') != std::string::npos) {
    return false;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return false;
  }
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 && SendAll(fd, line + "\n");
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (ok) {
    // The answer is complete at a line holding only the end marker.
    if (got == ".\n" || (got.size() >= 3 && got.compare(got.size() - 3, 3, "\n.\n") == 0)) {
      got.resize(got.size() - 2);
      *answer = got;
      break;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      ok = false;
      break;
    }
    char buf[1024];
    const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) {
      ok = false;
      break;
    }
    got.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return ok;
}

}  // namespace station_sim
