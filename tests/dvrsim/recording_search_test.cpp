// The simulated DVR's answers to the calendar's questions agree with its archive pattern.
#include "dvrsim/recording_search.h"

#include <gtest/gtest.h>

#include "platform/bytes.h"
#include "platform/devtime.h"

namespace tessomar::dvrsim {
namespace {

constexpr uint32_t kDay = 86400;

uint32_t at(int y, int mo, int d, int h = 0, int mi = 0) {
  return platform::seconds_from_date({y, mo, d, h, mi, 0});
}

std::vector<bool> recorded_units(const std::vector<uint8_t>& body) {
  std::vector<bool> out;
  for (size_t i = kPbbaBodyHeaderSize; i + 1 < body.size(); i += 2) {
    out.push_back((body[i] & 0x1F) != 0);
  }
  return out;
}

struct SearchRig {
  SearchRig() : archive(clock, 16, 30) { clock.set_local({2026, 12, 10, 12, 0, 0}); }
  platform::ManualClock clock;
  Archive archive;
};

TEST(DvrsimRecordingSearch, DayViewShowsTheNightAndChannelGaps) {
  SearchRig rig;
  // 2026-11-28 is a Saturday on the DVR's calendar (weeks start on days divisible by 7).
  const uint32_t day = at(2026, 11, 28);
  ASSERT_EQ((day / kDay) % 7, 6u);
  for (uint32_t channel : {0u, 9u}) {
    SCOPED_TRACE(channel);
    const auto body = build_search_answer(rig.archive, channel, 7, day, day + kDay);
    ASSERT_EQ(body.size(), kPbbaBodyHeaderSize + 96);
    const auto units = recorded_units(body);
    for (uint32_t k = 0; k < 48; ++k) {
      const bool night = k >= 4 && k < 10;          // 02:00 to 04:59
      const bool own = k == 2 * (6 + channel) + 1;  // (6 + c):30
      EXPECT_EQ(units[k], !night && !own) << "half hour " << k;
    }
    uint32_t sum = 0;
    for (size_t i = kPbbaBodyHeaderSize; i < body.size(); ++i) sum += body[i];
    platform::ByteReader r(body);
    EXPECT_EQ(r.u32le(), day);
    EXPECT_EQ(r.u32le(), day + kDay);
    EXPECT_EQ(r.u32le(), uint32_t(body.size()));
    EXPECT_EQ(r.u32le(), sum);
  }
  // A weekday has only the channel's own gap.
  const auto friday = recorded_units(build_search_answer(rig.archive, 0, 7, day - kDay, day));
  EXPECT_EQ(std::count(friday.begin(), friday.end(), false), 1);
}

TEST(DvrsimRecordingSearch, MonthViewMarksTheArchivesDays) {
  SearchRig rig;
  const uint32_t grid = at(2026, 11, 29);  // the December grid's first day
  const auto units = recorded_units(build_search_answer(rig.archive, 3, 4, grid, grid + 42 * kDay));
  ASSERT_EQ(units.size(), 42u);
  for (uint32_t i = 0; i < 42; ++i) {
    // The archive holds 30 days up to 2026-12-10 12:00.
    EXPECT_EQ(units[i], i <= 11) << "grid day " << i;
  }
  EXPECT_TRUE(build_search_answer(rig.archive, 3, 4, grid, grid + 41 * kDay).empty());
  EXPECT_TRUE(build_search_answer(rig.archive, 3, 8, grid, grid + 42 * kDay).empty());
}

}  // namespace
}  // namespace tessomar::dvrsim
