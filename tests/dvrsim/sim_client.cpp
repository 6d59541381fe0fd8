#include "dvrsim/sim_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/bytes.h"

namespace tessomar::dvrsim::testing {

std::optional<link::UlcmHeader> HttpReply::frame() const {
  link::UlcmHeader h;
  if (!link::read_ulcm_header(body, h)) return std::nullopt;
  return h;
}

std::span<const uint8_t> HttpReply::frame_payload() const {
  if (body.size() <= link::kUlcmHeaderSize) return {};
  return std::span<const uint8_t>(body).subspan(link::kUlcmHeaderSize);
}

std::vector<uint8_t> make_request(uint32_t type, uint32_t value, const std::array<char, 32>& auth,
                                  std::span<const uint8_t> payload, uint32_t slot,
                                  uint32_t socket) {
  std::vector<uint8_t> out(link::kUlcmHeaderSize + payload.size());
  link::UlcmHeader h;
  h.total_length = static_cast<uint32_t>(out.size());
  h.type = type;
  h.value = value;
  h.auth = auth;
  h.slot_index = slot;
  h.socket_index = socket;
  link::write_ulcm_header(std::span<uint8_t, link::kUlcmHeaderSize>(out.data(), 64), h);
  std::copy(payload.begin(), payload.end(), out.begin() + link::kUlcmHeaderSize);
  return out;
}

SimClient::SimClient(Simulator& sim) : sim_(sim) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(sim.port());
  inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
      errno != EINPROGRESS) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  // The loopback connect completes once the simulator's loop has run.
  sim_.poll_once(5);
}

SimClient::~SimClient() {
  if (fd_ >= 0) ::close(fd_);
}

bool SimClient::send(std::span<const uint8_t> bytes) {
  size_t done = 0;
  for (int rounds = 0; done < bytes.size() && rounds < 2000; ++rounds) {
    ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += size_t(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTCONN) return false;
    sim_.poll_once(5);
  }
  return done == bytes.size();
}

bool SimClient::send_text(const std::string& text) {
  return send(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

bool SimClient::receive_some() {
  bool got = false;
  uint8_t buf[65536];
  for (;;) {
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n > 0) {
      in_.insert(in_.end(), buf, buf + n);
      ++reads_;
      got = true;
      continue;
    }
    if (n == 0) eof_ = true;
    return got;
  }
}

std::optional<HttpReply> SimClient::take_reply() {
  const std::string_view text(reinterpret_cast<const char*>(in_.data()), in_.size());
  const size_t end = text.find("\r\n\r\n");
  if (end == std::string_view::npos) return std::nullopt;
  HttpReply r;
  r.head = std::string(text.substr(0, end + 4));
  r.status_line = r.head.substr(0, r.head.find("\r\n"));
  const size_t cl = r.head.find("Content-Length: ");
  if (cl != std::string::npos) r.content_length = std::atol(r.head.c_str() + cl + 16);
  const size_t body_len = r.content_length < 0 ? 0 : size_t(r.content_length);
  if (in_.size() - (end + 4) < body_len) return std::nullopt;
  r.body.assign(in_.begin() + long(end + 4), in_.begin() + long(end + 4 + body_len));
  r.reads = reads_;
  in_.erase(in_.begin(), in_.begin() + long(end + 4 + body_len));
  reads_ = 0;
  return r;
}

std::optional<HttpReply> SimClient::read_reply(int rounds) {
  for (int i = 0; i < rounds; ++i) {
    receive_some();
    if (auto r = take_reply()) return r;
    if (eof_) return std::nullopt;
    sim_.poll_once(5);
  }
  return std::nullopt;
}

bool SimClient::any_bytes_within(int rounds) {
  for (int i = 0; i < rounds; ++i) {
    sim_.poll_once(1);
    if (receive_some() || !in_.empty()) return true;
  }
  return false;
}

bool SimClient::wait_closed(int rounds) {
  for (int i = 0; i < rounds && !eof_; ++i) {
    receive_some();
    if (!eof_) sim_.poll_once(5);
  }
  return eof_;
}

}  // namespace tessomar::dvrsim::testing
