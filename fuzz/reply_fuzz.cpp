// Feeds arbitrary bytes to the tunnel as an HTTP reply on slot 0's socket 0, and the same
// bytes to the frame handler as a ULCM frame. No sockets are attached: the link must cope.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "link/link.h"
#include "platform/clock.h"
#include "platform/form.h"
#include "shell/form_description.h"

using namespace tessomar;

namespace {

constexpr uint32_t kSessionKey = 0x12345678;

// One link for the whole run, brought back to a fresh state before each input: allocating
// its rings and buffers per input would make the run a hundred times slower.
struct Harness {
  platform::ManualClock clock;
  platform::Logger logger;
  platform::Form form;
  std::unique_ptr<link::Link> link;

  Harness() {
    clock.set_unix(1700000000);
    auto rows = shell::main_form_description();
    form.build(rows.data(), rows.size());
    link =
        std::make_unique<link::Link>(form, clock, logger, [this] { return clock.now_ms() * 100; });
    link->attach_sockets({});  // no sockets: every send and close must tolerate that
  }

  link::Link& fresh() {
    for (int i = 0; i < link::kSlotCount; ++i) {
      link->reset_slot(i);
      link->slot(i).request_outstanding = {};
    }
    link->init_slots();
    link::ConnectionSlot& s = link->slot(0);
    s.session_key = kSessionKey;
    s.link_state = link::kEstablished;
    s.live = 1;
    return *link;
  }
};

Harness& harness() {
  static Harness* h = new Harness;
  return *h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Harness& h = harness();
  link::Link& l = h.fresh();

  link::ReceiveBuffer& r = l.slot(0).receive[0];
  const uint32_t n = uint32_t(std::min<size_t>(size, r.capacity));
  if (n > 0) std::memcpy(r.data.get(), data, n);
  r.fill = n;
  for (int i = 0; i < 4; ++i) {
    const uint32_t before = r.fill;
    l.take_reply(0, 0);
    if (r.fill > before || r.fill > r.capacity) __builtin_trap();
    if (r.fill == before) break;
  }

  // The reply body straight into the frame handler.
  h.fresh();
  const int got = l.handle_frame(data, uint32_t(std::min<size_t>(size, UINT32_MAX)));
  if (got < -1 || got >= link::kSlotCount) __builtin_trap();
  return 0;
}
