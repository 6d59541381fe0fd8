#include "video/vido.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "channels/channel_fixture.h"
#include "channels/session_state.h"
#include "channels/vask.h"
#include "link/ring.h"
#include "platform/bytes.h"
#include "video/frame_record.h"
#include "video/viewer.h"
#include "video/viewer_test_peer.h"

namespace tessomar::video {
namespace {

using platform::load_u32le;
using platform::store_u32le;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kKey = 0x5A5A0001;

struct RecordSpec {
  uint32_t arrivalKey = 0;
  uint32_t frameId = 0;
  uint32_t kind = 0;
  uint32_t channel = 0;
  uint32_t seconds = 0;
  uint32_t frameInSecond = 0;
  uint32_t totalLength = 160;  // header, picture header, no payload
  uint32_t requestCounter = 0;
};

// A frame record whose bytes after the header all carry the low byte of frameId, so that a
// record assembled from another record's bytes is recognisable.
Bytes record(const RecordSpec& s) {
  Bytes r(std::max<uint32_t>(s.totalLength, kFrameRecordHeaderSize), uint8_t(s.frameId));
  std::fill(r.begin(), r.begin() + kFrameRecordHeaderSize, 0);
  store_u32le(&r[0], s.totalLength);
  store_u32le(&r[20], s.channel);
  store_u32le(&r[24], s.frameId);
  store_u32le(&r[32], s.arrivalKey);
  store_u32le(&r[36], s.seconds);
  store_u32le(&r[40], s.frameInSecond);
  store_u32le(&r[48], s.kind);
  store_u32le(&r[52], s.requestCounter);
  return r;
}

class VidoTest : public channels::testing::ChannelFixture {
 protected:
  VidoTest() : vido(link), viewers(clock, link) {
    channels::init_session_state(session, 0);
    device.generation = 2;
    vido.registerVideoChannel();
    viewers.hooks().clear_reorder_table = [this](int slot) { vido.clear_reorder_table(slot); };
    bind(0, &session);
    open_session(0, kKey, 1);
    EXPECT_EQ(viewers.attachView(0, "dvr", 80, 0, kViewKindLive, &form["Image_video"],
                                 &form["Label_time"]),
              0);
    vido.hooks().audio_present = [this](int slot) { audio_present.push_back(slot); };
  }

  Viewer& viewer() { return viewers.viewer(0); }
  link::ByteRing& video_ring() { return ViewerTestPeer::video_ring(viewer()); }
  void bind(int slot, channels::SessionState* s) {
    vido.attach(slot, &viewers.viewer(slot), s, &device);
    viewers.bind(slot, s, &device, &vido.state(slot).feedback);
  }

  void arrive(const RecordSpec& s) {
    Bytes r = record(s);
    vido.onFrameRecord(0, r);
  }

  // frameIds of the whole records in a ring, oldest first; checks each record's bytes.
  static std::vector<uint32_t> drain(link::ByteRing& ring) {
    std::vector<uint32_t> ids;
    uint32_t used = link::ring_used(ring.write_pos, ring.read_pos, ring.size);
    Bytes all(used);
    if (used > 0) {
      EXPECT_EQ(link::ring_read(&ring, all.data(), used), 0);
    }
    size_t pos = 0;
    while (pos + kFrameRecordHeaderSize <= all.size()) {
      const uint32_t total = load_u32le(&all[pos]);
      const uint32_t id = load_u32le(&all[pos + 24]);
      EXPECT_LE(pos + total, all.size());
      if (total < kFrameRecordHeaderSize || pos + total > all.size()) break;
      for (size_t i = kFrameRecordHeaderSize; i < total; ++i) {
        if (all[pos + i] != uint8_t(id)) {
          ADD_FAILURE() << "record " << id << " holds foreign bytes at " << i;
          break;
        }
      }
      ids.push_back(id);
      pos += total;
    }
    EXPECT_EQ(pos, all.size());
    return ids;
  }
  std::vector<uint32_t> delivered() { return drain(video_ring()); }

