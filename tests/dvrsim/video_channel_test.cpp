// The DVR's live video over VIDO: which sessions get pictures, of which channel, at what pace,
// within which credit, and with truthful record and picture headers that decode.
#include "dvrsim/video_channel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "dvrsim/dvr_harness.h"
#include "dvrsim/frame_record.h"
#include "dvrsim/h264_rewrite.h"
#include "dvrsim/h264_test_decoder.h"
#include "dvrsim/scene.h"
#include "dvrsim/settings.h"
#include "dvrsim/video_harness.h"
#include "link/wire.h"
#include "platform/bytes.h"

namespace tessomar::dvrsim {
namespace {

using testing::append;
using testing::cif_device;
using testing::decode;
using testing::feedback_message;
using testing::kBigCredit;
using testing::kNoon;
using testing::Record;
using testing::WireMessage;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kNoonDeviceTime = 131284800;

Record parse_record(const WireMessage& m, uint32_t key) {
  EXPECT_TRUE(m.checksum_ok);
  EXPECT_EQ(m.key(), key);
  EXPECT_EQ(m.word(36), 0u) << "sub-tag";
  const Bytes b = m.payload();
  EXPECT_GE(b.size(), 160u);
  if (b.size() < 160) return Record{};
  const Record r = testing::read_record(b);
  EXPECT_EQ(r.magic, 0x03000000u) << "magic";
  EXPECT_EQ(r.total, b.size());
  EXPECT_LE(b.size(), kMaxFrameRecordSize);
  EXPECT_EQ(b.size(), 128 + r.block) << "block length";
  return r;
}

Bytes live_image(int32_t layout, int32_t first, int32_t selected) {
  Bytes image(64, 0);
  platform::store_u32le(&image[0], uint32_t(layout));
  platform::store_u32le(&image[4], uint32_t(first));
  platform::store_u32le(&image[8], uint32_t(selected));
  platform::store_u32le(&image[16], 704);
  platform::store_u32le(&image[20], 576);
  return image;
}

// The channel whose band colour is nearest to the picture at (x, y).
int band_channel_at(const testing::DecodedPicture& p, int x, int y) {
  const int cw = p.width / 2;
  const int py = p.y[size_t(y) * size_t(p.width) + size_t(x)];
  const int pu = p.u[size_t(y / 2) * size_t(cw) + size_t(x / 2)];
  const int pv = p.v[size_t(y / 2) * size_t(cw) + size_t(x / 2)];
  int best = -1, best_d = 1 << 30;
  for (int c = 0; c < 16; ++c) {
    const Yuv k = band_colour(uint32_t(c));
    const int d = (py - k.y) * (py - k.y) + (pu - k.u) * (pu - k.u) + (pv - k.v) * (pv - k.v);
    if (d < best_d) best = c, best_d = d;
  }
  return best;
}

// The video rig with its session and no credit offered yet.
class VideoRig : public testing::VideoSessionRig {
 public:
  explicit VideoRig(const DeviceOptions& device = cif_device())
      : VideoSessionRig(device, parse_record) {}

