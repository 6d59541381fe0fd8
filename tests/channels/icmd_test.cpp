#include "channels/icmd.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "link/ring.h"
#include "link/wire.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/form.h"

namespace tessomar::channels {
namespace {

using platform::load_u32le;
using platform::store_u32le;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kKey0 = 0x11110000;
constexpr uint32_t kKey1 = 0x22220000;

// One ICMD message as it left a send queue.
struct Sent {
  uint32_t key = 0;
  uint32_t operation = 0;
  uint32_t record_id = 0;
  int32_t mode = 0;
  uint32_t sequence = 0;
  Bytes image;
};

Bytes setup_record(uint32_t sub_id, const Bytes& data) {
  Bytes r(kSetupHeaderSize, 0);
  store_u32le(r.data(), sub_id);
  store_u32le(r.data() + 4, uint32_t(kSetupHeaderSize + data.size()));
  uint32_t sum = 0;
  for (uint8_t b : data) sum += b;
  store_u32le(r.data() + 8, sum);
  r.insert(r.end(), data.begin(), data.end());
  return r;
}

Bytes filled(size_t n, uint8_t first) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(first + i);
  return b;
}

class IcmdTest : public ::testing::Test {
 protected:
  IcmdTest() : link_(form_, clock_, logger_, [] { return 0u; }), icmd_(link_, dialogs_) {
    link_.init_slots();
    icmd_.register_icmd();
    link_.slot(0).session_key = kKey0;
    link_.slot(0).live = 1;
    link_.slot(1).session_key = kKey1;  // live only where a test says so
    // Slot 1 has no send storage of its own until the peer opens a session; give it one here.
    link_.slot(1).send_queue.ring = &ring1_;
    ring1_ = link::ByteRing{0, 0, uint32_t(storage1_.size()), storage1_.data()};

    IcmdHooks& h = icmd_.hooks();
    h.hello_first_word = [this](int slot) { return hello_[slot]; };
    h.clear_reorder_table = [this](int slot) { reorder_clears_.push_back(slot); };
    h.show_live_layout = [this](int layout, int first, int selected) {
      layouts_.emplace_back(layout, first, selected);
    };
    h.refill_tab = [this](uint32_t sub_id, const SessionState& s) {
      refills_.push_back(sub_id);
      EXPECT_EQ(&s, &icmd_.session(0));
    };
    h.group_enabled = [this](int group, bool on) { groups_.emplace_back(group, on); };
  }

  // A whole message from the DVR, header included, on the given session key.
  static Bytes message(uint32_t key, uint32_t operation, uint32_t record_id, int32_t mode,
                       const Bytes& image) {
    Bytes m(64, 0);
    store_u32le(m.data() + 4, kTagIcmd);
    store_u32le(m.data() + 32, key);
    store_u32le(m.data() + 36, operation);
    store_u32le(m.data() + 40, record_id);
    store_u32le(m.data() + 44, uint32_t(mode));
    store_u32le(m.data() + 48, 77);  // the peer's sequence; never used
    m.insert(m.end(), image.begin(), image.end());
    store_u32le(m.data(), uint32_t(m.size()));
    store_u32le(m.data() + 8, link::message_checksum(m.data() + 32, uint32_t(m.size() - 32)));
    return m;
  }

  void deliver(const Bytes& m) { link_.dispatch_messages(kKey0, m.data(), uint32_t(m.size())); }

  // Takes everything queued on a ring and parses it; checks tag, length and checksum.
  static std::vector<Sent> drain(link::ByteRing* ring) {
    uint32_t n = link::ring_used(ring->write_pos, ring->read_pos, ring->size);
    Bytes all(n);
    if (n > 0) {
      EXPECT_EQ(link::ring_read(ring, all.data(), n), 0);
    }
    std::vector<Sent> out;
    size_t pos = 0;
    while (pos + 64 <= all.size()) {
      const uint8_t* m = all.data() + pos;
      uint32_t total = load_u32le(m);
      EXPECT_GE(total, 64u);
      EXPECT_LE(pos + total, all.size());
      if (total < 64 || pos + total > all.size()) break;
      EXPECT_EQ(load_u32le(m + 4), kTagIcmd);
      EXPECT_EQ(load_u32le(m + 8), link::message_checksum(m + 32, total - 32));
      Sent s;
      s.key = load_u32le(m + 32);
      s.operation = load_u32le(m + 36);
      s.record_id = load_u32le(m + 40);
      s.mode = int32_t(load_u32le(m + 44));
      s.sequence = load_u32le(m + 48);
      s.image.assign(m + 64, m + total);
      out.push_back(s);
      pos += total;
    }
    EXPECT_EQ(pos, all.size());
    return out;
  }
  std::vector<Sent> sent0() { return drain(link_.slot(0).send_queue.ring); }
  std::vector<Sent> sent1() { return drain(&ring1_); }

