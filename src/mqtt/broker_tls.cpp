#include "mqtt/broker_tls.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>

namespace station_center {

namespace {

using Clock = std::chrono::steady_clock;

// A TLS 1.3 broker judges the client's certificate only after the handshake and sends
// its refusal as an alert: wait this long for one before calling the session good.
constexpr auto kVerdictWait = std::chrono::milliseconds(1000);

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

bool IsIpLiteral(const std::string& host) {
  in6_addr address{};
  return ::inet_pton(AF_INET, host.c_str(), &address) == 1 || ::inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

int MillisLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<int64_t>(left, 0, 600000));
}

// Waits until `fd` is ready for `events`; false at the deadline or on an error.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, MillisLeft(deadline));
    if (ready > 0) {
      return true;
    }
    if (ready == 0 || errno != EINTR) {
      return false;
    }
  }
}

// The first error the TLS library queued on this thread, as its reason text ("" when none).
std::string QueuedError() {
  const unsigned long first = ERR_get_error();
  ERR_clear_error();
  if (first == 0) {
    return "";
  }
  const char* reason = ERR_reason_error_string(first);
  return reason != nullptr ? reason : "error " + std::to_string(first);
}

// A write to a socket the broker closed raises SIGPIPE: it stays pending on this thread
// while the probe runs, and is discarded afterwards.
class PipeSignalHeld {
 public:
  PipeSignalHeld() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
  }
  ~PipeSignalHeld() {
    const timespec no_wait{};
    while (::sigtimedwait(&pipe_, nullptr, &no_wait) > 0) {
    }
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  PipeSignalHeld(const PipeSignalHeld&) = delete;
  PipeSignalHeld& operator=(const PipeSignalHeld&) = delete;

 private:
  sigset_t pipe_{};
  sigset_t previous_{};
};

// One non-blocking connection attempt; 0 when connected, else the errno.
int TryConnect(int fd, const addrinfo& target, Clock::time_point deadline) {
  if (::connect(fd, target.ai_addr, target.ai_addrlen) == 0) {
    return 0;
  }
  if (errno != EINPROGRESS) {
    return errno;
  }
  if (!WaitFor(fd, POLLOUT, deadline)) {
    return ETIMEDOUT;
  }
  int error = 0;
  socklen_t length = sizeof(error);
  return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 ? error : errno;
}

// A non-blocking TCP connection to host:port, or -1 with the reason.
int ConnectTcp(const std::string& host, uint16_t port, Clock::time_point deadline, std::string* reason) {
  const std::string where = host + ":" + std::to_string(port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int resolved = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (resolved != 0) {
    *reason = where + " not resolved: " + ::gai_strerror(resolved);
    return -1;
  }
  int fd = -1;
  int error = ETIMEDOUT;
  for (const addrinfo* target = found; target != nullptr && fd < 0; target = target->ai_next) {
    fd = ::socket(target->ai_family, target->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, target->ai_protocol);
    if (fd < 0) {
      error = errno;
      continue;
    }
    error = TryConnect(fd, *target, deadline);
    if (error != 0) {
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  if (fd < 0) {
    *reason = where + " not reachable: " + std::strerror(error);
  }
  return fd;
}

// The context the MQTT library builds from the same settings; null with the reason.
SSL_CTX* MakeContext(const BrokerTls& tls, std::string* reason) {
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) {
    *reason = "TLS unavailable: " + QueuedError();
    return nullptr;
  }
  const std::string& key = tls.key_file.empty() ? tls.cert_file : tls.key_file;
  if (!tls.ca_file.empty() && SSL_CTX_load_verify_locations(context, tls.ca_file.c_str(), nullptr) != 1) {
    *reason = "CA file " + tls.ca_file + " unusable: " + QueuedError();
  } else if (tls.ca_file.empty() && SSL_CTX_set_default_verify_paths(context) != 1) {
    *reason = "system trust store unusable: " + QueuedError();
  } else if (!tls.cert_file.empty() && SSL_CTX_use_certificate_chain_file(context, tls.cert_file.c_str()) != 1) {
    *reason = "client certificate " + tls.cert_file + " unusable: " + QueuedError();
  } else if (!tls.cert_file.empty() && SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM) != 1) {
    // Also a key of another certificate ("key values mismatch").
    *reason = "client key " + key + " unusable: " + QueuedError();
  } else {
    SSL_CTX_set_verify(context, tls.verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
    return context;
  }
  SSL_CTX_free(context);
  return nullptr;
}

// The broker's certificate must name `host` (as a name or an address) when verifying.
bool ExpectHost(SSL* ssl, const std::string& host, bool verify) {
  const bool literal = IsIpLiteral(host);
  if (!literal && SSL_set_tlsext_host_name(ssl, host.c_str()) != 1) {
    return false;
  }
  if (!verify) {
    return true;
  }
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  return literal ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1
                 : X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0) == 1;
}

// Why the session failed after `ssl_error`, from what the library knows.
std::string SessionError(SSL* ssl, int ssl_error, const char* stage) {
  const long verdict = SSL_get_verify_result(ssl);
  if (verdict != X509_V_OK) {
    ERR_clear_error();
    return std::string("server certificate not accepted: ") + X509_verify_cert_error_string(verdict);
  }
  const std::string queued = QueuedError();
  if (!queued.empty()) {
    return std::string(stage) + " failed: " + queued;
  }
  if (ssl_error == SSL_ERROR_ZERO_RETURN || ssl_error == SSL_ERROR_SYSCALL) {
    return std::string("the broker closed the connection during the ") + stage;
  }
  return std::string(stage) + " failed";
}

std::string Handshake(SSL* ssl, int fd, Clock::time_point deadline) {
  for (;;) {
    ERR_clear_error();
    const int rc = SSL_connect(ssl);
    if (rc == 1) {
      return "";
    }
    const int error = SSL_get_error(ssl, rc);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
      return SessionError(ssl, error, "TLS handshake");
    }
    if (!WaitFor(fd, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline)) {
      return "no TLS handshake within the time limit";
    }
  }
}

