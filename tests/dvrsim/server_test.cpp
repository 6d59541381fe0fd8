// The simulator driven in-process over loopback sockets, with a manual clock so that the
// long-poll idle time and reply delays are exact.
#include "dvrsim/server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <tuple>
#include <utility>

#include "dvrsim/settings.h"
#include "dvrsim/sim_client.h"
#include "dvrsim/video_harness.h"
#include "link/wire.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "support/ipv6.h"

namespace tessomar::dvrsim {
namespace {

using testing::HttpReply;
using testing::make_request;
using testing::SimClient;

constexpr uint32_t kTestTag = link::make_tag("TEST");

class SimulatorTest : public ::testing::Test {
 protected:
  void start(Options o = {}) {
    o.port = 0;
    o.user_level = 8;
    o.password = "4321";
    o.poll_idle_ms = 1000;
    options_ = o;
    sim_ = std::make_unique<Simulator>(o, clock_);
    sim_->set_logger([this](std::string_view line) { log_.emplace_back(line); });
    std::string error;
    ASSERT_TRUE(sim_->bind(&error)) << error;
  }
  void SetUp() override { clock_.set_unix(1700000000); }

  std::array<char, 32> auth() const {
    return link::make_auth_text("8", "4321", static_cast<uint32_t>(clock_.unix_now()));
  }

  // Opens a session on the client and returns its key.
  uint32_t open_session(SimClient& c) {
    EXPECT_TRUE(c.send(make_request(link::kFrameSessionOpen, 0, auth())));
    auto r = c.read_reply();
    EXPECT_TRUE(r && r->frame());
    if (!r || !r->frame()) return 0;
    EXPECT_EQ(r->frame()->type, link::kFrameSessionKey);
    return r->frame()->value;
  }

  bool logged(std::string_view text) const {
    for (const auto& l : log_) {
      if (l.find(text) != std::string::npos) return true;
    }
    return false;
  }

