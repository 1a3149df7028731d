#include "support/mosquitto.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

namespace station_test {

TestCertificates::TestCertificates() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "certs-XXXXXX").string();
  char* made = ::mkdtemp(tmpl.data());
  dir_ = made != nullptr ? made : tmpl;
}

TestCertificates::~TestCertificates() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

bool TestCertificates::Run(const std::string& command) const {
  const std::string line = "cd '" + dir_ + "' && " + command + " >>openssl.log 2>&1";
  return std::system(line.c_str()) == 0;
}

// A key and a certificate `name`.crt/.key for `subject`, signed by the CA, with `extensions`.
bool TestCertificates::Sign(const std::string& name, const std::string& subject, const std::string& extensions) const {
  std::ofstream(Path(name + ".ext"), std::ios::trunc) << extensions << "\n";
  return Run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + name + ".key -out " +
             name + ".csr -subj '/CN=" + subject + "'") &&
         Run("openssl x509 -req -in " + name + ".csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -out " + name +
             ".crt -extfile " + name + ".ext");
}

bool TestCertificates::Make() {
  const auto ca = [&](const std::string& name, const std::string& subject) {
    return Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -keyout " + name +
               ".key -out " + name + ".crt -subj '/CN=" + subject + "'");
  };
  const bool made = ca("ca", "station test CA") && ca("other-ca", "unrelated test CA") &&
                    Sign("server", "localhost", "subjectAltName=IP:127.0.0.1,DNS:localhost") &&
                    Sign("misnamed", "elsewhere.invalid", "subjectAltName=DNS:elsewhere.invalid") &&
                    Sign("client", "station client", "extendedKeyUsage=clientAuth");
  // Started as root, mosquitto reads its files as its own user.
  ::chmod(dir_.c_str(), 0755);
  for (const char* key : {"ca.key", "other-ca.key", "server.key", "misnamed.key", "client.key"}) {
    ::chmod(Path(key).c_str(), 0644);
  }
  return made;
}

TlsListener TestCertificates::Server(bool require_certificate) const {
  return TlsListener{ca(), Path("server.crt"), Path("server.key"), require_certificate};
}

TlsListener TestCertificates::MisnamedServer() const {
  return TlsListener{ca(), Path("misnamed.crt"), Path("misnamed.key"), false};
}

std::string TestCertificates::Log() const { return kit::ReadWholeFile(Path("openssl.log")); }

std::string StartMqtt311Broker(ChildProcess* process, bool silent) {
  const uint16_t port = FreeLoopbackPort();
  std::vector<std::string> args = {STATION_TEST_SUPPORT_DIR "/mqtt311_broker.py", std::to_string(port)};
  if (silent) {
    args.push_back("--silent");
  }
  const std::string log = (std::filesystem::temp_directory_path() / ("mqtt311-" + args[1] + ".log")).string();
  const bool up = process->Start("/usr/bin/python3", args, {}, log) &&
                  WaitUntil([&] { return !process->Running() || kit::PortAccepts(port); }) && process->Running();
  return up ? "127.0.0.1:" + args[1] : "";
}

}  // namespace station_test
