#include "bottom/frame_codec.h"

#include <gtest/gtest.h>

#include "station/cmd.pb.h"

namespace station_center {
namespace {

TEST(FrameCodec, EncodesTheSewagePumpCloseCommandByteExact) {
  station::SupplyMaterialReq req;
  req.set_seq_(1);
  req.mutable_cmd_()->set_action_(0);
  req.mutable_cmd_()->set_supply_type_(station::ENUM_SUPPLY_SEWAGE_PUMP);
  std::string frame;
  ASSERT_TRUE(EncodeFrame(req, &frame));
  EXPECT_EQ(frame, std::string("\x06\x00\x08\x01\x12\x02\x10\x04", 8));
}

}  // namespace
}  // namespace station_center
