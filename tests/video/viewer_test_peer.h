// Test access to the viewer state that only the pipeline itself writes, so that a test can
// put a viewer into a given state without playing a whole stream into it.
#pragma once

#include "video/viewer.h"

namespace tessomar::video {

struct ViewerTestPeer {
  static link::ByteRing& video_ring(Viewer& v) { return v.videoRing_; }
  static link::ByteRing& audio_ring(Viewer& v) { return v.audioRing_; }
  static ChannelClock& clock(Viewer& v, uint32_t c) { return v.clocks_[c]; }
  static void set_video_started(Viewer& v) { v.videoStarted_ = 1; }
  static void set_pending(Viewer& v, uint32_t n) { v.pending_ = n; }
};

}  // namespace tessomar::video
