#pragma once

// Keeps every line the daemon logs so tests can check that a line was (or was
// not) written. Installed on first use; call Logs() before starting threads.

#include <spdlog/sinks/base_sink.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "logger.h"

namespace station_test {

class LogCapture : public spdlog::sinks::base_sink<std::mutex> {
 public:
  // Number of captured lines containing `text`.
  int Count(const std::string& text) { return static_cast<int>(Lines(text).size()); }
  bool Has(const std::string& text) { return Count(text) > 0; }
  // The captured lines containing `text`, in order.
  std::vector<std::string> Lines(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> found;
    std::copy_if(lines_.begin(), lines_.end(), std::back_inserter(found),
                 [&](const std::string& line) { return line.find(text) != line.npos; });
    return found;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }

 protected:
  // Called with the sink's mutex_ held.
  void sink_it_(const spdlog::details::log_msg& msg) override {
    lines_.emplace_back(msg.payload.data(), msg.payload.size());
  }
  void flush_() override {}

 private:
  std::vector<std::string> lines_;
};

inline LogCapture& Logs() {
  static std::shared_ptr<LogCapture> capture = [] {
    auto sink = std::make_shared<LogCapture>();
    if (auto logger = vantorel::Logger::Instance().logger()) {
      logger->sinks().push_back(sink);
    }
    return sink;
  }();
  return *capture;
}

}  // namespace station_test
