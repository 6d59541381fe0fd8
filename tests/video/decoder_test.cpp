#include "video/decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "platform/clock.h"
#include "support/log_capture.h"
#include "video/parameter_sets.h"
#include "video/test_streams.h"

namespace tessomar::video {
namespace {

using testing::Planes;

// What the sink saw: one entry per picture, with the planes copied out tight.
struct Seen {
  int index = -1;
  Planes planes;
};

class DecoderSlotsTest : public ::testing::Test {
 protected:
  DecoderSlotsTest() : slots_(clock_, logs_.logger()) {
    slots_.set_picture_sink([this](int index, const DecodedPicture& p) {
      Seen s;
      s.index = index;
      s.planes = Planes(p.width, p.height);
      for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) s.planes.Y(x, y) = p.planeY[y * p.strideY + x];
      for (int y = 0; y < p.height / 2; ++y)
        for (int x = 0; x < p.width / 2; ++x) {
          s.planes.Cb(x, y) = p.planeCb[y * p.strideC + x];
          s.planes.Cr(x, y) = p.planeCr[y * p.strideC + x];
        }
      seen_.push_back(std::move(s));
    });
  }

  void open(int index) {
    ASSERT_EQ(slots_.openDecoder(index), 0);
    slots_.allocateDecoderBuffer();
  }
  int decode(int index, const std::vector<uint8_t>& au) {
    return slots_.decodePicture(index, au.data(), uint32_t(au.size()));
  }

  platform::ManualClock clock_;
  testsupport::LogCapture logs_;
  DecoderSlots slots_;
  std::vector<Seen> seen_;
};

// A picture whose every sample differs, so that a misplaced macroblock shows.
Planes patterned(int w, int h, int seed) {
  Planes p(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) p.Y(x, y) = uint8_t(16 + (x * 7 + y * 13 + seed) % 220);
  for (int y = 0; y < h / 2; ++y)
    for (int x = 0; x < w / 2; ++x) {
      p.Cb(x, y) = uint8_t(16 + (x * 5 + y * 3 + seed) % 220);
      p.Cr(x, y) = uint8_t(16 + (x * 11 + y + seed) % 220);
    }
  return p;
}

TEST_F(DecoderSlotsTest, OnlyIndicesZeroToTwoOpen) {
  EXPECT_EQ(slots_.openDecoder(0), 0);
  EXPECT_EQ(slots_.openDecoder(1), 0);
  EXPECT_EQ(slots_.openDecoder(2), 0);
  EXPECT_EQ(slots_.openDecoder(3), -1);
  EXPECT_EQ(slots_.openDecoder(-1), -1);
  EXPECT_FALSE(slots_.isOpen(3));
}

TEST_F(DecoderSlotsTest, NothingIsDoneWithoutDecoderBufferOrData) {
  ASSERT_EQ(slots_.openDecoder(0), 0);
  const auto key = testing::pcm_key_frame(patterned(32, 32, 0));
  EXPECT_EQ(decode(0, key), -1) << "the shared buffer is not allocated yet";
  slots_.allocateDecoderBuffer();
  EXPECT_EQ(slots_.decodePicture(0, nullptr, 10), -1);
  EXPECT_EQ(slots_.decodePicture(0, key.data(), 0), -1);
  EXPECT_EQ(decode(1, key), -1) << "slot 1 has no decoder";
  EXPECT_EQ(decode(3, key), -1);
  EXPECT_TRUE(seen_.empty());
  EXPECT_EQ(decode(0, key), 1);
  EXPECT_EQ(seen_.size(), 1u);
}

// The synthesized parameter sets describe the stream completely: I_PCM pictures come back
// sample for sample, and a skipped predicted frame repeats its reference at once.
TEST_F(DecoderSlotsTest, OwnParameterSetsDecodeExactPicturesWithoutDelay) {
  open(1);
  const Planes a = patterned(64, 48, 3);
  ASSERT_EQ(decode(1, testing::pcm_key_frame(a)), 1);
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0].index, 1);
  EXPECT_EQ(seen_[0].planes.width, 64);
  EXPECT_EQ(seen_[0].planes.height, 48);
  EXPECT_EQ(seen_[0].planes.y, a.y);
  EXPECT_EQ(seen_[0].planes.cb, a.cb);
  EXPECT_EQ(seen_[0].planes.cr, a.cr);
  EXPECT_EQ(slots_.decodeStatus(1), DecodeStatus::Good);
  EXPECT_TRUE(slots_.outputValid(1));
  EXPECT_EQ(slots_.outputWidth(1), 64);
  EXPECT_EQ(slots_.outputHeight(1), 48);

  for (int n = 1; n <= 20; ++n) {
    ASSERT_EQ(decode(1, testing::skipped_frame(64, 48, n)), 1) << "frame " << n;
    ASSERT_EQ(seen_.size(), size_t(n) + 1);
    EXPECT_EQ(seen_.back().planes.y, a.y);
  }
}

