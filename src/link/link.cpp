#include "link/link.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "platform/bytes.h"

namespace tessomar::link {

namespace {
constexpr std::string_view kReplyStatus = "HTTP/1.1 200 OK\r\n";
constexpr std::string_view kContentLength = "Content-Length: ";

std::string cut(std::string_view s, size_t max) { return std::string(s.substr(0, max)); }

// The credentials DVR_UK encodes; a text that does not decode leaves them as they are.
void derive_credentials(ConnectionSlot& s) {
  std::string a, b;
  if (split_dvr_uk(s.dvr_uk, a, b)) {
    s.credential_a = cut(a, kCredentialMax);
    s.credential_b = cut(b, kCredentialMax);
  }
}

// Position of needle in the first n bytes, or npos.
size_t find_bytes(const uint8_t* data, size_t n, std::string_view needle) {
  std::string_view hay(reinterpret_cast<const char*>(data), n);
  return hay.find(needle);
}
}  // namespace

Link::Link(platform::Form& form, const platform::Clock& clock, const platform::Logger& logger,
           std::function<uint32_t()> tick_clock)
    : form_(form), clock_(clock), logger_(logger), tick_clock_(std::move(tick_clock)) {}

void Link::event(const std::string& text) {
  logger_.info(text);
  if (hooks_.event) hooks_.event(text);
}

void Link::attach_sockets(std::array<std::array<platform::ClientSocket*, 2>, 2> sockets) {
  for (int slot = 0; slot < kSlotCount; ++slot) {
    for (int s = 0; s < kSocketsPerSlot; ++s) {
      platform::ClientSocket* sock = sockets[slot][s];
      slots_[slot].sockets[s] = sock;
      if (!sock) continue;
      sock->on_connect = [this](platform::ClientSocket& c) { on_socket_connect(c); };
      sock->on_disconnect = [this](platform::ClientSocket& c) { on_socket_disconnect(c); };
      sock->on_error = [this](platform::ClientSocket& c, int& code) { on_socket_error(c, code); };
      sock->on_read = [this](platform::ClientSocket& c) { on_socket_read(c); };
      sock->on_write = [](platform::ClientSocket&) {};
    }
  }
}

void Link::attach_receive_buffers(ConnectionSlot& s) {
  for (auto& r : s.receive) {
    if (!r.data) {
      r.data = std::make_unique<uint8_t[]>(kReceiveCapacity);
      r.capacity = kReceiveCapacity;
    }
    r.fill = 0;
  }
}

void Link::init_slots() {
  for (int i = 0; i < kSlotCount; ++i) {
    ConnectionSlot& s = slots_[i];
    s.slot_index = uint32_t(i);
    s.session_key = 0;
    s.live = 0;
    s.credential_a.clear();
    s.credential_b.clear();
    s.socket_state = {kSocketIdle, kSocketIdle};
    s.send_queue.ring = &send_rings_[i];
  }
  ConnectionSlot& s0 = slots_[0];
  if (!send_storage_) send_storage_ = std::make_unique<uint8_t[]>(kSendRingSize);
  send_rings_[0] = ByteRing{0, 0, kSendRingSize, send_storage_.get()};
  if (!s0.stream_storage) s0.stream_storage = std::make_unique<uint8_t[]>(kStreamRingSize);
  s0.stream_ring = ByteRing{0, 0, kStreamRingSize, s0.stream_storage.get()};
  attach_receive_buffers(s0);
  // The first tick connects socket 0.
  s0.socket_state[0] = kSocketLost;
}

int Link::find_slot_by_key(uint32_t key) const {
  for (int i = 0; i < kSlotCount; ++i) {
    if (slots_[i].session_key == key) return i;
  }
  return -1;
}

bool Link::socket_connected(int slot, int socket) const {
  const platform::ClientSocket* s = slots_[slot].sockets[socket];
  return s && s->connected();
}

void Link::start_connection(int slot, int socket) {
  ConnectionParams p = hooks_.connection_params ? hooks_.connection_params() : ConnectionParams{};
  if (p.property_put_count <= 2) return;
  ConnectionSlot& s = slots_[slot];
  s.host = cut(p.dvrip, kHostMax);
  s.dvr_uk = cut(p.dvr_uk, kCredentialMax);
  s.port = int(std::strtol(p.http_port.c_str(), nullptr, 10));
  derive_credentials(s);
  if (auto* c = form_.find("LabeledEdit_System1")) c->set_caption(p.dvrip);
  if (auto* c = form_.find("LabeledEdit_System2")) c->set_caption(p.http_port);
  if (!reported_down_[socket]) {
    event(std::string(ever_connected_[socket] ? "reconnecting" : "connecting") + " socket " +
          std::to_string(socket) + " to " + s.host + ":" + std::to_string(s.port));
    reported_down_[socket] = true;
  }
  connect_socket(slot, s.host, s.port, socket);

  if (!s.send_queue.ring) s.send_queue.ring = &send_rings_[slot];
  if (!s.send_queue.ring->buffer) {
    if (!send_storage_) send_storage_ = std::make_unique<uint8_t[]>(kSendRingSize);
    *s.send_queue.ring = ByteRing{0, 0, kSendRingSize, send_storage_.get()};
  }
  s.send_queue.ring->write_pos = 0;
  s.send_queue.ring->read_pos = 0;
  if (!s.stream_storage) {
    s.stream_storage = std::make_unique<uint8_t[]>(kStreamRingSize);
    s.stream_ring = ByteRing{0, 0, kStreamRingSize, s.stream_storage.get()};
  }
  attach_receive_buffers(s);
  if (s.viewer_bound != 1) {
    if (hooks_.bind_viewer) hooks_.bind_viewer(slot);
    s.viewer_bound = 1;
  }
}

void Link::connect_socket(int slot, const std::string& host, int port, int socket) {
  ConnectionSlot& s = slots_[slot];
  platform::ClientSocket* sock = s.sockets[socket];
  if (!sock || sock->connected()) return;
  ReceiveBuffer& r = s.receive[socket];
  if (!r.data) {
    r.data = std::make_unique<uint8_t[]>(kReceiveCapacity);
    r.capacity = kReceiveCapacity;
  }
  r.fill = 0;
  sock->set_host(host);
  sock->set_port(port);
  sock->set_active(true);
  if (int fd = sock->handle(); fd >= 0) {
    int rcv = kSocketReceiveBuffer, snd = kSocketSendBuffer;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &snd, sizeof snd);
  }
  s.request_outstanding[socket] = 0;
  s.socket_state[socket] = kSocketActive;
  if (socket == 0) s.link_state = kNoSession;
}

