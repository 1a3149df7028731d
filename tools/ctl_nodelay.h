#pragma once

// Nagle's algorithm off on this process's connections to the MQTT broker.
// Paho leaves it on, so a small packet sent while the previous one is still
// unacknowledged waits for the broker's delayed ACK (about 40 ms on Linux):
// every request and reply of stationctl would pay that wait.

#include <string>

namespace stationctl {

// Sets TCP_NODELAY on every TCP socket of this process whose peer is the
// broker's port (`broker` as "host:port" or "scheme://host:port"); returns the
// number of sockets changed, -1 when the process's descriptors cannot be listed.
// Thread-safe; meant to be called right after the session connected.
int NoDelayTowardsBroker(const std::string& broker);

}  // namespace stationctl
