#include "platform/clock.h"

#include <gtest/gtest.h>

#include <tuple>

namespace tessomar::platform {
namespace {

auto fields(const LocalDateTime& t) {
  return std::make_tuple(t.year, t.month, t.day, t.hour, t.minute, t.second);
}

TEST(ManualClockTest, LocalTimeFollowsUnixTimeAcrossCalendarEdges) {
  struct Case {
    int64_t unix_time;
    LocalDateTime local;
  };
  const Case cases[] = {
      {0, {1970, 1, 1, 0, 0, 0}},
      {-1, {1969, 12, 31, 23, 59, 59}},
      {946684800, {2000, 1, 1, 0, 0, 0}},
      {951782400, {2000, 2, 29, 0, 0, 0}},
      {1078099199, {2004, 2, 29, 23, 59, 59}},
      {4102444799, {2099, 12, 31, 23, 59, 59}},
      {4107542400, {2100, 3, 1, 0, 0, 0}},  // 2100 is no leap year
  };
  for (const Case& c : cases) {
    ManualClock clock;
    clock.set_unix(c.unix_time);
    EXPECT_EQ(fields(clock.local_now()), fields(c.local)) << c.unix_time;
    ManualClock back;
    back.set_local(c.local);
    EXPECT_EQ(back.unix_now(), c.unix_time) << c.unix_time;
  }
}

TEST(ManualClockTest, AdvancingMovesAllThreeReadings) {
  ManualClock clock;
  clock.set_local({2004, 2, 28, 23, 59, 59});
  const int64_t unix_start = clock.unix_now();
  EXPECT_EQ(clock.now_ms(), 0u);
  clock.advance_ms(999);
  EXPECT_EQ(clock.unix_now(), unix_start);
  EXPECT_EQ(clock.local_now().second, 59);
  clock.advance_ms(1);
  EXPECT_EQ(clock.now_ms(), 1000u);
  EXPECT_EQ(clock.unix_now(), unix_start + 1);
  EXPECT_EQ(fields(clock.local_now()), fields({2004, 2, 29, 0, 0, 0}));
}

TEST(ManualClockTest, SettingTheCalendarLeavesTheCounterAndTheCounterWraps) {
  ManualClock clock;
  clock.advance_ms(250);
  clock.set_unix(1000);
  EXPECT_EQ(clock.now_ms(), 250u);
  clock.set_local({2010, 6, 1, 8, 0, 0});
  EXPECT_EQ(clock.now_ms(), 250u);

  clock.set_ms(0xFFFFFFF0u);
  EXPECT_EQ(fields(clock.local_now()), fields({2010, 6, 1, 8, 0, 0}));
  clock.advance_ms(0x20);
  EXPECT_EQ(clock.now_ms(), 0x10u);
  EXPECT_EQ(clock.local_now().hour, 8);
}

TEST(ManualClockTest, LocalTimeIsUtcPlusTheOffset) {
  ManualClock clock;
  clock.set_unix(946684800);  // 2000-01-01 00:00:00 UTC
  clock.set_utc_offset(-3600);
  EXPECT_EQ(fields(clock.local_now()), fields({1999, 12, 31, 23, 0, 0}));
  EXPECT_EQ(clock.unix_now(), 946684800);
  clock.set_local({2000, 1, 1, 0, 0, 0});
  EXPECT_EQ(clock.unix_now(), 946684800 + 3600);
}

}  // namespace
}  // namespace tessomar::platform
