// TCP_NODELAY on the broker connection, found among the process's descriptors
// (Paho gives no access to its socket).

#include "ctl_nodelay.h"

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>

namespace stationctl {

int BrokerPort(const std::string& broker) {
  std::string rest = broker;
  const size_t scheme = rest.find("://");
  const bool tls =
      scheme != std::string::npos && (rest.compare(0, scheme, "ssl") == 0 || rest.compare(0, scheme, "mqtts") == 0);
  if (scheme != std::string::npos) {
    rest = rest.substr(scheme + 3);
  }
  rest = rest.substr(0, rest.find('/'));
  const size_t colon = rest.rfind(':');
  const size_t bracket = rest.rfind(']');
  if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket)) {
    return tls ? 8883 : 1883;  // the library's defaults for an address without a port
  }
  const std::string digits = rest.substr(colon + 1);
  char* end = nullptr;
  const long port = std::strtol(digits.c_str(), &end, 10);
  return !digits.empty() && *end == '\0' && port > 0 && port <= 65535 ? static_cast<int>(port) : 0;
}

namespace {

int PeerPort(int fd) {
  sockaddr_storage peer{};
  socklen_t len = sizeof(peer);
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
    return 0;
  }
  if (peer.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in&>(peer).sin_port);
  }
  if (peer.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6&>(peer).sin6_port);
  }
  return 0;
}

}  // namespace

int NoDelayTowardsBroker(const std::string& broker) {
  const int port = BrokerPort(broker);
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) {
    return -1;
  }
  int changed = 0;
  while (const dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    struct stat st {};
    if (end == entry->d_name || *end != '\0' || fd == ::dirfd(dir) || ::fstat(static_cast<int>(fd), &st) != 0 ||
        !S_ISSOCK(st.st_mode) || PeerPort(static_cast<int>(fd)) != port || port == 0) {
      continue;
    }
    const int one = 1;
    changed += ::setsockopt(static_cast<int>(fd), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) == 0 ? 1 : 0;
  }
  ::closedir(dir);
  return changed;
}

}  // namespace stationctl
