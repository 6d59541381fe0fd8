// The simulated DVR's identity and its side of the VASK channel: a hello from the control is
// answered with the identity built from the device options; the transport refuses sessions
// whose credentials fail with a VASK refusal.
//
//   IdentityChannel identity(options.device);
//   identity.attach(sim);  // before the simulator serves requests
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <string_view>
#include <vector>

#include "dvrsim/channels.h"
#include "dvrsim/options.h"
#include "link/wire.h"

namespace tessomar::dvrsim {

class Simulator;

constexpr uint32_t kVaskTag = link::make_tag("VASK");

enum VaskSubType : uint32_t {
  kVaskHello = 0,
  kVaskIdentity = 1,
  kVaskRefusal = 2,
};

constexpr size_t kIdentitySize = 256;

// The simulator's own descriptive texts.
inline constexpr std::string_view kSimOsText = "[OS] dvrsim 1.0";
inline constexpr std::string_view kSimSerialText = "[SN] SIM0000001";
inline constexpr std::string_view kSimBoardText = "[B] SIMBOARD";

// Offsets of the identity payload.
namespace identity_field {
constexpr size_t kChannels = 0;
constexpr size_t kModelVariant = 4;
constexpr size_t kTitles = 8;
constexpr size_t kOsText = 12;
constexpr size_t kSerialText = 44;
constexpr size_t kBoardText = 76;
constexpr size_t kNumberText = 108;
constexpr size_t kTextSize = 32;
constexpr size_t kVideoStandard = 140;  // non-zero: 25 frames per second
constexpr size_t kGeneration = 148;
constexpr size_t kAudio = 224;  // 2: no audio
constexpr size_t kMailVariant = 228;
}  // namespace identity_field

constexpr uint32_t kIdentityAudioOn = 1;
constexpr uint32_t kIdentityNoAudio = 2;

// The 256-byte identity payload for these device options; texts are cut to 31 characters.
std::array<uint8_t, kIdentitySize> build_identity(const DeviceOptions& device);

// The refusal message for a session (sub-type 2, no payload).
std::vector<uint8_t> build_vask_refusal(uint32_t session_key);

class IdentityChannel {
 public:
  explicit IdentityChannel(const DeviceOptions& device);
  IdentityChannel(const IdentityChannel&) = delete;
  IdentityChannel& operator=(const IdentityChannel&) = delete;

  // Registers the VASK handler and a session listener; the channel must outlive the
  // simulator's use of them. False when VASK already has a handler.
  bool attach(Simulator& sim);

  const std::array<uint8_t, kIdentitySize>& identity() const { return identity_; }
  // True once a hello of this (still open) session was answered with the identity.
  bool identified(uint32_t key) const { return identified_.count(key) != 0; }

 private:
  void on_message(ChannelContext& ctx, const ChannelMessage& m);

  std::array<uint8_t, kIdentitySize> identity_{};
  std::set<uint32_t> identified_;
};

}  // namespace tessomar::dvrsim
