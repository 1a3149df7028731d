#include "mqtt/mqtt_client.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <mutex>
#include <vector>

#include "config.h"
#include "error_codes.h"
#include "logger.h"
#include "mqtt/nodelay.h"
#include "mqtt/wire_json.h"

namespace station_center {

namespace {

constexpr int kQos = 1;
// A failed TLS connect is diagnosed by a handshake of our own, bounded by this.
constexpr auto kTlsDiagnosisWait = std::chrono::seconds(5);
constexpr int kKeepAliveSeconds = 20;
// The first retry after a loss comes after a second and the wait doubles up to
// 10 s, so a restarted broker has the station back within moments.
constexpr int kReconnectMinSeconds = 1;
constexpr int kReconnectMaxSeconds = 10;
// How long the connected handler waits for the broker to acknowledge the subscriptions
// before it announces the station online.
constexpr auto kSubscribeWait = std::chrono::seconds(5);
constexpr char kOnline[] = "online";
constexpr char kOffline[] = "offline";
// A publish waits this long at most for room in a full send buffer: a burst costs latency,
// a stalled connection costs the message (the keep-alive then notices the stall).
constexpr auto kRoomWait = std::chrono::seconds(5);
// Room appears when the library writes a queued message, which it does not announce:
// between delivery completions a waiting publisher looks again this often.
constexpr auto kRoomPoll = std::chrono::milliseconds(2);
// A station that stopped handling requests must not also exhaust memory.
constexpr size_t kMaxQueuedBytes = 32u << 20;

// Set while the library runs one of our callbacks: waiting there would stall its
// deliveries, the very thing a waiting publisher waits for.
thread_local bool t_library_thread = false;
// Set on a relay's dispatch thread when a handler let go of the last reference to the
// client and the relay was destroyed under it: the loop must not touch it again.
thread_local bool t_relay_destroyed = false;

class LibraryThread {
 public:
  LibraryThread() { t_library_thread = true; }
  ~LibraryThread() { t_library_thread = false; }
  LibraryThread(const LibraryThread&) = delete;
  LibraryThread& operator=(const LibraryThread&) = delete;
};

constexpr char kStationTopicPrefix[] = "clean_robot_station/%s/";

const char* const kRequestSegments[] = {
#define REQUEST_TOPIC(segment, reply_segment, Req, Rsp, handler) segment,
#define STATION_TOPIC(segment, reply_segment) segment,
#include "mqtt/request_topics.def"
};

class ClientPublisher : public ReportPublisher {
 public:
  explicit ClientPublisher(std::function<std::shared_ptr<MqttClient>()> client) : client_(std::move(client)) {}
  bool IsConnected() const override { return client_()->IsConnected(); }
  bool Publish(const std::string& topic, const std::string& payload) override {
    return client_()->Publish(topic, payload, kQos);
  }

