#pragma once

#include <string>

#include "kit/mosquitto.h"
#include "support/test_support.h"

namespace station_test {

using kit::MosquittoBroker;
using kit::TlsListener;

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

// Starts tests/support/mqtt311_broker.py as `process` on 127.0.0.1, a broker that speaks MQTT
// 3.1.1 only (or with `silent` one that takes connections and never answers), and waits until
// it accepts connections. Its address, or "" when it did not start.
std::string StartMqtt311Broker(ChildProcess* process, bool silent = false);

}  // namespace station_test
