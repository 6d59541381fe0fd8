#include "keyform/calendar.h"

#include <algorithm>

#include "platform/devtime.h"

namespace tessomar::keyform {

namespace {

using platform::LocalDateTime;

constexpr uint32_t kSecondsPerHour = 3600;
constexpr uint32_t kSecondsPerMinute = 60;
constexpr uint32_t kSecondsPerHalfHour = 1800;
constexpr uint32_t kMinWindow = channels::kMinWindowSeconds;
constexpr int kFirstYear = 2000;
constexpr int kLastYear = 2099;

uint32_t plus(uint32_t t, uint32_t d) { return t < UINT32_MAX - d ? t + d : UINT32_MAX; }
uint32_t minus(uint32_t t, uint32_t d) { return t > d ? t - d : 0; }

uint32_t day_start(uint32_t t) { return t - t % kSecondsPerDay; }

// A month step that would leave the device calendar keeps the date where it is.
void next_month(LocalDateTime& d) {
  if (d.month == 12) {
    if (d.year >= kLastYear) return;
    ++d.year;
    d.month = 1;
  } else {
    ++d.month;
  }
  d.day = 1;
}
void previous_month(LocalDateTime& d) {
  if (d.month == 1) {
    if (d.year <= kFirstYear) return;
    --d.year;
    d.month = 12;
  } else {
    --d.month;
  }
  d.day = 1;
}

uint32_t step_seconds(int32_t step) {
  switch (step) {
    case kStepHour:
      return kSecondsPerHour;
    case kStepMinute:
      return kSecondsPerMinute;
    case kStepSecond:
      return 1;
    default:
      return 0;
  }
}

}  // namespace

MonthCalendar::MonthCalendar(KeyFormContext& ctx, channels::SessionModes& modes,
                             channels::IcmdChannel& icmd, const platform::Clock& clock)
    : ctx_(ctx), modes_(modes), icmd_(icmd), clock_(clock) {}

void MonthCalendar::initialise() {
  KeyFormVariables& v = ctx_.vars;
  working_ = platform::deviceTimeNow(clock_);
  v.mon_p_n_t = as_var(working_);
  v.mon_b_f_t = as_var(working_);
  v.mon_time = as_var(working_);
  v.mon_b_t_t = as_var(plus(working_, kMinWindow));
  rebuild_grid(working_);
  LocalDateTime d = platform::date_from_seconds(working_);
  v.mon_h = d.hour;
  v.mon_m2 = d.minute;
  v.mon_s = d.second;
}

void MonthCalendar::rebuild_grid(uint32_t t) {
  KeyFormVariables& v = ctx_.vars;
  LocalDateTime d = platform::date_from_seconds(t);
  v.mon_y = d.year;
  v.mon_m = d.month;
  const uint32_t first_of_month = platform::seconds_from_date({d.year, d.month, 1, 0, 0, 0});
  // The grid starts on a day whose index is divisible by 7, before the first of the month.
  const int64_t weekday = (first_of_month / kSecondsPerDay) % 7;
  const int64_t back = weekday == 0 ? 7 : weekday;
  // Only January 2000 reaches before the epoch; those grid days are the epoch's day.
  const int64_t start = std::max<int64_t>(int64_t(first_of_month) - back * kSecondsPerDay, 0);
  const uint32_t chosen = day_start(t);
  first_grid_day_ = uint32_t(start);
  month_view_time_ = plus(first_grid_day_, kMonthViewOffset);
  for (int i = 0; i < kGridDays; ++i) {
    const uint32_t day = plus(first_grid_day_, uint32_t(i) * kSecondsPerDay);
    const int32_t flag = month_flags_[size_t(i)] != 0 ? 1 : 0;
    int32_t mark = flag;
    if (day == chosen) {
      mark = kMarkChosen + flag;
      day_view_time_ = plus(chosen, kDayViewOffset);
    } else if (day == 0) {
      mark = kMarkEpochDay + flag;
    }
    v.mon_day[size_t(i)] = as_var(day);
    v.mon_data[size_t(i)] = mark;
  }
}

void MonthCalendar::toggle(int32_t request) {
  KeyFormVariables& v = ctx_.vars;
  if (request >= kCalendarPlayback && request <= kCalendarBackupEnd) {
    v.ie_month_t = v.ie_month_t != request ? request : kCalendarClosed;
    open_or_commit(v.ie_month_t);
  }
  v.ie_set_t = 0;
}

void MonthCalendar::open_or_commit(int32_t code) {
  KeyFormVariables& v = ctx_.vars;
  switch (code) {
    case kCalendarPlayback:
    case kCalendarBackupStart:
    case kCalendarBackupEnd: {
      const int32_t value = code == kCalendarPlayback      ? v.mon_p_n_t
                            : code == kCalendarBackupStart ? v.mon_b_f_t
                                                           : v.mon_b_t_t;
      working_ = as_time(value);
      v.mon_time = value;
      v.mon_add = kStepJustOpened;
      v.mon_sub = kStepJustOpened;
      refresh();
      break;
    }
    case kCalendarCommit:
      commit();
      break;
    default:
      break;
  }
}

void MonthCalendar::commit() {
  KeyFormVariables& v = ctx_.vars;
  switch (v.ie_month_t) {
    case kCalendarPlayback:
      v.mon_p_n_t = as_var(working_);
      edit_key_form_window(ctx_, modes_, icmd_.session(0), channels::kWindowStart, working_);
      break;
    case kCalendarBackupStart:
      v.mon_b_f_t = as_var(working_);
      if (int64_t(as_time(v.mon_b_t_t)) - int64_t(working_) < int64_t(kMinWindow)) {
        v.mon_b_t_t = as_var(plus(working_, kMinWindow));
      }
      break;
    case kCalendarBackupEnd:
      v.mon_b_t_t = as_var(working_);
      if (int64_t(working_) - int64_t(as_time(v.mon_b_f_t)) < int64_t(kMinWindow)) {
        v.mon_b_f_t = as_var(minus(working_, kMinWindow));
      }
      break;
    default:
      break;
  }
}

void MonthCalendar::refresh() {
  KeyFormVariables& v = ctx_.vars;
  LocalDateTime d = platform::date_from_seconds(working_);
  enum class Action { kNone, kMonth, kTime, kChooser } action = Action::kNone;

  if (v.ie_st3 != 0) {
    // A half-hour cell of the day bar: that half hour of the working day.
    const int32_t k = v.ie_st3;
    v.mon_h = (k - 1) / 2;
    v.mon_m2 = (k - 1) % 2 != 0 ? 30 : 0;
    v.mon_s = 0;
    working_ = platform::seconds_from_date({d.year, d.month, d.day, v.mon_h, v.mon_m2, 0});
    ctx_.popup = true;
    ctx_.input_mode() = kInputTimeSlider;
    v.sd_bar = 1;
    ctx_.mode_records[kTimeSlider][1] = k - 1;
    action = Action::kTime;
  } else if (v.mon_add == kStepMonth) {
    next_month(d);
    v.mon_add = 0;
    action = Action::kMonth;
  } else if (step_seconds(v.mon_add) != 0) {
    working_ = plus(working_, step_seconds(v.mon_add));
    ctx_.popup = true;
    ctx_.input_mode() = kInputStepHeld;
    ctx_.input_level = kInputLevelStep;
    action = Action::kTime;
  } else if (v.mon_sub == kStepMonth) {
    previous_month(d);
    v.mon_sub = 0;
    action = Action::kMonth;
  } else if (step_seconds(v.mon_sub) != 0) {
    working_ = minus(working_, step_seconds(v.mon_sub));
    ctx_.popup = true;
    ctx_.input_mode() = kInputStepHeld;
    ctx_.input_level = kInputLevelStep;
    action = Action::kTime;
  } else if (v.mon_sub == kStepJustOpened && v.mon_add == kStepJustOpened) {
    v.mon_add = 0;
    v.mon_sub = 0;
    action = Action::kTime;
  } else if (v.mon_cmd != 0) {
    // A grid day: its date at the working time of day.
    const LocalDateTime day = platform::date_from_seconds(as_time(v.mon_time));
    d.year = day.year;
    d.month = day.month;
    d.day = day.day;
    v.day_change = 0;
    if (v.ie_ok != 1 && v.ie_cl != 1) action = Action::kChooser;
  }

  switch (action) {
    case Action::kMonth:
      working_ = platform::seconds_from_date(d);
      rebuild_grid(working_);
      v.mon_time = as_var(working_);
      break;
    case Action::kTime: {
      ctx_.mode_records[kTimeSlider][1] =
          int32_t((working_ % kSecondsPerDay) / kSecondsPerHalfHour);
      if (ctx_.input_mode() != kInputStepHeld) ctx_.redraw_flag() = kRedrawSliders;
      v.sd_bar = 1;
      const LocalDateTime now = platform::date_from_seconds(working_);
      v.mon_h = now.hour;
      v.mon_m2 = now.minute;
      v.mon_s = now.second;
      break;
    }
    case Action::kChooser:
      ctx_.popup = true;
      ctx_.input_mode() = kInputDateChooser;
      ctx_.input_level = kInputLevelChooser;
      working_ = platform::seconds_from_date(d);
      chooser_time_ = working_;
      break;
    case Action::kNone:
      if (v.ie_ok == 1) {
        v.ie_ok = 0;
        working_ = platform::seconds_from_date(d);
        rebuild_grid(working_);
        v.mon_time = as_var(working_);
        open_or_commit(kCalendarCommit);
        v.ie_month_t = kCalendarClosed;
      } else if (v.ie_cl == 1) {
        v.ie_cl = 0;
        v.ie_month_t = kCalendarClosed;
      }
      break;
  }
  rebuild_grid(as_time(v.mon_time));
}

void MonthCalendar::release_handling() {
  KeyFormVariables& v = ctx_.vars;
  if (ctx_.input_mode() == kInputStepHeld) {
    ctx_.input_level = kInputLevelNormal;
    v.mon_add = 0;
    v.mon_sub = 0;
    v.ie_st3 = 0;
    ctx_.popup = false;
    ctx_.input_mode() = kInputIdle;
  }
  if (v.mon_cmd != 0) {
    ctx_.input_level = kInputLevelNormal;
    rebuild_grid(chooser_time_);
    v.mon_time = as_var(chooser_time_);
    v.mon_cmd = 0;
    ctx_.input_mode() = kInputIdle;
  }
  if (v.ie_st3 != 0) {
    v.ie_st3 = 0;
    ctx_.redraw_flag() = kRedrawNext;
    const LocalDateTime d = platform::date_from_seconds(working_);
    working_ = platform::seconds_from_date({d.year, d.month, d.day, v.mon_h, v.mon_m2, v.mon_s});
  }
}

void edit_key_form_window(KeyFormContext& ctx, channels::SessionModes& modes,
                          channels::SessionState& state, int which_end, uint32_t t) {
  // The window edit keeps the end the key form shows; the calendar may have moved it locally.
  channels::KeyFormTimes& times = modes.key_form_times();
  times.start = as_time(ctx.vars.mon_b_f_t);
  times.end = as_time(ctx.vars.mon_b_t_t);
  times.current = as_time(ctx.vars.mon_p_n_t);
  modes.EditWindow(state, which_end, t);
}

}  // namespace tessomar::keyform
