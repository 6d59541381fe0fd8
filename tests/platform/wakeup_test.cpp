#include "platform/wakeup.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace tessomar::platform {
namespace {

using namespace std::chrono_literals;

TEST(Wakeup, NotificationsBeforeAWaitAreTakenOnceAndWithoutWaiting) {
  Wakeup w;
  w.notify();
  w.notify();
  EXPECT_TRUE(w.wait_for(std::chrono::minutes(10)));  // returns at once, or the test hangs
  EXPECT_FALSE(w.wait_for(1ms));                      // both were one notification
}

TEST(Wakeup, NotifyFromAnotherThreadEndsALongWaitAndPublishesItsWrites) {
  Wakeup w;
  for (int round = 0; round < 100; ++round) {
    int value = 0;
    std::thread t([&] {
      value = round + 1;
      w.notify();
    });
    ASSERT_TRUE(w.wait_for(std::chrono::minutes(10)));
    EXPECT_EQ(value, round + 1);
    t.join();
  }
}

}  // namespace
}  // namespace tessomar::platform
