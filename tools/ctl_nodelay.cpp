#include "ctl_nodelay.h"

#include <cstdlib>

#include "mqtt/broker_tls.h"
#include "mqtt/nodelay.h"

namespace stationctl {

int NoDelayTowardsBroker(const std::string& broker) {
  const station_center::BrokerAddress address = station_center::ParseBrokerAddress(broker);
  return address.error.empty() ? station_center::SetNoDelayTowardsPeer("", address.port) : 0;
}

}  // namespace stationctl
