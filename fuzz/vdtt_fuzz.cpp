// Feeds arbitrary VDTT messages to a whole control and to the simulated DVR's titles channel,
// and the same bytes to the simulator's title file reader. The input is the message's
// sub-header words after the session key (mode, type, block id: 12 bytes) and its body; the
// harness frames it with a correct length, key and checksum so that every input reaches the
// channel, then runs a main tick (pending requests) and the 0.3 s group (progress).
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "channels/vdtt.h"
#include "control_harness.h"
#include "dvrsim/channels.h"
#include "dvrsim/server.h"
#include "dvrsim/titles.h"

using namespace tessomar;

namespace {

using fuzzing::kSessionKey;

class FuzzContext : public dvrsim::ChannelContext {
 public:
  uint32_t session_key() const override { return kSessionKey; }
  bool queue(std::span<const uint8_t>) override { return true; }
};

struct Harness {
  fuzzing::ControlHarness& c = fuzzing::started_harness();
  platform::ManualClock& clock = c.clock;
  std::unique_ptr<shell::Control>& control = c.control;
  int last_percent = 0;

  // The simulator's side, unbound: its queued answers go nowhere.
  dvrsim::Simulator sim{dvrsim::Options{}, clock};
  dvrsim::TitlesChannel titles{clock};

  Harness() {
    channels::VdttHooks& h = control->vdtt().hooks();
    h.title_tab_shown = [] { return true; };
    h.progress = [this](int p) { last_percent = p; };
    sim.set_logger([](std::string_view) {});
    if (!titles.attach(sim)) __builtin_trap();
  }
};

Harness& harness() {
  static Harness* h = new Harness;
  return *h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Harness& h = harness();
  {
    channels::TitleSet set;
    std::string why;
    if (!dvrsim::decode_title_file(std::span(data, size), set, why) && why.empty()) {
      __builtin_trap();
    }
  }
  if (size < 12 || size > 8192) return 0;

  const std::vector<uint8_t> m = fuzzing::frame_message(channels::kTagVdtt, std::span(data, size));
  h.c.establish();
  // Bit 0 of the piece header's first reserved byte starts an upload first, so that its
  // progress and end are reached too.
  if (size > 24 && (data[24] & 1) != 0) h.control->vdtt().title_apply();
  h.c.deliver(m);
  h.clock.advance_ms(300);
  h.control->Timer1Timer();
  if (h.last_percent < 0 || h.last_percent > 100) __builtin_trap();
  const channels::TitleTransfer& t = h.control->vdtt().transfer(0);
  if (t.pendingRequest != channels::kTitleNoRequest) __builtin_trap();

  FuzzContext ctx;
  const dvrsim::ChannelHandler* handler = h.sim.channels().find(dvrsim::kVdttTag);
  if (handler == nullptr) __builtin_trap();
  (*handler)(ctx, dvrsim::ChannelMessage{dvrsim::kVdttTag, m});
  return 0;
}
