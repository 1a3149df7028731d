// The request schemas of the MQTT contract (docs/asyncapi.yaml) against the station's own
// parser. The messages of the other scenarios are checked by their fixture.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "e2e/station_fixture.h"

namespace station_test {
namespace {

using ContractTest = StationFixture;

// What the schemas allow the station reads, what they refuse it answers with error 3 (the
// request could not be read); every reply, the refusals included, matches its schema; and
// the validator is no vacuous pass.
TEST_F(ContractTest, RequestSchemasAgreeWithTheStationsParser) {
  check_contract_ = false;  // sends what the contract forbids
  const std::vector<Message> probes = {
      {"checkStation", R"({"reqHeader":{"msgId":{"uuid":"p1"},"robotId":{"uuid":"r1"}},"checkType":2})"},
      {"checkStation", R"({"req_header":{"msg_id":{"uuid":"p2"}},"check_type":"ENUM_WATER_FINISH"})"},
      {"checkStation", "{}"},
      {"dockState", R"({"reqHeader":{"msgId":{"uuid":"p3"}},"robotState":"ENUM_IN_STATION","robotDesire":0})"},
      {"preWaterRequest", R"({"cmd":{"actionCmd":{"action":"ENUM_ACTION_STOP"},"water_volume":1}})"},
      {"supplyMaterialRequest", R"({"cmd":{"action":4,"supply_type":"ENUM_SUPPLY_UV_LAMP","duration":0}})"},
      {"checkStation", R"({"checkType":"ENUM_BOGUS"})"},
      {"checkStation", R"({"checkType":1,"unexpected":true})"},
      {"checkStation", R"({"reqHeader":{"msgId":{"uuid":5}}})"},
      {"checkStation", "[]"},
      {"checkStation", "not json"},
      {"dockState", R"({"robotDesire":1.5})"},
      {"preWaterRequest", R"({"cmd":{"waterVolume":true}})"},
      {"supplyMaterialRequest", R"({"cmd":{"duration":2147483648}})"},
      {"supplyMaterialRequest", R"({"cmd":{"supplyType":"enum_supply_uv_lamp"}})"},
  };
  const std::string dir = station_.root.path();
  const std::vector<std::string> station = {"--station", station_.station_id};
  std::vector<Message> sent;
  std::vector<bool> read;
  for (const auto& [name, payload] : probes) {
    const size_t from = capture_.Size();
    ASSERT_TRUE(capture_.Publish(StationTopic(name), payload));
    std::string reply;
    ASSERT_TRUE(capture_.Await(StationTopic(name) + "Re", from, &reply)) << payload;
    sent.emplace_back(StationTopic(name), payload);
    read.push_back(!Has(reply, R"("errCode":3)"));
  }
  const Verdicts v = Validate(dir, "probes", sent, station);
  ASSERT_EQ(v.ok.size(), sent.size()) << v.output;
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(v.ok[i], read[i]) << sent[i].second << (read[i] ? ": read by the station" : ": refused by the station")
                                << (v.ok[i] ? ", allowed by its schema" : ", refused by its schema");
  }

  std::vector<Message> replies;
  for (const Message& m : capture_.Messages()) {
    if (m.first.size() > 2 && m.first.compare(m.first.size() - 2, 2, "Re") == 0) replies.push_back(m);
  }
  const Verdicts r = Validate(dir, "replies", replies, station);
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(r.ok.size(), replies.size()) << r.output;

  // On every topic the station used, a field its schema does not know and a payload that is
  // no object fail, and so does a topic outside the document.
  std::vector<Message> tampered;
  std::set<std::string> topics;
  for (const auto& [topic, payload] : capture_.Messages()) {
    if (!topics.insert(topic).second || payload.size() < 2 || payload[0] != '{' || payload == "{}") continue;
    tampered.emplace_back(topic, R"({"unexpected":1,)" + payload.substr(1));
    tampered.emplace_back(topic, "[]");
  }
  tampered.emplace_back(StationTopic("checkStationReply"), "{}");
  const Verdicts bad = Validate(dir, "tampered", tampered, station);
  EXPECT_EQ(bad.exit_code, 1) << bad.output;
  EXPECT_EQ(bad.ok, std::vector<bool>(tampered.size(), false)) << bad.output;
}

}  // namespace
}  // namespace station_test
