#pragma once

// The board's side of the command connection: it listens, takes the newest
// connection, carries out each command on the model and answers it as the
// fault switches say.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "bottom/frame_codec.h"
#include "sim/board_state.h"
#include "station/cmd.pb.h"

namespace station_sim {

// Open and CloseListener are called by the owner while Run is not running; Run
// is the command thread's body; the rest is safe from any thread.
class CommandLink {
 public:
  CommandLink(BoardState& board, std::string ip, uint16_t port);
  CommandLink(const CommandLink&) = delete;
  CommandLink& operator=(const CommandLink&) = delete;

  // Binds and listens; false (logged) when that fails.
  bool Open();
  void CloseListener();
  // Serves connections until the simulator stops.
  void Run();

  uint16_t port() const { return port_; }
  bool connected() const { return connected_; }
  uint32_t accepts() const { return accepts_; }
  // The commands received so far; board.mu held.
  std::vector<station::SupplyMaterialReq>& received() { return received_; }

 private:
  // A pending "close the command connection" request, carried out.
  void TakeCloseRequest();
  // Takes a new connection; false when there was none.
  bool Accept();
  // Reads what the daemon sent and handles every whole command in it.
  void Receive();
  void Disconnect();
  // Carries out one command and answers it; false when the connection is to be closed.
  bool HandleCommand(const std::string& payload);
  // Applies a decoded command to the model; board.mu held.
  void Carry(const station::SupplyMaterialReq& req, const Faults& f, station::SupplyMaterialRsp* rsp);
  // Writes the answer, or the stale one before or instead of it.
  bool WriteAnswer(const station::SupplyMaterialRsp& rsp, bool decoded, int32_t stale_seq, const Faults& f);

  BoardState& board_;
  const std::string ip_;
  const uint16_t requested_port_;
  int listen_fd_ = -1;  // owned by Open/CloseListener; read by Run in between

  // The command thread's own.
  int client_ = -1;
  station_center::FrameReader reader_;
  std::vector<char> buf_;

  // Guarded by board.mu.
  std::vector<station::SupplyMaterialReq> received_;
  int32_t last_seq_ = 0;
  bool have_last_seq_ = false;

  std::atomic<uint16_t> port_{0};
  std::atomic<bool> connected_{false};
  std::atomic<uint32_t> accepts_{0};
};

}  // namespace station_sim
