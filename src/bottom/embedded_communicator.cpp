#include "bottom/embedded_communicator.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bottom/tcp_client.h"
#include "clock.h"
#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

namespace {

constexpr auto kRetryPause = std::chrono::seconds(1);

}  // namespace

EmbeddedCommunicator::~EmbeddedCommunicator() {
  if (data_upload_server_) {
    data_upload_server_->Stop();
  }
}

bool EmbeddedCommunicator::Init(SensorCallback callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (data_upload_server_) {
    data_upload_server_->Stop();  // a second Init replaces the first server
  }
  client_ = std::make_shared<TcpClient>(g_config.embedded_ip, g_config.embedded_action_port);
  data_upload_server_ =
      std::make_shared<DataUploadServer>(g_config.soc_ip, g_config.soc_data_server_port, std::move(callback));
  if (g_config.sensor_peer_check) {
    data_upload_server_->AllowOnlyPeer(g_config.embedded_ip);
  }
  const int64_t start = NowSeconds();
  while (!client_->Init()) {
    std::this_thread::sleep_for(kRetryPause);
    if (NowSeconds() - start > g_config.connect_embedded_board_time) {
      LOG_ERROR("ErrorCode: {}, Init tcp connect to embedded error, please check ETH and embedded board",
                kErrInitConnect);
      return false;
    }
  }
  SyncReader(*client_);
  std::this_thread::sleep_for(kRetryPause);
  data_upload_server_->Init();
  return true;
}

EmbeddedCommunicator::Turn::Turn(EmbeddedCommunicator& link, bool urgent) : link_(link) {
  std::unique_lock<std::mutex> lock(link_.turn_mutex_);
  link_.urgent_waiting_ += urgent ? 1 : 0;
  link_.turn_free_.wait(lock, [&] { return !link_.turn_taken_ && (urgent || link_.urgent_waiting_ == 0); });
  link_.urgent_waiting_ -= urgent ? 1 : 0;
  link_.turn_taken_ = true;
}

EmbeddedCommunicator::Turn::~Turn() {
  {
    std::lock_guard<std::mutex> lock(link_.turn_mutex_);
    link_.turn_taken_ = false;
  }
  link_.turn_free_.notify_all();
}

bool EmbeddedCommunicator::DoAction(const station::ActionCommand& cmd, bool urgent, const StillWanted& still_wanted) {
  const Turn turn(*this, urgent);
  std::lock_guard<std::mutex> lock(mutex_);
  if (still_wanted && !still_wanted()) {
    LOG_INFO("DoAction : {}, withdrawn before it was sent", cmd.ShortDebugString());
    return false;
  }
  const int32_t request_id = NextRequestId();
  LOG_INFO("DoAction : {}, request id : {}", cmd.ShortDebugString(), request_id);
  station::SupplyMaterialReq req;
  req.set_seq_(request_id);
  *req.mutable_cmd_() = cmd;
  station::SupplyMaterialRsp rsp;
  return BottomReqNeedResp(client_, req, rsp, g_config.bottom_action_timeout);
}

bool EmbeddedCommunicator::ChangeLed(station::EnumLedCmd led_cmd, bool* answered) {
  const Turn turn(*this, false);
  std::lock_guard<std::mutex> lock(mutex_);
  const int32_t request_id = NextRequestId();
  LOG_INFO("ChangeLed, led cmd : {}, request id : {}", static_cast<int>(led_cmd), request_id);
  station::SupplyMaterialReq req;
  req.set_seq_(request_id);
  req.mutable_change_led_()->set_led_cmd_(led_cmd);
  station::SupplyMaterialRsp rsp;
  return BottomReqNeedResp(client_, req, rsp, g_config.bottom_action_timeout, answered);
}

bool EmbeddedCommunicator::BottomReqNeedResp(const std::shared_ptr<TcpClient>& client,
                                             const station::SupplyMaterialReq& req, station::SupplyMaterialRsp& rsp,
                                             int timeout, bool* answered_out) {
  if (answered_out) {
    *answered_out = false;
  }
  const int32_t request_id = req.seq_();
  LOG_INFO("EmbeddedCommunicator::BottomReqNeedResp request id :{}", request_id);
  if (!client) {
    LOG_ERROR("ErrorCode: {}, SendCleaningComponentRequest failed, request id : {}", kErrExchange, request_id);
    return false;
  }
  std::string frame;
  if (!EncodeFrame(req, &frame)) {
    LOG_ERROR("ErrorCode: {}, req serialize failed request id : {}", kErrSerialize, request_id);
    return false;
  }
  SyncReader(*client);

  Exchange exchange;
  exchange.request_id = request_id;
  exchange.deadline = NowMillis() + static_cast<int64_t>(timeout) * 1000;
  bool sent = false;
  bool answered = false;
  bool done = false;
  while (!done && !exchange.connection_lost && NowMillis() < exchange.deadline) {
    if (!sent) {
      if (!SendRequest(*client, frame, request_id)) {
        continue;
      }
      // Sent once; from here on only the reply is awaited, never a resend.
      sent = true;
      exchange.sent_sock = client->sock_;
    }
    FrameReader::Result result;
    if (ReceiveReply(*client, exchange, &result)) {
      done = CheckConfirmation(*client, exchange, result, rsp, &answered);
    }
  }

  LOG_INFO("resp.err_code = {}, resp.error_msg = [{}] req_over_flag = {}, request id : {}",
           static_cast<int>(rsp.err_code_()), rsp.err_msg_(), answered, request_id);
  if (answered_out) {
    *answered_out = answered;
  }
  const bool ok = answered && rsp.err_code_() == station::ENUM_SUCCESS;
  if (!ok) {
    LOG_ERROR("ErrorCode: {}, SendCleaningComponentRequest failed, request id : {}", kErrExchange, request_id);
  }
  return ok;
}

