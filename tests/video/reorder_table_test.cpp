#include "video/reorder_table.h"

#include <gtest/gtest.h>

#include <vector>

namespace tessomar::video {
namespace {

constexpr uint32_t kStoreSize = 2097152;
using Ids = std::vector<uint32_t>;

// Drives a table as the VIDO channel does: records written one after another into a store
// of kStoreSize bytes. Records are named by their arrival number (1, 2, ... since the last
// renumber), carried through the table in the kind word, so what comes out says which
// records were delivered; an overwritten record comes out as 0.
class TableDriver {
 public:
  explicit TableDriver(bool numbered = true) : numbered_(numbered) {}

  ReorderStore arrive(uint32_t key, uint32_t length = 160, bool written = true) {
    ReorderRecord r;
    r.arrival_key = key;
    r.numbered = numbered_;
    r.position = position_;
    r.length = length;
    r.kind = ++arrivals_;
    r.written = written;
    if (written) position_ = (position_ + length) % kStoreSize;
    return table.insert(r);
  }
  Ids take() {
    Ids out;
    for (const ReorderReady& r : table.take_ready(kStoreSize))
      out.push_back(r.overwritten ? 0 : r.entry.kind);
    return out;
  }
  void renumber() { arrivals_ = 0; }

  FrameReorderTable table;

