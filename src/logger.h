#pragma once

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vantorel {

// Process-wide logger. Instance() is safe from any thread; sinks are chosen once
// from SPDLOG_STDOUT, SPDLOG_SYSTEMD and SPDLOG_LEVEL at first use.
class Logger {
 public:
  static Logger& Instance();

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // One log statement: numbered prefix + message, passed on with its source location.
  template <typename... Args>
  void Log(const spdlog::source_loc& loc, spdlog::level::level_enum level, fmt::format_string<Args...> format,
           Args&&... args) {
    std::shared_ptr<spdlog::logger> logger = logger_;
    const std::string prefix = Prefix(level);
    std::string text = prefix + fmt::format(format, std::forward<Args>(args)...);
    if (logger) {
      logger->log(loc, level, "{}", text);
    }
  }

  std::shared_ptr<spdlog::logger> logger() const { return logger_; }
  int level() const { return level_; }

 private:
  explicit Logger(const std::string& name);
  std::string Prefix(spdlog::level::level_enum level);

  std::shared_ptr<spdlog::logger> logger_;
  // Shared by every logging thread; an atomic byte keeps the increments whole.
  std::atomic<uint8_t> counter_{0};
  int level_ = spdlog::level::info;
};

// Payloads are logged at most this long.
constexpr size_t kLogExcerptBytes = 1024;

// `text` as it goes into a log line: whole up to `limit` bytes, otherwise its first
// `limit` bytes followed by "... (N bytes)" with the full length. Thread-safe.
std::string LogExcerpt(const std::string& text, size_t limit = kLogExcerptBytes);

}  // namespace vantorel

#define VANTOREL_LOG(level, ...) \
  ::vantorel::Logger::Instance().Log(spdlog::source_loc{__FILE__, __LINE__, __func__}, level, __VA_ARGS__)

#define LOG_DEBUG(...) VANTOREL_LOG(spdlog::level::debug, __VA_ARGS__)
#define LOG_INFO(...) VANTOREL_LOG(spdlog::level::info, __VA_ARGS__)
#define LOG_WARN(...) VANTOREL_LOG(spdlog::level::warn, __VA_ARGS__)
#define LOG_ERROR(...) VANTOREL_LOG(spdlog::level::err, __VA_ARGS__)
