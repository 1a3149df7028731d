#include "bottom/fake_board_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "bottom/frame_codec.h"
#include "logger.h"
#include "support/test_support.h"

namespace station_test {

namespace {

constexpr auto kChunkPause = std::chrono::milliseconds(30);

bool SendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  return true;
}

void CloseFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
  }
  fd = -1;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  return addr;
}

}  // namespace

std::string ReplyFrame(int32_t seq, station::EnumErrCode code, const std::string& msg) {
  station::SupplyMaterialRsp rsp;
  rsp.set_seq_(seq);
  rsp.set_err_code_(code);
  rsp.set_err_msg_(msg);
  std::string frame;
  station_center::EncodeFrame(rsp, &frame);
  return frame;
}

std::string SensorFrame(const station::SensorsDataRep& report) {
  std::string frame;
  station_center::EncodeFrame(report, &frame);
  return frame;
}

ReplyPolicy AckAll() {
  return [](const station::SupplyMaterialReq& req) { return BoardReply{{ReplyFrame(req.seq_())}}; };
}

std::vector<std::string> SplitAt(const std::string& bytes, const std::vector<size_t>& cuts) {
  std::vector<std::string> pieces;
  size_t from = 0;
  for (size_t cut : cuts) {
    pieces.push_back(bytes.substr(from, cut - from));
    from = cut;
  }
  pieces.push_back(bytes.substr(from));
  return pieces;
}

FakeBoard::FakeBoard() : policy_(AckAll()) {
  Listen();
  thread_ = std::thread(&FakeBoard::Run, this);
}

FakeBoard::~FakeBoard() {
  quit_ = true;
  thread_.join();
  CloseSensor();
}

void FakeBoard::SetPolicy(ReplyPolicy policy) {
  std::lock_guard<std::mutex> lock(mutex_);
  policy_ = std::move(policy);
}

std::vector<station::SupplyMaterialReq> FakeBoard::commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

std::string FakeBoard::raw_received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return raw_;
}

void FakeBoard::Restart() { RunControlAndWait(Control::kRestart); }

void FakeBoard::StopListening() { RunControlAndWait(Control::kStop); }

void FakeBoard::RunControlAndWait(Control control) {
  int target = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    control_ = control;
    target = controls_done_ + 1;
  }
  WaitUntil([this, target] {
    std::lock_guard<std::mutex> lock(mutex_);
    return controls_done_ >= target;
  });
}

bool FakeBoard::Listen() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    return false;
  }
  int reuse = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
  sockaddr_in addr = Loopback(port_);
  socklen_t len = sizeof(addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 4) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    return false;
  }
  if (port_ == 0) {
    port_ = ntohs(addr.sin_port);  // a restart keeps the port it had
  }
  listener_ = fd;
  return true;
}

void FakeBoard::Run() {
  int conn = -1;
  while (!quit_) {
    Control control = Control::kNone;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      control = control_;
    }
    if (control != Control::kNone) {
      CloseFd(conn);
      CloseFd(listener_);
      if (control == Control::kRestart) {
        Listen();
      }
      std::lock_guard<std::mutex> lock(mutex_);
      pending_.clear();
      control_ = Control::kNone;
      ++controls_done_;
    }
    pollfd fds[2];
    nfds_t count = 0;
    if (conn >= 0) {
      fds[count++] = {conn, POLLIN, 0};
    }
    if (listener_ >= 0) {
      fds[count++] = {listener_, POLLIN, 0};
    }
    if (::poll(fds, count, 10) <= 0) {
      continue;
    }
    for (nfds_t i = 0; i < count; ++i) {
      if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
        continue;
      }
      if (fds[i].fd == conn && conn >= 0) {
        Serve(conn);
      } else if (fds[i].fd == listener_ && listener_ >= 0) {
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd >= 0) {
          // One command connection at a time, like the real board.
          CloseFd(conn);
          conn = fd;
          accepted_.fetch_add(1);
          std::lock_guard<std::mutex> lock(mutex_);
          pending_.clear();
        }
      }
    }
  }
  CloseFd(conn);
  CloseFd(listener_);
}

void FakeBoard::Serve(int& conn) {
  char buf[4096];
  const ssize_t n = ::read(conn, buf, sizeof(buf));
  if (n <= 0) {
    CloseFd(conn);
    return;
  }
  std::vector<std::pair<station::SupplyMaterialReq, ReplyPolicy>> work;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    raw_.append(buf, static_cast<size_t>(n));
    pending_.append(buf, static_cast<size_t>(n));
    station_center::FrameReader reader(0xFFFF);
    reader.Append(pending_.data(), pending_.size());
    std::string payload;
    while (reader.Next(&payload) == station_center::FrameReader::Result::kFrame) {
      station::SupplyMaterialReq req;
      req.ParseFromString(payload);
      commands_.push_back(req);
      work.emplace_back(req, policy_);
    }
    pending_ = pending_.substr(pending_.size() - reader.buffered());
  }
  for (auto& [req, policy] : work) {
    const BoardReply reply = policy(req);
    for (size_t i = 0; i < reply.chunks.size(); ++i) {
      if (i > 0) {
        std::this_thread::sleep_for(kChunkPause);
      }
      SendAll(conn, reply.chunks[i]);
    }
    if (reply.stop_listening) {
      CloseFd(listener_);  // first, so no reconnection slips in between
    }
    if (reply.close_after || reply.stop_listening) {
      CloseFd(conn);
      std::lock_guard<std::mutex> lock(mutex_);
      pending_.clear();
      return;
    }
  }
}

bool FakeBoard::ConnectSensor(uint16_t port) {
  CloseSensor();
  sensor_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = Loopback(port);
  return sensor_fd_ >= 0 && ::connect(sensor_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
}

bool FakeBoard::SendSensor(const std::vector<std::string>& pieces, std::chrono::milliseconds pause) {
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0 && pause.count() > 0) {
      std::this_thread::sleep_for(pause);
    }
    if (!SendAll(sensor_fd_, pieces[i])) {
      return false;
    }
  }
  return true;
}

bool FakeBoard::WaitSensorClosedByPeer(std::chrono::milliseconds timeout) {
  return WaitUntil(
      [this] {
        pollfd pfd{sensor_fd_, POLLIN, 0};
        if (::poll(&pfd, 1, 0) <= 0) {
          return false;
        }
        char byte;
        return ::recv(sensor_fd_, &byte, 1, MSG_DONTWAIT) <= 0;
      },
      timeout);
}

void FakeBoard::CloseSensor() { CloseFd(sensor_fd_); }

LogCapture::LogCapture() : sink_(std::make_shared<Sink>()) {
  vantorel::Logger::Instance().logger()->sinks().push_back(sink_);
}

LogCapture::~LogCapture() {
  auto& sinks = vantorel::Logger::Instance().logger()->sinks();
  sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
}

int LogCapture::Count(const std::string& needle) const { return static_cast<int>(Lines(needle).size()); }

std::vector<std::string> LogCapture::Lines(const std::string& needle) const {
  std::vector<std::string> found;
  for (std::string& line : sink_->Snapshot()) {
    if (line.find(needle) != std::string::npos) {
      found.push_back(std::move(line));
    }
  }
  return found;
}

void LogCapture::Clear() { sink_->Clear(); }

std::vector<std::string> LogCapture::Sink::Snapshot() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

void LogCapture::Sink::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

void LogCapture::Sink::sink_it_(const spdlog::details::log_msg& msg) {
  lines_.emplace_back(msg.payload.data(), msg.payload.size());
}

}  // namespace station_test
