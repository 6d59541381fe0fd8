#include "platform/devtime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace tessomar::platform {
namespace {

std::string show(const LocalDateTime& d) {
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", unsigned(d.year),
                unsigned(d.month), unsigned(d.day), unsigned(d.hour), unsigned(d.minute),
                unsigned(d.second));
  return text;
}

constexpr uint32_t kLastMoment = 3155673599u;  // 2099-12-31 23:59:59

struct Vector {
  uint32_t seconds;
  LocalDateTime date;
};

// Both directions must agree on each of these.
const Vector kVectors[] = {
    {0, {2000, 1, 1, 0, 0, 0}},
    {59 * 86400, {2000, 3, 1, 0, 0, 0}},  // 2000 has no 29 February on the DVR calendar
    {364 * 86400 + 86399, {2000, 12, 31, 23, 59, 59}},
    {31536000, {2001, 1, 1, 0, 0, 0}},  // 365 days: 2000 is a common year
    {131284800, {2004, 2, 29, 12, 0, 0}},
    {131328000, {2004, 3, 1, 0, 0, 0}},
    {kLastMoment, {2099, 12, 31, 23, 59, 59}},
};

TEST(DevTimeTest, KnownVectorsBothWays) {
  for (const Vector& v : kVectors) {
    EXPECT_EQ(seconds_from_date(v.date), v.seconds) << show(v.date);
    EXPECT_EQ(show(date_from_seconds(v.seconds)), show(v.date)) << v.seconds;
  }
}

TEST(DevTimeTest, LeapDaysOnTheDeviceCalendar) {
  // 2096 is leap (index 96); 2000 (index 0) is not, so Feb 29 2000 lands on March 1.
  for (int year : {2004, 2096}) {
    const uint32_t t = seconds_from_date({year, 2, 29, 0, 0, 0});
    EXPECT_EQ(show(date_from_seconds(t)), show(LocalDateTime{year, 2, 29, 0, 0, 0}));
    EXPECT_EQ(seconds_from_date({year, 3, 1, 0, 0, 0}) - t, 86400u);
  }
  EXPECT_EQ(seconds_from_date({2000, 2, 29, 0, 0, 0}), seconds_from_date({2000, 3, 1, 0, 0, 0}));
  EXPECT_EQ(show(date_from_seconds(seconds_from_date({2001, 2, 29, 0, 0, 0}))),
            show(LocalDateTime{2001, 3, 1, 0, 0, 0}));
}

