// The reorder table of one connection slot: records can arrive out of order (two sockets per
// slot), so each stored record is noted here with its key and its place in the slot's store
// ring, and taken out again strictly in key order. The table knows nothing of rings or
// viewers: the caller writes the bytes, tells the table what happened and moves the records
// the table hands back. UI thread only.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace tessomar::video {

constexpr uint32_t kReorderEntries = 512;

struct ReorderEntry {
  uint32_t key = 0;
  uint32_t position = 0;  // write position of the record in the store ring
  uint32_t length = 0;    // 0 marks a free entry
  uint32_t kind = 0;
  // Store bytes written before this record; tells whether later writes have since run
  // over it.
  uint64_t stamp = 0;
};

// One record offered to the table.
struct ReorderRecord {
  uint32_t arrival_key = 0;
  // False for DVRs that do not number their records: the table invents keys in arrival order.
  bool numbered = true;
  uint32_t position = 0;  // store write position before the record was written
  uint32_t length = 0;
  uint32_t kind = 0;
  bool written = false;  // the store took all of its bytes
};

enum class ReorderStore {
  Stored,
  Restarted,  // stored, after too many stores without a delivery gave up on a gap
  Lost,       // not written: its key counts as delivered
};

// A record whose turn has come.
struct ReorderReady {
  ReorderEntry entry;
  // Held so long that later records ran over its bytes: lost, its key used up.
  bool overwritten = false;
};

class FrameReorderTable {
 public:
  ReorderStore insert(const ReorderRecord& record);
  // Every held record that is next in key order, in that order; entries are freed. The span
  // stays valid until the next call. store_size: capacity of the store ring.
  std::span<const ReorderReady> take_ready(uint32_t store_size);

  // Gives up on the missing key(s) in front of the held records: the lowest held key becomes
  // the next one due, and held entries whose keys were already passed are freed. True when
  // that makes a record due; take_ready then hands it over.
  bool skip_gap();

  // Forgets every held record and all counters.
  void clear();
  // The DVR numbers its records afresh.
  void reset_sequence() { lastKey_ = 0; }

  uint32_t writeIndex() const { return writeIndex_; }
  uint32_t sinceDelivery() const { return sinceDelivery_; }
  uint32_t lastKey() const { return lastKey_; }
  uint32_t pending() const { return pending_; }
  uint32_t localKey() const { return localKey_; }

 private:
  uint32_t writeIndex_ = 0;     // frames stored; the low 9 bits pick the entry to fill
  uint32_t sinceDelivery_ = 0;  // frames stored since the last in-order delivery
  uint32_t lastKey_ = 0;        // arrival key of the last frame delivered
  uint32_t pending_ = 0;        // entries stored and not yet delivered
  uint32_t localKey_ = 0;       // next offset for invented keys (older DVRs)
  // Bytes written into the store so far. The ring keeps only its last `size` bytes, so a
  // record held back long enough is overwritten by later ones; such a record is lost, never
  // delivered with another record's bytes.
  uint64_t written_ = 0;
  std::array<ReorderEntry, kReorderEntries> entries_{};
  // What the last take_ready handed out; each entry is freed when taken, so at most all.
  std::array<ReorderReady, kReorderEntries> ready_{};
};

}  // namespace tessomar::video