 private:
  bool numbered_;
  uint32_t position_ = 0;
  uint32_t arrivals_ = 0;
};

// One arrival, then what the table hands out.
struct Step {
  uint32_t key;
  Ids out;
  uint32_t length = 160;
  bool written = true;
};

void play(TableDriver& d, const std::vector<Step>& steps) {
  for (size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    d.arrive(s.key, s.length, s.written);
    EXPECT_EQ(d.take(), s.out) << "after arrival " << i << " (key " << s.key << ")";
  }
}

// Puts lastKey at `key` the way the table itself does: 512 stores with no delivery restart
// it at the newest record. The held records are left behind with that same key, so they
// never match again.
void restart_at(TableDriver& d, uint32_t key) {
  for (uint32_t i = 0; i < kReorderEntries - 1; ++i) d.arrive(key);
  ASSERT_EQ(d.arrive(key), ReorderStore::Restarted);
  ASSERT_EQ(d.take().size(), 1u);
  ASSERT_EQ(d.table.lastKey(), key);
  d.renumber();
}

TEST(FrameReorderTable, DeliversInKeyOrder) {
  struct Case {
    const char* name;
    bool numbered;
    uint32_t start_key;  // lastKey before the steps (numbered tables)
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"5,4,3 after 2 come out as 3,4,5 at once",
       true,
       0,
       {{1, {1}}, {2, {2}}, {5, {}}, {4, {}}, {3, {5, 4, 3}}, {6, {6}}}},
      {"a key already delivered is held, never delivered twice",
       true,
       0,
       {{1, {1}}, {2, {2}}, {2, {}}, {1, {}}, {3, {5}}}},
      {"a stale key far behind waits without holding the stream",
       true,
       0,
       {{1, {1}}, {0xFFFFFF00, {}}, {2, {3}}}},
      {"keys wrap from 0xFFFFFFFF to 0",
       true,
       0xFFFFFFFC,
       {{0xFFFFFFFE, {}}, {0xFFFFFFFD, {2, 1}}, {0, {}}, {0xFFFFFFFF, {4, 3}}, {1, {5}}}},
      {"unnumbered records go in arrival order whatever their keys",
       false,
       0,
       {{9, {1}}, {3, {2}}, {7, {3}}, {0, {4}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TableDriver d(c.numbered);
    if (c.start_key != 0) restart_at(d, c.start_key);
    play(d, c.steps);
  }
}

TEST(FrameReorderTable, RecordsThatCouldNotBeStoredUseUpTheirKeys) {
  TableDriver d;
  EXPECT_EQ(d.arrive(1, 160, false), ReorderStore::Lost);
  EXPECT_EQ(d.table.lastKey(), 1u);
  EXPECT_EQ(d.table.pending(), 0u);
  // Key 3 waits for 2; 2 is lost, which lets 3 out.
  play(d, {{3, {}}, {2, {2}, 160, false}, {4, {4}}});
}

TEST(FrameReorderTable, FiveHundredTwelveStoresBehindAGapRestartAtTheNewest) {
  TableDriver d;
  play(d, {{1, {1}}});
  // Key 2 never comes.
  for (uint32_t k = 3; k < 3 + kReorderEntries - 1; ++k) {
    EXPECT_EQ(d.arrive(k), ReorderStore::Stored);
    EXPECT_TRUE(d.take().empty());
  }
  EXPECT_EQ(d.table.pending(), kReorderEntries - 1);
  EXPECT_EQ(d.table.sinceDelivery(), kReorderEntries - 1);

  EXPECT_EQ(d.arrive(514), ReorderStore::Restarted);
  EXPECT_EQ(d.take(), Ids{513});  // the 513th arrival, key 514
  EXPECT_EQ(d.table.lastKey(), 514u);
  EXPECT_EQ(d.table.pending(), 0u);
  EXPECT_EQ(d.table.sinceDelivery(), 0u);
  play(d, {{515, {514}}});
}

TEST(FrameReorderTable, EntriesLeftBehindByARestartStillMatchWithoutWrappingTheCount) {
  TableDriver d;
  play(d, {{1, {1}}, {600, {}}});
  // Keys 3 to 512 wait for 2; the 512th store since the delivery is key 2 itself.
  for (uint32_t k = 3; k <= 512; ++k) d.arrive(k);
  EXPECT_EQ(d.arrive(2), ReorderStore::Restarted);
  // One pass over the entries in index order hands out key 2 and the left-behind keys 3 to
  // 511 that follow it; key 512 sits in entry 0, before them. The count is spent, so no
  // second pass runs for it.
  Ids expected = {513};
  for (uint32_t n = 3; n <= 511; ++n) expected.push_back(n);
  EXPECT_EQ(d.take(), expected);
  EXPECT_EQ(d.table.lastKey(), 511u);
  EXPECT_EQ(d.table.pending(), 0u);
  // The next arrival lets it out, ahead of itself.
  play(d, {{513, {512, 514}}});
  EXPECT_EQ(d.table.pending(), 0u);
}

TEST(FrameReorderTable, HeldRecordOverwrittenInTheStoreIsHandedOutAsLost) {
  TableDriver d;
  play(d, {{1, {1}}});
  // Key 2 is late; 12 records of 200000 bytes (2.4 MB) pass through the 2 MB store.
  for (uint32_t k = 3; k <= 14; ++k) d.arrive(k, 200000);
  EXPECT_TRUE(d.take().empty());
  d.arrive(2, 200000);
  // The store holds its last 2097152 bytes: key 2 and the 9 newest before it.
  EXPECT_EQ(d.take(), (Ids{14, 0, 0, 0, 5, 6, 7, 8, 9, 10, 11, 12, 13}));
  EXPECT_EQ(d.table.lastKey(), 14u);
}

TEST(FrameReorderTable, ClearForgetsHeldRecordsAndResetSequenceRestartsTheKeys) {
  TableDriver d;
  play(d, {{1, {1}}, {3, {}}});
  d.table.clear();
  EXPECT_EQ(d.table.pending(), 0u);
  EXPECT_EQ(d.table.writeIndex(), 0u);
  EXPECT_EQ(d.table.lastKey(), 0u);
  play(d, {{1, {3}}, {2, {4}}, {3, {5}}});

  d.table.reset_sequence();
  EXPECT_EQ(d.table.lastKey(), 0u);
  play(d, {{1, {6}}});
}

}  // namespace
}  // namespace tessomar::video
