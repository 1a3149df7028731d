#include "bottom/frame_codec.h"

namespace station_center {

bool EncodeFrame(const google::protobuf::MessageLite& msg, std::string* out) {
  const size_t size = msg.ByteSizeLong();
  if (size > 0xFFFF) {
    return false;
  }
  const size_t start = out->size();
  out->push_back(static_cast<char>(size & 0xFF));
  out->push_back(static_cast<char>((size >> 8) & 0xFF));
  if (!msg.AppendToString(out)) {
    out->resize(start);
    return false;
  }
  return true;
}

FrameReader::Result FrameReader::Next(std::string* payload) {
  if (buffer_.size() < 2) {
    return Result::kNeedMore;
  }
  // Check the length before waiting for (or allocating) the body.
  const size_t len = static_cast<uint8_t>(buffer_[0]) | (static_cast<size_t>(static_cast<uint8_t>(buffer_[1])) << 8);
  if (len > max_payload_) {
    return Result::kOversized;
  }
  if (buffer_.size() < len + 2) {
    return Result::kNeedMore;
  }
  payload->assign(buffer_, 2, len);
  buffer_.erase(0, len + 2);
  return Result::kFrame;
}

}  // namespace station_center