  platform::ManualClock clock_;
  Options options_;
  std::unique_ptr<Simulator> sim_;
  std::vector<std::string> log_;
};

std::vector<uint8_t> test_message(uint32_t key, size_t payload_size, uint8_t fill) {
  std::vector<uint8_t> payload(payload_size, fill);
  return build_message(kTestTag, key, {1, 2, 3}, payload);
}

void expect_well_formed(const HttpReply& r) {
  EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
  ASSERT_GE(r.content_length, 64);
  EXPECT_EQ(size_t(r.content_length), r.body.size());
  auto f = r.frame();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->magic, link::kUlcmMagic);
  EXPECT_EQ(f->total_length, r.body.size());
}

TEST_F(SimulatorTest, SessionOpenAnswersFreshKeysAndEchoesSlotAndSocket) {
  start();
  SimClient a(*sim_);
  ASSERT_TRUE(a.send(make_request(link::kFrameSessionOpen, 0, auth(), {}, 1, 1)));
  auto r = a.read_reply();
  ASSERT_TRUE(r);
  expect_well_formed(*r);
  const auto f = *r->frame();
  EXPECT_EQ(f.type, link::kFrameSessionKey);
  EXPECT_NE(f.value, 0u);
  EXPECT_EQ(f.slot_index, 1u);
  EXPECT_EQ(f.socket_index, 1u);
  EXPECT_TRUE(r->frame_payload().empty());
  EXPECT_TRUE(logged("session opened key=" + std::to_string(f.value)));

  // Another open, even at the same second, gets a different key.
  SimClient b(*sim_);
  const uint32_t second = open_session(b);
  EXPECT_NE(second, 0u);
  EXPECT_NE(second, f.value);
  EXPECT_EQ(sim_->sessions().size(), 2u);
}

TEST_F(SimulatorTest, EmptyPollIsHeldForTheIdleTimeThenAnsweredEmpty) {
  start();
  SimClient c(*sim_);
  const uint32_t key = open_session(c);
  ASSERT_TRUE(c.send(make_request(link::kFrameDataPoll, key, auth(), {}, 0, 1)));
  EXPECT_FALSE(c.any_bytes_within(20));
  clock_.advance_ms(999);
  EXPECT_FALSE(c.any_bytes_within(20));
  clock_.advance_ms(1);
  auto r = c.read_reply();
  ASSERT_TRUE(r);
  expect_well_formed(*r);
  EXPECT_EQ(r->frame()->type, link::kFrameData);
  EXPECT_EQ(r->frame()->value, key);
  EXPECT_EQ(r->frame()->socket_index, 1u);
  EXPECT_TRUE(r->frame_payload().empty());
}

TEST_F(SimulatorTest, QueuedMessageReleasesAHeldPoll) {
  start();
  SimClient c(*sim_);
  const uint32_t key = open_session(c);
  ASSERT_TRUE(c.send(make_request(link::kFrameDataPoll, key, auth())));
  EXPECT_FALSE(c.any_bytes_within(10));
  const auto msg = test_message(key, 100, 7);
  ASSERT_TRUE(sim_->queue_message(key, msg));
  auto r = c.read_reply();
  ASSERT_TRUE(r);
  expect_well_formed(*r);
  EXPECT_EQ(r->frame()->type, link::kFrameData);
  const auto p = r->frame_payload();
  EXPECT_EQ(std::vector<uint8_t>(p.begin(), p.end()), msg);
}

TEST_F(SimulatorTest, HandlerSeesCheckedMessagesAndItsReplyLeavesWithTheAnswer) {
  start();
  std::vector<uint32_t> seen;  // first channel word of each delivered message
  sim_->channels().register_handler(kTestTag, [&](ChannelContext& ctx, const ChannelMessage& m) {
    seen.push_back(m.word(36));
    ctx.queue(build_message(kTestTag, ctx.session_key(), {m.word(36) + 100}, m.payload()));
  });
  SimClient c(*sim_);
  const uint32_t key = open_session(c);

  auto good = build_message(kTestTag, key, {1}, std::vector<uint8_t>{9, 9});
  auto bad = build_message(kTestTag, key, {2}, {});
  bad[8] ^= 1;  // checksum
  auto other = build_message(link::make_tag("NONE"), key, {3}, {});
  auto good2 = build_message(kTestTag, key, {4}, {});
  std::vector<uint8_t> payload;
  for (const auto* m : {&good, &bad, &other, &good2})
    payload.insert(payload.end(), m->begin(), m->end());

  ASSERT_TRUE(c.send(make_request(link::kFrameDataPoll, key, auth(), payload)));
  auto r = c.read_reply(200);  // answered at once, not after the idle time
  ASSERT_TRUE(r);
  EXPECT_EQ(seen, (std::vector<uint32_t>{1, 4}));
  const auto p = r->frame_payload();
  auto expect1 = build_message(kTestTag, key, {101}, std::vector<uint8_t>{9, 9});
  auto expect2 = build_message(kTestTag, key, {104}, {});
  std::vector<uint8_t> expected = expect1;
  expected.insert(expected.end(), expect2.begin(), expect2.end());
  EXPECT_EQ(std::vector<uint8_t>(p.begin(), p.end()), expected);
}

TEST_F(SimulatorTest, RepliesCarryWholeMessagesWithinTheBudget) {
  start();
  SimClient c(*sim_);
  const uint32_t key = open_session(c);
  // Three 100 KiB messages: two fit in one reply, the third goes in the next.
  for (uint8_t i = 0; i < 3; ++i)
    ASSERT_TRUE(sim_->queue_message(key, test_message(key, 100 * 1024, i)));
  // One message above the budget still goes out, alone.
  ASSERT_TRUE(sim_->queue_message(key, test_message(key, 270 * 1024, 9)));
  std::vector<size_t> sizes;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(c.send(make_request(link::kFrameDataPoll, key, auth())));
    auto r = c.read_reply();
    ASSERT_TRUE(r);
    expect_well_formed(*r);
    sizes.push_back(r->frame_payload().size());
  }
  const size_t m = 100 * 1024 + 64;
  EXPECT_EQ(sizes, (std::vector<size_t>{2 * m, m, 270 * 1024 + 64}));
  // A message that could not fit in the control's receive buffer is refused.
  EXPECT_FALSE(sim_->queue_message(key, test_message(key, 290 * 1024, 1)));
}

