#pragma once

#include <google/protobuf/message.h>
#include <mqtt/async_client.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mqtt/broker_tls.h"
#include "mqtt/reply_publisher.h"
#include "report_publisher.h"

namespace station_center {

// Replaces the first "%s" of `format` by `station_id`; a format without "%s" is the topic
// itself; an empty format or station id gives "".
std::string FormatTopic(const std::string& format, const std::string& station_id);

// "host" or "host:port" (or a full "tcp://host:port") as the library's server URI;
// "ssl://host[:port]" or "mqtts://host[:port]" as "ssl://host:port".
std::string BrokerUri(const std::string& address);

// Host and port (default 1883, 8883 with TLS) of a broker address as written in the status file.
void SplitBrokerAddress(const std::string& address, std::string* host, uint16_t* port);

// A reply as it goes on the wire: compact JSON, camelCase names, enumerations as
// numbers, every field; empty when the message cannot be printed.
std::string ReplyJson(const google::protobuf::Message& reply);

// What a broker connection is made of: the station's identity, the broker and the
// cloud's reply topic ("%s" stands for the station id).
struct MqttSettings {
  std::string station_id;
  std::string server_address;  // "host[:port]", or "ssl://host[:port]" for TLS
  BrokerTls tls;               // used when server_address asks for TLS
  std::string user_name;
  std::string password;
  int32_t connect_wait_seconds = 0;  // how long Init waits for the broker
  std::string cloud_reply_topic_format;
  // Messages the library may hold unsent; a publish beyond waits for room (bounded).
  int32_t send_buffer = 256;
  // Received messages waiting for the handler; more are dropped (connection events never are).
  size_t event_queue_limit = 10000;
};

// What the client went through since it was made.
struct MqttClientStats {
  int64_t send_waits = 0;      // publishes that found the send buffer full and waited for room
  int64_t send_refused = 0;    // publishes the library refused in the end (logged, dropped)
  int64_t events_dropped = 0;  // received messages the relay had no room for (counted, logged per burst)
};

// The settings of the configuration read (g_config).
MqttSettings MqttSettingsFromConfig();

class MqttClient;

// The broker connection as the station core's report publisher. `client` is asked
// for the connection at each use, so the daemon may build it once the configuration
// is read. Thread-safe.
std::shared_ptr<ReportPublisher> MqttReportPublisher(std::function<std::shared_ptr<MqttClient>()> client);

// One broker connection of the station (the daemon has one, built in main).
// Publish, PublishReply, GetTopicName and stats are thread-safe; Init is called by
// one start-up thread at a time. A publish made while the library's send buffer is full
// waits for room (up to a few seconds), except on the library's own callback thread.
class MqttClient : public ReplyPublisher {
 public:
  explicit MqttClient(MqttSettings settings);
  ~MqttClient() override;
  MqttClient(const MqttClient&) = delete;
  MqttClient& operator=(const MqttClient&) = delete;

  // Connects (unless already connected), subscribes and registers `callback`; the
  // topics are subscribed again after each reconnection. True when connected on return.
  bool Init(std::shared_ptr<mqtt::callback> callback);
  void SubscribeTopics();
  // True when the message was handed to the connection (not when the broker has it).
  bool Publish(const std::string& topic, const std::string& payload, int qos);
  void PublishReply(const google::protobuf::Message& reply) override;
  std::string GetTopicName(const google::protobuf::Message& reply) const;
  bool IsConnected() const;
  // A TLS broker whose certificate and host name are not checked (mqtt_tls_verify false).
  bool BrokerUnverified() const { return broker_tls_ && !settings_.tls.verify; }
  MqttClientStats stats() const;

  const std::string& station_id() const { return settings_.station_id; }
  const std::string& client_id() const { return client_id_; }

