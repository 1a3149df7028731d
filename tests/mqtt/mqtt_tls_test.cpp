#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "mqtt/broker_tls.h"
#include "mqtt/mqtt_client.h"
#include "support/child_process.h"
#include "support/mosquitto.h"
#include "support/station_processes.h"
#include "support/test_support.h"
#include "task/log_capture.h"

namespace station_test {
namespace {

using Seconds = std::chrono::seconds;
using station_center::BrokerTls;
using station_center::TlsFailureReason;

constexpr auto kProbeWait = std::chrono::milliseconds(20000);

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// Certificates made afresh with openssl for each test, and a temporary station root.
class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(certs_.Make()) << certs_.Log(); }

  // A station connection of this process; true when Init connected it.
  static bool Connects(const std::string& address, const BrokerTls& tls) {
    station_center::MqttSettings settings;
    settings.station_id = "S1";
    settings.server_address = address;
    settings.connect_wait_seconds = 20;
    settings.cloud_reply_topic_format = "clean_robot_station/%s/reportActivelyRe";
    settings.tls = tls;
    station_center::MqttClient client(settings);
    return client.Init(std::make_shared<mqtt::callback>());
  }

  BrokerTls Trusting(const std::string& ca) const { return BrokerTls{ca, "", "", true}; }
  BrokerTls WithClientCert() const { return BrokerTls{certs_.ca(), certs_.client_cert(), certs_.client_key(), true}; }

  TempRoot root_;
  TestCertificates certs_;
};

TEST_F(TlsTest, TheDiagnosisNamesWhatIsWrong) {
  MosquittoBroker broker(0, false, certs_.Server());
  MosquittoBroker misnamed(0, false, certs_.MisnamedServer());
  ASSERT_TRUE(broker.Start()) << broker.Log();
  ASSERT_TRUE(misnamed.Start()) << misnamed.Log();
  const auto tls_port = [](const MosquittoBroker& b) {
    return station_center::ParseBrokerAddress(b.tls_address()).port;
  };
  const uint16_t port = tls_port(broker);

  EXPECT_EQ(TlsFailureReason("127.0.0.1", port, Trusting(certs_.ca()), kProbeWait), "");
  EXPECT_EQ(TlsFailureReason("localhost", port, WithClientCert(), kProbeWait), "");
  // The broker sends its CA along: under another CA that one is an untrusted self-signed one.
  EXPECT_EQ(TlsFailureReason("127.0.0.1", port, Trusting(certs_.other_ca()), kProbeWait),
            "server certificate not accepted: self-signed certificate in certificate chain");
  EXPECT_EQ(TlsFailureReason("127.0.0.1", tls_port(misnamed), Trusting(certs_.ca()), kProbeWait),
            "server certificate not accepted: IP address mismatch");
  EXPECT_EQ(TlsFailureReason("localhost", tls_port(misnamed), Trusting(certs_.ca()), kProbeWait),
            "server certificate not accepted: hostname mismatch");
  EXPECT_EQ(TlsFailureReason("127.0.0.1", tls_port(misnamed), BrokerTls{"", "", "", false}, kProbeWait), "");

  // Local files that cannot serve, named with their paths.
  const std::string missing = certs_.Path("missing.crt");
  EXPECT_NE(TlsFailureReason("127.0.0.1", port, Trusting(missing), kProbeWait).find("CA file " + missing + " unusable"),
            std::string::npos);
  BrokerTls wrong_key = WithClientCert();
  wrong_key.key_file = certs_.Path("server.key");
  EXPECT_EQ(TlsFailureReason("127.0.0.1", port, wrong_key, kProbeWait),
            "client key " + wrong_key.key_file + " unusable: key values mismatch");

  // TLS towards a plain listener, or towards nothing, fails too and says so.
  bool unreachable = true;
  EXPECT_NE(TlsFailureReason("127.0.0.1", broker.port(), Trusting(certs_.ca()), kProbeWait, &unreachable), "");
  EXPECT_FALSE(unreachable) << "the listener was reached";
  const uint16_t closed = FreeLoopbackPort();
  EXPECT_EQ(TlsFailureReason("127.0.0.1", closed, Trusting(certs_.ca()), kProbeWait, &unreachable),
            "127.0.0.1:" + std::to_string(closed) + " not reachable: Connection refused");
  EXPECT_TRUE(unreachable);
}