// Bad credentials on a live session are answered with a VASK refusal (identity_test.cpp);
// everything that names no live session gets an empty type 4.
TEST_F(SimulatorTest, RefusedRequestsGetAnEmptyType4) {
  start();
  SimClient c(*sim_);
  const uint32_t key = open_session(c);
  const uint32_t now = static_cast<uint32_t>(clock_.unix_now());
  const uint32_t unknown = key + 1000;
  struct Case {
    const char* name;
    uint32_t type;
    uint32_t value;
    std::array<char, 32> auth;
    const char* log;
  };
  const Case cases[] = {
      {"wrong password", link::kFrameDataPoll, unknown, link::make_auth_text("8", "4322", now),
       "refused: bad credentials"},
      {"wrong level", link::kFrameDataPoll, unknown, link::make_auth_text("9", "4321", now),
       "refused: bad credentials"},
      {"stale time", link::kFrameDataPoll, unknown, link::make_auth_text("8", "4321", now - 301),
       "refused: bad credentials"},
      {"no auth text", link::kFramePoll, unknown, std::array<char, 32>{}, "refused"},
      {"unknown key", link::kFrameDataPoll, unknown, auth(), nullptr},
      {"key 0", link::kFramePoll, 0, auth(), nullptr},
      {"type 6", 6, key, auth(), nullptr},
      {"type 1", link::kFrameSessionKey, key, auth(), nullptr},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    log_.clear();
    ASSERT_TRUE(c.send(make_request(k.type, k.value, k.auth)));
    auto r = c.read_reply(200);
    ASSERT_TRUE(r);
    expect_well_formed(*r);
    EXPECT_EQ(r->frame()->type, link::kFrameNone4);
    EXPECT_TRUE(r->frame_payload().empty());
    if (k.log) {
      EXPECT_TRUE(logged(k.log));
    }
  }
  // The connection and the session survive refusals.
  ASSERT_TRUE(c.send(make_request(link::kFrameDataPoll, key, auth())));
  EXPECT_FALSE(c.any_bytes_within(10));  // held
  clock_.advance_ms(1000);
  auto r = c.read_reply();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->frame()->type, link::kFrameData);
  // A time within the allowed skew is accepted.
  auto near = link::make_auth_text("8", "4321", now + 299);
  ASSERT_TRUE(c.send(make_request(link::kFrameSessionOpen, 0, near)));
  r = c.read_reply();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->frame()->type, link::kFrameSessionKey);
}

