#include "video/picture_kernels.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TESSOMAR_X86_KERNELS 1
#endif

namespace tessomar::video {
namespace {

inline int diff(int a, int b) { return a >= b ? a - b : b - a - 1; }

// ---- Plain code: the reference. ----

void shift_costs_scalar(const uint8_t* above, const uint8_t* below, int s, int groups,
                        uint8_t* row) {
  for (int g = 0; g < groups; ++g) row[g] = uint8_t(directional_cost(above, below, 8 * g, s));
}

void group_costs_scalar(const uint8_t* above, const uint8_t* below, int g, uint8_t* column,
                        ptrdiff_t pitch) {
  for (int s = -7; s <= 7; ++s)
    column[(s + 7) * pitch] = uint8_t(directional_cost(above, below, 8 * g, s));
}

void average_groups_scalar(const uint8_t* above, const uint8_t* below, const int8_t* shifts,
                           int groups, uint8_t* out) {
  for (int g = 0; g < groups; ++g) {
    const int s = shifts[g];
    const int x = 8 * g;
    for (int i = 0; i < 8; ++i) out[x + i] = uint8_t((above[x + i + s] + below[x + i - s]) >> 1);
  }
}

void motion_from(const uint8_t* cur, const uint8_t* prev, int x0, int width, uint32_t* sums) {
  for (int x = x0; x < width; x += 2) sums[x / 16] += uint32_t(diff(cur[x], prev[x]));
}

void motion_row_scalar(const uint8_t* cur, const uint8_t* prev, int width, uint32_t* sums) {
  motion_from(cur, prev, 0, width, sums);
}

void blend_still_scalar(const uint8_t* cur, const uint8_t* prev, int n, uint8_t* out) {
  for (int i = 0; i < n; ++i) {
    const int c = cur[i];
    const int p = prev[i];
    if (std::abs(c - p) < 8) out[i] = uint8_t((c + p) >> 1);
  }
}

void resample_from(const uint8_t* s, const ColumnTaps& taps, int n0, int cols, uint8_t* out) {
  for (int n = n0; n < cols; ++n) {
    const uint8_t* p = s + taps.pos[n];
    out[n] = uint8_t((p[0] * taps.weights[2 * n] + p[1] * taps.weights[2 * n + 1]) >> 8);
  }
}

void resample_row_scalar(const uint8_t* s, const ColumnTaps& taps, int cols, uint8_t* out) {
  resample_from(s, taps, 0, cols, out);
}

void blend_rows_from(const uint8_t* a, const uint8_t* b, int f, int i0, int n, uint8_t* d) {
  for (int i = i0; i < n; ++i) d[i] = uint8_t((a[i] * (256 - f) + b[i] * f) >> 8);
}

void blend_rows_scalar(const uint8_t* a, const uint8_t* b, int f, int n, uint8_t* d) {
  blend_rows_from(a, b, f, 0, n, d);
}

constexpr PictureKernels kScalarKernels = {
    shift_costs_scalar, group_costs_scalar,  average_groups_scalar, motion_row_scalar,
    blend_still_scalar, resample_row_scalar, blend_rows_scalar};

#ifdef TESSOMAR_X86_KERNELS

// ---- SSE2. ----

// The AVX2 kernels finish their rows with these; inlined there, they are built with the VEX
// encoding and avoid the cost of switching between the two kinds of vector code.
#define TESSOMAR_INLINE inline __attribute__((always_inline))

TESSOMAR_INLINE __m128i load16(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
TESSOMAR_INLINE __m128i load8(const uint8_t* p) {
  return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}

// D(a, b) per byte: a - b, or b - a - 1 when b > a.
TESSOMAR_INLINE __m128i diff16(__m128i a, __m128i b) {
  return _mm_or_si128(_mm_subs_epu8(a, b), _mm_subs_epu8(_mm_subs_epu8(b, a), _mm_set1_epi8(1)));
}

// (a + b) >> 1 per byte.
TESSOMAR_INLINE __m128i floor_avg16(__m128i a, __m128i b) {
  return _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1)));
}