void Link::reset_slot(int slot) {
  ConnectionSlot& s = slots_[slot];
  ++s.reset_count;
  s.live = 0;
  s.link_state = kNoSession;
  s.session_key = 0;
  s.host.clear();
  s.port = 0;
  s.send_queue.ring = &send_rings_[slot];
  for (int& st : s.socket_state) {
    if (st != kSocketLost) st = kSocketIdle;
  }
  attach_receive_buffers(s);
}

void Link::drop_session(int slot, const std::string& why) {
  if (!why.empty()) event(why);
  reset_slot(slot);
  // Closing reports Disconnect, which marks each socket lost for the reconnection.
  for (platform::ClientSocket* sock : slots_[slot].sockets) {
    if (sock) sock->set_active(false);
  }
}

void Link::on_socket_connect(platform::ClientSocket& sock) {
  int slot = sock.tag() % 2;
  int socket = sock.tag() / 2;
  if (socket > 1) return;
  event("connected socket " + std::to_string(socket));
  if (slot == 0) {
    reported_down_[socket] = false;
    ever_connected_[socket] = true;
    if (auto* c = form_.find("Image_Conn")) c->set_visible(true);
    if (auto* c = form_.find("Image_Disconn")) c->set_visible(false);
  }
}

void Link::on_socket_disconnect(platform::ClientSocket& sock) {
  int slot = sock.tag() % 2;
  int socket = sock.tag() / 2;
  if (socket > 1) return;
  reset_slot(slot);
  ConnectionSlot& s = slots_[slot];
  s.socket_state[socket] = kSocketLost;
  if (slot != 0 || !reported_down_[socket]) event("socket " + std::to_string(socket) + " lost");
  if (s.socket_state[0] == kSocketLost && s.socket_state[1] == kSocketLost) {
    if (auto* c = form_.find("Image_Disconn")) c->set_visible(true);
    if (auto* c = form_.find("Image_Conn")) c->set_visible(false);
  }
}

