// Session modes and view state: applies the key form's view commands to a slot's
// SessionState (Live, Playback, Backup, Setup), switches the visible panels, keeps the
// playback/backup time window at least five seconds wide, starts and stops backups, and tells
// the DVR about each change with an ICMD set of the mode's view state record.
//
// The viewer, the backup job, the audio output, the speaker icons and the key form are reached
// through hooks; the key form's window times and progress and the backup job's start values are
// kept here until their owners take them over. UI thread only.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string_view>

#include "channels/icmd.h"
#include "channels/session_state.h"
#include "link/link.h"
#include "platform/form.h"

namespace tessomar::channels {

// View codes: 0 to 15 one channel in full view; the bit below marks a split page chosen by the
// code's low four bits.
constexpr uint32_t kViewSplitBit = 16;
constexpr uint32_t kViewSplitIndexMask = 15;
// On an eight-channel DVR the third four-way page is the nine-way page from channel 0.
constexpr uint32_t kViewEightChannelSplit = 18;
constexpr uint32_t kViewNineWayFromZero = 20;

// Live layouts.
constexpr int32_t kLayoutSingle = 0;
constexpr int32_t kLayoutFourWay = 1;
constexpr int32_t kLayoutNineWay = 2;
constexpr int32_t kLayoutSixteenWay = 3;

struct SplitPage {
  int32_t layout;
  int32_t first_channel;
};
constexpr std::array<SplitPage, 7> kSplitPages = {{
    {kLayoutFourWay, 0},
    {kLayoutFourWay, 4},
    {kLayoutFourWay, 8},
    {kLayoutFourWay, 12},
    {kLayoutNineWay, 0},
    {kLayoutNineWay, 9},
    {kLayoutSixteenWay, 0},
}};

// Play states and directions (playback state image).
constexpr int32_t kPlayStopped = 0;
constexpr int32_t kPlayRunning = 1;
constexpr int32_t kPlayFast = 2;
constexpr int32_t kDirectionReverse = -1;
constexpr int32_t kDirectionNone = 0;
constexpr int32_t kDirectionForward = 1;

// Backup states (backup state image).
constexpr int32_t kBackupIdle = 0;
constexpr int32_t kBackupRunning = 1;
constexpr int32_t kBackupFinishing = 2;

// Playback actions of the key form; the one that also re-anchors a backup window.
constexpr int32_t kActionFinishBackup = 4;

struct PlaybackAction {
  int32_t play_state;
  int32_t direction;
};
// Indexed by playback action 0 to 4; any other action stops.
constexpr std::array<PlaybackAction, 5> kPlaybackActions = {{
    {kPlayRunning, kDirectionReverse},
    {kPlayStopped, kDirectionNone},
    {kPlayRunning, kDirectionNone},
    {kPlayRunning, kDirectionForward},
    {kPlayFast, kDirectionForward},
}};
constexpr PlaybackAction playback_action(int32_t action) {
  if (action < 0 || action >= int32_t(kPlaybackActions.size())) {
    return {kPlayStopped, kDirectionNone};
  }
  return kPlaybackActions[size_t(action)];
}

// Per mode 0 to 4: the name shown in Label_time (none for mode 4) and the record id of the
// mode's view state.
struct ModeRow {
  const char* name;
  uint32_t record_id;
};
constexpr std::array<ModeRow, 5> kModes = {{
    {"Live", kRecordLive},
    {"Playback", kRecordPlayback},
    {"Backup", kRecordBackup},
    {"Setup", kRecordSetup},
    {nullptr, kRecordNone},
}};

// Ends of the time window.
constexpr int kWindowStart = 0;
constexpr int kWindowEnd = 1;
constexpr uint32_t kMinWindowSeconds = 5;
// Entering Playback or Backup from Live starts the window this far behind the live picture.
constexpr uint32_t kLiveLookBackSeconds = 30;

// Backup job states set from here.
constexpr int kJobStart = 1;
constexpr int kJobStop = 4;
constexpr size_t kBackupFileNameSize = 1024;

// The key form's window times and progress (start, end, current = "Mon_B_F_T#SD",
// "Mon_B_T_T#SD", "Mon_P_N_T#SD"; progress = "IE_percentage#SD").
struct KeyFormTimes {
  uint32_t start = 0;
  uint32_t end = 0;
  uint32_t current = 0;
  bool markers_dirty = false;  // the time markers need drawing again
  int redraws = 0;             // redraws asked for
  int progress_percent = 0;
};

// What this code sets in the backup job when a backup starts or stops.
struct BackupJobState {
  int state = 0;  // last state set: 1 start, 4 stop
  std::array<char, kBackupFileNameSize> file_name{};
  uint32_t file_counter = 0;
  uint32_t seconds_written = 0;
};

// Calls out to the viewer, backup job, audio output, speaker icons and key form. Unset hooks do
// nothing; an unset viewer_time reads as 0 (no current time, so nothing is re-anchored).
struct SessionModesHooks {
  std::function<uint32_t(int slot)> viewer_time;  // the viewer's displayTime
  std::function<void(int slot, uint32_t t)> set_viewer_time;
  // Resets the viewer's channel states: n = 0 all channels, else view code + 1.
  std::function<void(int slot, uint32_t n)> flush_viewer;
  std::function<void(int slot)> clear_reorder_table;
  std::function<void()> clear_audio_channel;
  std::function<void()> clear_speaker_hover;
  std::function<void()> hide_speaker_icons;
  std::function<void()> redraw_key_form;
  std::function<void(int state)> set_backup_state;  // the backup job's setBackupState
  // The key form shows the window and the progress: a window end was stored (t not 0) or the
  // progress of a running backup was worked out.
  std::function<void(int which_end, uint32_t t)> window_time_set;
  std::function<void(int percent)> progress_changed;
};

class SessionModes {
 public:
  SessionModes(IcmdChannel& icmd, link::Link& link, platform::Form& form);
  SessionModes(const SessionModes&) = delete;
  SessionModes& operator=(const SessionModes&) = delete;

