// Feeds arbitrary PBBA messages (queries and answers) to a whole control in Playback mode and
// runs a main tick, so that the calendar poll, the answer checks and the calendar redraw all
// run on what arrived. The input is the message's sub-header words after the session key
// (range index, type, value: 12 bytes) and its body; the harness frames it with a correct
// length, key and checksum so that every input reaches the channel.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "channels/pbba.h"
#include "control_harness.h"

using namespace tessomar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 12 || size > 8192) return 0;
  fuzzing::ControlHarness& h = fuzzing::started_harness();
  const std::vector<uint8_t> m = fuzzing::frame_message(channels::kTagPbba, std::span(data, size));
  h.establish();
  h.control->icmd().session(0).mode = channels::kModePlayback;
  h.deliver(m);
  h.clock.advance_ms(300);
  h.control->Timer1Timer();

  // Whatever arrived, the calendar holds flags and marks it can show.
  for (int32_t f : h.control->key_form().calendar().month_view_flags()) {
    if (f != 0 && f != 1) __builtin_trap();
  }
  for (int32_t f : h.control->key_form().calendar().day_view_flags()) {
    if (f != 0 && f != 1) __builtin_trap();
  }
  return 0;
}
