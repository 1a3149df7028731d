#include "bottom/tcp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "error_codes.h"
#include "logger.h"

namespace station_center {

TcpServer::~TcpServer() {
  LOG_INFO("~TcpServer");
  if (sock_ >= 0) {
    ::close(sock_);
    sock_ = -1;
  }
}

bool TcpServer::Init() {
  std::shared_ptr<TcpServer> self = weak_from_this().lock();
  if (!self) {
    LOG_ERROR("TcpServer::Init needs a server owned by a shared pointer");
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(conn_mutex_);
    if (thread_state_) {
      LOG_ERROR("TcpServer::Init called twice");
      return false;
    }
  }
  if (!CreateSocket(sock_)) {
    return false;
  }
  if (!SetSockOpt(sock_, true)) {
    return false;
  }
  LOG_INFO("Start tcp server thread");
  auto state = std::make_shared<ThreadState>();
  state->running = true;
  {
    std::lock_guard<std::mutex> lock(conn_mutex_);
    thread_state_ = state;
  }
  std::thread thread([self, state]() mutable {
    self->Start();
    // Let go of the server before reporting the end, so a waiting Stop() caller
    // ends up holding the last reference and the destructor runs on its side.
    self.reset();
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      state->running = false;
    }
    state->done.notify_all();
  });
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->id = thread.get_id();
  }
  thread.detach();
  return true;
}

void TcpServer::Start() {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = ::inet_addr(ip_.c_str());
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  if (::bind(sock_, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) < 0) {
    const int err = errno;
    LOG_ERROR("ErrorCode: {}, Bind Socket error: {}(errornum: {})", kErrBind, std::strerror(err), err);
    std::exit(-1);
  }
  sockaddr_in bound{};
  socklen_t bound_len = sizeof(bound);
  if (::getsockname(sock_, reinterpret_cast<sockaddr*>(&bound), &bound_len) == 0) {
    bound_port_.store(ntohs(bound.sin_port));
  }
  if (::listen(sock_, backlog_) < 0) {
    const int err = errno;
    LOG_ERROR("ErrorCode: {}, Listen Socket error: {}(errornum: {})", kErrListen, std::strerror(err), err);
    std::exit(-1);
  }
  for (;;) {
    // Checked after listen: a Stop() before this point is seen here, one after
    // it shuts the listening socket down and wakes accept.
    if (Stopping()) {
      return;
    }
    int fd = AcceptOne();
    if (fd < 0) {
      continue;
    }
    if (!Adopt(fd)) {
      return;
    }
    HandleAccept(fd);
    CloseConnection(fd);
  }
}

int TcpServer::AcceptOne() {
  sockaddr_in peer{};
  socklen_t peer_len = sizeof(peer);
  const int fd = ::accept(sock_, reinterpret_cast<sockaddr*>(&peer), &peer_len);
  if (fd == -1) {
    // Out of descriptors or memory, accept fails again at once: pause rather
    // than spin a core until the condition clears.
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
  }
  char ip[INET_ADDRSTRLEN] = {0};
  ::inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof(ip));
  if (!allowed_ip_.empty() && peer.sin_addr.s_addr != allowed_addr_) {
    LOG_WARN_LIMITED("ErrorCode: {}, connection from {} refused: only {} may connect", kErrForeignPeer, ip,
                     allowed_ip_);
    // Reset rather than closed: a flood of strangers leaves no TIME_WAIT behind.
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    ::close(fd);
    return -1;
  }
  LOG_INFO("Accept a connection, ip : {}, port : {}", ip, ntohs(peer.sin_port));
  return fd;
}

bool TcpServer::Adopt(int& fd) {
  std::lock_guard<std::mutex> lock(conn_mutex_);
  if (stop_) {
    ::close(fd);
    fd = -1;
    return false;
  }
  conn_fd_ = fd;
  return true;
}

bool TcpServer::AllowOnlyPeer(const std::string& ip) {
  if (ip.empty()) {
    allowed_ip_.clear();
    return true;
  }
  in_addr addr{};
  if (::inet_pton(AF_INET, ip.c_str(), &addr) != 1) {
    LOG_ERROR("ErrorCode: {}, {} is not an IPv4 address: no connection will be served", kErrForeignPeer, ip);
    allowed_addr_ = INADDR_NONE;
    allowed_ip_ = ip;
    return false;
  }
  allowed_addr_ = addr.s_addr;
  allowed_ip_ = ip;
  return true;
}

bool TcpServer::HandleAccept(int& fd) {
  LOG_INFO("Handle Accept connection");
  CloseConnection(fd);
  return true;
}

void TcpServer::Stop() {
  std::shared_ptr<ThreadState> state;
  {
    std::lock_guard<std::mutex> lock(conn_mutex_);
    stop_ = true;
    if (conn_fd_ >= 0) {
      ::shutdown(conn_fd_, SHUT_RDWR);
    }
    if (sock_ >= 0) {
      ::shutdown(sock_, SHUT_RDWR);
    }
    state = thread_state_;
  }
  if (!state) {
    return;
  }
  std::unique_lock<std::mutex> lock(state->mutex);
  if (state->id == std::this_thread::get_id()) {
    return;  // called from a handler: the loop ends once it returns
  }
  state->done.wait(lock, [&state] { return !state->running; });
}

uint16_t TcpServer::BoundPort() const { return bound_port_.load(); }

bool TcpServer::Stopping() {
  std::lock_guard<std::mutex> lock(conn_mutex_);
  return stop_;
}

void TcpServer::CloseConnection(int& fd) {
  std::lock_guard<std::mutex> lock(conn_mutex_);
  if (fd >= 0) {
    ::close(fd);
    if (conn_fd_ == fd) {
      conn_fd_ = -1;
    }
  }
  fd = -1;
}

}  // namespace station_center
