// The sensor path: reports as the board would frame them, decoded and handed to
// the station core's sensor handler with the clock moving between them; the
// automation's commands go to a fake board, then one upload and one board watch
// run. Every report the core publishes must be a JSON object.
//
// Input: one byte of board behaviour (bit 0 refuses commands, bit 1 leaves them
// unanswered), then records of [seconds to move the clock][2-byte length][report].

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "station/station_report.pb.h"

using station_fuzz::Bytes;

namespace {

constexpr int kMaxReports = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  station_fuzz::CoreRig rig;
  Bytes in(data, size);
  const uint8_t board = in.U8();
  rig.board().set_refuse(board & 1);
  rig.board().set_silent(board & 2);
  for (int i = 0; i < kMaxReports && in.left() >= 3; ++i) {
    rig.clock().Advance(in.U8());
    const std::string frame = in.Take(in.U16());
    station::SensorsDataRep report;
    // The sensor server drops a frame that does not decode.
    if (report.ParseFromString(frame)) {
      rig.center().DataUploadCallback(report);
    }
  }
  rig.center().StationInfoUploadCloud();
  rig.center().SuperviseBoard();
  rig.center().AutoReset();
  return 0;
}