// After the handshake: a refusal of our certificate arrives now, or the session stands.
std::string Verdict(SSL* ssl, int fd, Clock::time_point deadline) {
  const Clock::time_point until = std::min(deadline, Clock::now() + kVerdictWait);
  char byte = 0;
  for (;;) {
    ERR_clear_error();
    const int rc = SSL_read(ssl, &byte, 1);
    if (rc > 0) {
      return "";
    }
    const int error = SSL_get_error(ssl, rc);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
      return SessionError(ssl, error, "TLS session");
    }
    if (!WaitFor(fd, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, until)) {
      return "";
    }
  }
}

}  // namespace

BrokerAddress ParseBrokerAddress(const std::string& address) {
  BrokerAddress parsed;
  std::string rest = address;
  const size_t scheme = rest.find("://");
  if (scheme != std::string::npos) {
    const std::string name = Lower(rest.substr(0, scheme));
    parsed.tls = name == "ssl" || name == "mqtts";
    if (!parsed.tls && name != "tcp" && name != "mqtt") {
      parsed.error = "unknown scheme " + name;
    }
    rest = rest.substr(scheme + 3);
  }
  rest = rest.substr(0, rest.find('/'));
  parsed.port = parsed.tls ? kDefaultTlsBrokerPort : kDefaultPlainBrokerPort;
  const size_t colon = rest.rfind(':');
  const size_t bracket = rest.rfind(']');
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
    const std::string digits = rest.substr(colon + 1);
    char* end = nullptr;
    const unsigned long value = std::strtoul(digits.c_str(), &end, 10);
    if (!digits.empty() && std::isdigit(static_cast<unsigned char>(digits[0])) && *end == '\0' && value > 0 &&
        value <= 65535) {
      parsed.port = static_cast<uint16_t>(value);
    } else if (parsed.error.empty()) {
      parsed.error = "the port must be a number from 1 to 65535";
    }
    rest = rest.substr(0, colon);
  }
  parsed.host = rest;
  return parsed;
}

mqtt::ssl_options LibraryTlsOptions(const BrokerTls& tls) {
  mqtt::ssl_options options;
  try {
    options.set_trust_store(tls.ca_file);
    options.set_key_store(tls.cert_file);
    options.set_private_key(tls.key_file);
    options.set_enable_server_cert_auth(tls.verify);
    options.set_verify(tls.verify);
  } catch (const std::exception&) {
    // The setters only copy strings; an allocation failure leaves the defaults.
  }
  return options;
}

std::string TlsFailureReason(const std::string& host, uint16_t port, const BrokerTls& tls,
                             std::chrono::milliseconds timeout, bool* unreachable) {
  const Clock::time_point deadline = Clock::now() + timeout;
  PipeSignalHeld pipe_signal_held;
  ERR_clear_error();
  if (unreachable != nullptr) {
    *unreachable = false;
  }
  std::string reason;
  const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(MakeContext(tls, &reason), &SSL_CTX_free);
  if (!context) {
    return reason;
  }
  const int fd = ConnectTcp(host, port, deadline, &reason);
  if (fd < 0) {
    if (unreachable != nullptr) {
      *unreachable = true;
    }
    return reason;
  }
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(context.get()), &SSL_free);
  if (!ssl || SSL_set_fd(ssl.get(), fd) != 1 || !ExpectHost(ssl.get(), host, tls.verify)) {
    reason = "TLS unavailable: " + QueuedError();
  } else {
    reason = Handshake(ssl.get(), fd, deadline);
    if (reason.empty()) {
      reason = Verdict(ssl.get(), fd, deadline);
    }
  }
  ssl.reset();
  ::close(fd);
  ERR_clear_error();
  return reason;
}

}  // namespace station_center
