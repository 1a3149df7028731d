#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace station_test {

// A private mosquitto broker on 127.0.0.1:<port> for one test. Anonymous access, no
// persistence. Stop() and Start() again keep the port, so clients can reconnect to it.
// The broker is killed and reaped on destruction. Not thread-safe: drive it from the test.
class MosquittoBroker {
 public:
  // port 0 picks a free ephemeral port. `tcp_nodelay` turns Nagle off on the broker's own
  // sockets (mosquitto leaves it on by default), for latency measurements of one client.
  explicit MosquittoBroker(uint16_t port = 0, bool tcp_nodelay = false);
  ~MosquittoBroker();
  MosquittoBroker(const MosquittoBroker&) = delete;
  MosquittoBroker& operator=(const MosquittoBroker&) = delete;

  // Starts the broker and waits until the port accepts connections.
  bool Start();
  // Terminates the broker and waits for it to exit.
  void Stop();
  bool running() const { return pid_ > 0; }

  uint16_t port() const { return port_; }
  // "127.0.0.1:<port>", the form the status file uses.
  std::string address() const;
  // The broker's own log, for diagnosing a failed test.
  std::string Log() const;

 private:
  uint16_t port_;
  std::string dir_;
  std::string conf_path_;
  std::string log_path_;
  pid_t pid_ = -1;
};

}  // namespace station_test