void Link::on_socket_error(platform::ClientSocket& sock, int& error_code) {
  error_code = 0;
  // A name that does not resolve will not connect on a retry either: the host hears it, once
  // for the retries that fail the same way.
  if (sock.unresolved() && !sock.error_repeated()) event(sock.last_error());
  // The Disconnect that closing reports does the rest.
  sock.set_active(false);
}

void Link::on_socket_read(platform::ClientSocket& sock) {
  int slot = sock.tag() % 2;
  int socket = sock.tag() / 2;
  if (socket > 1) return;
  ReceiveBuffer& r = slots_[slot].receive[socket];
  if (!r.data) return;
  int available = sock.receive_length();
  uint32_t room = r.capacity - r.fill;
  int want = int(std::min<uint32_t>(room, uint32_t(std::max(available, 0))));
  if (want <= 0) return;
  r.fill += uint32_t(sock.receive_buf(r.data.get() + r.fill, want));
}

void Link::drop_connection(int slot, int socket, const char* why) {
  ConnectionSlot& s = slots_[slot];
  s.receive[socket].fill = 0;
  s.request_outstanding[socket] = 0;
  event(std::string("socket ") + std::to_string(socket) + ": " + why + ", closing");
  if (platform::ClientSocket* sock = s.sockets[socket]) sock->set_active(false);
}

int Link::send_frame(int slot, int socket, uint32_t type, uint32_t value, uint32_t payload_hint) {
  ConnectionSlot& s = slots_[slot];
  if (s.request_outstanding[socket] == 1) return -1;
  // A frame that cannot be written is no request in flight: marking it so would hold the
  // socket (and the session open) until the 60 s give-up, after it has reconnected.
  if (!socket_connected(slot, socket)) return -1;
  if (s.link_state == kNoSession) s.link_state = kOpenSent;
  if (type == kFrameSessionOpen) {
    // A re-key on the answering side clears the credentials; our own open always presents
    // those of DVR_UK.
    derive_credentials(s);
  }
  if (type == kFramePoll) {
    if (s.link_state == kEstablished && s.live == 1 &&
        (!hooks_.feedback_wanted || hooks_.feedback_wanted(slot))) {
      if (hooks_.request_feedback) hooks_.request_feedback(slot);
    }
    ByteRing* ring = s.send_queue.ring;
    payload_hint = ring ? ring_used(ring->write_pos, ring->read_pos, ring->size) : 0;
    type = kFrameDataPoll;
  }
  uint32_t n = 0;
  if (type == kFrameSessionOpen || type == kFrameSessionKey || type == kFrameNone4) {
    if (s.send_queue.ring) clear_send_queue(s.send_queue);
  } else if (payload_hint != 0 && s.send_queue.ring && s.send_queue.ring->buffer) {
    n = take_batch(s.send_queue);
    if (n != 0 && ring_read(s.send_queue.ring, frame_.data() + kUlcmHeaderSize, n) != 0) n = 0;
  }
  UlcmHeader h;
  h.total_length = kUlcmHeaderSize + n;
  h.type = type;
  h.value = value;
  h.auth = make_auth_text(s.credential_a, s.credential_b, uint32_t(clock_.unix_now()));
  h.slot_index = uint32_t(slot);
  h.socket_index = uint32_t(socket);
  write_ulcm_header(std::span<uint8_t, kUlcmHeaderSize>(frame_.data(), kUlcmHeaderSize), h);
  s.request_outstanding[socket] = 1;
  s.request_sent_at[socket] = tick_clock_();
  s.request_reset_count[socket] = s.reset_count;
  if (platform::ClientSocket* sock = s.sockets[socket]) {
    sock->send_buf(frame_.data(), int(kUlcmHeaderSize + n));
  }
  return 0;
}

