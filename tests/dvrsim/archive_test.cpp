// The simulated DVR's recording archive: the documented gap pattern, the archive's bounds and
// the next/previous searches, checked against a second-by-second scan.
#include "dvrsim/archive.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dvrsim/options.h"
#include "dvrsim/video_channel.h"

namespace tessomar::dvrsim {
namespace {

constexpr uint32_t at(uint32_t day, uint32_t h, uint32_t m = 0, uint32_t s = 0) {
  return day * 86400 + h * 3600 + m * 60 + s;
}

// 2004-02-29 12:00:00 on the DVR's calendar is day 1519, a Sunday: the calendar's weeks start
// on days divisible by 7.
constexpr platform::LocalDateTime kNoon = {2004, 2, 29, 12, 0, 0};
constexpr uint32_t kSunday = 1519;
constexpr uint32_t kNow = at(kSunday, 12);
constexpr uint32_t kSaturday = kSunday - 1;  // 1518
constexpr uint32_t kMonday = kSunday - 6;    // 1513

struct ArchiveRig {
  explicit ArchiveRig(uint32_t channels = 16, uint32_t days = 14,
                      platform::LocalDateTime now = kNoon)
      : archive(clock, channels, days) {
    clock.set_local(now);
  }
  platform::ManualClock clock;
  Archive archive;
};

TEST(DvrsimArchive, BoundsFollowTheClock) {
  ArchiveRig rig;
  ASSERT_EQ(device_time_of(kNoon), kNow);
  EXPECT_EQ(kSunday % 7, 0u);
  EXPECT_EQ(rig.archive.end(), kNow);
  EXPECT_EQ(rig.archive.start(), kNow - 14 * 86400);
  // The archive grows with the clock.
  rig.clock.set_local({2004, 2, 29, 12, 0, 5});
  EXPECT_EQ(rig.archive.end(), kNow + 5);
  EXPECT_TRUE(rig.archive.recorded(0, kNow + 5));
  EXPECT_EQ(rig.archive.start(), kNow + 5 - 14 * 86400);
  // A clock near the calendar's start: the archive begins at second 1.
  ArchiveRig early(16, 14, {2000, 1, 3, 0, 0, 0});
  EXPECT_EQ(early.archive.start(), 1u);
  EXPECT_EQ(early.archive.next_recorded(0, 0), 1u);
}

TEST(DvrsimArchive, PresenceFollowsTheDocumentedPattern) {
  ArchiveRig rig(8);
  const uint32_t start = kNow - 14 * 86400;
  struct Case {
    uint32_t channel, t;
    bool recorded;
    const char* what;
  };
  const Case cases[] = {
      {0, kNow, true, "now is the last second"},
      {0, kNow + 1, false, "after now"},
      {0, start, true, "the first second"},
      {0, start - 1, false, "before the archive"},
      {0, at(kSaturday, 1, 59, 59), true, "Saturday just before the night gap"},
      {0, at(kSaturday, 2), false, "Saturday 02:00"},
      {5, at(kSaturday, 4, 59, 59), false, "Saturday 04:59:59"},
      {5, at(kSaturday, 5), true, "Saturday 05:00"},
      {3, at(kSunday, 3), false, "Sunday night"},
      {3, at(kMonday, 3), true, "Monday night"},
      {3, at(kSaturday - 1, 3), true, "Friday night"},
      {0, at(kMonday, 6, 29, 59), true, "channel 0 before its half hour"},
      {0, at(kMonday, 6, 30), false, "channel 0 at 06:30"},
      {0, at(kMonday, 6, 59, 59), false, "channel 0 at 06:59:59"},
      {0, at(kMonday, 7), true, "channel 0 at 07:00"},
      {1, at(kMonday, 6, 45), true, "another channel's half hour"},
      {7, at(kSaturday, 13, 40), false, "channel 7 at 13:40"},
      {8, at(kMonday, 12), false, "a channel the device does not have"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(rig.archive.recorded(c.channel, c.t), c.recorded) << c.what;
  }
  // The pattern of the last channel of a 16-channel device.
  EXPECT_FALSE(Archive::in_pattern(15, at(kMonday, 21, 30)));
  EXPECT_TRUE(Archive::in_pattern(15, at(kMonday, 21, 29, 59)));
}

TEST(DvrsimArchive, SearchesStepOverGapsAndStopAtTheBounds) {
  ArchiveRig rig;
  const uint32_t start = kNow - 14 * 86400;
  struct Case {
    uint32_t channel, t, next, previous;
    const char* what;
  };
  const Case cases[] = {
      {0, at(kSaturday, 3), at(kSaturday, 5), at(kSaturday, 1, 59, 59), "night gap"},
      {2, at(kMonday, 8, 40), at(kMonday, 9), at(kMonday, 8, 29, 59), "channel gap"},
      {4, at(kMonday, 11), at(kMonday, 11), at(kMonday, 11), "recorded"},
      {4, 0, start, 0, "the calendar's start"},
      {4, start - 1, start, 0, "just before the archive"},
      {4, kNow + 1, 0, kNow, "after now"},
      {4, 0xFFFFFFFF, 0, kNow, "the end of time"},
      {16, at(kMonday, 11), 0, 0, "no such channel"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(rig.archive.next_recorded(c.channel, c.t), c.next);
    EXPECT_EQ(rig.archive.previous_recorded(c.channel, c.t), c.previous);
  }
  EXPECT_FALSE(rig.archive.any_recorded(0, at(kSaturday, 2), at(kSaturday, 5)));
  EXPECT_TRUE(rig.archive.any_recorded(0, at(kSaturday, 2), at(kSaturday, 5, 0, 1)));
  EXPECT_FALSE(rig.archive.any_recorded(0, kNow + 1, kNow + 100));
  EXPECT_FALSE(rig.archive.any_recorded(0, at(kMonday, 12), at(kMonday, 12)));

  // An archive that begins inside the weekend night: nothing before 05:00 of that day.
  ArchiveRig night(16, 7, {2004, 2, 29, 3, 0, 0});
  const uint32_t night_start = at(kSunday - 7, 3);
  EXPECT_EQ(night.archive.start(), night_start);
  EXPECT_EQ(night.archive.next_recorded(0, 0), at(kSunday - 7, 5));
  EXPECT_EQ(night.archive.previous_recorded(0, at(kSunday - 7, 4)), 0u);
  // ... and ends inside one: the last recording is from before 02:00.
  EXPECT_EQ(night.archive.previous_recorded(0, 0xFFFFFFFF), at(kSunday, 1, 59, 59));
  EXPECT_EQ(night.archive.next_recorded(0, at(kSunday, 2, 30)), 0u);
}

// next_recorded and previous_recorded against a plain scan of recorded() over a short
// archive that spans a weekend, both gaps and both ends.
TEST(DvrsimArchive, SearchesAgreeWithASecondBySecondScan) {
  ArchiveRig rig(16, 3);
  const uint32_t lo = rig.archive.start() - 50;
  const uint32_t hi = rig.archive.end() + 50;
  for (uint32_t channel : {0u, 15u}) {
    SCOPED_TRACE(channel);
    const size_t n = hi - lo + 1;
    std::vector<uint32_t> next(n + 1, 0), previous(n, 0);
    for (size_t i = n; i-- > 0;) {
      next[i] = rig.archive.recorded(channel, uint32_t(lo + i)) ? uint32_t(lo + i) : next[i + 1];
    }
    uint32_t last = 0;
    size_t mismatches = 0;
    for (size_t i = 0; i < n; ++i) {
      const uint32_t t = uint32_t(lo + i);
      if (rig.archive.recorded(channel, t)) last = t;
      previous[i] = last;
      if (rig.archive.next_recorded(channel, t) != next[i] ||
          rig.archive.previous_recorded(channel, t) != previous[i]) {
        if (++mismatches < 5) ADD_FAILURE() << "at " << t;
      }
    }
    EXPECT_EQ(mismatches, 0u);
  }
}

TEST(DvrsimArchive, ArchiveDaysOption) {
  struct Case {
    std::vector<std::string_view> args;
    bool ok;
    uint32_t days;
  };
  const Case cases[] = {
      {{}, true, 14},
      {{"--archive-days", "1"}, true, 1},
      {{"--archive-days=3650"}, true, 3650},
      {{"--archive-days", "0"}, false, 14},
      {{"--archive-days", "3651"}, false, 14},
      {{"--archive-days", "two"}, false, 14},
      {{"--archive-days"}, false, 14},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? std::string("none") : std::string(c.args.back()));
    Options o;
    std::string error;
    EXPECT_EQ(parse_options(c.args, o, error), c.ok ? ParseStatus::kRun : ParseStatus::kError);
    EXPECT_EQ(o.device.archive_days, c.days);
  }
  const std::string usage = usage_text("tessomar-dvrsim");
  EXPECT_NE(usage.find("--archive-days N"), std::string::npos);
  EXPECT_NE(usage.find("02:00:00 to 04:59:59"), std::string::npos);
}

}  // namespace
}  // namespace tessomar::dvrsim
