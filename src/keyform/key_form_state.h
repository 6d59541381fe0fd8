// The key form's state update: what the page tabs, channel keys, split keys and playback keys
// show after a click or a report from the DVR, the view remembered per page group, the Save
// key's backup handshake, and the view command that goes to the DVR through the session
// modes. Also the initial state and the device identity's tabs, keys and start page.
// UI thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "channels/icmd.h"
#include "channels/session_modes.h"
#include "keyform/calendar.h"
#include "keyform/variables.h"
#include "platform/log.h"

namespace tessomar::keyform {

// Pages ("IE_Page2#SD"); a click may write the play request, Playback with play.
constexpr int32_t kPageLive = 0;
constexpr int32_t kPagePlayback = 1;
constexpr int32_t kPageBackup = 2;
constexpr int32_t kPageSetup = 3;
constexpr int32_t kPagePlayRequest = 98;

// Key values of the array variables.
constexpr int32_t kKeyHidden = -1;
constexpr int32_t kKeyOff = 0;
constexpr int32_t kKeyOn = 1;

// View codes of the key form: 0-15 one channel, then the split pages.
constexpr int32_t kViewFourWay0 = 16;
constexpr int32_t kViewFourWay4 = 17;
constexpr int32_t kViewFourWay8 = 18;  // eight-channel DVR: the eight-way split
constexpr int32_t kViewFourWay12 = 19;
constexpr int32_t kViewNineWay0 = 20;
constexpr int32_t kViewNineWay9 = 21;
constexpr int32_t kViewSixteenWay = 22;
constexpr int32_t kInitialView = kViewFourWay0;

// Playback actions of the playback keys; "stop" is the one every page change selects.
constexpr int32_t kActionStop = 1;
constexpr int32_t kActionPlay = 2;
constexpr int32_t kActionCount = 4;

// The Save key's backup states ("IE_ST2#SD").
constexpr int32_t kSaveIdle = 0;
constexpr int32_t kSaveRunning = 1;
constexpr int32_t kSaveFinished = 2;
// The backup job's stop request.
constexpr int kBackupJobStopRequest = 3;
constexpr int32_t kInputLevelBackup = 2;

// Machine-dependent key selectors: no key of this machine.
constexpr int32_t kNoMachineKey = 255;

// Start page choices (HTTP_PAGE).
constexpr int32_t kStartPageSetup = 1;
constexpr int32_t kStartPagePlayback = 2;

struct KeyFormStateHooks {
  // The backup start: asks for a file, starts the backup and sets the Save key's state itself;
  // 1 when a backup started. Unset: refused (see KeyFormState::backup_refused).
  std::function<int()> start_backup;
  // The key-form redraw with this force.
  std::function<void(bool force)> redraw;
};

class KeyFormState {
 public:
  KeyFormState(KeyFormContext& ctx, channels::SessionModes& modes, channels::IcmdChannel& icmd,
               MonthCalendar& calendar, const platform::Logger& logger);
  KeyFormState(const KeyFormState&) = delete;
  KeyFormState& operator=(const KeyFormState&) = delete;

  KeyFormStateHooks& hooks() { return hooks_; }

  // Start-up: every tab and key hidden, the four-way view from channel 0 on the Live page,
  // stop selected; initialises the calendar.
  void initialise();
  // The DVR's identity: tabs by the user level ("7", "8", "9"), keys by channel count, the
  // start page; then the first view command.
  void device_identity(std::string_view user_level, int32_t channel_count, int32_t logo,
                       int32_t start_page);
  // A live view state the DVR reported: the keys follow it and nothing is sent back.
  void show_live_layout(int32_t layout, int32_t first_channel, int32_t selected_channel);
  // After every click and every report the keys must reflect; quiet sends no view command.
  void update(bool quiet);
  // Before every compose: no machine-dependent keys.
  void refresh_machine_keys();

  // The backup start's refusal: the Save key back to idle.
  void backup_refused();

  const ViewBytes& view_bytes() const { return ctx_.view_bytes; }

 private:
  void select_playback_action(int32_t action);
  // Entering a page: its saved view comes back and the calendar closes.
  void restore_view(int32_t view);
  void select_view(int32_t view, int32_t page);
  void send();
  int backup_step(int32_t type);
  void light_view_keys();
  void hide_keys_by_channel_count();
  void set_playback_keys(int32_t action);
  void redraw();

  KeyFormContext& ctx_;
  channels::SessionModes& modes_;
  channels::IcmdChannel& icmd_;
  MonthCalendar& calendar_;
  const platform::Logger& logger_;
  KeyFormStateHooks hooks_;
};

// The session's window times and backup progress show in the key-form variables ("Mon_B_F_T#SD",
// "Mon_P_N_T#SD", "Mon_B_T_T#SD", "IE_percentage#SD"); a window change asks for a redraw.
void show_session_window(channels::SessionModesHooks& hooks, KeyFormContext& ctx);

}  // namespace tessomar::keyform