 private:
  const std::function<std::shared_ptr<MqttClient>()> client_;
};

}  // namespace

std::shared_ptr<ReportPublisher> MqttReportPublisher(std::function<std::shared_ptr<MqttClient>()> client) {
  return std::make_shared<ClientPublisher>(std::move(client));
}

MqttSettings MqttSettingsFromConfig() {
  MqttSettings settings;
  settings.station_id = g_config.station_id;
  settings.server_address = g_config.mqtt_server_address;
  settings.user_name = g_config.mqtt_user_name;
  settings.password = g_config.mqtt_pwd;
  settings.connect_wait_seconds = g_config.mqtt_keep_alive_interval;
  if (!ParseMqttProtocol(g_config.mqtt_protocol_version, &settings.protocol)) {
    LOG_ERROR("mqtt_protocol_version \"{}\" is neither \"5\" nor \"3.1.1\": MQTT 5 is spoken",
              g_config.mqtt_protocol_version);
  }
  settings.cloud_reply_topic_format = g_config.cloud_reply_topic_format;
  settings.tls.ca_file = g_config.mqtt_tls_ca_file;
  settings.tls.cert_file = g_config.mqtt_tls_cert_file;
  settings.tls.key_file = g_config.mqtt_tls_key_file;
  settings.tls.verify = g_config.mqtt_tls_verify;
  return settings;
}

std::string FormatTopic(const std::string& format, const std::string& station_id) {
  if (format.empty() || station_id.empty()) {
    return "";
  }
  std::string topic = format;
  const size_t pos = topic.find("%s");
  if (pos != std::string::npos) {
    topic.replace(pos, 2, station_id);
  }
  return topic;
}

void SplitBrokerAddress(const std::string& address, std::string* host, uint16_t* port) {
  const BrokerAddress parsed = ParseBrokerAddress(address);
  *host = parsed.host;
  *port = parsed.port;
}

std::string BrokerUri(const std::string& address) {
  const BrokerAddress parsed = ParseBrokerAddress(address);
  return (parsed.tls ? "ssl://" : "tcp://") + parsed.host + ":" + std::to_string(parsed.port);
}

MqttClient::MqttClient(MqttSettings settings) : settings_(std::move(settings)) { Configure(); }

MqttClient::~MqttClient() { Shutdown(); }

void MqttClient::Configure() {
  const std::string& station_id = settings_.station_id;
  client_id_ = "Station_" + station_id;
#define REQUEST_TOPIC(segment, reply_segment, Req, Rsp, handler) \
  topic_names_[#Rsp] = FormatTopic(std::string(kStationTopicPrefix) + reply_segment, station_id);
#include "mqtt/request_topics.def"
  availability_topic_ = FormatTopic("clean_robot_station/%s/availability", station_id);
  const BrokerAddress broker = ParseBrokerAddress(settings_.server_address);
  broker_host_ = broker.host;
  broker_port_ = broker.port;
  broker_tls_ = broker.tls;
  if (!broker.error.empty()) {
    LOG_ERROR("broker address {}: {}; not connecting", settings_.server_address, broker.error);
    return;
  }
  const BrokerTls& tls = settings_.tls;
  if (!broker_tls_ && !(tls.ca_file.empty() && tls.cert_file.empty() && tls.key_file.empty())) {
    // Files given for TLS suggest the address lost its scheme: say so rather than leave it unnoticed.
    LOG_WARN("broker address {} is plain TCP: mqtt_tls_* files ignored, the connection is not encrypted",
             settings_.server_address);
  }
  try {
    relay_ = std::make_shared<Relay>(this);
  } catch (const std::exception& e) {
    LOG_ERROR("create mqtt client failed: {}", e.what());
    return;
  }
  std::lock_guard<std::mutex> lock(client_mutex_);
  client_ = MakeClient();
}

std::shared_ptr<mqtt::async_client> MqttClient::MakeClient() {
  try {
    mqtt::create_options options(LibraryMqttVersion(settings_.protocol));
    options.set_max_buffered_messages(std::max<int32_t>(settings_.send_buffer, 1));
    auto client =
        std::make_shared<mqtt::async_client>(BrokerUri(settings_.server_address), client_id_, options, nullptr);
    client->set_callback(*relay_);
    return client;
  } catch (const std::exception& e) {
    LOG_ERROR("create mqtt client failed: {}", e.what());
    return nullptr;
  }
}

std::shared_ptr<mqtt::async_client> MqttClient::Client() const {
  std::lock_guard<std::mutex> lock(client_mutex_);
  return client_;
}

// The library sends CONNECT on a reused handle only at its network thread's next
// once-a-second tick, which cost every reconnection up to a second. A fresh handle
// restarts those threads (this is the process's only one) and connects at once.
void MqttClient::RenewClient() {
  std::shared_ptr<mqtt::async_client> old;
  {
    std::lock_guard<std::mutex> lock(client_mutex_);
    old.swap(client_);
  }
  if (old) {
    try {
      old->disable_callbacks();
    } catch (const std::exception& e) {
      LOG_DEBUG("disable callbacks: {}", e.what());
    }
    old.reset();  // destroyed here unless a publisher still holds it
  }
  std::shared_ptr<mqtt::async_client> fresh = MakeClient();
  std::lock_guard<std::mutex> lock(client_mutex_);
  client_ = std::move(fresh);
}

void MqttClient::Shutdown() {
  {
    std::lock_guard<std::mutex> lock(reconnect_mutex_);
    reconnect_stop_ = true;
  }
  reconnect_wake_.notify_all();
  if (reconnector_.joinable()) {
    reconnector_.join();
  }
  std::shared_ptr<mqtt::async_client> client;
  {
    std::lock_guard<std::mutex> lock(client_mutex_);
    client.swap(client_);
  }
  if (!client) {
    return;
  }
  try {
    client->disable_callbacks();
    relay_->Stop();
    if (client->is_connected()) {
      // A clean disconnect does not fire the will: say it ourselves.
      client->publish(mqtt::make_message(availability_topic_, kOffline, kQos, true))->wait_for(std::chrono::seconds(2));
      client->disconnect()->wait_for(std::chrono::seconds(2));
    }
  } catch (const std::exception& e) {
    LOG_WARN("mqtt disconnect failed: {}", e.what());
  }
  client.reset();
  relay_.reset();
}

bool MqttClient::IsConnected() const {
  try {
    const std::shared_ptr<mqtt::async_client> client = Client();
    return client && client->is_connected();
  } catch (const std::exception&) {
    return false;
  }
}

// Paho never disables Nagle on its socket: a QoS-1 reply sent right after the library's
// PUBACK would otherwise wait for the broker's delayed ACK (tens of milliseconds).
void MqttClient::ResolveBroker() {
  std::lock_guard<std::mutex> lock(addresses_mutex_);
  if (broker_addresses_.empty()) {
    broker_addresses_ = ResolveHost(broker_host_);
    if (broker_addresses_.empty()) {
      LOG_WARN("broker host {} does not resolve yet: Nagle stays on for its connection", broker_host_);
    }
  }
}

void MqttClient::TuneBrokerSocket() {
  std::vector<sockaddr_storage> addresses;
  {
    std::lock_guard<std::mutex> lock(addresses_mutex_);
    addresses = broker_addresses_;
  }
  const int changed = SetNoDelayTowardsPeer(addresses, broker_port_);
  LOG_DEBUG("TCP_NODELAY set on {} broker socket(s)", changed);
}

MqttClient::Relay::Relay(MqttClient* owner) : owner_(owner), thread_([this]() { Dispatch(); }) {}

MqttClient::Relay::~Relay() {
  Stop();
  if (thread_.joinable()) {  // on its own thread: the loop ends once the handler returns
    t_relay_destroyed = true;
    thread_.detach();
  }
}

void MqttClient::Relay::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    events_.clear();
  }
  wake_.notify_all();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
    thread_.join();
  }
}

