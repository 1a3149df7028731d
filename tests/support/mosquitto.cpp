#include "support/mosquitto.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "support/test_support.h"

extern char** environ;

namespace station_test {

namespace {

constexpr const char* kMosquitto = "/usr/sbin/mosquitto";

bool PortAccepts(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return false;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

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

std::string TestCertificates::Log() const {
  std::ifstream in(Path("openssl.log"));
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

MosquittoBroker::MosquittoBroker(uint16_t port, bool tcp_nodelay, std::optional<TlsListener> tls)
    : port_(port != 0 ? port : FreeLoopbackPort()) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "mosquitto-XXXXXX").string();
  char* made = ::mkdtemp(tmpl.data());
  dir_ = made != nullptr ? made : tmpl;
  conf_path_ = dir_ + "/mosquitto.conf";
  log_path_ = dir_ + "/mosquitto.log";
  // Started as root, mosquitto drops to its own user before opening its log: let it write.
  ::chmod(dir_.c_str(), 0755);
  const int log_fd = ::open(log_path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (log_fd >= 0) {
    ::fchmod(log_fd, 0666);
    ::close(log_fd);
  }
  std::ofstream conf(conf_path_, std::ios::trunc);
  conf << "listener " << port_ << " 127.0.0.1\n"
       << "allow_anonymous true\n"
       << "set_tcp_nodelay " << (tcp_nodelay ? "true" : "false") << "\n"
       << "persistence false\n"
       << "log_dest file " << log_path_ << "\n"
       << "log_type error\nlog_type warning\nlog_type notice\nlog_type information\n";
  if (tls) {
    do {
      tls_port_ = FreeLoopbackPort();
    } while (tls_port_ == port_);
    conf << "listener " << tls_port_ << " 127.0.0.1\n"
         << "cafile " << tls->ca_file << "\ncertfile " << tls->cert_file << "\nkeyfile " << tls->key_file << "\n"
         << "require_certificate " << (tls->require_certificate ? "true" : "false") << "\n"
         << "use_identity_as_username false\n";
  }
}

MosquittoBroker::~MosquittoBroker() {
  Stop();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string StartMqtt311Broker(ChildProcess* process, bool silent) {
  const uint16_t port = FreeLoopbackPort();
  std::vector<std::string> args = {STATION_TEST_SUPPORT_DIR "/mqtt311_broker.py", std::to_string(port)};
  if (silent) {
    args.push_back("--silent");
  }
  const std::string log = (std::filesystem::temp_directory_path() / ("mqtt311-" + args[1] + ".log")).string();
  const bool up = process->Start("/usr/bin/python3", args, {}, log) &&
                  WaitUntil([&] { return !process->Running() || PortAccepts(port); }) && process->Running();
  return up ? "127.0.0.1:" + args[1] : "";
}

bool MosquittoBroker::RequirePassword(const std::string& user, const std::string& password) {
  const std::string passwords = dir_ + "/passwords";
  const std::string command = "mosquitto_passwd -c -b " + passwords + " " + user + " " + password + " >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0 || ::chmod(passwords.c_str(), 0644) != 0) {
    return false;
  }
  std::ifstream in(conf_path_);
  std::stringstream conf;
  conf << in.rdbuf();
  std::string text = conf.str();
  text.replace(text.find("allow_anonymous true"), 20, "allow_anonymous false\npassword_file " + passwords);
  std::ofstream(conf_path_, std::ios::trunc) << text;
  return true;
}

bool MosquittoBroker::Start() {
  if (pid_ > 0) {
    return true;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The broker must not inherit the test's sockets: a duplicated client socket would keep
  // a connection open after the test closed it.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const std::string err_path = log_path_ + ".stderr";
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  std::string conf_arg = conf_path_;
  char* argv[] = {const_cast<char*>(kMosquitto), const_cast<char*>("-c"), conf_arg.data(), nullptr};
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, kMosquitto, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    return false;
  }
  pid_ = pid;
  const bool up = WaitUntil([this] {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;  // exited early, e.g. the port is taken
      return true;
    }
    return PortAccepts(port_) && (tls_port_ == 0 || PortAccepts(tls_port_));
  });
  return up && pid_ > 0;
}

void MosquittoBroker::Stop() {
  if (pid_ <= 0) {
    return;
  }
  ::kill(pid_, SIGTERM);
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
}

std::string MosquittoBroker::address() const { return "127.0.0.1:" + std::to_string(port_); }

std::string MosquittoBroker::tls_address() const { return "ssl://127.0.0.1:" + std::to_string(tls_port_); }

std::string MosquittoBroker::Log() const {
  std::stringstream ss;
  for (const std::string& path : {log_path_, log_path_ + ".stderr"}) {
    std::ifstream in(path);
    ss << in.rdbuf();
  }
  return ss.str();
}

}  // namespace station_test
