// Feeds a run of frame records, as the DVR streams them, through a whole control: each record
// goes in a VIDO message of its own into the reorder table, on to slot 0's viewer ring, then
// main ticks read the record and picture headers, build the access unit, decode it in the
// slot's decoder and convert the picture for the view.
//
// The first input byte sets the scene: bits 0-1 the session mode (live, playback, backup,
// setup), bit 2 whether the DVR numbers its records (generation 2 identity), bits 4-7 the
// playback camera. The rest is the records one after another, each as long as its own
// totalLength says (the last one takes what is left). Every input starts from an empty
// reorder table and stream numbering, and the session's request counter is the first
// record's, so that records taken from a real stream are shown.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "channels/session_state.h"
#include "control_harness.h"
#include "platform/bytes.h"
#include "sim_side.h"
#include "video/frame_record.h"
#include "video/vido.h"

using namespace tessomar;

namespace {

constexpr int kTicks = 16;
constexpr int kMaxRecords = 64;
constexpr size_t kArrivalKeyAt = 32;
constexpr size_t kRequestCounterAt = 52;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 + video::kFrameRecordHeaderSize || size > 1024 * 1024) return 0;
  fuzzing::ControlHarness& hc = fuzzing::viewer_harness();
  shell::Control& control = *hc.control;
  hc.establish();
  fuzzing::identify(hc, (data[0] & 4) ? 2 : 1);
  control.vido().clear_reorder_table(0);
  control.vido().reset_reorder_sequence(0);

  channels::SessionState& session = control.icmd().session(0);
  session.mode = int32_t(data[0] & 3);
  platform::ByteWriter playback(session.playback);
  playback.seek(channels::kPlaybackChannel);
  playback.u32le(uint32_t(data[0] >> 4));
  session.sendSequence = platform::load_u32le(data + 1 + kRequestCounterAt);

  // The VIDO sub-header after the key: sub-tag 0, a frame record. Arrival keys count from
  // the first record's, so that a run cut from the middle of a stream starts where a fresh
  // numbering does; gaps and reordering stay as they are.
  const uint32_t first_key = platform::load_u32le(data + 1 + kArrivalKeyAt);
  std::vector<uint8_t> input;
  size_t at = 1;
  for (int n = 0; n < kMaxRecords && size - at >= video::kFrameRecordHeaderSize; ++n) {
    uint32_t length = platform::load_u32le(data + at);
    if (length < video::kFrameRecordHeaderSize || length > size - at) length = uint32_t(size - at);
    input.assign(12, 0);
    input.insert(input.end(), data + at, data + at + length);
    const uint32_t key = platform::load_u32le(data + at + kArrivalKeyAt);
    platform::store_u32le(input.data() + 12 + kArrivalKeyAt, key - first_key + 1);
    hc.deliver(fuzzing::frame_message(video::kTagVido, input));
    at += length;
  }
  // The viewers' part of the main tick, until the ring and the waiting picture are empty,
  // then one whole tick for the rest (time labels, feedback).
  video::Viewer& viewer = control.viewers().viewer(0);
  for (int t = 0; t < kTicks; ++t) {
    hc.clock.advance_ms(40);
    control.viewers().serviceViewers();
    const link::ByteRing& r = viewer.videoRing();
    if (viewer.pending() == 0 && link::ring_used(r.write_pos, r.read_pos, r.size) == 0) break;
  }
  control.Timer1Timer();
  hc.drop_sent();

  for (int i = 0; i < 2; ++i) {
    const int w = control.decoders().outputWidth(i);
    const int ht = control.decoders().outputHeight(i);
    if (w < 0 || ht < 0 || w > 4096 || ht > 4096) __builtin_trap();
  }
  if (viewer.stats().drawn > viewer.stats().presented) __builtin_trap();
  const link::ByteRing& ring = viewer.videoRing();
  if (link::ring_used(ring.write_pos, ring.read_pos, ring.size) >= ring.size) __builtin_trap();
  return 0;
}
