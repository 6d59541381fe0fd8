#include "channels/vask.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "channels/channel_fixture.h"
#include "channels/ictl.h"

namespace tessomar::channels {
namespace {

using testing::ChannelFixture;
using testing::WireMessage;

constexpr uint32_t kKey = 0x6543210F;

struct IdentityFields {
  uint32_t channel_count = 4;
  uint32_t model_variant = 0;
  uint32_t title_support = 1;
  std::string os = "[OS] 1.0";
  std::string serial = "[SN] 42";
  std::string board = "[B] REV:2.0";
  std::string number = "[N] 7104";
  uint32_t video_standard = 0;
  uint32_t generation = 1;
  uint32_t audio = 0;
  uint32_t mail_variant = 0;
};

// Writes every text byte given, without a terminator of its own, to show the forced NUL.
std::vector<uint8_t> identity_payload(const IdentityFields& f) {
  std::vector<uint8_t> p(256, 0);
  platform::store_u32le(&p[0], f.channel_count);
  platform::store_u32le(&p[4], f.model_variant);
  platform::store_u32le(&p[8], f.title_support);
  auto text = [&](size_t at, const std::string& s) {
    for (size_t i = 0; i < s.size() && i < 32; ++i) p[at + i] = uint8_t(s[i]);
  };
  text(12, f.os);
  text(44, f.serial);
  text(76, f.board);
  text(108, f.number);
  platform::store_u32le(&p[140], f.video_standard);
  platform::store_u32le(&p[148], f.generation);
  platform::store_u32le(&p[224], f.audio);
  platform::store_u32le(&p[228], f.mail_variant);
  return p;
}

// A listening TCP socket on an ephemeral loopback port.
class Listener {
 public:
  Listener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 8);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Listener() { ::close(fd_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

class VaskTest : public ChannelFixture {
 protected:
  VaskTest() : vask(link, form) {
    vask.register_vask();
    vask.hooks().reset_reorder_sequence = [this](int slot) { reorder_resets.push_back(slot); };
    vask.hooks().identity_received = [this](int slot, const DeviceIdentity& d) {
      identities.push_back({slot, d});
    };
    vask.hooks().write_machine_type = [this](uint32_t key) { machine_type_writes.push_back(key); };
  }

  void deliver_vask(uint32_t key, uint32_t sub_type, std::span<const uint8_t> payload) {
    deliver(kVaskTag, {key, sub_type}, payload);
  }

  VaskChannel vask;
  std::vector<int> reorder_resets;
  std::vector<std::pair<int, DeviceIdentity>> identities;
  std::vector<uint32_t> machine_type_writes;
};

TEST_F(VaskTest, SendBuildsThePayloadOfTheSubTypesRow) {
  open_session(0, kKey);
  struct Case {
    uint32_t sub_type;
    size_t payload;
  } cases[] = {{kVaskHello, 256}, {kVaskIdentity, 256}, {kVaskRefusal, 0}, {7, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sub_type);
    vask.send_vask(kKey, c.sub_type);
    auto q = take_queued();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].tag, kVaskTag);
    EXPECT_EQ(q[0].total_length, 64 + c.payload);
    EXPECT_EQ(q[0].sub[0], kKey);
    EXPECT_EQ(q[0].sub[1], c.sub_type);
    std::vector<uint8_t> body(32, 0);
    for (int i = 0; i < 8; ++i) platform::store_u32le(&body[4 * i], q[0].sub[i]);
    body.insert(body.end(), q[0].payload.begin(), q[0].payload.end());
    EXPECT_EQ(q[0].checksum, link::message_checksum(body.data(), uint32_t(body.size())));
  }
}

TEST_F(VaskTest, HelloPayloadHasTheFixedFields) {
  open_session(0, kKey);
  vask.send_vask(kKey, kVaskHello);
  auto q = take_queued();
  ASSERT_EQ(q.size(), 1u);
  const std::vector<uint8_t>& p = q[0].payload;
  ASSERT_EQ(p.size(), 256u);
  EXPECT_EQ(platform::load_u32le(&p[0]), 1u);
  EXPECT_EQ(platform::load_u32le(&p[4]), 1u);
  EXPECT_EQ(p[9], 1);
  EXPECT_EQ(p[10], 0x11);
  EXPECT_EQ(p[11], 0x08);
  EXPECT_EQ(p[12], 0x34);
  EXPECT_EQ(p[13], 0x12);
  EXPECT_EQ(p[14], 0);
  EXPECT_EQ(p[15], 0);
}

TEST_F(VaskTest, SendForAKeyWithoutSlotQueuesNothing) {
  open_session(0, kKey);
  vask.send_vask(kKey + 1, kVaskHello);
  EXPECT_TRUE(take_queued().empty());
}

TEST_F(VaskTest, ReceivedHelloIsKeptAndAnsweredWithTheFixedIdentity) {
  open_session(0, kKey);
  std::vector<uint8_t> hello(256);
  for (size_t i = 0; i < hello.size(); ++i) hello[i] = uint8_t(i * 7 + 1);
  platform::store_u32le(hello.data(), 1);
  deliver_vask(kKey, kVaskHello, hello);

  // Kept before the answer was built over it in the same buffer.
  EXPECT_TRUE(std::equal(hello.begin(), hello.end(), vask.record(0).hello.begin()));
  EXPECT_EQ(vask.hello_first_word(0), 1u);

  auto q = take_queued();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].sub[0], kKey);
  EXPECT_EQ(q[0].sub[1], uint32_t(kVaskIdentity));
  ASSERT_EQ(q[0].payload.size(), 256u);
  DeviceIdentity d = DeviceIdentity::parse(q[0].payload);
  EXPECT_EQ(d.channel_count, 16u);
  EXPECT_EQ(d.model_variant, 0u);
  EXPECT_EQ(d.title_support, 1u);
  EXPECT_EQ(d.os, "[OS] 2.9.2_138ED");
  EXPECT_EQ(d.serial, "[SN] 1234567890");
  EXPECT_EQ(d.board, "[B] REV:1.9");
  EXPECT_EQ(d.number, "[N] 7104");
  EXPECT_EQ(d.generation, 0u);
  // Nothing but the listed fields is set.
  std::vector<uint8_t> expected = identity_payload(
      {16, 0, 1, "[OS] 2.9.2_138ED", "[SN] 1234567890", "[B] REV:1.9", "[N] 7104", 0, 0, 0, 0});
  EXPECT_EQ(q[0].payload, expected);