TEST_F(DecoderSlotsTest, X264BaselineStreamGivesOnePicturePerCall) {
  open(0);
  testing::X264Stream encoder(352, 288, 10);
  int keys = 0;
  for (int t = 0; t < 25; ++t) {
    bool key = false;
    const auto au = encoder.encode(testing::moving_scene(352, 288, t), &key);
    keys += key;
    ASSERT_FALSE(au.empty());
    ASSERT_EQ(decode(0, au), 1) << "picture " << t;
    ASSERT_EQ(seen_.size(), size_t(t) + 1);
    EXPECT_EQ(seen_.back().planes.width, 352);
    EXPECT_EQ(seen_.back().planes.height, 288);
    EXPECT_EQ(slots_.decodeStatus(0), DecodeStatus::Good);
  }
  EXPECT_EQ(keys, 3);
  // The picture is the scene, give or take the coding loss: the walking square is there.
  const Planes want = testing::moving_scene(352, 288, 24);
  int close = 0;
  for (size_t i = 0; i < want.y.size(); ++i)
    close += std::abs(want.y[i] - seen_.back().planes.y[i]) < 24;
  EXPECT_GT(close, int(want.y.size() * 95 / 100));
}

TEST_F(DecoderSlotsTest, TruncatedAccessUnitIsDamagedAndNotShown) {
  open(0);
  const Planes a = patterned(64, 64, 1);
  const auto key = testing::pcm_key_frame(a);
  ASSERT_EQ(decode(0, key), 1);
  const size_t shown = seen_.size();

  // Cut inside the slice at several places: the length prefix now runs past the end.
  for (size_t cut : {key.size() - 1, key.size() - 200, key.size() / 2 + 20}) {
    std::vector<uint8_t> part(key.begin(), key.begin() + long(cut));
    EXPECT_EQ(decode(0, part), 0) << "cut at " << cut;
    EXPECT_EQ(slots_.decodeStatus(0), DecodeStatus::Damaged) << "cut at " << cut;
    EXPECT_EQ(seen_.size(), shown);
    slots_.resetDecodeStatus(0);
    EXPECT_EQ(slots_.decodeStatus(0), DecodeStatus::Good);
  }
  // The next whole key frame decodes cleanly again.
  EXPECT_EQ(decode(0, key), 1);
  EXPECT_EQ(slots_.decodeStatus(0), DecodeStatus::Good);
}

// libavcodec's level is process-wide, and other tests turn it down.
class ScopedAvLogLevel {
 public:
  explicit ScopedAvLogLevel(int level) : saved_(av_log_get_level()) { av_log_set_level(level); }
  ~ScopedAvLogLevel() { av_log_set_level(saved_); }
  ScopedAvLogLevel(const ScopedAvLogLevel&) = delete;
  ScopedAvLogLevel& operator=(const ScopedAvLogLevel&) = delete;

 private:
  int saved_;
};

TEST_F(DecoderSlotsTest, TruncatedX264FrameIsDamaged) {
  ScopedAvLogLevel verbose(AV_LOG_INFO);
  open(0);
  testing::X264Stream encoder(352, 288, 50);
  std::vector<std::vector<uint8_t>> aus;
  for (int t = 0; t < 4; ++t) aus.push_back(encoder.encode(testing::moving_scene(352, 288, t)));
  ASSERT_EQ(decode(0, aus[0]), 1);
  ASSERT_EQ(decode(0, aus[1]), 1);
  std::vector<uint8_t> part(aus[2].begin(), aus[2].begin() + long(aus[2].size() * 2 / 3));
  EXPECT_EQ(decode(0, part), 0);
  EXPECT_EQ(slots_.decodeStatus(0), DecodeStatus::Damaged);
  EXPECT_EQ(seen_.size(), 2u);
  // The decoder's complaints reach the slots' logger, as debug noise.
  ASSERT_FALSE(logs_.entries().empty());
  for (const auto& e : logs_.entries()) EXPECT_EQ(e.level, platform::LogLevel::Debug) << e.message;
}

