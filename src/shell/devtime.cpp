#include "shell/devtime.h"

#include <algorithm>
#include <array>

namespace tessomar::shell {
namespace {

constexpr uint32_t kSecondsPerDay = 86400;
constexpr unsigned kYears = 100;  // 2000 to 2099
constexpr std::array<uint8_t, 12> kMonthDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

unsigned year_length(unsigned year_index) { return is_device_leap_year(year_index) ? 366 : 365; }

constexpr Date kLastMoment{2099, 12, 31, 23, 59, 59};

int clamp_field(int value) { return std::clamp(value, 0, 65535); }

}  // namespace

bool is_device_leap_year(unsigned year_index) {
  return year_index % 4 == 0 && year_index % 100 != 0;
}

unsigned device_month_length(unsigned year_index, unsigned month) {
  if (month < 1 || month > 12) return 0;
  if (month == 2 && is_device_leap_year(year_index)) return 29;
  return kMonthDays[month - 1];
}

uint32_t seconds_from_date(const Date& d) {
  const unsigned years = std::clamp<int>(int(d.year) - 2000, 0, kYears - 1);
  const unsigned months = std::clamp<int>(int(d.month) - 1, 0, 11);
  const unsigned days = std::clamp<int>(int(d.day) - 1, 0, 31);

  uint32_t total_days = 0;
  for (unsigned i = 0; i < years; ++i) total_days += year_length(i);
  for (unsigned m = 1; m <= months; ++m) total_days += device_month_length(years, m);
  total_days += days;

  // Largest result: 36524 days * 86400 + 65535 h/min/s each, still below 2^32.
  return total_days * kSecondsPerDay + uint32_t(d.hour) * 3600 + uint32_t(d.minute) * 60 +
         uint32_t(d.second);
}

Date date_from_seconds(uint32_t t) {
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
  Date d;
  d.year = uint16_t(2000 + year_index);
  d.month = uint16_t(month);
  d.day = uint16_t(days + 1);
  d.hour = uint16_t(rest / 3600);
  d.minute = uint16_t(rest % 3600 / 60);
  d.second = uint16_t(rest % 60);
  return d;
}

void timeText(uint32_t t, char* buffer, size_t length) {
  if (buffer == nullptr || length == 0) return;
  const Date d = date_from_seconds(t);
  char text[kTimeTextLength + 1];
  auto put = [&text](size_t at, unsigned value, size_t width) {
    for (size_t i = width; i-- > 0;) {
      text[at + i] = char('0' + value % 10);
      value /= 10;
    }
  };
  put(0, d.year, 4);
  text[4] = '/';
  put(5, d.month, 2);
  text[7] = '/';
  put(8, d.day, 2);
  text[10] = ' ';
  put(11, d.hour, 2);
  text[13] = ':';
  put(14, d.minute, 2);
  text[16] = ':';
  put(17, d.second, 2);
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

uint32_t deviceTimeNow(const platform::Clock& clock) {
  const platform::LocalDateTime now = clock.local_now();
  // Clamp before narrowing so a wild reading cannot wrap into a plausible field.
  Date d;
  d.year = uint16_t(clamp_field(now.year));
  d.month = uint16_t(clamp_field(now.month));
  d.day = uint16_t(clamp_field(now.day));
  d.hour = uint16_t(clamp_field(now.hour));
  d.minute = uint16_t(clamp_field(now.minute));
  d.second = uint16_t(clamp_field(now.second));
  return seconds_from_date(d);
}

bool parse_time_text(std::string_view text, Date& out) {
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
  if (!digits(0, 4, year) || !digits(5, 2, month) || !digits(8, 2, day) ||
      !digits(11, 2, hour) || !digits(14, 2, minute) || !digits(17, 2, second)) {
    return false;
  }
  if (year < 2000 || year >= 2000 + kYears) return false;
  if (month < 1 || month > 12) return false;
  if (day < 1 || day > device_month_length(year - 2000, month)) return false;
  if (hour > 23 || minute > 59 || second > 59) return false;

  out = Date{uint16_t(year), uint16_t(month), uint16_t(day),
             uint16_t(hour), uint16_t(minute), uint16_t(second)};
  return true;
}

}  // namespace tessomar::shell
