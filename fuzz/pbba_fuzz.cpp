// Feeds arbitrary PBBA messages (queries and answers) to a whole control in Playback mode and
// runs a main tick, so that the calendar poll, the answer checks and the calendar redraw all
// run on what arrived. The input is the message's sub-header words after the session key
// (range index, type, value: 12 bytes) and its body; the harness frames it with a correct
// length, key and checksum so that every input reaches the channel.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "channels/pbba.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 12 || size > 8192) return 0;
  Harness& h = harness();
  std::vector<uint8_t> m(link::kMessageHeaderSize + link::kSubHeaderSize + (size - 12), 0);
  platform::store_u32le(&m[0], uint32_t(m.size()));
  platform::store_u32le(&m[4], channels::kTagPbba);
  platform::store_u32le(&m[32], kSessionKey);
  for (size_t i = 0; i < 12; ++i) m[36 + i] = data[i];
  for (size_t i = 12; i < size; ++i) m[64 + i - 12] = data[i];
  platform::store_u32le(&m[8], link::message_checksum(m.data() + 32, uint32_t(m.size() - 32)));

  link::Link& l = h.control->link();
  l.slot(0).session_key = kSessionKey;
  l.slot(0).link_state = link::kEstablished;
  h.control->icmd().session(0).mode = channels::kModePlayback;
  l.dispatch_messages(kSessionKey, m.data(), uint32_t(m.size()));
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
