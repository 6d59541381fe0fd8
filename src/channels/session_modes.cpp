#include "channels/session_modes.h"

#include <algorithm>

#include "platform/bytes.h"

namespace tessomar::channels {

namespace {

using Image = std::array<uint8_t, kViewImageSize>;

uint32_t get_u(const Image& image, uint32_t offset) {
  platform::ByteReader r(image);
  r.seek(offset);
  return r.u32le();
}
int32_t get(const Image& image, uint32_t offset) { return int32_t(get_u(image, offset)); }
void put_u(Image& image, uint32_t offset, uint32_t v) {
  platform::ByteWriter w(image);
  w.seek(offset);
  w.u32le(v);
}
// Stores v; true when the stored value differed.
bool put(Image& image, uint32_t offset, int32_t v) {
  bool changed = get(image, offset) != v;
  put_u(image, offset, uint32_t(v));
  return changed;
}

// Device times never go below the epoch; a window edit next to it stops there.
uint32_t minus(uint32_t t, uint32_t d) { return t > d ? t - d : 0; }
uint32_t plus(uint32_t t, uint32_t d) { return t < UINT32_MAX - d ? t + d : UINT32_MAX; }

}  // namespace

SessionModes::SessionModes(IcmdChannel& icmd, link::Link& link, platform::Form& form)
    : icmd_(icmd), link_(link), form_(form) {}

void SessionModes::ApplyViewCommand(int slot, uint32_t channel_count, int32_t mode,
                                    int32_t playback_action_code, uint32_t view_code, bool quiet) {
  if (slot < 0 || slot >= link::kSlotCount) return;
  SessionState& state = icmd_.session(slot);

  call(hooks_.clear_audio_channel);
  call(hooks_.clear_speaker_hover);

  SwitchMode(state, mode);

  int changed = 0;
  if (view_code & kViewSplitBit) {
    uint32_t code = view_code;
    if (channel_count == 8 && code == kViewEightChannelSplit) code = kViewNineWayFromZero;
    uint32_t page = code & kViewSplitIndexMask;
    if (page < kSplitPages.size()) {
      changed = SetLayout(state, kSplitPages[page].layout, kSplitPages[page].first_channel);
    }
    put_u(state.live, kLiveChannelMask, 0);
  } else {
    changed = SelectChannel(state, int32_t(view_code));
  }

  if (state.mode == kModePlayback) {
    PlaybackAction a = playback_action(playback_action_code);
    SetPlayState(state, a.play_state, a.direction);
    if (a.play_state == kPlayRunning && changed) ReanchorWindow(state);
    if (a.play_state == kPlayFast) ReanchorWindow(state);
  }
  if (state.mode == kModeBackup && playback_action_code == kActionFinishBackup) {
    put(state.backup, kBackupState, kBackupFinishing);
    ReanchorWindow(state);
  }

  if (state.mode < 0 || state.mode >= int32_t(kModes.size())) return;
  uint32_t record_id = kModes[size_t(state.mode)].record_id;

  // A code of -1 from the key form wraps to 0 here, which resets every channel.
  flush_viewer(slot, view_code + 1);
  if (!quiet) send_set(slot, record_id);
  call(hooks_.hide_speaker_icons);
}

void SessionModes::resume_view(int slot) {
  if (slot < 0 || slot >= link::kSlotCount) return;
  SessionState& state = icmd_.session(slot);
  if (state.mode < kModeLive || state.mode > kModeSetup) return;
  const uint32_t shown = viewer_time(slot);
  flush_viewer(slot, 0);
  if (state.mode == kModePlayback || state.mode == kModeBackup) {
    SetWindowTime(state, shown, kWindowStart);
  }
  send_set(slot, kModes[size_t(state.mode)].record_id);
}

int SessionModes::SwitchMode(SessionState& state, int32_t mode) {
  if (state.mode == mode) return 0;
  int32_t previous = state.mode;
  state.mode = mode;
  put(state.playback, kPlaybackState, kPlayStopped);
  put(state.playback, kPlaybackDirection, kDirectionNone);
  put(state.backup, kBackupState, kBackupIdle);

  // The old mode's pictures and any backup in progress are dropped.
  uint32_t t = viewer_time(state.slot);
  set_backup_state(kJobStop);
  flush_viewer(state.slot, 0);
  if (hooks_.clear_reorder_table) hooks_.clear_reorder_table(state.slot);

  platform::Component& pages = form_["PageControl1"];
  platform::Component& backup_label = form_["Label1"];
  pages.set_visible(false);
  backup_label.set_visible(false);
  if (mode == kModeBackup) {
    backup_label.set_visible(true);
  } else if (mode == kModeSetup) {
    pages.set_item_index(0);  // the System tab
    pages.set_visible(true);
  }
  if (mode >= kModeLive && mode <= kModeSetup) {
    form_["Label_time"].set_caption(kModes[size_t(mode)].name);
  }

  if ((mode == kModePlayback || mode == kModeBackup) && t != 0) {
    if (previous == kModeLive) t = minus(t, kLiveLookBackSeconds);
    SetWindowTime(state, t, kWindowStart);
    SetWindowTime(state, plus(t, kMinWindowSeconds), kWindowEnd);
  }
  return 1;
}

int SessionModes::SetLayout(SessionState& state, int32_t layout, int32_t first) {
  if (state.mode != kModeLive) return 0;
  bool changed = put(state.live, kLiveLayout, layout);
  changed |= put(state.live, kLiveFirstChannel, first);
  return changed ? 1 : 0;
}

int SessionModes::SelectChannel(SessionState& state, int32_t channel) {
  int changed = SetLayout(state, kLayoutSingle, 0);

  uint32_t mask = 0;
  if (state.mode == kModeLive) {
    // Only channels that have a bit of their own get one.
    mask = 1u << 31;
    if (channel >= 0 && channel < 31) mask |= 1u << channel;
  }
  put_u(state.live, kLiveChannelMask, mask);

  Image* image = nullptr;
  if (state.mode == kModeLive) image = &state.live;
  if (state.mode == kModePlayback) image = &state.playback;
  if (state.mode == kModeBackup) image = &state.backup;
  // The selected channel sits at the same offset in all three images.
  static_assert(kLiveSelectedChannel == kPlaybackChannel && kPlaybackChannel == kBackupChannel);
  if (image && put(*image, kLiveSelectedChannel, channel)) changed = 1;
  return changed;
}

int SessionModes::SetPlayState(SessionState& state, int32_t s, int32_t d) {
  int32_t stored_state = get(state.playback, kPlaybackState);
  int32_t stored_direction = get(state.playback, kPlaybackDirection);
  int changed = 0;
  if (s != stored_state) {
    changed = 1;
    if (s == kPlayStopped) ReanchorWindow(state);
  }
  if (d != stored_direction) {
    if (stored_direction != kDirectionNone || stored_state == kPlayRunning) ReanchorWindow(state);
    changed = 1;
  }
  put(state.playback, kPlaybackState, s);
  put(state.playback, kPlaybackDirection, d);
  return changed;
}

void SessionModes::ReanchorWindow(SessionState& state) {
  SetWindowTime(state, viewer_time(state.slot), kWindowStart);
}

void SessionModes::SetWindowTime(SessionState& state, uint32_t t, int which_end) {
  if (t != 0) {
    if (which_end == kWindowEnd) {
      times_.end = t;
      put_u(state.backup, kBackupEnd, t);
    } else if (which_end == kWindowStart) {
      times_.start = t;
      times_.current = t;
      put_u(state.playback, kPlaybackStart, t);
      put_u(state.backup, kBackupStart, t);
      if (hooks_.set_viewer_time) hooks_.set_viewer_time(state.slot, t);
    }
    if (hooks_.window_time_set) hooks_.window_time_set(which_end, t);
  }
  times_.markers_dirty = true;
  ++times_.redraws;
  call(hooks_.redraw_key_form);
}

void SessionModes::EditWindow(SessionState& state, int which_end, uint32_t t) {
  uint32_t start = 0;
  uint32_t end = 0;
  if (which_end == kWindowStart) {
    // Playback plays from the start; elsewhere the window keeps the end the key form shows.
    start = t;
    end = state.mode == kModePlayback ? plus(t, kMinWindowSeconds) : times_.end;
    if (start > end || end - start < kMinWindowSeconds) end = plus(t, kMinWindowSeconds);
  } else {
    start = get_u(state.backup, kBackupStart);
    end = t;
    if (start > end || end - start < kMinWindowSeconds) start = minus(t, kMinWindowSeconds);
  }
  SetWindowTime(state, start, kWindowStart);
  SetWindowTime(state, end, kWindowEnd);
}

int SessionModes::StartStopBackup(SessionState& state, int start_flag, std::string_view file_name) {
  if (state.slot < 0 || state.slot >= link::kSlotCount) return 0;
  int f = start_flag;
  if (f == 1) {
    job_.file_name.fill(0);
    if (file_name.size() < job_.file_name.size()) {
      std::copy(file_name.begin(), file_name.end(), job_.file_name.begin());
    } else {
      f = 0;
    }
    if (get_u(state.backup, kBackupStart) >= get_u(state.backup, kBackupEnd)) f = 0;
  }
  if (f == 1) {
    set_backup_state(kJobStart);
    flush_viewer(state.slot, 0);
    if (hooks_.set_viewer_time)
      hooks_.set_viewer_time(state.slot, get_u(state.backup, kBackupStart));
    job_.file_counter = 0;
    job_.seconds_written = 0;
  } else {
    set_backup_state(kJobStop);
  }
  put(state.backup, kBackupState, f);
  send_set(state.slot, kRecordBackup);
  return f;
}

void SessionModes::backup_progress(SessionState& state) {
  if (state.mode != kModeBackup || get(state.backup, kBackupState) != kBackupRunning) return;
  uint32_t start = get_u(state.backup, kBackupStart);
  uint32_t end = get_u(state.backup, kBackupEnd);
  int percent = 0;
  if (end > start) {
    uint32_t now = viewer_time(state.slot);
    // 64-bit: a long window times 100 does not fit 32 bits.
    uint64_t done = now > start ? uint64_t(now - start) * 100 / (end - start) : 0;
    percent = int(std::min<uint64_t>(done, 100));
  }
  times_.progress_percent = percent;
  times_.markers_dirty = true;
  if (hooks_.progress_changed) hooks_.progress_changed(percent);
}

void SessionModes::set_backup_state(int state) {
  job_.state = state;
  if (hooks_.set_backup_state) hooks_.set_backup_state(state);
}

void SessionModes::send_set(int slot, uint32_t record_id) {
  icmd_.IcmdSend(link_.slot(slot).session_key, kOpSet, record_id, 0);
}

}  // namespace tessomar::channels