TEST(DevTimeTest, OutOfRangeDateFieldsAreClamped) {
  struct Case {
    LocalDateTime given;
    LocalDateTime same_as;
  };
  const Case cases[] = {
      {{1999, 6, 15, 1, 2, 3}, {2000, 6, 15, 1, 2, 3}},
      {{0, 1, 1, 0, 0, 0}, {2000, 1, 1, 0, 0, 0}},
      {{2100, 6, 15, 0, 0, 0}, {2099, 6, 15, 0, 0, 0}},
      {{65535, 1, 1, 0, 0, 0}, {2099, 1, 1, 0, 0, 0}},
      {{2005, 0, 10, 0, 0, 0}, {2005, 1, 10, 0, 0, 0}},
      {{2005, 13, 10, 0, 0, 0}, {2005, 12, 10, 0, 0, 0}},
      {{2005, 3, 0, 0, 0, 0}, {2005, 3, 1, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(seconds_from_date(c.given), seconds_from_date(c.same_as)) << show(c.given);
  }
  // Day is clamped to 32, not to the month's length: 32 January is 1 February.
  EXPECT_EQ(seconds_from_date({2005, 1, 40, 0, 0, 0}), seconds_from_date({2005, 2, 1, 0, 0, 0}));
}

TEST(DevTimeTest, TimeOfDayIsNotClamped) {
  const uint32_t base = seconds_from_date({2010, 5, 5, 0, 0, 0});
  EXPECT_EQ(seconds_from_date({2010, 5, 5, 25, 0, 0}), base + 25 * 3600);
  EXPECT_EQ(seconds_from_date({2010, 5, 5, 0, 61, 75}), base + 61 * 60 + 75);
  // The extremes still fit in 32 bits.
  EXPECT_EQ(seconds_from_date({2099, 12, 32, 65535, 65535, 65535}),
            36524u * 86400 + 65535u * 3600 + 65535u * 60 + 65535u);
}

TEST(DevTimeTest, TimesPastTheLastMomentAreCapped) {
  for (uint32_t t : {kLastMoment + 1, kLastMoment + 86400, 4000000000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(show(date_from_seconds(t)), "2099-12-31 23:59:59") << t;
  }
  EXPECT_EQ(timeText(0xFFFFFFFFu), "2099/12/31 23:59:59");
}

// The DVR calendar is the Gregorian one except that 2000 has no 29 February, so from
// 2000-03-01 on it runs one day behind a Gregorian day count.
LocalDateTime gregorian_reference(uint32_t t) {
  using namespace std::chrono;
  uint32_t days = t / 86400;
  if (days >= 59) ++days;
  const year_month_day ymd{sys_days{year{2000} / January / 1} + std::chrono::days{days}};
  const uint32_t rest = t % 86400;
  return LocalDateTime{int(ymd.year()),  int(unsigned(ymd.month())), int(unsigned(ymd.day())),
                       int(rest / 3600), int(rest % 3600 / 60),      int(rest % 60)};
}

TEST(DevTimeTest, RoundTripsAcrossTheWholeRange) {
  for (uint64_t t = 0; t <= kLastMoment; t += 12345) {
    const LocalDateTime d = date_from_seconds(uint32_t(t));
    ASSERT_EQ(show(d), show(gregorian_reference(uint32_t(t)))) << t;
    ASSERT_EQ(seconds_from_date(d), t) << show(d);
  }
  // Every day boundary, including each month and year change.
  for (uint32_t day = 0; day <= kLastMoment / 86400; ++day) {
    for (uint32_t t : {day * 86400, day * 86400 + 86399}) {
      const LocalDateTime d = date_from_seconds(t);
      ASSERT_EQ(show(d), show(gregorian_reference(t))) << t;
      ASSERT_EQ(seconds_from_date(d), t) << show(d);
    }
  }
}

TEST(DevTimeTest, TimeTextFormat) {
  EXPECT_EQ(timeText(0), "2000/01/01 00:00:00");
  EXPECT_EQ(timeText(131284800 + 3600 * 11 + 60 * 7 + 9), "2004/02/29 23:07:09");
  EXPECT_EQ(timeText(kLastMoment), "2099/12/31 23:59:59");
}

TEST(DevTimeTest, TimeTextNeverWritesPastTheBuffer) {
  for (size_t length = 0; length <= 24; ++length) {
    char buffer[32];
    std::memset(buffer, '#', sizeof buffer);
    timeText(131284800, buffer, length);
    const size_t written = length == 0 ? 0 : std::min<size_t>(length, 20);
    for (size_t i = written; i < sizeof buffer; ++i) {
      ASSERT_EQ(buffer[i], '#') << "length " << length << " wrote at " << i;
    }
    if (length > 0) {
      ASSERT_EQ(buffer[written - 1], '\0') << length;
      ASSERT_EQ(std::string(buffer), std::string("2004/02/29 12:00:00").substr(0, written - 1));
    }
  }
}

// A clock whose local reading may be any fields at all, as a broken system clock could give.
struct FixedLocalClock final : platform::Clock {
  platform::LocalDateTime local;
  uint32_t now_ms() const override { return 0; }
  platform::LocalDateTime local_now() const override { return local; }
  int64_t unix_now() const override { return 0; }
};

TEST(DevTimeTest, DeviceTimeNowReadsTheLocalClock) {
  platform::ManualClock clock;
  clock.set_local({2004, 2, 29, 12, 0, 0});
  EXPECT_EQ(deviceTimeNow(clock), 131284800u);
  clock.advance_ms(1500);
  EXPECT_EQ(deviceTimeNow(clock), 131284801u);
  clock.set_local({2099, 12, 31, 23, 59, 59});
  EXPECT_EQ(deviceTimeNow(clock), kLastMoment);
  // A reading that does not fit 16 bits must not wrap into a plausible year.
  FixedLocalClock wild;
  wild.local = {65536 + 2010, 1, 1, 0, 0, 0};
  EXPECT_EQ(deviceTimeNow(wild), seconds_from_date({2099, 1, 1, 0, 0, 0}));
  wild.local = {-5, -1, -1, 0, 0, 0};
  EXPECT_EQ(deviceTimeNow(wild), 0u);
  wild.local = {INT_MIN, INT_MIN, INT_MIN, -1, INT_MIN, -7};
  EXPECT_EQ(deviceTimeNow(wild), 0u);
}

TEST(DevTimeTest, ParseTimeTextAcceptsBothDateSeparators) {
  LocalDateTime d;
  ASSERT_TRUE(parse_time_text("2004/02/29 12:34:56", d));
  EXPECT_EQ(show(d), "2004-02-29 12:34:56");
  ASSERT_TRUE(parse_time_text("2099-12-31 23:59:59", d));
  EXPECT_EQ(seconds_from_date(d), kLastMoment);
  ASSERT_TRUE(parse_time_text(timeText(0), d));
  EXPECT_EQ(seconds_from_date(d), 0u);
}

TEST(DevTimeTest, ParseTimeTextRejectsBadTexts) {
  const char* const bad[] = {
      "",
      "2004/02/29",
      "2004/02/29 12:34:5",
      "2004/02/29 12:34:567",
      " 2004/02/29 12:34:56",
      "2004/02/29 12:34:56 ",
      "2004/02-29 12:34:56",  // mixed separators
      "2004.02.29 12:34:56",
      "2004/02/29T12:34:56",
      "2004/02/29 12-34-56",
      "2004/0a/29 12:34:56",
      "2004/+2/29 12:34:56",
      "1999/12/31 23:59:59",  // before device time begins
      "2100/01/01 00:00:00",  // after it ends
      "2004/00/10 00:00:00",
      "2004/13/10 00:00:00",
      "2004/01/00 00:00:00",
      "2004/01/32 00:00:00",
      "2000/02/29 00:00:00",  // 2000 is common on the DVR calendar
      "2005/02/29 00:00:00",
      "2005/04/31 00:00:00",
      "2004/02/29 24:00:00",
      "2004/02/29 23:60:00",
      "2004/02/29 23:59:60",
  };
  for (const char* text : bad) {
    LocalDateTime d{2001, 2, 3, 4, 5, 6};
    EXPECT_FALSE(parse_time_text(text, d)) << '"' << text << '"';
    EXPECT_EQ(show(d), "2001-02-03 04:05:06") << "output touched for " << text;
  }
}

}  // namespace
}  // namespace tessomar::platform
