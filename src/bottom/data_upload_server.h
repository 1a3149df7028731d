#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "bottom/frame_codec.h"
#include "bottom/tcp_server.h"
#include "station/station_report.pb.h"

namespace station_center {

// Receives one decoded sensor report; runs on the sensor server's accept thread.
using SensorCallback = std::function<void(station::SensorsDataRep&)>;

// The server on which the board pushes its sensor reports. Reports are
// reassembled from the byte stream and delivered to `callback_` one by one, in
// order, on the accept thread.
class DataUploadServer : public TcpServer {
 public:
  DataUploadServer(const std::string& ip, int32_t port, SensorCallback callback)
      : TcpServer(ip, port), callback_(std::move(callback)) {}

  // The receive loop for one board connection; always false (unused).
  bool HandleAccept(int& fd) override;

  // Reports counted for printing so far (counted only while `debug` is on).
  int32_t report_count() const { return report_counter_.load(); }
  // Board connections accepted so far; read by the callback to tell a new one.
  uint32_t connections() const { return connections_.load(); }

  SensorCallback callback_;

 private:
  // Decodes and delivers every whole frame buffered; false when the stream is
  // out of step and the connection must be dropped.
  bool DeliverFrames(FrameReader& reader);

  // Written by the accept thread only; atomic so tests may read it.
  std::atomic<int32_t> report_counter_{0};
  std::atomic<uint32_t> connections_{0};
};

}  // namespace station_center
