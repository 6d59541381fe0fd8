#include "video/reorder_table.h"

namespace tessomar::video {

ReorderStore FrameReorderTable::insert(const ReorderRecord& record) {
  ++writeIndex_;
  ++sinceDelivery_;
  ReorderEntry& e = entries_[writeIndex_ % kReorderEntries];
  if (pending_ == 0) localKey_ = 1;
  uint32_t key = record.arrival_key;
  if (!record.numbered) {
    key = lastKey_ + localKey_;
    ++localKey_;
  }
  if (!record.written) {
    // Never deliver an entry whose bytes were not written; its key counts as delivered.
    e = ReorderEntry{key, record.position, 0, record.kind, written_};
    ++lastKey_;
    return ReorderStore::Lost;
  }
  e = ReorderEntry{key, record.position, record.length, record.kind, written_};
  written_ += record.length;
  ReorderStore result = ReorderStore::Stored;
  if (sinceDelivery_ >= kReorderEntries) {
    // A gap that never fills: give up on it and restart at this record. Entries already
    // filled stay where they are.
    writeIndex_ = 0;
    pending_ = 0;
    lastKey_ = key - 1;
    result = ReorderStore::Restarted;
  }
  ++pending_;
  return result;
}

std::span<const ReorderReady> FrameReorderTable::take_ready(uint32_t store_size) {
  size_t count = 0;
  for (uint32_t pass = 0; pass < kReorderEntries && pending_ > 0; ++pass) {
    bool delivered = false;
    for (ReorderEntry& e : entries_) {
      if (e.length == 0 || e.key != lastKey_ + 1) continue;
      sinceDelivery_ = 0;
      lastKey_ = e.key;
      localKey_ = 1;
      ready_[count++] = ReorderReady{e, written_ - e.stamp >= store_size};
      e.length = 0;
      // Entries left behind by a restart can still match; they must not wrap the count.
      if (pending_ > 0) --pending_;
      delivered = true;
    }
    if (!delivered) break;
  }
  return std::span<const ReorderReady>(ready_.data(), count);
}

bool FrameReorderTable::skip_gap() {
  bool found = false;
  uint32_t lowest = 0;
  for (ReorderEntry& e : entries_) {
    if (e.length == 0) continue;
    if (e.key <= lastKey_) {
      // Left behind by a restart or an earlier skip: its turn has passed.
      e.length = 0;
      if (pending_ > 0) --pending_;
      continue;
    }
    if (!found || e.key < lowest) lowest = e.key;
    found = true;
  }
  if (!found) {
    pending_ = 0;
    return false;
  }
  lastKey_ = lowest - 1;
  return true;
}

void FrameReorderTable::clear() {
  writeIndex_ = 0;
  sinceDelivery_ = 0;
  lastKey_ = 0;
  pending_ = 0;
  localKey_ = 0;
  written_ = 0;
  entries_.fill(ReorderEntry{});
}

}  // namespace tessomar::video
