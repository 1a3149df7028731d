// stationctl's MQTT session: Nagle off on its broker connection (a reply would
// otherwise wait about 40 ms for a delayed ACK), and the broker port read from
// the address forms stationctl accepts.

#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>
#include <vector>

#include "ctl_mqtt.h"
#include "ctl_nodelay.h"
#include "support/mosquitto.h"

namespace station_test {
namespace {

// TCP_NODELAY of each of this process's sockets connected to `port`.
std::vector<int> NoDelayOfSocketsTo(uint16_t port) {
  std::vector<int> flags;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) {
    return flags;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const int fd = std::atoi(entry->d_name);
    struct stat st {};
    sockaddr_in peer{};
    socklen_t len = sizeof(peer);
    if (fd <= 2 || fd == ::dirfd(dir) || ::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode) ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0 || peer.sin_family != AF_INET ||
        ntohs(peer.sin_port) != port) {
      continue;
    }
    int on = 0;
    socklen_t on_len = sizeof(on);
    ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &on_len);
    flags.push_back(on);
  }
  ::closedir(dir);
  return flags;
}

TEST(CtlSession, ConnectedSessionHasNagleOffTowardsTheBroker) {
  MosquittoBroker broker;
  ASSERT_TRUE(broker.Start()) << broker.Log();
  stationctl::Session session(broker.address(), "ctl-session-test");
  std::string error;
  ASSERT_TRUE(session.Connect(std::chrono::seconds(20), &error)) << error;
  const std::vector<int> flags = NoDelayOfSocketsTo(broker.port());
  ASSERT_EQ(flags.size(), 1u);
  EXPECT_NE(flags[0], 0);
  // A second call finds the same socket and leaves other connections alone.
  EXPECT_EQ(stationctl::NoDelayTowardsBroker(broker.address()), 1);
  EXPECT_EQ(stationctl::NoDelayTowardsBroker("127.0.0.1:1"), 0);
}

}  // namespace
}  // namespace station_test
