#include "keyform/key_form_state.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "keyform/state_fixture.h"

namespace tessomar::keyform {
namespace {

using channels::kModeBackup;
using channels::kModeLive;
using channels::kModePlayback;
using channels::kModeSetup;
using channels::kRecordLive;
using channels::kRecordPlayback;
using channels::kRecordSetup;
using testing::KeyFormStateFixture;
using testing::ViewSet;

using Keys16 = std::array<int32_t, 16>;
using Keys8 = std::array<int32_t, 8>;
using Tabs = std::array<int32_t, 4>;

// Channel keys with `on` lit, the rest of the first `count` off and the others hidden.
Keys16 channel_keys(int count, std::initializer_list<int> on) {
  Keys16 k{};
  for (int i = 0; i < 16; ++i) k[size_t(i)] = i < count ? 0 : -1;
  for (int i : on) k[size_t(i)] = 1;
  return k;
}

class KeyFormStateTest : public KeyFormStateFixture {};

TEST_F(KeyFormStateTest, InitialisationHidesEverythingAndSendsNothing) {
  EXPECT_EQ(v().ie_page, (Tabs{-1, -1, -1, -1}));
  EXPECT_EQ(v().ie_ch_keys, channel_keys(0, {}));
  EXPECT_EQ(v().ie_ch2_keys, (Keys8{-1, -1, -1, -1, -1, -1, -1, -1}));
  EXPECT_EQ(v().ie_doing, 16);
  EXPECT_EQ(v().ie_pb_ps, 1);
  EXPECT_EQ(v().ie_pb_bt_en, (Tabs{0, 1, 0, 0}));
  EXPECT_EQ(v().dm_sch[99], 16);
  EXPECT_EQ(ctx.last_drawn_slot, -2);
  // Before the identity the channel count is 0: a click updates the keys but sends nothing.
  click([](KeyFormVariables& k) { k.ie_doing = k.ie_ch = 5; });
  EXPECT_TRUE(sent_views().empty());
  EXPECT_EQ(v().ie_ch_keys[5], 1);
}

TEST_F(KeyFormStateTest, IdentityHidesKeysByChannelCountAndSendsTheFourWayView) {
  struct Case {
    int32_t channels;
    Keys16 channel_keys;
    Keys8 split_keys;
  } cases[] = {
      {4, channel_keys(4, {0, 1, 2, 3}), {1, -1, -1, -1, -1, -1, -1, -1}},
      {8, channel_keys(8, {0, 1, 2, 3}), {1, 0, 0, -1, -1, -1, -1, -1}},
      {16, channel_keys(16, {0, 1, 2, 3}), {1, 0, 0, 0, 0, 0, 0, -1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.channels);
    state.initialise();
    state.device_identity("9", c.channels, 7, 0);
    EXPECT_EQ(v().ie_m_ch, c.channels);
    EXPECT_EQ(v().ie_logo, 7);
    EXPECT_EQ(v().ie_ch_keys, c.channel_keys);
    EXPECT_EQ(v().ie_ch2_keys, c.split_keys);
    EXPECT_EQ(v().ie_page, (Tabs{1, 0, 0, 0}));
    std::vector<ViewSet> sent = sent_views();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].record_id, kRecordLive);
    EXPECT_EQ(sent[0].layout, channels::kLayoutFourWay);
    EXPECT_EQ(sent[0].first, 0);
    EXPECT_EQ(redraws.back(), false);  // the button is up
  }
}

TEST_F(KeyFormStateTest, UserLevelAndStartPage) {
  struct Case {
    const char* level;
    int32_t start_page;
    Tabs tabs;
    int32_t page;
    uint32_t last_record;
    int32_t mode;
  } cases[] = {
      {"7", 0, {1, -1, -1, -1}, 0, kRecordLive, kModeLive},
      {"8", 0, {1, 0, 0, -1}, 0, kRecordLive, kModeLive},
      {"9", 2, {-1, 1, 0, -1}, 1, kRecordPlayback, kModePlayback},
      {"9", 1, {0, 0, 0, 1}, 3, kRecordSetup, kModeSetup},
      {"x", 0, {1, -1, -1, -1}, 0, kRecordLive, kModeLive},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.level << " page " << c.start_page);
    state.initialise();
    modes.ApplyViewCommand(0, 16, kModeLive, 0, 16, true);
    state.device_identity(c.level, 16, 0, c.start_page);
    EXPECT_EQ(v().ie_page, c.tabs);
    EXPECT_EQ(v().ie_page2, c.page);
    std::vector<ViewSet> sent = sent_views();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().record_id, c.last_record);
    EXPECT_EQ(sent.back().mode, c.mode);
    EXPECT_EQ(icmd.session(0).mode, c.mode);
    if (c.page == kPageSetup) {
      EXPECT_EQ(v().ie_ch_keys, channel_keys(0, {}));
    }
  }
}

