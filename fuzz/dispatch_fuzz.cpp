// Feeds arbitrary bytes as the payload of a data frame of slot 0 to a whole control, with the
// real VASK, ICMD, ICTL and VIDO channels registered, then runs one main tick so that
// delivered video records go through the viewer and the decoder.
//
// The first input byte is a mode: with bit 0 set the harness writes the correct checksum into
// each message header, so that the fuzzer reaches the channel handlers without having to
// find the checksums itself.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "control_harness.h"
#include "link/wire.h"
#include "platform/bytes.h"

using namespace tessomar;

namespace {

void fix_checksums(std::vector<uint8_t>& p) {
  size_t pos = 0;
  for (int i = 0; i < link::kMaxMessagesPerPayload && p.size() - pos >= link::kMessageHeaderSize;
       ++i) {
    const uint32_t total = platform::load_u32le(p.data() + pos);
    if (total < link::kMessageHeaderSize || total > p.size() - pos) break;
    platform::store_u32le(p.data() + pos + 8,
                          link::message_checksum(p.data() + pos + link::kMessageHeaderSize,
                                                 total - link::kMessageHeaderSize));
    pos += total;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  fuzzing::ControlHarness& h = fuzzing::started_harness();
  std::vector<uint8_t> payload(data + 1, data + size);
  if (data[0] & 1) fix_checksums(payload);

  h.establish();
  h.deliver(payload);
  h.clock.advance_ms(10);
  h.control->Timer1Timer();
  return 0;
}
