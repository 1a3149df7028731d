#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "mqtt/broker_tls.h"
#include "mqtt/mqtt_client.h"
#include "support/mosquitto.h"
#include "support/test_support.h"
#include "task/log_capture.h"

namespace station_test {
namespace {

using Seconds = std::chrono::seconds;
using station_center::BrokerTls;
using station_center::TlsFailureReason;

constexpr auto kProbeWait = std::chrono::milliseconds(20000);

// Certificates made with openssl for the tests that need them, and a temporary station root.
class TlsTest : public ::testing::Test {
 protected:
  static station_center::MqttSettings Settings(const std::string& address, const BrokerTls& tls = {}) {
    station_center::MqttSettings settings;
    settings.station_id = "S1";
    settings.server_address = address;
    settings.connect_wait_seconds = 20;
    settings.tls = tls;
    return settings;
  }
  // A station connection of this process; true when Init connected it.
  static bool Connects(const std::string& address, const BrokerTls& tls) {
    station_center::MqttClient client(Settings(address, tls));
    return client.Init(std::make_shared<mqtt::callback>());
  }

  BrokerTls Trusting(const std::string& ca) const { return BrokerTls{ca, "", "", true}; }
  BrokerTls WithClientCert() const { return BrokerTls{certs_.ca(), certs_.client_cert(), certs_.client_key(), true}; }