void MqttClient::Relay::Target(std::shared_ptr<mqtt::callback> target) {
  std::lock_guard<std::mutex> lock(mutex_);
  target_ = std::move(target);
}

void MqttClient::Relay::Post(std::function<void(mqtt::callback&)> event, size_t bytes, bool droppable) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      return;
    }
    // Connection events are never dropped: a lost one leaves the robot's state
    // unreset or the topics unsubscribed. They come at most one per reconnect.
    if (droppable &&
        (events_.size() >= owner_->settings_.event_queue_limit || queued_bytes_ + bytes > kMaxQueuedBytes)) {
      if (burst_dropped_++ == 0) {
        LOG_ERROR("ErrorCode: {}, mqtt event queue full: messages dropped until it drains", kErrMqttEventsDropped);
      }
      owner_->CountDroppedEvent();
      return;
    }
    if (burst_dropped_ > 0) {
      LOG_WARN("ErrorCode: {}, mqtt event queue drains again: {} messages were dropped", kErrMqttEventsDropped,
               burst_dropped_);
      burst_dropped_ = 0;
    }
    events_.push_back(Event{std::move(event), bytes});
    queued_bytes_ += bytes;
  }
  wake_.notify_one();
}

void MqttClient::Relay::Dispatch() {
  for (;;) {
    std::function<void(mqtt::callback&)> event;
    std::shared_ptr<mqtt::callback> target;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this]() { return stopping_ || !events_.empty(); });
      if (stopping_) {
        return;
      }
      event = std::move(events_.front().deliver);
      queued_bytes_ -= events_.front().bytes;
      events_.pop_front();
      target = target_;
    }
    if (target) {
      try {
        event(*target);
      } catch (const std::exception& e) {
        LOG_ERROR("mqtt event handler failed: {}", e.what());
      } catch (...) {
        LOG_ERROR("mqtt event handler failed");
      }
    }
    // Letting go of these may end the client, and this relay with it, right here.
    event = nullptr;
    target.reset();
    if (t_relay_destroyed) {
      return;
    }
  }
}

