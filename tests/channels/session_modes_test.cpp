#include "channels/session_modes.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "channels/channel_fixture.h"
#include "channels/icmd.h"

namespace tessomar::channels {
namespace {

using platform::load_u32le;
using platform::store_u32le;
using testing::ChannelFixture;
using testing::WireMessage;

constexpr uint32_t kKey = 0x5E55AB1E;
constexpr uint32_t kT = 800000000;  // some time in 2025

int32_t field(const std::array<uint8_t, kViewImageSize>& image, uint32_t offset) {
  return int32_t(load_u32le(image.data() + offset));
}

class SessionModesTest : public ChannelFixture {
 protected:
  SessionModesTest() : icmd(link, dialogs), modes(icmd, link, form) {
    icmd.register_icmd();
    open_session(0, kKey, 1);
    SessionModesHooks& h = modes.hooks();
    h.viewer_time = [this](int slot) {
      EXPECT_EQ(slot, 0);
      return viewer_time;
    };
    h.set_viewer_time = [this](int, uint32_t t) {
      viewer_time = t;
      viewer_time_sets.push_back(t);
    };
    h.flush_viewer = [this](int, uint32_t n) { flushes.push_back(n); };
    h.clear_reorder_table = [this](int) { ++reorder_clears; };
    h.clear_audio_channel = [this] { ++audio_clears; };
    h.clear_speaker_hover = [this] { ++hover_clears; };
    h.hide_speaker_icons = [this] { ++speaker_hides; };
    h.redraw_key_form = [this] { ++key_form_redraws; };
    h.set_backup_state = [this](int s) { backup_states.push_back(s); };
  }

  SessionState& s0() { return icmd.session(0); }

  // Gets to a mode without sending, then forgets what the hooks saw.
  void enter(int32_t mode, uint32_t at) {
    viewer_time = at;
    modes.ApplyViewCommand(0, 16, mode, 1, 0, true);
    reset_records();
  }
  void reset_records() {
    take_queued();
    viewer_time_sets.clear();
    flushes.clear();
    reorder_clears = audio_clears = hover_clears = speaker_hides = key_form_redraws = 0;
    backup_states.clear();
  }
  void set_window(uint32_t start, uint32_t end) {
    store_u32le(s0().backup.data() + kBackupStart, start);
    store_u32le(s0().backup.data() + kBackupEnd, end);
  }

  IcmdChannel icmd;
  SessionModes modes;
  uint32_t viewer_time = 0;
  std::vector<uint32_t> viewer_time_sets;
  std::vector<uint32_t> flushes;
  int reorder_clears = 0;
  int audio_clears = 0;
  int hover_clears = 0;
  int speaker_hides = 0;
  int key_form_redraws = 0;
  std::vector<int> backup_states;
};

TEST_F(SessionModesTest, SameModeCommandResetsNothingButStillSendsItsSet) {
  struct Case {
    int32_t mode;
    uint32_t record_id;
    size_t image_size;
  } cases[] = {
      {kModeLive, kRecordLive, 64},
      {kModePlayback, kRecordPlayback, 64},
      {kModeBackup, kRecordBackup, 64},
      {kModeSetup, kRecordSetup, kSetupHeaderSize},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    enter(kModeLive == c.mode ? kModePlayback : kModeLive, kT);
    enter(c.mode, kT);
    const uint32_t start = load_u32le(s0().backup.data() + kBackupStart);
    const uint32_t end = load_u32le(s0().backup.data() + kBackupEnd);
    form["Label_time"].set_caption("12:00:00");
    viewer_time = kT + 1000;

    modes.ApplyViewCommand(0, 16, c.mode, 1, 3, false);

    EXPECT_EQ(s0().mode, c.mode);
    EXPECT_EQ(form["Label_time"].caption(), "12:00:00");
    EXPECT_EQ(reorder_clears, 0);
    EXPECT_TRUE(backup_states.empty());
    EXPECT_EQ(flushes, (std::vector<uint32_t>{4}));  // only the view's own channel
    EXPECT_EQ(load_u32le(s0().backup.data() + kBackupStart), start);
    EXPECT_EQ(load_u32le(s0().backup.data() + kBackupEnd), end);
    EXPECT_EQ(audio_clears, 1);
    EXPECT_EQ(hover_clears, 1);
    EXPECT_EQ(speaker_hides, 1);

    std::vector<WireMessage> sent = take_queued();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].tag, kTagIcmd);
    EXPECT_EQ(sent[0].sub[0], kKey);
    EXPECT_EQ(sent[0].sub[1], kOpSet);
    EXPECT_EQ(sent[0].sub[2], c.record_id);
    EXPECT_EQ(int32_t(sent[0].sub[3]), c.mode);
    ASSERT_EQ(sent[0].payload.size(), c.image_size);
    if (c.mode == kModeSetup) {
      EXPECT_EQ(load_u32le(&sent[0].payload[0]), 0u);                // sub-id
      EXPECT_EQ(load_u32le(&sent[0].payload[4]), kSetupHeaderSize);  // total length
      EXPECT_EQ(load_u32le(&sent[0].payload[8]), 0u);                // no data, no sum
    }
  }
}

