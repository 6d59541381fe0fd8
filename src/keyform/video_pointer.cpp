#include "keyform/video_pointer.h"

#include <algorithm>

#include "channels/session_state.h"
#include "platform/bytes.h"

namespace tessomar::keyform {

namespace {

// Cells per row and column of a split view; 0 for a single channel.
int grid_size(int32_t view, int32_t channels) {
  switch (view) {
    case kViewFourWay0:
    case kViewFourWay4:
    case kViewFourWay12:
      return 2;
    case kViewFourWay8:
      return channels == 8 ? 3 : 2;
    case kViewNineWay0:
    case kViewNineWay9:
      return 3;
    case kViewSixteenWay:
      return 4;
    default:
      return 0;
  }
}

// The 1-based cell along one axis: the smallest k >= 1 with size x k >= pos. A point past the
// picture's edge counts as the last cell.
int cell_of(int pos, int size, int g) {
  if (pos <= 0) return 1;
  return std::min((pos + size - 1) / size, g);
}

int32_t image_word(const std::array<uint8_t, channels::kViewImageSize>& image, uint32_t offset) {
  return int32_t(platform::load_u32le(image.data() + offset));
}

}  // namespace

VideoPointer::VideoPointer(KeyFormContext& ctx, KeyFormState& state, platform::Form& form,
                           channels::IcmdChannel& icmd)
    : ctx_(ctx), state_(state), form_(form), icmd_(icmd) {}

void VideoPointer::Image_Trumpet_BGMouseDown(int x, int y) {
  KeyFormVariables& v = ctx_.vars;
  if (ctx_.last_page != kPageLive) return;
  const int32_t channels = v.ie_m_ch;
  // Before the identity the split pages have no channels to choose from.
  if (channels <= 0) return;

  int32_t view = 0;
  const int g = grid_size(v.ie_doing, channels);
  if (g != 0) {
    const platform::Geometry& area = form_["Image_Trumpet_BG"].geometry();
    const int w = area.width / g;
    const int h = area.height / g;
    if (w <= 0 || h <= 0) return;
    const int k = cell_of(x, w, g);
    const int m = cell_of(y, h, g);
    int page = 0;
    if (g == 2) page = v.ie_doing - kViewFourWay0;
    if (g == 3) page = v.ie_doing - channels / 4 - kViewFourWay0;
    const int32_t channel = g * (m - 1 + g * page) + k - 1;
    // The ninth cell of the eight-way split shows no channel.
    if (channels == 8 && channel == 8) {
      view = v.ie_doing;
    } else {
      view = ((channel % channels) + channels) % channels;
    }
  } else {
    view = kViewFourWay0 + v.ie_ch2;
  }

  if (view == v.ie_doing) return;
  v.ie_doing = view;
  v.ie_ch = view;
  state_.update(false);
  if (hooks_.redraw) hooks_.redraw(true);
}

void VideoPointer::Image_Trumpet_BGMouseMove(int, int) {
  if (audio_present_) moved();
}

void VideoPointer::Image_Trumpet_OffMouseMove() { moved(); }
void VideoPointer::Image_Trumpet_OnMouseMove() { moved(); }
void VideoPointer::Image_Trumpet_OffClick() { toggle_speaker(); }
void VideoPointer::Image_Trumpet_OnClick() { toggle_speaker(); }

void VideoPointer::moved() {
  hover_ = true;
  moved_at_ = now();
}

void VideoPointer::toggle_speaker() {
  const int32_t on = speaker_on_.load() == kSpeakerOn ? kSpeakerOff : kSpeakerOn;
  speaker_on_.store(on);
  moved_at_ = now();
  display(hover_, audio_present_, on);
  previous_on_ = on;
}

void VideoPointer::speaker_icon_service() {
  if (hover_ && now() - moved_at_ > kSpeakerIconHold) hover_ = false;
  if (hover_ != remembered_hover_) {
    remembered_hover_ = hover_;
    display(hover_, audio_present_, speaker_on_.load());
  }
}

bool VideoPointer::view_has_sound() const {
  const channels::SessionState& s = icmd_.session(0);
  if (s.mode == channels::kModeLive) {
    const int32_t selected = image_word(s.live, channels::kLiveSelectedChannel);
    return image_word(s.live, channels::kLiveLayout) == channels::kLayoutSingle &&
           (selected == 0 || selected == 1);
  }
  if (s.mode == channels::kModePlayback) {
    const int32_t selected = image_word(s.playback, channels::kPlaybackChannel);
    return selected == 0 || selected == 1;
  }
  return false;
}

void VideoPointer::display(bool show, bool audio_present, int32_t on) {
  platform::Component& off_icon = form_["Image_Trumpet_Off"];
  platform::Component& on_icon = form_["Image_Trumpet_On"];
  off_icon.set_visible(false);
  on_icon.set_visible(false);
  const uint32_t audio = hooks_.identity_audio ? hooks_.identity_audio() : 0;
  if (audio == kIdentityNoAudio || !show || !audio_present || !view_has_sound()) return;
  if (on == kSpeakerOn) {
    on_icon.set_visible(true);
  } else {
    off_icon.set_visible(true);
  }
}

void VideoPointer::reset() {
  speaker_on_.store(kSpeakerOff);
  previous_on_ = kSpeakerOff;
  hover_ = false;
  remembered_hover_ = false;
  display(false, audio_present_, kSpeakerOff);
}

}  // namespace tessomar::keyform
