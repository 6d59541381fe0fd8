#include "video/scaler.h"

#include <algorithm>
#include <array>

namespace tessomar::video {

int scale_step(int source, int output) {
  if (output <= 0 || source <= 0) return 0;
  return int((int64_t(source) * 4096) / output);
}

PlaneScaler::PlaneScaler()
    : horizontal_(new uint8_t[size_t(kMaxSourceRows) * kMaxColumns]()),
      taps_(new ColumnTaps()),
      level_(default_simd_level()) {}

void PlaneScaler::set_simd_level(SimdLevel level) { level_ = supported_simd_level(level); }

// The same columns as the plain loop in the form the vector code reads: a pair of
// neighbours and their weights. At the last sample (both neighbours the same) the pair
// ends there with all the weight on it, so nothing past the row is read.
void PlaneScaler::plan_columns(const uint16_t* i0, const uint16_t* i1, const uint16_t* fw, int cols,
                               int src_w) {
  ColumnTaps& t = *taps_;
  for (int n = 0; n < cols; ++n) {
    const bool edge = i1[n] == i0[n];
    t.pos[n] = uint16_t(edge ? i0[n] - 1 : i0[n]);
    t.weights[2 * n] = int16_t(edge ? 0 : 256 - fw[n]);
    t.weights[2 * n + 1] = int16_t(edge ? 256 : fw[n]);
  }
  for (int b = 0; b < ColumnTaps::kBlocks; ++b) {
    t.block_base[b] = -1;
    if (8 * b + 8 > cols) continue;
    const int base = t.pos[8 * b];
    const int last = t.pos[8 * b + 7] + 1;
    // The block's 16-byte load must stay inside the row.
    if (last - base > 15 || base + 16 > src_w) continue;
    t.block_base[b] = base;
    for (int k = 0; k < 8; ++k) {
      uint8_t* m = &t.block_shuffle[b][4 * k];
      m[0] = uint8_t(t.pos[8 * b + k] - base);
      m[1] = 0x80;
      m[2] = uint8_t(t.pos[8 * b + k] + 1 - base);
      m[3] = 0x80;
    }
  }
}

bool PlaneScaler::scale(const uint8_t* src, ptrdiff_t src_stride, int src_w, int src_h, int h_step,
                        int v_step, int cols, int rows, uint8_t* dst, ptrdiff_t dst_pitch) {
  if (src_w < 1 || src_h < 1 || src_h > kMaxSourceRows || cols < 1 || cols > kMaxColumns ||
      rows < 1 || h_step < 0 || v_step < 0)
    return false;

  // Per output column: the two source indices and the weight of the second.
  std::array<uint16_t, kMaxColumns> i0{}, i1{};
  std::array<uint16_t, kMaxColumns> fw{};
  for (int n = 0; n < cols; ++n) {
    const int64_t pos = int64_t(n) * h_step;
    const int i = int(std::min<int64_t>(pos >> 12, src_w - 1));
    i0[size_t(n)] = uint16_t(i);
    i1[size_t(n)] = uint16_t(std::min(i + 1, src_w - 1));
    fw[size_t(n)] = uint16_t((pos >> 4) & 255);
  }

  // Only the source rows the vertical pass reaches are resampled.
  const bool simd = level_ != SimdLevel::kScalar && src_w >= 2;
  if (simd) {
    plan_columns(i0.data(), i1.data(), fw.data(), cols, src_w);
  }
  const PictureKernels& kernels = picture_kernels(simd ? level_ : SimdLevel::kScalar);

  const int64_t last_pos = int64_t(rows - 1) * v_step;
  const int last_row = int(std::min<int64_t>((last_pos >> 12) + 1, src_h - 1));
  for (int y = 0; y <= last_row; ++y) {
    const uint8_t* s = src + ptrdiff_t(y) * src_stride;
    uint8_t* h = horizontal_.get() + ptrdiff_t(y) * kMaxColumns;
    if (simd) {
      kernels.resample_row(s, *taps_, cols, h);
      continue;
    }
    for (int n = 0; n < cols; ++n) {
      const int f = fw[size_t(n)];
      h[n] = uint8_t((s[i0[size_t(n)]] * (256 - f) + s[i1[size_t(n)]] * f) >> 8);
    }
  }

  for (int m = 0; m < rows; ++m) {
    const int64_t pos = int64_t(m) * v_step;
    const int j = int(std::min<int64_t>(pos >> 12, src_h - 1));
    const int j1 = std::min(j + 1, src_h - 1);
    const int f = int((pos >> 4) & 255);
    const uint8_t* a = horizontal_.get() + ptrdiff_t(j) * kMaxColumns;
    const uint8_t* b = horizontal_.get() + ptrdiff_t(j1) * kMaxColumns;
    kernels.blend_rows(a, b, f, cols, dst + ptrdiff_t(m) * dst_pitch);
  }
  return true;
}

}  // namespace tessomar::video