TEST_F(KeyFormStateTest, ViewCodesLightTheirChannelKeys) {
  struct Case {
    int32_t channels;
    int32_t view;
    Keys16 keys;
  } cases[] = {
      {16, 5, channel_keys(16, {5})},
      {16, 16, channel_keys(16, {0, 1, 2, 3})},
      {16, 17, channel_keys(16, {4, 5, 6, 7})},
      {16, 18, channel_keys(16, {8, 9, 10, 11})},
      {8, 18, channel_keys(8, {0, 1, 2, 3, 4, 5, 6, 7})},
      {16, 19, channel_keys(16, {12, 13, 14, 15})},
      {16, 20, channel_keys(16, {0, 1, 2, 3, 4, 5, 6, 7, 8})},
      {16, 21, channel_keys(16, {9, 10, 11, 12, 13, 14, 15, 0, 1})},
      {16, 22, channel_keys(16, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15})},
      {4, 22, channel_keys(4, {0, 1, 2, 3})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.channels << " channels, view " << c.view);
    state.initialise();
    identify(c.channels);
    click([&](KeyFormVariables& k) { k.ie_doing = k.ie_ch = c.view; });
    EXPECT_EQ(v().ie_ch_keys, c.keys);
  }
}

TEST_F(KeyFormStateTest, LivePlaybackLiveRestoresTheViewAndResetsThePlaybackKeys) {
  identify(16);
  click([](KeyFormVariables& k) { k.ie_doing = k.ie_ch = 5; });
  ASSERT_EQ(sent_views().back().selected, 5);

  click([](KeyFormVariables& k) { k.ie_page2 = kPagePlayback; });
  EXPECT_EQ(v().ie_doing, 0);  // the saved playback view
  EXPECT_EQ(v().ie_page, (Tabs{0, 1, 0, 0}));
  std::vector<ViewSet> sent = sent_views();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back().record_id, kRecordPlayback);
  EXPECT_EQ(sent.back().selected, 0);

  // Play forward on channel 2 of the playback page.
  click([](KeyFormVariables& k) { k.ie_doing = k.ie_ch = 2; });
  click([](KeyFormVariables& k) {
    k.ie_pb_ps = 3;
    k.ie_pb_ps2 = 1;
  });
  EXPECT_EQ(v().ie_pb_bt_en, (Tabs{0, 0, 0, 1}));
  sent = sent_views();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back().play_state, 1);
  EXPECT_EQ(sent.back().direction, 1);

  click([](KeyFormVariables& k) { k.ie_page2 = kPageLive; });
  EXPECT_EQ(v().ie_doing, 5);
  EXPECT_EQ(v().ie_pb_ps, 1);
  EXPECT_EQ(v().ie_pb_bt_en, (Tabs{0, 1, 0, 0}));
  EXPECT_EQ(v().ie_ch_keys, channel_keys(16, {5}));
  sent = sent_views();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back().record_id, kRecordLive);
  EXPECT_EQ(sent.back().layout, channels::kLayoutSingle);
  EXPECT_EQ(sent.back().selected, 5);

  // Back on Playback the playback page's channel is remembered too.
  click([](KeyFormVariables& k) { k.ie_page2 = kPageBackup; });
  EXPECT_EQ(v().ie_doing, 2);
  EXPECT_EQ(icmd.session(0).mode, kModeBackup);
}