void Link::request_pump(int slot) {
  ConnectionSlot& s = slots_[slot];
  // An open sent but answered without a key (or given up) would leave the slot without a
  // session for ever: ask again.
  if (s.link_state == kOpenSent && s.request_outstanding[0] == 0 && s.slot_index == 0) {
    s.link_state = kNoSession;
  }
  if (s.link_state == kNoSession && socket_connected(slot, 0) && s.slot_index == 0) {
    send_frame(slot, 0, kFrameSessionOpen, s.session_key, 0);
  }
  uint32_t now = tick_clock_();
  for (int i = 0; i < kSocketsPerSlot; ++i) {
    if (s.request_outstanding[i] == 1 && now - s.request_sent_at[i] >= kRequestTimeout) {
      s.request_outstanding[i] = 0;
    }
  }
  if (s.link_state != kEstablished) return;
  ByteRing* ring = s.send_queue.ring;
  uint32_t q = ring ? ring_used(ring->write_pos, ring->read_pos, ring->size) : 0;
  for (int i = 0; i < kSocketsPerSlot; ++i) {
    if (!socket_connected(slot, i)) continue;
    if (q > 0) {
      send_frame(slot, i, kFrameDataPoll, s.session_key, q);
    } else if (send_frame(slot, i, kFramePoll, s.session_key, 0) == 0) {
      break;
    }
  }
}

void Link::take_reply(int slot, int socket) {
  ConnectionSlot& s = slots_[slot];
  ReceiveBuffer& r = s.receive[socket];
  uint32_t n = r.fill;
  if (n == 0 || !r.data) return;
  const uint8_t* buf = r.data.get();

  // A reply that cannot be one of ours would block this socket for ever: drop it and close.
  size_t prefix = std::min<size_t>(n, kReplyStatus.size());
  if (std::memcmp(buf, kReplyStatus.data(), prefix) != 0) {
    drop_connection(slot, socket, "reply without \"HTTP/1.1 200 OK\"");
    return;
  }
  if (n < kReplyStatus.size()) return;
  size_t end = find_bytes(buf, n, "\r\n\r\n");
  if (end == std::string_view::npos) {
    if (n >= r.capacity) drop_connection(slot, socket, "reply header larger than the buffer");
    return;
  }
  uint32_t h = uint32_t(end + 4);
  uint32_t content_length = 0;
  size_t cl = find_bytes(buf, h, kContentLength);
  if (cl != std::string_view::npos) {
    size_t start = cl + kContentLength.size();
    for (size_t i = start; i < h && i < start + 64 && buf[i] != '\r'; ++i) {
      if (buf[i] >= '0' && buf[i] <= '9') content_length = content_length * 10 + (buf[i] - '0');
    }
  }
  if (uint64_t(h) + content_length > r.capacity) {
    drop_connection(slot, socket, "reply larger than the receive buffer");
    return;
  }
  if (n - h < content_length) return;
  s.request_outstanding[socket] = 0;
  if (s.request_reset_count[socket] != s.reset_count) {
    // Answers a request of a session this slot has since forgotten: its key would re-key
    // the slot in the middle of the new handshake.
    ++s.stale_replies[socket];
  } else if (content_length > 0) {
    handle_frame(buf + h, content_length);
  }
  // handle_frame may have reset this slot's buffers; take only what is still there.
  if (r.fill < n) return;
  uint32_t rest = n - h - content_length;
  std::memmove(r.data.get(), r.data.get() + h + content_length, rest);
  r.fill = rest;
}

int Link::handle_frame(const uint8_t* frame, uint32_t length) {
  UlcmHeader h;
  if (!read_ulcm_header(std::span<const uint8_t>(frame, length), h)) return -1;
  if (h.total_length > length || h.total_length < kUlcmHeaderSize || h.magic != kUlcmMagic) {
    return -1;
  }
  if (h.slot_index > 1) return -1;
  uint32_t key = h.value;
  int s = int(h.slot_index);
  auto rekey = [&] {
    uint32_t k = open_session(0);
    send_frame(s, 0, kFrameSessionKey, k, 0);
    return -1;
  };
  switch (h.type) {
    case kFrameSessionOpen: {
      uint32_t k = open_session(key);
      send_frame(s, 0, kFrameSessionKey, k, 0);
      return 0;
    }
    case kFrameSessionKey: {
      ConnectionSlot& slot = slots_[s];
      if (key != 0 && (key == slots_[0].session_key || key == slots_[1].session_key)) {
        slot.session_key = key;
        slot.live = 0;
        slot.link_state = kNoSession;
        send_frame(s, 0, kFrameSessionOpen, key, 0);
        return 0;
      }
      slot.session_key = key;
      slot.link_state = kEstablished;
      slot.live = 0;
      event("session established key=" + std::to_string(key));
      if (key != 0 && hooks_.send_hello) hooks_.send_hello(key);
      return 0;
    }
    case kFramePoll: {
      int found = find_slot_by_key(key);
      return found >= 0 ? found : rekey();
    }
    case kFrameData:
    case kFrameDataPoll: {
      int found = find_slot_by_key(key);
      if (found < 0) return rekey();
      dispatch_messages(key, frame + kUlcmHeaderSize, h.total_length - kUlcmHeaderSize);
      return found;
    }
    default:
      return -1;
  }
}

