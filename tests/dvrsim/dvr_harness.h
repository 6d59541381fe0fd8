// An in-process simulator with the DVR's channels attached, a manual clock and helpers that
// send channel messages in a data frame and split the answer into messages.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dvrsim/identity.h"
#include "dvrsim/named_slots.h"
#include "dvrsim/server.h"
#include "dvrsim/settings.h"
#include "dvrsim/sim_client.h"
#include "platform/clock.h"

namespace tessomar::dvrsim::testing {

// One received channel message, read field by field from the wire bytes.
struct WireMessage {
  uint32_t tag = 0;
  std::vector<uint8_t> bytes;  // the whole message
  bool checksum_ok = false;

  // Little-endian word at a byte offset of the message.
  uint32_t word(size_t offset) const;
  uint32_t key() const { return word(32); }
  std::vector<uint8_t> payload() const;  // after the 64 header bytes
};

// Splits a frame payload into messages; stops at a malformed length.
std::vector<WireMessage> split_messages(std::span<const uint8_t> payload);

class DvrHarness {
 public:
  static constexpr uint32_t kPollIdleMs = 1000;

  explicit DvrHarness(const DeviceOptions& device = {});

  Simulator& sim() { return *sim_; }
  IdentityChannel& identity() { return *identity_; }
  SettingsChannel& settings() { return *settings_; }
  NamedSlotsChannel& named_slots() { return *slots_; }
  platform::ManualClock& clock() { return clock_; }

  // Authentication text with the simulator's credentials (level 8, password 4321) at the
  // current time.
  std::array<char, 32> auth() const;
  std::array<char, 32> bad_auth() const;  // wrong password

  // Opens a session on the client; 0 when that failed.
  uint32_t open_session(SimClient& c, const std::array<char, 32>* auth = nullptr);

  // Sends the messages in one data frame on the session and returns the reply; when the DVR
  // has nothing to say at once, the held poll is released by moving the clock on, so the
  // reply is then empty. `answered_at_once` tells which of the two happened.
  std::optional<HttpReply> exchange(SimClient& c, uint32_t key,
                                    const std::vector<std::vector<uint8_t>>& messages,
                                    bool* answered_at_once = nullptr,
                                    const std::array<char, 32>* auth = nullptr);
  // The same, returning the reply's messages (empty when there was no reply).
  std::vector<WireMessage> exchange_messages(SimClient& c, uint32_t key,
                                             const std::vector<std::vector<uint8_t>>& messages);

  bool logged(std::string_view text) const;

 private:
  platform::ManualClock clock_;
  std::unique_ptr<Simulator> sim_;
  std::unique_ptr<IdentityChannel> identity_;
  std::unique_ptr<SettingsChannel> settings_;
  std::unique_ptr<NamedSlotsChannel> slots_;
  std::vector<std::string> log_;
};

}  // namespace tessomar::dvrsim::testing
