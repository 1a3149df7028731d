#include "sim/station_sim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "bottom/frame_codec.h"
#include "logger.h"

namespace station_sim {

namespace {

using Clock = std::chrono::steady_clock;

// Longest command the board accepts; anything longer means the stream is out of step.
constexpr size_t kMaxCommandBytes = 4096;

// Bytes that carry a valid length prefix but do not decode as any message
// (field 1 with the reserved wire type 7).
std::string GarbageFrame() {
  const std::string body = "\x0f\xff\xff\xff";
  std::string frame;
  frame.push_back(static_cast<char>(body.size()));
  frame.push_back('\0');
  return frame + body;
}

void CloseFd(int* fd) {
  if (*fd >= 0) {
    ::close(*fd);
    *fd = -1;
  }
}

void SetNoDelay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

}  // namespace

class StationSim::Impl {
 public:
  explicit Impl(SimOptions options)
      : opts_(std::move(options)), model_(opts_.model), sensor_ip_(opts_.sensor_ip), sensor_port_(opts_.sensor_port) {}

  // Waits up to `ms` unless stopping; false when the simulator is stopping.
  bool SleepFor(int ms) {
    std::unique_lock<std::mutex> lock(mu_);
    return !cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_; });
  }

  bool stopping() {
    std::lock_guard<std::mutex> lock(mu_);
    return stop_;
  }

  // Writes all of `bytes`, in pieces when the split fault is on; false if the
  // connection failed or the simulator is stopping.
  bool WriteAll(int fd, const std::string& bytes, int split, int gap_ms) {
    size_t off = 0;
    while (off < bytes.size()) {
      size_t len = bytes.size() - off;
      if (split > 0) {
        len = std::min(len, static_cast<size_t>(split));
      }
      size_t sent = 0;
      while (sent < len) {
        pollfd p{fd, POLLOUT, 0};
        const int r = ::poll(&p, 1, 50);
        if (r < 0 && errno != EINTR) {
          return false;
        }
        if (stopping()) {
          return false;
        }
        if (r <= 0) {
          continue;
        }
        const ssize_t n = ::send(fd, bytes.data() + off + sent, len - sent, MSG_NOSIGNAL);
        if (n < 0) {
          if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
            continue;
          }
          return false;
        }
        sent += static_cast<size_t>(n);
      }
      off += len;
      if (split > 0 && off < bytes.size() && !SleepFor(gap_ms)) {
        return false;
      }
    }
    return true;
  }

  // --- command server ---------------------------------------------------

  bool OpenListener() {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) {
      LOG_ERROR("board_sim: command socket failed: {}", std::strerror(errno));
      return false;
    }
    int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(opts_.command_port);
    if (::inet_pton(AF_INET, opts_.command_ip.c_str(), &addr.sin_addr) != 1) {
      LOG_ERROR("board_sim: bad command address {}", opts_.command_ip);
      CloseFd(&listen_fd_);
      return false;
    }
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(listen_fd_, 4) != 0) {
      LOG_ERROR("board_sim: cannot listen on {}:{}: {}", opts_.command_ip, opts_.command_port, std::strerror(errno));
      CloseFd(&listen_fd_);
      return false;
    }
    socklen_t len = sizeof(addr);
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    LOG_INFO("board_sim: command port listening on {}:{}", opts_.command_ip, port_.load());
    return true;
  }

  void CommandLoop() {
    int client = -1;
    station_center::FrameReader reader(kMaxCommandBytes);
    std::vector<char> buf(4096);
    while (!stopping()) {
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (close_command_) {
          close_command_ = false;
          if (client >= 0) {
            LOG_INFO("board_sim: fault: closing the command connection");
          }
          CloseFd(&client);
          cmd_connected_ = false;
        }
      }
      pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {client, POLLIN, 0}};
      const int r = ::poll(fds, client >= 0 ? 2 : 1, 50);
      if (r <= 0) {
        continue;
      }
      if (fds[0].revents & POLLIN) {
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          // The daemon reconnects when it thinks the link died; the newest connection wins.
          if (client >= 0) {
            LOG_INFO("board_sim: new command connection replaces the old one");
          }
          CloseFd(&client);
          client = fd;
          SetNoDelay(client);
          reader.Clear();
          cmd_connected_ = true;
          ++accepts_;
          LOG_INFO("board_sim: command connection accepted");
          continue;
        }
      }
      if (client >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
        const ssize_t n = ::recv(client, buf.data(), buf.size(), 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
          continue;
        }
        if (n <= 0) {
          LOG_INFO("board_sim: command connection closed by the daemon");
          CloseFd(&client);
          cmd_connected_ = false;
          continue;
        }
        reader.Append(buf.data(), static_cast<size_t>(n));
        std::string payload;
        for (;;) {
          const auto res = reader.Next(&payload);
          if (res == station_center::FrameReader::Result::kNeedMore) {
            break;
          }
          if (res == station_center::FrameReader::Result::kOversized) {
            LOG_WARN("board_sim: command length prefix out of range, dropping {} buffered bytes", reader.buffered());
            reader.Clear();
            break;
          }
          if (!HandleCommand(payload, &client)) {
            CloseFd(&client);
            cmd_connected_ = false;
            break;
          }
        }
      }
    }
    CloseFd(&client);
    cmd_connected_ = false;
  }

  // Carries out one command and answers it as the fault switches say; false
  // when the connection is to be closed.
  bool HandleCommand(const std::string& payload, int* client) {
    station::SupplyMaterialReq req;
    const bool decoded = req.ParseFromString(payload);
    station::SupplyMaterialRsp rsp;
    Faults f;
    bool garbage = false;
    int32_t stale_seq = 0;
    {
      std::lock_guard<std::mutex> lock(mu_);
      f = faults_;
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
      }
      garbage = garbage_reply_;
      garbage_reply_ = false;
    }
    if (f.ack_delay_ms > 0 && !SleepFor(f.ack_delay_ms)) {
      return true;
    }
    if (f.drop_acks && !garbage) {
      LOG_INFO("board_sim: fault: answer to seq {} dropped", req.seq_());
      return true;
    }
    std::string real;
    station_center::EncodeFrame(rsp, &real);
    if (garbage) {
      LOG_INFO("board_sim: fault: garbage frame instead of the answer to seq {}", req.seq_());
      return WriteAll(*client, GarbageFrame(), f.split_bytes, f.split_gap_ms);
    }
    if (f.stale != StaleMode::kOff && decoded) {
      station::SupplyMaterialRsp old = rsp;
      old.set_seq_(stale_seq);
      old.set_err_code_(station::ENUM_SUCCESS);
      std::string stale;
      station_center::EncodeFrame(old, &stale);
      LOG_INFO("board_sim: fault: stale answer seq {} for command seq {}", stale_seq, req.seq_());
      if (f.stale == StaleMode::kOnly) {
        return WriteAll(*client, stale, f.split_bytes, f.split_gap_ms);
      }
      if (f.merge_reports > 1) {
        return WriteAll(*client, stale + real, f.split_bytes, f.split_gap_ms);
      }
      if (!WriteAll(*client, stale, f.split_bytes, f.split_gap_ms) || !SleepFor(f.split_gap_ms)) {
        return false;
      }
    }
    return WriteAll(*client, real, f.split_bytes, f.split_gap_ms);
  }

  // Applies a decoded command to the model; mu_ held.
  void Carry(const station::SupplyMaterialReq& req, const Faults& f, station::SupplyMaterialRsp* rsp) {
    if (req.has_cmd_()) {
      const int type = req.cmd_().supply_type_();
      if (f.refused_types.count(type) != 0) {
        rsp->set_err_code_(station::ENUM_ERROR_UNKNOW);
        rsp->set_err_msg_("refused by fault switch");
        LOG_INFO("board_sim: fault: refused seq {} supply type {} action {}", req.seq_(), type, req.cmd_().action_());
      } else if (!model_.Apply(req.cmd_())) {
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
        model_.ApplyLed(req.change_led_().led_cmd_());
        LOG_INFO("board_sim: seq {} led {}", req.seq_(), station::EnumLedCmd_Name(req.change_led_().led_cmd_()));
      }
    } else {
      rsp->set_err_code_(station::ENUM_MESSAGE_EMPTY);
      rsp->set_err_msg_("neither action nor led command");
      LOG_WARN("board_sim: seq {} carries no command", req.seq_());
    }
  }

  // --- sensor client ----------------------------------------------------

  // Connects with a bounded wait so an unreachable address cannot stall Stop().
  int Connect(const std::string& ip, uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1) {
      return -1;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
      return -1;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      if (errno != EINPROGRESS) {
        CloseFd(&fd);
        return -1;
      }
      for (int waited = 0;; waited += 50) {
        pollfd p{fd, POLLOUT, 0};
        const int r = ::poll(&p, 1, 50);
        if (r > 0) {
          break;
        }
        if ((r < 0 && errno != EINTR) || waited >= 1000 || stopping()) {
          CloseFd(&fd);
          return -1;
        }
      }
      int err = 0;
      socklen_t len = sizeof(err);
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
        CloseFd(&fd);
        return -1;
      }
    }
    SetNoDelay(fd);
    return fd;
  }

  void SensorLoop() {
    int fd = -1;
    uint32_t gen = 0;
    bool told_unreachable = false;
    std::string batch;
    int batched = 0;
    auto next_report = Clock::now();
    while (!stopping()) {
      std::string ip;
      uint16_t port = 0;
      {
        std::lock_guard<std::mutex> lock(mu_);
        ip = sensor_ip_;
        port = sensor_port_;
        if (close_sensor_ || gen != target_gen_) {
          if (fd >= 0) {
            LOG_INFO("board_sim: closing the sensor connection");
          }
          close_sensor_ = false;
          gen = target_gen_;
          CloseFd(&fd);
          sensor_connected_ = false;
          batch.clear();
          batched = 0;
        }
      }
      if (fd < 0) {
        if (port == 0) {
          SleepFor(50);
          continue;
        }
        fd = Connect(ip, port);
        if (fd < 0) {
          if (!told_unreachable) {
            LOG_INFO("board_sim: sensor server {}:{} not reachable, retrying every second", ip, port);
            told_unreachable = true;
          }
          SleepFor(1000);
          continue;
        }
        told_unreachable = false;
        sensor_connected_ = true;
        ++sensor_connects_;
        LOG_INFO("board_sim: sensor connection to {}:{} up", ip, port);
        next_report = Clock::now();
      }

      // Wait for the next report time, watching for the daemon closing the link.
      const auto now = Clock::now();
      const int wait_ms = static_cast<int>(
          std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(next_report - now).count()));
      pollfd p{fd, POLLIN, 0};
      const int r = ::poll(&p, 1, std::min(wait_ms, 50));
      if (r > 0) {
        char sink[256];
        const ssize_t n = ::recv(fd, sink, sizeof(sink), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
          LOG_INFO("board_sim: sensor connection closed by the daemon, reconnecting in a second");
          CloseFd(&fd);
          sensor_connected_ = false;
          SleepFor(1000);
          continue;
        }
      }
      if (Clock::now() < next_report) {
        continue;
      }
      const int hz = std::max(1, opts_.report_hz);
      next_report += std::chrono::microseconds(1000000 / hz);
      if (next_report < Clock::now()) {
        next_report = Clock::now();  // fell behind (split writes); do not burst
      }

      Faults f;
      std::string frame;
      {
        std::lock_guard<std::mutex> lock(mu_);
        f = faults_;
        if (!f.reports_on) {
          continue;
        }
        if (garbage_report_) {
          garbage_report_ = false;
          frame = GarbageFrame();
          LOG_INFO("board_sim: fault: garbage sensor frame");
        } else {
          station::SensorsDataRep rep = model_.Report();
          rep.set_seq(++report_seq_);
          station_center::EncodeFrame(rep, &frame);
        }
      }
      batch += frame;
      if (++batched < std::max(1, f.merge_reports)) {
        continue;
      }
      const std::string out = std::move(batch);
      const int count = batched;
      batch.clear();
      batched = 0;
      if (!WriteAll(fd, out, f.split_bytes, f.split_gap_ms)) {
        if (stopping()) {
          break;
        }
        LOG_INFO("board_sim: sensor connection lost, reconnecting in a second");
        CloseFd(&fd);
        sensor_connected_ = false;
        SleepFor(1000);
        continue;
      }
      reports_sent_ += count;
    }
    CloseFd(&fd);
    sensor_connected_ = false;
  }

  // --- model ------------------------------------------------------------

  void ModelLoop() {
    auto last = Clock::now();
    while (SleepFor(std::max(1, opts_.tick_ms))) {
      const auto now = Clock::now();
      const double dt = std::chrono::duration<double>(now - last).count();
      last = now;
      std::lock_guard<std::mutex> lock(mu_);
      model_.Advance(dt);
    }
  }

  SimOptions opts_;

  // Guards everything below up to the threads.
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  StationModel model_;
  Faults faults_;
  std::vector<station::SupplyMaterialReq> received_;
  std::string sensor_ip_;
  uint16_t sensor_port_;
  uint32_t target_gen_ = 0;
  bool close_command_ = false;
  bool close_sensor_ = false;
  bool garbage_reply_ = false;
  bool garbage_report_ = false;
  int32_t last_seq_ = 0;
  bool have_last_seq_ = false;
  uint32_t report_seq_ = 0;

  int listen_fd_ = -1;  // owned by Start/Stop; read by the command thread in between
  std::thread command_thread_;
  std::thread sensor_thread_;
  std::thread model_thread_;
  std::mutex lifecycle_mu_;  // Start/Stop against each other
  std::atomic<bool> running_{false};
  std::atomic<uint16_t> port_{0};
  std::atomic<bool> cmd_connected_{false};
  std::atomic<bool> sensor_connected_{false};
  std::atomic<uint32_t> reports_sent_{0};
  std::atomic<uint32_t> sensor_connects_{0};
  std::atomic<uint32_t> accepts_{0};
};