  std::vector<Record> set_live(int32_t layout, int32_t first, int32_t selected, uint32_t seq) {
    return set(kRecordLiveView, 0, seq, live_image(layout, first, selected));
  }
  size_t queued_bytes() {
    const Session* s = h.sim().sessions().find(key);
    return s ? s->queued_bytes : 0;
  }
};

TEST(DvrsimVideo, DeviceTimeUsesTheDvrCalendar) {
  struct Case {
    platform::LocalDateTime t;
    uint32_t expected;
  };
  const Case cases[] = {
      {{2000, 1, 1, 0, 0, 1}, 1},
      {{2000, 1, 1, 0, 0, 0}, 1},         // never 0: the control drops pictures of time 0
      {{2001, 1, 1, 0, 0, 0}, 31536000},  // 2000 counts as a common year
      {kNoon, kNoonDeviceTime},
      {{2004, 3, 1, 0, 0, 0}, 131328000},
      {{2100, 1, 1, 0, 0, 0}, device_time_of({2099, 1, 1, 0, 0, 0})},  // years are clamped
  };
  for (const Case& c : cases) {
    EXPECT_EQ(device_time_of(c.t), c.expected) << c.t.year << "-" << c.t.month << "-" << c.t.day;
  }
}

TEST(DvrsimVideo, LiveSetStreamsTheSelectedChannelInRealTime) {
  VideoRig rig;
  rig.feedback(kBigCredit);
  EXPECT_EQ(rig.video.credit(rig.key), kBigCredit);
  // The first picture answers the set at once, at the start of a device second.
  rig.h.clock().set_local(kNoon);
  std::vector<Record> records = rig.set_live(0, 0, 5, /*seq=*/7);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(rig.video.streaming_channel(rig.key), 5u);
  rig.run_ms(1000);
  append(records, rig.drain());
  // One picture every 40 ms: at 0, 40, ..., 1000.
  ASSERT_EQ(records.size(), 26u);
  for (size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(i);
    const Record& r = records[i];
    EXPECT_EQ(r.channel, 5u);
    EXPECT_EQ(r.pic_channel, 5);
    EXPECT_EQ(r.sequence, i + 1);
    EXPECT_EQ(r.frame_id, i + 1);
    EXPECT_EQ(r.arrival, i + 1);
    EXPECT_EQ(r.counter, 7u);
    EXPECT_EQ(r.interval, 40u);
    EXPECT_EQ(r.rate, 500u);
    EXPECT_NE(r.kind, 2u);
    EXPECT_EQ(r.content, 1);
    EXPECT_EQ(r.stream_kind, 0);
    // The device time moves with the pictures; the frame number counts within its second.
    const uint32_t elapsed_ms = uint32_t(i) * 40;
    EXPECT_EQ(r.seconds, kNoonDeviceTime + elapsed_ms / 1000);
    EXPECT_EQ(r.time, r.seconds);
    EXPECT_EQ(r.fis, elapsed_ms % 1000 / 40);
    EXPECT_EQ(r.frame_number, r.fis);
    EXPECT_EQ(r.width_mbs, 22);
    EXPECT_EQ(r.height_mbs, 18);
    EXPECT_EQ(r.interlace, 0);
    EXPECT_EQ(r.offset, 0u);
  }
  EXPECT_TRUE(records[0].key);
  const auto pictures = decode(records);
  ASSERT_EQ(pictures.size(), records.size());
  EXPECT_EQ(band_channel_at(pictures[0], 352 - 4, 2), 5);

  // A calendar that jumps to another second restarts the frame number there.
  rig.h.clock().set_local({2004, 2, 29, 12, 0, 5});
  rig.run_ms(40);
  const auto next = rig.drain();
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(next[0].seconds, kNoonDeviceTime + 5);
  EXPECT_EQ(next[0].fis, 0u);
}

TEST(DvrsimVideo, LayoutsPickTheChannelOrTheSplitPicture) {
  DeviceOptions d = cif_device();
  d.channels = 8;
  VideoRig rig(d);
  rig.feedback(kBigCredit);
  struct Case {
    int32_t layout, first, selected;
    uint32_t channel;     // of the record
    uint8_t pic_channel;  // of the picture header
    int top_right;        // camera in the top-right corner of the picture
  };
  const Case cases[] = {
      {0, 0, 3, 3, 3, 3},   // single view
      {0, 6, 20, 7, 7, 7},  // clamped to the last camera
      {0, 0, -3, 0, 0, 0},  // and to the first
      {1, 4, 0, 16, 4, 5},  // 2 x 2 from camera 4
      {2, 0, 0, 16, 0, 2},  // 3 x 3
      {3, 0, 6, 16, 0, 3},  // 4 x 4
      {3, 4, 6, 16, 4, 7},  // 4 x 4 from camera 4, tiles past camera 7 black
  };
  uint32_t seq = 10;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "layout " << c.layout << " first " << c.first << " selected " << c.selected);
    const auto records = rig.set_live(c.layout, c.first, c.selected, ++seq);
    ASSERT_EQ(records.size(), 1u);
    const Record& r = records[0];
    EXPECT_EQ(rig.video.streaming_channel(rig.key), c.channel);
    EXPECT_EQ(r.channel, c.channel);
    EXPECT_EQ(r.pic_channel, c.pic_channel);
    EXPECT_TRUE(r.key);
    EXPECT_EQ(r.counter, seq);
    // Each set empties the control's reorder table, so numbering restarts.
    EXPECT_EQ(r.arrival, 1u);
    const auto pictures = decode(records);
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_EQ(band_channel_at(pictures[0], 352 - 4, 2), c.top_right);
  }
}

TEST(DvrsimVideo, ANewSetSwitchesAtOnceWithAKeyFrame) {
  VideoRig rig;
  rig.feedback(kBigCredit);
  auto first = rig.set_live(0, 0, 2, 3);
  rig.run_ms(200);
  append(first, rig.drain());
  ASSERT_GE(first.size(), 5u);
  EXPECT_FALSE(first.back().key);

  auto second = rig.set_live(0, 0, 9, 4);
  ASSERT_EQ(second.size(), 1u);
  rig.run_ms(200);
  append(second, rig.drain());
  ASSERT_GE(second.size(), 5u);
  EXPECT_TRUE(second[0].key);
  for (size_t i = 0; i < second.size(); ++i) {
    EXPECT_EQ(second[i].channel, 9u);
    EXPECT_EQ(second[i].counter, 4u);
    EXPECT_EQ(second[i].arrival, i + 1);
    EXPECT_EQ(second[i].sequence, i + 1);
    EXPECT_GT(second[i].frame_id, first.back().frame_id);
  }
  decode(second);

  // Back to the first camera: a key frame again, though its encoder ran before.
  auto third = rig.set_live(0, 0, 2, 5);
  ASSERT_EQ(third.size(), 1u);
  EXPECT_EQ(third[0].channel, 2u);
  EXPECT_TRUE(third[0].key);
  decode(third);
}

