#include "link/link.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/bytes.h"
#include "platform/event_loop.h"
#include "shell/form_description.h"
#include "support/log_capture.h"
#include "support/loopback.h"

namespace tessomar::link {
namespace {

using platform::load_u32le;
using platform::store_u32le;

using testsupport::LoopbackServer;

std::string reply(std::string_view body, std::string_view length_text = "") {
  std::string len = length_text.empty() ? std::to_string(body.size()) : std::string(length_text);
  return "HTTP/1.1 200 OK\r\nServer: x\r\nContent-Length: " + len + "\r\n\r\n" + std::string(body);
}

std::string frame(uint32_t type, uint32_t value, std::string_view payload = {}, uint32_t slot = 0) {
  std::string f(kUlcmHeaderSize + payload.size(), '\0');
  UlcmHeader h;
  h.total_length = uint32_t(f.size());
  h.type = type;
  h.value = value;
  h.slot_index = slot;
  write_ulcm_header(std::span<uint8_t, kUlcmHeaderSize>(reinterpret_cast<uint8_t*>(f.data()), 64),
                    h);
  if (!payload.empty()) std::memcpy(f.data() + 64, payload.data(), payload.size());
  return f;
}

// A channel message with a correct checksum (or a wrong one when asked).
std::string message(const char (&tag)[5], uint32_t key, uint32_t body_bytes, bool good = true) {
  std::string m(64 + body_bytes, '\0');
  auto* p = reinterpret_cast<uint8_t*>(m.data());
  store_u32le(p, uint32_t(m.size()));
  store_u32le(p + 4, make_tag(tag));
  store_u32le(p + 32, key);
  for (uint32_t i = 0; i < body_bytes; ++i) p[64 + i] = uint8_t(i * 7);
  store_u32le(p + 8, message_checksum(p + 32, uint32_t(m.size()) - 32) + (good ? 0 : 1));
  return m;
}

struct LinkFixture : ::testing::Test {
  platform::SystemClock real_clock;
  platform::ManualClock clock;
  platform::PollEventLoop loop{real_clock};
  platform::Form form;
  testsupport::LogCapture logs;
  uint32_t tick = 0;
  Link link{form, clock, logs.logger(), [this] { return tick; }};
  std::unique_ptr<platform::ClientSocket> sockets[2][2];
  ConnectionParams params{3, "127.0.0.1", "0", make_auth_text("7", "1234", 0x65A1B2C3).data()};
  std::vector<uint32_t> hellos;
  LoopbackServer server;

  void SetUp() override {
    auto rows = shell::main_form_description();
    form.build(rows.data(), rows.size());
    for (int slot = 0; slot < 2; ++slot)
      for (int s = 0; s < 2; ++s) {
        sockets[slot][s] = loop.create_socket(logs.logger());
        sockets[slot][s]->set_tag(s * 2 + slot);
      }
    link.attach_sockets(
        {{{sockets[0][0].get(), sockets[0][1].get()}, {sockets[1][0].get(), sockets[1][1].get()}}});
    link.hooks().connection_params = [this] { return params; };
    link.hooks().send_hello = [this](uint32_t key) { hellos.push_back(key); };
    link.init_slots();
    params.http_port = std::to_string(server.port());
  }

  // Connects socket s of slot 0 to the loopback server; returns the server side descriptor.
  int connect(int s) {
    link.start_connection(0, s);
    int fd = -1;
    EXPECT_TRUE(loop.run_until(
        [&] {
          if (fd < 0) fd = server.try_accept();
          return fd >= 0 && link.socket_connected(0, s);
        },
        10000));
    return fd;
  }

  // Reads one ULCM request frame sent by the control.
  std::vector<uint8_t> read_frame(int fd) {
    std::vector<uint8_t> got;
    EXPECT_TRUE(loop.run_until(
        [&] {
          LoopbackServer::read_available(fd, got);
          return got.size() >= 64 && got.size() >= load_u32le(got.data());
        },
        10000));
    return got;
  }

