#include "dvrsim/channels.h"

#include <gtest/gtest.h>

#include "link/wire.h"
#include "platform/bytes.h"

namespace tessomar::dvrsim {
namespace {

constexpr uint32_t kVask = link::make_tag("VASK");
constexpr uint32_t kIcmd = link::make_tag("ICMD");

class RecordingContext : public ChannelContext {
 public:
  uint32_t session_key() const override { return 77; }
  bool queue(std::span<const uint8_t> m) override {
    queued.emplace_back(m.begin(), m.end());
    return true;
  }
  std::vector<std::vector<uint8_t>> queued;
};

struct Fixture {
  ChannelRegistry registry;
  RecordingContext ctx;
  std::vector<std::pair<uint32_t, uint32_t>> seen;  // tag, first channel word
  Fixture() {
    for (uint32_t tag : {kVask, kIcmd}) {
      registry.register_handler(tag, [this](ChannelContext&, const ChannelMessage& m) {
        seen.emplace_back(m.tag, m.word(36));
      });
    }
  }
};

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(DvrsimChannels, BuiltMessageHasTheWireLayout) {
  const std::vector<uint8_t> payload = {'a', 'b', 'c'};
  const auto m = build_message(kVask, 0x11223344, {5, 6}, payload);
  ASSERT_EQ(m.size(), 67u);
  EXPECT_EQ(platform::load_u32le(m.data()), 67u);
  EXPECT_EQ(std::vector<uint8_t>(m.begin() + 4, m.begin() + 8),
            (std::vector<uint8_t>{0x56, 0x41, 0x53, 0x4B}));
  EXPECT_EQ(platform::load_u32le(m.data() + 32), 0x11223344u);
  EXPECT_EQ(platform::load_u32le(m.data() + 36), 5u);
  EXPECT_EQ(platform::load_u32le(m.data() + 40), 6u);
  EXPECT_EQ(platform::load_u32le(m.data() + 44), 0u);
  // Checksum over bytes 32..66: the sub-header bytes plus "abc" (294).
  uint32_t sum = 294;
  for (size_t i = 32; i < 64; ++i) sum += m[i];
  EXPECT_EQ(platform::load_u32le(m.data() + 8), sum);
  ChannelMessage view{kVask, m};
  EXPECT_EQ(view.session_key(), 0x11223344u);
  EXPECT_EQ(view.payload().size(), 3u);
  EXPECT_EQ(view.word(64), 0u);  // past the end reads 0
}

TEST(DvrsimChannels, BadChecksumAndUnknownTagAreSkippedOthersDelivered) {
  Fixture f;
  auto bad = build_message(kVask, 77, {1}, {});
  bad[40] ^= 0xFF;  // content no longer matches its checksum
  const auto payload = concat(
      {bad, build_message(link::make_tag("XXXX"), 77, {2}, {}), build_message(kIcmd, 77, {3}, {})});
  const DispatchStats st = dispatch_messages(f.registry, f.ctx, payload);
  EXPECT_EQ(f.seen, (std::vector<std::pair<uint32_t, uint32_t>>{{kIcmd, 3}}));
  EXPECT_EQ(st.delivered, 1u);
  EXPECT_EQ(st.skipped, 2u);
  EXPECT_FALSE(st.truncated);
}

TEST(DvrsimChannels, MalformedLengthDropsTheRest) {
  struct Case {
    const char* name;
    uint32_t second_length;
  };
  for (const Case& k : {Case{"runs past the end", 1000}, Case{"below 32", 31}, Case{"zero", 0}}) {
    SCOPED_TRACE(k.name);
    Fixture f;
    auto second = build_message(kIcmd, 77, {2}, {});
    platform::store_u32le(second.data(), k.second_length);
    const auto payload =
        concat({build_message(kVask, 77, {1}, {}), second, build_message(kIcmd, 77, {3}, {})});
    const DispatchStats st = dispatch_messages(f.registry, f.ctx, payload);
    EXPECT_EQ(f.seen, (std::vector<std::pair<uint32_t, uint32_t>>{{kVask, 1}}));
    EXPECT_TRUE(st.truncated);
  }
}

TEST(DvrsimChannels, AtMostAThousandMessagesPerPayload) {
  Fixture f;
  std::vector<uint8_t> payload;
  const auto one = build_message(kVask, 77, {1}, {});
  for (int i = 0; i < 1001; ++i) payload.insert(payload.end(), one.begin(), one.end());
  const DispatchStats st = dispatch_messages(f.registry, f.ctx, payload);
  EXPECT_EQ(st.delivered, 1000u);
  EXPECT_TRUE(st.truncated);
}

TEST(DvrsimChannels, RegistryHoldsThirtyTwoTagsFirstRegistrationWins) {
  ChannelRegistry r;
  int which = 0;
  EXPECT_TRUE(
      r.register_handler(kVask, [&](ChannelContext&, const ChannelMessage&) { which = 1; }));
  EXPECT_FALSE(
      r.register_handler(kVask, [&](ChannelContext&, const ChannelMessage&) { which = 2; }));
  for (uint32_t i = 1; i < ChannelRegistry::kMaxChannels; ++i) {
    EXPECT_TRUE(r.register_handler(i, [](ChannelContext&, const ChannelMessage&) {}));
  }
  EXPECT_FALSE(r.register_handler(1000, [](ChannelContext&, const ChannelMessage&) {}));
  EXPECT_EQ(r.find(1000), nullptr);
  RecordingContext ctx;
  const auto* h = r.find(kVask);
  ASSERT_NE(h, nullptr);
  (*h)(ctx, ChannelMessage{});
  EXPECT_EQ(which, 1);
}

}  // namespace
}  // namespace tessomar::dvrsim
