// stationctl against a real broker and a scripted station: what it publishes,
// how it reads the station's answers, and its exit codes.

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ctl_messages.h"
#include "robot/base_station_cloud.pb.h"
#include "robot/base_station_mqtt.pb.h"
#include "support/mosquitto.h"
#include "support/test_support.h"
#include "tools/stationctl_fixture.h"

namespace station_test {
namespace {

namespace mqttpb = vantorel_base_station_mqtt;
namespace cloudpb = vantorel_base_station_cloud;

constexpr const char* kStation = "station-t1";

std::string Header(const std::string& msg_id, int err_code, const std::string& err_msg) {
  return R"({"rspHeader":{"msgId":{"uuid":")" + msg_id + R"("},"robotId":{"uuid":"stationctl"},"errCode":)" +
         std::to_string(err_code) + R"(,"errMsg":")" + err_msg + R"("})";
}

// The station's strict reading: unknown fields are an error.
template <typename T>
bool StationParses(const std::string& json, T* out) {
  return google::protobuf::util::JsonStringToMessage(json, out).ok();
}

class StationctlTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(broker_.Start()) << broker_.Log(); }

  // Starts a scripted station that answers with `responder`.
  void Answer(ScriptedStation::Responder responder) {
    station_ = std::make_unique<ScriptedStation>(broker_.address(), kStation, std::move(responder));
    ASSERT_TRUE(station_->Connect());
  }

  std::vector<std::string> Args(std::vector<std::string> args, const std::string& timeout = "20") {
    args.insert(args.end(), {"--broker", broker_.address(), "--station", kStation, "--timeout", timeout});
    return args;
  }

  // The only request the scripted station received, on the expected topic.
  Seen OnlyRequest(const std::string& topic) {
    const auto got = station_->Received();
    EXPECT_EQ(got.size(), 1u);
    if (got.empty()) {
      return {};
    }
    EXPECT_EQ(got[0].topic, std::string("clean_robot_station/") + kStation + "/" + topic);
    return got[0];
  }

  MosquittoBroker broker_;
  std::unique_ptr<ScriptedStation> station_;
};

TEST_F(StationctlTest, SupplyAcceptedPublishesTheRobotsRequest) {
  Answer([](const Seen& req) {
    return std::vector<std::string>{Header(RequestMsgId(req.payload), 0, "") + R"(,"supplyType":3})"};
  });
  const CtlResult r = RunCtl(Args({"supply", "watering", "--action", "strong", "--duration", "42"}));
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("accepted"), std::string::npos) << r.out;

  const Seen req = OnlyRequest("supplyMaterialRequest");
  // The robot's JSON form: lowerCamelCase names, as the station's parser expects.
  for (const char* name : {"\"reqHeader\"", "\"msgId\"", "\"robotId\"", "\"supplyType\"", "\"action\""}) {
    EXPECT_NE(req.payload.find(name), std::string::npos) << name << " missing in " << req.payload;
  }
  mqttpb::SupplyMaterialReq parsed;
  ASSERT_TRUE(StationParses(req.payload, &parsed)) << req.payload;
  EXPECT_EQ(parsed.cmd().supply_type(), mqttpb::ENUM_SUPPLY_WATERING);
  EXPECT_EQ(parsed.cmd().action(), mqttpb::ENUM_ACTION_STRONG);
  EXPECT_EQ(parsed.cmd().duration(), 42);
  EXPECT_EQ(parsed.req_header().robot_id().uuid(), "stationctl");
  EXPECT_EQ(parsed.req_header().msg_id().uuid().size(), 36u) << "a fresh uuid per request";
}

