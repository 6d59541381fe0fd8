// The DVR's answers to the control's named data slot writes over ICTL.
#include "dvrsim/named_slots.h"

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

constexpr uint32_t kIctl = link::make_tag("ICTL");

// A named write as the control builds it: sub-header {key, 0, type, notify}, the 256-byte
// write header {256 + size, name} and the data.
std::vector<uint8_t> slot_write(uint32_t key, const std::string& name,
                                const std::vector<uint8_t>& data, uint32_t notify = 1,
                                uint32_t type = 0, uint32_t length_delta = 0) {
  std::vector<uint8_t> body(256 + data.size(), 0);
  platform::store_u32le(&body[0], uint32_t(body.size()) + length_delta);
  std::copy(name.begin(), name.end(), body.begin() + 4);
  std::copy(data.begin(), data.end(), body.begin() + 256);
  return build_message(kIctl, key, {0, type, notify}, body);
}

std::vector<uint8_t> word_bytes(uint32_t v) {
  std::vector<uint8_t> b(4);
  platform::store_u32le(b.data(), v);
  return b;
}

// Checks a named write from the DVR and returns its data.
std::vector<uint8_t> written(const WireMessage& m, uint32_t key, const std::string& name,
                             uint32_t notify) {
  EXPECT_EQ(m.tag, kIctl);
  EXPECT_TRUE(m.checksum_ok);
  EXPECT_EQ(m.key(), key);
  EXPECT_EQ(m.word(40), 0u);  // named write
  EXPECT_EQ(m.word(44), notify);
  const auto body = m.payload();
  if (body.size() < 256) {
    ADD_FAILURE() << "body of " << body.size() << " bytes";
    return {};
  }
  EXPECT_EQ(platform::load_u32le(&body[0]), body.size());
  std::string got;
  for (size_t i = 4; i < 132 && body[i] != 0; ++i) got += char(body[i]);
  EXPECT_EQ(got, name);
  for (size_t i = 4 + name.size(); i < 256; ++i) EXPECT_EQ(body[i], 0) << "header byte " << i;
  return std::vector<uint8_t>(body.begin() + 256, body.end());
}

TEST(DvrsimNamedSlots, MachineTypeAnswerSaysWhetherUpnpIsOffered) {
  for (bool upnp : {false, true}) {
    SCOPED_TRACE(upnp ? "upnp on" : "upnp off");
    DeviceOptions d;
    d.upnp = upnp;
    d.channels = 8;
    DvrHarness h(d);
    SimClient c(h.sim());
    const uint32_t key = h.open_session(c);
    ASSERT_NE(key, 0u);
    auto msgs = h.exchange_messages(
        c, key, {slot_write(key, "Vask_Mach_Type_Data_W", std::vector<uint8_t>(960, 0))});
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].bytes.size(), 1280u);  // within the control's frame limit
    const auto data = written(msgs[0], key, "Vask_Mach_Type_Data_R", 1);
    ASSERT_EQ(data.size(), 960u);
    EXPECT_EQ(platform::load_u32le(&data[8]), upnp ? 1u : 0u);
    EXPECT_EQ(platform::load_u32le(&data[0]), 8u);
  }
}

TEST(DvrsimNamedSlots, UpnpWordIsReadAndWrittenWithAnAcknowledgement) {
  DvrHarness h;
  SimClient c(h.sim());
  const uint32_t key = h.open_session(c);
  ASSERT_NE(key, 0u);
  const std::string w = "Vask_Upnp_C_Data_W";
  constexpr uint32_t kRead = 1u << 31, kOn = 1u << 30, kWrite = 1u << 29;

  // A refresh: the read bit with the control's own (stale) port; the answer is the DVR's.
  auto msgs = h.exchange_messages(c, key, {slot_write(key, w, word_bytes(kRead | 1234))});
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(written(msgs[0], key, "Vask_Upnp_C_Data_R", 1), word_bytes(80));

  // An apply: stored without the request bits, echoed, and acknowledged.
  msgs = h.exchange_messages(c, key, {slot_write(key, w, word_bytes(kWrite | kOn | 8080))});
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(written(msgs[0], key, "Vask_Upnp_C_Data_R", 1), word_bytes(kOn | 8080));
  EXPECT_EQ(written(msgs[1], key, "Vask_ACK_R", 1), word_bytes(1));
  EXPECT_EQ(h.named_slots().upnp_word(), kOn | 8080);

  msgs = h.exchange_messages(c, key, {slot_write(key, w, word_bytes(kRead))});
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(written(msgs[0], key, "Vask_Upnp_C_Data_R", 1), word_bytes(kOn | 8080));
}