  void feed(int socket, std::string_view bytes) {
    ReceiveBuffer& r = link.slot(0).receive[socket];
    std::memcpy(r.data.get() + r.fill, bytes.data(), bytes.size());
    r.fill += uint32_t(bytes.size());
  }

  void establish(uint32_t key) {
    link.slot(0).link_state = kEstablished;
    link.slot(0).session_key = key;
  }

  void queue(int n, uint32_t size) {
    std::vector<uint8_t> m(size, 0xAB);
    for (int i = 0; i < n; ++i) queue_message(link.slot(0).send_queue, m.data(), size);
  }
};

TEST_F(LinkFixture, InitialStateAndKeyLookup) {
  EXPECT_EQ(link.slot(0).socket_state[0], kSocketLost);
  EXPECT_EQ(link.slot(0).receive[0].capacity, kReceiveCapacity);
  EXPECT_EQ(link.slot(1).receive[0].data, nullptr);
  EXPECT_EQ(link.find_slot_by_key(0), 0);
  link.slot(0).session_key = 5;
  EXPECT_EQ(link.find_slot_by_key(0), 1);
  EXPECT_EQ(link.find_slot_by_key(5), 0);
  EXPECT_EQ(link.find_slot_by_key(6), -1);
}

TEST_F(LinkFixture, NoConnectionBeforeThreePuts) {
  params.property_put_count = 2;
  link.start_connection(0, 0);
  EXPECT_EQ(link.slot(0).socket_state[0], kSocketLost);
  EXPECT_FALSE(sockets[0][0]->active());
}

TEST_F(LinkFixture, ConnectionTextsAreCutAndShown) {
  params.dvrip = std::string(70, '1');
  params.dvr_uk += std::string(40, '5');
  link.start_connection(0, 0);
  EXPECT_EQ(link.slot(0).host.size(), 63u);
  EXPECT_EQ(link.slot(0).dvr_uk.size(), 31u);
  EXPECT_EQ(link.slot(0).credential_a, "7");
  EXPECT_EQ(form["LabeledEdit_System1"].caption(), params.dvrip);
  EXPECT_EQ(form["LabeledEdit_System2"].caption(), params.http_port);
  EXPECT_EQ(link.slot(0).socket_state[0], kSocketActive);
}

TEST_F(LinkFixture, ConnectShowsImageAndLossOfBothShowsDisconnect) {
  EXPECT_TRUE(form["Image_Disconn"].visible());
  int fd0 = connect(0);
  EXPECT_TRUE(form["Image_Conn"].visible());
  EXPECT_FALSE(form["Image_Disconn"].visible());
  int fd1 = connect(1);
  link.slot(0).session_key = 77;
  link.slot(0).link_state = kEstablished;

  // Socket 1 drops: the slot forgets its session, socket 0 stays up with state 0.
  LoopbackServer::close_fd(fd1);
  ASSERT_TRUE(loop.run_until([&] { return link.slot(0).socket_state[1] == kSocketLost; }, 10000));
  EXPECT_EQ(link.slot(0).session_key, 0u);
  EXPECT_EQ(link.slot(0).link_state, kNoSession);
  EXPECT_EQ(link.slot(0).socket_state[0], kSocketIdle);
  EXPECT_TRUE(link.socket_connected(0, 0));
  EXPECT_TRUE(form["Image_Conn"].visible());

  LoopbackServer::close_fd(fd0);
  ASSERT_TRUE(loop.run_until([&] { return link.slot(0).socket_state[0] == kSocketLost; }, 10000));
  EXPECT_TRUE(form["Image_Disconn"].visible());
  EXPECT_FALSE(form["Image_Conn"].visible());
}

TEST_F(LinkFixture, RefusedConnectionIsMarkedLostForTheNextTick) {
  LoopbackServer closed;
  params.http_port = std::to_string(closed.port());
  {
    LoopbackServer gone;  // a port nobody listens on once this closes
    params.http_port = std::to_string(gone.port());
  }
  link.start_connection(0, 0);
  ASSERT_TRUE(loop.run_until([&] { return link.slot(0).socket_state[0] == kSocketLost; }, 10000));
  EXPECT_FALSE(sockets[0][0]->active());
}

TEST_F(LinkFixture, SessionOpenThenKeyAcceptedSaysHello) {
  int fd = connect(0);
  link.request_pump(0);
  auto req = read_frame(fd);
  UlcmHeader h;
  ASSERT_TRUE(read_ulcm_header(req, h));
  EXPECT_EQ(h.type, uint32_t(kFrameSessionOpen));
  EXPECT_EQ(h.value, 0u);
  EXPECT_EQ(link.slot(0).link_state, kOpenSent);
  // The authentication text decodes back to the credentials of DVR_UK.
  std::string a, b;
  ASSERT_TRUE(split_dvr_uk(h.auth.data(), a, b));
  EXPECT_EQ(a, "7");
  EXPECT_EQ(b, "1234");

  feed(0, reply(frame(kFrameSessionKey, 4242)));
  link.take_reply(0, 0);
  EXPECT_EQ(link.slot(0).session_key, 4242u);
  EXPECT_EQ(link.slot(0).link_state, kEstablished);
  EXPECT_EQ(hellos, std::vector<uint32_t>{4242});
  EXPECT_EQ(link.slot(0).request_outstanding[0], 0);
  // Link events reach the host's logger as information.
  EXPECT_TRUE(logs.has(platform::LogLevel::Info, "connected socket 0"));
  EXPECT_TRUE(logs.has(platform::LogLevel::Info, "session established key=4242"));

  // The next request is a poll carrying the new key.
  link.request_pump(0);
  auto poll = read_frame(fd);
  std::vector<uint8_t> next(poll.begin() + 64, poll.end());
  ASSERT_TRUE(read_ulcm_header(poll, h));
  EXPECT_EQ(h.type, uint32_t(kFrameDataPoll));
  EXPECT_EQ(h.value, 4242u);
}

TEST_F(LinkFixture, KeyAlreadyInUseAsksAgain) {
  int fd = connect(0);
  link.slot(1).session_key = 99;
  link.handle_frame(reinterpret_cast<const uint8_t*>(frame(kFrameSessionKey, 99).data()), 64);
  EXPECT_EQ(link.slot(0).link_state, kOpenSent);
  EXPECT_EQ(link.slot(0).session_key, 99u);
  EXPECT_TRUE(hellos.empty());
  UlcmHeader h;
  ASSERT_TRUE(read_ulcm_header(read_frame(fd), h));
  EXPECT_EQ(h.type, uint32_t(kFrameSessionOpen));  // a type 0 went out again
  EXPECT_EQ(h.value, 99u);
}

TEST_F(LinkFixture, OpenAnsweredWithoutAKeyIsAskedAgain) {
  int fd = connect(0);
  link.request_pump(0);
  read_frame(fd);
  feed(0, reply(frame(kFrameNone4, 0)));
  link.take_reply(0, 0);
  EXPECT_EQ(link.slot(0).link_state, kOpenSent);
  link.request_pump(0);
  UlcmHeader h;
  ASSERT_TRUE(read_ulcm_header(read_frame(fd), h));
  EXPECT_EQ(h.type, uint32_t(kFrameSessionOpen));
}

TEST_F(LinkFixture, StaleReplyWhileSocket0ReconnectsDoesNotHoldTheSession) {
  // Socket 0 was lost and the slot reset; a late reply with the old key on the other socket
  // re-keys the slot while socket 0 is still reconnecting.
  clock.set_unix(5000);
  std::string f = frame(kFrameData, 1234);
  link.handle_frame(reinterpret_cast<const uint8_t*>(f.data()), 64);
  EXPECT_EQ(link.slot(0).session_key, 5000u);
  EXPECT_EQ(link.slot(0).request_outstanding[0], 0);  // nothing could be written
  int fd = connect(0);
  link.request_pump(0);
  UlcmHeader h;
  ASSERT_TRUE(read_ulcm_header(read_frame(fd), h));
  EXPECT_EQ(h.type, uint32_t(kFrameSessionOpen));
}

// Socket 0 is lost while socket 1 holds a poll of the old session (key 77); socket 0 has
// reconnected and sent its session open. The late answer to socket 1's poll is stale in
// every window of the new handshake.
struct LateReplyFixture : LinkFixture {
  int fd0 = -1, fd1 = -1;
  std::string late = reply(frame(kFrameDataPoll, 77));

