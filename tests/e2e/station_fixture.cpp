#include "e2e/station_fixture.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace station_test {

namespace {

const std::string kContract = std::string(STATION_SOURCE_DIR) + "/docs/asyncapi.yaml";
const std::string kValidator = std::string(STATION_SOURCE_DIR) + "/tools/validate-messages";

// Writes `messages` as the validator's JSON lines.
void WriteCapture(const std::string& path, const std::vector<Message>& messages) {
  std::ofstream out(path);
  for (const auto& [topic, payload] : messages) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("topic");
    writer.String(topic.c_str(), static_cast<rapidjson::SizeType>(topic.size()));
    writer.Key("payload");
    writer.String(payload.c_str(), static_cast<rapidjson::SizeType>(payload.size()));
    writer.EndObject();
    out << buffer.GetString() << "\n";
  }
}

}  // namespace

Verdicts Validate(const std::string& dir, const std::string& name, const std::vector<Message>& messages,
                  std::vector<std::string> extra) {
  const std::string capture = dir + "/" + name + ".jsonl";
  const std::string output = dir + "/" + name + ".out";
  WriteCapture(capture, messages);
  // With CONTRACT_CAPTURE_DIR set, what a test captured is kept there, for picking examples.
  if (const char* keep = std::getenv("CONTRACT_CAPTURE_DIR")) WriteCapture(std::string(keep) + "/" + name, messages);
  std::vector<std::string> args = {"--contract", kContract};
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back(capture);
  Verdicts v;
  ChildProcess validator;  // stopped by its destructor when it outlives the wait
  if (validator.Start(kValidator, args, {}, output) && WaitUntil([&] { return !validator.Running(); }, Seconds(120))) {
    v.exit_code = validator.ExitStatus();
  }
  v.output = kit::ReadWholeFile(output);
  std::istringstream lines(v.output);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("ok ", 0) == 0) v.ok.push_back(true);
    if (line.rfind("FAIL ", 0) == 0 && !Has(line, "FAIL document:")) v.ok.push_back(false);
  }
  return v;
}

void StationFixture::SetUp() {
  ASSERT_TRUE(station_.broker.Start()) << station_.broker.Log();
  // Before the daemon: its first upload is special.
  ASSERT_TRUE(peer_.Connect() && peer_.Subscribe("#"));
  station_.Write(kQuickVisit);
  // The shipped lamp ranking (./scripts/run-sim's too), so the scenarios see what a person there sees.
  station_.root.WriteFile("/usr/lib/vantorel-station-center/config/led.json",
                          kit::ReadWholeFile(std::string(STATION_SOURCE_DIR) + "/packaging/led.json"));
  ASSERT_TRUE(station_.StartBoard()) << station_.board.Log();
  ASSERT_TRUE(station_.StartDaemon());
  // Serving once a question is answered; ready once the start-up reset is over.
  const auto answered = [&] {
    return peer_.Publish(StationTopic("checkStation"), kIdleQuestion) &&
           peer_.Take(StationTopic("checkStationRe"), nullptr, Seconds(2));
  };
  ASSERT_TRUE(station_.Await(answered, Seconds(90))) << station_.daemon.Log();
  ASSERT_TRUE(station_.Await([&] { return station_.daemon.Logged("reset station task success"); }));
}

void StationFixture::TearDown() {
  EXPECT_TRUE(stopped_ || station_.daemon.Running()) << "the daemon died during the scenario";
  EXPECT_TRUE(station_.CleanLogs());
  if (check_contract_) {
    // Every message of the scenario, the robot's and the station's, on its channel's schema.
    const std::vector<Message> messages = peer_.Messages();
    const Verdicts v = Validate(station_.root.path(), "messages", messages, {"--station", station_.station_id});
    EXPECT_EQ(v.exit_code, 0) << v.output;
    EXPECT_EQ(v.ok.size(), messages.size()) << v.output;
  }
  if (HasFailure()) std::cerr << "--- simulator\n" << station_.Ask("status") << "--- daemon\n" << station_.daemon.Log();
}

void StationFixture::DropUploads() {
  while (peer_.Take(kUploadTopic, nullptr, std::chrono::milliseconds(0))) {
  }
}

std::vector<std::string> StationFixture::UploadsSinceDropAndNext() {
  std::vector<std::string> uploads;
  std::string upload;
  while (peer_.Take(kUploadTopic, &upload, std::chrono::milliseconds(0))) uploads.push_back(upload);
  if (peer_.Take(kUploadTopic, &upload, Seconds(20))) uploads.push_back(upload);
  return uploads;
}

bool StationFixture::AwaitUpload(const std::function<bool(const std::string&)>& pred) {
  std::string upload;
  return station_.Await(
      [&] { return peer_.Take(kUploadTopic, &upload, std::chrono::milliseconds(500)) && pred(upload); });
}

}  // namespace station_test