// The even-byte sums of D over one group (8 bytes) in each 64-bit half.
TESSOMAR_INLINE __m128i group_sums16(const uint8_t* above, const uint8_t* below, int s) {
  const __m128i d = diff16(load16(above + s), load16(below - s));
  return _mm_sad_epu8(_mm_and_si128(d, _mm_set1_epi16(0x00FF)), _mm_setzero_si128());
}

TESSOMAR_INLINE void shift_costs_sse2_body(const uint8_t* above, const uint8_t* below, int s,
                                           int groups, uint8_t* row) {
  const int blocks = groups / 8;
  const __m128i bias = _mm_set1_epi16(int16_t(32 + 2 * std::abs(s)));
  for (int k = 0; k < blocks; ++k) {
    const uint8_t* a = above + 64 * k;
    const uint8_t* b = below + 64 * k;
    const __m128i v01 = _mm_packs_epi32(group_sums16(a, b, s), group_sums16(a + 16, b + 16, s));
    const __m128i v23 =
        _mm_packs_epi32(group_sums16(a + 32, b + 32, s), group_sums16(a + 48, b + 48, s));
    const __m128i sums = _mm_packs_epi32(v01, v23);  // groups 0..7 as 16-bit
    const __m128i c = _mm_srli_epi16(_mm_add_epi16(sums, bias), 4);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(row + 8 * k), _mm_packus_epi16(c, c));
  }
  for (int g = 8 * blocks; g < groups; ++g)
    row[g] = uint8_t(directional_cost(above, below, 8 * g, s));
}

// Bytes in reverse order.
TESSOMAR_INLINE __m128i reverse16(__m128i v) {
  v = _mm_shuffle_epi32(v, 0x1B);
  v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1);
  return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
}

// Lane i stands for shift i - 7: above[8g + s + 2k] is a plain load, below[8g - s + 2k] a
// reversed one.
TESSOMAR_INLINE void group_costs_sse2_body(const uint8_t* above, const uint8_t* below, int g,
                                           uint8_t* column, ptrdiff_t pitch) {
  const __m128i zero = _mm_setzero_si128();
  __m128i lo = _mm_setr_epi16(46, 44, 42, 40, 38, 36, 34, 32);  // 32 + 2|s|
  __m128i hi = _mm_setr_epi16(34, 36, 38, 40, 42, 44, 46, 0);
  const int x = 8 * g;
  for (int k = 0; k < 8; k += 2) {
    const __m128i d = diff16(load16(above + x - 7 + k), reverse16(load16(below + x - 8 + k)));
    lo = _mm_add_epi16(lo, _mm_unpacklo_epi8(d, zero));
    hi = _mm_add_epi16(hi, _mm_unpackhi_epi8(d, zero));
  }
  alignas(16) uint8_t costs[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(costs),
                  _mm_packus_epi16(_mm_srli_epi16(lo, 4), _mm_srli_epi16(hi, 4)));
  for (int i = 0; i < kShiftCount; ++i) column[i * pitch] = costs[i];
}

// Two neighbouring groups with the same shift (the common case) take one 16-byte step.
TESSOMAR_INLINE void average_groups_sse2_body(const uint8_t* above, const uint8_t* below,
                                              const int8_t* shifts, int groups, uint8_t* out) {
  int g = 0;
  for (; g + 2 <= groups; g += 2) {
    const int s = shifts[g];
    const int x = 8 * g;
    if (shifts[g + 1] == s) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x),
                       floor_avg16(load16(above + x + s), load16(below + x - s)));
      continue;
    }
    const int t = shifts[g + 1];
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + x),
                     floor_avg16(load8(above + x + s), load8(below + x - s)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + x + 8),
                     floor_avg16(load8(above + x + 8 + t), load8(below + x + 8 - t)));
  }
  if (g < groups) {
    const int s = shifts[g];
    const int x = 8 * g;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + x),
                     floor_avg16(load8(above + x + s), load8(below + x - s)));
  }
}

