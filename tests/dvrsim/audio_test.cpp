// The DVR's sound: audio blocks of cameras 0 and 1 beside the pictures of a single view,
// ten a second, each a tone of its channel with a silent mark where the picture's second
// turns over, in the layout the control plays.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>

#include "dvrsim/audio_block.h"
#include "dvrsim/frame_record.h"
#include "dvrsim/settings.h"
#include "dvrsim/video_channel.h"
#include "dvrsim/video_harness.h"
#include "platform/bytes.h"

namespace tessomar::dvrsim {
namespace {

using testing::append;
using testing::cif_device;
using testing::kBigCredit;
using testing::kNoon;
using testing::Record;
using testing::WireMessage;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kNoonDeviceTime = 131284800;

Record parse_record(const WireMessage& m, uint32_t key) {
  EXPECT_TRUE(m.checksum_ok);
  EXPECT_EQ(m.key(), key);
  const Bytes b = m.payload();
  EXPECT_GE(b.size(), 160u);
  if (b.size() < 160) return Record{};
  const Record r = testing::read_record(b);
  EXPECT_EQ(r.magic, 0x03000000u);
  EXPECT_EQ(r.total, b.size());
  EXPECT_EQ(b.size(), 128 + r.block) << "block length";
  return r;
}

bool is_audio(const Record& r) { return r.kind == kKindAudio; }

// The samples the control plays: (block length - 64) / 2 of them.
std::vector<int16_t> played_samples(const Record& r) {
  std::vector<int16_t> out;
  const size_t n = r.block >= 64 ? (r.block - 64) / 2 : 0;
  for (size_t i = 0; i < n && 2 * i + 1 < r.payload.size(); ++i) {
    out.push_back(int16_t(uint16_t(r.payload[2 * i] | r.payload[2 * i + 1] << 8)));
  }
  return out;
}

// Sign changes between non-zero samples: twice the cycles of a tone.
int zero_crossings(const std::vector<int16_t>& s, size_t from = 0) {
  int count = 0, last = 0;
  for (size_t i = from; i < s.size(); ++i) {
    const int sign = s[i] > 0 ? 1 : s[i] < 0 ? -1 : 0;
    if (sign != 0 && last != 0 && sign != last) ++count;
    if (sign != 0) last = sign;
  }
  return count;
}

// Samples silent (|v| below 1% of the tone) from the start of a block.
size_t leading_silence(const std::vector<int16_t>& s) {
  size_t n = 0;
  while (n < s.size() && std::abs(s[n]) < kAudioAmplitude / 100) ++n;
  return n;
}

Bytes live_image(int32_t layout, int32_t selected) {
  Bytes image(64, 0);
  platform::store_u32le(&image[0], uint32_t(layout));
  platform::store_u32le(&image[8], uint32_t(selected));
  platform::store_u32le(&image[16], 704);
  platform::store_u32le(&image[20], 576);
  return image;
}

Bytes playback_image(int32_t channel, int32_t state, int32_t direction, uint32_t start) {
  Bytes image(64, 0);
  platform::store_u32le(&image[8], uint32_t(channel));
  platform::store_u32le(&image[12], uint32_t(state));
  platform::store_u32le(&image[16], uint32_t(direction));
  platform::store_u32le(&image[20], start);
  return image;
}

Bytes backup_image(int32_t channel, uint32_t start, uint32_t end) {
  Bytes image(64, 0);
  platform::store_u32le(&image[8], uint32_t(channel));
  platform::store_u32le(&image[12], 1);
  platform::store_u32le(&image[16], start);
  platform::store_u32le(&image[20], end);
  return image;
}

DeviceOptions sound_device() {
  DeviceOptions d = cif_device();
  d.audio = true;
  return d;
}

class AudioRig : public testing::VideoSessionRig {
 public:
  explicit AudioRig(const DeviceOptions& device = sound_device())
      : VideoSessionRig(device, parse_record) {
    feedback(kBigCredit);
    h.clock().set_local(kNoon);
  }
  std::vector<Record> set_live(int32_t layout, int32_t selected, uint32_t seq) {
    return set(kRecordLiveView, 0, seq, live_image(layout, selected));
  }
  std::vector<Record> play(int32_t channel, int32_t state, int32_t direction, uint32_t start,
                           uint32_t seq) {
    return set(kRecordPlayback, 1, seq, playback_image(channel, state, direction, start));
  }
  std::vector<Record> backup(int32_t channel, uint32_t start, uint32_t end, uint32_t seq) {
    return set(kRecordBackup, 2, seq, backup_image(channel, start, end));
  }
  std::vector<Record> run_and_drain_ms(uint32_t ms) {
    run_ms(ms);
    return drain();
  }
};

// Every audio block, wherever it comes from, keeps the layout the control plays.
void expect_audio_block(const Record& r, uint32_t channel, uint32_t fps, uint8_t stream_kind) {
  EXPECT_EQ(r.total, 1792u);
  EXPECT_EQ(r.block, 1664u);
  EXPECT_EQ(r.content, kContentAudio);
  EXPECT_EQ(r.channel, channel);
  EXPECT_EQ(r.pic_channel, channel);
  EXPECT_EQ(r.stream_kind, stream_kind);
  EXPECT_EQ(r.interval, 100u);
  EXPECT_EQ(r.time, r.seconds);
  EXPECT_EQ(r.frame_number, r.fis);
  // The control discards its audio ring on a record of 8,192 bytes or more.
  EXPECT_LT(r.total, 8192u);
  const uint32_t block = audio_block_at_frame(r.fis, fps);
  ASSERT_LT(block, kAudioBlocksPerSecond) << "frame " << r.fis << " starts no block";
  const auto samples = played_samples(r);
  ASSERT_EQ(samples.size(), 800u);
  const int cycles = int(audio_tone_hz(channel)) / 10;
  if (block == 0) {
    // The mark: 50 ms of silence from the picture whose second has just begun.
    EXPECT_NEAR(double(leading_silence(samples)), 400, 1);
    EXPECT_NEAR(zero_crossings(samples, 400), cycles, 1);
  } else {
    EXPECT_LE(leading_silence(samples), 1u) << "the sine starts at 0";
    EXPECT_NEAR(zero_crossings(samples), 2 * cycles, 1);
  }
  // Behind the played samples: 32 bytes of zeros.
  ASSERT_EQ(r.payload.size(), 1632u);
  EXPECT_TRUE(
      std::all_of(r.payload.begin() + 1600, r.payload.end(), [](uint8_t b) { return b == 0; }));
}

TEST(DvrsimAudio, BlocksStartOnTheFramesOfTheirTenthOfASecond) {
  struct Case {
    uint32_t fps;
    std::array<uint32_t, 10> starts;
  };
  const Case cases[] = {
      {25, {0, 2, 5, 7, 10, 12, 15, 17, 20, 22}},
      {30, {0, 3, 6, 9, 12, 15, 18, 21, 24, 27}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fps);
    uint32_t found = 0;
    for (uint32_t f = 0; f < c.fps; ++f) {
      const uint32_t b = audio_block_at_frame(f, c.fps);
      if (b == kAudioBlocksPerSecond) continue;
      EXPECT_EQ(c.starts[b], f);
      EXPECT_EQ(audio_block_start_frame(b, c.fps), f);
      ++found;
    }
    EXPECT_EQ(found, 10u);
  }
}

TEST(DvrsimAudio, SamplesAreAContinuousToneWithASilentMarkAtTheSecond) {
  for (uint32_t channel : {0u, 1u}) {
    SCOPED_TRACE(channel);
    // One whole second, block after block: the tone runs on across block edges.
    std::vector<int16_t> second;
    for (uint32_t b = 0; b < kAudioBlocksPerSecond; ++b) {
      std::array<int16_t, kAudioBlockSamples> block{};
      audio_block_samples(channel, b, block);
      second.insert(second.end(), block.begin(), block.end());
    }
    EXPECT_NEAR(double(leading_silence(second)), 400, 1);
    const int hz = int(audio_tone_hz(channel));
    EXPECT_EQ(hz, channel == 0 ? 440 : 660);
    // 0.95 s of tone.
    EXPECT_NEAR(zero_crossings(second), 2 * hz * 95 / 100, 1);
    int16_t peak = 0;
    int max_step = 0;
    for (size_t i = 400; i < second.size(); ++i) {
      peak = std::max<int16_t>(peak, second[i]);
      if (i > 400) max_step = std::max(max_step, std::abs(second[i] - second[i - 1]));
    }
    EXPECT_NEAR(peak, kAudioAmplitude, 50);
    // No click anywhere: the steepest step of the sine itself.
    EXPECT_LE(max_step, int(2 * 3.1416 * hz / 8000 * kAudioAmplitude) + 2);
  }
}

TEST(DvrsimAudio, LiveSingleViewSendsTenBlocksASecondBehindTheirPictures) {
  AudioRig rig;
  // Half way through a second: the first partial second has pictures but no sound.
  rig.h.clock().advance_ms(500);
  std::vector<Record> records = rig.set_live(0, 0, /*seq=*/4);
  rig.run_ms(3000);
  append(records, rig.drain());

  std::vector<Record> audio;
  for (size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(i);
    const Record& r = records[i];
    // One numbering of all records, pictures and sound alike.
    EXPECT_EQ(r.arrival, i + 1);
    EXPECT_EQ(r.counter, 4u);
    if (!is_audio(r)) continue;
    expect_audio_block(r, 0, 25, 0);
    // Sent right behind the picture of the same time and frame.
    ASSERT_GT(i, 0u);
    EXPECT_FALSE(is_audio(records[i - 1]));
    EXPECT_EQ(records[i - 1].time, r.time);
    EXPECT_EQ(records[i - 1].frame_number, r.frame_number);
    audio.push_back(r);
  }
  // 1.0 to 3.0 s after noon in whole, and part of the third second.
  ASSERT_GE(audio.size(), 20u);
  ASSERT_LE(audio.size(), 30u);
  for (size_t i = 0; i < audio.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(audio[i].seconds, kNoonDeviceTime + 1 + i / 10);
    EXPECT_EQ(audio[i].fis, audio_block_start_frame(uint32_t(i % 10), 25));
    EXPECT_EQ(audio[i].sequence, i + 1);
  }
}

TEST(DvrsimAudio, OnlyASingleViewOfChannelZeroOrOneOfADeviceWithSoundCarriesAudio) {
  struct Case {
    const char* name;
    bool audio;
    int32_t layout;
    int32_t selected;
    bool sound;
  };
  const Case cases[] = {
      {"channel 1", true, 0, 1, true},
      {"channel 2", true, 0, 2, false},
      {"4-way split from channel 0", true, 1, 0, false},
      {"audio off", false, 0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceOptions d = sound_device();
    d.audio = c.audio;
    AudioRig rig(d);
    std::vector<Record> records = rig.set_live(c.layout, c.selected, 1);
    rig.run_ms(2500);
    append(records, rig.drain());
    size_t audio = 0, video = 0;
    for (const Record& r : records) {
      if (!is_audio(r)) {
        ++video;
        continue;
      }
      ++audio;
      expect_audio_block(r, uint32_t(c.selected), 25, 0);
    }
    EXPECT_GE(video, 60u);
    if (c.sound) {
      EXPECT_GE(audio, 15u) << "from the first whole second on";
    } else {
      EXPECT_EQ(audio, 0u);
    }
  }
}

TEST(DvrsimAudio, PlaybackCarriesTheSameSoundAtTheRecordingsPaceButScansNone) {
  AudioRig rig;
  const uint32_t start = kNoonDeviceTime - 600;
  std::vector<Record> records = rig.play(1, 1, 0, start, /*seq=*/6);
  append(records, rig.run_and_drain_ms(1990));
  std::vector<Record> audio;
  for (size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(i);
    const Record& r = records[i];
    EXPECT_EQ(r.arrival, i + 1);
    if (!is_audio(r)) continue;
    expect_audio_block(r, 1, 25, 1);
    EXPECT_EQ(r.counter, 6u);
    ASSERT_GT(i, 0u);
    EXPECT_EQ(records[i - 1].time, r.time);
    EXPECT_EQ(records[i - 1].frame_number, r.frame_number);
    audio.push_back(r);
  }
  // Two seconds of the recording, from its first picture.
  ASSERT_EQ(audio.size(), 20u);
  for (size_t i = 0; i < audio.size(); ++i) {
    EXPECT_EQ(audio[i].time, start + i / 10);
    EXPECT_EQ(audio[i].fis, audio_block_start_frame(uint32_t(i % 10), 25));
  }

  // A forward scan shows a key frame per second and no sound.
  records = rig.play(1, 1, 1, start, 7);
  append(records, rig.run_and_drain_ms(2000));
  EXPECT_GE(records.size(), 4u);
  EXPECT_TRUE(std::none_of(records.begin(), records.end(), is_audio));
}

TEST(DvrsimAudio, ABackupWithinATightCreditCopiesEverySecondsSound) {
  AudioRig rig;
  // Room for two or three pictures (a key frame is below 7 KB): the queue fills up on every
  // tick, and pictures and blocks alike wait for credit; none is lost.
  rig.feedback(12000);
  const uint32_t start = kNoonDeviceTime - 1000;
  std::vector<Record> records = rig.backup(0, start, start + 2, 3);
  for (int i = 0; i < 300 && rig.video.stream_mode(rig.key) == StreamMode::kBackup; ++i) {
    append(records, rig.drain());
    rig.run_ms(10);
  }
  append(records, rig.drain());
  EXPECT_EQ(rig.video.stream_mode(rig.key), StreamMode::kNone);

  size_t pictures = 0, blocks = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(i);
    const Record& r = records[i];
    EXPECT_EQ(r.arrival, i + 1);
    if (!is_audio(r)) {
      EXPECT_EQ(r.time, start + pictures / 25);
      EXPECT_EQ(r.frame_number, pictures % 25);
      ++pictures;
      continue;
    }
    expect_audio_block(r, 0, 25, 1);
    EXPECT_EQ(r.time, start + blocks / 10);
    EXPECT_EQ(r.fis, audio_block_start_frame(uint32_t(blocks % 10), 25));
    ASSERT_GT(i, 0u);
    EXPECT_EQ(records[i - 1].time, r.time);
    EXPECT_EQ(records[i - 1].frame_number, r.frame_number);
    ++blocks;
  }
  EXPECT_EQ(pictures, 75u);
  EXPECT_EQ(blocks, 30u);
}

}  // namespace
}  // namespace tessomar::dvrsim
