// The DVR's recorded video over VIDO: playback at the recording's pace, pause, scans in both
// directions, gaps of the archive, backup windows within the credit, and mode switches.
#include <gtest/gtest.h>

#include <vector>

#include "dvrsim/archive.h"
#include "dvrsim/dvr_harness.h"
#include "dvrsim/frame_record.h"
#include "dvrsim/h264_rewrite.h"
#include "dvrsim/h264_test_decoder.h"
#include "dvrsim/live_stream.h"
#include "dvrsim/scene.h"
#include "dvrsim/settings.h"
#include "dvrsim/video_channel.h"
#include "dvrsim/video_harness.h"
#include "link/wire.h"
#include "platform/bytes.h"

namespace tessomar::dvrsim {
namespace {

using testing::append;
using testing::cif_device;
using testing::decode;
using testing::kBigCredit;
using testing::kIcmd;
using testing::kNoon;
using testing::Record;
using testing::WireMessage;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t at(uint32_t day, uint32_t h, uint32_t m = 0, uint32_t s = 0) {
  return day * 86400 + h * 3600 + m * 60 + s;
}
// kNoon is day 1519 on the DVR's calendar, a Saturday.
constexpr uint32_t kSaturday = 1519;
constexpr uint32_t kNow = at(kSaturday, 12);
constexpr uint32_t kMonday = kSaturday - 5;

Record parse_record(const WireMessage& m, uint32_t key) {
  EXPECT_TRUE(m.checksum_ok);
  EXPECT_EQ(m.key(), key);
  const Bytes b = m.payload();
  EXPECT_GE(b.size(), 160u);
  if (b.size() < 160) return Record{};
  const Record r = testing::read_record(b);
  EXPECT_EQ(r.total, b.size());
  EXPECT_NE(r.kind, 2u) << "video, not audio";
  EXPECT_EQ(r.magic, 0x03000000u);
  EXPECT_EQ(r.content, 1) << "content type";
  EXPECT_EQ(b.size(), 128 + r.block);
  return r;
}

Bytes playback_image(int32_t channel, int32_t state, int32_t direction, uint32_t start) {
  Bytes image(64, 0);
  platform::store_u32le(&image[8], uint32_t(channel));
  platform::store_u32le(&image[12], uint32_t(state));
  platform::store_u32le(&image[16], uint32_t(direction));
  platform::store_u32le(&image[20], start);
  return image;
}

Bytes backup_image(int32_t channel, int32_t state, uint32_t start, uint32_t end) {
  Bytes image(64, 0);
  platform::store_u32le(&image[8], uint32_t(channel));
  platform::store_u32le(&image[12], uint32_t(state));
  platform::store_u32le(&image[16], start);
  platform::store_u32le(&image[20], end);
  return image;
}

Bytes live_image(int32_t selected) {
  Bytes image(64, 0);
  platform::store_u32le(&image[8], uint32_t(selected));
  platform::store_u32le(&image[16], 704);
  platform::store_u32le(&image[20], 576);
  return image;
}

// The video rig with a session that has offered a large credit.
class PlaybackRig : public testing::VideoSessionRig {
 public:
  explicit PlaybackRig(const DeviceOptions& device = cif_device())
      : VideoSessionRig(device, parse_record) {
    feedback(kBigCredit);
    // The feedback poll was held a while: every test starts again at noon.
    h.clock().set_local(kNoon);
  }

