#include "fuzz_support.h"

#include <rapidjson/document.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "config.h"

namespace station_fuzz {

namespace {

void MakeDirs(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    ::mkdir(path.substr(0, slash).c_str(), 0700);
  }
  ::mkdir(path.c_str(), 0700);
}

std::string Parent(const std::string& path) { return path.substr(0, path.rfind('/')); }

// Cores whose reset waiter may still run after their input.
std::mutex g_lingering_mutex;
std::vector<std::weak_ptr<station_center::StationCenter>> g_lingering;

// At exit, before the logger and the configuration go away, the last waiters end.
void WaitForLingering() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::unique_lock<std::mutex> lock(g_lingering_mutex);
  for (const auto& core : g_lingering) {
    while (!core.expired() && std::chrono::steady_clock::now() < deadline) {
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      lock.lock();
    }
  }
}

void Linger(const std::shared_ptr<station_center::StationCenter>& core) {
  // Registered after the logger was first used, so it runs before the logger's end.
  static const bool registered = std::atexit(WaitForLingering) == 0;
  (void)registered;
  std::lock_guard<std::mutex> lock(g_lingering_mutex);
  g_lingering.erase(std::remove_if(g_lingering.begin(), g_lingering.end(), [](const auto& c) { return c.expired(); }),
                    g_lingering.end());
  g_lingering.push_back(core);
}

}  // namespace

void SetUpProcess() {
  static const bool done = [] {
    char root[] = "/tmp/station-fuzz-XXXXXX";
    if (::mkdtemp(root) == nullptr) {
      Fail("no temporary directory");
    }
    ::setenv("STATION_CENTER_ROOT", root, 1);
    static const std::string made = root;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(made, ignored);
    });
    // Every log line is still formatted (fuzzed text goes through fmt), then dropped.
    ::setenv("SPDLOG_STDOUT", "false", 1);
    ::setenv("SPDLOG_SYSTEMD", "false", 1);
    ::setenv("SPDLOG_LEVEL", "debug", 1);
    MakeDirs(Parent(station_center::ConfigFilePath()));
    MakeDirs(station_center::StatusDirPath());
    MakeDirs(Parent(station_center::DeviceEnvFilePath()));
    // A task driver pauses this long between passes; the fuzzer cannot wait.
    station_center::g_config.running_schedule_space = 1;
    station_center::g_config.hardware = "dvt3";
    return true;
  }();
  (void)done;
}

void Fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  Check(static_cast<bool>(out.flush()), "cannot write a station file");
}

bool FakeBoard::DoAction(const station::ActionCommand& cmd, bool /*urgent*/, const StillWanted& still_wanted) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (still_wanted && !still_wanted()) {
    return false;
  }
  commands_.emplace_back(cmd.supply_type_(), cmd.action_());
  return !refuse_ && !silent_;
}

bool FakeBoard::ChangeLed(station::EnumLedCmd /*led_cmd*/, bool* answered) {
  if (answered != nullptr) {
    *answered = !silent_;
  }
  return !refuse_ && !silent_;
}

size_t FakeBoard::commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_.size();
}

bool RecordingReports::Publish(const std::string& topic, const std::string& payload) {
  rapidjson::Document doc;
  Check(!topic.empty(), "report without a topic");
  Check(!doc.Parse(payload.c_str(), payload.size()).HasParseError() && doc.IsObject(), "a report is not a JSON object");
  std::lock_guard<std::mutex> lock(mutex_);
  ++count_;
  return true;
}

size_t RecordingReports::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

CoreRig::CoreRig() {
  SetUpProcess();
  WriteFile(station_center::StatusFilePath(),
            "{\"dust_bag_last_replace_time\": " + std::to_string(clock_->NowSeconds()) +
                ", \"hardware\": \"dvt3\", \"mqtt_server_address\": \"localhost\"}");
  center_ =
      std::make_shared<station_center::StationCenter>(station_center::CoreParts{clock_, nullptr, reports_, board_});
  station_center::SetStationCenter(center_);
}

CoreRig::~CoreRig() {
  {
    // As at a pressed emergency stop: tasks end at their next pass, no reset follows.
    station_center::StationCenterProbe(*center_).SetStatus(station_center::STATION_STATUS_EMERGENCY_STOP);
  }
  // Drivers pause a millisecond between passes and end at the next one. A reset
  // waiter sleeps a second between looks; it is not waited for: it keeps its core
  // alive, and with the stop pressed it only looks once more and ends.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (center_->running_drivers() != 0) {
    Check(std::chrono::steady_clock::now() < deadline, "the core's task drivers never ended");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (center_->running_waiters() != 0) {
    Linger(center_);
  }
  station_center::SetStationCenter(nullptr);
}

std::string Bytes::Take(size_t n) {
  const size_t len = n < size_ - pos_ ? n : size_ - pos_;
  std::string out(reinterpret_cast<const char*>(data_ + pos_), len);
  pos_ += len;
  return out;
}

}  // namespace station_fuzz
