#include "link/ring.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace tessomar::link {
namespace {

class RingTest : public ::testing::Test {
 protected:
  void attach(uint32_t size) {
    storage.assign(size, 0xEE);
    ring = ByteRing{0, 0, size, storage.data()};
  }
  // Places an empty ring's positions at pos.
  void empty_at(uint32_t pos) { ring.write_pos = ring.read_pos = pos; }

  static std::vector<uint8_t> counting(uint32_t n, uint8_t first = 1) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
  }

  std::vector<uint8_t> storage;
  ByteRing ring;
};

TEST(RingArithmetic, UsedAndRoom) {
  EXPECT_EQ(ring_used(30, 10, 100), 20u);
  EXPECT_EQ(ring_used(10, 30, 100), 80u);  // wrapped
  EXPECT_EQ(ring_used(7, 7, 100), 0u);
  EXPECT_EQ(ring_room(0, 0, 16384), 15564u);
  EXPECT_EQ(ring_room(10, 30, 100), 19u);  // 20 free -> 19
  // Multi-megabyte rings: (size - used) * 95 must not wrap at 32 bits.
  EXPECT_EQ(ring_room(0, 0, 64u << 20), 63753420u);
  EXPECT_EQ(ring_room(0, 0, 0), 0u);
}

TEST_F(RingTest, EmptyRingTakesAtMost95PercentInOneWrite) {
  attach(kSendRingSize);
  const std::vector<uint8_t> data(15565, 7);
  EXPECT_EQ(ring_write(data.data(), 15565, &ring), -1);
  EXPECT_EQ(ring.write_pos, 0u);
  EXPECT_EQ(ring_write(data.data(), 15564, &ring), 0);
  EXPECT_EQ(ring_used(ring.write_pos, ring.read_pos, ring.size), 15564u);
  // What is left may again take only 95 % of the remaining free space.
  EXPECT_EQ(ring_write(data.data(), 780, &ring), -1);
  EXPECT_EQ(ring_write(data.data(), 779, &ring), 0);
}

TEST_F(RingTest, WriteEndingAtBufferEndWrapsPositionToZero) {
  attach(100);
  empty_at(60);
  const auto data = counting(40);
  ASSERT_EQ(ring_write(data.data(), 40, &ring), 0);
  EXPECT_EQ(ring.write_pos, 0u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), storage.begin() + 60));
  EXPECT_EQ(storage[0], 0xEE);  // nothing spilled to the start
}

TEST_F(RingTest, WrappedWriteAndReadKeepOrder) {
  attach(100);
  empty_at(90);
  const auto data = counting(25);
  ASSERT_EQ(ring_write(data.data(), 25, &ring), 0);
  EXPECT_EQ(ring.write_pos, 15u);
  EXPECT_EQ(storage[99], 10);
  EXPECT_EQ(storage[0], 11);

  std::vector<uint8_t> out(25);
  ASSERT_EQ(ring_read(&ring, out.data(), 25), 0);
  EXPECT_EQ(out, data);
  EXPECT_EQ(ring.read_pos, 15u);
}

TEST_F(RingTest, ReadEndingAtBufferEndWrapsPositionAndCopiesOnlyThat) {
  attach(100);
  empty_at(70);
  const auto data = counting(40);
  ASSERT_EQ(ring_write(data.data(), 40, &ring), 0);  // 30 to the end, 10 at the start
  std::vector<uint8_t> out(40, 0xAA);
  ASSERT_EQ(ring_read(&ring, out.data(), 30), 0);
  EXPECT_EQ(ring.read_pos, 0u);
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 30, out.begin()));
  EXPECT_EQ(out[30], 0xAA);
  ASSERT_EQ(ring_read(&ring, out.data(), 10), 0);
  EXPECT_TRUE(std::equal(data.begin() + 30, data.end(), out.begin()));
}

TEST_F(RingTest, RefusedCallsChangeNothing) {
  attach(100);
  empty_at(50);
  const auto data = counting(20);
  ASSERT_EQ(ring_write(data.data(), 20, &ring), 0);
  const ByteRing before = ring;
  const std::vector<uint8_t> stored = storage;
  uint8_t out[32];

  EXPECT_EQ(ring_write(data.data(), 0, &ring), -1);
  EXPECT_EQ(ring_write(nullptr, 5, &ring), -1);
  EXPECT_EQ(ring_write(data.data(), 5, nullptr), -1);
  EXPECT_EQ(ring_read(&ring, out, 0), -1);
  EXPECT_EQ(ring_read(&ring, nullptr, 5), -1);
  EXPECT_EQ(ring_read(&ring, out, 21), -1);
  EXPECT_EQ(ring_skip(&ring, 21), -1);
  EXPECT_EQ(ring_unread(&ring, 100), -1);
  EXPECT_EQ(ring_unread(&ring, 250), -1);

  EXPECT_EQ(ring.write_pos, before.write_pos);
  EXPECT_EQ(ring.read_pos, before.read_pos);
  EXPECT_EQ(storage, stored);

  ByteRing detached;
  EXPECT_EQ(ring_write(data.data(), 1, &detached), -1);
  EXPECT_EQ(ring_read(&detached, out, 1), -1);
  // Corrupted positions must not steer a copy outside the buffer.
  ByteRing broken{150, 0, 100, storage.data()};
  EXPECT_EQ(ring_write(data.data(), 1, &broken), -1);
  EXPECT_EQ(ring_read(&broken, out, 1), -1);
}

