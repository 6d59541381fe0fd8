// The key form as the control sees it: its shared state, the skin engine that draws it and
// takes the pointer over it, the state update, the month calendar and the pointer over the
// video picture, wired together. The control creates one and calls it from its start-up
// steps, its timer tick, the device identity, the DVR's live view reports and the form's
// pointer events. UI thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "channels/icmd.h"
#include "channels/session_modes.h"
#include "keyform/calendar.h"
#include "keyform/key_form_state.h"
#include "keyform/skin_engine.h"
#include "keyform/variables.h"
#include "keyform/video_pointer.h"
#include "link/link.h"
#include "platform/clock.h"
#include "platform/form.h"
#include "platform/log.h"

namespace tessomar::keyform {

// The key form's skin: its registry keys and kind.
constexpr int32_t kKeyFormKeyA = 0;
constexpr int32_t kKeyFormKeyB = 3;
constexpr int32_t kKeyFormKind = 0;

// "TessomarKeyForm_<build tag>.YUV2".
std::string key_form_file_name(std::string_view build_tag);

struct KeyFormServices {
  platform::Form& form;
  const platform::Clock& clock;
  const platform::Logger& logger;
  link::Link& link;
  channels::IcmdChannel& icmd;
  channels::SessionModes& modes;
  // Milliseconds since start-up x 100 (the control's tick clock).
  std::function<uint32_t()> tick_clock;
  // The audio word of slot 0's device identity.
  std::function<uint32_t()> identity_audio;
};

class KeyForm {
 public:
  explicit KeyForm(const KeyFormServices& services);
  KeyForm(const KeyForm&) = delete;
  KeyForm& operator=(const KeyForm&) = delete;

  // Start-up, before the skin: full redraw, empty skin registry, initial state and calendar.
  void initialise();
  // Registers the key form's skin from the skin folder; a skin that cannot be registered is
  // logged and leaves the key form empty (false).
  bool register_key_form(std::string folder, std::string_view build_tag);

  // The timer's 33 ms group: the press-and-hold repeat, then the redraw decision.
  void service_33ms();
  // Every timer tick, after the viewers: the speaker icons hide after the last movement.
  void speaker_service() { pointer_.speaker_icon_service(); }

  // The DVR's identity on slot 0: tabs by the slot's user level, keys by channel count, the
  // start page, the first view command.
  void device_identity(int32_t channel_count, int32_t logo, int32_t start_page);
  // The DVR reported its live view state in Live mode.
  void show_live_layout(int32_t layout, int32_t first_channel, int32_t selected_channel) {
    state_.show_live_layout(layout, first_channel, selected_channel);
  }
  // The key-form redraw: decides and, when due, draws into Image1.
  void redraw(bool force);

  // Pointer over the key form.
  void Image1MouseDown(int x, int y) { engine_.Image1MouseDown(x, y); }
  void Image1MouseMove(int x, int y) { engine_.Image1MouseMove(x, y); }
  void Image1MouseUp(int x, int y) { engine_.Image1MouseUp(x, y); }
  // The pointer left Image1 (hosts that report it): no element is hovered any more, which the
  // next redraw decision shows.
  void pointer_left() {
    ctx_.hover.slot = -1;
    ctx_.hover.cell = -1;
  }

  KeyFormContext& context() { return ctx_; }
  KeyFormVariables& variables() { return ctx_.vars; }
  const KeyFormVariables& variables() const { return ctx_.vars; }
  KeyFormState& state() { return state_; }
  MonthCalendar& calendar() { return calendar_; }
  VideoPointer& video_pointer() { return pointer_; }
  SkinEngine& engine() { return engine_; }

 private:
  void wire();

  platform::Form& form_;
  const platform::Logger& logger_;
  link::Link& link_;
  channels::SessionModes& modes_;
  KeyFormContext ctx_;
  SkinEngine engine_;
  MonthCalendar calendar_;
  KeyFormState state_;
  VideoPointer pointer_;
};

}  // namespace tessomar::keyform
