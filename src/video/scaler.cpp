#include "video/scaler.h"

#include <algorithm>
#include <array>

#if defined(__x86_64__) || defined(__i386__)
#include <emmintrin.h>
#define TESSOMAR_SCALER_SSE2 1
#endif

namespace tessomar::video {
namespace {

// d[n] = (a[n] * (256 - f) + b[n] * f) >> 8; the sum stays below 65536, so 16-bit lanes
// give the same result as the plain loop.
void blend_rows(const uint8_t* a, const uint8_t* b, int f, int n, uint8_t* d) {
  int i = 0;
#ifdef TESSOMAR_SCALER_SSE2
  const __m128i zero = _mm_setzero_si128();
  const __m128i wa = _mm_set1_epi16(int16_t(256 - f));
  const __m128i wb = _mm_set1_epi16(int16_t(f));
  for (; i + 16 <= n; i += 16) {
    const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
    const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    const __m128i lo =
        _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(va, zero), wa),
                                     _mm_mullo_epi16(_mm_unpacklo_epi8(vb, zero), wb)),
                       8);
    const __m128i hi =
        _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(va, zero), wa),
                                     _mm_mullo_epi16(_mm_unpackhi_epi8(vb, zero), wb)),
                       8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), _mm_packus_epi16(lo, hi));
  }
#endif
  for (; i < n; ++i) d[i] = uint8_t((a[i] * (256 - f) + b[i] * f) >> 8);
}

}  // namespace

int scale_step(int source, int output) {
  if (output <= 0 || source <= 0) return 0;
  return int((int64_t(source) * 4096) / output);
}

PlaneScaler::PlaneScaler() : horizontal_(new uint8_t[size_t(kMaxSourceRows) * kMaxColumns]()) {}

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
  const int64_t last_pos = int64_t(rows - 1) * v_step;
  const int last_row = int(std::min<int64_t>((last_pos >> 12) + 1, src_h - 1));
  for (int y = 0; y <= last_row; ++y) {
    const uint8_t* s = src + ptrdiff_t(y) * src_stride;
    uint8_t* h = horizontal_.get() + ptrdiff_t(y) * kMaxColumns;
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
    blend_rows(a, b, f, cols, dst + ptrdiff_t(m) * dst_pitch);
  }
  return true;
}

}  // namespace tessomar::video