TESSOMAR_INLINE void motion_row_sse2_body(const uint8_t* cur, const uint8_t* prev, int width,
                                          uint32_t* sums) {
  const __m128i even = _mm_set1_epi16(0x00FF);
  int x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m128i d = _mm_sad_epu8(_mm_and_si128(diff16(load16(cur + x), load16(prev + x)), even),
                                   _mm_setzero_si128());
    sums[x / 16] += uint32_t(_mm_cvtsi128_si32(d) + _mm_cvtsi128_si32(_mm_srli_si128(d, 8)));
  }
  motion_from(cur, prev, x, width, sums);
}

TESSOMAR_INLINE __m128i blend_still16(__m128i c, __m128i p, __m128i out) {
  const __m128i ad = _mm_or_si128(_mm_subs_epu8(c, p), _mm_subs_epu8(p, c));
  const __m128i near = _mm_cmpeq_epi8(_mm_subs_epu8(ad, _mm_set1_epi8(7)), _mm_setzero_si128());
  return _mm_or_si128(_mm_and_si128(near, floor_avg16(c, p)), _mm_andnot_si128(near, out));
}

TESSOMAR_INLINE void blend_still_sse2_body(const uint8_t* cur, const uint8_t* prev, int n,
                                           uint8_t* out) {
  int i = 0;
  for (; i + 16 <= n; i += 16)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                     blend_still16(load16(cur + i), load16(prev + i), load16(out + i)));
  blend_still_scalar(cur + i, prev + i, n - i, out + i);
}

TESSOMAR_INLINE uint16_t load_pair(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

// Eight columns from n: the source pairs gathered word by word.
TESSOMAR_INLINE __m128i resample8_gather(const uint8_t* s, const ColumnTaps& taps, int n) {
  const uint16_t* pos = taps.pos + n;
  __m128i v = _mm_cvtsi32_si128(load_pair(s + pos[0]));
  v = _mm_insert_epi16(v, load_pair(s + pos[1]), 1);
  v = _mm_insert_epi16(v, load_pair(s + pos[2]), 2);
  v = _mm_insert_epi16(v, load_pair(s + pos[3]), 3);
  v = _mm_insert_epi16(v, load_pair(s + pos[4]), 4);
  v = _mm_insert_epi16(v, load_pair(s + pos[5]), 5);
  v = _mm_insert_epi16(v, load_pair(s + pos[6]), 6);
  v = _mm_insert_epi16(v, load_pair(s + pos[7]), 7);
  const __m128i zero = _mm_setzero_si128();
  const __m128i* w = reinterpret_cast<const __m128i*>(taps.weights + 2 * n);
  const __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi8(v, zero), _mm_loadu_si128(w));
  const __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi8(v, zero), _mm_loadu_si128(w + 1));
  return _mm_packs_epi32(_mm_srli_epi32(lo, 8), _mm_srli_epi32(hi, 8));  // 16-bit
}

void resample_row_sse2(const uint8_t* s, const ColumnTaps& taps, int cols, uint8_t* out) {
  int n = 0;
  for (; n + 16 <= cols; n += 16) {
    const __m128i v =
        _mm_packus_epi16(resample8_gather(s, taps, n), resample8_gather(s, taps, n + 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n), v);
  }
  resample_from(s, taps, n, cols, out);
}

TESSOMAR_INLINE __m128i blend16(__m128i va, __m128i vb, __m128i wa, __m128i wb) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i lo = _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(va, zero), wa),
                                                  _mm_mullo_epi16(_mm_unpacklo_epi8(vb, zero), wb)),
                                    8);
  const __m128i hi = _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(va, zero), wa),
                                                  _mm_mullo_epi16(_mm_unpackhi_epi8(vb, zero), wb)),
                                    8);
  return _mm_packus_epi16(lo, hi);
}

// The sum a * (256 - f) + b * f stays below 65536, so 16-bit lanes give the plain result.
TESSOMAR_INLINE void blend_rows_sse2_body(const uint8_t* a, const uint8_t* b, int f, int n,
                                          uint8_t* d) {
  const __m128i wa = _mm_set1_epi16(int16_t(256 - f));
  const __m128i wb = _mm_set1_epi16(int16_t(f));
  int i = 0;
  for (; i + 16 <= n; i += 16)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i),
                     blend16(load16(a + i), load16(b + i), wa, wb));
  blend_rows_from(a, b, f, i, n, d);
}

