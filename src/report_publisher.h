#pragma once

#include <string>

namespace station_center {

// Where the station core's reports to the cloud and the robot go: the broker
// connection in the daemon, nothing in tests that need no broker.
// Threading: called from the upload loop, the sensor thread and task drivers
// at once; implementations are thread-safe.
class ReportPublisher {
 public:
  virtual ~ReportPublisher() = default;

  virtual bool IsConnected() const = 0;
  // Publishes `payload` on `topic` at QoS 1; a publisher that is not connected
  // logs and drops it. True when the message was handed to the connection.
  virtual bool Publish(const std::string& topic, const std::string& payload) = 0;
};

}  // namespace station_center
