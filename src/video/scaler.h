// Bilinear resampling in 1/4096 steps with 8-bit weights: output sample n sits at n * step,
// between source samples i = pos >> 12 and i + 1 with weight f = (pos >> 4) & 255.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

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

 private:
  std::unique_ptr<uint8_t[]> horizontal_;  // kMaxSourceRows x kMaxColumns
};

// floor(source * 4096 / output); 0 when output is not positive.
int scale_step(int source, int output);

}  // namespace tessomar::video
