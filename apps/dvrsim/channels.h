// The simulator's side of the channel layer: a registry of handlers keyed by channel tag and
// the dispatcher that splits a request payload into channel messages.
//
// A handler sees one checked message and a context through which it queues messages for the
// control; they travel back in the session's next data reply. Example:
//
//   registry.register_handler(link::make_tag("VASK"),
//       [](ChannelContext& ctx, const ChannelMessage& m) {
//         auto reply = build_message(m.tag, ctx.session_key(), {m.word(36)}, {});
//         ctx.queue(reply);
//       });
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <vector>

namespace tessomar::dvrsim {

// One received message: the whole record, its 32-byte header included.
struct ChannelMessage {
  uint32_t tag = 0;
  std::span<const uint8_t> bytes;

  // Little-endian word at a byte offset of the message; 0 when it lies past the end.
  uint32_t word(size_t offset) const;
  // The channel payload after the 64 header bytes (empty for shorter messages).
  std::span<const uint8_t> payload() const;
  // The session key of the sub-header (offset 32).
  uint32_t session_key() const { return word(32); }
};

// What a handler may do while a request of one session is being handled.
class ChannelContext {
 public:
  virtual ~ChannelContext() = default;
  // Key of the session whose request carried the message.
  virtual uint32_t session_key() const = 0;
  // Queues a complete channel message for this session; false when refused (too large or
  // the session's queue is full).
  virtual bool queue(std::span<const uint8_t> message) = 0;
};

using ChannelHandler = std::function<void(ChannelContext&, const ChannelMessage&)>;

class ChannelRegistry {
 public:
  static constexpr size_t kMaxChannels = 32;

  // Takes the first free entry; false when all are used or the tag already has a handler
  // (the first registration keeps the tag).
  bool register_handler(uint32_t tag, ChannelHandler handler);
  // The handler for a tag, or nullptr.
  const ChannelHandler* find(uint32_t tag) const;

 private:
  struct Entry {
    bool in_use = false;
    uint32_t tag = 0;
    ChannelHandler handler;
  };
  std::array<Entry, kMaxChannels> entries_{};
};

struct DispatchStats {
  uint32_t delivered = 0;  // handed to a handler
  uint32_t skipped = 0;    // unknown tag or bad checksum
  bool truncated = false;  // a malformed length or the message bound ended the walk
};

// Walks the messages of a payload: at most 1000, each at least 32 bytes and inside the
// payload, delivered to its tag's handler when the checksum of bytes 32..end matches.
DispatchStats dispatch_messages(const ChannelRegistry& registry, ChannelContext& ctx,
                                std::span<const uint8_t> payload);

// Builds a channel message: header (length, tag, checksum), sub-header (key, then up to seven
// channel words, the rest zero) and payload.
std::vector<uint8_t> build_message(uint32_t tag, uint32_t session_key,
                                   std::initializer_list<uint32_t> words,
                                   std::span<const uint8_t> payload);

}  // namespace tessomar::dvrsim
