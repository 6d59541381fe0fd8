// The simulated DVR's side of the ICTL channel: answers to the control's named data slot
// writes. The control writes a request slot; the DVR writes the matching answer slot back:
//
//   "Vask_Mach_Type_Data_W" (960)  -> "Vask_Mach_Type_Data_R" (960, third word = UPnP offered)
//   "Vask_Upnp_C_Data_W" (4)       -> "Vask_Upnp_C_Data_R" (4, the UPnP word); a write request
//                                     also gets "Vask_ACK_R" = 1
//   "Vask_Watermark_Var_R" (4)     -> "Vask_Watermark_Var_W" (160, seed at offset 36)
//
// A request is answered only when it asks for its notification (notify 1), which is how the
// control always sends them; a UPnP write is stored either way.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "dvrsim/channels.h"
#include "dvrsim/options.h"
#include "dvrsim/settings.h"
#include "link/wire.h"

namespace tessomar::dvrsim {

class Simulator;

constexpr uint32_t kIctlTag = link::make_tag("ICTL");

enum IctlType : uint32_t {
  kIctlNamedWrite = 0,
  kIctlIgnored = 1,
};

constexpr size_t kSlotWriteHeaderSize = 256;
constexpr size_t kMaxSlotNameLength = 127;
constexpr size_t kMachineTypeSize = 960;
constexpr size_t kWatermarkVarsSize = 160;
constexpr size_t kWatermarkSeedOffset = 36;

inline constexpr std::string_view kSlotMachTypeW = "Vask_Mach_Type_Data_W";
inline constexpr std::string_view kSlotMachTypeR = "Vask_Mach_Type_Data_R";
inline constexpr std::string_view kSlotUpnpW = "Vask_Upnp_C_Data_W";
inline constexpr std::string_view kSlotUpnpR = "Vask_Upnp_C_Data_R";
inline constexpr std::string_view kSlotAckR = "Vask_ACK_R";
inline constexpr std::string_view kSlotWatermarkR = "Vask_Watermark_Var_R";
inline constexpr std::string_view kSlotWatermarkW = "Vask_Watermark_Var_W";

// The UPnP word: request bits, the on bit and the port in the low 16 bits.
constexpr uint32_t kUpnpReadRequest = 1u << 31;
constexpr uint32_t kUpnpOn = 1u << 30;
constexpr uint32_t kUpnpWriteRequest = 1u << 29;
// Factory setting: off, port 80.
constexpr uint32_t kDefaultUpnpWord = 80;

// A named write message: sub-header {key, 0, type 0, notify}, the 256-byte write header
// (length 256 + data size, name cut to 127 characters) and the data.
std::vector<uint8_t> build_slot_write(uint32_t session_key, std::string_view name,
                                      std::span<const uint8_t> data, uint32_t notify);

// The fields of a received named write; views into the message.
struct SlotWrite {
  std::string_view name;
  std::span<const uint8_t> data;
  uint32_t notify = 0;
};

// Reads a type-0 message; false for another type, a body length below 256 or beyond the
// message, or a name without its NUL in the 128-byte field.
bool parse_slot_write(const ChannelMessage& m, SlotWrite& out);

// The 960-byte machine-type block: words channel count, model variant, UPnP offered (0/1),
// generation, video standard (1 PAL), then the board text at offset 32.
std::array<uint8_t, kMachineTypeSize> build_machine_type(const DeviceOptions& device);

// The simulator's watermark seed: non-zero, derived from its serial text.
uint32_t watermark_seed();
// The 160-byte watermark variables: the seed at offset 36 and the serial text at offset 40.
std::array<uint8_t, kWatermarkVarsSize> build_watermark_vars();

class NamedSlotsChannel {
 public:
  explicit NamedSlotsChannel(const DeviceOptions& device);
  NamedSlotsChannel(const NamedSlotsChannel&) = delete;
  NamedSlotsChannel& operator=(const NamedSlotsChannel&) = delete;

  // Registers the ICTL handler; the channel must outlive the simulator's use of it. False
  // when ICTL already has a handler.
  bool attach(Simulator& sim);

  // Keeps the UPnP setting in the settings store (persistent, validated) instead of here.
  void use_store(SettingsStore* store) { store_ = store; }

  // The device's UPnP setting: on bit and port, without request bits.
  uint32_t upnp_word() const { return store_ ? store_->upnp_word() : upnp_word_; }

 private:
  void on_message(ChannelContext& ctx, const ChannelMessage& m);
  void write(ChannelContext& ctx, std::string_view name, std::span<const uint8_t> data,
             uint32_t notify);

  std::array<uint8_t, kMachineTypeSize> machine_type_{};
  std::array<uint8_t, kWatermarkVarsSize> watermark_vars_{};
  uint32_t upnp_word_ = kDefaultUpnpWord;
  SettingsStore* store_ = nullptr;
};

}  // namespace tessomar::dvrsim