  std::vector<Record> play(int32_t channel, int32_t state, int32_t direction, uint32_t start,
                           uint32_t seq) {
    return set(kRecordPlayback, 1, seq, playback_image(channel, state, direction, start));
  }
  std::vector<Record> backup(int32_t channel, int32_t state, uint32_t start, uint32_t end,
                             uint32_t seq) {
    return set(kRecordBackup, 2, seq, backup_image(channel, state, start, end));
  }
  // Plays on for `ms` and collects what came.
  std::vector<Record> run_and_drain(uint32_t ms) {
    run_ms(ms);
    return drain();
  }
  const Session* session() { return h.sim().sessions().find(key); }
};

TEST(DvrsimPlayback, PlaysTheRecordingAtItsPaceFromTheStartTime) {
  PlaybackRig rig;
  const uint32_t start = kNow - 600;
  auto records = rig.play(3, 1, 0, start, /*seq=*/9);
  ASSERT_EQ(records.size(), 1u) << "the first picture answers the set";
  EXPECT_EQ(rig.video.stream_mode(rig.key), StreamMode::kPlayback);
  EXPECT_EQ(rig.video.streaming_channel(rig.key), 3u);
  append(records, rig.run_and_drain(2000));
  // One picture every 40 ms: 0, 40, ..., 2000 ms, covering two seconds of the recording.
  ASSERT_EQ(records.size(), 51u);
  for (size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(i);
    const Record& r = records[i];
    EXPECT_EQ(r.stream_kind, 1);
    EXPECT_EQ(r.channel, 3u);
    EXPECT_EQ(r.pic_channel, 3);
    EXPECT_EQ(r.time, start + i / 25);
    EXPECT_EQ(r.frame_number, i % 25);
    EXPECT_EQ(r.seconds, r.time);
    EXPECT_EQ(r.fis, i % 25);
    EXPECT_EQ(r.counter, 9u);
    EXPECT_EQ(r.arrival, i + 1);
    EXPECT_EQ(r.sequence, i + 1);
    EXPECT_EQ(r.interval, 40u);
    EXPECT_EQ(r.rate, 500u);
    EXPECT_EQ(r.offset, 0u);
  }
  EXPECT_TRUE(records[0].key);
  const auto pictures = decode(records);
  ASSERT_EQ(pictures.size(), records.size());

  // The picture is the one the live stream showed at that time.
  LiveStream live(16, true, 352, 288);
  Bytes bytes;
  ASSERT_TRUE(live.next_record({.channel = 3,
                                .device_time = start,
                                .frame_in_second = 0,
                                .request_counter = 9,
                                .arrival_key = 1,
                                .stream_kind = 1},
                               bytes));
  ASSERT_GT(bytes.size(), 160u);
  EXPECT_EQ(Bytes(bytes.begin() + 160, bytes.end()), records[0].payload);
}

TEST(DvrsimPlayback, PauseHoldsAndPlayCarriesOnFromThePausedTime) {
  PlaybackRig rig;
  const uint32_t start = kNow - 3600;
  auto played = rig.play(1, 1, 0, start, 1);
  append(played, rig.run_and_drain(1500));
  ASSERT_GE(played.size(), 30u);

  // The control pauses at the time it shows and sends that time with the pause.
  const uint32_t shown = start + 1;
  EXPECT_TRUE(rig.play(1, 0, 0, shown, 2).empty());
  EXPECT_EQ(rig.video.stream_mode(rig.key), StreamMode::kPlayback);
  EXPECT_TRUE(rig.run_and_drain(1000).empty());

  // Play again with the same start time: on from the paused time, with a key frame.
  auto resumed = rig.play(1, 1, 0, shown, 3);
  append(resumed, rig.run_and_drain(400));
  ASSERT_GE(resumed.size(), 5u);
  EXPECT_TRUE(resumed[0].key);
  EXPECT_EQ(resumed[0].time, shown);
  EXPECT_EQ(resumed[0].frame_number, 0);
  EXPECT_EQ(resumed[0].arrival, 1u) << "every set restarts the arrival keys";
  for (const Record& r : resumed) EXPECT_EQ(r.counter, 3u);
  decode(resumed);
}

TEST(DvrsimPlayback, ScansShowOneKeyFramePerSecondInTheirDirection) {
  struct Case {
    int32_t state, direction;
    int step;  // recorded seconds per picture
  };
  for (const Case& c : {Case{1, 1, 1}, Case{1, -1, -1}}) {
    SCOPED_TRACE(c.direction);
    PlaybackRig rig;
    const uint32_t start = kNow - 7200;
    auto records = rig.play(2, c.state, c.direction, start, 4);
    append(records, rig.run_and_drain(2000));
    // A picture every 250 ms: four recorded seconds per real second.
    ASSERT_EQ(records.size(), 9u);
    for (size_t i = 0; i < records.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(records[i].time, uint32_t(int64_t(start) + c.step * int64_t(i)));
      EXPECT_EQ(records[i].frame_number, 0);
      EXPECT_TRUE(records[i].key);
      EXPECT_EQ(records[i].stream_kind, 1);
      EXPECT_EQ(records[i].interval, 250u);
      EXPECT_EQ(records[i].rate, 80u) << "20000 / 80 = 250 ms for the control's pacing";
    }
    decode(records);
  }
}

TEST(DvrsimPlayback, GapsAreSteppedOverInTheDirectionOfPlay) {
  struct Case {
    const char* what;
    int32_t channel, state, direction;
    uint32_t start;
    std::vector<uint32_t> seconds;  // of the first pictures, one entry per second reached
  };
  const Case cases[] = {
      {"a start inside a gap resumes at the next recording",
       3,
       1,
       0,
       at(kMonday, 9, 40),
       {at(kMonday, 10)}},
      {"play runs across the channel's half hour",
       0,
       1,
       0,
       at(kMonday, 6, 29, 59),
       {at(kMonday, 6, 29, 59), at(kMonday, 7)}},
      {"a forward scan jumps the weekend night",
       5,
       1,
       1,
       at(kSaturday, 1, 59, 58),
       {at(kSaturday, 1, 59, 58), at(kSaturday, 1, 59, 59), at(kSaturday, 5),
        at(kSaturday, 5, 0, 1)}},
      {"a backward scan jumps it the other way",
       5,
       1,
       -1,
       at(kSaturday, 5, 0, 1),
       {at(kSaturday, 5, 0, 1), at(kSaturday, 5), at(kSaturday, 1, 59, 59),
        at(kSaturday, 1, 59, 58)}},
      {"play state 2 plays", 6, 2, 1, at(kMonday, 12), {at(kMonday, 12), at(kMonday, 12, 0, 1)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PlaybackRig rig;
    auto records = rig.play(c.channel, c.state, c.direction, c.start, 1);
    append(records, rig.run_and_drain(1100));
    std::vector<uint32_t> seconds;
    std::vector<bool> keys;
    for (const Record& r : records) {
      if (seconds.empty() || seconds.back() != r.time) {
        seconds.push_back(r.time);
        keys.push_back(r.key);
      }
    }
    ASSERT_GE(seconds.size(), c.seconds.size());
    seconds.resize(c.seconds.size());
    EXPECT_EQ(seconds, c.seconds);
    // A new piece of recording starts with a key frame.
    for (size_t i = 0; i < c.seconds.size(); ++i) {
      if (i == 0 || c.seconds[i] - c.seconds[i - 1] != uint32_t(c.direction < 0 ? -1 : 1)) {
        EXPECT_TRUE(keys[i]) << "second " << i;
      }
    }
    decode(records);
  }
}

TEST(DvrsimPlayback, PlaybackWaitsAtTheEndOfTheRecording) {
  PlaybackRig rig;
  auto seconds_of = [](const std::vector<Record>& records) {
    std::vector<uint32_t> seconds;
    for (const Record& r : records) seconds.push_back(r.time);
    return seconds;
  };
  // A forward scan (a second of recording every 250 ms) outruns the recording: after now - 1
  // and now it waits until the next second is recorded.
  auto records = rig.play(0, 1, 1, kNow - 1, 1);
  append(records, rig.run_and_drain(900));
  EXPECT_EQ(seconds_of(records), (std::vector<uint32_t>{kNow - 1, kNow}));
  append(records, rig.run_and_drain(1000));
  EXPECT_EQ(seconds_of(records), (std::vector<uint32_t>{kNow - 1, kNow, kNow + 1}));
  decode(records);
}

TEST(DvrsimPlayback, RecordsCarryTheControlsLatestMessageCounter) {
  PlaybackRig rig;
  auto first = rig.play(4, 1, 0, kNow - 100, 21);
  append(first, rig.run_and_drain(200));
  ASSERT_GE(first.size(), 3u);
  for (const Record& r : first) EXPECT_EQ(r.counter, 21u);
  // Another ICMD message of the control (a setup query) moves its counter on; so do the
  // records, and the query empties the control's reorder table.
  rig.send({build_message(kIcmd, rig.key, {kIcmdQuery, kRecordSetup, 1, 22},
                          build_setup_record(kSetupBitrate, {}))});
  auto later = rig.run_and_drain(200);
  ASSERT_GE(later.size(), 3u);
  for (size_t i = 0; i < later.size(); ++i) {
    EXPECT_EQ(later[i].counter, 22u);
    EXPECT_EQ(later[i].arrival, i + 1);
  }
}

TEST(DvrsimPlayback, TimesInTheViewStatesIncludeTheTimeOffset) {
  DeviceOptions d = cif_device();
  d.time_offset = 3600;
  PlaybackRig rig(d);
  // The control shows picture time + offset, and sends the times it shows.
  auto records = rig.play(1, 1, 0, kNow - 600 + 3600, 1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].time, kNow - 600);
  EXPECT_EQ(records[0].offset, 3600u);
  rig.drain();
  auto copied = rig.backup(1, 1, kNow - 600 + 3600, kNow - 599 + 3600, 2);
  append(copied, rig.run_and_drain(500));
  ASSERT_EQ(copied.size(), 50u);
  EXPECT_EQ(copied.front().time, kNow - 600);
  EXPECT_EQ(copied.back().time, kNow - 599);
}

TEST(DvrsimBackup, CopiesExactlyTheWindowWithinTheCreditThenStops) {
  PlaybackRig rig;
  constexpr uint32_t kSmallCredit = 60000;
  rig.feedback(kSmallCredit);
  const uint32_t start = kNow - 1000;
  auto records = rig.backup(1, 1, start, start + 2, 7);
  EXPECT_EQ(rig.video.stream_mode(rig.key), StreamMode::kBackup);
  // Nobody polls: the queue fills up to the credit and no further, a few pictures a tick.
  size_t messages = rig.session()->outgoing.size();
  for (int i = 0; i < 50; ++i) {
    rig.h.clock().advance_ms(10);
    rig.h.sim().poll_once(0);
    const size_t now = rig.session()->outgoing.size();
    EXPECT_LE(now - messages, size_t(VideoChannel::kMaxBackupFramesPerTick));
    messages = now;
    EXPECT_LE(rig.session()->queued_bytes, kSmallCredit);
  }
  EXPECT_GT(messages, 0u);
  // Polling takes the rest.
  for (int i = 0; i < 200 && rig.video.stream_mode(rig.key) == StreamMode::kBackup; ++i) {
    append(records, rig.drain());
    rig.run_ms(10);
  }
  append(records, rig.drain());
  EXPECT_EQ(rig.video.stream_mode(rig.key), StreamMode::kNone);
  EXPECT_EQ(rig.video.streaming_channel(rig.key), VideoChannel::kNoChannel);
  // Every picture of the three seconds, in order, once.
  ASSERT_EQ(records.size(), 75u);
  for (size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(records[i].time, start + i / 25);
    EXPECT_EQ(records[i].frame_number, i % 25);
    EXPECT_EQ(records[i].channel, 1u);
    EXPECT_EQ(records[i].pic_channel, 1);
    EXPECT_EQ(records[i].stream_kind, 1);
    EXPECT_EQ(records[i].counter, 7u);
    EXPECT_EQ(records[i].arrival, i + 1);
    EXPECT_EQ(records[i].sequence, i + 1);
    EXPECT_EQ(records[i].interval, 40u);
  }
  EXPECT_TRUE(records[0].key);
  decode(records);
  EXPECT_TRUE(rig.run_and_drain(500).empty());
}

TEST(DvrsimBackup, WindowsThatMeetGapsOrTheFutureEndWithTheRecording) {
  struct Case {
    const char* what;
    int32_t channel;
    uint32_t start, end;
    std::vector<uint32_t> seconds;
  };
  const Case cases[] = {
      {"across the channel's half hour",
       0,
       at(kMonday, 6, 29, 59),
       at(kMonday, 7, 0, 1),
       {at(kMonday, 6, 29, 59), at(kMonday, 7), at(kMonday, 7, 0, 1)}},
      {"starting in a gap", 2, at(kSaturday, 4, 59, 59), at(kSaturday, 5), {at(kSaturday, 5)}},
      {"entirely in a gap", 2, at(kSaturday, 3), at(kSaturday, 4), {}},
      {"reaching past now", 9, kNow - 1, kNow + 600, {kNow - 1, kNow}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PlaybackRig rig;
    auto records = rig.backup(c.channel, 1, c.start, c.end, 1);
    append(records, rig.run_and_drain(1000));
    EXPECT_EQ(rig.video.stream_mode(rig.key), StreamMode::kNone);
    ASSERT_EQ(records.size(), 25 * c.seconds.size());
    for (size_t i = 0; i < records.size(); ++i) {
      EXPECT_EQ(records[i].time, c.seconds[i / 25]) << i;
      EXPECT_EQ(records[i].frame_number, i % 25) << i;
      if (i % 25 == 0 && (i == 0 || c.seconds[i / 25] != c.seconds[i / 25 - 1] + 1)) {
        EXPECT_TRUE(records[i].key) << i;
      }
    }
    decode(records);
  }
}

TEST(DvrsimBackup, StateZeroStopsAtOnceAndStateTwoHolds) {
  PlaybackRig rig;
  rig.feedback(30000);  // a few pictures at a time
  const uint32_t start = kNow - 5000;
  // A long window; without polls the copy stops at the credit and goes on when polled.
  auto records = rig.backup(1, 1, start, start + 600, 1);
  rig.run_ms(100);
  EXPECT_TRUE(rig.h.sim().sessions().has_queued(rig.key));
  append(records, rig.send({}));
  rig.run_ms(100);
  append(records, rig.send({}));
  ASSERT_GE(records.size(), 3u);

  // Finishing: the copy holds.
  append(records, rig.backup(1, 2, start, start + 600, 2));
  EXPECT_EQ(rig.video.stream_mode(rig.key), StreamMode::kBackup);
  rig.run_ms(300);
  EXPECT_FALSE(rig.h.sim().sessions().has_queued(rig.key));

  // Running again restarts the window; idle stops it at once.
  auto again = rig.backup(1, 1, start, start + 600, 3);
  ASSERT_FALSE(again.empty());
  EXPECT_EQ(again[0].time, start);
  EXPECT_TRUE(again[0].key);
  rig.run_ms(100);
  rig.backup(1, 0, start, start + 600, 4);
  EXPECT_EQ(rig.video.stream_mode(rig.key), StreamMode::kNone);
  rig.run_ms(300);
  EXPECT_FALSE(rig.h.sim().sessions().has_queued(rig.key));
  for (size_t i = 1; i < records.size(); ++i) {
    EXPECT_EQ(records[i].arrival, i + 1) << "the copy goes on without a gap";
  }
}

TEST(DvrsimPlayback, ModeSwitchesChangeTheStreamAtOnce) {
  PlaybackRig rig;
  auto live = rig.set(kRecordLiveView, 0, 1, live_image(2));
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0].stream_kind, 0);
  rig.drain();

  auto played = rig.play(2, 1, 0, kNow - 60, 2);
  ASSERT_EQ(played.size(), 1u);
  EXPECT_EQ(played[0].stream_kind, 1);
  EXPECT_EQ(played[0].time, kNow - 60);
  EXPECT_TRUE(played[0].key);
  rig.run_and_drain(200);

  auto copied = rig.backup(2, 1, kNow - 30, kNow - 29, 3);
  ASSERT_GE(copied.size(), 1u);
  EXPECT_EQ(copied[0].time, kNow - 30);
  EXPECT_TRUE(copied[0].key);
  rig.drain();

  // Back to live: kind 0 pictures of now.
  auto back = rig.set(kRecordLiveView, 0, 4, live_image(2));
  append(back, rig.run_and_drain(200));
  ASSERT_GE(back.size(), 3u);
  for (const Record& r : back) {
    EXPECT_EQ(r.stream_kind, 0);
    EXPECT_EQ(r.time, kNow);
  }
  EXPECT_TRUE(back[0].key);
  decode(back);

  // A playback set in Setup mode (or any set of a mode without video) stops everything.
  rig.play(2, 1, 0, kNow - 60, 5);
  rig.drain();
  rig.set(kRecordUnnamed, 4, 6, {});
  EXPECT_EQ(rig.video.stream_mode(rig.key), StreamMode::kNone);
  rig.drain();
  EXPECT_TRUE(rig.run_and_drain(300).empty());
}

TEST(DvrsimPlayback, ArrivalKeysAndPaceFollowTheDevice) {
  struct Case {
    uint32_t generation;
    bool pal;
    uint32_t fps, interval, rate;
  };
  for (const Case& c : {Case{1, true, 25, 40, 500}, Case{2, false, 30, 33, 606}}) {
    SCOPED_TRACE(c.generation);
    DeviceOptions d = cif_device();
    d.generation = c.generation;
    d.pal = c.pal;
    PlaybackRig rig(d);
    auto records = rig.play(0, 1, 0, kNow - 100, 1);
    append(records, rig.run_and_drain(1000));
    ASSERT_EQ(records.size(), c.fps + 1);
    for (size_t i = 0; i < records.size(); ++i) {
      EXPECT_EQ(records[i].arrival, c.generation >= 2 ? i + 1 : 0) << i;
      EXPECT_EQ(records[i].time, kNow - 100 + i / c.fps) << i;
      EXPECT_EQ(records[i].interval, c.interval);
      EXPECT_EQ(records[i].rate, c.rate);
    }
  }
}

}  // namespace
}  // namespace tessomar::dvrsim
