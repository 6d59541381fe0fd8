#include "channels/vdtt.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "channels/channel_fixture.h"

namespace tessomar::channels {
namespace {

using testing::ChannelFixture;
using testing::WireMessage;

constexpr uint32_t kKey = 0x1234ABCD;

struct Piece {
  uint32_t offset, length, sum;
};

Piece piece_of(const WireMessage& m) {
  return {platform::load_u32le(&m.payload[0]), platform::load_u32le(&m.payload[4]),
          platform::load_u32le(&m.payload[8])};
}

// A piece body: header with offset, length and sum (the bytes' own sum unless given), then the
// bytes; `declared` overrides the length field.
std::vector<uint8_t> piece_body(uint32_t offset, const std::vector<uint8_t>& bytes,
                                int64_t sum = -1, int64_t declared = -1) {
  std::vector<uint8_t> body(kPieceHeaderSize + bytes.size(), 0);
  platform::store_u32le(&body[0], offset);
  platform::store_u32le(&body[4], declared >= 0 ? uint32_t(declared) : uint32_t(bytes.size()));
  platform::store_u32le(&body[8],
                        sum >= 0 ? uint32_t(sum) : std::accumulate(bytes.begin(), bytes.end(), 0u));
  std::copy(bytes.begin(), bytes.end(), body.begin() + kPieceHeaderSize);
  return body;
}

class VdttTest : public ChannelFixture {
 protected:
  VdttTest() : vdtt(link) {
    vdtt.register_vdtt();
    open_session(0, kKey, 1);
    VdttHooks& h = vdtt.hooks();
    h.refill_editor = [this](int slot) { refills.push_back(slot); };
    h.titles_enabled = [this](bool on) { enabled.push_back(on); };
    h.clear_title_edits = [this] { ++clears; };
    h.title_tab_shown = [this] { return tab_shown; };
    h.progress = [this](int p) { progress.push_back(p); };
    h.pushed_set_stored = [this](int slot) { stored.push_back(slot); };
  }

  // The DVR asks the control (type 0).
  void request(uint32_t mode, uint32_t block, uint32_t offset, uint32_t length,
               uint32_t key = kKey) {
    deliver(kTagVdtt, {key, mode, kVdttRequest, block}, piece_body(offset, {}, 0, length));
  }
  // The DVR sends data (type 1).
  void data(uint32_t mode, uint32_t block, const std::vector<uint8_t>& body) {
    deliver(kTagVdtt, {kKey, mode, kVdttData, block}, body);
  }

  TitleSet& set() { return vdtt.transfer(0).set; }

  VdttChannel vdtt;
  std::vector<int> refills;
  std::vector<bool> enabled;
  int clears = 0;
  bool tab_shown = true;
  std::vector<int> progress;
  std::vector<int> stored;
};

TEST_F(VdttTest, PieceRequestsAreAnsweredWithTheBytesClippedToTheirBlock) {
  for (int c = 0; c < kSizeClasses; ++c) {
    auto b = set().block(c);
    for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(i * 7 + size_t(c));
  }
  for (size_t i = 0; i < kTitleRecordSize; ++i) set().record[i] = uint8_t(i + 3);

  struct Case {
    uint32_t block, offset, length, sent_length;
    const char* what;
  } cases[] = {
      {1, 0, 1152, 1152, "a whole piece at the start of block 1"},
      {1, 50000, 1152, 176, "a piece reaching past block 1's end is cut at 50176"},
      {4, 12544 - 784, 1152, 784, "the last piece of block 4"},
      {16, 1152, 1152, 8, "the record's last 8 bytes"},
      {2, 30976, 1152, 0, "an offset at the block's end: an empty piece"},
      {3, 0xFFFFFF00u, 1152, 0, "an offset far beyond the block: an empty piece"},
      {1, 100, 0xFFFFFFFFu, 1152, "a longer piece than 1152 bytes is cut to 1152"},
      {9, 0, 1152, 1152, "an unknown block id reads the title record"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    request(kVdttModePiece, c.block, c.offset, c.length);
    auto q = take_queued();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].tag, kTagVdtt);
    EXPECT_EQ(q[0].sub[0], kKey);
    EXPECT_EQ(q[0].sub[1], 0u) << "data mode 0: a piece";
    EXPECT_EQ(q[0].sub[2], kVdttData);
    EXPECT_EQ(q[0].sub[3], c.block);
    ASSERT_EQ(q[0].payload.size(), kPieceHeaderSize + c.sent_length);
    const Piece p = piece_of(q[0]);
    if (c.sent_length == 0) {
      EXPECT_TRUE(std::all_of(q[0].payload.begin(), q[0].payload.end(), [](uint8_t b) {
        return b == 0;
      })) << "an empty piece is a zero piece header";
      continue;
    }
    EXPECT_EQ(p.offset, c.offset);
    EXPECT_EQ(p.length, c.sent_length);
    const auto block = set().block_by_id(c.block).subspan(c.offset, c.sent_length);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), q[0].payload.begin() + kPieceHeaderSize));
    EXPECT_EQ(p.sum, byte_sum(block));
  }
}