uint32_t Link::open_session(uint32_t proposed_key) {
  uint32_t candidate = 0;
  for (uint32_t i = 0; i < 1000; ++i) {
    candidate = uint32_t(clock_.unix_now()) + i;
    if (candidate != slots_[0].session_key && candidate != slots_[1].session_key) break;
  }
  int chosen = -1;
  for (int i = 0; i < kSlotCount && chosen < 0; ++i) {
    if (proposed_key == 0 ? slots_[i].live == 0 : slots_[i].session_key == proposed_key) {
      chosen = i;
    }
  }
  if (chosen < 0) return 0;
  ConnectionSlot& s = slots_[chosen];
  s.live = 1;
  s.session_key = candidate;
  s.credential_a.clear();
  s.credential_b.clear();
  s.send_queue.ring = &send_rings_[chosen];
  attach_receive_buffers(s);
  if (hooks_.session_opened) hooks_.session_opened(chosen);
  return candidate;
}

void Link::register_channel(uint32_t tag, std::function<void()> on_message, ChannelSend send,
                            std::span<uint8_t> buffer) {
  for (auto& e : registry_) {
    if (e.in_use) continue;
    e.in_use = 1;
    e.tag = tag;
    e.on_message = std::move(on_message);
    e.send = std::move(send);
    e.buffer = buffer;
    return;
  }
}

void Link::send_by_tag(uint32_t tag, const ChannelRequest& request) {
  for (auto& e : registry_) {
    if (e.in_use && e.tag == tag) {
      if (e.send) e.send(request);
      return;
    }
  }
}

void Link::dispatch_messages(uint32_t key, const uint8_t* data, uint32_t length) {
  if (find_slot_by_key(key) < 0) return;
  uint32_t pos = 0;
  for (int count = 0; count < kMaxMessagesPerPayload; ++count) {
    if (pos >= length || length - pos < kMessageHeaderSize) break;
    MessageHeader m;
    read_message_header(std::span<const uint8_t>(data + pos, length - pos), m);
    if (m.total_length < kMessageHeaderSize || m.total_length > length - pos) break;
    for (auto& e : registry_) {
      if (!e.in_use || e.tag != m.tag) continue;
      uint32_t body = m.total_length - kMessageHeaderSize;
      // A message longer than the channel's buffer is skipped like a bad checksum.
      if (body <= e.buffer.size()) {
        std::memcpy(e.buffer.data(), data + pos + kMessageHeaderSize, body);
        e.last_length = body;
        if (message_checksum(e.buffer.data(), body) == m.checksum && e.on_message) {
          e.on_message();
        }
      }
      break;
    }
    pos += m.total_length;
  }
}

uint32_t Link::last_message_length(uint32_t tag) const {
  for (const auto& e : registry_) {
    if (e.in_use && e.tag == tag) return e.last_length;
  }
  return 0;
}

int Link::finish_and_queue(int slot, std::span<uint8_t> buffer, uint32_t payload_length) {
  uint32_t total = kMessageHeaderSize + kSubHeaderSize + payload_length;
  if (total > buffer.size()) return -1;
  platform::ByteWriter header(buffer.first(kMessageHeaderSize));
  header.u32le(total);
  header.skip(4);  // the tag, written by the channel
  header.u32le(message_checksum(buffer.data() + kMessageHeaderSize, total - kMessageHeaderSize));
  return queue_message(slots_[slot].send_queue, buffer.data(), total);
}

}  // namespace tessomar::link
