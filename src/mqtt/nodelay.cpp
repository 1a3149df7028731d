// TCP_NODELAY on this process's connections to one peer. The MQTT library gives no
// access to its socket, so the socket is found among the process's descriptors.

#include "mqtt/nodelay.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <utility>
#include <vector>

namespace station_center {
namespace {

uint16_t PortOf(const sockaddr_storage& addr) {
  if (addr.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
  }
  return ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
}

// A peer address from the kernel's TCP table: "0100007F:075B" (IPv4) or 32 hex digits and
// the port (IPv6); the address words as the kernel stores them, the port as a number.
bool ParseTablePeer(const std::string& text, sockaddr_storage* peer) {
  const size_t colon = text.find(':');
  if (colon != 8 && colon != 32) {
    return false;
  }
  const uint16_t port = static_cast<uint16_t>(std::strtoul(text.substr(colon + 1).c_str(), nullptr, 16));
  std::array<uint32_t, 4> words{};
  for (size_t i = 0; i < colon / 8; ++i) {
    words[i] = static_cast<uint32_t>(std::strtoul(text.substr(i * 8, 8).c_str(), nullptr, 16));
  }
  *peer = sockaddr_storage{};
  if (colon == 8) {
    auto& in = reinterpret_cast<sockaddr_in&>(*peer);
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    in.sin_addr.s_addr = words[0];
  } else {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(*peer);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    std::memcpy(&in6.sin6_addr, words.data(), sizeof(in6.sin6_addr));
  }
  return true;
}

// Socket inodes of the TCP connections whose peer port is `port`, with their peers, read
// from the kernel's tables: unlike asking each descriptor, this touches no descriptor that
// another thread may be opening or closing at that moment.
std::map<unsigned long, sockaddr_storage> TcpPeersOnPort(uint16_t port) {
  std::map<unsigned long, sockaddr_storage> peers;
  for (const char* table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the column names
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, skip;
      unsigned long inode = 0;
      fields >> slot >> local >> remote;
      for (int i = 0; i < 6; ++i) {
        fields >> skip;  // state, queues, timer, retransmits, uid, timeout
      }
      sockaddr_storage peer{};
      if (fields >> inode && inode != 0 && ParseTablePeer(remote, &peer) && PortOf(peer) == port) {
        peers.emplace(inode, peer);
      }
    }
  }
  return peers;
}

bool SameHost(const sockaddr_storage& peer, const sockaddr* candidate) {
  if (peer.ss_family != candidate->sa_family) {
    return false;
  }
  if (peer.ss_family == AF_INET) {
    return reinterpret_cast<const sockaddr_in&>(peer).sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in*>(candidate)->sin_addr.s_addr;
  }
  return std::memcmp(&reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr,
                     &reinterpret_cast<const sockaddr_in6*>(candidate)->sin6_addr, sizeof(in6_addr)) == 0;
}

// This process's descriptors among `peers`, known by their links ("socket:[inode]");
// false when the descriptors cannot be listed.
bool OwnSocketsAmong(const std::map<unsigned long, sockaddr_storage>& peers,
                     std::vector<std::pair<int, sockaddr_storage>>* own) {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) {
    return false;
  }
  while (dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    char link[64] = {};
    const std::string path = std::string("/proc/self/fd/") + entry->d_name;
    if (end == entry->d_name || *end != '\0' || ::readlink(path.c_str(), link, sizeof(link) - 1) <= 0) {
      continue;
    }
    unsigned long inode = 0;
    const auto peer = std::sscanf(link, "socket:[%lu]", &inode) == 1 ? peers.find(inode) : peers.end();
    if (peer != peers.end()) {
      own->emplace_back(static_cast<int>(fd), peer->second);
    }
  }
  ::closedir(dir);
  return true;
}

int SetNoDelay(const std::vector<std::pair<int, sockaddr_storage>>& sockets) {
  int changed = 0;
  for (const auto& socket : sockets) {
    const int on = 1;
    changed += ::setsockopt(socket.first, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) == 0 ? 1 : 0;
  }
  return changed;
}

}  // namespace

std::vector<sockaddr_storage> ResolveHost(const std::string& host) {
  std::vector<sockaddr_storage> addresses;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* resolved = nullptr;
  if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &resolved) != 0) {
    return addresses;
  }
  for (const addrinfo* ai = resolved; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_addrlen <= sizeof(sockaddr_storage)) {
      sockaddr_storage address{};
      std::memcpy(&address, ai->ai_addr, ai->ai_addrlen);
      addresses.push_back(address);
    }
  }
  ::freeaddrinfo(resolved);
  return addresses;
}

int SetNoDelayTowardsPeer(const std::vector<sockaddr_storage>& addresses, uint16_t port) {
  std::vector<std::pair<int, sockaddr_storage>> candidates;
  if (!OwnSocketsAmong(TcpPeersOnPort(port), &candidates)) {
    return -1;
  }
  std::vector<std::pair<int, sockaddr_storage>> matching;
  for (const auto& candidate : candidates) {
    for (const sockaddr_storage& address : addresses) {
      if (SameHost(candidate.second, reinterpret_cast<const sockaddr*>(&address))) {
        matching.push_back(candidate);
        break;
      }
    }
  }
  return SetNoDelay(matching);
}

int SetNoDelayTowardsPeer(const std::string& host, uint16_t port) {
  if (!host.empty()) {
    return SetNoDelayTowardsPeer(ResolveHost(host), port);
  }
  std::vector<std::pair<int, sockaddr_storage>> candidates;
  if (!OwnSocketsAmong(TcpPeersOnPort(port), &candidates)) {
    return -1;
  }
  return SetNoDelay(candidates);
}

}  // namespace station_center
