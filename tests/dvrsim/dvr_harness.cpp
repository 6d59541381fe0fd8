#include "dvrsim/dvr_harness.h"

#include <gtest/gtest.h>

#include "link/wire.h"
#include "platform/bytes.h"

namespace tessomar::dvrsim::testing {

uint32_t WireMessage::word(size_t offset) const {
  if (offset + 4 > bytes.size()) return 0;
  return platform::load_u32le(bytes.data() + offset);
}

std::vector<uint8_t> WireMessage::payload() const {
  if (bytes.size() <= 64) return {};
  return std::vector<uint8_t>(bytes.begin() + 64, bytes.end());
}

std::vector<WireMessage> split_messages(std::span<const uint8_t> payload) {
  std::vector<WireMessage> out;
  size_t pos = 0;
  while (payload.size() - pos >= 32) {
    const uint32_t length = platform::load_u32le(payload.data() + pos);
    if (length < 32 || length > payload.size() - pos) {
      ADD_FAILURE() << "malformed message length " << length << " at " << pos;
      break;
    }
    WireMessage m;
    m.tag = platform::load_u32le(payload.data() + pos + 4);
    m.bytes.assign(payload.begin() + long(pos), payload.begin() + long(pos + length));
    m.checksum_ok = link::message_checksum(m.bytes.data() + 32, length - 32) == m.word(8);
    out.push_back(std::move(m));
    pos += length;
  }
  EXPECT_EQ(pos, payload.size()) << "trailing bytes after the messages";
  return out;
}

DvrHarness::DvrHarness(const DeviceOptions& device) {
  clock_.set_unix(1700000000);
  Options o;
  o.host = "127.0.0.1";
  o.port = 0;
  o.user_level = 8;
  o.password = "4321";
  o.poll_idle_ms = kPollIdleMs;
  o.device = device;
  sim_ = std::make_unique<Simulator>(o, clock_);
  sim_->set_logger([this](std::string_view line) { log_.emplace_back(line); });
  identity_ = std::make_unique<IdentityChannel>(device);
  settings_ = std::make_unique<SettingsChannel>();
  slots_ = std::make_unique<NamedSlotsChannel>(device);
  EXPECT_TRUE(identity_->attach(*sim_));
  EXPECT_TRUE(settings_->attach(*sim_));
  EXPECT_TRUE(slots_->attach(*sim_));
  std::string error;
  EXPECT_TRUE(sim_->bind(&error)) << error;
}

std::array<char, 32> DvrHarness::auth() const {
  return link::make_auth_text("8", "4321", static_cast<uint32_t>(clock_.unix_now()));
}

std::array<char, 32> DvrHarness::bad_auth() const {
  return link::make_auth_text("8", "4322", static_cast<uint32_t>(clock_.unix_now()));
}

uint32_t DvrHarness::open_session(SimClient& c, const std::array<char, 32>* a) {
  if (!c.send(make_request(link::kFrameSessionOpen, 0, a ? *a : auth()))) return 0;
  auto r = c.read_reply();
  if (!r || !r->frame() || r->frame()->type != link::kFrameSessionKey) return 0;
  return r->frame()->value;
}

std::optional<HttpReply> DvrHarness::exchange(SimClient& c, uint32_t key,
                                              const std::vector<std::vector<uint8_t>>& messages,
                                              bool* answered_at_once,
                                              const std::array<char, 32>* a) {
  std::vector<uint8_t> payload;
  for (const auto& m : messages) payload.insert(payload.end(), m.begin(), m.end());
  if (!c.send(make_request(link::kFrameDataPoll, key, a ? *a : auth(), payload))) {
    return std::nullopt;
  }
  const bool at_once = c.any_bytes_within(50);
  if (answered_at_once) *answered_at_once = at_once;
  if (!at_once) clock_.advance_ms(kPollIdleMs);
  return c.read_reply();
}

std::vector<WireMessage> DvrHarness::exchange_messages(
    SimClient& c, uint32_t key, const std::vector<std::vector<uint8_t>>& messages) {
  auto r = exchange(c, key, messages);
  if (!r) {
    ADD_FAILURE() << "no reply";
    return {};
  }
  return split_messages(r->frame_payload());
}

bool DvrHarness::logged(std::string_view text) const {
  for (const auto& l : log_) {
    if (l.find(text) != std::string::npos) return true;
  }
  return false;
}

}  // namespace tessomar::dvrsim::testing