TEST_F(SimulatorTest, MalformedFramesCloseTheConnection) {
  start();
  struct Case {
    const char* name;
    uint32_t offset;
    uint32_t value;
  };
  const Case cases[] = {
      {"bad magic", 4, 0x4D434C56},
      {"length below header", 0, 63},
      {"payload too large", 0, 64 + kMaxRequestPayload + 1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    SimClient c(*sim_);
    auto req = make_request(link::kFrameSessionOpen, 0, auth());
    platform::store_u32le(req.data() + k.offset, k.value);
    ASSERT_TRUE(c.send(req));
    EXPECT_TRUE(c.wait_closed());
    EXPECT_TRUE(c.pending().empty());
  }
  EXPECT_EQ(sim_->connection_count(), 0u);
}

TEST_F(SimulatorTest, RequestsArrivingInPiecesAndBackToBackAreAnsweredInOrder) {
  start();
  SimClient c(*sim_);
  auto two = make_request(link::kFrameSessionOpen, 0, auth(), {}, 0, 0);
  auto second = make_request(link::kFrameSessionOpen, 0, auth(), {}, 0, 1);
  two.insert(two.end(), second.begin(), second.end());
  for (size_t i = 0; i < two.size(); i += 7) {
    ASSERT_TRUE(
        c.send(std::span<const uint8_t>(two).subspan(i, std::min<size_t>(7, two.size() - i))));
    sim_->poll_once(0);
  }
  auto r1 = c.read_reply();
  auto r2 = c.read_reply();
  ASSERT_TRUE(r1 && r2);
  EXPECT_EQ(r1->frame()->socket_index, 0u);
  EXPECT_EQ(r2->frame()->socket_index, 1u);
  EXPECT_NE(r1->frame()->value, r2->frame()->value);
}

TEST_F(SimulatorTest, PageEmbedsTheControlWithTheConnectedAddress) {
  start();
  SimClient c(*sim_);
  ASSERT_TRUE(c.send_text("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
  auto r = c.read_reply();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status_line, "HTTP/1.1 200 OK");
  EXPECT_NE(r->head.find("Content-Type: text/html\r\n"), std::string::npos);
  EXPECT_EQ(size_t(r->content_length), r->body.size());
  const std::string page(r->body.begin(), r->body.end());
  EXPECT_NE(page.find("<object classid="), std::string::npos);
  EXPECT_NE(page.find("<param name=\"DVRIP\" value=\"127.0.0.1\">"), std::string::npos);
  EXPECT_NE(page.find("<param name=\"HTTP_PORT\" value=\"" + std::to_string(sim_->port()) + "\">"),
            std::string::npos);
  EXPECT_NE(page.find("<param name=\"HTTP_PAGE\" value=\"0\">"), std::string::npos);
  const std::string marker = "<param name=\"DVR_UK\" value=\"";
  const size_t at = page.find(marker);
  ASSERT_NE(at, std::string::npos);
  const std::string uk =
      page.substr(at + marker.size(), page.find('"', at + marker.size()) - at - marker.size());
  std::string a, b;
  ASSERT_TRUE(link::split_dvr_uk(uk, a, b));
  EXPECT_EQ(a, "8");
  EXPECT_EQ(b, "4321");
  EXPECT_TRUE(c.wait_closed());
}

TEST_F(SimulatorTest, PrintedDvrUkDecodesToTheCredentials) {
  start();
  std::string a, b;
  ASSERT_TRUE(link::split_dvr_uk(sim_->dvr_uk(), a, b));
  EXPECT_EQ(a, "8");
  EXPECT_EQ(b, "4321");
}

TEST_F(SimulatorTest, SessionListenersHearOpens) {
  start();
  std::vector<uint32_t> opened;
  sim_->add_session_listener([&](SessionEvent e, uint32_t key) {
    if (e == SessionEvent::kOpened) opened.push_back(key);
  });
  SimClient c(*sim_);
  const uint32_t key = open_session(c);
  EXPECT_EQ(opened, (std::vector<uint32_t>{key}));
}

TEST_F(SimulatorTest, SessionWithoutConnectionsIsForgottenAfterIdling) {
  start();
  std::vector<uint32_t> closed;
  sim_->add_session_listener([&](SessionEvent e, uint32_t key) {
    if (e == SessionEvent::kClosed) closed.push_back(key);
  });
  uint32_t key = 0;
  {
    SimClient c(*sim_);
    key = open_session(c);
  }
  for (int i = 0; i < 20 && sim_->connection_count() > 0; ++i) sim_->poll_once(5);
  clock_.advance_ms(Simulator::kSessionIdleMs - 1);
  sim_->poll_once(0);
  EXPECT_TRUE(closed.empty());
  clock_.advance_ms(1);
  sim_->poll_once(0);
  EXPECT_EQ(closed, (std::vector<uint32_t>{key}));
  EXPECT_FALSE(sim_->queue_message(key, test_message(key, 1, 1)));
}

// The page the simulator serves to a client of the loopback address of a family; nullopt
// when the connection is refused or no whole page arrives.
std::optional<std::string> fetch_page(Simulator& sim, int family) {
  sockaddr_storage a{};
  socklen_t len = 0;
  if (family == AF_INET6) {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(a);
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    v6.sin6_port = htons(sim.port());
    len = sizeof v6;
  } else {
    auto& v4 = reinterpret_cast<sockaddr_in&>(a);
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    v4.sin_port = htons(sim.port());
    len = sizeof v4;
  }
  const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 && errno != EINPROGRESS) {
    ::close(fd);
    return std::nullopt;
  }
  const std::string request = "GET / HTTP/1.0\r\n\r\n";
  size_t sent = 0;
  std::string page;
  for (int round = 0; round < 2000; ++round) {
    sim.poll_once(5);
    if (sent < request.size()) {
      const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n > 0) sent += size_t(n);
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTCONN) break;
      continue;
    }
    char buf[4096];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) page.append(buf, size_t(n));
    if (n == 0) {
      ::close(fd);
      return page;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
  }
  ::close(fd);
  return std::nullopt;
}