  SessionState& s0() { return icmd_.session(0); }

  platform::Logger logger_;
  platform::Form form_;
  platform::ManualClock clock_;
  platform::HeadlessDialogs dialogs_{logger_};
  link::Link link_;
  IcmdChannel icmd_;
  link::ByteRing ring1_;
  std::array<uint8_t, link::kSendRingSize> storage1_{};
  std::array<uint32_t, 2> hello_{1, 1};
  std::vector<int> reorder_clears_;
  std::vector<std::tuple<int, int, int>> layouts_;
  std::vector<uint32_t> refills_;
  std::vector<std::pair<int, bool>> groups_;
};

TEST_F(IcmdTest, InitialStateAndRegistration) {
  const SessionState& s = icmd_.session(1);
  EXPECT_EQ(s.slot, 1);
  EXPECT_EQ(s.mode, kModeLive);
  EXPECT_EQ(load_u32le(s.bitrate.data()), 9u);
  EXPECT_EQ(load_u32le(s.live.data() + kLiveWidth), 704u);
  EXPECT_EQ(load_u32le(s.live.data() + kLiveHeight), 576u);
  EXPECT_EQ(s.reenableCounters, (std::array<int32_t, 4>{0, 0, 0, 0}));
  EXPECT_EQ(link_.registry()[0].tag, kTagIcmd);
  EXPECT_EQ(link_.registry()[0].buffer.size(), kIcmdBufferSize);
}

TEST_F(IcmdTest, SendCarriesSubHeaderAndSequenceFromOne) {
  s0().mode = kModePlayback;
  icmd_.IcmdSend(kKey0, kOpSet, kRecordPlayback, 0);
  icmd_.IcmdSend(kKey0, kOpSet, kRecordLive, 0);
  icmd_.IcmdSend(0xDEAD, kOpSet, kRecordLive, 0);  // no such slot: nothing, no sequence
  icmd_.IcmdSend(kKey0, kOpSet, kRecordNone, 0);

  auto sent = sent0();
  ASSERT_EQ(sent.size(), 3u);
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(sent[i].key, kKey0);
    EXPECT_EQ(sent[i].operation, kOpSet);
    EXPECT_EQ(sent[i].mode, kModePlayback);
    EXPECT_EQ(sent[i].sequence, i + 1);
  }
  EXPECT_EQ(sent[1].image, Bytes(s0().live.begin(), s0().live.end()));
  EXPECT_EQ(load_u32le(sent[1].image.data() + kLiveWidth), 704u);
  EXPECT_EQ(s0().sendSequence, 3u);
  EXPECT_EQ(icmd_.session(1).sendSequence, 0u);
  // View state sends start a new video request; id 2048 carries nothing and clears nothing.
  EXPECT_EQ(reorder_clears_, (std::vector<int>{0, 0}));
}

TEST_F(IcmdTest, ImageSizeFollowsOperationMask) {
  struct Case {
    uint32_t operation, record_id, value, image_size;
  };
  const Case cases[] = {
      {kOpSet, kRecordLive, 0, 64},
      {kOpReport, kRecordPlayback, 0, 64},
      {kOpSet, kRecordBackup, 0, 64},
      {kOpQuery, kRecordLive, 0, 0},
      {kOpSet, kRecordNone, 0, 0},
      {kOpQuery, kRecordSetup, kSetupBitrate, 76},
      {kOpSet, kRecordSetup, kSetupPppoe, 140},
      {kOpReport, kRecordSetup, kSetupDdns, 188},
      {kOpSet, kRecordSetup, kSetupMail, 328},
      {kOpSet, kRecordSetup, kSetupMailInterval, 328},
      {kOpSet, kRecordSetup, 32, 72},
      {kOpSet, 777, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.operation) + "/" + std::to_string(c.record_id) + "/" +
                 std::to_string(c.value));
    icmd_.IcmdSend(kKey0, c.operation, c.record_id, c.value);
    auto sent = sent0();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].record_id, c.record_id);
    EXPECT_EQ(sent[0].image.size(), c.image_size);
  }
}

