#include "dvrsim/session.h"

#include <gtest/gtest.h>

#include <set>

#include "link/wire.h"

namespace tessomar::dvrsim {
namespace {

std::vector<uint8_t> bytes(size_t n, uint8_t v) { return std::vector<uint8_t>(n, v); }

TEST(DvrsimSessions, KeysAreNonzeroAndUniqueAcrossWrapAndReuse) {
  SessionTable t;
  std::set<uint32_t> keys;
  uint32_t evicted = 0;
  // A Unix time just below 2^32 makes time + counter wrap through 0.
  for (int i = 0; i < 5; ++i) keys.insert(t.open(0xFFFFFFFDll, 0, evicted));
  EXPECT_EQ(keys.size(), 5u);
  EXPECT_EQ(keys.count(0), 0u);
}

TEST(DvrsimSessions, FullTableDropsTheLeastRecentlyUsedIdleSession) {
  SessionTable t;
  uint32_t evicted = 0;
  std::vector<uint32_t> keys;
  for (size_t i = 0; i < SessionTable::kMaxSessions; ++i) {
    keys.push_back(t.open(1000, uint32_t(i), evicted));
    EXPECT_EQ(evicted, 0u);
  }
  t.find(keys[0])->connections = 1;  // oldest, but still in use
  const uint32_t fresh = t.open(1000, 500, evicted);
  EXPECT_EQ(evicted, keys[1]);
  EXPECT_EQ(t.size(), SessionTable::kMaxSessions);
  EXPECT_NE(t.find(fresh), nullptr);
  EXPECT_NE(t.find(keys[0]), nullptr);
}

TEST(DvrsimSessions, BatchesTakeWholeMessagesInOrder) {
  SessionTable t;
  uint32_t evicted = 0;
  const uint32_t k = t.open(1000, 0, evicted);
  ASSERT_TRUE(t.queue_message(k, bytes(40, 1)));
  ASSERT_TRUE(t.queue_message(k, bytes(50, 2)));
  ASSERT_TRUE(t.queue_message(k, bytes(200, 3)));
  std::vector<uint8_t> out;
  EXPECT_EQ(t.take_batch(k, 100, out), 2u);  // 40 + 50; the 200 would not fit
  EXPECT_EQ(out.size(), 90u);
  EXPECT_EQ(out[39], 1);
  EXPECT_EQ(out[40], 2);
  out.clear();
  EXPECT_EQ(t.take_batch(k, 100, out), 1u);  // too large, but alone it still goes
  EXPECT_EQ(out, bytes(200, 3));
  EXPECT_FALSE(t.has_queued(k));
  out.clear();
  EXPECT_EQ(t.take_batch(k, 100, out), 0u);
}

TEST(DvrsimSessions, DroppingATagKeepsTheOtherMessagesInOrder) {
  SessionTable t;
  uint32_t evicted = 0;
  const uint32_t key = t.open(1000, 0, evicted);
  auto tagged = [](const char(&tag)[5], uint8_t fill) {
    std::vector<uint8_t> m(64, fill);
    for (int i = 0; i < 4; ++i) m[4 + i] = uint8_t(tag[i]);
    return m;
  };
  ASSERT_TRUE(t.queue_message(key, tagged("VIDO", 1)));
  ASSERT_TRUE(t.queue_message(key, tagged("ICMD", 2)));
  ASSERT_TRUE(t.queue_message(key, tagged("VIDO", 3)));
  ASSERT_TRUE(t.queue_message(key, tagged("VASK", 4)));
  EXPECT_EQ(t.drop_queued(key, link::make_tag("VIDO")), 2u);
  EXPECT_EQ(t.drop_queued(key + 1, link::make_tag("VIDO")), 0u);
  EXPECT_EQ(t.find(key)->queued_bytes, 128u);
  std::vector<uint8_t> payload;
  EXPECT_EQ(t.take_batch(key, 1024, payload), 2u);
  ASSERT_EQ(payload.size(), 128u);
  EXPECT_EQ(payload[8], 2);
  EXPECT_EQ(payload[64 + 8], 4);
}

TEST(DvrsimSessions, QueueRefusesUnknownKeysOversizedMessagesAndBacklogOverflow) {
  SessionTable t;
  uint32_t evicted = 0;
  const uint32_t k = t.open(1000, 0, evicted);
  EXPECT_FALSE(t.queue_message(k + 1, bytes(10, 0)));
  EXPECT_FALSE(t.queue_message(k, {}));
  EXPECT_FALSE(t.queue_message(k, bytes(kMaxQueuedMessage + 1, 0)));
  EXPECT_TRUE(t.queue_message(k, bytes(kMaxQueuedMessage, 0)));
  size_t queued = kMaxQueuedMessage;
  while (queued + kMaxQueuedMessage <= kMaxQueuedBytes) {
    ASSERT_TRUE(t.queue_message(k, bytes(kMaxQueuedMessage, 0)));
    queued += kMaxQueuedMessage;
  }
  EXPECT_FALSE(t.queue_message(k, bytes(kMaxQueuedBytes - queued + 1, 0)));
  EXPECT_TRUE(t.queue_message(k, bytes(kMaxQueuedBytes - queued, 0)));
}

}  // namespace
}  // namespace tessomar::dvrsim