  channels::SessionState session;
  channels::DeviceIdentity device;
  VideoChannel vido;
  Viewers viewers;
  std::vector<int> audio_present;
};

// Each arrival is (arrivalKey, frameId); after it, exactly the listed frameIds come out.
struct ReorderCase {
  const char* name;
  uint32_t generation;
  std::vector<std::pair<uint32_t, uint32_t>> arrivals;
  std::vector<std::vector<uint32_t>> out_after_each;
};

TEST_F(VidoTest, DeliversRecordsInKeyOrder) {
  const std::vector<ReorderCase> cases = {
      {"5,4,3 after 2 come out as 3,4,5 at once",
       2,
       {{1, 1}, {2, 2}, {5, 5}, {4, 4}, {3, 3}, {6, 6}},
       {{1}, {2}, {}, {}, {3, 4, 5}, {6}}},
      {"generation 1 takes arrival order whatever the keys",
       1,
       {{9, 1}, {3, 2}, {7, 3}, {0, 4}},
       {{1}, {2}, {3}, {4}}},
      {"a key already delivered is held, not delivered twice",
       2,
       {{1, 1}, {2, 2}, {2, 3}, {3, 4}},
       {{1}, {2}, {}, {4}}},
  };
  for (const ReorderCase& c : cases) {
    SCOPED_TRACE(c.name);
    vido.clear_reorder_table(0);
    delivered();
    device.generation = c.generation;
    for (size_t i = 0; i < c.arrivals.size(); ++i) {
      arrive({.arrivalKey = c.arrivals[i].first, .frameId = c.arrivals[i].second});
      EXPECT_EQ(delivered(), c.out_after_each[i]) << "after arrival " << i;
    }
  }
}

TEST_F(VidoTest, TheFiveHundredTwelfthStoreBehindAGapRestartsAndDelivers) {
  arrive({.arrivalKey = 1, .frameId = 1});
  ASSERT_EQ(delivered(), std::vector<uint32_t>{1});
  // Key 2 never comes.
  for (uint32_t k = 3; k < 3 + 511; ++k) arrive({.arrivalKey = k, .frameId = k});
  EXPECT_TRUE(delivered().empty());
  EXPECT_EQ(vido.reorder_table(0).pending(), 511u);

  arrive({.arrivalKey = 514, .frameId = 514});
  EXPECT_EQ(delivered(), std::vector<uint32_t>{514});
  EXPECT_EQ(vido.reorder_table(0).lastKey(), 514u);
  EXPECT_EQ(vido.reorder_table(0).pending(), 0u);
  EXPECT_EQ(vido.stats(0).restarts, 1u);

  arrive({.arrivalKey = 515, .frameId = 515});
  EXPECT_EQ(delivered(), std::vector<uint32_t>{515});
}

// A key the DVR never sends (dropped, or refused for its checksum or length) holds later
// records only for kGapWait, not for 512 stores; progress meanwhile restarts the wait, and a
// key that turns up after it was given up is not delivered out of order.
TEST_F(VidoTest, MissingKeyIsGivenUpAfterTheGapWait) {
  constexpr uint32_t kWait = VideoChannel::kGapWait;
  const uint32_t t0 = 0xFFFF0000u;  // the tick clock wraps in the middle of the wait
  arrive({.arrivalKey = 1, .frameId = 1});
  arrive({.arrivalKey = 3, .frameId = 3});
  arrive({.arrivalKey = 4, .frameId = 4});
  EXPECT_EQ(delivered(), std::vector<uint32_t>{1});
  vido.skip_stale_gap(0, t0);
  vido.skip_stale_gap(0, t0 + kWait - 1);
  EXPECT_TRUE(delivered().empty());
  vido.skip_stale_gap(0, t0 + kWait);
  EXPECT_EQ(delivered(), (std::vector<uint32_t>{3, 4}));
  EXPECT_EQ(vido.stats(0).gaps_skipped, 1u);
  arrive({.arrivalKey = 2, .frameId = 2});  // too late
  arrive({.arrivalKey = 5, .frameId = 5});
  EXPECT_EQ(delivered(), std::vector<uint32_t>{5});

  // Key 6 comes late but within the wait; the wait for 8 starts when 7 went out.
  arrive({.arrivalKey = 7, .frameId = 7});
  vido.skip_stale_gap(0, t0 + 2 * kWait);
  vido.skip_stale_gap(0, t0 + 2 * kWait + kWait / 2);
  arrive({.arrivalKey = 6, .frameId = 6});
  EXPECT_EQ(delivered(), (std::vector<uint32_t>{6, 7}));
  arrive({.arrivalKey = 9, .frameId = 9});
  vido.skip_stale_gap(0, t0 + 3 * kWait);
  vido.skip_stale_gap(0, t0 + 3 * kWait + kWait / 2);
  EXPECT_TRUE(delivered().empty());
  vido.skip_stale_gap(0, t0 + 4 * kWait);
  EXPECT_EQ(delivered(), std::vector<uint32_t>{9});
  EXPECT_EQ(vido.stats(0).gaps_skipped, 2u);

  // A cleared table starts a new wait.
  arrive({.arrivalKey = 11, .frameId = 11});
  vido.skip_stale_gap(0, t0 + 5 * kWait);
  vido.clear_reorder_table(0);
  arrive({.arrivalKey = 2, .frameId = 2});
  vido.skip_stale_gap(0, t0 + 6 * kWait);
  EXPECT_TRUE(delivered().empty());
  EXPECT_EQ(vido.stats(0).gaps_skipped, 2u);
}

TEST_F(VidoTest, LengthZeroRecordOnlyUpdatesTheNewestTime) {
  arrive({.arrivalKey = 1,
          .frameId = 1,
          .channel = 5,
          .seconds = 1234,
          .frameInSecond = 7,
          .totalLength = 0});
  EXPECT_EQ(viewer().clock(5).newestSeconds, 1234u);
  EXPECT_EQ(viewer().clock(5).newestFrame, 7u);
  EXPECT_EQ(vido.reorder_table(0).writeIndex(), 0u);
  EXPECT_EQ(vido.reorder_table(0).lastKey(), 0u);
  EXPECT_TRUE(delivered().empty());
  // The key was not used: key 1 is still the next one expected.
  arrive({.arrivalKey = 1, .frameId = 2});
  EXPECT_EQ(delivered(), std::vector<uint32_t>{2});
}

TEST_F(VidoTest, AudioWaitsForTheFirstVideoFrame) {
  arrive({.arrivalKey = 1, .frameId = 1, .kind = kRecordKindAudio});
  EXPECT_TRUE(drain(ViewerTestPeer::audio_ring(viewer())).empty());
  EXPECT_TRUE(audio_present.empty());
  EXPECT_EQ(vido.stats(0).audio_before_video, 1u);

  ViewerTestPeer::set_video_started(viewer());  // as the first accepted frame does
  arrive({.arrivalKey = 2, .frameId = 2, .kind = kRecordKindAudio});
  EXPECT_EQ(drain(ViewerTestPeer::audio_ring(viewer())), std::vector<uint32_t>{2});
  EXPECT_EQ(audio_present, std::vector<int>{0});

  // In Backup mode audio is still queued but does not bring up the speaker controls.
  session.mode = channels::kModeBackup;
  arrive({.arrivalKey = 3, .frameId = 3, .kind = kRecordKindAudio});
  EXPECT_EQ(drain(ViewerTestPeer::audio_ring(viewer())), std::vector<uint32_t>{3});
  EXPECT_EQ(audio_present.size(), 1u);
  EXPECT_TRUE(delivered().empty());
}

TEST_F(VidoTest, RecordTooBigForTheVideoRingEmptiesItOnlyInLiveView) {
  struct Case {
    int32_t mode;
    bool ring_emptied;
  };
  for (const Case c : {Case{channels::kModeLive, true}, Case{channels::kModePlayback, false}}) {
    SCOPED_TRACE(c.mode);
    session.mode = c.mode;
    link::ByteRing& ring = video_ring();
    ring.read_pos = 0;
    ring.write_pos = ring.size - 100000;  // room 95000
    arrive({.arrivalKey = vido.reorder_table(0).lastKey() + 1, .frameId = 7, .totalLength = 96000});
    if (c.ring_emptied) {
      EXPECT_EQ(ring.write_pos, 0u);
      EXPECT_EQ(ring.read_pos, 0u);
    } else {
      EXPECT_EQ(ring.write_pos, ring.size - 100000);
    }
    EXPECT_EQ(vido.reorder_table(0).pending(), 0u);  // consumed either way
  }
}

TEST_F(VidoTest, FeedbackCarries256BytesAndCreditsRoomBeyondTheReserve) {
  // Slot 0's word was recomputed when its viewer got its buffers; slot 1 never gets any.
  EXPECT_EQ(vido.state(1).feedback.words[kFeedbackCredit], kInitialCredit);
  struct Case {
    uint32_t free_bytes;  // of the 4 MB video ring
    uint32_t credit;
  };
  const Case cases[] = {
      {kViewerRingSize, 3984588 - 524288},  // empty ring: 95 % of 4 MB
      {551884, 1},                          // room 524289
      {551883, 0},                          // room exactly 524288
      {200000, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.free_bytes);
    link::ByteRing& ring = video_ring();
    ring.read_pos = 0;
    ring.write_pos = kViewerRingSize - c.free_bytes;
    vido.state(0).feedback.words[kFeedbackFrameId] = 0xABCD;
    vido.requestFeedback(kKey);
    auto sent = take_queued(0);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].tag, kTagVido);
    EXPECT_EQ(sent[0].total_length, 64u + 256u);
    EXPECT_EQ(sent[0].sub[0], kKey);
    EXPECT_EQ(sent[0].sub[1], kSubTagFeedback);
    ASSERT_EQ(sent[0].payload.size(), 256u);
    EXPECT_EQ(load_u32le(&sent[0].payload[4 * kFeedbackCredit]), c.credit);
    EXPECT_EQ(load_u32le(&sent[0].payload[4 * kFeedbackFrameId]), 0xABCDu);
  }
  vido.requestFeedback(kKey + 1);  // no slot has this key
  EXPECT_TRUE(take_queued(0).empty());
}

