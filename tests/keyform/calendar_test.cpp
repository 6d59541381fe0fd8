#include "keyform/calendar.h"

#include <gtest/gtest.h>

#include "keyform/state_fixture.h"
#include "platform/devtime.h"

namespace tessomar::keyform {
namespace {

using platform::LocalDateTime;
using platform::seconds_from_date;
using testing::KeyFormStateFixture;

uint32_t at(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  return seconds_from_date(LocalDateTime{y, mo, d, h, mi, s});
}

class CalendarTest : public KeyFormStateFixture {
 protected:
  uint32_t session_word(const std::array<uint8_t, 64>& image, uint32_t offset) {
    return platform::load_u32le(image.data() + offset);
  }
};

TEST_F(CalendarTest, InitialisationTakesTheLocalClockAndBuildsTheGrid) {
  const uint32_t now = at(2011, 5, 17, 10, 20, 30);
  EXPECT_EQ(calendar.working_time(), now);
  EXPECT_EQ(as_time(v().mon_p_n_t), now);
  EXPECT_EQ(as_time(v().mon_b_f_t), now);
  EXPECT_EQ(as_time(v().mon_time), now);
  EXPECT_EQ(as_time(v().mon_b_t_t), now + 5);
  EXPECT_EQ(v().mon_y, 2011);
  EXPECT_EQ(v().mon_m, 5);
  EXPECT_EQ(v().mon_h, 10);
  EXPECT_EQ(v().mon_m2, 20);
  EXPECT_EQ(v().mon_s, 30);
  // 2011-05-01 has a day index divisible by 7: the grid starts a full week before it.
  ASSERT_EQ((at(2011, 5, 1) / 86400) % 7, 0u);
  EXPECT_EQ(calendar.first_grid_day(), at(2011, 4, 24));
  EXPECT_EQ(as_time(v().mon_day[0]), at(2011, 4, 24));
  EXPECT_EQ(as_time(v().mon_day[41]), at(2011, 6, 4));
  EXPECT_EQ(calendar.month_view_time(), at(2011, 5, 16));
  EXPECT_EQ(calendar.day_view_time(), at(2011, 5, 17, 12, 30));
  EXPECT_EQ(v().mon_data[23], kMarkChosen);  // 2011-05-17
  EXPECT_EQ(v().mon_data[22], 0);

  calendar.month_view_flags()[22] = 1;
  calendar.month_view_flags()[23] = 1;
  calendar.rebuild_grid(now);
  EXPECT_EQ(v().mon_data[22], 1);
  EXPECT_EQ(v().mon_data[23], kMarkChosen + 1);
}

TEST_F(CalendarTest, MonthStepsCrossTheYear) {
  clock.set_local({2011, 12, 10, 8, 0, 0});
  state.initialise();
  calendar.toggle(kCalendarPlayback);
  v().mon_add = kStepMonth;
  calendar.refresh();
  EXPECT_EQ(v().mon_y, 2012);
  EXPECT_EQ(v().mon_m, 1);
  EXPECT_EQ(calendar.working_time(), at(2012, 1, 1, 8));
  EXPECT_EQ(as_time(v().mon_time), at(2012, 1, 1, 8));
  EXPECT_EQ(v().mon_add, 0);
  v().mon_sub = kStepMonth;
  calendar.refresh();
  EXPECT_EQ(calendar.working_time(), at(2011, 12, 1, 8));
  // The calendar's last month stays where it is.
  clock.set_local({2099, 12, 5, 0, 0, 0});
  state.initialise();
  calendar.toggle(kCalendarPlayback);
  v().mon_add = kStepMonth;
  calendar.refresh();
  EXPECT_EQ(v().mon_y, 2099);
  EXPECT_EQ(v().mon_m, 12);
}

TEST_F(CalendarTest, CommitKeepsTheBackupWindowFiveSecondsWide) {
  const uint32_t t = at(2012, 3, 4, 5, 6, 7);
  struct Case {
    int32_t mode;
    uint32_t start, end;
    uint32_t want_start, want_end;
  } cases[] = {
      {kCalendarBackupStart, t - 3, t, t - 3, t + 2},
      {kCalendarBackupStart, t - 100, t, t - 100, t},
      {kCalendarBackupEnd, t, t - 10, t - 15, t - 10},
      {kCalendarBackupEnd, t, t + 100, t, t + 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    v().mon_b_f_t = as_var(c.start);
    v().mon_b_t_t = as_var(c.end);
    calendar.toggle(c.mode);
    ASSERT_EQ(v().ie_month_t, c.mode);
    v().ie_ok = 1;
    calendar.refresh();
    EXPECT_EQ(v().ie_ok, 0);
    EXPECT_EQ(v().ie_month_t, kCalendarClosed);
    EXPECT_EQ(as_time(v().mon_b_f_t), c.want_start);
    EXPECT_EQ(as_time(v().mon_b_t_t), c.want_end);
  }
  // Backup edits stay local until a backup starts.
  EXPECT_TRUE(sent_views().empty());
}

TEST_F(CalendarTest, PlaybackCommitMovesThePlayback) {
  modes.ApplyViewCommand(0, 16, channels::kModePlayback, 1, 0, true);
  const uint32_t t = at(2012, 3, 4, 5, 6, 7);
  v().mon_p_n_t = as_var(t);
  calendar.toggle(kCalendarPlayback);
  EXPECT_EQ(as_time(v().mon_time), t);
  v().ie_ok = 1;
  calendar.refresh();
  EXPECT_EQ(session_word(icmd.session(0).playback, channels::kPlaybackStart), t);
  EXPECT_EQ(as_time(v().mon_b_t_t), t + 5);
  EXPECT_EQ(v().ie_month_t, kCalendarClosed);
}

TEST_F(CalendarTest, ToggleOpensAndClosesItsMode) {
  v().ie_set_t = kCalendarBackupStart;
  calendar.toggle(v().ie_set_t);
  EXPECT_EQ(v().ie_month_t, kCalendarBackupStart);
  EXPECT_EQ(v().ie_set_t, 0);
  EXPECT_EQ(v().mon_add, 0);  // the opening's -1 was taken by the refresh
  calendar.toggle(kCalendarBackupEnd);
  EXPECT_EQ(v().ie_month_t, kCalendarBackupEnd);
  calendar.toggle(kCalendarBackupEnd);
  EXPECT_EQ(v().ie_month_t, kCalendarClosed);
}

TEST_F(CalendarTest, HeldStepKeyStepsUntilRelease) {
  calendar.toggle(kCalendarPlayback);
  const uint32_t t0 = calendar.working_time();
  v().mon_add = kStepMinute;
  calendar.refresh();
  EXPECT_EQ(calendar.working_time(), t0 + 60);
  EXPECT_EQ(ctx.input_mode(), kInputStepHeld);
  EXPECT_EQ(ctx.input_level, 2);
  EXPECT_TRUE(ctx.popup);
  EXPECT_EQ(v().mon_m2, 21);
  calendar.refresh();  // the press-and-hold repeat
  EXPECT_EQ(calendar.working_time(), t0 + 120);
  calendar.release_handling();
  EXPECT_EQ(ctx.input_mode(), kInputIdle);
  EXPECT_EQ(ctx.input_level, 1);
  EXPECT_FALSE(ctx.popup);
  EXPECT_EQ(v().mon_add, 0);
  v().mon_sub = kStepHour;
  calendar.refresh();
  EXPECT_EQ(calendar.working_time(), t0 + 120 - 3600);
}

TEST_F(CalendarTest, HalfHourBarSetsTheTimeOfDay) {
  calendar.toggle(kCalendarPlayback);
  v().ie_st3 = 4;
  calendar.refresh();
  EXPECT_EQ(calendar.working_time(), at(2011, 5, 17, 1, 30));
  EXPECT_EQ(v().mon_h, 1);
  EXPECT_EQ(v().mon_m2, 30);
  EXPECT_EQ(ctx.input_mode(), kInputTimeSlider);
  EXPECT_EQ(ctx.mode_records[kTimeSlider][1], 3);
  EXPECT_EQ(v().sd_bar, 1);
  EXPECT_EQ(ctx.redraw_flag(), kRedrawSliders);
  calendar.release_handling();
  EXPECT_EQ(v().ie_st3, 0);
  EXPECT_EQ(ctx.redraw_flag(), kRedrawNext);
  EXPECT_EQ(calendar.working_time(), at(2011, 5, 17, 1, 30));
}

TEST_F(CalendarTest, DateChooserTakesTheDayAtRelease) {
  calendar.toggle(kCalendarPlayback);
  v().mon_cmd = 1;
  v().mon_time = v().mon_day[9];  // 2011-05-03
  v().day_change = 1;
  calendar.refresh();
  EXPECT_EQ(ctx.input_mode(), kInputDateChooser);
  EXPECT_EQ(ctx.input_level, 16);
  EXPECT_EQ(v().day_change, 0);
  EXPECT_EQ(calendar.working_time(), at(2011, 5, 3, 10, 20, 30));
  calendar.release_handling();
  EXPECT_EQ(v().mon_cmd, 0);
  EXPECT_EQ(ctx.input_mode(), kInputIdle);
  EXPECT_EQ(ctx.input_level, 1);
  EXPECT_EQ(as_time(v().mon_time), at(2011, 5, 3, 10, 20, 30));
  EXPECT_EQ(v().mon_data[9], kMarkChosen);
  EXPECT_EQ(v().mon_data[23], 0);
}

TEST_F(CalendarTest, CancelClosesWithoutCommitting) {
  const int32_t before = v().mon_b_f_t;
  calendar.toggle(kCalendarBackupStart);
  v().mon_add = kStepHour;
  calendar.refresh();
  calendar.release_handling();
  v().ie_cl = 1;
  calendar.refresh();
  EXPECT_EQ(v().ie_month_t, kCalendarClosed);
  EXPECT_EQ(v().ie_cl, 0);
  EXPECT_EQ(v().mon_b_f_t, before);
}

TEST_F(CalendarTest, PlaybackKeyWhileOpenPlaysFromTheChosenTime) {
  identify(16);
  click([](KeyFormVariables& k) { k.ie_page2 = kPagePlayback; });
  sent_views();
  // The calendar key sends nothing.
  click([](KeyFormVariables& k) { k.ie_set_t = kCalendarPlayback; });
  EXPECT_EQ(v().ie_month_t, kCalendarPlayback);
  EXPECT_TRUE(sent_views().empty());
  click([](KeyFormVariables& k) { k.ie_st3 = 21; });  // 10:00
  calendar.release_handling();
  click([](KeyFormVariables& k) {
    k.ie_pb_ps = 3;
    k.ie_pb_ps2 = 1;
  });
  EXPECT_EQ(v().ie_month_t, kCalendarClosed);
  EXPECT_EQ(as_time(v().mon_p_n_t), at(2011, 5, 17, 10, 0));
  EXPECT_EQ(session_word(icmd.session(0).playback, channels::kPlaybackStart),
            at(2011, 5, 17, 10, 0));
  EXPECT_EQ(v().ie_pb_bt_en, (std::array<int32_t, 4>{0, 0, 0, 1}));
}

}  // namespace
}  // namespace tessomar::keyform
