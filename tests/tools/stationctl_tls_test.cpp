// stationctl towards a broker that speaks TLS only and wants a client certificate.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/ctl_process.h"
#include "support/mosquitto.h"
#include "support/test_support.h"

namespace station_test {
namespace {

TEST(StationctlTlsTest, ConnectsWithTheGivenFilesAndNamesWhyItCannot) {
  TestCertificates certs;
  ASSERT_TRUE(certs.Make()) << certs.Log();
  MosquittoBroker broker(0, false, certs.Server(true));
  ASSERT_TRUE(broker.Start()) << broker.Log();
  const std::string host_port = broker.tls_address().substr(broker.tls_address().find("://") + 3);
  const auto run = [&](const std::string& scheme, std::vector<std::string> tls) {
    std::vector<std::string> args = {"cloud-reply", "--station", "station-t1", "--timeout", "20"};
    args.insert(args.end(), {"--broker", scheme + "://" + host_port});
    args.insert(args.end(), tls.begin(), tls.end());
    return RunCtl(args);
  };

  // The files reach the session: with them it connects, without the client's it is refused
  // (why, in words: TlsTest.TheDiagnosisNamesWhatIsWrong, the same diagnosis).
  CtlResult r = run("mqtts", {"--cafile", certs.ca(), "--cert", certs.client_cert(), "--key", certs.client_key()});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  r = run("ssl", {"--cafile", certs.ca()});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_NE(r.err.find("certificate required"), std::string::npos) << r.err;
  // Unchecked, the broker's certificate needs no trust.
  r = run("ssl", {"--insecure", "--cert", certs.client_cert(), "--key", certs.client_key()});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.err.find("warning: --insecure"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace station_test
