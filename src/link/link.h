// The DVR link: the two connection slots with their sockets and buffers, the HTTP tunnel
// that carries ULCM frames over them, and the channel registry above it.
//
// Slot 0 is the control's own session: the only slot that connects, reconnects and sends
// requests. Slot 1 comes into use only when the peer opens a session towards the control.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "link/ring.h"
#include "link/wire.h"
#include "platform/clock.h"
#include "platform/form.h"
#include "platform/log.h"
#include "platform/socket.h"

namespace tessomar::link {

constexpr int kSlotCount = 2;
constexpr int kSocketsPerSlot = 2;
constexpr uint32_t kReceiveCapacity = 294912;  // 0x48000
constexpr uint32_t kStreamRingSize = 2097152;
constexpr int kSocketReceiveBuffer = 16384;
constexpr int kSocketSendBuffer = 294912;
constexpr uint32_t kRequestTimeout = 6000000;  // 60 s in tick units
constexpr size_t kHostMax = 63;
constexpr size_t kCredentialMax = 31;

enum LinkState : int { kNoSession = 0, kOpenSent = 3, kEstablished = 4 };
enum SocketState : int { kSocketIdle = 0, kSocketActive = 1, kSocketLost = 2 };

struct ReceiveBuffer {
  uint32_t fill = 0;
  uint32_t capacity = 0;
  std::unique_ptr<uint8_t[]> data;
};

struct ConnectionSlot {
  uint32_t slot_index = 0;
  int live = 0;
  uint32_t session_key = 0;
  int link_state = kNoSession;
  std::string dvr_uk;
  std::string credential_a;  // also the user level ("7", "8" or "9")
  std::string credential_b;
  std::array<int, kSocketsPerSlot> socket_state{};
  std::array<int, kSocketsPerSlot> request_outstanding{};
  std::array<uint32_t, kSocketsPerSlot> request_sent_at{};
  // Counts resets of the slot; each request remembers the count it was sent under, so that
  // a reply to a request of a forgotten session is known as stale.
  uint32_t reset_count = 0;
  std::array<uint32_t, kSocketsPerSlot> request_reset_count{};
  std::array<uint64_t, kSocketsPerSlot> stale_replies{};
  int viewer_bound = 0;
  std::string host;
  int port = 0;
  SendQueue send_queue;  // ring points into the link's ring descriptor table
  std::array<ReceiveBuffer, kSocketsPerSlot> receive;
  ByteRing stream_ring;
  std::unique_ptr<uint8_t[]> stream_storage;
  std::array<platform::ClientSocket*, kSocketsPerSlot> sockets{};
};

// What a connection attempt reads from the control's properties.
struct ConnectionParams {
  int32_t property_put_count = 0;
  std::string dvrip;
  std::string http_port;
  std::string dvr_uk;
};

// Calls out of the link into the rest of the control. Unset hooks do nothing.
struct LinkHooks {
  std::function<ConnectionParams()> connection_params;
  // A session key was accepted: the identity channel says hello.
  std::function<void(uint32_t key)> send_hello;
  // Before each poll of an established, live session not in mode 4.
  std::function<bool(int slot)> feedback_wanted;
  std::function<void(int slot)> request_feedback;
  // The peer opened a session on this slot (channel records get their new-session reset).
  std::function<void(int slot)> session_opened;
  // First connection of slot 0: bind the viewer outputs.
  std::function<void(int slot)> bind_viewer;
  // Human-readable link events for hosts ("connected socket 0", ...).
  std::function<void(std::string_view)> event;
};

// What send_by_tag hands a channel: the session key and the channel's request words. Each
// channel reads the fields it uses: VASK op = sub-type; ICMD op = operation, arg = record id,
// value = setup sub-id; ICTL op = type, arg = notify flag, name and data; VIDO op = sub-tag.
struct ChannelRequest {
  ChannelRequest() = default;
  ChannelRequest(uint32_t session_key, uint32_t request_op, uint32_t request_arg = 0,
                 uint32_t request_value = 0)
      : key(session_key), op(request_op), arg(request_arg), value(request_value) {}