TEST_F(VidoTest, ReceiveHandlerTakesSubTagZeroOfAKnownSession) {
  auto sub = [](uint32_t key, uint32_t tag) { return std::array<uint32_t, 8>{key, tag}; };
  deliver(kTagVido, sub(kKey, kSubTagFrameRecord), record({.arrivalKey = 1, .frameId = 1}));
  deliver(kTagVido, sub(kKey, kSubTagFeedback), record({.arrivalKey = 2, .frameId = 2}));
  deliver_with_frame_key(kKey, kTagVido, sub(kKey + 1, kSubTagFrameRecord),
                         record({.arrivalKey = 2, .frameId = 3}));
  deliver(kTagVido, sub(kKey, kSubTagFrameRecord), record({.arrivalKey = 2, .frameId = 4}));
  EXPECT_EQ(delivered(), (std::vector<uint32_t>{1, 4}));
}

TEST_F(VidoTest, LengthTheMessageDoesNotCarryIsLostNotFilledWithOldBytes) {
  // A big record leaves its bytes in the receive buffer.
  deliver(kTagVido, {kKey, kSubTagFrameRecord},
          record({.arrivalKey = 1, .frameId = 1, .totalLength = 5000}));
  ASSERT_EQ(delivered(), std::vector<uint32_t>{1});
  // This one claims 5000 bytes but brings 160.
  Bytes short_one = record({.arrivalKey = 2, .frameId = 2, .totalLength = 160});
  store_u32le(&short_one[0], 5000);
  deliver(kTagVido, {kKey, kSubTagFrameRecord}, short_one);
  EXPECT_TRUE(delivered().empty());
  EXPECT_EQ(vido.stats(0).lost, 1u);
  // Its key counts as delivered, so the stream goes on.
  deliver(kTagVido, {kKey, kSubTagFrameRecord}, record({.arrivalKey = 3, .frameId = 3}));
  EXPECT_EQ(delivered(), std::vector<uint32_t>{3});
}