TEST_F(KeyFormStateTest, PageChangeSendsItsViewEvenWithACalendarRequest) {
  identify(16);
  // One key that opens the Backup page on its start-time calendar.
  click([](KeyFormVariables& k) {
    k.ie_page2 = kPageBackup;
    k.ie_set_t = kCalendarBackupStart;
  });
  EXPECT_EQ(v().ie_month_t, kCalendarBackupStart);
  std::vector<ViewSet> sent = sent_views();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back().record_id, channels::kRecordBackup);
  // On the same page the calendar request alone sends nothing.
  click([](KeyFormVariables& k) { k.ie_set_t = kCalendarBackupStart; });
  EXPECT_EQ(v().ie_month_t, kCalendarClosed);
  EXPECT_TRUE(sent_views().empty());
}

TEST_F(KeyFormStateTest, PlayRequestEntersPlaybackPlaying) {
  identify(16);
  click([](KeyFormVariables& k) { k.ie_page2 = kPagePlayRequest; });
  EXPECT_EQ(v().ie_page2, kPagePlayback);
  EXPECT_EQ(v().ie_pb_ps, kActionPlay);
  EXPECT_EQ(v().ie_pb_bt_en, (Tabs{0, 0, 1, 0}));
  std::vector<ViewSet> sent = sent_views();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back().record_id, kRecordPlayback);
  EXPECT_EQ(sent.back().play_state, 1);
  EXPECT_EQ(sent.back().direction, 0);
  EXPECT_EQ(ctx.view_bytes.page, kPagePlayback);
}

TEST_F(KeyFormStateTest, EveryClickSendsTheViewUnlessTheCalendarIsBeingEdited) {
  identify(16);
  // An element that changes nothing the state update reads still sends the current view.
  click([](KeyFormVariables&) {});
  click([](KeyFormVariables&) {});
  std::vector<ViewSet> sent = sent_views();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].layout, channels::kLayoutFourWay);

  struct Case {
    const char* name;
    int32_t KeyFormVariables::*flag;
  } cases[] = {{"IE_ST3", &KeyFormVariables::ie_st3},
               {"Mon_Add", &KeyFormVariables::mon_add},
               {"Mon_Sub", &KeyFormVariables::mon_sub},
               {"Day_change", &KeyFormVariables::day_change}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    v().*c.flag = 7;  // a value the calendar refresh leaves alone
    state.update(false);
    EXPECT_TRUE(sent_views().empty());
    v().*c.flag = 0;
  }
  // While OK or Cancel is pending the update does nothing at all.
  v().ie_ok = 1;
  v().ie_doing = v().ie_ch = 7;
  state.update(false);
  EXPECT_TRUE(sent_views().empty());
  EXPECT_EQ(v().ie_ch_keys, channel_keys(16, {0, 1, 2, 3}));
}

