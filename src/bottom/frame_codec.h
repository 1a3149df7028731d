#pragma once

#include <google/protobuf/message_lite.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "station/cmd.pb.h"

namespace station_center {

// Board-link framing: a 2-byte little-endian length L, then L bytes of one
// protobuf message. Used by the daemon and by the station simulator.

// The longest frame a 16-bit length can announce, prefix included.
constexpr size_t kMaxFrameBytes = 2 + 0xFFFF;

// The size of one read from the board for a configured receive buffer: at least
// a byte (a read of none would look like a hang-up), at most one longest frame
// (more never helps; a configured size near 4 GiB must not be allocated per read).
inline size_t ReadBufferSize(size_t configured) {
  return configured < 1 ? 1 : (configured > kMaxFrameBytes ? kMaxFrameBytes : configured);
}

// Appends the frame of `msg` to `out`; false if it cannot be serialised or is
// longer than a 16-bit length can say.
bool EncodeFrame(const google::protobuf::MessageLite& msg, std::string* out);

// Decodes the board's reply to a command. The error text is the board's own: bytes that
// are not UTF-8 (a firmware writing another encoding, or an unterminated buffer) are kept
// as "\xNN" instead of failing the reply, whose outcome is in the other fields.
// The seq_ of the command after the one that carried `last` (0: none yet), sent at
// `wall_seconds`: time-based as the board expects, yet strictly above `last`
// whatever the clock does, and wrapped to 1 past the 32-bit field (2038).
int32_t NextCommandId(int32_t last, int64_t wall_seconds);

bool DecodeBoardReply(const std::string& payload, station::SupplyMaterialRsp* rsp);

// Reassembles frames from a byte stream: a frame split over several reads is
// completed by the later ones, several frames in one read come out one by one.
// Not thread-safe; one reader per connection.
class FrameReader {
 public:
  enum class Result {
    kFrame,     // `payload` holds one whole message
    kNeedMore,  // no whole frame buffered yet
    kOversized  // the length prefix exceeds the limit: the stream is out of step
  };

  // `max_payload`: the largest length prefix accepted (the configured buffer size).
  explicit FrameReader(size_t max_payload) : max_payload_(max_payload) {}

  void Append(const char* data, size_t len) { buffer_.append(data, len); }
  Result Next(std::string* payload);
  void Clear() { buffer_.clear(); }
  size_t buffered() const { return buffer_.size(); }

 private:
  size_t max_payload_;
  std::string buffer_;
};

}  // namespace station_center
