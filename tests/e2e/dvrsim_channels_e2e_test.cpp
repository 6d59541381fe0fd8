// The shipped simulator binary answers the DVR channels with what its device options say:
// identity, settings and named data slots, and a refusal for bad credentials.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <ctime>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "link/bytes.h"
#include "link/wire.h"

namespace tessomar::e2e {
namespace {

// A channel message built field by field: header, sub-header words, payload.
std::vector<uint8_t> message(const char (&tag)[5], uint32_t key,
                             std::initializer_list<uint32_t> words,
                             const std::vector<uint8_t>& payload = {}) {
  std::vector<uint8_t> m(64 + payload.size(), 0);
  link::store_u32le(&m[0], uint32_t(m.size()));
  link::store_u32le(&m[4], link::make_tag(tag));
  link::store_u32le(&m[32], key);
  size_t at = 36;
  for (uint32_t w : words) {
    link::store_u32le(&m[at], w);
    at += 4;
  }
  std::copy(payload.begin(), payload.end(), m.begin() + 64);
  link::store_u32le(&m[8], link::message_checksum(m.data() + 32, uint32_t(m.size() - 32)));
  return m;
}

struct Reply {
  link::UlcmHeader header;
  std::vector<std::vector<uint8_t>> messages;
};

// One blocking connection that sends a frame and reads the HTTP reply carrying the answer.
class Connection {
 public:
  explicit Connection(const std::string& port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{30, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(std::stoi(port)));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    ok_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~Connection() { close(fd_); }
  bool ok() const { return ok_; }

  std::optional<Reply> exchange(uint32_t type, uint32_t key, const std::string& level,
                                const std::string& password,
                                const std::vector<std::vector<uint8_t>>& messages = {}) {
    std::vector<uint8_t> frame(64);
    for (const auto& m : messages) frame.insert(frame.end(), m.begin(), m.end());
    link::UlcmHeader h;
    h.total_length = uint32_t(frame.size());
    h.type = type;
    h.value = key;
    h.auth = link::make_auth_text(level, password, uint32_t(std::time(nullptr)));
    link::write_ulcm_header(std::span<uint8_t, 64>(frame.data(), 64), h);
    if (send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL) != ssize_t(frame.size())) {
      return std::nullopt;
    }
    size_t end;
    while ((end = buf_.find("\r\n\r\n")) == std::string::npos) {
      if (!fill()) return std::nullopt;
    }
    const size_t cl = buf_.find("Content-Length: ");
    if (cl == std::string::npos || cl > end) return std::nullopt;
    const size_t len = std::stoul(buf_.substr(cl + 16));
    while (buf_.size() < end + 4 + len) {
      if (!fill()) return std::nullopt;
    }
    const std::vector<uint8_t> body(buf_.begin() + long(end + 4),
                                    buf_.begin() + long(end + 4 + len));
    buf_.erase(0, end + 4 + len);
    Reply r;
    if (!link::read_ulcm_header(body, r.header)) return std::nullopt;
    for (size_t pos = 64; pos + 32 <= body.size();) {
      const uint32_t n = link::load_u32le(&body[pos]);
      if (n < 32 || n > body.size() - pos) return std::nullopt;
      r.messages.emplace_back(body.begin() + long(pos), body.begin() + long(pos + n));
      pos += n;
    }
    return r;
  }