bool EmbeddedCommunicator::SendRequest(TcpClient& client, const std::string& frame, int32_t request_id) {
  if (!client.connectIsAlive(client.sock_) && !Reconnect(client)) {
    LOG_ERROR("BottomReqNeedResp exchange failed, exchange:{}, request id : {}", false, request_id);
    std::this_thread::sleep_for(kRetryPause);
    return false;
  }
  if (!client.SendData(client.sock_, frame.data(), static_cast<int>(frame.size()))) {
    CloseClient(client);
    LOG_ERROR("BottomReqNeedResp exchange failed, exchange:{}, request id : {}", false, request_id);
    std::this_thread::sleep_for(kRetryPause);
    return false;
  }
  return true;
}

bool EmbeddedCommunicator::ReceiveReply(TcpClient& client, Exchange& exchange, FrameReader::Result* result) {
  // Replies already buffered from an earlier read come before a new read.
  *result = reply_reader_.Next(&exchange.payload);
  if (*result != FrameReader::Result::kNeedMore) {
    return true;
  }
  // The reply comes on the connection the request went out on, or not at all:
  // once that one is gone the exchange is over, and the next command reconnects.
  // A reply already received is read before a hang-up after it is seen.
  if (client.sock_ < 0 || client.sock_ != exchange.sent_sock) {
    LOG_ERROR("SendCleaningComponentRequest response failed, connection lost, request id : {}", exchange.request_id);
    exchange.connection_lost = true;
    return false;
  }
  // Wait no longer than the command has left: the socket's own receive
  // time-out is longer and would stretch a shorter limit.
  const int64_t left = exchange.deadline - NowMillis();
  pollfd pfd{client.sock_, POLLIN, 0};
  const int ready = left > 0 ? ::poll(&pfd, 1, static_cast<int>(left)) : 0;
  if (ready == 0 || (ready < 0 && errno == EINTR)) {
    return false;  // the exchange ends once the limit has passed
  }
  exchange.buffer.assign(ReadBufferSize(g_config.do_action_cache_size), 0);
  const int n = client.RecvData(client.sock_, exchange.buffer.data(), static_cast<int>(exchange.buffer.size()));
  if (n <= 0) {
    CloseClient(client);
    LOG_ERROR("SendCleaningComponentRequest response failed, rcvlen : {}, request id : {}", n, exchange.request_id);
    exchange.connection_lost = true;
    return false;
  }
  reply_reader_.Append(exchange.buffer.data(), static_cast<size_t>(n));
  *result = reply_reader_.Next(&exchange.payload);
  return true;
}

bool EmbeddedCommunicator::CheckConfirmation(TcpClient& client, Exchange& exchange, FrameReader::Result result,
                                             station::SupplyMaterialRsp& rsp, bool* answered) {
  const int32_t request_id = exchange.request_id;
  for (;;) {
    if (result == FrameReader::Result::kNeedMore) {
      return false;  // the rest of a split reply comes with a later read
    }
    if (result == FrameReader::Result::kOversized) {
      // The stream is out of step; the next command starts on a fresh connection.
      LOG_ERROR("Deserialize response from SendCleaningComponentRequest failed, request_id : {}", request_id);
      CloseClient(client);
      return true;
    }
    if (!DecodeBoardReply(exchange.payload, &rsp)) {
      LOG_ERROR("Deserialize response from SendCleaningComponentRequest failed, request_id : {}", request_id);
      return true;
    }
    if (rsp.seq_() == request_id) {
      break;
    }
    LOG_INFO("Recv data not this request, rcv request id : {}, current request id : {}", rsp.seq_(), request_id);
    result = reply_reader_.Next(&exchange.payload);
  }
  *answered = true;
  if (rsp.err_code_() != station::ENUM_SUCCESS) {
    LOG_ERROR("SendCleaningComponentRequest processing failed right now, request id : {}", request_id);
  }
  return true;
}

uint16_t EmbeddedCommunicator::SensorServerPort() const {
  return data_upload_server_ ? data_upload_server_->BoundPort() : 0;
}

int32_t EmbeddedCommunicator::NextRequestId() {
  // Never repeated, also across clock steps: a late reply must not pass as ours.
  last_request_id_ = NextCommandId(last_request_id_, WallSeconds());
  return last_request_id_;
}

void EmbeddedCommunicator::CloseClient(TcpClient& client) {
  if (client.sock_ >= 0) {
    ::close(client.sock_);
  }
  client.sock_ = -1;
  SyncReader(client);
  reply_reader_.Clear();
}

bool EmbeddedCommunicator::Reconnect(TcpClient& client) {
  CloseClient(client);
  const bool ok = client.Init();
  SyncReader(client);
  reply_reader_.Clear();
  if (ok) {
    reconnects_.fetch_add(1);
  }
  return ok;
}

bool EmbeddedCommunicator::ProbeCommandLink() {
  // A command under way notices a dead connection itself. Only a connection
  // that was up and died is re-made here: a board that cannot be reached is
  // left to the next command, so it is not tried (and logged) every second.
  std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock() || !client_ || client_->sock_ < 0 || client_->connectIsAlive(client_->sock_)) {
    return true;
  }
  return Reconnect(*client_);
}

void EmbeddedCommunicator::SyncReader(const TcpClient& client) {
  if (reader_client_ == &client && reader_sock_ == client.sock_) {
    return;
  }
  reply_reader_ = FrameReader(g_config.do_action_cache_size);
  reader_client_ = &client;
  reader_sock_ = client.sock_;
}

}  // namespace station_center
