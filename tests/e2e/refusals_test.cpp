// What a robot is refused, and how: every refusal is a reply with an error code
// and a text, the station's hardware is left alone, and the station goes on serving.

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include <string>

#include "e2e/station_fixture.h"
#include "robot/base_station_mqtt.pb.h"

namespace station_test {
namespace {

namespace mqttpb = vantorel_base_station_mqtt;

using RefusalsTest = StationFixture;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(RefusalsTest, RobotNotInPosition) {
  const CtlResult pose = Robot({"check", "in-pose"});
  EXPECT_EQ(pose.exit_code, 1) << "no robot on the dock";
  EXPECT_TRUE(Has(pose.out, "robot_check: ENUM_NOT_READY")) << pose.out;

  const CtlResult uv = Robot({"supply", "uv-lamp", "--action", "standard", "--duration", "30"});
  EXPECT_EQ(uv.exit_code, 1) << "the UV lamp shines only on a docked robot";
  EXPECT_TRUE(Has(uv.out, "ENUM_ROBOT_NOT_IN_POSITION (24)")) << uv.out;
  EXPECT_TRUE(Has(uv.out, "robot not in station")) << uv.out;
  EXPECT_EQ(State().actuators, "all off") << "a refused supply commands nothing";

  // A robot that wants to stay but is not on the dock is told to go, and the
  // idle station takes it as the robot leaving: it resets itself.
  const int resets = State().board_resets;
  const CtlResult stay = Robot({"dock", "stay"});
  EXPECT_EQ(stay.exit_code, 1);
  EXPECT_TRUE(Has(stay.out, "robot_state: ENUM_OUT_STATION")) << stay.out;
  EXPECT_TRUE(Has(stay.out, "robot_desire: ENUM_ROBOT_DESIRE_GO_OUT")) << stay.out;
  EXPECT_TRUE(WaitForState([&](const SimState& s) { return s.board_resets > resets; }))
      << "the reset reached the board";
}

TEST_F(RefusalsTest, ConflictingAndUnreadyTasks) {
  Sim("dock");
  ASSERT_TRUE(RobotUntil({"check", "in-pose"}, 0));

  const CtlResult water = Robot({"supply", "watering", "--action", "standard", "--duration", "60"});
  EXPECT_EQ(water.exit_code, 1) << "no water has been prepared";
  EXPECT_TRUE(Has(water.out, "ENUM_WATER_PREPART_NOT_READY (28)")) << water.out;
  const CtlResult wire = Robot({"supply", "heating-wire", "--action", "standard"});
  EXPECT_EQ(wire.exit_code, 1) << "the heat wire needs the drying fan";
  EXPECT_TRUE(Has(wire.out, "ENUM_DRY_FAN_NOT_OPEN (25)")) << wire.out;

  ASSERT_EQ(Robot({"supply", "collect-dust", "--action", "standard"}).exit_code, 0);
  const CtlResult fan = Robot({"supply", "heating-fan", "--action", "standard"});
  EXPECT_EQ(fan.exit_code, 1) << "drying and dust collection exclude each other";
  EXPECT_TRUE(Has(fan.out, "ENUM_CONFLICT_WITH_DUST_COLLECTION (12)")) << fan.out;
  const CtlResult spray = Robot({"supply", "clean-pump", "--action", "standard"});
  EXPECT_EQ(spray.exit_code, 1) << "so do the self-clean spray and dust collection";
  EXPECT_TRUE(Has(spray.out, "ENUM_CONFLICT_WITH_DUST_COLLECTION (12)")) << spray.out;
  const CtlResult update = Robot({"supply", "collect-dust", "--action", "strong"});
  EXPECT_EQ(update.exit_code, 0) << "asking again for a running supply updates it";
  EXPECT_TRUE(Has(update.out, "already exist task, upload task info success")) << update.out;
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.actuators == "dust(7)"; }))
      << "only the dust fan runs; the refused supplies commanded nothing";

  ASSERT_EQ(Robot({"supply", "collect-dust", "--action", "stop"}).exit_code, 0);
  EXPECT_TRUE(RobotUntil({"supply", "heating-fan", "--action", "standard"}, 0, Seconds(30)))
      << "the conflict ends with the dust collection";
  EXPECT_TRUE(WaitForState([](const SimState& s) { return s.actuators == "fan(6)"; }));
}

TEST_F(RefusalsTest, StopsWithoutTaskUnknownSuppliesAndMalformedRequests) {
  const CtlResult stop = Robot({"supply", "collect-dust", "--action", "stop"});
  EXPECT_EQ(stop.exit_code, 0) << "stopping what is not running is answered without an error code";
  EXPECT_TRUE(Has(stop.out, "cancel task failed, because no task (task type : 6) running")) << stop.out;
  const CtlResult stop_prewater = Robot({"prewater", "--action", "stop"});
  EXPECT_EQ(stop_prewater.exit_code, 0);
  EXPECT_TRUE(Has(stop_prewater.out, "no task (task type : 1) running")) << stop_prewater.out;

  for (const char* type : {"prepare-disinfectant", "12", "invalid"}) {
    const CtlResult unknown = Robot({"supply", type, "--action", "standard"});
    EXPECT_EQ(unknown.exit_code, 1) << type << " is not a supply the station runs";
    EXPECT_TRUE(Has(unknown.out, "Unknown supply type")) << unknown.out;
  }

  struct Malformed {
    const char* topic;
    const char* payload;
    const char* why;
  };
  const Malformed cases[] = {
      {"supplyMaterialRequest",
       R"({"reqHeader":{"msgId":{"uuid":"m-1"}},"cmd":{"supplyType":"ENUM_SUPPLY_WATERING"},"speed":3})",
       "a field the schema does not know"},
      {"checkStation", R"({"reqHeader":{"msgId":{"uuid":"m-2"}},"checkType":)", "cut-off JSON"},
      {"dockState", R"({"reqHeader":{"msgId":{"uuid":"m-3"}},"robotDesire":"ENUM_ROBOT_DESIRE_FLY"})",
       "an enumeration name the schema does not know"},
      {"preWaterRequest", "not json at all", "no JSON"},
  };
  for (const Malformed& c : cases) {
    std::string reply;
    ASSERT_TRUE(RawRequest(c.topic, c.payload, &reply)) << c.why << ": every request gets a reply";
    // Every reply starts with the same header, so one reply type reads them all.
    mqttpb::SupplyMaterialRsp rsp;
    google::protobuf::util::JsonParseOptions lenient;
    lenient.ignore_unknown_fields = true;
    ASSERT_TRUE(google::protobuf::util::JsonStringToMessage(reply, &rsp, lenient).ok()) << reply;
    EXPECT_EQ(rsp.rsp_header().err_code(), 3) << c.why << ": ENUM_DESERIALIZE_DATA_FAILED";
    EXPECT_EQ(rsp.rsp_header().err_msg(), "req data convert to message failed") << c.why;
    EXPECT_EQ(rsp.rsp_header().msg_id().uuid(), "") << c.why << ": nothing of an undecodable request is echoed";
  }

  EXPECT_EQ(State().actuators, "all off") << "no refusal reached the hardware";
  Sim("dock");
  EXPECT_TRUE(RobotUntil({"check", "in-pose"}, 0)) << "the station still serves";
  EXPECT_EQ(Robot({"supply", "collect-dust", "--action", "standard"}).exit_code, 0);
}

}  // namespace
}  // namespace station_test
