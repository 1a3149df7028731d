#include "ctl_nodelay.h"

#include <cstdlib>

#include "mqtt/nodelay.h"

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

int NoDelayTowardsBroker(const std::string& broker) {
  const int port = BrokerPort(broker);
  return port == 0 ? 0 : station_center::SetNoDelayTowardsPeer("", static_cast<uint16_t>(port));
}

}  // namespace stationctl