StationSim::StationSim(SimOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

StationSim::~StationSim() { Stop(); }

bool StationSim::Start() {
  std::lock_guard<std::mutex> life(impl_->lifecycle_mu_);
  if (impl_->running_) {
    return true;
  }
  {
    std::lock_guard<std::mutex> lock(impl_->mu_);
    impl_->stop_ = false;
  }
  if (!impl_->OpenListener()) {
    return false;
  }
  impl_->command_thread_ = std::thread([this] { impl_->CommandLoop(); });
  impl_->sensor_thread_ = std::thread([this] { impl_->SensorLoop(); });
  impl_->model_thread_ = std::thread([this] { impl_->ModelLoop(); });
  impl_->running_ = true;
  return true;
}

void StationSim::Stop() {
  std::lock_guard<std::mutex> life(impl_->lifecycle_mu_);
  if (!impl_->running_) {
    return;
  }
  {
    std::lock_guard<std::mutex> lock(impl_->mu_);
    impl_->stop_ = true;
  }
  impl_->cv_.notify_all();
  for (std::thread* t : {&impl_->command_thread_, &impl_->sensor_thread_, &impl_->model_thread_}) {
    if (t->joinable()) {
      t->join();
    }
  }
  CloseFd(&impl_->listen_fd_);
  impl_->running_ = false;
  LOG_INFO("board_sim: stopped");
}

bool StationSim::running() const { return impl_->running_; }
uint16_t StationSim::command_port() const { return impl_->port_; }
bool StationSim::command_connected() const { return impl_->cmd_connected_; }
bool StationSim::sensor_connected() const { return impl_->sensor_connected_; }
uint32_t StationSim::reports_sent() const { return impl_->reports_sent_; }
uint32_t StationSim::sensor_connects() const { return impl_->sensor_connects_; }
uint32_t StationSim::command_accepts() const { return impl_->accepts_; }

void StationSim::SetSensorTarget(const std::string& ip, uint16_t port) {
  std::lock_guard<std::mutex> lock(impl_->mu_);
  impl_->sensor_ip_ = ip;
  impl_->sensor_port_ = port;
  ++impl_->target_gen_;
}

#define SIM_LOCKED std::lock_guard<std::mutex> lock(impl_->mu_)

station::SensorsDataRep StationSim::Sensors() const {
  SIM_LOCKED;
  station::SensorsDataRep r = impl_->model_.Report();
  r.set_seq(impl_->report_seq_);
  return r;
}
bool StationSim::ActuatorOn(station::EnumSupplyType type) const {
  SIM_LOCKED;
  return impl_->model_.actuator(type).on;
}
int StationSim::ActuatorPower(station::EnumSupplyType type) const {
  SIM_LOCKED;
  return impl_->model_.actuator(type).power;
}
std::vector<station::SupplyMaterialReq> StationSim::ReceivedCommands() const {
  SIM_LOCKED;
  return impl_->received_;
}
void StationSim::ClearReceivedCommands() {
  SIM_LOCKED;
  impl_->received_.clear();
}
int StationSim::last_led() const {
  SIM_LOCKED;
  return impl_->model_.last_led();
}
double StationSim::tank_volume() const {
  SIM_LOCKED;
  return impl_->model_.tank_volume();
}
double StationSim::delivered_to_robot() const {
  SIM_LOCKED;
  return impl_->model_.delivered_to_robot();
}
int StationSim::board_resets() const {
  SIM_LOCKED;
  return impl_->model_.resets();
}
double StationSim::sewage_level() const {
  SIM_LOCKED;
  return impl_->model_.sewage_level();
}
void StationSim::SetTankVolume(double ml) {
  SIM_LOCKED;
  impl_->model_.SetTankVolume(ml);
}
void StationSim::SetSewageLevel(double level) {
  SIM_LOCKED;
  impl_->model_.SetSewageLevel(level);
}
void StationSim::Dock(bool docked) {
  SIM_LOCKED;
  impl_->model_.Dock(docked);
}
void StationSim::Plug(bool plugged) {
  SIM_LOCKED;
  impl_->model_.Plug(plugged);
}
bool StationSim::SetField(const std::string& name, const std::string& value) {
  SIM_LOCKED;
  return impl_->model_.SetField(name, value);
}
bool StationSim::Pin(const std::string& name, const std::string& value) {
  SIM_LOCKED;
  return impl_->model_.Pin(name, value);
}
bool StationSim::Unpin(const std::string& name) {
  SIM_LOCKED;
  return impl_->model_.Unpin(name);
}
void StationSim::SetSorterOverload(double seconds) {
  SIM_LOCKED;
  impl_->model_.SetSorterOverload(seconds);
}

Faults StationSim::faults() const {
  SIM_LOCKED;
  return impl_->faults_;
}
void StationSim::RefuseSupply(station::EnumSupplyType type, bool refuse) {
  SIM_LOCKED;
  if (refuse) {
    impl_->faults_.refused_types.insert(type);
  } else {
    impl_->faults_.refused_types.erase(type);
  }
}
void StationSim::RefuseLed(bool refuse) {
  SIM_LOCKED;
  impl_->faults_.refuse_led = refuse;
}
void StationSim::SetAckDelayMs(int ms) {
  SIM_LOCKED;
  impl_->faults_.ack_delay_ms = std::max(0, ms);
}
void StationSim::SetDropAcks(bool drop) {
  SIM_LOCKED;
  impl_->faults_.drop_acks = drop;
}
void StationSim::SetStaleSeq(StaleMode mode) {
  SIM_LOCKED;
  impl_->faults_.stale = mode;
}
void StationSim::SetSplitWrites(int bytes_per_write) {
  SIM_LOCKED;
  impl_->faults_.split_bytes = std::max(0, bytes_per_write);
}
void StationSim::SetSplitGapMs(int ms) {
  SIM_LOCKED;
  impl_->faults_.split_gap_ms = std::max(0, ms);
}
void StationSim::ClearFaults() {
  SIM_LOCKED;
  impl_->faults_ = Faults();
  impl_->close_command_ = impl_->close_sensor_ = false;
  impl_->garbage_reply_ = impl_->garbage_report_ = false;
}
void StationSim::SetMergeReports(int reports_per_write) {
  SIM_LOCKED;
  impl_->faults_.merge_reports = std::max(1, reports_per_write);
}
void StationSim::SetReportsEnabled(bool on) {
  SIM_LOCKED;
  impl_->faults_.reports_on = on;
}
void StationSim::SetHangupOnCommand(bool on) {
  SIM_LOCKED;
  impl_->faults_.hangup_on_command = on;
}
void StationSim::CloseCommandConnection() {
  SIM_LOCKED;
  impl_->close_command_ = true;
}
void StationSim::CloseSensorConnection() {
  SIM_LOCKED;
  impl_->close_sensor_ = true;
}
void StationSim::SendGarbageCommandReply() {
  SIM_LOCKED;
  impl_->garbage_reply_ = true;
}
void StationSim::SendGarbageReport() {
  SIM_LOCKED;
  impl_->garbage_report_ = true;
}

#undef SIM_LOCKED

}  // namespace station_sim
