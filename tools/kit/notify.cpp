#include "kit/notify.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace kit {

std::string NotifyListener::Note::Get(const std::string& key) const {
  const std::string wanted = key + "=";
  for (size_t at = 0; at < text.size();) {
    const size_t nl = std::min(text.find('\n', at), text.size());
    if (text.compare(at, wanted.size(), wanted) == 0) {
      return text.substr(at + wanted.size(), nl - at - wanted.size());
    }
    at = nl + 1;
  }
  return "";
}

bool NotifyListener::Start(const std::string& name) {
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;  // sun_path[0] stays 0: the abstract namespace
  std::memcpy(addr.sun_path + 1, name.data() + 1, std::min(name.size() - 1, sizeof(addr.sun_path) - 2));
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    return false;
  }
  started_ = Clock::now();
  thread_ = std::thread([this] { Loop(); });
  return true;
}

void NotifyListener::Stop() {
  stop_ = true;
  if (thread_.joinable()) {
    thread_.join();
  }
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

void NotifyListener::Loop() {
  pollfd readable = {fd_, POLLIN, 0};
  while (!stop_) {
    if (::poll(&readable, 1, 50) > 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      ReceiveLocked();
    }
  }
}

// Under the lock throughout, so that two readers keep the order of arrival.
void NotifyListener::ReceiveLocked() const {
  char buffer[4096];
  for (ssize_t n; fd_ >= 0 && (n = ::recv(fd_, buffer, sizeof(buffer), 0)) >= 0;) {
    notes_.push_back({Clock::now(), std::string(buffer, static_cast<size_t>(n))});
  }
}

std::vector<NotifyListener::Note> NotifyListener::With(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  ReceiveLocked();  // also what this very thread sent a moment ago
  std::vector<Note> out;
  for (const Note& note : notes_) {
    if (key.empty() || !note.Get(key).empty()) {
      out.push_back(note);
    }
  }
  return out;
}

std::string NotifyListener::status() const {
  const auto notes = With("STATUS");
  return notes.empty() ? "" : notes.back().Get("STATUS");
}

bool NotifyListener::ready() const { return !With("READY").empty(); }

double NotifyListener::SinceWatchdog() const {
  const auto pings = With("WATCHDOG");
  return std::chrono::duration<double>(Clock::now() - (pings.empty() ? started_ : pings.back().at)).count();
}

}  // namespace kit