TEST_F(StationctlTest, RefusalExitsOneAndNamesTheErrorCode) {
  Answer([](const Seen& req) {
    return std::vector<std::string>{Header(RequestMsgId(req.payload), 15, "add water task is running") +
                                    R"(,"supplyType":7})"};
  });
  const CtlResult r = RunCtl(Args({"supply", "collect-dust", "--action", "standard"}));
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  // A technician reads the name and the station's text, not just a number.
  EXPECT_NE(r.out.find("ENUM_CONFLICT_WITH_ADD_WATER (15)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("add water task is running"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("ENUM_SUPPLY_COLLECT_DUST"), std::string::npos) << r.out;
}

TEST_F(StationctlTest, SilenceAndAMissingBrokerExitThree) {
  Answer([](const Seen&) { return std::vector<std::string>{}; });
  const CtlResult silent = RunCtl(Args({"check", "in-pose"}, "1"));
  EXPECT_EQ(silent.exit_code, 3) << silent.out << silent.err;
  EXPECT_NE(silent.err.find("no reply"), std::string::npos) << silent.err;

  const std::string nowhere = "127.0.0.1:" + std::to_string(FreeLoopbackPort());
  const CtlResult unreachable = RunCtl({"dock", "leave", "--broker", nowhere, "--station", kStation, "--timeout", "5"});
  EXPECT_EQ(unreachable.exit_code, 3) << unreachable.out << unreachable.err;
}

TEST_F(StationctlTest, OnlyTheReplyWithTheRequestsMsgIdCounts) {
  // Another robot's refusal arrives first on the same reply topic.
  Answer([](const Seen& req) {
    return std::vector<std::string>{Header("someone-else", 5, "station in emergency stop status") + "}",
                                    Header(RequestMsgId(req.payload), 0, "") + "}"};
  });
  const CtlResult r = RunCtl(Args({"prewater", "--tablets", "2", "--volume", "500"}));
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("ENUM_EMERGENCY_STOP_PRESSED"), std::string::npos) << r.out;

  mqttpb::PrepareDisinfectantReq parsed;
  ASSERT_TRUE(StationParses(OnlyRequest("preWaterRequest").payload, &parsed));
  EXPECT_EQ(parsed.cmd().disinfection_tablets_num(), 2);
  EXPECT_EQ(parsed.cmd().water_volume(), 500);
  EXPECT_EQ(parsed.cmd().action_cmd().action(), mqttpb::ENUM_ACTION_STANDARD);
  EXPECT_EQ(parsed.cmd().action_cmd().supply_type(), mqttpb::ENUM_SUPPLY_PREPARE_DISINFECTANT);
}

TEST_F(StationctlTest, ChecksAndDockAnswersWithoutErrorCodeCanStillRefuse) {
  struct Case {
    std::vector<std::string> args;
    std::string body;  // reply fields after the header
    int exit_code;
    const char* why;
  };
  const std::vector<Case> cases = {
      {{"check", "water-ready"}, R"(,"robotCheck":1,"checkType":1})", 0, "ready is a yes"},
      {{"check", "in-pose"}, R"(,"robotCheck":0,"checkType":0})", 1, "not ready is a no"},
      {{"dock", "leave"}, R"(,"robotState":2,"robotDesire":2})", 0, "leave echoed: the robot may go"},
      {{"dock", "leave"}, R"(,"robotState":2,"robotDesire":1})", 1, "STAY_IN: a task still runs"},
      {{"dock", "stay"}, R"(,"robotState":1,"robotDesire":2})", 1, "not in position: sent away"},
  };
  for (const Case& c : cases) {
    Answer(
        [&c](const Seen& req) { return std::vector<std::string>{Header(RequestMsgId(req.payload), 0, "") + c.body}; });
    const CtlResult r = RunCtl(Args(c.args));
    EXPECT_EQ(r.exit_code, c.exit_code) << c.why << "\n" << r.out << r.err;
    station_.reset();
  }
}

TEST_F(StationctlTest, DockAndCheckRequestsCarryTheRobotsWish) {
  Answer([](const Seen& req) {
    return std::vector<std::string>{Header(RequestMsgId(req.payload), 0, "") + R"(,"robotState":2,"robotDesire":1})"};
  });
  ASSERT_EQ(RunCtl(Args({"dock", "stay", "--robot-state", "out"})).exit_code, 0);
  mqttpb::PositionConfirmReq parsed;
  ASSERT_TRUE(StationParses(OnlyRequest("dockState").payload, &parsed));
  EXPECT_EQ(parsed.robot_desire(), mqttpb::ENUM_ROBOT_DESIRE_STAY_IN);
  EXPECT_EQ(parsed.robot_state(), mqttpb::ENUM_OUT_STATION);
}

TEST_F(StationctlTest, UsageErrorsExitTwoAndPublishNothing) {
  Answer([](const Seen&) { return std::vector<std::string>{}; });
  const std::vector<std::vector<std::string>> bad = {
      {"frobnicate"},
      {"supply", "espresso", "--action", "soft"},
      {"supply", "watering"},  // no --action
      {"supply", "watering", "--action", "gentle"},
      {"prewater", "--tablets", "2"},  // no --volume
      {"check", "in-pose", "--tablets", "2"},
      {"cloud-reply", "--dust-bag", "2"},
      {"watch", "--count", "0"},
  };
  for (const auto& args : bad) {
    const CtlResult r = RunCtl(Args(args));
    EXPECT_EQ(r.exit_code, 2) << args[0] << " " << (args.size() > 1 ? args[1] : "") << "\n" << r.err;
  }
  EXPECT_TRUE(station_->Received().empty()) << "a usage error must not reach the station";
}

TEST(StationctlHelp, EveryCommandHasHelp) {
  for (const char* command : {"check", "dock", "prewater", "supply", "cloud-reply", "watch"}) {
    const CtlResult r = RunCtl({command, "--help"});
    EXPECT_EQ(r.exit_code, 0) << command;
    EXPECT_NE(r.out.find(std::string("usage: stationctl ") + command), std::string::npos) << r.out;
  }
  const CtlResult top = RunCtl({"--help"});
  EXPECT_EQ(top.exit_code, 0);
  EXPECT_NE(top.out.find("exit status"), std::string::npos);
}

TEST_F(StationctlTest, CloudReplyCarriesTheConsumableFlags) {
  Answer([](const Seen&) { return std::vector<std::string>{}; });
  ASSERT_EQ(RunCtl(Args({"cloud-reply", "--dust-bag", "1"})).exit_code, 0);
  // All flags 0 must still send the state: the station ignores a reply without one.
  ASSERT_EQ(RunCtl(Args({"cloud-reply"})).exit_code, 0);
  ASSERT_TRUE(WaitUntil([this] { return station_->Received().size() == 2; }));

  const auto got = station_->Received();
  cloudpb::BaseStationInfoReportRsp first;
  cloudpb::BaseStationInfoReportRsp second;
  ASSERT_EQ(got[0].topic, std::string("clean_robot_station/") + kStation + "/reportActivelyRe");
  ASSERT_TRUE(StationParses(got[0].payload, &first)) << got[0].payload;
  ASSERT_TRUE(StationParses(got[1].payload, &second)) << got[1].payload;
  EXPECT_EQ(first.consumables_reply_state().dust_bag(), 1);
  EXPECT_EQ(first.consumables_reply_state().tap_water(), 0);
  EXPECT_TRUE(second.has_consumables_reply_state());
  EXPECT_EQ(first.rsp_header().device_id().uuid(), kStation);
}

TEST_F(StationctlTest, WatchShowsRepliesReportsAndUploadsAsTheyArrive) {
  Answer([](const Seen&) { return std::vector<std::string>{}; });
  CtlProcess watch(Args({"watch", "--count", "3", "--for", "60"}));
  ASSERT_TRUE(watch.started());
  // Publishing before the subscription is in place would lose the messages.
  ASSERT_TRUE(WaitUntil([&] { return watch.Out().find("watching") != std::string::npos; }, std::chrono::seconds(30)))
      << watch.Out();

  const std::string base = std::string("clean_robot_station/") + kStation;
  ASSERT_TRUE(station_->Publish(base + "/supplyMaterialRequestRe", Header("x", 12, "dust collecting") + "}"));
  ASSERT_TRUE(station_->Publish(base + "/stationReport",
                                R"({"rep_header":{"station_id":"station-t1"},"state_info":{"work_state":)"
                                R"({"manual_charge_state":0}},"consumables_state":{"tap_water":1}})"));
  ASSERT_TRUE(station_->Publish("clean_robot_station/reportActively",
                                R"({"req_header":{"msg_id":{"uuid":"1"},"device_id":{"uuid":"station-t1"}},)"
                                R"("state_info":{"current_time":5,"occupy_state":1,"work_state":)"
                                R"({"manual_charge_state":0,"abnormal_task_list":[{"task_id":16}]}}})"));
  const CtlResult r = watch.Finish();
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("ENUM_CONFLICT_WITH_DUST_COLLECTION (12)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("short of tap_water"), std::string::npos) << "the robot report is summarised\n" << r.out;
  EXPECT_NE(r.out.find("busy"), std::string::npos) << "the upload is summarised\n" << r.out;
  EXPECT_NE(r.out.find("abnormal tasks 16"), std::string::npos) << r.out;
}

TEST_F(StationctlTest, WatchThatSeesTooLittleExitsThree) {
  const CtlResult r = RunCtl(Args({"watch", "--count", "1", "--for", "1"}));
  EXPECT_EQ(r.exit_code, 3) << r.out << r.err;
}

TEST(StationctlMessages, SupplyNamesMapToTheRobotsNumbers) {
  const std::vector<std::pair<const char*, int>> expected = {
      {"charging", 2},
      {"watering", 3},
      {"sewage-pump", 4},
      {"heating-wire", 5},
      {"heating-fan", 6},
      {"collect-dust", 7},
      {"clean-pump", 8},
      {"uv-lamp", 9},
      {"water-no-limit", 10},
      {"clean-suction-rake", 11},
      {"prepare-disinfectant", 1},
  };
  for (const auto& [name, number] : expected) {
    mqttpb::EnumSupplyType type = mqttpb::ENUM_SUPPLY_INVALID;
    ASSERT_TRUE(stationctl::ParseSupplyType(name, &type)) << name;
    EXPECT_EQ(static_cast<int>(type), number) << name;
  }
  mqttpb::EnumSupplyType type;
  EXPECT_TRUE(stationctl::ParseSupplyType("ENUM_SUPPLY_UV_LAMP", &type));
  EXPECT_EQ(type, mqttpb::ENUM_SUPPLY_UV_LAMP);
  EXPECT_FALSE(stationctl::ParseSupplyType("uv", &type));
}

TEST(StationctlMessages, ReindentKeepsStringsAndOrder) {
  // Separators inside strings are text, not structure.
  const std::string out = stationctl::ReindentJson(R"({"b":"x,{y}:z","a":[],"c":[1,2]})", 0);
  EXPECT_EQ(out, "{\n\"b\": \"x,{y}:z\",\n\"a\": [],\n\"c\": [\n1,\n2\n]\n}\n");
}

}  // namespace
}  // namespace station_test