TEST(DvrsimVideo, ANewSetTakesBackTheOldStreamsUnsentRecords) {
  VideoRig rig;
  rig.feedback(kBigCredit);
  rig.set_live(0, 0, 2, 3);
  rig.drain();
  rig.run_ms(200);  // pictures of request 3 wait for the next reply
  ASSERT_GT(rig.queued_bytes(), 0u);
  auto after = rig.set_live(0, 0, 9, 4);
  rig.run_ms(100);
  append(after, rig.drain());
  ASSERT_FALSE(after.empty());
  EXPECT_TRUE(after[0].key);
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(after[i].counter, 4u) << i;
    EXPECT_EQ(after[i].arrival, i + 1) << i;
  }
}

TEST(DvrsimVideo, LeavingLiveOrEndingTheSessionStopsTheStream) {
  VideoRig rig;
  rig.feedback(kBigCredit);
  rig.set_live(0, 0, 1, 1);
  rig.run_ms(100);
  rig.drain();

  // Playback mode: no more live pictures.
  rig.set(kRecordPlayback, 1, 2, Bytes(64, 0));
  rig.drain();
  EXPECT_EQ(rig.video.streaming_channel(rig.key), VideoChannel::kNoChannel);
  rig.run_ms(300);
  EXPECT_TRUE(rig.drain().empty());

  // A set of another record in Live mode does not start anything by itself.
  rig.set(kRecordUnnamed, 0, 3, {});
  rig.run_ms(100);
  EXPECT_TRUE(rig.drain().empty());

  EXPECT_EQ(rig.set_live(0, 0, 1, 4).size(), 1u);
  EXPECT_EQ(rig.video.streaming_channel(rig.key), 1u);
  // The session ends when its connection is gone and it stays unused.
  rig.client.reset();
  for (int i = 0; i < 40 && rig.h.sim().sessions().find(rig.key) != nullptr; ++i) {
    rig.h.clock().advance_ms(1000);
    rig.h.sim().poll_once(0);
  }
  ASSERT_EQ(rig.h.sim().sessions().find(rig.key), nullptr);
  EXPECT_EQ(rig.video.streaming_channel(rig.key), VideoChannel::kNoChannel);
  EXPECT_EQ(rig.video.credit(rig.key), 0u);
}

TEST(DvrsimVideo, TheCreditBoundsWhatIsQueued) {
  VideoRig rig;
  EXPECT_EQ(rig.video.credit(rig.key), kInitialCredit);
  // A short feedback block is not believed.
  rig.send({feedback_message(rig.key, 5, 100)});
  EXPECT_EQ(rig.video.credit(rig.key), kInitialCredit);

  constexpr uint32_t kSmallCredit = 40000;
  rig.feedback(kSmallCredit);
  std::vector<Record> records = rig.set_live(0, 0, 3, 2);
  rig.run_ms(1000);  // nobody polls: the queue fills up to the credit and no further
  EXPECT_GT(rig.queued_bytes(), 0u);
  EXPECT_LE(rig.queued_bytes(), kSmallCredit);
  EXPECT_GT(rig.video.skipped_frames(rig.key), 0u);
  append(records, rig.drain());
  const size_t before_gap = records.size();
  ASSERT_GE(before_gap, 2u);
  append(records, rig.feedback(kBigCredit));
  rig.run_ms(200);
  append(records, rig.drain());
  ASSERT_GT(records.size(), before_gap);
  // After the gap the stream restarts on a key frame; arrival keys never skip.
  EXPECT_TRUE(records[before_gap].key);
  for (size_t i = 0; i < records.size(); ++i) EXPECT_EQ(records[i].arrival, i + 1) << i;

  // No credit at all: nothing is sent, and nothing encoded.
  rig.feedback(0);
  const uint32_t skipped = rig.video.skipped_frames(rig.key);
  rig.run_ms(400);
  EXPECT_TRUE(rig.drain().empty());
  EXPECT_EQ(rig.video.skipped_frames(rig.key), skipped + 10);
  auto resumed = rig.feedback(kBigCredit);
  rig.run_ms(120);
  append(resumed, rig.drain());
  ASSERT_FALSE(resumed.empty());
  EXPECT_TRUE(resumed[0].key);
  decode(resumed);
}

