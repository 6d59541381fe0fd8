#include "recording/movie_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <numeric>
#include <string>
#include <vector>

#include "recording/movie_fixture.h"
#include "video/parameter_sets.h"

namespace tessomar::recording {
namespace {

using testing::audio;
using testing::be32;
using testing::buffer;
using testing::kT0;
using testing::MovieFixture;
using testing::Pic;
using testing::picture;

TEST(MovieRecords, FillerPicturesByPictureSize) {
  struct Row {
    int w, h;
    std::array<uint8_t, 3> tail;  // bytes 7, 9 and 10; the rest is common
  } rows[] = {
      {40, 30, {0x83, 0x09, 0x63}}, {40, 15, {0x85, 0x4B, 0x30}}, {40, 32, {0x85, 0x28, 0x0C}},
      {40, 16, {0x85, 0x50, 0x30}}, {20, 15, {0x85, 0x96, 0xC0}}, {20, 16, {0x85, 0xA0, 0xC0}},
      {44, 30, {0x85, 0x29, 0x4C}}, {44, 15, {0x85, 0x52, 0xB0}}, {44, 36, {0x85, 0x31, 0x8C}},
      {44, 18, {0x85, 0x63, 0x30}}, {22, 15, {0x85, 0xA5, 0xC0}}, {22, 18, {0x85, 0xC6, 0xC0}},
      {45, 36, {0x83, 0x09, 0x63}}, {1, 1, {0x83, 0x09, 0x63}}};
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.w) + "x" + std::to_string(r.h));
    std::array<uint8_t, 32> want{0x00, 0x00,      0x00, 0x1C,      0x41,     0x9A,
                                 0x21, r.tail[0], 0x00, r.tail[1], r.tail[2]};
    EXPECT_EQ(filler_picture(r.w, r.h), want);
  }
}

TEST(MovieRecords, FrameNumberBytes) {
  const std::pair<uint32_t, std::array<uint8_t, 2>> rows[] = {
      {0, {0x9A, 0x01}}, {1, {0x9A, 0x21}}, {2, {0x9A, 0x41}},
      {7, {0x9A, 0xE1}}, {8, {0x9B, 0x01}}, {15, {0x9B, 0xE1}}};
  for (const auto& [i, bytes] : rows) EXPECT_EQ(frame_number_bytes(i), bytes) << i;
}

TEST(MovieRecords, TextSampleCarriesTheTimeTwice) {
  const std::string text = "2004/02/29 12:00:09   ";
  std::vector<uint8_t> want = {0x00, 0x16};
  want.insert(want.end(), text.begin(), text.end());
  for (char b : {'\0', '\0', '\0', '\x22', 'o', 'r', 'i', 'g', '\0', '\0', '\x04', '\x23'}) {
    want.push_back(uint8_t(b));
  }
  want.insert(want.end(), text.begin(), text.end());
  const auto got = text_sample(kT0 + 9);
  EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.end()), want);
}

TEST(MovieRecords, DiagnosticRecordLayout) {
  DiagnosticRecord d{9, 0x01020304, 0x0A0B0C0D};
  const auto b = d.bytes();
  std::array<uint8_t, 48> want{'p', 'q', 'r', 's', 9, 0, 0, 0, 4, 3, 2, 1, 0x0D, 0x0C, 0x0B, 0x0A};
  want[44] = 't', want[45] = 'u', want[46] = 'v', want[47] = 'w';
  EXPECT_EQ(b, want);
}

TEST(MovieRecords, FieldFactorsFromByte14) {
  using F = std::array<uint32_t, 4>;
  EXPECT_EQ(field_factors(0x00), (F{1, 1, 1, 1}));
  EXPECT_EQ(field_factors(0x04), (F{1, 1, 1, 1}));
  EXPECT_EQ(field_factors(0xF8), (F{1, 1, 2, 1}));  // channel bits do not count
  EXPECT_EQ(field_factors(0x0C), (F{2, 1, 2, 1}));
}

