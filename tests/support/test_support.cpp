#include "support/test_support.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace station_test {

std::string BuiltProgram(const std::string& name) { return std::string(STATION_BIN_DIR) + "/" + name; }

std::string HostName() {
  char host[64] = {};
  ::gethostname(host, sizeof(host) - 1);
  return host;
}

int ConnectFrom(const std::string& from, uint16_t port, const std::string& to, std::chrono::milliseconds limit) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  const bool bound = fd >= 0 && ::inet_pton(AF_INET, from.c_str(), &addr.sin_addr) == 1 &&
                     ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  addr.sin_port = htons(port);
  pollfd wait{fd, POLLOUT, 0};
  int error = -1;
  socklen_t size = sizeof(error);
  if (bound && ::inet_pton(AF_INET, to.c_str(), &addr.sin_addr) == 1 &&
      (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 || errno == EINPROGRESS) &&
      ::poll(&wait, 1, static_cast<int>(limit.count())) == 1 &&
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) {
    return fd;
  }
  if (fd >= 0) ::close(fd);
  return -1;
}

TempRoot::TempRoot() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "station-root-XXXXXX").string();
  char* made = ::mkdtemp(tmpl.data());
  path_ = made != nullptr ? made : tmpl;
  std::filesystem::create_directories(path_ + "/usr/lib/vantorel-station-center/config");
  std::filesystem::create_directories(path_ + "/etc/vantorel");
  const char* prev = std::getenv("STATION_CENTER_ROOT");
  if (prev != nullptr) {
    had_previous_root_ = true;
    previous_root_ = prev;
  }
  ::setenv("STATION_CENTER_ROOT", path_.c_str(), 1);
}

void TempRoot::WriteStation(uint16_t board_port, uint16_t sensor_port, const std::string& broker,
                            const std::string& config) const {
  const std::string dir = "/usr/lib/vantorel-station-center/";
  WriteFile(dir + "config/config.json",
            "{\"station_id\": \"station-xx\", \"embedded_ip\": \"127.0.0.1\", \"soc_ip\": \"127.0.0.1\", "
            "\"embedded_action_port\": " +
                std::to_string(board_port) + ", \"soc_data_server_port\": " + std::to_string(sensor_port) + ", " +
                config + "}");
  WriteFile(dir + "config/led.json", R"({"station_reset": 1, "led_normal_work": 100})");
  WriteFile(dir + "status/status.json", "{\"dust_bag_last_replace_time\": " + std::to_string(::time(nullptr)) +
                                            ", \"hardware\": \"dvt3\", \"mqtt_server_address\": \"" + broker + "\"}");
}

TempRoot::~TempRoot() {
  if (had_previous_root_) {
    ::setenv("STATION_CENTER_ROOT", previous_root_.c_str(), 1);
  } else {
    ::unsetenv("STATION_CENTER_ROOT");
  }
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void TempRoot::WriteFile(const std::string& rel, const std::string& content) const {
  const std::filesystem::path p = Under(rel);
  std::filesystem::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string TempRoot::ReadFile(const std::string& rel) const { return kit::ReadWholeFile(Under(rel)); }

}  // namespace station_test
