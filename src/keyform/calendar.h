// The key form's month calendar: the grid of six weeks with a recording mark per day, the
// working time being edited with its step keys, half-hour bar and date chooser, and the commit
// of a chosen time to the playback time or one end of the backup window. Everything it shows
// lives in the key-form variables; the playback search takes the month-view and day-view times
// from here and writes the month-view flags back. UI thread only.
#pragma once

#include <array>
#include <cstdint>

#include "channels/icmd.h"
#include "channels/session_modes.h"
#include "keyform/variables.h"
#include "platform/clock.h"

namespace tessomar::keyform {

constexpr int kGridDays = 42;
constexpr uint32_t kSecondsPerDay = 86400;
// The month view asks about the grid's 23rd day, the day view about 12:30 of the chosen day.
constexpr uint32_t kMonthViewOffset = 22 * kSecondsPerDay;
constexpr uint32_t kDayViewOffset = 45000;

// Calendar modes ("IE_Month_T#SD") and what they edit.
constexpr int32_t kCalendarClosed = 0;
constexpr int32_t kCalendarPlayback = 1;     // "Mon_P_N_T#SD"
constexpr int32_t kCalendarBackupStart = 2;  // "Mon_B_F_T#SD"
constexpr int32_t kCalendarBackupEnd = 3;    // "Mon_B_T_T#SD"
constexpr int32_t kCalendarCommit = 4;       // open-or-commit code that commits

// Step requests ("Mon_Add#SD", "Mon_Sub#SD"); -1 in both: just opened.
constexpr int32_t kStepMonth = 1;
constexpr int32_t kStepHour = 2;
constexpr int32_t kStepMinute = 3;
constexpr int32_t kStepSecond = 4;
constexpr int32_t kStepJustOpened = -1;

// Day marks ("Mon_Data#AD"): the flag, plus these for the chosen day and for the day that
// starts at device time 0.
constexpr int32_t kMarkChosen = 4;
constexpr int32_t kMarkEpochDay = 2;

// The time slider of the calendar is slider 1 of the mode records; its value is the half-hour.
constexpr int kTimeSlider = 1;
constexpr int32_t kInputLevelNormal = 1;
constexpr int32_t kInputLevelStep = 2;
constexpr int32_t kInputLevelChooser = 16;

class MonthCalendar {
 public:
  MonthCalendar(KeyFormContext& ctx, channels::SessionModes& modes, channels::IcmdChannel& icmd,
                const platform::Clock& clock);
  MonthCalendar(const MonthCalendar&) = delete;
  MonthCalendar& operator=(const MonthCalendar&) = delete;

  // Start-up: the working time, playback time and backup window from the local clock.
  void initialise();
  // A calendar key (request 1, 2 or 3) opens its mode or closes it when already open.
  void toggle(int32_t request);
  // Codes 1-3 open that mode; 4 commits the working time to the open mode's value.
  void open_or_commit(int32_t code);
  // After every key-form click: step keys, half-hour bar, date chooser, OK and Cancel.
  void refresh();
  // The pointer was released.
  void release_handling();
  // Fills the grid around the month of t and marks the chosen day (t's day).
  void rebuild_grid(uint32_t t);

  uint32_t working_time() const { return working_; }
  uint32_t first_grid_day() const { return first_grid_day_; }
  uint32_t month_view_time() const { return month_view_time_; }
  uint32_t day_view_time() const { return day_view_time_; }
  // 1 when the DVR reported recordings for grid day i; written by the playback search.
  std::array<int32_t, kGridDays>& month_view_flags() { return month_flags_; }
  // The half-hour flags are the binding "IE_Data#ADN".
  std::array<int32_t, 48>& day_view_flags() { return ctx_.vars.ie_data; }

 private:
  void commit();

  KeyFormContext& ctx_;
  channels::SessionModes& modes_;
  channels::IcmdChannel& icmd_;
  const platform::Clock& clock_;
  uint32_t working_ = 0;
  uint32_t chooser_time_ = 0;
  uint32_t first_grid_day_ = 0;
  uint32_t month_view_time_ = 0;
  uint32_t day_view_time_ = 0;
  std::array<int32_t, kGridDays> month_flags_{};
};

// The key form's window edit on a slot's session: the session's window values are taken from
// the key-form variables first, since the calendar edits the backup window locally.
void edit_key_form_window(KeyFormContext& ctx, channels::SessionModes& modes,
                          channels::SessionState& state, int which_end, uint32_t t);

// Device times live in the 32-bit signed variables bit for bit.
inline uint32_t as_time(int32_t v) { return static_cast<uint32_t>(v); }
inline int32_t as_var(uint32_t t) { return static_cast<int32_t>(t); }

}  // namespace tessomar::keyform
