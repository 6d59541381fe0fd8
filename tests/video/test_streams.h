// H.264 material for the video tests: pictures built bit by bit under the control's own
// parameter sets (I_PCM key frames carry their pixels verbatim, skipped predicted frames
// repeat them), and x264 Baseline streams with their own parameter sets. Every access
// unit is a run of NAL units behind four-byte big-endian lengths, as the DVR sends them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace tessomar::video::testing {

// A 4:2:0 picture with tight strides.
struct Planes {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> y, cb, cr;

  Planes() = default;
  Planes(int w, int h)
      : width(w),
        height(h),
        y(size_t(w) * h),
        cb(size_t(w / 2) * (h / 2)),
        cr(size_t(w / 2) * (h / 2)) {}
  uint8_t& Y(int x, int yy) { return y[size_t(yy) * width + x]; }
  uint8_t& Cb(int x, int yy) { return cb[size_t(yy) * (width / 2) + x]; }
  uint8_t& Cr(int x, int yy) { return cr[size_t(yy) * (width / 2) + x]; }
};

// Form-0 parameter sets for the picture's size, then an IDR slice of I_PCM macroblocks.
// With with_parameter_sets false, the slice alone.
std::vector<uint8_t> pcm_key_frame(const Planes& picture, bool with_parameter_sets = true);
// A predicted frame in which every macroblock is skipped (frame_num counts from 1).
std::vector<uint8_t> skipped_frame(int width, int height, int frame_num);

// Appends a length-prefixed NAL unit (header byte plus RBSP, emulation prevention added).
void append_nal(std::vector<uint8_t>& out, uint8_t header, const std::vector<uint8_t>& rbsp);

class X264Stream {
 public:
  X264Stream(int width, int height, int keyint);
  ~X264Stream();
  // One access unit per call (the encoder runs without delay); key frames carry x264's own
  // SPS and PPS.
  std::vector<uint8_t> encode(const Planes& picture, bool* key_frame = nullptr);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A moving test scene: a gradient with a bright square that walks with t.
Planes moving_scene(int width, int height, int t);

}  // namespace tessomar::video::testing