  uint32_t key = 0;
  uint32_t op = 0;
  uint32_t arg = 0;
  uint32_t value = 0;
  std::string_view name;
  std::span<const uint8_t> data;
};
using ChannelSend = std::function<void(const ChannelRequest& request)>;

// The channel registry: 32 entries mapping a tag to a channel module.
struct ChannelEntry {
  int in_use = 0;
  uint32_t tag = 0;
  std::function<void()> on_message;
  ChannelSend send;
  std::span<uint8_t> buffer;
  // Bytes copied into `buffer` for the message being delivered (sub-header and payload);
  // bytes beyond it are left over from earlier messages.
  uint32_t last_length = 0;
};
constexpr int kRegistryEntries = 32;
constexpr int kMaxMessagesPerPayload = 1000;

class Link {
 public:
  // Link events also go to the logger as information; it must outlive the link.
  Link(platform::Form& form, const platform::Clock& clock, const platform::Logger& logger,
       std::function<uint32_t()> tick_clock);
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  LinkHooks& hooks() { return hooks_; }
  ConnectionSlot& slot(int i) { return slots_[i]; }
  const ConnectionSlot& slot(int i) const { return slots_[i]; }

  // Hands the four sockets to the link and attaches its event handlers.
  void attach_sockets(std::array<std::array<platform::ClientSocket*, 2>, 2> sockets);
  void init_slots();
  int find_slot_by_key(uint32_t key) const;
  void start_connection(int slot, int socket);
  void connect_socket(int slot, const std::string& host, int port, int socket);
  void reset_slot(int slot);
  // Forgets the slot's session and closes its sockets, which then reconnect; `why` (when not
  // empty) goes out as a link event.
  void drop_session(int slot, const std::string& why);

  void on_socket_connect(platform::ClientSocket& s);
  void on_socket_disconnect(platform::ClientSocket& s);
  void on_socket_error(platform::ClientSocket& s, int& error_code);
  void on_socket_read(platform::ClientSocket& s);

  // The tunnel.
  int send_frame(int slot, int socket, uint32_t type, uint32_t value, uint32_t payload_hint);
  void request_pump(int slot);
  void take_reply(int slot, int socket);
  int handle_frame(const uint8_t* frame, uint32_t length);
  uint32_t open_session(uint32_t proposed_key);

  // The registry.
  void register_channel(uint32_t tag, std::function<void()> on_message, ChannelSend send,
                        std::span<uint8_t> buffer);
  // Hands the request to the first entry of the tag; an unknown tag does nothing.
  void send_by_tag(uint32_t tag, const ChannelRequest& request);
  void dispatch_messages(uint32_t key, const uint8_t* data, uint32_t length);
  const std::array<ChannelEntry, kRegistryEntries>& registry() const { return registry_; }
  // Length of what the last delivered message of that tag put into its buffer; 0 when the
  // tag is not registered.
  uint32_t last_message_length(uint32_t tag) const;

  // The end of every channel's send: total length and checksum, then the slot's send queue.
  // The caller has written tag, key and sub-header words into `buffer` and the payload from
  // offset 64. Returns queue_message's result.
  int finish_and_queue(int slot, std::span<uint8_t> buffer, uint32_t payload_length);

  // Socket of a slot is connected (its platform socket reports so).
  bool socket_connected(int slot, int socket) const;

 private:
  void event(const std::string& text);
  void attach_receive_buffers(ConnectionSlot& s);
  // Drops what a socket buffered and closes it; the Disconnect that follows reconnects.
  void drop_connection(int slot, int socket, const char* why);

  platform::Form& form_;
  const platform::Clock& clock_;
  const platform::Logger& logger_;
  std::function<uint32_t()> tick_clock_;
  LinkHooks hooks_;
  std::array<ConnectionSlot, kSlotCount> slots_;
  std::array<ByteRing, kSlotCount> send_rings_;  // ring descriptors, indexed by slot
  std::unique_ptr<uint8_t[]> send_storage_;      // slot 0's send ring buffer
  std::array<ChannelEntry, kRegistryEntries> registry_;
  std::array<uint8_t, kUlcmHeaderSize + kMaxFramePayload> frame_{};
  // For the event text only: whether each socket of slot 0 was up since its last attempt,
  // so that a refused DVR does not produce an event every tick.
  std::array<bool, kSocketsPerSlot> reported_down_{};
  std::array<bool, kSocketsPerSlot> ever_connected_{};
};

}  // namespace tessomar::link
