#pragma once

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "bottom/tcp_socket.h"

namespace station_center {

// Listening socket whose accept loop runs on a detached thread of its own and
// hands each connection, one at a time, to HandleAccept. Must be owned by a
// shared pointer: the accept thread holds one, so the server outlives it.
// Init/Stop/BoundPort may be called from any thread; Start and HandleAccept run
// only on the accept thread.
class TcpServer : public TcpSocket, public std::enable_shared_from_this<TcpServer> {
 public:
  TcpServer(const std::string& ip, int32_t port) : TcpSocket(ip, port) {}
  ~TcpServer() override;

  // Opens and configures the listening socket, then starts the accept thread.
  bool Init();
  // Binds, listens and accepts until stopped. A failed bind or listen ends the
  // process with exit(-1): a daemon without its sensor port must not run on.
  void Start();
  // Handles one accepted connection and returns when done with it.
  virtual bool HandleAccept(int& fd);

  // Ends the accept loop and the connection being handled, and waits until the
  // accept thread has let go of the server (unless called on that thread). The
  // daemon never stops its server; owners call this before they go away.
  void Stop();
  // The port actually bound (useful when port_ is 0); 0 until bound.
  uint16_t BoundPort() const;
  // Serves connections from this IPv4 address only (empty: from any); others are
  // closed unread. Call before Init.
  bool AllowOnlyPeer(const std::string& ip);

  int backlog_ = 1;

 protected:
  bool Stopping();
  // Closes an accepted descriptor; Stop never touches a descriptor closed here.
  void CloseConnection(int& fd);
  // Accepts one connection from an allowed peer; -1 on a time-out, an error or a
  // refused peer. Runs on the accept thread.
  int AcceptOne();
  // Makes `fd` the connection Stop() interrupts; when already stopping, closes it
  // and returns false. Runs on the accept thread.
  bool Adopt(int& fd);

 private:
  struct ThreadState {
    std::mutex mutex;
    std::condition_variable done;
    bool running = false;
    std::thread::id id;
  };

  std::mutex conn_mutex_;  // guards stop_, conn_fd_, thread_state_
  bool stop_ = false;
  int conn_fd_ = -1;
  std::shared_ptr<ThreadState> thread_state_;
  std::atomic<uint16_t> bound_port_{0};
  // Set before the accept thread starts and only read by it.
  std::string allowed_ip_;
  in_addr_t allowed_addr_ = 0;
};

}  // namespace station_center
