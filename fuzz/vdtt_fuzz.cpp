// Feeds arbitrary VDTT messages to a whole control and to the simulated DVR's titles channel,
// and the same bytes to the simulator's title file reader. The input is the message's
// sub-header words after the session key (mode, type, block id: 12 bytes) and its body; the
// harness frames it with a correct length, key and checksum so that every input reaches the
// channel, then runs a main tick (pending requests) and the 0.3 s group (progress).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "channels/vdtt.h"
#include "dvrsim/channels.h"
#include "dvrsim/server.h"
#include "dvrsim/titles.h"
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

class FuzzContext : public dvrsim::ChannelContext {
 public:
  uint32_t session_key() const override { return kSessionKey; }
  bool queue(std::span<const uint8_t>) override { return true; }
};

struct Harness {
  platform::ManualClock clock;
  platform::PollEventLoop loop{clock};
  platform::MapEnvironment env;
  platform::Logger logger;
  platform::HeadlessDialogs dialogs{logger};
  shell::InstanceGuard guard{[](int) {}};
  std::unique_ptr<shell::Control> control;
  int last_percent = 0;

  // The simulator's side, unbound: its queued answers go nowhere.
  dvrsim::Simulator sim{dvrsim::Options{}, clock};
  dvrsim::TitlesChannel titles{clock};

  Harness() {
    clock.set_unix(1700000000);
    control = std::make_unique<shell::Control>(
        shell::ControlServices{loop, clock, env, dialogs, guard, logger});
    control->control_startup();
    if (!control->started()) __builtin_trap();
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

  std::vector<uint8_t> m(link::kMessageHeaderSize + link::kSubHeaderSize + (size - 12), 0);
  platform::store_u32le(&m[0], uint32_t(m.size()));
  platform::store_u32le(&m[4], channels::kTagVdtt);
  platform::store_u32le(&m[32], kSessionKey);
  for (size_t i = 0; i < 12; ++i) m[36 + i] = data[i];
  for (size_t i = 12; i < size; ++i) m[64 + i - 12] = data[i];
  platform::store_u32le(&m[8], link::message_checksum(m.data() + 32, uint32_t(m.size() - 32)));

  link::Link& l = h.control->link();
  l.slot(0).session_key = kSessionKey;
  l.slot(0).link_state = link::kEstablished;
  // Bit 0 of the piece header's first reserved byte starts an upload first, so that its
  // progress and end are reached too.
  if (size > 24 && (data[24] & 1) != 0) h.control->vdtt().title_apply();
  l.dispatch_messages(kSessionKey, m.data(), uint32_t(m.size()));
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
