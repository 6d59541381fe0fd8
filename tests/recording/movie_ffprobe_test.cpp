// A movie from the simulator's real H.264 pictures and audio blocks, read back by FFmpeg: the
// outside check that the atoms, the rewritten samples and the fillers make a playable file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "dvrsim/audio_block.h"
#include "dvrsim/encoder.h"
#include "dvrsim/frame_record.h"
#include "dvrsim/scene.h"
#include "recording/movie_fixture.h"

namespace tessomar::recording {
namespace {

using testing::kT0;
using testing::MovieFixture;

bool have_tool(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string run(const std::string& command) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  while (size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
  ::pclose(p);
  return out;
}

// ffprobe's compact output: one line per stream, key=value pairs split by '|'.
std::vector<std::map<std::string, std::string>> streams(const std::string& text) {
  std::vector<std::map<std::string, std::string>> out;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::map<std::string, std::string> s;
    std::istringstream fields(line);
    std::string field;
    while (std::getline(fields, field, '|')) {
      const size_t eq = field.find('=');
      if (eq != std::string::npos) s[field.substr(0, eq)] = field.substr(eq + 1);
    }
    if (!s.empty()) out.push_back(s);
  }
  return out;
}

// MSB-first bits over a byte vector.
class Bits {
 public:
  explicit Bits(const std::vector<uint8_t>& data) : data_(data) {}
  uint32_t bit() {
    const uint32_t b = pos_ / 8 < data_.size() ? (data_[pos_ / 8] >> (7 - pos_ % 8)) & 1 : 0;
    ++pos_;
    return b;
  }
  uint32_t bits(int n) {
    uint32_t v = 0;
    while (n-- > 0) v = v << 1 | bit();
    return v;
  }
  uint32_t ue() {
    int zeros = 0;
    while (bit() == 0 && zeros < 32) ++zeros;
    return (uint32_t(1) << zeros) - 1 + bits(zeros);
  }
  size_t pos() const { return pos_; }
  size_t size() const { return data_.size() * 8; }

 private:
  const std::vector<uint8_t>& data_;
  size_t pos_ = 0;
};

class BitOut {
 public:
  void bit(uint32_t b) {
    if (n_ % 8 == 0) out.push_back(0);
    if (b) out.back() |= uint8_t(0x80 >> (n_ % 8));
    ++n_;
  }
  void bits(uint32_t v, int n) {
    while (n-- > 0) bit((v >> n) & 1);
  }
  void ue(uint32_t v) {
    int m = 0;
    while (((v + 1) >> (m + 1)) != 0) ++m;
    bits(0, m);
    bits(v + 1, m + 1);
  }
  std::vector<uint8_t> out;