void MqttClient::Relay::connected(const std::string& cause) {
  LibraryThread on_library_thread;
  owner_->CountConnect();
  owner_->RoomMayHaveChanged();
  // Every (re)connection opens a new socket: tune it before anything is sent on it.
  owner_->TuneBrokerSocket();
  // A clean session forgets the subscriptions: once a callback is registered, they
  // are made again after it has heard of the connection.
  Post(
      [this, cause](mqtt::callback& target) {
        target.connected(cause);
        owner_->SubscribeTopics();
        owner_->AnnounceOnline();
      },
      0, false);
}

void MqttClient::Relay::connection_lost(const std::string& cause) {
  LibraryThread on_library_thread;
  owner_->RoomMayHaveChanged();  // waiting publishers fail at once rather than at their deadline
  owner_->ReconnectSoon();
  Post([cause](mqtt::callback& target) { target.connection_lost(cause); }, 0, false);
}

void MqttClient::Relay::message_arrived(mqtt::const_message_ptr msg) {
  LibraryThread on_library_thread;
  if (!msg) {
    return;
  }
  // The dispatch thread gets a copy counted by our code alone. The library drops its own
  // reference on this thread when the callback returns, in code the thread sanitizer does
  // not see, so a last free there looked like a race with the handler's reads.
  const std::string& payload = msg->get_payload_str();
  mqtt::const_message_ptr copy =
      mqtt::make_message(msg->get_topic(), payload.data(), payload.size(), msg->get_qos(), msg->is_retained());
  Post([copy = std::move(copy)](mqtt::callback& target) { target.message_arrived(copy); }, payload.size());
}

void MqttClient::Relay::delivery_complete(mqtt::delivery_token_ptr token) {
  // The library also reports each publish it refused, with message id 0: that is no
  // delivery, and a publisher waiting for room would answer it with another refused try.
  if (!token || token->get_message_id() == 0) {
    return;
  }
  LibraryThread on_library_thread;
  owner_->RoomMayHaveChanged();
  Post([token](mqtt::callback& target) { target.delivery_complete(token); });
}

bool MqttClient::Init(std::shared_ptr<mqtt::callback> callback) {
  const std::shared_ptr<mqtt::async_client> client = Client();
  if (!client) {
    LOG_ERROR("ErrorCode: {}, Connect broker failed", kErrBrokerConnect);
    return false;
  }
  try {
    if (!client->is_connected()) {
      LOG_INFO("try connect to broker (MQTT {})", MqttProtocolName(settings_.protocol));
      // MQTT 3.1.1 has no clean start, only a clean session: the same fresh start here,
      // as the station never asks the session to outlive the connection.
      const bool v5 = settings_.protocol == MqttProtocol::kV5;
      mqtt::connect_options options = mqtt::connect_options_builder()
                                          .mqtt_version(LibraryMqttVersion(settings_.protocol))
                                          .clean_start(v5)
                                          .clean_session(!v5)
                                          .keep_alive_interval(std::chrono::seconds(kKeepAliveSeconds))
                                          .user_name(settings_.user_name)
                                          .password(settings_.password)
                                          .will(mqtt::message(availability_topic_, kOffline, kQos, true))
                                          .finalize();
      if (broker_tls_) {
        options.set_ssl(LibraryTlsOptions(settings_.tls));
      }
      {
        std::lock_guard<std::mutex> lock(reconnect_mutex_);
        connect_options_ = options;
        if (!reconnector_.joinable()) {
          reconnector_ = std::thread([this] { ReconnectLoop(); });
        }
      }
      ConnectFailure failure;
      if (!ConnectOnce(&failure)) {
        LOG_ERROR("ErrorCode: {}, Connect broker failed", kErrBrokerConnect);
        ReportConnectFailure(failure, std::chrono::seconds(settings_.init_retry_seconds));
        return false;
      }
      LOG_INFO("connect to broker success");
    }
    TuneBrokerSocket();
    // In place before subscribing so that no message can arrive without a handler.
    callback_ = callback;
    relay_->Target(std::move(callback));
    SubscribeTopics();
    AnnounceOnline();
    return true;
  } catch (const std::exception& e) {
    LOG_ERROR("ErrorCode: {}, Connect broker failed", kErrBrokerConnect);
    LOG_DEBUG("connect failure: {}", e.what());
    return false;
  }
}

