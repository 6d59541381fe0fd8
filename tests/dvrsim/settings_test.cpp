// The DVR's settings store over ICMD: setup queries and sets, view states and modes, and the
// sequence numbers the video records echo.
#include "dvrsim/settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <numeric>
#include <string>

#include "dvrsim/dvr_harness.h"
#include "link/wire.h"
#include "platform/bytes.h"

namespace tessomar::dvrsim {
namespace {

using testing::DvrHarness;
using testing::SimClient;
using testing::WireMessage;

constexpr uint32_t kIcmd = link::make_tag("ICMD");

std::vector<uint8_t> icmd(uint32_t key, uint32_t op, uint32_t record, uint32_t mode, uint32_t seq,
                          std::span<const uint8_t> image = {}) {
  return build_message(kIcmd, key, {op, record, mode, seq}, image);
}

// A setup record written field by field: sub-id, total length, byte sum, zeros, data.
std::vector<uint8_t> setup_record(uint32_t sub_id, const std::vector<uint8_t>& data,
                                  int32_t length_delta = 0, uint32_t sum_delta = 0) {
  std::vector<uint8_t> r(72 + data.size(), 0);
  uint32_t sum = 0;
  for (uint8_t b : data) sum += b;
  platform::store_u32le(&r[0], sub_id);
  platform::store_u32le(&r[4], uint32_t(int32_t(r.size()) + length_delta));
  platform::store_u32le(&r[8], sum + sum_delta);
  std::copy(data.begin(), data.end(), r.begin() + 72);
  return r;
}

std::vector<uint8_t> pattern(size_t n, uint8_t start) {
  std::vector<uint8_t> v(n);
  std::iota(v.begin(), v.end(), start);
  return v;
}

// Checks one setup report and returns its data.
std::vector<uint8_t> setup_report_data(const WireMessage& m, uint32_t key, uint32_t sub_id) {
  EXPECT_EQ(m.tag, kIcmd);
  EXPECT_TRUE(m.checksum_ok);
  EXPECT_EQ(m.key(), key);
  EXPECT_EQ(m.word(36), 4u);     // report
  EXPECT_EQ(m.word(40), 4096u);  // setup record
  const auto p = m.payload();
  if (p.size() < 72) {
    ADD_FAILURE() << "setup report of " << p.size() << " bytes";
    return {};
  }
  EXPECT_EQ(platform::load_u32le(&p[0]), sub_id);
  EXPECT_EQ(platform::load_u32le(&p[4]), p.size());
  std::vector<uint8_t> data(p.begin() + 72, p.end());
  uint32_t sum = 0;
  for (uint8_t b : data) sum += b;
  EXPECT_EQ(platform::load_u32le(&p[8]), sum);
  for (size_t i = 12; i < 72; ++i) EXPECT_EQ(p[i], 0) << "reserved byte " << i;
  return data;
}

TEST(DvrsimSettings, SetupQueriesReportTheFactorySettings) {
  std::vector<uint8_t> mail(256, 0);
  mail[0] = 20;
  mail[1] = 9;
  const char strings[] =
      "0\0\0"
      "25\0\0\0"
      "0\0\0\0\0\0\0\0";  // twelve strings
  std::copy(strings, strings + sizeof strings - 1, mail.begin() + 2);
  struct Case {
    uint32_t sub_id;
    std::vector<uint8_t> data;
  };
  const Case cases[] = {
      {1, {5, 0, 0, 0}}, {2, std::vector<uint8_t>(68, 0)},   {4, std::vector<uint8_t>(116, 0)},
      {8, mail},         {16, std::vector<uint8_t>(256, 0)}, {32, {}},  // unknown: a bare header
  };
  DvrHarness h;
  SimClient c(h.sim());
  const uint32_t key = h.open_session(c);
  ASSERT_NE(key, 0u);
  uint32_t seq = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.sub_id);
    // The control's query carries its own (here different) data, which the DVR ignores.
    auto msgs = h.exchange_messages(
        c, key, {icmd(key, 1, 4096, 3, ++seq, setup_record(k.sub_id, pattern(k.data.size(), 1)))});
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(setup_report_data(msgs[0], key, k.sub_id), k.data);
    EXPECT_EQ(msgs[0].word(48), seq);  // the DVR's own counter: one report per query
  }
  EXPECT_EQ(h.settings().session(key)->mode, 0u);  // a query does not change the mode
}

