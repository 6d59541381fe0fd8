// Feeds one ICTL message (a named data write, or another type) to a whole control and to the
// simulated DVR's named slots. The input is the sub-header words after the session key
// (12 bytes: the type sits in the second, the notify flag in the third) and the body: the
// 256-byte write header (length, slot name) and the data. The harness frames it with a
// correct length, key and checksum and runs a main tick, so that notifications (machine
// type, UPnP page, acknowledgements) run on what was written.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "channels/ictl.h"
#include "control_harness.h"
#include "dvrsim/named_slots.h"
#include "sim_side.h"

using namespace tessomar;

namespace {

struct Harness {
  fuzzing::ControlHarness& c = fuzzing::started_harness();
  fuzzing::SimSide side{c.clock};
  dvrsim::NamedSlotsChannel named{side.device};
  int slots_in_use = 0;

  Harness() {
    c.bind_viewer();
    if (!named.attach(side.sim)) __builtin_trap();
    slots_in_use = count_in_use();
  }
  int count_in_use() const {
    int n = 0;
    for (const channels::NamedDataSlot& s : c.control->ictl().slots()) n += s.in_use;
    return n;
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
  const std::vector<uint8_t> m = fuzzing::frame_message(channels::kIctlTag, std::span(data, size));

  h.c.establish();
  h.c.deliver(m);
  h.c.clock.advance_ms(40);
  h.c.control->Timer1Timer();
  h.c.drop_sent();

  // Writes fill slots; they never declare new ones nor touch the names.
  if (h.count_in_use() != h.slots_in_use) __builtin_trap();
  for (const channels::NamedDataSlot& s : h.c.control->ictl().slots()) {
    if (s.in_use && memchr(s.name.data(), 0, s.name.size()) == nullptr) __builtin_trap();
  }

  h.side.deliver(dvrsim::kIctlTag, m);
  return 0;
}
