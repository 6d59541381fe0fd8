#include "platform/log.h"

#include <cstdio>

namespace tessomar::platform {

void log_to_stderr(LogLevel, std::string_view message) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
}

}  // namespace tessomar::platform