TEST_F(SimulatorTest, ListensOnTheAddressFamiliesItWasAskedFor) {
  if (!testsupport::ipv6_loopback_available()) GTEST_SKIP() << "no IPv6 loopback";
  struct Case {
    const char* host;
    const char* address;  // before the port
    bool v4;
    bool v6;
  };
  const Case cases[] = {
      // Loopback either way, so that "localhost" reaches it whatever it resolves to first.
      {"127.0.0.1", "127.0.0.1:", true, true},
      {"::1", "[::1]:", false, true},
      {"::", "[::]:", true, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.host);
    Options o;
    o.host = k.host;
    start(o);
    EXPECT_EQ(sim_->address(), k.address + std::to_string(sim_->port()));
    for (const auto& [family, reached, dvrip] :
         {std::tuple{AF_INET, k.v4, "127.0.0.1"}, std::tuple{AF_INET6, k.v6, "::1"}}) {
      SCOPED_TRACE(family == AF_INET ? "IPv4 client" : "IPv6 client");
      const auto page = fetch_page(*sim_, family);
      ASSERT_EQ(page.has_value(), reached);
      // The page names the address the client came in on.
      if (page) {
        EXPECT_NE(page->find("<param name=\"DVRIP\" value=\"" + std::string(dvrip) + "\">"),
                  std::string::npos);
      }
    }
  }
}

// The simulator after its client has gone.

TEST_F(SimulatorTest, SessionIsDetachedWhenItsLastConnectionGoesAndKeptUntilIdle) {
  start();
  std::vector<std::pair<SessionEvent, uint32_t>> heard;
  sim_->add_session_listener([&](SessionEvent e, uint32_t key) {
    if (e != SessionEvent::kOpened) heard.emplace_back(e, key);
  });
  auto turn_until = [&](const std::function<bool()>& done) {
    for (int i = 0; i < 400 && !done(); ++i) sim_->poll_once(5);
    return done();
  };
  auto a = std::make_unique<SimClient>(*sim_);
  auto b = std::make_unique<SimClient>(*sim_);
  const uint32_t key = open_session(*a);
  ASSERT_TRUE(b->send(make_request(link::kFrameDataPoll, key, auth())));
  ASSERT_TRUE(turn_until([&] { return sim_->sessions().find(key)->connections == 2; }));

  a.reset();
  ASSERT_TRUE(turn_until([&] { return sim_->connection_count() == 1; }));
  EXPECT_TRUE(heard.empty());
  b.reset();
  ASSERT_TRUE(turn_until([&] { return !heard.empty(); }));
  EXPECT_EQ(heard,
            (std::vector<std::pair<SessionEvent, uint32_t>>{{SessionEvent::kDetached, key}}));
  // The key still takes messages until the idle time-out.
  EXPECT_TRUE(sim_->queue_message(key, test_message(key, 1, 1)));

  // A connection that opens another session leaves its old one the same way.
  SimClient c(*sim_);
  const uint32_t first = open_session(c);
  open_session(c);
  EXPECT_EQ(heard.back(), std::pair(SessionEvent::kDetached, first));

  clock_.advance_ms(Simulator::kSessionIdleMs);
  sim_->poll_once(0);
  EXPECT_EQ(std::count(heard.begin(), heard.end(), std::pair(SessionEvent::kClosed, key)), 1);
  EXPECT_EQ(std::count(heard.begin(), heard.end(), std::pair(SessionEvent::kClosed, first)), 1);
}

