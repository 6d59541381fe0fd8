// The recording calendar of one channel: the month grid the key form's calendar shows, with
// the days the DVR reports recordings for, and optionally one day's half hours.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "commands.h"
#include "keyform/calendar.h"
#include "keyform/key_form_state.h"
#include "platform/devtime.h"

namespace tessomar::cli {

namespace {

constexpr const char* kMonthNames[] = {"January",   "February", "March",    "April",
                                       "May",       "June",     "July",     "August",
                                       "September", "October",  "November", "December"};
constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

bool parse_month(const std::string& text, int& year, int& month) {
  if (text.size() != 7 || (text[4] != '/' && text[4] != '-')) return false;
  for (size_t i : {0u, 1u, 2u, 3u, 5u, 6u}) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  year = std::atoi(text.substr(0, 4).c_str());
  month = std::atoi(text.substr(5, 2).c_str());
  return year >= 2000 && year <= 2099 && month >= 1 && month <= 12;
}

std::string date_text(uint32_t t) { return platform::timeText(t).substr(0, 10); }

struct Result {
  int channel = 0;
  int year = 0;
  int month = 0;
  uint32_t first_grid_day = 0;
  std::array<int32_t, keyform::kGridDays> days{};
  bool with_day = false;
  uint32_t day_start = 0;
  std::array<int32_t, 48> half_hours{};
};

void print_text(const Result& r) {
  std::printf("Channel %d, %s %d (* recorded; days of other months in brackets)\n", r.channel,
              kMonthNames[r.month - 1], r.year);
  for (const char* w : kWeekdays) std::printf(" %5s", w);
  std::printf("\n");
  for (int week = 0; week < 6; ++week) {
    for (int d = 0; d < 7; ++d) {
      const int i = week * 7 + d;
      const platform::LocalDateTime date =
          platform::date_from_seconds(r.first_grid_day + uint32_t(i) * keyform::kSecondsPerDay);
      const char mark = r.days[size_t(i)] ? '*' : ' ';
      if (date.month == r.month) {
        std::printf("   %2d%c", date.day, mark);
      } else {
        std::printf(" (%2d)%c", date.day, mark);
      }
    }
    std::printf("\n");
  }
  if (!r.with_day) return;
  std::printf("Half hours on %s (* recorded, . none):\n", date_text(r.day_start).c_str());
  for (int row = 0; row < 4; ++row) {
    std::printf("%02d:00-%02d:59 ", row * 6, row * 6 + 5);
    for (int k = 0; k < 12; ++k) std::printf(" %c", r.half_hours[size_t(row * 12 + k)] ? '*' : '.');
    std::printf("\n");
  }
}

void print_json(const Result& r) {
  std::printf("{\"channel\":%d,\"month\":\"%04d/%02d\",\"first_grid_day\":\"%s\",\"days\":[",
              r.channel, r.year, r.month, date_text(r.first_grid_day).c_str());
  for (int i = 0; i < keyform::kGridDays; ++i) {
    const uint32_t t = r.first_grid_day + uint32_t(i) * keyform::kSecondsPerDay;
    const platform::LocalDateTime date = platform::date_from_seconds(t);
    std::printf("%s{\"date\":\"%s\",\"in_month\":%s,\"recorded\":%s}", i ? "," : "",
                date_text(t).c_str(), date.month == r.month ? "true" : "false",
                r.days[size_t(i)] ? "true" : "false");
  }
  std::printf("]");
  if (r.with_day) {
    std::printf(",\"day\":{\"date\":\"%s\",\"half_hours\":[", date_text(r.day_start).c_str());
    for (int k = 0; k < 48; ++k) {
      std::printf("%s%s", k ? "," : "", r.half_hours[size_t(k)] ? "true" : "false");
    }
    std::printf("]}");
  }
  std::printf("}\n");
}

}  // namespace

int cmd_calendar(const Args& in) {
  Args args = in;
  DvrOptions opts;
  std::string error;
  if (!take_dvr_options(args, opts, error)) return usage_error("calendar", error);
  int32_t channel = 0;
  int year = 0;
  int month = 0;
  int32_t day = 0;
  bool json = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool has_value = i + 1 < args.size();
    if (a == "--channel" && has_value) {
      if (!shell::text_to_int32(args[++i], channel) || channel < 1 || channel > 16) {
        return usage_error("calendar", "bad --channel \"" + args[i] + "\" (1 to 16)");
      }
    } else if (a == "--month" && has_value) {
      if (!parse_month(args[++i], year, month)) {
        return usage_error("calendar",
                           "bad --month \"" + args[i] + "\" (expected YYYY/MM, 2000 to 2099)");
      }
    } else if (a == "--day" && has_value) {
      if (!shell::text_to_int32(args[++i], day) || day < 1 || day > 31) {
        return usage_error("calendar", "bad --day \"" + args[i] + "\" (1 to 31)");
      }
    } else if (a == "--json") {
      json = true;
    } else {
      return option_error("calendar", "unknown option " + a);
    }
  }
  if (channel == 0) return usage_error("calendar", "--channel 1-16 is required");
  if (month == 0) return usage_error("calendar", "--month YYYY/MM is required");
  if (day != 0 &&
      unsigned(day) > platform::device_month_length(unsigned(year - 2000), unsigned(month))) {
    return usage_error("calendar", "--day " + std::to_string(day) + " is not a day of " +
                                       kMonthNames[month - 1] + " " + std::to_string(year));
  }
  if (opts.params.size() < 3) {
    return usage_error("calendar", "give the DVR with --dvr HOST:PORT --uk KEY or --page URL");
  }