 private:
  // Registered with the library once, before any connection, and forwarding to the
  // callback given to Init: Paho's set_callback on a live connection can deadlock
  // against its own token completions. Events are handed to a thread of our own:
  // the library delivers them holding its internal lock, and a handler that waits
  // for the station core while a core thread publishes (which takes that same lock)
  // would freeze both for good.
  class Relay : public mqtt::callback {
   public:
    explicit Relay(MqttClient* owner);
    ~Relay() override;
    void Target(std::shared_ptr<mqtt::callback> target);
    // Ends the dispatch thread after the event in progress; queued events are dropped.
    void Stop();
    void connected(const std::string& cause) override;
    void connection_lost(const std::string& cause) override;
    void message_arrived(mqtt::const_message_ptr msg) override;
    void delivery_complete(mqtt::delivery_token_ptr token) override;

   private:
    struct Event {
      std::function<void(mqtt::callback&)> deliver;
      size_t bytes = 0;  // payload held by the event
    };
    void Post(std::function<void(mqtt::callback&)> event, size_t bytes = 0, bool droppable = true);
    void Dispatch();
    MqttClient* owner_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Event> events_;
    size_t queued_bytes_ = 0;
    uint64_t burst_dropped_ = 0;  // messages dropped since the queue was last full
    bool stopping_ = false;
    std::shared_ptr<mqtt::callback> target_;
    std::thread thread_;
  };

  void Configure();
  void Shutdown();
  // Reconnection after a loss: tries after 1 s, then doubles the wait up to 10 s,
  // and starts at 1 s again after each loss. Ours rather than the library's, whose
  // retries fall on its own once-a-second tick with jitter, so a broker that is
  // back may wait seconds more. Runs on reconnector_.
  void ReconnectLoop();
  // Connection lost: the reconnect loop starts its schedule. Any thread.
  void ReconnectSoon();
  // One connect with the options Init used, on a fresh library handle (nothing a failed
  // attempt left in the library carries over); true when connected. Serialized by connect_mutex_.
  bool ConnectOnce();
  // A library handle with the station's options and the relay as its callback; null on failure.
  std::shared_ptr<mqtt::async_client> MakeClient();
  // Replaces the handle by a fresh one (the old one is not connected). Holds connect_mutex_.
  void RenewClient();
  // The current handle (null while being replaced); any thread.
  std::shared_ptr<mqtt::async_client> Client() const;
  // Publishes "online" (retained) once the last subscriptions are acknowledged.
  void AnnounceOnline();
  // A TLS connect failed: one error line with the reason, when it is the TLS session's.
  void ReportTlsFailure(std::chrono::milliseconds wait);
  // Resolves the broker's host once (again only while it did not resolve); our connecting threads.
  void ResolveBroker();
  void TuneBrokerSocket();
  // Hands `msg` to the library. While its send buffer is full, waits for room until a
  // deadline (not on the library's callback thread). False with the library's reason.
  bool Send(const mqtt::message_ptr& msg, std::string* error);
  // A delivery completed or the connection changed: publishers waiting for room try again.
  void RoomMayHaveChanged();
  void CountDroppedEvent();

  const MqttSettings settings_;
  std::string client_id_;
  std::string broker_host_;
  uint16_t broker_port_ = 1883;
  bool broker_tls_ = false;
  // The broker's addresses, resolved before connecting: never on the library's thread.
  std::mutex addresses_mutex_;  // guards broker_addresses_
  std::vector<sockaddr_storage> broker_addresses_;
  std::shared_ptr<Relay> relay_;
  std::string availability_topic_;
  std::mutex connect_mutex_;         // one connect (and handle renewal) at a time
  mutable std::mutex client_mutex_;  // guards client_
  std::shared_ptr<mqtt::async_client> client_;
  std::mutex subscribed_mutex_;              // guards subscribed_
  std::vector<mqtt::token_ptr> subscribed_;  // subscriptions not yet seen acknowledged
  std::shared_ptr<mqtt::callback> callback_;
  std::map<std::string, std::string> topic_names_;
  mutable std::mutex room_mutex_;  // guards room_changes_ and stats_
  std::condition_variable room_;
  uint64_t room_changes_ = 0;  // counts RoomMayHaveChanged calls
  MqttClientStats stats_;

  std::mutex reconnect_mutex_;  // guards the three below and connect_options_
  std::condition_variable reconnect_wake_;
  bool reconnect_due_ = false;
  bool reconnect_stop_ = false;
  mqtt::connect_options connect_options_;
  std::thread reconnector_;
};

}  // namespace station_center