TEST_F(SessionModesTest, QuietCommandSendsNothingAndModeFourSendsAnEmptySet) {
  modes.ApplyViewCommand(0, 16, kModePlayback, 1, 0, true);
  EXPECT_TRUE(take_queued().empty());
  EXPECT_EQ(speaker_hides, 1);

  form["Label_time"].set_caption("title");
  modes.ApplyViewCommand(0, 16, kModeNone, 1, 0, false);
  EXPECT_EQ(form["Label_time"].caption(), "title");
  auto sent = take_queued();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].sub[2], kRecordNone);
  EXPECT_TRUE(sent[0].payload.empty());
}

TEST_F(SessionModesTest, ModeOutsideTheTableIsStoredButNothingIsSent) {
  modes.ApplyViewCommand(0, 16, 7, 1, 2, false);
  EXPECT_EQ(s0().mode, 7);
  EXPECT_TRUE(take_queued().empty());
  EXPECT_EQ(flushes, (std::vector<uint32_t>{0}));  // the switch's, not the view's
  EXPECT_EQ(speaker_hides, 0);
}

TEST_F(SessionModesTest, ModeNamesAndPanels) {
  struct Case {
    int32_t mode;
    const char* title;
    bool pages_visible;
    bool backup_label_visible;
  } cases[] = {
      {kModeSetup, "Setup", true, false},        {kModeBackup, "Backup", false, true},
      {kModePlayback, "Playback", false, false}, {kModeSetup, "Setup", true, false},
      {kModeLive, "Live", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    form["PageControl1"].set_item_index(4);  // the user was on another tab
    modes.ApplyViewCommand(0, 16, c.mode, 1, 0, false);
    EXPECT_EQ(form["Label_time"].caption(), c.title);
    EXPECT_EQ(form["PageControl1"].visible(), c.pages_visible);
    EXPECT_EQ(form["Label1"].visible(), c.backup_label_visible);
    if (c.pages_visible) {
      EXPECT_EQ(form["PageControl1"].item_index(), 0);
    }
  }
}

TEST_F(SessionModesTest, EverySwitchStopsTheBackupFlushesAllAndClearsReordering) {
  const int32_t order[] = {kModePlayback, kModeBackup, kModeSetup, kModeLive, kModeNone, kModeLive};
  uint32_t view = 5;
  for (int32_t mode : order) {
    SCOPED_TRACE(mode);
    reset_records();
    modes.ApplyViewCommand(0, 16, mode, 1, view, false);
    EXPECT_EQ(reorder_clears, 1);
    EXPECT_EQ(backup_states, (std::vector<int>{kJobStop}));
    EXPECT_EQ(modes.backup_job().state, kJobStop);
    EXPECT_EQ(flushes, (std::vector<uint32_t>{0, view + 1}));
    ++view;
  }
}

TEST_F(SessionModesTest, SwitchClearsPlayAndBackupStates) {
  enter(kModePlayback, kT);
  modes.ApplyViewCommand(0, 16, kModePlayback, 4, 0, true);
  ASSERT_EQ(field(s0().playback, kPlaybackState), kPlayFast);
  store_u32le(s0().backup.data() + kBackupState, kBackupRunning);

  EXPECT_EQ(modes.SwitchMode(s0(), kModeBackup), 1);
  EXPECT_EQ(field(s0().playback, kPlaybackState), 0);
  EXPECT_EQ(field(s0().playback, kPlaybackDirection), 0);
  EXPECT_EQ(field(s0().backup, kBackupState), 0);
  EXPECT_EQ(modes.SwitchMode(s0(), kModeBackup), 0);
}

TEST_F(SessionModesTest, EnteringPlaybackOrBackupPlacesTheWindow) {
  struct Case {
    int32_t from, to;
    uint32_t viewer, start, end;
  } cases[] = {
      {kModeLive, kModePlayback, kT, kT - 30, kT - 25},
      {kModeLive, kModeBackup, kT, kT - 30, kT - 25},
      {kModeBackup, kModePlayback, kT, kT, kT + 5},
      {kModePlayback, kModeBackup, kT, kT, kT + 5},
      {kModeSetup, kModePlayback, kT, kT, kT + 5},
      {kModeLive, kModePlayback, 10, 0, 0},  // next to the epoch: the start cannot go below it
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.from) + "->" + std::to_string(c.to));
    enter(c.from, 0);
    set_window(0, 0);
    modes.key_form_times() = KeyFormTimes{};
    viewer_time = c.viewer;

    modes.ApplyViewCommand(0, 16, c.to, 1, 0, false);

    const KeyFormTimes& k = modes.key_form_times();
    if (c.start != 0) {
      EXPECT_EQ(load_u32le(s0().backup.data() + kBackupStart), c.start);
      EXPECT_EQ(load_u32le(s0().backup.data() + kBackupEnd), c.end);
      EXPECT_EQ(load_u32le(s0().playback.data() + kPlaybackStart), c.start);
      EXPECT_EQ(k.start, c.start);
      EXPECT_EQ(k.current, c.start);
      EXPECT_EQ(k.end, c.end);
      ASSERT_FALSE(viewer_time_sets.empty());
      EXPECT_EQ(viewer_time_sets.front(), c.start);
      EXPECT_TRUE(k.markers_dirty);
      EXPECT_GE(key_form_redraws, 2);
    } else {
      EXPECT_EQ(load_u32le(s0().backup.data() + kBackupStart), 0u);
      EXPECT_EQ(k.end, 5u);
    }
  }
}