 private:
  size_t n_ = 0;
};

// The simulator's predicted slices carry a picture order count and name their reference
// count only when it differs from the default; the DVR's carry order count 0 and always
// name it, so that bytes 5 and 6 hold the frame number and fixed bits. Re-heads a predicted
// picture's payload (one length-prefixed slice, zero padded) into that form.
std::vector<uint8_t> to_dvr_form(const std::vector<uint8_t>& payload) {
  const uint32_t length = platform::load_u32be(payload.data());
  std::vector<uint8_t> rbsp;
  int zeros = 0;
  for (size_t i = 4; i < 4 + length; ++i) {
    if (zeros >= 2 && payload[i] == 3) {
      zeros = 0;
      continue;
    }
    zeros = payload[i] == 0 ? zeros + 1 : 0;
    rbsp.push_back(payload[i]);
  }
  while (!rbsp.empty() && rbsp.back() == 0) rbsp.pop_back();
  Bits in(rbsp);
  BitOut out;
  out.bits(in.bits(8), 8);  // NAL header
  out.ue(in.ue());          // first_mb_in_slice
  const uint32_t slice_type = in.ue();
  out.ue(slice_type);
  out.ue(in.ue());  // pic_parameter_set_id
  out.bits(in.bits(4), 4);
  in.bits(4);  // order count
  out.bits(0, 4);
  uint32_t refs_minus1 = 3;
  if (in.bit()) refs_minus1 = in.ue();
  out.bit(1);
  out.ue(refs_minus1);
  while (in.pos() < in.size()) out.bit(in.bit());

  std::vector<uint8_t> nal;
  zeros = 0;
  for (uint8_t b : out.out) {
    if (zeros >= 2 && b <= 3) {
      nal.push_back(3);
      zeros = 0;
    }
    nal.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  const uint32_t n = uint32_t(nal.size());
  std::vector<uint8_t> result = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
  for (uint8_t b : nal) result.push_back(b);
  return result;
}

TEST_F(MovieFixture, FfprobeReadsAD1MovieWithSoundAndText) {
  if (!have_tool("ffprobe") || !have_tool("ffmpeg")) GTEST_SKIP() << "ffprobe/ffmpeg missing";
  constexpr int kW = 704, kH = 576, kFps = 25, kSeconds = 3;
  dvrsim::VideoEncoder encoder(kW, kH, kFps, {.keyint = kFps});
  ASSERT_TRUE(encoder.ok());
  dvrsim::I420Image image;
  begin(kT0, kT0 + 60);

  // The movie lasts from the first picture's second to the last one's: a closing picture at
  // the start of the next second makes it kSeconds long.
  for (uint32_t s = 0; s <= kSeconds; ++s) {
    for (uint32_t f = 0; f < (s == kSeconds ? 1u : kFps); ++f) {
      dvrsim::render_scene(image, 0, kT0 + s, f, kW, kH);
      const dvrsim::EncodedPicture& pic =
          encoder.encode(image.y.data(), image.u.data(), image.v.data());
      ASSERT_TRUE(pic.ok);
      std::vector<uint8_t> payload = pic.key_frame ? pic.payload : to_dvr_form(pic.payload);
      ASSERT_TRUE(dvrsim::pad_video_payload(payload));
      dvrsim::PictureInfo info;
      info.time = kT0 + s;
      info.frame_number = uint8_t(f);
      info.width_mbs = kW / 16;
      info.height_mbs = kH / 16;
      info.key_frame = pic.key_frame;
      info.rate_code = 500;
      std::vector<uint8_t> item(32 + payload.size());
      dvrsim::build_picture_header(info, item.size(), std::span<uint8_t, 32>(item.data(), 32));
      std::copy(payload.begin(), payload.end(), item.begin() + 32);
      // One lost predicted picture: a filler takes its place.
      if (s == 1 && f == 10) continue;
      writer.appendItems(item);

      const uint32_t block = dvrsim::audio_block_at_frame(f, kFps);
      if (block < dvrsim::kAudioBlocksPerSecond) {
        std::vector<uint8_t> record;
        ASSERT_TRUE(dvrsim::build_audio_record(
            {.channel = 0, .block = block, .fps = kFps, .device_time = kT0 + s}, record));
        writer.appendItems(std::span<uint8_t>(record).subspan(dvrsim::kFrameRecordHeaderSize));
      }
    }
  }
  ASSERT_EQ(writer.sampleCount(), uint32_t(kFps * kSeconds + 1));
  finish();
  ASSERT_FALSE(writer.write_failed());

  const auto info =
      streams(run("ffprobe -v error -count_frames -show_streams -of compact '" + path + "' 2>&1"));
  ASSERT_EQ(info.size(), 3u) << run("ffprobe -v error -show_streams '" + path + "' 2>&1");
  std::map<std::string, std::map<std::string, std::string>> by_type;
  for (const auto& s : info) by_type[s.at("codec_type")] = s;
  const auto& v = by_type["video"];
  EXPECT_EQ(v.at("codec_name"), "h264");
  EXPECT_EQ(v.at("width"), "704");
  EXPECT_EQ(v.at("height"), "576");
  EXPECT_EQ(v.at("nb_read_frames"), std::to_string(kFps * kSeconds));
  EXPECT_EQ(v.at("r_frame_rate"), "25/1");
  const auto& a = by_type["audio"];
  EXPECT_EQ(a.at("codec_name"), "pcm_u8");
  EXPECT_EQ(a.at("sample_rate"), "8000");
  EXPECT_EQ(a.at("channels"), "1");
  EXPECT_EQ(by_type.count("subtitle") + by_type.count("data"), 1u);

  EXPECT_EQ(run("ffmpeg -nostdin -v error -i '" + path + "' -f null - 2>&1"), "");
}

}  // namespace
}  // namespace tessomar::recording