TEST_F(TlsTest, ABrokerRequiringAClientCertificateGetsOne) {
  MosquittoBroker broker(0, false, certs_.Server(true));
  ASSERT_TRUE(broker.Start()) << broker.Log();
  const uint16_t port = station_center::ParseBrokerAddress(broker.tls_address()).port;
  EXPECT_NE(TlsFailureReason("127.0.0.1", port, Trusting(certs_.ca()), kProbeWait).find("certificate required"),
            std::string::npos);
  EXPECT_EQ(TlsFailureReason("127.0.0.1", port, WithClientCert(), kProbeWait), "");

  EXPECT_FALSE(Connects(broker.tls_address(), Trusting(certs_.ca())));
  EXPECT_TRUE(Connects(broker.tls_address(), WithClientCert())) << broker.Log();
  EXPECT_TRUE(Connects("mqtts://127.0.0.1:" + std::to_string(port), WithClientCert())) << broker.Log();
}

// TLS files with a plain address: plain TCP as the address says, and a warning that the
// files were ignored, since a lost "ssl://" would otherwise go unnoticed.
TEST_F(TlsTest, TlsFilesWithAPlainAddressAreNamedInAWarning) {
  Logs().Clear();
  MosquittoBroker broker(0, false, certs_.Server(false));
  ASSERT_TRUE(broker.Start()) << broker.Log();
  EXPECT_TRUE(Connects(broker.address(), Trusting(certs_.ca()))) << broker.Log();
  EXPECT_EQ(Logs().Count("is plain TCP: mqtt_tls_* files ignored"), 1);
  EXPECT_TRUE(Connects(broker.address(), BrokerTls{})) << broker.Log();
  EXPECT_EQ(Logs().Count("is plain TCP"), 1) << "no warning without TLS files";
}

TEST_F(TlsTest, WithoutVerificationAServerNamingAnotherHostIsAccepted) {
  MosquittoBroker broker(0, false, certs_.MisnamedServer());
  ASSERT_TRUE(broker.Start()) << broker.Log();
  EXPECT_FALSE(Connects(broker.tls_address(), Trusting(certs_.ca())));
  EXPECT_FALSE(Logs().Has("ErrorCode: 101900091"));
  EXPECT_TRUE(Connects(broker.tls_address(), BrokerTls{"", "", "", false})) << broker.Log();
  EXPECT_TRUE(Logs().Has("ErrorCode: 101900091, connecting to broker 127.0.0.1:")) << "an unchecked connect is loud";
}

// A broker whose certificate does not verify: each attempt ends with one error line naming
// why, the attempts go on, and the station never reaches the broker by any other way.
TEST_F(TlsTest, AnUntrustedBrokerIsRefusedByTheDaemonWithTheReasonAndRetried) {
  StationProcesses station(certs_.Server());
  MosquittoBroker& broker = station.broker;
  ChildProcess& daemon_ = station.daemon;
  ASSERT_TRUE(broker.Start()) << broker.Log();
  station.Write("\"mqtt_tls_ca_file\": \"" + certs_.other_ca() + "\"", broker.tls_address());
  ASSERT_TRUE(station.StartBoard() && station.StartDaemon());
  const std::string line = "TLS connection to broker 127.0.0.1:" +
                           std::to_string(station_center::ParseBrokerAddress(broker.tls_address()).port) +
                           " failed: server certificate not accepted: self-signed certificate in certificate chain";
  ASSERT_TRUE(WaitUntil([&] { return Count(daemon_.Log(), line) >= 2; }, Seconds(120))) << daemon_.Log();
  const std::string log = daemon_.Log();
  EXPECT_LE(Count(log, "TLS connection to broker"), Count(log, "mqtt client init failed") + 1)
      << "one line per attempt: " << log;
  EXPECT_EQ(log.find("connect to broker success"), std::string::npos) << log;
  EXPECT_EQ(broker.Log().find("Station_"), std::string::npos) << "no station client at all: " << broker.Log();
  EXPECT_TRUE(daemon_.Running());
}

}  // namespace
}  // namespace station_test