TEST_F(IcmdTest, SetupQueryCarriesHeaderDataAndDisablesGroup) {
  Bytes pppoe = filled(kPppoeSize, 200);  // sum exceeds 255 several times over
  std::copy(pppoe.begin(), pppoe.end(), s0().pppoe.begin());
  icmd_.IcmdSend(kKey0, kOpQuery, kRecordSetup, kSetupPppoe);

  auto sent = sent0();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].image, setup_record(kSetupPppoe, pppoe));
  EXPECT_EQ(s0().reenableCounters[kGroupPppoe], 0);
  EXPECT_EQ(groups_, (std::vector<std::pair<int, bool>>{{kGroupPppoe, false}}));
  EXPECT_EQ(reorder_clears_, (std::vector<int>{0}));

  // The bitrate group is never disabled.
  groups_.clear();
  icmd_.IcmdSend(kKey0, kOpSet, kRecordSetup, kSetupBitrate);
  EXPECT_EQ(s0().reenableCounters[kGroupBitrate], kGroupIdle);
  EXPECT_EQ(groups_, (std::vector<std::pair<int, bool>>{{kGroupBitrate, true}}));
}

TEST_F(IcmdTest, ReceivedLiveSetIsStoredAndShownInLiveMode) {
  s0().mode = kModePlayback;
  Bytes live(64, 0);
  store_u32le(live.data() + kLiveLayout, 2);
  store_u32le(live.data() + kLiveFirstChannel, 9);
  store_u32le(live.data() + kLiveSelectedChannel, 3);
  store_u32le(live.data() + 40, 0xABCD);
  deliver(message(kKey0, kOpSet, kRecordLive, kModeLive, live));

  EXPECT_EQ(Bytes(s0().live.begin(), s0().live.end()), live);
  EXPECT_EQ(s0().mode, kModeLive);
  EXPECT_EQ(layouts_, (std::vector<std::tuple<int, int, int>>{{2, 9, 3}}));

  // In another mode the key form is left alone.
  store_u32le(live.data(), 1);
  deliver(message(kKey0, kOpSet, kRecordLive, kModeSetup, live));
  EXPECT_EQ(s0().mode, kModeSetup);
  EXPECT_EQ(load_u32le(s0().live.data()), 1u);
  EXPECT_EQ(layouts_.size(), 1u);
}

TEST_F(IcmdTest, OnlyASetAdoptsTheSendersMode) {
  struct Case {
    uint32_t operation, record_id;
    Bytes image;
    bool adopts;
  };
  const Case cases[] = {
      {kOpSet, kRecordPlayback, Bytes(64, 5), true},
      {kOpSet, kRecordBackup, Bytes(64, 6), true},
      {kOpSet, kRecordSetup, setup_record(kSetupBitrate, {3, 0, 0, 0}), true},
      {kOpReport, kRecordLive, Bytes(64, 7), false},
      {kOpReport, kRecordBackup, Bytes(64, 8), false},
      {kOpReport, kRecordSetup, setup_record(kSetupBitrate, {4, 0, 0, 0}), false},
      {kOpQuery, kRecordLive, {}, false},
      {kOpQuery, kRecordSetup, {1, 0, 0, 0}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.operation) + "/" + std::to_string(c.record_id));
    s0().mode = kModeSetup;
    deliver(message(kKey0, c.operation, c.record_id, kModeBackup, c.image));
    EXPECT_EQ(s0().mode, c.adopts ? kModeBackup : kModeSetup);
    sent0();
  }
  EXPECT_EQ(Bytes(s0().playback.begin(), s0().playback.end()), Bytes(64, 5));
  EXPECT_EQ(s0().backup[63], 8);  // a report is stored, only the mode is not taken
  EXPECT_EQ(s0().live[0], 7);
  EXPECT_EQ(load_u32le(s0().bitrate.data()), 4u);
}

