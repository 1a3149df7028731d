#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "bottom/frame_codec.h"
#include "bottom/tcp_server.h"
#include "station/station_report.pb.h"

namespace station_center {

// Receives one decoded sensor report; runs on the sensor server's accept thread.
using SensorCallback = std::function<void(station::SensorsDataRep&)>;

// The server on which the board pushes its sensor reports. Reports are
// reassembled from the byte stream and delivered to `callback_` one by one, in
// order, on the accept thread. No peer can hold the port: a newer connection
// replaces the one being served (a board that reconnects has lost its old one),
// and a connection is closed after `idle_limit` without a whole frame or after
// kMaxUndecodable undecodable frames in a row. With AllowOnlyPeer set, a
// connection from another address is reset at once and displaces nothing; the
// board's connection is read on schedule however many of them arrive.
class DataUploadServer : public TcpServer {
 public:
  static constexpr std::chrono::milliseconds kDefaultIdleLimit{10000};
  static constexpr int kMaxUndecodable = 10;

  DataUploadServer(const std::string& ip, int32_t port, SensorCallback callback,
                   std::chrono::milliseconds idle_limit = kDefaultIdleLimit)
      : TcpServer(ip, port), callback_(std::move(callback)), idle_limit_(idle_limit) {}

  // The receive loop for one board connection; always false (unused).
  bool HandleAccept(int& fd) override;

  // Reports counted for printing so far (counted only while `debug` is on).
  int32_t report_count() const { return report_counter_.load(); }
  // Board connections accepted so far; read by the callback to tell a new one.
  uint32_t connections() const { return connections_.load(); }

  SensorCallback callback_;

 private:
  // What ended the receive loop of a connection.
  enum class End { kGone, kReplaced, kIdle, kOutOfStep };
  // Per-connection reading state.
  struct Stream {
    explicit Stream(size_t max_payload) : reader(max_payload) {}
    FrameReader reader;
    int undecodable = 0;     // undecodable frames in a row
    bool got_frame = false;  // a whole frame came out of the last read
  };

  // Serves one connection until it ends, and says why it ended; on kReplaced,
  // `*next` is the accepted connection that replaces it.
  End Serve(int fd, int* next);
  // Accepts the pending connections, refusing strangers; the board's new
  // connection, or -1 when none was among them.
  int AcceptPending();
  // Waits up to `timeout` for data on `fd` (unless negative) or a new connection; true on a new connection.
  bool WaitForEvent(int fd, std::chrono::milliseconds timeout, bool* readable);
  // One read into the stream; false when the connection has ended.
  bool ReadOnce(int fd, Stream& stream, std::vector<char>& buffer, End* end);
  // Decodes and delivers every whole frame buffered; false when the stream is
  // out of step and the connection must be dropped.
  bool DeliverFrames(Stream& stream);
  // Hands one report to the callback (printed first every n-th time in debug mode).
  void Deliver(station::SensorsDataRep& report);

  const std::chrono::milliseconds idle_limit_;
  // Written by the accept thread only; atomic so tests may read it.
  std::atomic<int32_t> report_counter_{0};
  std::atomic<uint32_t> connections_{0};
};

}  // namespace station_center