TEST_F(DecoderSlotsTest, PredictedFrameWithoutKeyFrameIsNotShown) {
  open(0);
  EXPECT_EQ(decode(0, testing::skipped_frame(64, 48, 1)), 0);
  EXPECT_TRUE(seen_.empty());
  EXPECT_FALSE(slots_.outputValid(0));
}

TEST_F(DecoderSlotsTest, QueuedKeyFrameMakesTheSizeBeReadAgain) {
  open(0);
  ASSERT_EQ(decode(0, testing::pcm_key_frame(patterned(64, 48, 0))), 1);
  ASSERT_TRUE(slots_.outputValid(0));

  // Parameter sets alone: no picture, so the size stays unread.
  slots_.set_key_frame_queued(0);
  EXPECT_TRUE(slots_.keyFrameQueued(0));
  uint8_t sets[kMaxParameterSetBytes];
  const int n = buildParameterSets(2, 2, kDecoderForm, sets);
  EXPECT_EQ(slots_.decodePicture(0, sets, uint32_t(n)), 0);
  EXPECT_FALSE(slots_.keyFrameQueued(0));
  EXPECT_FALSE(slots_.outputValid(0));
  slots_.resetDecodeStatus(0);

  // A new size between two key frames is taken up at its first picture.
  slots_.set_key_frame_queued(0);
  ASSERT_EQ(decode(0, testing::pcm_key_frame(patterned(32, 32, 5))), 1);
  EXPECT_TRUE(slots_.outputValid(0));
  EXPECT_EQ(slots_.outputWidth(0), 32);
  EXPECT_EQ(slots_.outputHeight(0), 32);
  EXPECT_EQ(seen_.back().planes.y, patterned(32, 32, 5).y);
}

TEST_F(DecoderSlotsTest, SlotsDecodeIndependently) {
  open(0);
  open(1);
  const Planes a = patterned(64, 48, 1);
  const Planes b = patterned(32, 32, 2);
  ASSERT_EQ(decode(0, testing::pcm_key_frame(a)), 1);
  ASSERT_EQ(decode(1, testing::pcm_key_frame(b)), 1);
  ASSERT_EQ(decode(0, testing::skipped_frame(64, 48, 1)), 1);
  EXPECT_EQ(seen_.back().index, 0);
  EXPECT_EQ(seen_.back().planes.y, a.y);
  ASSERT_EQ(decode(1, testing::skipped_frame(32, 32, 1)), 1);
  EXPECT_EQ(seen_.back().index, 1);
  EXPECT_EQ(seen_.back().planes.y, b.y);
}

TEST_F(DecoderSlotsTest, GarbageLengthsAreCutNotFollowed) {
  open(0);
  // A length far beyond the data, and trailing bytes too short for a length.
  std::vector<uint8_t> junk = {0x7F, 0xFF, 0xFF, 0xFF, 0x65, 0x88, 0x84, 0x00, 0x21};
  EXPECT_GE(decode(0, junk), 0);
  std::vector<uint8_t> tail = {0x00, 0x00};
  EXPECT_EQ(decode(0, tail), 0);
  EXPECT_TRUE(seen_.empty());
}