TEST_F(RingTest, SkipAndUnreadMoveReadPositionWithWrap) {
  attach(100);
  empty_at(90);
  const auto data = counting(30);
  ASSERT_EQ(ring_write(data.data(), 30, &ring), 0);
  ASSERT_EQ(ring_skip(&ring, 15), 0);
  EXPECT_EQ(ring.read_pos, 5u);
  // Giving back more than read_pos lands before the end of the buffer.
  ASSERT_EQ(ring_unread(&ring, 15), 0);
  EXPECT_EQ(ring.read_pos, 90u);
  uint8_t out[30];
  ASSERT_EQ(ring_read(&ring, out, 30), 0);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), out));
  EXPECT_EQ(ring_unread(&ring, 99), 0);  // size - 1 is the largest allowed
  EXPECT_EQ(ring.read_pos, 21u);
}

class SendQueueTest : public RingTest {
 protected:
  void SetUp() override {
    attach(kSendRingSize);
    q.ring = &ring;
  }
  // Queues a message whose bytes all carry its sequence number.
  int queue(uint32_t n) {
    std::vector<uint8_t> m(n, uint8_t(++sequence));
    return queue_message(q, m.data(), n);
  }
  // Takes one batch, reads it out and returns the message lengths it held.
  std::vector<uint32_t> batch() {
    const uint32_t n = take_batch(q);
    std::vector<uint32_t> lengths;
    if (n == 0) return lengths;
    std::vector<uint8_t> out(n);
    EXPECT_EQ(ring_read(&ring, out.data(), n), 0);
    for (uint32_t i = 0; i < n; ++i) {
      if (i == 0 || out[i] != out[i - 1]) lengths.push_back(0);
      ++lengths.back();
    }
    return lengths;
  }

  SendQueue q;
  int sequence = 0;
};

TEST_F(SendQueueTest, BatchesCarryWholeMessagesUpToLimit) {
  struct Case {
    std::vector<uint32_t> queued;
    std::vector<std::vector<uint32_t>> batches;
  };
  const Case cases[] = {
      {{600, 600, 600}, {{600, 600}, {600}}},
      {{500, 500}, {{500, 500}}},
      {{400, 400, 400, 400, 400}, {{400, 400, 400}, {400, 400}}},  // 2000 queued
      {{1280, 64, 1280}, {{1280}, {64}, {1280}}},
      {{1000, 300, 700}, {{1000}, {300, 700}}},
  };
  for (const Case& c : cases) {
    SetUp();
    q = SendQueue{};
    q.ring = &ring;
    for (uint32_t n : c.queued) ASSERT_EQ(queue(n), 0);
    for (const auto& expected : c.batches) EXPECT_EQ(batch(), expected) << c.queued.size();
    EXPECT_EQ(take_batch(q), 0u);
  }
}

TEST_F(SendQueueTest, RefusedMessagesAreNeitherLoggedNorWritten) {
  uint8_t one = 1;
  EXPECT_EQ(queue_message(q, &one, 0), -1);
  EXPECT_EQ(queue(kMaxBatch + 1), -1);
  EXPECT_EQ(queue_message(q, nullptr, 10), -1);
  EXPECT_EQ(q.log_write_count, 0u);
  EXPECT_EQ(ring_used(ring.write_pos, ring.read_pos, ring.size), 0u);

  // Fill until the ring's 95 % rule refuses; the refused message leaves no log entry.
  while (queue(kMaxBatch) == 0) {
  }
  const uint32_t logged = q.log_write_count;
  const uint32_t held = ring_used(ring.write_pos, ring.read_pos, ring.size);
  EXPECT_EQ(held, logged * kMaxBatch);
  EXPECT_EQ(queue(kMaxBatch), -1);
  EXPECT_EQ(q.log_write_count, logged);

  SendQueue unattached;
  EXPECT_EQ(queue_message(unattached, &one, 1), -1);
  EXPECT_EQ(take_batch(unattached), 0u);
}

TEST_F(SendQueueTest, FullLogRestartsAtZeroTogetherWithTheRing) {
  for (uint32_t i = 0; i < kLengthLogEntries - 1; ++i) ASSERT_EQ(queue(1), 0);
  EXPECT_EQ(q.log_write_count, kLengthLogEntries - 1);
  EXPECT_EQ(ring_used(ring.write_pos, ring.read_pos, ring.size), kLengthLogEntries - 1);

  ASSERT_EQ(queue(100), 0);
  EXPECT_EQ(q.log_write_count, 1u);
  EXPECT_EQ(q.log_read_index, 0u);
  EXPECT_EQ(ring_used(ring.write_pos, ring.read_pos, ring.size), 100u);

  // Log and ring stay in step: later batches still hold whole messages.
  for (int i = 0; i < 3; ++i) ASSERT_EQ(queue(500), 0);
  EXPECT_EQ(batch(), (std::vector<uint32_t>{100, 500, 500}));
  EXPECT_EQ(batch(), (std::vector<uint32_t>{500}));
}

TEST_F(SendQueueTest, ClearingDropsStaleLengths) {
  for (int i = 0; i < 3; ++i) ASSERT_EQ(queue(1000), 0);
  clear_send_queue(q);
  EXPECT_EQ(take_batch(q), 0u);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(queue(300), 0);
  EXPECT_EQ(batch(), (std::vector<uint32_t>{300, 300, 300, 300}));
}

}  // namespace
}  // namespace tessomar::link
