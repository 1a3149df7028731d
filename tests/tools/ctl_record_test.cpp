// stationctl record: what it writes for each kind of message, and that it ends
// cleanly on a signal with every line on disk.

#include "ctl_record.h"

#include <gtest/gtest.h>
#include <mqtt/async_client.h>
#include <rapidjson/document.h>
#include <signal.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/ctl_process.h"
#include "support/mosquitto.h"
#include "support/test_support.h"

namespace station_test {
namespace {

using std::chrono::seconds;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

TEST(CtlRecord, LinesKeepJsonPayloadsAsJsonAndAnythingElseAsAString) {
  rapidjson::Document doc;
  // Pretty-printed JSON is compacted: one message, one line (the other fields:
  // RecordsEveryKindUntilSignalledAndExitsZero).
  const std::string line =
      stationctl::RecordLine(1718000000.125, "a/b", "reply", "{\n  \"x\": [1, 2],\n  \"y\": \"z\"\n}");
  EXPECT_EQ(line.find('\n'), std::string::npos);
  ASSERT_FALSE(doc.Parse(line.c_str()).HasParseError()) << line;
  EXPECT_EQ(doc["payload"]["x"][1].GetInt(), 2);

  // Not JSON (or JSON with something after it): kept whole, escaped as a string.
  for (const std::string& bad : {std::string("not \"json\"\n\x01"), std::string("{} {}"), std::string("")}) {
    const std::string kept = stationctl::RecordLine(1, "t", "other", bad);
    ASSERT_FALSE(doc.Parse(kept.c_str()).HasParseError()) << kept;
    ASSERT_TRUE(doc["payload"].IsString()) << kept;
    EXPECT_EQ(std::string(doc["payload"].GetString(), doc["payload"].GetStringLength()), bad);
  }

  // A station id with characters JSON must escape still makes a valid first line.
  const std::string start = stationctl::StartLine(2, "st\"1", "127.0.0.1:1883");
  ASSERT_FALSE(doc.Parse(start.c_str()).HasParseError()) << start;
  EXPECT_STREQ(doc["kind"].GetString(), "start");
  EXPECT_STREQ(doc["payload"]["station"].GetString(), "st\"1");
}

TEST(CtlRecord, RecordsEveryKindUntilSignalledAndExitsZero) {
  MosquittoBroker broker;
  ASSERT_TRUE(broker.Start()) << broker.Log();
  CtlProcess record({"--broker", broker.address(), "--station", "s9", "record", "-"});
  ASSERT_TRUE(record.started());
  // The first line is written once the subscriptions are granted.
  ASSERT_TRUE(WaitUntil([&] { return record.Out().find("\"kind\":\"start\"") != std::string::npos; }));

  mqtt::async_client publisher("tcp://" + broker.address(), "record-test-publisher");
  ASSERT_TRUE(publisher.connect()->wait_for(seconds(20)));
  const std::vector<std::pair<std::string, std::string>> sent = {
      {"clean_robot_station/s9/checkStation", "request"},
      {"clean_robot_station/s9/checkStationRe", "reply"},
      {"clean_robot_station/s9/stationReport", "report"},
      {"clean_robot_station/reportActively", "upload"},
      {"clean_robot_station/s9/reportActivelyRe", "cloud-reply"},
      {"clean_robot_station/s9/availability", "availability"},
      {"clean_robot_station/other/checkStationRe", ""},  // another station's: not recorded
  };
  for (const auto& [topic, kind] : sent) {
    ASSERT_TRUE(publisher.publish(topic, R"({"n":")" + kind + R"("})", 1, false)->wait_for(seconds(20)));
  }
  ASSERT_TRUE(WaitUntil([&] { return Lines(record.Out()).size() >= 7; }));
  publisher.disconnect()->wait_for(seconds(5));

  ASSERT_TRUE(record.Signal(SIGTERM));
  const CtlResult result = record.Finish();
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.err.find("6 messages recorded"), std::string::npos) << result.err;
  const std::vector<std::string> lines = Lines(result.out);
  ASSERT_EQ(lines.size(), 7u) << result.out;
  double last_t = 0;
  for (size_t i = 1; i < lines.size(); ++i) {
    rapidjson::Document doc;
    ASSERT_FALSE(doc.Parse(lines[i].c_str()).HasParseError()) << lines[i];
    EXPECT_EQ(std::string(doc["topic"].GetString()), sent[i - 1].first);
    EXPECT_EQ(std::string(doc["kind"].GetString()), sent[i - 1].second);
    EXPECT_EQ(std::string(doc["payload"]["n"].GetString()), sent[i - 1].second);
    EXPECT_GE(doc["t"].GetDouble(), last_t);
    last_t = doc["t"].GetDouble();
  }
}

}  // namespace
}  // namespace station_test
