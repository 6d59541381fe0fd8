// Feeds arbitrary bytes as the payload of a data frame of slot 0 to a whole control, with the
// real VASK, ICMD, ICTL and VIDO channels registered, then runs one main tick so that
// delivered video records go through the viewer and the decoder.
//
// The first input byte is a mode: with bit 0 set the harness writes the correct checksum into
// each message header, so that the fuzzer reaches the channel handlers without having to
// find the checksums itself.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "link/wire.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/environment.h"
#include "platform/event_loop.h"
#include "shell/control.h"

using namespace tessomar;

namespace {

constexpr uint32_t kSessionKey = 0x12345678;

// One control for the whole run: building it is far slower than a dispatch. State carries
// over between inputs, as it does between frames of a real session.
struct Harness {
  platform::ManualClock clock;
  platform::PollEventLoop loop{clock};
  platform::MapEnvironment env;
  platform::Logger logger;
  platform::HeadlessDialogs dialogs{logger};
  shell::InstanceGuard guard{[](int) {}};
  std::unique_ptr<shell::Control> control;

  Harness() {
    clock.set_unix(1700000000);
    control = std::make_unique<shell::Control>(
        shell::ControlServices{loop, clock, env, dialogs, guard, logger});
    control->control_startup();
    if (!control->started()) __builtin_trap();
  }
};

Harness& harness() {
  static Harness* h = new Harness;
  return *h;
}

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
  Harness& h = harness();
  std::vector<uint8_t> payload(data + 1, data + size);
  if (data[0] & 1) fix_checksums(payload);

  link::Link& l = h.control->link();
  l.slot(0).session_key = kSessionKey;
  l.slot(0).link_state = link::kEstablished;
  l.dispatch_messages(kSessionKey, payload.data(), uint32_t(payload.size()));
  h.clock.advance_ms(10);
  h.control->Timer1Timer();
  return 0;
}