TEST(DvrsimSettings, AValidSetupSetIsStoredAndReportedOnEverySession) {
  DvrHarness h;
  SimClient a(h.sim());
  SimClient b(h.sim());
  const uint32_t ka = h.open_session(a);
  const uint32_t kb = h.open_session(b);
  ASSERT_TRUE(ka && kb);

  auto pppoe = std::vector<uint8_t>(68, 0);
  pppoe[0] = 1;
  std::copy_n("user", 4, pppoe.begin() + 4);
  std::copy_n("secret", 6, pppoe.begin() + 36);
  auto msgs = h.exchange_messages(a, ka, {icmd(ka, 2, 4096, 3, 1, setup_record(2, pppoe))});
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(setup_report_data(msgs[0], ka, 2), pppoe);
  EXPECT_EQ(msgs[0].word(44), 3u);  // the report names the mode the set adopted
  auto stored = h.settings().store().get(2);
  EXPECT_EQ(std::vector<uint8_t>(stored.begin(), stored.end()), pppoe);
  EXPECT_EQ(h.settings().session(ka)->mode, 3u);
  EXPECT_EQ(h.settings().session(kb)->mode, 0u);

  // The other session hears of it with its next poll.
  msgs = h.exchange_messages(b, kb, {});
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(setup_report_data(msgs[0], kb, 2), pppoe);

  // A later query on either session sees the new value.
  msgs = h.exchange_messages(b, kb, {icmd(kb, 1, 4096, 0, 1, setup_record(2, {}))});
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(setup_report_data(msgs[0], kb, 2), pppoe);
}

TEST(DvrsimSettings, InvalidSetupSetsAreIgnored) {
  const auto bitrate = std::vector<uint8_t>{7, 0, 0, 0};
  auto truncated = setup_record(4, pattern(116, 3));
  truncated.resize(72 + 100);  // the length field still claims all 116 bytes
  struct Case {
    const char* name;
    std::vector<uint8_t> image;
  };
  const Case cases[] = {
      {"bad byte sum", setup_record(1, bitrate, 0, 1)},
      {"length field too small", setup_record(1, bitrate, -1)},
      {"data missing", truncated},
      {"unknown sub-id", setup_record(32, {})},
      {"header only", std::vector<uint8_t>(40, 0)},
      {"refused value", setup_record(1, {10, 0, 0, 0})},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    DvrHarness h;
    SimClient a(h.sim());
    SimClient b(h.sim());
    const uint32_t ka = h.open_session(a);
    const uint32_t kb = h.open_session(b);
    bool at_once = true;
    auto r = h.exchange(a, ka, {icmd(ka, 2, 4096, 3, 1, k.image)}, &at_once);
    ASSERT_TRUE(r);
    EXPECT_FALSE(at_once);
    EXPECT_TRUE(r->frame_payload().empty());
    r = h.exchange(b, kb, {}, &at_once);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->frame_payload().empty());
    const SettingsStore factory;
    for (uint32_t id : {1u, 2u, 4u, 8u, 16u}) {
      auto now = h.settings().store().get(id);
      auto before = factory.get(id);
      EXPECT_TRUE(std::equal(now.begin(), now.end(), before.begin(), before.end())) << id;
    }
    EXPECT_EQ(h.settings().session(ka)->mode, 0u);
  }
}

TEST(DvrsimSettings, ViewStatesArePerSessionAndSetsAdoptTheMode) {
  DvrHarness h;
  SimClient a(h.sim());
  SimClient b(h.sim());
  const uint32_t ka = h.open_session(a);
  const uint32_t kb = h.open_session(b);
  ASSERT_TRUE(ka && kb);

  const auto playback = pattern(64, 100);
  // A set stores and adopts the mode without an answer.
  auto msgs = h.exchange_messages(a, ka, {icmd(ka, 2, 512, 1, 1, playback)});
  EXPECT_TRUE(msgs.empty());
  const SessionView* va = h.settings().session(ka);
  ASSERT_NE(va, nullptr);
  EXPECT_EQ(va->mode, 1u);
  EXPECT_EQ(std::vector<uint8_t>(va->playback.begin(), va->playback.end()), playback);
  // A report stores but keeps the mode; too short an image is dropped.
  const auto backup = pattern(64, 7);
  h.exchange_messages(
      a, ka,
      {icmd(ka, 4, 1024, 2, 2, backup), icmd(ka, 2, 256, 3, 3, std::vector<uint8_t>(10, 9))});
  EXPECT_EQ(va->mode, 1u);
  EXPECT_EQ(std::vector<uint8_t>(va->backup.begin(), va->backup.end()), backup);
  EXPECT_EQ(va->live[16], 0xC0);  // initial width 704 untouched
  EXPECT_EQ(va->live[17], 0x02);
  // A set of 2048 carries only the mode.
  h.exchange_messages(a, ka, {icmd(ka, 2, 2048, 4, 4)});
  EXPECT_EQ(va->mode, 4u);

  // Queries are answered with the session's own image.
  msgs = h.exchange_messages(a, ka, {icmd(ka, 1, 512, 0, 5), icmd(ka, 1, 2048, 0, 6)});
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0].word(36), 4u);
  EXPECT_EQ(msgs[0].word(40), 512u);
  EXPECT_EQ(msgs[0].payload(), playback);
  EXPECT_EQ(msgs[1].word(40), 2048u);
  EXPECT_TRUE(msgs[1].payload().empty());
  msgs = h.exchange_messages(b, kb, {icmd(kb, 1, 512, 0, 1)});
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].payload(), std::vector<uint8_t>(64, 0));
  EXPECT_EQ(h.settings().session(kb)->mode, 0u);
}