// The input buffer is not cleared when it is made: what stands behind each unit must be the
// zero padding the decoder may read, and nothing past it may be written.
TEST(AnnexB, StartCodesThenZeroPaddingAndNothingBeyond) {
  using Bytes = std::vector<uint8_t>;
  struct Case {
    const char* name;
    Bytes in;
    Bytes out;
  };
  const Case cases[] = {
      {"two units",
       {0, 0, 0, 2, 0x67, 0x42, 0, 0, 0, 1, 0x65},
       {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x65}},
      {"empty units vanish", {0, 0, 0, 0, 0, 0, 0, 1, 0x41}, {0, 0, 0, 1, 0x41}},
      {"long length cut", {0x7F, 0xFF, 0xFF, 0xFF, 0x65, 0x88}, {0, 0, 0, 1, 0x65, 0x88}},
      {"short tail dropped", {0, 0, 0, 1, 0x41, 0, 0}, {0, 0, 0, 1, 0x41}},
      {"nothing", {0, 0}, {}},
  };
  constexpr uint8_t kStale = 0xA5;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes buffer(c.in.size() + kDecoderInputPadding + 16, kStale);
    const int n = length_prefixed_to_annex_b(c.in, buffer);
    ASSERT_EQ(n, int(c.out.size()));
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + n), c.out);
    const auto pad = buffer.begin() + n;
    EXPECT_EQ(std::count(pad, pad + kDecoderInputPadding, 0), kDecoderInputPadding);
    EXPECT_EQ(std::count(pad + kDecoderInputPadding, buffer.end(), kStale),
              buffer.end() - (pad + kDecoderInputPadding));
  }
  // The output and its padding must fit even for a unit as large as the buffer allows.
  Bytes largest(DecoderSlots::kDecoderBufferBytes, 0x11);
  const uint32_t body = DecoderSlots::kDecoderBufferBytes - 4;
  largest[0] = uint8_t(body >> 24);
  largest[1] = uint8_t(body >> 16);
  largest[2] = uint8_t(body >> 8);
  largest[3] = uint8_t(body);
  Bytes buffer(DecoderSlots::kDecoderBufferBytes + kDecoderInputPadding, kStale);
  ASSERT_EQ(length_prefixed_to_annex_b(largest, buffer), int(DecoderSlots::kDecoderBufferBytes));
  EXPECT_EQ(buffer[DecoderSlots::kDecoderBufferBytes - 1], 0x11);
  EXPECT_EQ(buffer.back(), 0);
  // One byte short of room for the padding is refused before anything is written.
  buffer.assign(largest.size() + kDecoderInputPadding - 1, kStale);
  EXPECT_EQ(length_prefixed_to_annex_b(largest, buffer), -1);
  EXPECT_EQ(std::count(buffer.begin(), buffer.end(), kStale), std::ptrdiff_t(buffer.size()));
}

// A short unit after a long one decodes from a buffer holding the long one's bytes.
TEST_F(DecoderSlotsTest, ShortUnitAfterALongOneReadsOnlyItsOwnBytes) {
  open(0);
  const Planes first = patterned(64, 48, 1);
  std::vector<uint8_t> big(DecoderSlots::kDecoderBufferBytes, 0xFF);
  big[0] = 0x7F;  // one NAL unit of garbage filling the buffer
  EXPECT_GE(decode(0, big), 0);
  ASSERT_EQ(decode(0, testing::pcm_key_frame(first)), 1);
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0].planes.y, first.y);
  EXPECT_EQ(seen_[0].planes.cb, first.cb);
  EXPECT_EQ(seen_[0].planes.cr, first.cr);
  for (int n = 1; n <= 3; ++n) EXPECT_EQ(decode(0, testing::skipped_frame(64, 48, n)), 1);
}

// The time a decode call spent in the decoder, not in drawing the picture it handed out.
TEST(DecoderTiming, LastDecodeTimeExcludesThePictureSink) {
  struct SteppingClock : platform::Clock {
    uint32_t now_ms() const override { return t += 3; }
    platform::LocalDateTime local_now() const override { return {}; }
    int64_t unix_now() const override { return 0; }
    mutable uint32_t t = 1000;
  } clock;
  platform::Logger logger;
  DecoderSlots slots(clock, logger);
  slots.set_picture_sink([&](int, const DecodedPicture&) { clock.t += 500; });
  ASSERT_EQ(slots.openDecoder(2), 0);
  slots.allocateDecoderBuffer();
  const auto key = testing::pcm_key_frame(patterned(32, 32, 0));
  ASSERT_EQ(slots.decodePicture(2, key.data(), uint32_t(key.size())), 1);
  EXPECT_EQ(slots.lastDecodeMs(2), 3u);
  EXPECT_EQ(slots.lastDecodeMs(0), 0u);
}

}  // namespace
}  // namespace tessomar::video