TEST_F(VidoTest, RecordsTooLongForTheViewerReachTheChannelAndAreCountedLost) {
  // Longer than the viewer takes, but within the channel's buffer: each is lost, its key
  // counts as delivered and the next record goes on at once.
  const uint32_t lengths[] = {kMaxFrameRecordLength + 1, kVidoBufferSize - link::kSubHeaderSize};
  uint32_t key = 1;
  for (uint32_t n : lengths) {
    SCOPED_TRACE(n);
    deliver(kTagVido, {kKey, kSubTagFrameRecord},
            record({.arrivalKey = key, .frameId = key, .totalLength = n}));
    ++key;
    deliver(kTagVido, {kKey, kSubTagFrameRecord}, record({.arrivalKey = key, .frameId = key}));
    EXPECT_EQ(delivered(), std::vector<uint32_t>{key});
    ++key;
  }
  EXPECT_EQ(vido.stats(0).lost, 2u);
}

TEST_F(VidoTest, StaleRecordsDoNotUseUpTheKeysOfTheNewRequest) {
  // The view changed (counter 2) while records of request 1 were still on their way; the
  // DVR numbers request 2's records from 1 again.
  session.sendSequence = 2;
  vido.clear_reorder_table(0);
  arrive({.arrivalKey = 1, .frameId = 1, .requestCounter = 1});
  arrive({.arrivalKey = 2, .frameId = 2, .kind = kRecordKindAudio, .requestCounter = 1});
  EXPECT_TRUE(delivered().empty());
  EXPECT_EQ(vido.stats(0).stale, 2u);
  EXPECT_EQ(vido.reorder_table(0).lastKey(), 0u);
  arrive({.arrivalKey = 1, .frameId = 11, .requestCounter = 2});
  arrive({.arrivalKey = 2, .frameId = 12, .requestCounter = 0});  // 0 matches any request
  EXPECT_EQ(delivered(), (std::vector<uint32_t>{11, 12}));
}

