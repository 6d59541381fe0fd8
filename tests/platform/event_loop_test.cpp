#include "platform/event_loop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/form.h"

namespace tessomar::platform {
namespace {

class TimerTest : public ::testing::Test {
 protected:
  // Moves the clock and lets the loop run one round without waiting.
  void step(uint32_t ms) {
    clock.advance_ms(ms);
    loop.run_once(0);
  }

  ManualClock clock;
  PollEventLoop loop{clock};
  int fired = 0;
};

TEST_F(TimerTest, IntervalCountsFromTheLastFiring) {
  TimerId t = loop.add_timer(100, [this] { ++fired; });
  loop.set_timer(t, true, 100);
  step(99);
  EXPECT_EQ(fired, 0);
  step(1);
  EXPECT_EQ(fired, 1);  // t = 100
  // The loop was late: the next firing is 100 ms after this one, not at t = 300.
  step(150);
  EXPECT_EQ(fired, 2);  // t = 250
  step(50);
  EXPECT_EQ(fired, 2);  // t = 300
  step(50);
  EXPECT_EQ(fired, 3);  // t = 350
  // A long stall gives one firing, not a burst of the missed ones.
  clock.advance_ms(1000);
  loop.run_once(0);
  loop.run_once(0);
  EXPECT_EQ(fired, 4);
}

TEST_F(TimerTest, FiresAcrossTheWrapOfTheMillisecondCounter) {
  clock.set_ms(0xFFFFFFC0u);
  TimerId t = loop.add_timer(100, [this] { ++fired; });
  loop.set_timer(t, true, 100);
  step(99);  // counter has wrapped to 0x23
  EXPECT_EQ(fired, 0);
  step(1);
  EXPECT_EQ(fired, 1);
}

TEST_F(TimerTest, DisabledAndRemovedTimersDoNotFire) {
  loop.add_timer(10, [this] { fired += 100; });  // never enabled
  TimerId t = loop.add_timer(10, [this] { ++fired; });
  loop.set_timer(t, true, 10);
  step(10);
  ASSERT_EQ(fired, 1);

  loop.set_timer(t, false, 10);
  step(50);
  EXPECT_EQ(fired, 1);
  // Enabling again starts a fresh interval rather than firing for the time spent disabled.
  loop.set_timer(t, true, 10);
  step(9);
  EXPECT_EQ(fired, 1);
  step(1);
  EXPECT_EQ(fired, 2);

  loop.remove_timer(t);
  step(50);
  EXPECT_EQ(fired, 2);
}

TEST_F(TimerTest, CallbackThatDisablesAnotherDueTimerStopsIt) {
  TimerId second = 0;
  TimerId first = loop.add_timer(10, [&] {
    ++fired;
    loop.set_timer(second, false, 10);
  });
  second = loop.add_timer(10, [this] { fired += 100; });
  loop.set_timer(first, true, 10);
  loop.set_timer(second, true, 10);
  step(10);  // both are due; the first one runs first and disables the second
  EXPECT_EQ(fired, 1);
}

TEST_F(TimerTest, PostedCallsRunAfterTheCurrentEvent) {
  std::vector<std::string> order;
  TimerId t = loop.add_timer(10, [&] {
    order.push_back("timer begins");
    loop.post([&] {
      order.push_back("posted");
      loop.post([&] { order.push_back("posted by posted"); });
    });
    order.push_back("timer ends");
  });
  loop.set_timer(t, true, 10);
  step(10);
  EXPECT_EQ(order, (std::vector<std::string>{"timer begins", "timer ends", "posted"}));
  loop.run_once(0);
  EXPECT_EQ(order.back(), "posted by posted");
}

// Pipes make readiness deterministic without a network.
struct Pipe {
  explicit Pipe(bool open = true) {
    if (open) {
      EXPECT_EQ(::pipe(fd), 0);
    }
  }
  ~Pipe() { close(); }
  void close() {
    for (int& f : fd) {
      if (f >= 0) ::close(f);
      f = -1;
    }
  }
  int fd[2] = {-1, -1};
};

TEST(PollEventLoopTest, ReadinessOfAReusedDescriptorNumberIsNotHandedToTheNewWatch) {
  ManualClock clock;
  PollEventLoop loop(clock);
  Pipe a, b;
  ASSERT_LT(a.fd[0], b.fd[0]);  // watches are served in descriptor order
  ASSERT_EQ(::write(a.fd[1], "x", 1), 1);
  ASSERT_EQ(::write(b.fd[1], "y", 1), 1);

  const int reused = b.fd[0];
  Pipe fresh(false);
  int stale_calls = 0;
  int b_calls = 0;
  loop.watch(b.fd[0], true, false, [&](bool, bool) { ++b_calls; });
  loop.watch(a.fd[0], true, false, [&](bool, bool) {
    // Replace b by a new, empty pipe; the kernel hands out the lowest free number again.
    loop.unwatch(b.fd[0]);
    b.close();
    ASSERT_EQ(::pipe(fresh.fd), 0);
    ASSERT_EQ(fresh.fd[0], reused);
    loop.watch(fresh.fd[0], true, false, [&](bool readable, bool) {
      if (readable) ++stale_calls;
    });
    loop.unwatch(a.fd[0]);
  });
  loop.run_once(0);
  EXPECT_EQ(b_calls, 0);
  EXPECT_EQ(stale_calls, 0) << "the new pipe is empty but got the old one's readiness";
  loop.run_once(0);
  EXPECT_EQ(stale_calls, 0);
}

TEST(PollEventLoopTest, ChangingTheInterestOfAWatchKeepsItsEventsThisRound) {
  ManualClock clock;
  PollEventLoop loop(clock);
  Pipe a, b;
  ASSERT_LT(a.fd[0], b.fd[0]);
  ASSERT_EQ(::write(a.fd[1], "x", 1), 1);
  ASSERT_EQ(::write(b.fd[1], "y", 1), 1);
  int b_reads = 0;
  auto on_b = [&](bool readable, bool) { b_reads += readable; };
  loop.watch(b.fd[0], true, false, on_b);
  // A callback that re-arms another descriptor (as a send on a second socket does) must
  // not make that descriptor miss its readiness for this round.
  loop.watch(a.fd[0], true, false, [&](bool, bool) { loop.watch(b.fd[0], true, false, on_b); });
  loop.run_once(0);
  EXPECT_EQ(b_reads, 1);
}

class FormTimersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static const ComponentSpec kSpecs[] = {
        {"Timer1", ComponentKind::Timer, "", {}, "", true, false, 100},
        {"Timer2", ComponentKind::Timer, "", {}, "", true, true, 40},
        {"Button1", ComponentKind::Button, "", {0, 0, 10, 10}, "Go"},
    };
    form.build(kSpecs, std::size(kSpecs));
    form["Timer1"].on("OnTimer", [this](Event&) { ++ticks1; });
    form["Timer2"].on("OnTimer", [this](Event&) { ++ticks2; });
    form["Button1"].on("OnTimer", [this](Event&) { ++button_ticks; });
  }
  void step(uint32_t ms) {
    clock.advance_ms(ms);
    loop.run_once(0);
  }

