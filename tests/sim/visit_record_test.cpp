// board_sim --record: every command the board receives, refused ones marked, and
// samples of the model that show what the daemon's reports show (pins included).

#include "sim/visit_record.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bottom/embedded_communicator.h"
#include "bottom/tcp_client.h"
#include "sim/control_server.h"
#include "support/test_support.h"

namespace station_sim {
namespace {

using station_test::WaitUntil;

std::vector<std::string> FileLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// The lines of `kind`, parsed; complete lines only (the simulator may be writing).
std::vector<std::shared_ptr<rapidjson::Document>> Of(const std::string& path, const std::string& kind) {
  std::vector<std::shared_ptr<rapidjson::Document>> out;
  for (const std::string& line : FileLines(path)) {
    auto doc = std::make_shared<rapidjson::Document>();
    if (!doc->Parse(line.c_str()).HasParseError() && (*doc)["kind"].GetString() == kind) {
      out.push_back(doc);
    }
  }
  return out;
}

TEST(VisitRecordTest, LinesAreJsonEvenForValuesJsonCannotHold) {
  station::SensorsDataRep s;
  s.set_heatingwiretemp(std::nanf(""));
  s.set_robotdockdetleft(1);
  s.set_robotdockdetright(1);
  s.set_negativepressure(-15000);
  rapidjson::Document doc;
  const std::string line = SensorRecordLine(12.5, s, 250.25);
  ASSERT_FALSE(doc.Parse(line.c_str()).HasParseError()) << line;
  EXPECT_TRUE(doc["heat_wire_c"].IsNull());
  EXPECT_DOUBLE_EQ(doc["tank_ml"].GetDouble(), 250.2);  // one decimal is plenty
  EXPECT_EQ(doc["pressure_pa"].GetInt(), -15000);
  EXPECT_TRUE(doc["docked"].GetBool());

  station::SupplyMaterialReq empty;
  station::SupplyMaterialRsp refused;
  refused.set_err_code_(station::ENUM_MESSAGE_EMPTY);
  const std::string none = CommandRecordLine(1, empty, refused);
  ASSERT_FALSE(doc.Parse(none.c_str()).HasParseError()) << none;
  EXPECT_FALSE(doc["ok"].GetBool());
}

TEST(VisitRecordTest, BoardSimRecordsCommandsAndSamples) {
  station_test::TempRoot root;
  const uint16_t command_port = station_test::FreeLoopbackPort();
  const std::string control = root.path() + "/ctl.sock";
  const std::string record = root.path() + "/board.jsonl";
  station_test::ChildProcess board;
  ASSERT_TRUE(board.Start(station_test::BuiltProgram("board_sim"),
                          {"--command-port", std::to_string(command_port), "--sensor-port", "0", "--no-console",
                           "--control", control, "--record", record},
                          {}, root.path() + "/board.log"));
  std::string answer;
  ASSERT_TRUE(
      WaitUntil([&] { return ControlRequest(control, "fault refuse uv on", &answer, 500); }, std::chrono::seconds(60)))
      << board.Log();
  auto client = std::make_shared<station_center::TcpClient>("127.0.0.1", command_port);
  ASSERT_TRUE(client->Init());
  station_center::EmbeddedCommunicator link;
  int32_t seq = 100;
  auto send = [&](station::EnumSupplyType type, int action) {
    station::SupplyMaterialReq req;
    req.set_seq_(++seq);
    req.mutable_cmd_()->set_supply_type_(type);
    req.mutable_cmd_()->set_action_(action);
    station::SupplyMaterialRsp rsp;
    return link.BottomReqNeedResp(client, req, rsp, 10);
  };
  EXPECT_TRUE(send(station::ENUM_SUPPLY_HEATING_FAN, 80));
  EXPECT_FALSE(send(station::ENUM_SUPPLY_UV_LAMP, 1));  // refused by the fault switch
  ASSERT_TRUE(ControlRequest(control, "pin electrodePlateTemp1 90", &answer)) << answer;
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& doc : Of(record, "sensors")) {
      if ((*doc)["plate1_c"].GetInt() == 90) return true;
    }
    return false;
  })) << board.Log();
  EXPECT_EQ(board.Stop(std::chrono::seconds(60)), 0) << board.Log();

  const auto commands = Of(record, "command");
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_STREQ((*commands[0])["actuator"].GetString(), "fan");
  EXPECT_EQ((*commands[0])["action"].GetInt(), 80);
  EXPECT_EQ((*commands[0])["seq"].GetInt(), 101);
  EXPECT_TRUE((*commands[0])["ok"].GetBool());
  EXPECT_STREQ((*commands[1])["actuator"].GetString(), "uv");
  EXPECT_FALSE((*commands[1])["ok"].GetBool());
  EXPECT_LE((*commands[0])["t"].GetDouble(), (*commands[1])["t"].GetDouble());
  // Samples keep coming while nothing else happens, not only on commands.
  EXPECT_GE(Of(record, "sensors").size(), 2u);
}

}  // namespace
}  // namespace station_sim
