// The DVR's identity answer to a hello, and the refusal of sessions with bad credentials.
#include "dvrsim/identity.h"

#include <gtest/gtest.h>

#include <string>

#include "dvrsim/dvr_harness.h"
#include "link/wire.h"
#include "platform/bytes.h"

namespace tessomar::dvrsim {
namespace {

using testing::DvrHarness;
using testing::SimClient;
using testing::WireMessage;

std::vector<uint8_t> hello(uint32_t key) {
  std::vector<uint8_t> payload(256, 0);
  platform::store_u32le(payload.data(), 1);
  platform::store_u32le(payload.data() + 4, 1);
  return build_message(kVaskTag, key, {kVaskHello}, payload);
}

// The NUL-terminated text of a 32-byte field.
std::string text_at(const std::vector<uint8_t>& p, size_t offset) {
  std::string s;
  for (size_t i = offset; i < offset + 32 && p[i] != 0; ++i) s += char(p[i]);
  return s;
}

struct IdentityCase {
  const char* name;
  DeviceOptions device;
  uint32_t channels, variant, titles, standard, generation, audio, mail_variant;
  std::string number_text;
};

DeviceOptions device(void (*edit)(DeviceOptions&)) {
  DeviceOptions d;
  edit(d);
  return d;
}

TEST(DvrsimIdentity, HelloIsAnsweredWithTheIdentityOfTheOptions) {
  const IdentityCase cases[] = {
      {"defaults", {}, 16, 0, 1, 1, 2, 1, 0, "[N] 7104"},
      {"4 channels ntsc gen 1", device([](DeviceOptions& d) {
         d.channels = 4;
         d.pal = false;
         d.generation = 1;
       }),
       4, 0, 1, 0, 1, 1, 0, "[N] 7104"},
      {"8 channels, no audio, no titles", device([](DeviceOptions& d) {
         d.channels = 8;
         d.audio = false;
         d.titles = false;
       }),
       8, 0, 0, 1, 2, 2, 0, "[N] 7104"},
      {"variants and number text", device([](DeviceOptions& d) {
         d.model_variant = 1;
         d.mail_variant = 1;
         d.number_text = "[N] 6100";
       }),
       16, 1, 1, 1, 2, 1, 1, "[N] 6100"},
      {"31-character number text",
       device([](DeviceOptions& d) { d.number_text = std::string(31, 'x'); }), 16, 0, 1, 1, 2, 1, 0,
       std::string(31, 'x')},
  };
  for (const IdentityCase& k : cases) {
    SCOPED_TRACE(k.name);
    DvrHarness h(k.device);
    SimClient c(h.sim());
    const uint32_t key = h.open_session(c);
    ASSERT_NE(key, 0u);
    EXPECT_FALSE(h.identity().identified(key));
    bool at_once = false;
    auto r = h.exchange(c, key, {hello(key)}, &at_once);
    ASSERT_TRUE(r);
    EXPECT_TRUE(at_once);
    EXPECT_EQ(r->frame()->type, link::kFrameData);
    auto msgs = testing::split_messages(r->frame_payload());
    ASSERT_EQ(msgs.size(), 1u);
    const WireMessage& m = msgs[0];
    EXPECT_EQ(m.tag, link::make_tag("VASK"));
    EXPECT_TRUE(m.checksum_ok);
    EXPECT_EQ(m.word(0), 64u + 256u);
    EXPECT_EQ(m.key(), key);
    EXPECT_EQ(m.word(36), 1u);  // identity
    const auto p = m.payload();
    ASSERT_EQ(p.size(), 256u);
    EXPECT_EQ(platform::load_u32le(&p[0]), k.channels);
    EXPECT_EQ(platform::load_u32le(&p[4]), k.variant);
    EXPECT_EQ(platform::load_u32le(&p[8]), k.titles);
    EXPECT_EQ(text_at(p, 12), "[OS] dvrsim 1.0");
    EXPECT_EQ(text_at(p, 44), "[SN] SIM0000001");
    EXPECT_EQ(text_at(p, 76), "[B] SIMBOARD");
    EXPECT_EQ(text_at(p, 108), k.number_text);
    EXPECT_EQ(p[139], 0);  // the field keeps its NUL
    EXPECT_EQ(platform::load_u32le(&p[140]), k.standard);
    EXPECT_EQ(platform::load_u32le(&p[148]), k.generation);
    EXPECT_EQ(platform::load_u32le(&p[224]), k.audio);
    EXPECT_EQ(platform::load_u32le(&p[228]), k.mail_variant);
    EXPECT_TRUE(h.identity().identified(key));
  }
}

TEST(DvrsimIdentity, OnlyHellosOfTheFramesOwnSessionAreAnswered) {
  DvrHarness h;
  SimClient a(h.sim());
  SimClient b(h.sim());
  const uint32_t ka = h.open_session(a);
  const uint32_t kb = h.open_session(b);
  ASSERT_TRUE(ka && kb);
  // A hello naming session b inside a frame of session a, and an identity sent by the
  // control: neither is answered.
  auto id = build_message(kVaskTag, ka, {kVaskIdentity}, std::vector<uint8_t>(256, 0));
  bool at_once = true;
  auto r = h.exchange(a, ka, {hello(kb), id}, &at_once);
  ASSERT_TRUE(r);
  EXPECT_FALSE(at_once);
  EXPECT_TRUE(r->frame_payload().empty());
  EXPECT_FALSE(h.identity().identified(ka));
  EXPECT_FALSE(h.identity().identified(kb));
}

// The control ignores type 4 answers; it learns of bad credentials only from a refusal.
TEST(DvrsimIdentity, BadCredentialsGetAVaskRefusalAndEndTheSession) {
  struct Case {
    const char* name;
    bool open_with_bad;  // the session open itself carried the bad credentials
    int64_t skew;        // seconds added to the time of the data frame's credentials
    bool wrong_password;
  };
  const Case cases[] = {
      {"bad open, bad hello", true, 0, true},
      {"good open, wrong password on the hello", false, 0, true},
      {"good open, stale time on the hello", false, -301, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    DvrHarness h;
    SimClient c(h.sim());
    const auto bad_open = h.bad_auth();
    const uint32_t key = h.open_session(c, k.open_with_bad ? &bad_open : nullptr);
    ASSERT_NE(key, 0u);  // even a bad open gets a key, so that the hello can be refused
    const auto data_auth =
        k.wrong_password
            ? h.bad_auth()
            : link::make_auth_text("8", "4321", uint32_t(h.clock().unix_now() + k.skew));
    bool at_once = false;
    auto r = h.exchange(c, key, {hello(key)}, &at_once, &data_auth);
    ASSERT_TRUE(r);
    EXPECT_TRUE(at_once);
    EXPECT_EQ(r->frame()->type, link::kFrameData);
    EXPECT_EQ(r->frame()->value, key);
    auto msgs = testing::split_messages(r->frame_payload());
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].tag, link::make_tag("VASK"));
    EXPECT_TRUE(msgs[0].checksum_ok);
    EXPECT_EQ(msgs[0].word(0), 64u);  // no payload
    EXPECT_EQ(msgs[0].key(), key);
    EXPECT_EQ(msgs[0].word(36), 2u);  // refusal
    EXPECT_TRUE(h.logged("refused: bad credentials"));
    EXPECT_FALSE(h.identity().identified(key));  // the hello was not handled
    // The session is gone: even good credentials on its key now get an empty type 4.
    EXPECT_EQ(h.sim().sessions().find(key), nullptr);
    ASSERT_TRUE(c.send(testing::make_request(link::kFrameDataPoll, key, h.auth())));
    r = c.read_reply();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->frame()->type, link::kFrameNone4);
  }
}

TEST(DvrsimIdentity, BadCredentialsOnAnUnknownKeyGetAnEmptyType4) {
  DvrHarness h;
  SimClient c(h.sim());
  const uint32_t key = h.open_session(c);
  ASSERT_NE(key, 0u);
  ASSERT_TRUE(c.send(testing::make_request(link::kFrameDataPoll, key + 7, h.bad_auth())));
  auto r = c.read_reply();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->frame()->type, link::kFrameNone4);
  EXPECT_TRUE(r->frame_payload().empty());
  EXPECT_TRUE(h.logged("refused: bad credentials"));
  // The live session is untouched.
  EXPECT_NE(h.sim().sessions().find(key), nullptr);
}

}  // namespace
}  // namespace tessomar::dvrsim
