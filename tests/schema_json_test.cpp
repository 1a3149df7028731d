#include <google/protobuf/util/json_util.h>
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include <string>

#include "robot/base_station_mqtt.pb.h"
#include "station/cmd.pb.h"
#include "station/station_report.pb.h"

namespace {

namespace mqtt = vantorel_base_station_mqtt;
using google::protobuf::Message;
using google::protobuf::util::JsonStringToMessage;
using google::protobuf::util::MessageDifferencer;

// How replies to the robot are printed: compact, defaults included, enums as numbers, lowerCamelCase names.
std::string ToRobotJson(const Message& msg) {
  google::protobuf::util::JsonPrintOptions options;
  options.add_whitespace = false;
  options.always_print_primitive_fields = true;
  options.always_print_enums_as_ints = true;
  options.preserve_proto_field_names = false;
  std::string out;
  return google::protobuf::util::MessageToJsonString(msg, &out, options).ok() ? out : "<print failed>";
}

// Prints `msg`, parses the text back with the default (strict) parse options and checks nothing was lost.
template <typename T>
std::string RoundTrip(const T& msg) {
  const std::string json = ToRobotJson(msg);
  T back;
  EXPECT_TRUE(JsonStringToMessage(json, &back).ok()) << json;
  EXPECT_TRUE(MessageDifferencer::Equals(msg, back)) << json;
  return json;
}

TEST(SchemaJsonTest, RobotMessagesRoundTrip) {
  mqtt::SupplyMaterialReq req;
  ASSERT_TRUE(JsonStringToMessage(R"({"reqHeader":{"msgId":{"uuid":"m1"},"robotId":{"uuid":"r1"}},)"
                                  R"("cmd":{"action":"ENUM_ACTION_STANDARD","supplyType":3,"duration":60}})",
                                  &req)
                  .ok());
  EXPECT_EQ(req.cmd().action(), mqtt::ENUM_ACTION_STANDARD);
  EXPECT_EQ(req.cmd().supply_type(), mqtt::ENUM_SUPPLY_WATERING);
  EXPECT_EQ(RoundTrip(req), R"({"reqHeader":{"msgId":{"uuid":"m1"},"robotId":{"uuid":"r1"}},)"
                            R"("cmd":{"action":2,"supplyType":3,"duration":60}})");

  mqtt::SupplyMaterialRsp rsp;
  EXPECT_EQ(RoundTrip(rsp), R"({"supplyType":0})") << "defaults print, unset messages do not";
  *rsp.mutable_rsp_header()->mutable_msg_id() = req.req_header().msg_id();
  *rsp.mutable_rsp_header()->mutable_robot_id() = req.req_header().robot_id();
  rsp.set_supply_type(mqtt::ENUM_SUPPLY_WATERING);
  EXPECT_EQ(RoundTrip(rsp),
            R"({"rspHeader":{"msgId":{"uuid":"m1"},"robotId":{"uuid":"r1"},"errCode":0,"errMsg":""},"supplyType":3})");

  mqtt::StationCheckRsp check;
  check.mutable_rsp_header()->set_err_code(vantorel_base_station_common::ENUM_DESERIALIZE_DATA_FAILED);
  check.mutable_rsp_header()->set_err_msg("req data convert to message failed");
  check.set_robot_check(mqtt::ENUM_READY);
  check.set_check_type(mqtt::ENUM_WATER_FINISH);
  EXPECT_EQ(RoundTrip(check), R"({"rspHeader":{"errCode":3,"errMsg":"req data convert to message failed"},)"
                              R"("robotCheck":1,"checkType":2})");
}

TEST(SchemaJsonTest, StrictParsingRejectsWhatTheSchemaDoesNotKnow) {
  const char* const bad[] = {
      R"({"cmd":{"action":2},"extra":1})",             // unknown field
      R"({"cmd":{"action":"ENUM_ACTION_LOUD"}})",      // unknown enum name
      R"({"cmd":{"action":"enum_action_standard"}})",  // enum names match exactly
      R"({"cmd":{"action":2})",                        // truncated
  };
  for (const char* json : bad) {
    mqtt::SupplyMaterialReq req;
    EXPECT_FALSE(JsonStringToMessage(json, &req).ok()) << json;
  }
}

TEST(SchemaJsonTest, OmittedSensorFieldsReadZero) {
  station::SensorsDataRep sent;
  sent.set_seq(9);
  station::SensorsDataRep got;
  ASSERT_TRUE(got.ParseFromString(sent.SerializeAsString()));
  EXPECT_EQ(got.seq(), 9u);
  EXPECT_EQ(got.cleantankuplevel(), 0u);
  EXPECT_FALSE(got.emergencystopstate());
  EXPECT_FALSE(got.issewageoverflow());
}

TEST(SchemaJsonTest, BoardCommandNamesKeepTheirTrailingUnderscore) {
  station::SupplyMaterialReq req;
  req.set_seq_(7);
  req.mutable_cmd_()->set_action_(1);
  req.mutable_cmd_()->set_supply_type_(station::ENUM_SUPPLY_UV_LAMP);
  EXPECT_EQ(req.ShortDebugString(), "seq_: 7 cmd_ { action_: 1 supply_type_: ENUM_SUPPLY_UV_LAMP }");

  google::protobuf::util::JsonPrintOptions options;
  options.preserve_proto_field_names = true;
  std::string json;
  ASSERT_TRUE(google::protobuf::util::MessageToJsonString(req, &json, options).ok());
  EXPECT_EQ(json, R"({"seq_":7,"cmd_":{"action_":1,"supply_type_":"ENUM_SUPPLY_UV_LAMP"}})");
  station::SupplyMaterialReq back;
  ASSERT_TRUE(JsonStringToMessage(json, &back).ok());
  EXPECT_TRUE(MessageDifferencer::Equals(req, back));
}

}  // namespace
