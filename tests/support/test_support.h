#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "kit/process.h"

namespace station_test {

using ChildProcess = kit::Child;
using kit::FreeLoopbackPort;
using kit::Spawn;
using kit::WaitUntil;

inline bool Has(const std::string& text, const std::string& wanted) { return text.find(wanted) != std::string::npos; }

// Path of a program built alongside the tests.
std::string BuiltProgram(const std::string& name);

// This machine's name: the station id a daemon takes at start.
std::string HostName();

// A TCP connection from the loopback address `from` to `to`:`port`, given up after `limit` (a
// full backlog stalls a connect): its non-blocking descriptor, or -1.
int ConnectFrom(const std::string& from, uint16_t port, const std::string& to = "127.0.0.1",
                std::chrono::milliseconds limit = std::chrono::seconds(20));

// A fresh directory tree used as STATION_CENTER_ROOT for the lifetime of the
// object: the config directory and etc/vantorel/ exist; the status directory
// does not, as on a station before its first start.
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& path() const { return path_; }
  // Path of `rel` (e.g. "/usr/lib/vantorel-station-center/config/config.json") inside the root.
  std::string Under(const std::string& rel) const { return path_ + rel; }
  void WriteFile(const std::string& rel, const std::string& content) const;
  // A station's files for a daemon run: config.json with the board link on
  // loopback at the given ports and the `config` members appended, a two-pattern
  // led.json, and status.json naming `broker` with a dust bag replaced now.
  void WriteStation(uint16_t board_port, uint16_t sensor_port, const std::string& broker,
                    const std::string& config) const;
  std::string ReadFile(const std::string& rel) const;

 private:
  std::string path_;
  std::string previous_root_;
  bool had_previous_root_ = false;
};

}  // namespace station_test
