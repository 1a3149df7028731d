#pragma once

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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
    if (level == spdlog::level::debug && level_ > spdlog::level::debug) {
      return;  // not even formatted: debug lines sit on the request path
    }
    Write(loc, level, fmt::format(format, std::forward<Args>(args)...));
  }
  // One already formatted message, prefixed and passed on like Log's.
  void Write(const spdlog::source_loc& loc, spdlog::level::level_enum level, const std::string& message);

  std::shared_ptr<spdlog::logger> logger() const { return logger_; }
  int level() const { return level_; }

  // An error code logged ("ErrorCode: N, ..."), with the wall-clock second it was logged.
  struct CodeRecord {
    int64_t code = 0;
    int64_t wall_seconds = 0;
  };
  static constexpr size_t kRecentCodes = 20;
  // The last kRecentCodes error codes logged, oldest first: what a remote technician
  // would otherwise read from the journal.
  std::vector<CodeRecord> RecentCodes() const;

 private:
  explicit Logger(const std::string& name);
  std::string Prefix(spdlog::level::level_enum level);

  std::shared_ptr<spdlog::logger> logger_;
  // Shared by every logging thread; an atomic byte keeps the increments whole.
  std::atomic<uint8_t> counter_{0};
  int level_ = spdlog::level::info;
  mutable std::mutex codes_mutex_;  // guards codes_
  std::deque<CodeRecord> codes_;
};

// Payloads are logged at most this long.
constexpr size_t kLogExcerptBytes = 1024;

// `text` as it goes into a log line: whole up to `limit` bytes, otherwise its first
// `limit` bytes followed by "... (N bytes)" with the full length. Thread-safe.
std::string LogExcerpt(const std::string& text, size_t limit = kLogExcerptBytes);

// Holds one message site to at most one line per interval: a flood of the same
// fault must not drown the journal. The lines held back are counted and the count
// is appended to the next line let through. Thread-safe.
class LineRateLimit {
 public:
  using Clock = std::chrono::steady_clock;

  explicit LineRateLimit(Clock::duration interval = std::chrono::seconds(1)) : interval_(interval) {}

  // True when a line at `now` may be written; `suppressed` then receives the
  // number held back since the last one written.
  bool Pass(Clock::time_point now, uint64_t* suppressed);

 private:
  std::mutex mutex_;  // guards the three below
  bool any_ = false;
  Clock::time_point last_{};
  uint64_t held_ = 0;
  const Clock::duration interval_;
};

// " (N similar lines suppressed)", or nothing when N is 0.
std::string SuppressedSuffix(uint64_t suppressed);

}  // namespace vantorel

#define VANTOREL_LOG(level, ...) \
  ::vantorel::Logger::Instance().Log(spdlog::source_loc{__FILE__, __LINE__, __func__}, level, __VA_ARGS__)

// Like VANTOREL_LOG, at most one line a second from this statement.
#define VANTOREL_LOG_LIMITED(level, ...)                                                           \
  do {                                                                                             \
    static ::vantorel::LineRateLimit vantorel_site_limit;                                          \
    uint64_t vantorel_suppressed = 0;                                                              \
    if (vantorel_site_limit.Pass(::vantorel::LineRateLimit::Clock::now(), &vantorel_suppressed)) { \
      ::vantorel::Logger::Instance().Write(                                                        \
          spdlog::source_loc{__FILE__, __LINE__, __func__}, level,                                 \
          fmt::format(__VA_ARGS__) + ::vantorel::SuppressedSuffix(vantorel_suppressed));           \
    }                                                                                              \
  } while (false)

#define LOG_DEBUG(...) VANTOREL_LOG(spdlog::level::debug, __VA_ARGS__)
#define LOG_INFO(...) VANTOREL_LOG(spdlog::level::info, __VA_ARGS__)
#define LOG_WARN(...) VANTOREL_LOG(spdlog::level::warn, __VA_ARGS__)
#define LOG_ERROR(...) VANTOREL_LOG(spdlog::level::err, __VA_ARGS__)
#define LOG_WARN_LIMITED(...) VANTOREL_LOG_LIMITED(spdlog::level::warn, __VA_ARGS__)
#define LOG_ERROR_LIMITED(...) VANTOREL_LOG_LIMITED(spdlog::level::err, __VA_ARGS__)
