#pragma once

// Nagle's algorithm off on this process's connections to a peer (the MQTT broker).
// The MQTT library leaves it on, so a small packet sent while the previous one is still
// unacknowledged waits for the peer's delayed ACK (about 40 ms on Linux).

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

namespace station_center {

// Sets TCP_NODELAY on every TCP socket of this process whose peer is host:port (any host
// when `host` is empty).
// Returns the number of sockets changed, or -1 when the descriptors cannot be listed.
// Thread-safe; touches no descriptor but those sockets (found through the kernel's TCP
// table), so it never races with other threads opening or closing theirs.
int SetNoDelayTowardsPeer(const std::string& host, uint16_t port);
// The same towards addresses resolved beforehand: resolves nothing, so it may run on a
// thread that must not wait for DNS (the MQTT library's callbacks).
int SetNoDelayTowardsPeer(const std::vector<sockaddr_storage>& addresses, uint16_t port);
// The addresses `host` (a name or a literal) resolves to; empty when it does not. Thread-safe.
std::vector<sockaddr_storage> ResolveHost(const std::string& host);

}  // namespace station_center
