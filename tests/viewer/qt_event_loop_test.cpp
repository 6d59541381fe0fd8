#include "qt_event_loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/log.h"
#include "platform/socket.h"
#include "support/loopback.h"

namespace tessomar::viewer {
namespace {

constexpr int kDeadlineMs = 10000;

struct Pipe {
  Pipe() { EXPECT_EQ(::pipe2(fd, O_CLOEXEC | O_NONBLOCK), 0); }
  ~Pipe() { close(); }
  void close() {
    for (int& f : fd) {
      if (f >= 0) ::close(f);
      f = -1;
    }
  }
  void put(const char* s) { ASSERT_GT(::write(fd[1], s, std::strlen(s)), 0); }
  int fd[2] = {-1, -1};
};

class QtLoopTest : public ::testing::Test {
 protected:
  // Lets Qt run for a while with no condition to wait for.
  void idle(int ms) {
    loop.run_until([] { return false; }, ms);
  }

  platform::SystemClock clock;
  QtEventLoop loop{clock};
};

TEST_F(QtLoopTest, TimersFireRepeatedlyOnlyWhileEnabled) {
  int fired = 0, never = 0;
  loop.add_timer(5, [&] { ++never; });  // added, never enabled
  platform::TimerId t = loop.add_timer(10, [&] { ++fired; });
  idle(30);
  EXPECT_EQ(fired, 0);  // timers start disabled

  loop.set_timer(t, true, 10);
  ASSERT_TRUE(loop.run_until([&] { return fired >= 3; }, kDeadlineMs));
  loop.set_timer(t, false, 10);
  const int at_stop = fired;
  idle(60);
  EXPECT_EQ(fired, at_stop);

  loop.set_timer(t, true, 10);
  ASSERT_TRUE(loop.run_until([&] { return fired > at_stop; }, kDeadlineMs));
  loop.remove_timer(t);
  const int at_remove = fired;
  idle(60);
  EXPECT_EQ(fired, at_remove);
  EXPECT_EQ(never, 0);
}

TEST_F(QtLoopTest, TimerMayDisableReenableOrRemoveItselfInItsCallback) {
  // The main tick's pattern: off at the start of the callback, on again at its end.
  int ticks = 0;
  platform::TimerId tick = 0;
  tick = loop.add_timer(10, [&] {
    loop.set_timer(tick, false, 10);
    ++ticks;
    loop.set_timer(tick, true, 10);
  });
  loop.set_timer(tick, true, 10);
  ASSERT_TRUE(loop.run_until([&] { return ticks >= 3; }, kDeadlineMs));
  loop.remove_timer(tick);

  int once = 0;
  platform::TimerId self = 0;
  self = loop.add_timer(5, [&] {
    ++once;
    loop.remove_timer(self);
  });
  loop.set_timer(self, true, 5);
  ASSERT_TRUE(loop.run_until([&] { return once == 1; }, kDeadlineMs));
  idle(40);
  EXPECT_EQ(once, 1);
}

TEST_F(QtLoopTest, PostedCallsRunInOrderAfterTheCurrentEvent) {
  std::vector<std::string> order;
  loop.post([&] {
    order.push_back("first");
    loop.post([&] { order.push_back("posted by first"); });
  });
  loop.post([&] { order.push_back("second"); });
  EXPECT_TRUE(order.empty());
  ASSERT_TRUE(loop.run_until([&] { return order.size() == 3; }, kDeadlineMs));
  EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "posted by first"}));
}

TEST(QtLoopLifetime, CallsAndTimersOfADestroyedLoopNeverRun) {
  platform::SystemClock clock;
  bool ran = false;
  {
    QtEventLoop loop(clock);
    loop.post([&] { ran = true; });
    platform::TimerId t = loop.add_timer(0, [&] { ran = true; });
    loop.set_timer(t, true, 0);
  }
  QCoreApplication::processEvents();
  QtEventLoop other(clock);
  other.run_until([] { return false; }, 30);
  EXPECT_FALSE(ran);
}

TEST_F(QtLoopTest, ReadinessReachesTheWatcherWithItsInterest) {
  Pipe p;
  std::vector<std::pair<bool, bool>> got;
  loop.watch(p.fd[0], true, false, [&](bool r, bool w) { got.emplace_back(r, w); });
  idle(30);
  EXPECT_TRUE(got.empty());  // nothing to read yet
  p.put("x");
  ASSERT_TRUE(loop.run_until([&] { return !got.empty(); }, kDeadlineMs));
  EXPECT_EQ(got.front(), std::make_pair(true, false));

  // Watching again replaces the interest: no interest, no calls, though data waits.
  loop.watch(p.fd[0], false, false, [&](bool r, bool w) { got.emplace_back(r, w); });
  got.clear();
  idle(40);
  EXPECT_TRUE(got.empty());
  loop.unwatch(p.fd[0]);

  std::vector<std::pair<bool, bool>> wrote;
  loop.watch(p.fd[1], false, true, [&](bool r, bool w) {
    wrote.emplace_back(r, w);
    loop.unwatch(p.fd[1]);
  });
  ASSERT_TRUE(loop.run_until([&] { return !wrote.empty(); }, kDeadlineMs));
  EXPECT_EQ(wrote.front(), std::make_pair(false, true));
}

