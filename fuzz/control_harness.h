// A whole control for fuzz targets, built once per run (building it is far slower than one
// input) on a manual clock with headless services, and a framer for channel messages with a
// correct length, session key and checksum, so that inputs reach the channel handlers.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "link/link.h"
#include "link/wire.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/environment.h"
#include "platform/event_loop.h"
#include "shell/control.h"

namespace tessomar::fuzzing {

constexpr uint32_t kSessionKey = 0x12345678;

struct ControlHarness {
  platform::ManualClock clock;
  platform::PollEventLoop loop{clock};
  platform::MapEnvironment env;
  platform::Logger logger;
  platform::HeadlessDialogs dialogs{logger};
  shell::InstanceGuard guard{[](int) {}};
  std::unique_ptr<shell::Control> control;

  ControlHarness() {
    clock.set_unix(1700000000);
    control = std::make_unique<shell::Control>(
        shell::ControlServices{loop, clock, env, dialogs, guard, logger});
  }
  // The channels registered, without a connection attempt.
  void start_channels() {
    control->control_startup();
    if (!control->started()) __builtin_trap();
  }
  // Slot 0 holds an established session with kSessionKey.
  void establish() {
    link::Link& l = control->link();
    l.slot(0).session_key = kSessionKey;
    l.slot(0).link_state = link::kEstablished;
  }
  void deliver(std::span<const uint8_t> messages) {
    control->link().dispatch_messages(kSessionKey, messages.data(), uint32_t(messages.size()));
  }
  // Binds slot 0's viewer as the first connection would, so that its rings and frame buffer
  // exist and records reach the decoder.
  // The host is cleared again: an identity asking for a second connection must not make
  // the harness look a name up.
  void bind_viewer() {
    if (control->viewers().viewer(0).has_buffers()) return;
    link::ConnectionSlot& s = control->link().slot(0);
    s.host = "dvr";
    s.port = 80;
    control->link().hooks().bind_viewer(0);
    s.host.clear();
    if (!control->viewers().viewer(0).has_buffers()) __builtin_trap();
  }
  // The messages the control queued to send on slot 0 are dropped, as if sent.
  void drop_sent() {
    link::ConnectionSlot& s = control->link().slot(0);
    if (s.send_queue.ring != nullptr) link::clear_send_queue(s.send_queue);
  }
};

// The run's control with its channels registered (never destroyed: state carries over
// between inputs, as between frames of a real session).
inline ControlHarness& started_harness() {
  static ControlHarness* h = [] {
    auto* made = new ControlHarness;
    made->start_channels();
    return made;
  }();
  return *h;
}

// The run's control with slot 0's viewer bound, for inputs that reach the pictures.
inline ControlHarness& viewer_harness() {
  ControlHarness& h = started_harness();
  h.bind_viewer();
  return h;
}

// One message of `tag`: the sub-header's words after the key from the input's first 12
// bytes, the body from the rest. Inputs shorter than 12 bytes give an empty vector.
inline std::vector<uint8_t> frame_message(uint32_t tag, std::span<const uint8_t> input) {
  if (input.size() < 12) return {};
  std::vector<uint8_t> m(link::kMessageHeaderSize + link::kSubHeaderSize + (input.size() - 12), 0);
  platform::store_u32le(&m[0], uint32_t(m.size()));
  platform::store_u32le(&m[4], tag);
  platform::store_u32le(&m[32], kSessionKey);
  for (size_t i = 0; i < 12; ++i) m[36 + i] = input[i];
  for (size_t i = 12; i < input.size(); ++i) m[64 + i - 12] = input[i];
  platform::store_u32le(&m[8], link::message_checksum(m.data() + 32, uint32_t(m.size() - 32)));
  return m;
}

}  // namespace tessomar::fuzzing
