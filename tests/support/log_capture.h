// A logger for tests: keeps every message so that a test can check a diagnostic reached it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/log.h"

namespace tessomar::testsupport {

class LogCapture {
 public:
  struct Entry {
    platform::LogLevel level;
    std::string message;
  };

  LogCapture() = default;
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const platform::Logger& logger() const { return logger_; }
  const std::vector<Entry>& entries() const { return entries_; }
  void clear() { entries_.clear(); }
  // Some message of that level contains `fragment`.
  bool has(platform::LogLevel level, std::string_view fragment) const {
    for (const Entry& e : entries_) {
      if (e.level == level && e.message.find(fragment) != std::string::npos) return true;
    }
    return false;
  }

 private:
  std::vector<Entry> entries_;
  platform::Logger logger_{[this](platform::LogLevel level, std::string_view message) {
    entries_.push_back({level, std::string(message)});
  }};
};

}  // namespace tessomar::testsupport