  vask.clear_hello_first_word(0);
  EXPECT_EQ(vask.hello_first_word(0), 0u);
  EXPECT_EQ(vask.record(0).hello[4], hello[4]);
}

TEST_F(VaskTest, IdentityMarksLiveAndConfiguresTheForm) {
  open_session(0, kKey);
  IdentityFields f;
  f.channel_count = 8;
  f.model_variant = 1;
  f.os = std::string(40, 'O');  // longer than the field's 31 characters
  f.serial = "[SN] 9";
  f.number = "[N] 6100";
  f.video_standard = 1;
  f.audio = 2;
  f.mail_variant = 1;
  form["TabSheet7"].set_visible(true);
  deliver_vask(kKey, kVaskIdentity, identity_payload(f));

  EXPECT_EQ(link.slot(0).live, 1);
  EXPECT_EQ(reorder_resets, std::vector<int>{0});
  ASSERT_EQ(identities.size(), 1u);
  const DeviceIdentity& d = identities[0].second;
  EXPECT_EQ(identities[0].first, 0);
  EXPECT_EQ(d.channel_count, 8u);
  EXPECT_EQ(d.model_variant, 1u);
  EXPECT_EQ(d.video_standard, 1u);
  EXPECT_EQ(d.audio, 2u);
  EXPECT_EQ(d.mail_variant, 1u);
  EXPECT_TRUE(d.paced_by_stream_interval());

  EXPECT_EQ(vask.record(0).identity[12 + 31], 0);
  EXPECT_EQ(form["Label_System1"].caption(), std::string(31, 'O'));
  EXPECT_EQ(form["Label_System2"].caption(), "[SN] 9");
  EXPECT_EQ(form["Label_System3"].caption(), "[B] REV:2.0");
  EXPECT_EQ(form["Label_System4"].caption(), "[N] 6100");
  EXPECT_TRUE(form["TabSheet6"].visible());
  EXPECT_FALSE(form["TabSheet7"].visible());
  EXPECT_EQ(machine_type_writes, std::vector<uint32_t>{kKey});
}

TEST_F(VaskTest, TitleSupportDecidesTheTitlePage) {
  open_session(0, kKey);
  for (uint32_t title : {0u, 1u, 0u, 5u}) {
    SCOPED_TRACE(title);
    IdentityFields f;
    f.title_support = title;
    deliver_vask(kKey, kVaskIdentity, identity_payload(f));
    EXPECT_EQ(form["TabSheet6"].visible(), title != 0);
    EXPECT_FALSE(form["TabSheet7"].visible());
  }
}

TEST(DeviceIdentity, PacingFollowsTheNumberText) {
  struct Case {
    const char* number;
    bool paced;
  } cases[] = {{"[N] 6100", true},  {"[N] 6", true},    {"x[N] 61", true},
               {"[N] 7104", false}, {"[N]6100", false}, {"", false}};
  for (const Case& c : cases) {
    IdentityFields f;
    f.number = c.number;
    EXPECT_EQ(DeviceIdentity::parse(identity_payload(f)).paced_by_stream_interval(), c.paced)
        << c.number;
  }
}

TEST_F(VaskTest, ShortIdentityReadsNoBytesLeftFromAnEarlierMessage) {
  open_session(0, kKey);
  std::vector<uint8_t> junk(1000, 'A');
  deliver_vask(kKey, 9, junk);  // unknown sub-type: ignored, but it filled the buffer
  std::vector<uint8_t> short_identity(12, 0);
  platform::store_u32le(&short_identity[0], 4);
  deliver_vask(kKey, kVaskIdentity, short_identity);

  ASSERT_EQ(identities.size(), 1u);
  EXPECT_EQ(identities[0].second.channel_count, 4u);
  EXPECT_EQ(identities[0].second.os, "");
  EXPECT_EQ(identities[0].second.generation, 0u);
  EXPECT_EQ(link.slot(0).socket_state[1], link::kSocketIdle);
}