TEST_F(SessionModesTest, NoViewerTimeLeavesTheWindowAlone) {
  enter(kModeLive, 0);
  set_window(kT, kT + 60);
  modes.ApplyViewCommand(0, 16, kModeBackup, 1, 0, false);
  EXPECT_EQ(load_u32le(s0().backup.data() + kBackupStart), kT);
  EXPECT_EQ(load_u32le(s0().backup.data() + kBackupEnd), kT + 60);
}

TEST_F(SessionModesTest, EditWindowKeepsFiveSeconds) {
  struct Case {
    const char* name;
    int32_t mode;
    uint32_t start, end;  // window before the edit (backup image and key form)
    int which_end;
    uint32_t t;
    uint32_t want_start, want_end;
  } cases[] = {
      {"end before start moves start", kModeBackup, kT, kT + 100, kWindowEnd, kT - 50, kT - 55,
       kT - 50},
      {"end too close moves start", kModeBackup, kT, kT + 100, kWindowEnd, kT + 3, kT - 2, kT + 3},
      {"end exactly five after", kModeBackup, kT, kT + 100, kWindowEnd, kT + 5, kT, kT + 5},
      {"end later keeps start", kModeBackup, kT, kT + 100, kWindowEnd, kT + 900, kT, kT + 900},
      {"backup start keeps end", kModeBackup, kT, kT + 100, kWindowStart, kT + 20, kT + 20,
       kT + 100},
      {"backup start past end moves end", kModeBackup, kT, kT + 100, kWindowStart, kT + 200,
       kT + 200, kT + 205},
      {"backup start too close moves end", kModeBackup, kT, kT + 100, kWindowStart, kT + 97,
       kT + 97, kT + 102},
      {"playback start plays five", kModePlayback, kT, kT + 100, kWindowStart, kT + 20, kT + 20,
       kT + 25},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    enter(c.mode, 0);
    set_window(c.start, c.end);
    modes.key_form_times().start = c.start;
    modes.key_form_times().end = c.end;

    modes.EditWindow(s0(), c.which_end, c.t);

    EXPECT_EQ(load_u32le(s0().backup.data() + kBackupStart), c.want_start);
    EXPECT_EQ(load_u32le(s0().backup.data() + kBackupEnd), c.want_end);
    EXPECT_EQ(modes.key_form_times().start, c.want_start);
    EXPECT_EQ(modes.key_form_times().end, c.want_end);
    EXPECT_EQ(load_u32le(s0().playback.data() + kPlaybackStart), c.want_start);
    EXPECT_EQ(viewer_time, c.want_start);
    EXPECT_EQ(key_form_redraws, 2);
  }
}