TEST_F(IcmdTest, RelaysFollowRecordOperationAndHello) {
  link_.slot(1).live = 1;
  store_u32le(icmd_.session(1).live.data(), 0x51);  // slot 1's own image goes out
  Bytes pppoe1 = filled(kPppoeSize, 9);
  std::copy(pppoe1.begin(), pppoe1.end(), icmd_.session(1).pppoe.begin());
  const Bytes pppoe_in = filled(kPppoeSize, 40);

  struct Case {
    const char* name;
    uint32_t operation, record_id;
    Bytes image;
    uint32_t hello0, hello1;
    bool slot1_live;
    size_t to_slot0, to_slot1;
  };
  const Case cases[] = {
      {"live set, both hello 1", kOpSet, kRecordLive, Bytes(64, 1), 1, 1, true, 0, 1},
      {"live set, other hello 0", kOpSet, kRecordLive, Bytes(64, 1), 1, 0, true, 0, 0},
      {"live set, other hello 2", kOpSet, kRecordLive, Bytes(64, 1), 1, 2, true, 0, 0},
      {"live set, origin hello 2", kOpSet, kRecordLive, Bytes(64, 1), 2, 1, true, 0, 0},
      {"live set, other not live", kOpSet, kRecordLive, Bytes(64, 1), 1, 1, false, 0, 0},
      {"live report", kOpReport, kRecordLive, Bytes(64, 1), 1, 1, true, 0, 0},
      {"playback set", kOpSet, kRecordPlayback, Bytes(64, 1), 1, 1, true, 0, 0},
      {"backup set", kOpSet, kRecordBackup, Bytes(64, 1), 1, 1, true, 0, 0},
      {"setup set, hello 2 / 0", kOpSet, kRecordSetup, setup_record(kSetupPppoe, pppoe_in), 2, 0,
       true, 1, 1},
      {"setup set, other not live", kOpSet, kRecordSetup, setup_record(kSetupPppoe, pppoe_in), 1, 1,
       false, 1, 0},
      {"setup set, origin hello 0", kOpSet, kRecordSetup, setup_record(kSetupPppoe, pppoe_in), 0, 1,
       true, 0, 0},
      {"setup report", kOpReport, kRecordSetup, setup_record(kSetupPppoe, pppoe_in), 1, 1, true, 0,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hello_ = {c.hello0, c.hello1};
    link_.slot(1).live = c.slot1_live ? 1 : 0;
    deliver(message(kKey0, c.operation, c.record_id, kModeLive, c.image));
    auto out0 = sent0();
    auto out1 = sent1();
    ASSERT_EQ(out0.size(), c.to_slot0);
    ASSERT_EQ(out1.size(), c.to_slot1);
    for (const Sent& s : out0) {
      EXPECT_EQ(s.key, kKey0);
      EXPECT_EQ(s.operation, kOpReport);
      EXPECT_EQ(s.record_id, c.record_id);
    }
    for (const Sent& s : out1) {
      EXPECT_EQ(s.key, kKey1);
      EXPECT_EQ(s.operation, kOpReport);
      EXPECT_EQ(s.record_id, c.record_id);
      if (c.record_id == kRecordLive) {
        EXPECT_EQ(load_u32le(s.image.data()), 0x51u);
      } else {
        EXPECT_EQ(s.image, setup_record(kSetupPppoe, pppoe1));
      }
    }
    if (c.record_id == kRecordSetup && c.to_slot0 == 1) {
      // The origin's report carries what was just stored there.
      EXPECT_EQ(out0[0].image, setup_record(kSetupPppoe, pppoe_in));
    }
  }
}

TEST_F(IcmdTest, OwnSetComingBackConfirmsOnceThenOverwrites) {
  Bytes entered = filled(kPppoeSize, 1);
  std::copy(entered.begin(), entered.end(), s0().pppoe.begin());
  s0().pendingSetup = kSetupPppoe | kSetupDdns;
  icmd_.IcmdSend(kKey0, kOpSet, kRecordSetup, kSetupPppoe);
  sent0();
  groups_.clear();

  const Bytes from_dvr = filled(kPppoeSize, 100);
  hello_ = {0, 0};
  deliver(message(kKey0, kOpReport, kRecordSetup, kModeSetup, setup_record(kSetupPppoe, from_dvr)));
  ASSERT_EQ(dialogs_.messages().size(), 1u);
  EXPECT_EQ(dialogs_.messages()[0],
            (platform::MessageBoxRecord{"Setup Successful.", "Setup Information"}));
  EXPECT_EQ(Bytes(s0().pppoe.begin(), s0().pppoe.end()), entered);
  EXPECT_EQ(s0().pendingSetup, kSetupDdns);
  EXPECT_EQ(refills_, (std::vector<uint32_t>{kSetupPppoe}));
  EXPECT_EQ(groups_, (std::vector<std::pair<int, bool>>{{kGroupPppoe, true}}));
  EXPECT_EQ(s0().reenableCounters[kGroupPppoe], kGroupIdle);

  deliver(message(kKey0, kOpReport, kRecordSetup, kModeSetup, setup_record(kSetupPppoe, from_dvr)));
  EXPECT_EQ(dialogs_.messages().size(), 1u);
  EXPECT_EQ(Bytes(s0().pppoe.begin(), s0().pppoe.end()), from_dvr);
  EXPECT_EQ(refills_.size(), 2u);
}

TEST_F(IcmdTest, InvalidSetupRecordsAreIgnoredSilently) {
  const Bytes data = filled(kDdnsSize, 30);
  Bytes bad_sum = setup_record(kSetupDdns, data);
  store_u32le(bad_sum.data() + 8, load_u32le(bad_sum.data() + 8) + 1);
  Bytes short_length = setup_record(kSetupDdns, data);
  store_u32le(short_length.data() + 4, kSetupHeaderSize + kDdnsSize - 1);
  Bytes truncated = setup_record(kSetupDdns, data);
  truncated.resize(kSetupHeaderSize + 50);  // declares 116 data bytes, 50 arrived
  Bytes unknown_with_sum = setup_record(32, {});
  store_u32le(unknown_with_sum.data() + 8, 1);
  Bytes header_only = setup_record(kSetupDdns, data);
  header_only.resize(8);

  const std::pair<const char*, Bytes> cases[] = {
      {"bad checksum", bad_sum},       {"length field too short", short_length},
      {"truncated", truncated},        {"unknown sub-id, checksum 1", unknown_with_sum},
      {"partial header", header_only},
  };
  for (const auto& [name, record] : cases) {
    SCOPED_TRACE(name);
    hello_ = {0, 0};  // no relay report, which would disable the group again
    s0().pendingSetup = kSetupDdns | 32;
    icmd_.IcmdSend(kKey0, kOpQuery, kRecordSetup, kSetupDdns);
    sent0();
    groups_.clear();
    deliver(message(kKey0, kOpSet, kRecordSetup, kModeSetup, record));
    EXPECT_TRUE(dialogs_.messages().empty());
    EXPECT_EQ(s0().pendingSetup, kSetupDdns | 32);
    EXPECT_EQ(s0().reenableCounters[kGroupDdns], 0);
    EXPECT_TRUE(groups_.empty());
    EXPECT_TRUE(refills_.empty());
    EXPECT_EQ(s0().ddns, (std::array<uint8_t, kDdnsSize>{}));
    EXPECT_EQ(s0().mode, kModeLive);
  }
}

TEST_F(IcmdTest, UnknownSubIdWithZeroChecksumIsAcceptedEmpty) {
  s0().pendingSetup = 32 | kSetupMail;
  const SessionState before = s0();
  hello_ = {0, 0};
  deliver(message(kKey0, kOpSet, kRecordSetup, kModeSetup, setup_record(32, {})));
  EXPECT_EQ(s0().pendingSetup, kSetupMail);
  EXPECT_EQ(s0().mode, kModeSetup);
  EXPECT_TRUE(refills_.empty());
  EXPECT_TRUE(groups_.empty());
  EXPECT_TRUE(dialogs_.messages().empty());
  EXPECT_EQ(s0().mail, before.mail);
  EXPECT_EQ(s0().bitrate, before.bitrate);
}

TEST_F(IcmdTest, DisabledGroupsComeBackAfterExactly1000Ticks) {
  // The counters start at 0, so every group comes back once 1000 ticks after start.
  for (int i = 0; i < 999; ++i) icmd_.reenable_tick();
  EXPECT_TRUE(groups_.empty());
  icmd_.reenable_tick();
  EXPECT_EQ(
      groups_,
      (std::vector<std::pair<int, bool>>{
          {kGroupBitrate, true}, {kGroupPppoe, true}, {kGroupDdns, true}, {kGroupMail, true}}));
  EXPECT_EQ(s0().reenableCounters, (std::array<int32_t, 4>{1001, 1001, 1001, 1001}));

  groups_.clear();
  icmd_.IcmdSend(kKey0, kOpSet, kRecordSetup, kSetupMailInterval);
  EXPECT_EQ(s0().reenableCounters[kGroupMail], 0);
  groups_.clear();
  for (int i = 0; i < 999; ++i) icmd_.reenable_tick();
  EXPECT_TRUE(groups_.empty());
  EXPECT_EQ(s0().reenableCounters[kGroupMail], 999);
  icmd_.reenable_tick();
  EXPECT_EQ(groups_, (std::vector<std::pair<int, bool>>{{kGroupMail, true}}));
  for (int i = 0; i < 2000; ++i) icmd_.reenable_tick();
  EXPECT_EQ(groups_.size(), 1u);
  EXPECT_EQ(s0().reenableCounters, (std::array<int32_t, 4>{1001, 1001, 1001, 1001}));
}

TEST_F(IcmdTest, QueriesAreAnsweredWithReports) {
  Bytes ddns = filled(kDdnsSize, 60);
  std::copy(ddns.begin(), ddns.end(), s0().ddns.begin());
  struct Case {
    const char* name;
    uint32_t record_id;
    Bytes image;
    Bytes expected;
  };
  const Case cases[] = {
      {"setup", kRecordSetup, {4, 0, 0, 0}, setup_record(kSetupDdns, ddns)},
      {"live", kRecordLive, {}, Bytes(s0().live.begin(), s0().live.end())},
      {"unknown record", 777, {}, {}},
      {"none record", kRecordNone, {}, {}},
      {"setup without sub-id", kRecordSetup, {4, 0}, setup_record(0, {})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    deliver(message(kKey0, kOpQuery, c.record_id, kModeSetup, c.image));
    auto out = sent0();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].key, kKey0);
    EXPECT_EQ(out[0].operation, kOpReport);
    EXPECT_EQ(out[0].record_id, c.record_id);
    EXPECT_EQ(out[0].mode, kModeLive);  // our own mode, not the asker's
    EXPECT_EQ(out[0].image, c.expected);
  }
  // Answering a setup query disables that group like our own query does.
  EXPECT_EQ(s0().reenableCounters[kGroupDdns], 0);
}