  ManualClock clock;
  PollEventLoop loop{clock};
  Form form;
  int ticks1 = 0;
  int ticks2 = 0;
  int button_ticks = 0;
};

TEST_F(FormTimersTest, FiresOnTimerOnlyWhileEnabled) {
  FormTimers timers(form, loop);
  step(40);
  step(40);
  EXPECT_EQ(ticks1, 0);  // built disabled
  EXPECT_EQ(ticks2, 2);
  EXPECT_EQ(button_ticks, 0);

  form["Timer1"].set_enabled(true);
  step(99);
  EXPECT_EQ(ticks1, 0);
  step(1);
  EXPECT_EQ(ticks1, 1);

  form["Timer1"].set_interval_ms(20);
  step(20);
  EXPECT_EQ(ticks1, 2);

  form["Timer1"].set_enabled(false);
  step(200);
  EXPECT_EQ(ticks1, 2);

  // Interval 0 means stopped even when enabled.
  form["Timer1"].set_interval_ms(0);
  form["Timer1"].set_enabled(true);
  step(200);
  EXPECT_EQ(ticks1, 2);
}

TEST_F(FormTimersTest, HandlerMayStopItsOwnTimer) {
  form["Timer2"].on("OnTimer", [this](Event&) {
    ++ticks2;
    form["Timer2"].set_enabled(false);
  });
  FormTimers timers(form, loop);
  step(40);
  step(40);
  step(40);
  EXPECT_EQ(ticks2, 1);
}

TEST_F(FormTimersTest, NothingFiresOnceDestroyed) {
  {
    FormTimers timers(form, loop);
    step(40);
    ASSERT_EQ(ticks2, 1);
  }
  step(400);
  form["Timer1"].set_enabled(true);  // no observer left to react
  step(400);
  EXPECT_EQ(ticks1, 0);
  EXPECT_EQ(ticks2, 1);
}

}  // namespace
}  // namespace tessomar::platform