bool MqttClient::ConnectOnce(ConnectFailure* failure) {
  std::lock_guard<std::mutex> serial(connect_mutex_);
  mqtt::connect_options options;
  {
    std::lock_guard<std::mutex> lock(reconnect_mutex_);
    options = connect_options_;
  }
  ResolveBroker();
  RenewClient();
  const std::shared_ptr<mqtt::async_client> client = Client();
  if (!client) {
    *failure = ConnectFailure{"no library client", false};
    return false;
  }
  if (BrokerUnverified()) {
    LOG_WARN(
        "ErrorCode: {}, connecting to broker {}:{} over TLS WITHOUT checking its certificate or name "
        "(mqtt_tls_verify is false): anyone on the path can pose as the broker",
        kErrTlsUnverified, broker_host_, broker_port_);
  }
  const auto wait = std::chrono::milliseconds(static_cast<int64_t>(settings_.connect_wait_seconds) * 1000);
  bool connected = false;
  *failure = NoAnswer(wait);
  try {
    connected = client->connect(options)->wait_for(wait) && client->is_connected();
  } catch (const mqtt::exception& e) {
    LOG_DEBUG("connect attempt failed: {}", e.what());
    *failure = ConnectFailureOf(e.get_return_code(), e.what());
  } catch (const std::exception& e) {
    LOG_DEBUG("connect attempt failed: {}", e.what());
    *failure = ConnectFailure{e.what(), false};
  }
  if (!connected && broker_tls_) {
    const std::string reason = ReportTlsFailure(wait);
    if (!reason.empty()) {
      *failure = ConnectFailure{"TLS: " + reason, false};
    }
  }
  if (connected) {
    std::lock_guard<std::mutex> lock(problem_mutex_);
    problem_.clear();
  }
  return connected;
}

void MqttClient::ReportConnectFailure(const ConnectFailure& failure, std::chrono::milliseconds next_try) {
  {
    std::lock_guard<std::mutex> lock(problem_mutex_);
    if (problem_ == failure.reason) {
      LOG_DEBUG("broker {}:{} still {}", broker_host_, broker_port_, failure.reason);
      return;
    }
    problem_ = failure.reason;
  }
  LOG_WARN("broker {}:{} {}; next try in {} s", broker_host_, broker_port_, failure.reason,
           std::chrono::duration_cast<std::chrono::seconds>(next_try + std::chrono::milliseconds(500)).count());
}

std::string MqttClient::ConnectProblem() const {
  std::lock_guard<std::mutex> lock(problem_mutex_);
  return problem_;
}

