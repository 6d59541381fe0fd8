#include "dvrsim/identity.h"

#include "dvrsim/server.h"
#include "platform/bytes.h"

namespace tessomar::dvrsim {
namespace {

void put_text(platform::ByteWriter& w, size_t offset, std::string_view text) {
  w.seek(offset);
  w.text(text.substr(0, identity_field::kTextSize - 1));
}

}  // namespace

std::array<uint8_t, kIdentitySize> build_identity(const DeviceOptions& device) {
  namespace f = identity_field;
  std::array<uint8_t, kIdentitySize> out{};
  platform::ByteWriter w(out);
  w.seek(f::kChannels);
  w.u32le(device.channels);
  w.u32le(device.model_variant);
  w.u32le(device.titles ? 1 : 0);
  put_text(w, f::kOsText, kSimOsText);
  put_text(w, f::kSerialText, kSimSerialText);
  put_text(w, f::kBoardText, kSimBoardText);
  put_text(w, f::kNumberText, device.number_text);
  w.seek(f::kVideoStandard);
  w.u32le(device.pal ? 1 : 0);
  w.seek(f::kGeneration);
  w.u32le(device.generation);
  w.seek(f::kAudio);
  w.u32le(device.audio ? kIdentityAudioOn : kIdentityNoAudio);
  w.u32le(device.mail_variant);
  return out;
}

std::vector<uint8_t> build_vask_refusal(uint32_t session_key) {
  return build_message(kVaskTag, session_key, {kVaskRefusal}, {});
}

IdentityChannel::IdentityChannel(const DeviceOptions& device) : identity_(build_identity(device)) {}

bool IdentityChannel::attach(Simulator& sim) {
  if (!sim.channels().register_handler(
          kVaskTag, [this](ChannelContext& ctx, const ChannelMessage& m) { on_message(ctx, m); })) {
    return false;
  }
  sim.add_session_listener([this](SessionEvent e, uint32_t key) {
    if (e == SessionEvent::kClosed) identified_.erase(key);
  });
  return true;
}

void IdentityChannel::on_message(ChannelContext& ctx, const ChannelMessage& m) {
  // Only the frame's own session, whose credentials the transport checked, is answered.
  if (m.bytes.size() < link::kMessageHeaderSize + link::kSubHeaderSize ||
      m.session_key() != ctx.session_key()) {
    return;
  }
  // Identities and refusals from the control need no answer.
  if (m.word(36) != kVaskHello) return;
  if (ctx.queue(build_message(kVaskTag, ctx.session_key(), {kVaskIdentity}, identity_))) {
    identified_.insert(ctx.session_key());
  }
}

}  // namespace tessomar::dvrsim
