#include "bottom/data_upload_server.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

namespace {
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Reads are paced: reports come at a few hertz, and a peer flooding the port gets
// no more than ten reads a second out of the accept thread.
constexpr auto kReadPause = milliseconds(100);
// Connections taken off the listening socket per wake-up at most.
constexpr int kMaxAcceptsPerPass = 16;
// Longest single wait, so that a stop is seen even if no descriptor wakes the poll.
constexpr auto kPollSlice = milliseconds(1000);
}  // namespace

bool DataUploadServer::HandleAccept(int& fd) {
  if (fd <= 0) {
    return false;
  }
  for (;;) {
    connections_.fetch_add(1);
    int next = -1;
    if (connectIsAlive(fd)) {
      Serve(fd, &next);
    }
    LOG_INFO("The connection has been disconnected");
    CloseConnection(fd);
    if (next < 0 || !Adopt(next)) {
      return false;
    }
    fd = next;
  }
}

DataUploadServer::End DataUploadServer::Serve(int fd, int* next) {
  // One stream per connection: a report split over reads is completed by the
  // next ones, and several reports in one read all come out.
  Stream stream(g_config.data_upload_server_cache_size);
  std::vector<char> buffer;
  Clock::time_point deadline = Clock::now() + idle_limit_;
  Clock::time_point next_read = Clock::now() + kReadPause;
  while (!Stopping()) {
    const Clock::time_point now = Clock::now();
    if (now >= deadline) {
      LOG_WARN_LIMITED("ErrorCode: {}, sensor connection closed: no whole frame for {} ms", kErrSensorConnIdle,
                       idle_limit_.count());
      return End::kIdle;
    }
    // The board is read at most once per pause; the listening socket is watched
    // all along, so strangers are refused as they come and never cost a read.
    const bool may_read = now >= next_read;
    const auto until = may_read ? deadline : std::min(deadline, next_read);
    const auto wait = std::min<Clock::duration>(until - now, kPollSlice);
    bool readable = false;
    const bool pending =
        WaitForEvent(may_read ? fd : -1, std::chrono::duration_cast<milliseconds>(wait) + milliseconds(1), &readable);
    if (pending && (*next = AcceptPending()) >= 0) {
      LOG_WARN_LIMITED("ErrorCode: {}, sensor connection closed: the board made a new one", kErrSensorConnReplaced);
      return End::kReplaced;
    }
    if (!readable) {
      continue;
    }
    next_read = Clock::now() + kReadPause;
    End end = End::kGone;
    if (!ReadOnce(fd, stream, buffer, &end)) {
      return end;
    }
    if (stream.got_frame) {
      deadline = Clock::now() + idle_limit_;
    }
  }
  return End::kGone;
}

int DataUploadServer::AcceptPending() {
  // Bounded, so that a flood cannot keep the board's read waiting; what is left
  // is taken in the next pass, and the small backlog makes the kernel drop the rest.
  for (int i = 0; i < kMaxAcceptsPerPass && !Stopping(); ++i) {
    pollfd listening{sock_, POLLIN, 0};
    if (::poll(&listening, 1, 0) <= 0) {
      break;  // nothing pending: accept would block
    }
    const int fd = AcceptOne();
    if (fd >= 0) {
      return fd;
    }
  }
  return -1;
}

bool DataUploadServer::WaitForEvent(int fd, milliseconds timeout, bool* readable) {
  // A negative descriptor is ignored by poll: the board is not read this time.
  pollfd fds[2] = {{fd, POLLIN, 0}, {sock_, POLLIN, 0}};
  const int ready = ::poll(fds, 2, static_cast<int>(timeout.count()));
  if (ready <= 0 || Stopping()) {
    return false;  // time-out, signal, or a stop that shut the sockets down
  }
  *readable = fd >= 0 && fds[0].revents != 0;
  return (fds[1].revents & POLLIN) != 0;
}

bool DataUploadServer::ReadOnce(int fd, Stream& stream, std::vector<char>& buffer, End* end) {
  buffer.assign(ReadBufferSize(g_config.data_upload_server_cache_size), 0);
  stream.got_frame = false;
  const ssize_t n = ::read(fd, buffer.data(), buffer.size());
  if (n > 0) {
    LOG_DEBUG("listener rcv data, data len {}", n);
    stream.reader.Append(buffer.data(), static_cast<size_t>(n));
    if (!DeliverFrames(stream)) {
      *end = End::kOutOfStep;  // the board reconnects and starts afresh
      return false;
    }
  } else if (n == 0) {
    LOG_ERROR_LIMITED("ErrorCode: {}, TcpSocket::RecvData connect shutdown", kErrPeerClosed);
  } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    const int err = errno;
    LOG_ERROR_LIMITED("TcpSocket::RecvData failed, ret:{}, errno:{}", n, err);
  }
  if (!connectIsAlive(fd)) {
    *end = End::kGone;
    return false;
  }
  return true;
}

bool DataUploadServer::DeliverFrames(Stream& stream) {
  std::string payload;
  for (;;) {
    switch (stream.reader.Next(&payload)) {
      case FrameReader::Result::kNeedMore:
        return true;
      case FrameReader::Result::kOversized:
        LOG_ERROR_LIMITED("ErrorCode: {}, Deserialize CleanRobotReport error", kErrDeserializeReport);
        return false;
      case FrameReader::Result::kFrame:
        break;
    }
    stream.got_frame = true;
    station::SensorsDataRep report;
    if (report.ParseFromString(payload)) {
      stream.undecodable = 0;
      Deliver(report);
      continue;
    }
    LOG_ERROR_LIMITED("ErrorCode: {}, Deserialize CleanRobotReport error", kErrDeserializeReport);
    if (++stream.undecodable >= kMaxUndecodable) {
      LOG_WARN_LIMITED("ErrorCode: {}, sensor connection closed: {} undecodable frames in a row, out of step",
                       kErrSensorConnOutOfStep, stream.undecodable);
      return false;
    }
  }
}

void DataUploadServer::Deliver(station::SensorsDataRep& report) {
  if (g_config.debug) {
    // Wraps like the 32-bit counter it is instead of overflowing.
    const int32_t count = static_cast<int32_t>(static_cast<uint32_t>(report_counter_.fetch_add(1)) + 1U);
    const int64_t space = g_config.sensor_data_print_space;
    if (space != 0 && static_cast<int64_t>(count) % space == 0) {
      LOG_INFO("sensor data : {}", report.ShortDebugString());
    }
  }
  if (callback_) {
    callback_(report);
  }
}

}  // namespace station_center