TEST(DvrsimVideo, AClockJumpIsNotCaughtUpWithABurst) {
  VideoRig rig;
  rig.feedback(kBigCredit);
  rig.set_live(0, 0, 0, 1);
  rig.run_ms(100);
  rig.drain();
  rig.h.clock().advance_ms(5000);
  rig.h.sim().poll_once(0);
  EXPECT_LE(rig.drain().size(), size_t(VideoChannel::kMaxCatchUpFrames));
  // The pace picks up from now.
  rig.run_ms(400);
  EXPECT_EQ(rig.drain().size(), 10u);
}

TEST(DvrsimVideo, ArrivalKeysAndRateFollowTheDevice) {
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
    VideoRig rig(d);
    rig.feedback(kBigCredit);
    auto records = rig.set_live(0, 0, 0, 1);
    rig.run_ms(1000);
    append(records, rig.drain());
    EXPECT_EQ(records.size(), c.fps + 1);
    for (size_t i = 0; i < records.size(); ++i) {
      EXPECT_EQ(records[i].arrival, c.generation >= 2 ? i + 1 : 0) << i;
      EXPECT_EQ(records[i].interval, c.interval);
      EXPECT_EQ(records[i].rate, c.rate);
      EXPECT_LT(records[i].fis, c.fps);
    }
  }
}

TEST(DvrsimVideo, ResolutionAndTimeOffsetReachThePictureHeader) {
  struct Case {
    Resolution resolution;
    bool pal;
    uint32_t time_offset;
    uint8_t width_mbs, height_mbs;
    bool interlaced;
  };
  const Case cases[] = {
      {Resolution::kFull, true, 0, 44, 36, false},
      {Resolution::kFull, false, 3600, 44, 30, false},
      {Resolution::kCif, false, 0, 22, 18, false},
      {Resolution::kHalf, true, 7200, 44, 18, true},
      {Resolution::kHalf, false, 86400, 44, 15, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << int(c.width_mbs) << "x" << int(c.height_mbs));
    DeviceOptions d;
    d.resolution = c.resolution;
    d.pal = c.pal;
    d.time_offset = c.time_offset;
    VideoRig rig(d);
    const auto records = rig.set_live(0, 0, 6, 1);
    ASSERT_EQ(records.size(), 1u);
    const Record& r = records[0];
    EXPECT_EQ(r.width_mbs, c.width_mbs);
    EXPECT_EQ(r.height_mbs, c.height_mbs);
    EXPECT_EQ(r.interlace, c.interlaced ? 1 : 0);
    EXPECT_EQ(r.pic_channel, 6);
    EXPECT_EQ(r.offset, c.time_offset);
    const auto pictures = decode(records);
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_EQ(pictures[0].width, c.width_mbs * 16);
    EXPECT_EQ(pictures[0].height, c.height_mbs * 16);
    EXPECT_EQ(band_channel_at(pictures[0], c.width_mbs * 16 - 4, 2), 6);
  }
}

TEST(DvrsimVideo, OptionsParseResolutionAndTimeOffset) {
  struct Case {
    std::vector<std::string_view> args;
    bool ok;
    Resolution resolution;
    uint32_t time_offset;
  };
  const Case cases[] = {
      {{}, true, Resolution::kFull, 0},
      {{"--resolution", "cif"}, true, Resolution::kCif, 0},
      {{"--resolution=half", "--time-offset", "3600"}, true, Resolution::kHalf, 3600},
      {{"--resolution", "full", "--time-offset=86400"}, true, Resolution::kFull, 86400},
      {{"--resolution", "D1"}, false, Resolution::kFull, 0},
      {{"--resolution"}, false, Resolution::kFull, 0},
      {{"--time-offset", "86401"}, false, Resolution::kFull, 0},
      {{"--time-offset", "-5"}, false, Resolution::kFull, 0},
      {{"--time-offset", "1h"}, false, Resolution::kFull, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? std::string("none") : std::string(c.args[0]));
    Options o;
    std::string error;
    const ParseStatus status = parse_options(c.args, o, error);
    EXPECT_EQ(status, c.ok ? ParseStatus::kRun : ParseStatus::kError);
    EXPECT_EQ(error.empty(), c.ok) << error;
    EXPECT_EQ(o.device.resolution, c.resolution);
    EXPECT_EQ(o.device.time_offset, c.time_offset);
  }
  const std::string usage = usage_text("tessomar-dvrsim");
  EXPECT_NE(usage.find("--resolution full|cif|half"), std::string::npos);
  EXPECT_NE(usage.find("--time-offset SECONDS"), std::string::npos);
}

}  // namespace
}  // namespace tessomar::dvrsim