std::string MqttClient::ReportTlsFailure(std::chrono::milliseconds wait) {
  // The library says "TCP/TLS connect failure" whatever went wrong (a host mismatch leaves
  // not even a TLS error): a handshake of our own with the same files and checks names it.
  const std::chrono::milliseconds limit =
      std::clamp<std::chrono::milliseconds>(wait, std::chrono::seconds(1), kTlsDiagnosisWait);
  bool unreachable = false;
  const std::string reason = TlsFailureReason(broker_host_, broker_port_, settings_.tls, limit, &unreachable);
  // A broker away is logged by the retries as with plain MQTT; an empty reason means the
  // TLS session stands and the broker refused at the MQTT level, logged as such.
  if (unreachable || reason.empty()) {
    return "";
  }
  LOG_ERROR("ErrorCode: {}, TLS connection to broker {}:{} failed: {}", kErrBrokerConnect, broker_host_, broker_port_,
            reason);
  return reason;
}

void MqttClient::ReconnectSoon() {
  {
    std::lock_guard<std::mutex> lock(reconnect_mutex_);
    reconnect_due_ = true;
  }
  reconnect_wake_.notify_all();
}

void MqttClient::ReconnectLoop() {
  using Clock = std::chrono::steady_clock;
  std::unique_lock<std::mutex> lock(reconnect_mutex_);
  while (!reconnect_stop_) {
    reconnect_wake_.wait(lock, [this] { return reconnect_due_ || reconnect_stop_; });
    reconnect_due_ = false;
    // Tries fall 1, 3, 7, 15 ... s after the loss, counted from the loss: a try
    // that hung on a broker going down does not push the next one back.
    int wait_seconds = kReconnectMinSeconds;
    Clock::time_point next = Clock::now() + std::chrono::seconds(wait_seconds);
    while (!reconnect_stop_ && !reconnect_due_) {
      if (reconnect_wake_.wait_until(lock, next, [this] { return reconnect_stop_ || reconnect_due_; })) {
        break;
      }
      lock.unlock();
      ConnectFailure failure;
      const bool connected = IsConnected() || ConnectOnce(&failure);
      lock.lock();
      if (connected) {
        break;
      }
      wait_seconds = std::min(wait_seconds * 2, kReconnectMaxSeconds);
      next += std::chrono::seconds(wait_seconds);
      const auto next_try = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now());
      LOG_INFO("broker not reached, next try in {} ms", next_try.count());
      ReportConnectFailure(failure, next_try);
    }
  }
}

void MqttClient::SubscribeTopics() {
  std::vector<std::string> topics;
  for (const char* segment : kRequestSegments) {
    topics.push_back(FormatTopic(std::string(kStationTopicPrefix) + segment, settings_.station_id));
  }
  const std::string& cloud_format = settings_.cloud_reply_topic_format;
  const size_t pos = cloud_format.find("%s");
  if (pos != std::string::npos) {
    std::string cloud_topic = cloud_format;
    cloud_topic.replace(pos, 2, settings_.station_id);
    topics.push_back(cloud_topic);
  }
  const std::shared_ptr<mqtt::async_client> client = Client();
  if (!client) {
    return;
  }
  std::vector<mqtt::token_ptr> pending;
  for (const std::string& topic : topics) {
    try {
      pending.push_back(client->subscribe(topic, kQos));
      LOG_INFO("SubscribeTopics: {}", topic);
    } catch (const std::exception& e) {
      LOG_ERROR("subscribe {} failed: {}", topic, e.what());
    }
  }
  std::lock_guard<std::mutex> lock(subscribed_mutex_);
  subscribed_ = std::move(pending);
}

// "online" once the broker has acknowledged every subscription: a robot that sees it
// can ask and will be heard. Runs on the thread that subscribed, never a library one.
void MqttClient::AnnounceOnline() {
  std::vector<mqtt::token_ptr> pending;
  {
    std::lock_guard<std::mutex> lock(subscribed_mutex_);
    pending.swap(subscribed_);
  }
  if (pending.empty()) {
    return;  // announced already for these subscriptions (start-up and the connected event both call this)
  }
  const std::shared_ptr<mqtt::async_client> client = Client();
  try {
    for (const mqtt::token_ptr& token : pending) {
      if (!token->wait_for(kSubscribeWait)) {
        LOG_WARN("subscriptions not acknowledged: availability not announced");
        return;
      }
    }
    if (client && client->is_connected()) {
      client->publish(mqtt::make_message(availability_topic_, kOnline, kQos, true));
    }
  } catch (const std::exception& e) {
    LOG_WARN("availability not announced: {}", e.what());
  }
}

