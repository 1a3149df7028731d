// The direct JSON conversions against the library's: what they accept or print must
// come out exactly as the library's would, and the forms they leave to it must be left.

#include "mqtt/wire_json.h"

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "robot/base_station_mqtt.pb.h"
#include "station/station_report.pb.h"

namespace {

namespace pb = google::protobuf;
using Field = pb::FieldDescriptor;

// Values a printer gets wrong first: escapes, float and double rounding, subnormals.
void FillRandomly(pb::Message* msg, std::mt19937_64& rng, int depth) {
  const pb::Reflection* r = msg->GetReflection();
  for (int i = 0; i < msg->GetDescriptor()->field_count(); ++i) {
    const Field* f = msg->GetDescriptor()->field(i);
    const uint64_t bits = rng();
    double real = 0;
    std::memcpy(&real, &bits, sizeof(real));
    float single = 0;
    std::memcpy(&single, &bits, sizeof(single));
    switch (f->cpp_type()) {
      case Field::CPPTYPE_INT32:
        r->SetInt32(msg, f, static_cast<int32_t>(bits));
        break;
      case Field::CPPTYPE_UINT32:
        r->SetUInt32(msg, f, static_cast<uint32_t>(bits));
        break;
      case Field::CPPTYPE_ENUM:
        r->SetEnumValue(msg, f, static_cast<int>(bits % 40) - 20);
        break;
      case Field::CPPTYPE_BOOL:
        r->SetBool(msg, f, bits & 1);
        break;
      case Field::CPPTYPE_FLOAT:
        r->SetFloat(msg, f, bits & 2 ? single : static_cast<float>(bits % 100000) / 7);
        break;
      case Field::CPPTYPE_DOUBLE:
        r->SetDouble(msg, f, bits & 2 ? real : static_cast<double>(bits % 100000) / 7);
        break;
      case Field::CPPTYPE_STRING:
        r->SetString(msg, f, std::string("a\"<\\>\n\x01/'&z", bits % 12));
        break;
      case Field::CPPTYPE_MESSAGE:
        if (depth < 3 && !f->is_repeated()) {
          FillRandomly(r->MutableMessage(msg, f), rng, depth + 1);
        }
        break;
      default:
        break;
    }
  }
}

TEST(WireJsonTest, DirectPrintingIsTheLibrarysPrinting) {
  std::mt19937_64 rng(7);
  const pb::Message* types[] = {&vantorel_base_station_mqtt::PositionConfirmRsp::default_instance(),
                                &vantorel_base_station_mqtt::SupplyWaterReq::default_instance(),
                                &station::SensorsDataRep::default_instance()};
  int printed = 0;
  for (int i = 0; i < 3000; ++i) {
    std::unique_ptr<pb::Message> msg(types[i % 3]->New());
    FillRandomly(msg.get(), rng, 0);
    std::string library, direct;
    ASSERT_TRUE(pb::util::MessageToJsonString(*msg, &library, station_center::ReplyPrintOptions()).ok());
    if (station_center::PrintJsonDirect(*msg, &direct)) {
      ++printed;
      ASSERT_EQ(direct, library) << "the same message printed two ways";
    }
  }
  EXPECT_GT(printed, 2900) << "only NaN and infinities are left to the library";
}

TEST(WireJsonTest, DirectParsingReadsAsTheLibraryOrDeclines) {
  struct Row {
    const char* text;
    bool direct;
    const char* why;
  };
  const Row rows[] = {
      {R"({"reqHeader":{"msgId":{"uuid":"m-1"}},"robotState":1,"robotDesire":2})", true, "the robot's usual form"},
      {R"( {"req_header" : {"robot_id":{"uuid":"a\/b\"c"}} , "robot_state":"ENUM_IN_STATION"} )", true,
       "field names as declared, an enumeration by name, short escapes"},
      {R"({"robotState":77})", true, "an enumeration number this station does not know is still a number"},
      {R"({"robotState":"NO_SUCH_STATE"})", false, "the library refuses an unknown name"},
      {R"({"robotState":null})", false, "null"},
      {R"({"robotState":1,"robotState":2})", false, "a repeated key"},
      {R"({"robotState":1.0})", false, "a number with a fraction"},
      {R"({"reqHeader":{"msgId":{"uuid":"\u00e9"}}})", false, "a \\u escape"},
      {"{\"reqHeader\":{\"msgId\":{\"uuid\":\"\xc3\xa9\"}}}", false, "bytes past ASCII"},
      {R"({"robotState":1} x)", false, "text after the object"},
      {R"({"nosuch":1})", false, "an unknown field"},
  };
  for (const Row& row : rows) {
    vantorel_base_station_mqtt::PositionConfirmReq direct, library;
    const bool read = pb::util::JsonStringToMessage(row.text, &library).ok();
    EXPECT_EQ(station_center::ParseJsonDirect(row.text, &direct), row.direct) << row.why;
    if (row.direct) {
      EXPECT_TRUE(read && direct.SerializeAsString() == library.SerializeAsString()) << row.why;
    }
    vantorel_base_station_mqtt::PositionConfirmReq wire;
    EXPECT_EQ(station_center::ParseWireJson(row.text, &wire), read) << row.why << ": the library decides the rest";
  }
}

}  // namespace