TEST_F(VaskTest, MessagesForUnknownKeysOrSubTypesAreIgnored) {
  open_session(0, kKey);
  // The frame's key is known, the message's is not.
  deliver_with_frame_key(kKey, kVaskTag, {kKey + 1, kVaskIdentity}, identity_payload({}));
  deliver_vask(kKey, 3, identity_payload({}));
  EXPECT_EQ(link.slot(0).live, 0);
  EXPECT_TRUE(identities.empty());
  EXPECT_TRUE(take_queued().empty());
}

TEST_F(VaskTest, GenerationAboveOneOpensTheSecondConnection) {
  Listener listener;
  for (uint32_t generation : {0u, 1u, 2u, 3u}) {
    SCOPED_TRACE(generation);
    link.slot(0).host = "127.0.0.1";
    link.slot(0).port = listener.port();
    open_session(0, kKey);
    IdentityFields f;
    f.generation = generation;
    deliver_vask(kKey, kVaskIdentity, identity_payload(f));
    bool opened = generation > 1;
    EXPECT_EQ(sockets[0][1]->active(), opened);
    EXPECT_EQ(link.slot(0).socket_state[1], opened ? link::kSocketActive : link::kSocketIdle);
    if (opened) {
      EXPECT_EQ(sockets[0][1]->host(), "127.0.0.1");
      EXPECT_EQ(sockets[0][1]->port(), listener.port());
    }
    sockets[0][1]->set_active(false);
    link.slot(0).socket_state[1] = link::kSocketIdle;
  }
}

TEST_F(VaskTest, RepeatedIdentityDoesNotReopenTheSecondConnection) {
  Listener listener;
  link.slot(0).host = "127.0.0.1";
  link.slot(0).port = listener.port();
  open_session(0, kKey);
  IdentityFields f;
  f.generation = 2;
  deliver_vask(kKey, kVaskIdentity, identity_payload(f));
  ASSERT_TRUE(sockets[0][1]->active());

  // Reopening would drop what socket 1 already holds and its request in flight.
  link::ConnectionSlot& s = link.slot(0);
  auto still_open = [&] {
    s.receive[1].fill = 7;
    s.request_outstanding[1] = 1;
    deliver_vask(kKey, kVaskIdentity, identity_payload(f));
    EXPECT_EQ(s.receive[1].fill, 7u);
    EXPECT_EQ(s.request_outstanding[1], 1);
    EXPECT_EQ(s.socket_state[1], link::kSocketActive);
  };
  still_open();  // still connecting
  ASSERT_TRUE(loop.run_until([&] { return sockets[0][1]->connected(); }, 10000));
  still_open();  // connected
  EXPECT_EQ(identities.size(), 3u);
}

TEST_F(VaskTest, RefusalResetsTheSlotAndLosesOnlyTheOpenSockets) {
  Listener listener;
  struct Case {
    bool second_open;
    int expected_state_1;
  } cases[] = {{false, link::kSocketIdle}, {true, link::kSocketLost}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.second_open);
    link::ConnectionSlot& s = link.slot(0);
    s.socket_state = {link::kSocketIdle, link::kSocketIdle};
    link.connect_socket(0, "127.0.0.1", listener.port(), 0);
    if (c.second_open) link.connect_socket(0, "127.0.0.1", listener.port(), 1);
    s.host = "127.0.0.1";
    s.port = listener.port();
    open_session(0, kKey, 1);

    deliver_vask(kKey, kVaskRefusal, {});
    EXPECT_EQ(s.session_key, 0u);
    EXPECT_EQ(s.live, 0);
    EXPECT_EQ(s.link_state, link::kNoSession);
    EXPECT_FALSE(sockets[0][0]->active());
    EXPECT_FALSE(sockets[0][1]->active());
    EXPECT_EQ(s.socket_state[0], link::kSocketLost);
    EXPECT_EQ(s.socket_state[1], c.expected_state_1);
  }
}

TEST_F(VaskTest, IdentityFetchesTheMachineTypeSlot) {
  IctlChannel ictl(link, form, dialogs);
  ictl.register_ictl();
  ictl.declare_slots();
  vask.hooks().write_machine_type = [&](uint32_t key) {
    ictl.SlotWrite(key, "Vask_Mach_Type_Data_W", ictl.buffers().machine_type, 1);
  };
  open_session(0, kKey);
  deliver_vask(kKey, kVaskIdentity, identity_payload({}));

  auto q = take_queued();
  ASSERT_EQ(q.size(), 1u);  // the largest write that still fits one request
  EXPECT_EQ(q[0].tag, kIctlTag);
  EXPECT_EQ(q[0].total_length, 1280u);
  EXPECT_EQ(q[0].sub[3], 1u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&q[0].payload[4])), "Vask_Mach_Type_Data_W");
}

}  // namespace
}  // namespace tessomar::channels