TEST_F(VidoTest, HeldRecordOverwrittenInTheStoreIsLostNotDeliveredCorrupt) {
  arrive({.arrivalKey = 1, .frameId = 1});
  delivered();
  // Key 2 is late; 12 records of 200000 bytes (2.4 MB) pass through the 2 MB store.
  for (uint32_t k = 3; k <= 14; ++k) arrive({.arrivalKey = k, .frameId = k, .totalLength = 200000});
  EXPECT_TRUE(delivered().empty());
  arrive({.arrivalKey = 2, .frameId = 2, .totalLength = 200000});
  // The store holds its last 2097152 bytes: key 2 and the 9 newest before it (4 MB ring
  // has room for all of them). Keys 3-5 were overwritten and are skipped.
  EXPECT_EQ(delivered(), (std::vector<uint32_t>{2, 6, 7, 8, 9, 10, 11, 12, 13, 14}));
  EXPECT_EQ(vido.stats(0).lost, 3u);
  EXPECT_EQ(vido.reorder_table(0).lastKey(), 14u);
}

TEST_F(VidoTest, ClearingTheTableForgetsHeldRecordsAndAResetRestartsTheKeys) {
  arrive({.arrivalKey = 1, .frameId = 1});
  arrive({.arrivalKey = 3, .frameId = 3});
  delivered();
  vido.clear_reorder_table(0);
  EXPECT_EQ(vido.reorder_table(0).pending(), 0u);
  arrive({.arrivalKey = 1, .frameId = 11});
  arrive({.arrivalKey = 2, .frameId = 12});
  arrive({.arrivalKey = 3, .frameId = 13});
  EXPECT_EQ(delivered(), (std::vector<uint32_t>{11, 12, 13}));

  vido.reset_reorder_sequence(0);  // a new identity: the DVR counts from 1 again
  arrive({.arrivalKey = 1, .frameId = 21});
  EXPECT_EQ(delivered(), std::vector<uint32_t>{21});
}

TEST_F(VidoTest, SlotWithoutAStoreLosesRecordsButKeepsCounting) {
  const uint32_t key1 = 0x77770000;
  open_session(1, key1);
  ASSERT_EQ(link.slot(1).stream_ring.buffer, nullptr);
  channels::SessionState s1;
  bind(1, &s1);
  Bytes r = record({.arrivalKey = 1, .frameId = 1});
  vido.onFrameRecord(1, r);
  EXPECT_EQ(vido.reorder_table(1).lastKey(), 1u);
  EXPECT_EQ(vido.reorder_table(1).pending(), 0u);
  EXPECT_EQ(vido.stats(1).lost, 1u);
}

}  // namespace
}  // namespace tessomar::video
