#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "clock.h"
#include "config.h"
#include "mqtt/mqtt_client.h"
#include "mqtt/mqtt_peer.h"
#include "station_center.h"
#include "station_sensor.h"
#include "support/mosquitto.h"
#include "support/test_support.h"
#include "task/log_capture.h"

namespace station_center {
namespace {

const char* const kCloudTopic = "clean_robot_station/reportActively";
const char* const kRobotTopic = "clean_robot_station/S1/stationReport";
const std::string kHeader = R"("req_header":{"msg_id":{"uuid":"1"},"device_id":{"uuid":"S1"}})";
const std::string kReady =
    R"("ready_state":{"ntp_state":0,"sensor_state":0,"driver_state":0,"self_test_state":0},"online_time":0,)";

// A station core without a board, a broker and the cloud's and robot's view of the reports.
class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    station_test::Logs();
    root_.WriteFile("/usr/lib/vantorel-station-center/status/status.json",
                    "{\"dust_bag_last_replace_time\": " + std::to_string(NowSeconds()) + "}");
    ASSERT_TRUE(broker_.Start());
    saved_ = g_config;
    g_config.station_id = "S1";
    g_config.mqtt_server_address = broker_.address();
    ResetSensorAutomationForTest();
    MqttClient::Instance().ReconfigureForTest();
    ASSERT_TRUE(MqttClient::Instance().Init(nullptr));
    ASSERT_TRUE(peer_.Connect());
    ASSERT_TRUE(peer_.Subscribe("clean_robot_station/#"));
  }
  void TearDown() override {
    MqttClient::Instance().ReconfigureForTest();
    g_config = saved_;
  }

  // The next payload on `topic` with its clock readings checked and zeroed.
  std::string Next(const std::string& topic) {
    std::string payload;
    if (!peer_.Take(topic, &payload)) {
      return "nothing on " + topic;
    }
    rapidjson::Document doc;
    doc.Parse(payload.c_str());
    if (doc.HasMember("state_info")) {
      for (const char* key : {"current_time", "online_time"}) {
        auto& state = doc["state_info"];
        if (state.HasMember(key)) {
          EXPECT_NEAR(state[key].GetDouble(), static_cast<double>(NowSeconds()), 60.0) << key;
          state[key].SetUint(0);
        }
      }
    }
    rapidjson::StringBuffer out;
    rapidjson::Writer<rapidjson::StringBuffer> writer(out);
    doc.Accept(writer);
    return out.GetString();
  }

  station_test::TempRoot root_;
  station_test::MosquittoBroker broker_{0, true};
  Config saved_;
  std::shared_ptr<StationCenter> center_ = std::make_shared<StationCenter>();
  station_test::MqttPeer peer_{broker_.address(), "cloud"};
};

TEST_F(ReportTest, PeriodicReportsWithoutAbnormal) {
  center_->StationInfoUploadCloud();
  // Only the first report since start-up carries the ready state and the online time.
  EXPECT_EQ(Next(kCloudTopic), "{" + kHeader + R"(,"state_info":{"current_time":0,)" + kReady +
                                   R"("occupy_state":0,"work_state":{"manual_charge_state":0}}})");
  const std::string robot =
      R"({"rep_header":{"station_id":"S1"},"state_info":{"work_state":{"manual_charge_state":0}}})";
  EXPECT_EQ(Next(kRobotTopic), robot);
  center_->StationInfoUploadCloud();
  EXPECT_EQ(
      Next(kCloudTopic),
      "{" + kHeader + R"(,"state_info":{"current_time":0,"occupy_state":0,"work_state":{"manual_charge_state":0}}})");
  EXPECT_EQ(Next(kRobotTopic), robot);
}

TEST_F(ReportTest, SensorAbnormalIsUploadedAtOnce) {
  station::SensorsDataRep report;
  report.set_dustbagdet(1);
  report.set_dustboxcapdet(1);
  report.set_electrodeplatetemp1(90);
  report.set_heatingwiretemp(151.5f);
  report.set_handchargeinsidedet(false);
  report.set_robotdockdetleft(1);
  report.set_robotdockdetright(1);
  report.set_electrodeplatedet(1);
  center_->DataUploadCallback(report);
  // Two records, two immediate uploads; the second carries both conditions.
  Next(kCloudTopic);
  Next(kRobotTopic);
  EXPECT_EQ(
      Next(kCloudTopic),
      "{" + kHeader +
          R"(,"state_info":{"current_time":0,"occupy_state":1,"work_state":{"manual_charge_state":0,)"
          R"("abnormal_task_list":[{"task_id":16}]}},"abnormal_info":{"abnormal_sensor_list":[)"
          R"({"name":"electrode_plate_temp_up","data":"90","msg":"electrode_plate_up over temperature, limit is 78"},)"
          R"({"name":"heat_wire_temp_down","data":"151.500000","msg":"heat wire over temperature, limit is 150"}],)"
          R"("abnormal_sensor_num":2}})");
  EXPECT_EQ(Next(kRobotTopic),
            R"({"rep_header":{"station_id":"S1"},"state_info":{"work_state":{"manual_charge_state":0}}})");
}

