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

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, and back (Howard Hinnant's
// days_from_civil and civil_from_days).
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

struct Civil {
  int64_t year;
  int month;
  int day;
};

Civil civil_from_days(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  return Civil{yoe + era * 400 + (m <= 2 ? 1 : 0), static_cast<int>(m), static_cast<int>(d)};
}

constexpr int64_t kSecondsPerDay = 86400;

}  // namespace

LocalDateTime ManualClock::local_now() const {
  const int64_t local_s = floor_div(base_ms_, 1000) + utc_offset_s_;
  const int64_t days = floor_div(local_s, kSecondsPerDay);
  const int64_t second_of_day = local_s - days * kSecondsPerDay;
  const Civil date = civil_from_days(days);
  return LocalDateTime{static_cast<int>(date.year),
                       date.month,
                       date.day,
                       static_cast<int>(second_of_day / 3600),
                       static_cast<int>(second_of_day / 60 % 60),
                       static_cast<int>(second_of_day % 60)};
}

void ManualClock::set_ms(uint32_t ms) {
  counter_offset_ms_ += static_cast<int64_t>(ms) - static_cast<int64_t>(now_ms());
}

void ManualClock::move_base(int64_t base_ms) {
  counter_offset_ms_ -= base_ms - base_ms_;
  base_ms_ = base_ms;
}

void ManualClock::set_unix(int64_t t) { move_base(t * 1000); }

void ManualClock::set_local(const LocalDateTime& t) {
  const int64_t days = days_from_civil(t.year, t.month, t.day);
  const int64_t local_s = days * kSecondsPerDay + t.hour * 3600 + t.minute * 60 + t.second;
  move_base((local_s - utc_offset_s_) * 1000);
}

}  // namespace tessomar::platform
