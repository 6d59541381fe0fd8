// Feeds one ICMD message (query, set or report of a view state or setup record) to a whole
// control and to the simulated DVR's settings channel. The input is the sub-header words after
// the session key (operation, record id, sender's mode: 12 bytes) and the record image; the
// harness frames it with a correct length, key and checksum and runs a main tick, so that the
// setup tabs refilled from the image and the re-enable counters run on it.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "channels/icmd.h"
#include "control_harness.h"
#include "dvrsim/settings.h"
#include "sim_side.h"

using namespace tessomar;

namespace {

struct Harness {
  fuzzing::ControlHarness& c = fuzzing::started_harness();
  fuzzing::SimSide side{c.clock};
  dvrsim::SettingsChannel settings;

  Harness() {
    c.bind_viewer();
    if (!settings.attach(side.sim)) __builtin_trap();
  }
};

Harness& harness() {
  static Harness* h = new Harness;
  return *h;
}

constexpr uint32_t kSetupBits = channels::kSetupBitrate | channels::kSetupPppoe |
                                channels::kSetupDdns | channels::kSetupMail |
                                channels::kSetupMailInterval;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 12 || size > 2048) return 0;
  Harness& h = harness();
  const std::vector<uint8_t> m = fuzzing::frame_message(channels::kTagIcmd, std::span(data, size));

  h.c.establish();
  h.c.deliver(m);
  h.c.clock.advance_ms(40);
  h.c.control->Timer1Timer();
  h.c.drop_sent();

  for (int slot = 0; slot < link::kSlotCount; ++slot) {
    const channels::SessionState& s = h.c.control->icmd().session(slot);
    if ((s.pendingSetup & ~kSetupBits) != 0) __builtin_trap();
    for (int32_t n : s.reenableCounters) {
      if (n < 0 || n > channels::kGroupIdle) __builtin_trap();
    }
  }

  h.side.deliver(dvrsim::kIcmdTag, m);
  return 0;
}
