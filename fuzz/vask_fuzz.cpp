// Feeds one VASK message (hello, identity, refusal or other sub-types) to a whole control and
// to the simulated DVR's identity channel. The input is the sub-header words after the session
// key (sub-type and two more: 12 bytes) and the payload; the harness frames it with a correct
// length, key and checksum, then runs a main tick so that what the identity configured (key
// form, setup pages, viewer pacing) runs once on it.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "channels/vask.h"
#include "control_harness.h"
#include "dvrsim/identity.h"
#include "sim_side.h"

using namespace tessomar;

namespace {

struct Harness {
  fuzzing::ControlHarness& c = fuzzing::started_harness();
  fuzzing::SimSide side{c.clock};
  dvrsim::IdentityChannel identity{side.device};

  Harness() {
    c.bind_viewer();
    if (!identity.attach(side.sim)) __builtin_trap();
  }
};

Harness& harness() {
  static Harness* h = new Harness;
  return *h;
}

bool text_fits(const std::string& s) { return s.size() <= 31; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 12 || size > 4096) return 0;
  Harness& h = harness();
  const std::vector<uint8_t> m = fuzzing::frame_message(channels::kVaskTag, std::span(data, size));

  h.c.establish();
  h.c.deliver(m);
  h.c.clock.advance_ms(40);
  h.c.control->Timer1Timer();
  h.c.drop_sent();

  const channels::DeviceIdentity& d = h.c.control->vask().record(0).device;
  if (!text_fits(d.os) || !text_fits(d.serial) || !text_fits(d.board) || !text_fits(d.number)) {
    __builtin_trap();
  }
  const int state = h.c.control->link().slot(0).link_state;
  if (state != link::kNoSession && state != link::kOpenSent && state != link::kEstablished) {
    __builtin_trap();
  }

  h.side.deliver(dvrsim::kVaskTag, m);
  return 0;
}
