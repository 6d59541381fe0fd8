// The VASK channel: the hello that opens every session and the device identity that answers
// it. The identity marks the session live, opens the second connection of newer DVRs and
// configures the key form and the setup pages. The channel is symmetric: a hello received
// from the peer is answered with an identity of our own.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "link/link.h"
#include "platform/form.h"

namespace tessomar::channels {

constexpr uint32_t kVaskTag = link::make_tag("VASK");
constexpr size_t kVaskBufferSize = 4096;
constexpr size_t kVaskPayloadSize = 256;

enum VaskSubType : uint32_t { kVaskHello = 0, kVaskIdentity = 1, kVaskRefusal = 2 };

// The identity payload, field by field.
struct DeviceIdentity {
  uint32_t channel_count = 0;
  uint32_t model_variant = 0;
  uint32_t title_support = 0;
  std::string os;
  std::string serial;
  std::string board;
  std::string number;
  uint32_t video_standard = 0;  // non-zero: 25 frames per second, zero: 30
  uint32_t generation = 0;      // above 1: second connection, DVR-numbered video packets
  uint32_t audio = 0;           // 2: the DVR sends no audio
  uint32_t mail_variant = 0;

  // Reads the 256-byte payload; missing bytes read as zero, texts stop at their NUL or at
  // 31 characters.
  static DeviceIdentity parse(std::span<const uint8_t> identity);
  // Live video is paced by the stream's own frame interval.
  bool paced_by_stream_interval() const;
};

// One per connection slot.
struct VaskRecord {
  std::array<uint8_t, kVaskPayloadSize> hello{};
  std::array<uint8_t, kVaskPayloadSize> identity{};
  DeviceIdentity device;  // `identity` parsed, as of the last identity received
  int slot = 0;
};

// What the identity does to other subsystems. Unset hooks do nothing.
struct VaskHooks {
  std::function<void(int slot)> reset_reorder_sequence;
  // Key form and setup pages take channel count, logo, start page, help texts, mail
  // selectors and title count from here.
  std::function<void(int slot, const DeviceIdentity&)> identity_received;
  // Sends the machine-type named data slot to the DVR.
  std::function<void(uint32_t key)> write_machine_type;
  // The DVR refused the session (after the slot was reset and its sockets closed).
  std::function<void(int slot)> refused;
};

// Send request: the first word is the session key.
struct VaskRequest {
  uint32_t key = 0;
  uint32_t sub_type = 0;
};

class VaskChannel {
 public:
  VaskChannel(link::Link& link, platform::Form& form);
  VaskChannel(const VaskChannel&) = delete;
  VaskChannel& operator=(const VaskChannel&) = delete;

  VaskHooks& hooks() { return hooks_; }

  // Start-up: registers the channel with the link's registry and links the slot records.
  void register_vask();
  void send_vask(uint32_t key, uint32_t sub_type);

  const VaskRecord& record(int slot) const { return records_[slot]; }
  // First word of the hello last received on the slot (ICMD relays test it).
  uint32_t hello_first_word(int slot) const;
  // The peer opened a session on the slot.
  void clear_hello_first_word(int slot);

  // Payload builders; each writes kVaskPayloadSize bytes and returns that count (0 when
  // `out` is too small).
  static uint32_t build_hello(std::span<uint8_t> out);
  static uint32_t build_identity(std::span<uint8_t> out);

 private:
  using Receive = void (VaskChannel::*)(uint32_t key, std::span<const uint8_t> payload,
                                        VaskRecord& record);
  using Build = uint32_t (*)(std::span<uint8_t> out);
  struct Row {
    uint32_t flags;  // bit 0: receive action, bit 1: build action
    uint32_t sub_type;
    Receive receive;
    Build build;
  };
  static const std::array<Row, 3> kRows;
  static const Row* find_row(uint32_t sub_type);

  void on_message();
  void send(const VaskRequest& req);

  void on_hello(uint32_t key, std::span<const uint8_t> payload, VaskRecord& record);
  void on_identity(uint32_t key, std::span<const uint8_t> payload, VaskRecord& record);
  void on_refusal(uint32_t key, std::span<const uint8_t> payload, VaskRecord& record);

  link::Link& link_;
  platform::Form& form_;
  VaskHooks hooks_;
  std::array<VaskRecord, link::kSlotCount> records_;
  std::array<uint8_t, kVaskBufferSize> buffer_{};
};

}  // namespace tessomar::channels
