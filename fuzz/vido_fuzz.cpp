// Feeds one VIDO message to a whole control whose slot 0 has its viewer bound, then runs a
// main tick. The first input byte sets the scene: bits 0-1 the session mode (live, playback,
// backup, setup), bit 2 whether the DVR numbers its records (generation 2 identity) or they
// are taken in arrival order. Then come the sub-header words after the session key
// (sub-tag and two more: 12 bytes) and the body (a frame record for sub-tag 0). The harness
// frames it with a correct length, key and checksum.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "control_harness.h"
#include "sim_side.h"
#include "video/vido.h"

using namespace tessomar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 13 || size > video::kVidoBufferSize) return 0;
  fuzzing::ControlHarness& hc = fuzzing::viewer_harness();
  hc.establish();
  fuzzing::identify(hc, (data[0] & 4) ? 2 : 1);
  hc.control->icmd().session(0).mode = int32_t(data[0] & 3);

  const std::vector<uint8_t> m =
      fuzzing::frame_message(video::kTagVido, std::span(data + 1, size - 1));
  hc.deliver(m);
  hc.clock.advance_ms(40);
  hc.control->Timer1Timer();
  hc.drop_sent();

  const video::FrameReorderTable& table = hc.control->vido().reorder_table(0);
  if (table.pending() > video::kReorderEntries) __builtin_trap();
  const video::VidoStats& st = hc.control->vido().stats(0);
  if (st.stored > st.records || st.empty_records > st.records) __builtin_trap();
  const link::ByteRing& ring = hc.control->viewers().viewer(0).videoRing();
  if (link::ring_used(ring.write_pos, ring.read_pos, ring.size) >= ring.size) __builtin_trap();
  std::array<uint8_t, 256> feedback{};
  if (hc.control->vido().buildFeedback(0, feedback) != feedback.size()) __builtin_trap();
  return 0;
}