TEST_F(VdttTest, WholeRecordRequestIsAnsweredWithBlock17AndTheRecord) {
  for (size_t i = 0; i < kTitleRecordSize; ++i) set().record[i] = uint8_t(i * 13);
  request(kVdttModeWhole, 16, 500, 4);
  auto q = take_queued();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].sub[1], 1u) << "data mode 1: the whole record";
  EXPECT_EQ(q[0].sub[2], kVdttData);
  EXPECT_EQ(q[0].sub[3], kBlockWholeRecord);
  ASSERT_EQ(q[0].payload.size(), kPieceHeaderSize + kTitleRecordSize);
  const Piece p = piece_of(q[0]);
  EXPECT_EQ(p.offset, 0u);
  EXPECT_EQ(p.length, kTitleRecordSize);
  EXPECT_EQ(p.sum, byte_sum(set().record));
  EXPECT_TRUE(std::equal(set().record.begin(), set().record.end(),
                         q[0].payload.begin() + kPieceHeaderSize));
}

TEST_F(VdttTest, MessagesThatCannotBeReadOrPlacedAreDropped) {
  // Unknown key, unknown type, unknown request mode, a header cut short.
  request(kVdttModePiece, 1, 0, 1152, kKey + 1);
  deliver(kTagVdtt, {kKey, kVdttModePiece, 2, 1}, piece_body(0, {}, 0, 1152));
  request(7, 1, 0, 1152);
  deliver(kTagVdtt, {kKey, kVdttModePiece, kVdttRequest, 1}, std::vector<uint8_t>(20, 0));
  EXPECT_TRUE(take_queued().empty());

  // Whole-record data that declares more bytes than arrived, or of an unknown data mode.
  const std::vector<uint8_t> bytes(100, 0x55);
  data(1, kBlockWholeRecord, piece_body(0, bytes, -1, 101));
  data(5, kBlockWholeRecord, piece_body(0, bytes));
  // A pushed piece whose length runs past the message.
  data(0, 1, piece_body(0, bytes, -1, 4000));
  EXPECT_TRUE(take_queued().empty());
  EXPECT_TRUE(refills.empty());
  EXPECT_EQ(byte_sum(set().record), 0u);
  EXPECT_EQ(byte_sum(set().block(0)), 0u);
}

TEST_F(VdttTest, WholeRecordDataWithItsSumReplacesTheRecordAndRefillsTheEditor) {
  std::vector<uint8_t> record(kTitleRecordSize);
  for (size_t i = 0; i < record.size(); ++i) record[i] = uint8_t(i * 5 + 1);

  data(1, kBlockWholeRecord, piece_body(0, record, byte_sum(record) + 1));
  EXPECT_TRUE(refills.empty()) << "a wrong sum is ignored";
  EXPECT_EQ(byte_sum(set().record), 0u);

  data(1, kBlockWholeRecord, piece_body(0, record));
  EXPECT_EQ(refills, std::vector<int>{0});
  EXPECT_TRUE(std::equal(record.begin(), record.end(), set().record.begin()));
  for (int32_t d : vdtt.transfer(0).dirty) EXPECT_EQ(d, 1);

  // A longer record fills the 1160 bytes and no more.
  std::vector<uint8_t> longer(kTitleRecordSize + 40, 0x11);
  data(1, kBlockWholeRecord, piece_body(0, longer));
  EXPECT_EQ(refills.size(), 2u);
  EXPECT_EQ(set().record.back(), 0x11);
  EXPECT_TRUE(take_queued().empty());
}

TEST_F(VdttTest, PushedPiecesAreStoredAndTheNextPieceIsAskedFor) {
  struct Case {
    uint32_t block, offset, length;
    bool good_sum;
    uint32_t next_block, next_offset, next_length;
    const char* what;
  } cases[] = {
      {16, 0, 1152, true, 16, 1152, 8, "the record's rest"},
      {16, 1152, 8, true, 1, 0, 1152, "the record done: block 1"},
      {1, 49000, 1152, true, 1, 50152, 24, "the last 24 bytes of block 1"},
      {3, 20736 - 1152, 1152, true, 4, 0, 1152, "block 3 ends exactly: block 4 from 0"},
      {2, 1000, 500, false, 2, 1500, 1152, "a wrong sum skips the piece but moves on"},
      {4, 12000, 1152, true, 0, 0, 1152, "block 4 cut at its end: the download ends"},
      {1, 60000, 100, true, 2, 0, 1152, "an offset beyond the block: the next block"},
      {9, 0, 100, true, 0, 0, 1152, "an unknown block lands in the record and ends it"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> bytes(c.length);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i + c.block + 1);
    const auto before =
        std::vector<uint8_t>(set().block_by_id(c.block).begin(), set().block_by_id(c.block).end());
    const auto block = set().block_by_id(c.block);
    const uint32_t kept = c.offset >= block.size()
                              ? 0
                              : std::min<uint32_t>(c.length, uint32_t(block.size()) - c.offset);
    // The sum covers the bytes that fit in the block.
    const uint32_t kept_sum = std::accumulate(bytes.begin(), bytes.begin() + kept, 0u);
    data(0, c.block, piece_body(c.offset, bytes, c.good_sum ? kept_sum : kept_sum + 1));

    if (c.good_sum && kept != 0) {
      EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + kept, block.begin() + c.offset));
    } else {
      EXPECT_TRUE(std::equal(before.begin(), before.end(), block.begin()));
    }
    auto q = take_queued();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].sub[1], kVdttModePiece);
    EXPECT_EQ(q[0].sub[2], kVdttRequest);
    EXPECT_EQ(q[0].sub[3], c.next_block);
    ASSERT_EQ(q[0].payload.size(), kPieceHeaderSize);
    const Piece p = piece_of(q[0]);
    EXPECT_EQ(p.offset, c.next_offset);
    EXPECT_EQ(p.length, c.next_length);
    EXPECT_EQ(p.sum, 0u);
  }
  EXPECT_EQ(stored, std::vector<int>{0}) << "only block 4's end completes a pushed set";
}

