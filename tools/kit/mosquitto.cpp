#include "kit/mosquitto.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kit {

namespace {

constexpr const char* kMosquitto = "/usr/sbin/mosquitto";

}  // namespace

MosquittoBroker::MosquittoBroker(uint16_t port, bool tcp_nodelay, std::optional<TlsListener> tls,
                                 const std::string& dir)
    : port_(port != 0 ? port : FreeLoopbackPort()), tls_(std::move(tls)), dir_(dir) {
  if (dir_.empty()) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "mosquitto-XXXXXX").string();
    char* made = ::mkdtemp(tmpl.data());
    dir_ = made != nullptr ? made : tmpl;
    own_dir_ = true;
    // Started as root, mosquitto reads its files as its own user.
    ::chmod(dir_.c_str(), 0755);
  }
  while (tls_ && (tls_port_ == 0 || tls_port_ == port_)) {
    tls_port_ = FreeLoopbackPort();
  }
  WriteConfig(tcp_nodelay);
}

MosquittoBroker::~MosquittoBroker() {
  Stop();
  if (own_dir_) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

bool MosquittoBroker::WriteConfig(bool tcp_nodelay) const {
  std::ofstream conf(dir_ + "/mosquitto.conf", std::ios::trunc);
  conf << "listener " << port_ << " 127.0.0.1\n"
       << "allow_anonymous true\n"
       << "set_tcp_nodelay " << (tcp_nodelay ? "true" : "false") << "\n"
       << "persistence false\n"
       << "log_dest stderr\n"
       << "log_type error\nlog_type warning\nlog_type notice\nlog_type information\n";
  if (tls_) {
    conf << "listener " << tls_port_ << " 127.0.0.1\n"
         << "cafile " << tls_->ca_file << "\ncertfile " << tls_->cert_file << "\nkeyfile " << tls_->key_file << "\n"
         << "require_certificate " << (tls_->require_certificate ? "true" : "false") << "\n"
         << "use_identity_as_username false\n";
  }
  return static_cast<bool>(conf);
}

bool MosquittoBroker::RequirePassword(const std::string& user, const std::string& password) {
  const std::string passwords = dir_ + "/passwords";
  const std::string command = "mosquitto_passwd -c -b " + passwords + " " + user + " " + password + " >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0 || ::chmod(passwords.c_str(), 0644) != 0) {
    return false;
  }
  const std::string conf_path = dir_ + "/mosquitto.conf";
  std::stringstream conf;
  conf << std::ifstream(conf_path).rdbuf();
  std::string text = conf.str();
  const std::string anonymous = "allow_anonymous true";
  const size_t at = text.find(anonymous);
  if (at == std::string::npos) {
    return false;
  }
  text.replace(at, anonymous.size(), "allow_anonymous false\npassword_file " + passwords);
  std::ofstream(conf_path, std::ios::trunc) << text;
  return true;
}

bool MosquittoBroker::Start() {
  if (running()) {
    return true;
  }
  if (!process_.Start(kMosquitto, {"-c", dir_ + "/mosquitto.conf"}, {}, dir_ + "/mosquitto.log")) {
    return false;
  }
  // An early exit (the port is taken, say) ends the wait.
  return WaitUntil([this] { return PortAccepts(port_) && (tls_port_ == 0 || PortAccepts(tls_port_)); },
                   std::chrono::seconds(20), [this] { return process_.Running(); });
}

bool MosquittoBroker::Restart(bool tcp_nodelay) {
  Stop();
  return WriteConfig(tcp_nodelay) && Start();
}

}  // namespace kit