TEST(MovieRecords, ItemCountIsClippedToTheHeadersInTheBuffer) {
  auto two = buffer({picture({}), picture({})});
  EXPECT_EQ(item_count(two), 2u);
  two[15] |= 0x0F;  // names sixteen
  EXPECT_EQ(item_count(two), 2u);
  EXPECT_EQ(item_count(std::span<const uint8_t>(two).first(31)), 0u);
  // A length reaching past the end is the last item counted.
  platform::store_u16le(&two[18], 100);
  EXPECT_EQ(item_count(two), 1u);
}

TEST_F(MovieFixture, NothingIsWrittenBeforeTheFirstKeyFrame) {
  begin();
  EXPECT_NE(append(Pic{.t = kT0, .f = 1}), 0);
  EXPECT_NE(append(audio(kT0, 1)), 0);
  EXPECT_EQ(writer.sampleCount(), 0u);
  EXPECT_EQ(writer.position(), 0u);
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(MovieFixture, FirstKeyFrameWritesFileStartTextAndParameterSets) {
  auto wm = writer.watermark();
  platform::store_u32le(wm.data() + kWatermarkSeed, 0xA1B2C3D4);
  begin();
  EXPECT_EQ(append(Pic{.t = kT0, .f = 3, .key = true, .byte14 = 0x70, .offset = 3600}), 1);

  const std::vector<uint8_t> f = testing::read_file(path);
  const std::vector<uint8_t> start = {0,    0,   0,   0x20, 'f', 't', 'y', 'p', 'q', 't', ' ', ' ',
                                      0x20, 5,   3,   0,    'q', 't', ' ', ' ', 0,   0,   0,   0,
                                      0,    0,   0,   0,    0,   0,   0,   0,   0,   0,   0,   8,
                                      'w',  'i', 'd', 'e',  0,   0,   0,   0,   'm', 'd', 'a', 't'};
  ASSERT_GE(f.size(), 48u);
  EXPECT_EQ(std::vector<uint8_t>(f.begin(), f.begin() + 48), start);

  // The text sample of the picture's second, shown with the time offset.
  const auto text = text_sample(kT0 + 3600);
  EXPECT_TRUE(std::equal(text.begin(), text.end(), f.begin() + 48));
  EXPECT_EQ(s().textCount, 1u);
  EXPECT_EQ(s().textOffsets[0], 48u);

  // Parameter sets, payload with the new length word, the block.
  uint8_t sets[video::kMaxParameterSetBytes];
  const int l0 = video::buildParameterSets(44, 36, video::kDecoderForm, sets);
  const uint32_t d = 128;
  const size_t at = 48 + kTextSampleSize;
  ASSERT_EQ(s().sampleCount, 1u);
  EXPECT_EQ(s().sampleOffsets[0], at);
  EXPECT_EQ(s().sampleSizes[0], d + 32 + uint32_t(l0));
  EXPECT_TRUE(std::equal(sets, sets + l0, f.begin() + std::ptrdiff_t(at)));
  EXPECT_EQ(be32(f, at + size_t(l0)), d + 28);
  EXPECT_EQ(f[at + size_t(l0) + 4], 0x11);
  const size_t block = at + size_t(l0) + d - 32;
  EXPECT_EQ(be32(f, block), 2u);
  EXPECT_TRUE(std::all_of(f.begin() + std::ptrdiff_t(block + 4), f.end(),
                          [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(f.size(), block + kBlockSize);
  EXPECT_EQ(writer.position(), f.size());

  // The first sample stays out of the checksum; the record names the first key frame.
  EXPECT_EQ(platform::load_u32le(wm.data() + kWatermarkChecksum), 0xA1B2C3D4u);
  EXPECT_EQ(platform::load_u32le(wm.data() + kWatermarkSeedCopy), 0xA1B2C3D4u);
  EXPECT_EQ(wm[8], 0x5A);
  EXPECT_EQ(wm[9], 7);
  EXPECT_EQ(wm[10], 36);
  EXPECT_EQ(wm[11], 44);
  EXPECT_TRUE(s().pal);
  EXPECT_EQ(s().sampleBias, 128);
  EXPECT_EQ(s().pictureWidth, 704u);
  EXPECT_EQ(s().pictureHeight, 576u);
}

TEST_F(MovieFixture, ChecksumSkipsEveryItemOfTheFirstSamplesBuffer) {
  auto wm = writer.watermark();
  platform::store_u32le(wm.data() + kWatermarkSeed, 1000);
  begin();
  // Key frame and a predicted picture in one buffer: neither is summed.
  append(buffer({picture({.key = true}), picture({.f = 1})}));
  EXPECT_EQ(s().sampleCount, 2u);
  EXPECT_EQ(platform::load_u32le(wm.data()), 1000u);

  // A later predicted picture: its payload words as written (length word and frame-number
  // bytes rewritten) and the block's 0x02000000.
  auto p = picture({.f = 2, .fill = 0x01});
  writer.appendItems(p);  // rewrites p in place
  std::vector<uint8_t> payload(p.begin() + 32, p.end());
  uint32_t sum = 0;
  for (size_t i = 0; i < payload.size(); i += 4) sum += platform::load_u32le(&payload[i]);
  EXPECT_EQ(platform::load_u32be(&payload[0]), 128u + 28);
  EXPECT_EQ(platform::load_u32le(wm.data()), 1000u + sum + 0x02000000u);
}

TEST_F(MovieFixture, GapsAreFilledAndFrameNumbersContinue) {
  begin();
  append(Pic{.f = 0, .key = true});
  append(Pic{.f = 1});
  append(Pic{.f = 4});  // three frame periods later
  append(Pic{.f = 5, .key = true});
  append(Pic{.f = 6});
  append(Pic{.t = kT0 + 1, .f = 0, .w_mbs = 44});  // 25 fps: 19 periods -> 18 fillers

  const std::vector<uint8_t> f = testing::read_file(path);
  ASSERT_EQ(s().sampleCount, 6u + 2 + 18);
  const std::vector<uint32_t> sizes(s().sampleSizes.begin() + 1, s().sampleSizes.begin() + 5);
  EXPECT_EQ(sizes, (std::vector<uint32_t>{160, 32, 32, 160}));
  auto fn = [&](uint32_t sample) {
    const size_t at = s().sampleOffsets[sample];
    return std::array<uint8_t, 2>{f[at + 5], f[at + 6]};
  };
  using B = std::array<uint8_t, 2>;
  EXPECT_EQ(fn(1), (B{0x9A, 0x21}));  // after the key frame: 1
  EXPECT_EQ(fn(2), (B{0x9A, 0x41}));  // fillers 2 and 3
  EXPECT_EQ(fn(3), (B{0x9A, 0x61}));
  EXPECT_EQ(fn(4), (B{0x9A, 0x81}));  // the picture after them: 4
  EXPECT_EQ(fn(6), (B{0x9A, 0x21}));  // a key frame starts again at 1
  const auto filler = filler_picture(44, 36);
  EXPECT_TRUE(std::equal(filler.begin() + 7, filler.end(), f.begin() + s().sampleOffsets[2] + 7));
  EXPECT_EQ(be32(f, s().sampleOffsets[2]), 0x1Cu);
  EXPECT_EQ(fn(7), (B{0x9A, 0x41}));
  EXPECT_EQ(fn(24), (B{0x9A, 0x61}));  // the eighteenth filler: 19 mod 16
  EXPECT_EQ(fn(25), (B{0x9A, 0x81}));
  EXPECT_EQ(s().keyFrameCount, 2u);
  EXPECT_EQ(s().keyFrames[0], 1u);
  EXPECT_EQ(s().keyFrames[1], 6u);
}

TEST_F(MovieFixture, TextSamplesFollowTheSecondsOfThePictures) {
  begin();
  append(Pic{.t = kT0, .key = true});
  append(Pic{.t = kT0, .f = 1});
  EXPECT_EQ(s().textCount, 1u);
  append(Pic{.t = kT0 + 5, .f = 0});
  ASSERT_EQ(s().textCount, 6u);
  const std::vector<uint8_t> f = testing::read_file(path);
  for (uint32_t i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    const auto want = text_sample(kT0 + i);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), f.begin() + s().textOffsets[i]));
    if (i > 1) {
      EXPECT_EQ(s().textOffsets[i], s().textOffsets[i - 1] + kTextSampleSize);
    }
  }
  // A picture older than the text clock waits for the next key frame.
  const uint32_t n = s().sampleCount;
  append(Pic{.t = kT0 + 4, .f = 0});
  append(Pic{.t = kT0 + 5, .f = 3});
  EXPECT_EQ(s().sampleCount, n);
  append(Pic{.t = kT0 + 5, .f = 4, .key = true});
  EXPECT_GT(s().sampleCount, n);
}

TEST_F(MovieFixture, AudioIsConvertedAndGapsAreFilled) {
  begin();
  append(Pic{.t = kT0, .key = true, .w_mbs = 44});  // sample bias 128
  append(audio(kT0, 0, 800, [](uint32_t j) { return uint16_t(j == 799 ? 0x3456 : 0x1234); }));
  EXPECT_EQ(s().audioSamples, 800u);
  // One second on: 8000 samples due, 800 written -> 7200 of fill before the block.
  const uint32_t fill_at = writer.position();
  append(audio(kT0 + 1, 0));
  EXPECT_EQ(s().audioSamples, 800u + 7200 + 800);
  ASSERT_EQ(s().chunkCount, 3u);
  EXPECT_EQ(s().chunkOffsets[1], fill_at);
  EXPECT_EQ(s().chunkOffsets[2], fill_at + 7200);
  ASSERT_EQ(s().chunkRunCount, 3u);
  EXPECT_EQ(s().chunkRuns[1].first_chunk, 2u);
  EXPECT_EQ(s().chunkRuns[1].samples, 7200u);
  EXPECT_EQ(s().chunkRuns[2].first_chunk, 3u);
  EXPECT_EQ(s().chunkRuns[2].samples, 800u);

  const std::vector<uint8_t> f = testing::read_file(path);
  EXPECT_EQ(f[s().chunkOffsets[0]], 0x12 + 0x80);
  EXPECT_EQ(f[s().chunkOffsets[0] + 799], 0x34 + 0x80);
  EXPECT_TRUE(std::all_of(f.begin() + fill_at, f.begin() + fill_at + 7200,
                          [](uint8_t b) { return b == 0x34 + 0x80; }));

  // A block that lags (due 8320, 8800 written) and one less than 800 samples ahead go in whole.
  append(audio(kT0 + 1, 1));
  EXPECT_EQ(s().audioSamples, 9600u);
  append(audio(kT0 + 1, 12));  // due 11840: 2240 ahead -> fill
  EXPECT_EQ(s().audioSamples, 11840u + 800);
  append(audio(kT0 + 1, 14));  // due 12480 of 12640: no fill
  EXPECT_EQ(s().audioSamples, 12640u + 800);
  // Out of order and past the window: skipped.
  const uint32_t chunks = s().chunkCount;
  append(audio(kT0 + 1, 13));
  append(audio(kT0 + 61, 0));
  EXPECT_EQ(s().chunkCount, chunks);
}

TEST_F(MovieFixture, WindowEndCompletesAndLateItemsAreRefused) {
  begin(kT0, kT0 + 2);
  EXPECT_EQ(append(Pic{.t = kT0 - 1, .key = true}), 1);
  EXPECT_EQ(writer.sampleCount(), 0u);
  EXPECT_EQ(append(Pic{.t = kT0 + 1, .key = true}), 1);
  EXPECT_EQ(append(Pic{.t = kT0 + 2, .f = 0}), 0);
  EXPECT_EQ(s().lastVideoTime, kT0 + 2);  // still written
  EXPECT_EQ(append(buffer({picture({.t = kT0 + 3}), audio(kT0 + 3, 0)})), 1);

  EXPECT_EQ(writer.checkItem(picture({.t = kT0 + 7})), kItemFits);
  EXPECT_EQ(writer.checkItem(picture({.t = kT0 + 8})), kItemRefused);
  EXPECT_EQ(writer.diagnostics().code, kDiagPastWindowEnd);
  EXPECT_EQ(writer.diagnostics().value, kT0 + 8);
  EXPECT_EQ(writer.diagnostics().limit, kT0 + 7);
}

TEST_F(MovieFixture, ShiftWindowMovesBothEnds) {
  begin(kT0, kT0 + 60);
  writer.shiftWindow(3600);
  EXPECT_EQ(writer.window_start(), kT0 - 3600);
  EXPECT_EQ(writer.window_end(), kT0 + 60 - 3600);
  writer.shiftWindow(-3600);
  EXPECT_EQ(writer.window_start(), kT0);
}

TEST_F(MovieFixture, CheckItemLimitsAndTheSplit) {
  struct Row {
    const char* name;
    void (*fill)(MovieFixture&);
    std::vector<uint8_t> item;
    int result;
    uint32_t code;
  };
  const Row rows[] = {
      {"key frames",
       [](MovieFixture& m) {
         for (uint32_t i = 0; i < kMaxKeyFrames - 1; ++i) {
           m.append(Pic{.t = kT0 + i / 25, .f = uint8_t(i % 25), .key = true});
         }
       },
       picture({.t = kT0 + 200, .key = true}), kItemRefused, kDiagKeyFramesFull},
      {"samples",
       [](MovieFixture& m) {
         m.append(Pic{.key = true});
         m.append(Pic{.t = kT0 + 2621, .f = 9});  // 65534 periods: 65533 fillers
       },
       picture({.t = kT0 + 2621, .f = 10}), kItemRefused, kDiagSamplesFull},
      {"text",
       [](MovieFixture& m) {
         m.append(Pic{.key = true});
         m.append(Pic{.t = kT0 + kMaxTextSamples - 1});
       },
       picture({.t = kT0 + kMaxTextSamples}), kItemRefused, kDiagTextFull},
      {"thirty minutes",
       [](MovieFixture& m) {
         m.append(Pic{.key = true});
         m.append(Pic{.t = kT0 + 1800});
       },
       picture({.t = kT0 + 1800, .f = 1, .key = true}), kItemSplit, 0},
      {"field factor c", [](MovieFixture& m) { m.append(Pic{.key = true}); },
       picture({.f = 1, .byte14 = 0x08}), kItemFits, kDiagFieldFactorA + 2},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    begin(kT0, kT0 + 100000);
    r.fill(*this);
    const uint32_t before = writer.diagnostics().code;
    EXPECT_EQ(writer.checkItem(r.item), r.result);
    EXPECT_EQ(writer.diagnostics().code, r.code ? r.code : before);
    // One item fewer in the tables still fits.
    if (r.result == kItemRefused && r.code != kDiagPastWindowEnd) {
      EXPECT_GT(writer.sampleCount(), 0u);
    }
  }
}

TEST_F(MovieFixture, InvalidItemsWaitForTheNextKeyFrame) {
  begin();
  append(Pic{.key = true});
  auto bad = picture({.f = 1});
  platform::store_u16le(&bad[18], 3);  // 192 bytes named, 128 given
  EXPECT_EQ(append(bad), -1);
  auto no_magic = picture({.f = 1});
  no_magic[3] = 0;
  EXPECT_EQ(append(no_magic), -1);
  EXPECT_EQ(append(std::vector<uint8_t>(10, 0)), -1);
  EXPECT_EQ(append(Pic{.f = 2}), 1);
  EXPECT_EQ(writer.sampleCount(), 1u);
  append(Pic{.f = 3, .key = true});
  EXPECT_EQ(writer.sampleCount(), 4u);  // fillers for frames 1 and 2
}

TEST_F(MovieFixture, TrailerAndMediaDataSize) {
  begin();
  append(Pic{.key = true});
  writer.checkItem(picture({.t = kT0 + 70}));  // code 9 in the trailer
  const uint32_t end = writer.position();
  const uint32_t size = writer.finishMediaData();
  EXPECT_EQ(size, end + kTrailerSize - kMediaDataStart);
  writer.write_mdat_size(size);
  const std::vector<uint8_t> f = testing::read_file(path);
  ASSERT_EQ(f.size(), end + kTrailerSize);
  EXPECT_EQ(be32(f, 40), size);
  const auto record = writer.diagnostics().bytes();
  EXPECT_TRUE(std::equal(record.begin(), record.end(), f.begin() + end));
  EXPECT_EQ(f[end + 4], kDiagPastWindowEnd);
  EXPECT_TRUE(std::all_of(f.begin() + end + 48, f.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(MovieFixture, FailedWritesAreReportedAndPositionsAdvance) {
  for (const std::string& target :
       {::testing::TempDir() + "no-such-folder/x.mov", std::string("/dev/full")}) {
    SCOPED_TRACE(target);
    writer.set_file(target);
    begin();
    EXPECT_FALSE(writer.write_failed());
    append(Pic{.key = true});
    EXPECT_TRUE(writer.write_failed());
    EXPECT_GT(writer.position(), kFileStartSize);
    EXPECT_EQ(writer.sampleCount(), 1u);
  }
  writer.set_file(path);
  begin();
  EXPECT_FALSE(writer.write_failed());
  append(Pic{.key = true});
  EXPECT_FALSE(writer.write_failed());
}

TEST(MovieWriteAt, WritesAtOffsetsWithoutTruncating) {
  const std::string path = ::testing::TempDir() + "tessomar_write_at.bin";
  std::filesystem::remove(path);
  const std::array<uint8_t, 4> a{1, 2, 3, 4};
  const std::array<uint8_t, 2> b{9, 9};
  ASSERT_TRUE(write_at(path, 4, a));
  ASSERT_TRUE(write_at(path, 1, b));
  EXPECT_EQ(testing::read_file(path), (std::vector<uint8_t>{0, 9, 9, 0, 1, 2, 3, 4}));
  std::filesystem::remove(path);
}

class WatermarkRequest : public MovieFixture {};

TEST_F(WatermarkRequest, SendsTheChannelOnlyWithASessionKey) {
  open_session(0, 0x1234, 1);
  writer.requestWatermark(0, 5);
  EXPECT_EQ(platform::load_u32le(ictl.buffers().watermark_request.data()), 5u);
  EXPECT_TRUE(take_queued().empty());

  writer.requestWatermark(0x1234, 7);
  const auto sent = take_queued();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].tag, channels::kIctlTag);
  EXPECT_EQ(sent[0].sub[0], 0x1234u);
  EXPECT_EQ(sent[0].sub[3], 1u);  // notify
  const auto& p = sent[0].payload;
  ASSERT_EQ(p.size(), 256u + 4);
  EXPECT_STREQ(reinterpret_cast<const char*>(&p[4]), "Vask_Watermark_Var_R");
  EXPECT_EQ(platform::load_u32le(&p[256]), 7u);
}

}  // namespace
}  // namespace tessomar::recording
