#include "channels/ictl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "channels/channel_fixture.h"

namespace tessomar::channels {
namespace {

using testing::ChannelFixture;

constexpr uint32_t kKey = 0x00C0FFEE;

std::vector<uint8_t> word_bytes(uint32_t v) {
  std::vector<uint8_t> b(4);
  platform::store_u32le(b.data(), v);
  return b;
}

// Body of a named write; `declared` overrides the length field.
std::vector<uint8_t> named_write(const std::string& name, const std::vector<uint8_t>& data,
                                 int64_t declared = -1) {
  std::vector<uint8_t> body(256 + data.size(), 0);
  platform::store_u32le(&body[0], declared >= 0 ? uint32_t(declared) : uint32_t(body.size()));
  std::copy(name.begin(), name.end(), body.begin() + 4);
  std::copy(data.begin(), data.end(), body.begin() + 256);
  return body;
}

class IctlTest : public ChannelFixture {
 protected:
  IctlTest() : ictl(link, form, dialogs) {
    ictl.register_ictl();
    ictl.declare_slots();
    ictl.hooks().upnp_display = [this](uint32_t key) { upnp_displays.push_back(key); };
    open_session(0, kKey, 1);
  }

  void write(const std::string& name, const std::vector<uint8_t>& data, uint32_t notify,
             uint32_t type = kIctlNamedWrite, uint32_t key = kKey) {
    deliver_with_frame_key(kKey, kIctlTag, {key, 0, type, notify}, named_write(name, data));
  }