TEST_F(SimulatorTest, TickHooksRunEvery10MsOnlyWhileThereIsWork) {
  start();
  bool busy = false;
  sim_->add_tick_hook([](uint32_t) {});  // busy while a session has a connection
  auto waited_ms = [&](int timeout_ms) {
    const auto t0 = std::chrono::steady_clock::now();
    sim_->poll_once(timeout_ms);
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 t0)
        .count();
  };
  // Lower bounds: a loop that sleeps cannot be too fast. Upper bounds far above 10 ms.
  EXPECT_GE(waited_ms(300), 250) << "woke with nobody connected";
  {
    SimClient c(*sim_);
    open_session(c);
    EXPECT_LT(waited_ms(20000), 10000);
  }
  for (int i = 0; i < 400 && sim_->connection_count() > 0; ++i) sim_->poll_once(5);
  ASSERT_EQ(sim_->connection_count(), 0u);
  EXPECT_GE(waited_ms(300), 250) << "woke for a session whose client has gone";

  // A hook that says when it has work is believed.
  sim_->add_tick_hook([](uint32_t) {}, [&] { return busy; });
  busy = true;
  EXPECT_LT(waited_ms(20000), 10000);
  busy = false;

  // The idle end of the detached session is the next thing due.
  clock_.advance_ms(Simulator::kSessionIdleMs);
  EXPECT_LT(waited_ms(20000), 10000);
  EXPECT_EQ(sim_->sessions().size(), 0u);
}

TEST(SimulatorVideo, ASessionsStreamsStopWhenItsClientLeaves) {
  testing::VideoSessionRig rig(testing::cif_device(), [](const testing::WireMessage&, uint32_t) {
    return testing::Record{};
  });
  rig.feedback(testing::kBigCredit);
  std::vector<uint8_t> single_view(64, 0);
  platform::store_u32le(&single_view[8], 1);  // channel 1
  platform::store_u32le(&single_view[16], 352);
  platform::store_u32le(&single_view[20], 288);
  rig.set(kRecordLiveView, 0, 1, single_view);
  ASSERT_EQ(rig.video.streaming_channel(rig.key), 1u);

  rig.client.reset();
  for (int i = 0; i < 400 && rig.video.stream_mode(rig.key) != StreamMode::kNone; ++i) {
    rig.h.sim().poll_once(5);
  }
  EXPECT_EQ(rig.video.stream_mode(rig.key), StreamMode::kNone);
  const Session* s = rig.h.sim().sessions().find(rig.key);
  ASSERT_NE(s, nullptr);
  const size_t queued = s->queued_bytes;
  rig.run_ms(500);
  EXPECT_EQ(rig.h.sim().sessions().find(rig.key)->queued_bytes, queued) << "still encoding";
}

// Fault injection.

TEST_F(SimulatorTest, SplitRepliesArriveInPiecesAndStayIntact) {
  Options o;
  o.faults.split = true;
  start(o);
  SimClient c(*sim_);
  const uint32_t key = open_session(c);
  const auto msg = test_message(key, 3000, 5);
  ASSERT_TRUE(sim_->queue_message(key, msg));
  ASSERT_TRUE(c.send(make_request(link::kFrameDataPoll, key, auth())));
  auto r = c.read_reply(20000);
  ASSERT_TRUE(r);
  expect_well_formed(*r);
  EXPECT_GT(r->reads, 1);
  const auto p = r->frame_payload();
  EXPECT_EQ(std::vector<uint8_t>(p.begin(), p.end()), msg);
}

TEST_F(SimulatorTest, CloseAfterNRepliesClosesOnceTheyAreSent) {
  Options o;
  o.faults.close_after = 2;
  start(o);
  SimClient c(*sim_);
  const uint32_t key = open_session(c);
  ASSERT_TRUE(sim_->queue_message(key, test_message(key, 10, 1)));
  ASSERT_TRUE(c.send(make_request(link::kFrameDataPoll, key, auth())));
  auto r = c.read_reply();
  ASSERT_TRUE(r);
  expect_well_formed(*r);
  EXPECT_TRUE(c.wait_closed());
  EXPECT_TRUE(logged("closing after 2 replies"));
}

