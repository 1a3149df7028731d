#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace station_test {

// A loopback TCP port that was free a moment ago (bound to 0, read back, closed).
uint16_t FreeLoopbackPort();

// Polls `pred` every few milliseconds until it holds or `timeout` passes.
// Generous deadlines keep tests stable on a loaded machine under TSan.
bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = std::chrono::seconds(20));

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
