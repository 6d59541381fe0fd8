// The shipped simulator binary streams live video in real time once a session asks for it,
// and refuses bad video options.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "link/bytes.h"
#include "link/wire.h"
#include "platform/clock.h"
#include "shell/devtime.h"

namespace tessomar::e2e {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes message(const char (&tag)[5], uint32_t key, std::initializer_list<uint32_t> words,
              const Bytes& payload = {}) {
  Bytes m(64 + payload.size(), 0);
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

uint32_t word(const Bytes& m, size_t offset) {
  return offset + 4 <= m.size() ? link::load_u32le(&m[offset]) : 0xFFFFFFFFu;
}

// One blocking connection: sends a frame, reads the HTTP reply and splits its messages.
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

  std::optional<std::pair<link::UlcmHeader, std::vector<Bytes>>> exchange(
      uint32_t type, uint32_t key, const std::string& level, const std::string& password,
      const std::vector<Bytes>& messages = {}) {
    Bytes frame(64);
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
    const Bytes body(buf_.begin() + long(end + 4), buf_.begin() + long(end + 4 + len));
    buf_.erase(0, end + 4 + len);
    std::pair<link::UlcmHeader, std::vector<Bytes>> r;
    if (!link::read_ulcm_header(body, r.first)) return std::nullopt;
    for (size_t pos = 64; pos + 32 <= body.size();) {
      const uint32_t n = link::load_u32le(&body[pos]);
      if (n < 32 || n > body.size() - pos) return std::nullopt;
      r.second.emplace_back(body.begin() + long(pos), body.begin() + long(pos + n));
      pos += n;
    }
    return r;
  }

 private:
  bool fill() {
    char tmp[65536];
    ssize_t n = recv(fd_, tmp, sizeof tmp, 0);
    if (n <= 0) return false;
    buf_.append(tmp, size_t(n));
    return true;
  }
  int fd_ = -1;
  bool ok_ = false;
  std::string buf_;
};

TEST(DvrsimVideoBinary, StreamsLiveVideoInRealTime) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start({"--poll-idle-ms", "200", "--resolution", "cif", "--time-offset", "60"}));
  std::string level, password;
  ASSERT_TRUE(link::split_dvr_uk(dvr.dvr_uk, level, password));
  Connection c(dvr.port);
  ASSERT_TRUE(c.ok());
  auto r = c.exchange(link::kFrameSessionOpen, 0, level, password);
  ASSERT_TRUE(r) << dvr.process->all_output();
  ASSERT_EQ(r->first.type, link::kFrameSessionKey);
  const uint32_t key = r->first.value;

  Bytes feedback(256, 0);
  link::store_u32le(&feedback[128], 4194304 - 524288);
  Bytes live(64, 0);
  link::store_u32le(&live[8], 4);  // single view of camera 4
  platform::SystemClock clock;
  const uint32_t device_start = shell::deviceTimeNow(clock);
  const auto start = std::chrono::steady_clock::now();
  std::vector<Bytes> sends = {message("VIDO", key, {1}, feedback),
                              message("ICMD", key, {2, 256, 0, 3}, live)};

  constexpr size_t kWanted = 50;
  std::vector<Bytes> records;
  while (records.size() < kWanted && std::chrono::steady_clock::now() - start < kDeadline) {
    r = c.exchange(link::kFrameDataPoll, key, level, password, sends);
    ASSERT_TRUE(r) << dvr.process->all_output();
    for (const Bytes& m : r->second) {
      if (word(m, 4) == link::make_tag("VIDO")) records.emplace_back(m.begin() + 64, m.end());
    }
    sends = {message("VIDO", key, {1}, feedback)};
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const uint32_t device_end = shell::deviceTimeNow(clock);
  ASSERT_GE(records.size(), kWanted) << dvr.process->all_output();
  // 50 pictures at 25 a second cannot all be here in less than 49 frame intervals.
  EXPECT_GE(elapsed, std::chrono::milliseconds(49 * 40));
  for (size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(i);
    const Bytes& rec = records[i];
    ASSERT_GE(rec.size(), 160u);
    EXPECT_EQ(word(rec, 0), rec.size());
    EXPECT_EQ(word(rec, 12), i + 1);  // channel sequence
    EXPECT_EQ(word(rec, 20), 4u);     // channel
    EXPECT_EQ(word(rec, 32), i + 1);  // arrival key
    EXPECT_EQ(word(rec, 52), 3u);     // request counter
    EXPECT_GE(word(rec, 36), device_start);
    EXPECT_LE(word(rec, 36), device_end);
    EXPECT_EQ(word(rec, 128), 0x03000000u);
    EXPECT_EQ(rec[140], 18);              // CIF rows
    EXPECT_EQ(rec[141], 22);              // CIF columns
    EXPECT_EQ(word(rec, 128 + 28), 60u);  // time offset
  }
}

TEST(DvrsimVideoBinary, BadVideoOptionsExitWithStatusTwo) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--resolution", "4k"}, {"--time-offset", "-1"}}) {
    ChildProcess p;
    std::string error;
    ASSERT_TRUE(p.start({kBin + "/tessomar-dvrsim", args[0], args[1]}, &error)) << error;
    auto status = p.wait_exit(kDeadline);
    ASSERT_TRUE(status && status->exited);
    EXPECT_EQ(status->code, 2);
    EXPECT_NE(p.output(Stream::kStderr).find(args[0]), std::string::npos);
  }
}

}  // namespace
}  // namespace tessomar::e2e