TEST_F(IcmdTest, ReceiveReadsOnlyWhatArrived) {
  // A long message leaves a mail sub-id where the next image would start...
  hello_ = {0, 0};
  deliver(message(kKey0, kOpSet, kRecordSetup, kModeSetup,
                  setup_record(kSetupMail, filled(kMailSize, 0))));
  ASSERT_EQ(refills_, (std::vector<uint32_t>{kSetupMail}));
  // ...but a query without an image asks for sub-id 0, not for the stale 8.
  deliver(message(kKey0, kOpQuery, kRecordSetup, kModeLive, {}));
  auto out = sent0();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].image, setup_record(0, {}));

  // A view state shorter than its 64 bytes is not taken.
  s0().mode = kModeSetup;
  deliver(message(kKey0, kOpSet, kRecordLive, kModeLive, Bytes(10, 0xEE)));
  EXPECT_EQ(s0().mode, kModeSetup);
  EXPECT_EQ(s0().live[0], 0);
  EXPECT_TRUE(layouts_.empty());
}

TEST_F(IcmdTest, MessagesThatMatchNothingAreDropped) {
  const SessionState before = s0();
  struct Case {
    const char* name;
    Bytes message;
  };
  Bytes short_body = message(kKey0, kOpQuery, kRecordLive, kModeLive, {});
  short_body.resize(40);  // less than a sub-header
  store_u32le(short_body.data(), 40);
  store_u32le(short_body.data() + 8, link::message_checksum(short_body.data() + 32, 8));
  const Case cases[] = {
      {"unknown key", message(0xDEAD, kOpQuery, kRecordLive, kModeLive, {})},
      {"unknown key set", message(0xDEAD, kOpSet, kRecordLive, kModeSetup, Bytes(64, 3))},
      {"operation 3", message(kKey0, 3, kRecordLive, kModeSetup, Bytes(64, 3))},
      {"operation 0", message(kKey0, 0, kRecordLive, kModeSetup, Bytes(64, 3))},
      {"set of unknown record", message(kKey0, kOpSet, 777, kModeSetup, Bytes(64, 3))},
      {"report of unknown record", message(kKey0, kOpReport, 300, kModeSetup, Bytes(64, 3))},
      {"body shorter than sub-header", short_body},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    deliver(c.message);
    EXPECT_TRUE(sent0().empty());
    EXPECT_EQ(s0().mode, before.mode);
    EXPECT_EQ(s0().live, before.live);
    EXPECT_EQ(s0().sendSequence, before.sendSequence);
  }
}

}  // namespace
}  // namespace tessomar::channels
