// Pointer input over the video picture: a click switches between a split page and the channel
// under the pointer, and moving over the picture shows the speaker icons for a view with
// sound, hidden again 2 s after the last movement. The speaker's on state is the one value
// the audio thread reads. UI thread only, apart from that read.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "channels/icmd.h"
#include "keyform/key_form_state.h"
#include "keyform/variables.h"
#include "platform/form.h"

namespace tessomar::keyform {

// Tick units (10 microseconds) after the last movement before the speaker icons hide.
constexpr uint32_t kSpeakerIconHold = 200000;
// The identity's audio word for a DVR that sends no audio.
constexpr uint32_t kIdentityNoAudio = 2;
constexpr int32_t kSpeakerOff = 0;
constexpr int32_t kSpeakerOn = 1;

struct VideoPointerHooks {
  // Milliseconds since start-up x 100.
  std::function<uint32_t()> tick_clock;
  // The audio word of slot 0's device identity; unset reads as 0 (audio present).
  std::function<uint32_t()> identity_audio;
  // The key-form redraw with this force.
  std::function<void(bool force)> redraw;
};

class VideoPointer {
 public:
  VideoPointer(KeyFormContext& ctx, KeyFormState& state, platform::Form& form,
               channels::IcmdChannel& icmd);
  VideoPointer(const VideoPointer&) = delete;
  VideoPointer& operator=(const VideoPointer&) = delete;

  VideoPointerHooks& hooks() { return hooks_; }

  // A click on the picture over the video (Live page only).
  void Image_Trumpet_BGMouseDown(int x, int y);
  void Image_Trumpet_BGMouseMove(int x, int y);
  void Image_Trumpet_OffMouseMove();
  void Image_Trumpet_OnMouseMove();
  void Image_Trumpet_OffClick();
  void Image_Trumpet_OnClick();

  // Every main tick: the icons hide 2 s after the last movement.
  void speaker_icon_service();
  // Hides both icons, then shows the one for the speaker state when asked to and the view has
  // sound.
  void display(bool show, bool audio_present, int32_t on);
  // A view command: the icons go and the hover is forgotten.
  void hide_icons() { display(false, audio_present_, speaker_on_.load()); }
  void clear_hover() { hover_ = false; }
  // Start-up: speaker off, no hover, both icons hidden.
  void reset();

  // The video channel saw audio arrive.
  void set_audio_present(bool present) { audio_present_ = present; }
  bool audio_present() const { return audio_present_; }
  bool hover() const { return hover_; }
  // Read by the audio thread.
  const std::atomic<int32_t>& speaker_on() const { return speaker_on_; }
  int32_t previous_on() const { return previous_on_; }

 private:
  uint32_t now() const { return hooks_.tick_clock ? hooks_.tick_clock() : 0; }
  void moved();
  void toggle_speaker();
  bool view_has_sound() const;

  KeyFormContext& ctx_;
  KeyFormState& state_;
  platform::Form& form_;
  channels::IcmdChannel& icmd_;
  VideoPointerHooks hooks_;
  bool hover_ = false;
  bool remembered_hover_ = false;
  std::atomic<int32_t> speaker_on_{kSpeakerOff};
  int32_t previous_on_ = kSpeakerOff;
  bool audio_present_ = false;
  uint32_t moved_at_ = 0;
};

}  // namespace tessomar::keyform
