#include "bottom/frame_codec.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wire_format_lite.h>

#include <cstdio>
#include <limits>

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

namespace {

using google::protobuf::internal::WireFormatLite;

// Length of the well-formed UTF-8 sequence at `at`, 0 when there is none.
size_t Utf8SequenceAt(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(at);
  if (lead < 0x80) {
    return 1;
  }
  size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
  }
  if (length == 0 || at + length > text.size()) {
    return 0;
  }
  // The second byte's range excludes overlong forms, surrogates and code points past U+10FFFF.
  const uint8_t low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  const uint8_t high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  if (byte(at + 1) < low || byte(at + 1) > high) {
    return 0;
  }
  for (size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) {
      return 0;
    }
  }
  return length;
}

std::string ValidUtf8(const std::string& text) {
  std::string out;
  for (size_t at = 0; at < text.size();) {
    const size_t length = Utf8SequenceAt(text, at);
    if (length == 0) {
      char escaped[5];
      std::snprintf(escaped, sizeof(escaped), "\\x%02X", static_cast<uint8_t>(text[at]));
      out += escaped;
      ++at;
    } else {
      out.append(text, at, length);
      at += length;
    }
  }
  return out;
}

}  // namespace

bool DecodeBoardReply(const std::string& payload, station::SupplyMaterialRsp* rsp) {
  rsp->Clear();
  google::protobuf::io::CodedInputStream in(reinterpret_cast<const uint8_t*>(payload.data()),
                                            static_cast<int>(payload.size()));
  for (uint32_t tag = in.ReadTag(); tag != 0; tag = in.ReadTag()) {
    const int field = WireFormatLite::GetTagFieldNumber(tag);
    const WireFormatLite::WireType type = WireFormatLite::GetTagWireType(tag);
    uint64_t number = 0;
    std::string text;
    if ((field == 1 || field == 2) && type == WireFormatLite::WIRETYPE_VARINT) {
      if (!in.ReadVarint64(&number)) {
        return false;
      }
      if (field == 1) {
        rsp->set_seq_(static_cast<int32_t>(number));
      } else {
        rsp->set_err_code_(static_cast<station::EnumErrCode>(static_cast<int32_t>(number)));
      }
    } else if (field == 3 && type == WireFormatLite::WIRETYPE_LENGTH_DELIMITED) {
      if (!WireFormatLite::ReadBytes(&in, &text)) {
        return false;
      }
      rsp->set_err_msg_(ValidUtf8(text));
    } else if (field == 0 || !WireFormatLite::SkipField(&in, tag)) {
      return false;  // skipped like the generated parser skips unknown fields and wire types
    }
  }
  return in.ConsumedEntireMessage();
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

int32_t NextCommandId(int32_t last, int64_t wall_seconds) {
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  const int64_t time_based = wall_seconds < 1 ? 1 : (wall_seconds - 1) % kMax + 1;
  if (last <= 0) {
    return static_cast<int32_t>(time_based);
  }
  if (last == kMax) {
    return 1;
  }
  // Ahead of `last` by less than half the field: the clock moved on (or forward).
  // Otherwise it went back, or the ids have just wrapped: count on from `last`.
  const bool moved_on = time_based > last && time_based - last < kMax / 2;
  return static_cast<int32_t>(moved_on ? time_based : last + 1);
}

}  // namespace station_center
