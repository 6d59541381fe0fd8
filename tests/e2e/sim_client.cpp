#include "e2e/sim_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <span>

#include "platform/bytes.h"

namespace tessomar::e2e {

Bytes message(const char (&tag)[5], uint32_t key, std::initializer_list<uint32_t> words,
              const Bytes& payload) {
  Bytes m(64 + payload.size(), 0);
  platform::store_u32le(&m[0], uint32_t(m.size()));
  platform::store_u32le(&m[4], link::make_tag(tag));
  platform::store_u32le(&m[32], key);
  size_t at = 36;
  for (uint32_t w : words) {
    platform::store_u32le(&m[at], w);
    at += 4;
  }
  std::copy(payload.begin(), payload.end(), m.begin() + 64);
  platform::store_u32le(&m[8], link::message_checksum(m.data() + 32, uint32_t(m.size() - 32)));
  return m;
}

uint32_t word(const Bytes& m, size_t offset) {
  return offset + 4 <= m.size() ? platform::load_u32le(&m[offset]) : 0xFFFFFFFFu;
}

Bytes request(uint32_t type, uint32_t value, const std::string& level, const std::string& password,
              const std::vector<Bytes>& messages) {
  Bytes frame(link::kUlcmHeaderSize);
  for (const auto& m : messages) frame.insert(frame.end(), m.begin(), m.end());
  link::UlcmHeader h;
  h.total_length = uint32_t(frame.size());
  h.type = type;
  h.value = value;
  h.auth = link::make_auth_text(level, password, uint32_t(std::time(nullptr)));
  link::write_ulcm_header(std::span<uint8_t, link::kUlcmHeaderSize>(frame.data(), 64), h);
  return frame;
}

SimClient::SimClient(uint16_t port) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval tv{30, 0};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  ok_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

SimClient::SimClient(const std::string& port) : SimClient(uint16_t(std::stoi(port))) {}

SimClient::~SimClient() {
  if (fd_ >= 0) close(fd_);
}

bool SimClient::send_all(const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = send(fd_, p, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    p += w;
    n -= size_t(w);
  }
  return true;
}

bool SimClient::read_reply(std::string& head, Bytes& body) {
  size_t end;
  while ((end = buf_.find("\r\n\r\n")) == std::string::npos) {
    if (!fill()) return false;
  }
  head = buf_.substr(0, end + 4);
  const size_t cl = head.find("Content-Length: ");
  if (cl == std::string::npos) return false;
  const size_t len = std::stoul(head.substr(cl + 16));
  while (buf_.size() < end + 4 + len) {
    if (!fill()) return false;
  }
  body.assign(buf_.begin() + long(end + 4), buf_.begin() + long(end + 4 + len));
  buf_.erase(0, end + 4 + len);
  return true;
}

bool SimClient::closed_by_peer() {
  char c;
  return recv(fd_, &c, 1, 0) == 0;
}

std::optional<Reply> SimClient::exchange(uint32_t type, uint32_t key, const std::string& level,
                                         const std::string& password,
                                         const std::vector<Bytes>& messages) {
  const Bytes frame = request(type, key, level, password, messages);
  if (!send_all(frame.data(), frame.size())) return std::nullopt;
  std::string head;
  Bytes body;
  if (!read_reply(head, body)) return std::nullopt;
  Reply r;
  if (!link::read_ulcm_header(body, r.header)) return std::nullopt;
  for (size_t pos = 64; pos + 32 <= body.size();) {
    const uint32_t n = platform::load_u32le(&body[pos]);
    if (n < 32 || n > body.size() - pos) return std::nullopt;
    r.messages.emplace_back(body.begin() + long(pos), body.begin() + long(pos + n));
    pos += n;
  }
  return r;
}

bool SimClient::fill() {
  char tmp[65536];
  ssize_t n = recv(fd_, tmp, sizeof tmp, 0);
  if (n <= 0) return false;
  buf_.append(tmp, size_t(n));
  return true;
}

}  // namespace tessomar::e2e
