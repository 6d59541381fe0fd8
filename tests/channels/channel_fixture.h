// Shared test fixture for channel modules: the control's form, a manual clock for the link,
// an event loop with the four sockets attached, headless dialogs and an initialised link.
// Helpers deliver channel messages as the tunnel would and read back what a channel queued.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "link/link.h"
#include "link/ring.h"
#include "link/wire.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/event_loop.h"
#include "platform/form.h"
#include "platform/socket.h"
#include "shell/form_description.h"

namespace tessomar::channels::testing {

// One channel message as it travels: header fields, the eight sub-header words (session key
// first) and the payload.
struct WireMessage {
  uint32_t total_length = 0;
  uint32_t tag = 0;
  uint32_t checksum = 0;
  std::array<uint32_t, 8> sub{};
  std::vector<uint8_t> payload;
};

// Builds a message with a correct length and checksum.
inline std::vector<uint8_t> encode_message(uint32_t tag, const std::array<uint32_t, 8>& sub,
                                           std::span<const uint8_t> payload) {
  const uint32_t total = link::kMessageHeaderSize + link::kSubHeaderSize + uint32_t(payload.size());
  std::vector<uint8_t> m(total, 0);
  platform::store_u32le(&m[0], total);
  platform::store_u32le(&m[4], tag);
  for (size_t i = 0; i < sub.size(); ++i) platform::store_u32le(&m[32 + 4 * i], sub[i]);
  std::copy(payload.begin(), payload.end(), m.begin() + 64);
  platform::store_u32le(&m[8], link::message_checksum(m.data() + 32, total - 32));
  return m;
}

// Splits back-to-back messages; stops at the first malformed one.
inline std::vector<WireMessage> decode_messages(std::span<const uint8_t> bytes) {
  std::vector<WireMessage> out;
  size_t pos = 0;
  while (bytes.size() - pos >= link::kMessageHeaderSize + link::kSubHeaderSize) {
    WireMessage w;
    w.total_length = platform::load_u32le(&bytes[pos]);
    if (w.total_length < 64 || w.total_length > bytes.size() - pos) break;
    w.tag = platform::load_u32le(&bytes[pos + 4]);
    w.checksum = platform::load_u32le(&bytes[pos + 8]);
    for (size_t i = 0; i < w.sub.size(); ++i)
      w.sub[i] = platform::load_u32le(&bytes[pos + 32 + 4 * i]);
    w.payload.assign(bytes.begin() + pos + 64, bytes.begin() + pos + w.total_length);
    pos += w.total_length;
    out.push_back(std::move(w));
  }
  return out;
}

class ChannelFixture : public ::testing::Test {
 protected:
  ChannelFixture()
      : loop(system_clock), link(form, clock, logger, [this] { return clock.now_ms() * 100u; }) {
    auto rows = shell::main_form_description();
    form.build(rows.data(), rows.size());
    for (int slot = 0; slot < link::kSlotCount; ++slot) {
      for (int s = 0; s < link::kSocketsPerSlot; ++s) {
        sockets[slot][s] = loop.create_socket(logger);
        sockets[slot][s]->set_tag(s * 2 + slot);
      }
    }
    link.attach_sockets(
        {{{sockets[0][0].get(), sockets[0][1].get()}, {sockets[1][0].get(), sockets[1][1].get()}}});
    link.init_slots();
  }

  ~ChannelFixture() override {
    for (auto& slot : sockets) {
      for (auto& s : slot) {
        if (s) s->on_disconnect = nullptr;
      }
    }
  }

  // Gives a slot a session as the tunnel would once the key is accepted.
  void open_session(int slot, uint32_t key, int live = 0) {
    link::ConnectionSlot& s = link.slot(slot);
    s.session_key = key;
    s.link_state = link::kEstablished;
    s.live = live;
  }

  // Hands one message to the registry as if it arrived in a data frame with `frame_key`
  // (the key the frame carried; defaults to the message's own key).
  void deliver(uint32_t tag, const std::array<uint32_t, 8>& sub, std::span<const uint8_t> payload) {
    deliver_with_frame_key(sub[0], tag, sub, payload);
  }
  void deliver_with_frame_key(uint32_t frame_key, uint32_t tag, const std::array<uint32_t, 8>& sub,
                              std::span<const uint8_t> payload) {
    std::vector<uint8_t> m = encode_message(tag, sub, payload);
    link.dispatch_messages(frame_key, m.data(), uint32_t(m.size()));
  }

  // Takes everything queued on a slot's send queue, as the request pump would, and parses it.
  std::vector<WireMessage> take_queued(int slot = 0) {
    std::vector<WireMessage> all;
    link::SendQueue& q = link.slot(slot).send_queue;
    if (!q.ring || !q.ring->buffer) return all;
    std::vector<uint8_t> batch(link::kMaxBatch);
    while (uint32_t n = link::take_batch(q)) {
      if (link::ring_read(q.ring, batch.data(), n) != 0) break;
      auto part = decode_messages(std::span<const uint8_t>(batch.data(), n));
      for (auto& m : part) all.push_back(std::move(m));
    }
    return all;
  }

  platform::Logger logger;
  platform::Form form;
  platform::ManualClock clock;         // the link's time
  platform::SystemClock system_clock;  // the loop's, so that deadlines pass in real time
  platform::PollEventLoop loop;
  platform::HeadlessDialogs dialogs{logger};
  std::array<std::array<std::unique_ptr<platform::ClientSocket>, 2>, 2> sockets;
  link::Link link;
};

}  // namespace tessomar::channels::testing
