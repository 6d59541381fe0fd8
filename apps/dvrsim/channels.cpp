#include "dvrsim/channels.h"

#include "link/wire.h"
#include "platform/bytes.h"

namespace tessomar::dvrsim {
namespace {
constexpr uint32_t kMaxMessagesPerPayload = 1000;
constexpr size_t kChannelWords = 7;
}  // namespace

uint32_t ChannelMessage::word(size_t offset) const {
  platform::ByteReader r(bytes);
  r.seek(offset);
  const uint32_t v = r.u32le();
  return r.error() ? 0 : v;
}

std::span<const uint8_t> ChannelMessage::payload() const {
  constexpr size_t kHeaders = link::kMessageHeaderSize + link::kSubHeaderSize;
  if (bytes.size() <= kHeaders) return {};
  return bytes.subspan(kHeaders);
}

bool ChannelRegistry::register_handler(uint32_t tag, ChannelHandler handler) {
  if (find(tag) != nullptr) return false;
  for (Entry& e : entries_) {
    if (e.in_use) continue;
    e.in_use = true;
    e.tag = tag;
    e.handler = std::move(handler);
    return true;
  }
  return false;
}

const ChannelHandler* ChannelRegistry::find(uint32_t tag) const {
  for (const Entry& e : entries_) {
    if (e.in_use && e.tag == tag) return &e.handler;
  }
  return nullptr;
}

DispatchStats dispatch_messages(const ChannelRegistry& registry, ChannelContext& ctx,
                                std::span<const uint8_t> payload) {
  DispatchStats stats;
  size_t pos = 0;
  uint32_t count = 0;
  while (pos < payload.size()) {
    if (count == kMaxMessagesPerPayload) {
      stats.truncated = true;
      break;
    }
    ++count;
    link::MessageHeader h;
    if (payload.size() - pos < link::kMessageHeaderSize ||
        !link::read_message_header(payload.subspan(pos), h) ||
        h.total_length < link::kMessageHeaderSize || h.total_length > payload.size() - pos) {
      stats.truncated = true;
      break;
    }
    std::span<const uint8_t> bytes = payload.subspan(pos, h.total_length);
    pos += h.total_length;
    const ChannelHandler* handler = registry.find(h.tag);
    const uint32_t sum = link::message_checksum(bytes.data() + link::kMessageHeaderSize,
                                                h.total_length - link::kMessageHeaderSize);
    if (handler == nullptr || !*handler || sum != h.checksum) {
      ++stats.skipped;
      continue;
    }
    (*handler)(ctx, ChannelMessage{h.tag, bytes});
    ++stats.delivered;
  }
  return stats;
}

std::vector<uint8_t> build_message(uint32_t tag, uint32_t session_key,
                                   std::initializer_list<uint32_t> words,
                                   std::span<const uint8_t> payload) {
  constexpr size_t kHeaders = link::kMessageHeaderSize + link::kSubHeaderSize;
  std::vector<uint8_t> out(kHeaders + payload.size(), 0);
  platform::ByteWriter w(out);
  w.u32le(static_cast<uint32_t>(out.size()));
  w.u32le(tag);
  w.u32le(0);  // checksum, filled below
  w.zeros(20);
  w.u32le(session_key);
  size_t n = 0;
  for (uint32_t v : words) {
    if (n++ == kChannelWords) break;
    w.u32le(v);
  }
  w.seek(kHeaders);
  w.bytes(payload.data(), payload.size());
  const uint32_t sum =
      link::message_checksum(out.data() + link::kMessageHeaderSize,
                             static_cast<uint32_t>(out.size()) - link::kMessageHeaderSize);
  w.seek(8);
  w.u32le(sum);
  return out;
}

}  // namespace tessomar::dvrsim