// Truncating a NaN is undefined; a broken sensor must not pass for a cool wire.
TEST_F(ReportTest, UnreadableHeatWireTemperatureCountsAsTooHot) {
  station::SensorsDataRep report;
  report.set_dustbagdet(1);
  report.set_dustboxcapdet(1);
  report.set_heatingwiretemp(std::nanf(""));
  center_->DataUploadCallback(report);
  std::lock_guard<std::shared_mutex> lock(center_->task_data_mutex());
  EXPECT_TRUE(center_->task_data().AbnormalPresent(ABNORMAL_HEAT_WIRE_TEMP));
}

TEST_F(ReportTest, ConsumablesEmergencyAndRecordsWhileDisconnected) {
  {
    std::lock_guard<std::mutex> lock(center_->task_mutex());
    center_->AbnormalTaskRecord(ABNORMAL_TAP_WATER, TASK_TYPE_UV_LAMP);  // 13 is no task key
  }
  EXPECT_TRUE(station_test::Logs().Has("Unknown Abnormal task 13"));
  EXPECT_EQ(Next(kCloudTopic), "{" + kHeader + R"(,"state_info":{"current_time":0,)" + kReady +
                                   R"("occupy_state":0,"work_state":{"manual_charge_state":0}},)"
                                   R"("consumables_state":{"tap_water":1}})");
  EXPECT_EQ(Next(kRobotTopic), R"({"rep_header":{"station_id":"S1"},"state_info":{"work_state":)"
                               R"({"manual_charge_state":0}},"consumables_state":{"tap_water":1}})");

  // Recorded while the broker is away: kept, and carried by the next periodic upload.
  MqttClient::Instance().ReconfigureForTest();
  {
    std::lock_guard<std::mutex> lock(center_->task_mutex());
    center_->AbnormalTaskRecord(ABNORMAL_DUST_BAG_REPLACE, TASK_TYPE_SENSOR);
    std::lock_guard<std::shared_mutex> data_lock(center_->task_data_mutex());
    center_->task_data().emergency_stop_normal = false;
  }
  ASSERT_TRUE(MqttClient::Instance().Init(nullptr));
  center_->StationInfoUploadCloud();
  EXPECT_EQ(Next(kCloudTopic),
            "{" + kHeader +
                R"(,"state_info":{"current_time":0,"occupy_state":0,"work_state":{"manual_charge_state":0,)"
                R"("abnormal_task_list":[{"task_id":16}]}},"consumables_state":{"tap_water":1,"dust_bag":1},)"
                R"("abnormal_info":{"emergency_stop":1,"abnormal_sensor_num":0}})");
  EXPECT_EQ(Next(kRobotTopic), R"({"rep_header":{"station_id":"S1"},"state_info":{"work_state":)"
                               R"({"manual_charge_state":0}},"consumables_state":{"tap_water":1,"dust_bag":1},)"
                               R"("abnormal_info":{"emergency_stop":1}})");
}

TEST_F(ReportTest, RobotReportTopicWithoutStationIdIsNotPublished) {
  g_config.station_report_topic = "clean_robot_station/stationReport";
  center_->StationInfoUploadCloud();
  ASSERT_NE(Next(kCloudTopic), "nothing on clean_robot_station/reportActively");
  // Same connection, same order: anything published before the marker has arrived.
  MqttClient::Instance().Publish("clean_robot_station/marker", "{}", 1);
  ASSERT_TRUE(peer_.Take("clean_robot_station/marker", nullptr));
  for (const auto& got : peer_.callback().Snapshot()) {
    EXPECT_EQ(got.topic.find("stationReport"), std::string::npos) << got.topic;
  }
}

}  // namespace
}  // namespace station_center