// Two readable pipes; whichever callback runs first drops the other's watch, closes that
// descriptor and watches a new, idle pipe that got the same number. The readiness seen for
// the old descriptor must not reach the new watch.
TEST_F(QtLoopTest, ReadinessOfAReplacedDescriptorIsDropped) {
  auto a = std::make_unique<Pipe>();
  auto b = std::make_unique<Pipe>();
  a->put("a");
  b->put("b");
  std::unique_ptr<Pipe> reused;
  int stale_calls = 0;
  int swaps = 0;
  int reused_number = -1;
  auto swap_other = [&](std::unique_ptr<Pipe>& other) {
    if (swaps++) return;
    const int number = other->fd[0];
    loop.unwatch(number);
    ::close(other->fd[0]);
    other->fd[0] = -1;
    // A new pipe whose read end gets the very number just closed.
    reused = std::make_unique<Pipe>();
    if (reused->fd[0] != number) {
      ASSERT_EQ(::dup3(reused->fd[0], number, O_CLOEXEC), number);
      ::close(reused->fd[0]);
      reused->fd[0] = number;
    }
    reused_number = number;
    loop.watch(reused_number, true, false, [&](bool, bool) { ++stale_calls; });
  };
  loop.watch(a->fd[0], true, false, [&](bool, bool) { swap_other(b); });
  loop.watch(b->fd[0], true, false, [&](bool, bool) { swap_other(a); });
  ASSERT_TRUE(loop.run_until([&] { return swaps > 0; }, kDeadlineMs));
  idle(50);
  EXPECT_EQ(stale_calls, 0);

  // The new watch itself works once its own pipe has data.
  reused->put("c");
  ASSERT_TRUE(loop.run_until([&] { return stale_calls > 0; }, kDeadlineMs));
  loop.unwatch(reused_number);
  if (a->fd[0] >= 0) loop.unwatch(a->fd[0]);
  if (b->fd[0] >= 0) loop.unwatch(b->fd[0]);
}

TEST_F(QtLoopTest, DescriptorUnwatchedAndWatchedAgainInsideItsOwnCallback) {
  Pipe p;
  p.put("data");
  int first = 0, second = 0;
  loop.watch(p.fd[0], true, false, [&](bool, bool) {
    ++first;
    // The notifier that is delivering this call goes away here.
    loop.unwatch(p.fd[0]);
    loop.watch(p.fd[0], true, false, [&](bool, bool) {
      ++second;
      loop.unwatch(p.fd[0]);
    });
  });
  ASSERT_TRUE(loop.run_until([&] { return second == 1; }, kDeadlineMs));
  idle(30);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 1);
}

// The socket code written for the poll loop runs unchanged on Qt's loop.
class QtSocketTest : public QtLoopTest {
 protected:
  void SetUp() override {
    sock = loop.create_socket(logger);
    sock->set_host("127.0.0.1");
    sock->set_port(server.port());
    sock->on_connect = [this](platform::ClientSocket&) { events.push_back("connect"); };
    sock->on_disconnect = [this](platform::ClientSocket&) { events.push_back("disconnect"); };
    sock->on_error = [this](platform::ClientSocket&, int& code) {
      events.push_back("error");
      error_code = code;
    };
    sock->on_read = [this](platform::ClientSocket& s) {
      uint8_t buf[65536];
      const int got = s.receive_buf(buf, std::min<int>(s.receive_length(), sizeof buf));
      received.append(reinterpret_cast<const char*>(buf), size_t(got));
    };
  }
  void TearDown() override { sock.reset(); }

  testsupport::LoopbackServer server;
  platform::Logger logger;
  std::unique_ptr<platform::ClientSocket> sock;
  std::vector<std::string> events;
  int error_code = 0;
  std::string received;
};

TEST_F(QtSocketTest, ConnectsExchangesDataAndSeesThePeerClose) {
  sock->set_active(true);
  int peer = -1;
  ASSERT_TRUE(loop.run_until(
      [&] {
        if (peer < 0) peer = server.try_accept();
        return peer >= 0 && sock->connected();
      },
      kDeadlineMs));
  EXPECT_EQ(events, std::vector<std::string>{"connect"});

  // More than one read's worth, in order.
  std::string big(200000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7 + i / 251);
  size_t sent = 0;
  ASSERT_TRUE(loop.run_until(
      [&] {
        if (sent < big.size()) {
          ssize_t n = ::send(peer, big.data() + sent, big.size() - sent, MSG_NOSIGNAL);
          if (n > 0) sent += size_t(n);
        }
        return received.size() >= big.size();
      },
      kDeadlineMs));
  EXPECT_TRUE(received == big);

  const std::string msg = "ULCM request";
  ASSERT_EQ(sock->send_buf(reinterpret_cast<const uint8_t*>(msg.data()), int(msg.size())),
            int(msg.size()));
  std::vector<uint8_t> at_peer;
  ASSERT_TRUE(loop.run_until(
      [&] {
        testsupport::LoopbackServer::read_available(peer, at_peer);
        return at_peer.size() >= msg.size();
      },
      kDeadlineMs));
  EXPECT_EQ(std::string(at_peer.begin(), at_peer.end()), msg);

  testsupport::LoopbackServer::close_fd(peer);
  ASSERT_TRUE(loop.run_until([&] { return events.size() == 2; }, kDeadlineMs));
  EXPECT_EQ(events.back(), "disconnect");
  EXPECT_FALSE(sock->active());
}

TEST_F(QtSocketTest, RefusedConnectionIsReportedAsAnError) {
  int closed_port = 0;
  {
    testsupport::LoopbackServer gone;
    closed_port = gone.port();
  }
  sock->set_port(closed_port);
  sock->set_active(true);
  ASSERT_TRUE(loop.run_until([&] { return !events.empty(); }, kDeadlineMs));
  EXPECT_EQ(events.front(), "error");
  EXPECT_EQ(error_code, ECONNREFUSED);
  ASSERT_TRUE(loop.run_until([&] { return !sock->active(); }, kDeadlineMs));
}

}  // namespace
}  // namespace tessomar::viewer
