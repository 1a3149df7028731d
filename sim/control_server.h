#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace station_sim {

// A local control socket (unix domain, stream) for scripts and tests. Each
// line a client sends is passed to the handler; the answer's lines go back
// followed by a line holding a single "." that marks the end of the answer.
// Start/Stop from one thread; the handler runs on the server's own thread.
class ControlServer {
 public:
  using Handler = std::function<std::string(const std::string& line)>;

  explicit ControlServer(Handler handler) : handler_(std::move(handler)) {}
  ~ControlServer() { Stop(); }
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Replaces a stale socket file at `path`; false if it cannot listen there.
  bool Start(const std::string& path);
  void Stop();

 private:
  void Loop();

  Handler handler_;
  std::string path_;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};  // Stop() writes here to end the loop at once
  std::thread thread_;
};

// Client side: sends one line to the control socket at `path` and returns the
// answer without its end marker; false when the simulator cannot be reached.
bool ControlRequest(const std::string& path, const std::string& line, std::string* answer, int timeout_ms = 5000);

}  // namespace station_sim
