#include "bottom/data_upload_server.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "error_codes.h"
#include "logger.h"

namespace station_center {

namespace {
constexpr auto kReadPause = std::chrono::milliseconds(100);
}  // namespace

bool DataUploadServer::HandleAccept(int& fd) {
  if (fd <= 0) {
    return false;
  }
  connections_.fetch_add(1);
  if (connectIsAlive(fd)) {
    const size_t cache_size = g_config.data_upload_server_cache_size;
    // One reader per connection: a report split over reads is completed by the
    // next ones, and several reports in one read all come out.
    FrameReader reader(cache_size);
    std::vector<char> buffer;
    while (!Stopping()) {
      std::this_thread::sleep_for(kReadPause);
      buffer.assign(cache_size, 0);
      const int n = RecvData(fd, buffer.data(), static_cast<int>(buffer.size()));
      if (n > 0) {
        LOG_DEBUG("listener rcv data, data len {}", n);
        reader.Append(buffer.data(), static_cast<size_t>(n));
        if (!DeliverFrames(reader)) {
          break;  // out of step: the board reconnects and starts afresh
        }
      }
      if (!connectIsAlive(fd)) {
        break;
      }
    }
  }
  LOG_INFO("The connection has been disconnected");
  CloseConnection(fd);
  return false;
}

bool DataUploadServer::DeliverFrames(FrameReader& reader) {
  std::string payload;
  for (;;) {
    switch (reader.Next(&payload)) {
      case FrameReader::Result::kNeedMore:
        return true;
      case FrameReader::Result::kOversized:
        LOG_ERROR("ErrorCode: {}, Deserialize CleanRobotReport error", kErrDeserializeReport);
        return false;
      case FrameReader::Result::kFrame:
        break;
    }
    station::SensorsDataRep report;
    if (!report.ParseFromString(payload)) {
      LOG_ERROR("ErrorCode: {}, Deserialize CleanRobotReport error", kErrDeserializeReport);
      continue;
    }
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
}

}  // namespace station_center