TEST(DvrsimSettings, LatestIcmdSequenceIsTrackedPerSession) {
  DvrHarness h;
  SimClient a(h.sim());
  SimClient b(h.sim());
  const uint32_t ka = h.open_session(a);
  const uint32_t kb = h.open_session(b);
  ASSERT_TRUE(ka && kb);
  EXPECT_EQ(h.settings().latest_icmd_sequence(ka), 0u);

  const auto live = std::vector<uint8_t>(64, 0);
  h.exchange_messages(a, ka, {icmd(ka, 2, 256, 0, 1, live)});
  EXPECT_EQ(h.settings().latest_icmd_sequence(ka), 1u);
  // Within one frame the later message counts; so does a message that is otherwise dropped.
  h.exchange_messages(a, ka, {icmd(ka, 2, 512, 1, 2, live), icmd(ka, 9, 256, 0, 3)});
  EXPECT_EQ(h.settings().latest_icmd_sequence(ka), 3u);
  h.exchange_messages(b, kb, {icmd(kb, 2, 256, 0, 41, live)});
  EXPECT_EQ(h.settings().latest_icmd_sequence(kb), 41u);
  EXPECT_EQ(h.settings().latest_icmd_sequence(ka), 3u);
  // A message naming another session than its frame is not counted for either.
  h.exchange_messages(a, ka, {icmd(kb, 2, 256, 0, 99, live)});
  EXPECT_EQ(h.settings().latest_icmd_sequence(ka), 3u);
  EXPECT_EQ(h.settings().latest_icmd_sequence(kb), 41u);
  EXPECT_EQ(h.settings().latest_icmd_sequence(ka + kb), 0u);
}

}  // namespace

namespace {

std::vector<uint8_t> mail_data(const std::vector<std::string>& strings, uint8_t kind = 9) {
  std::vector<uint8_t> m(256, 0);
  m[0] = 20;
  m[1] = kind;
  size_t at = 2;
  for (const auto& s : strings) {
    std::copy(s.begin(), s.end(), m.begin() + ptrdiff_t(at));
    at += s.size() + 1;
  }
  return m;
}

std::vector<uint8_t> with(std::vector<uint8_t> d, size_t at, std::string_view bytes) {
  std::copy(bytes.begin(), bytes.end(), d.begin() + ptrdiff_t(at));
  return d;
}

// A fresh directory under the test's temporary folder.
std::string temp_dir(const std::string& name) {
  const std::string dir = ::testing::TempDir() + "dvrsim-" + name + "-" + std::to_string(getpid());
  std::filesystem::remove_all(dir);
  return dir;
}

}  // namespace

TEST(DvrsimSettingsStore, RefusesWhatTheFirmwareWould) {
  const std::vector<uint8_t> zeros68(68, 0), zeros116(116, 0), zeros256(256, 0);
  const std::string long32(32, 'a'), long48(48, 'h');
  struct Case {
    uint32_t sub_id;
    std::vector<uint8_t> data;
    bool ok;
  } cases[] = {
      {1, {9, 0, 0, 0}, true},
      {1, {10, 0, 0, 0}, false},
      {1, {1, 0, 0}, false},  // wrong size
      {2, with(zeros68, 0, "\x01"), true},
      {2, with(zeros68, 0, "\x02"), false},
      {2, with(zeros68, 4, std::string(31, 'u')), true},
      {2, with(zeros68, 4, long32), false},  // no NUL in the field
      {4, with(zeros116, 2, "\x03"), true},
      {4, with(zeros116, 2, "\x04"), false},
      {4, with(zeros116, 68, std::string(47, 'h')), true},
      {4, with(zeros116, 68, long48), false},
      {8, mail_data({"1", "smtp.x", "587", "u", "p", "1"}), true},
      {8, mail_data({"3"}), false},
      {8, mail_data({"1", "smtp.x", "8a0"}), false},
      {8, mail_data({"1", "smtp.x", "99999"}), false},
      {8, mail_data({"1", "smtp.x", "25", "u", "p", "x"}), false},
      {8, mail_data({"1", long32}), false},
      {8, with(mail_data({"1"}), 0, "\x15"), false},  // marker 21
      {16, {60, 0}, true},
      {16, {61, 0}, false},
  };
  for (auto& c : cases) {
    if (c.sub_id == 16) c.data.resize(256, 0);
    SCOPED_TRACE(std::to_string(c.sub_id) + " case " + std::to_string(&c - cases));
    SettingsStore store;
    std::string why;
    EXPECT_EQ(store.put(c.sub_id, c.data, &why), c.ok) << why;
    EXPECT_EQ(why.empty(), c.ok);
  }
  SettingsStore store;
  EXPECT_TRUE(store.set_upnp_word((1u << 30) | 8081));
  for (uint32_t bad : {0u, 1u << 30, (1u << 29) | 80}) EXPECT_FALSE(store.set_upnp_word(bad));
  EXPECT_EQ(store.upnp_word(), (1u << 30) | 8081);
}