  HeadlessHost host;
  if (!host.start(opts.params)) return kExitUsage;
  if (!wait_for_identity(host, opts.timeout_s, error)) {
    std::fprintf(stderr, "tessomar-cli calendar: %s\n", error.c_str());
    return kExitFailed;
  }
  shell::Control& control = host.control();
  const uint32_t channels = control.vask().record(0).device.channel_count;
  if (uint32_t(channel) > channels) {
    std::fprintf(stderr, "tessomar-cli calendar: the DVR has %u channels\n", channels);
    return kExitUsage;
  }

  // The calendar shows the chosen day (the first of the month without --day); the playback
  // search then asks the DVR about its month and that day.
  keyform::MonthCalendar& calendar = control.key_form().calendar();
  const uint32_t shown = platform::seconds_from_date({year, month, day ? day : 1, 12, 0, 0});
  control.key_form().variables().mon_time = keyform::as_var(shown);
  calendar.rebuild_grid(shown);
  const uint32_t answered_before = control.pbba().counters().answers_accepted;
  control.modes().ApplyViewCommand(0, channels, channels::kModePlayback, keyform::kActionStop,
                                   uint32_t(channel - 1), false);

  // Both views are asked about on the first poll; wait for both answers.
  const uint64_t deadline = uint64_t(opts.timeout_s * 1000);
  uint64_t waited = 0;
  while (control.pbba().counters().answers_accepted < answered_before + 2 && waited < deadline) {
    host.loop().run_for(50);
    waited += 50;
  }
  if (control.pbba().counters().answers_accepted < answered_before + 2) {
    std::fprintf(stderr, "tessomar-cli calendar: the DVR did not report its recordings in %.0f s\n",
                 opts.timeout_s);
    return kExitFailed;
  }

  Result r;
  r.channel = channel;
  r.year = year;
  r.month = month;
  r.first_grid_day = calendar.first_grid_day();
  r.days = calendar.month_view_flags();
  r.with_day = day != 0;
  r.day_start = calendar.day_view_time() - keyform::kDayViewOffset;
  r.half_hours = calendar.day_view_flags();
  if (json) {
    print_json(r);
  } else {
    print_text(r);
  }
  return kExitOk;
}

}  // namespace tessomar::cli
