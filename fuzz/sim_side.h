// The simulated DVR's end of a channel for fuzz targets that feed the same message to both
// ends: an unbound simulator (its own queued messages go nowhere) and a context that checks
// every answer a handler queues is a whole, correctly summed message.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "channels/vask.h"
#include "control_harness.h"
#include "dvrsim/channels.h"
#include "dvrsim/identity.h"
#include "dvrsim/options.h"
#include "dvrsim/server.h"
#include "link/wire.h"
#include "platform/bytes.h"

namespace tessomar::fuzzing {

class CheckedContext : public dvrsim::ChannelContext {
 public:
  uint32_t session_key() const override { return kSessionKey; }
  bool queue(std::span<const uint8_t> message) override {
    if (message.size() < link::kMessageHeaderSize + link::kSubHeaderSize) __builtin_trap();
    const uint32_t total = platform::load_u32le(message.data());
    if (total != message.size()) __builtin_trap();
    const uint32_t sum = link::message_checksum(message.data() + link::kMessageHeaderSize,
                                                total - link::kMessageHeaderSize);
    if (sum != platform::load_u32le(message.data() + 8)) __builtin_trap();
    ++queued_;
    return true;
  }
  uint32_t queued() const { return queued_; }

 private:
  uint32_t queued_ = 0;
};

struct SimSide {
  explicit SimSide(const platform::Clock& clock) : sim(dvrsim::Options{}, clock) {
    sim.set_logger([](std::string_view) {});
  }
  // The handler registered for `tag` takes `message` as the session kSessionKey's.
  void deliver(uint32_t tag, std::span<const uint8_t> message) {
    const dvrsim::ChannelHandler* handler = sim.channels().find(tag);
    if (handler == nullptr) __builtin_trap();
    CheckedContext ctx;
    (*handler)(ctx, dvrsim::ChannelMessage{tag, message});
  }

  dvrsim::DeviceOptions device;
  dvrsim::Simulator sim;
};

// Delivers the simulated DVR's identity of that generation to the control (2 and above: the
// DVR numbers its video records), when the control's last identity differs in that.
inline void identify(ControlHarness& h, uint32_t generation) {
  const bool numbered = generation >= 2;
  if ((h.control->vask().record(0).device.generation >= 2) == numbered &&
      h.control->link().slot(0).live == 1) {
    return;
  }
  dvrsim::DeviceOptions device;
  device.generation = generation;
  const auto identity = dvrsim::build_identity(device);
  std::vector<uint8_t> input(12 + identity.size(), 0);
  platform::store_u32le(input.data(), channels::kVaskIdentity);
  std::copy(identity.begin(), identity.end(), input.begin() + 12);
  h.deliver(frame_message(channels::kVaskTag, input));
}

}  // namespace tessomar::fuzzing
