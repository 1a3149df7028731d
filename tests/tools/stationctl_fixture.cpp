#include "tools/stationctl_fixture.h"

#include <fcntl.h>
#include <mqtt/async_client.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "google/protobuf/util/json_util.h"
#include "robot/base_station_mqtt.pb.h"

extern char** environ;

namespace station_test {

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

CtlProcess::CtlProcess(const std::vector<std::string>& args) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "stationctl-XXXXXX").string();
  char* made = ::mkdtemp(tmpl.data());
  dir_ = made != nullptr ? made : tmpl;
  const std::string bin = STATION_BIN_DIR "/stationctl";
  std::vector<std::string> storage = {bin};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : storage) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, (dir_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, (dir_ + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  if (::posix_spawn(&pid, bin.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
    pid_ = pid;
  }
  posix_spawn_file_actions_destroy(&actions);
}

CtlProcess::~CtlProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string CtlProcess::Out() const { return Slurp(dir_ + "/out"); }

CtlResult CtlProcess::Finish(std::chrono::milliseconds limit) {
  CtlResult result;
  if (pid_ <= 0) {
    result.err = "stationctl could not be started";
    return result;
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  pid_t done = 0;
  while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (done == 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  } else if (done == pid_ && WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  }
  pid_ = -1;
  result.out = Slurp(dir_ + "/out");
  result.err = Slurp(dir_ + "/err");
  return result;
}

CtlResult RunCtl(const std::vector<std::string>& args) {
  CtlProcess process(args);
  return process.Finish();
}

ScriptedStation::ScriptedStation(const std::string& broker, const std::string& station, Responder responder)
    : station_(station), responder_(std::move(responder)) {
  client_ = std::make_unique<mqtt::async_client>("tcp://" + broker, "scripted-station-" + station,
                                                 mqtt::create_options(MQTTVERSION_5), nullptr);
}

ScriptedStation::~ScriptedStation() {
  try {
    client_->disable_callbacks();
    if (client_->is_connected()) {
      client_->disconnect()->wait_for(std::chrono::seconds(5));
    }
  } catch (const std::exception&) {
  }
}

bool ScriptedStation::Connect() {
  try {
    client_->set_message_callback([this](mqtt::const_message_ptr msg) {
      Seen seen{msg->get_topic(), msg->to_string()};
      {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(seen);
      }
      if (responder_) {
        for (const std::string& reply : responder_(seen)) {
          client_->publish(mqtt::make_message(seen.topic + "Re", reply, 1, false));
        }
      }
    });
    auto options = mqtt::connect_options_builder().mqtt_version(MQTTVERSION_5).clean_start(true).finalize();
    if (!client_->connect(options)->wait_for(std::chrono::seconds(20))) {
      return false;
    }
    const std::string base = "clean_robot_station/" + station_ + "/";
    std::vector<std::string> topics = {base + "checkStation", base + "dockState", base + "preWaterRequest",
                                       base + "supplyMaterialRequest", base + "reportActivelyRe"};
    return client_->subscribe(mqtt::string_collection::create(topics), std::vector<int>(topics.size(), 1))
        ->wait_for(std::chrono::seconds(20));
  } catch (const std::exception&) {
    return false;
  }
}

std::vector<Seen> ScriptedStation::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

bool ScriptedStation::Publish(const std::string& topic, const std::string& payload) {
  try {
    return client_->publish(mqtt::make_message(topic, payload, 1, false))->wait_for(std::chrono::seconds(20));
  } catch (const std::exception&) {
    return false;
  }
}

std::string RequestMsgId(const std::string& request_json) {
  // Every request type starts with the same header, so one type reads them all.
  vantorel_base_station_mqtt::PositionCheckReq header_only;
  google::protobuf::util::JsonParseOptions options;
  options.ignore_unknown_fields = true;
  if (!google::protobuf::util::JsonStringToMessage(request_json, &header_only, options).ok()) {
    return "";
  }
  return header_only.req_header().msg_id().uuid();
}

}  // namespace station_test
