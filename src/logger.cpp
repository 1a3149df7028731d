#include "logger.h"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/sinks/systemd_sink.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace vantorel {

namespace {

// Notices go straight to standard output: the logger does not exist yet.
void Notice(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

}  // namespace

Logger& Logger::Instance() {
  static Logger instance("spdlog");
  return instance;
}

Logger::Logger(const std::string& name) {
  std::vector<spdlog::sink_ptr> sinks;

  const char* stdout_env = std::getenv("SPDLOG_STDOUT");
  if (stdout_env == nullptr) {
    Notice("environment variable SPDLOG_STDOUT is not set, and set true\n");
    sinks.push_back(std::make_shared<spdlog::sinks::stdout_color_sink_mt>());
  } else if (std::strcmp(stdout_env, "true") == 0) {
    sinks.push_back(std::make_shared<spdlog::sinks::stdout_color_sink_mt>());
  } else if (std::strcmp(stdout_env, "false") != 0) {
    Notice("environment variable SPDLOG_STDOUT is invalid, and set true\n");
    sinks.push_back(std::make_shared<spdlog::sinks::stdout_color_sink_mt>());
  }

  const char* systemd_env = std::getenv("SPDLOG_SYSTEMD");
  if (systemd_env == nullptr) {
    Notice("environment variable SPDLOG_SYSTEMD is not set, and set false\n");
  } else if (std::strcmp(systemd_env, "true") == 0) {
    sinks.push_back(std::make_shared<spdlog::sinks::systemd_sink_mt>());
  } else if (std::strcmp(systemd_env, "false") != 0) {
    Notice("environment variable SPDLOG_SYSTEMD is invalid, and set false\n");
  }

  logger_ = std::make_shared<spdlog::logger>(name, sinks.begin(), sinks.end());

  int level = spdlog::level::info;
  const char* level_env = std::getenv("SPDLOG_LEVEL");
  if (level_env == nullptr) {
    Notice("environment variable SPDLOG_LEVEL is not set, and set default level\n");
  } else {
    static const struct {
      const char* name;
      int level;
    } kLevels[] = {{"trace", 0}, {"debug", 1}, {"info", 2}, {"warning", 3},
                   {"warn", 3},  {"error", 4}, {"err", 4},  {"critical", 5}};
    bool found = false;
    for (const auto& entry : kLevels) {
      if (std::strcmp(level_env, entry.name) == 0) {
        level = entry.level;
        found = true;
        break;
      }
    }
    if (!found) {
      Notice("environment variable SPDLOG_LEVEL is invalid, and set default level\n");
    }
  }
  level_ = level;
  logger_->set_level(static_cast<spdlog::level::level_enum>(level));
  logger_->set_formatter(std::make_unique<spdlog::pattern_formatter>("%v", spdlog::pattern_time_type::local, "\n"));
}

void Logger::Write(const spdlog::source_loc& loc, spdlog::level::level_enum level, const std::string& message) {
  std::shared_ptr<spdlog::logger> logger = logger_;
  const std::string text = Prefix(level) + message;
  if (logger) {
    logger->log(loc, level, "{}", text);
  }
  // Both spellings occur in the station's lines.
  if (message.size() > 11 &&
      (message.compare(0, 11, "ErrorCode: ") == 0 || message.compare(0, 11, "Errorcode: ") == 0)) {
    const int64_t code = std::strtoll(message.c_str() + 11, nullptr, 10);
    const int64_t now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    std::lock_guard<std::mutex> lock(codes_mutex_);
    codes_.push_back(CodeRecord{code, now});
    if (codes_.size() > kRecentCodes) {
      codes_.pop_front();
    }
  }
}

std::vector<Logger::CodeRecord> Logger::RecentCodes() const {
  std::lock_guard<std::mutex> lock(codes_mutex_);
  return {codes_.begin(), codes_.end()};
}

bool LineRateLimit::Pass(Clock::time_point now, uint64_t* suppressed) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (any_ && now - last_ < interval_) {
    ++held_;
    return false;
  }
  any_ = true;
  last_ = now;
  *suppressed = held_;
  held_ = 0;
  return true;
}

std::string SuppressedSuffix(uint64_t suppressed) {
  return suppressed == 0 ? std::string() : fmt::format(" ({} similar lines suppressed)", suppressed);
}

std::string Logger::Prefix(spdlog::level::level_enum level) {
  // The number advances only for statements at or above the threshold.
  uint8_t number =
      level_ <= static_cast<int>(level) ? static_cast<uint8_t>(counter_.fetch_add(1) + 1) : counter_.load();
  const int shown = number & 127;
  switch (level) {
    case spdlog::level::debug:
      return fmt::format("{0:3d} [DEBUG] ", shown);
    case spdlog::level::warn:
      return fmt::format("{0:3d} [WARN] ", shown);
    case spdlog::level::err:
      return fmt::format("{0:3d} [ERROR] ", shown);
    default:
      return fmt::format("{0:3d} [INFO] ", shown);
  }
}

std::string LogExcerpt(const std::string& text, size_t limit) {
  if (text.size() <= limit) {
    return text;
  }
  // Cut before a UTF-8 continuation byte, so the line stays valid text for the journal.
  size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
    --cut;
  }
  return text.substr(0, cut) + fmt::format("... ({} bytes)", text.size());
}

}  // namespace vantorel
