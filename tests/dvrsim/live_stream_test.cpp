#include "dvrsim/live_stream.h"

#include <gtest/gtest.h>

#include "dvrsim/frame_record.h"
#include "dvrsim/h264_rewrite.h"
#include "dvrsim/h264_test_decoder.h"
#include "platform/bytes.h"

namespace tessomar::dvrsim {
namespace {

using Bytes = std::vector<uint8_t>;

struct Parsed {
  uint32_t total, interval, sequence, channel, frame_id, arrival, seconds, fis, kind, counter;
  uint32_t time;
  uint8_t frame_number, content, height_mbs, width_mbs, pic_channel;
  bool key;
  uint32_t rate;
  Bytes payload;
};

Parsed parse(const Bytes& r) {
  Parsed p{};
  EXPECT_GE(r.size(), 160u);
  if (r.size() < 160) return p;
  auto w = [&r](size_t at) { return platform::load_u32le(&r[at]); };
  p.total = w(0);
  p.interval = w(8);
  p.sequence = w(12);
  p.channel = w(20);
  p.frame_id = w(24);
  p.arrival = w(32);
  p.seconds = w(36);
  p.fis = w(40);
  p.kind = w(48);
  p.counter = w(52);
  EXPECT_EQ(w(128), 0x03000000u);
  p.time = w(132);
  p.frame_number = r[136];
  p.content = r[139] >> 6;
  p.height_mbs = r[140];
  p.width_mbs = r[141];
  p.pic_channel = r[142] >> 4;
  p.key = ((r[143] >> 4) & 3) == 0;
  const size_t block = size_t(r[146] | r[147] << 8) * 64;
  p.rate = (w(152) >> 5) & 0x1FFFF;
  EXPECT_EQ(r.size(), 128 + block);
  if (r.size() == 128 + block) p.payload.assign(r.begin() + 160, r.end());
  return p;
}

TEST(DvrsimLiveStream, RecordsAreTruthfulAndDecode) {
  LiveStream live(8, /*pal=*/true, 352, 288);
  EXPECT_EQ(live.fps(), 25u);
  testing::TestDecoder dec(testing::make_avcc(client_sps(22, 18), client_pps()));
  Bytes record;
  const uint32_t t0 = 770000000;
  for (uint32_t i = 0; i < 6; ++i) {
    if (i == 4) live.force_key_frame(2);
    FrameRequest req{.channel = 2,
                     .device_time = t0,
                     .frame_in_second = i,
                     .request_counter = 9,
                     .arrival_key = 100 + i};
    ASSERT_TRUE(live.next_record(req, record));
    const Parsed p = parse(record);
    EXPECT_EQ(p.total, record.size());
    EXPECT_LE(record.size(), kMaxFrameRecordSize);
    EXPECT_EQ(p.interval, 40u);
    EXPECT_EQ(p.sequence, i + 1);
    EXPECT_EQ(live.channel_sequence(2), i + 1);
    EXPECT_EQ(p.channel, 2u);
    EXPECT_EQ(p.frame_id, i + 1);
    EXPECT_EQ(p.arrival, 100 + i);
    EXPECT_EQ(p.seconds, t0);
    EXPECT_EQ(p.fis, i);
    EXPECT_EQ(p.kind, 0u);
    EXPECT_EQ(p.counter, 9u);
    EXPECT_EQ(p.time, t0);
    EXPECT_EQ(p.frame_number, i);
    EXPECT_EQ(p.content, 1);
    EXPECT_EQ(p.width_mbs, 22);
    EXPECT_EQ(p.height_mbs, 18);
    EXPECT_EQ(p.pic_channel, 2);
    EXPECT_EQ(p.key, i == 0 || i == 4) << i;
    EXPECT_EQ(p.rate, 500u);
    Bytes au;
    if (p.key) append_client_parameter_sets(p.width_mbs, p.height_mbs, au);
    au.insert(au.end(), p.payload.begin(), p.payload.end());
    EXPECT_EQ(dec.decode(au), 1) << i;
  }
  EXPECT_EQ(dec.errors(), 0);
  for (const auto& pic : dec.pictures()) EXPECT_FALSE(pic.damaged);
}

TEST(DvrsimLiveStream, ChannelsAndComposite) {
  LiveStream live(4, /*pal=*/false, 352, 288);
  EXPECT_EQ(live.frame_interval_ms(), 33u);
  Bytes record = {1};
  EXPECT_FALSE(live.next_record({.channel = 4, .device_time = 1}, record));
  EXPECT_TRUE(record.empty());
  EXPECT_FALSE(live.next_record({.channel = 17, .device_time = 1}, record));

  live.set_composite(4, 0);
  ASSERT_TRUE(live.next_record({.channel = 16, .device_time = 1}, record));
  Parsed p = parse(record);
  EXPECT_EQ(p.channel, 16u);
  EXPECT_EQ(p.rate, 606u);
  EXPECT_TRUE(p.key);
  ASSERT_TRUE(live.next_record({.channel = 16, .device_time = 1, .frame_in_second = 1}, record));
  EXPECT_FALSE(parse(record).key);
  // A new split starts with a key frame; sequences run per channel.
  live.set_composite(9, 0);
  ASSERT_TRUE(live.next_record({.channel = 16, .device_time = 1, .frame_in_second = 2}, record));
  p = parse(record);
  EXPECT_TRUE(p.key);
  EXPECT_EQ(p.sequence, 3u);
  ASSERT_TRUE(live.next_record({.channel = 0, .device_time = 1}, record));
  EXPECT_EQ(parse(record).sequence, 1u);
  EXPECT_EQ(parse(record).frame_id, 4u);
}

}  // namespace
}  // namespace tessomar::dvrsim
