#include "link/ring.h"

#include <cstring>

namespace tessomar::link {

uint32_t ring_used(uint32_t write_pos, uint32_t read_pos, uint32_t size) {
  if (write_pos >= read_pos) return write_pos - read_pos;
  return write_pos + size - read_pos;
}

uint32_t ring_room(uint32_t write_pos, uint32_t read_pos, uint32_t size) {
  const uint32_t used = ring_used(write_pos, read_pos, size);
  if (used >= size) return 0;  // only reachable with corrupted positions
  // 64-bit so that rings of a few megabytes do not overflow the product.
  return uint32_t(uint64_t(size - used) * 95 / 100);
}

// Positions are kept below size; a descriptor that breaks this is treated as unusable
// rather than letting a copy run past the buffer.
static bool positions_valid(const ByteRing& r) {
  return r.write_pos < r.size && r.read_pos < r.size;
}

static uint32_t advance(uint32_t pos, uint32_t n, uint32_t size) {
  const uint64_t next = uint64_t(pos) + n;
  return uint32_t(next >= size ? next - size : next);
}

int ring_write(const uint8_t* source, uint32_t n, ByteRing* ring) {
  if (source == nullptr || ring == nullptr || ring->buffer == nullptr || n == 0) return -1;
  if (!positions_valid(*ring)) return -1;
  if (n > ring_room(ring->write_pos, ring->read_pos, ring->size)) return -1;
  const uint32_t to_end = ring->size - ring->write_pos;
  if (n < to_end) {
    std::memcpy(ring->buffer + ring->write_pos, source, n);
  } else {
    std::memcpy(ring->buffer + ring->write_pos, source, to_end);
    if (n > to_end) std::memcpy(ring->buffer, source + to_end, n - to_end);
  }
  ring->write_pos = advance(ring->write_pos, n, ring->size);
  return 0;
}

int ring_read(ByteRing* ring, uint8_t* destination, uint32_t n) {
  if (ring == nullptr || ring->buffer == nullptr || destination == nullptr || n == 0) return -1;
  if (!positions_valid(*ring)) return -1;
  if (n > ring_used(ring->write_pos, ring->read_pos, ring->size)) return -1;
  const uint32_t to_end = ring->size - ring->read_pos;
  if (n < to_end) {
    std::memcpy(destination, ring->buffer + ring->read_pos, n);
  } else {
    std::memcpy(destination, ring->buffer + ring->read_pos, to_end);
    if (n > to_end) std::memcpy(destination + to_end, ring->buffer, n - to_end);
  }
  ring->read_pos = advance(ring->read_pos, n, ring->size);
  return 0;
}

int ring_skip(ByteRing* ring, uint32_t n) {
  if (ring == nullptr) return -1;
  if (n > ring_used(ring->write_pos, ring->read_pos, ring->size)) return -1;
  ring->read_pos = advance(ring->read_pos, n, ring->size);
  return 0;
}

int ring_unread(ByteRing* ring, uint32_t n) {
  if (ring == nullptr || n >= ring->size) return -1;
  ring->read_pos = ring->read_pos < n ? ring->read_pos + ring->size - n : ring->read_pos - n;
  return 0;
}

int queue_message(SendQueue& q, const uint8_t* message, uint32_t n) {
  ByteRing* ring = q.ring;
  if (n == 0 || message == nullptr || ring == nullptr || ring->buffer == nullptr) return -1;
  // A message longer than one batch at the head of the log would stall take_batch for good.
  if (n > kMaxBatch) return -1;
  if (!positions_valid(*ring)) return -1;
  if (n > ring_room(ring->write_pos, ring->read_pos, ring->size)) return -1;

  // A full log restarts at 0. The bytes it described are discarded with it: keeping them
  // with no lengths logged would make later batches cut messages in half.
  if (q.log_write_count - q.log_read_index >= kLengthLogEntries - 1) {
    q.log_write_count = 0;
    q.log_read_index = 0;
    ring->write_pos = 0;
    ring->read_pos = 0;
  }
  q.log[q.log_write_count % kLengthLogEntries] = n;
  ++q.log_write_count;
  return ring_write(message, n, ring);
}

uint32_t take_batch(SendQueue& q) {
  if (q.ring == nullptr) return 0;
  const ByteRing& ring = *q.ring;
  const uint32_t used = ring_used(ring.write_pos, ring.read_pos, ring.size);
  if (used <= kMaxBatch) {
    q.log_read_index = q.log_write_count;
    return used;
  }
  uint32_t total = 0;
  uint32_t i = q.log_read_index;
  for (uint32_t step = 0; step < kLengthLogEntries; ++step) {
    uint32_t& e = q.log[i % kLengthLogEntries];
    if (i == q.log_write_count || uint64_t(total) + e > kMaxBatch) break;
    if (e != 0) {
      total += e;
      e = 0;
    }
    ++i;
  }
  q.log_read_index = i;
  return total;
}

void clear_send_queue(SendQueue& q) {
  if (q.ring != nullptr) {
    q.ring->write_pos = 0;
    q.ring->read_pos = 0;
  }
  q.log_read_index = q.log_write_count;
}

}  // namespace tessomar::link