void MqttClient::CountConnect() {
  std::lock_guard<std::mutex> lock(room_mutex_);
  ++stats_.connects;
}

void MqttClient::CountDroppedEvent() {
  std::lock_guard<std::mutex> lock(room_mutex_);
  ++stats_.events_dropped;
}

void MqttClient::RoomMayHaveChanged() {
  {
    std::lock_guard<std::mutex> lock(room_mutex_);
    ++room_changes_;
  }
  room_.notify_all();
}

MqttClientStats MqttClient::stats() const {
  std::lock_guard<std::mutex> lock(room_mutex_);
  return stats_;
}

bool MqttClient::Send(const mqtt::message_ptr& msg, std::string* error) {
  const auto deadline = std::chrono::steady_clock::now() + kRoomWait;
  bool waited = false;
  for (;;) {
    uint64_t seen = 0;
    {
      std::lock_guard<std::mutex> lock(room_mutex_);
      seen = room_changes_;
    }
    try {
      const std::shared_ptr<mqtt::async_client> client = Client();
      if (!client) {
        *error = "no mqtt client";
        break;
      }
      client->publish(msg);
      return true;
    } catch (const mqtt::exception& e) {
      *error = e.what();
      if (e.get_return_code() != MQTTASYNC_MAX_BUFFERED_MESSAGES || t_library_thread ||
          std::chrono::steady_clock::now() >= deadline) {
        break;
      }
    } catch (const std::exception& e) {
      *error = e.what();
      break;
    }
    std::unique_lock<std::mutex> lock(room_mutex_);
    if (!waited) {
      waited = true;
      ++stats_.send_waits;
    }
    room_.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + kRoomPoll),
                     [&] { return room_changes_ != seen; });
  }
  std::lock_guard<std::mutex> lock(room_mutex_);
  ++stats_.send_refused;
  return false;
}

bool MqttClient::Publish(const std::string& topic, const std::string& payload, int qos) {
  LOG_INFO("mqtt pub, topic name : {}, payload : {}", topic, vantorel::LogExcerpt(payload));
  if (!IsConnected()) {
    LOG_ERROR("mqtt connect check failed");
    return false;
  }
  std::string error;
  if (Send(mqtt::make_message(topic, payload, qos, false), &error)) {
    return true;
  }
  LOG_ERROR("mqtt publish to {} failed: {}", topic, error);
  return false;
}

std::string MqttClient::GetTopicName(const google::protobuf::Message& reply) const {
  std::string name = reply.GetDescriptor()->full_name();
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) {
    name = name.substr(dot + 1);
  }
  const auto it = topic_names_.find(name);
  if (it == topic_names_.end()) {
    LOG_ERROR("ErrorCode: {}, Can not find mqtt topic name, publish may be failed", kErrReplyTopic);
    return "";
  }
  return it->second;
}

std::string ReplyJson(const google::protobuf::Message& reply) {
  std::string json;
  if (!PrintWireJson(reply, ReplyPrintOptions(), &json)) {
    return "";
  }
  return json;
}

void MqttClient::PublishReply(const google::protobuf::Message& reply) {
  const std::string topic = GetTopicName(reply);
  if (topic.empty()) {
    return;
  }
  const std::string json = ReplyJson(reply);
  if (json.empty()) {
    LOG_ERROR("reply {} could not be printed as JSON", reply.GetDescriptor()->full_name());
    return;
  }
  // Sent before it is logged: the log line's write would otherwise delay the robot's answer.
  std::string error;
  const bool sent = Send(mqtt::make_message(topic, json, kQos, false), &error);
  LOG_INFO("mqtt reply, topic name : {}, payload : {}", topic, vantorel::LogExcerpt(json));
  if (!sent) {
    // Disconnected since the request arrived, or no room for the whole wait: the robot asks again.
    LOG_ERROR("reply to {} dropped: {}", topic, error);
  }
}

}  // namespace station_center