TEST_F(SessionModesTest, SplitCodes) {
  struct Case {
    uint32_t channels, code;
    int32_t layout, first;
  } cases[] = {
      {8, 18, kLayoutNineWay, 0},  {16, 18, kLayoutFourWay, 8}, {4, 18, kLayoutFourWay, 8},
      {16, 16, kLayoutFourWay, 0}, {8, 17, kLayoutFourWay, 4},  {16, 19, kLayoutFourWay, 12},
      {16, 20, kLayoutNineWay, 0}, {16, 21, kLayoutNineWay, 9}, {16, 22, kLayoutSixteenWay, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.channels) + "/" + std::to_string(c.code));
    modes.ApplyViewCommand(0, c.channels, kModeLive, 1, 3, true);
    ASSERT_NE(load_u32le(s0().live.data() + kLiveChannelMask), 0u);

    modes.ApplyViewCommand(0, c.channels, kModeLive, 1, c.code, false);

    EXPECT_EQ(field(s0().live, kLiveLayout), c.layout);
    EXPECT_EQ(field(s0().live, kLiveFirstChannel), c.first);
    EXPECT_EQ(field(s0().live, kLiveSelectedChannel), 3);  // the single view is remembered
    EXPECT_EQ(load_u32le(s0().live.data() + kLiveChannelMask), 0u);
    auto sent = take_queued();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(load_u32le(&sent[0].payload[kLiveLayout]), uint32_t(c.layout));
    EXPECT_EQ(load_u32le(&sent[0].payload[kLiveFirstChannel]), uint32_t(c.first));
  }
}

TEST_F(SessionModesTest, ChannelKeyInLiveSelectsASingleView) {
  modes.ApplyViewCommand(0, 16, kModeLive, 1, 21, true);
  EXPECT_EQ(modes.SelectChannel(s0(), 5), 1);
  EXPECT_EQ(field(s0().live, kLiveLayout), kLayoutSingle);
  EXPECT_EQ(field(s0().live, kLiveFirstChannel), 0);
  EXPECT_EQ(field(s0().live, kLiveSelectedChannel), 5);
  EXPECT_EQ(load_u32le(s0().live.data() + kLiveChannelMask), (1u << 31) | (1u << 5));
  EXPECT_EQ(modes.SelectChannel(s0(), 5), 0);  // same view again: nothing changed
  EXPECT_EQ(modes.SelectChannel(s0(), 6), 1);
}

TEST_F(SessionModesTest, ChannelKeyInPlaybackChangesOnlyThePlaybackChannel) {
  modes.ApplyViewCommand(0, 16, kModeLive, 1, 17, true);
  modes.ApplyViewCommand(0, 16, kModeLive, 1, 17, true);
  store_u32le(s0().live.data() + kLiveSelectedChannel, 2);
  store_u32le(s0().live.data() + kLiveChannelMask, (1u << 31) | 4u);
  enter(kModePlayback, kT);

  modes.ApplyViewCommand(0, 16, kModePlayback, 1, 9, false);

  EXPECT_EQ(field(s0().playback, kPlaybackChannel), 9);
  EXPECT_EQ(field(s0().live, kLiveLayout), kLayoutFourWay);
  EXPECT_EQ(field(s0().live, kLiveFirstChannel), 4);
  EXPECT_EQ(field(s0().live, kLiveSelectedChannel), 2);
  EXPECT_EQ(load_u32le(s0().live.data() + kLiveChannelMask), 0u);
  EXPECT_EQ(field(s0().backup, kBackupChannel), 0);
  EXPECT_EQ(modes.SetLayout(s0(), kLayoutSixteenWay, 0), 0);
  EXPECT_EQ(field(s0().live, kLiveLayout), kLayoutFourWay);

  auto sent = take_queued();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].sub[2], kRecordPlayback);
  EXPECT_EQ(load_u32le(&sent[0].payload[kPlaybackChannel]), 9u);
}

