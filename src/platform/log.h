// Diagnostics as a service: a host creates a Logger with the sink of its choice and lends it
// to the control, which passes it on to whatever reports. A logger without a sink is silent.
#pragma once

#include <functional>
#include <string_view>
#include <utility>

namespace tessomar::platform {

enum class LogLevel { Debug, Info, Warning, Error };

using LogSink = std::function<void(LogLevel, std::string_view)>;

class Logger {
 public:
  Logger() = default;
  explicit Logger(LogSink sink) : sink_(std::move(sink)) {}

  // An empty sink silences the logger.
  void set_sink(LogSink sink) { sink_ = std::move(sink); }

  void log(LogLevel level, std::string_view message) const {
    if (sink_) sink_(level, message);
  }
  void debug(std::string_view message) const { log(LogLevel::Debug, message); }
  void info(std::string_view message) const { log(LogLevel::Info, message); }
  void warning(std::string_view message) const { log(LogLevel::Warning, message); }
  void error(std::string_view message) const { log(LogLevel::Error, message); }

 private:
  LogSink sink_;
};

// A sink that writes each message as one line on stderr.
void log_to_stderr(LogLevel level, std::string_view message);

}  // namespace tessomar::platform
