#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "mqtt/mqtt_callback.h"
#include "mqtt/mqtt_client.h"
#include "mqtt/mqtt_peer.h"
#include "support/mosquitto.h"
#include "support/test_support.h"

namespace {
std::mutex g_resolve_mutex;
std::vector<std::thread::id> g_resolvers;  // threads that looked "localhost" up as the Nagle switch does
}  // namespace

// Wraps the C library's lookup in this test binary, noting who resolves the broker's name.
extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
  using Real = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "getaddrinfo"));
  if (node != nullptr && std::strcmp(node, "localhost") == 0 && hints != nullptr && hints->ai_protocol == 0) {
    std::lock_guard<std::mutex> lock(g_resolve_mutex);
    g_resolvers.push_back(std::this_thread::get_id());
  }
  return real(node, service, hints, res);
}

namespace station_center {
namespace {

// A station connection as `id` to `address`, with the test's generous connect wait.
MqttSettings Settings(const std::string& id, const std::string& address) {
  MqttSettings settings;
  settings.station_id = id;
  settings.server_address = address;
  settings.connect_wait_seconds = 20;
  return settings;
}

// The msgId of each reply, in order of arrival.
std::vector<int> ReplyIds(const std::vector<station_test::Message>& replies) {
  const std::regex id(R"("msgId":\{"uuid":"b(\d+)\")");
  std::vector<int> ids;
  for (const auto& reply : replies) {
    std::smatch m;
    ids.push_back(std::regex_search(reply.second, m, id) ? std::stoi(m[1].str()) : -1);
  }
  return ids;
}

// A burst of checks far larger than the station's send buffer: every request is answered
// once and in order, because the station waited for room instead of dropping replies.
TEST(MqttBurstTest, EveryRequestOfABurstIsAnsweredOnceInOrder) {
  station_test::MosquittoBroker broker{0, true};
  ASSERT_TRUE(broker.Start());
  MqttSettings settings = Settings("S1", broker.address());
  settings.send_buffer = 1;  // a reply still queued makes the next one wait for room
  auto client = std::make_shared<MqttClient>(settings);
  // No station core: every check is answered "not ready", with its ids echoed.
  auto callback = std::make_shared<mqtt_callback::MqttCallback>(nullptr, client);
  ASSERT_TRUE(client->Init(callback));
  station_test::MqttPeer robot(broker.address(), "burst-robot");
  const std::string topic = "clean_robot_station/S1/checkStation";
  ASSERT_TRUE(robot.Connect() && robot.Subscribe(topic + "Re"));
  ASSERT_TRUE(robot.AskUntilAnswered(topic, "{}"));
  ASSERT_TRUE(station_test::WaitUntil([&] {
    const size_t seen = robot.Size();
    return !station_test::WaitUntil([&] { return robot.Size() > seen; }, std::chrono::milliseconds(300));
  }));
  const size_t warmup = robot.Size();

  constexpr int kBurst = 1000;
  for (int i = 0; i < kBurst; ++i) {
    ASSERT_TRUE(robot.Send(
        topic, R"({"reqHeader":{"msgId":{"uuid":"b)" + std::to_string(i) + R"("}},"checkType":"ENUM_IN_POSE"})"));
  }
  station_test::WaitUntil([&] { return robot.Size() >= warmup + kBurst; }, std::chrono::seconds(120));
  // Anything late or twice would show up after the last expected reply.
  station_test::WaitUntil([&] { return robot.Size() > warmup + kBurst; }, std::chrono::milliseconds(500));
  const std::vector<station_test::Message> all = robot.Messages();
  const std::vector<int> ids = ReplyIds({all.begin() + static_cast<long>(warmup), all.end()});
  std::vector<int> expected(kBurst);
  for (int i = 0; i < kBurst; ++i) expected[static_cast<size_t>(i)] = i;
  EXPECT_TRUE(ids == expected) << "replies lost, repeated or out of order";
  const MqttClientStats stats = client->stats();
  EXPECT_GT(stats.send_waits, 0) << "the library never held more than its small buffer: the burst waited for room";
  EXPECT_EQ(stats.send_refused, 0);
  EXPECT_EQ(stats.events_dropped, 0) << "waiting for room must not flood the event queue";
}

// A handler that lets go of the last reference to its client ends the client on the client's
// own event thread: neither an abort (a joinable thread destroyed) nor a use after free.
TEST(MqttClientLifetimeTest, AHandlerMayDropTheLastReferenceToItsClient) {
  station_test::MosquittoBroker broker;
  ASSERT_TRUE(broker.Start());
  struct Owner : mqtt::callback {
    std::shared_ptr<MqttClient> client;
    std::atomic<bool> let_go{false};
    void message_arrived(mqtt::const_message_ptr) override {
      client.reset();
      let_go = true;
    }
  };
  auto owner = std::make_shared<Owner>();
  owner->client = std::make_shared<MqttClient>(Settings("L1", broker.address()));
  ASSERT_TRUE(owner->client->Init(owner));

  station_test::MqttPeer robot(broker.address(), "robot");
  ASSERT_TRUE(robot.Connect() && robot.Subscribe("clean_robot_station/L1/checkStationRe"));
  ASSERT_TRUE(station_test::WaitUntil([&] {
    robot.Send("clean_robot_station/L1/checkStation", "{}");
    return owner->let_go.load();
  }));
  // The client is gone: its broker session ends with it.
  EXPECT_TRUE(station_test::WaitUntil([&] {
    return broker.Log().find("Client Station_L1 disconnected") != std::string::npos;
  })) << broker.Log();
}

// Connection events outlive a full event queue: a handler stuck behind a flood, then a broker
// restart. The station must hear of the new connection and subscribe again; the broker's
// name is looked up before the first connect only, never on the library's thread.
TEST(MqttRelayTest, ConnectionEventsAreNeverDroppedFromAFullQueue) {
  {
    std::lock_guard<std::mutex> lock(g_resolve_mutex);
    g_resolvers.clear();  // earlier tests of this binary resolve it too
  }
  station_test::MosquittoBroker broker;
  ASSERT_TRUE(broker.Start());
  MqttSettings settings = Settings("Q1", "localhost:" + std::to_string(broker.port()));
  settings.event_queue_limit = 4;
  auto client = std::make_shared<MqttClient>(settings);
  // Holds the first request's delivery until opened; forwards everything else.
  struct Gate : mqtt::callback {
    std::shared_ptr<mqtt::callback> inner;
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
    std::atomic<bool> held{false};
    void connected(const std::string& cause) override { inner->connected(cause); }
    void connection_lost(const std::string& cause) override { inner->connection_lost(cause); }
    void message_arrived(mqtt::const_message_ptr msg) override {
      std::unique_lock<std::mutex> lock(mutex);
      held = true;
      opened.wait(lock, [this] { return open; });
      lock.unlock();
      inner->message_arrived(msg);
    }
  };
  auto gate = std::make_shared<Gate>();
  gate->inner = std::make_shared<mqtt_callback::MqttCallback>(nullptr, client);
  ASSERT_TRUE(client->Init(gate));
  const std::string topic = "clean_robot_station/Q1/checkStation";
  {
    station_test::MqttPeer robot(broker.address(), "burst-robot");
    ASSERT_TRUE(robot.Connect() && robot.Subscribe(topic + "Re"));
    ASSERT_TRUE(station_test::WaitUntil([&] { return robot.Send(topic, "{}") && gate->held; }));
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(robot.Send(topic, "{}"));
    ASSERT_TRUE(station_test::WaitUntil([&] { return client->stats().events_dropped > 0; }));
  }
  broker.Stop();
  ASSERT_TRUE(broker.Start());
  ASSERT_TRUE(station_test::WaitUntil([&] { return client->IsConnected(); }, std::chrono::seconds(60)));
  {
    std::lock_guard<std::mutex> lock(gate->mutex);
    gate->open = true;
  }
  gate->opened.notify_all();
  station_test::MqttPeer robot(broker.address(), "robot");
  ASSERT_TRUE(robot.Connect() && robot.Subscribe(topic + "Re"));
  EXPECT_TRUE(robot.AskUntilAnswered(topic, "{}")) << "the station did not subscribe again after the restart";
  std::lock_guard<std::mutex> lock(g_resolve_mutex);
  EXPECT_EQ(g_resolvers, std::vector<std::thread::id>{std::this_thread::get_id()});
}

}  // namespace
}  // namespace station_center
