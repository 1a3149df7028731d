// The Nagle switch resolves the broker's name before connecting, never on the MQTT
// library's callback thread, where a slow DNS would hold up every delivery.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mqtt/mqtt_client.h"
#include "support/mosquitto.h"
#include "support/test_support.h"

namespace {
std::mutex g_mutex;
std::vector<std::thread::id> g_resolvers;  // threads that looked "localhost" up as the switch does
}  // namespace

// Wraps the C library's lookup for this test binary, noting who resolves the broker's name.
extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
  using Real = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "getaddrinfo"));
  if (node != nullptr && std::strcmp(node, "localhost") == 0 && hints != nullptr && hints->ai_protocol == 0) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_resolvers.push_back(std::this_thread::get_id());
  }
  return real(node, service, hints, res);
}

namespace station_center {
namespace {

TEST(NoDelayTest, TheBrokerIsResolvedBeforeConnectingNotOnTheLibraryThread) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_resolvers.clear();  // earlier tests of this binary resolve it too
  }
  station_test::MosquittoBroker broker;
  ASSERT_TRUE(broker.Start());
  struct Connections : mqtt::callback {
    std::atomic<int> count{0};
    void connected(const std::string&) override { ++count; }
  };
  auto connections = std::make_shared<Connections>();
  MqttSettings settings;
  settings.station_id = "N1";
  settings.server_address = "localhost:" + std::to_string(broker.port());
  settings.connect_wait_seconds = 20;
  MqttClient client(settings);
  ASSERT_TRUE(client.Init(connections));
  const int before = connections->count;
  broker.Stop();
  ASSERT_TRUE(broker.Start());
  ASSERT_TRUE(station_test::WaitUntil([&] { return connections->count > before; }, std::chrono::seconds(60)));
  std::lock_guard<std::mutex> lock(g_mutex);
  EXPECT_EQ(g_resolvers, std::vector<std::thread::id>{std::this_thread::get_id()});
}

}  // namespace
}  // namespace station_center
