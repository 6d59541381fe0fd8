#include "dvrsim/frame_record.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/bytes.h"

namespace tessomar::dvrsim {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes unit(size_t n, uint8_t fill) {
  Bytes b = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
  b.insert(b.end(), n, fill);
  return b;
}

uint32_t be32(const Bytes& b, size_t at) {
  return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

TEST(DvrsimPadVideoPayload, LastUnitCoversThePadding) {
  struct Case {
    std::vector<size_t> units;
    size_t padded_size;  // payload after padding (block = 32 + this)
  };
  const Case cases[] = {
      {{10}, 32},           // 14 + 32 = 46 -> 64
      {{28}, 32},           // already a block of 64
      {{29}, 96},           // one byte over -> 128
      {{9, 20, 100}, 160},  // 141 + 32 = 173 -> 192
  };
  for (const Case& c : cases) {
    Bytes payload;
    for (size_t i = 0; i < c.units.size(); ++i) {
      Bytes u = unit(c.units[i], uint8_t(0xA0 + i));
      payload.insert(payload.end(), u.begin(), u.end());
    }
    const Bytes before = payload;
    ASSERT_TRUE(pad_video_payload(payload));
    ASSERT_EQ(payload.size(), c.padded_size);
    EXPECT_EQ((payload.size() + kPictureHeaderSize) % kBlockUnit, 0u);
    // Units before the last are untouched; the last one's length reaches the end.
    size_t pos = 0;
    for (size_t i = 0; i + 1 < c.units.size(); ++i) {
      EXPECT_EQ(be32(payload, pos), c.units[i]);
      pos += 4 + c.units[i];
    }
    EXPECT_EQ(be32(payload, pos), payload.size() - pos - 4);
    EXPECT_TRUE(std::equal(before.begin() + ptrdiff_t(pos) + 4, before.end(),
                           payload.begin() + ptrdiff_t(pos) + 4));
    for (size_t i = before.size(); i < payload.size(); ++i) EXPECT_EQ(payload[i], 0) << i;
  }
}

TEST(DvrsimPadVideoPayload, RefusesUnitsThatDoNotTileThePayload) {
  const Bytes cases[] = {
      {},                                 // nothing to pad
      {0, 0, 0, 5, 1, 2, 3},              // unit runs past the end
      {0, 0, 0, 1, 9, 0, 0},              // two stray bytes behind the unit
      {0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3},  // absurd length
  };
  for (const Bytes& c : cases) {
    Bytes payload = c;
    EXPECT_FALSE(pad_video_payload(payload));
    EXPECT_EQ(payload, c);
  }
}

TEST(DvrsimPictureHeader, FieldsAtTheirBits) {
  PictureInfo info;
  info.time = 0x12345678;
  info.frame_number = 7;
  info.width_mbs = 44;
  info.height_mbs = 36;
  info.interlaced = true;
  info.channel = 11;
  info.key_frame = false;
  info.stream_kind = 1;
  info.watermark = 0x5A;
  info.rate_code = rate_code_for_interval(40);
  info.time_offset = 3600;
  std::array<uint8_t, kPictureHeaderSize> out{};
  build_picture_header(info, 300 * 64, out);
  const std::array<uint8_t, kPictureHeaderSize> expected = {
      0x00, 0x00, 0x00, 0x03, 0x78, 0x56, 0x34, 0x12, 0x07, 0x00, 0x00,
      0x40, 0x24, 0x2C, 0xB4, 0x10, 0x5A, 0x00, 0x2C, 0x01, 0x00, 0x00,
      0x00, 0x20, 0x80, 0x3E, 0x00, 0x00, 0x10, 0x0E, 0x00, 0x00};
  EXPECT_EQ(out, expected);

  // A progressive key frame of channel 0: bytes 14 and 15 clear; NTSC rate code 606.
  info.interlaced = false;
  info.channel = 0;
  info.key_frame = true;
  info.rate_code = rate_code_for_interval(33);
  build_picture_header(info, 64, out);
  EXPECT_EQ(out[14], 0);
  EXPECT_EQ(out[15], 0);
  EXPECT_EQ(platform::load_u32le(&out[24]) >> 5, 606u);
  EXPECT_EQ(20000u / 606u, 33u);
}

TEST(DvrsimFrameRecord, HeaderWordsAndPayload) {
  RecordInfo r;
  r.frame_interval_ms = 40;
  r.channel_sequence = 1001;
  r.channel = 16;
  r.frame_id = 77;
  r.arrival_key = 5005;
  r.seconds = 770000000;
  r.frame_in_second = 24;
  r.kind = 0;
  r.request_counter = 9;
  PictureInfo p;
  p.time = 770000000;
  p.width_mbs = 22;
  p.height_mbs = 18;
  p.key_frame = true;
  Bytes payload(96, 0xEE);  // 32 + 96 = 128
  Bytes out;
  ASSERT_TRUE(build_frame_record(r, p, payload, out));
  ASSERT_EQ(out.size(), 128u + 32u + 96u);
  struct Word {
    size_t offset;
    uint32_t value;
  };
  const Word words[] = {{0, 256}, {4, 0},   {8, 40}, {12, 1001}, {16, 0},
                        {20, 16}, {24, 77}, {28, 0}, {32, 5005}, {36, 770000000},
                        {40, 24}, {44, 0},  {48, 0}, {52, 9}};
  for (const Word& w : words) EXPECT_EQ(platform::load_u32le(&out[w.offset]), w.value) << w.offset;
  for (size_t i = 56; i < 128; ++i) EXPECT_EQ(out[i], 0) << i;
  EXPECT_EQ(platform::load_u32le(&out[128]), 0x03000000u);
  EXPECT_EQ(out[128 + 18], 2);  // 128-byte block
  EXPECT_TRUE(std::all_of(out.begin() + 160, out.end(), [](uint8_t b) { return b == 0xEE; }));
}

TEST(DvrsimFrameRecord, RefusesUnpaddedAndOversizedPayloads) {
  Bytes out = {1, 2, 3};
  EXPECT_FALSE(build_frame_record({}, {}, Bytes(100, 0), out));
  // The largest record that fits is 262,080 bytes (a multiple of 64 below 262,144).
  const size_t largest_payload = 262080 - 128 - 32;
  EXPECT_TRUE(build_frame_record({}, {}, Bytes(largest_payload, 0), out));
  EXPECT_EQ(out.size(), 262080u);
  EXPECT_FALSE(build_frame_record({}, {}, Bytes(largest_payload + 64, 0), out));
}

}  // namespace
}  // namespace tessomar::dvrsim
