// Byte rings and the per-slot send queue. A ring never lets a single write fill more than
// 95 % of its free space, so "full" and "empty" are never confused and a reader always has
// slack to catch up. The send queue logs every message length so that a request carries
// only whole messages when more is queued than one frame may hold.
#pragma once

#include <array>
#include <cstdint>

namespace tessomar::link {

// Descriptor only; the storage belongs to whoever allocated it.
struct ByteRing {
  uint32_t write_pos = 0;
  uint32_t read_pos = 0;
  uint32_t size = 0;
  uint8_t* buffer = nullptr;
};

// Bytes held.
uint32_t ring_used(uint32_t write_pos, uint32_t read_pos, uint32_t size);
// The most a single write may add: 95 % of the free space, rounded down.
uint32_t ring_room(uint32_t write_pos, uint32_t read_pos, uint32_t size);

// All return 0 when done and -1 when refused; a refused call changes nothing.
int ring_write(const uint8_t* source, uint32_t n, ByteRing* ring);
int ring_read(ByteRing* ring, uint8_t* destination, uint32_t n);
int ring_skip(ByteRing* ring, uint32_t n);
// Gives back n bytes already read (the viewer peeks and returns what it cannot use yet).
int ring_unread(ByteRing* ring, uint32_t n);

constexpr uint32_t kSendRingSize = 16384;
constexpr uint32_t kLengthLogEntries = 4096;
constexpr uint32_t kMaxBatch = 1280;

struct SendQueue {
  ByteRing* ring = nullptr;
  std::array<uint32_t, kLengthLogEntries> log{};
  uint32_t log_write_count = 0;  // entry log_write_count % kLengthLogEntries is written next
  uint32_t log_read_index = 0;   // oldest logged message not yet taken
};

// Appends one whole channel message. 0 when queued; -1 when dropped (empty, longer than one
// batch, or no room), in which case nothing is logged or written.
int queue_message(SendQueue& q, const uint8_t* message, uint32_t n);

// Number of bytes the next request may carry: everything when at most kMaxBatch bytes wait,
// otherwise the longest run of whole messages, in order, that fits in kMaxBatch bytes. The
// caller then ring_reads exactly that many bytes.
uint32_t take_batch(SendQueue& q);

// Discards everything queued (session open and key frames do this) and marks the logged
// lengths as taken, so stale entries cannot mis-size a later batch.
void clear_send_queue(SendQueue& q);

}  // namespace tessomar::link