TEST_F(SimulatorTest, BadStatusAndBadMagicHitOnlyTheNthReply) {
  struct Case {
    const char* name;
    uint32_t Faults::*field;
  };
  for (const Case& k :
       {Case{"status", &Faults::bad_status_nth}, Case{"magic", &Faults::bad_magic_nth}}) {
    SCOPED_TRACE(k.name);
    Options o;
    o.faults.*k.field = 2;
    start(o);
    SimClient c(*sim_);
    std::vector<HttpReply> replies;
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(c.send(make_request(link::kFrameSessionOpen, 0, auth())));
      auto r = c.read_reply();
      ASSERT_TRUE(r);
      replies.push_back(*r);
    }
    for (int i = 0; i < 3; ++i) {
      const bool hit = i == 1;
      const bool status_hit = hit && k.field == &Faults::bad_status_nth;
      const bool magic_hit = hit && k.field == &Faults::bad_magic_nth;
      EXPECT_EQ(replies[i].status_line,
                status_hit ? "HTTP/1.1 500 Internal Server Error" : "HTTP/1.1 200 OK");
      EXPECT_EQ(replies[i].frame()->magic == link::kUlcmMagic, !magic_hit);
      EXPECT_EQ(size_t(replies[i].content_length), replies[i].body.size());
    }
  }
}

TEST_F(SimulatorTest, DelayHoldsEveryReplyBack) {
  Options o;
  o.faults.delay_ms = 500;
  start(o);
  SimClient c(*sim_);
  ASSERT_TRUE(c.send(make_request(link::kFrameSessionOpen, 0, auth())));
  EXPECT_FALSE(c.any_bytes_within(20));
  clock_.advance_ms(499);
  EXPECT_FALSE(c.any_bytes_within(20));
  clock_.advance_ms(1);
  auto r = c.read_reply();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->frame()->type, link::kFrameSessionKey);
}

// A session forgotten behind an open connection: by default a poll naming its key gets an
// empty type 4 answer for ever; in re-key mode it gets a new session's key (type 1), under
// which the next poll is taken.
TEST_F(SimulatorTest, ForgottenSessionIsAnsweredType4OrReKeyed) {
  for (const bool rekey : {false, true}) {
    SCOPED_TRACE(rekey ? "re-key" : "type 4");
    Options o;
    o.faults.forget_sessions_ms = 500;
    o.faults.rekey = rekey;
    start(o);
    SimClient c(*sim_);
    const uint32_t key = open_session(c);
    clock_.advance_ms(499);
    sim_->poll_once(0);
    EXPECT_NE(sim_->sessions().find(key), nullptr);
    clock_.advance_ms(1);
    sim_->poll_once(0);
    EXPECT_EQ(sim_->sessions().find(key), nullptr);
    EXPECT_EQ(sim_->counters().sessions_forgotten, 1u);

    ASSERT_TRUE(c.send(make_request(link::kFrameDataPoll, key, auth())));
    auto r = c.read_reply();
    ASSERT_TRUE(r && r->frame());
    if (!rekey) {
      EXPECT_EQ(r->frame()->type, link::kFrameNone4);
      EXPECT_EQ(r->frame()->value, 0u);
      continue;
    }
    EXPECT_EQ(r->frame()->type, link::kFrameSessionKey);
    const uint32_t fresh = r->frame()->value;
    EXPECT_NE(fresh, 0u);
    EXPECT_NE(fresh, key);
    EXPECT_EQ(sim_->counters().rekeys, 1u);
    ASSERT_TRUE(c.send(make_request(link::kFrameDataPoll, fresh, auth())));
    EXPECT_FALSE(c.any_bytes_within(10));  // held: a known session with nothing to send
    ASSERT_TRUE(sim_->queue_message(fresh, test_message(fresh, 10, 1)));
    r = c.read_reply();
    ASSERT_TRUE(r && r->frame());
    EXPECT_EQ(r->frame()->type, link::kFrameData);
    EXPECT_EQ(r->frame()->value, fresh);
  }
}