TEST(DvrsimSettingsStore, DataDirectoryKeepsEveryChangeAcrossRestarts) {
  const std::string dir = temp_dir("persist");
  const auto mail = mail_data({"1", "smtp.x", "587"});
  {
    SettingsStore store;
    std::string error;
    ASSERT_TRUE(store.use_data_dir(dir, error)) << error;
    EXPECT_TRUE(std::filesystem::exists(dir + "/settings.bin"));  // written at once
    ASSERT_TRUE(store.put(8, mail));
    ASSERT_TRUE(store.set_upnp_word((1u << 30) | 8081));
  }
  SettingsStore again;
  std::string error;
  ASSERT_TRUE(again.use_data_dir(dir, error)) << error;
  auto got = again.get(8);
  EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.end()), mail);
  EXPECT_EQ(again.upnp_word(), (1u << 30) | 8081);
  EXPECT_FALSE(std::filesystem::exists(dir + "/settings.bin.tmp"));

  // A damaged file is refused, not half taken.
  for (size_t cut : {size_t(0), size_t(20), size_t(705)}) {
    std::filesystem::resize_file(dir + "/settings.bin", cut);
    SettingsStore damaged;
    EXPECT_FALSE(damaged.use_data_dir(dir, error)) << cut;
    EXPECT_NE(error.find("settings.bin"), std::string::npos);
  }
  std::filesystem::remove_all(dir);
}

TEST(DvrsimSettingsStore, FileDecodingChecksEveryField) {
  SettingsStore store;
  ASSERT_TRUE(store.put(1, std::vector<uint8_t>{3, 0, 0, 0}));
  const std::vector<uint8_t> good = store.encode();
  SettingsStore copy;
  std::string why;
  ASSERT_TRUE(copy.decode(good, why)) << why;
  EXPECT_EQ(copy.get(1)[0], 3);

  auto resum = [](std::vector<uint8_t> f) {
    uint32_t sum = 0;
    for (size_t i = 16; i < f.size(); ++i) sum += f[i];
    platform::store_u32le(&f[12], sum);
    return f;
  };
  auto bad_magic = good;
  bad_magic[0] = 'X';
  auto bad_sum = good;
  bad_sum[16] ^= 1;
  auto bad_value = good;
  bad_value[16] = 12;  // bitrate 12, with a matching sum
  bad_value = resum(bad_value);
  for (const auto& f : {bad_magic, bad_sum, bad_value}) {
    SettingsStore target;
    EXPECT_FALSE(target.decode(f, why));
    EXPECT_EQ(target.get(1)[0], 5);  // unchanged
  }
}

TEST(DvrsimSettings, TestMailIsAnsweredToItsSenderOnlyAndNotKept) {
  DvrHarness h;
  SimClient a(h.sim());
  SimClient b(h.sim());
  const uint32_t ka = h.open_session(a);
  const uint32_t kb = h.open_session(b);
  ASSERT_TRUE(ka && kb);
  auto test_mail = mail_data({"1", "smtp.x", "25"}, 16);
  test_mail[254] = 1;
  auto msgs = h.exchange_messages(a, ka, {icmd(ka, 2, 4096, 3, 1, setup_record(8, test_mail))});
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(setup_report_data(msgs[0], ka, 8), test_mail);
  EXPECT_EQ(h.settings().test_mails(), 1u);
  EXPECT_EQ(h.settings().store().get(8)[1], 9);  // the stored settings are the factory's
  bool at_once = true;
  auto r = h.exchange(b, kb, {}, &at_once);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->frame_payload().empty());
}

}  // namespace tessomar::dvrsim
