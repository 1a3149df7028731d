#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bottom/data_upload_server.h"
#include "bottom/frame_codec.h"
#include "station/cmd.pb.h"
#include "station/station_report.pb.h"

namespace station_center {

class TcpClient;

// The link to the station's embedded control board: one command at a time on the
// command connection (client), sensor reports on the upload server.
// Thread-safe: every command holds `mutex_` for the whole exchange. Destroying it
// stops the sensor server and waits until its thread is out of the callback.
// DoAction and ChangeLed are virtual so an in-process board can stand in for the
// sockets (the fuzz targets drive the core that way).
class EmbeddedCommunicator {
 public:
  EmbeddedCommunicator() = default;
  virtual ~EmbeddedCommunicator();
  EmbeddedCommunicator(const EmbeddedCommunicator&) = delete;
  EmbeddedCommunicator& operator=(const EmbeddedCommunicator&) = delete;

  // Connects the command link (retrying up to connect_embedded_board_time) and
  // starts the sensor server; `callback` runs on the sensor server's thread.
  bool Init(SensorCallback callback);

  // Asked once the link's turn has come, just before the command goes out;
  // false withdraws the command (DoAction answers false, nothing is sent).
  using StillWanted = std::function<bool()>;

  // True only when the board acknowledged with the request's seq_ and err_code_ 0.
  // An `urgent` command (a robot's stop, the sensor automation) takes the link
  // before the non-urgent ones waiting for it.
  virtual bool DoAction(const station::ActionCommand& cmd, bool urgent = false,
                        const StillWanted& still_wanted = nullptr);
  // `answered` (optional) tells a refusal from a board that did not answer at all.
  virtual bool ChangeLed(station::EnumLedCmd led_cmd, bool* answered = nullptr);

  // The exchange shared by DoAction and ChangeLed: sends `req` once and waits up
  // to `timeout` seconds for the reply carrying its seq_. The caller holds
  // mutex_ (DoAction and ChangeLed do) or is the link's only user.
  bool BottomReqNeedResp(const std::shared_ptr<TcpClient>& client, const station::SupplyMaterialReq& req,
                         station::SupplyMaterialRsp& rsp, int timeout, bool* answered_out = nullptr);

  // Re-makes the command connection when it was up and has died, and no command
  // is under way; false when it could not be re-made.
  bool ProbeCommandLink();
  // Times the command connection was re-made after Init: each one may mean the
  // board restarted and dropped what it was driving.
  uint32_t reconnects() const { return reconnects_.load(); }
  // Steady-clock ms until which the link is busy with bounded work: the limit of
  // the exchange or connection attempt under way, or a moment after the last one
  // ended. A caller waiting for its turn or its reply before then is not stuck.
  int64_t busy_until_millis() const { return busy_until_.load(); }
  // Commands (and lamp patterns) the board refused, or did not answer, since the start.
  uint64_t refused() const { return refused_.load(); }
  uint64_t unanswered() const { return unanswered_.load(); }
  // The last exchange got an answer (true before any).
  bool last_answered() const { return last_answered_.load(); }

  // The sensor server's bound port (soc_data_server_port may be 0 in tests);
  // 0 until the accept thread has bound it. Call after Init returned.
  uint16_t SensorServerPort() const;
  // The sensor server, for tests and shutdown; null before Init.
  const std::shared_ptr<DataUploadServer>& data_upload_server() const { return data_upload_server_; }

 private:
  int32_t NextRequestId();
  // Closes the command connection and forgets the bytes read from it.
  void CloseClient(TcpClient& client);
  // Closes, then reconnects the command connection.
  bool Reconnect(TcpClient& client);
  // Points reply_reader_ at `client`'s current connection.
  void SyncReader(const TcpClient& client);

  // One command's exchange, split as send, receive and confirm.
  struct Exchange {
    int32_t request_id = 0;
    int64_t deadline = 0;  // NowMillis() at which the wait for the reply ends
    std::vector<char> buffer;
    std::string payload;           // the reply frame being looked at
    int sent_sock = -1;            // the connection the request went out on
    bool connection_lost = false;  // that connection is gone: no reply can come
  };
  // Sends the framed request once, reconnecting first when the link is down;
  // false (after a pause) when that failed.
  bool SendRequest(TcpClient& client, const std::string& frame, int32_t request_id);
  // The next reply frame, read from the connection when none is buffered;
  // false when nothing could be read this time.
  bool ReceiveReply(TcpClient& client, Exchange& exchange, FrameReader::Result* result);
  // Looks through the frames for the reply to this request; true when the
  // exchange is over (answered, or the reply stream is unusable).
  bool CheckConfirmation(TcpClient& client, Exchange& exchange, FrameReader::Result result,
                         station::SupplyMaterialRsp& rsp, bool* answered);

  // Whose turn the link is: urgent waiters first. turn_mutex_ is never held
  // across an exchange; mutex_ is.
  class Turn {
   public:
    Turn(EmbeddedCommunicator& link, bool urgent);
    ~Turn();

   private:
    EmbeddedCommunicator& link_;
  };
  std::mutex turn_mutex_;
  std::condition_variable turn_free_;
  bool turn_taken_ = false;  // turn_mutex_
  int urgent_waiting_ = 0;   // turn_mutex_

  std::mutex mutex_;
  std::shared_ptr<TcpClient> client_;
  std::shared_ptr<DataUploadServer> data_upload_server_;
  int32_t last_request_id_ = 0;  // guarded by mutex_
  std::atomic<uint32_t> reconnects_{0};
  std::atomic<int64_t> busy_until_{0};
  std::atomic<uint64_t> refused_{0};
  std::atomic<uint64_t> unanswered_{0};
  std::atomic<bool> last_answered_{true};
  // Reply bytes of the current command connection, kept across commands so late
  // replies are recognised by seq_; guarded by mutex_.
  FrameReader reply_reader_{0};
  const TcpClient* reader_client_ = nullptr;
  int reader_sock_ = -1;
};

}  // namespace station_center
