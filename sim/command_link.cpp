#include "sim/command_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <utility>

#include "logger.h"

namespace station_sim {

namespace {

// Longest command the board accepts; anything longer means the stream is out of step.
constexpr size_t kMaxCommandBytes = 4096;

}  // namespace

CommandLink::CommandLink(BoardState& board, std::string ip, uint16_t port)
    : board_(board), ip_(std::move(ip)), requested_port_(port), reader_(kMaxCommandBytes), buf_(4096) {}

bool CommandLink::Open() {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) {
    LOG_ERROR("board_sim: command socket failed: {}", std::strerror(errno));
    return false;
  }
  int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(requested_port_);
  if (::inet_pton(AF_INET, ip_.c_str(), &addr.sin_addr) != 1) {
    LOG_ERROR("board_sim: bad command address {}", ip_);
    CloseFd(&listen_fd_);
    return false;
  }
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(listen_fd_, 4) != 0) {
    LOG_ERROR("board_sim: cannot listen on {}:{}: {}", ip_, requested_port_, std::strerror(errno));
    CloseFd(&listen_fd_);
    return false;
  }
  socklen_t len = sizeof(addr);
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  LOG_INFO("board_sim: command port listening on {}:{}", ip_, port_.load());
  return true;
}

void CommandLink::CloseListener() { CloseFd(&listen_fd_); }

void CommandLink::Run() {
  reader_.Clear();
  while (!board_.stopping()) {
    TakeCloseRequest();
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {client_, POLLIN, 0}};
    const int r = ::poll(fds, client_ >= 0 ? 2 : 1, 50);
    if (r <= 0) {
      continue;
    }
    if ((fds[0].revents & POLLIN) && Accept()) {
      continue;
    }
    if (client_ >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      Receive();
    }
  }
  Disconnect();
}

void CommandLink::TakeCloseRequest() {
  {
    std::lock_guard<std::mutex> lock(board_.mu);
    if (!board_.close_command) {
      return;
    }
    board_.close_command = false;
  }
  if (client_ >= 0) {
    LOG_INFO("board_sim: fault: closing the command connection");
  }
  Disconnect();  // takes board_.mu itself
}

bool CommandLink::Accept() {
  const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  // The daemon reconnects when it thinks the link died; the newest connection wins.
  if (client_ >= 0) {
    LOG_INFO("board_sim: new command connection replaces the old one");
  }
  CloseFd(&client_);
  client_ = fd;
  SetNoDelay(client_);
  reader_.Clear();
  connected_ = true;
  ++accepts_;
  {
    std::lock_guard<std::mutex> lock(board_.mu);
    board_.model.SetControllerConnected(true);
  }
  LOG_INFO("board_sim: command connection accepted");
  return true;
}

void CommandLink::Receive() {
  const ssize_t n = ::recv(client_, buf_.data(), buf_.size(), 0);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
    return;
  }
  if (n <= 0) {
    LOG_INFO("board_sim: command connection closed by the daemon");
    Disconnect();
    return;
  }
  reader_.Append(buf_.data(), static_cast<size_t>(n));
  std::string payload;
  for (;;) {
    const auto res = reader_.Next(&payload);
    if (res == station_center::FrameReader::Result::kNeedMore) {
      break;
    }
    if (res == station_center::FrameReader::Result::kOversized) {
      LOG_WARN("board_sim: command length prefix out of range, dropping {} buffered bytes", reader_.buffered());
      reader_.Clear();
      break;
    }
    if (!HandleCommand(payload)) {
      Disconnect();
      break;
    }
  }
}

void CommandLink::Disconnect() {
  CloseFd(&client_);
  connected_ = false;
  std::lock_guard<std::mutex> lock(board_.mu);
  board_.model.SetControllerConnected(false);
}