void shift_costs_sse2(const uint8_t* above, const uint8_t* below, int s, int groups, uint8_t* row) {
  shift_costs_sse2_body(above, below, s, groups, row);
}
void group_costs_sse2(const uint8_t* above, const uint8_t* below, int g, uint8_t* column,
                      ptrdiff_t pitch) {
  group_costs_sse2_body(above, below, g, column, pitch);
}
void motion_row_sse2(const uint8_t* cur, const uint8_t* prev, int width, uint32_t* sums) {
  motion_row_sse2_body(cur, prev, width, sums);
}
void blend_still_sse2(const uint8_t* cur, const uint8_t* prev, int n, uint8_t* out) {
  blend_still_sse2_body(cur, prev, n, out);
}
void blend_rows_sse2(const uint8_t* a, const uint8_t* b, int f, int n, uint8_t* d) {
  // Weight 0 is a plain copy of a (a * 256 >> 8).
  if (f == 0) {
    std::memcpy(d, a, size_t(n));
    return;
  }
  blend_rows_sse2_body(a, b, f, n, d);
}
void average_groups_sse2(const uint8_t* above, const uint8_t* below, const int8_t* shifts,
                         int groups, uint8_t* out) {
  average_groups_sse2_body(above, below, shifts, groups, out);
}

constexpr PictureKernels kSse2Kernels = {shift_costs_sse2, group_costs_sse2, average_groups_sse2,
                                         motion_row_sse2,  blend_still_sse2, resample_row_sse2,
                                         blend_rows_sse2};

// ---- AVX2: built for AVX2 function by function, called only after the processor check. ----

#define TESSOMAR_AVX2 __attribute__((target("avx2")))

TESSOMAR_AVX2 inline __m256i load32(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

TESSOMAR_AVX2 inline __m256i diff32(__m256i a, __m256i b) {
  return _mm256_or_si256(_mm256_subs_epu8(a, b),
                         _mm256_subs_epu8(_mm256_subs_epu8(b, a), _mm256_set1_epi8(1)));
}

TESSOMAR_AVX2 inline __m256i floor_avg32(__m256i a, __m256i b) {
  return _mm256_sub_epi8(_mm256_avg_epu8(a, b),
                         _mm256_and_si256(_mm256_xor_si256(a, b), _mm256_set1_epi8(1)));
}

TESSOMAR_AVX2 inline __m256i group_sums32(const uint8_t* above, const uint8_t* below, int s) {
  const __m256i d = diff32(load32(above + s), load32(below - s));
  return _mm256_sad_epu8(_mm256_and_si256(d, _mm256_set1_epi16(0x00FF)), _mm256_setzero_si256());
}

// One shift's costs, sixteen groups at a time: four loads of four groups, their sums put in
// order by a shuffle.
TESSOMAR_AVX2 void shift_costs_avx2(const uint8_t* above, const uint8_t* below, int s, int groups,
                                    uint8_t* row) {
  const __m256i bias = _mm256_set1_epi16(int16_t(32 + 2 * std::abs(s)));
  // After the packing, bytes 0-15 hold groups 0 4 1 5 8 12 9 13 2 6 3 7 10 14 11 15.
  const __m128i order = _mm_setr_epi8(0, 2, 8, 10, 1, 3, 9, 11, 4, 6, 12, 14, 5, 7, 13, 15);
  int g = 0;
  for (; g + 16 <= groups; g += 16) {
    const uint8_t* a = above + 8 * g;
    const uint8_t* b = below + 8 * g;
    // 64-bit sums: groups 0 1 | 2 3, 4 5 | 6 7, ...; the second of each pair moved up 32 bits.
    const __m256i q01 = _mm256_or_si256(group_sums32(a, b, s),
                                        _mm256_slli_epi64(group_sums32(a + 32, b + 32, s), 32));
    const __m256i q23 = _mm256_or_si256(group_sums32(a + 64, b + 64, s),
                                        _mm256_slli_epi64(group_sums32(a + 96, b + 96, s), 32));
    const __m256i c = _mm256_srli_epi16(_mm256_add_epi16(_mm256_packs_epi32(q01, q23), bias), 4);
    const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(c, c), 0x08);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(row + g),
                     _mm_shuffle_epi8(_mm256_castsi256_si128(bytes), order));
  }
  if (g < groups) shift_costs_sse2_body(above + 8 * g, below + 8 * g, s, groups - g, row + g);
}

