// The board link's frame reader, fed a byte stream cut at the input's points.
// Round trip: frames built from the input come back whole, in order, up to the
// first one longer than the limit, which is reported as out of step instead.
// Raw: any stream; every frame that comes out is exactly the bytes framed there.
// In both, the reader holds no more than one frame's worth once it asks for more.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bottom/frame_codec.h"
#include "fuzz_support.h"
#include "station/cmd.pb.h"

using station_center::FrameReader;
using station_fuzz::Bytes;
using station_fuzz::Check;

namespace {

using Result = FrameReader::Result;

// The next chunk's length: mostly small cuts, sometimes large merged reads;
// once the input is spent, the whole rest.
size_t NextCut(Bytes& in, size_t remaining) {
  if (in.left() == 0) {
    return remaining;
  }
  const uint8_t c = in.U8();
  const size_t cut = c < 200 ? c + 1u : (c - 199u) * 512u;
  return cut < remaining ? cut : remaining;
}

// A frame's length from its first two bytes.
size_t Prefix(const std::string& stream, size_t at) {
  return static_cast<uint8_t>(stream[at]) | (static_cast<size_t>(static_cast<uint8_t>(stream[at + 1])) << 8);
}

// Builds up to 16 frames: raw payloads, or reply messages framed by EncodeFrame.
std::vector<std::string> BuildFrames(Bytes& in, size_t max_payload, std::string* stream) {
  std::vector<std::string> frames;
  const int count = in.U8() % 17;
  for (int i = 0; i < count; ++i) {
    const uint8_t kind = in.U8();
    const size_t len = in.U16() % (max_payload + 64);
    std::string body = in.Take(len);
    body.resize(len, static_cast<char>(i));
    if (kind & 1) {
      for (char& c : body) {
        c = static_cast<char>(' ' + static_cast<uint8_t>(c) % 95);  // a string field takes UTF-8 only
      }
      station::SupplyMaterialRsp rsp;
      rsp.set_seq_(static_cast<int32_t>(kind) * 7919);
      rsp.set_err_msg_(body);
      const size_t before = stream->size();
      const bool framed = station_center::EncodeFrame(rsp, stream);
      Check(framed == (rsp.ByteSizeLong() <= 0xFFFF), "EncodeFrame refused a message that fits, or the reverse");
      Check(framed || stream->size() == before, "a refused frame left bytes behind");
      if (framed) {
        frames.push_back(rsp.SerializeAsString());
      }
      continue;
    }
    stream->push_back(static_cast<char>(len & 0xFF));
    stream->push_back(static_cast<char>(len >> 8));
    *stream += body;
    frames.push_back(body);
  }
  return frames;
}

// Feeds `stream` in the input's cuts; `on_frame` checks each frame and `on_out_of_step`
// the oversized report (after which the stream is given up); returns the bytes consumed.
template <typename OnFrame, typename OnOversized>
size_t Feed(Bytes& in, const std::string& stream, size_t max_payload, OnFrame on_frame, OnOversized on_oversized) {
  FrameReader reader(max_payload);
  size_t fed = 0;
  size_t consumed = 0;
  std::string payload;
  while (fed < stream.size()) {
    const size_t cut = NextCut(in, stream.size() - fed);
    reader.Append(stream.data() + fed, cut);
    fed += cut;
    for (;;) {
      const Result result = reader.Next(&payload);
      if (result == Result::kOversized) {
        Check(fed - consumed >= 2 && Prefix(stream, consumed) > max_payload, "oversized without a long prefix");
        on_oversized(consumed);
        return consumed;
      }
      if (result == Result::kNeedMore) {
        break;
      }
      Check(payload.size() <= max_payload, "a frame longer than the limit came out");
      on_frame(consumed, payload);
      consumed += payload.size() + 2;
    }
    Check(reader.buffered() == fed - consumed, "the reader lost or invented bytes");
    Check(reader.buffered() < max_payload + 2, "the reader holds more than one frame's worth");
    const size_t held = reader.buffered();
    Check(held < 2 || held < Prefix(stream, consumed) + 2, "a whole frame was left in the reader");
  }
  return consumed;
}

void RoundTrip(Bytes& in, size_t max_payload) {
  std::string stream;
  const std::vector<std::string> frames = BuildFrames(in, max_payload, &stream);
  size_t expect_oversized = frames.size();
  for (size_t i = 0; i < frames.size(); ++i) {
    if (frames[i].size() > max_payload) {
      expect_oversized = i;
      break;
    }
  }
  size_t next = 0;
  bool oversized = false;
  Feed(
      in, stream, max_payload,
      [&](size_t, const std::string& payload) {
        Check(next < expect_oversized && payload == frames[next], "a frame came back changed, or out of order");
        ++next;
      },
      [&](size_t) { oversized = true; });
  Check(next == expect_oversized, "frames went missing");
  Check(oversized == (expect_oversized < frames.size()), "the oversized frame was not reported");
}

void RawStream(Bytes& in, size_t max_payload) {
  // The cuts first, then the stream: the rest of the input.
  const std::string cut_bytes = in.Take(in.U8() % 64);
  Bytes cuts(reinterpret_cast<const uint8_t*>(cut_bytes.data()), cut_bytes.size());
  const std::string stream = in.Rest();
  const size_t consumed = Feed(
      cuts, stream, max_payload,
      [&](size_t at, const std::string& payload) {
        Check(Prefix(stream, at) == payload.size() && stream.compare(at + 2, payload.size(), payload) == 0,
              "a frame is not the bytes framed");
      },
      [](size_t) {});
  Check(consumed <= stream.size(), "consumed past the stream");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bytes in(data, size);
  const uint8_t mode = in.U8();
  const size_t max_payload = in.U16() % 4097;
  if (mode & 1) {
    RoundTrip(in, max_payload);
  } else {
    RawStream(in, max_payload);
  }
  return 0;
}
