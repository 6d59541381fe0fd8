// The recording calendar end to end: what `tessomar-cli calendar` prints against the simulated
// DVR's documented archive pattern, and a time picked in the key form's calendar plays back.
#include <regex>

#include "e2e/e2e_support.h"
#include "e2e/picture_check.h"
#include "platform/clock.h"
#include "platform/devtime.h"

namespace tessomar::e2e {
namespace {

constexpr uint32_t kDay = 86400;

// The "true"/"false" values that follow `key` in the JSON text, in order, up to the first ']'
// or '}' after the first of them.
std::vector<bool> json_bools(const std::string& json, const std::string& key, size_t from = 0) {
  std::vector<bool> out;
  size_t pos = from;
  while ((pos = json.find("\"" + key + "\":", pos)) != std::string::npos) {
    pos += key.size() + 3;
    if (json[pos] == '[') {
      const size_t end = json.find(']', pos);
      std::string list = json.substr(pos + 1, end - pos - 1);
      size_t p = 0;
      while (p < list.size()) {
        out.push_back(list.compare(p, 4, "true") == 0);
        p = list.find(',', p);
        if (p == std::string::npos) break;
        ++p;
      }
      return out;
    }
    out.push_back(json.compare(pos, 4, "true") == 0);
  }
  return out;
}

// Whether the simulator's channel c (0-based) recorded any of [from, to), by its documented
// pattern: weekend nights 02:00-04:59 on Saturdays and Sundays (days % 7 == 6 or 0), the
// channel's own half hour at (6 + c):30, nothing outside [archive_start, now].
bool pattern_recorded(uint32_t c, uint32_t from, uint32_t to, uint32_t archive_start,
                      uint32_t now) {
  for (uint32_t t = std::max(from, archive_start); t < to && t <= now; t += 60) {
    const uint32_t day = t / kDay, second = t % kDay;
    const bool weekend = day % 7 == 6 || day % 7 == 0;
    if (weekend && second >= 2 * 3600 && second < 5 * 3600) continue;
    const uint32_t own = (6 + c) * 3600 + 1800;
    if (second >= own && second < own + 1800) continue;
    return true;
  }
  return false;
}

TEST(CalendarE2e, MonthAndDayFollowTheArchivePattern) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start({"--archive-days", "90"}));
  platform::SystemClock clock;
  const uint32_t now = platform::deviceTimeNow(clock);
  const uint32_t archive_start = now - 90 * kDay;
  const platform::LocalDateTime today = platform::date_from_seconds(now);

  for (int back : {2, 1}) {
    int year = today.year, month = today.month - back;
    if (month < 1) {
      month += 12;
      --year;
    }
    // The month's first Saturday shows the weekend night gap and the channel's own gap.
    uint32_t first = platform::seconds_from_date({year, month, 1, 0, 0, 0});
    while ((first / kDay) % 7 != 6) first += kDay;
    const int saturday = platform::date_from_seconds(first).day;
    const std::string month_text =
        std::to_string(year) + (month < 10 ? "/0" : "/") + std::to_string(month);

    for (uint32_t channel : {2u, 11u}) {
      SCOPED_TRACE(month_text + " channel " + std::to_string(channel + 1));
      std::string out, err;
      ASSERT_EQ(run_cli({"calendar", "--dvr", dvr.address, "--uk", dvr.dvr_uk, "--channel",
                         std::to_string(channel + 1), "--month", month_text, "--day",
                         std::to_string(saturday), "--json", "--timeout", "30"},
                        &out, &err),
                0)
          << err;

      // The grid: six weeks from the Sunday on or before the 1st (a full week before when
      // the 1st is a Sunday).
      const uint32_t first_of_month = platform::seconds_from_date({year, month, 1, 0, 0, 0});
      const uint32_t w = (first_of_month / kDay) % 7;
      const uint32_t grid = first_of_month - (w == 0 ? 7 : w) * kDay;
      const std::vector<bool> days = json_bools(out, "recorded");
      ASSERT_EQ(days.size(), 42u) << out;
      for (uint32_t i = 0; i < 42; ++i) {
        const uint32_t d = grid + i * kDay;
        EXPECT_EQ(days[i], pattern_recorded(channel, d, d + kDay, archive_start, now))
            << "grid day " << platform::timeText(d);
      }

      const std::vector<bool> halves = json_bools(out, "half_hours");
      ASSERT_EQ(halves.size(), 48u) << out;
      for (uint32_t k = 0; k < 48; ++k) {
        const uint32_t t = first + k * 1800;
        EXPECT_EQ(halves[k], pattern_recorded(channel, t, t + 1800, archive_start, now))
            << "half hour " << platform::timeText(t);
      }
      // The pattern itself, not only agreement: the night and the channel's own half hour.
      EXPECT_FALSE(halves[5]);
      EXPECT_FALSE(halves[2 * (6 + channel) + 1]);
      EXPECT_TRUE(halves[2 * (6 + channel)]);
    }
  }
}

