// The viewer's sound device: the control's looping buffer played through Qt Multimedia on the
// default output. A QAudioSink pulls from the buffer on the user-interface thread; the audio
// thread writes blocks and reads the play cursor. The sink is created, started and stopped on
// the user-interface thread through queued calls, so the audio thread never waits for it.
#pragma once

#include <memory>

#include "platform/log.h"
#include "platform/sound.h"

namespace tessomar::viewer {

// A factory for the control (ControlServices::sound_devices). Call on the user-interface
// thread: it looks for the default output once; without one every device it makes is null,
// which leaves the output silent, and that is logged once.
platform::SoundDeviceFactory qt_sound_factory(const platform::Logger& logger);

}  // namespace tessomar::viewer