TEST_F(KeyFormStateTest, ShowLiveLayoutFollowsTheDvrAndSendsNothing) {
  struct Case {
    int32_t channels;
    int32_t layout, first, selected;
    int32_t view, split_key;
  } cases[] = {
      {16, 0, 0, 6, 6, 0}, {16, 1, 8, 0, 18, 2}, {16, 2, 0, 0, 20, 4},  {16, 2, 9, 0, 21, 5},
      {8, 2, 0, 0, 18, 2}, {16, 3, 0, 0, 22, 6}, {16, 1, 12, 3, 19, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "layout " << c.layout << " first " << c.first);
    state.initialise();
    identify(c.channels);
    redraws.clear();
    state.show_live_layout(c.layout, c.first, c.selected);
    EXPECT_EQ(v().ie_doing, c.view);
    EXPECT_EQ(v().ie_ch, c.view);
    EXPECT_EQ(v().ie_ch2, c.split_key);
    if (c.view > 15) {
      EXPECT_EQ(v().ie_ch2_keys[size_t(c.split_key)], 1);
    }
    EXPECT_TRUE(sent_views().empty());
    EXPECT_EQ(redraws.size(), 1u);
  }
  // A layout no view code names changes nothing.
  const KeyFormVariables before = v();
  state.show_live_layout(4, 0, 0);
  state.show_live_layout(0, 0, 40);
  EXPECT_EQ(v().ie_doing, before.ie_doing);
  EXPECT_EQ(v().ie_ch_keys, before.ie_ch_keys);
  EXPECT_TRUE(sent_views().empty());
}

TEST_F(KeyFormStateTest, SaveKeyWithoutABackupStartShowsTheRefusal) {
  identify(16);
  click([](KeyFormVariables& k) { k.ie_page2 = kPageBackup; });
  sent_views();
  v().mon_b_f_t = as_var(400000000);
  v().mon_b_t_t = as_var(400000060);
  click([](KeyFormVariables& k) { k.ie_st = 1; });
  EXPECT_EQ(v().ie_st2, 0);
  EXPECT_EQ(v().ie_st, 0);
  EXPECT_EQ(v().ie_percentage, 100);
  EXPECT_EQ(ctx.input_level, 1);
  // The window went to the session before the start was asked for; nothing else was sent.
  const auto& backup = icmd.session(0).backup;
  EXPECT_EQ(platform::load_u32le(backup.data() + channels::kBackupStart), 400000000u);
  EXPECT_EQ(platform::load_u32le(backup.data() + channels::kBackupEnd), 400000060u);
  EXPECT_TRUE(sent_views().empty());
}

TEST_F(KeyFormStateTest, SaveKeyStartsAndStopsABackup) {
  identify(16);
  click([](KeyFormVariables& k) { k.ie_page2 = kPageBackup; });
  int starts = 0;
  state.hooks().start_backup = [&] {
    ++starts;
    return 1;
  };
  click([](KeyFormVariables& k) { k.ie_st = 1; });
  EXPECT_EQ(starts, 1);
  EXPECT_EQ(v().ie_st2, kSaveRunning);
  EXPECT_EQ(v().ie_percentage, 0);
  EXPECT_EQ(ctx.input_level, 2);

  backup_states.clear();
  v().ie_percentage = 40;
  click([](KeyFormVariables& k) { k.ie_st = 1; });
  EXPECT_EQ(starts, 1);
  EXPECT_EQ(backup_states, (std::vector<int>{3}));
  EXPECT_EQ(v().ie_st2, kSaveIdle);
  EXPECT_EQ(v().ie_percentage, 100);
  EXPECT_EQ(ctx.input_level, 1);
  EXPECT_EQ(ctx.last_drawn_slot, -2);
}

TEST_F(KeyFormStateTest, SessionWindowAndProgressShowInTheVariables) {
  identify(16);
  viewer_time = 500000000;
  click([](KeyFormVariables& k) { k.ie_page2 = kPagePlayback; });
  // Entering Playback from Live starts the window 30 s behind the live picture.
  EXPECT_EQ(as_time(v().mon_p_n_t), 500000000u - 30);
  EXPECT_EQ(as_time(v().mon_b_f_t), 500000000u - 30);
  EXPECT_EQ(as_time(v().mon_b_t_t), 500000000u - 25);
}

TEST_F(KeyFormStateTest, MachineKeysAreNone) {
  state.refresh_machine_keys();
  EXPECT_EQ(v().sd_io, (std::array<int32_t, 5>{255, 255, 255, 255, 255}));
}

}  // namespace
}  // namespace tessomar::keyform
