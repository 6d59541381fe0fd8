#include "platform/log.h"

#include <utility>

namespace tessomar::platform {

namespace {
// Set by the host once at start-up, before any control exists.
LogSink& sink() {
  static LogSink s;
  return s;
}
}  // namespace

void set_log_sink(LogSink s) { sink() = std::move(s); }

void log(LogLevel level, std::string_view message) {
  if (sink()) sink()(level, message);
}

}  // namespace tessomar::platform
