#include "platform/devtime.h"

#include <algorithm>
#include <array>

namespace tessomar::platform {
namespace {

constexpr uint32_t kSecondsPerDay = 86400;
constexpr unsigned kYears = 100;  // 2000 to 2099
constexpr std::array<uint8_t, 12> kMonthDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

unsigned year_length(unsigned year_index) { return is_device_leap_year(year_index) ? 366 : 365; }

constexpr LocalDateTime kLastMoment{2099, 12, 31, 23, 59, 59};

// value - first, clamped into 0 to count - 1 (in 64 bits: a field may be any int).
unsigned index_in(int value, int first, unsigned count) {
  return unsigned(std::clamp<int64_t>(int64_t(value) - first, 0, int64_t(count) - 1));
}

// Keeps the largest sum of a day and its hours, minutes and seconds below 2^32.
uint32_t clamp_field(int value) { return uint32_t(std::clamp(value, 0, 65535)); }

}  // namespace

bool is_device_leap_year(unsigned year_index) {
  return year_index % 4 == 0 && year_index % 100 != 0;
}

unsigned device_month_length(unsigned year_index, unsigned month) {
  if (month < 1 || month > 12) return 0;
  if (month == 2 && is_device_leap_year(year_index)) return 29;
  return kMonthDays[month - 1];
}

uint32_t seconds_from_date(const LocalDateTime& d) {
  const unsigned years = index_in(d.year, 2000, kYears);
  const unsigned months = index_in(d.month, 1, 12);
  const unsigned days = index_in(d.day, 1, 32);

  uint32_t total_days = 0;
  for (unsigned i = 0; i < years; ++i) total_days += year_length(i);
  for (unsigned m = 1; m <= months; ++m) total_days += device_month_length(years, m);
  total_days += days;

  // Largest result: 36524 days * 86400 + 65535 h/min/s each, still below 2^32.
  return total_days * kSecondsPerDay + clamp_field(d.hour) * 3600 + clamp_field(d.minute) * 60 +
         clamp_field(d.second);
}

LocalDateTime date_from_seconds(uint32_t t) {
  uint32_t days = t / kSecondsPerDay;
  const uint32_t rest = t % kSecondsPerDay;

  unsigned year_index = 0;
  while (days >= year_length(year_index)) {
    days -= year_length(year_index);
    if (++year_index >= kYears) return kLastMoment;
  }
  unsigned month = 1;
  while (days >= device_month_length(year_index, month)) {
    days -= device_month_length(year_index, month);
    ++month;
  }
  LocalDateTime d;
  d.year = int(2000 + year_index);
  d.month = int(month);
  d.day = int(days + 1);
  d.hour = int(rest / 3600);
  d.minute = int(rest % 3600 / 60);
  d.second = int(rest % 60);
  return d;
}

void timeText(uint32_t t, char* buffer, size_t length) {
  if (buffer == nullptr || length == 0) return;
  const LocalDateTime d = date_from_seconds(t);
  char text[kTimeTextLength + 1];
  auto put = [&text](size_t at, unsigned value, size_t width) {
    for (size_t i = width; i-- > 0;) {
      text[at + i] = char('0' + value % 10);
      value /= 10;
    }
  };
  put(0, unsigned(d.year), 4);
  text[4] = '/';
  put(5, unsigned(d.month), 2);
  text[7] = '/';
  put(8, unsigned(d.day), 2);
  text[10] = ' ';
  put(11, unsigned(d.hour), 2);
  text[13] = ':';
  put(14, unsigned(d.minute), 2);
  text[16] = ':';
  put(17, unsigned(d.second), 2);
  text[kTimeTextLength] = '\0';

  const size_t n = std::min(length - 1, kTimeTextLength);
  std::copy_n(text, n, buffer);
  buffer[n] = '\0';
}

std::string timeText(uint32_t t) {
  char buffer[kTimeTextLength + 1];
  timeText(t, buffer, sizeof buffer);
  return std::string(buffer, kTimeTextLength);
}

uint32_t deviceTimeNow(const Clock& clock) { return seconds_from_date(clock.local_now()); }

bool parse_time_text(std::string_view text, LocalDateTime& out) {
  if (text.size() != kTimeTextLength) return false;
  auto digits = [&text](size_t at, size_t width, unsigned& value) {
    value = 0;
    for (size_t i = at; i < at + width; ++i) {
      const char c = text[i];
      if (c < '0' || c > '9') return false;
      value = value * 10 + unsigned(c - '0');
    }
    return true;
  };
  const char sep = text[4];
  if ((sep != '/' && sep != '-') || text[7] != sep || text[10] != ' ' || text[13] != ':' ||
      text[16] != ':') {
    return false;
  }
  unsigned year, month, day, hour, minute, second;
  if (!digits(0, 4, year) || !digits(5, 2, month) || !digits(8, 2, day) || !digits(11, 2, hour) ||
      !digits(14, 2, minute) || !digits(17, 2, second)) {
    return false;
  }
  if (year < 2000 || year >= 2000 + kYears) return false;
  if (month < 1 || month > 12) return false;
  if (day < 1 || day > device_month_length(year - 2000, month)) return false;
  if (hour > 23 || minute > 59 || second > 59) return false;

  out = LocalDateTime{int(year), int(month), int(day), int(hour), int(minute), int(second)};
  return true;
}

}  // namespace tessomar::platform
