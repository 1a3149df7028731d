#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "station/cmd.pb.h"
#include "station/station_report.pb.h"

namespace station_center {

class TcpClient;
class DataUploadServer;

using SensorCallback = std::function<void(station::SensorsDataRep&)>;

// The link to the station's embedded control board: one command at a time on the
// command connection (client), sensor reports on the upload server.
// Thread-safe: every command holds `mutex_` for the whole exchange.
class EmbeddedCommunicator {
 public:
  EmbeddedCommunicator() = default;
  ~EmbeddedCommunicator();

  // Connects the command link (retrying up to connect_embedded_board_time) and
  // starts the sensor server; `callback` runs on the sensor server's thread.
  bool Init(SensorCallback callback);

  // True only when the board acknowledged with the request's seq_ and err_code_ 0.
  bool DoAction(const station::ActionCommand& cmd);
  bool ChangeLed(station::EnumLedCmd led_cmd);

  bool BottomReqNeedResp(const std::shared_ptr<TcpClient>& client, const station::SupplyMaterialReq& req,
                         station::SupplyMaterialRsp& rsp, int timeout);

 private:
  int32_t NextRequestId();

  std::mutex mutex_;
  std::shared_ptr<TcpClient> client_;
  std::shared_ptr<DataUploadServer> data_upload_server_;
  int32_t last_request_id_ = 0;  // guarded by mutex_
};

}  // namespace station_center
