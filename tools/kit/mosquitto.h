#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "kit/process.h"

namespace kit {

// A TLS listener of the broker: PEM files, and whether clients must show a certificate
// signed by `ca_file`.
struct TlsListener {
  std::string ca_file;
  std::string cert_file;
  std::string key_file;
  bool require_certificate = false;
};

// A private mosquitto broker on 127.0.0.1:<port>: anonymous access, no persistence, its
// log in its directory. Stop() and Start() again keep the port, so clients can reconnect
// to it. Killed and reaped on destruction. Use from one thread.
class MosquittoBroker {
 public:
  // port 0 picks a free port. `tcp_nodelay` turns Nagle off on the broker's own sockets
  // (mosquitto leaves it on by default). With `tls`, a TLS listener on a second free port
  // as well. `dir` holds the configuration and the log; empty: a temporary directory,
  // removed on destruction.
  explicit MosquittoBroker(uint16_t port = 0, bool tcp_nodelay = false, std::optional<TlsListener> tls = {},
                           const std::string& dir = "");
  ~MosquittoBroker();
  MosquittoBroker(const MosquittoBroker&) = delete;
  MosquittoBroker& operator=(const MosquittoBroker&) = delete;

  // Before Start: only `user` with `password` may connect (anonymous clients are refused).
  bool RequirePassword(const std::string& user, const std::string& password);
  // Starts the broker and waits until its ports accept connections.
  bool Start();
  // Terminates the broker and waits for it to exit.
  void Stop() { process_.Stop(); }
  // Stopped and started again on the same ports, Nagle as `tcp_nodelay` says.
  bool Restart(bool tcp_nodelay);
  bool running() const { return process_.pid() > 0; }
  // For signals a test sends itself (SIGSTOP freezes the broker with its sockets open).
  pid_t pid() const { return process_.pid(); }

  uint16_t port() const { return port_; }
  // "127.0.0.1:<port>", the form the status file uses.
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  // "ssl://127.0.0.1:<TLS port>" (only with a TLS listener).
  std::string tls_address() const { return "ssl://127.0.0.1:" + std::to_string(tls_port_); }
  uint16_t tls_port() const { return tls_port_; }
  const std::string& log_path() const { return process_.log_path(); }
  std::string Log() const { return process_.Log(); }

 private:
  bool WriteConfig(bool tcp_nodelay) const;

  uint16_t port_;
  uint16_t tls_port_ = 0;
  std::optional<TlsListener> tls_;
  std::string dir_;
  bool own_dir_ = false;
  Child process_;
};

}  // namespace kit