TEST_F(SimulatorTest, StallHoldsEveryReplyUntilItEnds) {
  Options o;
  o.faults.stall_after = 1;
  o.faults.stall_ms = 300;
  start(o);
  SimClient a(*sim_);
  open_session(a);
  // A new connection is accepted and read, but not answered.
  SimClient b(*sim_);
  ASSERT_TRUE(b.send(make_request(link::kFrameSessionOpen, 0, auth())));
  EXPECT_FALSE(b.any_bytes_within(20));
  clock_.advance_ms(299);
  EXPECT_FALSE(b.any_bytes_within(20));
  clock_.advance_ms(1);
  auto r = b.read_reply();
  ASSERT_TRUE(r && r->frame());
  EXPECT_EQ(r->frame()->type, link::kFrameSessionKey);
  EXPECT_EQ(sim_->counters().stalls, 1u);
}

// A VIDO frame record message: the arrival key is all that matters here.
std::vector<uint8_t> video_record(uint32_t key, uint32_t arrival_key, uint32_t kind = 0) {
  std::vector<uint8_t> m(64 + 128 + 32, 0);
  platform::store_u32le(m.data(), uint32_t(m.size()));
  platform::store_u32le(m.data() + 4, link::make_tag("VIDO"));
  platform::store_u32le(m.data() + 32, key);
  platform::store_u32le(m.data() + 64, uint32_t(m.size() - 64));
  platform::store_u32le(m.data() + 64 + 32, arrival_key);
  platform::store_u32le(m.data() + 64 + 48, kind);
  platform::store_u32le(m.data() + 8,
                        link::message_checksum(m.data() + 32, uint32_t(m.size() - 32)));
  return m;
}

struct SentMessage {
  uint32_t arrival_key;
  size_t size;
  bool checksum_ok;
};

// With a rate of 1 in 1 every video record is hit (audio blocks never): the picks are
// exact, the effect on what the control receives is what the table says.
TEST_F(SimulatorTest, VideoRecordFaultsChangeWhatLeaves) {
  struct Case {
    const char* name;
    uint32_t Faults::*field;
    std::vector<uint32_t> keys;  // arrival keys in the order they leave; audio is key 100
    size_t size;
    bool checksum_ok;
  };
  const Case cases[] = {
      {"reorder", &Faults::reorder_one_in, {2, 1, 100, 4, 3}, 224, true},
      {"drop", &Faults::drop_one_in, {100}, 224, true},
      {"oversize", &Faults::oversize_one_in, {1, 2, 3, 100, 4}, 280000, true},
      {"bad checksum", &Faults::bad_checksum_one_in, {1, 2, 3, 100, 4}, 224, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Options o;
    o.faults.*k.field = 1;
    start(o);
    SimClient c(*sim_);
    const uint32_t key = open_session(c);
    for (uint32_t n : {1u, 2u, 3u}) ASSERT_TRUE(sim_->queue_message(key, video_record(key, n)));
    ASSERT_TRUE(sim_->queue_message(key, video_record(key, 100, 2)));
    ASSERT_TRUE(sim_->queue_message(key, video_record(key, 4)));
    std::vector<SentMessage> sent;
    while (sim_->sessions().find(key) != nullptr && sim_->sessions().has_queued(key)) {
      ASSERT_TRUE(c.send(make_request(link::kFrameDataPoll, key, auth())));
      auto r = c.read_reply();
      ASSERT_TRUE(r && r->frame());
      const auto p = r->frame_payload();
      for (size_t off = 0; off + 32 <= p.size();) {
        const uint32_t n = platform::load_u32le(p.data() + off);
        ASSERT_GE(n, 32u);
        ASSERT_LE(off + n, p.size());
        sent.push_back({platform::load_u32le(p.data() + off + 64 + 32), n,
                        platform::load_u32le(p.data() + off + 8) ==
                            link::message_checksum(p.data() + off + 32, n - 32)});
        off += n;
      }
    }
    std::vector<uint32_t> keys;
    for (const SentMessage& m : sent) {
      keys.push_back(m.arrival_key);
      if (m.arrival_key == 100) continue;
      EXPECT_EQ(m.size, k.size) << m.arrival_key;
      EXPECT_EQ(m.checksum_ok, k.checksum_ok) << m.arrival_key;
    }
    EXPECT_EQ(keys, k.keys);
  }
}
}  // namespace
}  // namespace tessomar::dvrsim
