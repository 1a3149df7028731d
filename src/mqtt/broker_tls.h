#pragma once

// TLS towards the broker: which addresses ask for it, the library's options for it, and
// an independent handshake that names why a failed connection failed (the library only
// says "TCP/TLS connect failure"). Shared by the daemon and stationctl; logs nothing.

#include <mqtt/ssl_options.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace station_center {

constexpr uint16_t kDefaultPlainBrokerPort = 1883;
constexpr uint16_t kDefaultTlsBrokerPort = 8883;

// The files and checks of a TLS broker connection. Empty paths: the system's trust store,
// no client certificate. `verify` checks the broker's certificate and that it names the host.
struct BrokerTls {
  std::string ca_file;
  std::string cert_file;
  std::string key_file;  // empty: the key is in cert_file
  bool verify = true;
};

// A broker address split, for the daemon and stationctl alike: "ssl://" and "mqtts://" ask for
// TLS (default port 8883); "tcp://", "mqtt://" or none is plain TCP (default port 1883); an IPv6
// host is in brackets; a trailing path is ignored. `error` says why the address is unusable: an
// unknown scheme (taking it for plain TCP could send credentials in clear to a broker meant for
// TLS) or a port that is no number in 1..65535 (a typo, not a wish for the default port).
struct BrokerAddress {
  bool tls = false;
  std::string host;
  uint16_t port = kDefaultPlainBrokerPort;
  std::string error;
};
BrokerAddress ParseBrokerAddress(const std::string& address);

// The library's options for `tls`. No error handler: the library keeps a pointer to the
// options object that held it beyond the connect call, which destroys that object, so the
// library prints its TLS errors on stderr instead. Never throws.
mqtt::ssl_options LibraryTlsOptions(const BrokerTls& tls);

// Why a TLS session with host:port under `tls` cannot be made, in a few words, or "" when a
// handshake with the same checks succeeds and the broker keeps the session. `unreachable`,
// when given, tells whether the reason is that no TCP connection could be made at all.
// Blocking for at most about `timeout`; any thread.
std::string TlsFailureReason(const std::string& host, uint16_t port, const BrokerTls& tls,
                             std::chrono::milliseconds timeout, bool* unreachable = nullptr);

}  // namespace station_center