bool CommandLink::HandleCommand(const std::string& payload) {
  const auto received = std::chrono::steady_clock::now();
  station::SupplyMaterialReq req;
  const bool decoded = req.ParseFromString(payload);
  station::SupplyMaterialRsp rsp;
  Faults f;
  bool garbage = false;
  int32_t stale_seq = 0;
  {
    std::lock_guard<std::mutex> lock(board_.mu);
    f = board_.faults;
    if (!decoded) {
      rsp.set_err_code_(station::ENUM_DESERIALIZE_DATA_FAILED);
      rsp.set_err_msg_("undecodable command");
      LOG_WARN("board_sim: undecodable command of {} bytes", payload.size());
    } else {
      received_.push_back(req);
      rsp.set_seq_(req.seq_());
      stale_seq = have_last_seq_ && last_seq_ != req.seq_() ? last_seq_ : req.seq_() - 1;
      last_seq_ = req.seq_();
      have_last_seq_ = true;
      if (f.hangup_on_command) {
        LOG_INFO("board_sim: fault: hanging up on command seq {}", req.seq_());
        return false;
      }
      Carry(req, f, &rsp);
      if (board_.on_command) {
        board_.on_command(req, rsp);
      }
    }
    garbage = board_.garbage_reply;
    board_.garbage_reply = false;
  }
  if (f.ack_delay_ms > 0 && !board_.HoldAnswer(received)) {
    return true;
  }
  if (f.drop_acks && !garbage) {
    LOG_INFO("board_sim: fault: answer to seq {} dropped", req.seq_());
    return true;
  }
  if (garbage) {
    LOG_INFO("board_sim: fault: garbage frame instead of the answer to seq {}", req.seq_());
    return WriteAll(board_, client_, GarbageFrame(), f.split_bytes, f.split_gap_ms);
  }
  return WriteAnswer(rsp, decoded, stale_seq, f);
}

bool CommandLink::WriteAnswer(const station::SupplyMaterialRsp& rsp, bool decoded, int32_t stale_seq, const Faults& f) {
  std::string real;
  station_center::EncodeFrame(rsp, &real);
  if (f.stale == StaleMode::kOff || !decoded) {
    return WriteAll(board_, client_, real, f.split_bytes, f.split_gap_ms);
  }
  station::SupplyMaterialRsp old = rsp;
  old.set_seq_(stale_seq);
  old.set_err_code_(station::ENUM_SUCCESS);
  std::string stale;
  station_center::EncodeFrame(old, &stale);
  LOG_INFO("board_sim: fault: stale answer seq {} for command seq {}", stale_seq, rsp.seq_());
  if (f.stale == StaleMode::kOnly) {
    return WriteAll(board_, client_, stale, f.split_bytes, f.split_gap_ms);
  }
  if (f.merge_reports > 1) {
    return WriteAll(board_, client_, stale + real, f.split_bytes, f.split_gap_ms);
  }
  if (!WriteAll(board_, client_, stale, f.split_bytes, f.split_gap_ms) || !board_.SleepFor(f.split_gap_ms)) {
    return false;
  }
  return WriteAll(board_, client_, real, f.split_bytes, f.split_gap_ms);
}

void CommandLink::Carry(const station::SupplyMaterialReq& req, const Faults& f, station::SupplyMaterialRsp* rsp) {
  if (req.has_cmd_()) {
    const int type = req.cmd_().supply_type_();
    if (f.refused_types.count(type) != 0) {
      rsp->set_err_code_(station::ENUM_ERROR_UNKNOW);
      rsp->set_err_msg_("refused by fault switch");
      LOG_INFO("board_sim: fault: refused seq {} supply type {} action {}", req.seq_(), type, req.cmd_().action_());
    } else if (!board_.model.Apply(req.cmd_())) {
      rsp->set_err_code_(station::ENUM_ERROR_UNKNOW);
      rsp->set_err_msg_("unknown supply type");
      LOG_WARN("board_sim: seq {} unknown supply type {}", req.seq_(), type);
    } else {
      LOG_INFO("board_sim: seq {} {} action {}", req.seq_(), station::EnumSupplyType_Name(req.cmd_().supply_type_()),
               req.cmd_().action_());
    }
  } else if (req.has_change_led_()) {
    if (f.refuse_led) {
      rsp->set_err_code_(station::ENUM_ERROR_UNKNOW);
      rsp->set_err_msg_("refused by fault switch");
      LOG_INFO("board_sim: fault: refused seq {} led {}", req.seq_(), static_cast<int>(req.change_led_().led_cmd_()));
    } else {
      board_.model.ApplyLed(req.change_led_().led_cmd_());
      LOG_INFO("board_sim: seq {} led {}", req.seq_(), station::EnumLedCmd_Name(req.change_led_().led_cmd_()));
    }
  } else {
    rsp->set_err_code_(station::ENUM_MESSAGE_EMPTY);
    rsp->set_err_msg_("neither action nor led command");
    LOG_WARN("board_sim: seq {} carries no command", req.seq_());
  }
}

}  // namespace station_sim
