#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace station_test {

// A TLS listener of the test broker: PEM files, and whether clients must show a
// certificate signed by `ca_file`.
struct TlsListener {
  std::string ca_file;
  std::string cert_file;
  std::string key_file;
  bool require_certificate = false;
};

// Certificates made with the openssl command in a temporary directory of their own (removed
// on destruction): a CA, a server certificate for 127.0.0.1 and localhost and a client
// certificate it signed, a server certificate naming another host only, and an unrelated
// second CA. Not thread-safe.
class TestCertificates {
 public:
  TestCertificates();
  ~TestCertificates();
  TestCertificates(const TestCertificates&) = delete;
  TestCertificates& operator=(const TestCertificates&) = delete;
  // True when every file was made (false, with openssl's output in Log(), otherwise).
  bool Make();
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::string ca() const { return Path("ca.crt"); }
  std::string other_ca() const { return Path("other-ca.crt"); }
  TlsListener Server(bool require_certificate = false) const;
  // A server certificate for elsewhere.invalid only, from the right CA.
  TlsListener MisnamedServer() const;
  std::string client_cert() const { return Path("client.crt"); }
  std::string client_key() const { return Path("client.key"); }
  std::string Log() const;

 private:
  bool Run(const std::string& command) const;
  bool Sign(const std::string& name, const std::string& subject, const std::string& extensions) const;
  std::string dir_;
};

// A private mosquitto broker on 127.0.0.1:<port> for one test. Anonymous access, no
// persistence. Stop() and Start() again keep the port, so clients can reconnect to it.
// The broker is killed and reaped on destruction. Not thread-safe: drive it from the test.
class MosquittoBroker {
 public:
  // port 0 picks a free ephemeral port. `tcp_nodelay` turns Nagle off on the broker's own
  // sockets (mosquitto leaves it on by default), for latency measurements of one client.
  // With `tls`, a TLS listener on a second free port as well.
  explicit MosquittoBroker(uint16_t port = 0, bool tcp_nodelay = false, std::optional<TlsListener> tls = {});
  ~MosquittoBroker();
  MosquittoBroker(const MosquittoBroker&) = delete;
  MosquittoBroker& operator=(const MosquittoBroker&) = delete;

  // Starts the broker and waits until the port accepts connections.
  bool Start();
  // Terminates the broker and waits for it to exit.
  void Stop();
  bool running() const { return pid_ > 0; }
  // For signals a test sends itself (SIGSTOP freezes the broker with its sockets open).
  pid_t pid() const { return pid_; }

  uint16_t port() const { return port_; }
  // "127.0.0.1:<port>", the form the status file uses.
  std::string address() const;
  // "ssl://127.0.0.1:<TLS port>" (only with a TLS listener).
  std::string tls_address() const;
  // The broker's own log, for diagnosing a failed test.
  std::string Log() const;

 private:
  uint16_t port_;
  uint16_t tls_port_ = 0;
  std::string dir_;
  std::string conf_path_;
  std::string log_path_;
  pid_t pid_ = -1;
};

}  // namespace station_test