TEST_F(SessionModesTest, PlaybackActionTable) {
  struct Case {
    int32_t action, state, direction;
  } cases[] = {
      {0, 1, -1}, {1, 0, 0}, {2, 1, 0}, {3, 1, 1}, {4, 2, 1}, {5, 0, 0}, {-1, 0, 0}, {99, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.action);
    EXPECT_EQ(playback_action(c.action).play_state, c.state);
    EXPECT_EQ(playback_action(c.action).direction, c.direction);
    enter(kModePlayback, kT);
    modes.ApplyViewCommand(0, 16, kModePlayback, 3, 0, true);  // something else first
    modes.ApplyViewCommand(0, 16, kModePlayback, c.action, 0, false);
    EXPECT_EQ(field(s0().playback, kPlaybackState), c.state);
    EXPECT_EQ(field(s0().playback, kPlaybackDirection), c.direction);
    auto sent = take_queued();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(int32_t(load_u32le(&sent[0].payload[kPlaybackState])), c.state);
    EXPECT_EQ(int32_t(load_u32le(&sent[0].payload[kPlaybackDirection])), c.direction);
  }
}

TEST_F(SessionModesTest, PlaybackReanchorsWhereThePictureIs) {
  struct Case {
    const char* name;
    int32_t before_action;
    uint32_t before_view;
    int32_t action;
    uint32_t view;
    bool reanchored;
  } cases[] = {
      {"fast always", 4, 0, 4, 0, true},
      {"play with a new channel", 2, 0, 2, 1, true},
      {"play, same channel", 2, 0, 2, 0, false},
      {"pause", 2, 0, 1, 0, true},
      {"forward after pause: direction from 0", 1, 0, 3, 0, false},
      {"reverse after forward", 3, 0, 0, 0, true},
      {"forward while playing", 2, 0, 3, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    enter(kModePlayback, kT);
    modes.ApplyViewCommand(0, 16, kModePlayback, c.before_action, c.before_view, true);
    store_u32le(s0().playback.data() + kPlaybackStart, 1);
    viewer_time = kT + 777;
    viewer_time_sets.clear();
    modes.ApplyViewCommand(0, 16, kModePlayback, c.action, c.view, false);
    EXPECT_EQ(load_u32le(s0().playback.data() + kPlaybackStart) == kT + 777, c.reanchored);
    EXPECT_EQ(!viewer_time_sets.empty(), c.reanchored);
  }
}

TEST_F(SessionModesTest, SetPlayStateReportsChanges) {
  enter(kModePlayback, kT);
  EXPECT_EQ(modes.SetPlayState(s0(), 1, 0), 1);
  EXPECT_EQ(modes.SetPlayState(s0(), 1, 0), 0);
  EXPECT_EQ(modes.SetPlayState(s0(), 1, 1), 1);
  EXPECT_EQ(modes.SetPlayState(s0(), 2, 1), 1);
}

TEST_F(SessionModesTest, FinishActionInBackupReanchors) {
  enter(kModeBackup, kT);
  store_u32le(s0().backup.data() + kBackupState, kBackupRunning);
  viewer_time = kT + 300;
  modes.ApplyViewCommand(0, 16, kModeBackup, kActionFinishBackup, 0, false);
  EXPECT_EQ(field(s0().backup, kBackupState), kBackupFinishing);
  EXPECT_EQ(load_u32le(s0().backup.data() + kBackupStart), kT + 300);
  EXPECT_EQ(field(s0().playback, kPlaybackState), 0);  // no play state outside Playback
}

TEST_F(SessionModesTest, StartStopBackup) {
  const std::string long_name(1024, 'x');
  const std::string longest_name(1023, 'y');
  struct Case {
    const char* name;
    int flag;
    uint32_t start, end;
    std::string file;
    int want;
  } cases[] = {
      {"start", 1, kT, kT + 60, "/tmp/ch01.mov", 1},
      {"longest name", 1, kT, kT + 60, longest_name, 1},
      {"start equals end", 1, kT, kT, "/tmp/ch01.mov", 0},
      {"start after end", 1, kT + 1, kT, "/tmp/ch01.mov", 0},
      {"name too long", 1, kT, kT + 60, long_name, 0},
      {"stop", 0, kT, kT + 60, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    enter(kModeBackup, 0);
    set_window(c.start, c.end);
    modes.backup_job().file_counter = 3;
    modes.backup_job().seconds_written = 40;
    viewer_time = kT + 500;

    EXPECT_EQ(modes.StartStopBackup(s0(), c.flag, c.file), c.want);

    EXPECT_EQ(field(s0().backup, kBackupState), c.want);
    const BackupJobState& job = modes.backup_job();
    auto sent = take_queued();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].sub[1], kOpSet);
    EXPECT_EQ(sent[0].sub[2], kRecordBackup);
    EXPECT_EQ(int32_t(load_u32le(&sent[0].payload[kBackupState])), c.want);
    if (c.want == 1) {
      EXPECT_EQ(backup_states, (std::vector<int>{kJobStart}));
      EXPECT_EQ(job.state, kJobStart);
      EXPECT_EQ(std::string(job.file_name.data()), c.file);
      EXPECT_EQ(flushes, (std::vector<uint32_t>{0}));
      EXPECT_EQ(viewer_time, c.start);
      EXPECT_EQ(job.file_counter, 0u);
      EXPECT_EQ(job.seconds_written, 0u);
    } else {
      EXPECT_EQ(backup_states, (std::vector<int>{kJobStop}));
      EXPECT_EQ(job.state, kJobStop);
      EXPECT_TRUE(flushes.empty());
      EXPECT_EQ(viewer_time, kT + 500);
      EXPECT_EQ(job.file_counter, 3u);
    }
    if (c.file.size() >= kBackupFileNameSize) {
      EXPECT_EQ(job.file_name[0], '\0');  // a refused name leaves no part of it behind
    }
  }
}