TEST(CalendarE2e, BadInputIsRefusedBeforeConnecting) {
  const std::vector<std::vector<std::string>> cases = {
      {"--channel", "3"},
      {"--month", "2026/11"},
      {"--channel", "17", "--month", "2026/11"},
      {"--channel", "3", "--month", "2026/13"},
      {"--channel", "3", "--month", "2026/02", "--day", "29"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"calendar", "--dvr", "127.0.0.1:1", "--uk", "X"};
    args.insert(args.end(), c.begin(), c.end());
    std::string out, err;
    EXPECT_EQ(run_cli(args, &out, &err), 2) << args.back();
    EXPECT_NE(err.find("tessomar-cli calendar:"), std::string::npos) << err;
  }
}

// Centres of our skin's keys in the 320 x 576 key form.
struct Point {
  int x, y;
};
std::string at(Point p) { return std::to_string(p.x) + "," + std::to_string(p.y); }
constexpr Point kPlaybackTab{121, 66};
constexpr Point kTimeField{50, 455};
constexpr Point kPlay{199, 508};
Point grid_day(int i) { return {14 + 42 * (i % 7) + 20, 162 + 24 * (i / 7) + 11}; }
Point half_hour(int k) { return {16 + 6 * k + 3, 353}; }

TEST(CalendarE2e, ATimePickedInTheCalendarPlaysFromThere) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start({"--archive-days", "3"}));
  platform::SystemClock clock;
  const uint32_t now = platform::deviceTimeNow(clock);
  // Yesterday at 12:00, in the grid the calendar opens on (the month of the playback time,
  // which starts just before the live picture).
  const platform::LocalDateTime today = platform::date_from_seconds(now);
  const uint32_t first_of_month = platform::seconds_from_date({today.year, today.month, 1});
  const uint32_t w = (first_of_month / kDay) % 7;
  const uint32_t grid = first_of_month - (w == 0 ? 7 : w) * kDay;
  const uint32_t yesterday = (now / kDay - 1) * kDay;
  const int cell = int((yesterday - grid) / kDay);
  const uint32_t chosen = yesterday + 12 * 3600;

  const std::string snapshot = ::testing::TempDir() + "calendar_pick.png";
  std::string out, err;
  ASSERT_EQ(run_cli({"keyform",
                     "--dvr",
                     dvr.address,
                     "--uk",
                     dvr.dvr_uk,
                     "--png",
                     "/dev/null",
                     "--timeout",
                     "30",
                     "--wait",
                     "3",
                     "--click",
                     at(kPlaybackTab),
                     "--click",
                     at(kTimeField),
                     "--click",
                     at(grid_day(cell)),
                     "--click",
                     at(half_hour(24)),
                     "--click",
                     at(kPlay),
                     "--snapshot",
                     snapshot},
                    &out, &err),
            0)
      << err;
  // The calendar committed the picked time as the playback time ...
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, std::regex("Mon_P_N_T#SD=(-?[0-9]+)"))) << out;
  EXPECT_EQ(uint32_t(std::stoll(m[1])), chosen) << out;
  // ... and the DVR plays from there: the picture shows a time just after it.
  Rgb24 img;
  ASSERT_TRUE(read_png(snapshot, img));
  const std::string shown = burnt_in_time(img);
  platform::LocalDateTime shown_date;
  ASSERT_TRUE(platform::parse_time_text(shown, shown_date)) << "\"" << shown << "\"";
  const uint32_t t = platform::seconds_from_date(shown_date);
  EXPECT_GE(t + 2, chosen) << shown;
  EXPECT_LE(t, chosen + 3 + 2) << shown;
}

}  // namespace
}  // namespace tessomar::e2e