  IctlChannel ictl;
  std::vector<uint32_t> upnp_displays;
};

TEST_F(IctlTest, DeclaresTheSevenSlotsInOrder) {
  struct Row {
    const char* name;
    size_t size;
    bool notifies;
  } rows[] = {{"Vask_Watermark_Var_R", 4, false},
              {"Vask_Watermark_Var_W", 160, false},
              {"Vask_Upnp_C_Data_W", 4, false},
              {"Vask_Upnp_C_Data_R", 4, true},
              {"Vask_Mach_Type_Data_W", 960, false},
              {"Vask_Mach_Type_Data_R", 960, true},
              {"Vask_ACK_R", 4, true}};
  const auto& slots = ictl.slots();
  for (size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(rows[i].name);
    EXPECT_EQ(slots[i].in_use, 1);
    EXPECT_STREQ(slots[i].name.data(), rows[i].name);
    EXPECT_EQ(slots[i].buffer.size(), rows[i].size);
    EXPECT_EQ(bool(slots[i].notify), rows[i].notifies);
  }
  EXPECT_EQ(slots[7].in_use, 0);
  // Both directions of a pair share one buffer.
  EXPECT_EQ(slots[2].buffer.data(), slots[3].buffer.data());
  EXPECT_EQ(slots[4].buffer.data(), slots[5].buffer.data());
}

TEST_F(IctlTest, UpnpWordIsStoredAndDisplayedOnlyWhenAsked) {
  write("Vask_Upnp_C_Data_R", word_bytes(0x40001F90), 0);
  EXPECT_EQ(platform::load_u32le(ictl.buffers().upnp_word.data()), 0x40001F90u);
  EXPECT_TRUE(upnp_displays.empty());

  // The message's own key is handed on, not looked up.
  write("Vask_Upnp_C_Data_R", word_bytes(0x50), 1, kIctlNamedWrite, 777);
  EXPECT_EQ(platform::load_u32le(ictl.buffers().upnp_word.data()), 0x50u);
  EXPECT_EQ(upnp_displays, std::vector<uint32_t>{777});
}

TEST_F(IctlTest, MachineTypeShowsTheUpnpPageOnlyForAnExactWriteWithThirdWordOne) {
  struct Case {
    size_t size;
    uint32_t third_word;
    bool shown;
  } cases[] = {{959, 1, false}, {961, 1, false}, {960, 0, false}, {960, 2, false}, {960, 1, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.size << " " << c.third_word);
    form["TabSheet7"].set_visible(false);
    ictl.buffers().machine_type.fill(0);
    std::vector<uint8_t> data(c.size, 0xAB);
    platform::store_u32le(&data[8], c.third_word);
    write("Vask_Mach_Type_Data_R", data, 1);
    EXPECT_EQ(form["TabSheet7"].visible(), c.shown);
    bool stored = c.size == 960;
    EXPECT_EQ(ictl.buffers().machine_type[959], stored ? 0xAB : 0);
  }
}

TEST_F(IctlTest, AckShowsTheMessageOnceAndClearsTheWord) {
  write("Vask_ACK_R", word_bytes(1), 1);
  ASSERT_EQ(dialogs.messages().size(), 1u);
  EXPECT_EQ(dialogs.messages()[0],
            (platform::MessageBoxRecord{"Setup Successful.", "Setup Information"}));
  EXPECT_EQ(platform::load_u32le(ictl.buffers().ack_word.data()), 0u);

  write("Vask_ACK_R", word_bytes(0), 1);
  write("vask_ack_r", word_bytes(1), 1);  // names match case and all
  write("Vask_ACK_R", word_bytes(1), 0);  // stored, not acted on
  EXPECT_EQ(dialogs.messages().size(), 1u);
  EXPECT_EQ(platform::load_u32le(ictl.buffers().ack_word.data()), 1u);
}

TEST_F(IctlTest, WatermarkVariablesAreStoredWithoutNotification) {
  std::vector<uint8_t> vars(160);
  for (size_t i = 0; i < vars.size(); ++i) vars[i] = uint8_t(i + 1);
  form["TabSheet7"].set_visible(false);
  write("Vask_Watermark_Var_W", vars, 1);
  EXPECT_TRUE(std::equal(vars.begin(), vars.end(), ictl.buffers().watermark_vars.begin()));
  EXPECT_TRUE(dialogs.messages().empty());
  EXPECT_TRUE(upnp_displays.empty());
  EXPECT_FALSE(form["TabSheet7"].visible());
}

TEST_F(IctlTest, OnlyNamedWritesActAndMalformedBodiesAreDropped) {
  // Type 1 is accepted and does nothing; other types are dropped.
  write("Vask_ACK_R", word_bytes(1), 1, kIctlIgnored);
  write("Vask_ACK_R", word_bytes(1), 1, 2);
  EXPECT_TRUE(dialogs.messages().empty());
  EXPECT_EQ(platform::load_u32le(ictl.buffers().ack_word.data()), 0u);

  // A length field that claims more than arrived, or less than the write header, is not
  // trusted.
  auto body = named_write("Vask_Mach_Type_Data_R", std::vector<uint8_t>(4, 1), 256 + 960);
  deliver(kIctlTag, {kKey, 0, kIctlNamedWrite, 1}, body);
  body = named_write("Vask_ACK_R", word_bytes(1), 100);
  deliver(kIctlTag, {kKey, 0, kIctlNamedWrite, 1}, body);
  std::vector<uint8_t> header_only(100, 0);
  deliver(kIctlTag, {kKey, 0, kIctlNamedWrite, 1}, header_only);
  EXPECT_TRUE(dialogs.messages().empty());
  EXPECT_EQ(ictl.buffers().machine_type[0], 0);
}

TEST_F(IctlTest, TableHoldsFortyEntriesAndCutsLongNames) {
  std::vector<std::array<uint8_t, 4>> storage(40);
  std::vector<uint32_t> notified;
  const std::string long_name(200, 'n');
  EXPECT_EQ(ictl.SlotRegister(long_name, storage[0], [&](uint32_t k) { notified.push_back(k); }),
            7);
  for (int i = 8; i < kNamedSlotCount; ++i) {
    EXPECT_EQ(ictl.SlotRegister("slot" + std::to_string(i), storage[i], nullptr), i);
  }
  EXPECT_EQ(ictl.SlotRegister("one_too_many", storage[1], nullptr), -1);
  write("one_too_many", word_bytes(9), 1);
  EXPECT_EQ(platform::load_u32le(storage[1].data()), 0u);

  write(long_name.substr(0, 127), word_bytes(5), 1);
  EXPECT_EQ(platform::load_u32le(storage[0].data()), 5u);
  EXPECT_EQ(notified, std::vector<uint32_t>{kKey});
}

TEST_F(IctlTest, EntryWithoutBufferTakesOnlyEmptyWrites) {
  int hits = 0;
  ASSERT_EQ(ictl.SlotRegister("Bare", {}, [&](uint32_t) { ++hits; }), 7);
  write("Bare", word_bytes(1), 1);
  EXPECT_EQ(hits, 0);
  write("Bare", {}, 1);
  EXPECT_EQ(hits, 1);
}

TEST_F(IctlTest, SlotWriteBuildsTheNamedWriteMessage) {
  std::vector<uint8_t> word = word_bytes(0xA0001234);
  ictl.SlotWrite(kKey, "Vask_Upnp_C_Data_W", word, 1);
  auto q = take_queued();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].tag, kIctlTag);
  EXPECT_EQ(q[0].total_length, 64u + 256 + 4);
  EXPECT_EQ(q[0].sub[0], kKey);
  EXPECT_EQ(q[0].sub[2], uint32_t(kIctlNamedWrite));
  EXPECT_EQ(q[0].sub[3], 1u);
  const std::vector<uint8_t>& p = q[0].payload;
  ASSERT_EQ(p.size(), 260u);
  EXPECT_EQ(platform::load_u32le(&p[0]), 260u);
  const std::string name = "Vask_Upnp_C_Data_W";
  EXPECT_EQ(std::string(p.begin() + 4, p.begin() + 4 + name.size()), name);
  for (size_t i = 4 + name.size(); i < 256; ++i) ASSERT_EQ(p[i], 0) << i;
  EXPECT_EQ(platform::load_u32le(&p[256]), 0xA0001234u);

  // What we send, we also understand: the write lands in the same-named slot.
  ictl.SlotWrite(kKey, "Vask_ACK_R", word_bytes(1), 1);
  auto back = take_queued();
  ASSERT_EQ(back.size(), 1u);
  deliver(kIctlTag, back[0].sub, back[0].payload);
  EXPECT_EQ(dialogs.messages().size(), 1u);
}

TEST_F(IctlTest, SlotWriteThatCannotBeSentIsDropped) {
  ictl.SlotWrite(kKey + 1, "Vask_ACK_R", word_bytes(1), 1);  // no slot has the key
  EXPECT_TRUE(take_queued().empty());
  // One byte more than the machine type: longer than a request may carry.
  std::vector<uint8_t> big(961, 0);
  ictl.SlotWrite(kKey, "Vask_Mach_Type_Data_W", big, 1);
  EXPECT_TRUE(take_queued().empty());
  ictl.SlotWrite(kKey, "Vask_Mach_Type_Data_W", ictl.buffers().machine_type, 1);
  auto q = take_queued();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].total_length, 1280u);
  ASSERT_EQ(q[0].payload.size(), 256u + 960);
  EXPECT_EQ(platform::load_u32le(&q[0].payload[0]), 256u + 960);
  EXPECT_TRUE(std::all_of(q[0].payload.begin() + 256, q[0].payload.end(),
                          [](uint8_t b) { return b == 0; }));
}

}  // namespace
}  // namespace tessomar::channels