TEST(DvrsimNamedSlots, WatermarkAnswerCarriesAFixedNonZeroSeed) {
  std::vector<uint8_t> first;
  for (int run = 0; run < 2; ++run) {
    DvrHarness h;
    SimClient c(h.sim());
    const uint32_t key = h.open_session(c);
    ASSERT_NE(key, 0u);
    auto msgs =
        h.exchange_messages(c, key, {slot_write(key, "Vask_Watermark_Var_R", word_bytes(3))});
    ASSERT_EQ(msgs.size(), 1u);
    const auto data = written(msgs[0], key, "Vask_Watermark_Var_W", 0);
    ASSERT_EQ(data.size(), 160u);
    EXPECT_NE(platform::load_u32le(&data[36]), 0u);
    if (run == 0) {
      first = data;
    } else {
      EXPECT_EQ(data, first);  // the same simulator gives the same variables
    }
  }
}

TEST(DvrsimNamedSlots, MalformedOrUnknownWritesAreIgnored) {
  struct Case {
    const char* name;
    std::vector<uint8_t> (*make)(uint32_t key);
  };
  const Case cases[] = {
      {"wrong size",
       [](uint32_t k) {
         return slot_write(k, "Vask_Mach_Type_Data_W", std::vector<uint8_t>(959, 0));
       }},
      {"name in lower case",
       [](uint32_t k) { return slot_write(k, "vask_upnp_c_data_w", word_bytes(1u << 31)); }},
      {"unknown name", [](uint32_t k) { return slot_write(k, "Vask_Nothing", word_bytes(1)); }},
      {"type 1",
       [](uint32_t k) { return slot_write(k, "Vask_Upnp_C_Data_W", word_bytes(1u << 31), 1, 1); }},
      {"notify 0",
       [](uint32_t k) { return slot_write(k, "Vask_Watermark_Var_R", word_bytes(0), 0); }},
      {"body length past the message",
       [](uint32_t k) {
         return slot_write(k, "Vask_Upnp_C_Data_W", word_bytes(1u << 31), 1, 0, 4);
       }},
      {"body length below the header",
       [](uint32_t k) {
         return slot_write(k, "Vask_Upnp_C_Data_W", word_bytes(1u << 31), 1, 0, uint32_t(-5));
       }},
      {"name without its NUL",
       [](uint32_t k) { return slot_write(k, std::string(128, 'V'), word_bytes(1u << 31)); }},
      {"upnp word without request bits",
       [](uint32_t k) { return slot_write(k, "Vask_Upnp_C_Data_W", word_bytes(99)); }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    DvrHarness h;
    SimClient c(h.sim());
    const uint32_t key = h.open_session(c);
    ASSERT_NE(key, 0u);
    bool at_once = true;
    auto r = h.exchange(c, key, {k.make(key)}, &at_once);
    ASSERT_TRUE(r);
    EXPECT_FALSE(at_once);
    EXPECT_TRUE(r->frame_payload().empty());
    EXPECT_EQ(h.named_slots().upnp_word(), 80u);
  }
}

}  // namespace

TEST(DvrsimNamedSlots, UpnpWordsTheStoreRefusesAreNotAcknowledged) {
  DvrHarness h;
  h.named_slots().use_store(&h.settings().store());
  SimClient c(h.sim());
  const uint32_t key = h.open_session(c);
  ASSERT_NE(key, 0u);
  constexpr uint32_t kOn = 1u << 30, kWrite = 1u << 29;
  auto msgs = h.exchange_messages(
      c, key, {slot_write(key, "Vask_Upnp_C_Data_W", word_bytes(kWrite | kOn))});  // port 0
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(written(msgs[0], key, "Vask_Upnp_C_Data_R", 1), word_bytes(80));
  msgs = h.exchange_messages(
      c, key, {slot_write(key, "Vask_Upnp_C_Data_W", word_bytes(kWrite | kOn | 8081))});
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(h.settings().store().upnp_word(), kOn | 8081);
}

}  // namespace tessomar::dvrsim