  TempRoot root_;
  TestCertificates certs_;
};

// The diagnosis names what is wrong. The station's connection gets what the broker needs: a
// client certificate where the broker asks for one; unverified, a server naming another host
// is taken, loudly; TLS files with a plain address go to plain TCP with a warning, as a lost
// "ssl://" would otherwise go unnoticed.
TEST_F(TlsTest, TheDiagnosisNamesWhatIsWrongAndTheStationConnectsWithWhatTheBrokerNeeds) {
  ASSERT_TRUE(certs_.Make()) << certs_.Log();
  MosquittoBroker needs_cert(0, false, certs_.Server(true)), misnamed(0, false, certs_.MisnamedServer());
  ASSERT_TRUE(needs_cert.Start() && misnamed.Start()) << needs_cert.Log() << misnamed.Log();
  const uint16_t port = needs_cert.tls_port();
  EXPECT_NE(TlsFailureReason("127.0.0.1", port, Trusting(certs_.ca()), kProbeWait).find("certificate required"),
            std::string::npos);
  EXPECT_EQ(TlsFailureReason("localhost", port, WithClientCert(), kProbeWait), "");
  EXPECT_EQ(TlsFailureReason("127.0.0.1", misnamed.tls_port(), Trusting(certs_.ca()), kProbeWait),
            "server certificate not accepted: IP address mismatch");
  EXPECT_EQ(TlsFailureReason("localhost", misnamed.tls_port(), Trusting(certs_.ca()), kProbeWait),
            "server certificate not accepted: hostname mismatch");
  EXPECT_EQ(TlsFailureReason("127.0.0.1", misnamed.tls_port(), BrokerTls{"", "", "", false}, kProbeWait), "");

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
  EXPECT_NE(TlsFailureReason("127.0.0.1", needs_cert.port(), Trusting(certs_.ca()), kProbeWait, &unreachable), "");
  EXPECT_FALSE(unreachable) << "the listener was reached";
  const uint16_t closed = FreeLoopbackPort();
  EXPECT_EQ(TlsFailureReason("127.0.0.1", closed, Trusting(certs_.ca()), kProbeWait, &unreachable),
            "127.0.0.1:" + std::to_string(closed) + " not reachable: Connection refused");
  EXPECT_TRUE(unreachable);

  const struct {
    const char* why;
    std::string address;
    BrokerTls tls;
    bool connects;
    const char* warned;  // once, or nullptr: no warning
  } rows[] = {
      {"no client certificate", needs_cert.tls_address(), Trusting(certs_.ca()), false, nullptr},
      {"a client certificate", "mqtts://127.0.0.1:" + std::to_string(port), WithClientCert(), true, nullptr},
      {"TLS files, plain address", needs_cert.address(), Trusting(certs_.ca()), true,
       "is plain TCP: mqtt_tls_* files ignored"},
      {"a server naming another host", misnamed.tls_address(), Trusting(certs_.ca()), false, nullptr},
      // The broker sends its CA along: under another CA that one is an untrusted self-signed
      // one. Named in one line per attempt, and no plain connection instead.
      {"an untrusted server", needs_cert.tls_address(),
       BrokerTls{certs_.other_ca(), certs_.client_cert(), certs_.client_key(), true}, false,
       "failed: server certificate not accepted: self-signed certificate in certificate chain"},
      {"unverified", misnamed.tls_address(), BrokerTls{"", "", "", false}, true, nullptr},
  };
  for (const auto& row : rows) {
    Logs().Clear();
    EXPECT_EQ(Connects(row.address, row.tls), row.connects) << row.why;
    EXPECT_EQ(Logs().Has("ErrorCode: 101900091, connecting to broker 127.0.0.1:"), !row.tls.verify)
        << row.why << ": an unchecked connect is loud";
    if (row.warned != nullptr) {
      EXPECT_EQ(Logs().Count(row.warned), 1) << row.why;
    }
  }
}

// Counts the requests that reach the station.
struct Arrivals : mqtt::callback {
  void message_arrived(mqtt::const_message_ptr) override { ++count; }
  std::atomic<int> count{0};
};

// Why a broker does not take the station, as a technician reads the journal: a warning in
// words with the next try, once while the reason stays; and MQTT 3.1.1 for a broker that
// speaks only that.
TEST_F(TlsTest, RefusingAuthenticatingSilentAndOlderBrokersSayWhy) {
  using station_center::MqttProtocol;
  MosquittoBroker locked;
  ChildProcess v311_process, silent_process;
  const std::string v311 = StartMqtt311Broker(&v311_process), silent = StartMqtt311Broker(&silent_process, true);
  ASSERT_TRUE(locked.RequirePassword("station", "secret") && locked.Start()) << locked.Log();
  ASSERT_FALSE(v311.empty() || silent.empty());
  const struct {
    std::string address;
    std::string user, password;
    MqttProtocol protocol;
    std::string says;  // "": connects
  } cases[] = {
      {locked.address(), "", "", MqttProtocol::kV5, "refused: not authorized"},
      // mosquitto answers a wrong password with "not authorized" too.
      {locked.address(), "station", "wrong", MqttProtocol::kV5, "refused: not authorized"},
      {locked.address(), "station", "secret", MqttProtocol::kV5, ""},
      {v311, "", "", MqttProtocol::kV5, "refused: unsupported protocol version"},
      {v311, "", "", MqttProtocol::kV311, ""},
      {silent, "", "", MqttProtocol::kV5, "no answer within 2 s"},
  };
  for (const auto& c : cases) {
    Logs().Clear();
    station_center::MqttSettings settings = Settings(c.address);
    settings.user_name = c.user;
    settings.password = c.password;
    settings.protocol = c.protocol;
    if (c.says.rfind("no answer", 0) == 0) {
      settings.connect_wait_seconds = 2;  // a refusal keeps the long wait: it may be slow under load
    }
    station_center::MqttClient client(settings);
    const auto arrivals = std::make_shared<Arrivals>();
    ASSERT_EQ(client.Init(arrivals), c.says.empty()) << c.address << " " << c.user << "\n" << locked.Log();
    if (c.says.empty()) {
      ASSERT_TRUE(client.Publish("clean_robot_station/S1/checkStation", "{}", 1));
      EXPECT_TRUE(WaitUntil([&] { return arrivals->count > 0; })) << "a request reaches the station";
      continue;
    }
    EXPECT_FALSE(client.Init(arrivals));
    const std::vector<std::string> warned = Logs().Lines("; next try in 10 s");
    ASSERT_EQ(warned.size(), 1u) << "once while the reason stays";
    EXPECT_NE(warned[0].find(c.address + " " + c.says), std::string::npos) << warned[0];
  }
}

}  // namespace
}  // namespace station_test