  void SetUp() override {
    LinkFixture::SetUp();
    clock.set_unix(5000);
    fd0 = connect(0);
    fd1 = connect(1);
    establish(77);
    link.slot(0).live = 1;
    ASSERT_EQ(link.send_frame(0, 1, kFramePoll, 77, 0), 0);
    read_frame(fd1);
    LoopbackServer::close_fd(fd0);
    ASSERT_TRUE(loop.run_until([&] { return link.slot(0).socket_state[0] == kSocketLost; }, 10000));
    fd0 = connect(0);
    link.request_pump(0);
    UlcmHeader h;
    ASSERT_TRUE(read_ulcm_header(read_frame(fd0), h));
    ASSERT_EQ(h.type, uint32_t(kFrameSessionOpen));
  }

  void expect_new_session_intact() {
    EXPECT_EQ(link.slot(0).session_key, 4242u);
    EXPECT_EQ(link.slot(0).link_state, kEstablished);
    EXPECT_EQ(link.slot(0).credential_a, "7");
    EXPECT_EQ(link.slot(0).credential_b, "1234");
    EXPECT_EQ(link.slot(1).session_key, 0u);  // no session was opened for the old key
    EXPECT_EQ(link.slot(0).stale_replies[1], 1u);
    EXPECT_EQ(link.slot(0).request_outstanding[1], 0);
    EXPECT_EQ(hellos, std::vector<uint32_t>{4242});
  }
};

TEST_F(LateReplyFixture, BeforeTheNewKey) {
  feed(1, late);
  link.take_reply(0, 1);
  EXPECT_EQ(link.slot(0).link_state, kOpenSent);
  feed(0, reply(frame(kFrameSessionKey, 4242)));
  link.take_reply(0, 0);
  expect_new_session_intact();
}

TEST_F(LateReplyFixture, InTheSameTickAsTheNewKey) {
  feed(0, reply(frame(kFrameSessionKey, 4242)));
  feed(1, late);
  link.take_reply(0, 0);
  link.take_reply(0, 1);
  expect_new_session_intact();
  EXPECT_EQ(link.slot(0).live, 0);  // still waiting for the identity
}

TEST_F(LateReplyFixture, AfterTheIdentity) {
  feed(0, reply(frame(kFrameSessionKey, 4242)));
  link.take_reply(0, 0);
  link.slot(0).live = 1;
  feed(1, late);
  link.take_reply(0, 1);
  expect_new_session_intact();
  EXPECT_EQ(link.slot(0).live, 1);
}

TEST_F(LinkFixture, SessionOpenPresentsTheCredentialsOfDvrUkAgain) {
  int fd = connect(0);
  link.slot(0).credential_a.clear();  // as a re-key on the answering side leaves them
  link.slot(0).credential_b.clear();
  link.request_pump(0);
  UlcmHeader h;
  ASSERT_TRUE(read_ulcm_header(read_frame(fd), h));
  std::string a, b;
  ASSERT_TRUE(split_dvr_uk(h.auth.data(), a, b));
  EXPECT_EQ(a, "7");
  EXPECT_EQ(b, "1234");
}

TEST_F(LinkFixture, DataFramesCarryWholeMessagesUpTo1280Bytes) {
  int fd = connect(0);
  establish(1);
  queue(4, 500);  // 2000 bytes
  link.request_pump(0);
  auto f = read_frame(fd);
  EXPECT_EQ(f.size(), 64u + 1000u);
  EXPECT_EQ(load_u32le(f.data() + 8), uint32_t(kFrameDataPoll));
}

TEST_F(LinkFixture, SessionOpenEmptiesTheSendQueue) {
  int fd = connect(0);
  queue(1, 700);
  link.request_pump(0);  // link state 0: a session open
  auto f = read_frame(fd);
  EXPECT_EQ(f.size(), 64u);
  ByteRing* r = link.slot(0).send_queue.ring;
  EXPECT_EQ(ring_used(r->write_pos, r->read_pos, r->size), 0u);
}

TEST_F(LinkFixture, OneRequestInFlightAndSixtySecondGiveUp) {
  int fd = connect(0);
  establish(1);
  link.request_pump(0);
  read_frame(fd);
  EXPECT_EQ(link.send_frame(0, 0, kFramePoll, 1, 0), -1);
  tick += kRequestTimeout - 1;
  link.request_pump(0);
  EXPECT_EQ(link.slot(0).request_outstanding[0], 1);
  tick += 1;
  link.request_pump(0);  // given up, then a new poll goes out at once
  EXPECT_EQ(link.slot(0).request_outstanding[0], 1);
  EXPECT_EQ(link.slot(0).request_sent_at[0], tick);
}

TEST_F(LinkFixture, SplitRepliesWaitAndJoinedRepliesTakeTwoTicks) {
  int fd = connect(0);
  (void)fd;
  establish(1);
  std::string r1 = reply(frame(kFrameData, 1));
  feed(0, r1.substr(0, 10));
  link.take_reply(0, 0);
  EXPECT_EQ(link.slot(0).receive[0].fill, 10u);  // nothing consumed yet
  feed(0, r1.substr(10, 60));
  link.take_reply(0, 0);
  EXPECT_EQ(link.slot(0).receive[0].fill, 70u);
  feed(0, r1.substr(70));
  link.slot(0).request_outstanding[0] = 1;
  link.take_reply(0, 0);
  EXPECT_EQ(link.slot(0).receive[0].fill, 0u);
  EXPECT_EQ(link.slot(0).request_outstanding[0], 0);

  feed(0, r1 + r1);
  link.take_reply(0, 0);
  EXPECT_EQ(link.slot(0).receive[0].fill, r1.size());
  link.take_reply(0, 0);
  EXPECT_EQ(link.slot(0).receive[0].fill, 0u);
}

TEST_F(LinkFixture, ContentLengthTakesOnlyItsDigits) {
  int fd = connect(0);
  (void)fd;
  establish(1);
  std::string f = frame(kFrameData, 1);
  feed(0, reply(f, " 6 4"));
  link.take_reply(0, 0);
  EXPECT_EQ(link.slot(0).receive[0].fill, 0u);
}

TEST_F(LinkFixture, UnusableRepliesCloseTheConnection) {
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"bad status", "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n"},
      {"not http", "garbage"},
      {"too long body", "HTTP/1.1 200 OK\r\nContent-Length: 999999\r\n\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    link.slot(0).socket_state[0] = kSocketLost;
    int fd = connect(0);
    feed(0, c.bytes);
    link.take_reply(0, 0);
    ASSERT_TRUE(loop.run_until([&] { return link.slot(0).socket_state[0] == kSocketLost; }, 10000));
    EXPECT_EQ(link.slot(0).receive[0].fill, 0u);
    LoopbackServer::close_fd(fd);
  }
}

TEST_F(LinkFixture, FramesAreValidatedBeforeUse) {
  establish(1);
  std::string f = frame(kFrameData, 1);
  auto* p = reinterpret_cast<uint8_t*>(f.data());
  EXPECT_EQ(link.handle_frame(p, 64), 0);   // slot 0 found
  EXPECT_EQ(link.handle_frame(p, 63), -1);  // shorter than a header
  store_u32le(p + 52, 2);                   // slot index 2
  EXPECT_EQ(link.handle_frame(p, 64), -1);
  store_u32le(p + 52, 0);
  store_u32le(p + 4, 0x4D434C56);  // bad magic
  EXPECT_EQ(link.handle_frame(p, 64), -1);
  std::string t4 = frame(kFrameNone4, 1);
  EXPECT_EQ(link.handle_frame(reinterpret_cast<const uint8_t*>(t4.data()), 64), -1);
}

TEST_F(LinkFixture, UnknownKeyReKeysTheSession) {
  clock.set_unix(1000);
  establish(1);
  link.slot(0).live = 1;
  std::string f = frame(kFrameData, 555);
  link.handle_frame(reinterpret_cast<const uint8_t*>(f.data()), 64);
  // Slot 1 was not live: it answers for the peer's new session.
  EXPECT_EQ(link.slot(1).session_key, 1000u);
  EXPECT_EQ(link.slot(1).live, 1);
}

struct RegistryFixture : LinkFixture {
  std::vector<std::string> delivered;
  std::array<uint8_t, 256> vask_buf{}, icmd_buf{};
  void SetUp() override {
    LinkFixture::SetUp();
    link.register_channel(
        make_tag("VASK"), [this] { delivered.push_back("VASK"); }, nullptr, vask_buf);
    link.register_channel(
        make_tag("ICMD"), [this] { delivered.push_back("ICMD"); }, nullptr, icmd_buf);
  }
  void dispatch(const std::string& payload) {
    link.dispatch_messages(0, reinterpret_cast<const uint8_t*>(payload.data()),
                           uint32_t(payload.size()));
  }
};

TEST_F(RegistryFixture, BadChecksumSkipsOnlyThatMessage) {
  dispatch(message("VASK", 0, 10, false) + message("ICMD", 0, 10));
  EXPECT_EQ(delivered, std::vector<std::string>{"ICMD"});
}

TEST_F(RegistryFixture, OverrunningLengthDropsTheRest) {
  std::string second = message("ICMD", 0, 10);
  store_u32le(reinterpret_cast<uint8_t*>(second.data()), 500);
  dispatch(message("VASK", 0, 4) + second + message("ICMD", 0, 4));
  EXPECT_EQ(delivered, std::vector<std::string>{"VASK"});
}

TEST_F(RegistryFixture, UnknownTagsAndOversizeMessagesAreSkipped) {
  dispatch(message("ZZZZ", 0, 4) + message("VASK", 0, 300) + message("VASK", 0, 224));
  // 224 + 32 fills the 256-byte buffer exactly; 300 + 32 does not fit.
  EXPECT_EQ(delivered, std::vector<std::string>{"VASK"});
}

TEST_F(RegistryFixture, UnknownKeyDeliversNothingAndTableHoldsThirtyTwo) {
  link.dispatch_messages(9, nullptr, 0);
  std::string m = message("VASK", 9, 4);
  link.dispatch_messages(9, reinterpret_cast<const uint8_t*>(m.data()), uint32_t(m.size()));
  EXPECT_TRUE(delivered.empty());
  for (int i = 0; i < 40; ++i) link.register_channel(make_tag("XXXX"), nullptr, nullptr, {});
  int used = 0;
  for (const auto& e : link.registry()) used += e.in_use;
  EXPECT_EQ(used, kRegistryEntries);
  EXPECT_EQ(link.registry()[2].tag, make_tag("XXXX"));
}

TEST_F(RegistryFixture, SendByTagReachesTheFirstEntry) {
  int calls = 0;
  uint32_t key = 0;
  link.register_channel(make_tag("PBBA"), nullptr,
                        [&](const ChannelRequest& r) {
                          ++calls;
                          key = r.key;
                        },
                        {});
  link.register_channel(make_tag("PBBA"), nullptr, [&](const ChannelRequest&) { calls += 10; }, {});
  link.send_by_tag(make_tag("PBBA"), ChannelRequest(77, 1));
  link.send_by_tag(make_tag("NONE"), {});
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(key, 77u);
}

}  // namespace
}  // namespace tessomar::link
