#pragma once

#include <google/protobuf/message.h>

namespace station_center {

// Where the MQTT callback's replies to the robot go: the broker connection in the
// daemon, a recorder in tests. Threading: called on the MQTT event thread.
class ReplyPublisher {
 public:
  virtual ~ReplyPublisher() = default;

  // Publishes `reply` on its message type's reply topic; failures are logged, not returned.
  virtual void PublishReply(const google::protobuf::Message& reply) = 0;
};

}  // namespace station_center
