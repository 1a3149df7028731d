#include "mqtt/mqtt_callback.h"

#include <exception>
#include <utility>

#include "error_codes.h"
#include "logger.h"
#include "mqtt/wire_json.h"
#include "task/task_policy.h"

namespace mqtt_callback {

namespace {

namespace common = vantorel_base_station_common;
namespace robot = vantorel_base_station_mqtt;
using station_center::kErrConnectionLost;
using station_center::kErrJsonToMessage;
using station_center::kErrTopicNotFound;
using station_center::kErrUnknownType;
using station_center::StationSrvReq;
using station_center::StationSrvRsp;

// Cloud replies come with every upload; only every 14th is logged.
constexpr int32_t kReportLogEvery = 13;
// Requests are a few hundred bytes; anything far larger is refused unread.
constexpr size_t kMaxRequestBytes = 64 * 1024;

const char* const kDecodeFailed = "req data convert to message failed";
const char* const kEmergencyStop = "station in emergency stop status";

bool Decode(const std::string& payload, google::protobuf::Message* msg) {
  // Default options: unknown fields and unknown enumeration names are errors.
  if (!station_center::ParseWireJson(payload, msg)) {
    LOG_ERROR("ErrorCode: {}, json to message failed", kErrJsonToMessage);
    return false;
  }
  return true;
}

// The reply to a request that could not be read: error 3 and no echoed ids.
template <typename Rsp>
Rsp Unparsable() {
  Rsp rsp;
  rsp.mutable_rsp_header()->set_err_code(common::ENUM_DESERIALIZE_DATA_FAILED);
  rsp.mutable_rsp_header()->set_err_msg(kDecodeFailed);
  return rsp;
}

void EchoIds(const common::RequestHeader& req, common::ResponseHeader* rsp) {
  *rsp->mutable_msg_id() = req.msg_id();
  *rsp->mutable_robot_id() = req.robot_id();
}

void SetError(common::ResponseHeader* header, common::EnumErrCode code, const std::string& msg) {
  header->set_err_code(code);
  header->set_err_msg(msg);
}

// The answer of a task request as a reply header. The supply table passes a
// refusal's own error code on; the pre-water table has its own line for a reset.
void MapTaskAnswer(const StationSrvRsp& rsp, bool supply, common::ResponseHeader* header) {
  switch (rsp.code) {
    case station_center::SRV_CODE_SUCCESS:
    case station_center::SRV_CODE_TASK_UPDATED:
    case station_center::SRV_CODE_NO_TASK_TO_CANCEL:
      if (!rsp.msg.empty()) {
        header->set_err_msg(rsp.msg);
      }
      return;
    case station_center::SRV_CODE_STATION_ERROR:
      SetError(header, common::ENUM_ERROR_UNKNOW, "station happen error");
      return;
    case station_center::SRV_CODE_EMERGENCY_STOP:
      SetError(header, common::ENUM_EMERGENCY_STOP_PRESSED, kEmergencyStop);
      return;
    case station_center::SRV_CODE_INVALID_TASK_TYPE:
      SetError(header, common::ENUM_ERROR_UNKNOW, "station don't support pre water request");
      return;
    default:
      break;
  }
  if (supply && rsp.code == station_center::SRV_CODE_FAILED) {
    // A refusal without its own error code must still read as a refusal.
    SetError(header, rsp.err_code != common::ENUM_SUCCESS ? rsp.err_code : common::ENUM_ERROR_UNKNOW, rsp.msg);
    return;
  }
  if (!supply && rsp.code == station_center::SRV_CODE_STATION_RESET) {
    SetError(header, common::ENUM_ERROR_UNKNOW, "station in reset");
    return;
  }
  SetError(header, common::ENUM_ERROR_UNKNOW, rsp.msg.empty() ? "unknow error" : rsp.msg);
}

}  // namespace

MqttCallback::MqttCallback(std::shared_ptr<station_center::StationService> station,
                           std::shared_ptr<station_center::ReplyPublisher> replies)
    : station_(std::move(station)), replies_(std::move(replies)) {
  BuildHandlers();
}

void MqttCallback::BuildHandlers() {
#define REQUEST_TOPIC(segment, reply_segment, Req, Rsp, handler) \
  topicHandlers_[segment] = [this](const std::string& payload) { handler(payload); };
#include "mqtt/request_topics.def"
  topicHandlers_["reportActivelyRe"] = [this](const std::string& payload) { dealReportActivelyRe(payload); };
}

void MqttCallback::SetDiagnostics(std::function<void(const std::string&)> answer) {
  topicHandlers_["diagnostics"] = std::move(answer);
}

StationSrvRsp MqttCallback::Service(const StationSrvReq& req) {
  if (!station_) {
    StationSrvRsp rsp;
    rsp.code = station_center::SRV_CODE_STATION_ERROR;
    return rsp;
  }
  return station_->HandleService(req);
}

void MqttCallback::Reply(const google::protobuf::Message& reply) {
  if (const auto replies = replies_.lock()) {
    replies->PublishReply(reply);
  }
}

void MqttCallback::connected(const std::string& cause) {
  // The client subscribes again once this returns.
  LOG_INFO("connect broker");
}

void MqttCallback::connection_lost(const std::string& cause) {
  // The library gives a cause only for a few losses: name the usual ones rather than nothing.
  LOG_ERROR("ErrorCode: {}, Connection lost for {}, will reset station", kErrConnectionLost,
            cause.empty() ? "the broker closed the connection or stopped answering" : cause);
  StationSrvReq req;
  req.cmd = station_center::SRV_CMD_CONNECTION_LOST;
  req.task_type = station_center::TASK_TYPE_INVALID;
  try {
    Service(req);
  } catch (const std::exception& e) {
    LOG_ERROR("connection loss not handled: {}", e.what());
  }
}

void MqttCallback::message_arrived(mqtt::const_message_ptr msg) {
  LOG_DEBUG("Message arrived");
  if (!msg) {
    return;
  }
  const std::string& topic = msg->get_topic();
  const size_t slash = topic.rfind('/');
  const std::string segment = slash == std::string::npos ? topic : topic.substr(slash + 1);
  const std::string payload = msg->to_string();
  if (payload.size() > kMaxRequestBytes) {
    RefuseOversized(segment, payload.size());
    return;
  }
  if (segment == "reportActivelyRe") {
    if (report_log_count_ < kReportLogEvery) {
      ++report_log_count_;
    } else {
      report_log_count_ = 0;
      LOG_INFO("Topic: {}, msg->to_string(): {}", segment, vantorel::LogExcerpt(payload));
    }
  } else {
    // One line, not two: each is a write (and a journal message) before the reply can go.
    LOG_INFO("Topic: {}, msg->to_string(): {}", segment, vantorel::LogExcerpt(payload));
  }
  auto it = topicHandlers_.find(segment);
  if (it == topicHandlers_.end()) {
    LOG_ERROR("ErrorCode: {}, Topic: {} not found", kErrTopicNotFound, segment);
    return;
  }
  // The library's thread must never see an exception.
  try {
    it->second(payload);
  } catch (const std::exception& e) {
    LOG_ERROR("handler of {} failed: {}", segment, e.what());
  }
}

void MqttCallback::RefuseOversized(const std::string& segment, size_t size) {
  LOG_ERROR("ErrorCode: {}, {} message of {} bytes refused, over {} bytes", kErrJsonToMessage, segment, size,
            kMaxRequestBytes);
#define REQUEST_TOPIC(topic_segment, reply_segment, Req, Rsp, handler) \
  if (segment == topic_segment) {                                      \
    Reply(Unparsable<robot::Rsp>());                                   \
    return;                                                            \
  }
#include "mqtt/request_topics.def"
}

void MqttCallback::delivery_complete(mqtt::delivery_token_ptr tok) {
  LOG_DEBUG("Delivery complete");
  LOG_DEBUG("token->get_message_id(): {}", tok ? tok->get_message_id() : 0);
}

void MqttCallback::dealCheckStation(const std::string& payload) {
  robot::StationCheckReq req;
  robot::StationCheckRsp rsp;
  if (!Decode(payload, &req)) {
    Reply(Unparsable<robot::StationCheckRsp>());
    return;
  }
  EchoIds(req.req_header(), rsp.mutable_rsp_header());
  int32_t cmd;
  int32_t ready_code;
  switch (req.check_type()) {
    case robot::ENUM_IN_POSE:
      cmd = station_center::SRV_CMD_ROBOT_POSITION;
      ready_code = station_center::SRV_CODE_ROBOT_IN_POSITION;
      break;
    case robot::ENUM_WATER_FINISH:
      cmd = station_center::SRV_CMD_ADD_WATER_FINISHED;
      ready_code = station_center::SRV_CODE_ADD_WATER_FINISHED;
      break;
    case robot::ENUM_WATER_READY:
      cmd = station_center::SRV_CMD_WATER_READY;
      ready_code = station_center::SRV_CODE_WATER_READY;
      break;
    default:
      LOG_ERROR("ErrorCode: {}, Unknown check type", kErrUnknownType);
      SetError(rsp.mutable_rsp_header(), common::ENUM_ERROR_UNKNOW, "Unknown check type");
      Reply(rsp);
      return;
  }
  rsp.set_check_type(req.check_type());
  StationSrvReq srv;
  srv.cmd = cmd;
  srv.task_type = station_center::TASK_TYPE_INVALID;
  srv.station_check_req = req;
  const StationSrvRsp answer = Service(srv);
  if (answer.code == ready_code) {
    rsp.set_robot_check(robot::ENUM_READY);
  } else {
    rsp.set_robot_check(robot::ENUM_NOT_READY);
    if (answer.code == station_center::SRV_CODE_EMERGENCY_STOP) {
      SetError(rsp.mutable_rsp_header(), common::ENUM_EMERGENCY_STOP_PRESSED, kEmergencyStop);
    }
  }
  Reply(rsp);
}

void MqttCallback::dealDockState(const std::string& payload) {
  robot::PositionConfirmReq req;
  robot::PositionConfirmRsp rsp;
  if (!Decode(payload, &req)) {
    Reply(Unparsable<robot::PositionConfirmRsp>());
    return;
  }
  LOG_INFO("dealDockState");
  EchoIds(req.req_header(), rsp.mutable_rsp_header());
  StationSrvReq srv;
  srv.cmd = station_center::SRV_CMD_ROBOT_POSITION;
  srv.position_confirm_req = req;
  const int32_t code = Service(srv).code;

  auto leave = [&]() {
    StationSrvReq leave_req;
    leave_req.cmd = station_center::SRV_CMD_ROBOT_LEAVE;
    leave_req.position_confirm_req = req;
    return Service(leave_req).code;
  };
  switch (code) {
    case station_center::SRV_CODE_ROBOT_IN_POSITION:
      rsp.set_robot_state(robot::ENUM_IN_STATION);
      if (req.robot_desire() == robot::ENUM_ROBOT_DESIRE_STAY_IN) {
        rsp.set_robot_desire(robot::ENUM_ROBOT_DESIRE_STAY_IN);
      } else if (req.robot_desire() == robot::ENUM_ROBOT_DESIRE_GO_OUT) {
        rsp.set_robot_desire(leave() == station_center::SRV_CODE_BUSY ? robot::ENUM_ROBOT_DESIRE_STAY_IN
                                                                      : robot::ENUM_ROBOT_DESIRE_GO_OUT);
      }
      break;
    case station_center::SRV_CODE_ROBOT_NOT_IN_POSITION:
      rsp.set_robot_state(robot::ENUM_OUT_STATION);
      if (req.robot_desire() == robot::ENUM_ROBOT_DESIRE_STAY_IN) {
        leave();
        rsp.set_robot_desire(robot::ENUM_ROBOT_DESIRE_GO_OUT);
      } else if (req.robot_desire() == robot::ENUM_ROBOT_DESIRE_GO_OUT) {
        rsp.set_robot_desire(leave() == station_center::SRV_CODE_BUSY ? robot::ENUM_ROBOT_DESIRE_STAY_IN
                                                                      : robot::ENUM_ROBOT_DESIRE_GO_OUT);
      }
      break;
    case station_center::SRV_CODE_EMERGENCY_STOP:
      rsp.set_robot_state(robot::ENUM_INVALID_STATE);
      SetError(rsp.mutable_rsp_header(), common::ENUM_EMERGENCY_STOP_PRESSED, kEmergencyStop);
      break;
    default:
      rsp.set_robot_state(robot::ENUM_INVALID_STATE);
      break;
  }
  Reply(rsp);
}

void MqttCallback::dealPreWaterRequest(const std::string& payload) {
  robot::PrepareDisinfectantReq req;
  robot::PrepareDisinfectantRsp rsp;
  if (!Decode(payload, &req)) {
    Reply(Unparsable<robot::PrepareDisinfectantRsp>());
    return;
  }
  LOG_INFO("dealPreWaterRequest");
  EchoIds(req.req_header(), rsp.mutable_rsp_header());
  StationSrvReq srv;
  srv.cmd = station_center::SRV_CMD_TASK;
  srv.task_type = station_center::TASK_TYPE_DISINFECTANT_PREPARE;
  srv.prepare_disinfectant_req = req;
  MapTaskAnswer(Service(srv), false, rsp.mutable_rsp_header());
  Reply(rsp);
}

void MqttCallback::dealSupplyMaterialRequest(const std::string& payload) {
  robot::SupplyMaterialReq req;
  robot::SupplyMaterialRsp rsp;
  if (!Decode(payload, &req)) {
    Reply(Unparsable<robot::SupplyMaterialRsp>());
    return;
  }
  LOG_INFO("dealSupplyMaterialRequest");
  EchoIds(req.req_header(), rsp.mutable_rsp_header());
  const station_center::TaskType type = station_center::TaskTypeOfSupply(req.cmd().supply_type());
  if (type == station_center::TASK_TYPE_INVALID) {
    LOG_ERROR("ErrorCode: {}, Unknown supply type", kErrUnknownType);
    SetError(rsp.mutable_rsp_header(), common::ENUM_ERROR_UNKNOW, "Unknown supply type");
    Reply(rsp);
    return;
  }
  StationSrvReq srv;
  srv.cmd = station_center::SRV_CMD_TASK;
  srv.task_type = type;
  srv.supply_material_req = req;
  MapTaskAnswer(Service(srv), true, rsp.mutable_rsp_header());
  rsp.set_supply_type(req.cmd().supply_type());
  Reply(rsp);
}

void MqttCallback::dealReportActivelyRe(const std::string& payload) {
  vantorel_base_station_cloud::BaseStationInfoReportRsp reply;
  if (!Decode(payload, &reply)) {
    return;
  }
  StationSrvReq srv;
  srv.cmd = station_center::SRV_CMD_CLOUD_REPLY;
  srv.task_type = station_center::TASK_TYPE_INVALID;
  srv.report_rsp = reply;
  Service(srv);
}

}  // namespace mqtt_callback