TESSOMAR_AVX2 void group_costs_avx2(const uint8_t* above, const uint8_t* below, int g,
                                    uint8_t* column, ptrdiff_t pitch) {
  group_costs_sse2_body(above, below, g, column, pitch);
}

TESSOMAR_AVX2 void motion_row_avx2(const uint8_t* cur, const uint8_t* prev, int width,
                                   uint32_t* sums) {
  const __m256i even = _mm256_set1_epi16(0x00FF);
  int x = 0;
  for (; x + 32 <= width; x += 32) {
    const __m256i d = _mm256_sad_epu8(
        _mm256_and_si256(diff32(load32(cur + x), load32(prev + x)), even), _mm256_setzero_si256());
    // Four 64-bit sums: two per block of 16.
    const __m256i pair = _mm256_add_epi64(d, _mm256_srli_si256(d, 8));
    sums[x / 16] += uint32_t(_mm256_cvtsi256_si32(pair));
    sums[x / 16 + 1] += uint32_t(_mm_cvtsi128_si32(_mm256_extracti128_si256(pair, 1)));
  }
  motion_row_sse2_body(cur + x, prev + x, width - x, sums + x / 16);
}

TESSOMAR_AVX2 void blend_still_avx2(const uint8_t* cur, const uint8_t* prev, int n, uint8_t* out) {
  int i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i c = load32(cur + i);
    const __m256i p = load32(prev + i);
    const __m256i ad = _mm256_or_si256(_mm256_subs_epu8(c, p), _mm256_subs_epu8(p, c));
    const __m256i near =
        _mm256_cmpeq_epi8(_mm256_subs_epu8(ad, _mm256_set1_epi8(7)), _mm256_setzero_si256());
    const __m256i v = _mm256_blendv_epi8(load32(out + i), floor_avg32(c, p), near);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), v);
  }
  blend_still_sse2_body(cur + i, prev + i, n - i, out + i);
}

// Eight columns of a block with a shuffle: the block's 16 source bytes in both lanes, spread
// to zero-extended pairs, times the weights: eight 32-bit sums in column order.
TESSOMAR_AVX2 inline __m256i resample8_shuffle(const uint8_t* s, const ColumnTaps& taps, int blk) {
  const __m256i src = _mm256_broadcastsi128_si256(
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + taps.block_base[blk])));
  const __m256i pairs = _mm256_shuffle_epi8(
      src, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(taps.block_shuffle[blk])));
  const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(taps.weights + 16 * blk));
  return _mm256_srli_epi32(_mm256_madd_epi16(pairs, w), 8);
}

TESSOMAR_AVX2 void resample_row_avx2(const uint8_t* s, const ColumnTaps& taps, int cols,
                                     uint8_t* out) {
  int n = 0;
  for (; n + 16 <= cols; n += 16) {
    const int blk = n / 8;
    if (taps.block_base[blk] < 0 || taps.block_base[blk + 1] < 0) {
      const __m128i v =
          _mm_packus_epi16(resample8_gather(s, taps, n), resample8_gather(s, taps, n + 8));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n), v);
      continue;
    }
    // 16-bit columns 0-3, 8-11 | 4-7, 12-15; the 64-bit swap puts them in order.
    const __m256i w = _mm256_permute4x64_epi64(
        _mm256_packs_epi32(resample8_shuffle(s, taps, blk), resample8_shuffle(s, taps, blk + 1)),
        0xD8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n),
                     _mm_packus_epi16(_mm256_castsi256_si128(w), _mm256_extracti128_si256(w, 1)));
  }
  resample_from(s, taps, n, cols, out);
}

