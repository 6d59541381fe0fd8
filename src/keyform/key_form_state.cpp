#include "keyform/key_form_state.h"

#include <algorithm>
#include <string>

namespace tessomar::keyform {

namespace {

// Sets entries first..last (inclusive) that exist.
template <size_t N>
void fill(std::array<int32_t, N>& keys, int first, int last, int32_t value) {
  for (int i = std::max(first, 0); i <= last && i < int(N); ++i) keys[size_t(i)] = value;
}
template <size_t N>
void set_key(std::array<int32_t, N>& keys, int32_t i, int32_t value) {
  if (i >= 0 && i < int32_t(N)) keys[size_t(i)] = value;
}

}  // namespace

KeyFormState::KeyFormState(KeyFormContext& ctx, channels::SessionModes& modes,
                           channels::IcmdChannel& icmd, MonthCalendar& calendar,
                           const platform::Logger& logger)
    : ctx_(ctx), modes_(modes), icmd_(icmd), calendar_(calendar), logger_(logger) {}

void KeyFormState::initialise() {
  KeyFormVariables& v = ctx_.vars;
  ctx_.mode_records[2] = {0, 0};
  v.dm_spre.fill(0);
  v.dm_sch.fill(kViewFourWay0);
  v.dm_ch = 0;
  v.mod = 0;
  v.mod2 = 0;
  v.dm_cmd = 0;
  v.cent_x = 0;
  v.cent_y = 0;

  calendar_.initialise();

  v.ie_percentage = 0;
  v.ie_page.fill(kKeyHidden);
  v.ie_page2 = kPageLive;
  v.ie_ch = 0;
  v.ie_ch2 = 0;
  v.ie_doing = kInitialView;
  ctx_.last_page = kPageLive;
  ctx_.saved_live_view = kInitialView;
  ctx_.saved_playback_view = 0;
  v.ie_ch_keys.fill(kKeyHidden);
  v.ie_ch2_keys.fill(kKeyHidden);
  v.ie_pb_ps = kActionStop;
  set_playback_keys(kActionStop);
  ctx_.force_redraw();
}

void KeyFormState::device_identity(std::string_view user_level, int32_t channel_count, int32_t logo,
                                   int32_t start_page) {
  KeyFormVariables& v = ctx_.vars;
  if (user_level == "7") {
    v.ie_page = {kKeyOn, kKeyHidden, kKeyHidden, kKeyHidden};
  } else if (user_level == "8") {
    v.ie_page = {kKeyOn, kKeyOn, kKeyOn, kKeyHidden};
  } else if (user_level == "9") {
    v.ie_page = {kKeyOn, kKeyOn, kKeyOn, kKeyOn};
  }
  v.ie_m_ch = channel_count;
  v.ie_logo = logo;

  if (channel_count == 4) {
    fill(v.ie_ch_keys, 4, 15, kKeyHidden);
    fill(v.ie_ch2_keys, 1, 7, kKeyHidden);
  } else if (channel_count == 8) {
    fill(v.ie_ch_keys, 4, 7, kKeyOff);
    fill(v.ie_ch_keys, 8, 15, kKeyHidden);
    fill(v.ie_ch2_keys, 1, 2, kKeyOff);
    fill(v.ie_ch2_keys, 3, 6, kKeyHidden);
    set_key(v.ie_ch2_keys, 7, kKeyOff);
  } else {
    fill(v.ie_ch_keys, 4, 15, kKeyOff);
    fill(v.ie_ch2_keys, 1, 6, kKeyOff);
    set_key(v.ie_ch2_keys, 7, kKeyHidden);
  }
  fill(v.ie_ch_keys, 0, 3, kKeyOn);
  set_key(v.ie_ch2_keys, 0, kKeyOn);
  v.ie_pb_ps = kActionStop;

  if (start_page == kStartPageSetup) {
    v.ie_page2 = kPageSetup;
  } else if (start_page == kStartPagePlayback) {
    v.ie_page2 = kPagePlayback;
    v.ie_page = {kKeyHidden, kKeyOn, kKeyOn, kKeyHidden};
  } else {
    v.ie_page2 = kPageLive;
  }

  update(false);
  ctx_.force_redraw();
  redraw();
}

void KeyFormState::show_live_layout(int32_t layout, int32_t first_channel,
                                    int32_t selected_channel) {
  KeyFormVariables& v = ctx_.vars;
  int32_t view = 0;
  int32_t split_key = 0;
  switch (layout) {
    case channels::kLayoutSingle:
      if (selected_channel < 0 || selected_channel > 15) {
        logger_.debug("key form: live view of channel " + std::to_string(selected_channel) +
                      " has no key; the keys stay as they are");
        return;
      }
      view = selected_channel;
      break;
    case channels::kLayoutFourWay:
      if (first_channel < 0 || first_channel > 15) {
        logger_.debug("key form: four-way view from channel " + std::to_string(first_channel) +
                      " has no key; the keys stay as they are");
        return;
      }
      split_key = first_channel >> 2;
      view = kViewFourWay0 + split_key;
      break;
    case channels::kLayoutNineWay:
      if (v.ie_m_ch == 8) {
        view = kViewFourWay8;
      } else {
        view = first_channel == 0 ? kViewNineWay0 : kViewNineWay9;
      }
      split_key = view - kViewFourWay0;
      break;
    case channels::kLayoutSixteenWay:
      view = kViewSixteenWay;
      split_key = kViewSixteenWay - kViewFourWay0;
      break;
    default:
      // No view code names such a layout: the keys keep showing the last known view.
      logger_.debug("key form: live layout " + std::to_string(layout) +
                    " is unknown; the keys stay as they are");
      return;
  }
  v.ie_doing = view;
  v.ie_ch = view;
  v.ie_ch2 = split_key;
  update(true);
  ctx_.force_redraw();
  redraw();
}

void KeyFormState::update(bool quiet) {
  KeyFormVariables& v = ctx_.vars;
  if (v.ie_ok == 1 || v.ie_cl == 1) return;

  // The Save key.
  if (v.ie_st == 1) {
    const int32_t state_before = v.ie_st2;
    if (v.ie_st2 == kSaveIdle) {
      if (backup_step(kSaveIdle) == 1) {
        v.ie_st2 = kSaveRunning;
        v.ie_percentage = 0;
        ctx_.input_level = kInputLevelBackup;
      }
    } else if (v.ie_st2 == kSaveRunning || v.ie_st2 == kSaveFinished) {
      ctx_.input_level = kInputLevelNormal;
      backup_step(v.ie_st2);
      v.ie_st2 = kSaveIdle;
    }
    v.ie_st = 0;
    if (state_before != kSaveFinished) return;
  }

  bool page_changed = false;
  bool play_request = false;
  if (ctx_.last_page != v.ie_page2) {
    v.ie_pb_ps = kActionStop;
    set_playback_keys(kActionStop);
    if (ctx_.last_page == kPageLive) {
      ctx_.saved_live_view = v.ie_doing;
    } else if (ctx_.last_page == kPagePlayback || ctx_.last_page == kPageBackup) {
      ctx_.saved_playback_view = v.ie_ch;
    }
    if (v.ie_page2 == kPagePlayRequest) {
      v.ie_page2 = kPagePlayback;
      play_request = true;
    }
    ctx_.last_page = v.ie_page2;
    page_changed = true;
  }

  for (int32_t& tab : v.ie_page) {
    if (tab != kKeyHidden) tab = kKeyOff;
  }

  bool sent = false;
  switch (v.ie_page2) {
    case kPageLive:
      if (page_changed) {
        restore_view(ctx_.saved_live_view);
        select_playback_action(kActionStop);
      }
      v.ie_ch2_keys.fill(kKeyOff);
      if (v.ie_doing > 15) set_key(v.ie_ch2_keys, v.ie_ch2, kKeyOn);
      v.ie_page[kPageLive] = kKeyOn;
      break;
    case kPagePlayback:
      if (page_changed) {
        restore_view(ctx_.saved_playback_view);
        if (play_request) {
          // Playback that starts playing: the playback action is play, the page stays
          // Playback.
          v.ie_pb_ps = kActionPlay;
          select_playback_action(kActionPlay);
        } else {
          select_playback_action(kActionStop);
        }
      }
      if (v.ie_set_t != 0) {
        calendar_.toggle(v.ie_set_t);
        sent = true;
      }
      if (v.ie_pb_ps2 != 0) {
        if (v.ie_month_t != kCalendarClosed) {
          // A playback key while the calendar is open plays from the chosen time.
          v.mon_add = 0;
          v.mon_sub = 0;
          v.ie_st3 = 0;
          v.ie_ok = 1;
          v.ie_month_t = kCalendarPlayback;
          calendar_.refresh();
        }
        v.ie_month_t = kCalendarClosed;
        select_playback_action(v.ie_pb_ps);
        sent = true;
      }
      v.ie_page[kPagePlayback] = kKeyOn;
      break;
    case kPageBackup:
      if (page_changed) {
        restore_view(ctx_.saved_playback_view);
        select_playback_action(kActionStop);
      }
      if (v.ie_set_t != 0) {
        calendar_.toggle(v.ie_set_t);
        sent = true;
      }
      v.ie_page[kPageBackup] = kKeyOn;
      break;
    case kPageSetup:
      if (page_changed) {
        v.ie_month_t = kCalendarClosed;
        select_playback_action(kActionStop);
      }
      v.ie_ch_keys.fill(kKeyHidden);
      v.ie_page[kPageSetup] = kKeyOn;
      break;
    default:
      break;
  }

  if (v.ie_page2 != kPageSetup) light_view_keys();
  hide_keys_by_channel_count();

  if (v.ie_page3 != 0) {
    v.ie_page3 = 0;
    ctx_.last_page = v.ie_page2;
    sent = true;
  }

  if (!quiet && (!sent || page_changed) && v.ie_st3 == 0 && v.mon_add == 0 && v.mon_sub == 0 &&
      v.day_change == 0) {
    select_view(v.ie_doing, ctx_.last_page);
  }
}

void KeyFormState::light_view_keys() {
  KeyFormVariables& v = ctx_.vars;
  auto& keys = v.ie_ch_keys;
  keys.fill(kKeyOff);
  switch (v.ie_doing) {
    case kViewFourWay0:
      fill(keys, 0, 3, kKeyOn);
      break;
    case kViewFourWay4:
      fill(keys, 4, 7, kKeyOn);
      break;
    case kViewFourWay8:
      if (v.ie_m_ch == 8) {
        fill(keys, 0, 7, kKeyOn);
      } else {
        set_key(keys, 8, kKeyOn);
      }
      fill(keys, 9, 11, kKeyOn);
      break;
    case kViewFourWay12:
      fill(keys, 12, 15, kKeyOn);
      break;
    case kViewNineWay0:
      fill(keys, 0, 8, kKeyOn);
      break;
    case kViewNineWay9:
      fill(keys, 9, 15, kKeyOn);
      fill(keys, 0, 1, kKeyOn);
      break;
    case kViewSixteenWay:
      fill(keys, 0, 15, kKeyOn);
      break;
    default:
      if (v.ie_doing >= 0 && v.ie_doing <= 15) set_key(keys, v.ie_ch, kKeyOn);
      break;
  }
}

void KeyFormState::hide_keys_by_channel_count() {
  KeyFormVariables& v = ctx_.vars;
  if (v.ie_m_ch == 4) {
    fill(v.ie_ch_keys, 4, 15, kKeyHidden);
    fill(v.ie_ch2_keys, 1, 6, kKeyHidden);
  } else if (v.ie_m_ch == 8) {
    fill(v.ie_ch_keys, 8, 15, kKeyHidden);
    fill(v.ie_ch2_keys, 3, 6, kKeyHidden);
  }
  set_key(v.ie_ch2_keys, 7, kKeyHidden);
}

void KeyFormState::set_playback_keys(int32_t action) {
  ctx_.vars.ie_pb_bt_en.fill(0);
  set_key(ctx_.vars.ie_pb_bt_en, action, 1);
}

void KeyFormState::restore_view(int32_t view) {
  KeyFormVariables& v = ctx_.vars;
  v.ie_doing = view;
  v.ie_ch = view;
  v.ie_month_t = kCalendarClosed;
}

void KeyFormState::select_playback_action(int32_t action) {
  set_playback_keys(action);
  if (action >= 0 && action < kActionCount) ctx_.view_bytes.action = action;
  send();
  ctx_.vars.ie_pb_ps2 = 0;
}

void KeyFormState::select_view(int32_t view, int32_t page) {
  if (page >= kPageLive && page <= kPageSetup) ctx_.view_bytes.page = page;
  ctx_.view_bytes.view = static_cast<int8_t>(view);
  send();
}

void KeyFormState::send() {
  const int32_t channels = ctx_.vars.ie_m_ch;
  if (channels == 0) return;
  // The view byte is signed: a code of -1 reaches the session modes as all bits set.
  const uint32_t view = static_cast<uint32_t>(int32_t(ctx_.view_bytes.view));
  modes_.ApplyViewCommand(0, static_cast<uint32_t>(channels), ctx_.view_bytes.page,
                          ctx_.view_bytes.action, view, false);
}

int KeyFormState::backup_step(int32_t type) {
  KeyFormVariables& v = ctx_.vars;
  switch (type) {
    case kSaveIdle: {
      // Both ends are read before the first edit moves either.
      const uint32_t start = as_time(v.mon_b_f_t);
      const uint32_t end = as_time(v.mon_b_t_t);
      channels::SessionState& state = icmd_.session(0);
      edit_key_form_window(ctx_, modes_, state, channels::kWindowStart, start);
      edit_key_form_window(ctx_, modes_, state, channels::kWindowEnd, end);
      v.ie_percentage = 0;
      if (hooks_.start_backup) return hooks_.start_backup();
      backup_refused();
      return 0;
    }
    case kSaveRunning:
      if (modes_.hooks().set_backup_state) modes_.hooks().set_backup_state(kBackupJobStopRequest);
      v.ie_percentage = 100;
      ctx_.force_redraw();
      return 0;
    case kSaveFinished:
      v.ie_percentage = 0;
      ctx_.force_redraw();
      return 0;
    default:
      return 0;
  }
}

void KeyFormState::backup_refused() {
  KeyFormVariables& v = ctx_.vars;
  v.ie_st2 = kSaveIdle;
  v.ie_st = 0;
  v.ie_percentage = 100;
  ctx_.input_level = kInputLevelNormal;
}

void KeyFormState::refresh_machine_keys() { ctx_.vars.sd_io.fill(kNoMachineKey); }

void show_session_window(channels::SessionModesHooks& hooks, KeyFormContext& ctx) {
  hooks.window_time_set = [&ctx](int which_end, uint32_t t) {
    if (which_end == channels::kWindowStart) {
      ctx.vars.mon_b_f_t = as_var(t);
      ctx.vars.mon_p_n_t = as_var(t);
    } else if (which_end == channels::kWindowEnd) {
      ctx.vars.mon_b_t_t = as_var(t);
    }
  };
  hooks.progress_changed = [&ctx](int percent) {
    ctx.vars.ie_percentage = percent;
    ctx.force_redraw();
  };
  // The next key-form service redraws the time markers; no redraw runs inside a view command.
  hooks.redraw_key_form = [&ctx] { ctx.force_redraw(); };
}

void KeyFormState::redraw() {
  if (hooks_.redraw) hooks_.redraw(ctx_.button_down);
}

}  // namespace tessomar::keyform