TEST_F(VdttTest, UploadStartsOnTheNextTickAndShowsItsProgressUntilBlockZero) {
  for (size_t i = 0; i < kTitleRecordSize; ++i) set().record[i] = uint8_t(i);
  set().block(2)[7] = 200;
  platform::store_u32le(&set().record[kRecordSetSum], 0xDEADBEEF);
  TitleSet copy;
  copy.record = set().record;
  copy.block(2)[7] = 200;
  platform::store_u32le(&copy.record[kRecordSetSum], 0);
  const uint32_t expected_sum = title_set_sum(copy);

  vdtt.title_apply();
  const TitleTransfer& t = vdtt.transfer(0);
  EXPECT_EQ(t.uploadBusy, 1);
  EXPECT_EQ(t.bytesTotal, int32_t(kTitleSetSize));
  EXPECT_EQ(platform::load_u32le(&set().record[kRecordSetSum]), expected_sum);
  EXPECT_EQ(enabled, std::vector<bool>{false});
  EXPECT_TRUE(take_queued().empty()) << "nothing leaves before the tick";

  vdtt.tick();
  auto q = take_queued();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].sub[1], 0u);
  EXPECT_EQ(q[0].sub[2], kVdttData);
  EXPECT_EQ(q[0].sub[3], kBlockRecord);
  EXPECT_EQ(piece_of(q[0]).offset, 0u);
  EXPECT_EQ(piece_of(q[0]).length, 1152u);
  vdtt.tick();
  EXPECT_TRUE(take_queued().empty()) << "the pending start went out once";

  vdtt.progress_tick();
  request(kVdttModePiece, 16, 1152, 1152);
  request(kVdttModePiece, 1, 0, 1152);
  vdtt.progress_tick();
  tab_shown = false;
  request(kVdttModePiece, 1, 1152, 1152);
  vdtt.progress_tick();
  EXPECT_EQ(progress, (std::vector<int>{1152 * 100 / 115592, 2312 * 100 / 115592}))
      << "the bar moves only while the Title tab is shown";
  tab_shown = true;

  vdtt.title_fetch();
  EXPECT_EQ(clears, 0) << "no fetch while the upload runs";
  EXPECT_EQ(t.pendingRequest, kTitleNoRequest);

  take_queued();
  request(kVdttModePiece, kBlockEnd, 0, 0);
  EXPECT_TRUE(take_queued().empty()) << "block id 0 is not answered";
  EXPECT_EQ(t.uploadBusy, 0);
  EXPECT_EQ(enabled, (std::vector<bool>{false, true}));
  vdtt.progress_tick();
  EXPECT_EQ(progress.back(), 100);
}

TEST_F(VdttTest, FetchClearsTheEditsAndAsksForTheWholeRecordOnTheTick) {
  vdtt.title_fetch();
  EXPECT_EQ(clears, 1);
  vdtt.progress_tick();
  EXPECT_TRUE(progress.empty()) << "no bar before any upload";
  vdtt.tick();
  auto q = take_queued();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].sub[1], kVdttModeWhole);
  EXPECT_EQ(q[0].sub[2], kVdttRequest);
  EXPECT_EQ(q[0].sub[3], kBlockWholeRecord);
  ASSERT_EQ(q[0].payload.size(), kPieceHeaderSize);
  EXPECT_EQ(piece_of(q[0]).offset, 0u);
  EXPECT_EQ(piece_of(q[0]).length, 1152u);
}

TEST_F(VdttTest, PendingRequestWaitsForASession) {
  open_session(0, 0);
  vdtt.title_fetch();
  vdtt.tick();
  EXPECT_EQ(vdtt.transfer(0).pendingRequest, kTitleFetch);
  open_session(0, kKey, 1);
  vdtt.tick();
  EXPECT_EQ(take_queued().size(), 1u);
  EXPECT_EQ(vdtt.transfer(0).pendingRequest, kTitleNoRequest);
}

}  // namespace
}  // namespace tessomar::channels