// Four groups with the same shift (the common case) take one 32-byte step.
TESSOMAR_AVX2 void average_groups_avx2(const uint8_t* above, const uint8_t* below,
                                       const int8_t* shifts, int groups, uint8_t* out) {
  int g = 0;
  for (; g + 4 <= groups; g += 4) {
    const int s = shifts[g];
    const int x = 8 * g;
    if (shifts[g + 1] == s && shifts[g + 2] == s && shifts[g + 3] == s)
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x),
                          floor_avg32(load32(above + x + s), load32(below + x - s)));
    else
      average_groups_sse2_body(above + x, below + x, shifts + g, 4, out + x);
  }
  average_groups_sse2_body(above + 8 * g, below + 8 * g, shifts + g, groups - g, out + 8 * g);
}

TESSOMAR_AVX2 void blend_rows_avx2(const uint8_t* a, const uint8_t* b, int f, int n, uint8_t* d) {
  if (f == 0) {
    std::memcpy(d, a, size_t(n));
    return;
  }
  const __m256i zero = _mm256_setzero_si256();
  const __m256i wa = _mm256_set1_epi16(int16_t(256 - f));
  const __m256i wb = _mm256_set1_epi16(int16_t(f));
  int i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i va = load32(a + i);
    const __m256i vb = load32(b + i);
    const __m256i lo =
        _mm256_srli_epi16(_mm256_add_epi16(_mm256_mullo_epi16(_mm256_unpacklo_epi8(va, zero), wa),
                                           _mm256_mullo_epi16(_mm256_unpacklo_epi8(vb, zero), wb)),
                          8);
    const __m256i hi =
        _mm256_srli_epi16(_mm256_add_epi16(_mm256_mullo_epi16(_mm256_unpackhi_epi8(va, zero), wa),
                                           _mm256_mullo_epi16(_mm256_unpackhi_epi8(vb, zero), wb)),
                          8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i), _mm256_packus_epi16(lo, hi));
  }
  blend_rows_sse2_body(a + i, b + i, f, n - i, d + i);
}

constexpr PictureKernels kAvx2Kernels = {shift_costs_avx2, group_costs_avx2, average_groups_avx2,
                                         motion_row_avx2,  blend_still_avx2, resample_row_avx2,
                                         blend_rows_avx2};

#endif

}  // namespace

int directional_cost(const uint8_t* above, const uint8_t* below, int x, int s) {
  int sum = 32 + 2 * std::abs(s);
  for (int k = 0; k < 8; k += 2) sum += diff(above[x + s + k], below[x - s + k]);
  return sum >> 4;
}

SimdLevel machine_simd_level() {
#ifdef TESSOMAR_X86_KERNELS
  if (__builtin_cpu_supports("avx2")) return SimdLevel::kAvx2;
  if (__builtin_cpu_supports("sse2")) return SimdLevel::kSse2;
#endif
  return SimdLevel::kScalar;
}

SimdLevel supported_simd_level(SimdLevel wanted) {
  const SimdLevel best = machine_simd_level();
  return wanted < best ? wanted : best;
}

SimdLevel default_simd_level() {
  const char* cap = std::getenv("TESSOMAR_SIMD");
  if (cap != nullptr) {
    const std::string_view v(cap);
    if (v == "scalar") return SimdLevel::kScalar;
    if (v == "sse2") return supported_simd_level(SimdLevel::kSse2);
    if (v == "avx2") return supported_simd_level(SimdLevel::kAvx2);
  }
  return machine_simd_level();
}

const char* simd_level_name(SimdLevel level) {
  switch (level) {
    case SimdLevel::kScalar:
      return "scalar";
    case SimdLevel::kSse2:
      return "sse2";
    case SimdLevel::kAvx2:
      return "avx2";
  }
  return "scalar";
}

const PictureKernels& picture_kernels(SimdLevel level) {
#ifdef TESSOMAR_X86_KERNELS
  if (level == SimdLevel::kAvx2) return kAvx2Kernels;
  if (level == SimdLevel::kSse2) return kSse2Kernels;
#endif
  return kScalarKernels;
}

}  // namespace tessomar::video
