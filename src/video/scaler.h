// Bilinear resampling in 1/4096 steps with 8-bit weights: output sample n sits at n * step,
// between source samples i = pos >> 12 and i + 1 with weight f = (pos >> 4) & 255.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "video/picture_kernels.h"

namespace tessomar::video {

class PlaneScaler {
 public:
  // Largest source the intermediate plane holds (luma after line doubling).
  static constexpr int kMaxSourceRows = 1152;
  static constexpr int kMaxColumns = 704;

  PlaneScaler();

  // Resamples src (src_w x src_h at src_stride) rows first, then columns, and writes the
  // first cols x rows samples of the output grid to dst. A neighbour past the last sample
  // of a row or column is that last sample. false (nothing written) when a size is out of
  // range.
  bool scale(const uint8_t* src, ptrdiff_t src_stride, int src_w, int src_h, int h_step, int v_step,
             int cols, int rows, uint8_t* dst, ptrdiff_t dst_pitch);

  // The vector code to use, lowered to what the processor runs; the plain code for kScalar.
  void set_simd_level(SimdLevel level);
  SimdLevel simd_level() const { return level_; }

 private:
  void plan_columns(const uint16_t* i0, const uint16_t* i1, const uint16_t* fw, int cols,
                    int src_w);

  std::unique_ptr<uint8_t[]> horizontal_;  // kMaxSourceRows x kMaxColumns
  std::unique_ptr<ColumnTaps> taps_;
  SimdLevel level_;
};

// floor(source * 4096 / output); 0 when output is not positive.
int scale_step(int source, int output);

}  // namespace tessomar::video
