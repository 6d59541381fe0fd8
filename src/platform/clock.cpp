#include "platform/clock.h"

#include <chrono>
#include <ctime>

namespace tessomar::platform {

uint32_t SystemClock::now_ms() const {
  using namespace std::chrono;
  return static_cast<uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

LocalDateTime SystemClock::local_now() const {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return LocalDateTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                       tm.tm_hour,        tm.tm_min,     tm.tm_sec};
}

int64_t SystemClock::unix_now() const { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace tessomar::platform
