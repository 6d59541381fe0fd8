// Feeds arbitrary bytes through the viewer's audio ring into the audio step and the sound
// feed: the first 8 bytes choose the view (mode, channels, layout, speaker, shown position),
// the rest is queued as it stands, so broken framing, lengths and headers all reach the step.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "audio/audio_output.h"
#include "channels/session_state.h"
#include "channels/vask.h"
#include "link/link.h"
#include "platform/clock.h"
#include "platform/form.h"
#include "platform/log.h"
#include "platform/sound.h"
#include "shell/form_description.h"
#include "video/viewer.h"

using namespace tessomar;

namespace {

// Built once: the rings are large and allocated for good, as in the control.
struct Harness {
  Harness() : link(form, clock, logger, [] { return 0u; }), viewers(clock, link) {
    auto rows = shell::main_form_description();
    form.build(rows.data(), rows.size());
    link.init_slots();
    link.slot(0).host = "dvr";
    link.slot(0).port = 80;
    channels::init_session_state(session, 0);
    viewers.bind(0, &session, &device, &feedback);
    viewers.bind_outputs(0, &form["Image_video"], &form["Label_time"]);
    audio = std::make_unique<audio::AudioOutput>(viewers, &speaker,
                                                 platform::null_sound_factory(clock), logger);
    audio->hooks().backup_writer = [](video::Viewer& v) {
      v.release_waiting_frame();
      return 0;
    };
  }

  platform::Form form;
  platform::ManualClock clock;
  platform::Logger logger;
  link::Link link;
  channels::SessionState session;
  channels::DeviceIdentity device;
  video::ViewerFeedback feedback;
  video::Viewers viewers;
  std::atomic<int32_t> speaker{1};
  std::unique_ptr<audio::AudioOutput> audio;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness h;
  if (size < 8) return 0;
  audio::AudioViewState v;
  v.session = true;
  v.mode = int32_t(data[0] % 5);
  v.liveSelected = data[1] & 3;
  v.liveLayout = (data[1] >> 2) & 1;
  v.playbackChannel = (data[1] >> 3) & 3;
  v.backupChannel = (data[1] >> 5) & 3;
  v.identityAudio = (data[2] & 1) ? 2 : 0;
  v.fps = (data[2] & 2) ? 25 : 30;
  v.sendSequence = data[3];
  h.speaker = (data[2] & 4) ? 0 : 1;
  if (data[2] & 8) h.audio->clearAudioChannel();
  h.audio->publish_view(v);

  video::Viewer& viewer = h.viewers.viewer(0);
  if (viewer.queue_audio(data + 8, uint32_t(size - 8)) != 0) return 0;
  for (int cycle = 0; cycle < 4; ++cycle) {
    for (int i = 0; i < audio::kAudioStepsPerCycle; ++i) {
      if (h.audio->audioStep(viewer) == 1) break;
    }
    h.audio->feedSoundBuffer();
    h.clock.advance_ms(data[4]);
  }
  // Whatever is left (a record held back for its picture) goes, so inputs stay independent.
  h.audio->clearAudioChannel();
  for (int i = 0; i < 1000 && h.audio->audioStep(viewer) == 0; ++i) {
  }
  return 0;
}
