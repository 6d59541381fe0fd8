#include "dvrsim/named_slots.h"

#include "dvrsim/identity.h"
#include "dvrsim/server.h"
#include "platform/bytes.h"

namespace tessomar::dvrsim {
namespace {

constexpr size_t kHeaders = link::kMessageHeaderSize + link::kSubHeaderSize;
constexpr size_t kTypeAt = 40;
constexpr size_t kNotifyAt = 44;
constexpr size_t kNameField = 128;

}  // namespace

std::vector<uint8_t> build_slot_write(uint32_t session_key, std::string_view name,
                                      std::span<const uint8_t> data, uint32_t notify) {
  std::vector<uint8_t> body(kSlotWriteHeaderSize + data.size(), 0);
  platform::ByteWriter w(body);
  w.u32le(static_cast<uint32_t>(body.size()));
  w.text(name.substr(0, kMaxSlotNameLength));
  w.seek(kSlotWriteHeaderSize);
  w.bytes(data.data(), data.size());
  return build_message(kIctlTag, session_key, {0, kIctlNamedWrite, notify}, body);
}

bool parse_slot_write(const ChannelMessage& m, SlotWrite& out) {
  if (m.bytes.size() < kHeaders + kSlotWriteHeaderSize || m.word(kTypeAt) != kIctlNamedWrite) {
    return false;
  }
  const auto body = m.payload();
  const uint32_t length = platform::ByteReader(body).u32le();
  if (length < kSlotWriteHeaderSize || length > body.size()) return false;
  const auto field = body.subspan(4, kNameField);
  size_t n = 0;
  while (n < field.size() && field[n] != 0) ++n;
  if (n == field.size()) return false;
  out.name = std::string_view(reinterpret_cast<const char*>(field.data()), n);
  out.data = body.subspan(kSlotWriteHeaderSize, length - kSlotWriteHeaderSize);
  out.notify = m.word(kNotifyAt);
  return true;
}

std::array<uint8_t, kMachineTypeSize> build_machine_type(const DeviceOptions& device) {
  std::array<uint8_t, kMachineTypeSize> out{};
  platform::ByteWriter w(out);
  w.u32le(device.channels);
  w.u32le(device.model_variant);
  w.u32le(device.upnp ? 1 : 0);
  w.u32le(device.generation);
  w.u32le(device.pal ? 1 : 0);
  w.seek(32);
  w.text(kSimBoardText);
  return out;
}

uint32_t watermark_seed() {
  // FNV-1a of the serial text: fixed for this simulator, unlikely to look like a constant.
  uint32_t h = 2166136261u;
  for (char c : kSimSerialText) {
    h ^= uint8_t(c);
    h *= 16777619u;
  }
  return h != 0 ? h : 1;
}

std::array<uint8_t, kWatermarkVarsSize> build_watermark_vars() {
  std::array<uint8_t, kWatermarkVarsSize> out{};
  platform::ByteWriter w(out);
  w.seek(kWatermarkSeedOffset);
  w.u32le(watermark_seed());
  w.text(kSimSerialText);
  return out;
}

NamedSlotsChannel::NamedSlotsChannel(const DeviceOptions& device)
    : machine_type_(build_machine_type(device)), watermark_vars_(build_watermark_vars()) {}

bool NamedSlotsChannel::attach(Simulator& sim) {
  return sim.channels().register_handler(
      kIctlTag, [this](ChannelContext& ctx, const ChannelMessage& m) { on_message(ctx, m); });
}

void NamedSlotsChannel::write(ChannelContext& ctx, std::string_view name,
                              std::span<const uint8_t> data, uint32_t notify) {
  ctx.queue(build_slot_write(ctx.session_key(), name, data, notify));
}

void NamedSlotsChannel::on_message(ChannelContext& ctx, const ChannelMessage& m) {
  // Only the frame's own session, whose credentials the transport checked, is answered.
  if (m.session_key() != ctx.session_key()) return;
  SlotWrite in;
  if (!parse_slot_write(m, in)) return;  // type 1 and malformed writes are ignored
  const bool asked = in.notify == 1;

  if (in.name == kSlotMachTypeW) {
    if (in.data.size() == kMachineTypeSize && asked) write(ctx, kSlotMachTypeR, machine_type_, 1);
  } else if (in.name == kSlotUpnpW) {
    if (in.data.size() != 4) return;
    const uint32_t word = platform::ByteReader(in.data).u32le();
    std::array<uint8_t, 4> bytes{};
    auto write_word = [&](std::string_view slot, uint32_t v) {
      platform::ByteWriter(bytes).u32le(v);
      write(ctx, slot, bytes, 1);
    };
    if (word & kUpnpWriteRequest) {
      const uint32_t setting = word & ~(kUpnpReadRequest | kUpnpWriteRequest);
      std::string why;
      bool stored = true;
      if (store_) {
        stored = store_->set_upnp_word(setting, &why);
      } else {
        upnp_word_ = setting;
      }
      if (!asked) return;
      // A refused word is not acknowledged; the control is shown what the DVR kept.
      write_word(kSlotUpnpR, upnp_word());
      if (stored) write_word(kSlotAckR, 1);
    } else if ((word & kUpnpReadRequest) && asked) {
      write_word(kSlotUpnpR, upnp_word());
    }
  } else if (in.name == kSlotWatermarkR) {
    // The control has no notification on the variables; they are only stored.
    if (in.data.size() == 4 && asked) write(ctx, kSlotWatermarkW, watermark_vars_, 0);
  }
}

}  // namespace tessomar::dvrsim