 private:
  bool fill() {
    char tmp[4096];
    ssize_t n = recv(fd_, tmp, sizeof tmp, 0);
    if (n <= 0) return false;
    buf_.append(tmp, size_t(n));
    return true;
  }
  int fd_ = -1;
  bool ok_ = false;
  std::string buf_;
};

uint32_t word(const std::vector<uint8_t>& m, size_t offset) {
  return offset + 4 <= m.size() ? link::load_u32le(&m[offset]) : 0xFFFFFFFFu;
}

TEST(DvrsimChannelsBinary, AnswersWithTheConfiguredDevice) {
  Dvr dvr;
  ASSERT_TRUE(
      dvr.start({"--poll-idle-ms", "200", "--channels", "8", "--standard", "ntsc", "--generation",
                 "1", "--audio", "off", "--upnp", "on", "--number-text", "[N] 6100"}));
  std::string level, password;
  ASSERT_TRUE(link::split_dvr_uk(dvr.dvr_uk, level, password));
  Connection c(dvr.port);
  ASSERT_TRUE(c.ok());
  auto r = c.exchange(link::kFrameSessionOpen, 0, level, password);
  ASSERT_TRUE(r) << dvr.process->all_output();
  ASSERT_EQ(r->header.type, link::kFrameSessionKey);
  const uint32_t key = r->header.value;

  r = c.exchange(link::kFrameDataPoll, key, level, password,
                 {message("VASK", key, {0}, std::vector<uint8_t>(256, 0))});
  ASSERT_TRUE(r);
  ASSERT_EQ(r->messages.size(), 1u);
  const auto& id = r->messages[0];
  EXPECT_EQ(word(id, 4), link::make_tag("VASK"));
  EXPECT_EQ(word(id, 36), 1u);
  EXPECT_EQ(word(id, 64 + 0), 8u);
  EXPECT_EQ(word(id, 64 + 140), 0u);
  EXPECT_EQ(word(id, 64 + 148), 1u);
  EXPECT_EQ(word(id, 64 + 224), 2u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&id[64 + 108])), "[N] 6100");

  std::vector<uint8_t> body(256 + 960, 0);
  link::store_u32le(&body[0], uint32_t(body.size()));
  const std::string name = "Vask_Mach_Type_Data_W";
  std::copy(name.begin(), name.end(), body.begin() + 4);
  std::vector<uint8_t> query(72, 0);
  link::store_u32le(&query[0], 1);  // bitrate
  link::store_u32le(&query[4], 72);
  r = c.exchange(
      link::kFrameDataPoll, key, level, password,
      {message("ICTL", key, {0, 0, 1}, body), message("ICMD", key, {1, 4096, 3, 1}, query)});
  ASSERT_TRUE(r);
  ASSERT_EQ(r->messages.size(), 2u);
  const auto& mach = r->messages[0];
  EXPECT_EQ(word(mach, 4), link::make_tag("ICTL"));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&mach[64 + 4])), "Vask_Mach_Type_Data_R");
  EXPECT_EQ(word(mach, 64 + 256 + 8), 1u);  // UPnP offered
  const auto& setup = r->messages[1];
  EXPECT_EQ(word(setup, 4), link::make_tag("ICMD"));
  EXPECT_EQ(word(setup, 36), 4u);
  EXPECT_EQ(word(setup, 64), 1u);
  EXPECT_EQ(word(setup, 64 + 72), 5u);  // factory bitrate
}

TEST(DvrsimChannelsBinary, WrongCredentialsAreRefusedOnVask) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start({"--poll-idle-ms", "200", "--password", "1111"}));
  Connection c(dvr.port);
  ASSERT_TRUE(c.ok());
  auto r = c.exchange(link::kFrameSessionOpen, 0, "9", "2222");
  ASSERT_TRUE(r) << dvr.process->all_output();
  ASSERT_EQ(r->header.type, link::kFrameSessionKey);
  const uint32_t key = r->header.value;
  r = c.exchange(link::kFrameDataPoll, key, "9", "2222",
                 {message("VASK", key, {0}, std::vector<uint8_t>(256, 0))});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->header.type, link::kFrameData);
  ASSERT_EQ(r->messages.size(), 1u);
  EXPECT_EQ(word(r->messages[0], 4), link::make_tag("VASK"));
  EXPECT_EQ(word(r->messages[0], 36), 2u);
  EXPECT_EQ(r->messages[0].size(), 64u);
  EXPECT_TRUE(dvr.process->wait_for_line(Stream::kStderr, "refused: bad credentials", kDeadline));
}

}  // namespace
}  // namespace tessomar::e2e