TEST_F(SessionModesTest, BackupProgress) {
  struct Case {
    const char* name;
    int32_t mode, backup_state;
    uint32_t start, end, now;
    int want;
  } cases[] = {
      {"at start", kModeBackup, 1, kT, kT + 100, kT, 0},
      {"before start", kModeBackup, 1, kT, kT + 100, kT - 10, 0},
      {"half", kModeBackup, 1, kT, kT + 100, kT + 50, 50},
      {"rounds down", kModeBackup, 1, kT, kT + 3, kT + 2, 66},
      {"at end", kModeBackup, 1, kT, kT + 100, kT + 100, 100},
      {"past end capped", kModeBackup, 1, kT, kT + 100, kT + 250, 100},
      {"long window", kModeBackup, 1, 1000, 4000000000u, 2000000000u, 49},
      {"empty window", kModeBackup, 1, kT, kT, kT + 5, 0},
      {"not running", kModeBackup, 2, kT, kT + 100, kT + 50, -1},
      {"not backup mode", kModePlayback, 1, kT, kT + 100, kT + 50, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    enter(c.mode, 0);
    set_window(c.start, c.end);
    store_u32le(s0().backup.data() + kBackupState, uint32_t(c.backup_state));
    modes.key_form_times().progress_percent = -1;
    modes.key_form_times().markers_dirty = false;
    viewer_time = c.now;

    modes.backup_progress(s0());

    EXPECT_EQ(modes.key_form_times().progress_percent, c.want);
    EXPECT_EQ(modes.key_form_times().markers_dirty, c.want != -1);
  }
}

}  // namespace
}  // namespace tessomar::channels