  SessionModesHooks& hooks() { return hooks_; }
  KeyFormTimes& key_form_times() { return times_; }
  const KeyFormTimes& key_form_times() const { return times_; }
  BackupJobState& backup_job() { return job_; }
  const BackupJobState& backup_job() const { return job_; }

  // The key form's view command on a slot.
  void ApplyViewCommand(int slot, uint32_t channel_count, int32_t mode, int32_t playback_action,
                        uint32_t view_code, bool quiet);
  // A new session on the slot after a lost one: tells the DVR the mode and view the user had,
  // Playback and Backup going on from the picture last shown.
  void resume_view(int slot);
  // 1 when the mode changed, 0 when it was already current.
  int SwitchMode(SessionState& state, int32_t mode);
  // Live mode only; 1 when the layout or first channel changed.
  int SetLayout(SessionState& state, int32_t layout, int32_t first);
  // 1 when the layout or the mode's selected channel changed.
  int SelectChannel(SessionState& state, int32_t channel);
  // 1 when the play state or direction changed.
  int SetPlayState(SessionState& state, int32_t s, int32_t d);
  // Restarts the window at the viewer's current time.
  void ReanchorWindow(SessionState& state);
  // Stores a window start (kWindowStart) or end (kWindowEnd); 0 leaves the value alone.
  void SetWindowTime(SessionState& state, uint32_t t, int which_end);
  // The calendar's and key form's window edit; keeps the window at least 5 seconds wide.
  void EditWindow(SessionState& state, int which_end, uint32_t t);
  // Starts (start_flag 1) or stops a backup; returns the backup state it set.
  int StartStopBackup(SessionState& state, int start_flag, std::string_view file_name);
  // Once a second: the key form's progress percentage of a running backup.
  void backup_progress(SessionState& state);

 private:
  uint32_t viewer_time(int slot) const { return hooks_.viewer_time ? hooks_.viewer_time(slot) : 0; }
  void flush_viewer(int slot, uint32_t n) {
    if (hooks_.flush_viewer) hooks_.flush_viewer(slot, n);
  }
  void set_backup_state(int state);
  void send_set(int slot, uint32_t record_id);
  static void call(const std::function<void()>& f) {
    if (f) f();
  }

  IcmdChannel& icmd_;
  link::Link& link_;
  platform::Form& form_;
  SessionModesHooks hooks_;
  KeyFormTimes times_;
  BackupJobState job_;
};

}  // namespace tessomar::channels
