// Device time: unsigned 32-bit seconds since 2000-01-01 00:00:00 on the DVR's calendar.
// No time zone is applied anywhere; the DVR's clock and the local clock are taken as they read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/local_date_time.h"

namespace tessomar::platform {

// Length of the date-and-time text without its terminating zero.
inline constexpr size_t kTimeTextLength = 19;

// The DVR calendar counts the year 2000 as common (index 0 is divisible by 100).
bool is_device_leap_year(unsigned year_index);
// Days in month (1-12) of year 2000 + year_index; 0 for a month out of range.
unsigned device_month_length(unsigned year_index, unsigned month);

// Year, month and day are clamped into the calendar (2000-2099, 1-12, 1-32); hour, minute and
// second are clamped into 0-65535 and added as given, so 25:00 rolls into the next day.
uint32_t seconds_from_date(const LocalDateTime& d);
// Times past 2099-12-31 23:59:59 come back as that moment.
LocalDateTime date_from_seconds(uint32_t t);

// Writes "YYYY/MM/DD hh:mm:ss" and a terminating zero. A buffer shorter than 20 bytes gets
// as much of the text as fits, still zero-terminated; length 0 writes nothing.
void timeText(uint32_t t, char* buffer, size_t length);
std::string timeText(uint32_t t);

// The computer's local date and time as device time.
uint32_t deviceTimeNow(const Clock& clock);

// Strict reader of "YYYY/MM/DD hh:mm:ss" or "YYYY-MM-DD hh:mm:ss" (exactly 19 characters, one
// separator style for the date). Refuses years outside 2000-2099, days that the month does not
// have on the DVR calendar, hour > 23, minute or second > 59 and anything else malformed.
bool parse_time_text(std::string_view text, LocalDateTime& out);

}  // namespace tessomar::platform
