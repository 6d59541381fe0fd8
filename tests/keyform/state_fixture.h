// The key form's state, calendar and video pointer on a real ICMD channel and session modes,
// without a skin: view commands are read back from slot 0's send queue.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "channels/channel_fixture.h"
#include "channels/icmd.h"
#include "channels/session_modes.h"
#include "keyform/calendar.h"
#include "keyform/key_form_state.h"
#include "keyform/variables.h"
#include "keyform/video_pointer.h"
#include "platform/bytes.h"

namespace tessomar::keyform::testing {

constexpr uint32_t kKey = 0x4B455946;

// One ICMD set of a view state record as the DVR would read it.
struct ViewSet {
  uint32_t record_id = 0;
  int32_t mode = 0;
  int32_t layout = 0;    // live image
  int32_t first = 0;     // live image
  int32_t selected = 0;  // the mode's image
  int32_t play_state = 0;
  int32_t direction = 0;
};

class KeyFormStateFixture : public channels::testing::ChannelFixture {
 protected:
  KeyFormStateFixture()
      : icmd(link, dialogs),
        modes(icmd, link, form),
        calendar(ctx, modes, icmd, clock),
        state(ctx, modes, icmd, calendar, logger),
        pointer(ctx, state, form, icmd) {
    icmd.register_icmd();
    open_session(0, kKey, 1);
    show_session_window(modes.hooks(), ctx);
    modes.hooks().viewer_time = [this](int) { return viewer_time; };
    modes.hooks().set_backup_state = [this](int s) { backup_states.push_back(s); };
    modes.hooks().hide_speaker_icons = [this] { pointer.hide_icons(); };
    modes.hooks().clear_speaker_hover = [this] { pointer.clear_hover(); };
    state.hooks().redraw = [this](bool force) { redraws.push_back(force); };
    pointer.hooks().tick_clock = [this] { return clock.now_ms() * 100u; };
    pointer.hooks().identity_audio = [this] { return identity_audio; };
    pointer.hooks().redraw = [this](bool force) { redraws.push_back(force); };
    clock.set_local({2011, 5, 17, 10, 20, 30});
    state.initialise();
  }

  KeyFormVariables& v() { return ctx.vars; }

  // The identity of a DVR as the key form gets it; what it sent is dropped.
  void identify(int32_t channels, const char* level = "9", int32_t start_page = 0) {
    state.device_identity(level, channels, 0, start_page);
    take_queued();
  }

  // The view sets queued since the last call, in order.
  std::vector<ViewSet> sent_views() {
    std::vector<ViewSet> out;
    for (const auto& m : take_queued()) {
      if (m.tag != channels::kTagIcmd || m.sub[1] != channels::kOpSet) continue;
      ViewSet s;
      s.record_id = m.sub[2];
      s.mode = int32_t(m.sub[3]);
      if (m.payload.size() >= 24) {
        auto word = [&](uint32_t off) { return int32_t(platform::load_u32le(&m.payload[off])); };
        s.layout = word(channels::kLiveLayout);
        s.first = word(channels::kLiveFirstChannel);
        s.selected = word(channels::kLiveSelectedChannel);
        s.play_state = word(channels::kPlaybackState);
        s.direction = word(channels::kPlaybackDirection);
      }
      out.push_back(s);
    }
    return out;
  }

  // A key-form click as the pointer input runs it: the view last sent and the page are taken,
  // the element's click rule changes variables, then the state update and calendar refresh.
  template <typename Rule>
  void click(Rule rule) {
    v().dm_ch = ctx.view_bytes.view;
    ctx.last_page = v().ie_page2;
    rule(v());
    state.update(false);
    calendar.refresh();
  }

  KeyFormContext ctx;
  channels::IcmdChannel icmd;
  channels::SessionModes modes;
  MonthCalendar calendar;
  KeyFormState state;
  VideoPointer pointer;
  uint32_t viewer_time = 0;
  uint32_t identity_audio = 0;
  std::vector<int> backup_states;
  std::vector<bool> redraws;
};

}  // namespace tessomar::keyform::testing
